// korvid-service: the local experience service. Prints
// "listening on http://127.0.0.1:PORT" once it accepts connections and stops
// cleanly on SIGINT or SIGTERM.
#include "base/Bundle.h"
#include "base/DesktopError.h"
#include "service/LocalService.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <thread>

int main(int argc, char** argv)
{
    using namespace korvid;
    auto given = [&](const char* longName, const char* shortName) {
        return std::any_of(argv + 1, argv + argc, [&](const char* argument) {
            return !std::strcmp(argument, longName) || !std::strcmp(argument, shortName);
        });
    };
    // Asking for help is never an error, whatever else is on the command
    // line. Also the source of the manual page (help2man reads it at build time).
    if (given("--help", "-h")) {
        std::printf("%s", ServiceOptions::usage());
        std::fputs("本机体验服务：在 127.0.0.1 上提供 Korvid 服务的全部接口、登录页和演示数据，\n"
                   "供 korvid-desktop 在本机试用和测试。收到 SIGINT 或 SIGTERM 时处理完进行中的请求后退出。\n"
                   "\n"
                   "选项：\n"
                   "  --port N                监听端口，默认 8787；0 表示任选空闲端口\n"
                   "  --data 目录             数据目录，默认 $XDG_DATA_HOME/korvid-service\n"
                   "                          （即 ~/.local/share/korvid-service）\n"
                   "  --brief-step-ms N       远程任务简报每一步的间隔（毫秒）\n"
                   "  --token-ttl-seconds N   登录令牌的有效期（秒）\n"
                   "  --seed-companies N      首次启动时生成的演示公司数，默认 300\n"
                   "  --seed-contacts N       首次启动时生成的演示联系人数，默认 800\n"
                   "  --large-desk            首次启动时生成大型演示库：2000 家公司、5000 位联系人\n"
                   "                          （用于性能测量；数据目录已有数据时不再生成）\n"
                   "  -h, --help              显示本帮助并退出\n"
                   "  -V, --version           显示版本并退出\n",
            stdout);
        return 0;
    }
    if (given("--version", "-V")) {
        std::printf("korvid-service %s\n", applicationVersion());
        return 0;
    }
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
        std::atomic<bool> finished { false };
        std::thread waiter([&] {
            int received = 0;
            sigwait(&signals, &received);
            // A signal that came before the server listens (during the first
            // start's seeding, say) waits for it: stopping a server that is
            // not listening yet would do nothing and leave it running.
            while (!finished && !service.running())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!finished)
                service.stop();
        });
        std::printf("listening on http://127.0.0.1:%d\n", port);
        std::fflush(stdout);
        service.run();
        finished = true;
        pthread_kill(waiter.native_handle(), SIGUSR1);
        waiter.join();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvid-service: %s\n", describe(std::current_exception()).c_str());
        return 1;
    }
    return 0;
}
