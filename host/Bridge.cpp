#include "host/Bridge.h"

#include "host/DesktopHost.h"
#include "base/DesktopError.h"

#include <stdexcept>

namespace korvid {

namespace {

// Calls the page's reply exactly once: a value, an error, or — if the
// dispatch was abandoned without either — an error saying so.
class ReplyOnce {
public:
    explicit ReplyOnce(BridgeReply reply)
        : reply_(std::move(reply))
    {
    }
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

}

void BridgeCall::recheck() const
{
    bool same = true;
    switch (row_.recheck) {
    case Recheck::none:
        return;
    case Recheck::accountAndView: {
        auto sender = webView.lock();
        same = sender && sender == host_.workspaceWeb();
        [[fallthrough]];
    }
    case Recheck::account:
        same = same && host_.accountID() == session.id;
        break;
    case Recheck::accountAndToken:
        same = host_.accountID() == session.id && host_.sessionToken() == session.token;
        break;
    }
    if (!same)
        throw DesktopError(row_.recheckMessage);
}

Bridge::Bridge(DesktopHost& host)
    : host_(host)
    , resume_(host.mainExecutor())
{
}

void Bridge::add(BridgeRow row)
{
    if (find(std::string(row.op)))
        throw std::logic_error("bridge operation added twice: " + std::string(row.op));
    rows_.push_back(std::move(row));
}

const BridgeRow* Bridge::find(const std::string& op) const
{
    for (const auto& row : rows_)
        if (row.op == op)
            return &row;
    return nullptr;
}

std::vector<std::string> Bridge::operationNames() const
{
    std::vector<std::string> names;
    names.reserve(rows_.size());
    for (const auto& row : rows_)
        names.emplace_back(row.op);
    return names;
}

bool Bridge::admits(const BridgeMessage& message) const
{
    if (host_.screen() != Screen::workspace)
        return false;
    auto sender = message.webView.lock();
    if (!sender || sender != host_.workspaceWeb())
        return false;
    if (!message.isMainFrame)
        return false;
    if (message.frameURL != host_.desktopPageURL())
        return false;
    return message.body.is_object() && stringAt(message.body, "op").has_value();
}

void Bridge::receive(BridgeMessage message)
{
    auto reply = std::make_shared<ReplyOnce>(std::move(message.reply));
    if (!admits(message)) {
        reply->error("无效请求");
        return;
    }
    std::string op = message.body["op"].get<std::string>();
    // Started here, not from the executor's queue: a turn of the main loop
    // between the gate and the dispatch only adds to every round trip. The
    // operation runs up to its first suspension before this returns, so a
    // quick one has replied by then. It belongs to the bridge like a spawned
    // task: if the bridge goes first, it is destroyed where it waits.
    detail::runDetached(
        dispatch(std::move(op), std::move(message.body), std::move(message.webView)),
        [reply](std::optional<Json> value, std::exception_ptr error) {
            if (error)
                reply->error(describe(error));
            else
                reply->value(std::move(*value));
        },
        resume_.roots());
}

Task<Json> Bridge::dispatch(std::string op, Json body, std::weak_ptr<PageView> webView)
{
    {
        // Not held across the operation: a view the shell lets go must be
        // seen as gone by the re-checks.
        auto sender = webView.lock();
        if (host_.screen() != Screen::workspace || !sender || sender != host_.workspaceWeb() || !host_.session())
            throw DesktopError("请重新登录。");
    }
    const BridgeRow* row = find(op);
    if (!row)
        throw DesktopError("不支持的操作。");
    if (row->guard == Guard::signedInOwner) {
        auto owner = stringAt(body, "owner");
        if (!host_.sessionToken() || !host_.accountID() || !owner || *owner != *host_.accountID())
            throw DesktopError(row->guardMessage);
    }
    auto call = std::make_shared<BridgeCall>(host_, *row, std::move(body), std::move(webView), *host_.session());
    co_return co_await row->handler(std::move(call));
}

}
