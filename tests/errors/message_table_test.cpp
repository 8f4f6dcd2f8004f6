// The message table's shape and quoted texts, and the lookup with its
// fallback on the system's texts.

#include "serial/errors/message_table.h"

#include "serial/errors/detail/system_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kivo {
namespace {

// The codes the table holds, as runs of consecutive numbers.
const std::vector<std::pair<int, int>> ExpectedRuns{
    {0, 0}, {-2, -6}, {-8, -8}, {-15, -15}, {-18, -18}, {-100, -105}, {-150, -162},
    {-1001, -1009}, {-2001, -2012}, {-3001, -3010}, {-4001, -4017}, {-4020, -4021},
    {4101, 4101}, {4200, 4213}, {4301, 4312}, {4401, 4403}, {4500, 4523}, {4550, 4553},
    {4599, 4611}, {4630, 4633}, {4660, 4671}, {4700, 4728}, {4730, 4730}, {4801, 4808},
    {4820, 4828}, {4830, 4832}, {4840, 4843}, {-5001, -5003}, {-5501, -5506},
    {-6001, -6016}, {-7001, -7014}, {-7500, -7502}, {-8001, -8005}, {-8050, -8055},
    {-8060, -8075}, {-8080, -8083}, {-8085, -8085}, {-8087, -8092}, {-8100, -8103},
    {-8300, -8305}, {-8310, -8318}, {-8320, -8322}, {-8330, -8332}, {-8340, -8340},
    {-8500, -8500}, {9001, 9007}, {10000, 10000}, {10004, 10004}, {10009, 10009},
    {10013, 10014}, {10022, 10022}, {10024, 10024}, {10035, 10071}, {10091, 10093},
    {10101, 10101}, {11001, 11004}, {13501, 13516}, {13533, 13557}, {13565, 13565},
    {13597, 13601}, {13650, 13670}, {-13801, -13803}, {-13805, -13848}, {-13850, -13886},
    {-13928, -13932}, {13933, 13933}, {-13934, -13945}, {-13950, -13959}, {-13980, -13980},
    {15001, 15021}, {15100, 15356}, {15501, 15502}, {15601, 15608}, {15700, 15742},
};

const std::set<int> EmptyEntries{4200, 4600, 4630, 4660, 4725, 4726, 4727, 4728, 4730, 10000, 15100};

TEST(MessageTable, HoldsExactlyTheListedCodesInAscendingMagnitude)
{
    std::vector<int> expected;
    for (auto [first, last] : ExpectedRuns) {
        int step = last >= first ? 1 : -1;
        for (int code = first; code != last + step; code += step) expected.push_back(code);
    }
    std::vector<int> actual;
    for (const MessageLookupEntry& entry : MessageTable()) actual.push_back(entry.Code);

    EXPECT_EQ(MessageTable().size(), 897u);
    EXPECT_EQ(actual, expected);
    for (std::size_t i = 1; i < actual.size(); ++i)
        ASSERT_LT(std::abs(actual[i - 1]), std::abs(actual[i])) << "at entry " << i;
}

TEST(MessageTable, OnlyTheNamedEntriesAreEmpty)
{
    std::set<int> empty;
    for (const MessageLookupEntry& entry : MessageTable()) {
        if (entry.Text.empty()) empty.insert(entry.Code);
        EXPECT_LE(entry.Text.size(), 255u) << entry.Code;
    }
    EXPECT_EQ(empty, EmptyEntries);
}

struct QuotedText {
    int Code;
    const char* Text;
};

const std::vector<QuotedText> QuotedTexts{
    {0, "OK"},
    {-2, "File not found"}, {-3, "Path not found"}, {-4, "Too many open files"},
    {-5, "File access denied"}, {-6, "Invalid file handle"}, {-8, "Insufficient memory"},
    {-15, "Invalid drive"}, {-18, "No more files"},
    {-100, "Attempt to read beyond end of file"}, {-101, "Disk is full"},
    {-102, "File/device not assigned"}, {-103, "File/device not open"},
    {-104, "File/device not open for input"}, {-105, "File/device not open for output"},
    {-150, "Disk is write-protected"}, {-151, "Unknown disk unit"},
    {-152, "Drive is not ready"}, {-153, "Unknown command"}, {-154, "Data error"},
    {-155, "Bad request structure length"}, {-156, "Seek error"},
    {-157, "Unknown media type"}, {-158, "Disk sector not found"},
    {-159, "Printer is out of paper"}, {-160, "Device write error"},
    {-161, "Device read error"}, {-162, "General failure"},
    {-1001, "Bad handle passed to com function"},
    {-1002, "Bad argument passed to function"},
    {-1003, "Got quit message"},
    {-1004, "Terminal buffer greater than 65521"},
    {-1005, "ComPort component not assigned"},
    {-1006, "Internal error creating window class"},
    {-1007, "Modem component not assigned"},
    {-1008, "Phonebook component not assigned"},
    {-1009, "Component not compatible with WinSock"},
    {-2001, "ie_BadId - Specified comport doesn't exist"},
    {-2002, "ie_Baudrate - unsupported baud rate"},
    {-2003, "ie_Bytesize - invalid byte size"},
    {-2004, "ie_Default - error in default parameters"},
    {-2005, "ie_Hardware - Specified comport in use"},
    {-2006, "ie_Memory - unable to allocate queues"},
    {-2007, "ie_NOpen - device not open"},
    {-2008, "ie_Open - device already open"},
    {-2009, "No more handles, can't open port"},
    {-2010, "No timers available"},
    {-2011, "The ComNumber property of the TKivComPort has not been set"},
    {-2012, "Comport was not opened by Tapi"},
    {-3001, "No device layer specified"},
    {-3002, "Function not supported by driver"},
    {-3003, "EnableCommNotification failed"},
    {-3004, "Failed to put entire block"},
    {-3005, "Failed to get entire block"},
    {-3006, "Output buffer too small for block"},
    {-3007, "Buffer is empty"},
    {-3008, "Tracing not enabled"},
    {-3009, "Logging not enabled"},
    {-3010, "Base address not set"},
    {-5001, "No more trigger slots"},
    {-5002, "Data trigger too long"},
    {-5003, "Bad trigger handle"},
    {-5501, "Start string is empty"},
    {-5502, "Packet size cannot be smaller than start string"},
    {-5503, "CharCount packets must have an end-condition"},
    {-5504, "End string is empty"},
    {-5505, "Packet size cannot be zero"},
    {-5506, "Packet too long"},
    {-13868, "No memory"},
};

TEST(MessageTable, QuotedErrorTextsAreExact)
{
    for (const QuotedText& quoted : QuotedTexts) {
        EXPECT_EQ(MessageTableText(quoted.Code), quoted.Text) << quoted.Code;
        EXPECT_EQ(ErrorMessageText(quoted.Code), quoted.Text) << quoted.Code;
    }
}

TEST(MessageTable, DispatchLogNamesSitAtTheirBases)
{
    const std::vector<std::string> types{
        "No event", "Dispatch", "Trigger", "Error", "Thread", "TrigAllc", "TrigDisp",
        "TrgHdAlc", "TrgHdDsp", "TrDatChg", "Telnet", "Fax", "XModem", "YModem",
        "ZModem", "Kermit", "Ascii", "BPlus", "Packet", "User", "Script"};
    ASSERT_EQ(types.size(), static_cast<std::size_t>(LogTypeCount));
    for (int t = 0; t < LogTypeCount; ++t)
        EXPECT_EQ(MessageTableText(LogTypeNameBase + t), types[static_cast<std::size_t>(t)]) << t;

    const std::vector<std::pair<int, std::string>> subtypes{
        {1, "ReadCom"}, {2, "WriteCom"}, {3, "Line status"}, {4, "Modem status"},
        {5, "Avail"}, {6, "Timer"}, {7, "Data"}, {8, "Status"}, {9, "Start"},
        {10, "Exit"}, {11, "Sleep"}, {12, "Wake"}, {13, "Data"}, {14, "Timer"},
        {15, "Status"}, {16, "Avail"}, {17, "Window"}, {18, "Procedure"}, {19, "Method"},
        {20, "Sent WILL"}, {21, "Sent WON'T"}, {22, "Sent DO"}, {23, "Sent DON'T"},
        {24, "Recv WILL"}, {25, "Recv WON'T"}, {26, "Recv DO"}, {27, "Recv DON'T"},
        {28, "Command"}, {29, "Sent Term"},
        {242, "Enable"}, {243, "Disable"}, {244, "StringPacket"}, {245, "SizePacket"},
        {246, "PcktTimeout"}, {247, "StartStr"}, {248, "EndStr"}, {249, "Idle"},
        {250, "Waiting"}, {251, "Collecting"}, {252, "Status Queued"},
        {253, "Data Queued"}, {254, "Data Written"}};
    for (const auto& [subtype, name] : subtypes)
        EXPECT_EQ(MessageTableText(LogSubtypeNameBase + subtype), name) << subtype;

    EXPECT_EQ(MessageTableText(LogSubtypeNameBase), "");
    // Every subtype a log entry can carry has a name except 0, so the log's
    // columns never fall back to the system's texts.
    for (int s = 1; s < LogSubtypeCount; ++s)
        EXPECT_FALSE(MessageTableText(LogSubtypeNameBase + s).empty()) << s;
    for (int o = 0; o < TelnetOptionCount; ++o)
        EXPECT_FALSE(MessageTableText(TelnetOptionNameBase + o).empty()) << o;
    EXPECT_EQ(MessageTableText(ModemStatusNameBase), "DCTS");
    EXPECT_EQ(MessageTableText(ModemStatusNameBase + 7), "DCD");
}

// Records what the lookup asks of the system and answers with a text that has
// every flaw the clean-up must remove.
struct RecordingSystem {
    static inline std::vector<std::uint32_t> Asked;
    static std::string Answer(std::uint32_t number)
    {
        Asked.push_back(number);
        return number == 404 ? std::string() : "System\ttext  for\r\n" + std::to_string(number) + ".\r\n";
    }
};

class Lookup : public ::testing::Test {
protected:
    void SetUp() override { RecordingSystem::Asked.clear(); }
    static std::string Text(int code) { return detail::LookupMessageText(code, &RecordingSystem::Answer); }
};

TEST_F(Lookup, SignIsIgnoredAndOnlyTheLow16BitsCount)
{
    EXPECT_EQ(Text(2001), "ie_BadId - Specified comport doesn't exist");
    EXPECT_EQ(Text(-2001), "ie_BadId - Specified comport doesn't exist");
    // Same low 16 bits as -2007 and as 2007.
    EXPECT_EQ(Text(-2007 - 0x10000), "ie_NOpen - device not open");
    EXPECT_EQ(Text(0x10000 - 2007), "ie_NOpen - device not open");
    EXPECT_EQ(Text(0x30000 + 2007), "ie_NOpen - device not open");
    EXPECT_EQ(Text(0x10000), "OK");
    EXPECT_TRUE(RecordingSystem::Asked.empty());
}

TEST_F(Lookup, EmptyOrMissingEntryAsksTheSystemForTheMagnitude)
{
    EXPECT_EQ(Text(-4200), "System text for 4200. ");
    EXPECT_EQ(Text(15100), "System text for 15100. ");
    EXPECT_EQ(Text(-87), "System text for 87. ");
    // -160000 has the low 16 bits 0x8F00, which is -28928 as a signed value.
    EXPECT_EQ(Text(-160000), "System text for 28928. ");
    EXPECT_EQ(Text(-404), "");
    EXPECT_EQ(RecordingSystem::Asked, (std::vector<std::uint32_t>{4200, 15100, 87, 28928, 404}));
}

TEST_F(Lookup, EveryEntryIsFoundFromBothSigns)
{
    for (const MessageLookupEntry& entry : MessageTable()) {
        if (entry.Text.empty()) continue;
        ASSERT_EQ(Text(entry.Code), entry.Text) << entry.Code;
        ASSERT_EQ(Text(-entry.Code), entry.Text) << entry.Code;
    }
    EXPECT_TRUE(RecordingSystem::Asked.empty());
}

TEST_F(Lookup, NumbersBetweenEntriesAreNotMatchedToNeighbours)
{
    for (int magnitude : {1, 7, 9, 106, 163, 1000, 1010, 4018, 4019, 4729, 13804, 13849, 13887,
                          13960, 13981, 15022, 15357, 15743, 32767, 32768}) {
        EXPECT_TRUE(MessageTableText(magnitude).empty()) << magnitude;
        EXPECT_EQ(Text(magnitude), "System text for " + std::to_string(magnitude) + ". ");
    }
    // The table's own text takes the whole code, without the 16-bit cut.
    EXPECT_TRUE(MessageTableText(-2007 - 0x10000).empty());
    EXPECT_TRUE(MessageTableText(INT_MIN).empty());
    EXPECT_EQ(MessageTableText(-2007), "ie_NOpen - device not open");
}

TEST(ErrorMessageText, UsesTheSystemTextsOfThePlatform)
{
    EXPECT_EQ(ErrorMessageText(-87), "The parameter is incorrect. ");
    EXPECT_EQ(ErrorMessageText(-1167), "The device is not connected. ");
    // The table wins over the system: 5 has a text of its own.
    EXPECT_EQ(ErrorMessageText(-5), "File access denied");
    // Neither the table nor the system has a text for 4200.
    EXPECT_EQ(ErrorMessageText(4200), "");
}

TEST(TidySystemText, TurnsControlsIntoSpacesAndCollapsesRuns)
{
    EXPECT_EQ(detail::TidySystemText("a\r\n\tb   c\x01\x1f" "d"), "a b c d");
    EXPECT_EQ(detail::TidySystemText("  lead and trail  "), " lead and trail ");
    // Bytes above 0x7F are text, not control characters.
    EXPECT_EQ(detail::TidySystemText("caf\xc3\xa9  ok"), "caf\xc3\xa9 ok");
    EXPECT_EQ(detail::TidySystemText(""), "");
}

TEST(TidySystemText, CutsAt255CharactersBeforeCollapsing)
{
    EXPECT_EQ(detail::TidySystemText(std::string(300, 'x')), std::string(255, 'x'));
    // 250 letters, then spaces that collapse to one, then letters past the cut.
    std::string text = std::string(250, 'y') + std::string(10, ' ') + "zzz";
    EXPECT_EQ(detail::TidySystemText(text), std::string(250, 'y') + " ");
}

} // namespace
} // namespace kivo
