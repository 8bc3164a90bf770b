// The main page's context menu in the real WebKit under Xvfb: a real right
// click (through the X server's test extension) opens WebKit's menu, and the
// main surface's handler leaves only editing items.
#include "app/tests/WindowTestSupport.h"
#include "platform/WebKitPageView.h"

#include <gtest/gtest.h>

// Last: Xlib's macros (None, Bool, Status) collide with names above.
#include <gdk/x11/gdkx.h>
#include <X11/extensions/XTest.h>

namespace korvid {
namespace {

using namespace std::chrono_literals;

const char* const kPage = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"><style>
body { margin: 0; font: 16px sans-serif; }
p { position: absolute; left: 20px; top: 20px; margin: 0; }
textarea { position: absolute; left: 20px; top: 120px; width: 300px; height: 80px; }
</style></head><body>
<p id="plain">客户名单</p>
<textarea id="text">会议纪要</textarea>
</body></html>)HTML";

struct Seen {
    int menus = 0;
    std::vector<WebKitContextMenuAction> offered; // WebKit's own menu
    std::vector<WebKitContextMenuAction> kept;    // after the handler
    bool hidden = false;
};

// Runs the main surface's handler on WebKit's menu and records both; never
// lets a menu pop up over the test.
gboolean observe(WebKitWebView* view, WebKitContextMenu* menu, WebKitHitTestResult* hit, gpointer data)
{
    auto* seen = static_cast<Seen*>(data);
    ++seen->menus;
    seen->offered.clear();
    seen->kept.clear();
    for (GList* item = webkit_context_menu_get_items(menu); item; item = item->next)
        seen->offered.push_back(webkit_context_menu_item_get_stock_action(WEBKIT_CONTEXT_MENU_ITEM(item->data)));
    seen->hidden = editingContextMenu(view, menu, hit, nullptr);
    for (GList* item = webkit_context_menu_get_items(menu); item; item = item->next)
        seen->kept.push_back(webkit_context_menu_item_get_stock_action(WEBKIT_CONTEXT_MENU_ITEM(item->data)));
    return TRUE;
}

class ContextMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!testing::openDisplay())
            GTEST_SKIP() << "no display";
        if (!GDK_IS_X11_DISPLAY(gdk_display_get_default()))
            GTEST_SKIP() << "not an X11 display";
        int event = 0, error = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(xDisplay(), &event, &error, &major, &minor))
            GTEST_SKIP() << "no XTest extension";
        view = WEBKIT_WEB_VIEW(webkit_web_view_new());
        g_signal_connect(view, "context-menu", G_CALLBACK(observe), &seen);
        window = GTK_WINDOW(gtk_window_new());
        gtk_window_set_decorated(window, FALSE);
        gtk_window_set_default_size(window, 400, 300);
        gtk_window_set_child(window, GTK_WIDGET(view));
        gtk_window_present(window);
        webkit_web_view_load_html(view, kPage, "http://127.0.0.1/");
        ASSERT_TRUE(main.runUntil(
            [&] { return gtk_widget_get_mapped(GTK_WIDGET(view)) && !webkit_web_view_is_loading(view); }, 20s));
        main.runUntil([] { return false; }, 300ms);
    }

    void TearDown() override
    {
        if (window)
            gtk_window_destroy(window);
        main.runUntil([] { return false; }, 200ms);
    }

    static Display* xDisplay() { return gdk_x11_display_get_xdisplay(gdk_display_get_default()); }

    // Right-clicks at (x, y) of the view and waits for the menu.
    bool rightClick(double x, double y)
    {
        int before = seen.menus;
        graphene_point_t inView = GRAPHENE_POINT_INIT(float(x), float(y)), inWindow;
        if (!gtk_widget_compute_point(GTK_WIDGET(view), GTK_WIDGET(window), &inView, &inWindow))
            return false;
        double sx = 0, sy = 0;
        gtk_native_get_surface_transform(GTK_NATIVE(window), &sx, &sy);
        Display* display = xDisplay();
        auto xid = gdk_x11_surface_get_xid(gtk_native_get_surface(GTK_NATIVE(window)));
        int rootX = 0, rootY = 0;
        Window child = 0;
        XTranslateCoordinates(display, xid, DefaultRootWindow(display), int(inWindow.x + sx), int(inWindow.y + sy),
            &rootX, &rootY, &child);
        XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
        XTestFakeButtonEvent(display, 3, True, CurrentTime);
        XTestFakeButtonEvent(display, 3, False, CurrentTime);
        XFlush(display);
        return main.runUntil([&] { return seen.menus > before; }, 5s);
    }

    GLibExecutor main;
    WebKitWebView* view = nullptr;
    GtkWindow* window = nullptr;
    Seen seen;
};

bool has(const std::vector<WebKitContextMenuAction>& actions, WebKitContextMenuAction action)
{
    return std::find(actions.begin(), actions.end(), action) != actions.end();
}

TEST_F(ContextMenuTest, KeepsOnlyEditingItemsAndNoneOnPlainText)
{
    // On the page itself WebKit offers a browser's navigation: nothing stays.
    ASSERT_TRUE(rightClick(5, 280));
    EXPECT_TRUE(has(seen.offered, WEBKIT_CONTEXT_MENU_ACTION_RELOAD)) << seen.offered.size();
    EXPECT_TRUE(seen.kept.empty());
    EXPECT_TRUE(seen.hidden);

    // In a text field with its text selected: the editing items, in order.
    auto selected = testing::runScript(
        main, view, "const t = document.getElementById('text'); t.focus(); t.select(); return true;");
    ASSERT_EQ(selected.value, Json(true)) << selected.error;
    ASSERT_TRUE(rightClick(60, 150));
    EXPECT_EQ(seen.kept,
        (std::vector<WebKitContextMenuAction> { WEBKIT_CONTEXT_MENU_ACTION_CUT, WEBKIT_CONTEXT_MENU_ACTION_COPY,
            WEBKIT_CONTEXT_MENU_ACTION_PASTE, WEBKIT_CONTEXT_MENU_ACTION_SELECT_ALL }));
    EXPECT_FALSE(seen.hidden);
}

}
}
