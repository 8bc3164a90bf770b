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

// curl's process-wide state, set up once, then a multi handle of its own.
void* openMulti()
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return curl_multi_init();
}

// A handle an earlier transfer left, cleared of its options, or a new one;
// null without memory.
CURL* takeHandle(std::vector<void*>& idle)
{
    if (idle.empty())
        return curl_easy_init();
    CURL* easy = static_cast<CURL*>(idle.back());
    idle.pop_back();
    curl_easy_reset(easy);
    return easy;
}

// Abandons the transfers still running and releases every handle.
void closeMulti(void* multi, std::vector<std::unique_ptr<CurlTransport::Transfer>>& running, std::vector<void*>& idle)
{
    for (auto& transfer : running) {
        curl_multi_remove_handle(multi, transfer->easy);
        curl_easy_cleanup(transfer->easy);
    }
    running.clear();
    for (void* easy : idle)
        curl_easy_cleanup(easy);
    idle.clear();
    curl_multi_cleanup(multi);
}

}

std::optional<std::string> CurlTransport::unsafeHeaders(const HttpRequest& request)
{
    bool safe = std::all_of(request.headers.begin(), request.headers.end(),
        [](const auto& header) { return isSafeHeaderText(header.first) && isSafeHeaderText(header.second); });
    if (safe)
        return std::nullopt;
    return "请求头含有换行或空字符，未发送。";
}

HttpResult CurlTransport::result(void* easy, int code, Transfer& transfer)
{
    HttpResult result;
    if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(static_cast<CURL*>(easy), CURLINFO_RESPONSE_CODE, &status);
        result.status = status;
        result.body = std::move(transfer.received);
    } else {
        result.error = describeCurl(static_cast<CURLcode>(code));
    }
    return result;
}

CurlTransport::CurlTransport()
{
    multi_ = openMulti();
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
    closeMulti(multi_, running_, idleHandles_);
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
    CURL* easy = takeHandle(idleHandles_);
    if (auto refusal = unsafeHeaders(transfer->request)) {
        if (easy)
            idleHandles_.push_back(easy);
        transfer->done(HttpResult { 0, {}, std::move(*refusal) });
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

    HttpResult answer = result(easy, code, *transfer);
    idleHandles_.push_back(easy);
    try {
        transfer->done(std::move(answer));
    } catch (...) {
    }
}

void CurlTransport::configure(void* handle, Transfer& transfer)
{
    CURL* easy = static_cast<CURL*>(handle);
    const HttpRequest& request = transfer.request;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // The idle limit is kept by the transport itself; curl caps the whole.
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

// ---- Driven from the main loop -------------------------------------------------------

CurlLoopTransport::CurlLoopTransport(MainLoop& loop)
    : loop_(loop)
{
    multi_ = openMulti();
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlLoopTransport::onSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlLoopTransport::onTimer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlLoopTransport::~CurlLoopTransport()
{
    // From here curl may still report sockets going away, but nothing new is
    // watched or timed.
    closing_ = true;
    curlTimer_.cancel();
    silenceTimer_.cancel();
    laterTimer_.cancel();
    refused_.clear();
    ended_.clear();
    closeMulti(multi_, running_, idleHandles_);
    sockets_.clear();
}

void CurlLoopTransport::send(HttpRequest request, std::function<void(HttpResult)> done)
{
    if (std::this_thread::get_id() != owner_) {
        done(HttpResult { 0, {}, "网络请求失败，请稍后重试。" });
        return;
    }
    if (auto refusal = CurlTransport::unsafeHeaders(request)) {
        refuse(std::move(done), std::move(*refusal));
        return;
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->done = std::move(done);
    running_.reserve(running_.size() + 1);

    CURL* easy = takeHandle(idleHandles_);
    if (!easy) {
        refuse(std::move(transfer->done), "网络请求失败，请稍后重试。");
        return;
    }
    transfer->easy = easy;
    transfer->lastActivity = Clock::now();
    try {
        CurlTransport::configure(easy, *transfer);
    } catch (...) {
        curl_easy_cleanup(easy);
        throw; // not accepted: `done` is dropped, the caller sees the failure
    }
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    starting_ = true;
    if (curl_multi_add_handle(static_cast<CURLM*>(multi_), easy) != CURLM_OK) {
        starting_ = false;
        if (startTimer_)
            setCurlTimer(*std::exchange(startTimer_, std::nullopt));
        idleHandles_.push_back(easy);
        refuse(std::move(transfer->done), "网络请求失败，请稍后重试。");
        return;
    }
    auto deadline = transfer->lastActivity + transfer->request.timeout;
    running_.push_back(std::move(transfer)); // room reserved above
    // Accepted: from here `done` alone reports the outcome, so nothing may
    // throw out of send. Without memory for a timer, the transfer still
    // ends at curl's cap on the whole.
    try {
        watchSilence(deadline);
    } catch (...) {
    }
    try {
        start();
    } catch (...) {
        starting_ = false;
    }
}

// The request goes out now rather than on the loop's next turn (one turn
// fewer per request); what ends at once is answered on that turn.
void CurlLoopTransport::start()
{
    int running = 0;
    curl_multi_socket_action(static_cast<CURLM*>(multi_), CURL_SOCKET_TIMEOUT, 0, &running);
    starting_ = false;
    if (startTimer_)
        setCurlTimer(*std::exchange(startTimer_, std::nullopt));
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(static_cast<CURLM*>(multi_), &queued)) {
        if (message->msg == CURLMSG_DONE)
            ended_.emplace_back(message->easy_handle, message->data.result);
    }
    if (!ended_.empty())
        armLater();
}

int CurlLoopTransport::onSocket(void*, int fd, int what, void* user, void*)
{
    auto& self = *static_cast<CurlLoopTransport*>(user);
    try {
        if (what == CURL_POLL_REMOVE) {
            self.sockets_.erase(fd);
            return 0;
        }
        if (self.closing_)
            return 0;
        unsigned events = ((what & CURL_POLL_IN) ? kFdReadable : 0u) | ((what & CURL_POLL_OUT) ? kFdWritable : 0u);
        auto found = self.sockets_.find(fd);
        if (found != self.sockets_.end())
            found->second.change(events);
        else
            self.sockets_.emplace(
                fd, self.loop_.watch(fd, events, [&self, fd](unsigned ready) { self.act(fd, ready); }));
        return 0;
    } catch (...) {
        return -1;
    }
}

int CurlLoopTransport::onTimer(void*, long delayMs, void* user)
{
    auto& self = *static_cast<CurlLoopTransport*>(user);
    if (self.starting_) {
        self.startTimer_ = delayMs;
        return 0;
    }
    try {
        self.setCurlTimer(delayMs);
        return 0;
    } catch (...) {
        return -1;
    }
}

// curl keeps one timer: each setting replaces the last; below zero clears it.
void CurlLoopTransport::setCurlTimer(long delayMs)
{
    curlTimer_.cancel();
    if (delayMs < 0 || closing_)
        return;
    curlTimer_ = loop_.after(std::chrono::milliseconds(delayMs), [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

void CurlLoopTransport::act(int fd, unsigned ready)
{
    int mask = 0;
    if (ready & kFdReadable)
        mask |= CURL_CSELECT_IN;
    if (ready & kFdWritable)
        mask |= CURL_CSELECT_OUT;
    if (ready & kFdFailed)
        mask |= CURL_CSELECT_ERR;
    int running = 0;
    curl_multi_socket_action(static_cast<CURLM*>(multi_), fd, mask, &running);
    collect();
}

void CurlLoopTransport::collect()
{
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(static_cast<CURLM*>(multi_), &queued)) {
        if (message->msg == CURLMSG_DONE)
            finish(message->easy_handle, message->data.result);
    }
}

void CurlLoopTransport::finish(void* handle, int code)
{
    CURL* easy = static_cast<CURL*>(handle);
    auto found = std::find_if(running_.begin(), running_.end(),
        [easy](const std::unique_ptr<Transfer>& transfer) { return transfer->easy == easy; });
    if (found == running_.end())
        return; // already answered
    curl_multi_remove_handle(static_cast<CURLM*>(multi_), easy);
    // An end noted while starting must not answer whoever gets the handle next.
    std::erase_if(ended_, [easy](const auto& end) { return end.first == easy; });
    std::unique_ptr<Transfer> transfer = std::move(*found);
    running_.erase(found);
    try {
        HttpResult answer = CurlTransport::result(easy, code, *transfer);
        idleHandles_.push_back(easy);
        easy = nullptr;
        transfer->done(std::move(answer));
    } catch (...) {
        if (easy)
            curl_easy_cleanup(easy);
    }
}

void CurlLoopTransport::refuse(std::function<void(HttpResult)> done, std::string error)
{
    refused_.emplace_back(std::move(done), HttpResult { 0, {}, std::move(error) });
    armLater();
}

void CurlLoopTransport::armLater()
{
    if (!laterPending_) {
        laterTimer_ = loop_.after(std::chrono::milliseconds(0), [this] { answerLater(); });
        laterPending_ = true;
    }
}

void CurlLoopTransport::answerLater()
{
    laterPending_ = false;
    auto ended = std::move(ended_);
    ended_.clear();
    for (auto [easy, code] : ended)
        finish(easy, code);
    auto batch = std::move(refused_);
    refused_.clear();
    for (auto& [done, result] : batch) {
        try {
            done(std::move(result));
        } catch (...) {
        }
    }
}

// Transfers silent for longer than their idle limit end here: curl's own
// time-out caps the whole transfer instead.
void CurlLoopTransport::watchSilence(Clock::time_point deadline)
{
    if (silenceCheck_ && *silenceCheck_ <= deadline)
        return;
    silenceTimer_.cancel();
    auto delay = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    silenceTimer_ = loop_.after(std::max(delay, std::chrono::milliseconds(0)), [this] {
        silenceCheck_.reset();
        endSilent();
    });
    silenceCheck_ = deadline;
}

void CurlLoopTransport::endSilent()
{
    auto now = Clock::now();
    std::vector<void*> expired;
    std::optional<Clock::time_point> next;
    for (const auto& transfer : running_) {
        auto deadline = transfer->lastActivity + transfer->request.timeout;
        if (deadline <= now)
            expired.push_back(transfer->easy);
        else if (!next || deadline < *next)
            next = deadline;
    }
    if (next)
        watchSilence(*next);
    for (void* easy : expired)
        finish(easy, CURLE_OPERATION_TIMEDOUT);
}

}
