// The shell end to end in the real WebKit under Xvfb: sign in through a real
// sign-in page served on loopback, reach the main surface, talk to the host
// over the bridge from the page, and sign out again.
#include "app/DesktopWindow.h"
#include "app/KorvidDesktop.h"
#include "app/tests/SignInTestService.h"
#include "app/tests/WindowTest.h"
#include "app/LoginSheet.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "driver/AccessibilityStatus.h"
#include "app/LocalServices.h"
#include "tasks/TaskWorkspace.h"

namespace korvid {
namespace {

using namespace std::chrono_literals;
using testing::runScript;
using testing::saveScreenshot;
using Kind = LoginActions::Phase::Kind;

class DesktopShellTest : public testing::WindowTest {
protected:
    DesktopShellTest()
        : WindowTest("korvid-shell")
    {
    }

    void open(const std::string& origin)
    {
        DesktopHostOptions options = applicationHostOptions(main);
        options.origin = origin;
        options.settingsPath = folder / "settings.json";
        makeHost(options);
        openWindow();
    }

    bool waitForPhase(Kind kind, std::chrono::milliseconds timeout = 40s)
    {
        return main.runUntil([&] { return window->signIn() && signInActions().phase().kind == kind; }, timeout);
    }

    // Draws a few frames so screenshots show the current state.
    void settle()
    {
        main.runUntil([] { return false; }, 400ms);
    }

    void signIn(const std::string& email)
    {
        ASSERT_TRUE(waitForPhase(Kind::ready))
            << "phase " << int(signInActions().phase().kind) << " " << signInActions().phase().message;
        auto outcome = submitSignIn(email, "korvid123");
        ASSERT_EQ(outcome.value, Json(true)) << outcome.error;
    }

    // Posts `body` from the main page (or from `frame`, a script expression
    // naming a window) and answers the reply or "error: <text>".
    Json post(const std::string& body, const std::string& frame = "window")
    {
        auto outcome = runScript(main, mainView(),
            "try { return await " + frame + ".korvidDesktop.post(" + body
                + "); }"
                  " catch (error) { return 'error: ' + error.message; }");
        EXPECT_TRUE(outcome.error.empty()) << outcome.error;
        return outcome.value.value_or(Json("no value"));
    }

    bool waitForMainPage()
    {
        return main.runUntil(
            [&] {
                if (!window->surface())
                    return false;
                auto ready = runScript(main, mainView(), "return document.documentElement.dataset.ready === 'true';");
                return ready.value == Json(true);
            },
            20s);
    }
};

TEST_F(DesktopShellTest, SignsInUsesTheBridgeAndSignsOut)
{
    SignInTestService service;
    open(service.origin());
    EXPECT_STREQ(gtk_window_get_title(window->window()), "Korvid");
    int minimumWidth = 0, minimumHeight = 0;
    gtk_widget_get_size_request(GTK_WIDGET(window->window()), &minimumWidth, &minimumHeight);
    EXPECT_EQ(minimumWidth, 700);
    EXPECT_EQ(minimumHeight, 530);

    ASSERT_TRUE(waitForPhase(Kind::ready)) << signInActions().phase().message;
    EXPECT_EQ(gtk_widget_get_width(GTK_WIDGET(window->window())), 940);
    EXPECT_EQ(gtk_widget_get_height(GTK_WIDGET(window->window())), 720);
    // The page was dressed, and the probe replaced the card's heading.
    auto dressed = runScript(main, signInView(),
        "return [document.documentElement.dataset.korvidDesktopLogin,"
        " document.querySelectorAll('style').length, document.querySelector('.card > h1').textContent];");
    EXPECT_EQ(dressed.value, (Json { "", 1, "邮箱登录" }));
    settle();
    testing::saveWebScreenshot(main, signInView(), "1-sign-in");

    // The sign-in browser goes away with its screen.
    gpointer signInBrowser = signInView();
    g_object_add_weak_pointer(G_OBJECT(signInBrowser), &signInBrowser);
    signIn("demo@korvid.cn");
    ASSERT_TRUE(main.runUntil([&] { return host->screen() == Screen::workspace; }, 30s));
    ASSERT_TRUE(waitForMainPage());
    EXPECT_TRUE(main.runUntil([&] { return signInBrowser == nullptr; }, 3s));
    if (signInBrowser)
        g_object_remove_weak_pointer(G_OBJECT(signInBrowser), &signInBrowser);
    EXPECT_EQ(host->session()->id, "acct-demo");
    EXPECT_TRUE(host->verifiedStore());
    settle();
    testing::saveWebScreenshot(main, mainView(), "2-main-surface");

    // Replies from the host, one per message.
    auto session = post("{op: 'session'}");
    EXPECT_EQ(session.value("id", ""), "acct-demo");
    EXPECT_EQ(session.value("label", ""), "demo@korvid.cn");
    EXPECT_EQ(session.value("destination", ""), "home");
    EXPECT_EQ(post("{op: 42}"), "error: 无效请求");
    EXPECT_EQ(post("'session'"), "error: 无效请求");
    EXPECT_EQ(post("{op: 'nonsense'}"), "error: 不支持的操作。");
    EXPECT_EQ(post("{op: 'appearance', value: 'dark'}"), (Json { { "value", "dark" } }));
    EXPECT_EQ(post("{op: 'appearance', value: 'Dark'}"), "error: 未知的颜色主题。");

    // An embedded frame showing the very same page is still not the main
    // frame. (File pages are opaque origins to each other, so the frame
    // reports its reply to the page by a message.)
    WebKitUserScript* inFrame = webkit_user_script_new(
        "if (window !== window.top) korvidDesktop.post({op: 'session'})"
        ".then(() => 'accepted', error => error.message).then(text => parent.postMessage({frameReply: text}, '*'));",
        WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
    webkit_user_content_manager_add_script(webkit_web_view_get_user_content_manager(mainView()), inFrame);
    webkit_user_script_unref(inFrame);
    auto frame = runScript(main, mainView(),
        "const reply = new Promise(done => addEventListener('message', event => done(event.data.frameReply)));"
        "const frame = document.createElement('iframe'); frame.src = location.href; document.body.append(frame);"
        "return await reply;");
    EXPECT_EQ(frame.value, Json("无效请求")) << frame.error;
    // A page script cannot pretend to be the top frame of another URL either.
    auto moved = runScript(
        main, mainView(), "history.pushState({}, '', location.pathname + '?elsewhere'); return location.href;");
    ASSERT_TRUE(moved.value && moved.value->is_string());
    EXPECT_EQ(post("{op: 'session'}"), "error: 无效请求");
    runScript(main, mainView(), "history.replaceState({}, '', location.pathname); return true;");
    EXPECT_EQ(post("{op: 'session'}")["id"], "acct-demo");

    // The main view does not leave its page.
    auto pageURL = host->desktopPageURL();
    runScript(main, mainView(), "location.href = '" + service.origin() + "/'; return true;");
    runScript(main, mainView(),
        "const link = document.createElement('a'); link.href = 'https://example.invalid/';"
        "document.body.append(link); link.click(); return true;");
    settle();
    EXPECT_EQ(webkit_web_view_get_uri(mainView()), pageURL);
    EXPECT_EQ(post("{op: 'session'}")["id"], "acct-demo");

    // A web workspace covers the main page without reloading it, and takes
    // pointer, keyboard and accessibility away from it while it is open.
    struct StubWorkspace final : WebWorkspace {
        void stop() override { ++stops; }
        int stops = 0;
    };
    std::shared_ptr<StubWorkspace> opened;
    bridge->webWorkspaces.makeWebWorkspace = [&](WebWorkspaceArguments) {
        opened = std::make_shared<StubWorkspace>();
        return opened;
    };
    runScript(main, mainView(), "window.keptState = 'still here'; return true;");
    EXPECT_EQ(post("{op: 'webWorkspace', route: 'home'}"), (Json { { "ok", true } }));
    ASSERT_TRUE(main.runUntil([&] { return window->webWorkspaceLayer() != nullptr; }, 5s));
    EXPECT_EQ(gtk_widget_get_opacity(window->surface()), 0.0);
    EXPECT_FALSE(gtk_widget_get_can_target(window->surface()));
    EXPECT_FALSE(gtk_widget_get_can_focus(window->surface()));
    host->closeWebWorkspace();
    ASSERT_TRUE(main.runUntil([&] { return window->webWorkspaceLayer() == nullptr; }, 5s));
    EXPECT_EQ(opened->stops, 1);
    EXPECT_EQ(gtk_widget_get_opacity(window->surface()), 1.0);
    EXPECT_TRUE(gtk_widget_get_can_target(window->surface()));
    EXPECT_EQ(runScript(main, mainView(), "return window.keptState;").value, Json("still here"));

    // Signing out with a web workspace open shows the sign-in screen.
    EXPECT_EQ(post("{op: 'webWorkspace', route: 'home'}"), (Json { { "ok", true } }));
    ASSERT_TRUE(main.runUntil([&] { return window->webWorkspaceLayer() != nullptr; }, 5s));
    EXPECT_EQ(post("{op: 'logout'}"), Json(true));
    EXPECT_EQ(opened->stops, 1);
    ASSERT_TRUE(main.runUntil([&] { return window->signIn() != nullptr; }, 5s));
    EXPECT_EQ(host->screen(), Screen::authentication);
    EXPECT_FALSE(host->session());
    ASSERT_TRUE(waitForPhase(Kind::ready));
    // A new sign-in starts from empty storage.
    auto stored = runScript(main, signInView(), "return localStorage.getItem('korvid.token');");
    EXPECT_EQ(stored.value, Json(nullptr));
    settle();
    testing::saveWebScreenshot(main, signInView(), "3-signed-out");
}

TEST_F(DesktopShellTest, SignsInToTheLocalExperienceService)
{
    if (!startService())
        GTEST_SKIP() << "korvid-service is not built beside the test";
    open(service->origin);
    signIn("demo@korvid.cn");
    ASSERT_TRUE(main.runUntil([&] { return host->screen() == Screen::workspace; }, 20s))
        << int(signInActions().phase().kind) << " " << signInActions().phase().message;
    ASSERT_TRUE(waitForMainPage());
    auto session = post("{op: 'session'}");
    EXPECT_EQ(session.value("label", ""), "demo@korvid.cn");

    // The product's own subsystems behind the bridge: the task workspace on
    // disk, the service's sales desk, and the driver reading this window.
    connectLocalServices(*bridge, std::make_shared<TaskWorkspace>(folder / "TaskWorkspace"));
    const std::string owner = session.value("id", "");
    auto opened = post("{op: 'workspaceOpen', owner: '" + owner + "'}");
    EXPECT_EQ(opened.value("projects", Json()), Json::array()) << opened.dump();
    EXPECT_EQ(opened.value("records", Json()), Json::array()) << opened.dump();
    auto partners = post("{op: 'sales', action: 'partners', owner: '" + owner + "'}");
    EXPECT_TRUE(partners.is_object()) << partners.dump();
    if (!accessibilityAvailable())
        GTEST_SKIP() << "no accessibility bus";
    auto inspected = post("{op: 'inspectOwnWindow'}");
    ASSERT_TRUE(inspected.is_object()) << inspected.dump();
    EXPECT_GT(inspected.value("elements", 0), 0) << inspected.dump();
}

TEST_F(DesktopShellTest, ShowsFailuresAndRecoversFromThem)
{
    {
        SignInTestService closed; // take a port, then let it go
        open(closed.origin());
    }
    ASSERT_TRUE(waitForPhase(Kind::failed));
    EXPECT_EQ(signInActions().phase().message, "无法连接本机体验服务，请重新加载。");
    settle();
    saveScreenshot(GTK_WIDGET(window->window()), "4-sign-in-failed");
    auto* sheet = LoginSheet::from(window->signIn());
    auto texts = testing::textsIn(sheet->overlayContent());
    EXPECT_EQ(texts, (std::vector<std::string> { "登录页未能打开", "无法连接本机体验服务，请重新加载。", "重新加载" }));
    EXPECT_FALSE(gtk_widget_get_can_target(GTK_WIDGET(signInView())));
    g_signal_emit_by_name(testing::findButton(sheet->overlayContent(), "重新加载"), "clicked");
    EXPECT_EQ(signInActions().phase().kind, Kind::loading);
    EXPECT_EQ(testing::textsIn(sheet->overlayContent()), std::vector<std::string> { "正在打开登录页…" });
}

TEST_F(DesktopShellTest, RejectedAccountOffersSignInAgainAndRetry)
{
    SignInTestService service;
    open(service.origin());
    signIn("noid@korvid.cn");
    ASSERT_TRUE(waitForPhase(Kind::verificationFailed));
    EXPECT_EQ(signInActions().phase().message, "无法确认目标账号。");
    EXPECT_EQ(host->screen(), Screen::authentication);
    settle();
    saveScreenshot(GTK_WIDGET(window->window()), "5-verification-failed");
    auto* content = LoginSheet::from(window->signIn())->overlayContent();
    EXPECT_EQ(testing::textsIn(content),
        (std::vector<std::string> { "账号验证未完成", "无法确认目标账号。", "重新登录", "重试验证" }));
    EXPECT_TRUE(gtk_widget_has_css_class(testing::findButton(content, "重试验证"), "suggested-action"));
    EXPECT_FALSE(gtk_widget_has_css_class(testing::findButton(content, "重新登录"), "suggested-action"));

    // Signing in again wipes the stored token: the page shows its form again.
    g_signal_emit_by_name(testing::findButton(content, "重新登录"), "clicked");
    ASSERT_TRUE(waitForPhase(Kind::ready));
    auto stored = runScript(main, signInView(), "return localStorage.getItem('korvid.token');");
    EXPECT_EQ(stored.value, Json(nullptr));
    signIn("demo@korvid.cn");
    ASSERT_TRUE(main.runUntil([&] { return host->screen() == Screen::workspace; }, 30s));
}

}
}
