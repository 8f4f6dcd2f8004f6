// Where the settings file is, how its values are read and how a failed
// write is reported.

#include "app/board_settings.h"

#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace tarvio {
namespace {

TEST(SettingsPathFor, PortableCopyReplacesOrAppendsTheExtension)
{
    kivo::test::TempDir dir("tarvio-portable");
    std::filesystem::create_directory(dir / "sign.d");
    EXPECT_EQ(SettingsPathFor(dir / "board.exe"), (dir / "board.ini").string());
    EXPECT_EQ(SettingsPathFor(dir / "tarvio"), (dir / "tarvio.ini").string());
    EXPECT_EQ(SettingsPathFor(dir / "sign.d/tarvio"), (dir / "sign.d/tarvio.ini").string());
    EXPECT_EQ(SettingsPathFor(dir / "tarvio.x.bin"), (dir / "tarvio.x.ini").string());
}

TEST(SettingsPathFor, InstalledProgramUsesTheUserFileAndAFailedWriteNamesIt)
{
    kivo::test::TempDir dir("tarvio-installed");
    // A file where the configuration folder should be: nothing can be created.
    dir.Write("config", "");
    kivo::test::EnvGuard config("XDG_CONFIG_HOME", (dir / "config").string());
    std::string path = SettingsPathFor("/usr/bin/tarvio");

    // Stop here if the redirect failed: the write below must never reach /usr/bin.
    ASSERT_EQ(path, (dir / "config/tarvio/tarvio.ini").string());
    try {
        WriteBoardState(path, TRowTexts{"1", "2", "3", "4", "5", "6", "7", "8"}, 0, 0);
        FAIL() << "no exception";
    } catch (const EIniFileException& error) {
        EXPECT_EQ(error.Message(), "Unable to write to " + path);
    }
}

TEST(ReadBoardSettings, MissingFileGivesTheDefaults)
{
    kivo::test::TempDir dir("tarvio-settings");
    BoardSettings settings = ReadBoardSettings((dir / "none.ini").string());
    EXPECT_EQ(settings.PortNumber, 0);
    EXPECT_EQ(settings.HourIndex, 0);
    EXPECT_EQ(settings.MinuteIndex, 0);
    for (int row = 0; row < RowCount; ++row) {
        EXPECT_EQ(settings.Prices[row], "9999");
        EXPECT_EQ(settings.Captions[row], "Vazio");
        EXPECT_EQ(settings.Colours[row], "Vazio");
    }
}

TEST(WriteBoardState, FailedWriteNamesTheFile)
{
    kivo::test::TempDir dir("tarvio-settings");
    std::string path = (dir / "missing-folder" / "t.ini").string();
    TRowTexts prices{"1", "2", "3", "4", "5", "6", "7", "8"};
    try {
        WriteBoardState(path, prices, 0, 0);
        FAIL() << "no exception";
    } catch (const EIniFileException& error) {
        EXPECT_EQ(error.Message(), "Unable to write to " + path);
    }
}

} // namespace
} // namespace tarvio
