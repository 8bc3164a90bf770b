// The accessibility check against a real D-Bus daemon of the test's own, on
// which the test owns org.a11y.Bus and decides how it answers.
#include "driver/AccessibilityStatus.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace korvid {
namespace {

enum class Mode { live, deadAddress, silent };

const char* kInterface = R"(<node><interface name="org.a11y.Bus">
  <method name="GetAddress"><arg type="s" direction="out"/></method>
</interface><interface name="org.a11y.Status">
  <property name="IsEnabled" type="b" access="readwrite"/>
</interface></node>)";

class AccessibilityStatusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder = std::filesystem::temp_directory_path() / ("korvid-a11y-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        address = "unix:path=" + (folder / "bus").string();
        // A bus that activates nothing, so only the test's own owner answers.
        std::ofstream(folder / "bus.conf") << "<busconfig><type>session</type><listen>" << address
                                           << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                              "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
        std::string config = "--config-file=" + (folder / "bus.conf").string();
        GError* error = nullptr;
        daemon = g_subprocess_new(G_SUBPROCESS_FLAGS_NONE, &error, "dbus-daemon", "--nofork", config.c_str(), nullptr);
        ASSERT_TRUE(daemon) << (error ? error->message : "");
        for (int i = 0; i < 500 && !std::filesystem::exists(folder / "bus"); ++i)
            g_usleep(10000);
        ASSERT_TRUE(std::filesystem::exists(folder / "bus"));
        // Every bus lookup of this process, the code under test's included.
        g_setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), TRUE);

        // The socket may show before the daemon accepts on it.
        for (int i = 0; i < 500 && !owner; ++i) {
            g_clear_error(&error);
            owner = g_dbus_connection_new_for_address_sync(address.c_str(),
                static_cast<GDBusConnectionFlags>(
                    G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            if (!owner)
                g_usleep(10000);
        }
        ASSERT_TRUE(owner) << (error ? error->message : "");
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kInterface, nullptr);
        static const GDBusInterfaceVTable table { answer, nullptr, nullptr, {} };
        g_dbus_connection_register_object(
            owner, "/org/a11y/bus", node->interfaces[0], &table, nullptr, nullptr, nullptr);
        static const GDBusInterfaceVTable status { nullptr, nullptr, enable, {} };
        g_dbus_connection_register_object(
            owner, "/org/a11y/bus", node->interfaces[1], &status, nullptr, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        GVariant* reply = g_dbus_connection_call_sync(owner, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", "org.a11y.Bus", 0u), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, &error);
        ASSERT_TRUE(reply) << (error ? error->message : "");
        g_variant_unref(reply);
    }

    static void TearDownTestSuite()
    {
        for (GDBusMethodInvocation* held : unanswered)
            g_dbus_method_invocation_return_dbus_error(held, "org.freedesktop.DBus.Error.Failed", "test over");
        unanswered.clear();
        if (owner) {
            g_dbus_connection_close_sync(owner, nullptr, nullptr);
            g_object_unref(owner);
        }
        if (daemon) {
            g_subprocess_force_exit(daemon);
            g_subprocess_wait(daemon, nullptr, nullptr);
            g_object_unref(daemon);
        }
        std::filesystem::remove_all(folder);
    }

    static void answer(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
        GDBusMethodInvocation* invocation, gpointer)
    {
        switch (mode) {
        case Mode::live: // a real message bus at that address
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", address.c_str()));
            break;
        case Mode::deadAddress:
            g_dbus_method_invocation_return_value(
                invocation, g_variant_new("(s)", ("unix:path=" + (folder / "nobody").string()).c_str()));
            break;
        case Mode::silent: // keeps the caller waiting
            unanswered.push_back(invocation);
            break;
        }
    }

    static gboolean enable(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
        GVariant* value, GError**, gpointer)
    {
        if (g_str_equal(property, "IsEnabled") && g_variant_get_boolean(value))
            ++enableRequests;
        return TRUE;
    }

    // Runs the check while a 20 ms timer ticks on the same main context.
    struct Run {
        std::optional<bool> answer;
        bool answeredBeforeReturning = false;
        int ticks = 0;
        std::chrono::milliseconds took {};
    };
    static Run check(std::chrono::milliseconds limit)
    {
        Run run;
        auto start = std::chrono::steady_clock::now();
        checkAccessibility([&](bool value) { run.answer = value; }, limit);
        run.answeredBeforeReturning = run.answer.has_value();
        GSourceFunc tick = [](gpointer ticks) -> gboolean {
            ++*static_cast<int*>(ticks);
            return G_SOURCE_CONTINUE;
        };
        guint ticker = g_timeout_add(20, tick, &run.ticks);
        while (!run.answer && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
            g_main_context_iteration(nullptr, TRUE);
        g_source_remove(ticker);
        run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return run;
    }

    static inline std::filesystem::path folder;
    static inline std::string address;
    static inline GSubprocess* daemon = nullptr;
    static inline GDBusConnection* owner = nullptr;
    static inline Mode mode = Mode::live;
    static inline std::vector<GDBusMethodInvocation*> unanswered;
    static inline int enableRequests = 0;
};

TEST_F(AccessibilityStatusTest, AnAnsweringBusIsTrustedWithoutBlockingTheCaller)
{
    mode = Mode::live;
    Run run = check(std::chrono::seconds(3));
    EXPECT_FALSE(run.answeredBeforeReturning);
    EXPECT_EQ(run.answer, true);
}

TEST_F(AccessibilityStatusTest, AnAddressNobodyListensAtIsNotTrusted)
{
    mode = Mode::deadAddress;
    Run run = check(std::chrono::seconds(3));
    EXPECT_FALSE(run.answeredBeforeReturning);
    EXPECT_EQ(run.answer, false);
}

TEST_F(AccessibilityStatusTest, ABusThatNeverAnswersIsNotTrustedAfterTheLimitAndTheLoopRunsMeanwhile)
{
    mode = Mode::silent;
    Run run = check(std::chrono::milliseconds(400));
    EXPECT_FALSE(run.answeredBeforeReturning);
    EXPECT_EQ(run.answer, false);
    EXPECT_GE(run.took, std::chrono::milliseconds(350));
    EXPECT_LT(run.took, std::chrono::milliseconds(3000));
    EXPECT_GE(run.ticks, 10); // the window's loop kept turning while the bus was asked
}

TEST_F(AccessibilityStatusTest, AskingToTurnItOnDoesNotWaitForTheBus)
{
    // The bus's owner answers on this very thread, so a caller that waited
    // for the answer would wait out the whole time-out.
    auto start = std::chrono::steady_clock::now();
    requestAccessibility();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    // A ticking source keeps the loop from sleeping past the deadline when
    // the request never comes.
    guint tick = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (enableRequests == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
    EXPECT_EQ(enableRequests, 1);
}

}
}
