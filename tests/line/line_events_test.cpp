// What a real serial line does and a pseudo-terminal cannot show, through
// the test line: control lines, modem-line changes, line errors and breaks,
// flow control, RS-485, and a line the device drops while it is open.

#include "tests/line/test_line.h"
#include "tests/port/port_rig.h"
#include "tests/sign-sim/sim_process.h"

#include "framework/exceptions.h"
#include "platform/comm.h"
#include "platform/sync.h"
#include "serial/dispatch/dispatch_thread.h"
#include "serial/errors/exceptions.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace kivo::test {
namespace {

using namespace kivo::win;

constexpr DWORD evCts = 0x0008, evDsr = 0x0010, evRlsd = 0x0020, evRing = 0x0100;

// Notes, on the dispatch thread, the event mask of each status buffer that
// brought modem events: the pass reads the lines right after taking one.
class TLineDispatcher : public TKivWin32Dispatcher {
public:
    using TKivWin32Dispatcher::TKivWin32Dispatcher;
    std::atomic<DWORD> ModemEventsSeen{0};

protected:
    DWORD DeviceModemStatus() override
    {
        if (TKivDispatcherThread::Current() == DispatchThread.load())
            ModemEventsSeen |= LastEventMask & (evCts | evDsr | evRlsd | evRing);
        return TKivWin32Dispatcher::DeviceModemStatus();
    }
};

class TLinePort : public TKivComPort {
public:
    using TKivComPort::TKivComPort;
    std::unique_ptr<TKivBaseDispatcher> CreateDispatcher() override
    {
        auto dispatcher = std::make_unique<TLineDispatcher>(this);
        Line = dispatcher.get();
        return dispatcher;
    }
    TLineDispatcher* Line = nullptr;
};

class TestLine : public PortRig {
protected:
    TestLine() { Model.Model(Far); }
    ~TestLine() override
    {
        // The ports end before the model they use.
        while (!Form.Components().empty()) delete Form.Components().back();
        Pump();
    }

    // As the main window's stored description sets Port1 up: 9600 8N1.
    TLinePort& ProgramPort(bool open = true)
    {
        auto* port = new TLinePort(&Form);
        port->BeginLoading();
        port->SetComNumber(1);
        port->SetBaud(9600);
        port->EndLoading();
        port->SetOnTriggerModemStatus(TNotifyEvent::FromFunction([this](TObject*) { ++Modem; }));
        port->SetOnTriggerLineError(
            TTriggerLineErrorEvent::FromFunction([this](TObject*, WORD error, bool lineBreak) {
                Reported.push_back({error, lineBreak});
            }));
        if (open) {
            port->SetOpen(true);
            EXPECT_TRUE(Watching(*port));
        }
        return *port;
    }

    // The status thread has set its event mask: what happens on the line
    // from now on is reported. (Before that, a driver keeps nothing either.)
    bool Watching(TLinePort& port)
    {
        return WaitFor([&] {
            DWORD mask = 0;
            return port.Line && GetCommMask(port.Line->DeviceHandle, &mask) && mask != 0;
        });
    }

    // Opened as the program does, with a line-error trigger for every error.
    TLinePort& PortReportingLineErrors()
    {
        TLinePort& port = ProgramPort();
        if (port.Open()) {
            int trigger = port.Line->NewStatusTrigger(2);
            EXPECT_EQ(port.Line->ArmStatusTrigger(trigger, 0x1F), 0);
        }
        return port;
    }

    bool Quiet(const std::function<bool()>& change)
    {
        return !HappensWithin(change, 300ms);
    }

    PtyPair& Far = Line(1);
    TTestLine Model{Devices.Path()};
    int Modem = 0;
    std::vector<std::pair<WORD, bool>> Reported;
};

TEST_F(TestLine, DtrAndRtsAreOnAfterOpeningAndFollowTheProperties)
{
    EXPECT_FALSE(Model.Dtr() || Model.Rts());  // nobody drives them before the opening
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(Model.Dtr());
    EXPECT_TRUE(Model.Rts());
    // The opening applies every setting, and each drives both lines; on an
    // adapter each request is a round trip, so each line is set once.
    EXPECT_EQ(Model.LineWrites(), 2u);
    TLineView view = ReadLineView(Far);
    EXPECT_EQ(view.Speed, 9600u);
    EXPECT_EQ(view.DataBits, 8);
    EXPECT_FALSE(view.Parity);
    EXPECT_FALSE(view.TwoStopBits);

    port.SetDTR(false);
    EXPECT_FALSE(Model.Dtr());
    EXPECT_TRUE(Model.Rts());
    port.SetRTS(false);
    EXPECT_FALSE(Model.Rts());
    port.SetDTR(true);
    port.SetRTS(true);
    EXPECT_TRUE(Model.Dtr() && Model.Rts());
}

struct TModemCase {
    const char* Name;
    TModemLine Line;
    bool Before;           // the input's level at opening
    DWORD Event;           // the status buffer's event bit
    std::uint8_t Watch;    // modem-status trigger: the shadow bits it watches
    std::uint8_t Level;    // the shadow's line bit (0 for the ring pulse)
    std::uint8_t Changed;  // the shadow's change bit
};

void PrintTo(const TModemCase& c, std::ostream* os)
{
    *os << c.Name;
}

class ModemLines : public TestLine, public ::testing::WithParamInterface<TModemCase> {};

TEST_P(ModemLines, ChangeBringsItsStatusBufferShadowAndOneTrigger)
{
    const TModemCase& c = GetParam();
    Model.SetInput(c.Line, c.Before);
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    TLineDispatcher& line = *port.Line;
    int trigger = line.NewStatusTrigger(1);
    ASSERT_GT(trigger, 0);
    std::uint8_t before = c.Before ? c.Level : 0;
    ASSERT_EQ(line.ArmStatusTrigger(trigger, static_cast<std::uint16_t>(c.Watch << 8 | before)), 0);
    ASSERT_TRUE(WaitFor([&] { return Model.LinesWatched(); }));

    if (c.Level == 0)
        Model.PulseRing();
    else
        Model.SetInput(c.Line, !c.Before);
    ASSERT_TRUE(WaitFor([&] { return Modem == 1 && (line.ModemEventsSeen & c.Event); }))
        << "trigger " << Modem << ", events " << line.ModemEventsSeen;
    EXPECT_TRUE(Quiet([&] { return Modem > 1; })) << "a status trigger fires once";
    std::uint8_t shadow = line.ReadModemShadow();
    EXPECT_EQ(shadow & (c.Level | 0x04), c.Level == 0 ? 0x04 : (c.Before ? 0 : c.Level));

    // The trigger is spent, so nothing reads the lines but the status
    // buffer's own pass: the change bit shows that pass saw the change.
    if (c.Level == 0) return;
    line.ModemEventsSeen = 0;
    Model.SetInput(c.Line, c.Before);
    ASSERT_TRUE(WaitFor([&] { return (line.ModemEventsSeen & c.Event) != 0; }));
    shadow = line.ReadModemShadow();
    EXPECT_EQ(shadow & (c.Level | c.Changed), before | c.Changed);
    EXPECT_EQ(line.ReadModemShadow() & 0x0F, 0) << "change bits are cleared once read";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ModemLines,
    ::testing::Values(TModemCase{"CtsRaised", TModemLine::mlCts, false, evCts, 0x10, 0x10, 0x01},
                      TModemCase{"DsrDropped", TModemLine::mlDsr, true, evDsr, 0x20, 0x20, 0x02},
                      TModemCase{"RingPulsed", TModemLine::mlRing, false, evRing, 0x04, 0, 0x04},
                      TModemCase{"CarrierRaised", TModemLine::mlCarrier, false, evRlsd, 0x80,
                                 0x80, 0x08}),
    [](const auto& info) { return std::string(info.param.Name); });

// The driver's wait sees only what changes after it has begun: a change
// after the opening read the lines, as the watcher's first wait begins.
TEST_F(TestLine, ChangeAsTheWatcherBeginsToWaitIsSeen)
{
    Model.SetInputAsTheNextWaitBegins(TModemLine::mlCts, true);
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    ASSERT_TRUE(WaitFor([&] { return Model.LinesWatched(); }));
    EXPECT_TRUE(WaitFor([&] { return (port.Line->ModemEventsSeen & evCts) != 0; }, 2000ms))
        << "CTS rose unseen";
    EXPECT_EQ(port.Line->ReadModemShadow() & 0x11, 0x11);
}

// A line that drops and comes back before anything looks at it: the level is
// as it was, but the device reported the change, and the change bit says so.
TEST_F(TestLine, GlitchOnALineSetsItsChangeBit)
{
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    TLineDispatcher& line = *port.Line;
    ASSERT_TRUE(WaitFor([&] { return Model.LinesWatched(); }));
    const std::pair<TModemLine, std::uint8_t> lines[] = {
        {TModemLine::mlCts, 0x01}, {TModemLine::mlDsr, 0x02}, {TModemLine::mlCarrier, 0x08}};
    int fired = 0;
    for (auto [input, changed] : lines) {
        SCOPED_TRACE(static_cast<int>(changed));
        int trigger = line.NewStatusTrigger(1);
        ASSERT_EQ(line.ArmStatusTrigger(trigger, static_cast<std::uint16_t>(changed << 8)), 0);
        Model.Glitch(input);
        ASSERT_TRUE(WaitFor([&] { return Modem > fired; })) << "events " << line.ModemEventsSeen;
        fired = Modem;
        EXPECT_EQ(line.ReadModemShadow() & 0x0F, changed);
    }
}

// On the PC's own UART a new baud rate switches the modem-status interrupt
// off under the wait the watcher had made; the lines' changes must still come.
TEST_F(TestLine, ModemChangeAfterANewBaudRateIsSeenOnABuiltInUart)
{
    Model.CountOnlyWhileWaited();
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    ASSERT_TRUE(WaitFor([&] { return Model.LinesWatched(); }));
    const std::uint64_t waits = Model.LineWaitsAsked();
    port.SetBaud(19200);
    ASSERT_EQ(ReadLineView(Far).Speed, 19200u);
    HappensWithin([&] { return Model.LineWaitsAsked() > waits && Model.LinesWatched(); }, 300ms);
    Model.SetInput(TModemLine::mlCts, true);
    EXPECT_TRUE(WaitFor([&] { return (port.Line->ModemEventsSeen & evCts) != 0; }, 2000ms))
        << "CTS rose unseen";
}

TEST_F(TestLine, WatcherThatCannotWaitBacksOffAndStillSeesAChange)
{
    // Once a program has opened a port the poller sleeps between openings:
    // the refusal of the next one's watcher must still reach it.
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    ASSERT_TRUE(WaitFor([&] { return Model.LinesWatched(); }));
    port.SetOpen(false);
    Model.RefuseLineWaits();
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    // Let the quick looks after the start die down, then count a quiet spell.
    Quiet([] { return false; });
    Quiet([] { return false; });
    auto start = std::chrono::steady_clock::now();
    std::uint64_t before = Model.LineReads();
    Quiet([] { return false; });
    Quiet([] { return false; });
    auto spell = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::uint64_t looks = Model.LineReads() - before;
    // A look every 160 ms at the slow end; every 20 ms would be thirty.
    EXPECT_LE(looks, static_cast<std::uint64_t>(spell / 100ms) + 2) << "in " << spell.count() << " ms";

    Model.SetInput(TModemLine::mlCts, true);
    ASSERT_TRUE(WaitFor([&] { return (port.Line->ModemEventsSeen & evCts) != 0; }));
    EXPECT_EQ(port.Line->ReadModemShadow() & 0x11, 0x11);

    // The port reopens before every transmission: the driver is not asked
    // again, by a watcher thread of each opening, what it already refused.
    const std::uint64_t asked = Model.LineWaitsAsked();
    EXPECT_GE(asked, 1u);
    port.SetOpen(false);
    port.SetOpen(true);
    ASSERT_TRUE(port.Open() && Watching(port));
    Model.SetInput(TModemLine::mlCts, false);
    ASSERT_TRUE(WaitFor([&] { return (port.Line->ModemEventsSeen & evCts) != 0; }));
    EXPECT_EQ(Model.LineWaitsAsked(), asked);
}

// The device opened as the status thread uses it, closed with the test.
struct TOverlappedLine {
    HANDLE Device = CreateFileA(R"(\\.\COM1)", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED Record = WithEvent();
    ~TOverlappedLine()
    {
        CloseHandle(Device);  // first: it completes into the record
        CloseHandle(Record.hEvent);
    }
    static OVERLAPPED WithEvent()
    {
        OVERLAPPED record{};
        record.hEvent = CreateEvent(true, false);
        return record;
    }
};

// A change reaches the counters and the level alike. Whichever look takes it
// first, it is one event: a ClearCommError that took the counters' word for
// it left the level to be found changed again by the next look at the lines.
TEST_F(TestLine, ModemChangeTakenByClearCommErrorIsNotReportedAgain)
{
    Model.RefuseLineWaits();  // looked at on a timer, so the order below is the test's
    TOverlappedLine line;
    ASSERT_NE(line.Device, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ASSERT_TRUE(SetCommMask(line.Device, EV_CTS));
    ASSERT_TRUE(WaitFor([&] { return Model.LineWaitsAsked() > 0; }));
    Quiet([] { return false; });  // the look at once after the refusal is over

    Model.SetInput(TModemLine::mlCts, true);
    DWORD errors = 0;
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(line.Device, &errors, &status));
    DWORD mask = 0;
    if (!WaitCommEvent(line.Device, &mask, &line.Record)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    DWORD size = 0;
    ASSERT_EQ(WaitForSingleObject(line.Record.hEvent, 2000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(line.Device, &line.Record, &size, FALSE));
    EXPECT_EQ(mask, DWORD{EV_CTS});

    mask = 0;
    ResetEvent(line.Record.hEvent);
    if (!WaitCommEvent(line.Device, &mask, &line.Record)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    // The slow end of the look's back-off is 160 ms: three looks at least.
    EXPECT_EQ(WaitForSingleObject(line.Record.hEvent, 600), DWORD{WAIT_TIMEOUT})
        << "one rise of CTS reported again, as " << mask;
}

struct TErrorCase {
    const char* Name;
    void (TTestLine::*Cause)(char);
    WORD Error;  // as the line-error event reports it
    bool LineBreak;
};

void PrintTo(const TErrorCase& c, std::ostream* os)
{
    *os << c.Name;
}

class LineErrors : public TestLine, public ::testing::WithParamInterface<TErrorCase> {};

TEST_P(LineErrors, EachBringsOneLineErrorTriggerWithItsBits)
{
    const TErrorCase& c = GetParam();
    TLinePort& port = PortReportingLineErrors();
    ASSERT_TRUE(port.Open());
    (Model.*c.Cause)('x');
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    EXPECT_TRUE(Quiet([&] { return Reported.size() > 1; }));
    EXPECT_EQ(Reported.front().first, c.Error);
    EXPECT_EQ(Reported.front().second, c.LineBreak);
    EXPECT_EQ(port.LastLineError(), 0) << "reported once";
}

INSTANTIATE_TEST_SUITE_P(
    Errors, LineErrors,
    ::testing::Values(TErrorCase{"Framing", &TTestLine::FramingError, 4, false},
                      TErrorCase{"Parity", &TTestLine::ParityError, 3, false},
                      TErrorCase{"Overrun", &TTestLine::Overrun, 2, false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(TestLine, BreakBringsOneLineErrorTriggerWithTheBreak)
{
    TLinePort& port = PortReportingLineErrors();
    ASSERT_TRUE(port.Open());
    Model.Break();
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    EXPECT_TRUE(Quiet([&] { return Reported.size() > 1; }));
    EXPECT_EQ(Reported.front(), (std::pair<WORD, bool>{0, true}));
    EXPECT_FALSE(port.BreakReceived()) << "reported once";
}

TEST_F(TestLine, FlowControlAsTheLineShowsIt)
{
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    port.SetHWFlowOptions({THWFlowOptions::hwfUseDTR, THWFlowOptions::hwfUseRTS});
    port.SetSWFlowOptions(TSWFlowOptions::swfBoth);
    TLineView view = ReadLineView(Far);
    EXPECT_TRUE(view.RtsCts);
    EXPECT_TRUE(view.XonOutput && view.XonInput);
    EXPECT_EQ(view.Start, 0x11);
    EXPECT_EQ(view.Stop, 0x13);
    // Under handshake the driver holds both lines; the properties cannot drop them.
    port.SetDTR(false);
    EXPECT_TRUE(Model.Dtr() && Model.Rts());

    port.SetHWFlowOptions({});
    port.SetSWFlowOptions(TSWFlowOptions::swfNone);
    view = ReadLineView(Far);
    EXPECT_FALSE(view.RtsCts || view.XonOutput || view.XonInput);
    port.SetDTR(false);
    EXPECT_FALSE(Model.Dtr());
    EXPECT_TRUE(Model.Rts());
}

TEST_F(TestLine, RateTheDriverCannotGiveFailsAndTheLineKeepsItsRate)
{
    Model.RatesUpTo(115200);
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    EXPECT_THROW(port.SetBaud(230400), EInOutError);
    EXPECT_EQ(ReadLineView(Far).Speed, 9600u);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port.Line->DeviceHandle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u) << "the record must say what the line runs at";

    port.SetBaud(115200);
    EXPECT_EQ(ReadLineView(Far).Speed, 115200u);
    ASSERT_TRUE(GetCommState(port.Line->DeviceHandle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
}

TEST_F(TestLine, Rs485ModeIsSetAndClearedOnAnOpenPort)
{
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    port.SetRS485Mode(true);
    EXPECT_EQ(Model.Rs485Flags() & (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND),
              SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND);
    port.PutText("@");
    EXPECT_EQ(Far.ReadExactly(1, 2000ms), "@");
    port.SetRS485Mode(false);
    EXPECT_EQ(Model.Rs485Flags() & SER_RS485_ENABLED, 0u);
    port.SetRTS(true);
    EXPECT_TRUE(Model.Rts());
}

TEST_F(TestLine, Rs485WithoutTheDriversModeDropsRtsOnceTheLastBitHasLeft)
{
    Model.RefuseRs485();
    TLinePort& port = ProgramPort();
    ASSERT_TRUE(port.Open());
    port.SetRS485Mode(true);
    EXPECT_FALSE(Model.Rts());  // the bus is the sign's until we send
    // Still sending when the write returns: RTS may fall only on a later
    // look, which nothing but the write itself has asked for.
    Model.TransmitterBusyFor(2);
    port.PutText("@");
    EXPECT_EQ(Far.ReadExactly(1, 2000ms), "@");
    EXPECT_TRUE(WaitFor([&] { return !Model.Rts(); })) << "RTS still holds the bus";
}

// ---- a line the device drops while the port is open --------------------------

// The hang-up path: the threads end (-161), the line releases itself, the
// line-error event reports the device failure (10), and from then on the
// port does not read Open and calls on it say the device is not open.
void ExpectReleased(TLinePort& port, const std::vector<std::pair<WORD, bool>>& errors)
{
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front().first, 10);
    EXPECT_FALSE(port.Open());
    EXPECT_THROW(port.PutText("@0000*"), ECommNotOpen);
    EXPECT_THROW(port.SetBaud(19200), ECommNotOpen);
    EXPECT_THROW(port.SetDTR(false), ECommNotOpen);
    EXPECT_EQ(port.Baud(), 19200) << "line settings keep the new value";
    EXPECT_TRUE(port.DTR()) << "control lines keep the old one";
}

TEST_F(TestLine, HangUpWithThePathInPlaceReleasesTheLineAndReopensCleanly)
{
    if (::geteuid() != 0) GTEST_SKIP() << "TIOCVHANGUP needs root; run as root to cover it";
    TLinePort& port = PortReportingLineErrors();
    ASSERT_TRUE(port.Open());
    int fd = ::open(Far.SubsidiaryPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ioctl(fd, TIOCVHANGUP), 0);
    ::close(fd);
    ASSERT_TRUE(WaitFor([&] { return !port.Open(); })) << "the port still reads Open";
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    ExpectReleased(port, Reported);

    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(Model.Dtr() && Model.Rts());
    port.PutText("@");
    EXPECT_EQ(Far.ReadExactly(1, 2000ms), "@");
    EXPECT_EQ(port.Baud(), 19200);
    EXPECT_EQ(ReadLineView(Far).Speed, 19200u);
}

TEST_F(TestLine, VanishedFarEndReleasesTheLineAndTheReopenSaysNoSuchPort)
{
    TLinePort& port = PortReportingLineErrors();
    ASSERT_TRUE(port.Open());
    Far.CloseController();
    // The name goes with the adapter. Left pointing at the pty, it would name
    // whichever pty another program on the machine opens next under the
    // number the release frees.
    std::filesystem::remove(Devices / "com1");
    ASSERT_TRUE(WaitFor([&] { return !port.Open(); })) << "the port still reads Open";
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    ExpectReleased(port, Reported);
    EXPECT_THROW(port.SetOpen(true), EBadId);
    EXPECT_FALSE(port.Open());
}

// An RS-485 adapter without the driver's mode, gone while idle: raising RTS
// for the next write is the first request to hear of it, before any hang-up
// reaches the poller. The write fails as the line's other calls then do; left
// pending on a dead line it would never end, as a dead line refuses PurgeComm.
TEST_F(TestLine, WriteThatFindsTheAdapterGoneFailsInsteadOfStayingPending)
{
    Model.RefuseRs485();
    HANDLE device = CreateFileA(R"(\\.\COM1)", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    OVERLAPPED record{};
    record.hEvent = CreateEvent(true, false);
    struct TClosed {
        HANDLE Device, Event;
        ~TClosed()
        {
            CloseHandle(Device);  // first: it completes into the record
            CloseHandle(Event);
        }
    } closed{device, record.hEvent};
    DCB dcb{};
    ASSERT_TRUE(GetCommState(device, &dcb));
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(SetCommState(device, &dcb));
    Model.Unplug();
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(device, "@", 1, &n, &record));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_NE(record.Internal, STATUS_PENDING) << "the write was left pending";
}

// ---- the simulated sign's faults that need the test line -----------------------

class SignOnTestLine : public TestLine {
protected:
    ~SignOnTestLine() override
    {
        // The port goes before the sign: the sign's end closing first would
        // hang the line up under the close.
        while (!Form.Components().empty()) delete Form.Components().back();
        Pump();
    }

    // The sign makes its own pty; the model follows it there.
    void StartSign(const std::string& fault, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args{"--device-dir", Devices.Path().string(), "--com", "2",
                                      "--quiet",      "--fault",                fault};
        args.insert(args.end(), extra.begin(), extra.end());
        Sign = std::make_unique<tarvio::sim::test::SimProcess>(args);
        std::optional<std::string> where = Sign->WaitReady();
        if (!where) throw std::runtime_error("sign not ready: " + Sign->Stderr());
        Model.Model(*where);
    }

    TLinePort& SignPort()
    {
        TLinePort& port = ProgramPort(false);
        port.SetComNumber(2);
        port.SetOpen(true);
        EXPECT_TRUE(Watching(port));
        return port;
    }

    // Whether a frame is answered within the window.
    bool Answered(TLinePort& port, std::chrono::milliseconds window)
    {
        static const std::string frame = "@" + std::string(32, '1') + "*";
        int before = port.Line->InputCount();
        port.PutText(frame);
        return HappensWithin([&] { return port.Line->InputCount() >= before + 51; }, window);
    }

    std::unique_ptr<tarvio::sim::test::SimProcess> Sign;
};

TEST_F(SignOnTestLine, DtrPoweredSignAnswersOnlyWhileDtrIsOn)
{
    StartSign("dtr-power");
    TLinePort& port = SignPort();
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(Answered(port, 5000ms));
    port.SetDTR(false);
    EXPECT_FALSE(Answered(port, 500ms));
    port.SetDTR(true);
    EXPECT_TRUE(Answered(port, 5000ms));
}

TEST_F(SignOnTestLine, BreakingSignBringsABreakBeforeEachAnswer)
{
    StartSign("break");
    TLinePort& port = SignPort();
    ASSERT_TRUE(port.Open());
    int trigger = port.Line->NewStatusTrigger(2);
    ASSERT_EQ(port.Line->ArmStatusTrigger(trigger, 0x10), 0);
    EXPECT_TRUE(Answered(port, 5000ms));
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    EXPECT_TRUE(Reported.front().second);
}

// Each answer's break comes right before that answer, never inside the one
// still going out before it.
TEST_F(SignOnTestLine, BreakingSignKeepsEachBreakWithItsOwnAnswer)
{
    StartSign("break", {"--chunk", "10", "--chunk-delay", "40"});
    tarvio::sim::test::ProgramEnd line((Devices.Path() / "com2").string());
    const std::string frame = "@" + std::string(32, '1') + "*";
    std::string packet = "@ALIVE-";
    for (int row = 0; row < 8; ++row) packet += "1111 ";
    packet += "OK *";
    line.Write(frame + frame);
    const std::string nul(1, '\0');
    EXPECT_EQ(line.ReadExactly(2 * (1 + packet.size()), 5000ms), nul + packet + nul + packet);
}

} // namespace
} // namespace kivo::test
