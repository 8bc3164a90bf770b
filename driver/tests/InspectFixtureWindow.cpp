// A GTK 4 window of known native widgets for the window-inspection tests:
// a box with three buttons, a label and an entry, plus `extra` more buttons
// when asked (for a larger tree). Prints "xid <X11 window id>" once the
// window is mapped and quits when its standard input closes.
#include <gdk/x11/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

gboolean stdinClosed(GIOChannel*, GIOCondition, gpointer app)
{
    g_application_quit(G_APPLICATION(app));
    return G_SOURCE_REMOVE;
}

void windowMapped(GtkWidget* window, gpointer)
{
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    if (GDK_IS_X11_SURFACE(surface))
        std::printf("xid %lu\n", static_cast<unsigned long>(gdk_x11_surface_get_xid(surface)));
    else
        std::printf("xid 0\n");
    std::fflush(stdout);
}

struct Settings {
    int extra = 0;
    std::string title = "Korvid inspection fixture";
};

void activate(GtkApplication* app, gpointer data)
{
    auto* settings = static_cast<Settings*>(data);
    GtkWidget* window = gtk_application_window_new(app);
    gtk_window_set_title(GTK_WINDOW(window), settings->title.c_str());
    gtk_window_set_default_size(GTK_WINDOW(window), 480, 320);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    for (const char* label : { "第一", "Second", "Third" })
        gtk_box_append(GTK_BOX(box), gtk_button_new_with_label(label));
    gtk_box_append(GTK_BOX(box), gtk_label_new("A label"));
    gtk_box_append(GTK_BOX(box), gtk_entry_new());
    if (settings->extra > 0) {
        GtkWidget* flow = gtk_flow_box_new();
        for (int i = 0; i < settings->extra; ++i)
            gtk_flow_box_append(GTK_FLOW_BOX(flow), gtk_button_new_with_label(std::to_string(i).c_str()));
        GtkWidget* scroller = gtk_scrolled_window_new();
        gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), flow);
        gtk_widget_set_vexpand(scroller, TRUE);
        gtk_box_append(GTK_BOX(box), scroller);
    }
    gtk_window_set_child(GTK_WINDOW(window), box);
    g_signal_connect(window, "map", G_CALLBACK(windowMapped), nullptr);
    gtk_window_present(GTK_WINDOW(window));
}

}

int main(int argc, char** argv)
{
    Settings settings;
    if (argc > 1)
        settings.extra = std::atoi(argv[1]);
    if (argc > 2)
        settings.title = argv[2];
    gdk_set_allowed_backends("x11");
    GtkApplication* app = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    g_signal_connect(app, "activate", G_CALLBACK(activate), &settings);
    GIOChannel* input = g_io_channel_unix_new(0);
    g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), stdinClosed, app);
    // Keep running while the test holds our input open.
    g_application_hold(G_APPLICATION(app));
    int status = g_application_run(G_APPLICATION(app), 1, argv);
    g_io_channel_unref(input);
    g_object_unref(app);
    return status;
}
