// The status packet check: the program's check passes the sign's packet and
// its near misses, and faulty checks are caught.

#include "fuzz/status_packet_check.h"

#include "tests/fuzz/fuzz_cases.h"

#include <gtest/gtest.h>

#include <string>

using namespace kivo::fuzz;
using kivo::fuzz::test::Bytes;

namespace {

const std::string Good = "@ALIVE-1234 0999 0000 1500 2000 3000 4000 5000 OK1*";

std::string Check(const std::string& packet, TStatusPacketCheck check = &tarvio::CheckStatusPacket)
{
    return CheckStatusPacketCase(Bytes(packet), packet.size(), check);
}

std::optional<tarvio::TStatusReport> OneShortAccepted(const std::string& packet)
{
    if (packet.size() == 50 && packet.starts_with("@ALIVE-") && packet.back() == '*')
        return tarvio::CheckStatusPacket(packet + "*");
    return tarvio::CheckStatusPacket(packet);
}

std::optional<tarvio::TStatusReport> CaseBlind(const std::string& packet)
{
    std::string tagInCapitals = packet;
    for (std::size_t i = 0; i < 7 && i < tagInCapitals.size(); ++i)
        if ('a' <= tagInCapitals[i] && tagInCapitals[i] <= 'z') tagInCapitals[i] = static_cast<char>(tagInCapitals[i] - 32);
    return tarvio::CheckStatusPacket(tagInCapitals);
}

std::optional<tarvio::TStatusReport> PricesShifted(const std::string& packet)
{
    std::optional<tarvio::TStatusReport> report = tarvio::CheckStatusPacket(packet);
    if (report) report->Prices[7] = packet.substr(43, 4);
    return report;
}

} // namespace

TEST(StatusPacketCheck, ProgramCheckAgreesOnThePacketAndItsNearMisses)
{
    EXPECT_EQ(Check(Good), "");
    EXPECT_EQ(Check(Good.substr(0, 50)), "");
    EXPECT_EQ(Check(Good + "tail"), "");
    EXPECT_EQ(Check("@alive-" + Good.substr(7)), "");
    EXPECT_EQ(Check(""), "");
    EXPECT_EQ(Check("@ALIVE-"), "");
    std::string oddSeparators = Good;
    for (std::size_t at : {11, 16, 21, 26, 31, 36, 41, 46}) oddSeparators[at] = '\0';
    EXPECT_EQ(Check(oddSeparators), "");
}

TEST(StatusPacketCheck, FaultyChecksAreCaught)
{
    std::string shortPacket = Good.substr(0, 49) + "*";
    EXPECT_NE(Check(shortPacket, &OneShortAccepted).find("accepted, though it is not valid"),
              std::string::npos);
    EXPECT_NE(Check("@alive-" + Good.substr(7), &CaseBlind).find("accepted"), std::string::npos);
    EXPECT_NE(Check(Good, &PricesShifted).find("price 8 is \"000 \", expected \"5000\""), std::string::npos)
        << Check(Good, &PricesShifted);
}
