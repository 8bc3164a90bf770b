#pragma once

#include "host/DesktopLoginSession.h"
#include "base/Executor.h"
#include "base/Uuid.h"
#include "signin/LoginWebView.h"
#include "base/MainTimers.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// The sign-in controller: loads the service's sign-in page, dresses it, waits
// until it shows, polls it for the stored token, has the token verified and
// hands the session over once. Main thread only; failures become `phase`.
class LoginActions : public std::enable_shared_from_this<LoginActions> {
public:
    struct Phase {
        enum class Kind { loading, ready, verifying, failed, verificationFailed };
        Kind kind = Kind::loading;
        std::string message; // for failed and verificationFailed only

        static Phase loading() { return { Kind::loading, {} }; }
        static Phase ready() { return { Kind::ready, {} }; }
        static Phase verifying() { return { Kind::verifying, {} }; }
        static Phase failed(std::string text) { return { Kind::failed, std::move(text) }; }
        static Phase verificationFailed(std::string text) { return { Kind::verificationFailed, std::move(text) }; }
        bool operator==(const Phase&) const = default;
    };

    // Each asynchronous operation answers exactly once: a value, or the
    // failure's sentence.
    using PrepareDone = std::function<void(std::optional<std::string> url, std::string error)>;
    using Prepare = std::function<void(PrepareDone)>;
    using VerifyDone = std::function<void(std::optional<DesktopLoginSession> session, std::string error)>;
    using Verify = std::function<void(const std::string& token, VerifyDone)>;
    using OnVerified = std::function<void(const DesktopLoginSession&)>;

    // Where the controller runs: its main-thread executor and timers, and the
    // folder holding "login.css".
    struct Environment {
        Executor& main;
        MainTimers& timers;
        std::filesystem::path resources;
    };

    static constexpr std::chrono::seconds kLoadTimeout { 20 };
    static constexpr std::chrono::milliseconds kProbeInterval { 250 };
    static constexpr int kProbeMissLimit = 32;

    static std::shared_ptr<LoginActions> make(std::shared_ptr<LoginWebView> browser, Prepare prepare, Verify verify,
        OnVerified onVerified, Environment environment);
    ~LoginActions();

    const std::shared_ptr<LoginWebView>& browser() const { return browser_; }
    const Phase& phase() const { return phase_; }
    const std::optional<std::string>& origin() const { return origin_; }
    bool finished() const { return !onVerified_; }

    // Observers run after each change of `phase`. Returns an id for removal.
    std::size_t observePhase(std::function<void(const Phase&)> observer);
    void removePhaseObserver(std::size_t id);

    void start();
    void cancel();
    void retryVerification();
    void signInAgain();

    // Navigation callbacks of the browser's main frame.
    void didStartProvisionalNavigation(NavigationID navigation);
    // Answers whether a response may be shown.
    bool decideResponse(bool mainFrame, std::optional<int> httpStatus);
    void didFinish(NavigationID navigation);
    void didFailProvisionalNavigation(NavigationID navigation, int code) { navigationFailed(navigation, code); }
    void didFail(NavigationID navigation, int code) { navigationFailed(navigation, code); }
    void webContentProcessDidTerminate();

private:
    struct ProbeLoop;

    LoginActions(std::shared_ptr<LoginWebView> browser, Prepare prepare, Verify verify, OnVerified onVerified,
        Environment environment);

    void setPhase(Phase phase);
    void applyAppearance(const std::string& url);
    void startDeadline();
    void fail(std::string message);
    void cancelWatcher();
    void beginProbe(NavigationID navigation);
    void probe(const std::shared_ptr<ProbeLoop>& loop);
    bool loopCurrent(const ProbeLoop& loop) const;
    void probeAnswered(const std::shared_ptr<ProbeLoop>& loop, const std::optional<Json>& answer);
    void verifySession(const std::string& token, std::shared_ptr<ProbeLoop> loop);
    void navigationFailed(NavigationID navigation, int code);

    std::shared_ptr<LoginWebView> browser_;
    Prepare prepare_;
    Verify verify_;
    std::optional<std::string> origin_;
    Uuid attempt_;
    NavigationID navigation_ = 0;
    TimerHandle deadline_;
    OnVerified onVerified_;
    Phase phase_ = Phase::loading();
    std::shared_ptr<ProbeLoop> watcher_;

    Environment environment_;
    std::vector<std::pair<std::size_t, std::function<void(const Phase&)>>> observers_;
    std::size_t nextObserver_ = 1;
};

}
