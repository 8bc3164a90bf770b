#pragma once

#include <exception>
#include <string>
#include <utility>

namespace korvid {

// The one error type. `message` is a complete Simplified-Chinese sentence
// that the page or a view shows unchanged.
class DesktopError : public std::exception {
public:
    explicit DesktopError(std::string message)
        : message(std::move(message))
    {
    }
    const char* what() const noexcept override { return message.c_str(); }

    std::string message;
};

// The text a failure shows to the user. Library exceptions whose own text is
// English (JSON parser, std::filesystem, allocation) become a Chinese sentence
// naming the kind of failure, so no English ever reaches the page.
std::string describe(const std::exception_ptr& error);

}
