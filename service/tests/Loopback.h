#pragma once

// Plain sockets to 127.0.0.1 and korvid-service started as a child process,
// for the service's edge tests and for the tools that measure any build of
// the program: raw HTTP/1.1 that no client library would send, and nothing
// linked from the service itself. Header-only, so a tool needs no library.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace korvid::loopback {

using Clock = std::chrono::steady_clock;

// A socket connected to 127.0.0.1:port, or -1. `noDelay` sends each write
// at once instead of waiting for the peer's delayed ACK.
inline int connectTo(int port, bool noDelay = false)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        if (noDelay) {
            int yes = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        }
        return fd;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

// False once the peer has closed or reset the connection.
inline bool sendAll(int fd, std::string_view bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Appends the next bytes that arrive on `fd` (a socket or a pipe); false
// when nothing came by `deadline` or the other end has closed.
inline bool receiveSome(int fd, std::string& into, Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd polled { fd, POLLIN, 0 };
    if (left <= 0 || poll(&polled, 1, static_cast<int>(left)) <= 0)
        return false;
    char buffer[16384];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

// The status code of an HTTP/1.1 reply, or 0 when the text is not one.
inline int statusOf(std::string_view reply)
{
    if (reply.rfind("HTTP/1.1 ", 0) != 0 || reply.size() < 12)
        return 0;
    return std::stoi(std::string(reply.substr(9, 3)));
}

// The process's resident memory, or -1 when it cannot be read.
inline std::int64_t residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6));
    return -1;
}

// A program started with its standard output on a pipe; `pid` is -1 when
// it could not be started. The caller closes `out` either way.
struct Spawned {
    pid_t pid = -1;
    int out = -1;
};

inline Spawned spawnWithOutput(std::vector<std::string> arguments)
{
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    Spawned spawned;
    if (posix_spawn(&spawned.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        spawned.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    spawned.out = out[0];
    return spawned;
}

// A korvid-service binary (any build of it) on a free port with the given
// data folder, stopped with SIGTERM and reaped when this goes.
class ListeningService {
public:
    ListeningService(const std::string& binary, const std::filesystem::path& data)
    {
        Spawned spawned = spawnWithOutput({ binary, "--port", "0", "--data", data.string() });
        if (spawned.pid < 0) {
            close(spawned.out);
            throw std::runtime_error("cannot start " + binary);
        }
        pid_ = spawned.pid;
        std::string line;
        char c;
        while (!port_ && read(spawned.out, &c, 1) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            auto at = line.rfind(':');
            if (line.rfind("listening on http://127.0.0.1:", 0) == 0 && at != std::string::npos)
                port_ = std::stoi(line.substr(at + 1));
            line.clear();
        }
        close(spawned.out);
        if (!port_) {
            stop();
            throw std::runtime_error(binary + " did not start");
        }
    }
    ~ListeningService() { stop(); }
    ListeningService(const ListeningService&) = delete;
    ListeningService& operator=(const ListeningService&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
    }

private:
    pid_t pid_ = 0;
    int port_ = 0;
};

}
