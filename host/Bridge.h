#pragma once

#include "host/Async.h"
#include "host/BridgeMessage.h"
#include "host/DesktopLoginSession.h"
#include "host/PageView.h"
#include "base/Json.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvid {

class DesktopHost;
class BridgeCall;

// What is checked before an operation's own work: a session token, an
// account and the body's "owner" equal to that account.
enum class Guard { none, signedInOwner };

// What must still hold after every suspension of the operation: the account
// it started for, that account with the same token, or the account and the
// view that posted it.
enum class Recheck { none, account, accountAndToken, accountAndView };

using BridgeHandler = std::function<Task<Json>(std::shared_ptr<BridgeCall>)>;

// One operation the page may ask for.
struct BridgeRow {
    std::string_view op;
    Guard guard = Guard::none;
    const char* guardMessage = nullptr;
    Recheck recheck = Recheck::none;
    const char* recheckMessage = nullptr;
    BridgeHandler handler;
};

// A handler that is a member function of the feature object that added it.
template <class Feature>
BridgeHandler memberHandler(Feature* feature, Task<Json> (Feature::*member)(std::shared_ptr<BridgeCall>))
{
    return [feature, member](std::shared_ptr<BridgeCall> call) { return (feature->*member)(std::move(call)); };
}

// One admitted page message on its way to its reply: the body, the view that
// posted it, the session as it was when the dispatch started, and the row's
// re-check, which every suspension of the handler goes through.
class BridgeCall {
public:
    BridgeCall(DesktopHost& host, const BridgeRow& row, Json body, std::weak_ptr<PageView> webView,
        DesktopLoginSession session)
        : body(std::move(body))
        , webView(std::move(webView))
        , session(std::move(session))
        , host_(host)
        , row_(row)
    {
    }

    // Throws the row's message unless what the row re-checks still holds.
    void recheck() const;

    // Awaits `work`, then re-checks before its value is used: whatever the
    // work learned reaches the page only for the session it started for. A
    // failure of the work itself is passed on as it is.
    template <class Awaitable> auto checked(Awaitable work) { return Checked<Awaitable> { std::move(work), *this }; }

    // Awaits `work` without the re-check, for a handler that decides itself
    // when to re-check (a cancelled chooser answers as cancelled). The only
    // other way to suspend, so skipping the re-check is always written down.
    template <class Awaitable> Awaitable unchecked(Awaitable work) { return work; }

    const Json body;
    const std::weak_ptr<PageView> webView;
    const DesktopLoginSession session;

private:
    template <class Awaitable> struct Checked {
        Awaitable work;
        const BridgeCall& call;

        bool await_ready() { return work.await_ready(); }
        template <class Handle> auto await_suspend(Handle handle) { return work.await_suspend(handle); }
        auto await_resume()
        {
            if constexpr (std::is_void_v<decltype(work.await_resume())>) {
                work.await_resume();
                call.recheck();
            } else {
                auto value = work.await_resume();
                call.recheck();
                return value;
            }
        }
    };

    DesktopHost& host_;
    const BridgeRow& row_;
};

// The page bridge: the gate every message passes, the registry of
// operations, the dispatch and exactly one reply per message. Features add
// their rows; the bridge knows none of them.
//
// Everything runs on the main thread. Handlers resume through `resume()`, so
// none runs once the bridge is gone; the bridge must go before the host it
// serves. Operations still waiting when it goes (a service that has not
// answered) are freed with it, and their messages answered as unfinished.
class Bridge {
public:
    explicit Bridge(DesktopHost& host);
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Adds one operation; an op added twice is a programming error
    // (std::logic_error).
    void add(BridgeRow row);

    // Gate and dispatch of one page message. The reply is called exactly
    // once on the main thread: before this returns for a refused message or
    // an operation that finishes without suspending, later otherwise.
    void receive(BridgeMessage message);

    // The operations the bridge answers, in the order they were added.
    std::vector<std::string> operationNames() const;

    DesktopHost& host() { return host_; }
    Executor& resume() { return resume_; }

private:
    const BridgeRow* find(const std::string& op) const;
    bool admits(const BridgeMessage& message) const;
    Task<Json> dispatch(std::string op, Json body, std::weak_ptr<PageView> webView);

    DesktopHost& host_;
    OwnedExecutor resume_;
    // A deque: the calls in flight point at their rows.
    std::deque<BridgeRow> rows_;
};

}
