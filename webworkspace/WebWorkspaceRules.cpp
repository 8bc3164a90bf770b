#include "webworkspace/WebWorkspaceRules.h"

#include "base/PercentEncoding.h"

#include <charconv>

namespace korvid::webworkspace {

namespace {

bool isSchemeCharacter(char c, bool first)
{
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first)
        return letter;
    return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// A fragment keeps path characters, "/" and "?"; everything else, "#" and
// "%" included, is encoded, so the route arrives as written.
bool isFragmentCharacter(unsigned char c)
{
    return isUrlUnreservedOrIn(c, "!$&'()*+,;=:@/?");
}

// Inside a query name or value; "&", "=", "+" and "#" are encoded so that an
// id holding them reads back unchanged, and "'" because the web view encodes
// it in the frame's URL, which must equal the entry for the exits to work.
bool isQueryCharacter(unsigned char c)
{
    return isUrlUnreservedOrIn(c, "!$()*,:@/?");
}

struct ParsedURL {
    std::string_view scheme;
    std::optional<std::string_view> authority;
    std::string_view path;
    std::optional<std::string_view> query;
    std::optional<std::string_view> fragment;
};

std::optional<ParsedURL> parse(std::string_view url)
{
    std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    for (std::size_t i = 0; i < colon; ++i)
        if (!isSchemeCharacter(url[i], i == 0))
            return std::nullopt;
    ParsedURL parsed;
    parsed.scheme = url.substr(0, colon);
    std::string_view rest = url.substr(colon + 1);
    if (std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        parsed.fragment = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
    }
    if (std::size_t question = rest.find('?'); question != std::string_view::npos) {
        parsed.query = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        std::size_t slash = rest.find('/');
        parsed.authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    parsed.path = rest;
    return parsed;
}

}

std::optional<SiteParts> siteParts(std::string_view url)
{
    auto parsed = parse(url);
    if (!parsed)
        return std::nullopt;
    SiteParts parts;
    parts.scheme = std::string(parsed->scheme);
    if (!parsed->authority)
        return parts;
    std::string_view authority = *parsed->authority;
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host = authority;
    std::optional<std::string_view> port;
    if (authority.starts_with('[')) {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = authority.substr(0, close + 1);
        std::string_view after = authority.substr(close + 1);
        if (after.starts_with(':'))
            port = after.substr(1);
        else if (!after.empty())
            return std::nullopt;
    } else if (std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (!host.empty())
        parts.host = std::string(host);
    if (port && !port->empty()) {
        int value = 0;
        auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), value);
        if (error != std::errc() || end != port->data() + port->size() || value < 0 || value > 65535)
            return std::nullopt;
        parts.port = value;
    }
    return parts;
}

bool sameSite(std::string_view origin, std::string_view url)
{
    auto reference = siteParts(origin);
    auto candidate = siteParts(url);
    return reference && candidate && *reference == *candidate;
}

std::optional<Entry> entryFor(std::string_view origin, std::string_view route,
    const std::optional<std::string>& companyID, const std::optional<std::string>& snapshotID,
    const std::optional<std::string>& batchID)
{
    auto parsed = parse(origin);
    if (!parsed || !parsed->authority || parsed->authority->empty() || !siteParts(origin))
        return std::nullopt;
    Entry entry;
    entry.url = std::string(parsed->scheme) + "://" + std::string(*parsed->authority);
    if (companyID) {
        entry.url += "/desktop-company.html?company=";
        appendPercentEncoded(entry.url, *companyID, isQueryCharacter);
        entry.signedResource = "Company";
    } else if (snapshotID) {
        entry.url += "/desktop-wechat-review.html?snapshot=";
        appendPercentEncoded(entry.url, *snapshotID, isQueryCharacter);
        entry.url += "&batch";
        if (batchID) {
            entry.url += '=';
            appendPercentEncoded(entry.url, *batchID, isQueryCharacter);
        }
        entry.signedResource = "WechatReview";
    } else {
        entry.url += "/index.html";
        if (parsed->query) {
            entry.url += '?';
            entry.url += *parsed->query;
        }
        entry.url += '#';
        appendPercentEncoded(entry.url, route, isFragmentCharacter);
    }
    return entry;
}

bool isExitURL(std::string_view url)
{
    auto parts = siteParts(url);
    return parts && (parts->scheme == kCompanyScheme || parts->scheme == kReviewScheme);
}

NavigationVerdict decideNavigation(std::string_view origin, const NavigationAction& action)
{
    if (!action.url)
        return NavigationVerdict::cancel;
    const std::string& url = *action.url;
    auto parts = siteParts(url);
    std::string_view scheme = parts && parts->scheme ? std::string_view(*parts->scheme) : std::string_view();
    if (scheme == kReviewScheme || scheme == kCompanyScheme)
        return NavigationVerdict::exitLink;

    bool sameSiteBlob = scheme == "blob" && sameSite(origin, std::string_view(url).substr(5));
    bool onSite = sameSite(origin, url);
    if (action.asksDownload && (onSite || sameSiteBlob))
        return NavigationVerdict::download;
    if (onSite)
        return action.target == FrameTarget::newWindow ? NavigationVerdict::loadInPlace : NavigationVerdict::allow;
    // Frame content the page makes itself. A target WebKit does not name may
    // still be the main frame: the response check refuses such a page there.
    bool intoFrame = action.target == FrameTarget::subframe || action.target == FrameTarget::unknown;
    if ((scheme == "about" || sameSiteBlob) && intoFrame)
        return NavigationVerdict::allow;
    if (action.type == NavigationType::linkActivated && (scheme == "https" || scheme == "http" || scheme == "mailto"))
        return NavigationVerdict::openExternally;
    return NavigationVerdict::cancel;
}

Exit exitFor(
    std::string_view url, const ExitSource& source, std::string_view entry, bool hasCompanyExit, bool hasReviewExit)
{
    auto parts = siteParts(url);
    if (!parts || !source.isMainFrame || source.frameURL != entry)
        return {};
    std::string host = parts->host.value_or("");
    if (parts->scheme == kReviewScheme) {
        if (hasReviewExit && (host == "imports" || host == "customers"))
            return { ExitKind::review, host };
        return {};
    }
    if (parts->scheme == kCompanyScheme && hasCompanyExit) {
        if (host == "close")
            return { ExitKind::companyClose, {} };
        if (host == "minutes")
            return { ExitKind::companyMinutes, {} };
        if (host == "logout")
            return { ExitKind::logout, {} };
    }
    return {};
}

bool isAttachment(std::string_view contentDisposition)
{
    std::size_t start = contentDisposition.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return false;
    constexpr std::string_view kAttachment = "attachment";
    std::string_view value = contentDisposition.substr(start);
    if (value.size() < kAttachment.size())
        return false;
    for (std::size_t i = 0; i < kAttachment.size(); ++i) {
        char c = value[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kAttachment[i])
            return false;
    }
    return true;
}

ResponseDecision decideResponse(std::string_view origin, const Response& response)
{
    // The navigation policy cannot tell a main-frame target from a subframe
    // one; a page of another site (about:, a blob) is never the workspace's
    // page.
    if (response.isMainFrame && !sameSite(origin, response.url))
        return { ResponseVerdict::cancel, std::nullopt };
    if (response.httpStatus && response.isMainFrame && *response.httpStatus > 399)
        return { ResponseVerdict::cancel, "打开网页工作区失败（HTTP " + std::to_string(*response.httpStatus) + "）。" };
    if (response.httpStatus && response.contentDisposition && isAttachment(*response.contentDisposition))
        return { ResponseVerdict::download, std::nullopt };
    return { response.canShowMimeType ? ResponseVerdict::allow : ResponseVerdict::download, std::nullopt };
}

bool acceptsSignOut(std::string_view origin, bool fromMainFrame, const std::optional<std::string>& mainFrameURL)
{
    return fromMainFrame && mainFrameURL && sameSite(origin, *mainFrameURL);
}

}
