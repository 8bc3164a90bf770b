#include "app/tests/LocalServiceProcess.h"

#include "base/Bundle.h"

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvid::testing {

LocalServiceProcess::LocalServiceProcess(const std::filesystem::path& data, const std::vector<std::string>& extra)
{
    auto binary = executableFolder() / "korvid-service";
    if (!std::filesystem::exists(binary))
        return;
    int out[2];
    if (pipe(out) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> arguments { binary.string(), "--port", "0", "--data", data.string() };
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // The service prints "listening on <origin>" once it accepts connections.
    std::string line;
    char c;
    while (pid_ && read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(out[0]);
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) == 0)
        origin = line.substr(prefix.size());
}

LocalServiceProcess::~LocalServiceProcess()
{
    if (pid_) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

}
