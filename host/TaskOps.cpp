#include "host/TaskOps.h"

#include "host/DesktopHost.h"
#include "base/DesktopError.h"
#include "base/Text.h"

namespace korvid {

namespace {

constexpr const char* kAccountSwitched = "账号已切换。";
constexpr const char* kSignIn = "请先登录对应的 Korvid 账号。";
constexpr std::size_t kMinutesLimit = 8000; // UTF-16 code units

Json cancelled() { return Json { { "cancelled", true } }; }

}

TaskOps::TaskOps(Bridge& bridge) : bridge_(bridge), taskIO_(std::make_unique<SerialQueue>())
{
    using T = TaskOps;
    // op, guard, its message, re-check, its message, handler
    for (const char* op : { "workspaceOpen", "projectCreate", "taskSave", "taskConfirm", "taskSource" })
        bridge.add({ op, Guard::signedInOwner, kSignIn, Recheck::account, kAccountSwitched,
            memberHandler(this, &T::workspace) });
    bridge.add({ "taskAttach", Guard::signedInOwner, kSignIn, Recheck::account, kAccountSwitched,
        memberHandler(this, &T::attach) });
    bridge.add({ "meetingFile", Guard::signedInOwner, "请先登录。", Recheck::accountAndToken, kAccountSwitched,
        memberHandler(this, &T::meetingFile) });
}

TaskOps::~TaskOps()
{
    // Finish queued work before anything it might reach goes away.
    taskIO_.reset();
}

Task<Json> TaskOps::runWorkspace(std::string op, std::string owner, Json payload,
    std::vector<std::filesystem::path> files)
{
    if (!workspaceHandle)
        throw DesktopError("任务工作区暂不可用，请稍后重试。");
    co_return co_await runOn(*taskIO_, bridge_.resume(),
        [handle = workspaceHandle, op = std::move(op), owner = std::move(owner), payload = std::move(payload),
            files = std::move(files)] { return handle(op, owner, payload, files); });
}

Task<Json> TaskOps::workspace(std::shared_ptr<BridgeCall> call)
{
    co_return co_await call->checked(runWorkspace(std::string(call->op()), call->session.id, call->body, {}));
}

Task<Json> TaskOps::attach(std::shared_ptr<BridgeCall> call)
{
    if (!selectTaskFiles)
        throw DesktopError("暂时无法选择文件，请稍后重试。");
    auto files = co_await call->checked(chosenFiles(bridge_.resume(), selectTaskFiles));
    if (files.empty())
        co_return cancelled();
    co_return co_await call->checked(runWorkspace("taskAttach", call->session.id, call->body, std::move(files)));
}

Task<Json> TaskOps::meetingFile(std::shared_ptr<BridgeCall> call)
{
    if (!selectTaskFiles)
        throw DesktopError("暂时无法选择文件，请稍后重试。");
    auto files = co_await call->checked(chosenFiles(bridge_.resume(), selectTaskFiles));
    if (files.empty())
        co_return cancelled();
    if (files.size() > 1)
        throw DesktopError("一次归档一份纪要，请只选一个文件。");
    if (!readMeetingFile)
        throw DesktopError("暂时无法读取纪要文件，请稍后重试。");
    // A large scan or PDF takes seconds to read and recognise: never on the
    // main thread, and its text only for the session that asked.
    std::string text = co_await call->checked(
        runOn(bridge_.host().background(), bridge_.resume(), [read = readMeetingFile, file = files.front()] { return read(file); }));
    if (utf16Length(text) > kMinutesLimit)
        throw DesktopError("单份纪要限 8000 字符，请选择会议摘录。");
    co_return Json { { "text", std::move(text) }, { "name", files.front().stem().string() } };
}

}
