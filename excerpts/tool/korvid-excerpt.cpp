// korvid-excerpt FILE...: the excerpt record of each file, as the application
// sees it, one JSON line per file; a file that cannot be read gives
// {"name", "error"}. Exits with status 1 if any file failed.
#include "excerpts/EventSource.h"
#include "excerpts/ExcerptText.h"
#include "host/base/DesktopError.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {

std::string nameOf(const std::string& argument)
{
    std::string text = argument;
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    auto slash = text.rfind('/');
    return korvid::ExcerptText::validUtf8(slash == std::string::npos ? text : text.substr(slash + 1));
}

}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("用法：korvid-excerpt 文件...\n", stderr);
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        korvid::Json line;
        try {
            line = korvid::EventSource::inspect(argv[i]);
        } catch (...) {
            line = korvid::Json { { "name", nameOf(argv[i]) }, { "error", korvid::describe(std::current_exception()) } };
            status = 1;
        }
        std::string text = line.dump() + "\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    return std::fflush(stdout) == 0 ? status : 1;
}
