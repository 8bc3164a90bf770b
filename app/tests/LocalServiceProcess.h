#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvid::testing {

// The local experience service as a child process, "korvid-service --port 0
// --data DIR [extra...]" from beside the test; stopped and reaped when this
// goes. `origin` stays empty when the service is not built or did not start.
class LocalServiceProcess {
public:
    LocalServiceProcess(const std::filesystem::path& data, const std::vector<std::string>& extra = {});
    ~LocalServiceProcess();
    LocalServiceProcess(const LocalServiceProcess&) = delete;
    LocalServiceProcess& operator=(const LocalServiceProcess&) = delete;

    std::string origin;

private:
    pid_t pid_ = 0;
};

}
