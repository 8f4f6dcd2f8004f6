#include "tools/sign-sim/status_packet.h"

#include <gtest/gtest.h>

namespace tarvio::sim {
namespace {

using namespace std::chrono_literals;

const PriceSet Example{"1234", "0999", "0000", "1500", "2000", "3000", "4000", "5000"};
const std::string ExamplePacket = "@ALIVE-1234 0999 0000 1500 2000 3000 4000 5000 OK1*";

SimOptions WithStatus(const std::string& status)
{
    SimOptions options;
    options.Status = status;
    return options;
}

TEST(StatusPacket, CarriesThePricesSeparatorsAndCodeByteForByte)
{
    std::string packet = BuildStatusPacket(Example, ' ', "OK1");
    EXPECT_EQ(packet, ExamplePacket);
    EXPECT_EQ(packet.size(), 51u);
    EXPECT_EQ(BuildStatusPacket(Example, '|', "E02"),
              "@ALIVE-1234|0999|0000|1500|2000|3000|4000|5000|E02*");
}

TEST(StatusPacket, KeepsItsShapeWhateverThePrices)
{
    PriceSet odd{"12", "", "123456", "   9", "0000", "0000", "0000", "0000"};
    EXPECT_EQ(BuildStatusPacket(odd, ' ', "OK "),
              "@ALIVE-12        1234    9 0000 0000 0000 0000 OK *");
}

struct FaultRow {
    TFault Fault;
    std::string Wire;
};

void PrintTo(const FaultRow& row, std::ostream* os)
{
    *os << FaultName(row.Fault);
}

class FaultBytes : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultBytes, FaultModeSendsExactlyTheseBytes)
{
    SimOptions options = WithStatus("OK1");
    options.Fault = GetParam().Fault;
    EXPECT_EQ(ShapeAnswer(Example, options).Whole(), GetParam().Wire);
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, FaultBytes,
    ::testing::Values(
        FaultRow{TFault::fNone, ExamplePacket},
        FaultRow{TFault::fLowerCase, "@alive-1234 0999 0000 1500 2000 3000 4000 5000 OK1*"},
        FaultRow{TFault::fShort, "@ALIVE-1234 0999 0000 1500 2000 3000 4000 5000OK1*"},
        FaultRow{TFault::fLoneAt, "@"}, FaultRow{TFault::fSilent, ""}),
    [](const auto& info) {
        std::string name = FaultName(info.param.Fault);
        std::erase(name, '-');
        return name;
    });

TEST(StatusPacket, SilentFaultHasNothingToWrite)
{
    SimOptions options;
    options.Fault = TFault::fSilent;
    options.Noise = true;
    EXPECT_TRUE(ShapeAnswer(Example, options).Chunks.empty());
}

TEST(StatusPacket, NoiseSurroundsThePacketWithoutFramingBytes)
{
    SimOptions options = WithStatus("OK1");
    options.Noise = true;
    std::string wire = ShapeAnswer(Example, options).Whole();
    EXPECT_EQ(wire, std::string("\r\n\0\xa5#noise#", 11) + ExamplePacket + "\x7f\xfe\r\n");

    options.Fault = TFault::fLoneAt;
    EXPECT_EQ(ShapeAnswer(Example, options).Whole(),
              std::string("\r\n\0\xa5#noise#@\x7f\xfe\r\n", 16));
}

TEST(StatusPacket, ChunksCoverTheWireInOrderWithTheDelayBetween)
{
    SimOptions options = WithStatus("OK1");
    options.ChunkSize = 20;
    options.ChunkDelay = 75ms;
    WireAnswer answer = ShapeAnswer(Example, options);
    ASSERT_EQ(answer.Chunks.size(), 3u);
    EXPECT_EQ(answer.Chunks[0].Bytes, ExamplePacket.substr(0, 20));
    EXPECT_EQ(answer.Chunks[1].Bytes, ExamplePacket.substr(20, 20));
    EXPECT_EQ(answer.Chunks[2].Bytes, ExamplePacket.substr(40));
    EXPECT_EQ(answer.Chunks[0].DelayBefore, 0ms);
    EXPECT_EQ(answer.Chunks[1].DelayBefore, 75ms);
    EXPECT_EQ(answer.Chunks[2].DelayBefore, 75ms);

    options.ChunkSize = 1;
    options.Noise = true;
    answer = ShapeAnswer(Example, options);
    EXPECT_EQ(answer.Chunks.size(), 11u + 51u + 4u);
}

} // namespace
} // namespace tarvio::sim
