// Where the settings file is, how its values are read and how a failed
// write is reported.

#include "app/board_settings.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace tarvio {
namespace {

TEST(SettingsPathFor, ReplacesOrAppendsTheExtension)
{
    EXPECT_EQ(SettingsPathFor("/opt/sign/board.exe"), "/opt/sign/board.ini");
    EXPECT_EQ(SettingsPathFor("/opt/sign/tarvio"), "/opt/sign/tarvio.ini");
    EXPECT_EQ(SettingsPathFor("/opt/sign.d/tarvio"), "/opt/sign.d/tarvio.ini");
    EXPECT_EQ(SettingsPathFor("/opt/sign/tarvio.x.bin"), "/opt/sign/tarvio.x.ini");
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
