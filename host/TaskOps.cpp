#include "host/TaskOps.h"

#include "host/DesktopHost.h"
#include "base/DesktopError.h"
#include "base/Text.h"

namespace korvid {

namespace {

constexpr const char* kAccountSwitched = "账号已切换。";
constexpr const char* kSignIn = "请先登录对应的 Korvid 账号。";
constexpr std::size_t kMinutesLimit = 8000; // UTF-16 code units

Json cancelled()
{
    return Json { { "cancelled", true } };
}

}

TaskOps::TaskOps(Bridge& bridge)
    : bridge_(bridge)
    , taskIO_(std::make_unique<SerialQueue>())
{
    using T = TaskOps;
    // op, guard, its message, re-check, its message, handler
    bridge.add({ "workspaceOpen", Guard::signedInOwner, kSignIn, Recheck::account, kAccountSwitched,
        memberHandler(this, &T::open) });
    bridge.add({ "projectCreate", Guard::signedInOwner, kSignIn, Recheck::account, kAccountSwitched,
        memberHandler(this, &T::createProject) });
    bridge.add({ "taskSave", Guard::signedInOwner, kSignIn, Recheck::account, kAccountSwitched,
        memberHandler(this, &T::save) });
    bridge.add({ "taskConfirm", Guard::signedInOwner, kSignIn, Recheck::account, kAccountSwitched,
        memberHandler(this, &T::confirm) });
    bridge.add({ "taskSource", Guard::signedInOwner, kSignIn, Recheck::account, kAccountSwitched,
        memberHandler(this, &T::source) });
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

Task<Json> TaskOps::onTaskQueue(bool available, std::function<Json()> work)
{
    if (!available)
        throw DesktopError("任务工作区暂不可用，请稍后重试。");
    co_return co_await runOn(*taskIO_, bridge_.resume(), std::move(work));
}

Task<Json> TaskOps::open(std::shared_ptr<BridgeCall> call)
{
    co_return co_await call->checked(
        onTaskQueue(bool(workspace.open), [run = workspace.open, owner = call->session.id] { return run(owner); }));
}

Task<Json> TaskOps::createProject(std::shared_ptr<BridgeCall> call)
{
    co_return co_await call->checked(onTaskQueue(
        bool(workspace.createProject), [run = workspace.createProject, owner = call->session.id, payload = call->body] {
            return run(owner, payload);
        }));
}

Task<Json> TaskOps::save(std::shared_ptr<BridgeCall> call)
{
    co_return co_await call->checked(onTaskQueue(bool(workspace.save),
        [run = workspace.save, owner = call->session.id, payload = call->body] { return run(owner, payload); }));
}

Task<Json> TaskOps::confirm(std::shared_ptr<BridgeCall> call)
{
    co_return co_await call->checked(onTaskQueue(bool(workspace.confirm),
        [run = workspace.confirm, owner = call->session.id, payload = call->body] { return run(owner, payload); }));
}

Task<Json> TaskOps::source(std::shared_ptr<BridgeCall> call)
{
    co_return co_await call->checked(onTaskQueue(bool(workspace.source),
        [run = workspace.source, owner = call->session.id, payload = call->body] { return run(owner, payload); }));
}

Task<Json> TaskOps::startScope(std::string owner, Json payload)
{
    return onTaskQueue(bool(workspace.startScope),
        [run = workspace.startScope, owner = std::move(owner), payload = std::move(payload)] {
            return run(owner, payload);
        });
}

Task<Json> TaskOps::attach(std::shared_ptr<BridgeCall> call)
{
    if (!selectTaskFiles)
        throw DesktopError("暂时无法选择文件，请稍后重试。");
    auto files = co_await call->checked(chosenFiles(bridge_.resume(), selectTaskFiles));
    if (files.empty())
        co_return cancelled();
    co_return co_await call->checked(onTaskQueue(bool(workspace.attach),
        [run = workspace.attach, owner = call->session.id, payload = call->body, files = std::move(files)] {
            return run(owner, payload, files);
        }));
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
    std::string text = co_await call->checked(runOn(bridge_.host().background(), bridge_.resume(),
        [read = readMeetingFile, file = files.front()] { return read(file); }));
    if (utf16Length(text) > kMinutesLimit)
        throw DesktopError("单份纪要限 8000 字符，请选择会议摘录。");
    co_return Json { { "text", std::move(text) }, { "name", files.front().stem().string() } };
}

}
