// The page bridge: the gate, the operation table and each operation's work.
#include "host/DesktopHost.h"

#include "base/DesktopError.h"
#include "base/Text.h"
#include "base/Uuid.h"
#include "sales/SalesEndpoint.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace korvid {

namespace {

// What is checked before an operation's own work, in this order: a session
// token, an account and the body's "owner" equal to that account.
enum class Guard { none, signedInOwner };

// What must still hold after every suspension of the operation.
enum class Recheck { none, account, accountAndToken, accountAndView };

constexpr const char* kAccountSwitched = "账号已切换。";
constexpr const char* kTaskIDInvalid = "任务标识失效。";
constexpr std::size_t kTaskStatesLimit = 100;
constexpr std::size_t kMinutesLimit = 8000; // UTF-16 code units

constexpr std::array<std::string_view, 16> kWorkspaceRoutes { "want", "tasks", "home", "library", "partners",
    "events", "skills", "notices", "feedback", "guide", "me", "settings", "library/ai", "library/import",
    "library/corrections", "library/ai/import-history" };

// Calls the page's reply exactly once: a value, an error, or — if the
// dispatch was abandoned without either — an error saying so.
class ReplyOnce {
public:
    explicit ReplyOnce(BridgeReply reply) : reply_(std::move(reply)) { }
    ReplyOnce(const ReplyOnce&) = delete;
    ReplyOnce& operator=(const ReplyOnce&) = delete;
    ~ReplyOnce() { error("操作未完成，请重试。"); }

    void value(Json value) { send(std::move(value), std::nullopt); }
    void error(std::string text) { send(std::nullopt, std::move(text)); }

private:
    void send(std::optional<Json> value, std::optional<std::string> error)
    {
        if (!reply_)
            return;
        auto reply = std::exchange(reply_, nullptr);
        try {
            reply(std::move(value), std::move(error));
        } catch (...) {
        }
    }

    BridgeReply reply_;
};

Json cancelled() { return Json { { "cancelled", true } }; }

std::string briefPath(const std::string& id) { return "/v1/desktop/briefs/" + id; }

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

}

struct DesktopHost::Dispatch {
    std::string op;
    Json body;
    std::weak_ptr<PageView> webView;
    const Operation* operation = nullptr;
    DesktopLoginSession session; // as it was when the dispatch started
};

struct DesktopHost::Operation {
    std::string_view op;
    Guard guard;
    const char* guardMessage;
    Task<Json> (DesktopHost::*work)(std::shared_ptr<Dispatch>);
    Recheck recheck;
    const char* recheckMessage;
};

const std::array<DesktopHost::Operation, 22>& DesktopHost::operations()
{
    using H = DesktopHost;
    static constexpr const char* kSignIn = "请先登录对应的 Korvid 账号。";
    static const std::array<Operation, 22> kOperations { {
        // op, guard, its message, work, re-check, its message
        { "permissions", Guard::none, nullptr, &H::opPermissions, Recheck::none, nullptr },
        { "deviceStatus", Guard::none, nullptr, &H::opDeviceStatus, Recheck::none, nullptr },
        { "appearance", Guard::none, nullptr, &H::opAppearance, Recheck::none, nullptr },
        { "inspectOwnWindow", Guard::none, nullptr, &H::opInspectOwnWindow, Recheck::accountAndView, "工作区已关闭。" },
        { "eventFile", Guard::signedInOwner, "请登录后选取活动来源。", &H::opEventFile, Recheck::account, "采集账号已切换。" },
        { "webCompany", Guard::none, nullptr, &H::opWebCompany, Recheck::accountAndToken, kAccountSwitched },
        { "webWechatReview", Guard::none, nullptr, &H::opWebWechatReview, Recheck::accountAndToken, kAccountSwitched },
        { "webWorkspace", Guard::none, nullptr, &H::opWebWorkspace, Recheck::accountAndToken, kAccountSwitched },
        { "session", Guard::none, nullptr, &H::opSession, Recheck::none, nullptr },
        { "logout", Guard::none, nullptr, &H::opLogout, Recheck::none, nullptr },
        { "workspaceOpen", Guard::signedInOwner, kSignIn, &H::opWorkspace, Recheck::account, kAccountSwitched },
        { "projectCreate", Guard::signedInOwner, kSignIn, &H::opWorkspace, Recheck::account, kAccountSwitched },
        { "taskSave", Guard::signedInOwner, kSignIn, &H::opWorkspace, Recheck::account, kAccountSwitched },
        { "taskConfirm", Guard::signedInOwner, kSignIn, &H::opWorkspace, Recheck::account, kAccountSwitched },
        { "taskSource", Guard::signedInOwner, kSignIn, &H::opWorkspace, Recheck::account, kAccountSwitched },
        { "taskAttach", Guard::signedInOwner, kSignIn, &H::opTaskAttach, Recheck::account, kAccountSwitched },
        { "taskStates", Guard::signedInOwner, kSignIn, &H::opTaskStates, Recheck::accountAndToken, kAccountSwitched },
        { "taskStatus", Guard::signedInOwner, kSignIn, &H::opTaskStatus, Recheck::accountAndToken, kAccountSwitched },
        { "taskStart", Guard::signedInOwner, kSignIn, &H::opTaskStart, Recheck::accountAndToken, kAccountSwitched },
        { "taskReview", Guard::signedInOwner, kSignIn, &H::opTaskReview, Recheck::accountAndToken, kAccountSwitched },
        { "meetingFile", Guard::signedInOwner, "请先登录。", &H::opMeetingFile, Recheck::accountAndToken, kAccountSwitched },
        { "sales", Guard::signedInOwner, "请先登录当前账号。", &H::opSales, Recheck::accountAndToken, kAccountSwitched },
    } };
    return kOperations;
}

const DesktopHost::Operation* DesktopHost::findOperation(const std::string& op)
{
    for (const auto& operation : operations())
        if (operation.op == op)
            return &operation;
    return nullptr;
}

std::vector<std::string> DesktopHost::operationNames()
{
    std::vector<std::string> names;
    for (const auto& operation : operations())
        names.emplace_back(operation.op);
    return names;
}

bool DesktopHost::admits(const BridgeMessage& message) const
{
    if (screen_ != Screen::workspace)
        return false;
    auto sender = message.webView.lock();
    if (!sender || sender != workspaceWeb_.lock())
        return false;
    if (!message.isMainFrame)
        return false;
    if (message.frameURL != desktopPageURL_)
        return false;
    return message.body.is_object() && stringAt(message.body, "op").has_value();
}

void DesktopHost::receive(BridgeMessage message)
{
    auto reply = std::make_shared<ReplyOnce>(std::move(message.reply));
    if (!admits(message)) {
        reply->error("无效请求");
        return;
    }
    auto call = std::make_shared<Dispatch>();
    call->op = message.body["op"].get<std::string>();
    call->body = std::move(message.body);
    call->webView = std::move(message.webView);
    spawn(resume_, dispatch(std::move(call)), [reply](std::optional<Json> value, std::exception_ptr error) {
        if (error)
            reply->error(describe(error));
        else
            reply->value(std::move(*value));
    });
}

Task<Json> DesktopHost::dispatch(std::shared_ptr<Dispatch> call)
{
    {
        // Not held across the operation: a view the shell lets go must be
        // seen as gone by the re-checks.
        auto sender = call->webView.lock();
        if (screen_ != Screen::workspace || !sender || sender != workspaceWeb_.lock() || !session_)
            throw DesktopError("请重新登录。");
    }
    call->session = *session_;
    call->operation = findOperation(call->op);
    if (!call->operation)
        throw DesktopError("不支持的操作。");
    checkGuard(*call);
    co_return co_await (this->*(call->operation->work))(call);
}

void DesktopHost::checkGuard(const Dispatch& call) const
{
    if (call.operation->guard == Guard::none)
        return;
    auto owner = stringAt(call.body, "owner");
    if (!sessionToken() || !accountID() || !owner || *owner != *accountID())
        throw DesktopError(call.operation->guardMessage);
}

void DesktopHost::recheck(const Dispatch& call) const
{
    bool same = true;
    switch (call.operation->recheck) {
    case Recheck::none:
        return;
    case Recheck::accountAndView: {
        auto sender = call.webView.lock();
        same = sender && sender == workspaceWeb_.lock();
        [[fallthrough]];
    }
    case Recheck::account:
        same = same && accountID() == call.session.id;
        break;
    case Recheck::accountAndToken:
        same = accountID() == call.session.id && sessionToken() == call.session.token;
        break;
    }
    if (!same)
        throw DesktopError(call.operation->recheckMessage);
}

// ---- Machine and theme -------------------------------------------------------

Task<Json> DesktopHost::opPermissions(std::shared_ptr<Dispatch>)
{
    if (requestAccessibility)
        requestAccessibility();
    bool screenAllowed = screenCaptureAllowed ? screenCaptureAllowed() : true;
    if (!screenAllowed && requestScreenCapture)
        requestScreenCapture();
    co_return true;
}

Task<bool> DesktopHost::awaitAccessibility()
{
    if (!accessibilityTrusted)
        co_return false;
    try {
        co_return co_await fromCallback<bool>(resume_, accessibilityTrusted);
    } catch (...) {
        co_return false; // a check that never answered trusts nothing
    }
}

Task<Json> DesktopHost::opDeviceStatus(std::shared_ptr<Dispatch>)
{
    bool accessibility = co_await awaitAccessibility();
    bool screen = screenCaptureAllowed ? screenCaptureAllowed() : true;
    co_return Json { { "accessibility", accessibility }, { "screen", screen } };
}

Task<Json> DesktopHost::opAppearance(std::shared_ptr<Dispatch> call)
{
    if (auto value = stringAt(call->body, "value")) {
        auto theme = appearanceFromRaw(*value);
        if (!theme)
            throw DesktopError("未知的颜色主题。");
        if (!applyAppearance)
            throw DesktopError("暂时无法切换颜色主题，请稍后重试。");
        settings_.setString(kAppearanceKey, *value);
        applyAppearance(*theme);
    }
    co_return Json { { "value", rawValue(savedAppearance()) } };
}

// ---- Window inspection and event files ---------------------------------------

Task<Json> DesktopHost::opInspectOwnWindow(std::shared_ptr<Dispatch> call)
{
    bool trusted = co_await awaitAccessibility();
    recheck(*call);
    auto sender = call->webView.lock();
    auto windowID = sender ? sender->windowID() : std::nullopt;
    sender.reset();
    if (!windowID || !trusted)
        throw DesktopError("请先核对辅助功能授权并打开工作台窗口。");
    if (!inspectWindow)
        throw DesktopError("窗口检查暂不可用，请稍后重试。");
    std::int64_t elements = co_await runOn(*background_, resume_,
        [inspect = inspectWindow, id = *windowID] { return inspect(id); });
    recheck(*call);
    co_return Json { { "elements", elements } };
}

Task<Json> DesktopHost::opEventFile(std::shared_ptr<Dispatch> call)
{
    if (!selectEventFile)
        throw DesktopError("暂时无法选择活动来源文件，请稍后重试。");
    auto choice = co_await fromCallback<FileChoice>(resume_, selectEventFile);
    if (!choice.failure.empty())
        throw DesktopError(choice.failure);
    if (choice.files.empty())
        co_return cancelled();
    std::filesystem::path chosen = choice.files.front();
    recheck(*call);
    if (!inspectEventFile)
        throw DesktopError("暂时无法读取活动来源文件，请稍后重试。");
    Json record = co_await runOn(*background_, resume_, [inspect = inspectEventFile, file = chosen] { return inspect(file); });
    recheck(*call);
    co_return record;
}

// ---- Web workspaces ------------------------------------------------------------

Task<Json> DesktopHost::opWebCompany(std::shared_ptr<Dispatch> call)
{
    auto id = stringAt(call->body, "id");
    if (!id || id->empty() || stringAt(call->body, "owner") != call->session.id || !verifiedStore_)
        throw DesktopError("请重新登录后打开企业详情。");
    WebWorkspaceArguments arguments;
    arguments.companyID = *id;
    co_return co_await openWebWorkspace(std::move(call), std::move(arguments));
}

Task<Json> DesktopHost::opWebWechatReview(std::shared_ptr<Dispatch> call)
{
    auto id = stringAt(call->body, "id");
    auto batch = stringAt(call->body, "batch");
    if (!id || !Uuid::parse(*id) || !batch || !Uuid::parse(*batch)
        || stringAt(call->body, "owner") != call->session.id || !verifiedStore_)
        throw DesktopError("请重新打开当前账号的差异预览。");
    WebWorkspaceArguments arguments;
    arguments.snapshotID = *id;
    arguments.batchID = *batch;
    co_return co_await openWebWorkspace(std::move(call), std::move(arguments));
}

Task<Json> DesktopHost::opWebWorkspace(std::shared_ptr<Dispatch> call)
{
    auto route = stringAt(call->body, "route");
    bool listed = route && std::find(kWorkspaceRoutes.begin(), kWorkspaceRoutes.end(), *route) != kWorkspaceRoutes.end();
    if (!listed || !verifiedStore_)
        throw DesktopError("请重新登录后打开网页功能。");
    WebWorkspaceArguments arguments;
    arguments.route = *route;
    co_return co_await openWebWorkspace(std::move(call), std::move(arguments));
}

Task<std::string> DesktopHost::awaitLoginOrigin()
{
    co_await resumeOn(resume_);
    co_return loginOrigin();
}

Task<Json> DesktopHost::openWebWorkspace(std::shared_ptr<Dispatch> call, WebWorkspaceArguments arguments)
{
    arguments.origin = co_await awaitLoginOrigin();
    recheck(*call);
    if (!makeWebWorkspace)
        throw DesktopError("网页工作区暂不可用，请稍后重试。");
    arguments.store = verifiedStore_;

    // Every exit acts only for the account that opened the workspace: an old
    // workspace's late exit must not close, navigate or sign out another
    // account's desk.
    std::weak_ptr<DesktopHost*> weakHost = self_;
    arguments.onLogout = [weakHost, account = call->session.id] {
        auto host = weakHost.lock();
        if (host && (*host)->accountID() == account)
            (*host)->signOut();
    };
    if (arguments.companyID) {
        arguments.companyExit = [weakHost, account = call->session.id, id = *arguments.companyID](bool reopenMinutes) {
            auto host = weakHost.lock();
            if (!host || (*host)->accountID() != account)
                return;
            DesktopHost& self = **host;
            if (!reopenMinutes) {
                self.closeWebWorkspace();
                return;
            }
            if (self.webWorkspace_)
                self.webWorkspace_->stop();
            self.setWebWorkspace(nullptr);
            if (auto view = self.workspaceWeb())
                view->callAsyncFunction("salesDesk.invalidate(); navigate('customer/'+encodeURIComponent(id)+'/minutes')",
                    Json { { "id", id } });
        };
    }
    if (arguments.snapshotID) {
        arguments.reviewExit = [weakHost, account = call->session.id](const std::string& route) {
            auto host = weakHost.lock();
            if (!host)
                return;
            DesktopHost& self = **host;
            if (self.accountID() != account)
                return;
            if (self.webWorkspace_)
                self.webWorkspace_->stop();
            self.setWebWorkspace(nullptr);
            if (auto view = self.workspaceWeb())
                view->callAsyncFunction("salesDesk.invalidate(); navigate(route)", Json { { "route", route } });
        };
    }

    if (webWorkspace_)
        webWorkspace_->stop();
    std::shared_ptr<WebWorkspace> created;
    try {
        created = makeWebWorkspace(std::move(arguments));
    } catch (...) {
        setWebWorkspace(nullptr); // stopped above; never leave a stopped one shown
        throw;
    }
    if (!created) {
        setWebWorkspace(nullptr);
        throw DesktopError("网页工作区未能打开，请稍后重试。");
    }
    setWebWorkspace(std::move(created));
    co_return Json { { "ok", true } };
}

// ---- Session -------------------------------------------------------------------

Task<Json> DesktopHost::opSession(std::shared_ptr<Dispatch> call)
{
    co_return Json { { "id", call->session.id }, { "label", call->session.label }, { "destination", "home" } };
}

Task<Json> DesktopHost::opLogout(std::shared_ptr<Dispatch>)
{
    signOut();
    co_return true;
}

// ---- Local task workspace ------------------------------------------------------

Task<Json> DesktopHost::runWorkspace(std::string op, std::string owner, Json payload,
    std::vector<std::filesystem::path> files)
{
    if (!workspaceHandle)
        throw DesktopError("任务工作区暂不可用，请稍后重试。");
    co_return co_await runOn(*taskIO_, resume_,
        [handle = workspaceHandle, op = std::move(op), owner = std::move(owner), payload = std::move(payload),
            files = std::move(files)] { return handle(op, owner, payload, files); });
}

Task<Json> DesktopHost::opWorkspace(std::shared_ptr<Dispatch> call)
{
    Json result = co_await runWorkspace(call->op, call->session.id, call->body, {});
    recheck(*call);
    co_return result;
}

Task<Json> DesktopHost::opTaskAttach(std::shared_ptr<Dispatch> call)
{
    if (!selectTaskFiles)
        throw DesktopError("暂时无法选择文件，请稍后重试。");
    auto choice = co_await fromCallback<FileChoice>(resume_, selectTaskFiles);
    if (!choice.failure.empty())
        throw DesktopError(choice.failure);
    auto files = std::move(choice.files);
    recheck(*call);
    if (files.empty())
        co_return cancelled();
    Json result = co_await runWorkspace(call->op, call->session.id, call->body, std::move(files));
    recheck(*call);
    co_return result;
}

Task<Json> DesktopHost::opMeetingFile(std::shared_ptr<Dispatch> call)
{
    if (!selectTaskFiles)
        throw DesktopError("暂时无法选择文件，请稍后重试。");
    auto choice = co_await fromCallback<FileChoice>(resume_, selectTaskFiles);
    if (!choice.failure.empty())
        throw DesktopError(choice.failure);
    auto files = std::move(choice.files);
    recheck(*call);
    if (files.empty())
        co_return cancelled();
    if (files.size() > 1)
        throw DesktopError("一次归档一份纪要，请只选一个文件。");
    if (!readMeetingFile)
        throw DesktopError("暂时无法读取纪要文件，请稍后重试。");
    // A large scan or PDF takes seconds to read and recognise: never on the
    // main thread, and its text only for the session that asked.
    std::string text = co_await runOn(*background_, resume_,
        [read = readMeetingFile, file = files.front()] { return read(file); });
    recheck(*call);
    if (utf16Length(text) > kMinutesLimit)
        throw DesktopError("单份纪要限 8000 字符，请选择会议摘录。");
    co_return Json { { "text", std::move(text) }, { "name", files.front().stem().string() } };
}

// ---- Remote briefs ---------------------------------------------------------------

Task<Json> DesktopHost::opTaskStates(std::shared_ptr<Dispatch> call)
{
    const Json* ids = arrayAt(call->body, "ids");
    bool valid = ids && ids->size() <= kTaskStatesLimit
        && std::all_of(ids->begin(), ids->end(),
            [](const Json& id) { return id.is_string() && Uuid::parse(id.get_ref<const std::string&>()); });
    if (!valid)
        throw DesktopError(kTaskIDInvalid);
    Json answer = co_await request("/v1/desktop/briefs/states", call->session.token, Json { { "ids", *ids } });
    recheck(*call);
    co_return answer;
}

Task<Json> DesktopHost::opTaskStatus(std::shared_ptr<Dispatch> call)
{
    std::string id = taskID(call->body);
    Json answer = co_await request(briefPath(id), call->session.token);
    recheck(*call);
    co_return answer;
}

Task<Json> DesktopHost::opTaskStart(std::shared_ptr<Dispatch> call)
{
    std::string id = taskID(call->body);
    Json brief = co_await request(briefPath(id), call->session.token);
    recheck(*call);
    if (stringAt(brief, "state") != "unstarted")
        co_return brief;

    Json payload;
    std::exception_ptr scopeError;
    try {
        payload = co_await runWorkspace("taskStart", call->session.id, call->body, {});
        if (!payload.is_object())
            throw DesktopError("执行范围读取失败。");
    } catch (...) {
        scopeError = std::current_exception();
    }
    recheck(*call);
    if (scopeError)
        co_return Json { { "state", "unstarted" }, { "scopeError", describe(scopeError) } };

    Json answer = co_await request(briefPath(id), call->session.token, std::move(payload), id);
    recheck(*call);
    co_return answer;
}

Task<Json> DesktopHost::opTaskReview(std::shared_ptr<Dispatch> call)
{
    std::string id = taskID(call->body);
    const Json* decision = objectAt(call->body, "decision");
    auto version = integerAt(call->body, "version");
    auto finalize = booleanAt(call->body, "finalize");
    if (!isStringMap(decision) || !version || !finalize)
        throw DesktopError("请重新打开审阅。");
    Json body { { "decision", *decision }, { "version", call->body["version"] }, { "finalize", *finalize } };
    Json answer = co_await request(briefPath(id) + "/review", call->session.token, std::move(body));
    recheck(*call);
    co_return answer;
}

// ---- Sales desk ------------------------------------------------------------------

Task<Json> DesktopHost::opSales(std::shared_ptr<Dispatch> call)
{
    SalesEndpoint endpoint(call->body);
    std::optional<std::string> turn;
    if (stringAt(call->body, "action") == "agentTurn") {
        auto given = stringAt(call->body, "turn");
        turn = given ? canonicalUuid(*given) : std::nullopt;
        if (!turn)
            throw DesktopError("请重新核对本轮执行标识。");
    }
    Json answer = co_await request(std::move(endpoint.path), call->session.token, std::move(endpoint.body),
        std::move(turn), std::move(endpoint.method), std::move(endpoint.query));
    recheck(*call);
    co_return answer;
}

}
