#include "host/CurlTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace korvid {

struct CurlTransport::Transfer {
    HttpRequest request;
    std::function<void(HttpResult)> done;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string received;

    ~Transfer()
    {
        if (headers)
            curl_slist_free_all(headers);
    }
};

namespace {

std::size_t receive(char* data, std::size_t size, std::size_t count, void* user)
{
    auto& received = *static_cast<std::string*>(user);
    std::size_t bytes = size * count;
    if (received.size() + bytes > CurlTransport::kResponseLimit)
        return 0; // curl ends the transfer with CURLE_WRITE_ERROR
    received.append(data, bytes);
    return bytes;
}

// libcurl's own texts are English; the page shows one Chinese sentence.
std::string describeCurl(CURLcode code)
{
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return "连接服务器超时，请稍后重试。";
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
        return "无法连接服务器，请检查网络后重试。";
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return "与服务器的连接中断，请稍后重试。";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
        return "无法与服务器建立安全连接，请检查网络环境后重试。";
    case CURLE_WRITE_ERROR:
        return "服务端返回的数据过大，无法读取。";
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return "服务地址无效。";
    default:
        return "网络请求失败，请稍后重试。";
    }
}

void configure(CURL* easy, CurlTransport::Transfer& transfer);

}

CurlTransport::CurlTransport()
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { run(); });
}

CurlTransport::~CurlTransport()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    thread_.join();
    for (auto& transfer : running_) {
        curl_multi_remove_handle(multi_, transfer->easy);
        curl_easy_cleanup(transfer->easy);
    }
    running_.clear();
    for (void* easy : idleHandles_)
        curl_easy_cleanup(easy);
    curl_multi_cleanup(multi_);
}

void CurlTransport::send(HttpRequest request, std::function<void(HttpResult)> done)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->done = std::move(done);
    {
        std::lock_guard lock(mutex_);
        incoming_.push_back(std::move(transfer));
    }
    curl_multi_wakeup(multi_);
}

void CurlTransport::run()
{
    for (;;) {
        std::deque<std::unique_ptr<Transfer>> arrived;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            arrived.swap(incoming_);
        }
        for (auto& transfer : arrived)
            start(std::move(transfer));

        int active = 0;
        curl_multi_perform(multi_, &active);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE)
                finish(message->easy_handle, message->data.result);
        }
        curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
}

void CurlTransport::start(std::unique_ptr<Transfer> transfer)
{
    CURL* easy = nullptr;
    if (!idleHandles_.empty()) {
        easy = idleHandles_.back();
        idleHandles_.pop_back();
        curl_easy_reset(easy);
    } else {
        easy = curl_easy_init();
    }
    if (!easy) {
        transfer->done(HttpResult { 0, {}, "网络请求失败，请稍后重试。" });
        return;
    }
    transfer->easy = easy;
    configure(easy, *transfer);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        idleHandles_.push_back(easy);
        transfer->done(HttpResult { 0, {}, "网络请求失败，请稍后重试。" });
        return;
    }
    running_.push_back(std::move(transfer));
}

void CurlTransport::finish(void* handle, int code)
{
    CURL* easy = static_cast<CURL*>(handle);
    auto found = std::find_if(running_.begin(), running_.end(),
        [easy](const std::unique_ptr<Transfer>& transfer) { return transfer->easy == easy; });
    curl_multi_remove_handle(multi_, easy);
    if (found == running_.end()) {
        curl_easy_cleanup(easy);
        return;
    }
    std::unique_ptr<Transfer> transfer = std::move(*found);
    running_.erase(found);

    HttpResult result;
    if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        result.status = status;
        result.body = std::move(transfer->received);
    } else {
        result.error = describeCurl(static_cast<CURLcode>(code));
    }
    idleHandles_.push_back(easy);
    try {
        transfer->done(std::move(result));
    } catch (...) {
    }
}

namespace {

void configure(CURL* easy, CurlTransport::Transfer& transfer)
{
    const HttpRequest& request = transfer.request;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer.received);

    bool hasContentType = false;
    for (const auto& [name, value] : request.headers) {
        std::string line = name + ": " + value;
        transfer.headers = curl_slist_append(transfer.headers, line.c_str());
        if (curl_strequal(name.c_str(), "Content-Type"))
            hasContentType = true;
    }
    // No "Expect: 100-continue" round trip for large bodies.
    transfer.headers = curl_slist_append(transfer.headers, "Expect:");

    if (request.method == "GET" && !request.body) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        // Every other method carries a body, empty if none was given, so the
        // length is always declared.
        const std::string* body = request.body ? &*request.body : nullptr;
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body ? body->size() : 0));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body ? body->data() : "");
        if (request.method != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        if (!hasContentType) // otherwise curl would announce a form
            transfer.headers = curl_slist_append(transfer.headers, "Content-Type:");
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
}

}

}
