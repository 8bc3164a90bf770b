#pragma once

#include "base/Json.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvid {

// What the host needs of a web view the shell creates. All calls happen on
// the main thread.
class PageView {
public:
    virtual ~PageView() = default;

    // Runs a script in the page; fire and forget.
    virtual void evaluateScript(const std::string& script) = 0;

    // Runs `body` as an asynchronous function in the page's content world;
    // each key of `arguments` (an object) becomes a local variable of the body.
    // The result is ignored.
    virtual void callAsyncFunction(const std::string& body, const Json& arguments) = 0;

    // The X11 id of the view's toplevel window; none while the view is not in
    // a mapped window.
    virtual std::optional<std::uint64_t> windowID() const = 0;
};

}
