// The bridge channel in a real web view: what reaches the host from the top
// frame and from an embedded one, replies and errors back to the page's
// promise, a reply the host drops, replies given out of order, page scripts
// that try to replace the bridge, and views that must not carry it.
#include "platform/BridgeChannel.h"

#include "platform/GLibExecutor.h"
#include "platform/JsonVariant.h"
#include "platform/WebKitPageView.h"

#include <gtest/gtest.h>

#include <deque>

// Read by the undefined-behaviour sanitizer at start: WebKit's own code
// trips it in ways that are not ours to fix.
extern "C" const char* __ubsan_default_options()
{
    return "suppressions=" KORVID_UBSAN_SUPPRESSIONS;
}

namespace korvid {
namespace {

using namespace std::chrono_literals;

const char* const kPageURL = "file:///korvid-channel-test/page.html";

struct Received {
    bool isMainFrame;
    std::string frameURL;
    Json body;
};

class BridgeChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!gtk_init_check())
            GTEST_SKIP() << "no display";
        window_ = gtk_window_new();
        view_
            = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", BridgeChannel::webContext(), nullptr));
        gtk_window_set_child(GTK_WINDOW(window_), GTK_WIDGET(view_));
        page_ = std::make_shared<WebKitPageView>(view_);
        channel_ = std::make_unique<BridgeChannel>(view_, page_, [this](BridgeMessage message) {
            EXPECT_EQ(message.webView.lock(), page_);
            received.push_back({ message.isMainFrame, message.frameURL, message.body });
            answer(message);
        });
        gtk_window_present(GTK_WINDOW(window_));
        load(view_);
    }

    void load(WebKitWebView* view)
    {
        webkit_web_view_load_html(view, "<!doctype html><title>ready</title>", kPageURL);
        ASSERT_TRUE(main.runUntil(
            [&] {
                const char* title = webkit_web_view_get_title(view);
                return title && std::string(title) == "ready";
            },
            30s));
    }

    void TearDown() override
    {
        channel_.reset();
        page_.reset();
        if (window_)
            gtk_window_destroy(GTK_WINDOW(window_));
        main.runUntil([] { return false; }, 200ms);
    }

    // Runs `body` as an async function in the page and gives its value, or
    // "error: <message>" when it throws.
    Json run(const std::string& body) { return run(view_, body); }
    Json run(WebKitWebView* view, const std::string& body)
    {
        struct State {
            bool done = false;
            Json value = "no value";
        } state;
        std::string guarded = "try {" + body + "} catch (error) { return 'error: ' + error.message; }";
        webkit_web_view_call_async_javascript_function(
            view, guarded.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* state = static_cast<State*>(data);
                if (JSCValue* value
                    = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, nullptr)) {
                    state->value = jsonFromJSCValue(value).value_or(Json("unserialisable"));
                    g_object_unref(value);
                }
                state->done = true;
            },
            &state);
        EXPECT_TRUE(main.runUntil([&] { return state.done; }, 30s));
        return state.value;
    }

    GLibExecutor main;
    std::vector<Received> received;
    // What the host does with each message; by default it echoes the body.
    std::function<void(BridgeMessage&)> answer = [](BridgeMessage& message) {
        message.reply(Json { { "echo", message.body } }, std::nullopt);
    };

    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    std::shared_ptr<WebKitPageView> page_;
    std::unique_ptr<BridgeChannel> channel_;
};

TEST_F(BridgeChannelTest, TheTopFrameAndAnEmbeddedFrameAreToldApart)
{
    // Text that looks like separators, quotes and JSON of its own.
    Json body = { { "op", "save" }, { "text", "一 二\n三!4 {\"x\": 1}" }, { "n", 1.5 }, { "list", { 1, nullptr } } };
    // (Compared as unordered objects: the page's value comes back through
    // a script object, whose key order is the engine's.)
    auto echoed = run("return await korvidDesktop.post(" + body.dump() + ");");
    EXPECT_EQ(nlohmann::json::parse(echoed.dump()), nlohmann::json::parse(Json { { "echo", body } }.dump()));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received[0].isMainFrame);
    EXPECT_EQ(received[0].frameURL, kPageURL);
    EXPECT_EQ(received[0].body, body);

    // The same page's helper, called in an embedded frame, reports that frame.
    EXPECT_EQ(run("const frame = document.createElement('iframe'); frame.srcdoc = '<p>inner';"
                  "await new Promise(done => { frame.onload = done; document.body.append(frame); });"
                  "return await frame.contentWindow.korvidDesktop.post({op: 'session'});"),
        (Json { { "echo", { { "op", "session" } } } }));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_FALSE(received[1].isMainFrame);
    EXPECT_EQ(received[1].frameURL, "about:srcdoc");

    // A page that moved in its history reports where it is now.
    EXPECT_EQ(run("history.pushState({}, '', '?elsewhere'); return location.href;"),
        "file:///korvid-channel-test/page.html?elsewhere");
    run("return await korvidDesktop.post({op: 'session'});");
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[2].frameURL, "file:///korvid-channel-test/page.html?elsewhere");
}

TEST_F(BridgeChannelTest, ErrorsDroppedRepliesAndThrowingHostsRejectWithOneSentence)
{
    answer = [](BridgeMessage& message) { message.reply(std::nullopt, std::string("没有这个任务！ 123")); };
    EXPECT_EQ(run("return await korvidDesktop.post({op: 'taskSave'});"), "error: 没有这个任务！ 123");
    // The host let the reply go without calling it.
    answer = [](BridgeMessage& message) { message.reply = nullptr; };
    EXPECT_EQ(run("return await korvidDesktop.post({op: 'taskSave'});"), "error: 操作已中断，请重试。");
    answer = [](BridgeMessage&) { throw std::runtime_error("boom"); };
    EXPECT_EQ(run("return await korvidDesktop.post({op: 'taskSave'});"), "error: 无效请求");
    // A reply called twice answers once.
    answer = [](BridgeMessage& message) {
        message.reply(Json("first"), std::nullopt);
        message.reply(Json("second"), std::nullopt);
    };
    EXPECT_EQ(run("return await korvidDesktop.post({op: 'session'});"), "first");
}

TEST_F(BridgeChannelTest, RepliesGivenOutOfOrderReachTheirOwnPromises)
{
    std::deque<BridgeMessage> held;
    answer = [&](BridgeMessage& message) {
        held.push_back(std::move(message));
        if (held.size() < 3)
            return;
        while (!held.empty()) {
            held.back().reply(Json { { "echo", held.back().body } }, std::nullopt);
            held.pop_back();
        }
    };
    EXPECT_EQ(run("const replies = await Promise.all([1, 2, 3].map(n => korvidDesktop.post({n})));"
                  "return replies.map(reply => reply.echo.n);"),
        (Json { 1, 2, 3 }));
}

TEST_F(BridgeChannelTest, PageScriptsCannotReplaceTheBridgeNorSendWhatItWouldNot)
{
    EXPECT_EQ(run("return typeof window.webkit?.messageHandlers?.desktop;"), "undefined");
    // The page's `korvidDesktop` stays the bridge's own.
    EXPECT_EQ(run("'use strict'; try { window.korvidDesktop = {post: () => 'forged'}; } catch {}"
                  "try { Object.defineProperty(window, 'korvidDesktop', {value: 1}); } catch {}"
                  "try { korvidDesktop.post = () => 'forged'; } catch {}"
                  "return await korvidDesktop.post({op: 'session'});"),
        (Json { { "echo", { { "op", "session" } } } }));
    // Bodies that cannot be written as JSON reach the host as nothing.
    run("const loop = {}; loop.self = loop; return await korvidDesktop.post(loop);");
    run("return await korvidDesktop.post(undefined);");
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[1].body, nullptr);
    EXPECT_EQ(received[2].body, nullptr);
}

TEST_F(BridgeChannelTest, OnlyViewsOfTheBridgeContextCarryItAndOnlyAChannelAnswers)
{
    // A view of the default context (sign-in, web workspaces) never loads the
    // bridge's extension.
    auto* other = WEBKIT_WEB_VIEW(g_object_ref_sink(webkit_web_view_new()));
    load(other);
    EXPECT_EQ(run(other, "return typeof window.korvidDesktop;"), "undefined");
    g_object_unref(other);

    // A view of the bridge's context with no channel on it: the call is
    // refused rather than left pending, and no channel hears it.
    auto* bare = WEBKIT_WEB_VIEW(
        g_object_ref_sink(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", BridgeChannel::webContext(), nullptr)));
    load(bare);
    EXPECT_EQ(run(bare, "return await korvidDesktop.post({op: 'session'});"), "error: 操作已中断，请重试。");
    g_object_unref(bare);

    // A channel gone from its view answers nothing more.
    channel_.reset();
    EXPECT_EQ(run("return await korvidDesktop.post({op: 'session'});"), "error: 操作已中断，请重试。");
    EXPECT_TRUE(received.empty());
}

}
}
