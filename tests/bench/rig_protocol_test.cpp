// The rig protocol as the harness defines it: frame layouts, percentiles by
// nearest rank, the receive bookkeeping and the result lines.

#include "bench/rig_protocol.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kivo::bench {
namespace {

TEST(StatusFrame, HasTheSignsShapeWithSequenceStampAndTotalInTheFields)
{
    std::string frame = MakeStatusFrame(42, 12345678901, 1000, "LAT");
    EXPECT_EQ(frame, "@ALIVE-0000 0042 0000 0123 4567 8901 0000 1000 LAT*");
    // The stamp keeps only its last 15 digits.
    EXPECT_EQ(MakeStatusFrame(1, StampModulus + 5, 2, "THR"),
              "@ALIVE-0000 0001 0000 0000 0000 0005 0000 0002 THR*");
}

TEST(StatusFrame, ParsesWhatItMakes)
{
    auto parsed = ParseStatusFrame(MakeStatusFrame(99999999, 987654321012345, 200000, "CYC"));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Sequence, 99999999u);
    EXPECT_EQ(parsed->Stamp, 987654321012345u);
    EXPECT_EQ(parsed->Total, 200000u);
    EXPECT_EQ(parsed->Status, "CYC");
}

TEST(StatusFrame, RejectsAnythingButOneWholeFrame)
{
    std::string good = MakeStatusFrame(7, 7, 7, "LAT");
    EXPECT_FALSE(ParseStatusFrame(good.substr(0, 50)));
    EXPECT_FALSE(ParseStatusFrame(good + "*"));
    std::string badHead = good;
    badHead[1] = 'a';
    EXPECT_FALSE(ParseStatusFrame(badHead));
    std::string badDigit = good;
    badDigit[12] = 'x';
    EXPECT_FALSE(ParseStatusFrame(badDigit));
    std::string noEnd = good;
    noEnd[50] = '#';
    EXPECT_FALSE(ParseStatusFrame(noEnd));
    std::string noSpace = good;
    noSpace[16] = '0';
    EXPECT_FALSE(ParseStatusFrame(noSpace));
}

TEST(PriceFrame, IsThirtyFourBytesWithTagAndIndexModuloTenThousand)
{
    EXPECT_EQ(MakePriceFrame("CYCL", 7), "@CYCL0007123409990000150020003000*");
    EXPECT_EQ(MakePriceFrame("REDY", 0), "@REDY0000123409990000150020003000*");
    EXPECT_EQ(MakePriceFrame("CYCL", 12345).substr(5, 4), "2345");
    EXPECT_EQ(MakePriceFrame("CYCL", 1).size(), PriceLength);
}

TEST(StampDiff, WrapsAtTheModulus)
{
    EXPECT_EQ(StampDiff(1000, 400), 600u);
    EXPECT_EQ(StampDiff(StampModulus + 10, StampModulus - 5), 15u);
}

TEST(NearestRank, TakesTheValueAtRankCeilingOfQTimesN)
{
    std::vector<double> hundreds;
    for (int i = 300; i >= 1; --i) hundreds.push_back(i);
    EXPECT_EQ(NearestRank(hundreds, 0.5), 150.0);
    std::vector<double> thousand;
    for (int i = 1; i <= 1000; ++i) thousand.push_back(i);
    EXPECT_EQ(NearestRank(thousand, 0.99), 990.0);
    EXPECT_EQ(NearestRank(thousand, 0.01), 10.0);
    std::vector<double> none;
    EXPECT_EQ(NearestRank(none, 0.5), 0.0);
    std::vector<double> one{3.5};
    EXPECT_EQ(NearestRank(one, 0.99), 3.5);
}

std::string Frame(std::uint64_t sequence, std::uint64_t stamp, std::uint64_t total)
{
    return MakeStatusFrame(sequence, stamp, total, "LAT");
}

TEST(ReceiveBook, CountsLostDuplicatedReorderedAndMalformedFrames)
{
    TReceiveBook book(100, true);
    EXPECT_FALSE(book.Take(Frame(0, 1000, 5), 2000));
    EXPECT_FALSE(book.Take(Frame(2, 1000, 5), 2000));
    EXPECT_FALSE(book.Take(Frame(1, 1000, 5), 2000));  // behind 2: reordered
    EXPECT_FALSE(book.Take(Frame(1, 1000, 5), 2000));  // again: duplicate
    EXPECT_FALSE(book.Take("@ALIVE-garbage*", 2000));
    EXPECT_FALSE(book.Take(Frame(100, 1000, 5), 2000));  // past the bitmap
    EXPECT_TRUE(book.Take(Frame(4, 1000, 5), 2000));     // the last one
    EXPECT_EQ(book.Received(), 4u);
    EXPECT_EQ(book.Reordered(), 1u);
    EXPECT_EQ(book.Duplicates(), 1u);
    EXPECT_EQ(book.Malformed(), 2u);
    EXPECT_EQ(book.Lost(1000), 1u);  // frame 3
    EXPECT_EQ(book.Expected(1000), 5u);
}

TEST(ReceiveBook, BeforeAnyFrameExpectsTheFallbackAndLosesItAll)
{
    TReceiveBook book(10, true);
    EXPECT_EQ(book.Lost(1000), 1000u);
    std::ostringstream out;
    book.Report(out, "kivo", 1000);
    EXPECT_EQ(out.str(),
              "{\"peer\":\"kivo\",\"workload\":\"latency\",\"unit\":\"us\",\"count\":0,"
              "\"median\":0.000,\"p99\":0.000,\"min\":0.000,\"max\":0.000,\"expected\":1000,"
              "\"lost\":1000,\"duplicates\":0,\"reordered\":0,\"malformed\":0}\n");
}

TEST(ReceiveBook, LatencyIsHandlerTimeLessTheRigsStampInMicroseconds)
{
    TReceiveBook book(10, true);
    book.Take(Frame(0, 1'000'000, 3), 1'010'000);  // 10 us
    book.Take(Frame(1, 2'000'000, 3), 2'030'000);  // 30 us
    book.Take(Frame(2, 3'000'000, 3), 3'020'000);  // 20 us
    std::ostringstream out;
    book.Report(out, "kivo", 1000);
    EXPECT_NE(out.str().find("\"count\":3,\"median\":20.000,\"p99\":30.000,\"min\":10.000,"
                             "\"max\":30.000,\"expected\":3,\"lost\":0"),
              std::string::npos)
        << out.str();
}

TEST(ReceiveBook, ThroughputRateRunsFromTheFirstWriteToTheLastHandler)
{
    const std::uint64_t frames = 2 * ThroughputWindow;
    TReceiveBook book(frames, false);
    // Written at 1 s, handled one every 10 us from then: 100,000 frames/s.
    for (std::uint64_t i = 0; i < frames; ++i)
        book.Take(MakeStatusFrame(i, 1'000'000'000, frames, "THR"), 1'000'000'000 + (i + 1) * 10'000);
    std::ostringstream out;
    book.Report(out, "kivo", 200000);
    const std::string line = out.str();
    EXPECT_NE(line.find("\"workload\":\"throughput\",\"unit\":\"frames/s\",\"fps\":100000.0,"
                        "\"elapsed_s\":0.2000,\"count\":20000,\"median\":100000.0"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"windows\":2,\"expected\":20000,\"lost\":0"), std::string::npos) << line;
}

TEST(ResultLines, CycleAndIdleCarryTheHarnessFields)
{
    std::ostringstream cycle;
    ReportCycle(cycle, "kivo", {30.0, 10.0, 20.0}, 2);
    EXPECT_EQ(cycle.str(),
              "{\"peer\":\"kivo\",\"workload\":\"cycle\",\"unit\":\"us\",\"count\":3,"
              "\"median\":20.000,\"p99\":30.000,\"min\":10.000,\"max\":30.000,\"errors\":2}\n");
    std::ostringstream idle;
    ReportIdle(idle, "kivo", 0.002, 10.0, {0.0001, 0.0003, 0.0002});
    EXPECT_EQ(idle.str(),
              "{\"peer\":\"kivo\",\"workload\":\"idle\",\"unit\":\"cpu_frac\",\"cpu_frac\":0.000200,"
              "\"cpu_s\":0.002000,\"wall_s\":10.000,\"count\":3,\"median\":0.000200,"
              "\"p99\":0.000300,\"min\":0.000100,\"max\":0.000300}\n");
}

} // namespace
} // namespace kivo::bench
