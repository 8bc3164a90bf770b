#include "host/CurlTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <mutex>

namespace korvid {

struct CurlTransport::Transfer {
    HttpRequest request;
    std::function<void(HttpResult)> done;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string received;
    // When a byte last went out or came in; the idle limit counts from here.
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t lastSent = 0;
    curl_off_t lastReceived = 0;

    ~Transfer()
    {
        if (headers)
            curl_slist_free_all(headers);
    }
};

namespace {

using Clock = std::chrono::steady_clock;

std::size_t receive(char* data, std::size_t size, std::size_t count, void* user)
{
    auto& transfer = *static_cast<CurlTransport::Transfer*>(user);
    std::size_t bytes = size * count;
    if (transfer.received.size() + bytes > CurlTransport::kResponseLimit)
        return 0; // curl ends the transfer with CURLE_WRITE_ERROR
    transfer.received.append(data, bytes);
    transfer.lastActivity = Clock::now();
    return bytes;
}

std::size_t receiveHeader(char*, std::size_t size, std::size_t count, void* user)
{
    static_cast<CurlTransport::Transfer*>(user)->lastActivity = Clock::now();
    return size * count;
}

// Counts the request body going out as activity too.
int progress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent)
{
    auto& transfer = *static_cast<CurlTransport::Transfer*>(user);
    if (sent != transfer.lastSent || received != transfer.lastReceived) {
        transfer.lastSent = sent;
        transfer.lastReceived = received;
        transfer.lastActivity = Clock::now();
    }
    return 0;
}

// A header line is "name: value\r\n"; a line break or NUL inside either would
// let its text start a header of its own.
bool isSafeHeaderText(const std::string& text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
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
        // Transfers silent for longer than their idle limit end here: curl's
        // own time-out would cap the whole transfer instead.
        auto now = Clock::now();
        auto wait = std::chrono::milliseconds(1000);
        std::vector<void*> expired;
        for (const auto& transfer : running_) {
            auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - transfer->lastActivity);
            if (silent >= transfer->request.timeout)
                expired.push_back(transfer->easy);
            else
                wait = std::min(wait, transfer->request.timeout - silent);
        }
        for (void* easy : expired)
            finish(easy, CURLE_OPERATION_TIMEDOUT);
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::max<std::int64_t>(wait.count(), 1)), nullptr);
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
    bool safe = std::all_of(transfer->request.headers.begin(), transfer->request.headers.end(),
        [](const auto& header) { return isSafeHeaderText(header.first) && isSafeHeaderText(header.second); });
    if (!safe) {
        if (easy)
            idleHandles_.push_back(easy);
        transfer->done(HttpResult { 0, {}, "请求头含有换行或空字符，未发送。" });
        return;
    }
    if (!easy) {
        transfer->done(HttpResult { 0, {}, "网络请求失败，请稍后重试。" });
        return;
    }
    transfer->easy = easy;
    transfer->lastActivity = Clock::now();
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
    // The idle limit is kept by the transport thread; curl caps the whole.
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, receiveHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);

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
