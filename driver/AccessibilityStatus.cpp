#include "driver/AccessibilityStatus.h"

#include <gio/gio.h>

namespace korvid {

namespace {

constexpr int kTimeoutMs = 3000;

GDBusConnection* sessionBus()
{
    // Never start a bus of our own: without a session there is nothing to ask.
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!address)
        return nullptr;
    bool autolaunch = g_str_has_prefix(address, "autolaunch:");
    g_free(address);
    if (autolaunch)
        return nullptr;
    return g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
}

}

bool accessibilityAvailable()
{
    GDBusConnection* session = sessionBus();
    if (!session)
        return false;
    GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
        "GetAddress", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, nullptr);
    g_object_unref(session);
    if (!reply)
        return false;
    const char* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    bool answers = false;
    if (address && *address) {
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(address,
            static_cast<GDBusConnectionFlags>(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (bus) {
            answers = true;
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
        }
    }
    g_variant_unref(reply);
    return answers;
}

void requestAccessibility()
{
    GDBusConnection* session = sessionBus();
    if (!session)
        return;
    GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus",
        "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
        G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
    g_object_unref(session);
}

}
