#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvid {

// What one client may cost the server. A connection is read by one poll
// loop until its whole request (line, headers and body) is in, so a client
// that trickles bytes holds a file descriptor and a bounded buffer, never a
// worker; workers only run handlers, and the loop writes the replies.
struct HttpLimits {
    // From the first byte of a request to the end of its headers.
    std::chrono::milliseconds headerTime { 10000 };
    // From the end of the headers to the end of the body.
    std::chrono::milliseconds bodyTime { 30000 };
    // A kept-alive connection waiting for its next request.
    std::chrono::milliseconds idleTime { 5000 };
    // Writing one reply.
    std::chrono::milliseconds writeTime { 30000 };
    // Request line and headers together, and the number of header lines.
    std::size_t maxHeaderBytes = 32 * 1024;
    std::size_t maxHeaderLines = 100;
    std::size_t maxBodyBytes = 1 << 20;
    std::size_t maxConnections = 512;
    int backlog = 512;
    int workers = 16;
    // Requests the `aside` hook picks (slow by design, like sign-ins that
    // hash a password) have workers of their own: a flood of them waits in
    // its own queue while every other request is still served.
    int asideWorkers = 4;
};

// A small HTTP/1.1 server for one loopback listener, with the library's
// request and response types so handlers stay as they are. Each request is
// answered by `handler`, after `admit` (which may refuse it with a status)
// has seen its line and headers and before its body is read. Refusals and
// failures are given a body by `fillError`.
class HttpServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    // 0 lets the request through; any other value is the refusal's status.
    using Admit = std::function<int(const httplib::Request&)>;
    using FillError = std::function<void(httplib::Response&)>;
    using Aside = std::function<bool(const httplib::Request&)>;

    HttpServer(Handler handler, Admit admit, FillError fillError, HttpLimits limits = {}, Aside aside = nullptr);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens on an IPv4 address; the port bound (a free one for
    // port 0), or -1.
    int bind(const std::string& address, int port);
    // Serves until stop(); replies already being produced are finished first.
    void run();
    void stop();
    bool running() const { return running_; }

private:
    struct Connection;
    using ConnectionPtr = std::unique_ptr<Connection>;

    void loop();
    void acceptAll(std::vector<ConnectionPtr>& connections);
    // Reads what is there; false when the connection is finished with.
    bool readFrom(Connection& connection);
    // Moves a connection on once its buffer holds a whole request (or a
    // reason to refuse it); false when it is to be closed.
    bool advance(Connection& connection);
    // Parses the line and headers; 0, or the status to refuse them with.
    int parse(Connection& connection);
    bool writeTo(Connection& connection);
    void refuse(Connection& connection, int status);
    bool refuseNow(Connection& connection, int status);
    void startWriting(Connection& connection, httplib::Response& response, const httplib::Request* request);
    void work(int lane);
    void wake();

    Handler handler_;
    Admit admit_;
    FillError fillError_;
    HttpLimits limits_;
    Aside aside_;

    int listener_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> running_ { false };
    std::atomic<bool> stopping_ { false };

    std::mutex mutex_;
    std::condition_variable jobsChanged_;
    std::deque<ConnectionPtr> jobs_[2];   // whole requests waiting for a worker, by lane
    std::vector<ConnectionPtr> answered_; // replies handed back to the loop
    std::size_t busy_ = 0;                // connections held by workers
    bool workersDone_ = false;
    std::vector<std::thread> workers_;
};

}
