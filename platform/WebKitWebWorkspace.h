#pragma once

#include "host/Observers.h"
#include "host/WebWorkspace.h"
#include "platform/GObjectRef.h"
#include "platform/NetworkSessionStore.h"

#include <webkit/webkit.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// A service page over the main surface, in its own WebKit web view on the
// signed-in network session: the company page, the review page (both shipped
// pages shown at their entry URL on the service's origin) or a route page of
// the service. It refuses navigations off the service's site, turns the
// pages' exit links into the host's exits, notices the page's sign-out, and
// saves downloads, opens file inputs and shows script dialogs on the window.
class WebKitWebWorkspace final : public WebWorkspace, public std::enable_shared_from_this<WebKitWebWorkspace> {
public:
    // What the workspace asks of the desktop; the defaults are the real
    // panels and launcher, tests put their own in.
    struct Desktop {
        // Save panel for a download; `done` gets the chosen file, or none
        // when cancelled. Called only with a window.
        std::function<void(GtkWindow* window, const std::string& suggestedName,
            std::function<void(std::optional<std::filesystem::path>)> done)>
            chooseSaveFile;
        // Open panel for a file input; `done` gets the chosen files (none
        // when cancelled).
        std::function<void(
            GtkWindow* window, bool multiple, std::function<void(std::vector<std::filesystem::path>)> done)>
            chooseOpenFiles;
        // Hands a URL to the desktop's default application for it.
        std::function<void(const std::string& url)> openExternally;
        // Where the shipped pages are.
        std::filesystem::path resources;
    };
    static Desktop defaultDesktop();

    // None when the arguments cannot make a workspace (an origin that is not
    // an absolute URL, a store that is not a WebKit network session).
    static std::shared_ptr<WebKitWebWorkspace> make(WebWorkspaceArguments arguments, Desktop desktop);
    ~WebKitWebWorkspace() override;

    void stop() override;
    // Loads the page again; clears the error first.
    void reload();

    WebKitWebView* browser() const { return browser_.get(); }
    const std::string& origin() const { return origin_; }
    const std::string& entry() const { return entry_; }
    bool isCompany() const { return static_cast<bool>(companyExit_); }
    const std::optional<std::string>& errorText() const { return errorText_; }
    Observers& errorTextObservers() { return errorTextObservers_; }

private:
    struct ExitReport {
        bool isMainFrame = false;
        std::string frameURL;
        std::string href;
        std::int64_t at = 0;
    };
    struct ExitNavigation {
        std::string href;
        std::int64_t at = 0;
    };

    WebKitWebWorkspace(WebWorkspaceArguments arguments, Desktop desktop, std::string entry,
        std::optional<std::string> signedResource, std::shared_ptr<NetworkSessionStore> store);
    void attach();
    void setErrorText(std::optional<std::string> text);
    GtkWindow* window() const;
    void exitReported(ExitReport report);
    void exitNavigated(std::string href);
    void leave(const ExitReport& report);

    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType, gpointer self);
    static void loadChanged(WebKitWebView*, WebKitLoadEvent, gpointer self);
    static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, char* uri, GError* error, gpointer self);
    static void processTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self);
    static gboolean scriptDialog(WebKitWebView*, WebKitScriptDialog*, gpointer self);
    static gboolean runFileChooser(WebKitWebView*, WebKitFileChooserRequest*, gpointer self);
    static void downloadStarted(WebKitNetworkSession*, WebKitDownload*, gpointer self);
    static void signOutReceived(WebKitUserContentManager*, JSCValue*, gpointer self);
    static void exitReceived(WebKitUserContentManager*, JSCValue*, gpointer self);

    void decideNavigationAction(WebKitPolicyDecision* decision, bool newWindow);
    void decideResponse(WebKitResponsePolicyDecision* decision);

    std::string origin_;
    std::string entry_;
    std::optional<std::string> signedResource_;
    std::function<void(bool)> companyExit_;
    std::function<void(const std::string&)> reviewExit_;
    std::function<void()> onLogout_;
    Desktop desktop_;
    std::shared_ptr<NetworkSessionStore> store_;
    GObjectRef<WebKitUserContentManager> content_;
    GObjectRef<WebKitWebView> browser_;
    std::optional<std::string> errorText_;
    Observers errorTextObservers_;
    bool stopped_ = false;
    // Exit links seen by the relay and exit navigations seen by the policy,
    // waiting for their other half.
    std::deque<ExitReport> reports_;
    std::deque<ExitNavigation> navigations_;
    std::vector<WebKitUserScript*> scripts_;
    std::vector<GtkWidget*> dialogs_; // script dialogs still open
};

// The host's factory of web workspaces on this platform.
std::function<std::shared_ptr<WebWorkspace>(WebWorkspaceArguments)> webKitWebWorkspaces(
    WebKitWebWorkspace::Desktop desktop);

}
