#include "platform/BridgeChannel.h"

#include "base/Bundle.h"
#include "platform/JsonVariant.h"

#include <atomic>

namespace korvid {

namespace {

// One reply, delivered once on the main thread. A reply the host never gave
// (dropped callback) still answers the page, so no promise is left pending.
struct ReplySlot {
    WebKitUserMessage* message;
    std::atomic<bool> sent { false };

    explicit ReplySlot(WebKitUserMessage* message)
        : message(WEBKIT_USER_MESSAGE(g_object_ref(message)))
    {
    }

    ~ReplySlot()
    {
        if (!sent.exchange(true))
            answer(false, "操作已中断，请重试。");
        g_object_unref(message);
    }

    void send(const std::optional<Json>& value, const std::optional<std::string>& error)
    {
        if (sent.exchange(true))
            return;
        if (error || !value) {
            answer(false, error ? error->c_str() : "无效请求");
            return;
        }
        answer(true, safeDump(*value).c_str());
    }

private:
    void answer(bool ok, const char* text)
    {
        webkit_user_message_send_reply(
            message, webkit_user_message_new(BridgeChannel::kMessageName, g_variant_new("(bs)", ok, text)));
    }
};

}

WebKitWebContext* BridgeChannel::webContext()
{
    static WebKitWebContext* context = [] {
        WebKitWebContext* made = webkit_web_context_new();
        // WebKit loads every module in the folder, so the extension has one
        // of its own.
        std::string folder = bundledHelper("web-process-extensions").string();
        webkit_web_context_set_web_process_extensions_directory(made, folder.c_str());
        webkit_web_context_set_cache_model(made, webkit_web_context_get_cache_model(webkit_web_context_get_default()));
        return made;
    }();
    return context;
}

BridgeChannel::BridgeChannel(
    WebKitWebView* view, std::weak_ptr<PageView> page, std::function<void(BridgeMessage)> receive)
    : view_(GObjectRef<WebKitWebView>::retain(view))
    , page_(std::move(page))
    , receive_(std::move(receive))
{
    handlerID_ = g_signal_connect(view, "user-message-received", G_CALLBACK(messageReceived), this);
}

BridgeChannel::~BridgeChannel()
{
    g_signal_handler_disconnect(view_.get(), handlerID_);
}

gboolean BridgeChannel::messageReceived(WebKitWebView*, WebKitUserMessage* received, gpointer data)
{
    if (g_strcmp0(webkit_user_message_get_name(received), kMessageName) != 0)
        return FALSE;
    auto* self = static_cast<BridgeChannel*>(data);
    auto slot = std::make_shared<ReplySlot>(received);

    BridgeMessage message;
    message.webView = self->page_;
    // Anything but the extension's "(bss)" is left as an empty message, which
    // the gate refuses.
    GVariant* parameters = webkit_user_message_get_parameters(received);
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bss)"))) {
        gboolean isMainFrame = FALSE;
        const char* frameURL = nullptr;
        const char* body = nullptr;
        g_variant_get(parameters, "(b&s&s)", &isMainFrame, &frameURL, &body);
        message.isMainFrame = isMainFrame;
        message.frameURL = frameURL;
        auto parsed = Json::parse(std::string_view(body), nullptr, false);
        message.body = parsed.is_discarded() ? Json(nullptr) : std::move(parsed);
    }
    GMainContext* main = g_main_context_default();
    message.reply = [slot, main](std::optional<Json> value, std::optional<std::string> error) {
        if (g_main_context_is_owner(main)) {
            slot->send(value, error);
            return;
        }
        // Replies made off the main thread are delivered from it.
        auto* work = new std::function<void()>(
            [slot, value = std::move(value), error = std::move(error)] { slot->send(value, error); });
        g_main_context_invoke_full(
            main, G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            work, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    };
    try {
        self->receive_(std::move(message));
    } catch (...) {
        slot->send(std::nullopt, std::string("无效请求"));
    }
    return TRUE;
}

}
