#pragma once

#include "base/Json.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace korvid {

// Identity of one main-frame navigation; 0 means none.
using NavigationID = std::uint64_t;

// The code of a load that was cancelled (by a newer load or a stop); such
// failures are never shown.
inline constexpr int kCancelledLoadCode = -999;

// What the sign-in controller needs of its web view. WebKit provides it in the
// application; a stand-in drives the controller in tests.
class LoginWebView {
public:
    using EvaluationDone = std::function<void(std::optional<Json> value, std::optional<std::string> error)>;

    virtual ~LoginWebView() = default;

    virtual void stopLoading() = 0;
    // Loads `url` bypassing the local cache; the returned identity is the one
    // the navigation callbacks report for this load.
    virtual NavigationID load(const std::string& url, std::chrono::seconds timeout) = 0;
    // Drops every user script and adds `source`, run at document end in all
    // frames of a script world of our own, apart from the page's scripts.
    virtual void replaceUserScripts(const std::string& source) = 0;
    // Runs `body` as an async function in the main frame with `arguments`'
    // keys as local variables, in the same world as the user scripts.
    virtual void evaluateAsyncFunction(const std::string& body, const Json& arguments, EvaluationDone done) = 0;
    // Removes every kind of website data, then calls `done`.
    virtual void removeAllWebsiteData(std::function<void()> done) = 0;
};

}
