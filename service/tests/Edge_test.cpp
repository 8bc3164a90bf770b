// What reaches the service from outside before any route runs: which host
// names it answers, how long and how large a request may be, clients that
// send slowly or too much, who may post to the sign-in routes, and the
// modes of the files it keeps.
#include "service/tests/ServiceFixture.h"

#include "service/tests/Loopback.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>

namespace korvid::test {

namespace {

using loopback::Clock;
using loopback::residentKiB;
using loopback::statusOf;
using std::chrono::milliseconds;

// A raw loopback connection, for requests no HTTP client library would send.
class Socket {
public:
    explicit Socket(int port)
        : fd_(loopback::connectTo(port))
    {
        if (fd_ < 0)
            throw std::runtime_error("connect failed");
    }
    ~Socket() { close(fd_); }
    Socket(const Socket&) = delete;

    void shutdownSending() { shutdown(fd_, SHUT_WR); }
    bool readable()
    {
        pollfd polled { fd_, POLLIN, 0 };
        return poll(&polled, 1, 0) > 0;
    }

    // False once the peer has closed or reset the connection.
    bool send(const std::string& bytes) { return loopback::sendAll(fd_, bytes); }

    // Everything the peer sends until it closes, or until `timeout` passes.
    std::string receive(milliseconds timeout = milliseconds(5000))
    {
        std::string text;
        auto deadline = Clock::now() + timeout;
        while (loopback::receiveSome(fd_, text, deadline)) {
        }
        return text;
    }

private:
    int fd_ = -1;
};

Json bodyOf(const std::string& reply)
{
    auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? Json() : Json::parse(reply.substr(end + 4), nullptr, false);
}

// Sends a whole request, shuts the sending side as some clients do, and
// reads the reply.
std::string roundTrip(int port, const std::string& request, milliseconds timeout = milliseconds(5000))
{
    Socket socket(port);
    socket.send(request);
    socket.shutdownSending();
    return socket.receive(timeout);
}

std::string own(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

std::string signInBody()
{
    return R"({"email":"demo@korvid.cn","password":"korvid123"})";
}

std::string post(
    const std::string& path, const std::string& host, const std::string& extraHeaders, const std::string& body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + extraHeaders
        + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

mode_t modeOf(const std::filesystem::path& path)
{
    struct stat info { };
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// korvid-service as a child process with stdout on a pipe; killed and
// reaped on every path.
class ServiceProcess {
public:
    explicit ServiceProcess(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), KORVID_SERVICE_BINARY);
        loopback::Spawned spawned = loopback::spawnWithOutput(std::move(arguments));
        pid_ = spawned.pid;
        out_ = spawned.out;
    }
    ~ServiceProcess()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }

    // All of stdout until the program closes it (or the timeout passes).
    std::string output(milliseconds timeout = milliseconds(20000))
    {
        std::string text;
        auto deadline = Clock::now() + timeout;
        while (loopback::receiveSome(out_, text, deadline))
            if (stopAtLine_ && text.find('\n') != std::string::npos)
                break;
        return text;
    }
    std::string firstLine()
    {
        stopAtLine_ = true;
        return output();
    }
    int exitCode()
    {
        if (status_ < 0 && pid_ > 0)
            waitpid(pid_, &status_, 0);
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    bool stopAtLine_ = false;
};

}

using EdgeTest = ServiceTest;

TEST_F(EdgeTest, OnlyLoopbackNamesWithTheServicePortAreAnswered)
{
    int port = service->port();
    for (std::string host : { own(port), "localhost:" + std::to_string(port), "LocalHost:" + std::to_string(port),
             "[::1]:" + std::to_string(port) }) {
        std::string reply = roundTrip(port, "GET /healthz HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(statusOf(reply), 200) << host;
    }

    // A page whose name was rebound to 127.0.0.1 sends its own name; the
    // same loopback names on another port belong to something else.
    for (const std::string& host : std::vector<std::string> { "evil.example:" + std::to_string(port), "evil.example",
             "127.0.0.1", "127.0.0.1:" + std::to_string(port + 1), "localhost.evil.example:" + std::to_string(port),
             "127.0.0.2:" + std::to_string(port), "127.0.0.1:0" + std::to_string(port) }) {
        std::string signIn
            = roundTrip(port, post("/auth/sign-in", host, "Content-Type: application/json\r\n", signInBody()));
        EXPECT_EQ(statusOf(signIn), 421) << host;
        EXPECT_EQ(bodyOf(signIn).value("code", ""), "misdirected_request") << host;
        EXPECT_EQ(bodyOf(signIn).value("message", ""), "请求的主机名不是本机服务，已拒绝。");
        std::string library = roundTrip(port,
            "GET /v1/library HTTP/1.1\r\nHost: " + host + "\r\nAuthorization: Bearer " + token
                + "\r\nx-korvid-privacy-version: 2\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(statusOf(library), 421) << host;
        EXPECT_EQ(library.find("companies"), std::string::npos);
    }
}

TEST_F(EdgeTest, ARequestWithoutOneHostIsRefused)
{
    int port = service->port();
    std::string none = roundTrip(port, "GET /healthz HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(statusOf(none), 400);
    EXPECT_EQ(bodyOf(none).value("code", ""), "bad_request");
    std::string two = roundTrip(port,
        "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\nHost: evil.example:" + std::to_string(port)
            + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(statusOf(two), 400);
    std::string twoSame = roundTrip(port,
        "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\nHost: " + own(port) + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(statusOf(twoSame), 400);
    // HTTP/1.0 without Host is refused as well: the name is what is checked.
    EXPECT_EQ(statusOf(roundTrip(port, "GET /healthz HTTP/1.0\r\n\r\n")), 400);
}

TEST_F(EdgeTest, SignInRoutesTakeOnlyJsonFromTheServiceOwnPages)
{
    int port = service->port();
    auto signIn = [&](const std::string& headers) {
        return roundTrip(port, post("/auth/sign-in", own(port), headers, signInBody()));
    };
    EXPECT_EQ(statusOf(signIn("Content-Type: application/json\r\n")), 200);
    EXPECT_EQ(statusOf(signIn("Content-Type: application/json\r\nOrigin: http://" + own(port) + "\r\n")), 200);
    EXPECT_EQ(
        statusOf(signIn("Content-Type: application/json\r\nOrigin: http://localhost:" + std::to_string(port) + "\r\n")),
        200);

    // What a cross-site form or "simple" request can send.
    for (std::string type : { "text/plain;x=application/json", "text/plain", "application/x-www-form-urlencoded",
             "multipart/form-data; boundary=x", "application/json; charset=utf-8", "application/jsonx", "" }) {
        std::string header = type.empty() ? "" : "Content-Type: " + type + "\r\n";
        std::string reply = signIn(header);
        EXPECT_EQ(statusOf(reply), 415) << type;
        EXPECT_EQ(bodyOf(reply).value("code", ""), "unsupported_media_type") << type;
    }
    for (const std::string& origin :
        std::vector<std::string> { "http://evil.example", "http://evil.example:" + std::to_string(port), "null",
            "https://" + own(port), "http://127.0.0.1:" + std::to_string(port + 1) }) {
        std::string reply = signIn("Content-Type: application/json\r\nOrigin: " + origin + "\r\n");
        EXPECT_EQ(statusOf(reply), 403) << origin;
        EXPECT_EQ(bodyOf(reply).value("code", ""), "forbidden_origin") << origin;
        EXPECT_EQ(reply.find("token"), std::string::npos);
    }
    std::string challenge = roundTrip(
        port, post("/auth/challenge", own(port), "Content-Type: text/plain\r\nOrigin: http://evil.example\r\n", "{}"));
    EXPECT_EQ(statusOf(challenge), 403);
}

TEST_F(EdgeTest, ABodyDeclaredOverTheCapIsRefusedAtOnce)
{
    int port = service->port();
    for (std::string length : { "104857600000", "1048577", "99999999999999999999999999" }) {
        Socket socket(port);
        auto started = Clock::now();
        socket.send("POST /v1/library/import HTTP/1.1\r\nHost: " + own(port) + "\r\nAuthorization: Bearer " + token
            + "\r\nx-korvid-privacy-version: 2\r\nContent-Type: application/json\r\nContent-Length: " + length
            + "\r\n\r\n{\"companies\":[");
        std::string reply = socket.receive();
        EXPECT_EQ(statusOf(reply), 413) << length;
        EXPECT_EQ(bodyOf(reply).value("code", ""), "payload_too_large");
        EXPECT_LT(Clock::now() - started, milliseconds(2000)) << length;
    }
    std::string conflicting = roundTrip(port,
        "POST /auth/sign-in HTTP/1.1\r\nHost: " + own(port)
            + "\r\nContent-Type: application/json\r\nContent-Length: 2\r\nContent-Length: 3\r\nConnection: "
              "close\r\n\r\n{}");
    EXPECT_EQ(statusOf(conflicting), 400);
    std::string chunked = roundTrip(port,
        "POST /auth/sign-in HTTP/1.1\r\nHost: " + own(port)
            + "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\nConnection: "
              "close\r\n\r\n2\r\n{}\r\n0\r\n\r\n");
    EXPECT_EQ(statusOf(chunked), 501);
    EXPECT_EQ(service->get("/v1/me", token).status, 200);
}

TEST_F(EdgeTest, HeadersAreCappedInCountAndSize)
{
    int port = service->port();
    std::string many = "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\n";
    for (int i = 0; i < 200; ++i)
        many += "X-" + std::to_string(i) + ": a\r\n";
    std::string countReply = roundTrip(port, many + "\r\n");
    EXPECT_EQ(statusOf(countReply), 431);
    EXPECT_EQ(bodyOf(countReply).value("code", ""), "headers_too_large");

    // One long header line, and a stream of lines that never ends: both
    // are cut off after the cap, however much more the client sends.
    std::string line = "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\nX-Long: " + std::string(64 * 1024, 'a');
    EXPECT_EQ(statusOf(roundTrip(port, line + "\r\n\r\n")), 431);

    Socket flood(port);
    flood.send("GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\n");
    std::string chunk(64 * 1024, 'b');
    std::size_t sent = 0;
    while (sent < 64u * 1024 * 1024 && flood.send("X-Flood: " + chunk + "\r\n"))
        sent += chunk.size();
    EXPECT_LT(sent, 64u * 1024 * 1024) << "the server kept reading an endless header";
    EXPECT_EQ(service->get("/v1/me", token).status, 200);
}

TEST_F(EdgeTest, RequestsAreReadWhole)
{
    // Pipelined requests, one split across many writes, and a kept-alive
    // connection all get their replies in order.
    int port = service->port();
    Socket socket(port);
    std::string request = "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\n\r\n";
    socket.send(request + request);
    std::string split = post("/auth/sign-in", own(port), "Content-Type: application/json\r\n", signInBody());
    for (char c : split)
        socket.send(std::string(1, c));
    std::string replies = socket.receive(milliseconds(3000));
    std::size_t okCount = 0;
    for (std::size_t at = 0; (at = replies.find("HTTP/1.1 200 OK", at)) != std::string::npos; ++at)
        ++okCount;
    EXPECT_EQ(okCount, 3u) << replies.substr(0, 300);
    EXPECT_NE(replies.find("\"token\""), std::string::npos);

    // HEAD has the headers of GET and no body.
    std::string head
        = roundTrip(port, "HEAD /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(statusOf(head), 200);
    EXPECT_NE(head.find("Content-Length: 2\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");

    for (std::string bad : { "GET healthz HTTP/1.1\r\n", "GET /healthz HTTP/1.1 extra\r\n", "GET /healthz FTP/1.0\r\n",
             "GET /heal\x01thz HTTP/1.1\r\n" })
        EXPECT_EQ(statusOf(roundTrip(port, bad + "Host: " + own(port) + "\r\n\r\n")), 400) << bad;
    EXPECT_EQ(statusOf(roundTrip(port, "GET /healthz HTTP/2.0\r\nHost: " + own(port) + "\r\n\r\n")), 505);
    EXPECT_EQ(
        statusOf(roundTrip(port, "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\nBad Name: x\r\n\r\n")), 400);
    EXPECT_EQ(statusOf(roundTrip(port, "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\n folded\r\n\r\n")), 400);
}

TEST(EdgeSlowClientTest, SlowClientsNeitherStarveOthersNorStayForever)
{
    ScratchFolder scratch;
    ServiceOptions options = ServiceTest::options(scratch.path());
    options.http.headerTime = milliseconds(1500);
    RunningService service(options);
    int port = service.port();
    std::string token = service.signIn();

    // Twelve clients, each sending its request a byte at a time, every
    // byte well within any per-read time-out.
    std::vector<std::string> slowReplies(12);
    std::vector<std::chrono::nanoseconds> slowTook(12);
    std::vector<std::thread> slow;
    for (int i = 0; i < 12; ++i) {
        slow.emplace_back([&, i] {
            Socket socket(port);
            std::string request = "GET /v1/me HTTP/1.1\r\nHost: " + own(port) + "\r\nAuthorization: Bearer " + token
                + "\r\nx-korvid-privacy-version: 2\r\nX-Padding: " + std::string(200, 'p') + "\r\n\r\n";
            auto started = Clock::now();
            for (char c : request) {
                if (socket.readable() || !socket.send(std::string(1, c)))
                    break;
                std::this_thread::sleep_for(milliseconds(20));
            }
            slowReplies[i] = socket.receive(milliseconds(3000));
            slowTook[i] = Clock::now() - started;
        });
    }
    std::this_thread::sleep_for(milliseconds(200));

    std::vector<double> latencies;
    auto until = Clock::now() + milliseconds(1200);
    while (Clock::now() < until) {
        auto started = Clock::now();
        Reply reply = service.get("/v1/me", token);
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
        EXPECT_EQ(reply.status, 200);
    }
    for (auto& thread : slow)
        thread.join();

    ASSERT_GE(latencies.size(), 5u);
    std::sort(latencies.begin(), latencies.end());
    EXPECT_LT(latencies[latencies.size() / 2], 100.0);
    EXPECT_LT(latencies.back(), 1000.0);
    // The whole request had 1.5 s: each slow client is refused then,
    // about 4 s before it would have finished.
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(statusOf(slowReplies[i]), 408) << i;
        EXPECT_EQ(bodyOf(slowReplies[i]).value("code", ""), "request_timeout");
        EXPECT_LT(slowTook[i], milliseconds(3500)) << i;
    }
}

TEST(EdgeFilesTest, DataFolderAndDatabaseAreTheOwnersAlone)
{
    ScratchFolder scratch;
    auto folder = scratch.path() / "data";
    ServiceOptions options = ServiceTest::options(folder);
    {
        RunningService service(options);
        service.signIn();
        EXPECT_EQ(modeOf(folder), 0700u);
        EXPECT_EQ(modeOf(folder / ServiceStore::kFileName), 0600u);
        auto wal = folder / (std::string(ServiceStore::kFileName) + "-wal");
        if (std::filesystem::exists(wal))
            EXPECT_EQ(modeOf(wal), 0600u);
    }
    // Files an earlier version left readable by everyone are closed up.
    chmod(folder.c_str(), 0755);
    chmod((folder / ServiceStore::kFileName).c_str(), 0644);
    {
        RunningService service(options);
        EXPECT_EQ(modeOf(folder), 0700u);
        EXPECT_EQ(modeOf(folder / ServiceStore::kFileName), 0600u);
        EXPECT_NO_THROW(service.signIn());
    }
}

TEST(EdgeProcessTest, HelpPrintsUsageAndSucceeds)
{
    for (std::vector<std::string> arguments : std::vector<std::vector<std::string>> {
             { "--help" }, { "-h" }, { "--port", "0", "--help" }, { "--data", "/nonexistent", "--help" } }) {
        ServiceProcess help(arguments);
        std::string text = help.output();
        EXPECT_EQ(help.exitCode(), 0) << arguments.back();
        EXPECT_EQ(text.rfind("用法：korvid-service", 0), 0u) << text;
        EXPECT_NE(text.find("--help"), std::string::npos);
    }
    ServiceProcess wrong({ "--bogus" });
    EXPECT_EQ(wrong.exitCode(), 2);
}

TEST(EdgeProcessTest, HeaderFloodsLeaveTheServiceSmall)
{
    ScratchFolder scratch;
    ServiceProcess service(
        { "--port", "0", "--data", scratch.path().string(), "--seed-companies", "20", "--seed-contacts", "20" });
    std::string line = service.firstLine();
    auto colon = line.rfind(':');
    ASSERT_NE(colon, std::string::npos) << line;
    int port = std::stoi(line.substr(colon + 1));
    ASSERT_EQ(
        statusOf(roundTrip(port, "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\nConnection: close\r\n\r\n")),
        200);
    std::int64_t before = residentKiB(service.pid());
    ASSERT_GT(before, 0);

    // Four connections, each offering 32 MB of header lines at once.
    std::vector<std::thread> floods;
    for (int i = 0; i < 4; ++i) {
        floods.emplace_back([port] {
            Socket socket(port);
            socket.send("GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\n");
            std::string chunk = "X-Flood: " + std::string(1000, 'f') + "\r\n";
            std::string block;
            for (int j = 0; j < 64; ++j)
                block += chunk;
            for (std::size_t sent = 0; sent < 32u * 1024 * 1024 && socket.send(block); sent += block.size()) {
            }
        });
    }
    for (auto& flood : floods)
        flood.join();
    std::this_thread::sleep_for(milliseconds(200));
    std::int64_t after = residentKiB(service.pid());
    EXPECT_LT(after - before, 32 * 1024) << before << " KiB before, " << after << " KiB after";
    EXPECT_EQ(
        statusOf(roundTrip(port, "GET /healthz HTTP/1.1\r\nHost: " + own(port) + "\r\nConnection: close\r\n\r\n")),
        200);
}

TEST(EdgeServerTest, SlowRequestsSetAsideLeaveTheOtherWorkersFree)
{
    std::atomic<int> slowStarted { 0 };
    HttpLimits limits;
    limits.workers = 2;
    limits.asideWorkers = 1;
    HttpServer server(
        [&](const httplib::Request& request, httplib::Response& response) {
            if (request.path == "/slow") {
                ++slowStarted;
                std::this_thread::sleep_for(milliseconds(300));
            }
            response.set_content("done", "text/plain");
        },
        [](const httplib::Request&) { return 0; }, [](httplib::Response&) {}, limits,
        [](const httplib::Request& request) { return request.path == "/slow"; });
    int port = server.bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    std::thread running([&] { server.run(); });

    // Ten slow requests at once: more than every worker there is.
    std::vector<std::unique_ptr<Socket>> slow;
    for (int i = 0; i < 10; ++i) {
        slow.push_back(std::make_unique<Socket>(port));
        slow.back()->send("GET /slow HTTP/1.1\r\nHost: " + own(port) + "\r\n\r\n");
    }
    while (slowStarted == 0)
        std::this_thread::sleep_for(milliseconds(5));
    for (int i = 0; i < 5; ++i) {
        auto started = Clock::now();
        std::string reply = roundTrip(port, "GET /fast HTTP/1.1\r\nHost: " + own(port) + "\r\n\r\n");
        EXPECT_EQ(statusOf(reply), 200);
        EXPECT_LT(Clock::now() - started, milliseconds(200)) << i;
    }
    EXPECT_LE(slowStarted, 2);
    server.stop();
    running.join();
}

}
