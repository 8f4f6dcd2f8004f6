// The dispatcher core through a scripted device: the two rings, line
// settings, control lines and flow control, line errors, the registry, and
// the open, close and thread-end steps.

#include "tests/dispatch/scripted_dispatcher.h"
#include "tests/support/wait_until.h"

#include "framework/thread.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace kivo::test {
namespace {

using namespace std::chrono_literals;
using win::DWORD;

std::string Bytes(std::size_t count, char first = 'a')
{
    std::string text(count, '\0');
    for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>(first + i % 26);
    return text;
}

class DispatcherCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::SetMainThread();
        ASSERT_EQ(Line.Open(), 0);
    }

    // Feeds bytes and waits until the dispatch thread has moved them in.
    void Arrive(const std::string& bytes)
    {
        int before = Line.InputCount();
        Line.Receive(bytes);
        ASSERT_TRUE(WaitUntil(2s, [&] {
            return Line.InputCount() == before + static_cast<int>(bytes.size());
        }));
    }

    std::string Take(int count)
    {
        std::string out(static_cast<std::size_t>(count), '\0');
        EXPECT_EQ(Line.ReadBlock(out.data(), count), count);
        return out;
    }

    ScriptedDispatcher Line;
};

TEST_F(DispatcherCore, ReadAcrossTheEndOfTheRingKeepsOrderAndWrapsTheTail)
{
    Arrive(Bytes(8000));
    Take(8000);
    std::string crossing = Bytes(300, 'A');
    Arrive(crossing);
    EXPECT_EQ(Take(300), crossing);
    EXPECT_EQ(Line.DispTail, 108u);
    EXPECT_EQ(Line.InputCount(), 0);
}

TEST_F(DispatcherCore, TailLandingOnTheRingSizeBecomesZero)
{
    Arrive(Bytes(8000));
    Take(8000);
    Arrive(Bytes(192));
    Take(192);
    EXPECT_EQ(Line.DispTail, 0u);
}

TEST_F(DispatcherCore, FullRingHoldsExactly8192AndTheRestWaitsQueued)
{
    Arrive(Bytes(8192));
    EXPECT_TRUE(Line.DispFull);
    Line.Receive("xyz");
    EXPECT_FALSE(WaitUntil(120ms, [&] { return Line.InputCount() > 8192; }));
    Take(8192);
    EXPECT_TRUE(WaitUntil(2s, [&] { return Line.InputCount() == 3; }));
    EXPECT_EQ(Take(3), "xyz");
}

TEST_F(DispatcherCore, ReadOnePastWhatIsHeldFailsAndMovesNothing)
{
    Arrive("hello");
    char out[6] = {};
    EXPECT_EQ(Line.ReadBlock(out, 6), ecBufferIsEmpty);
    EXPECT_EQ(Line.InputCount(), 5);
    EXPECT_EQ(Take(5), "hello");
}

TEST_F(DispatcherCore, DiscardInputEmptiesTheDispatchBuffer)
{
    Arrive("stale bytes");
    Line.DiscardInput();
    EXPECT_EQ(Line.InputCount(), 0);
    Arrive("new");
    EXPECT_EQ(Take(3), "new");
}

class OutputRing : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::SetMainThread();
        ASSERT_EQ(Line.Open(9600, 100), 0);
    }
    ScriptedDispatcher Line{false};
};

TEST_F(OutputRing, BlockOfExactlyTheFreeRoomFillsTheRing)
{
    ASSERT_EQ(Line.WriteBlock(Bytes(40).data(), 40), 0);
    EXPECT_EQ(Line.WriteBlock(Bytes(60).data(), 60), 0);
    EXPECT_TRUE(Line.OutputFull());
    EXPECT_EQ(Line.OutputCount(), 100);
    EXPECT_EQ(Line.OutputRoom(), 0);
}

TEST_F(OutputRing, OneByteMoreThanTheRoomFailsAndWritesNothing)
{
    ASSERT_EQ(Line.WriteBlock(Bytes(40).data(), 40), 0);
    EXPECT_EQ(Line.WriteBlock(Bytes(61).data(), 61), ecOutputBufferTooSmall);
    EXPECT_EQ(Line.WrittenBytes().size(), 40u);
    EXPECT_FALSE(Line.OutputFull());
}

TEST_F(OutputRing, DeviceThatAcceptsNothingReportsPutBlockFailAndLeavesTheRingEmpty)
{
    Line.WriteAccepts = 0;
    Line.PendingErrors = win::CE_FRAME;
    EXPECT_EQ(Line.WriteBlock(Bytes(100).data(), 100), ecPutBlockFail);
    EXPECT_FALSE(Line.OutputFull());
    EXPECT_EQ(Line.OutputCount(), 0);
    EXPECT_EQ(Line.TakeLineError(), 4);
}

TEST_F(OutputRing, RS485WithoutBaseAddressOffNTIsRefused)
{
    Line.NTPlatform = false;
    Line.SetRS485(true);
    EXPECT_EQ(Line.WriteBlock("x", 1), ecBaseAddressNotSet);
    Line.BaseAddress = 0x3F8;
    Line.SetRS485(true);
    EXPECT_EQ(Line.WriteBlock("x", 1), 0);
    EXPECT_EQ(Line.EscapeCalls().back(), escSetRTS);
}

class LineSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::SetMainThread();
        ASSERT_EQ(Line.Open(), 0);
    }
    ScriptedDispatcher Line{false};
};

TEST_F(LineSettings, OpenWritesTheLineOnceWithBinaryFlagsAndDtrRtsEnabled)
{
    EXPECT_EQ(Line.SetConfigCalls(), 1);
    win::DCB config = Line.LastConfig();
    EXPECT_EQ(config.BaudRate, 9600u);
    EXPECT_EQ(config.ByteSize, 8);
    EXPECT_EQ(config.StopBits, win::ONESTOPBIT);
    EXPECT_EQ(config.fBinary, 1u);
    EXPECT_EQ(config.fTXContinueOnXoff, 1u);
    EXPECT_EQ(config.fDtrControl, win::DTR_CONTROL_ENABLE);
    EXPECT_EQ(config.fRtsControl, win::RTS_CONTROL_ENABLE);
}

TEST_F(LineSettings, KeepCurrentValuesTouchNothingAndDoNotWaitForTheOutput)
{
    ASSERT_EQ(Line.WriteBlock("pending", 7), 0);  // never drained by this device
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Line.ConfigureLine(KeepBaud, KeepParity, KeepDataBits, KeepStopBits), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(Line.SetConfigCalls(), 1);
}

TEST_F(LineSettings, FiveDataBitsGiveOneAndAHalfStopBitsWhateverIsAsked)
{
    EXPECT_EQ(Line.ConfigureLine(KeepBaud, KeepParity, 5, 2), 0);
    EXPECT_EQ(Line.LastConfig().ByteSize, 5);
    EXPECT_EQ(Line.LastConfig().StopBits, win::ONE5STOPBITS);
    EXPECT_EQ(Line.ConfigureLine(KeepBaud, KeepParity, 8, 2), 0);
    EXPECT_EQ(Line.LastConfig().StopBits, win::TWOSTOPBITS);
    EXPECT_EQ(Line.ConfigureLine(KeepBaud, KeepParity, KeepDataBits, 7), 0);
    EXPECT_EQ(Line.LastConfig().StopBits, win::TWOSTOPBITS);  // clamped
}

TEST_F(LineSettings, QueryLineMapsDriverBaudCodes)
{
    DWORD baud = 0;
    int parity = 0, dataBits = 0, stopBits = 0;
    struct Row {
        DWORD Stored;
        DWORD Reported;
    };
    for (Row row : {Row{0xFEFF, 115200}, Row{0xFF16, 9600}, Row{0xFF1B, 38400},
                    Row{0xFF27, 256000}, Row{0xFF19, 0xFF19}, Row{57600, 57600}}) {
        Line.DeviceConfig.BaudRate = row.Stored;
        Line.DeviceConfig.StopBits = win::TWOSTOPBITS;
        Line.QueryLine(baud, parity, dataBits, stopBits);
        EXPECT_EQ(baud, row.Reported) << row.Stored;
        EXPECT_EQ(stopBits, 2);
    }
}

TEST_F(LineSettings, FlowThresholdsOutOfOrderOrAboveTheInputSizeAreRefused)
{
    EXPECT_EQ(Line.SetHardwareFlow(10, 20, hfUseRTS), ecBadArgument);
    EXPECT_EQ(Line.SetHardwareFlow(4097, 0, hfUseRTS), ecBadArgument);
    EXPECT_EQ(Line.SetSoftwareFlow(10, 20, sfReceive), ecBadArgument);
    EXPECT_EQ(Line.SetSoftwareFlow(4097, 0, sfReceive), ecBadArgument);
    EXPECT_EQ(Line.SetHardwareFlow(0, -1, 0), ecBadArgument);
    EXPECT_EQ(Line.SetConfigCalls(), 1);
    EXPECT_EQ(Line.SetHardwareFlow(4096, 100, hfUseRTS | hfRequireCTS), 0);
    win::DCB config = Line.LastConfig();
    EXPECT_EQ(config.fRtsControl, win::RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(config.fOutxCtsFlow, 1u);
    EXPECT_EQ(config.XoffLim, 0);
    EXPECT_EQ(config.XonLim, 100);
}

TEST_F(LineSettings, ControlLineUnderFlowControlIsLeftAlone)
{
    ASSERT_EQ(Line.SetHardwareFlow(1000, 100, hfUseDTR), 0);
    auto escapes = Line.EscapeCalls().size();
    EXPECT_EQ(Line.DriveDTR(false), 1);
    EXPECT_EQ(Line.EscapeCalls().size(), escapes);
    EXPECT_TRUE(Line.DtrOn);
    EXPECT_EQ(Line.DriveRTS(false), 0);
    EXPECT_EQ(Line.EscapeCalls().back(), escClearRTS);
}

TEST_F(LineSettings, FailingEscapeIsABadArgument)
{
    Line.EscapeResult = -1;
    EXPECT_EQ(Line.DriveRTS(true), ecBadArgument);
}

TEST_F(LineSettings, SoftwareFlowSetsTheStandardCharactersAndClearsBothSides)
{
    ASSERT_EQ(Line.SetSoftwareFlow(3000, 500, sfReceive | sfTransmit), 0);
    int hardware = -1, software = -1;
    char xon = 0, xoff = 0;
    Line.QueryFlow(hardware, software, xon, xoff);
    EXPECT_EQ(hardware, 0);
    EXPECT_EQ(software, sfReceive | sfTransmit);
    EXPECT_EQ(xon, 0x11);
    EXPECT_EQ(xoff, 0x13);
    ASSERT_EQ(Line.ClearSoftwareFlow(), 0);
    Line.QueryFlow(hardware, software, xon, xoff);
    EXPECT_EQ(software, 0);
}

class LineErrors : public LineSettings {};

TEST_F(LineErrors, OverrunComesBeforeBreakAndTheBreakBitStays)
{
    Line.PendingErrors = win::CE_OVERRUN | win::CE_BREAK;
    Line.OutputCount();
    EXPECT_EQ(Line.TakeLineError(), 2);
    EXPECT_EQ(Line.TakeLineError(), 9);  // only the break is left
    EXPECT_TRUE(Line.TakeLineBreak());
    EXPECT_FALSE(Line.TakeLineBreak());
    EXPECT_EQ(Line.TakeLineError(), 0);
}

TEST_F(LineErrors, ErrorsAreReportedInBitOrder)
{
    Line.PendingErrors = win::CE_RXPARITY | win::CE_FRAME | win::CE_RXOVER;
    Line.OutputCount();
    EXPECT_EQ(Line.TakeLineError(), 1);
    Line.PendingErrors = win::CE_RXPARITY | win::CE_FRAME;
    Line.OutputCount();
    EXPECT_EQ(Line.TakeLineError(), 3);
    EXPECT_EQ(Line.TakeLineError(), 0);  // the low four bits went together
}

TEST_F(LineErrors, DeviceFailureReadsAsTenOnceAndIsNoBreak)
{
    Line.ThreadStarted();
    Line.ThreadEnded(nullptr, ecDeviceRead);
    EXPECT_FALSE(Line.TakeLineBreak());
    EXPECT_EQ(Line.TakeLineError(), 10);
    EXPECT_EQ(Line.ErrorBits.load(), 0);
    EXPECT_EQ(Line.TakeLineError(), 0);
}

TEST(DispatcherRegistry, FreedIndexIsTakenByTheNextDispatcher)
{
    auto first = std::make_unique<ScriptedDispatcher>(false);
    auto second = std::make_unique<ScriptedDispatcher>(false);
    EXPECT_EQ(second->RegistryIndex(), first->RegistryIndex() + 1);
    EXPECT_EQ(DispatcherFromHandle(second->RegistryIndex()), second.get());
    int freed = first->RegistryIndex();
    first.reset();
    EXPECT_EQ(DispatcherFromHandle(freed), nullptr);
    ScriptedDispatcher third(false);
    EXPECT_EQ(third.RegistryIndex(), freed);
}

TEST(DispatcherOpen, DeviceOpenFailureGivesTheNegatedSystemError)
{
    ScriptedDispatcher line(false);
    line.OpenResult = -1;
    line.OpenError = win::ERROR_ACCESS_DENIED;
    EXPECT_EQ(line.Open(), ecAccessDenied);
    EXPECT_FALSE(line.Started());
    EXPECT_EQ(line.InputCount(), 0);
}

TEST(DispatcherOpen, DeviceOpenFailureWithoutSystemErrorIsNeverSuccess)
{
    ScriptedDispatcher line(false);
    line.OpenResult = -1;
    EXPECT_EQ(line.Open(), ecGeneralFailure);
    line.OpenResult = ecOutOfMemory;
    EXPECT_EQ(line.Open(), ecOutOfMemory);
}

TEST(DispatcherThreads, StopWakesTheDispatchThreadAtOnce)
{
    win::SetMainThread();
    ScriptedDispatcher line;
    ASSERT_EQ(line.Open(), 0);
    ASSERT_TRUE(line.Started());
    auto start = std::chrono::steady_clock::now();
    line.CloseLine();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(line.DispatchThread.load());
    // Without the wake the close waits for ever on a thread asleep with no
    // deadline; the bound leaves room for a loaded machine (30 ms seen).
    EXPECT_LT(took, 250ms);
    EXPECT_TRUE(WaitUntil(1s, [&] { return !line.Started(); }));
}

// A launch counts its thread before it runs. One dismissed before it ever
// ran skips its body, start and end step with it; its count and its slot
// must still go, or the line would read started for good and its owner
// wait for it for ever.
TEST(DispatcherThreads, ThreadDismissedBeforeItRanGivesBackItsCountAndSlot)
{
    win::SetMainThread();
    class TNeverRuns final : public TKivDispatcherThread {
    public:
        using TKivDispatcherThread::TKivDispatcherThread;
        bool Ran = false;

    protected:
        void Execute() override
        {
            StartStep();
            Ran = true;
            EndStep(0);
        }
    };
    ScriptedDispatcher line(false);
    line.CountingLaunches = true;
    line.ThreadLaunching();
    auto* thread = new TNeverRuns(line, &line.ReadThread);
    line.CountingLaunches = false;
    ASSERT_EQ(line.ThreadCount.load(), 1);
    TKivDispatcherThread::Dismiss(line, line.ReadThread);
    thread->Start();  // frees itself
    EXPECT_TRUE(WaitUntil(2s, [&] { return line.ThreadCount.load() == 0; }));
    EXPECT_EQ(line.ReadThread.load(), nullptr);
}

TEST(DispatcherThreads, ThreadEndWithAnUncodedFailureIsShown)
{
    win::SetMainThread();
    std::vector<std::string> shown;
    SetExceptionDisplay([&](std::exception_ptr error) { shown.push_back(ExceptionMessage(error)); });
    {
        ScriptedDispatcher line(false);
        line.ThreadStarted();
        line.ThreadEnded(nullptr, ecTapiNoMem);
    }
    SetExceptionDisplay(nullptr);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "No memory");
}

} // namespace
} // namespace kivo::test
