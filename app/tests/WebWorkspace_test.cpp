// Web workspaces in the real application under Xvfb, signed in to the local
// experience service: each kind opened from the main page, each exit link
// and where the main page ends up, errors and refresh, the page's sign-out,
// downloads, foreign links, a crashed web process, and hostile frames that
// must never leave.
#include "app/DesktopWindow.h"
#include "app/KorvidDesktop.h"
#include "app/tests/WindowTest.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace korvid {
namespace {

using namespace std::chrono_literals;
using testing::runScript;
using Kind = LoginActions::Phase::Kind;

const std::string kCompany = "00000002-0000-4000-8000-000000000001";
// The service's first seeded WeChat snapshot, whose batch still waits for decisions.
const std::string kSnapshot = "0000000d-0000-4000-8000-000000000001";
const std::string kBatch = "0000000e-0000-4000-8000-000000000001";

// Whether the widget's accessible "hidden" state is `hidden`.
bool hiddenFromAccessibility(GtkWidget* widget, bool hidden)
{
    char* mismatch
        = gtk_test_accessible_check_state(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_STATE_HIDDEN, hidden ? TRUE : FALSE);
    bool matches = mismatch == nullptr;
    g_free(mismatch);
    return matches;
}

class WebWorkspaceTest : public testing::WindowTest {
protected:
    WebWorkspaceTest()
        : WindowTest("korvid-web-workspace")
    {
    }

    void SetUp() override
    {
        WindowTest::SetUp();
        if (IsSkipped())
            return;
        if (!start())
            GTEST_SKIP() << "korvid-service is not built beside the test, or the sign-in did not finish";
    }

    bool start()
    {
        if (!startService())
            return false;
        DesktopHostOptions options;
        options.origin = service->origin;
        options.settingsPath = folder / "settings.json";
        makeHost(options);
        connectTaskWorkspace();

        // The real workspaces; the save panel and the default-application
        // launcher are test doubles that record what they were asked.
        auto desktop = WebKitWebWorkspace::defaultDesktop();
        // The shipped pages, copied where a test can take one away.
        pages = folder / "pages";
        std::filesystem::create_directories(pages);
        for (const char* name : { "Company.html", "WechatReview.html", "pages.css", "pages.js" })
            std::filesystem::copy_file(desktop.resources / name, pages / name);
        desktop.resources = pages;
        desktop.chooseSaveFile
            = [this, real = desktop.chooseSaveFile](GtkWindow* parent, const std::string& name, auto done) {
                  savePanelNames.push_back(name);
                  EXPECT_EQ(parent, window->window());
                  if (realSavePanel)
                      real(parent, name, std::move(done));
                  else
                      done(saveAnswer);
              };
        desktop.chooseOpenFiles = [this](GtkWindow*, bool multiple, auto done) {
            openPanelMultiple.push_back(multiple);
            done(openPanelAnswer);
        };
        desktop.openExternally = [this](const std::string& url) { launcherDouble.push_back(url); };
        connectWebWorkspaces(*bridge, desktop);
        screenToken = host->screenObservers().subscribe([this] {
            if (host->screen() == Screen::authentication)
                ++signOuts;
        });

        openWindow(webWorkspaceLayer());
        auto& actions = signInActions();
        if (!main.runUntil([&] { return actions.phase().kind == Kind::ready; }, 40s))
            return false;
        auto filled = submitSignIn("demo@korvid.cn", "korvid123");
        EXPECT_EQ(filled.value, Json(true)) << filled.error;
        return reachMainPage();
    }

    Json run(WebKitWebView* view, const std::string& body) { return runGuarded(view, testing::kWaitPrelude, body); }
    Json page(const std::string& body) { return run(mainView(), body); }
    Json inWorkspace(const std::string& body) { return run(workspace()->browser(), body); }

    // Opens a workspace the way the main page does, and waits for its page.
    void open(Json body)
    {
        body["owner"] = *host->accountID();
        auto reply = page("return await korvidDesktop.post(" + body.dump() + ");");
        ASSERT_EQ(reply, (Json { { "ok", true } }));
        ASSERT_TRUE(workspace());
        ASSERT_TRUE(main.runUntil([&] { return shownOver(); }, 5s));
        ASSERT_TRUE(main.runUntil(
            [&] {
                auto* view = workspace()->browser();
                const char* uri = webkit_web_view_get_uri(view);
                return !webkit_web_view_is_loading(view) && uri && workspace()->entry() == uri;
            },
            20s))
            << workspace()->entry();
        ASSERT_EQ(inWorkspace("await until(() => document.readyState === 'complete'); return location.href;"),
            Json(workspace()->entry()));
    }

    bool keyboardInMainPage()
    {
        GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(window->window()));
        return focus && (focus == window->surface() || gtk_widget_is_ancestor(focus, window->surface()));
    }

    bool shownOver() { return window->webWorkspaceLayer() && gtk_widget_get_mapped(window->webWorkspaceLayer()); }

    // Follows a link in the workspace's top document as a user would.
    void clickLink(const std::string& href)
    {
        Json clicked = inWorkspace("const link = document.querySelector('a[href=\"" + href
            + "\"]')"
              " || Object.assign(document.body.appendChild(document.createElement('a')), {href: '"
            + href
            + "', textContent: 'x'});"
              "link.click(); return true;");
        EXPECT_EQ(clicked, Json(true));
    }

    bool closesWithin(std::chrono::milliseconds time = 5s)
    {
        return main.runUntil([&] { return !host->webWorkspace(); }, time);
    }

    bool buttonShown(const std::string& label)
    {
        GtkWidget* button = testing::findButton(window->webWorkspaceLayer(), label);
        return button && gtk_widget_is_visible(button);
    }

    void shot(const std::string& name)
    {
        // Two frames of the page drawn, then one more of the window.
        inWorkspace(
            "await new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done))); return true;");
        main.runUntil([] { return false; }, 500ms);
        testing::saveScreenshot(GTK_WIDGET(window->window()), "web-workspace-" + name);
    }

    std::filesystem::path pages;
    std::vector<std::string> savePanelNames;
    std::optional<std::filesystem::path> saveAnswer;
    bool realSavePanel = false;
    std::vector<std::string> launcherDouble;
    std::vector<std::filesystem::path> openPanelAnswer;
    std::vector<bool> openPanelMultiple;
    Observers::Token screenToken = 0;
    int signOuts = 0;
};

TEST_F(WebWorkspaceTest, CompanyPageLeavesThroughEachExit)
{
    page("navigate('partners'); await until(() => destination === 'partners'); return true;");
    open({ { "op", "webCompany" }, { "id", kCompany } });
    EXPECT_FALSE(buttonShown("返回客户档案")); // a company page leaves through its own links
    // The main page stays loaded underneath, out of reach of pointer,
    // keyboard and screen readers.
    EXPECT_EQ(gtk_widget_get_opacity(window->surface()), 0.0);
    EXPECT_FALSE(gtk_widget_get_can_target(window->surface()));
    EXPECT_FALSE(gtk_widget_get_can_focus(window->surface()));
    EXPECT_TRUE(hiddenFromAccessibility(window->surface(), true));
    shot("company");

    clickLink("korvid-customer://minutes");
    ASSERT_TRUE(closesWithin());
    // The window takes the layer away from the main loop, after the host.
    EXPECT_TRUE(main.runUntil([&] { return gtk_widget_get_opacity(window->surface()) == 1.0; }, 2s));
    EXPECT_TRUE(gtk_widget_get_can_target(window->surface()));
    EXPECT_TRUE(hiddenFromAccessibility(window->surface(), false));
    EXPECT_EQ(page("await until(() => destination.endsWith('/minutes')); return destination;"),
        Json("customer/" + kCompany + "/minutes"));

    page("navigate('partners'); await until(() => destination === 'partners'); return true;");
    open({ { "op", "webCompany" }, { "id", kCompany } });
    clickLink("korvid-customer://close");
    ASSERT_TRUE(closesWithin());
    EXPECT_EQ(page("await wait(300); return destination;"), Json("partners"));

    open({ { "op", "webCompany" }, { "id", kCompany } });
    clickLink("korvid-customer://logout");
    EXPECT_TRUE(main.runUntil([&] { return host->screen() == Screen::authentication; }, 5s));
    EXPECT_EQ(signOuts, 1);
}

TEST_F(WebWorkspaceTest, ReviewPageNavigatesTheMainPage)
{
    for (const char* route : { "imports", "customers" }) {
        open({ { "op", "webWechatReview" }, { "id", kSnapshot }, { "batch", kBatch } });
        EXPECT_TRUE(buttonShown("返回桌面工作台"));
        EXPECT_TRUE(buttonShown("刷新"));
        if (std::string(route) == "imports")
            shot("review");
        clickLink(std::string("korvid-review://") + route);
        ASSERT_TRUE(closesWithin()) << route;
        EXPECT_EQ(
            page(std::string("await until(() => destination === '") + route + "'); return destination;"), Json(route));
    }
}

TEST_F(WebWorkspaceTest, RoutePageKeepsTheMainPageAndClosesByItsButton)
{
    page("navigate('partners'); await until(() => destination === 'partners');"
         "window.__kept = 'still here'; return true;");
    // Keys go where the pointer can go: the main page, focused before, gives
    // up the keyboard while covered and gets it back afterwards.
    gtk_widget_grab_focus(GTK_WIDGET(mainView()));
    ASSERT_TRUE(main.runUntil([&] { return keyboardInMainPage(); }, 2s));
    open({ { "op", "webWorkspace" }, { "route", "library/ai" } });
    EXPECT_FALSE(keyboardInMainPage());
    EXPECT_EQ(workspace()->entry(), service->origin + "/index.html#library/ai");
    EXPECT_TRUE(buttonShown("返回桌面工作台"));
    shot("route");
    // The page sees the signed-in storage of the sign-in.
    EXPECT_NE(inWorkspace("return localStorage.getItem('korvid.token');"), Json(nullptr));

    g_signal_emit_by_name(testing::findButton(window->webWorkspaceLayer(), "返回桌面工作台"), "clicked");
    ASSERT_TRUE(closesWithin());
    EXPECT_EQ(page("return window.__kept + ' ' + destination;"), Json("still here partners"));
    EXPECT_TRUE(gtk_widget_get_can_target(window->surface()));
    EXPECT_TRUE(keyboardInMainPage());

    // A workspace that replaces another takes the keyboard over from it.
    open({ { "op", "webWorkspace" }, { "route", "home" } });
    open({ { "op", "webCompany" }, { "id", kCompany } });
    EXPECT_TRUE(main.runUntil(
        [&] {
            GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(window->window()));
            return focus && gtk_widget_is_ancestor(focus, window->webWorkspaceLayer());
        },
        2s));
}

TEST_F(WebWorkspaceTest, ErrorsShowTheirLineAndRefreshClearsIt)
{
    open({ { "op", "webCompany" }, { "id", kCompany } });
    inWorkspace("location.href = '/no-such-page'; return true;");
    ASSERT_TRUE(main.runUntil([&] { return workspace()->errorText().has_value(); }, 10s));
    EXPECT_EQ(*workspace()->errorText(), "打开网页工作区失败（HTTP 404）。");
    EXPECT_TRUE(buttonShown("返回客户档案"));
    EXPECT_TRUE(testing::textsIn(window->webWorkspaceLayer()).size() >= 3);
    shot("company-error");

    g_signal_emit_by_name(testing::findButton(window->webWorkspaceLayer(), "刷新"), "clicked");
    EXPECT_FALSE(workspace()->errorText());
    EXPECT_FALSE(buttonShown("返回客户档案"));

    webkit_web_view_terminate_web_process(workspace()->browser());
    ASSERT_TRUE(main.runUntil([&] { return workspace()->errorText().has_value(); }, 10s));
    EXPECT_EQ(*workspace()->errorText(), "网页工作区已中断，请重新加载。");
    g_signal_emit_by_name(testing::findButton(window->webWorkspaceLayer(), "刷新"), "clicked");
    EXPECT_TRUE(main.runUntil([&] { return !webkit_web_view_is_loading(workspace()->browser()); }, 10s));
    EXPECT_FALSE(workspace()->errorText());
}

TEST_F(WebWorkspaceTest, AMissingPageSaysSoAndRefreshTriesAgain)
{
    std::filesystem::rename(pages / "Company.html", folder / "Company.html");
    Json body { { "op", "webCompany" }, { "id", kCompany }, { "owner", *host->accountID() } };
    ASSERT_EQ(page("return await korvidDesktop.post(" + body.dump() + ");"), (Json { { "ok", true } }));
    ASSERT_TRUE(workspace());
    ASSERT_TRUE(main.runUntil([&] { return shownOver(); }, 5s));
    EXPECT_EQ(workspace()->errorText(), std::optional<std::string>("安装包缺少桌面页面资源。"));
    // Nothing is loaded in its place, and the way back is offered.
    const char* uri = webkit_web_view_get_uri(workspace()->browser());
    EXPECT_TRUE(!uri || !*uri) << uri;
    EXPECT_TRUE(buttonShown("返回客户档案"));
    EXPECT_TRUE(buttonShown("刷新"));
    testing::saveScreenshot(GTK_WIDGET(window->window()), "web-workspace-missing-page");

    std::filesystem::rename(folder / "Company.html", pages / "Company.html");
    g_signal_emit_by_name(testing::findButton(window->webWorkspaceLayer(), "刷新"), "clicked");
    EXPECT_FALSE(workspace()->errorText());
    ASSERT_TRUE(main.runUntil(
        [&] {
            const char* uri = webkit_web_view_get_uri(workspace()->browser());
            return uri && workspace()->entry() == uri && !webkit_web_view_is_loading(workspace()->browser());
        },
        20s));
    EXPECT_FALSE(buttonShown("返回客户档案"));
    // The shared stylesheet went in with the page, though the service has no such file.
    EXPECT_EQ(inWorkspace("return getComputedStyle(document.body).boxSizing;"), Json("border-box"));

    // Without its stylesheet the page is just as incomplete.
    std::filesystem::rename(pages / "pages.css", folder / "pages.css");
    g_signal_emit_by_name(testing::findButton(window->webWorkspaceLayer(), "刷新"), "clicked");
    EXPECT_EQ(workspace()->errorText(), std::optional<std::string>("安装包缺少桌面页面资源。"));
    // And without its shared script.
    std::filesystem::rename(folder / "pages.css", pages / "pages.css");
    std::filesystem::rename(pages / "pages.js", folder / "pages.js");
    g_signal_emit_by_name(testing::findButton(window->webWorkspaceLayer(), "刷新"), "clicked");
    EXPECT_EQ(workspace()->errorText(), std::optional<std::string>("安装包缺少桌面页面资源。"));
}

TEST_F(WebWorkspaceTest, AStoppedWorkspaceHearsNothingMore)
{
    Json before = page("return destination;");
    open({ { "op", "webCompany" }, { "id", kCompany } });
    auto kept = workspace();
    host->closeWebWorkspace();
    ASSERT_TRUE(closesWithin());
    // Its page still runs while we hold it: its exit links, its sign-out and
    // the end of its web process reach no one.
    Json token = run(kept->browser(),
        "const token = localStorage.getItem('korvid.token');"
        "localStorage.removeItem('korvid.token');"
        "document.body.appendChild(document.createElement('div'));"
        "for (const href of ['korvid-customer://logout', 'korvid-customer://minutes'])"
        "  document.body.appendChild(Object.assign(document.createElement('a'), {href})).click();"
        "await wait(500); localStorage.setItem('korvid.token', token); return token;");
    EXPECT_TRUE(token.is_string());
    webkit_web_view_terminate_web_process(kept->browser());
    main.runUntil([] { return false; }, 500ms);
    EXPECT_EQ(signOuts, 0);
    EXPECT_EQ(host->screen(), Screen::workspace);
    EXPECT_FALSE(host->webWorkspace());
    EXPECT_FALSE(kept->errorText());
    EXPECT_EQ(page("await wait(100); return destination;"), before);
}

TEST_F(WebWorkspaceTest, ALoadThatFailsSaysSoInChinese)
{
    open({ { "op", "webWorkspace" }, { "route", "settings" } });
    service.reset(); // the service goes away under the page
    g_signal_emit_by_name(testing::findButton(window->webWorkspaceLayer(), "刷新"), "clicked");
    ASSERT_TRUE(main.runUntil([&] { return workspace()->errorText().has_value(); }, 15s));
    EXPECT_EQ(*workspace()->errorText(), "网页工作区未能打开，请检查网络后重试。");
    EXPECT_TRUE(buttonShown("返回桌面工作台"));
}

TEST_F(WebWorkspaceTest, RemovingTheTokenSignsOutOnce)
{
    open({ { "op", "webWorkspace" }, { "route", "home" } });
    inWorkspace("localStorage.removeItem('korvid.token');"
                "document.body.appendChild(document.createElement('div'));"
                "document.body.appendChild(document.createElement('div')); return true;");
    EXPECT_TRUE(main.runUntil([&] { return host->screen() == Screen::authentication; }, 5s));
    main.runUntil([] { return false; }, 500ms);
    EXPECT_EQ(signOuts, 1);
    EXPECT_FALSE(host->webWorkspace());
}

TEST_F(WebWorkspaceTest, DownloadsGoThroughTheSavePanelAndForeignLinksToTheLauncher)
{
    open({ { "op", "webCompany" }, { "id", kCompany } });
    saveAnswer = folder / "saved.txt";
    inWorkspace("const a = document.body.appendChild(document.createElement('a'));"
                "a.href = URL.createObjectURL(new Blob(['客户名单'], {type: 'text/plain'}));"
                "a.download = 'dir/名单.txt'; a.click(); return true;");
    ASSERT_TRUE(main.runUntil(
        [&] { return std::filesystem::exists(*saveAnswer) && std::filesystem::file_size(*saveAnswer) > 0; }, 10s));
    ASSERT_EQ(savePanelNames.size(), 1u);
    EXPECT_EQ(savePanelNames[0], "名单.txt");
    std::ifstream saved(*saveAnswer);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), "客户名单");

    // Cancelling the panel saves nothing and reports nothing.
    saveAnswer.reset();
    inWorkspace("const a = document.body.appendChild(document.createElement('a'));"
                "a.href = URL.createObjectURL(new Blob(['x'])); a.download = 'b.txt'; a.click(); return true;");
    EXPECT_TRUE(main.runUntil([&] { return savePanelNames.size() == 2; }, 10s));
    main.runUntil([] { return false; }, 300ms);
    EXPECT_FALSE(workspace()->errorText());

    // A destination that cannot be written is a failed download.
    saveAnswer = folder / "no-such-folder" / "c.txt";
    inWorkspace("const a = document.body.appendChild(document.createElement('a'));"
                "a.href = URL.createObjectURL(new Blob(['y'])); a.download = 'c.txt'; a.click(); return true;");
    ASSERT_TRUE(main.runUntil([&] { return workspace()->errorText().has_value(); }, 10s));
    EXPECT_EQ(*workspace()->errorText(), "下载失败，请重试。");
    EXPECT_TRUE(buttonShown("刷新")); // a company page shows its toolbar while there is an error
    g_signal_emit_by_name(testing::findButton(window->webWorkspaceLayer(), "刷新"), "clicked");
    ASSERT_TRUE(main.runUntil([&] { return !webkit_web_view_is_loading(workspace()->browser()); }, 10s));
    EXPECT_FALSE(workspace()->errorText());

    // The real save panel, answered as a person would.
    realSavePanel = true;
    inWorkspace("const a = document.body.appendChild(document.createElement('a'));"
                "a.href = URL.createObjectURL(new Blob(['第三份'])); a.download = '三.txt'; a.click(); return true;");
    GtkWidget* panel = nullptr;
    ASSERT_TRUE(main.runUntil(
        [&] {
            GListModel* toplevels = gtk_window_get_toplevels();
            for (guint i = 0; i < g_list_model_get_n_items(toplevels) && !panel; ++i) {
                auto* candidate = GTK_WIDGET(g_list_model_get_item(toplevels, i));
                if (GTK_IS_FILE_CHOOSER_DIALOG(candidate) && gtk_widget_get_visible(candidate))
                    panel = candidate;
                g_object_unref(candidate);
            }
            return panel != nullptr;
        },
        10s));
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(panel)), window->window());
    EXPECT_STREQ(gtk_file_chooser_get_current_name(GTK_FILE_CHOOSER(panel)), "三.txt");
    // The panel settles on its first folder before it takes another; the
    // name stays the one the page suggested.
    main.runUntil([] { return false; }, 1s);
    GFile* into = g_file_new_for_path(folder.c_str());
    EXPECT_TRUE(gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(panel), into, nullptr));
    g_object_unref(into);
    main.runUntil([] { return false; }, 500ms);
    gtk_dialog_response(GTK_DIALOG(panel), GTK_RESPONSE_ACCEPT);
    auto third = folder / "三.txt";
    ASSERT_TRUE(
        main.runUntil([&] { return std::filesystem::exists(third) && std::filesystem::file_size(third) > 0; }, 10s));
    std::ifstream panelSaved(third);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(panelSaved), {}), "第三份");
    realSavePanel = false;

    clickLink("https://example.invalid/page?q=1");
    EXPECT_TRUE(main.runUntil([&] { return !launcherDouble.empty(); }, 5s));
    EXPECT_EQ(launcherDouble, std::vector<std::string> { "https://example.invalid/page?q=1" });
    EXPECT_EQ(inWorkspace("await wait(200); return location.href;"), Json(workspace()->entry()));
}

TEST_F(WebWorkspaceTest, ScriptDialogsAnswerWhatTheUserChose)
{
    open({ { "op", "webCompany" }, { "id", kCompany } });
    auto dialogButton = [&](const std::string& label) -> GtkWidget* {
        GtkWidget* found = nullptr;
        main.runUntil(
            [&] {
                GListModel* toplevels = gtk_window_get_toplevels();
                for (guint i = 0; i < g_list_model_get_n_items(toplevels) && !found; ++i) {
                    auto* candidate = GTK_WIDGET(g_list_model_get_item(toplevels, i));
                    if (candidate != GTK_WIDGET(window->window()) && gtk_widget_get_visible(candidate))
                        found = testing::findButton(candidate, label);
                    g_object_unref(candidate);
                }
                return found != nullptr;
            },
            5s);
        return found;
    };
    auto entryOf = [](GtkWidget* button) {
        GtkWidget* box = gtk_widget_get_parent(gtk_widget_get_parent(button));
        for (GtkWidget* child = gtk_widget_get_first_child(box); child; child = gtk_widget_get_next_sibling(child))
            if (GTK_IS_ENTRY(child))
                return child;
        return static_cast<GtkWidget*>(nullptr);
    };

    inWorkspace("setTimeout(() => { window.__answer = prompt('名称', '默认'); }, 300); return true;");
    GtkWidget* confirm = dialogButton("确定");
    ASSERT_TRUE(confirm);
    ASSERT_TRUE(entryOf(confirm));
    gtk_editable_set_text(GTK_EDITABLE(entryOf(confirm)), "");
    g_signal_emit_by_name(confirm, "clicked");
    EXPECT_EQ(inWorkspace("await until(() => window.__answer !== undefined); return window.__answer;"), Json(""));

    inWorkspace("window.__answer = undefined; setTimeout(() => { window.__answer = prompt('名称', '默认'); }, 300); "
                "return true;");
    GtkWidget* cancel = dialogButton("取消");
    ASSERT_TRUE(cancel);
    g_signal_emit_by_name(cancel, "clicked");
    EXPECT_EQ(inWorkspace("await until(() => window.__answer !== undefined); return window.__answer;"), Json(nullptr));

    inWorkspace(
        "window.__answer = undefined; setTimeout(() => { window.__answer = confirm('确认？'); }, 300); return true;");
    confirm = dialogButton("确定");
    ASSERT_TRUE(confirm);
    g_signal_emit_by_name(confirm, "clicked");
    EXPECT_EQ(inWorkspace("await until(() => window.__answer !== undefined); return window.__answer;"), Json(true));

    // A file input of the page gets what the open panel chose.
    auto chosen = folder / "名片.txt";
    std::ofstream(chosen) << "x";
    openPanelAnswer = { chosen };
    EXPECT_EQ(inWorkspace("const input = document.body.appendChild(document.createElement('input'));"
                          "input.type = 'file'; input.multiple = true; input.click();"
                          "await until(() => input.files.length > 0, 'a chosen file');"
                          "return input.files[0].name;"),
        Json("名片.txt"));
    EXPECT_EQ(openPanelMultiple, std::vector<bool> { true });

    // Closing the workspace takes its open sheet with it.
    inWorkspace("setTimeout(() => alert('还在'), 300); return true;");
    ASSERT_TRUE(dialogButton("确定"));
    host->closeWebWorkspace();
    main.runUntil([] { return false; }, 300ms);
    GListModel* toplevels = gtk_window_get_toplevels();
    EXPECT_EQ(g_list_model_get_n_items(toplevels), 1u);
}

// A server on another port: another site.
class ForeignSite {
public:
    ForeignSite()
    {
        server_.Get("/.*", [this](const httplib::Request&, httplib::Response& response) {
            ++hits;
            response.set_content("<script>window.webkit && window.webkit.messageHandlers.webSignOut"
                                 " && window.webkit.messageHandlers.webSignOut.postMessage(null);</script>",
                "text/html");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~ForeignSite()
    {
        server_.stop();
        thread_.join();
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::atomic<int> hits { 0 };

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

TEST_F(WebWorkspaceTest, HostilePagesNeverLeave)
{
    ForeignSite foreign;
    open({ { "op", "webCompany" }, { "id", kCompany } });

    // A frame of the service's own origin follows and navigates to the exit.
    Json framed = inWorkspace(
        "const frame = document.body.appendChild(document.createElement('iframe'));"
        "frame.src = '/healthz';"
        "await until(() => frame.contentDocument && frame.contentDocument.readyState === 'complete'"
        " && frame.contentWindow.location.pathname === '/healthz');"
        // The top page's own click on the exit, prevented by the page, does
        // not lend its report to the frame's click right after.
        "const own = document.body.appendChild(document.createElement('a'));"
        "own.href = 'korvid-customer://close'; own.addEventListener('click', event => event.preventDefault());"
        "own.click();"
        "const link = frame.contentDocument.body.appendChild(frame.contentDocument.createElement('a'));"
        "link.href = 'korvid-customer://close'; link.click();"
        "await wait(300);"
        "frame.contentWindow.location.href = 'korvid-customer://close';"
        "await wait(300);"
        "const inner = document.body.appendChild(document.createElement('iframe'));"
        "inner.srcdoc = '<a href=\"korvid-customer://logout\">x</a>';"
        "await until(() => inner.contentDocument && inner.contentDocument.querySelector('a'));"
        "inner.contentDocument.querySelector('a').click();"
        "await wait(300);"
        "return typeof (window.webkit && window.webkit.messageHandlers.webSignOut);");
    EXPECT_EQ(framed, Json("undefined")); // page scripts cannot reach our handlers
    main.runUntil([] { return false; }, 500ms);
    ASSERT_TRUE(host->webWorkspace());
    EXPECT_EQ(host->screen(), Screen::workspace);

    // A foreign page never loads, by script or by link.
    inWorkspace("location.href = '" + foreign.origin() + "/'; return true;");
    main.runUntil([] { return false; }, 500ms);
    EXPECT_EQ(foreign.hits, 0);
    EXPECT_TRUE(launcherDouble.empty());
    // Nor in a frame, where it would post "webSignOut".
    inWorkspace("const foreign = document.body.appendChild(document.createElement('iframe'));"
                "foreign.src = '"
        + foreign.origin() + "/frame'; await wait(500); return true;");
    EXPECT_EQ(foreign.hits, 0);
    EXPECT_EQ(signOuts, 0);

    // Once the page has moved away from its entry, its exit links are dead.
    inWorkspace("location.href = '/index.html#home'; return true;");
    ASSERT_TRUE(main.runUntil(
        [&] {
            const char* uri = webkit_web_view_get_uri(workspace()->browser());
            return uri && std::string(uri).find("/index.html") != std::string::npos
                && !webkit_web_view_is_loading(workspace()->browser());
        },
        10s));
    clickLink("korvid-customer://close");
    clickLink("korvid-customer://logout");
    main.runUntil([] { return false; }, 500ms);
    EXPECT_TRUE(host->webWorkspace());
    EXPECT_EQ(host->screen(), Screen::workspace);
    EXPECT_EQ(signOuts, 0);
}

// ---- Figures: open time against a bare view, memory ------------------------

// Every process below this one (WebKit's web and network processes, through
// its sandbox launcher), by parent.
std::vector<pid_t> descendants()
{
    std::map<pid_t, std::vector<pid_t>> children;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            pid_t pid = std::atoi(entry->d_name);
            if (pid <= 0)
                continue;
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            auto close = text.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest(text.substr(close + 2));
            char state;
            pid_t parent;
            rest >> state >> parent;
            children[parent].push_back(pid);
        }
        closedir(proc);
    }
    std::vector<pid_t> found;
    std::vector<pid_t> queue { ::getpid() };
    while (!queue.empty()) {
        pid_t next = queue.back();
        queue.pop_back();
        for (pid_t child : children[next]) {
            found.push_back(child);
            queue.push_back(child);
        }
    }
    return found;
}

long pssKiB(pid_t pid)
{
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line))
        if (line.rfind("Pss:", 0) == 0)
            return std::atol(line.c_str() + 4);
    return 0;
}

std::string commandOf(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

long descendantsPss()
{
    long total = 0;
    for (pid_t pid : descendants())
        total += pssKiB(pid);
    return total;
}

int webProcesses()
{
    int count = 0;
    for (pid_t pid : descendants())
        count += commandOf(pid).rfind("WebKitWebProces", 0) == 0;
    return count;
}

TEST_F(WebWorkspaceTest, FiguresOpenTimeAndMemory)
{
    using Clock = std::chrono::steady_clock;
    // Loaded and one frame drawn after it, measured the same way for both.
    auto painted = [&](WebKitWebView* view) {
        main.runUntil([&] { return !webkit_web_view_is_loading(view) && webkit_web_view_get_uri(view); }, 20s);
        runScript(main, view,
            "await new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done))); return true;");
    };
    auto session = std::dynamic_pointer_cast<NetworkSessionStore>(host->verifiedStore());
    ASSERT_TRUE(session);
    std::vector<double> workspaceTimes, bareTimes;
    long basePss = 0, openPss = 0, closedPss = 0;
    int baseProcesses = 0, openProcesses = 0, closedProcesses = 0;
    for (int round = 0; round < 3; ++round) {
        main.runUntil([] { return false; }, 1s);
        if (round == 2) {
            basePss = descendantsPss();
            baseProcesses = webProcesses();
        }
        auto start = Clock::now();
        Json body { { "op", "webWorkspace" }, { "route", "home" }, { "owner", *host->accountID() } };
        page("korvidDesktop.post(" + body.dump() + "); return true;");
        ASSERT_TRUE(main.runUntil([&] { return workspace() != nullptr; }, 10s));
        painted(workspace()->browser());
        workspaceTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        const std::string entry = workspace()->entry();
        if (round == 2) {
            main.runUntil([] { return false; }, 1s);
            openPss = descendantsPss();
            openProcesses = webProcesses();
        }
        host->closeWebWorkspace();
        main.runUntil([] { return false; }, 1500ms);
        if (round == 2) {
            closedPss = descendantsPss();
            closedProcesses = webProcesses();
        }

        // The same URL in a bare view on the same network session.
        GtkWidget* bareWindow = gtk_window_new();
        gtk_window_set_default_size(
            GTK_WINDOW(bareWindow), DesktopWindow::kDefaultWidth, DesktopWindow::kDefaultHeight);
        start = Clock::now();
        auto* bare
            = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session->session(), nullptr));
        gtk_window_set_child(GTK_WINDOW(bareWindow), GTK_WIDGET(bare));
        gtk_window_present(GTK_WINDOW(bareWindow));
        webkit_web_view_load_uri(bare, entry.c_str());
        painted(bare);
        bareTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        webkit_web_view_terminate_web_process(bare);
        gtk_window_destroy(GTK_WINDOW(bareWindow));
    }
    std::sort(workspaceTimes.begin(), workspaceTimes.end());
    std::sort(bareTimes.begin(), bareTimes.end());
    double ratio = workspaceTimes[1] / bareTimes[1];
    std::printf("route page open to first paint, median of 3: workspace %.0f ms, bare view %.0f ms, ratio %.2f\n",
        workspaceTimes[1], bareTimes[1], ratio);
    std::printf(
        "PSS of child processes: before %ld KiB, open %ld KiB (+%ld), closed %ld KiB; web processes %d -> %d -> %d\n",
        basePss, openPss, openPss - basePss, closedPss, baseProcesses, openProcesses, closedProcesses);
    EXPECT_EQ(closedProcesses, baseProcesses); // the workspace's web process is given back
    EXPECT_GT(openProcesses, baseProcesses);
}

}
}
