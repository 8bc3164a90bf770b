#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace korvid {

// One driver child: standard input and output are pipes held here, standard
// error is the null device. The destructor closes both pipes, terminates the
// child if it is still running (SIGTERM, then SIGKILL after a short grace)
// and reaps it, so no path leaves a zombie or an open descriptor.
class DriverProcess {
public:
    using Clock = std::chrono::steady_clock;

    // Throws DesktopError when the child cannot be started.
    DriverProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
        const std::vector<std::string>& environment);
    ~DriverProcess();
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    // Writes every byte to the child's input. Returns false when the deadline
    // passed first; throws DesktopError when the pipe fails (the child closed it).
    bool write(std::string_view bytes, Clock::time_point deadline);

    enum class ReadResult { data, ended, timedOut };
    // Appends whatever output is available (at most `limit` bytes), waiting
    // until the deadline for some.
    ReadResult read(std::string& buffer, std::size_t limit, Clock::time_point deadline);

    void closeInput();
    // Closes both pipes, stops the child if needed and reaps it. Idempotent.
    void finish();

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

}
