// Feeds arbitrary page messages and service answers through the gate, the
// dispatch and the response reader. Input: the page message, a newline, then
// the service's answer body; the answer's status is picked from the input's
// length. Every message must get exactly one reply and nothing may crash.
#include "host/DesktopBridge.h"
#include "host/DesktopHost.h"

#include <cstdlib>

namespace korvid {
namespace {

constexpr long kStatuses[] = { 200, 201, 204, 302, 400, 401, 404, 500 };

class ScriptedTransport final : public HttpTransport {
public:
    void send(HttpRequest, std::function<void(HttpResult)> done) override
    {
        done(HttpResult { status, answer, std::nullopt });
    }
    long status = 200;
    std::string answer;
};

class PageStub final : public PageView {
public:
    void evaluateScript(const std::string&) override { }
    void callAsyncFunction(const std::string&, const Json&) override { }
    std::optional<std::uint64_t> windowID() const override { return 7; }
};

struct World {
    ManualExecutor main;
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>();
    std::shared_ptr<PageStub> view = std::make_shared<PageStub>();
    std::unique_ptr<DesktopHost> host;
    std::unique_ptr<DesktopBridge> bridge;

    World()
    {
        DesktopHostOptions options;
        options.origin = "https://app.korvid.cn";
        options.desktopPageURL = "file:///fuzz/Desktop.html";
        options.settingsPath = "/tmp/korvid-fuzz-settings/settings.json";
        options.transport = transport;
        host = std::make_unique<DesktopHost>(main, options);
        bridge = std::make_unique<DesktopBridge>(*host);
        bridge->machine.accessibilityTrusted = [](auto done) { done(true); };
        bridge->machine.applyAppearance = [](DesktopAppearance) {};
        bridge->machine.inspectWindow = [](std::uint64_t) -> std::int64_t { return 1; };
        // Every entry of the task workspace answers with what it was given.
        auto echo = [](const std::string&, const Json& payload) { return payload; };
        bridge->tasks.workspace.open = [](const std::string&) { return Json::object(); };
        bridge->tasks.workspace.createProject = echo;
        bridge->tasks.workspace.save = echo;
        bridge->tasks.workspace.confirm = echo;
        bridge->tasks.workspace.source = echo;
        bridge->tasks.workspace.startScope = echo;
        bridge->tasks.workspace.attach = [](const std::string&, const Json& payload, const auto&) { return payload; };
        bridge->tasks.selectTaskFiles = [](auto done) { done({}); };
        bridge->machine.selectEventFile = [](auto done) { done(std::nullopt); };
        bridge->webWorkspaces.makeWebWorkspace
            = [](WebWorkspaceArguments) -> std::shared_ptr<WebWorkspace> { return nullptr; };
    }

    void signIn()
    {
        if (host->screen() == Screen::workspace)
            return;
        host->didVerify({ "token", "account-1", "一号" }, std::make_shared<WebsiteDataStore>());
        host->setWorkspaceWeb(view);
    }
};

}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace korvid;
    static World world;
    std::string input(reinterpret_cast<const char*>(data), size);
    auto split = input.find('\n');
    std::string page = input.substr(0, split);
    world.transport->answer = split == std::string::npos ? std::string() : input.substr(split + 1);
    world.transport->status = kStatuses[size % std::size(kStatuses)];

    Json body = Json::parse(page, nullptr, false);
    if (body.is_discarded())
        return 0;
    if (body.is_object() && !body.contains("owner"))
        body["owner"] = "account-1";
    world.signIn();

    int replies = 0;
    BridgeMessage message;
    message.webView = world.view;
    message.isMainFrame = true;
    message.frameURL = "file:///fuzz/Desktop.html";
    message.body = std::move(body);
    message.reply = [&replies](std::optional<Json> value, std::optional<std::string> error) {
        ++replies;
        if (value.has_value() == error.has_value())
            std::abort();
    };
    world.bridge->receive(std::move(message));
    world.main.runUntil([&] { return replies > 0; }, 5000);
    world.main.runUntilIdle();
    if (replies != 1)
        std::abort();
    return 0;
}
