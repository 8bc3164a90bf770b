// The pages people meet around the main page, in the real application under
// Xvfb against the local experience service: the sign-in card as a new user
// finds it, the company page with the company's profile, contacts,
// opportunities and minutes, and the WeChat review with its accept and reject,
// each failure shown in place as a Chinese sentence.
#include "app/DesktopWindow.h"
#include "app/KorvidDesktop.h"
#include "app/tests/WindowTest.h"

#include <gtest/gtest.h>

#include <regex>

#include <unistd.h>

// Last: Xlib's macros (None, Bool, Status) collide with names above.
#include <gdk/x11/gdkx.h>
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace korvid {
namespace {

using namespace std::chrono_literals;
using testing::runScript;
using Kind = LoginActions::Phase::Kind;

const std::string kPrelude = testing::kWaitPrelude + std::string(R"JS(
const shows = text => document.body.innerText.includes(text);
const visible = e => !!(e.offsetWidth || e.offsetHeight || e.getClientRects().length);
const button = label => [...document.querySelectorAll('button')].find(b => b.textContent.trim() === label && visible(b));
)JS");

// The seed's first company and its first WeChat snapshot batch.
const std::string kCompany = "00000002-0000-4000-8000-000000000001";
const std::string kSnapshot = "0000000d-0000-4000-8000-000000000001";
const std::string kBatch = "0000000e-0000-4000-8000-000000000001";

class WorkspacePagesTest : public testing::WindowTest {
protected:
    WorkspacePagesTest()
        : WindowTest("korvid-workspace-pages")
    {
    }

    void SetUp() override
    {
        WindowTest::SetUp();
        if (IsSkipped())
            return;
        if (!startService())
            GTEST_SKIP() << "korvid-service is not built beside the test";
        DesktopHostOptions options;
        options.origin = service->origin;
        options.settingsPath = folder / "settings.json";
        makeHost(options);
        connectTaskWorkspace();
        connectWebWorkspaces(*bridge, WebKitWebWorkspace::defaultDesktop());
        openWindow(webWorkspaceLayer());
        ASSERT_TRUE(main.runUntil([&] { return signInActions().phase().kind == Kind::ready; }, 40s))
            << signInActions().phase().message;
    }

    Json run(WebKitWebView* view, const std::string& body) { return runGuarded(view, kPrelude, body); }
    Json inWorkspace(const std::string& body) { return run(workspace()->browser(), body); }

    // Fills the card and submits it the way Enter in a field does.
    void signIn(const std::string& email, const std::string& password)
    {
        run(signInView(),
            "document.getElementById('email').value = " + Json(email).dump()
                + ";"
                  "document.getElementById('password').value = "
                + Json(password).dump()
                + ";"
                  "document.getElementById('password').focus();"
                  "document.getElementById('form').requestSubmit(); return true;");
    }

    void open(Json body)
    {
        body["owner"] = *host->accountID();
        ASSERT_EQ(run(mainView(), "return await korvidDesktop.post(" + body.dump() + ");"), (Json { { "ok", true } }));
        ASSERT_TRUE(workspace());
        ASSERT_TRUE(main.runUntil(
            [&] {
                const char* uri = webkit_web_view_get_uri(workspace()->browser());
                return !webkit_web_view_is_loading(workspace()->browser()) && uri && workspace()->entry() == uri;
            },
            20s))
            << workspace()->entry();
    }

    // The workspace's page as WebKit draws it.
    void shot(const std::string& name)
    {
        main.runUntil([] { return false; }, 400ms);
        testing::saveWebScreenshot(main, workspace()->browser(), "workspace-pages-" + name);
    }

    // The page in the dark theme at the smallest window the app allows:
    // nothing on it wider than the window, and a picture to look at.
    void checkDarkAndNarrow(const std::string& name)
    {
        EXPECT_EQ(run(mainView(), "return await korvidDesktop.post({op: 'appearance', value: 'dark'});"),
            (Json { { "value", "dark" } }));
        resize(700, 530);
        EXPECT_EQ(inWorkspace("return document.documentElement.scrollWidth <= innerWidth;"), Json(true));
        shot(name + "-dark-700");
    }
};

TEST_F(WorkspacePagesTest, TheSignInCardAsANewUserFindsIt)
{
    // One title, the e-mail field focused, the desktop's style sheet applied.
    Json card = run(signInView(), R"JS(
      await until(() => !document.getElementById('card').hidden, 'the card');
      const titles = [...document.querySelectorAll('h1, h2, h3')].filter(visible).map(e => e.textContent.trim());
      return {titles, focused: document.activeElement && document.activeElement.id,
        dressed: document.documentElement.dataset.korvidDesktopLogin};)JS");
    EXPECT_EQ(card["titles"], (Json { "邮箱登录" }));
    EXPECT_EQ(card["focused"], "email");
    EXPECT_EQ(card["dressed"], "");
    EXPECT_EQ(gtk_root_get_focus(GTK_ROOT(window->window())), GTK_WIDGET(signInView())) << "keys go to the page";
    testing::saveWebScreenshot(main, signInView(), "workspace-pages-sign-in");

    // Submitting an empty card says what is missing instead of doing nothing.
    EXPECT_EQ(run(signInView(),
                  "document.getElementById('form').requestSubmit();"
                  "return [document.getElementById('error').textContent, document.activeElement.id];"),
        (Json { "请输入邮箱。", "email" }));

    // Three wrong passwords bring the arithmetic check; it is shown whole,
    // its button inside the frame.
    for (int i = 0; i < 3; ++i) {
        signIn("sales2@korvid.cn", "wrong");
        run(signInView(),
            "await until(() => document.getElementById('error').textContent && "
            "!document.getElementById('submit').disabled); return true;");
    }
    signIn("sales2@korvid.cn", "korvid456");
    Json check = run(signInView(), R"JS(
      const frame = await until(() => !document.getElementById('challenge').hidden && document.getElementById('challengeFrame'), 'the check');
      await until(() => frame.contentDocument && frame.contentDocument.querySelector('button[type=submit]')
        && /\d/.test(frame.contentDocument.getElementById('question').textContent), 'the question');
      await until(() => frame.contentDocument.documentElement.scrollHeight <= frame.clientHeight, 'the frame sized to the check', 5000);
      const inner = frame.contentDocument.querySelector('button[type=submit]').getBoundingClientRect();
      const inside = inner.bottom <= frame.clientHeight && inner.right <= frame.clientWidth;
      const question = frame.contentDocument.getElementById('question').textContent;
      const [a, b] = question.match(/\d+/g).map(Number);
      frame.contentDocument.getElementById('answer').value = String(a + b);
      frame.contentDocument.querySelector('button[type=submit]').click();
      const note = await until(() => !document.getElementById('note').hidden && document.getElementById('note'), 'the note');
      return {inside,
        note: note.textContent, error: document.getElementById('error').textContent,
        noteIsCalm: getComputedStyle(note).color !== getComputedStyle(document.getElementById('error')).color};)JS");
    EXPECT_EQ(check["inside"], true);
    EXPECT_EQ(check["note"], "已完成安全验证，请再次登录。");
    EXPECT_EQ(check["error"], "");
    EXPECT_EQ(check["noteIsCalm"], true);
    testing::saveWebScreenshot(main, signInView(), "workspace-pages-sign-in-checked");

    signIn("sales2@korvid.cn", "korvid456");
    ASSERT_TRUE(reachMainPage());
    EXPECT_EQ(host->session()->label, "sales2@korvid.cn");
}

TEST_F(WorkspacePagesTest, SignInAfterAFloodOfGuessesIsToldHowLongToWait)
{
    // A script on this machine guessing e-mails until the service makes it wait.
    Json guessed = run(signInView(), R"JS(
      await until(() => !document.getElementById('card').hidden, 'the card');
      const statuses = [];
      for (let i = 0; i < 40 && !statuses.includes(429); ++i) {
        const response = await fetch('/auth/sign-in', {method: 'POST', headers: {'Content-Type': 'application/json'},
          body: JSON.stringify({email: 'guess' + i + '@example.com', password: 'guess'})});
        statuses.push(response.status);
      }
      return statuses.includes(429);)JS");
    ASSERT_EQ(guessed, Json(true));

    // The person at the card is told, in one sentence, how long to wait; the
    // card is ready for the next try.
    signIn("sales2@korvid.cn", "korvid456");
    Json told = run(signInView(), R"JS(
      await until(() => document.getElementById('error').textContent && !document.getElementById('submit').disabled, 'the answer');
      return document.getElementById('error').textContent;)JS");
    EXPECT_TRUE(std::regex_match(told.get<std::string>(), std::regex("登录尝试过于频繁，请 [0-9]+ (秒|分钟)后再试。")))
        << told.dump();
    EXPECT_NE(host->screen(), Screen::workspace);
}

// Keys through the X server's test extension, as a keyboard sends them.
class Keyboard {
public:
    explicit Keyboard(GtkWindow* window)
        : display_(gdk_x11_display_get_xdisplay(gdk_display_get_default()))
    {
        auto xid = gdk_x11_surface_get_xid(gtk_native_get_surface(GTK_NATIVE(window)));
        XWindowAttributes attributes {};
        XGetWindowAttributes(display_, xid, &attributes);
        int rootX = 0, rootY = 0;
        Window child = 0;
        XTranslateCoordinates(display_, xid, DefaultRootWindow(display_), attributes.width / 2, attributes.height / 2,
            &rootX, &rootY, &child);
        XTestFakeMotionEvent(display_, -1, rootX, rootY, CurrentTime);
        XSetInputFocus(display_, xid, RevertToParent, CurrentTime);
        XFlush(display_);
    }

    void key(KeySym symbol)
    {
        KeyCode code = XKeysymToKeycode(display_, symbol);
        bool shifted = XkbKeycodeToKeysym(display_, code, 0, 0) != symbol;
        KeyCode shift = XKeysymToKeycode(display_, XK_Shift_L);
        if (shifted)
            XTestFakeKeyEvent(display_, shift, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        if (shifted)
            XTestFakeKeyEvent(display_, shift, False, CurrentTime);
        XFlush(display_);
    }

    void type(const std::string& text)
    {
        for (char c : text)
            key(c == '@' ? XK_at : c == '.' ? XK_period : static_cast<KeySym>(static_cast<unsigned char>(c)));
    }

    static bool available()
    {
        if (!GDK_IS_X11_DISPLAY(gdk_display_get_default()))
            return false;
        int event = 0, error = 0, major = 0, minor = 0;
        return XTestQueryExtension(
            gdk_x11_display_get_xdisplay(gdk_display_get_default()), &event, &error, &major, &minor);
    }

private:
    Display* display_;
};

TEST_F(WorkspacePagesTest, ANewUserTypesIntoTheCardAndEnterSignsIn)
{
    if (!Keyboard::available())
        GTEST_SKIP() << "no X server test extension";
    run(signInView(), "await until(() => !document.getElementById('card').hidden, 'the card'); return true;");
    Keyboard keyboard(window->window());
    main.runUntil([] { return false; }, 200ms);
    keyboard.type("demo@korvid.cn");
    keyboard.key(XK_Tab);
    keyboard.type("korvid123");
    EXPECT_EQ(run(signInView(),
                  "await until(() => document.getElementById('password').value.length === 9, 'typed', 5000);"
                  "return document.getElementById('email').value;"),
        Json("demo@korvid.cn"));
    keyboard.key(XK_Return);
    ASSERT_TRUE(reachMainPage());
    EXPECT_EQ(host->session()->label, "demo@korvid.cn");
}

TEST_F(WorkspacePagesTest, TheCompanyPageShowsTheCompanyAndLeavesThroughItsLinks)
{
    signIn("demo@korvid.cn", "korvid123");
    ASSERT_TRUE(reachMainPage());
    open({ { "op", "webCompany" }, { "id", kCompany } });
    Json shown = inWorkspace(R"JS(
      await until(() => !document.querySelector('.loading'), 'every section read');
      const count = id => document.getElementById(id).querySelectorAll('li').length;
      return {title: document.querySelector('h1').textContent, contacts: count('contacts') > 0,
        opportunities: shows('产线数据采集平台二期'), minutes: shows('产线数据采集需求沟通会'),
        errors: document.querySelectorAll('.error').length,
        exits: [...document.querySelectorAll('a')].map(a => a.getAttribute('href'))};)JS");
    EXPECT_EQ(shown["title"], "杭州云帆科技股份有限公司");
    EXPECT_EQ(shown["contacts"], true);
    EXPECT_EQ(shown["opportunities"], true);
    EXPECT_EQ(shown["minutes"], true);
    EXPECT_EQ(shown["errors"], 0);
    EXPECT_EQ(
        shown["exits"], (Json { "korvid-customer://close", "korvid-customer://minutes", "korvid-customer://logout" }));
    shot("company");
    checkDarkAndNarrow("company");

    // A minute opens in place.
    EXPECT_EQ(inWorkspace("document.querySelector('#minutes summary').click(); await wait(100);"
                          "return shows('行动项');"),
        Json(true));

    // The service gone: the retry says so in Chinese, in place.
    service.reset();
    open({ { "op", "webCompany" }, { "id", kCompany } });
    EXPECT_EQ(inWorkspace("return (await until(() => document.querySelector('.error span'), 'an error')).textContent;"),
        Json("无法连接服务，请检查网络后重试。"));
    EXPECT_EQ(inWorkspace("return document.querySelectorAll('.error').length;"), Json(1));
}

TEST_F(WorkspacePagesTest, TheReviewPageAcceptsAndRejectsDifferences)
{
    signIn("demo@korvid.cn", "korvid123");
    ASSERT_TRUE(reachMainPage());
    open({ { "op", "webWechatReview" }, { "id", kSnapshot }, { "batch", kBatch } });
    Json first = inWorkspace(R"JS(
      await until(() => document.querySelectorAll('article').length > 0, 'the differences');
      return {pending: document.querySelectorAll('article').length,
        filter: document.querySelector('.filters [aria-pressed=true]').textContent};)JS");
    EXPECT_EQ(first["pending"], 5);
    EXPECT_EQ(first["filter"], "待确认 5");
    shot("review");
    checkDarkAndNarrow("review");

    // Accepting the new company writes it into the library; rejecting the
    // next leaves it out; both leave the pending list.
    Json decided = inWorkspace(R"JS(
      const name = document.querySelector('article .row-title').textContent;
      button('接受').click();
      await until(() => document.querySelectorAll('article').length === 4, 'accepted');
      button('拒绝').click();
      await until(() => document.querySelectorAll('article').length === 3, 'rejected');
      const token = localStorage.getItem('korvid.token');
      const library = await (await fetch('/v1/library?view=directory',
        {headers: {Authorization: 'Bearer ' + token, 'x-korvid-privacy-version': '2'}})).json();
      return {filters: [...document.querySelectorAll('.filters button')].map(b => b.textContent),
        inLibrary: library.companies.some(c => c.name === name)};)JS");
    EXPECT_EQ(decided["filters"], (Json { "待确认 3", "已接受 1", "已拒绝 1", "全部 5" }));
    EXPECT_EQ(decided["inLibrary"], true);

    // Accepting the rest at once.
    EXPECT_EQ(inWorkspace("document.getElementById('accept-all').click();"
                          "await until(() => shows('这一批的差异都已处理'), 'all done');"
                          "return document.getElementById('bulk-note').textContent;"),
        Json("已接受 3 条。"));

    // A batch the service does not have says so in place.
    open({ { "op", "webWechatReview" }, { "id", kSnapshot }, { "batch", "11111111-2222-4333-8444-555555555555" } });
    EXPECT_EQ(inWorkspace("return (await until(() => document.querySelector('.error span'), 'an error')).textContent;"),
        Json("没有找到这个快照批次，请回到导入记录重新打开。"));
    EXPECT_EQ(inWorkspace("return document.getElementById('toolbar').hidden;"), Json(true));
}

}
}
