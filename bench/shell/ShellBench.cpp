// Start-up, memory and bridge figures of the shell against a bare WebKitGTK
// 6.0 window with one page and one bridge reply, each run in a fresh process.
//
//   korvid-shell-bench bare   bare window: start to first reply, PSS, round
//                             trip; then, in one page of a second window,
//                             the bare reply, the relay floor, a web-process
//                             extension and the bridge channel answered
//                             without the host, interleaved
//   korvid-shell-bench app    the shell: start to sign-in page ready, verified
//                             sign-in to the main page's first reply, PSS,
//                             round trip of "session"; then, in the main
//                             page, the bare reply, the relay floor and
//                             "session", interleaved
//
// Both also give one main-loop turn of their UI process in microseconds.
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

#include <algorithm>
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

// The first `count` fields of every process's /proc/<pid>/stat after its
// name (state, parent, ...); a process that shows fewer is left out.
std::map<int, std::vector<std::string>> processStats(std::size_t count)
{
    std::map<int, std::vector<std::string>> stats;
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
            while (fields.size() < count && rest >> field)
                fields.push_back(field);
            if (fields.size() == count)
                stats[pid] = std::move(fields);
        }
        closedir(proc);
    }
    return stats;
}

// This process and all its descendants (WebKit's web and network processes).
std::set<int> family(const std::map<int, std::vector<std::string>>& stats)
{
    std::set<int> members { getpid() };
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, fields] : stats)
            if (members.count(std::atoi(fields[1].c_str())) && members.insert(pid).second)
                grew = true;
    }
    return members;
}

// PSS in kB of this process and all its descendants.
long totalPss()
{
    long total = 0;
    for (int pid : family(processStats(2))) {
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
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    auto stats = processStats(13);
    long ticks = 0;
    for (int pid : family(stats))
        if (pid != getpid())
            ticks += std::atol(stats[pid][11].c_str()) + std::atol(stats[pid][12].c_str());
    times.others = ticks * 1e6 / double(sysconf(_SC_CLK_TCK));
    return times;
}

// CPU microseconds per message of the last roundTrip: the UI process and
// WebKit's helper processes. Steadier than wall time on a busy machine.
CpuTimes lastTripCpu;

// Runs `body` as an async function in `world` (the page's when null) and
// waits for its value.
JSCValue* runScript(GLibExecutor& main, WebKitWebView* view, const std::string& body, const char* world = nullptr)
{
    struct State {
        JSCValue* value = nullptr;
        bool done = false;
    } state;
    webkit_web_view_call_async_javascript_function(
        view, body.c_str(), -1, nullptr, world, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* state = static_cast<State*>(data);
            GError* error = nullptr;
            state->value
                = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (error) {
                std::fprintf(stderr, "script failed: %s\n", error->message);
                g_error_free(error);
            }
            state->done = true;
        },
        &state);
    main.runUntil([&] { return state.done; }, 300s);
    return state.value;
}

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
    CpuTimes before = cpuTimes();
    JSCValue* value = runScript(main, view, script, world);
    CpuTimes after = cpuTimes();
    lastTripCpu = { (after.ui - before.ui) / 4200, (after.others - before.others) / 4200 };
    double median = value ? jsc_value_to_double(value) : -1;
    if (value)
        g_object_unref(value);
    return median;
}

// Ways of making one page → host → page round trip, measured side by side
// in the same page: interleaved batches of 200 messages each, the order
// rotated every round, 60 rounds after 300 messages each to warm up; the
// median of each way's per-message times. Then each way alone for its CPU
// per message.
struct Way {
    const char* name;
    std::string post; // the page's call expression
};

struct WayFigures {
    double tripMs = -1;
    CpuTimes cpu;
};

std::vector<WayFigures> interleavedTrips(GLibExecutor& main, WebKitWebView* view, const std::vector<Way>& ways)
{
    std::string posts;
    for (const auto& way : ways)
        posts += "() => " + way.post + ",";
    std::string script = "const posts = [" + posts
        + "];"
          "for (const post of posts) for (let i = 0; i < 300; ++i) await post();"
          "const times = posts.map(() => []);"
          "for (let round = 0; round < 60; ++round)"
          "  for (let k = 0; k < posts.length; ++k) {"
          "    const way = (round + k) % posts.length, post = posts[way];"
          "    const t = performance.now();"
          "    for (let i = 0; i < 200; ++i) await post();"
          "    times[way].push((performance.now() - t) / 200);"
          "  }"
          "return times.map(list => { list.sort((a, b) => a - b); return (list[29] + list[30]) / 2; });";
    std::vector<WayFigures> figures(ways.size());
    if (JSCValue* value = runScript(main, view, script)) {
        for (size_t i = 0; i < ways.size(); ++i) {
            JSCValue* item = jsc_value_object_get_property_at_index(value, i);
            figures[i].tripMs = jsc_value_to_double(item);
            g_object_unref(item);
        }
        g_object_unref(value);
    }
    for (size_t i = 0; i < ways.size(); ++i) {
        roundTrip(main, view, ways[i].post);
        figures[i].cpu = lastTripCpu;
    }
    return figures;
}

std::string waysJson(const std::vector<Way>& ways, const std::vector<WayFigures>& figures)
{
    std::string json = "{";
    for (size_t i = 0; i < ways.size(); ++i) {
        char text[200];
        std::snprintf(text, sizeof text, "%s\"%s\":{\"tripMs\":%.4f,\"uiCpuUs\":%.2f,\"webCpuUs\":%.2f}", i ? "," : "",
            ways[i].name, figures[i].tripMs, figures[i].cpu.ui, figures[i].cpu.others);
        json += text;
    }
    return json + "}";
}

// The reply every peer gives: the text of the shell's "session" reply.
const char* const kPeerReply = R"({"id":"acct-demo","label":"demo@korvid.cn","destination":"home"})";

// The floors a page bridge on this platform stands on, added to a loaded
// page's content manager:
//  - "bare": a handler in the page's world answering at once, as a bridge
//    that need not know the posting frame would;
//  - "relay": the least a bridge that must know its frame does: a handler in
//    an isolated world, a relay there that adds the frame's identity, the
//    hand-off between the worlds on DOM events of the document, and a native
//    side that answers at once without reading the message (the way the
//    bridge used to go, kept as the other channel the platform allows).
class FloorPeers {
public:
    static constexpr const char* kBareHandler = "korvidBenchBare";
    static constexpr const char* kRelayHandler = "korvidBenchRelay";
    static constexpr const char* kRelayWorld = "korvid-bench-relay";

    FloorPeers(GLibExecutor& main, WebKitWebView* view)
        : manager_(webkit_web_view_get_user_content_manager(view))
    {
        bareID_ = g_signal_connect(
            manager_, "script-message-with-reply-received::korvidBenchBare", G_CALLBACK(answer), nullptr);
        relayID_ = g_signal_connect(
            manager_, "script-message-with-reply-received::korvidBenchRelay", G_CALLBACK(answer), nullptr);
        webkit_user_content_manager_register_script_message_handler_with_reply(manager_, kBareHandler, nullptr);
        webkit_user_content_manager_register_script_message_handler_with_reply(manager_, kRelayHandler, kRelayWorld);
        // The relay's two halves, put into the already loaded top document.
        // The relay posts text, the frame's identity before the body.
        runScript(main, view, R"JS(
          const handler = window.webkit.messageHandlers.korvidBenchRelay, frame = window === window.top ? 'M' : 'F';
          document.addEventListener('korvid-bench:request', event => {
            const detail = event.detail, space = detail.indexOf(' ');
            handler.postMessage(frame + location.href + '\n' + detail.slice(space + 1)).then(value =>
              document.dispatchEvent(new CustomEvent('korvid-bench:reply', {detail: detail.slice(0, space) + ' ' + value})));
          });
          return true;)JS",
            kRelayWorld);
        runScript(main, view, R"JS(
          let last = 0;
          const waiting = new Map();
          document.addEventListener('korvid-bench:reply', event => {
            const detail = event.detail, space = detail.indexOf(' '), id = +detail.slice(0, space);
            const resolve = waiting.get(id);
            waiting.delete(id);
            resolve(JSON.parse(detail.slice(space + 1)));
          });
          const relay = type => body => new Promise(resolve => {
            const id = ++last;
            waiting.set(id, resolve);
            document.dispatchEvent(new CustomEvent(type, {detail: id + ' ' + JSON.stringify(body)}));
          });
          window.korvidBenchRelay = relay('korvid-bench:request');
          return true;)JS");
    }

    ~FloorPeers()
    {
        webkit_user_content_manager_unregister_script_message_handler(manager_, kBareHandler, nullptr);
        webkit_user_content_manager_unregister_script_message_handler(manager_, kRelayHandler, kRelayWorld);
        g_signal_handler_disconnect(manager_, bareID_);
        g_signal_handler_disconnect(manager_, relayID_);
    }

    static Way bare()
    {
        return { "bare", "window.webkit.messageHandlers.korvidBenchBare.postMessage({op: 'session'})" };
    }
    static Way relay() { return { "relay", "korvidBenchRelay({op: 'session'})" }; }

private:
    static gboolean answer(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer)
    {
        JSCValue* text = jsc_value_new_string(jsc_value_get_context(value), kPeerReply);
        webkit_script_message_reply_return_value(reply, text);
        g_object_unref(text);
        return TRUE;
    }

    WebKitUserContentManager* manager_;
    gulong bareID_ = 0;
    gulong relayID_ = 0;
};

// Microseconds one turn of this process's main loop takes for work posted
// from the loop itself: what a dispatch that starts from the executor's
// queue adds to a round trip. The median of five runs of 2,000 turns.
double loopHopUs(GLibExecutor& main)
{
    std::vector<double> runs;
    for (int run = 0; run < 5; ++run) {
        int left = 2000;
        std::function<void()> step = [&] {
            if (--left > 0)
                main.post(step);
        };
        timespec start {}, end {};
        clock_gettime(CLOCK_MONOTONIC, &start);
        main.post(step);
        main.runUntil([&] { return left <= 0; }, 30s);
        clock_gettime(CLOCK_MONOTONIC, &end);
        runs.push_back(((end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec)) / 1e3 / 2000);
    }
    std::sort(runs.begin(), runs.end());
    return runs[2];
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
    CpuTimes tripCpu = lastTripCpu;

    gtk_window_destroy(GTK_WINDOW(window));
    g_object_unref(content);

    // A second window with a web context of its own, whose web process loads
    // the extension peer; in its one page, the bridge channel answered at
    // once without the host beside every floor: splits the shell's round
    // trip into the channel's part and the host's.
    window = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 940, 720);
    WebKitWebContext* context = webkit_web_context_new();
    webkit_web_context_set_web_process_extensions_directory(context, KORVID_BENCH_EXTENSION_DIR);
    content = webkit_user_content_manager_new();
    view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content, nullptr));
    g_signal_connect(view, "user-message-received",
        G_CALLBACK(+[](WebKitWebView*, WebKitUserMessage* message, gpointer) -> gboolean {
            if (g_strcmp0(webkit_user_message_get_name(message), "korvid-bench") != 0)
                return FALSE;
            webkit_user_message_send_reply(
                message, webkit_user_message_new("korvid-bench", g_variant_new_string(kPeerReply)));
            return TRUE;
        }),
        nullptr);
    gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(view));
    auto page = std::make_shared<WebKitPageView>(view);
    auto channel = std::make_unique<BridgeChannel>(view, page, [](BridgeMessage message) {
        message.reply(
            Json { { "id", "acct-demo" }, { "label", "demo@korvid.cn" }, { "destination", "home" } }, std::nullopt);
    });
    webkit_web_view_load_html(view, "<!doctype html><title>peers</title>", "file:///bare/");
    gtk_window_present(GTK_WINDOW(window));
    waitForTitle(main, view, "peers");
    std::vector<Way> ways { FloorPeers::bare(), FloorPeers::relay(),
        { "extension", "korvidBenchExtension({op: 'session'})" },
        { "channel", "korvidDesktop.post({op: 'session'})" } };
    std::vector<WayFigures> figures;
    {
        FloorPeers peers(main, view);
        figures = interleavedTrips(main, view, ways);
    }
    std::printf("{\"mode\":\"bare\",\"startToFirstReplyMs\":%.1f,\"pssKB\":%ld,\"roundTripMedianMs\":%.4f,"
                "\"uiCpuUs\":%.2f,\"webCpuUs\":%.2f,\"loopHopUs\":%.2f,\"ways\":%s}\n",
        firstReply, pss, trip, tripCpu.ui, tripCpu.others, loopHopUs(main), waysJson(ways, figures).c_str());
    channel.reset();
    page.reset();
    gtk_window_destroy(GTK_WINDOW(window));
    g_object_unref(content);
    g_object_unref(context);
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
    CpuTimes tripCpu = lastTripCpu;
    // The shell's round trip beside the floors in the same page.
    std::vector<Way> ways { FloorPeers::bare(), FloorPeers::relay(),
        { "shell", "korvidDesktop.post({op: 'session'})" } };
    std::vector<WayFigures> figures;
    {
        FloorPeers peers(main, page);
        figures = interleavedTrips(main, page, ways);
    }
    std::printf("{\"mode\":\"app\",\"startToReadyMs\":%.1f,\"verifiedToFirstReplyMs\":%.1f,\"pssKB\":%ld,"
                "\"roundTripMedianMs\":%.4f,\"uiCpuUs\":%.2f,\"webCpuUs\":%.2f,\"loopHopUs\":%.2f,\"ways\":%s}\n",
        ready, firstReply, pss, trip, tripCpu.ui, tripCpu.others, loopHopUs(main), waysJson(ways, figures).c_str());
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
    return std::string(argv[1]) == "bare" ? bare(main) : app(main);
}
