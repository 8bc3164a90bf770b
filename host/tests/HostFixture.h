#pragma once

// Shared pieces of the host tests: a loopback service the tests script, a
// stand-in for the web view (no WebKit in the platform-free core), and a
// host and its bridge driven by a deterministic main loop.

#include "host/DesktopBridge.h"
#include "host/DesktopHost.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>

namespace korvid::testing {

// One request as it arrived at the loopback service.
struct Received {
    std::string method;
    std::string target; // path and query, as sent
    std::string path;
    httplib::Headers headers;
    std::string body;
    int remotePort = 0;

    std::string header(const std::string& name) const
    {
        auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
    bool hasHeader(const std::string& name) const { return headers.count(name) > 0; }
};

// A real HTTP server on 127.0.0.1 with scripted answers per path.
class LoopbackService {
public:
    struct Answer {
        int status = 200;
        std::string body = "{}";
        std::string contentType = "application/json";
        std::map<std::string, std::string> headers;
        int delayMs = 0;
    };

    LoopbackService()
    {
        auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            Answer answer;
            {
                std::lock_guard lock(mutex_);
                received_.push_back({ request.method, request.target, request.path, request.headers, request.body,
                    request.remote_port });
                auto found = answers_.find(request.method + " " + request.path);
                if (found == answers_.end())
                    found = answers_.find(request.path);
                if (found != answers_.end())
                    answer = found->second;
            }
            if (answer.delayMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
            waitWhileHeld();
            response.status = answer.status;
            for (auto& [name, value] : answer.headers)
                response.set_header(name, value);
            if (!answer.body.empty() || answer.status != 204)
                response.set_content(answer.body, answer.contentType.c_str());
        };
        server_.set_tcp_nodelay(true);
        server_.Get(".*", handler);
        server_.Post(".*", handler);
        server_.Put(".*", handler);
        server_.Patch(".*", handler);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    ~LoopbackService()
    {
        release();
        server_.stop();
        thread_.join();
    }

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Answers for "METHOD /path" or for "/path" with any method.
    void answer(const std::string& key, Answer answer)
    {
        std::lock_guard lock(mutex_);
        answers_[key] = std::move(answer);
    }
    void answer(const std::string& key, int status, std::string body)
    {
        Answer scripted;
        scripted.status = status;
        scripted.body = std::move(body);
        answer(key, std::move(scripted));
    }

    std::vector<Received> received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::size_t count()
    {
        std::lock_guard lock(mutex_);
        return received_.size();
    }

    // While held, answers wait (after the request was recorded).
    void hold()
    {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release()
    {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        wake_.notify_all();
    }

private:
    void waitWhileHeld()
    {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return !held_; });
    }

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool held_ = false;
    std::map<std::string, Answer> answers_;
    std::vector<Received> received_;
};

// Stands in for the WebKit view: records what the host asks of the page.
class FakePageView final : public PageView {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void callAsyncFunction(const std::string& body, const Json& arguments) override
    {
        calls.push_back({ body, arguments });
    }
    std::optional<std::uint64_t> windowID() const override { return window; }

    std::vector<std::string> scripts;
    std::vector<std::pair<std::string, Json>> calls;
    std::optional<std::uint64_t> window = 0x3a00007;
};

// One stand-in for every entry of the task workspace, told which page
// operation it serves ("workspaceOpen" gets no payload).
using WorkspaceStandIn = std::function<Json(const std::string& op, const std::string& owner, const Json& payload,
    const std::vector<std::filesystem::path>& files)>;

inline void standInForWorkspace(TaskOps& tasks, WorkspaceStandIn standIn)
{
    auto with = [standIn](const char* op) {
        return [standIn, op](const std::string& owner, const Json& payload) { return standIn(op, owner, payload, {}); };
    };
    tasks.workspace.open
        = [standIn](const std::string& owner) { return standIn("workspaceOpen", owner, Json::object(), {}); };
    tasks.workspace.createProject = with("projectCreate");
    tasks.workspace.save = with("taskSave");
    tasks.workspace.confirm = with("taskConfirm");
    tasks.workspace.source = with("taskSource");
    tasks.workspace.startScope = with("taskStart");
    tasks.workspace.attach
        = [standIn](const std::string& owner, const Json& payload, const std::vector<std::filesystem::path>& files) {
              return standIn("taskAttach", owner, payload, files);
          };
}

// The outcome of one page message.
struct Outcome {
    int calls = 0;
    std::optional<Json> value;
    std::optional<std::string> error;
};

inline const char* kPageURL = "file:///opt/korvid/resources/Desktop.html";

// A signed-in host with a main web view, a loopback service and a
// deterministic main loop.
class HostTest : public ::testing::Test {
protected:
    HostTest() { build({}); }

    // (Re)creates the signed-in host; `adjust` changes the test options.
    void build(const std::function<void(DesktopHostOptions&)>& adjust)
    {
        if (host) {
            drain();
            bridge.reset();
            host.reset();
            main.runUntilIdle();
        }
        settingsFolder = std::filesystem::temp_directory_path()
            / ("korvid-host-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial()));
        DesktopHostOptions options;
        options.origin = service.origin();
        options.desktopPageURL = kPageURL;
        options.settingsPath = settingsFolder / "settings.json";
        options.requestTimeout = std::chrono::milliseconds(3000);
        options.turnTimeout = std::chrono::milliseconds(4000);
        if (adjust)
            adjust(options);
        host = std::make_unique<DesktopHost>(main, options);
        bridge = std::make_unique<DesktopBridge>(*host);
        view = std::make_shared<FakePageView>();
        host->setWorkspaceWeb(view);
        host->didAuthenticate({ "token-1", "account-1", "一号" });
    }

    ~HostTest() override
    {
        service.release();
        drain();
        bridge.reset();
        host.reset();
        main.runUntilIdle();
        std::filesystem::remove_all(settingsFolder);
    }

    // Runs the main loop while polling a condition that changes off it.
    bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 10000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            main.runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    static int& serial()
    {
        static int value = 0;
        return value;
    }

    // Posts a message from the main frame of the main view showing the page.
    std::shared_ptr<Outcome> post(Json body) { return postFrom(std::move(body), view, true, kPageURL); }

    std::shared_ptr<Outcome> postFrom(Json body, std::shared_ptr<PageView> sender, bool mainFrame, std::string url)
    {
        auto outcome = std::make_shared<Outcome>();
        BridgeMessage message;
        message.webView = sender;
        message.isMainFrame = mainFrame;
        message.frameURL = std::move(url);
        message.body = std::move(body);
        message.reply = [outcome](std::optional<Json> value, std::optional<std::string> error) {
            ++outcome->calls;
            EXPECT_NE(value.has_value(), error.has_value()) << "a reply carries exactly one of value and error";
            outcome->value = std::move(value);
            outcome->error = std::move(error);
        };
        bridge->receive(std::move(message));
        return outcome;
    }

    // Runs the main loop until the message is answered.
    Outcome wait(const std::shared_ptr<Outcome>& outcome)
    {
        EXPECT_TRUE(main.runUntil([&] { return outcome->calls > 0; }, 15000)) << "no reply";
        main.runUntilIdle();
        EXPECT_EQ(outcome->calls, 1);
        return *outcome;
    }

    Outcome call(Json body) { return wait(post(std::move(body))); }

    // `everyWorkspaceOp() = function` answers every task workspace entry.
    struct EveryWorkspaceOp {
        TaskOps& tasks;
        void operator=(WorkspaceStandIn standIn) { standInForWorkspace(tasks, std::move(standIn)); }
    };
    EveryWorkspaceOp everyWorkspaceOp() { return { bridge->tasks }; }

    // Lets in-flight work finish, so no coroutine outlives the test.
    void drain()
    {
        main.runUntil([] { return false; }, 50);
    }

    ManualExecutor main;
    LoopbackService service;
    std::filesystem::path settingsFolder;
    std::unique_ptr<DesktopHost> host;
    std::unique_ptr<DesktopBridge> bridge;
    std::shared_ptr<FakePageView> view;
};

inline LoopbackService::Answer slowAnswer(std::string body, int delayMs)
{
    LoopbackService::Answer answer;
    answer.body = std::move(body);
    answer.delayMs = delayMs;
    return answer;
}

inline void expectError(const Outcome& outcome, const std::string& text)
{
    EXPECT_FALSE(outcome.value.has_value()) << outcome.value->dump();
    EXPECT_EQ(outcome.error.value_or("<no error>"), text);
}

inline void expectValue(const Outcome& outcome, const Json& value)
{
    EXPECT_FALSE(outcome.error.has_value()) << *outcome.error;
    EXPECT_EQ(outcome.value.value_or(Json("<no value>")), value);
}

}
