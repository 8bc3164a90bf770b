#pragma once

#include "driver/DriverProcess.h"
#include "base/Json.h"

#include <cstdint>
#include <string>

namespace korvid {

// Reads the driver's replies by id from its output, one JSON message per
// line. One buffer serves every reply of a call, so lines that arrive
// together with an earlier reply are not lost.
class DriverReplyReader {
public:
    DriverReplyReader(DriverProcess& process, DriverProcess::Clock::time_point deadline);

    // The "result" object of the reply with this id. Skips lines that are not
    // objects or carry another id; throws DesktopError for a line that is not
    // JSON, for a refusal, and when the output ends, stalls past the deadline
    // or grows past the cap without a line feed.
    Json resultFor(std::int64_t id);

private:
    bool takeLine(std::string& line);

    DriverProcess& process_;
    DriverProcess::Clock::time_point deadline_;
    std::string buffer_;
    std::size_t start_ = 0;   // first unconsumed byte
    std::size_t scanned_ = 0; // bytes from start_ known to hold no line feed
};

}
