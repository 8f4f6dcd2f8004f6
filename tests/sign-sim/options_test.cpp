#include "tests/sign-sim/argument_rows.h"
#include "tools/sign-sim/options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tarvio::sim {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

TEST(ParseOptions, DeviceDirAloneMeansComOneWithDefaults)
{
    SimOptions o = ParseOptions({"--device-dir", "/tmp/d"});
    EXPECT_EQ(o.DeviceDir, "/tmp/d");
    EXPECT_EQ(o.Com, 1);
    EXPECT_EQ(o.Status, "OK ");
    EXPECT_EQ(o.Separator, ' ');
    EXPECT_FALSE(o.Interval.has_value());
    EXPECT_EQ(o.Fault, TFault::fNone);
    EXPECT_EQ(o.ChunkSize, 0u);
}

TEST(ParseOptions, EveryOptionInBothSpellings)
{
    SimOptions o = ParseOptions({"--device-dir=/d", "--com", "65535", "--status=OK1",
                                 "--separator", "|", "--interval", "0.25", "--fault=short",
                                 "--noise", "--chunk", "5", "--chunk-delay=10", "--log", "/tmp/l",
                                 "--quiet", "--plain"});
    EXPECT_EQ(o.Com, 65535);
    EXPECT_EQ(o.Status, "OK1");
    EXPECT_EQ(o.Separator, '|');
    ASSERT_TRUE(o.Interval.has_value());
    EXPECT_EQ(*o.Interval, 250ms);
    EXPECT_EQ(o.Fault, TFault::fShort);
    EXPECT_TRUE(o.Noise);
    EXPECT_EQ(o.ChunkSize, 5u);
    EXPECT_EQ(o.ChunkDelay, 10ms);
    EXPECT_EQ(o.LogPath, "/tmp/l");
    EXPECT_TRUE(o.Quiet);
    EXPECT_TRUE(o.Plain);
}

TEST(ParseOptions, HelpNeedsNothingElse)
{
    EXPECT_TRUE(ParseOptions({"--help"}).Help);
    EXPECT_TRUE(ParseOptions({"-h", "--fault", "lowercase"}).Help);
}

// A readable, unique test name from a row of arguments.
using BadRow = tarvio::sim::test::ArgumentRow;
using tarvio::sim::test::RowName;

class BadArguments : public ::testing::TestWithParam<BadRow> {};

TEST_P(BadArguments, AreRefusedWithAClearMessage)
{
    try {
        ParseOptions(GetParam().Args);
        FAIL() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_THAT(error.what(), HasSubstr(GetParam().Message));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadArguments,
    ::testing::Values(
        BadRow{{}, "--device-dir DIR [--com N], or --port PATH"},
        BadRow{{"--com", "2"}, "say where the sign sits"},
        BadRow{{"--device-dir"}, "--device-dir needs a value"},
        BadRow{{"--device-dir", ""}, "--device-dir needs a directory"},
        BadRow{{"--device-dir", "d", "--com", "0"}, "--com wants a whole number from 1 to 65535"},
        BadRow{{"--device-dir", "d", "--com", "3x"}, "not \"3x\""},
        BadRow{{"--device-dir", "d", "--com", "65536"}, "from 1 to 65535"},
        BadRow{{"--port", "/p", "--device-dir", "d"}, "--port cannot be combined"},
        BadRow{{"--port", "/p", "--com", "2"}, "--port cannot be combined"},
        BadRow{{"--device-dir", "d", "--status", "OK"}, "exactly three characters, not \"OK\""},
        BadRow{{"--device-dir", "d", "--status", "OK12"}, "exactly three characters"},
        BadRow{{"--device-dir", "d", "--status", "O*K"}, "other than @ and *"},
        BadRow{{"--device-dir", "d", "--status", "O\tK"}, "printable"},
        BadRow{{"--device-dir", "d", "--separator", "@"}, "--separator wants one printable"},
        BadRow{{"--device-dir", "d", "--separator", "ab"}, "--separator wants one"},
        BadRow{{"--device-dir", "d", "--interval", "0"}, "--interval wants seconds"},
        BadRow{{"--device-dir", "d", "--interval", "inf"}, "not \"inf\""},
        BadRow{{"--device-dir", "d", "--interval", "1e3"}, "--interval wants seconds"},
        BadRow{{"--device-dir", "d", "--interval", "1.2.3"}, "--interval wants seconds"},
        BadRow{{"--device-dir", "d", "--interval", "-1"}, "--interval wants seconds"},
        BadRow{{"--device-dir", "d", "--fault", "loud"}, "--fault wants one of none"},
        BadRow{{"--device-dir", "d", "--chunk", "0"}, "--chunk wants a whole number from 1"},
        BadRow{{"--device-dir", "d", "--chunk-delay", "5"}, "only makes sense with --chunk"},
        BadRow{{"--device-dir", "d", "--noise=yes"}, "--noise takes no value"},
        BadRow{{"--device-dir", "d", "--com", "1", "--com", "2"}, "--com given twice"},
        BadRow{{"--device-dir", "d", "--colour"}, "unknown option --colour"},
        BadRow{{"--device-dir", "d", "com1"}, "unexpected argument \"com1\""},
        BadRow{{"--device-dir", "d", "--log"}, "--log needs a value"}),
    [](const auto& info) { return RowName(info.index, info.param.Args); });

TEST(ParseOptions, IntervalBeyondADoublesRangeIsAUsageError)
{
    for (const std::string& seconds :
         {std::string(400, '9'), "0." + std::string(400, '0') + "1"}) {
        try {
            ParseOptions({"--device-dir", "d", "--interval", seconds});
            ADD_FAILURE() << "accepted " << seconds.size() << " characters";
        } catch (const UsageError& error) {
            EXPECT_THAT(error.what(), HasSubstr("--interval wants seconds from 0.05 to 86400"));
        }
    }
}

TEST(HelpText, ExplainsEveryOption)
{
    std::string help = HelpText("sim");
    for (const char* option :
         {"--device-dir", "--com", "--port", "--status", "--separator", "--interval", "--fault",
          "lowercase", "short", "lone-at", "silent", "dtr-power", "break", "--noise", "--chunk", "--chunk-delay",
          "--log", "--quiet", "--plain", "--help", "ready PATH", "SIGTERM"})
        EXPECT_THAT(help, HasSubstr(option));
}

} // namespace
} // namespace tarvio::sim
