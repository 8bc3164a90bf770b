#include "host/MachineOps.h"

#include "host/DesktopHost.h"
#include "base/DesktopError.h"

namespace korvid {

namespace {

Json cancelled()
{
    return Json { { "cancelled", true } };
}

}

MachineOps::MachineOps(Bridge& bridge)
    : bridge_(bridge)
{
    using M = MachineOps;
    // op, guard, its message, re-check, its message, handler
    bridge.add({ "permissions", Guard::none, nullptr, Recheck::none, nullptr, memberHandler(this, &M::permissions) });
    bridge.add({ "deviceStatus", Guard::none, nullptr, Recheck::none, nullptr, memberHandler(this, &M::deviceStatus) });
    bridge.add({ "appearance", Guard::none, nullptr, Recheck::none, nullptr, memberHandler(this, &M::appearance) });
    bridge.add({ "inspectOwnWindow", Guard::none, nullptr, Recheck::accountAndView, "工作区已关闭。",
        memberHandler(this, &M::inspectOwnWindow) });
    bridge.add({ "eventFile", Guard::signedInOwner, "请登录后选取活动来源。", Recheck::account, "采集账号已切换。",
        memberHandler(this, &M::eventFile) });
}

Task<Json> MachineOps::permissions(std::shared_ptr<BridgeCall>)
{
    if (requestAccessibility)
        requestAccessibility();
    bool screenAllowed = screenCaptureAllowed ? screenCaptureAllowed() : true;
    if (!screenAllowed && requestScreenCapture)
        requestScreenCapture();
    co_return true;
}

Task<bool> MachineOps::awaitAccessibility()
{
    if (!accessibilityTrusted)
        co_return false;
    try {
        co_return co_await fromCallback<bool>(bridge_.resume(), accessibilityTrusted);
    } catch (...) {
        co_return false; // a check that never answered trusts nothing
    }
}

Task<Json> MachineOps::deviceStatus(std::shared_ptr<BridgeCall> call)
{
    bool accessibility = co_await call->checked(awaitAccessibility());
    bool screen = screenCaptureAllowed ? screenCaptureAllowed() : true;
    co_return Json { { "accessibility", accessibility }, { "screen", screen } };
}

Task<Json> MachineOps::appearance(std::shared_ptr<BridgeCall> call)
{
    if (auto value = stringAt(call->body, "value")) {
        auto theme = appearanceFromRaw(*value);
        if (!theme)
            throw DesktopError("未知的颜色主题。");
        if (!applyAppearance)
            throw DesktopError("暂时无法切换颜色主题，请稍后重试。");
        bridge_.host().settings().setString(kAppearanceKey, *value);
        applyAppearance(*theme);
    }
    co_return Json { { "value", rawValue(bridge_.host().savedAppearance()) } };
}

Task<Json> MachineOps::inspectOwnWindow(std::shared_ptr<BridgeCall> call)
{
    bool trusted = co_await call->checked(awaitAccessibility());
    auto sender = call->webView.lock();
    auto windowID = sender ? sender->windowID() : std::nullopt;
    sender.reset();
    if (!windowID || !trusted)
        throw DesktopError("请先核对辅助功能授权并打开工作台窗口。");
    if (!inspectWindow)
        throw DesktopError("窗口检查暂不可用，请稍后重试。");
    std::int64_t elements = co_await call->checked(runOn(bridge_.host().background(), bridge_.resume(),
        [inspect = inspectWindow, id = *windowID] { return inspect(id); }));
    co_return Json { { "elements", elements } };
}

Task<Json> MachineOps::eventFile(std::shared_ptr<BridgeCall> call)
{
    if (!selectEventFile)
        throw DesktopError("暂时无法选择活动来源文件，请稍后重试。");
    // A cancelled choice answers as cancelled, whoever is signed in by then;
    // a chosen file is read only for the same account.
    auto files = co_await call->unchecked(chosenFiles(bridge_.resume(), selectEventFile));
    if (files.empty())
        co_return cancelled();
    std::filesystem::path chosen = files.front();
    call->recheck();
    if (!inspectEventFile)
        throw DesktopError("暂时无法读取活动来源文件，请稍后重试。");
    Json record = co_await call->checked(runOn(bridge_.host().background(), bridge_.resume(),
        [inspect = inspectEventFile, file = chosen] { return inspect(file); }));
    co_return record;
}

}
