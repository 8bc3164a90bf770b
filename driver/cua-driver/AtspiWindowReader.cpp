#include "driver/cua-driver/AtspiWindowReader.h"

#include "driver/cua-driver/X11WindowInfo.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace korvid {

namespace {

constexpr const char* kRegistry = "org.a11y.atspi.Registry";
constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";
constexpr const char* kNullPath = "/org/a11y/atspi/null";
constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kComponent = "org.a11y.atspi.Component";
constexpr const char* kApplication = "org.a11y.atspi.Application";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kCache = "org.a11y.atspi.Cache";
constexpr const char* kCachePath = "/org/a11y/atspi/cache";
constexpr const char* kCacheItemsType = "(a((so)(so)(so)iiassusau))";
constexpr int kCallTimeoutMs = 5000;
// Requests sent before waiting for replies; well under the bus's limit of
// pending replies per connection.
constexpr std::size_t kInFlight = 1024;
constexpr unsigned kWindowCoordinates = 1;

struct VariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct Call {
    Call(std::string bus, std::string path, const char* interface, const char* method, GVariant* arguments,
        const char* replyType)
        : bus(std::move(bus))
        , path(std::move(path))
        , interface(interface)
        , method(method)
        , arguments(arguments)
        , replyType(replyType)
    {
    }
    Call(Call&& other) noexcept
        : bus(std::move(other.bus))
        , path(std::move(other.path))
        , interface(other.interface)
        , method(other.method)
        , arguments(std::exchange(other.arguments, nullptr))
        , replyType(other.replyType)
        , reply(std::move(other.reply))
        , error(std::move(other.error))
    {
    }
    Call& operator=(Call&&) = delete;
    ~Call()
    {
        if (arguments)
            g_variant_unref(g_variant_ref_sink(arguments));
    }

    std::string bus;
    std::string path;
    const char* interface = nullptr;
    const char* method = nullptr;
    GVariant* arguments = nullptr; // floating; the call consumes it
    const char* replyType = nullptr;
    Variant reply;
    std::string error;
};

struct Pending {
    Call* call;
    std::size_t* left;
};

void callDone(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply) {
        pending->call->reply.reset(reply);
    } else {
        pending->call->error = error ? error->message : "no reply";
        g_clear_error(&error);
    }
    --*pending->left;
}

void runBatch(GMainContext* context, GDBusConnection* bus, std::vector<Call>& calls)
{
    for (std::size_t start = 0; start < calls.size(); start += kInFlight) {
        std::size_t end = std::min(calls.size(), start + kInFlight);
        std::size_t left = end - start;
        for (std::size_t i = start; i < end; ++i) {
            Call& call = calls[i];
            g_dbus_connection_call(bus, call.bus.c_str(), call.path.c_str(), call.interface, call.method,
                call.arguments, call.replyType ? G_VARIANT_TYPE(call.replyType) : nullptr,
                G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, callDone, new Pending { &call, &left });
            call.arguments = nullptr;
        }
        while (left > 0)
            g_main_context_iteration(context, TRUE);
    }
}

Call childrenCall(const Ref& ref)
{
    return Call { ref.bus, ref.path, kAccessible, "GetChildren", nullptr, "(a(so))" };
}

Call propertiesCall(const Ref& ref, const char* interface)
{
    return Call { ref.bus, ref.path, kProperties, "GetAll", g_variant_new("(s)", interface), "(a{sv})" };
}

Call roleCall(const Ref& ref)
{
    return Call { ref.bus, ref.path, kAccessible, "GetRole", nullptr, "(u)" };
}

struct CachedItem {
    std::string name;
    std::string description;
    guint32 role = 0;
    int childCount = 0;
};

}

// A copy of the toolkit's own cache: every element it has realized, with its
// parent and place, so a known tree needs no per-element child requests.
struct CacheSnapshot {
    std::map<Ref, CachedItem> items;
    std::map<Ref, std::vector<std::pair<int, Ref>>> children;

    // The element's children in order, when the cache holds all of them.
    std::optional<std::vector<Ref>> childrenOf(const Ref& ref) const
    {
        auto item = items.find(ref);
        if (item == items.end())
            return std::nullopt;
        std::vector<Ref> result;
        auto known = children.find(ref);
        if (known == children.end())
            return item->second.childCount == 0 ? std::optional(result) : std::nullopt;
        auto ordered = known->second;
        std::sort(ordered.begin(), ordered.end());
        for (std::size_t i = 0; i < ordered.size(); ++i) {
            if (ordered[i].first != static_cast<int>(i))
                return std::nullopt;
            result.push_back(ordered[i].second);
        }
        if (static_cast<int>(result.size()) != item->second.childCount)
            return std::nullopt;
        return result;
    }
};

namespace {

// Entries of Cache.GetItems: (self, application, parent, index in parent,
// child count, interfaces, name, role, description, states).
void readCacheItems(const Call& call, CacheSnapshot& snapshot)
{
    if (!call.reply)
        return;
    Variant list(g_variant_get_child_value(call.reply.get(), 0));
    GVariantIter iter;
    g_variant_iter_init(&iter, list.get());
    const char* bus = nullptr;
    const char* path = nullptr;
    const char* parentBus = nullptr;
    const char* parentPath = nullptr;
    int index = 0;
    int childCount = 0;
    const char* name = nullptr;
    const char* description = nullptr;
    guint32 role = 0;
    while (g_variant_iter_next(&iter, "((&s&o)(so)(&s&o)ii@as&su&s@au)", &bus, &path, nullptr, nullptr, &parentBus,
        &parentPath, &index, &childCount, nullptr, &name, &role, &description, nullptr)) {
        Ref self { bus, path };
        snapshot.items[self] = CachedItem { name, description, role, childCount };
        if (index >= 0 && std::string_view(parentPath) != kNullPath)
            snapshot.children[Ref { parentBus, parentPath }].emplace_back(index, std::move(self));
    }
}

std::string roleName(guint32 role)
{
    gchar* name = atspi_role_get_name(static_cast<AtspiRole>(role));
    std::string text = name ? name : "unknown";
    g_free(name);
    return text;
}

Call extentsCall(const Ref& ref)
{
    return Call { ref.bus, ref.path, kComponent, "GetExtents", g_variant_new("(u)", kWindowCoordinates), "((iiii))" };
}

std::vector<Ref> refsOf(const Call& call)
{
    std::vector<Ref> refs;
    if (!call.reply)
        return refs;
    Variant list(g_variant_get_child_value(call.reply.get(), 0));
    GVariantIter iter;
    g_variant_iter_init(&iter, list.get());
    const char* bus = nullptr;
    const char* path = nullptr;
    while (g_variant_iter_next(&iter, "(&s&o)", &bus, &path)) {
        if (std::string_view(path) != kNullPath)
            refs.push_back(Ref { bus, path });
    }
    return refs;
}

std::string propertyText(const Call& call, const char* name)
{
    if (!call.reply)
        return {};
    Variant properties(g_variant_get_child_value(call.reply.get(), 0));
    const char* text = nullptr;
    if (g_variant_lookup(properties.get(), name, "&s", &text))
        return text;
    return {};
}

std::optional<std::array<int, 4>> extentsOf(const Call& call)
{
    if (!call.reply)
        return std::nullopt;
    std::array<int, 4> box {};
    g_variant_get(call.reply.get(), "((iiii))", &box[0], &box[1], &box[2], &box[3]);
    return box;
}

}

struct WindowNode {
    WindowNode(Ref ref, int parent, int depth)
        : ref(std::move(ref))
        , parent(parent)
        , depth(depth)
    {
    }

    Ref ref;
    int parent = -1;
    int depth = 0;
    std::string role;
    std::string name;
    std::string description;
    std::optional<std::array<int, 4>> bounds;
    std::vector<int> children;
};

namespace {

Json boundsJson(const std::optional<std::array<int, 4>>& box)
{
    if (!box)
        return nullptr;
    return Json { { "x", (*box)[0] }, { "y", (*box)[1] }, { "width", (*box)[2] }, { "height", (*box)[3] } };
}

// Tree order (each element before its descendants), with parents as indexes
// into the output.
Json elementsInTreeOrder(const std::vector<WindowNode>& nodes)
{
    Json elements = Json::array();
    std::vector<int> outputIndex(nodes.size(), -1);
    std::vector<int> stack { 0 };
    while (!stack.empty()) {
        int at = stack.back();
        stack.pop_back();
        const WindowNode& node = nodes[static_cast<std::size_t>(at)];
        outputIndex[static_cast<std::size_t>(at)] = static_cast<int>(elements.size());
        Json element = {
            { "index", elements.size() },
            { "role", node.role },
            { "name", node.name },
            { "bounds", boundsJson(node.bounds) },
            { "depth", node.depth },
            { "parent", node.parent < 0 ? -1 : outputIndex[static_cast<std::size_t>(node.parent)] },
            { "child_count", node.children.size() },
        };
        if (!node.description.empty())
            element["description"] = node.description;
        elements.push_back(std::move(element));
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child)
            stack.push_back(*child);
    }
    return elements;
}

std::string gtkNote(const std::string& toolkit, const std::string& version)
{
    if (toolkit != "GTK" || version.rfind("4.", 0) != 0)
        return {};
    int minor = std::atoi(version.c_str() + 2);
    if (minor >= 10)
        return {};
    return "GTK " + version
        + " does not attach a WebKit web view's page content to the accessibility tree: each web view is one "
          "element here, and the page's own elements are not counted.";
}

}

// Breadth first, one batch of requests per level: each element's bounds, and
// its children unless the cache already knows them all. Returns whether
// elements were left out to stay within `cap`.
bool AtspiWindowReader::walk(std::vector<WindowNode>& nodes, std::size_t cap, const CacheSnapshot& cache)
{
    std::set<Ref> seen { nodes[0].ref };
    std::vector<int> level { 0 };
    bool truncated = false;
    while (!level.empty()) {
        std::vector<Call> calls;
        std::vector<std::optional<std::vector<Ref>>> known;
        std::vector<std::size_t> childCall(level.size(), 0);
        for (std::size_t i = 0; i < level.size(); ++i) {
            const Ref& ref = nodes[static_cast<std::size_t>(level[i])].ref;
            calls.push_back(extentsCall(ref));
            known.push_back(cache.childrenOf(ref));
        }
        for (std::size_t i = 0; i < level.size(); ++i) {
            if (!known[i]) {
                childCall[i] = calls.size();
                calls.push_back(childrenCall(nodes[static_cast<std::size_t>(level[i])].ref));
            }
        }
        runBatch(context_, bus(), calls);
        std::vector<int> next;
        for (std::size_t i = 0; i < level.size(); ++i) {
            int at = level[i];
            nodes[static_cast<std::size_t>(at)].bounds = extentsOf(calls[i]);
            int depth = nodes[static_cast<std::size_t>(at)].depth;
            std::vector<Ref> children = known[i] ? std::move(*known[i]) : refsOf(calls[childCall[i]]);
            for (Ref& child : children) {
                if (!seen.insert(child).second)
                    continue; // a broken tree must not loop
                if (nodes.size() >= cap) {
                    truncated = true;
                    break;
                }
                nodes.emplace_back(std::move(child), at, depth + 1);
                nodes[static_cast<std::size_t>(at)].children.push_back(static_cast<int>(nodes.size() - 1));
                next.push_back(static_cast<int>(nodes.size() - 1));
            }
        }
        level = std::move(next);
    }
    return truncated;
}

CacheSnapshot AtspiWindowReader::loadCache(const std::vector<WindowNode>& nodes)
{
    std::set<std::string> buses;
    for (const auto& node : nodes)
        buses.insert(node.ref.bus);
    std::vector<Call> caches;
    for (const auto& name : buses)
        caches.emplace_back(name, kCachePath, kCache, "GetItems", nullptr, kCacheItemsType);
    runBatch(context_, bus(), caches);
    CacheSnapshot snapshot;
    for (const Call& cache : caches)
        readCacheItems(cache, snapshot);
    return snapshot;
}

// Names and roles from the cache; the walk realizes every element it touches,
// so one more snapshot covers a tree seen for the first time. Elements a
// toolkit without a cache serves are asked one by one.
void AtspiWindowReader::describe(std::vector<WindowNode>& nodes, CacheSnapshot cache)
{
    auto lacking = [&] {
        return std::any_of(
            nodes.begin(), nodes.end(), [&](const WindowNode& node) { return !cache.items.count(node.ref); });
    };
    if (lacking())
        cache = loadCache(nodes);

    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        auto found = cache.items.find(nodes[i].ref);
        if (found == cache.items.end()) {
            missing.push_back(i);
            continue;
        }
        nodes[i].name = std::move(found->second.name);
        nodes[i].description = std::move(found->second.description);
        nodes[i].role = roleName(found->second.role);
    }
    if (missing.empty())
        return;
    std::vector<Call> calls;
    for (std::size_t i : missing) {
        calls.push_back(propertiesCall(nodes[i].ref, kAccessible));
        calls.push_back(roleCall(nodes[i].ref));
    }
    runBatch(context_, bus(), calls);
    for (std::size_t k = 0; k < missing.size(); ++k) {
        WindowNode& node = nodes[missing[k]];
        node.name = propertyText(calls[2 * k], "Name");
        node.description = propertyText(calls[2 * k], "Description");
        if (calls[2 * k + 1].reply) {
            guint32 role = 0;
            g_variant_get(calls[2 * k + 1].reply.get(), "(u)", &role);
            node.role = roleName(role);
        }
    }
}

AtspiWindowReader::AtspiWindowReader()
    : context_(g_main_context_new())
{
    g_main_context_push_thread_default(context_);
}

AtspiWindowReader::~AtspiWindowReader()
{
    if (bus_) {
        g_dbus_connection_close_sync(bus_, nullptr, nullptr);
        g_object_unref(bus_);
    }
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
}

GDBusConnection* AtspiWindowReader::bus()
{
    if (bus_ && !g_dbus_connection_is_closed(bus_))
        return bus_;
    g_clear_object(&bus_);
    GError* error = nullptr;
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!session) {
        std::string reason = error ? error->message : "no session bus";
        g_clear_error(&error);
        throw ToolFailure("accessibility bus unavailable: " + reason);
    }
    GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
        "GetAddress", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
    g_object_unref(session);
    if (!reply) {
        std::string reason = error ? error->message : "no address";
        g_clear_error(&error);
        throw ToolFailure("accessibility bus unavailable: " + reason);
    }
    const char* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    bus_ = g_dbus_connection_new_for_address_sync(address,
        static_cast<GDBusConnectionFlags>(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_variant_unref(reply);
    if (!bus_) {
        std::string reason = error ? error->message : "cannot connect";
        g_clear_error(&error);
        throw ToolFailure("accessibility bus unavailable: " + reason);
    }
    return bus_;
}

WindowState AtspiWindowReader::read(const WindowStateRequest& request)
{
    GDBusConnection* connection = bus();
    std::string pidText = std::to_string(request.pid);
    std::string windowText = std::to_string(request.windowID);

    // The registry lists every accessible application; the bus knows each
    // one's process.
    std::vector<Call> registry;
    registry.push_back(childrenCall(Ref { kRegistry, kRootPath }));
    runBatch(context_, connection, registry);
    if (!registry[0].reply)
        throw ToolFailure("accessibility bus unavailable: the registry did not answer (" + registry[0].error + ")");
    std::vector<Ref> applications = refsOf(registry[0]);
    std::vector<Call> owners;
    for (const Ref& application : applications) {
        owners.emplace_back("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", g_variant_new("(s)", application.bus.c_str()), "(u)");
    }
    runBatch(context_, connection, owners);
    std::vector<Ref> ours;
    for (std::size_t i = 0; i < applications.size(); ++i) {
        guint32 pid = 0;
        if (owners[i].reply) {
            g_variant_get(owners[i].reply.get(), "(u)", &pid);
            if (static_cast<std::int64_t>(pid) == request.pid)
                ours.push_back(applications[i]);
        }
    }
    if (ours.empty())
        throw ToolFailure("pid " + pidText
            + " not found among the accessible applications (the process is not running or its accessibility is "
              "disabled)");

    std::vector<Call> appCalls;
    for (const Ref& application : ours) {
        appCalls.push_back(childrenCall(application));
        appCalls.push_back(propertiesCall(application, kApplication));
    }
    runBatch(context_, connection, appCalls);
    std::vector<Ref> frames;
    std::string toolkit = propertyText(appCalls[1], "ToolkitName");
    std::string toolkitVersion = propertyText(appCalls[1], "Version");
    for (std::size_t i = 0; i < appCalls.size(); i += 2) {
        for (Ref& frame : refsOf(appCalls[i]))
            frames.push_back(std::move(frame));
    }
    if (frames.empty())
        throw ToolFailure("window_id " + windowText + " not found: pid " + pidText + " has no accessible window");

    std::vector<Call> frameCalls;
    for (const Ref& frame : frames) {
        frameCalls.push_back(propertiesCall(frame, kAccessible));
        frameCalls.push_back(extentsCall(frame));
    }
    runBatch(context_, connection, frameCalls);

    // The X server names the window's owner and title; match the title, then
    // the size. A process with a single window needs no X11 help.
    std::optional<X11WindowInfo> x11 = describeX11Window(request.windowID);
    std::size_t chosen = frames.size();
    if (x11) {
        if (!x11->exists)
            throw ToolFailure("window_id " + windowText + " not found: no such X11 window");
        if (x11->pid && *x11->pid != request.pid)
            throw ToolFailure("window_id " + windowText + " is not a window of pid " + pidText + " (it belongs to pid "
                + std::to_string(*x11->pid) + ")");
        std::vector<std::size_t> titled;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (propertyText(frameCalls[2 * i], "Name") == x11->title)
                titled.push_back(i);
        }
        for (std::size_t i : titled) {
            auto box = extentsOf(frameCalls[2 * i + 1]);
            if (box && (*box)[2] == x11->width && (*box)[3] == x11->height) {
                chosen = i;
                break;
            }
        }
        if (chosen == frames.size() && !titled.empty())
            chosen = titled.front();
    }
    if (chosen == frames.size() && frames.size() == 1)
        chosen = 0;
    if (chosen == frames.size()) {
        throw ToolFailure("window_id " + windowText + " not found among the " + std::to_string(frames.size())
            + " accessible windows of pid " + pidText);
    }

    std::vector<WindowNode> nodes;
    nodes.emplace_back(frames[chosen], -1, 0);
    CacheSnapshot cache = loadCache(nodes);
    bool truncated = walk(nodes, request.maxElements, cache);
    describe(nodes, std::move(cache));

    WindowState state;
    state.title = nodes[0].name;
    state.elements = elementsInTreeOrder(nodes);
    state.truncated = truncated;
    state.note = gtkNote(toolkit, toolkitVersion);
    return state;
}

}
