#include "platform/BridgeChannel.h"

#include "platform/JsonVariant.h"

#include <atomic>

namespace korvid {

namespace {

// The relay's messages are plain text, so each side reads them without a
// JSON layer of its own around the body's JSON:
//   page → relay    "<id> <body JSON>"
//   relay → host    "M" (top frame) or "F", the frame's URL, "\n", the body
//                   JSON (a URL never holds a newline)
//   relay → page    "<id> <reply JSON>" or "<id>!<error sentence>"

// Isolated world, every frame: carries requests of this frame's document to
// the handler with the frame's identity, and the replies back.
const char* const kRelayScript = R"JS((() => {
  const handler = window.webkit.messageHandlers.desktop;
  const frame = window === window.top ? 'M' : 'F';
  document.addEventListener('korvid-desktop:request', event => {
    const request = event.detail;
    const space = typeof request === 'string' ? request.indexOf(' ') : -1;
    if (space < 1) return;
    const id = request.slice(0, space);
    const answer = text => document.dispatchEvent(new CustomEvent('korvid-desktop:reply', {detail: text}));
    handler.postMessage(frame + location.href + '\n' + request.slice(space + 1)).then(
      value => answer(id + ' ' + value),
      error => answer(id + '!' + String(error && error.message !== undefined ? error.message : error)));
  });
})();)JS";

// Page world, every frame: the page's side of the relay.
const char* const kHelperScript = R"JS((() => {
  if (window.korvidDesktop) return;
  let last = 0;
  const waiting = new Map();
  document.addEventListener('korvid-desktop:reply', event => {
    const match = typeof event.detail === 'string' && /^(\d+)([ !])/.exec(event.detail);
    const id = match && Number(match[1]);
    const entry = match && waiting.get(id);
    if (!entry) return;
    waiting.delete(id);
    const rest = event.detail.slice(match[0].length);
    if (match[2] === '!') return entry.reject(new Error(rest));
    let value;
    try { value = JSON.parse(rest); } catch { return entry.reject(new Error('操作未完成，请重试。')); }
    entry.resolve(value);
  });
  const post = body => new Promise((resolve, reject) => {
    const id = ++last;
    let text;
    try { text = JSON.stringify(body); } catch { text = undefined; }
    waiting.set(id, {resolve, reject});
    document.dispatchEvent(new CustomEvent('korvid-desktop:request',
      {detail: id + ' ' + (text === undefined ? 'null' : text)}));
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
    // Anything but the relay's text is left as an empty message, which the
    // gate refuses.
    if (jsc_value_is_string(value)) {
        char* raw = jsc_value_to_string(value);
        std::string_view text = raw ? raw : "";
        auto newline = text.find('\n');
        if (!text.empty() && newline != std::string_view::npos) {
            message.isMainFrame = text.front() == 'M';
            message.frameURL = text.substr(1, newline - 1);
            auto parsed = Json::parse(text.substr(newline + 1), nullptr, false);
            message.body = parsed.is_discarded() ? Json(nullptr) : std::move(parsed);
        }
        g_free(raw);
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
