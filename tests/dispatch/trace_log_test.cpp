// The trace ring and its file, the dispatch log's limit and its table.

#include "tests/dispatch/scripted_dispatcher.h"
#include "tests/support/temp_dir.h"

#include "platform/clock.h"
#include "serial/dispatch/detail/log_format.h"
#include "serial/errors/error_codes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kivo::test {
namespace {

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class Trace : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Line.Open(), 0); }

    std::string Dump(bool hex, bool allHex = false)
    {
        EXPECT_EQ(Line.DumpTrace((Dir / "KIVO.TRC").string(), hex, allHex), 0);
        return Dir.Read("KIVO.TRC");
    }

    ScriptedDispatcher Line{false};
    TempDir Dir{"kivo-trace"};
};

TEST_F(Trace, WrappedRingIsWrittenFromTheOldestEntryInSections)
{
    ASSERT_EQ(Line.InitTrace(3), 0);
    Line.AddTraceEntry('T', 1);
    Line.AddTraceEntry('T', 2);
    Line.AddTraceEntry('R', 3);
    Line.AddTraceEntry('T', 4);
    EXPECT_EQ(Line.TraceIndex, 1u);
    EXPECT_TRUE(Line.TraceWrapped);
    EXPECT_EQ(Dump(true), "Transmit: \n[02]\n\nReceive: \n[03]\n\nTransmit: \n[04]\n");
}

TEST_F(Trace, WritesAndReadsAreRecordedWithTheirDirection)
{
    ASSERT_EQ(Line.InitTrace(100), 0);
    ASSERT_EQ(Line.WriteBlock("AT", 2), 0);
    Line.Receive("OK");
    Line.DispatchPass();
    char reply[2];
    ASSERT_EQ(Line.ReadBlock(reply, 2), 2);
    EXPECT_EQ(Dump(true), "Transmit: \nAT\n\nReceive: \nOK\n");
}

TEST_F(Trace, DumpEmptiesTheTraceAndGoesOnRecording)
{
    ASSERT_EQ(Line.InitTrace(10), 0);
    Line.AddTraceEntry('T', 'a');
    Dump(true);
    EXPECT_EQ(Line.TraceIndex, 0u);
    ASSERT_EQ(Line.WriteBlock("b", 1), 0);
    EXPECT_EQ(Line.AppendTrace((Dir / "KIVO.TRC").string(), true, false), 0);
    EXPECT_EQ(Dir.Read("KIVO.TRC"), "Transmit: \na\nTransmit: \nb\n");
}

TEST_F(Trace, HexAndDecimalRenderings)
{
    ASSERT_EQ(Line.InitTrace(10), 0);
    for (std::uint8_t byte : {0x20, 0x0D, 0x41, 0xFF}) Line.AddTraceEntry('R', byte);
    EXPECT_EQ(Dump(true), "Receive: \n[20][0D]A[FF]\n");
    for (std::uint8_t byte : {0x20, 0x0D, 0x41, 0xFF}) Line.AddTraceEntry('R', byte);
    EXPECT_EQ(Dump(false), "Receive: \n [13]A[255]\n");
    for (std::uint8_t byte : {0x20, 0x41}) Line.AddTraceEntry('R', byte);
    EXPECT_EQ(Dump(false, true), "Receive: \n[20][41]\n");
}

TEST_F(Trace, OtherKindsGetASpecialSection)
{
    ASSERT_EQ(Line.InitTrace(10), 0);
    Line.AddTraceEntry('X', 'z');
    EXPECT_EQ(Dump(true), "Special-X: \nz\n");
}

TEST_F(Trace, SeventyEightPrintableBytesFillALineAndTheNextStartsAnother)
{
    ASSERT_EQ(Line.InitTrace(200), 0);
    for (int i = 0; i < 79; ++i) Line.AddTraceEntry('T', 'x');
    auto lines = LinesOf(Dump(true));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], std::string(78, 'x'));
    EXPECT_EQ(lines[2], "x");
}

TEST_F(Trace, HexItemsAreNotSplitAcrossLines)
{
    ASSERT_EQ(Line.InitTrace(200), 0);
    for (int i = 0; i < 20; ++i) Line.AddTraceEntry('T', 0x01);
    auto lines = LinesOf(Dump(true));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].size(), 76u);  // 19 items of four columns
    EXPECT_EQ(lines[2], "[01]");
}

TEST_F(Trace, CapacityAboveFourMillionIsRefused)
{
    EXPECT_EQ(Line.InitTrace(4000001), ecBadArgument);
    EXPECT_EQ(Line.InitTrace(0), ecBadArgument);
    EXPECT_EQ(Line.DumpTrace((Dir / "none.trc").string(), true, false), 0);
    EXPECT_FALSE(std::filesystem::exists(Dir / "none.trc"));
}

// The operator fixes the path and dumps again: nothing recorded is lost.
TEST_F(Trace, FailedDumpGivesTheNegatedErrorAndKeepsTheTraceForAnotherTry)
{
    ASSERT_EQ(Line.InitTrace(3), 0);
    for (std::uint8_t byte : {'a', 'b', 'c', 'd'}) Line.AddTraceEntry('T', byte);
    EXPECT_EQ(Line.DumpTrace((Dir / "missing" / "KIVO.TRC").string(), true, false),
              ecPathNotFound);
    EXPECT_EQ(Line.DumpTrace(Dir.Path().string(), true, false), ecAccessDenied);
    EXPECT_EQ(Line.DumpTrace("/dev/full", true, false), -101);
    ASSERT_EQ(Line.WriteBlock("e", 1), 0);
    EXPECT_EQ(Dump(true), "Transmit: \ncde\n");
}

// A trace named after a FIFO nobody reads: the dump fails instead of waiting
// for ever for a reader, and the record stays.
TEST_F(Trace, DumpToAFifoWithoutReaderFailsAtOnce)
{
    const std::string fifo = (Dir / "KIVO.FIFO").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(Line.InitTrace(10), 0);
    Line.AddTraceEntry('T', 'a');
    std::atomic<int> result{1};
    std::thread dumper([&] { result = Line.DumpTrace(fifo, true, false); });
    for (int i = 0; i < 200 && result == 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool stuck = result == 1;
    if (stuck) {
        // Lets a blocked open go on, so the test ends.
        int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        dumper.join();
        ::close(reader);
    } else {
        dumper.join();
    }
    EXPECT_FALSE(stuck) << "the dump waited for a reader of the FIFO";
    EXPECT_EQ(result, ecGeneralFailure);
    EXPECT_EQ(Dump(true), "Transmit: \na\n");
}

// The reader of a FIFO goes away while the dump writes: the dump fails and the
// program lives on.
TEST_F(Trace, DumpToAFifoWhoseReaderLeavesFailsWithoutEndingTheProgram)
{
    const std::string fifo = (Dir / "KIVO.FIFO").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(Line.InitTrace(200000), 0);
    for (int i = 0; i < 200000; ++i) Line.AddTraceEntry('T', 'a');
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::thread leaver([reader] {
        // Leaves once the dump has begun to write.
        pollfd ready{reader, POLLIN, 0};
        ::poll(&ready, 1, 5000);
        ::close(reader);
    });
    const int result = Line.DumpTrace(fifo, true, false);
    leaver.join();
    EXPECT_EQ(result, ecGeneralFailure);
    Line.AddTraceEntry('R', 'b');
    EXPECT_EQ(Dump(true).substr(0, 11), "Transmit: \n");
}

// Files of this process end at bytes past what they hold: a write reaching
// the cap is cut short, as on a full disk.
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes) : OldAction(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &Old);
        rlimit cap = Old;
        cap.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &cap);
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &Old);
        std::signal(SIGXFSZ, OldAction);
    }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;

private:
    rlimit Old{};
    void (*OldAction)(int);
};

// An append cut short leaves the file as it was, so appending again writes
// the record once.
TEST_F(Trace, AppendCutShortAndAppendedAgainHoldsTheRecordOnce)
{
    ASSERT_EQ(Line.InitTrace(2000), 0);
    for (int i = 0; i < 1500; ++i) Line.AddTraceEntry('T', 'a');
    std::string record = "Transmit: \n";
    for (int i = 0; i < 19; ++i) record += std::string(78, 'a') + "\n";
    record += std::string(18, 'a') + "\n";
    Dir.Write("KIVO.TRC", "earlier\n");
    const std::string path = (Dir / "KIVO.TRC").string();
    {
        FileSizeCap cap(8 + 700);
        EXPECT_EQ(Line.AppendTrace(path, true, false), -101);
    }
    EXPECT_EQ(Dir.Read("KIVO.TRC"), "earlier\n");
    ASSERT_EQ(Line.AppendTrace(path, true, false), 0);
    EXPECT_EQ(Dir.Read("KIVO.TRC"), "earlier\n" + record);
}

// Every handler of a notification reads from the same tail: bytes a second
// handler reads again were received once.
TEST_F(Trace, BytesSeveralHandlersReadAreRecordedOnce)
{
    win::SetMainThread();
    ASSERT_EQ(Line.InitTrace(100), 0);
    auto reader = [&](int count) {
        return TTriggerHandlerEvent::FromFunction([&, count](win::UINT message, win::WPARAM,
                                                             win::LPARAM) {
            char bytes[8];
            if (message == kvTriggerAvail) Line.ReadBlock(bytes, count);
        });
    };
    Line.AttachEventHandler(reader(2));
    Line.AttachEventHandler(reader(4));
    Line.AttachEventHandler(reader(3));
    Line.SetAvailThreshold(1);
    Line.Receive("abcdef");
    Line.DispatchPass();
    ASSERT_EQ(Line.InputCount(), 2);
    char rest[2];
    ASSERT_EQ(Line.ReadBlock(rest, 2), 2);
    EXPECT_EQ(Dump(true), "Receive: \nabcdef\n");
}

// The far end answers "AT" at once while another thread holds StateLock, as
// the dispatch thread does when it reads: the reply waits until the write it
// answers is recorded, in the trace and in the log.
TEST_F(Trace, AReplyIsRecordedAfterTheWriteItAnswers)
{
    using namespace std::chrono_literals;
    ASSERT_EQ(Line.InitTrace(100), 0);
    Line.InitLog(0);
    std::atomic<bool> stop{false};
    std::thread farEnd([&] {
        while (!stop) {
            std::string reply;
            {
                win::TCriticalSectionLock hold(Line.OutputLock);
                for (; Line.OutTail != Line.OutHead; Line.OutTail = (Line.OutTail + 1) % Line.OutSize)
                    reply += static_cast<char>(Line.OutRing[Line.OutTail] | 0x20);
            }
            if (!reply.empty()) Line.Receive(reply);
            std::this_thread::sleep_for(1ms);
        }
    });
    auto readReply = [&](std::chrono::milliseconds within) {
        for (auto end = std::chrono::steady_clock::now() + within;
             Line.InputQueue.Count() == 0 && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(1ms);
        Line.DispatchPass();
        char reply[2];
        return Line.ReadBlock(reply, 2) == 2;
    };
    std::atomic<bool> holding{false};
    bool readFirst = false;
    std::thread reader([&] {
        win::TCriticalSectionLock hold(Line.StateLock);
        holding = true;
        readFirst = readReply(300ms);
    });
    while (!holding) std::this_thread::yield();
    ASSERT_EQ(Line.WriteBlock("AT", 2), 0);
    reader.join();
    const bool readLater = !readFirst && readReply(3s);
    stop = true;
    farEnd.join();
    ASSERT_TRUE(readFirst || readLater);
    EXPECT_EQ(Dump(true), "Transmit: \nAT\n\nReceive: \nat\n");
    ASSERT_EQ(Line.DumpLog((Dir / "KIVO.LOG").string(), true, false), 0);
    std::vector<std::string> moves;
    for (const std::string& line : LinesOf(Dir.Read("KIVO.LOG")))
        if (line.rfind("Dispatch", 10) == 10) moves.push_back(line.substr(20, 8));
    EXPECT_EQ(moves, (std::vector<std::string>{"WriteCom", "ReadCom "}));
}

TEST_F(Trace, PausedTraceRecordsNothingUntilResumed)
{
    ASSERT_EQ(Line.InitTrace(10), 0);
    Line.PauseTrace();
    ASSERT_EQ(Line.WriteBlock("a", 1), 0);
    Line.ResumeTrace();
    ASSERT_EQ(Line.WriteBlock("b", 1), 0);
    EXPECT_EQ(Dump(true), "Transmit: \nb\n");
}

TLogBuffer Entry(std::uint8_t type, std::uint16_t subType, std::uint32_t time,
                 std::uint32_t other, const std::string& data)
{
    return TLogBuffer(type, subType, time, other, data.empty() ? nullptr : data.data(),
                      static_cast<std::int32_t>(data.size()));
}

TEST(LogFormat, TimesAreSecondsWithThreeDecimals)
{
    EXPECT_EQ(detail::FormatLogTime(5), "0000.005");
    EXPECT_EQ(detail::FormatLogTime(12345), "0012.345");
    EXPECT_EQ(detail::FormatLogTime(0), "0000.000");
}

TEST(LogFormat, FixedPartIsFortyFourColumns)
{
    std::string line = detail::FormatLogEntry(Entry(2, 5, 12345, 0x1F, ""), true, false);
    EXPECT_EQ(line, "0012.345  Trigger   Avail         0000001f  \n");
    EXPECT_EQ(line.size(), 45u);
}

TEST(LogFormat, FortyPrintableBytesContinueOnAnIndentedSecondLine)
{
    std::string data(40, 'd');
    auto lines = LinesOf(detail::FormatLogEntry(Entry(1, 1, 0, 40, data), false, false));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(44), std::string(33, 'd'));
    EXPECT_EQ(lines[1], std::string(44, ' ') + std::string(7, 'd'));
}

TEST(LogFormat, StatusTriggerEntriesNameTheirKind)
{
    std::string kind(1, '\x02');
    EXPECT_EQ(detail::FormatLogEntry(Entry(6, 15, 0, 0x12, kind), true, false).substr(44),
              "(Line status)\n");
    EXPECT_EQ(detail::FormatLogEntry(Entry(5, 15, 0, 0x15, std::string(1, '\x05')), true, false)
                  .substr(44),
              "(Output sent)\n");
}

TEST(LogFormat, ModemStatusEntriesNameTheirBits)
{
    std::string line = detail::FormatLogEntry(Entry(1, 4, 0, 0x91, "m"), true, false);
    EXPECT_EQ(line.substr(44), "m(DCTS CTS DCD)\n");
}

TEST(LogFormat, AllHexWritesUserEntriesAsPlainCharacters)
{
    EXPECT_EQ(detail::FormatLogEntry(Entry(1, 2, 0, 2, "A "), true, true).substr(44), "[41][20]\n");
    EXPECT_EQ(detail::FormatLogEntry(Entry(19, 0, 0, 2, "A "), true, true).substr(44), "A \n");
}

TEST(LogFormat, TelnetEntriesNameTheirOption)
{
    EXPECT_EQ(detail::FormatLogEntry(Entry(10, 20, 0, 1, ""), true, false).substr(44), "[Echo]\n");
}

class Log : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Line.Open(), 0); }
    std::string Path() { return (Dir / "KIVO.LOG").string(); }

    ScriptedDispatcher Line{false};
    TempDir Dir{"kivo-log"};
};

TEST_F(Log, LimitKeepsTheNewestEntryAndAtMostOneOlder)
{
    Line.InitLog(100);
    std::string sixty(60, 'p');
    for (int i = 0; i < 5; ++i)
        Line.AddLogEntry(19, 0, static_cast<win::DWORD>(i), sixty.data(), 60);
    ASSERT_EQ(Line.DumpLog(Path(), true, false), 0);
    auto lines = LinesOf(Dir.Read("KIVO.LOG"));
    std::vector<std::string> kept;
    for (const std::string& line : lines)
        if (line.rfind("User", 10) == 10) kept.push_back(line.substr(34, 8));
    EXPECT_EQ(kept, (std::vector<std::string>{"00000003", "00000004"}));
}

TEST_F(Log, EntriesWithoutDataNeverCountAgainstTheLimit)
{
    Line.InitLog(10);
    for (int i = 0; i < 50; ++i) Line.AddLogEntry(2, 5, static_cast<win::DWORD>(i), nullptr, 0);
    ASSERT_EQ(Line.DumpLog(Path(), true, false), 0);
    auto lines = LinesOf(Dir.Read("KIVO.LOG"));
    EXPECT_EQ(lines.size(), 7u + 50u);
}

TEST_F(Log, EmptyLogWritesNothingAndCreatesNoFile)
{
    Line.InitLog(0);
    EXPECT_EQ(Line.DumpLog(Path(), true, false), 0);
    EXPECT_FALSE(std::filesystem::exists(Dir / "KIVO.LOG"));
}

TEST_F(Log, HeaderThenTheDispatchersOwnEntriesInOrder)
{
    Line.DeviceName = "\\\\.\\COM7";
    Line.InitLog(0);
    int timer = Line.NewTimerTrigger();
    ASSERT_EQ(Line.WriteBlock("hi", 2), 0);
    Line.ArmTimerTrigger(timer, 0, false);
    ASSERT_EQ(Line.DumpLog(Path(), true, false), 0);
    auto lines = LinesOf(Dir.Read("KIVO.LOG"));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0].rfind("KIVO ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("Compiler : ", 0), 0u);
    EXPECT_EQ(lines[2].rfind("Operating System : ", 0), 0u);
    EXPECT_EQ(lines[3], "Device: \\\\.\\COM7");
    EXPECT_EQ(lines[4].size(), std::string("Date/time: dd/mm/yy, hh:mm:ss").size());
    EXPECT_EQ(lines[5], "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(lines[6], "--------  --------  ------------  --------  ---------");
    EXPECT_EQ(lines[7].substr(10), "TrigAllc  Timer         00000008  ");
    EXPECT_EQ(lines[8].substr(10), "Dispatch  WriteCom      00000002  hi");
    EXPECT_EQ(lines[9].substr(10), "TrDatChg  Timer         00000008  Deactivated");
    // Dumped entries are gone.
    EXPECT_EQ(Line.DumpLog((Dir / "again.log").string(), true, false), 0);
    EXPECT_FALSE(std::filesystem::exists(Dir / "again.log"));
}

TEST_F(Log, FailedOpenKeepsTheEntries)
{
    Line.InitLog(0);
    Line.AddLogEntry(2, 6, 8, nullptr, 0);
    EXPECT_EQ(Line.DumpLog((Dir / "missing" / "x.log").string(), true, false), ecPathNotFound);
    EXPECT_EQ(Line.AppendLog(Path(), true, false), 0);
    EXPECT_EQ(LinesOf(Dir.Read("KIVO.LOG")).size(), 8u);
}

TEST_F(Log, FailedWriteKeepsTheEntriesInOrderForAnotherTry)
{
    Line.InitLog(0);
    for (win::DWORD i = 0; i < 40; ++i) Line.AddLogEntry(2, 6, i, nullptr, 0);
    EXPECT_EQ(Line.DumpLog("/dev/full", true, false), -101);
    Line.AddLogEntry(2, 6, 40, nullptr, 0);
    ASSERT_EQ(Line.DumpLog(Path(), true, false), 0);
    auto lines = LinesOf(Dir.Read("KIVO.LOG"));
    ASSERT_EQ(lines.size(), 7u + 41u);
    for (std::size_t i = 0; i < 41; ++i)
        EXPECT_EQ(std::stoul(lines[7 + i].substr(34, 8), nullptr, 16), i);
}

// One thread logs long entries while another logs short ones and moves the
// clock on before each: the table lists the entries in the order they were
// queued, and their times must not go back down it.
TEST_F(Log, TimesNeverGoBackDownTheTable)
{
    struct ClockReset {
        ~ClockReset() { win::SetTimeOffsetForTesting(0); }
    } reset;
    Line.InitLog(0);
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::thread other([&] {
        const std::string block(16 * 1024, 'a');
        for (; !done; started = true) Line.AddLogEntry(19, 0, 1, block.data(), 16 * 1024);
    });
    while (!started) std::this_thread::yield();
    for (win::DWORD offset = 1; offset <= 3000; ++offset) {
        win::SetTimeOffsetForTesting(offset);
        Line.AddLogEntry(19, 0, 2, "b", 1);
    }
    done = true;
    other.join();
    ASSERT_EQ(Line.DumpLog(Path(), true, false), 0);
    std::vector<double> times;
    for (const std::string& line : LinesOf(Dir.Read("KIVO.LOG")))
        if (line.rfind("User", 10) == 10) times.push_back(std::stod(line.substr(0, line.find(' '))));
    ASSERT_GT(times.size(), 3000u);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
}

TEST_F(Log, PausedLogRecordsNothing)
{
    Line.InitLog(0);
    Line.PauseLog();
    Line.AddLogEntry(2, 6, 8, nullptr, 0);
    EXPECT_EQ(Line.DumpLog(Path(), true, false), 0);
    EXPECT_FALSE(std::filesystem::exists(Dir / "KIVO.LOG"));
}

} // namespace
} // namespace kivo::test
