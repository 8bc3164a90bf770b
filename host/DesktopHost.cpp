#include "host/DesktopHost.h"

#include "host/CurlTransport.h"
#include "host/ServiceURL.h"
#include "base/Bundle.h"

namespace korvid {

DesktopHost::DesktopHost(Executor& main, DesktopHostOptions options)
    : origin(options.origin.empty() ? serviceOrigin() : std::move(options.origin))
    , main_(main)
    , resume_(main)
    , desktopPageURL_(options.desktopPageURL.empty() ? fileURL(resourcesFolder() / "Desktop.html")
                                                     : std::move(options.desktopPageURL))
    , requestTimeout_(options.requestTimeout)
    , turnTimeout_(options.turnTimeout)
    , transferLimit_(options.transferLimit)
    , settings_(std::move(options.settingsPath))
    , transport_(options.transport ? std::move(options.transport) : std::make_shared<CurlTransport>())
    , background_(std::make_unique<BackgroundPool>(2))
    , self_(std::make_shared<DesktopHost*>(this))
{
}

DesktopHost::~DesktopHost()
{
    self_.reset();
    // Finish queued work before anything it might reach goes away.
    background_.reset();
}

std::optional<std::string> DesktopHost::sessionToken() const
{
    if (!session_)
        return std::nullopt;
    return session_->token;
}

std::optional<std::string> DesktopHost::accountID() const
{
    if (!session_)
        return std::nullopt;
    return session_->id;
}

void DesktopHost::setScreen(Screen screen)
{
    if (screen_ == screen)
        return;
    screen_ = screen;
    screenObservers_.notify();
}

void DesktopHost::setWebWorkspace(std::shared_ptr<WebWorkspace> workspace)
{
    if (workspace == webWorkspace_)
        return;
    auto previous = std::exchange(webWorkspace_, std::move(workspace));
    webWorkspaceObservers_.notify();
    // The previous workspace may be the one whose exit brought us here, still
    // on the stack: let it go only once the current call has unwound.
    if (previous)
        main_.post([previous = std::move(previous)] {});
}

void DesktopHost::didVerify(DesktopLoginSession session, std::shared_ptr<WebsiteDataStore> store)
{
    // A second sign-in while one is shown must not hand its browser storage
    // to the current account's web workspaces.
    if (screen_ == Screen::workspace)
        return;
    verifiedStore_ = std::move(store);
    didAuthenticate(std::move(session));
}

void DesktopHost::didAuthenticate(DesktopLoginSession session)
{
    if (screen_ == Screen::workspace)
        return;
    session_ = std::move(session);
    setScreen(Screen::workspace);
}

void DesktopHost::signOut()
{
    stopWebWorkspace();
    verifiedStore_.reset();
    session_.reset();
    workspaceWeb_.reset();
    setScreen(Screen::authentication);
}

void DesktopHost::stopWebWorkspace()
{
    if (webWorkspace_)
        webWorkspace_->stop();
    setWebWorkspace(nullptr);
}

void DesktopHost::closeWebWorkspace()
{
    stopWebWorkspace();
    if (auto view = workspaceWeb())
        view->evaluateScript("salesDesk.invalidate(); if(salesDesk.isPage(destination))navigate(destination,false)");
}

DesktopAppearance DesktopHost::savedAppearance() const
{
    return korvid::savedAppearance(settings_);
}

}
