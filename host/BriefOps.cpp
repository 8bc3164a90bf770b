#include "host/BriefOps.h"

#include "host/DesktopHost.h"
#include "host/TaskOps.h"
#include "base/DesktopError.h"
#include "base/Uuid.h"

#include <algorithm>

namespace korvid {

namespace {

constexpr const char* kAccountSwitched = "账号已切换。";
constexpr const char* kSignIn = "请先登录对应的 Korvid 账号。";
constexpr const char* kTaskIDInvalid = "任务标识失效。";
constexpr std::size_t kTaskStatesLimit = 100;

std::string briefPath(const std::string& id)
{
    return "/v1/desktop/briefs/" + id;
}

// The lower-case task id of body "id", or the guard's refusal.
std::string taskID(const Json& body)
{
    auto id = stringAt(body, "id");
    auto canonical = id ? canonicalUuid(*id) : std::nullopt;
    if (!canonical)
        throw DesktopError(kTaskIDInvalid);
    return *canonical;
}

bool isStringMap(const Json* value)
{
    return value && value->is_object()
        && std::all_of(value->begin(), value->end(), [](const Json& entry) { return entry.is_string(); });
}

// The scope of a start as read from the workspace, or why it could not be:
// a failed read is answered to the page, not thrown.
struct Scope {
    Json payload;
    std::exception_ptr error;
};

Task<Scope> readScope(Task<Json> read)
{
    Scope scope;
    try {
        scope.payload = co_await std::move(read);
        if (!scope.payload.is_object())
            throw DesktopError("执行范围读取失败。");
    } catch (...) {
        scope.error = std::current_exception();
    }
    co_return scope;
}

}

BriefOps::BriefOps(Bridge& bridge, TaskOps& tasks)
    : bridge_(bridge)
    , tasks_(tasks)
{
    using B = BriefOps;
    // op, guard, its message, re-check, its message, handler
    bridge.add({ "taskStates", Guard::signedInOwner, kSignIn, Recheck::accountAndToken, kAccountSwitched,
        memberHandler(this, &B::states) });
    bridge.add({ "taskStatus", Guard::signedInOwner, kSignIn, Recheck::accountAndToken, kAccountSwitched,
        memberHandler(this, &B::status) });
    bridge.add({ "taskStart", Guard::signedInOwner, kSignIn, Recheck::accountAndToken, kAccountSwitched,
        memberHandler(this, &B::start) });
    bridge.add({ "taskReview", Guard::signedInOwner, kSignIn, Recheck::accountAndToken, kAccountSwitched,
        memberHandler(this, &B::review) });
}

Task<Json> BriefOps::states(std::shared_ptr<BridgeCall> call)
{
    const Json* ids = arrayAt(call->body, "ids");
    bool valid = ids && ids->size() <= kTaskStatesLimit && std::all_of(ids->begin(), ids->end(), [](const Json& id) {
        return id.is_string() && Uuid::parse(id.get_ref<const std::string&>());
    });
    if (!valid)
        throw DesktopError(kTaskIDInvalid);
    co_return co_await call->checked(
        bridge_.host().request("/v1/desktop/briefs/states", call->session.token, Json { { "ids", *ids } }));
}

Task<Json> BriefOps::status(std::shared_ptr<BridgeCall> call)
{
    std::string id = taskID(call->body);
    co_return co_await call->checked(bridge_.host().request(briefPath(id), call->session.token));
}

Task<Json> BriefOps::start(std::shared_ptr<BridgeCall> call)
{
    DesktopHost& host = bridge_.host();
    std::string id = taskID(call->body);
    Json brief = co_await call->checked(host.request(briefPath(id), call->session.token));
    if (stringAt(brief, "state") != "unstarted")
        co_return brief;

    Scope scope = co_await call->checked(readScope(tasks_.startScope(call->session.id, call->body)));
    if (scope.error)
        co_return Json { { "state", "unstarted" }, { "scopeError", describe(scope.error) } };

    co_return co_await call->checked(host.request(briefPath(id), call->session.token, std::move(scope.payload), id));
}

Task<Json> BriefOps::review(std::shared_ptr<BridgeCall> call)
{
    std::string id = taskID(call->body);
    const Json* decision = objectAt(call->body, "decision");
    auto version = integerAt(call->body, "version");
    auto finalize = booleanAt(call->body, "finalize");
    if (!isStringMap(decision) || !version || !finalize)
        throw DesktopError("请重新打开审阅。");
    Json body { { "decision", *decision }, { "version", call->body.at("version") }, { "finalize", *finalize } };
    co_return co_await call->checked(
        bridge_.host().request(briefPath(id) + "/review", call->session.token, std::move(body)));
}

}
