#include "service/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>

namespace korvid {

namespace {

using Clock = std::chrono::steady_clock;

// A refused connection is shut for writing and then read (and discarded)
// for this long at most, so the client reads the refusal instead of a
// reset; a client that keeps sending is cut off sooner.
constexpr auto kLingerTime = std::chrono::milliseconds(1000);
constexpr std::size_t kLingerBytes = 256 * 1024;
// Kept-alive connections are closed after this many requests.
constexpr int kRequestsPerConnection = 1000;
// Replies still being produced when the server stops get this long.
constexpr auto kStopGrace = std::chrono::seconds(10);

bool isTokenChar(unsigned char c)
{
    return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return isTokenChar(c); });
}

bool hasControl(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

bool containsToken(std::string value, std::string_view token)
{
    std::transform(
        value.begin(), value.end(), value.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(',', start);
        if (end == std::string::npos)
            end = value.size();
        if (trim(std::string_view(value).substr(start, end - start)) == token)
            return true;
        start = end + 1;
    }
    return false;
}

const char* reason(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 421:
        return "Misdirected Request";
    case 422:
        return "Unprocessable Entity";
    case 428:
        return "Precondition Required";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

// The declared body length; -1 for a malformed or conflicting declaration.
// A number too large to hold is returned as the largest value, which is
// over any cap.
long long declaredLength(const httplib::Request& request)
{
    std::size_t count = request.get_header_value_count("Content-Length");
    long long length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::string text(trim(request.get_header_value("Content-Length", i)));
        if (text.empty() || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
            return -1;
        long long value = text.size() > 18 ? std::numeric_limits<long long>::max() : std::stoll(text);
        if (i > 0 && value != length)
            return -1;
        length = value;
    }
    return length;
}

}

struct HttpServer::Connection {
    enum class State { idle, headers, body, queued, writing, closing };

    explicit Connection(int fd)
        : fd(fd)
    {
    }
    ~Connection() { ::close(fd); }

    int fd;
    State state = State::idle;
    Clock::time_point deadline;
    std::string in;
    std::size_t scanned = 0;   // bytes of `in` already searched for the end of the headers
    std::size_t lines = 0;     // lines met while searching
    std::size_t headerEnd = 0; // length of the line and headers, blank line included
    std::size_t bodyLength = 0;
    bool keepAlive = true;
    bool peerClosed = false; // the client shut its side after sending
    std::string peerAddress;
    int peerPort = -1;
    int served = 0;
    int lane = 0;
    std::size_t discarded = 0;
    httplib::Request request;
    std::string out;
    std::size_t written = 0;

    void waitForNext(Clock::time_point now, const HttpLimits& limits)
    {
        state = in.empty() ? State::idle : State::headers;
        deadline = now + (in.empty() ? limits.idleTime : limits.headerTime);
        scanned = lines = headerEnd = bodyLength = 0;
        request = httplib::Request();
        out.clear();
        written = 0;
    }
};

HttpServer::HttpServer(Handler handler, Admit admit, FillError fillError, HttpLimits limits, Aside aside)
    : handler_(std::move(handler))
    , admit_(std::move(admit))
    , fillError_(std::move(fillError))
    , limits_(limits)
    , aside_(std::move(aside))
{
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

HttpServer::~HttpServer()
{
    if (listener_ >= 0)
        ::close(listener_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

int HttpServer::bind(const std::string& address, int port)
{
    sockaddr_in socketAddress {};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<std::uint16_t>(port));
    if (wakeFd_ < 0 || listener_ >= 0 || inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1)
        return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // SO_REUSEADDR only: SO_REUSEPORT would let a second copy share a port
    // that is already taken.
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    socklen_t length = sizeof socketAddress;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0
        || ::listen(fd, limits_.backlog) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) {
        ::close(fd);
        return -1;
    }
    listener_ = fd;
    return ntohs(socketAddress.sin_port);
}

void HttpServer::run()
{
    if (listener_ < 0 || stopping_)
        return;
    running_ = true;
    for (int i = 0; i < limits_.workers; ++i)
        workers_.emplace_back([this] { work(0); });
    for (int i = 0; i < (aside_ ? limits_.asideWorkers : 0); ++i)
        workers_.emplace_back([this] { work(1); });
    loop();
    {
        std::lock_guard lock(mutex_);
        workersDone_ = true;
    }
    jobsChanged_.notify_all();
    for (auto& worker : workers_)
        worker.join();
    workers_.clear();
    answered_.clear();
    running_ = false;
}

void HttpServer::stop()
{
    stopping_ = true;
    wake();
}

void HttpServer::wake()
{
    std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wakeFd_, &one, sizeof one);
}

void HttpServer::loop()
{
    std::vector<ConnectionPtr> connections;
    std::vector<ConnectionPtr> ready;
    std::vector<pollfd> polled;
    Clock::time_point stopBy {};
    for (;;) {
        auto now = Clock::now();
        if (stopping_) {
            if (listener_ >= 0) {
                ::close(listener_);
                listener_ = -1;
                stopBy = now + kStopGrace;
            }
            // Connections waiting for or sending a request are dropped;
            // replies already owed are still written.
            std::erase_if(connections, [](const ConnectionPtr& c) { return c->state != Connection::State::writing; });
            std::lock_guard lock(mutex_);
            if ((connections.empty() && busy_ == 0) || now >= stopBy)
                return;
        }

        polled.clear();
        polled.push_back({ wakeFd_, POLLIN, 0 });
        bool listening = listener_ >= 0 && connections.size() < limits_.maxConnections;
        if (listening)
            polled.push_back({ listener_, POLLIN, 0 });
        Clock::time_point nearest = now + std::chrono::seconds(60);
        if (stopping_)
            nearest = std::min(nearest, stopBy);
        for (const auto& c : connections) {
            short events = c->state == Connection::State::writing ? POLLOUT : POLLIN;
            polled.push_back({ c->fd, events, 0 });
            nearest = std::min(nearest, c->deadline);
        }
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
        if (::poll(polled.data(), polled.size(), static_cast<int>(std::max<long long>(0, wait))) < 0 && errno != EINTR)
            return;

        now = Clock::now();
        std::size_t first = listening ? 2 : 1;
        // Connections first: the indices of `polled` follow `connections`
        // only until something is added to or taken from it.
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = *connections[i];
            short revents = polled[first + i].revents;
            bool keep = true;
            if (revents & (POLLIN | POLLOUT | POLLERR | POLLHUP))
                keep = c.state == Connection::State::writing ? writeTo(c) : readFrom(c);
            bool reading = c.state == Connection::State::headers || c.state == Connection::State::body;
            if (keep && (reading || c.state == Connection::State::idle))
                keep = advance(c);
            if (keep && c.peerClosed && c.state != Connection::State::queued && c.state != Connection::State::writing
                && c.state != Connection::State::closing)
                keep = false;
            // The deadline holds however the bytes trickle in: a request
            // still incomplete when it passes is refused.
            if (keep && now >= c.deadline && c.state != Connection::State::queued) {
                if (c.state == Connection::State::headers || c.state == Connection::State::body)
                    keep = refuseNow(c, 408);
                else
                    keep = false;
            }
            if (!keep || c.state == Connection::State::queued) {
                if (c.state == Connection::State::queued)
                    ready.push_back(std::move(connections[i]));
                connections[i].reset();
            }
        }
        std::erase(connections, nullptr);

        if (polled[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] auto ignored = ::read(wakeFd_, &count, sizeof count);
            std::vector<ConnectionPtr> back;
            {
                std::lock_guard lock(mutex_);
                back.swap(answered_);
            }
            for (auto& c : back) {
                c->deadline = Clock::now() + limits_.writeTime;
                if (writeTo(*c) && (c->state != Connection::State::headers || advance(*c))) {
                    if (c->state == Connection::State::queued)
                        ready.push_back(std::move(c));
                    else
                        connections.push_back(std::move(c));
                }
            }
        }
        if (listening && (polled[1].revents & POLLIN) && !stopping_)
            acceptAll(connections);

        if (!ready.empty()) {
            {
                std::lock_guard lock(mutex_);
                busy_ += ready.size();
                for (auto& c : ready)
                    jobs_[c->lane].push_back(std::move(c));
            }
            ready.clear();
            jobsChanged_.notify_all();
        }
    }
}

void HttpServer::acceptAll(std::vector<ConnectionPtr>& connections)
{
    while (connections.size() < limits_.maxConnections) {
        sockaddr_in peer {};
        socklen_t peerLength = sizeof peer;
        int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // Small replies go out in one write, but a reply larger than the
        // socket buffer must not wait for the client's delayed ACK.
        int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto c = std::make_unique<Connection>(fd);
        char address[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        c->peerAddress = address;
        c->peerPort = ntohs(peer.sin_port);
        c->waitForNext(Clock::now(), limits_);
        connections.push_back(std::move(c));
    }
}

bool HttpServer::readFrom(Connection& c)
{
    char buffer[16 * 1024];
    if (c.state == Connection::State::closing) {
        for (;;) {
            ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                return false;
            if (n < 0)
                return true;
            c.discarded += static_cast<std::size_t>(n);
            if (c.discarded > kLingerBytes)
                return false;
        }
    }
    // Never more than the request can still use: the rest stays with the
    // kernel, and a flood costs no memory here.
    std::size_t want = c.state == Connection::State::body ? c.headerEnd + c.bodyLength : limits_.maxHeaderBytes + 1;
    while (c.in.size() < want) {
        ssize_t n = ::recv(c.fd, buffer, std::min(sizeof buffer, want - c.in.size()), 0);
        if (n > 0) {
            if (c.state == Connection::State::idle) {
                c.state = Connection::State::headers;
                c.deadline = Clock::now() + limits_.headerTime;
            }
            c.in.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n < 0)
            return false;
        // A client may shut its side once its request is sent; the request
        // is still answered if it is whole.
        c.peerClosed = true;
        return c.state != Connection::State::idle || !c.in.empty();
    }
    return true;
}

bool HttpServer::advance(Connection& c)
{
    using State = Connection::State;
    if (c.state == State::idle)
        return true;
    if (c.state == State::headers) {
        while (c.headerEnd == 0) {
            std::size_t newline = c.in.find('\n', c.scanned);
            if (newline == std::string::npos)
                break;
            bool blank = newline == c.scanned || (newline == c.scanned + 1 && c.in[c.scanned] == '\r');
            c.scanned = newline + 1;
            if (blank && c.lines > 0)
                c.headerEnd = c.scanned;
            else if (!blank && ++c.lines > limits_.maxHeaderLines + 1)
                return refuseNow(c, 431);
        }
        if (c.headerEnd == 0) {
            if (c.in.size() > limits_.maxHeaderBytes)
                return refuseNow(c, 431);
            return true;
        }
        if (c.headerEnd > limits_.maxHeaderBytes + 2)
            return refuseNow(c, 431);

        int status = parse(c);
        if (status == 0)
            status = admit_ ? admit_(c.request) : 0;
        long long length = status == 0 ? declaredLength(c.request) : 0;
        if (status == 0 && length < 0)
            status = 400;
        if (status == 0 && static_cast<unsigned long long>(length) > limits_.maxBodyBytes)
            status = 413;
        if (status != 0)
            return refuseNow(c, status);
        c.bodyLength = static_cast<std::size_t>(length);
        c.state = State::body;
        c.deadline = Clock::now() + limits_.bodyTime;
        if (c.bodyLength > 0 && c.in.size() < c.headerEnd + c.bodyLength
            && containsToken(c.request.get_header_value("Expect"), "100-continue")) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            ::send(c.fd, kContinue.data(), kContinue.size(), MSG_NOSIGNAL);
        }
        if (!readFrom(c))
            return false;
    }
    if (c.state == State::body && c.in.size() >= c.headerEnd + c.bodyLength) {
        c.request.body = c.in.substr(c.headerEnd, c.bodyLength);
        c.in.erase(0, c.headerEnd + c.bodyLength);
        c.lane = aside_ && limits_.asideWorkers > 0 && aside_(c.request) ? 1 : 0;
        c.state = State::queued;
    }
    return true;
}

int HttpServer::parse(Connection& c)
{
    std::string_view head(c.in.data(), c.headerEnd);
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        std::size_t newline = head.find('\n');
        std::string_view line = head.substr(0, newline);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty())
            lines.push_back(line);
        head.remove_prefix(newline + 1);
    }
    if (lines.empty())
        return 400;

    std::string_view first = lines[0];
    std::size_t space1 = first.find(' ');
    std::size_t space2 = space1 == std::string_view::npos ? space1 : first.find(' ', space1 + 1);
    if (space2 == std::string_view::npos || first.find(' ', space2 + 1) != std::string_view::npos)
        return 400;
    std::string_view method = first.substr(0, space1);
    std::string_view target = first.substr(space1 + 1, space2 - space1 - 1);
    std::string_view version = first.substr(space2 + 1);
    if (!isToken(method) || target.empty() || target[0] != '/' || hasControl(target)
        || target.find_first_of(" \t") != std::string_view::npos)
        return 400;
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return version.substr(0, 5) == "HTTP/" ? 505 : 400;

    httplib::Request& request = c.request;
    request.remote_addr = c.peerAddress;
    request.remote_port = c.peerPort;
    request.method = method;
    request.target = target;
    request.version = version;
    std::size_t question = target.find('?');
    request.path = httplib::detail::decode_url(std::string(target.substr(0, question)), false);
    if (question != std::string_view::npos)
        httplib::detail::parse_query_text(std::string(target.substr(question + 1)), request.params);

    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        std::size_t colon = line.find(':');
        // A folded continuation line or whitespace before the colon could
        // be read differently by a proxy in front of us; both are refused.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon)))
            return 400;
        std::string_view value = trim(line.substr(colon + 1));
        if (hasControl(value))
            return 400;
        request.headers.emplace(std::string(line.substr(0, colon)), std::string(value));
    }
    // Exactly one Host: with none or two, which site the request is for is
    // a guess.
    if (request.get_header_value_count("Host") != 1)
        return 400;
    // Bodies are sent with a declared length by every client of this
    // service; a chunked body is not read.
    if (request.has_header("Transfer-Encoding"))
        return 501;

    std::string connection = request.get_header_value("Connection");
    c.keepAlive = version == "HTTP/1.1" ? !containsToken(connection, "close") : containsToken(connection, "keep-alive");
    return 0;
}

bool HttpServer::refuseNow(Connection& c, int status)
{
    refuse(c, status);
    return writeTo(c);
}

void HttpServer::refuse(Connection& c, int status)
{
    httplib::Response response;
    response.status = status;
    fillError_(response);
    c.keepAlive = false;
    startWriting(c, response, nullptr);
}

void HttpServer::startWriting(Connection& c, httplib::Response& response, const httplib::Request* request)
{
    if (response.status < 100)
        response.status = 200;
    if (response.status >= 400 && response.body.empty())
        fillError_(response);
    if (++c.served >= kRequestsPerConnection || stopping_ || c.peerClosed)
        c.keepAlive = false;
    bool bodyless = (request && request->method == "HEAD") || response.status == 204 || response.status == 304;

    std::string& out = c.out;
    out.clear();
    out += "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) {
        if (!isToken(name) || hasControl(value) || sameName(name, "Content-Length") || sameName(name, "Connection"))
            continue;
        out += name + ": " + value + "\r\n";
    }
    if (response.status != 204 && response.status != 304)
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += c.keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    if (!bodyless)
        out += response.body;
    c.written = 0;
    c.state = Connection::State::writing;
    c.deadline = Clock::now() + limits_.writeTime;
}

bool HttpServer::writeTo(Connection& c)
{
    if (c.state != Connection::State::writing)
        return true;
    while (c.written < c.out.size()) {
        ssize_t n = ::send(c.fd, c.out.data() + c.written, c.out.size() - c.written, MSG_NOSIGNAL);
        if (n > 0) {
            c.written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Clock::now() < c.deadline;
        return false;
    }
    if (!c.keepAlive) {
        ::shutdown(c.fd, SHUT_WR);
        c.state = Connection::State::closing;
        c.deadline = Clock::now() + kLingerTime;
        c.out.clear();
        return true;
    }
    c.waitForNext(Clock::now(), limits_);
    return true;
}

void HttpServer::work(int lane)
{
    auto& jobs = jobs_[lane];
    for (;;) {
        ConnectionPtr c;
        {
            std::unique_lock lock(mutex_);
            jobsChanged_.wait(lock, [&] { return !jobs.empty() || workersDone_; });
            if (jobs.empty())
                return;
            c = std::move(jobs.front());
            jobs.pop_front();
        }
        httplib::Response response;
        try {
            handler_(c->request, response);
        } catch (...) {
            response = httplib::Response();
            response.status = 500;
        }
        try {
            startWriting(*c, response, &c->request);
            // Most replies fit the socket buffer: sending here spares the
            // client the hop back to the loop; the loop writes the rest.
            if (!writeTo(*c))
                c.reset();
        } catch (...) {
            c.reset(); // out of memory for the reply: the connection is dropped
        }
        {
            std::lock_guard lock(mutex_);
            if (c)
                answered_.push_back(std::move(c));
            --busy_;
        }
        wake();
    }
}

}
