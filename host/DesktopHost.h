#pragma once

#include "host/Async.h"
#include "host/DesktopAppearance.h"
#include "host/DesktopLoginSession.h"
#include "host/HttpTransport.h"
#include "host/Observers.h"
#include "host/PageView.h"
#include "host/WebWorkspace.h"
#include "host/WebsiteDataStore.h"
#include "base/Executor.h"
#include "base/Json.h"
#include "sales/QueryItem.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// Which view the root window shows.
enum class Screen { authentication, workspace };

// How a host is set up; the defaults are the product's.
struct DesktopHostOptions {
    std::string origin;                 // empty: serviceOrigin()
    std::filesystem::path settingsPath; // empty: SettingsFile::defaultPath()
    std::string desktopPageURL;         // empty: file URL of resources/Desktop.html
    // How long a request may stay silent (no byte either way) before it fails.
    std::chrono::milliseconds requestTimeout { 60000 };
    std::chrono::milliseconds turnTimeout { 80000 }; // requests that carry "X-Turn"
    // The cap on a whole transfer, however steadily a large answer arrives.
    std::chrono::milliseconds transferLimit { 600000 };
    std::shared_ptr<HttpTransport> transport; // none: libcurl on its own thread
};

// The application's state and its way to the service: the session, the
// screen (with the open web workspace), every request to the service and the
// theme. The page's operations live in the bridge's features, which act
// through this. Everything here is called and runs on the main thread (the
// `main` executor); only the network transfers and the decoding of large
// answers run elsewhere, and they come back by posting to `main`, so its
// post() must be safe to call from any thread. An answer brought by a
// transport the main loop drives resumes its request at once, inside the
// transport's callback, so the host must not be destroyed from a request's
// continuation (a spawn's `done` included).
//
// Requests and checks still waiting when the host goes are abandoned: those
// it started itself (verify) are freed with it, their callback dropped
// uncalled; the bridge's are freed with the bridge, which goes first.
class DesktopHost {
public:
    explicit DesktopHost(Executor& main, DesktopHostOptions options = {});
    ~DesktopHost();
    DesktopHost(const DesktopHost&) = delete;
    DesktopHost& operator=(const DesktopHost&) = delete;

    // ---- Published state ------------------------------------------------
    Screen screen() const { return screen_; }
    Observers& screenObservers() { return screenObservers_; }
    std::shared_ptr<WebWorkspace> webWorkspace() const { return webWorkspace_; }
    Observers& webWorkspaceObservers() { return webWorkspaceObservers_; }

    const std::optional<DesktopLoginSession>& session() const { return session_; }
    std::optional<std::string> sessionToken() const;
    std::optional<std::string> accountID() const;
    std::shared_ptr<WebsiteDataStore> verifiedStore() const { return verifiedStore_; }

    // The main web view, held weakly; set by the main surface when it
    // creates the view.
    void setWorkspaceWeb(std::weak_ptr<PageView> view) { workspaceWeb_ = std::move(view); }
    std::shared_ptr<PageView> workspaceWeb() const { return workspaceWeb_.lock(); }

    // The service origin every request is built on ("https://host[:port]",
    // no path). Settable, for tests and the local service.
    std::string origin;

    // File URL of the shipped page; the only URL the main view may show and
    // the only frame URL the bridge admits.
    const std::string& desktopPageURL() const { return desktopPageURL_; }
    void setDesktopPageURL(std::string url) { desktopPageURL_ = std::move(url); }

    // Navigation policy of the main web view: true (allow) exactly for the
    // page's own URL.
    bool decideNavigation(const std::string& url) const { return url == desktopPageURL_; }

    // ---- Session ---------------------------------------------------------
    // What the sign-in controller starts from.
    std::string loginOrigin() const { return origin; }
    // Asks "/v1/me" with the token and builds the session; callback form for
    // the sign-in controller, called once on the main thread (never, if the
    // host goes first).
    void verify(std::string token,
        std::function<void(std::optional<DesktopLoginSession>, std::optional<std::string> error)> done);
    Task<DesktopLoginSession> verifySession(std::string token);
    // A verified sign-in: keeps the sign-in browser's data store for web
    // workspaces, then `didAuthenticate`.
    void didVerify(DesktopLoginSession session, std::shared_ptr<WebsiteDataStore> store);
    // Stores the session and shows the workspace; ignored while the workspace
    // is already shown.
    void didAuthenticate(DesktopLoginSession session);
    // Stops the web workspace, forgets the store, the session and the main
    // web view, and shows the sign-in view.
    void signOut();
    // Stops the web workspace and asks the page to refresh where it is.
    void closeWebWorkspace();
    // Stops the web workspace and takes it off the window.
    void stopWebWorkspace();
    // Shows `workspace` over the main surface (none: the main surface alone);
    // the previous one is let go once the current call has unwound.
    void setWebWorkspace(std::shared_ptr<WebWorkspace> workspace);

    // ---- Service requests ------------------------------------------------
    // One call of the service with the bearer token. The method defaults to
    // "POST" with a body and "GET" without. Throws DesktopError.
    Task<Json> request(std::string path, std::string token, std::optional<Json> body = std::nullopt,
        std::optional<std::string> turn = std::nullopt, std::optional<std::string> method = std::nullopt,
        std::vector<QueryItem> query = {});

    // ---- Appearance ------------------------------------------------------
    DesktopAppearance savedAppearance() const;

    // ---- Executors --------------------------------------------------------
    Executor& mainExecutor() { return main_; }
    BackgroundPool& background() { return *background_; }
    SettingsFile& settings() { return settings_; }

    // Held weakly by callbacks that may come late (a web workspace's exits):
    // empty once the host is gone.
    std::weak_ptr<DesktopHost*> weakHandle() const { return self_; }

private:
    void setScreen(Screen screen);

    HttpRequest buildRequest(const std::string& path, const std::string& token, const std::optional<Json>& body,
        const std::optional<std::string>& turn, const std::string& method, const std::vector<QueryItem>& query) const;
    Task<HttpResult> transfer(HttpRequest request);
    Task<Json> readResponse(
        HttpResult result, std::string path, std::string token, std::string method, bool incremental);

    Executor& main_;
    // Every resumption of the host's coroutines goes through this, so none
    // runs once the host is gone.
    OwnedExecutor resume_;
    Screen screen_ = Screen::authentication;
    std::shared_ptr<WebWorkspace> webWorkspace_;
    std::shared_ptr<WebsiteDataStore> verifiedStore_;
    std::optional<DesktopLoginSession> session_;
    std::weak_ptr<PageView> workspaceWeb_;
    std::string desktopPageURL_;
    std::chrono::milliseconds requestTimeout_;
    std::chrono::milliseconds turnTimeout_;
    std::chrono::milliseconds transferLimit_;
    SettingsFile settings_;
    Observers screenObservers_;
    Observers webWorkspaceObservers_;
    std::shared_ptr<HttpTransport> transport_;
    std::unique_ptr<BackgroundPool> background_;
    // Exits of web workspaces and late callbacks hold this weakly, so they do
    // nothing once the host is gone.
    std::shared_ptr<DesktopHost*> self_;
};

}
