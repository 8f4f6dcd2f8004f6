#include "tools/sign-sim/frame_parser.h"

#include <gtest/gtest.h>

namespace tarvio::sim {
namespace {

using Kind = FrameEvent::TKind;

const std::string Example = "@12340999000015002000300040005000*";

std::vector<FrameEvent> FeedAll(FrameParser& parser, std::initializer_list<std::string> pieces)
{
    std::vector<FrameEvent> events;
    for (const std::string& piece : pieces) parser.Feed(piece, events);
    return events;
}

TEST(FrameParser, WholeFrameGivesTheEightPricesInRowOrder)
{
    FrameParser parser;
    auto events = FeedAll(parser, {Example});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, Kind::fkFrame);
    EXPECT_EQ(events[0].Length, 34u);
    EXPECT_EQ(events[0].Bytes, Example);
    PriceSet expected{"1234", "0999", "0000", "1500", "2000", "3000", "4000", "5000"};
    EXPECT_EQ(events[0].Prices, expected);
}

TEST(FrameParser, SpacesOfUnfilledFieldsAreKept)
{
    FrameParser parser;
    auto events = FeedAll(parser, {"@12  0999000015002000300040005000*"});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Prices[0], "12  ");
}

TEST(FrameParser, BytesOutsideFramesAreIgnored)
{
    FrameParser parser;
    auto events = FeedAll(parser, {"noise**\r\n" + Example + "trailing*" + Example + "\x00\xff"});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, Kind::fkFrame);
    EXPECT_EQ(events[1].Kind, Kind::fkFrame);
    EXPECT_FALSE(parser.InFrame());
}

TEST(FrameParser, FrameSplitAcrossReadsIsAssembledOnce)
{
    FrameParser parser;
    std::vector<FrameEvent> events;
    for (char c : Example) parser.Feed(std::string_view(&c, 1), events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Bytes, Example);

    events.clear();
    parser.Feed("xx@1234", events);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(parser.InFrame());
    parser.Feed("0999000015002000300040005000*", events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Prices[7], "5000");
}

TEST(FrameParser, ShortAndLongFramesAreReportedWithTheirLength)
{
    FrameParser parser;
    auto events = FeedAll(parser, {"@1234*", "@123409990000150020003000400050001*", "@*"});
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Kind, Kind::fkWrongLength);
    EXPECT_EQ(events[0].Length, 6u);
    EXPECT_EQ(events[0].Bytes, "@1234*");
    EXPECT_EQ(events[1].Kind, Kind::fkWrongLength);
    EXPECT_EQ(events[1].Length, 35u);
    EXPECT_EQ(events[2].Length, 2u);
}

TEST(FrameParser, AtInsideAnUnfinishedFrameStartsAFreshOne)
{
    FrameParser parser;
    auto events = FeedAll(parser, {"@1234099", Example});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, Kind::fkAbandoned);
    EXPECT_EQ(events[0].Length, 8u);
    EXPECT_EQ(events[0].Bytes, "@1234099");
    EXPECT_EQ(events[1].Kind, Kind::fkFrame);
    EXPECT_EQ(events[1].Bytes, Example);
}

TEST(FrameParser, EndlessRunKeepsOnlyItsStartButCountsEveryByte)
{
    FrameParser parser;
    std::string run = "@" + std::string(100000, '7');
    auto events = FeedAll(parser, {run, "*", Example});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, Kind::fkWrongLength);
    EXPECT_EQ(events[0].Length, 100002u);
    EXPECT_EQ(events[0].Bytes, run.substr(0, 64));
    EXPECT_EQ(events[1].Kind, Kind::fkFrame);
}

} // namespace
} // namespace tarvio::sim
