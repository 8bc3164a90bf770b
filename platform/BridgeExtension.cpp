// The web-process half of the page bridge, loaded only into the web processes
// of the desktop's own web context. In every frame it defines
// `korvidDesktop.post(body)` in the page's world; each call travels to the
// web view as one user message named "desktop" carrying whether the calling
// frame is the top frame and the frame's URL, both read here from WebKit's
// own frame rather than from anything a page script could set. The view's
// reply is "(bs)": true and the reply's JSON, or false and the error sentence.
//
// This runs inside WebKit's web process: no exceptions, no C++ runtime state,
// nothing of the host linked in.
#include <webkit/webkit-web-process-extension.h>

namespace {

constexpr const char* kMessageName = "desktop";
constexpr const char* kInterrupted = "操作已中断，请重试。";

WebKitWebProcessExtension* extension = nullptr;

// The page's side: one promise per call, settled by the reply.
const char* const kHelperScript = R"JS((send => {
  const post = body => new Promise((resolve, reject) => {
    let text;
    try { text = JSON.stringify(body); } catch { text = undefined; }
    send(text === undefined ? 'null' : text, (ok, reply) => {
      if (!ok) return reject(new Error(reply));
      let value;
      try { value = JSON.parse(reply); } catch { return reject(new Error('操作未完成，请重试。')); }
      resolve(value);
    });
  });
  Object.defineProperty(window, 'korvidDesktop', {value: Object.freeze({post}), enumerable: false});
}))JS";

// What a frame's `send` knows: its page by id (looked up at each call, so a
// closed page is never touched) and its frame.
struct Sender {
    guint64 pageID;
    WebKitFrame* frame;
};

void settle(JSCValue* settle, gboolean ok, const char* text)
{
    if (JSCValue* result = jsc_value_function_call(settle, G_TYPE_BOOLEAN, ok, G_TYPE_STRING, text, G_TYPE_NONE))
        g_object_unref(result);
}

void replied(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* callback = JSC_VALUE(data);
    WebKitUserMessage* reply = webkit_web_page_send_message_to_view_finish(WEBKIT_WEB_PAGE(source), result, nullptr);
    GVariant* parameters = reply ? webkit_user_message_get_parameters(reply) : nullptr;
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bs)"))) {
        gboolean ok = FALSE;
        const char* text = nullptr;
        g_variant_get(parameters, "(b&s)", &ok, &text);
        settle(callback, ok, text);
    } else {
        // No view answered (it has gone) or the answer is not ours.
        settle(callback, FALSE, kInterrupted);
    }
    if (reply)
        g_object_unref(reply);
    g_object_unref(callback);
}

void send(const char* body, JSCValue* callback, gpointer data)
{
    auto* sender = static_cast<Sender*>(data);
    WebKitWebPage* page = webkit_web_process_extension_get_page(extension, sender->pageID);
    if (!page || !callback || !jsc_value_is_function(callback)) {
        if (callback && jsc_value_is_function(callback))
            settle(callback, FALSE, kInterrupted);
        return;
    }
    const char* uri = webkit_frame_get_uri(sender->frame);
    GVariant* parameters
        = g_variant_new("(bss)", webkit_frame_is_main_frame(sender->frame), uri ? uri : "", body ? body : "null");
    webkit_web_page_send_message_to_view(
        page, webkit_user_message_new(kMessageName, parameters), nullptr, replied, g_object_ref(callback));
}

void windowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer)
{
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    auto* sender = new Sender { webkit_web_page_get_id(page), WEBKIT_FRAME(g_object_ref(frame)) };
    JSCValue* sendFunction = jsc_value_new_function(
        context, nullptr, G_CALLBACK(send), sender,
        [](gpointer data) {
            auto* sender = static_cast<Sender*>(data);
            g_object_unref(sender->frame);
            delete sender;
        },
        G_TYPE_NONE, 2, G_TYPE_STRING, JSC_TYPE_VALUE);
    JSCValue* install = jsc_context_evaluate(context, kHelperScript, -1);
    if (JSCValue* done = jsc_value_function_call(install, JSC_TYPE_VALUE, sendFunction, G_TYPE_NONE))
        g_object_unref(done);
    g_object_unref(install);
    g_object_unref(sendFunction);
    g_object_unref(context);
}

}

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize(WebKitWebProcessExtension* loaded)
{
    extension = loaded;
    g_signal_connect(
        webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(windowObjectCleared), nullptr);
}
