// The web-process extension peer of the shell bench: a page bridge that knows
// its frame without a relay. In the main frame of every page it defines
// `korvidBenchExtension(body)`, which sends the body's JSON with the frame's
// URL to the UI process as one user message and resolves with the parsed
// reply. Loaded only into the bench's own web context.
#include <webkit/webkit-web-process-extension.h>

namespace {

struct Sender {
    WebKitWebPage* page;
    WebKitFrame* frame;
};

void replied(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* resolve = JSC_VALUE(data);
    WebKitUserMessage* reply = webkit_web_page_send_message_to_view_finish(WEBKIT_WEB_PAGE(source), result, nullptr);
    GVariant* parameters = reply ? webkit_user_message_get_parameters(reply) : nullptr;
    const char* text = parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_STRING)
        ? g_variant_get_string(parameters, nullptr)
        : "null";
    if (JSCValue* done = jsc_value_function_call(resolve, G_TYPE_STRING, text, G_TYPE_NONE))
        g_object_unref(done);
    if (reply)
        g_object_unref(reply);
    g_object_unref(resolve);
}

void send(const char* body, JSCValue* resolve, gpointer data)
{
    auto* sender = static_cast<Sender*>(data);
    GVariant* parameters = g_variant_new("(bss)", webkit_frame_is_main_frame(sender->frame),
        webkit_frame_get_uri(sender->frame) ? webkit_frame_get_uri(sender->frame) : "", body ? body : "null");
    webkit_web_page_send_message_to_view(
        sender->page, webkit_user_message_new("korvid-bench", parameters), nullptr, replied, g_object_ref(resolve));
}

void windowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer)
{
    if (!webkit_frame_is_main_frame(frame))
        return;
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    auto* sender = new Sender { page, frame };
    JSCValue* function = jsc_value_new_function(
        context, "korvidBenchSend", G_CALLBACK(send), sender, [](gpointer data) { delete static_cast<Sender*>(data); },
        G_TYPE_NONE, 2, G_TYPE_STRING, JSC_TYPE_VALUE);
    JSCValue* global = jsc_context_get_global_object(context);
    jsc_value_object_set_property(global, "korvidBenchSend", function);
    JSCValue* defined = jsc_context_evaluate(context,
        "window.korvidBenchExtension = body => new Promise(resolve =>"
        " korvidBenchSend(JSON.stringify(body), reply => resolve(JSON.parse(reply))));",
        -1);
    g_object_unref(defined);
    g_object_unref(global);
    g_object_unref(function);
    g_object_unref(context);
}

}

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize(WebKitWebProcessExtension*)
{
    g_signal_connect(
        webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(windowObjectCleared), nullptr);
}
