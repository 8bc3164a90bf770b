#include "service/ServiceOptions.h"

#include "base/DesktopError.h"

#include <charconv>
#include <cstdlib>

namespace korvid {

namespace {

long long number(const std::string& option, const std::string& text, long long min, long long max)
{
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max)
        throw DesktopError("参数 " + option + " 的取值无效：" + text + "。");
    return value;
}

}

std::filesystem::path ServiceOptions::defaultDataFolder()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "korvid-service";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".local" / "share" / "korvid-service";
}

const char* ServiceOptions::usage()
{
    return "用法：korvid-service [--port N] [--data 目录] [--brief-step-ms N] "
           "[--token-ttl-seconds N] [--seed-companies N] [--seed-contacts N] [--large-desk]\n";
}

ServiceOptions ServiceOptions::parse(const std::vector<std::string>& arguments)
{
    ServiceOptions options;
    options.dataFolder = defaultDataFolder();
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--large-desk") {
            options.seed = SeedSize::large();
            continue;
        }
        if (i + 1 >= arguments.size())
            throw DesktopError("未知参数或缺少取值：" + option + "。");
        const std::string& value = arguments[++i];
        if (option == "--port")
            options.port = static_cast<int>(number(option, value, 0, 65535));
        else if (option == "--data")
            options.dataFolder
                = value.empty() ? throw DesktopError("参数 --data 不能为空。") : std::filesystem::path(value);
        else if (option == "--brief-step-ms")
            options.config.briefStepMs = number(option, value, 1, 3600 * 1000);
        else if (option == "--token-ttl-seconds")
            options.config.tokenLifetimeMs = number(option, value, 1, 365LL * 24 * 3600) * 1000;
        else if (option == "--seed-companies")
            options.seed.companies = static_cast<int>(number(option, value, 1, 100000));
        else if (option == "--seed-contacts")
            options.seed.contacts = static_cast<int>(number(option, value, 0, 500000));
        else
            throw DesktopError("未知参数：" + option + "。");
    }
    return options;
}

}
