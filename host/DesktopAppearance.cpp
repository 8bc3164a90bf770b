#include "host/DesktopAppearance.h"

#include "base/AtomicFile.h"
#include "base/Bundle.h"
#include "base/DesktopError.h"
#include "base/Json.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace korvid {

std::optional<DesktopAppearance> appearanceFromRaw(std::string_view raw)
{
    if (raw == "system")
        return DesktopAppearance::system;
    if (raw == "light")
        return DesktopAppearance::light;
    if (raw == "dark")
        return DesktopAppearance::dark;
    return std::nullopt;
}

const char* rawValue(DesktopAppearance appearance)
{
    switch (appearance) {
    case DesktopAppearance::light:
        return "light";
    case DesktopAppearance::dark:
        return "dark";
    case DesktopAppearance::system:
        break;
    }
    return "system";
}

std::filesystem::path SettingsFile::defaultPath()
{
    std::filesystem::path base;
    const char* configured = std::getenv("XDG_CONFIG_HOME");
    if (configured && *configured && std::filesystem::path(configured).is_absolute()) {
        base = configured;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : "/") / ".config";
    }
    return base / kBundleIdentifier / "settings.json";
}

SettingsFile::SettingsFile(std::filesystem::path path)
    : path_(path.empty() ? defaultPath() : std::move(path))
{
}

namespace {

// The stored object; an unreadable or damaged file reads as empty.
Json readObject(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return Json::object();
    std::stringstream text;
    text << file.rdbuf();
    Json stored = Json::parse(text.str(), nullptr, false);
    return stored.is_object() ? stored : Json::object();
}

}

std::optional<std::string> SettingsFile::string(const std::string& key) const
{
    return stringAt(readObject(path_), key.c_str());
}

void SettingsFile::setString(const std::string& key, const std::string& value)
{
    Json stored = readObject(path_);
    stored[key] = value;
    // The durable writer flushes the folder after the rename too, so a crash
    // right after choosing a theme cannot bring back the old file.
    try {
        std::error_code error;
        std::filesystem::create_directories(path_.parent_path(), error);
        AtomicFile::write(path_, stored.dump(2) + "\n");
    } catch (const DesktopError&) {
        throw DesktopError("设置未能保存，请检查配置文件夹的写入权限。");
    }
}

DesktopAppearance savedAppearance(const SettingsFile& settings)
{
    auto stored = settings.string(kAppearanceKey);
    if (stored && (*stored == "light" || *stored == "dark"))
        return *appearanceFromRaw(*stored);
    return DesktopAppearance::system;
}

}
