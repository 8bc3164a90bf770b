// korvid-service: the local experience service. Prints
// "listening on http://127.0.0.1:PORT" once it accepts connections and stops
// cleanly on SIGINT or SIGTERM.
#include "host/base/DesktopError.h"
#include "service/LocalService.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>

int main(int argc, char** argv)
{
    using namespace korvid;
    ServiceOptions options;
    try {
        options = ServiceOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const DesktopError& error) {
        std::fprintf(stderr, "%s\n%s", error.message.c_str(), ServiceOptions::usage());
        return 2;
    }

    // Signals are taken by one waiting thread, never by an interrupted worker.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        LocalService service(options);
        int port = service.bind(options.port);
        std::thread waiter([&] {
            int received = 0;
            sigwait(&signals, &received);
            service.stop();
        });
        std::printf("listening on http://127.0.0.1:%d\n", port);
        std::fflush(stdout);
        service.run();
        pthread_kill(waiter.native_handle(), SIGUSR1);
        waiter.join();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvid-service: %s\n", describe(std::current_exception()).c_str());
        return 1;
    }
    return 0;
}
