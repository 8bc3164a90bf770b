#include "driver/DriverReplyReader.h"

#include "driver/DesktopDriver.h"
#include "driver/DriverRefusal.h"
#include "base/DesktopError.h"

#include <cstring>

namespace korvid {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

}

DriverReplyReader::DriverReplyReader(DriverProcess& process, DriverProcess::Clock::time_point deadline)
    : process_(process)
    , deadline_(deadline)
{
}

bool DriverReplyReader::takeLine(std::string& line)
{
    const char* from = buffer_.data() + start_ + scanned_;
    std::size_t unscanned = buffer_.size() - start_ - scanned_;
    const void* feed = unscanned ? std::memchr(from, '\n', unscanned) : nullptr;
    if (!feed) {
        scanned_ += unscanned;
        return false;
    }
    std::size_t end = static_cast<std::size_t>(static_cast<const char*>(feed) - buffer_.data());
    line.assign(buffer_, start_, end - start_);
    start_ = end + 1;
    scanned_ = 0;
    return true;
}

Json DriverReplyReader::resultFor(std::int64_t id)
{
    std::string line;
    for (;;) {
        while (takeLine(line)) {
            Json message = parseJson(line);
            if (!message.is_object())
                continue;
            auto messageID = integerAt(message, "id");
            if (!messageID || *messageID != id)
                continue;
            const Json* result = objectAt(message, "result");
            if (result && booleanAt(*result, "isError") != true)
                return *result;
            throw DesktopError(driverRefusal(message));
        }
        // Drop consumed bytes before reading more, so the buffer holds only
        // the unconsumed output the cap is about.
        buffer_.erase(0, start_);
        start_ = 0;
        auto outcome = process_.read(buffer_, kReadChunk, deadline_);
        if (outcome != DriverProcess::ReadResult::data || buffer_.size() > DesktopDriver::kOutputCap)
            throw DesktopError(DesktopDriver::kTimeoutMessage);
    }
}

}
