// DesktopEntry: starts the application; returns when its window is closed.
#include "app/KorvidDesktop.h"
#include "base/Bundle.h"

#include <cstdio>
#include <cstring>

namespace {

// Also the source of the manual page (help2man reads it at build time).
const char* const kHelp = "用法：korvid-desktop [选项]\n"
                          "打开 Korvid 桌面版窗口：先显示登录页，登录后进入销售工作台。\n"
                          "\n"
                          "选项：\n"
                          "  -h, --help       显示本帮助并退出\n"
                          "  -V, --version    显示版本并退出\n"
                          "\n"
                          "环境变量：\n"
                          "  KORVID_ORIGIN    服务地址，默认 https://app.korvid.cn；\n"
                          "                   本机体验服务用 http://127.0.0.1:8787\n";

}

int main(int argc, char** argv)
{
    // Answered before GTK starts, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-V")) {
            std::printf("korvid-desktop %s\n", korvid::applicationVersion());
            return 0;
        }
    }
    // The window's class on X11 is the program name: the application id, as
    // the desktop entry's StartupWMClass says, so docks match the window to
    // its entry and icon.
    g_set_prgname(korvid::kBundleIdentifier);
    korvid::prepareProcess();
    korvid::KorvidDesktop desktop;
    return desktop.run(argc, argv);
}
