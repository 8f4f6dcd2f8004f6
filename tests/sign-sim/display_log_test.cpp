#include "tools/sign-sim/display.h"
#include "tools/sign-sim/traffic_log.h"

#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

namespace tarvio::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

const PriceSet Example{"1234", "0999", "0000", "1500", "2000", "3000", "4000", "5000"};

TEST(RenderPlainPrices, OneLineWithUnprintablesMasked)
{
    EXPECT_EQ(RenderPlainPrices(Example), "prices 1234 0999 0000 1500 2000 3000 4000 5000");
    PriceSet odd = Example;
    odd[0] = std::string("1\n\x1b" "9");
    odd[1] = "12  ";
    EXPECT_EQ(RenderPlainPrices(odd), "prices 1??9 12   0000 1500 2000 3000 4000 5000");
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

TEST(RenderBigBoard, DrawsEachDigitFiveRowsHigh)
{
    PriceSet prices{"1   ", "0000", "0000", "0000", "8888", "8888", "8888", "8 8-"};
    BoardInfo info{"/d/com1", "OK ", "none", 3, "t"};
    std::string board = RenderBigBoard(prices, info, false);
    EXPECT_EQ(board.rfind("\x1b[H\x1b[2J", 0), 0u);
    EXPECT_THAT(board, HasSubstr("/d/com1"));
    EXPECT_THAT(board, HasSubstr("frames 3"));
    auto lines = Lines(board);
    // Header, counters, blank, labels, then the five glyph rows of prices 1 to 4.
    ASSERT_GE(lines.size(), 9u);
    const std::vector<std::string> digitOne{" # ", "## ", " # ", " # ", "###"};
    const std::vector<std::string> digitEight{"###", "# #", "###", "# #", "###"};
    const std::vector<std::string> dash{"   ", "   ", "###", "   ", "   "};
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(lines[4 + row].substr(2, 3), digitOne[row]) << "row " << row;
        EXPECT_EQ(lines[4 + row].substr(6, 12), std::string(12, ' ')) << "row " << row;
        // Second half: price 8 is "8 8-".
        const std::string& second = lines[11 + row];
        EXPECT_EQ(second.substr(3 * 19 + 2, 3), digitEight[row]);
        EXPECT_EQ(second.substr(3 * 19 + 6, 3), "   ");
        EXPECT_EQ(second.substr(3 * 19 + 14, 3), dash[row]);
    }
}

TEST(RenderBigBoard, UnicodeUsesFullBlocks)
{
    BoardInfo info;
    std::string board = RenderBigBoard(Example, info, true);
    EXPECT_THAT(board, HasSubstr("\u2588\u2588\u2588"));
    EXPECT_EQ(board.find('#'), std::string::npos);
}

TEST(EscapeBytes, KeepsPrintablesAndHexesTheRest)
{
    EXPECT_EQ(EscapeBytes("@1234 *"), "@1234 *");
    EXPECT_EQ(EscapeBytes(std::string("\r\n\0\xa5\\\x7f", 6)), "\\x0D\\x0A\\x00\\xA5\\x5C\\x7F");
}

TEST(TrafficLog, AppendsTimestampedLinesAtOnce)
{
    kivo::test::TempDir dir("sim-log");
    std::string path = (dir / "traffic.log").string();
    dir.Write("traffic.log", "earlier\n");
    TrafficLog log(path);
    log.Line("in", "@1*");
    // Flushed before the call returns: read while the log is still open.
    std::string text = dir.Read("traffic.log");
    auto lines = Lines(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_THAT(lines[1], MatchesRegex(R"(^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} in @1\*$)"));
    log.Line("stop");
    EXPECT_THAT(Lines(dir.Read("traffic.log")).back(), MatchesRegex(R"(^.* stop$)"));
}

TEST(TrafficLog, UnwritablePathIsNamedInTheError)
{
    try {
        TrafficLog log("/nonexistent-dir/x.log");
        FAIL() << "opened";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("/nonexistent-dir/x.log"));
        EXPECT_THAT(error.what(), HasSubstr("No such file"));
    }
}

} // namespace
} // namespace tarvio::sim
