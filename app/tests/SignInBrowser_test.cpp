// The sign-in browser against untrusted pages in the real WebKit under Xvfb,
// served on loopback: pages that redefine what our scripts use, pages that
// offer downloads, and a load WebKit refuses before it starts.
#include "app/tests/WindowTestSupport.h"
#include "platform/WebKitLoginView.h"
#include "signin/LoginActions.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <thread>
#include <unistd.h>

namespace korvid {
namespace {

using namespace std::chrono_literals;
using Kind = LoginActions::Phase::Kind;

// Everything a page script can reach to hand our probe a token of its
// choosing: the storage methods, the URL constructor used for the origin
// check, and the DOM queries that look for the sign-in card.
const char* const kHostilePage = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"></head><body><p>已登录</p>
<script>
if (location.search.includes('stored')) localStorage.setItem('korvid.token', 'true-token');
else localStorage.removeItem('korvid.token');
const forged = 'forged\r\nX-Injected: 1';
Storage.prototype.getItem = () => forged;
try { Object.defineProperty(window, 'localStorage', {get: () => ({getItem: () => forged})}); } catch {}
window.URL = function () { return {origin: location.origin}; };
Document.prototype.querySelector = () => null;
Element.prototype.querySelector = () => null;
document.querySelector = () => null;
document.documentElement.dataset.hostileReady = '';
</script></body></html>)HTML";

const char* const kDownloadLinkPage = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"></head><body><p>下载</p>
<a id="file" href="/plain.txt" download="saved.txt">资料</a>
<a id="blob" download="blob.txt">数据</a>
<script>
document.getElementById('blob').href = URL.createObjectURL(new Blob(['data'], {type: 'text/plain'}));
addEventListener('load', () => {
  document.getElementById('file').click();
  document.getElementById('blob').click();
});
</script></body></html>)HTML";

class SignInBrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!testing::openDisplay())
            GTEST_SKIP() << "no display";
        folder = std::filesystem::temp_directory_path()
            / ("korvid-signin-browser-" + std::to_string(::getpid()) + "-"
                + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "login.css") << "body { margin: 0; }";

        server.Get("/hostile", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kHostilePage, "text/html; charset=utf-8");
        });
        server.Get("/elsewhere", [this](const httplib::Request&, httplib::Response& response) {
            // Another origin on the same server: the sign-in page sent away.
            response.set_redirect("http://localhost:" + std::to_string(port) + "/hostile");
        });
        server.Get("/attachment", [](const httplib::Request&, httplib::Response& response) {
            response.set_header("Content-Disposition", "ATTACHMENT; filename=\"token.html\"");
            response.set_content("<p>下载内容</p>", "text/html; charset=utf-8");
        });
        server.Get("/frame-attachment", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<!doctype html><meta charset=utf-8><p>登录</p><iframe src=\"/attachment\"></iframe>",
                "text/html; charset=utf-8");
        });
        server.Get("/octets", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(64, '\x01'), "application/octet-stream");
        });
        server.Get("/download-link", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kDownloadLinkPage, "text/html; charset=utf-8");
        });
        server.Get("/plain.txt",
            [](const httplib::Request&, httplib::Response& response) { response.set_content("plain", "text/plain"); });
        port = server.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port, 0);
        thread = std::thread([this] { server.listen_after_bind(); });
        origin = "http://127.0.0.1:" + std::to_string(port);
    }

    void TearDown() override
    {
        actions.reset();
        if (window)
            gtk_window_destroy(window);
        browser.reset();
        main.runUntil([] { return false; }, 200ms);
        server.stop();
        if (thread.joinable())
            thread.join();
        if (!folder.empty())
            std::filesystem::remove_all(folder);
    }

    // Starts a sign-in whose page is `url`; tokens the probe hands over are
    // collected and refused.
    void start(const std::string& url)
    {
        browser = WebKitLoginView::make();
        g_signal_connect(browser->store()->session(), "download-started", G_CALLBACK(downloadStarted), &downloads);
        window = GTK_WINDOW(gtk_window_new());
        gtk_window_set_default_size(window, 600, 500);
        gtk_window_set_child(window, GTK_WIDGET(browser->view()));
        gtk_window_present(window);
        actions = LoginActions::make(
            browser, [url](LoginActions::PrepareDone done) { done(url, {}); },
            [this](const std::string& token, LoginActions::VerifyDone done) {
                tokens.push_back(token);
                done(std::nullopt, "无法确认目标账号。");
            },
            [](const DesktopLoginSession&) {}, { main, main, folder });
        browser->setDelegate(actions);
        actions->start();
    }

    bool waitFor(Kind kind, std::chrono::milliseconds timeout = 20s)
    {
        return main.runUntil([&] { return actions->phase().kind == kind; }, timeout);
    }

    // Lets the probe run several more rounds.
    void linger(std::chrono::milliseconds time = 1500ms)
    {
        main.runUntil([] { return false; }, time);
    }

    struct Downloads {
        int started = 0;
        int saved = 0; // destinations created or downloads finished
    };

    static void downloadStarted(WebKitNetworkSession*, WebKitDownload* download, gpointer data)
    {
        auto* downloads = static_cast<Downloads*>(data);
        ++downloads->started;
        g_signal_connect(download, "created-destination",
            G_CALLBACK(+[](WebKitDownload*, char*, gpointer data) { ++static_cast<Downloads*>(data)->saved; }), data);
        g_signal_connect(download, "finished", G_CALLBACK(+[](WebKitDownload* download, gpointer data) {
            if (webkit_download_get_destination(download))
                ++static_cast<Downloads*>(data)->saved;
        }),
            data);
    }

    std::filesystem::path folder;
    GLibExecutor main;
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::string origin;
    std::shared_ptr<WebKitLoginView> browser;
    std::shared_ptr<LoginActions> actions;
    GtkWindow* window = nullptr;
    std::vector<std::string> tokens;
    Downloads downloads;
};

TEST_F(SignInBrowserTest, HostilePageCannotHandOverATokenOfItsChoosing)
{
    // The page stored a real token and then redefined everything the probe
    // uses: the probe still reads what is stored.
    start(origin + "/hostile?stored");
    ASSERT_TRUE(waitFor(Kind::verificationFailed)) << int(actions->phase().kind) << " " << actions->phase().message;
    EXPECT_EQ(tokens, std::vector<std::string> { "true-token" });
    // Our style script ran too, beside the page's redefinitions.
    auto marked = testing::runScript(main, browser->view(),
        "return document.documentElement.dataset.korvidDesktopLogin === ''"
        " && document.documentElement.dataset.hostileReady === '';");
    EXPECT_EQ(marked.value, Json(true)) << marked.error;
}

TEST_F(SignInBrowserTest, HostilePageWithoutATokenHandsNone)
{
    start(origin + "/hostile");
    ASSERT_TRUE(waitFor(Kind::ready)) << int(actions->phase().kind) << " " << actions->phase().message;
    linger();
    EXPECT_EQ(tokens, std::vector<std::string> {});
    EXPECT_EQ(actions->phase().kind, Kind::ready);
}

TEST_F(SignInBrowserTest, PageOfAnotherOriginCannotPassTheOriginCheck)
{
    // Sent to another origin whose page stores a token and redefines URL so
    // that any origin seems to match.
    start(origin + "/elsewhere?stored");
    ASSERT_TRUE(main.runUntil(
        [&] {
            const char* uri = webkit_web_view_get_uri(browser->view());
            return uri && std::string(uri).starts_with("http://localhost:") && actions->phase().kind != Kind::loading;
        },
        20s))
        << int(actions->phase().kind);
    linger();
    EXPECT_EQ(tokens, std::vector<std::string> {});
}

TEST_F(SignInBrowserTest, NeverDownloads)
{
    // An attachment as the sign-in page itself is refused, not saved.
    start(origin + "/attachment");
    ASSERT_TRUE(waitFor(Kind::failed)) << int(actions->phase().kind);
    linger(500ms);
    EXPECT_EQ(downloads.saved, 0);

    // Nor in a frame, nor content WebKit cannot show, nor a link or a blob
    // with a download attribute.
    for (const char* page : { "/frame-attachment", "/octets", "/download-link" }) {
        SCOPED_TRACE(page);
        actions.reset();
        gtk_window_destroy(std::exchange(window, nullptr));
        browser.reset();
        start(origin + page);
        main.runUntil([&] { return actions->phase().kind != Kind::loading; }, 20s);
        linger();
        EXPECT_EQ(downloads.saved, 0) << downloads.started << " started";
    }
    // The download attribute does start a download: it ends before saving.
    EXPECT_GE(downloads.started, 1);
    EXPECT_EQ(tokens, std::vector<std::string> {});
}

TEST_F(SignInBrowserTest, LoadRefusedBeforeItStartsFailsAtOnce)
{
    // WebKit refuses port 9 outright: no start event, only the failure.
    start("http://127.0.0.1:9/");
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor(Kind::failed, 6s)) << int(actions->phase().kind) << " " << actions->phase().message;
    EXPECT_EQ(actions->phase().message, "无法连接本机体验服务，请重新加载。");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

}
}
