#include "platform/WebKitWebWorkspace.h"

#include "base/Bundle.h"
#include "base/Json.h"
#include "webworkspace/WebWorkspaceRules.h"

#include <fstream>
#include <sstream>

namespace korvid {

namespace {

namespace rules = webworkspace;

// Our scripts read untrusted pages: they run in a world of their own, where
// page scripts can neither redefine what they use nor reach their handlers.
constexpr const char* kScriptWorld = "korvid-web-workspace";
constexpr const char* kSignOutHandler = "webSignOut";
constexpr const char* kExitHandler = "workspaceExit";
// How long an exit link's report and its navigation wait for each other.
constexpr std::int64_t kExitPairing = 2 * G_USEC_PER_SEC;
constexpr std::size_t kExitBacklog = 8;

// Main frame, at document end: one report per page load, the first time the
// page's storage has no session token.
constexpr const char* kSignOutWatcher
    = "let sent=false;\n"
      "function check(){\n"
      "  if(!sent && !localStorage.getItem('korvid.token')){\n"
      "    sent=true; window.webkit.messageHandlers.webSignOut.postMessage(null);\n"
      "  }\n"
      "}\n"
      "new MutationObserver(check).observe(document.documentElement,{childList:true,subtree:true});\n"
      "check();";

// Every frame, at document start: WebKit does not say which frame followed a
// link, so this relay tells, for each click on a link to an exit scheme,
// whether its frame is the top one and where that frame is. It is the only
// source of that fact; the navigation itself is always refused.
constexpr const char* kExitRelay = R"JS((() => {
  const handler = window.webkit.messageHandlers.workspaceExit;
  const isMainFrame = window === window.top;
  const exitScheme = /^korvid-(customer|review):/i;
  window.addEventListener('click', event => {
    for (let node = event.target; node; node = node.parentNode) {
      if (node.nodeType !== 1) continue;
      const name = node.localName;
      if ((name === 'a' || name === 'area') && typeof node.href === 'string' && node.href) {
        if (exitScheme.test(node.href))
          handler.postMessage(JSON.stringify({main: isMainFrame, url: location.href, href: node.href}));
        return;
      }
    }
  }, true);
})();)JS";

constexpr const char* kMissingResource = "安装包缺少桌面页面资源。";
constexpr const char* kTerminated = "网页工作区已中断，请重新加载。";
constexpr const char* kDownloadFailed = "下载失败，请重试。";
constexpr const char* kLoadFailed = "网页工作区未能打开，请检查网络后重试。";

std::optional<std::string> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return text.str();
}

// The shipped pages share one stylesheet and one script. Shown at the
// service's address, relative links would ask the service for them, so they go
// in inline; a page whose shared file is missing is as incomplete as a missing
// page.
std::optional<std::string> shippedPage(const std::filesystem::path& resources, const std::string& name)
{
    struct Shared {
        std::string_view link;
        const char* file;
        const char* open;
        const char* close;
    };
    static constexpr Shared kShared[] = {
        { "<link rel=\"stylesheet\" href=\"pages.css\">", "pages.css", "<style>\n", "</style>" },
        { "<script src=\"pages.js\"></script>", "pages.js", "<script>\n", "</script>" },
    };
    auto html = readFile(resources / (name + ".html"));
    if (!html)
        return std::nullopt;
    for (const Shared& shared : kShared) {
        auto at = html->find(shared.link);
        if (at == std::string::npos)
            continue;
        auto content = readFile(resources / shared.file);
        if (!content)
            return std::nullopt;
        html->replace(at, shared.link.size(), shared.open + *content + shared.close);
    }
    return html;
}

rules::NavigationType navigationType(WebKitNavigationType type)
{
    switch (type) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
        return rules::NavigationType::linkActivated;
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
        return rules::NavigationType::formSubmitted;
    case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD:
        return rules::NavigationType::backForward;
    case WEBKIT_NAVIGATION_TYPE_RELOAD:
        return rules::NavigationType::reload;
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
        return rules::NavigationType::formResubmitted;
    default:
        return rules::NavigationType::other;
    }
}

std::optional<std::string> stringOf(JSCValue* value)
{
    if (!value || !jsc_value_is_string(value))
        return std::nullopt;
    char* raw = jsc_value_to_string(value);
    std::string text = raw ? raw : "";
    g_free(raw);
    return text;
}

// A script dialog waiting for its sheet.
struct DialogAnswer {
    WebKitScriptDialog* dialog;
    GtkWidget* entry = nullptr;
    bool answered = false;

    void finish(bool confirmed)
    {
        if (answered)
            return;
        answered = true;
        auto type = webkit_script_dialog_get_dialog_type(dialog);
        if (type == WEBKIT_SCRIPT_DIALOG_CONFIRM || type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
            webkit_script_dialog_confirm_set_confirmed(dialog, confirmed);
        else if (type == WEBKIT_SCRIPT_DIALOG_PROMPT && confirmed)
            webkit_script_dialog_prompt_set_text(dialog, gtk_editable_get_text(GTK_EDITABLE(entry)));
        webkit_script_dialog_close(dialog);
    }
};

GtkWidget* showDialog(GtkWindow* parent, WebKitScriptDialog* dialog)
{
    auto type = webkit_script_dialog_get_dialog_type(dialog);
    auto* answer = new DialogAnswer { webkit_script_dialog_ref(dialog) };
    GtkWidget* window = gtk_window_new();
    gtk_window_set_transient_for(GTK_WINDOW(window), parent);
    gtk_window_set_modal(GTK_WINDOW(window), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_title(GTK_WINDOW(window), "");
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_widget_set_margin_top(box, 18);
    gtk_widget_set_margin_bottom(box, 18);
    gtk_widget_set_margin_start(box, 18);
    gtk_widget_set_margin_end(box, 18);
    GtkWidget* message = gtk_label_new(webkit_script_dialog_get_message(dialog));
    gtk_label_set_wrap(GTK_LABEL(message), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(message), 50);
    gtk_box_append(GTK_BOX(box), message);
    if (type == WEBKIT_SCRIPT_DIALOG_PROMPT) {
        answer->entry = gtk_entry_new();
        const char* initial = webkit_script_dialog_prompt_get_default_text(dialog);
        gtk_editable_set_text(GTK_EDITABLE(answer->entry), initial ? initial : "");
        gtk_widget_set_size_request(answer->entry, 300, 24);
        gtk_box_append(GTK_BOX(box), answer->entry);
    }
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_halign(buttons, GTK_ALIGN_END);
    GtkWidget* confirm = gtk_button_new_with_label("确定");
    gtk_box_append(GTK_BOX(buttons), confirm);
    if (type != WEBKIT_SCRIPT_DIALOG_ALERT) {
        GtkWidget* cancel = gtk_button_new_with_label("取消");
        gtk_box_append(GTK_BOX(buttons), cancel);
        g_signal_connect_swapped(cancel, "clicked", G_CALLBACK(gtk_window_destroy), window);
    }
    gtk_box_append(GTK_BOX(box), buttons);
    gtk_window_set_child(GTK_WINDOW(window), box);

    g_object_set_data(G_OBJECT(window), "korvid-dialog", answer);
    g_signal_connect(confirm, "clicked", G_CALLBACK(+[](GtkButton*, gpointer window) {
        auto* answer = static_cast<DialogAnswer*>(g_object_get_data(G_OBJECT(window), "korvid-dialog"));
        answer->finish(true);
        gtk_window_destroy(GTK_WINDOW(window));
    }),
        window);
    // Any other way the sheet goes (cancel, the close button, the workspace
    // closing) is the negative answer, given exactly once.
    g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        auto* answer = static_cast<DialogAnswer*>(data);
        answer->finish(false);
        webkit_script_dialog_unref(answer->dialog);
        delete answer;
    }),
        answer);
    gtk_window_present(GTK_WINDOW(window));
    return window;
}

struct DownloadDelegate {
    std::weak_ptr<WebKitWebWorkspace> workspace;
    std::function<void(GtkWindow*, const std::string&, std::function<void(std::optional<std::filesystem::path>)>)>
        chooseSaveFile;
    GtkWindow* window = nullptr;
};

}

WebKitWebWorkspace::Desktop WebKitWebWorkspace::defaultDesktop()
{
    Desktop desktop;
    desktop.chooseSaveFile = [](GtkWindow* window, const std::string& suggestedName,
                                 std::function<void(std::optional<std::filesystem::path>)> done) {
        GtkFileChooserNative* chooser
            = gtk_file_chooser_native_new(nullptr, window, GTK_FILE_CHOOSER_ACTION_SAVE, nullptr, nullptr);
        gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), suggestedName.c_str());
        auto* pending = new std::function<void(std::optional<std::filesystem::path>)>(std::move(done));
        g_signal_connect(chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
            std::unique_ptr<std::function<void(std::optional<std::filesystem::path>)>> done(
                static_cast<std::function<void(std::optional<std::filesystem::path>)>*>(data));
            std::optional<std::filesystem::path> chosen;
            if (response == GTK_RESPONSE_ACCEPT) {
                GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog));
                if (char* path = file ? g_file_get_path(file) : nullptr) {
                    chosen = path;
                    g_free(path);
                }
                g_clear_object(&file);
            }
            g_object_unref(dialog);
            (*done)(std::move(chosen));
        }),
            pending);
        gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
    };
    desktop.chooseOpenFiles = [](GtkWindow* window, bool multiple,
                                  std::function<void(std::vector<std::filesystem::path>)> done) {
        GtkFileChooserNative* chooser
            = gtk_file_chooser_native_new(nullptr, window, GTK_FILE_CHOOSER_ACTION_OPEN, nullptr, nullptr);
        gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
        gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), multiple);
        auto* pending = new std::function<void(std::vector<std::filesystem::path>)>(std::move(done));
        g_signal_connect(chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
            std::unique_ptr<std::function<void(std::vector<std::filesystem::path>)>> done(
                static_cast<std::function<void(std::vector<std::filesystem::path>)>*>(data));
            std::vector<std::filesystem::path> chosen;
            if (response == GTK_RESPONSE_ACCEPT) {
                GListModel* files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog));
                for (guint i = 0, n = files ? g_list_model_get_n_items(files) : 0; i < n; ++i) {
                    GFile* file = G_FILE(g_list_model_get_item(files, i));
                    if (char* path = g_file_get_path(file)) {
                        chosen.emplace_back(path);
                        g_free(path);
                    }
                    g_object_unref(file);
                }
                g_clear_object(&files);
            }
            g_object_unref(dialog);
            (*done)(std::move(chosen));
        }),
            pending);
        gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
    };
    desktop.openExternally
        = [](const std::string& url) { g_app_info_launch_default_for_uri(url.c_str(), nullptr, nullptr); };
    desktop.resources = resourcesFolder();
    return desktop;
}

std::shared_ptr<WebKitWebWorkspace> WebKitWebWorkspace::make(WebWorkspaceArguments arguments, Desktop desktop)
{
    auto entry = rules::entryFor(
        arguments.origin, arguments.route, arguments.companyID, arguments.snapshotID, arguments.batchID);
    auto store = std::dynamic_pointer_cast<NetworkSessionStore>(arguments.store);
    if (!entry || !store)
        return nullptr;
    std::shared_ptr<WebKitWebWorkspace> workspace(new WebKitWebWorkspace(std::move(arguments), std::move(desktop),
        std::move(entry->url), std::move(entry->signedResource), std::move(store)));
    workspace->attach();
    workspace->reload();
    return workspace;
}

WebKitWebWorkspace::WebKitWebWorkspace(WebWorkspaceArguments arguments, Desktop desktop, std::string entry,
    std::optional<std::string> signedResource, std::shared_ptr<NetworkSessionStore> store)
    : origin_(std::move(arguments.origin))
    , entry_(std::move(entry))
    , signedResource_(std::move(signedResource))
    , companyExit_(std::move(arguments.companyExit))
    , reviewExit_(std::move(arguments.reviewExit))
    , onLogout_(std::move(arguments.onLogout))
    , desktop_(std::move(desktop))
    , store_(std::move(store))
{
}

void WebKitWebWorkspace::attach()
{
    content_ = GObjectRef<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
    auto* content = content_.get();
    g_signal_connect(content, "script-message-received::webSignOut", G_CALLBACK(signOutReceived), this);
    g_signal_connect(content, "script-message-received::workspaceExit", G_CALLBACK(exitReceived), this);
    webkit_user_content_manager_register_script_message_handler(content, kSignOutHandler, kScriptWorld);
    webkit_user_content_manager_register_script_message_handler(content, kExitHandler, kScriptWorld);
    scripts_.push_back(webkit_user_script_new_for_world(kSignOutWatcher, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, kScriptWorld, nullptr, nullptr));
    scripts_.push_back(webkit_user_script_new_for_world(kExitRelay, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kScriptWorld, nullptr, nullptr));
    for (auto* script : scripts_)
        webkit_user_content_manager_add_script(content, script);

    browser_ = GObjectRef<WebKitWebView>::retain(WEBKIT_WEB_VIEW(g_object_new(
        WEBKIT_TYPE_WEB_VIEW, "network-session", store_->session(), "user-content-manager", content, nullptr)));
    auto* view = browser_.get();
    g_signal_connect(view, "decide-policy", G_CALLBACK(decidePolicy), this);
    g_signal_connect(view, "load-changed", G_CALLBACK(loadChanged), this);
    g_signal_connect(view, "load-failed", G_CALLBACK(loadFailed), this);
    g_signal_connect(view, "web-process-terminated", G_CALLBACK(processTerminated), this);
    g_signal_connect(view, "script-dialog", G_CALLBACK(scriptDialog), this);
    g_signal_connect(view, "run-file-chooser", G_CALLBACK(runFileChooser), this);
    // The session is the main page's too: only this view's downloads are ours.
    g_signal_connect(store_->session(), "download-started", G_CALLBACK(downloadStarted), this);
}

WebKitWebWorkspace::~WebKitWebWorkspace()
{
    stop();
    // WebKit would keep a closed service page's web process in its process
    // cache for later pages of the site; a closed workspace gives it back.
    webkit_web_view_terminate_web_process(browser_.get());
    for (auto* script : scripts_)
        webkit_user_script_unref(script);
}

void WebKitWebWorkspace::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    auto* view = browser_.get();
    webkit_web_view_stop_loading(view);
    g_signal_handlers_disconnect_by_data(view, this);
    g_signal_handlers_disconnect_by_data(store_->session(), this);
    auto* content = content_.get();
    g_signal_handlers_disconnect_by_data(content, this);
    webkit_user_content_manager_unregister_script_message_handler(content, kSignOutHandler, kScriptWorld);
    webkit_user_content_manager_unregister_script_message_handler(content, kExitHandler, kScriptWorld);
    for (auto* script : scripts_)
        webkit_user_content_manager_remove_script(content, script);
    reports_.clear();
    navigations_.clear();
    // A sheet of a closed workspace must not stay over the main page; each
    // answers the page negatively as it goes.
    for (GtkWidget* sheet : std::vector<GtkWidget*>(dialogs_))
        gtk_window_destroy(GTK_WINDOW(sheet));
}

void WebKitWebWorkspace::setErrorText(std::optional<std::string> text)
{
    if (errorText_ == text)
        return;
    errorText_ = std::move(text);
    errorTextObservers_.notify();
}

GtkWindow* WebKitWebWorkspace::window() const
{
    GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(browser_.get()));
    return root && GTK_IS_WINDOW(root) ? GTK_WINDOW(root) : nullptr;
}

void WebKitWebWorkspace::reload()
{
    setErrorText(std::nullopt);
    if (signedResource_) {
        auto html = shippedPage(desktop_.resources, *signedResource_);
        if (!html) {
            setErrorText(kMissingResource);
            return;
        }
        // Shown as the entry URL's document, with the entry as its base, so
        // it runs with the service's origin and storage.
        webkit_web_view_load_alternate_html(browser_.get(), html->c_str(), entry_.c_str(), entry_.c_str());
        return;
    }
    const char* current = webkit_web_view_get_uri(browser_.get());
    webkit_web_view_load_uri(browser_.get(), current && *current ? current : entry_.c_str());
}

gboolean WebKitWebWorkspace::decidePolicy(
    WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data)
{
    auto* self = static_cast<WebKitWebWorkspace*>(data);
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
        self->decideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
    else
        self->decideNavigationAction(decision, type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION);
    return TRUE;
}

void WebKitWebWorkspace::decideNavigationAction(WebKitPolicyDecision* decision, bool newWindow)
{
    WebKitNavigationAction* action
        = webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    rules::NavigationAction facts;
    if (uri && *uri)
        facts.url = uri;
    facts.target = newWindow ? rules::FrameTarget::newWindow : rules::FrameTarget::unknown;
    facts.type
        = action ? navigationType(webkit_navigation_action_get_navigation_type(action)) : rules::NavigationType::other;
    switch (rules::decideNavigation(origin_, facts)) {
    case rules::NavigationVerdict::allow:
        webkit_policy_decision_use(decision);
        return;
    case rules::NavigationVerdict::download:
        webkit_policy_decision_download(decision);
        return;
    case rules::NavigationVerdict::cancel:
        webkit_policy_decision_ignore(decision);
        return;
    case rules::NavigationVerdict::loadInPlace: {
        webkit_policy_decision_ignore(decision);
        // Loaded from the main loop, once WebKit is done with this decision.
        std::weak_ptr<WebKitWebWorkspace> weak = weak_from_this();
        auto* pending = new std::pair<std::weak_ptr<WebKitWebWorkspace>, std::string>(weak, *facts.url);
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            +[](gpointer data) -> gboolean {
                auto* pending = static_cast<std::pair<std::weak_ptr<WebKitWebWorkspace>, std::string>*>(data);
                if (auto self = pending->first.lock(); self && !self->stopped_)
                    webkit_web_view_load_uri(self->browser_.get(), pending->second.c_str());
                return G_SOURCE_REMOVE;
            },
            pending,
            +[](gpointer data) {
                delete static_cast<std::pair<std::weak_ptr<WebKitWebWorkspace>, std::string>*>(data);
            });
        return;
    }
    case rules::NavigationVerdict::openExternally:
        webkit_policy_decision_ignore(decision);
        if (desktop_.openExternally)
            desktop_.openExternally(*facts.url);
        return;
    case rules::NavigationVerdict::exitLink:
        webkit_policy_decision_ignore(decision);
        // Only a followed link has a relay report to pair with; a script's
        // navigation to an exit must not pair with a report of some other
        // click on the same link.
        if (facts.type == rules::NavigationType::linkActivated)
            exitNavigated(*facts.url);
        return;
    }
}

void WebKitWebWorkspace::decideResponse(WebKitResponsePolicyDecision* decision)
{
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
    rules::Response facts;
    const char* uri = webkit_uri_response_get_uri(response);
    facts.url = uri ? uri : "";
    facts.isMainFrame = webkit_response_policy_decision_is_main_frame_main_resource(decision);
    if (g_str_has_prefix(facts.url.c_str(), "http:") || g_str_has_prefix(facts.url.c_str(), "https:")) {
        guint status = webkit_uri_response_get_status_code(response);
        // A page given as the entry's document has no status of its own.
        if (status != 0)
            facts.httpStatus = static_cast<int>(status);
        SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(response);
        if (const char* disposition = headers ? soup_message_headers_get_one(headers, "Content-Disposition") : nullptr)
            facts.contentDisposition = disposition;
    }
    facts.canShowMimeType = webkit_response_policy_decision_is_mime_type_supported(decision);
    auto decided = rules::decideResponse(origin_, facts);
    if (decided.errorText)
        setErrorText(decided.errorText);
    switch (decided.verdict) {
    case rules::ResponseVerdict::allow:
        webkit_policy_decision_use(WEBKIT_POLICY_DECISION(decision));
        return;
    case rules::ResponseVerdict::download:
        webkit_policy_decision_download(WEBKIT_POLICY_DECISION(decision));
        return;
    case rules::ResponseVerdict::cancel:
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        return;
    }
}

void WebKitWebWorkspace::loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data)
{
    auto* self = static_cast<WebKitWebWorkspace*>(data);
    // A new document: what was reported about the old one is moot.
    if (event == WEBKIT_LOAD_COMMITTED) {
        self->reports_.clear();
        self->navigations_.clear();
    }
}

gboolean WebKitWebWorkspace::loadFailed(WebKitWebView*, WebKitLoadEvent event, char*, GError* error, gpointer data)
{
    auto* self = static_cast<WebKitWebWorkspace*>(data);
    bool cancelled = error && error->domain == WEBKIT_NETWORK_ERROR && error->code == WEBKIT_NETWORK_ERROR_CANCELLED;
    // A navigation this workspace refused, or turned into a download, ends
    // as a "failure" too; it is not one.
    bool refused = error && error->domain == WEBKIT_POLICY_ERROR
        && error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE;
    bool provisional = event == WEBKIT_LOAD_STARTED || event == WEBKIT_LOAD_REDIRECTED;
    if (provisional && !cancelled && !refused)
        self->setErrorText(kLoadFailed);
    // WebKit's own error page is not shown: the error line says it.
    return provisional;
}

void WebKitWebWorkspace::processTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data)
{
    static_cast<WebKitWebWorkspace*>(data)->setErrorText(kTerminated);
}

gboolean WebKitWebWorkspace::scriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data)
{
    auto* self = static_cast<WebKitWebWorkspace*>(data);
    GtkWindow* window = self->window();
    if (!window) {
        // The negative answer at once: WebKit's defaults are just that.
        auto type = webkit_script_dialog_get_dialog_type(dialog);
        if (type == WEBKIT_SCRIPT_DIALOG_CONFIRM || type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
            webkit_script_dialog_confirm_set_confirmed(dialog, FALSE);
        return TRUE;
    }
    GtkWidget* sheet = showDialog(window, dialog);
    self->dialogs_.push_back(sheet);
    g_signal_connect(sheet, "destroy", G_CALLBACK(+[](GtkWidget* sheet, gpointer data) {
        std::erase(static_cast<WebKitWebWorkspace*>(data)->dialogs_, sheet);
    }),
        self);
    return TRUE;
}

gboolean WebKitWebWorkspace::runFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer data)
{
    auto* self = static_cast<WebKitWebWorkspace*>(data);
    GtkWindow* window = self->window();
    // WebKit does not name the frame that asks. Every frame here holds the
    // site's pages or content they made (about: and the site's blobs; other
    // sites are refused), so the main frame's site stands for it.
    const char* page = webkit_web_view_get_uri(self->browser_.get());
    if (!window || !page || !rules::sameSite(self->origin_, page) || !self->desktop_.chooseOpenFiles) {
        webkit_file_chooser_request_cancel(request);
        return TRUE;
    }
    g_object_ref(request);
    self->desktop_.chooseOpenFiles(window, webkit_file_chooser_request_get_select_multiple(request),
        [request](std::vector<std::filesystem::path> files) {
            if (files.empty()) {
                webkit_file_chooser_request_cancel(request);
            } else {
                std::vector<const char*> paths;
                for (auto& file : files)
                    paths.push_back(file.c_str());
                paths.push_back(nullptr);
                webkit_file_chooser_request_select_files(request, paths.data());
            }
            g_object_unref(request);
        });
    return TRUE;
}

void WebKitWebWorkspace::downloadStarted(WebKitNetworkSession*, WebKitDownload* download, gpointer data)
{
    auto* self = static_cast<WebKitWebWorkspace*>(data);
    if (webkit_download_get_web_view(download) != self->browser_.get())
        return;
    // A download outlives the workspace's callbacks: it holds the workspace
    // weakly and the window the workspace was in.
    auto* delegate = new DownloadDelegate { self->weak_from_this(), self->desktop_.chooseSaveFile, self->window() };
    g_object_set_data_full(G_OBJECT(download), "korvid-download", delegate,
        [](gpointer data) { delete static_cast<DownloadDelegate*>(data); });
    g_signal_connect(download, "decide-destination",
        G_CALLBACK(+[](WebKitDownload* download, char* suggested, gpointer data) -> gboolean {
            auto* delegate = static_cast<DownloadDelegate*>(data);
            auto workspace = delegate->workspace.lock();
            GtkWindow* window = workspace ? workspace->window() : nullptr;
            if (!window || !delegate->chooseSaveFile) {
                webkit_download_cancel(download);
                return TRUE;
            }
            char* base = suggested && *suggested ? g_path_get_basename(suggested) : g_strdup("");
            std::string name = base;
            g_free(base);
            if (name == "." || name == "/")
                name.clear();
            g_object_ref(download);
            delegate->chooseSaveFile(window, name, [download](std::optional<std::filesystem::path> chosen) {
                if (chosen) {
                    // The save panel has already asked about replacing a file.
                    webkit_download_set_allow_overwrite(download, TRUE);
                    webkit_download_set_destination(download, chosen->c_str());
                } else {
                    webkit_download_cancel(download);
                }
                g_object_unref(download);
            });
            return TRUE;
        }),
        delegate);
    g_signal_connect(download, "failed", G_CALLBACK(+[](WebKitDownload*, GError* error, gpointer data) {
        auto* delegate = static_cast<DownloadDelegate*>(data);
        if (error && error->domain == WEBKIT_DOWNLOAD_ERROR && error->code == WEBKIT_DOWNLOAD_ERROR_CANCELLED_BY_USER)
            return;
        if (auto workspace = delegate->workspace.lock())
            workspace->setErrorText(kDownloadFailed);
    }),
        delegate);
}

void WebKitWebWorkspace::signOutReceived(WebKitUserContentManager*, JSCValue*, gpointer data)
{
    auto* self = static_cast<WebKitWebWorkspace*>(data);
    // The watcher runs in the main frame only, in our own world: no other
    // frame and no page script can post here.
    const char* page = webkit_web_view_get_uri(self->browser_.get());
    if (!rules::acceptsSignOut(self->origin_, true, page ? std::optional<std::string>(page) : std::nullopt))
        return;
    auto keep = self->shared_from_this();
    auto onLogout = self->onLogout_;
    if (onLogout)
        onLogout();
}

void WebKitWebWorkspace::exitReceived(WebKitUserContentManager*, JSCValue* value, gpointer data)
{
    auto* self = static_cast<WebKitWebWorkspace*>(data);
    auto text = stringOf(value);
    if (!text)
        return;
    auto parsed = Json::parse(*text, nullptr, false);
    if (!parsed.is_object() || !parsed["main"].is_boolean() || !parsed["url"].is_string()
        || !parsed["href"].is_string())
        return;
    self->exitReported({ parsed["main"].get<bool>(), parsed["url"].get<std::string>(),
        parsed["href"].get<std::string>(), g_get_monotonic_time() });
}

void WebKitWebWorkspace::exitReported(ExitReport report)
{
    std::int64_t now = report.at;
    for (auto it = navigations_.begin(); it != navigations_.end(); ++it) {
        if (it->href == report.href && now - it->at <= kExitPairing) {
            navigations_.erase(it);
            leave(report);
            return;
        }
    }
    // A newer click on the same link speaks for it: an older report whose
    // navigation never came (the page prevented it) must not pair with the
    // navigation of a click somewhere else.
    std::erase_if(reports_, [&](const ExitReport& older) { return older.href == report.href; });
    reports_.push_back(std::move(report));
    if (reports_.size() > kExitBacklog)
        reports_.pop_front();
}

void WebKitWebWorkspace::exitNavigated(std::string href)
{
    std::int64_t now = g_get_monotonic_time();
    for (auto it = reports_.begin(); it != reports_.end(); ++it) {
        if (it->href == href && now - it->at <= kExitPairing) {
            ExitReport report = std::move(*it);
            reports_.erase(it);
            leave(report);
            return;
        }
    }
    navigations_.push_back({ std::move(href), now });
    if (navigations_.size() > kExitBacklog)
        navigations_.pop_front();
}

void WebKitWebWorkspace::leave(const ExitReport& report)
{
    auto exit = rules::exitFor(report.href, { report.isMainFrame, report.frameURL }, entry_,
        static_cast<bool>(companyExit_), static_cast<bool>(reviewExit_));
    // The host stops and drops this workspace from inside the exit.
    auto keep = shared_from_this();
    switch (exit.kind) {
    case rules::ExitKind::none:
        return;
    case rules::ExitKind::companyClose: {
        auto companyExit = companyExit_;
        companyExit(false);
        return;
    }
    case rules::ExitKind::companyMinutes: {
        auto companyExit = companyExit_;
        companyExit(true);
        return;
    }
    case rules::ExitKind::logout: {
        auto onLogout = onLogout_;
        if (onLogout)
            onLogout();
        return;
    }
    case rules::ExitKind::review: {
        auto reviewExit = reviewExit_;
        reviewExit(exit.route);
        return;
    }
    }
}

std::function<std::shared_ptr<WebWorkspace>(WebWorkspaceArguments)> webKitWebWorkspaces(
    WebKitWebWorkspace::Desktop desktop)
{
    return [desktop = std::move(desktop)](WebWorkspaceArguments arguments) -> std::shared_ptr<WebWorkspace> {
        return WebKitWebWorkspace::make(std::move(arguments), desktop);
    };
}

}
