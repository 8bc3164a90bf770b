#include "platform/BridgeChannel.h"

#include "platform/JsonVariant.h"

#include <atomic>

namespace korvid {

namespace {

// Isolated world, every frame: carries requests of this frame's document to
// the handler with the frame's identity, and the replies back.
const char* const kRelayScript = R"JS((() => {
  const handler = window.webkit.messageHandlers.desktop;
  const isMainFrame = window === window.top;
  document.addEventListener('korvid-desktop:request', event => {
    let request;
    try { request = JSON.parse(event.detail); } catch { return; }
    if (!request || typeof request.id !== 'number' || typeof request.body !== 'string') return;
    const answer = reply => document.dispatchEvent(new CustomEvent('korvid-desktop:reply',
      {detail: JSON.stringify(Object.assign({id: request.id}, reply))}));
    handler.postMessage({main: isMainFrame, url: location.href, body: request.body}).then(
      value => answer({value: String(value)}),
      error => answer({error: String(error && error.message !== undefined ? error.message : error)}));
  });
})();)JS";

// Page world, every frame: the page's side of the relay.
const char* const kHelperScript = R"JS((() => {
  if (window.korvidDesktop) return;
  let last = 0;
  const waiting = new Map();
  document.addEventListener('korvid-desktop:reply', event => {
    let reply;
    try { reply = JSON.parse(event.detail); } catch { return; }
    const entry = reply && waiting.get(reply.id);
    if (!entry) return;
    waiting.delete(reply.id);
    if (typeof reply.error === 'string') entry.reject(new Error(reply.error));
    else entry.resolve(JSON.parse(reply.value));
  });
  const post = body => new Promise((resolve, reject) => {
    const id = ++last;
    let text;
    try { text = JSON.stringify(body); } catch { text = undefined; }
    waiting.set(id, {resolve, reject});
    document.dispatchEvent(new CustomEvent('korvid-desktop:request',
      {detail: JSON.stringify({id, body: text === undefined ? 'null' : text})}));
  });
  Object.defineProperty(window, 'korvidDesktop', {value: Object.freeze({post}), enumerable: false});
})();)JS";

// One reply, delivered once on the main thread. A reply the host never gave
// (dropped callback) still answers the page, so no promise is left pending.
struct ReplySlot {
    WebKitScriptMessageReply* reply;
    JSCContext* context;
    std::atomic<bool> sent { false };

    ReplySlot(WebKitScriptMessageReply* reply, JSCContext* context)
        : reply(webkit_script_message_reply_ref(reply))
        , context(context ? static_cast<JSCContext*>(g_object_ref(context)) : nullptr)
    {
    }

    ~ReplySlot()
    {
        if (!sent.exchange(true))
            webkit_script_message_reply_return_error_message(reply, "操作已中断，请重试。");
        webkit_script_message_reply_unref(reply);
        if (context)
            g_object_unref(context);
    }

    void send(const std::optional<Json>& value, const std::optional<std::string>& error)
    {
        if (sent.exchange(true))
            return;
        if (error || !value || !context) {
            webkit_script_message_reply_return_error_message(reply, error ? error->c_str() : "无效请求");
            return;
        }
        std::string text = safeDump(*value);
        JSCValue* result = jsc_value_new_string(context, text.c_str());
        webkit_script_message_reply_return_value(reply, result);
        g_object_unref(result);
    }
};

std::string stringProperty(JSCValue* object, const char* name)
{
    JSCValue* property = jsc_value_object_get_property(object, name);
    std::string text;
    if (property && jsc_value_is_string(property)) {
        char* raw = jsc_value_to_string(property);
        text = raw ? raw : "";
        g_free(raw);
    }
    if (property)
        g_object_unref(property);
    return text;
}

bool booleanProperty(JSCValue* object, const char* name)
{
    JSCValue* property = jsc_value_object_get_property(object, name);
    bool value = property && jsc_value_is_boolean(property) && jsc_value_to_boolean(property);
    if (property)
        g_object_unref(property);
    return value;
}

}

BridgeChannel::BridgeChannel(
    WebKitUserContentManager* manager, std::weak_ptr<PageView> view, std::function<void(BridgeMessage)> receive)
    : manager_(GObjectRef<WebKitUserContentManager>::retain(manager))
    , view_(std::move(view))
    , receive_(std::move(receive))
{
    relay_.reset(webkit_user_script_new_for_world(kRelayScript, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kWorldName, nullptr, nullptr));
    helper_.reset(webkit_user_script_new(kHelperScript, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr));
    webkit_user_content_manager_add_script(manager, relay_.get());
    webkit_user_content_manager_add_script(manager, helper_.get());
    handlerID_
        = g_signal_connect(manager, "script-message-with-reply-received::desktop", G_CALLBACK(messageReceived), this);
    webkit_user_content_manager_register_script_message_handler_with_reply(manager, kHandlerName, kWorldName);
}

BridgeChannel::~BridgeChannel()
{
    auto* manager = manager_.get();
    webkit_user_content_manager_unregister_script_message_handler(manager, kHandlerName, kWorldName);
    g_signal_handler_disconnect(manager, handlerID_);
    webkit_user_content_manager_remove_script(manager, relay_.get());
    webkit_user_content_manager_remove_script(manager, helper_.get());
}

gboolean BridgeChannel::messageReceived(
    WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer data)
{
    auto* self = static_cast<BridgeChannel*>(data);
    auto slot = std::make_shared<ReplySlot>(reply, jsc_value_get_context(value));

    BridgeMessage message;
    message.webView = self->view_;
    if (jsc_value_is_object(value)) {
        message.isMainFrame = booleanProperty(value, "main");
        message.frameURL = stringProperty(value, "url");
        auto parsed = Json::parse(stringProperty(value, "body"), nullptr, false);
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
