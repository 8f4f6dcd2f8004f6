// The data packet check: the yardstick framer against the framing rules'
// known cases, the real packet against the yardstick on the same cases in
// several block splits, and faulty runners that must be caught.

#include "fuzz/data_packet_check.h"

#include "tests/fuzz/fuzz_cases.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kivo::fuzz;
using kivo::fuzz::test::Bytes;
using Packets = std::vector<std::string>;

namespace {

const std::string Frame = "@ALIVE-1234 0999 0000 1500 2000 3000 4000 5000 OK1*";

TPacketSettings Board()
{
    TPacketSettings s;
    s.StartString = "@";
    s.EndByString = true;
    s.EndString = "*";
    s.TimeOut = 2184;
    return s;
}

TPacketSettings Framed(std::string start, std::string end)
{
    TPacketSettings s = Board();
    s.StartString = std::move(start);
    s.EndString = std::move(end);
    return s;
}

Packets Model(const TPacketSettings& s, const std::string& stream)
{
    return FramePackets(s, stream).Packets;
}

// The real packet fed stream whole, byte by byte, and in blocks of seven.
void ExpectRealAgrees(const TPacketSettings& s, const std::string& stream, const Packets& want)
{
    std::vector<std::vector<std::string>> splits(3);
    splits[0] = {stream};
    for (char c : stream) splits[1].emplace_back(1, c);
    for (std::size_t at = 0; at < stream.size(); at += 7) splits[2].push_back(stream.substr(at, 7));
    for (const auto& blocks : splits) {
        TPacketOutcome got = RunDataPacket(s, blocks);
        EXPECT_EQ(got.Trouble, "");
        EXPECT_EQ(got.Packets, want) << blocks.size() << " blocks of " << stream;
    }
}

// Each block on a packet of its own: a packet split over two blocks is lost.
TPacketOutcome ForgetsBetweenBlocks(const TPacketSettings& s, const std::vector<std::string>& blocks)
{
    TPacketOutcome all;
    for (const std::string& block : blocks) {
        TPacketOutcome one = RunDataPacket(s, {block});
        all.ArmError = one.ArmError;
        all.Packets.insert(all.Packets.end(), one.Packets.begin(), one.Packets.end());
    }
    return all;
}

// Always hands over the delimiters.
TPacketOutcome KeepsStrings(const TPacketSettings& s, const std::vector<std::string>& blocks)
{
    TPacketSettings including = s;
    including.IncludeStrings = true;
    return RunDataPacket(including, blocks);
}

// Checks nothing when arming.
TPacketOutcome ArmsAnything(const TPacketSettings& s, const std::vector<std::string>& blocks)
{
    TPacketOutcome got = RunDataPacket(s, blocks);
    got.ArmError = 0;
    return got;
}

std::string Input(unsigned flags, int size, const std::string& start, const std::string& end,
                  std::vector<unsigned> cuts, const std::string& stream)
{
    std::string in;
    in += static_cast<char>(flags);
    in += static_cast<char>((size + 2) % 43);
    in += kivo::fuzz::test::LengthPrefixed(start, 6);
    in += kivo::fuzz::test::LengthPrefixed(end, 6);
    in += static_cast<char>(cuts.size());
    for (unsigned cut : cuts) {
        in += static_cast<char>(cut >> 8);
        in += static_cast<char>(cut & 0xFF);
    }
    return in + stream;
}

constexpr unsigned RawBytes = 0x80;
constexpr unsigned EndByString = 0x02;
constexpr unsigned LeaveStringsOut = 0x08;

} // namespace

TEST(PacketModel, BoardFramesBetweenNoiseTwiceAndWithoutTheirDelimiters)
{
    EXPECT_EQ(Model(Board(), "xx" + Frame + "yy"), Packets{Frame});
    EXPECT_EQ(Model(Board(), Frame + Frame), (Packets{Frame, Frame}));
    EXPECT_EQ(Model(Board(), "@ab@c*"), Packets{"@ab@c*"}) << "a second start is ordinary data";
    EXPECT_EQ(Model(Board(), "@unfinished"), Packets{});
    TPacketSettings bare = Board();
    bare.IncludeStrings = false;
    EXPECT_EQ(Model(bare, "x@12*@*"), (Packets{"12", ""}));
    bare.AutoEnable = false;
    EXPECT_EQ(Model(bare, "@1*@2*"), Packets{"1"});
}

TEST(PacketModel, CaseWildcardsEscapesAndRetriedStarts)
{
    EXPECT_EQ(Model(Framed("go", "!"), "GO! gO!"), (Packets{"GO!", "gO!"}));
    TPacketSettings exact = Framed("go", "!");
    exact.IgnoreCase = false;
    EXPECT_EQ(Model(exact, "GO! go!"), Packets{"go!"});
    EXPECT_EQ(Model(Framed("\xE2?", "!"), "\xC2x!"), Packets{}) << "only ASCII letters fold";
    EXPECT_EQ(Model(Framed("a?c", "!"), "abc! a?c!"), (Packets{"abc!", "a?c!"}));
    EXPECT_EQ(Model(Framed("a\\?c", "!"), "abc! a?c!"), Packets{"a?c!"});
    EXPECT_EQ(Model(Framed("a\\\\", "!"), "a\\!"), Packets{"a\\!"});
    EXPECT_EQ(Model(Framed("aab", "!"), "aaab!"), Packets{"aab!"}) << "starts at the second byte";
}

TEST(PacketModel, SizeEndsAndNoEnd)
{
    TPacketSettings sized = Board();
    sized.EndByString = false;
    sized.EndBySize = true;
    sized.PacketSize = 5;
    EXPECT_EQ(Model(sized, "x@1234@@"), Packets{"@1234"});
    sized.EndByString = true;
    EXPECT_EQ(Model(sized, "@12*@1234*"), (Packets{"@12*", "@1234"})) << "the size wins its own byte";
    TPacketSettings unended = Framed("ab", "");
    unended.EndByString = false;
    EXPECT_EQ(Model(unended, "abxab ab"), (Packets{"ab", "ab", "ab"}));
    TPacketSettings anything;
    anything.AnyDataStart = true;
    anything.EndBySize = true;
    anything.PacketSize = 2;
    EXPECT_EQ(Model(anything, "abcde"), (Packets{"ab", "cd"}));
}

TEST(PacketModel, ArmingRefusalsInTheirOrder)
{
    struct TRow {
        bool AnyData, ByString, BySize;
        const char* Start;
        const char* End;
        int Size, Code;
    };
    const TRow rows[] = {
        {false, true, false, "", "*", 0, -5501},    {false, true, false, "\\", "*", 0, -5501},
        {false, true, true, "@@", "*", 1, -5502},   {true, false, false, "", "", 0, -5503},
        {false, true, false, "@", "", 0, -5504},    {false, true, false, "", "", 0, -5501},
        {true, true, true, "", "*", 0, -5505},      {true, false, true, "", "", -1, -5505},
        {false, false, true, "@", "", 1, 0},
    };
    for (const TRow& row : rows) {
        TPacketSettings s;
        s.AnyDataStart = row.AnyData;
        s.EndByString = row.ByString;
        s.EndBySize = row.BySize;
        s.StartString = row.Start;
        s.EndString = row.End;
        s.PacketSize = row.Size;
        EXPECT_EQ(FramePackets(s, "").ArmError, row.Code) << row.Start << " " << row.End << " " << row.Size;
    }
}

TEST(DataPacketCheck, RealPacketAgreesInEverySplit)
{
    ExpectRealAgrees(Board(), "xx" + Frame + "yy" + Frame, {Frame, Frame});
    TPacketSettings bare = Board();
    bare.IncludeStrings = false;
    ExpectRealAgrees(bare, "@12*zz@*", {"12", ""});
    ExpectRealAgrees(Framed("aab", "?!"), "aaab..!x!", {"aab..!"});
    TPacketSettings sized = Framed("<", ">");
    sized.EndBySize = true;
    sized.PacketSize = 4;
    ExpectRealAgrees(sized, "<a><abcd>", {"<a>", "<abc"});
    TPacketOutcome refused = RunDataPacket(Framed("", "*"), {"@*"});
    EXPECT_EQ(refused.ArmError, -5501);
    EXPECT_TRUE(refused.Packets.empty());
}

TEST(DataPacketCheck, FaultyRunnersAreCaught)
{
    std::string split = Input(RawBytes | EndByString, 0, "@", "*", {3}, "@ab*");
    EXPECT_EQ(CheckDataPacketCase(Bytes(split), split.size(), &RunDataPacket), "");
    EXPECT_NE(CheckDataPacketCase(Bytes(split), split.size(), &ForgetsBetweenBlocks).find("never came"),
              std::string::npos);

    std::string bare = Input(RawBytes | EndByString | LeaveStringsOut, 0, "@", "*", {}, "@ab*");
    EXPECT_NE(CheckDataPacketCase(Bytes(bare), bare.size(), &KeepsStrings)
                  .find("packet 1 is \"@ab*\", expected \"ab\""),
              std::string::npos);

    std::string empty = Input(RawBytes | EndByString, 0, "", "*", {}, "@ab*");
    EXPECT_NE(CheckDataPacketCase(Bytes(empty), empty.size(), &ArmsAnything)
                  .find("enabling gave 0, expected -5501"),
              std::string::npos);
}
