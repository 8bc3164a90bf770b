#pragma once

#include "app/KorvidDesktop.h"
#include "app/tests/LocalServiceProcess.h"
#include "app/tests/WindowTestSupport.h"
#include "signin/LoginActions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvid::testing {

// What page scripts start with to wait: wait(ms), and until(test, what, ms),
// which answers test()'s first true value or throws after ms (15 s).
constexpr const char* kWaitPrelude = R"JS(
const wait = ms => new Promise(done => setTimeout(done, ms));
async function until(test, what, ms) {
  const end = performance.now() + (ms || 15000);
  for (;;) {
    const value = test();
    if (value) return value;
    if (performance.now() > end) throw new Error('timed out waiting for ' + (what || test));
    await wait(25);
  }
}
)JS";

// What every test of the application's window holds: a scratch folder named
// after the test, the main loop, the local service when a test starts it,
// and the host, bridge and window, released window first at the end of each
// test while the loop still turns.
class WindowTest : public ::testing::Test {
protected:
    // The scratch folder is "<folderPrefix>-<pid>-<test name>" in /tmp.
    explicit WindowTest(std::string folderPrefix);

    // Skips the test without a display.
    void SetUp() override;
    void TearDown() override;

    // korvid-service from beside the test with its data in the scratch
    // folder; false when it is not built or did not start.
    bool startService(const std::vector<std::string>& serviceOptions = {});

    // The host with `options` and its bridge, the platform's seams filled in
    // against this test's window.
    void makeHost(const DesktopHostOptions& options);
    // The task workspace behind the bridge, in the scratch folder.
    void connectTaskWorkspace();
    // The window over the host, shown.
    void openWindow(WebWorkspaceViewFactory webWorkspaceView = {});

    LoginActions& signInActions();
    WebKitWebView* signInView();
    WebKitWebView* mainView();
    // The web workspace open over the main page, or null.
    std::shared_ptr<WebKitWebWorkspace> workspace();

    // Fills the sign-in card with the account and submits it; the script's
    // value is true when it ran.
    ScriptOutcome submitSignIn(const std::string& email, const std::string& password);
    // Waits for the signed-in screen and the main page's ready mark.
    bool reachMainPage(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Sets the window to `width` by `height` and lets the pages lay out again.
    void resize(int width, int height);

    // Runs `body` after `prelude` in `view`: its value, or "error: <message>"
    // when it threw; a script that could not run at all fails the test.
    Json runGuarded(WebKitWebView* view, const std::string& prelude, const std::string& body);

    std::filesystem::path folder;
    GLibExecutor main;
    std::unique_ptr<LocalServiceProcess> service;
    std::unique_ptr<DesktopHost> host;
    std::unique_ptr<DesktopBridge> bridge;
    std::unique_ptr<DesktopWindow> window;

private:
    std::string folderPrefix_;
};

}
