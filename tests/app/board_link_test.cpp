// Frames to the sign, the status packet check and the clock texts.

#include "app/board_link.h"

#include <gtest/gtest.h>

namespace tarvio {
namespace {

const TRowTexts ExamplePrices{"1234", "0999", "0000", "1500", "2000", "3000", "4000", "5000"};

std::string ExamplePacket(char separator = ' ', const std::string& tag = "@ALIVE-")
{
    std::string packet = tag;
    for (const std::string& price : ExamplePrices) packet += price + separator;
    return packet + "OK1*";
}

TEST(PriceFrame, IsTheFieldTextsBetweenTheMarkers)
{
    std::string frame = PriceFrame(ExamplePrices);
    EXPECT_EQ(frame, "@12340999000015002000300040005000*");
    EXPECT_EQ(frame.size(), 34u);
}

TEST(PriceFrame, UnfilledPositionsGoOutAsSpaces)
{
    TRowTexts prices = ExamplePrices;
    prices[2] = "12  ";
    EXPECT_EQ(PriceFrame(prices), "@1234099912  15002000300040005000*");
}

TEST(PriceFrame, CarriesOneWindows1252BytePerCharacter)
{
    TRowTexts prices = ExamplePrices;
    prices[0] = "\xC3\xA9\xE2\x82\xAC\xE2\x86\x92" "1";  // e-acute, euro, an arrow it cannot carry
    EXPECT_EQ(PriceFrame(prices), "@\xE9\x80?10999000015002000300040005000*");
}

TEST(CheckStatusPacket, PricesAreReadAsWindows1252)
{
    std::string packet = ExamplePacket();
    packet[7] = '\xE9';
    std::optional<TStatusReport> report = CheckStatusPacket(packet);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->Prices[0], "\xC3\xA9" "234");
}

TEST(TestFrame, RepeatsTheCounterInEveryPlace)
{
    EXPECT_EQ(TestFrame("0001"), "@00010001000100010001000100010001*");
}

TEST(TestCounter, CountsUpAndWrapsAfter9999)
{
    EXPECT_EQ(NextTestCounter(0), 1);
    EXPECT_EQ(NextTestCounter(9998), 9999);
    EXPECT_EQ(NextTestCounter(9999), 0);
    EXPECT_EQ(TestCounterText(0), "0000");
    EXPECT_EQ(TestCounterText(7), "0007");
    EXPECT_EQ(TestCounterText(9999), "9999");
}

TEST(CheckStatusPacket, ValidPacketGivesPricesAndStatus)
{
    std::string packet = ExamplePacket();
    ASSERT_EQ(packet.size(), 51u);
    std::optional<TStatusReport> report = CheckStatusPacket(packet);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->Prices, ExamplePrices);
    EXPECT_EQ(report->Status, "OK1");
}

TEST(CheckStatusPacket, TagIsCaseSensitive)
{
    EXPECT_FALSE(CheckStatusPacket(ExamplePacket(' ', "@alive-")));
    EXPECT_FALSE(CheckStatusPacket(ExamplePacket(' ', "@Alive-")));
}

TEST(CheckStatusPacket, OneCharacterShortIsRefused)
{
    std::string packet = ExamplePacket();
    packet.erase(20, 1);
    ASSERT_EQ(packet.size(), 50u);
    EXPECT_FALSE(CheckStatusPacket(packet));
}

TEST(CheckStatusPacket, EndMarkerMustBeAtPosition51)
{
    std::string packet = ExamplePacket();
    packet[50] = '#';
    EXPECT_FALSE(CheckStatusPacket(packet));
}

class AnySeparator : public ::testing::TestWithParam<char> {};

TEST_P(AnySeparator, IsAccepted)
{
    std::optional<TStatusReport> report = CheckStatusPacket(ExamplePacket(GetParam()));
    ASSERT_TRUE(report);
    EXPECT_EQ(report->Prices, ExamplePrices);
}

INSTANTIATE_TEST_SUITE_P(Separators, AnySeparator,
                         ::testing::Values(' ', '-', ',', 'x', '@', '#', '\0', '\x7f'));

TEST(ClockTexts, CommunicationTimeIsMonthDayYear)
{
    EXPECT_EQ(FormatCommunicationTime({2024, 3, 5, 7, 30, 9, 999}), "03-05-2024 07:30:09");
    EXPECT_EQ(FormatCommunicationTime({2023, 12, 31, 23, 59, 59, 0}), "12-31-2023 23:59:59");
}

TEST(ClockTexts, ClockIsTwentyFourHour)
{
    EXPECT_EQ(FormatClock({2024, 1, 1, 0, 0, 0, 0}), "00:00:00");
    EXPECT_EQ(FormatClock({2024, 1, 1, 19, 5, 3, 0}), "19:05:03");
}

TEST(ScheduleTarget, EndsInZeroSecondsAndKeepsAnEmptyHour)
{
    EXPECT_EQ(ScheduleTarget("07", "30"), "07:30:00");
    EXPECT_EQ(ScheduleTarget("", "30"), ":30:00");
}

} // namespace
} // namespace tarvio
