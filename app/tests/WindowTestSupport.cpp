#include "app/tests/WindowTestSupport.h"

#include "base/Bundle.h"
#include "platform/JsonVariant.h"

#include <adwaita.h>

#include <cstdlib>

namespace korvid::testing {

bool openDisplay()
{
    static bool opened = [] {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
            return false;
        if (!gtk_init_check())
            return false;
        adw_init();
        return true;
    }();
    return opened;
}

ScriptOutcome runScript(GLibExecutor& main, WebKitWebView* view, const std::string& body)
{
    struct State {
        bool done = false;
        ScriptOutcome outcome;
    };
    auto* state = new State;
    webkit_web_view_call_async_javascript_function(
        view, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* state = static_cast<State*>(data);
            GError* error = nullptr;
            JSCValue* value
                = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (value) {
                state->outcome.value = jsonFromJSCValue(value);
                g_object_unref(value);
            } else {
                state->outcome.error = error ? error->message : "?";
                g_clear_error(&error);
            }
            state->done = true;
        },
        state);
    if (!main.runUntil([state] { return state->done; }, std::chrono::seconds(30))) {
        // The callback still owns the state; leave it to it.
        return { std::nullopt, "timed out" };
    }
    ScriptOutcome outcome = std::move(state->outcome);
    delete state;
    return outcome;
}

std::filesystem::path saveScreenshot(GtkWidget* widget, const std::string& name)
{
    auto folder = executableFolder() / "screenshots";
    std::filesystem::create_directories(folder);
    auto file = folder / (name + ".png");
    int width = gtk_widget_get_width(widget);
    int height = gtk_widget_get_height(widget);
    GdkPaintable* paintable = gtk_widget_paintable_new(widget);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable, snapshot, width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    if (node) {
        GskRenderer* renderer = gtk_native_get_renderer(gtk_widget_get_native(widget));
        graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, float(width), float(height));
        GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
        gdk_texture_save_to_png(texture, file.c_str());
        g_object_unref(texture);
        gsk_render_node_unref(node);
    }
    g_object_unref(paintable);
    return file;
}

std::filesystem::path saveWebScreenshot(GLibExecutor& main, WebKitWebView* view, const std::string& name)
{
    auto folder = executableFolder() / "screenshots";
    std::filesystem::create_directories(folder);
    auto file = folder / (name + ".png");
    struct State {
        bool done = false;
        GdkTexture* texture = nullptr;
    };
    auto state = std::make_shared<State>();
    auto* held = new std::shared_ptr<State>(state);
    webkit_web_view_get_snapshot(
        view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<State>> state(static_cast<std::shared_ptr<State>*>(data));
            (*state)->texture = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
            (*state)->done = true;
        },
        held);
    main.runUntil([state] { return state->done; }, std::chrono::seconds(10));
    if (state->texture) {
        gdk_texture_save_to_png(state->texture, file.c_str());
        g_object_unref(state->texture);
    }
    return file;
}

namespace {

void collect(GtkWidget* widget, std::vector<std::string>& texts)
{
    if (GTK_IS_LABEL(widget))
        texts.emplace_back(gtk_label_get_text(GTK_LABEL(widget)));
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child; child = gtk_widget_get_next_sibling(child))
        collect(child, texts);
}

}

std::vector<std::string> textsIn(GtkWidget* widget)
{
    std::vector<std::string> texts;
    collect(widget, texts);
    return texts;
}

GtkWidget* findButton(GtkWidget* widget, const std::string& label)
{
    if (GTK_IS_BUTTON(widget)) {
        const char* text = gtk_button_get_label(GTK_BUTTON(widget));
        // A button with an icon carries its title in its content.
        GtkWidget* child = gtk_button_get_child(GTK_BUTTON(widget));
        if (!text && child && ADW_IS_BUTTON_CONTENT(child))
            text = adw_button_content_get_label(ADW_BUTTON_CONTENT(child));
        if (text && label == text)
            return widget;
    }
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child; child = gtk_widget_get_next_sibling(child))
        if (GtkWidget* found = findButton(child, label))
            return found;
    return nullptr;
}

}
