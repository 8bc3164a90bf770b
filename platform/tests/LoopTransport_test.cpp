// Service requests carried by the GLib main loop itself, against a real
// loopback HTTP server: answers come back on the loop's thread, the
// connection is kept between requests, and a transport dropped with requests
// in flight calls nobody back.
#include "host/CurlTransport.h"
#include "platform/GLibExecutor.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace korvid {
namespace {

using namespace std::chrono_literals;

class Server {
public:
    Server()
    {
        server_.Get("/v1/me", [this](const httplib::Request& request, httplib::Response& response) {
            {
                std::unique_lock lock(mutex_);
                ports_.push_back(request.remote_port);
                wake_.notify_all();
                wake_.wait(lock, [this] { return !held_; });
            }
            response.set_content(R"({"id":"u1","name":"甲"})", "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(1ms);
    }
    ~Server()
    {
        hold(false);
        server_.stop();
        thread_.join();
    }
    HttpRequest get() const
    {
        HttpRequest request;
        request.method = "GET";
        request.url = "http://127.0.0.1:" + std::to_string(port_) + "/v1/me";
        return request;
    }
    void hold(bool held)
    {
        std::lock_guard lock(mutex_);
        held_ = held;
        wake_.notify_all();
    }
    std::vector<int> ports()
    {
        std::lock_guard lock(mutex_);
        return ports_;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool held_ = false;
    std::vector<int> ports_;
};

TEST(GLibLoopTransportTest, AnswersArriveOnTheLoopThreadOverOneConnection)
{
    Server server;
    GLibExecutor main;
    CurlLoopTransport transport(main);
    auto loopThread = std::this_thread::get_id();
    std::vector<HttpResult> results;
    for (int i = 0; i < 3; ++i) {
        transport.send(server.get(), [&](HttpResult result) {
            EXPECT_EQ(std::this_thread::get_id(), loopThread);
            results.push_back(std::move(result));
        });
        EXPECT_EQ(results.size(), static_cast<std::size_t>(i)) << "answered from inside send";
        ASSERT_TRUE(main.runUntil([&] { return results.size() == static_cast<std::size_t>(i + 1); }, 5s));
        EXPECT_EQ(results.back().status, 200);
        EXPECT_EQ(results.back().body, R"({"id":"u1","name":"甲"})");
    }
    auto ports = server.ports();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0], ports[1]);
    EXPECT_EQ(ports[1], ports[2]);
}

TEST(GLibLoopTransportTest, DroppedWithRequestsInFlightItCallsNobodyBack)
{
    Server server;
    GLibExecutor main;
    server.hold(true);
    int calls = 0;
    auto captured = std::make_shared<int>(0);
    {
        CurlLoopTransport transport(main);
        for (int i = 0; i < 2; ++i)
            transport.send(server.get(), [&calls, captured](HttpResult) { ++calls; });
        ASSERT_TRUE(main.runUntil([&] { return server.ports().size() == 2; }, 5s));
    }
    EXPECT_EQ(captured.use_count(), 1);
    server.hold(false);
    main.runUntil([] { return false; }, 100ms);
    EXPECT_EQ(calls, 0);

    // A new transport on the same loop works as before.
    CurlLoopTransport again(main);
    std::optional<HttpResult> result;
    again.send(server.get(), [&](HttpResult arrived) { result = std::move(arrived); });
    ASSERT_TRUE(main.runUntil([&] { return result.has_value(); }, 5s));
    EXPECT_EQ(result->status, 200);
}

}
}
