#include "host/DesktopAppearance.h"

#include "base/DesktopError.h"

#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace korvid {
namespace {

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest()
        : folder(std::filesystem::temp_directory_path() / ("korvid-settings-" + std::to_string(::getpid())))
    {
        std::filesystem::remove_all(folder);
    }
    ~SettingsTest() override
    {
        std::error_code ignored;
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(folder);
    }

    void writeRaw(const std::string& text)
    {
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "settings.json") << text;
    }

    std::filesystem::path folder;
};

TEST_F(SettingsTest, ThemeNamesAreExact)
{
    EXPECT_EQ(appearanceFromRaw("dark"), DesktopAppearance::dark);
    EXPECT_FALSE(appearanceFromRaw("Dark"));
    EXPECT_FALSE(appearanceFromRaw(""));
    for (auto theme : { DesktopAppearance::system, DesktopAppearance::light, DesktopAppearance::dark })
        EXPECT_EQ(appearanceFromRaw(rawValue(theme)), theme);
}

TEST_F(SettingsTest, SavedThemeDefaultsToSystem)
{
    SettingsFile settings(folder / "settings.json");
    EXPECT_EQ(savedAppearance(settings), DesktopAppearance::system); // no file
    writeRaw(R"({"desktop.appearance":"LIGHT"})");
    EXPECT_EQ(savedAppearance(settings), DesktopAppearance::system);
    writeRaw(R"({"desktop.appearance":"dark"})");
    EXPECT_EQ(savedAppearance(settings), DesktopAppearance::dark);
    writeRaw("not json");
    EXPECT_EQ(savedAppearance(settings), DesktopAppearance::system);
}

TEST_F(SettingsTest, WritesCreateTheFolderKeepOtherKeysAndLeaveNoTemporaryFiles)
{
    writeRaw(R"({"other":"kept"})");
    SettingsFile settings(folder / "settings.json");
    settings.setString(kAppearanceKey, "light");
    settings.setString(kAppearanceKey, "dark");
    EXPECT_EQ(settings.string("other"), "kept");
    EXPECT_EQ(savedAppearance(settings), DesktopAppearance::dark);
    int entries = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder))
        ++entries;
    EXPECT_EQ(entries, 1);

    SettingsFile fresh(folder / "deeper" / "settings.json");
    fresh.setString(kAppearanceKey, "light");
    EXPECT_EQ(savedAppearance(fresh), DesktopAppearance::light);
}

TEST_F(SettingsTest, AFileInPlaceOfTheFolderIsAChineseError)
{
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "blocker") << "x";
    SettingsFile settings(folder / "blocker" / "settings.json");
    try {
        settings.setString(kAppearanceKey, "dark");
        ADD_FAILURE();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.message, "设置未能保存，请检查配置文件夹的写入权限。");
    }
}

TEST_F(SettingsTest, DefaultPathFollowsXdgConfigHome)
{
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    std::string restore = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(SettingsFile::defaultPath(), "/tmp/cfg/com.vantorel.desktop/settings.json");
    ::setenv("XDG_CONFIG_HOME", "relative", 1); // not absolute: ignored
    EXPECT_EQ(SettingsFile::defaultPath().parent_path().parent_path().filename(), ".config");
    if (saved)
        ::setenv("XDG_CONFIG_HOME", restore.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

}
}
