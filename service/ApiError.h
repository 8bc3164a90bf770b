#pragma once

#include <exception>
#include <string>
#include <utility>

namespace korvid {

// A refusal of one request: the HTTP status and the {"code", "message"}
// object the client reads. `message` is a Chinese sentence shown as it is.
class ApiError : public std::exception {
public:
    ApiError(int status, std::string code, std::string message)
        : status(status)
        , code(std::move(code))
        , message(std::move(message))
    {
    }
    const char* what() const noexcept override { return message.c_str(); }

    int status;
    std::string code;
    std::string message;
};

inline ApiError recordNotFound()
{
    return ApiError(404, "record_not_found", "没有找到这条记录。");
}

}
