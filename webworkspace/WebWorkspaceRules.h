#pragma once

#include <optional>
#include <string>
#include <string_view>

// The web workspace's decisions as plain functions of URLs, frames and
// headers: what to open, which navigations and responses to allow, and when a
// page may hand control back to the main page. The WebKit workspace calls
// these; nothing here knows about WebKit or GTK.
namespace korvid::webworkspace {

// Scheme, host and port of a URL, each absent when the URL has none.
struct SiteParts {
    std::optional<std::string> scheme;
    std::optional<std::string> host;
    std::optional<int> port;
    bool operator==(const SiteParts&) const = default;
};
// None when `url` has no scheme (it is not an absolute URL) or a port that
// is not a number.
std::optional<SiteParts> siteParts(std::string_view url);

// Whether `url` has the scheme, host and port of `origin` (each compared as
// an optional value, exact strings). Another port is another site.
bool sameSite(std::string_view origin, std::string_view url);

// What a workspace opens.
struct Entry {
    std::string url;
    // "Company", "WechatReview", or none for a route page.
    std::optional<std::string> signedResource;
};
// Company when `companyID` is given, else review when `snapshotID` is given,
// else the service's "/index.html" with `route` as its fragment. Query items
// and the fragment are percent-encoded. None when `origin` is not an
// absolute URL with an authority.
std::optional<Entry> entryFor(std::string_view origin, std::string_view route,
    const std::optional<std::string>& companyID, const std::optional<std::string>& snapshotID,
    const std::optional<std::string>& batchID);

// ---- Navigation actions ---------------------------------------------------

enum class NavigationType { linkActivated, formSubmitted, backForward, reload, formResubmitted, other };

// Where a navigation would load. WebKitGTK does not say whether a
// navigation's target is the main frame or a subframe (`unknown`); only a
// request for a new window is known to have no target frame.
enum class FrameTarget { newWindow, mainFrame, subframe, unknown };

struct NavigationAction {
    std::optional<std::string> url;
    bool asksDownload = false;
    FrameTarget target = FrameTarget::unknown;
    NavigationType type = NavigationType::other;
};

enum class NavigationVerdict {
    allow,
    cancel,
    download,
    // Cancel, and load the request in the workspace itself (a same-site
    // request for a new window).
    loadInPlace,
    // Cancel, and hand the URL to the default application.
    openExternally,
    // Cancel; the URL is one of the exit schemes, honoured only as
    // `exitFor` says for the frame that asked.
    exitLink,
};

NavigationVerdict decideNavigation(std::string_view origin, const NavigationAction& action);

// ---- Exits -----------------------------------------------------------------

inline constexpr std::string_view kCompanyScheme = "korvid-customer";
inline constexpr std::string_view kReviewScheme = "korvid-review";

bool isExitURL(std::string_view url);

// The frame an exit link was followed in, as its relay reports it.
struct ExitSource {
    bool isMainFrame = false;
    std::string frameURL;
};

enum class ExitKind { none, companyClose, companyMinutes, logout, review };
struct Exit {
    ExitKind kind = ExitKind::none;
    std::string route; // "imports" or "customers" for a review exit
    bool operator==(const Exit&) const = default;
};

// What an exit URL does: only from the main frame still at `entry`, and only
// for the kind of page that has that exit.
Exit exitFor(
    std::string_view url, const ExitSource& source, std::string_view entry, bool hasCompanyExit, bool hasReviewExit);

// ---- Responses ---------------------------------------------------------------

struct Response {
    std::string url;
    bool isMainFrame = false;
    std::optional<int> httpStatus; // none for responses that are not HTTP
    std::optional<std::string> contentDisposition;
    bool canShowMimeType = true;
};

enum class ResponseVerdict { allow, cancel, download };
struct ResponseDecision {
    ResponseVerdict verdict = ResponseVerdict::allow;
    std::optional<std::string> errorText;
    bool operator==(const ResponseDecision&) const = default;
};

ResponseDecision decideResponse(std::string_view origin, const Response& response);

// Whether a "Content-Disposition" value asks for an attachment, in any letter
// case.
bool isAttachment(std::string_view contentDisposition);

// ---- Sign-out ------------------------------------------------------------------

// The page's sign-out report counts only from the main frame of a page on
// the service's site.
bool acceptsSignOut(std::string_view origin, bool fromMainFrame, const std::optional<std::string>& mainFrameURL);

}
