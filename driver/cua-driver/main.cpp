// cua-driver: reads the accessibility structure of desktop windows for a
// client speaking the Model Context Protocol over standard input and output
// (JSON-RPC 2.0, one message per line). Standard output carries protocol
// lines only; everything else goes to standard error.
#include "driver/cua-driver/AtspiWindowReader.h"
#include "driver/cua-driver/McpServer.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <iostream>
#include <string>
#include <string_view>

namespace {

void usage()
{
    std::fputs("usage: cua-driver mcp [--direct] [--embedded] [--host-bundle-id ID]\n", stderr);
}

bool acceptArguments(int argc, char** argv)
{
    if (argc < 2 || std::string_view(argv[1]) != "mcp")
        return false;
    for (int i = 2; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--direct" || argument == "--embedded")
            continue;
        if (argument == "--host-bundle-id" && i + 1 < argc) {
            ++i; // the host's identifier is informational here
            continue;
        }
        return false;
    }
    return true;
}

}

int main(int argc, char** argv)
{
    if (!acceptArguments(argc, argv)) {
        usage();
        return 2;
    }
    // Libraries that print must never corrupt the protocol stream: keep a
    // private descriptor for replies and point standard output at standard
    // error.
    std::FILE* protocol = fdopen(dup(fileno(stdout)), "w");
    if (!protocol)
        return 1;
    dup2(fileno(stderr), fileno(stdout));

    korvid::AtspiWindowReader reader;
    korvid::McpServer server([&](const korvid::WindowStateRequest& request) { return reader.read(request); });
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        auto reply = server.handleLine(line);
        if (!reply)
            continue;
        std::fwrite(reply->data(), 1, reply->size(), protocol);
        std::fputc('\n', protocol);
        if (std::fflush(protocol) != 0)
            return 1;
    }
    std::fclose(protocol);
    return 0;
}
