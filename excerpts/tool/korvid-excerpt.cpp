// korvid-excerpt FILE...: the excerpt record of each file, as the application
// sees it, one JSON line per file; a file that cannot be read gives
// {"name", "error"}. Exits with status 1 if any file failed.
#include "excerpts/EventSource.h"
#include "base/Text.h"
#include "base/Bundle.h"
#include "base/DesktopError.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

std::string nameOf(const std::string& argument)
{
    std::string text = argument;
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    auto slash = text.rfind('/');
    return korvid::repairUtf8(slash == std::string::npos ? text : text.substr(slash + 1));
}

}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("用法：korvid-excerpt 文件...\n", stderr);
        return 2;
    }
    // Also the source of the manual page (help2man reads it at build time).
    // A file really named like an option is given as ./--help.
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs("用法：korvid-excerpt 文件...\n"
                   "按 Korvid 桌面版的方式读取每个文件的文字摘录，每个文件输出一行 JSON：\n"
                   "{\"name\", \"digest\", \"excerpt\", \"method\"}；读不了的文件输出\n"
                   "{\"name\", \"error\"}，其中是中文原因。支持文本、PDF、图片（文字识别）、Word 和 Excel 文件。\n"
                   "有文件读取失败时退出状态为 1。\n"
                   "\n"
                   "选项：\n"
                   "  -h, --help       显示本帮助并退出\n"
                   "  -V, --version    显示版本并退出\n",
            stdout);
        return 0;
    }
    if (argc == 2 && (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V"))) {
        std::printf("korvid-excerpt %s\n", korvid::applicationVersion());
        return 0;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        korvid::Json line;
        try {
            line = korvid::EventSource::inspect(argv[i]);
        } catch (...) {
            line
                = korvid::Json { { "name", nameOf(argv[i]) }, { "error", korvid::describe(std::current_exception()) } };
            status = 1;
        }
        std::string text = line.dump() + "\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    if (std::fflush(stdout) != 0)
        status = 1;
    // Every record is written; what is left is tearing down the recogniser's
    // and the PDF reader's tables object by object (about 2% of recognising
    // a photo). The process ends here instead and the system takes its
    // memory back whole; no file of ours is open for writing.
    std::_Exit(status);
}
