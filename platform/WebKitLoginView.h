#pragma once

#include "platform/GObjectRef.h"
#include "platform/NetworkSessionStore.h"
#include "signin/LoginActions.h"
#include "signin/LoginWebView.h"

#include <webkit/webkit.h>

#include <memory>

namespace korvid {

// The sign-in browser: a WebKit web view on a fresh ephemeral network session
// with its own user content manager. It reports its main-frame navigations to
// the sign-in controller set as its delegate.
class WebKitLoginView final : public LoginWebView, public std::enable_shared_from_this<WebKitLoginView> {
public:
    static std::shared_ptr<WebKitLoginView> make();
    ~WebKitLoginView() override;

    void setDelegate(std::weak_ptr<LoginActions> delegate) { delegate_ = std::move(delegate); }

    WebKitWebView* view() const { return view_.get(); }
    std::shared_ptr<NetworkSessionStore> store() const { return store_; }

    void stopLoading() override;
    NavigationID load(const std::string& url, std::chrono::seconds timeout) override;
    void replaceUserScripts(const std::string& source) override;
    void evaluateAsyncFunction(const std::string& body, const Json& arguments, EvaluationDone done) override;
    void removeAllWebsiteData(std::function<void()> done) override;

private:
    WebKitLoginView();
    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self);
    static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent event, char* uri, GError* error, gpointer self);
    static gboolean decidePolicy(
        WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer self);
    static void processTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self);

    std::shared_ptr<NetworkSessionStore> store_;
    GObjectRef<WebKitUserContentManager> content_;
    GObjectRef<WebKitWebView> view_;
    std::weak_ptr<LoginActions> delegate_;
    NavigationID lastNavigation_ = 0;
    NavigationID requested_ = 0; // the id `load` handed out, until that load starts
    NavigationID current_ = 0;   // the main-frame navigation in progress
};

}
