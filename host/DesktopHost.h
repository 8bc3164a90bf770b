#pragma once

#include "host/Async.h"
#include "host/BridgeMessage.h"
#include "host/DesktopAppearance.h"
#include "host/DesktopLoginSession.h"
#include "host/FileChoice.h"
#include "host/HttpTransport.h"
#include "host/Observers.h"
#include "host/PageView.h"
#include "host/WebWorkspace.h"
#include "host/WebsiteDataStore.h"
#include "base/Executor.h"
#include "base/Json.h"
#include "sales/QueryItem.h"

#include <array>
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
    std::string origin;                   // empty: serviceOrigin()
    std::filesystem::path settingsPath;   // empty: SettingsFile::defaultPath()
    std::string desktopPageURL;           // empty: file URL of resources/Desktop.html
    // How long a request may stay silent (no byte either way) before it fails.
    std::chrono::milliseconds requestTimeout { 60000 };
    std::chrono::milliseconds turnTimeout { 80000 }; // requests that carry "X-Turn"
    // The cap on a whole transfer, however steadily a large answer arrives.
    std::chrono::milliseconds transferLimit { 600000 };
    std::shared_ptr<HttpTransport> transport;        // none: libcurl on its own thread
};

// The one controller of the application: the page bridge, the session, every
// request to the service, the theme and the open web workspace. Everything
// here is called and runs on the main thread (the `main` executor); only the
// seams' work, the task queue and the network transfers run elsewhere, and
// they come back by posting to `main`, so its post() must be safe to call
// from any thread.
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

    // ---- The page bridge ------------------------------------------------
    // Gate and dispatch of one page message. Returns at once; the reply is
    // called exactly once, later, on the main thread.
    void receive(BridgeMessage message);

    // Navigation policy of the main web view: true (allow) exactly for the
    // page's own URL.
    bool decideNavigation(const std::string& url) const { return url == desktopPageURL_; }

    // ---- Session ---------------------------------------------------------
    // What the sign-in controller starts from.
    std::string loginOrigin() const { return origin; }
    // Asks "/v1/me" with the token and builds the session; callback form for
    // the sign-in controller, called once on the main thread.
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

    // ---- Service requests ------------------------------------------------
    // One call of the service with the bearer token. The method defaults to
    // "POST" with a body and "GET" without. Throws DesktopError.
    Task<Json> request(std::string path, std::string token, std::optional<Json> body = std::nullopt,
        std::optional<std::string> turn = std::nullopt, std::optional<std::string> method = std::nullopt,
        std::vector<QueryItem> query = {});

    // ---- Appearance ------------------------------------------------------
    DesktopAppearance savedAppearance() const;

    // ---- Seams filled by other subsystems ---------------------------------
    // Each is called on the main thread unless noted; while one is unset, the
    // operation that needs it replies a Chinese error.

    // File choosers (the shell): one file for events, several for tasks.
    // Cancelling gives no files.
    std::function<void(std::function<void(FileChoice)>)> selectEventFile;
    std::function<void(std::function<void(FileChoice)>)> selectTaskFiles;

    // Permissions. Unset: accessibility not trusted, requests do nothing,
    // screen capture allowed (X11). The accessibility check asks the session
    // bus, so it answers through its completion (from any thread) instead of
    // blocking the window.
    std::function<void(std::function<void(bool)>)> accessibilityTrusted;
    std::function<void()> requestAccessibility;
    std::function<bool()> screenCaptureAllowed;
    std::function<void()> requestScreenCapture;
    // Applies a theme to the whole application (the shell, libadwaita).
    std::function<void(DesktopAppearance)> applyAppearance;

    // The task workspace: TaskWorkspace::handle. Runs on `taskIO`, never on
    // the main thread; gets copies of everything.
    std::function<Json(const std::string& op, const std::string& owner, const Json& payload,
        const std::vector<std::filesystem::path>& files)>
        workspaceHandle;
    // A minutes file's execution text (Attachment::inspect then
    // executionText(32768)); runs on the background pool.
    std::function<std::string(const std::filesystem::path&)> readMeetingFile;
    // EventSource::inspect: the excerpt record; runs on the background pool.
    std::function<Json(const std::filesystem::path&)> inspectEventFile;
    // DesktopDriver::inspect: element count of a window; background pool.
    std::function<std::int64_t(std::uint64_t windowID)> inspectWindow;
    // Builds a web workspace (the web workspace subsystem).
    std::function<std::shared_ptr<WebWorkspace>(WebWorkspaceArguments)> makeWebWorkspace;

    // ---- Executors --------------------------------------------------------
    Executor& mainExecutor() { return main_; }
    SerialQueue& taskIO() { return *taskIO_; }
    BackgroundPool& background() { return *background_; }
    SettingsFile& settings() { return settings_; }

    // The page operations the bridge answers, in table order.
    static std::vector<std::string> operationNames();

private:
    struct Dispatch;
    struct Operation;
    static const Operation* findOperation(const std::string& op);
    static const std::array<Operation, 22>& operations();

    bool admits(const BridgeMessage& message) const;
    Task<Json> dispatch(std::shared_ptr<Dispatch> call);
    void checkGuard(const Dispatch& call) const;
    void recheck(const Dispatch& call) const;

    Task<Json> opPermissions(std::shared_ptr<Dispatch> call);
    Task<Json> opDeviceStatus(std::shared_ptr<Dispatch> call);
    Task<Json> opAppearance(std::shared_ptr<Dispatch> call);
    Task<Json> opInspectOwnWindow(std::shared_ptr<Dispatch> call);
    Task<Json> opEventFile(std::shared_ptr<Dispatch> call);
    Task<Json> opWebCompany(std::shared_ptr<Dispatch> call);
    Task<Json> opWebWechatReview(std::shared_ptr<Dispatch> call);
    Task<Json> opWebWorkspace(std::shared_ptr<Dispatch> call);
    Task<Json> opSession(std::shared_ptr<Dispatch> call);
    Task<Json> opLogout(std::shared_ptr<Dispatch> call);
    Task<Json> opWorkspace(std::shared_ptr<Dispatch> call);
    Task<Json> opTaskAttach(std::shared_ptr<Dispatch> call);
    Task<Json> opTaskStates(std::shared_ptr<Dispatch> call);
    Task<Json> opTaskStatus(std::shared_ptr<Dispatch> call);
    Task<Json> opTaskStart(std::shared_ptr<Dispatch> call);
    Task<Json> opTaskReview(std::shared_ptr<Dispatch> call);
    Task<Json> opMeetingFile(std::shared_ptr<Dispatch> call);
    Task<Json> opSales(std::shared_ptr<Dispatch> call);

    Task<Json> runWorkspace(std::string op, std::string owner, Json payload, std::vector<std::filesystem::path> files);
    Task<Json> openWebWorkspace(std::shared_ptr<Dispatch> call, WebWorkspaceArguments arguments);
    Task<std::string> awaitLoginOrigin();
    Task<bool> awaitAccessibility();
    void setWebWorkspace(std::shared_ptr<WebWorkspace> workspace);
    void setScreen(Screen screen);

    HttpRequest buildRequest(const std::string& path, const std::string& token, const std::optional<Json>& body,
        const std::optional<std::string>& turn, const std::string& method, const std::vector<QueryItem>& query) const;
    Task<HttpResult> transfer(HttpRequest request);
    Task<Json> readResponse(HttpResult result, std::string path, std::string token, std::string method,
        bool incremental);

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
    std::unique_ptr<SerialQueue> taskIO_;
    std::unique_ptr<BackgroundPool> background_;
    // Exits of web workspaces and late callbacks hold this weakly, so they do
    // nothing once the host is gone.
    std::shared_ptr<DesktopHost*> self_;
};

}
