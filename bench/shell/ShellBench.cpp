// Start-up, memory and bridge figures of the shell against a bare WebKitGTK
// 6.0 window with one page and one bridge reply, each run in a fresh process.
//
//   korvid-shell-bench bare   bare window: start to first reply, PSS, round trip
//   korvid-shell-bench app    the shell: start to sign-in page ready, verified
//                             sign-in to the main page's first reply, PSS,
//                             round trip of "session"
//
// KORVID_BENCH_T0 (wall-clock nanoseconds, set by the caller just before
// starting the process) marks the process start. Results are one JSON line.
#include "app/DesktopSurface.h"
#include "app/DesktopWindow.h"
#include "app/KorvidDesktop.h"
#include "app/tests/SignInTestService.h"
#include "base/Bundle.h"
#include "platform/GLibExecutor.h"

#include <adwaita.h>
#include <webkit/webkit.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <iostream>
#include <set>
#include <sstream>
#include <unistd.h>
#include <vector>

using namespace korvid;
using namespace std::chrono_literals;

namespace {

double millisecondsSinceStart()
{
    const char* start = std::getenv("KORVID_BENCH_T0");
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    long double nowNs = (long double)now.tv_sec * 1e9L + now.tv_nsec;
    if (!start)
        return -1;
    return double((nowNs - std::strtold(start, nullptr)) / 1e6L);
}

// PSS in kB of this process and all its descendants (WebKit's web and network
// processes).
long totalPss()
{
    std::map<int, int> parents;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            int pid = std::atoi(entry->d_name);
            if (pid <= 0)
                continue;
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            std::getline(stat, line);
            auto close = line.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest(line.substr(close + 2));
            char state;
            int ppid;
            rest >> state >> ppid;
            parents[pid] = ppid;
        }
        closedir(proc);
    }
    std::set<int> family { getpid() };
    for (bool grew = true; grew;) {
        grew = false;
        for (auto [pid, ppid] : parents)
            if (family.count(ppid) && family.insert(pid).second)
                grew = true;
    }
    long total = 0;
    for (int pid : family) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        std::getline(comm, name);
        std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
        std::string key;
        long value;
        std::string unit;
        while (rollup >> key) {
            if (key == "Pss:") {
                rollup >> value >> unit;
                total += value;
                std::fprintf(stderr, "pss %s %ld kB\n", name.c_str(), value);
                break;
            }
            rollup.ignore(1 << 20, '\n');
        }
    }
    return total;
}

// CPU time in microseconds used so far by this process (the UI process) and
// by its descendants (WebKit's web and network processes).
struct CpuTimes {
    double ui = 0;
    double others = 0;
};

CpuTimes cpuTimes()
{
    CpuTimes times;
    timespec self {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &self);
    times.ui = self.tv_sec * 1e6 + self.tv_nsec / 1e3;
    std::map<int, std::pair<int, long>> processes; // pid -> (parent, utime + stime in ticks)
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            int pid = std::atoi(entry->d_name);
            if (pid <= 0)
                continue;
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            std::getline(stat, line);
            auto close = line.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest(line.substr(close + 2));
            std::string field;
            std::vector<std::string> fields;
            while (rest >> field && fields.size() < 13)
                fields.push_back(field);
            if (fields.size() < 13)
                continue;
            // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
            processes[pid]
                = { std::atoi(fields[1].c_str()), std::atol(fields[11].c_str()) + std::atol(fields[12].c_str()) };
        }
        closedir(proc);
    }
    std::set<int> family { getpid() };
    for (bool grew = true; grew;) {
        grew = false;
        for (auto& [pid, entry] : processes)
            if (family.count(entry.first) && family.insert(pid).second)
                grew = true;
    }
    long ticks = 0;
    for (int pid : family)
        if (pid != getpid())
            ticks += processes[pid].second;
    times.others = ticks * 1e6 / double(sysconf(_SC_CLK_TCK));
    return times;
}

// CPU microseconds per message of the last roundTrip: the UI process and
// WebKit's helper processes. Steadier than wall time on a busy machine.
CpuTimes lastTripCpu;

// Milliseconds per bridge round trip over 4,000 sequential messages, as the
// page measures them; `post` is the page's call expression. The page's clock
// is coarsened to a millisecond, so messages are timed in batches of 100
// (a resolution of 0.01 ms per message) and the median is taken over the 40
// batches' per-message times, after 200 messages to warm up.
double roundTrip(GLibExecutor& main, WebKitWebView* view, const std::string& post, const char* world = nullptr)
{
    std::string script = "for (let i = 0; i < 200; ++i) await " + post
        + ";"
          "const times = [];"
          "for (let batch = 0; batch < 40; ++batch) { const t = performance.now();"
          " for (let i = 0; i < 100; ++i) await "
        + post
        + ";"
          " times.push((performance.now() - t) / 100); }"
          "times.sort((a, b) => a - b); return (times[19] + times[20]) / 2;";
    double median = -1;
    bool done = false;
    struct State {
        double* median;
        bool* done;
    } state { &median, &done };
    webkit_web_view_call_async_javascript_function(
        view, script.c_str(), -1, nullptr, world, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* state = static_cast<State*>(data);
            if (JSCValue* value
                = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, nullptr)) {
                *state->median = jsc_value_to_double(value);
                g_object_unref(value);
            }
            *state->done = true;
        },
        &state);
    CpuTimes before = cpuTimes();
    main.runUntil([&] { return done; }, 120s);
    CpuTimes after = cpuTimes();
    lastTripCpu = { (after.ui - before.ui) / 4200, (after.others - before.others) / 4200 };
    return median;
}

void waitForTitle(GLibExecutor& main, WebKitWebView* view, const char* prefix)
{
    main.runUntil(
        [&] {
            const char* title = webkit_web_view_get_title(view);
            return title && g_str_has_prefix(title, prefix);
        },
        30s);
}

const char* const kBarePage = R"HTML(<!doctype html><meta charset="utf-8"><title>bare</title><body>bare
<script>
window.webkit.messageHandlers.desktop.postMessage({op: 'session'}).then(reply => { document.title = 'replied ' + reply; });
</script>)HTML";

int bare(GLibExecutor& main)
{
    GtkWidget* window = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 940, 720);
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-with-reply-received::desktop",
        G_CALLBACK(+[](WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer) {
            JSCValue* answer = jsc_value_new_string(jsc_value_get_context(value), "home");
            webkit_script_message_reply_return_value(reply, answer);
            g_object_unref(answer);
            return TRUE;
        }),
        nullptr);
    webkit_user_content_manager_register_script_message_handler_with_reply(content, "desktop", nullptr);
    auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", content, nullptr));
    gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(view));
    webkit_web_view_load_html(view, kBarePage, "file:///bare/");
    gtk_window_present(GTK_WINDOW(window));
    waitForTitle(main, view, "replied");
    double firstReply = millisecondsSinceStart();
    main.runUntil([] { return false; }, 5s); // let memory settle as for the shell
    long pss = totalPss();
    double trip = roundTrip(main, view, "window.webkit.messageHandlers.desktop.postMessage({op: 'session'})");
    std::printf("{\"mode\":\"bare\",\"startToFirstReplyMs\":%.1f,\"pssKB\":%ld,\"roundTripMedianMs\":%.4f,"
                "\"uiCpuUs\":%.2f,\"webCpuUs\":%.2f}\n",
        firstReply, pss, trip, lastTripCpu.ui, lastTripCpu.others);
    gtk_window_destroy(GTK_WINDOW(window));
    g_object_unref(content);
    return 0;
}

// The bridge channel alone (relay, isolated world, one reply), answered at
// once without the host: splits the shell's round trip into channel and host.
int channel(GLibExecutor& main)
{
    GtkWidget* window = gtk_window_new();
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", content, nullptr));
    auto page = std::make_shared<WebKitPageView>(view);
    BridgeChannel bridge(content, page, [](BridgeMessage message) {
        message.reply(Json { { "id", "account-1" }, { "label", "一号" }, { "destination", "home" } }, std::nullopt);
    });
    gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(view));
    webkit_web_view_load_html(view, "<title>channel</title>", "file:///channel/");
    gtk_window_present(GTK_WINDOW(window));
    waitForTitle(main, view, "channel");
    double trip = roundTrip(main, view, "korvidDesktop.post({op: 'session'})");
    CpuTimes tripCpu = lastTripCpu;
    // The relay's own post, made straight from the isolated world: what the
    // channel costs without the page-world helper and its two DOM events.
    double relayed = roundTrip(main, view,
        "window.webkit.messageHandlers.desktop.postMessage({main: true, url: location.href, body: "
        "'{\"op\":\"session\"}'})",
        BridgeChannel::kWorldName);
    std::printf("{\"mode\":\"channel\",\"roundTripMedianMs\":%.4f,\"uiCpuUs\":%.2f,\"webCpuUs\":%.2f,"
                "\"isolatedPostMedianMs\":%.4f,\"isolatedUiCpuUs\":%.2f,\"isolatedWebCpuUs\":%.2f}\n",
        trip, tripCpu.ui, tripCpu.others, relayed, lastTripCpu.ui, lastTripCpu.others);
    gtk_window_destroy(GTK_WINDOW(window));
    g_object_unref(content);
    return 0;
}

int app(GLibExecutor& main)
{
    SignInTestService service;
    auto folder = std::filesystem::temp_directory_path() / ("korvid-shell-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    DesktopHostOptions options;
    options.origin = service.origin();
    options.settingsPath = folder / "settings.json";
    DesktopHost host(main, options);
    DesktopBridge bridge(host);
    std::unique_ptr<DesktopWindow> window;
    fillPlatformSeams(bridge, [&] { return window ? window->window() : nullptr; });
    window = std::make_unique<DesktopWindow>(
        nullptr, host, bridge, DesktopWindow::Environment { main, resourcesFolder(), {} });
    gtk_window_present(window->window());
    auto phase = [&] { return DesktopSignIn::from(window->signIn())->controller().actions->phase().kind; };
    main.runUntil([&] { return phase() == LoginActions::Phase::Kind::ready; }, 30s);
    double ready = millisecondsSinceStart();

    // A person takes seconds to type; the bench waits three before signing in.
    main.runUntil([] { return false; }, 3s);
    WebKitWebView* login = DesktopSignIn::from(window->signIn())->controller().browser->view();
    webkit_web_view_evaluate_javascript(login,
        "document.getElementById('email').value = 'demo@korvid.cn';"
        "document.getElementById('password').value = 'korvid123';"
        "document.querySelector('button[type=submit]').click();",
        -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    double verified = 0;
    auto token = host.screenObservers().subscribe([&] { verified = millisecondsSinceStart(); });
    main.runUntil([&] { return window->surface() != nullptr; }, 30s);
    WebKitWebView* page = DesktopSurface::from(window->surface())->page()->view();
    std::fprintf(stderr, "surface %.1f ms after verification\n", millisecondsSinceStart() - verified);
    static double verifiedAt;
    verifiedAt = verified;
    g_signal_connect(page, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer) {
        std::fprintf(stderr, "load event %d at %.1f ms\n", int(event), millisecondsSinceStart() - verifiedAt);
    }),
        nullptr);
    waitForTitle(main, page, "Korvid 工作台 ·");
    double firstReply = millisecondsSinceStart() - verified;
    host.screenObservers().unsubscribe(token);
    main.runUntil([] { return false; }, 5s);
    long pss = totalPss();
    double trip = roundTrip(main, page, "korvidDesktop.post({op: 'session'})");
    std::printf("{\"mode\":\"app\",\"startToReadyMs\":%.1f,\"verifiedToFirstReplyMs\":%.1f,\"pssKB\":%ld,"
                "\"roundTripMedianMs\":%.4f,\"uiCpuUs\":%.2f,\"webCpuUs\":%.2f}\n",
        ready, firstReply, pss, trip, lastTripCpu.ui, lastTripCpu.others);
    window.reset();
    std::filesystem::remove_all(folder);
    return 0;
}

}

int main(int argc, char** argv)
{
    // The shell runs with the application's own process settings; the bare
    // window with WebKitGTK's defaults.
    bool shell = argc >= 2 && std::string(argv[1]) == "app";
    if (shell)
        prepareProcess();
    if (argc < 2 || !gtk_init_check()) {
        std::fprintf(stderr, "用法：korvid-shell-bench bare|app（需要图形显示）\n");
        return 2;
    }
    adw_init();
    if (shell)
        prepareWebKit();
    GLibExecutor main;
    std::string mode = argv[1];
    if (mode == "channel")
        return channel(main);
    return mode == "bare" ? bare(main) : app(main);
}
