#include "driver/AccessibilityStatus.h"

#include <gio/gio.h>

#include <algorithm>
#include <utility>

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

bool hasSessionBus()
{
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!address)
        return false;
    bool autolaunch = g_str_has_prefix(address, "autolaunch:");
    g_free(address);
    return !autolaunch;
}

// One asynchronous check: the session bus, then the accessibility bus's
// address, then a connection to it. One deadline cancels whichever step is
// pending (opening a connection has no time-out of its own).
struct Check {
    std::function<void(bool)> done;
    GCancellable* cancellable = g_cancellable_new();
    GSource* deadline = nullptr;
    int limitMs = 0;

    ~Check()
    {
        if (deadline) {
            g_source_destroy(deadline);
            g_source_unref(deadline);
        }
        g_object_unref(cancellable);
    }

    // Ends the check; the object is gone afterwards.
    void finish(bool answer)
    {
        auto callback = std::move(done);
        delete this;
        if (callback)
            callback(answer);
    }

    static gboolean expire(gpointer data)
    {
        auto* check = static_cast<Check*>(data);
        g_source_unref(check->deadline);
        check->deadline = nullptr;
        g_cancellable_cancel(check->cancellable);
        return G_SOURCE_REMOVE;
    }

    static void busArrived(GObject*, GAsyncResult* result, gpointer data)
    {
        auto* check = static_cast<Check*>(data);
        GDBusConnection* session = g_bus_get_finish(result, nullptr);
        if (!session) {
            check->finish(false);
            return;
        }
        g_dbus_connection_call(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
            G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, check->limitMs, check->cancellable, addressArrived, check);
        g_object_unref(session);
    }

    static void addressArrived(GObject* source, GAsyncResult* result, gpointer data)
    {
        auto* check = static_cast<Check*>(data);
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        if (!reply) {
            check->finish(false);
            return;
        }
        const char* address = nullptr;
        g_variant_get(reply, "(&s)", &address);
        if (!address || !*address) {
            g_variant_unref(reply);
            check->finish(false);
            return;
        }
        g_dbus_connection_new_for_address(address,
            static_cast<GDBusConnectionFlags>(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, check->cancellable, connected, check);
        g_variant_unref(reply);
    }

    static void connected(GObject*, GAsyncResult* result, gpointer data)
    {
        auto* check = static_cast<Check*>(data);
        GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, nullptr);
        if (!bus) {
            check->finish(false);
            return;
        }
        g_dbus_connection_close(bus, nullptr, nullptr, nullptr);
        g_object_unref(bus);
        check->finish(true);
    }
};

}

void checkAccessibility(std::function<void(bool)> done, std::chrono::milliseconds limit)
{
    // Never start a bus of our own: without a session there is nothing to ask.
    if (!hasSessionBus()) {
        if (done)
            done(false);
        return;
    }
    auto* check = new Check;
    check->done = std::move(done);
    check->limitMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(limit.count(), 1));
    check->deadline = g_timeout_source_new(static_cast<guint>(check->limitMs));
    g_source_set_callback(check->deadline, Check::expire, check, nullptr);
    g_source_attach(check->deadline, g_main_context_get_thread_default());
    g_bus_get(G_BUS_TYPE_SESSION, check->cancellable, Check::busArrived, check);
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
    // Fire and forget on the caller's main context: the answer is learned
    // through checkAccessibility(), so nothing here waits for the bus.
    if (!hasSessionBus())
        return;
    g_bus_get(
        G_BUS_TYPE_SESSION, nullptr,
        [](GObject*, GAsyncResult* result, gpointer) {
            GDBusConnection* session = g_bus_get_finish(result, nullptr);
            if (!session)
                return;
            // With a completion the call holds the connection until it is
            // answered; without one, dropping our reference here could close
            // a connection nobody else holds before the request is written.
            g_dbus_connection_call(
                session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
                G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr,
                [](GObject* connection, GAsyncResult* result, gpointer) {
                    if (GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, nullptr))
                        g_variant_unref(reply);
                },
                nullptr);
            g_object_unref(session);
        },
        nullptr);
}

}
