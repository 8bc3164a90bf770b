#include "app/tests/WindowTest.h"

#include "app/DesktopSignIn.h"
#include "app/DesktopSurface.h"
#include "app/LocalServices.h"
#include "base/Bundle.h"
#include "tasks/TaskWorkspace.h"

#include <unistd.h>

// Read by the undefined-behaviour sanitizer at start; see the file for why.
extern "C" const char* __ubsan_default_options()
{
    return "suppressions=" KORVID_UBSAN_SUPPRESSIONS;
}

namespace korvid::testing {

using namespace std::chrono_literals;

WindowTest::WindowTest(std::string folderPrefix)
    : folderPrefix_(std::move(folderPrefix))
{
}

void WindowTest::SetUp()
{
    if (!openDisplay())
        GTEST_SKIP() << "no display";
    folder = std::filesystem::temp_directory_path()
        / (folderPrefix_ + "-" + std::to_string(::getpid()) + "-"
            + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder);
}

void WindowTest::TearDown()
{
    window.reset();
    bridge.reset();
    host.reset();
    // Let WebKit finish tearing the views down before the next test.
    main.runUntil([] { return false; }, 200ms);
    if (!folder.empty())
        std::filesystem::remove_all(folder);
}

bool WindowTest::startService(const std::vector<std::string>& serviceOptions)
{
    service = std::make_unique<LocalServiceProcess>(folder / "service", serviceOptions);
    return !service->origin.empty();
}

void WindowTest::makeHost(const DesktopHostOptions& options)
{
    host = std::make_unique<DesktopHost>(main, options);
    bridge = std::make_unique<DesktopBridge>(*host);
    fillPlatformSeams(*bridge, [this] { return window ? window->window() : nullptr; });
}

void WindowTest::connectTaskWorkspace()
{
    connectLocalServices(*bridge, std::make_shared<TaskWorkspace>(folder / "TaskWorkspace"));
}

void WindowTest::openWindow(WebWorkspaceViewFactory webWorkspaceView)
{
    window = std::make_unique<DesktopWindow>(
        nullptr, *host, *bridge, DesktopWindow::Environment { main, resourcesFolder(), std::move(webWorkspaceView) });
    gtk_window_present(window->window());
}

LoginActions& WindowTest::signInActions()
{
    return *DesktopSignIn::from(window->signIn())->controller().actions;
}

WebKitWebView* WindowTest::signInView()
{
    return DesktopSignIn::from(window->signIn())->controller().browser->view();
}

WebKitWebView* WindowTest::mainView()
{
    return DesktopSurface::from(window->surface())->page()->view();
}

ScriptOutcome WindowTest::submitSignIn(const std::string& email, const std::string& password)
{
    return runScript(main, signInView(),
        "document.getElementById('email').value = " + Json(email).dump()
            + ";"
              "document.getElementById('password').value = "
            + Json(password).dump()
            + ";"
              "document.querySelector('button[type=submit]').click(); return true;");
}

bool WindowTest::reachMainPage(std::chrono::milliseconds timeout)
{
    if (!main.runUntil([&] { return host->screen() == Screen::workspace; }, timeout))
        return false;
    return main.runUntil(
        [&] {
            return window->surface()
                && runScript(main, mainView(), "return document.documentElement.dataset.ready === 'true';").value
                == Json(true);
        },
        timeout);
}

std::shared_ptr<WebKitWebWorkspace> WindowTest::workspace()
{
    return std::dynamic_pointer_cast<WebKitWebWorkspace>(host->webWorkspace());
}

void WindowTest::resize(int width, int height)
{
    gtk_window_set_default_size(window->window(), width, height);
    main.runUntil(
        [&] {
            return gtk_widget_get_width(GTK_WIDGET(window->window())) == width
                && gtk_widget_get_height(GTK_WIDGET(window->window())) == height;
        },
        3s);
    main.runUntil([] { return false; }, 300ms);
}

Json WindowTest::runGuarded(WebKitWebView* view, const std::string& prelude, const std::string& body)
{
    auto outcome
        = runScript(main, view, prelude + "try {" + body + "} catch (error) { return 'error: ' + error.message; }");
    EXPECT_TRUE(outcome.error.empty()) << outcome.error;
    return outcome.value.value_or(Json("no value"));
}

}
