#include "driver/DriverProcess.h"

#include "driver/DesktopDriver.h"
#include "base/DesktopError.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvid {

namespace {

constexpr auto kTerminateGrace = std::chrono::milliseconds(500);

class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

void closeDescriptor(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int millisecondsUntil(DriverProcess::Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - DriverProcess::Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

std::vector<char*> pointers(const std::vector<std::string>& strings)
{
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (const auto& s : strings)
        result.push_back(const_cast<char*>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

// A write to a pipe whose reader has gone raises SIGPIPE, which would end
// the whole application. Keep it blocked on this thread for the write and
// swallow one that became pending.
class SigpipeBlock {
public:
    SigpipeBlock()
    {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
    }
    ~SigpipeBlock()
    {
        sigset_t pending;
        sigemptyset(&pending);
        if (!sigismember(&previous_, SIGPIPE) && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
            timespec zero {};
            sigtimedwait(&pipeOnly_, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t pipeOnly_;
    sigset_t previous_;
};

}

DriverProcess::DriverProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
    const std::vector<std::string>& environment)
{
    int inputPipe[2] = { -1, -1 };
    int outputPipe[2] = { -1, -1 };
    if (::pipe2(inputPipe, O_CLOEXEC) != 0)
        throw DesktopError(DesktopDriver::kStartFailedMessage);
    if (::pipe2(outputPipe, O_CLOEXEC) != 0) {
        closeDescriptor(inputPipe[0]);
        closeDescriptor(inputPipe[1]);
        throw DesktopError(DesktopDriver::kStartFailedMessage);
    }
    // Our ends never block: every wait goes through poll() with the deadline.
    ::fcntl(inputPipe[1], F_SETFL, O_NONBLOCK);
    ::fcntl(outputPipe[0], F_SETFL, O_NONBLOCK);

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, inputPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, outputPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Descriptors other code opened without close-on-exec stay here.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    // The calling thread may block signals (SIGPIPE during a write); the child
    // starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv { executable.string() };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto argvPointers = pointers(argv);
    auto envPointers = pointers(environment);
    pid_t child = -1;
    int spawned = ::posix_spawn(
        &child, executable.c_str(), &setup.actions, &setup.attributes, argvPointers.data(), envPointers.data());
    closeDescriptor(inputPipe[0]);
    closeDescriptor(outputPipe[1]);
    if (spawned != 0) {
        closeDescriptor(inputPipe[1]);
        closeDescriptor(outputPipe[0]);
        throw DesktopError(DesktopDriver::kStartFailedMessage);
    }
    pid_ = child;
    input_ = inputPipe[1];
    output_ = outputPipe[0];
}

DriverProcess::~DriverProcess()
{
    finish();
}

bool DriverProcess::write(std::string_view bytes, Clock::time_point deadline)
{
    if (input_ < 0)
        throw DesktopError(DesktopDriver::kWriteFailedMessage);
    SigpipeBlock block;
    while (!bytes.empty()) {
        ssize_t written = ::write(input_, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN)
            throw DesktopError(DesktopDriver::kWriteFailedMessage);
        pollfd wait { input_, POLLOUT, 0 };
        int ready = ::poll(&wait, 1, millisecondsUntil(deadline));
        if (ready == 0)
            return false;
        if (ready < 0 && errno != EINTR)
            throw DesktopError(DesktopDriver::kWriteFailedMessage);
    }
    return true;
}

DriverProcess::ReadResult DriverProcess::read(std::string& buffer, std::size_t limit, Clock::time_point deadline)
{
    if (output_ < 0)
        return ReadResult::ended;
    for (;;) {
        std::size_t before = buffer.size();
        buffer.resize(before + limit);
        ssize_t got = ::read(output_, buffer.data() + before, limit);
        buffer.resize(before + (got > 0 ? static_cast<std::size_t>(got) : 0));
        if (got > 0)
            return ReadResult::data;
        if (got == 0)
            return ReadResult::ended;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return ReadResult::ended;
        pollfd wait { output_, POLLIN, 0 };
        int ready = ::poll(&wait, 1, millisecondsUntil(deadline));
        if (ready == 0)
            return ReadResult::timedOut;
        if (ready < 0 && errno != EINTR)
            return ReadResult::ended;
    }
}

void DriverProcess::closeInput()
{
    closeDescriptor(input_);
}

void DriverProcess::finish()
{
    closeInput();
    closeDescriptor(output_);
    if (pid_ <= 0)
        return;
    int status = 0;
    pid_t child = pid_;
    pid_ = -1;
    if (::waitpid(child, &status, WNOHANG) == child)
        return;
    ::kill(child, SIGTERM);
    auto giveUp = Clock::now() + kTerminateGrace;
    auto pause = std::chrono::microseconds(200);
    while (Clock::now() < giveUp) {
        std::this_thread::sleep_for(pause);
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno == ECHILD))
            return;
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
    ::kill(child, SIGKILL);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

}
