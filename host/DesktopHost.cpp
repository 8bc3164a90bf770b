#include "host/DesktopHost.h"

namespace korvid {

DesktopHost::DesktopHost(Executor& main, DesktopHostOptions options)
    : main_(main)
    , requestTimeout_(options.requestTimeout)
    , turnTimeout_(options.turnTimeout)
    , settings_(options.settingsPath)
{
}

DesktopHost::~DesktopHost() = default;

std::optional<std::string> DesktopHost::sessionToken() const { return std::nullopt; }
std::optional<std::string> DesktopHost::accountID() const { return std::nullopt; }
void DesktopHost::receive(BridgeMessage message) { message.reply(std::nullopt, "无效请求"); }
void DesktopHost::verify(std::string, std::function<void(std::optional<DesktopLoginSession>, std::optional<std::string>)> done) { done(std::nullopt, "尚未实现。"); }
void DesktopHost::didVerify(DesktopLoginSession, std::shared_ptr<WebsiteDataStore>) { }
void DesktopHost::didAuthenticate(DesktopLoginSession) { }
void DesktopHost::signOut() { }
void DesktopHost::closeWebWorkspace() { }
DesktopAppearance DesktopHost::savedAppearance() const { return DesktopAppearance::system; }

}
