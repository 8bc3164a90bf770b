#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvid {

// The colour theme the user chose in the page.
enum class DesktopAppearance { system, light, dark };

// Exact, case-sensitive: "system", "light", "dark"; anything else is none.
std::optional<DesktopAppearance> appearanceFromRaw(std::string_view raw);
const char* rawValue(DesktopAppearance appearance);

// The user's settings: one small JSON object in a file, rewritten atomically
// (temporary file in the same folder, flushed, renamed over the old one).
class SettingsFile {
public:
    // $XDG_CONFIG_HOME/com.vantorel.desktop/settings.json (XDG_CONFIG_HOME
    // defaults to ~/.config).
    static std::filesystem::path defaultPath();

    explicit SettingsFile(std::filesystem::path path);

    // The string stored under `key`; none when the file, the key or a string
    // value is missing, or the file is unreadable.
    std::optional<std::string> string(const std::string& key) const;
    // Throws DesktopError when the file cannot be written.
    void setString(const std::string& key, const std::string& value);

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline constexpr const char* kAppearanceKey = "desktop.appearance";

// "light" and "dark" give those themes; anything else, or nothing, is system.
DesktopAppearance savedAppearance(const SettingsFile& settings);

}
