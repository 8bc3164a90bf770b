#include "signin/LoginActions.h"

#include "base/BearerToken.h"
#include "base/DesktopError.h"
#include "base/Text.h"
#include "signin/LoginScripts.h"

#include <fstream>
#include <sstream>

namespace korvid {

namespace {

const char* const kMissingStyle = "桌面登录资源缺失，请重新打开最新版 Korvid。";
const char* const kUnreadableStyle = "桌面登录资源无法读取，请重新打开最新版 Korvid。";
const char* const kTimedOut = "登录页加载超时，请检查服务连接后重试。";
const char* const kBlankPage = "登录页没有显示内容，请重新加载。";
const char* const kLocalServiceDown = "无法连接本机体验服务，请重新加载。";
const char* const kServiceUnreachable = "无法打开 Korvid 登录页，请检查网络连接后重试。";
const char* const kProcessEnded = "登录页面已中断，请重新加载。";
const char* const kUnverifiableAccount = "无法确认目标账号。";

// The host part of an absolute URL ("scheme://[user@]host[:port]/..."),
// without brackets for IPv6 literals; empty when there is none.
std::string hostOf(const std::string& url)
{
    auto scheme = url.find("://");
    if (scheme == std::string::npos)
        return {};
    auto start = scheme + 3;
    auto end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (auto at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        return close == std::string::npos ? std::string {} : authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

}

struct LoginActions::ProbeLoop {
    NavigationID navigation = 0;
    bool cancelled = false;
    int misses = 0;
    TimerHandle sleep;

    void cancel()
    {
        cancelled = true;
        sleep.cancel();
    }
};

std::shared_ptr<LoginActions> LoginActions::make(std::shared_ptr<LoginWebView> browser, Prepare prepare, Verify verify,
    OnVerified onVerified, Environment environment)
{
    return std::shared_ptr<LoginActions>(new LoginActions(
        std::move(browser), std::move(prepare), std::move(verify), std::move(onVerified), std::move(environment)));
}

LoginActions::LoginActions(std::shared_ptr<LoginWebView> browser, Prepare prepare, Verify verify, OnVerified onVerified,
    Environment environment)
    : browser_(std::move(browser))
    , prepare_(std::move(prepare))
    , verify_(std::move(verify))
    , attempt_(Uuid::random())
    , onVerified_(std::move(onVerified))
    , environment_(std::move(environment))
{
}

LoginActions::~LoginActions()
{
    deadline_.cancel();
    cancelWatcher();
}

std::size_t LoginActions::observePhase(std::function<void(const Phase&)> observer)
{
    observers_.emplace_back(nextObserver_, std::move(observer));
    return nextObserver_++;
}

void LoginActions::removePhaseObserver(std::size_t id)
{
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void LoginActions::setPhase(Phase phase)
{
    if (phase_ == phase)
        return;
    phase_ = std::move(phase);
    // An observer may remove itself (or the view may go) while being told.
    auto observers = observers_;
    for (auto& [id, observer] : observers)
        observer(phase_);
}

void LoginActions::start()
{
    auto attempt = Uuid::random();
    attempt_ = attempt;
    deadline_.cancel();
    cancelWatcher();
    navigation_ = 0;
    browser_->stopLoading();
    setPhase(Phase::loading());

    std::weak_ptr<LoginActions> weak = weak_from_this();
    environment_.main.post([weak, attempt] {
        auto self = weak.lock();
        if (!self)
            return;
        self->prepare_([weak, attempt](std::optional<std::string> url, std::string error) {
            auto self = weak.lock();
            if (!self || self->attempt_ != attempt || !self->onVerified_)
                return;
            if (!url) {
                self->setPhase(Phase::failed(std::move(error)));
                return;
            }
            self->origin_ = *url;
            try {
                self->applyAppearance(*url);
            } catch (...) {
                self->setPhase(Phase::failed(describe(std::current_exception())));
                return;
            }
            self->navigation_ = self->browser_->load(*url, kLoadTimeout);
            self->startDeadline();
        });
    });
}

void LoginActions::applyAppearance(const std::string& url)
{
    auto path = environment_.resources / "login.css";
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw DesktopError(kMissingStyle);
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file || !isValidUtf8(text.str()))
        throw DesktopError(kUnreadableStyle);
    browser_->replaceUserScripts(loginStyleScript(url, text.str()));
}

void LoginActions::startDeadline()
{
    deadline_.cancel();
    std::weak_ptr<LoginActions> weak = weak_from_this();
    deadline_ = environment_.timers.after(kLoadTimeout, [weak] {
        auto self = weak.lock();
        if (!self || self->phase_.kind != Phase::Kind::loading)
            return;
        self->fail(kTimedOut);
        self->browser_->stopLoading();
    });
}

void LoginActions::fail(std::string message)
{
    deadline_.cancel();
    cancelWatcher();
    setPhase(Phase::failed(std::move(message)));
}

void LoginActions::cancelWatcher()
{
    if (watcher_)
        watcher_->cancel();
}

void LoginActions::didStartProvisionalNavigation(NavigationID navigation)
{
    if (!onVerified_)
        return;
    cancelWatcher();
    navigation_ = navigation;
    setPhase(Phase::loading());
    startDeadline();
}

bool LoginActions::decideResponse(bool mainFrame, std::optional<int> httpStatus)
{
    if (mainFrame && httpStatus && *httpStatus > 399) {
        fail("登录服务返回 HTTP " + std::to_string(*httpStatus) + "，请稍后重试。");
        return false;
    }
    return true;
}

void LoginActions::didFinish(NavigationID navigation)
{
    if (navigation != navigation_ || phase_.kind != Phase::Kind::loading)
        return;
    beginProbe(navigation);
}

void LoginActions::beginProbe(NavigationID navigation)
{
    cancelWatcher();
    auto loop = std::make_shared<ProbeLoop>();
    loop->navigation = navigation;
    watcher_ = loop;
    if (!origin_)
        return;
    // The loop starts as its own task, after the callback that began it.
    std::weak_ptr<LoginActions> weak = weak_from_this();
    environment_.main.post([weak, loop] {
        if (auto self = weak.lock())
            self->probe(loop);
    });
}

bool LoginActions::loopCurrent(const ProbeLoop& loop) const
{
    return !loop.cancelled && navigation_ == loop.navigation && onVerified_;
}

void LoginActions::probe(const std::shared_ptr<ProbeLoop>& loop)
{
    if (!loopCurrent(*loop))
        return;
    std::weak_ptr<LoginActions> weak = weak_from_this();
    browser_->evaluateAsyncFunction(loginProbeScript(), Json { { "expected", *origin_ } },
        [weak, loop](std::optional<Json> value, std::optional<std::string>) {
            if (auto self = weak.lock())
                self->probeAnswered(loop, value);
        });
}

void LoginActions::probeAnswered(const std::shared_ptr<ProbeLoop>& loop, const std::optional<Json>& answer)
{
    if (!loopCurrent(*loop))
        return;
    bool isObject = answer && answer->is_object();
    if (isObject) {
        auto token = stringAt(*answer, "token");
        if (token && !token->empty()) {
            verifySession(*token, loop);
            return;
        }
    }
    if (phase_.kind == Phase::Kind::loading) {
        if (isObject && booleanAt(*answer, "visible") == true) {
            deadline_.cancel();
            setPhase(Phase::ready());
        } else if (++loop->misses >= kProbeMissLimit) {
            fail(kBlankPage);
            return;
        }
    }
    // The sleeping timer holds the loop weakly: the loop owns the timer, and
    // a loop nobody watches any more just ends.
    std::weak_ptr<LoginActions> weak = weak_from_this();
    std::weak_ptr<ProbeLoop> weakLoop = loop;
    loop->sleep = environment_.timers.after(kProbeInterval, [weak, weakLoop] {
        auto self = weak.lock();
        auto loop = weakLoop.lock();
        if (self && loop)
            self->probe(loop);
    });
}

void LoginActions::verifySession(const std::string& token, std::shared_ptr<ProbeLoop> loop)
{
    auto attempt = attempt_;
    deadline_.cancel();
    // A token that could not stand in a request header is never sent: the
    // page that stored it is refused as a token the service did not accept.
    if (!isUsableBearerToken(token)) {
        setPhase(Phase::verificationFailed(kUnverifiableAccount));
        return;
    }
    setPhase(Phase::verifying());
    std::weak_ptr<LoginActions> weak = weak_from_this();
    verify_(token, [weak, attempt, loop](std::optional<DesktopLoginSession> session, std::string error) {
        auto self = weak.lock();
        if (!self || self->attempt_ != attempt || self->phase_.kind != Phase::Kind::verifying || !self->onVerified_
            || loop->cancelled)
            return;
        if (session) {
            auto onVerified = std::move(self->onVerified_);
            self->onVerified_ = nullptr;
            onVerified(*session);
        } else {
            self->setPhase(Phase::verificationFailed(std::move(error)));
        }
    });
}

void LoginActions::retryVerification()
{
    if (phase_.kind != Phase::Kind::verificationFailed || navigation_ == 0)
        return;
    setPhase(Phase::loading());
    didFinish(navigation_);
}

void LoginActions::signInAgain()
{
    auto attempt = Uuid::random();
    attempt_ = attempt;
    cancelWatcher();
    setPhase(Phase::loading());
    std::weak_ptr<LoginActions> weak = weak_from_this();
    browser_->removeAllWebsiteData([weak, attempt] {
        auto self = weak.lock();
        if (self && self->attempt_ == attempt && self->onVerified_)
            self->start();
    });
}

void LoginActions::navigationFailed(NavigationID navigation, int code)
{
    if (navigation != navigation_ || phase_.kind != Phase::Kind::loading || code == kCancelledLoadCode)
        return;
    fail(origin_ && hostOf(*origin_) == "127.0.0.1" ? kLocalServiceDown : kServiceUnreachable);
}

void LoginActions::webContentProcessDidTerminate()
{
    fail(kProcessEnded);
}

void LoginActions::cancel()
{
    attempt_ = Uuid::random();
    deadline_.cancel();
    cancelWatcher();
    navigation_ = 0;
    browser_->stopLoading();
    onVerified_ = nullptr;
}

}
