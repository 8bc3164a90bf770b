#include "platform/WebKitLoginView.h"

#include "platform/JsonVariant.h"

namespace korvid {

namespace {

// Our scripts read an untrusted page: they run in a world of their own, where
// the page's redefinitions of URL, storage or DOM methods do not reach them.
constexpr const char* kScriptWorld = "korvid-signin";

// Whether `response` asks to be saved rather than shown: a
// "Content-Disposition" whose type is "attachment", in any letter case.
bool isAttachment(WebKitURIResponse* response)
{
    SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(response);
    const char* disposition = headers ? soup_message_headers_get_one(headers, "Content-Disposition") : nullptr;
    if (!disposition)
        return false;
    while (g_ascii_isspace(*disposition))
        ++disposition;
    constexpr std::size_t length = sizeof("attachment") - 1;
    if (g_ascii_strncasecmp(disposition, "attachment", length) != 0)
        return false;
    char next = disposition[length];
    return next == '\0' || next == ';' || g_ascii_isspace(next);
}

struct Evaluation {
    std::weak_ptr<WebKitLoginView> owner;
    LoginWebView::EvaluationDone done;
};

struct Removal {
    std::weak_ptr<WebKitLoginView> owner;
    std::function<void()> done;
};

}

std::shared_ptr<WebKitLoginView> WebKitLoginView::make()
{
    return std::shared_ptr<WebKitLoginView>(new WebKitLoginView());
}

WebKitLoginView::WebKitLoginView()
{
    auto session = GObjectRef<WebKitNetworkSession>::adopt(webkit_network_session_new_ephemeral());
    store_ = std::make_shared<NetworkSessionStore>(session.get());
    content_ = GObjectRef<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
    view_ = GObjectRef<WebKitWebView>::retain(WEBKIT_WEB_VIEW(g_object_new(
        WEBKIT_TYPE_WEB_VIEW, "network-session", session.get(), "user-content-manager", content_.get(), nullptr)));
    g_signal_connect(view_.get(), "load-changed", G_CALLBACK(loadChanged), this);
    g_signal_connect(view_.get(), "load-failed", G_CALLBACK(loadFailed), this);
    g_signal_connect(view_.get(), "decide-policy", G_CALLBACK(decidePolicy), this);
    g_signal_connect(view_.get(), "web-process-terminated", G_CALLBACK(processTerminated), this);
    // The sign-in view never saves anything: a download it starts anyway (a
    // link with a download attribute, a script's blob) ends at once. Only its
    // own: the host adopts the session after sign-in for other views.
    g_signal_connect(session.get(), "download-started",
        G_CALLBACK(+[](WebKitNetworkSession*, WebKitDownload* download, gpointer data) {
            if (webkit_download_get_web_view(download) == static_cast<WebKitLoginView*>(data)->view_.get())
                webkit_download_cancel(download);
        }),
        this);
    // The sign-in page's alerts and prompts show nothing: they are answered
    // as dismissed, as in a browser without dialogs.
    g_signal_connect(
        view_.get(), "script-dialog", G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog*) { return TRUE; }), nullptr);
}

WebKitLoginView::~WebKitLoginView()
{
    g_signal_handlers_disconnect_by_data(view_.get(), this);
    g_signal_handlers_disconnect_by_data(store_->session(), this);
    webkit_web_view_stop_loading(view_.get());
    // WebKit parks the web process of a closed http(s) page in its process
    // cache for later pages of the same site (the cache model set after the
    // default context exists does not shrink that cache), so a finished
    // sign-in would keep a whole web process alive beside the main page.
    // This process hosts only the sign-in pages: the main page, a local
    // file, never shares it.
    webkit_web_view_terminate_web_process(view_.get());
}

void WebKitLoginView::stopLoading()
{
    webkit_web_view_stop_loading(view_.get());
}

NavigationID WebKitLoginView::load(const std::string& url, std::chrono::seconds)
{
    // The session is ephemeral and new for each sign-in, so nothing cached
    // can be shown; the controller's own deadline bounds the load time.
    requested_ = ++lastNavigation_;
    webkit_web_view_load_uri(view_.get(), url.c_str());
    return requested_;
}

void WebKitLoginView::replaceUserScripts(const std::string& source)
{
    webkit_user_content_manager_remove_all_scripts(content_.get());
    WebKitUserScript* script = webkit_user_script_new_for_world(source.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, kScriptWorld, nullptr, nullptr);
    webkit_user_content_manager_add_script(content_.get(), script);
    webkit_user_script_unref(script);
}

void WebKitLoginView::evaluateAsyncFunction(const std::string& body, const Json& arguments, EvaluationDone done)
{
    auto* pending = new Evaluation { weak_from_this(), std::move(done) };
    webkit_web_view_call_async_javascript_function(
        view_.get(), body.c_str(), static_cast<gssize>(body.size()), variantFromJson(arguments), kScriptWorld, nullptr,
        nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Evaluation> pending(static_cast<Evaluation*>(data));
            GError* error = nullptr;
            JSCValue* value
                = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
            std::optional<Json> json;
            std::optional<std::string> failure;
            if (value) {
                json = jsonFromJSCValue(value);
                g_object_unref(value);
                if (!json)
                    failure = "结果无法读取";
            } else {
                failure = error ? error->message : "脚本失败";
            }
            g_clear_error(&error);
            if (pending->owner.lock())
                pending->done(std::move(json), std::move(failure));
        },
        pending);
}

void WebKitLoginView::removeAllWebsiteData(std::function<void()> done)
{
    auto* manager = webkit_network_session_get_website_data_manager(store_->session());
    auto* pending = new Removal { weak_from_this(), std::move(done) };
    webkit_website_data_manager_clear(
        manager, WEBKIT_WEBSITE_DATA_ALL, 0, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Removal> pending(static_cast<Removal*>(data));
            webkit_website_data_manager_clear_finish(WEBKIT_WEBSITE_DATA_MANAGER(source), result, nullptr);
            if (pending->owner.lock())
                pending->done();
        },
        pending);
}

void WebKitLoginView::loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data)
{
    auto* self = static_cast<WebKitLoginView*>(data);
    auto delegate = self->delegate_.lock();
    if (event == WEBKIT_LOAD_STARTED) {
        self->current_ = self->requested_ ? std::exchange(self->requested_, 0) : ++self->lastNavigation_;
        if (delegate)
            delegate->didStartProvisionalNavigation(self->current_);
    } else if (event == WEBKIT_LOAD_FINISHED) {
        if (!delegate)
            return;
        // WebKit answers a load it refuses outright (a blocked port, say)
        // with an empty page rather than a failure; the sign-in never loads
        // one itself.
        const char* uri = webkit_web_view_get_uri(self->view_.get());
        if (uri && g_str_has_prefix(uri, "about:"))
            delegate->didFail(self->current_, WEBKIT_NETWORK_ERROR_FAILED);
        else
            delegate->didFinish(self->current_);
    }
}

gboolean WebKitLoginView::loadFailed(WebKitWebView*, WebKitLoadEvent event, char*, GError* error, gpointer data)
{
    auto* self = static_cast<WebKitLoginView*>(data);
    auto delegate = self->delegate_.lock();
    if (!delegate)
        return FALSE;
    int code = error ? error->code : 0;
    if (error && error->domain == WEBKIT_NETWORK_ERROR && error->code == WEBKIT_NETWORK_ERROR_CANCELLED)
        code = kCancelledLoadCode;
    // A load WebKit refuses before it starts (a blocked port, say) fails
    // without a start event: the failure belongs to the load still awaited.
    if (self->requested_ && code != kCancelledLoadCode)
        self->current_ = std::exchange(self->requested_, 0);
    if (event == WEBKIT_LOAD_STARTED || event == WEBKIT_LOAD_REDIRECTED)
        delegate->didFailProvisionalNavigation(self->current_, code);
    else
        delegate->didFail(self->current_, code);
    // Nothing of WebKit's own error page is shown: the sheet shows the failure.
    return TRUE;
}

gboolean WebKitLoginView::decidePolicy(
    WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data)
{
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
        return FALSE;
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    WebKitURIResponse* uriResponse = webkit_response_policy_decision_get_response(response);
    auto* self = static_cast<WebKitLoginView*>(data);
    if (auto delegate = self->delegate_.lock()) {
        bool mainFrame = webkit_response_policy_decision_is_main_frame_main_resource(response);
        std::optional<int> status;
        const char* uri = webkit_uri_response_get_uri(uriResponse);
        if (uri && (g_str_has_prefix(uri, "http:") || g_str_has_prefix(uri, "https:")))
            status = static_cast<int>(webkit_uri_response_get_status_code(uriResponse));
        if (!delegate->decideResponse(mainFrame, status)) {
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
    }
    // What WebKit would download rather than show (an attachment, a type it
    // cannot display) is refused in every frame: the sign-in view never
    // saves anything.
    if (isAttachment(uriResponse) || !webkit_response_policy_decision_is_mime_type_supported(response)) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    return FALSE;
}

void WebKitLoginView::processTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data)
{
    auto* self = static_cast<WebKitLoginView*>(data);
    if (auto delegate = self->delegate_.lock())
        delegate->webContentProcessDidTerminate();
}

}
