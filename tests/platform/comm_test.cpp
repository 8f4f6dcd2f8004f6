// The serial device through real pseudo-terminals: the controller end of a
// pty pair plays the far end of the line, linked as com1 in a temporary
// device directory.

#include "platform/comm.h"
#include "platform/sync.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace kivo::win;
using kivo::test::PtyPair;
using kivo::test::TempDir;
using kivo::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

constexpr const char* Com1 = R"(\\.\COM1)";

HANDLE OpenPort(const std::string& name)
{
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// An OVERLAPPED with its own manual-reset event, as the device threads keep one.
struct Overlapped
{
    Overlapped() { Record.hEvent = CreateEvent(true, false); }
    ~Overlapped() { CloseHandle(Record.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    bool SignalledWithin(DWORD ms)
    {
        return WaitForSingleObject(Record.hEvent, ms) == WAIT_OBJECT_0;
    }

    OVERLAPPED Record;
};

// The port's own threads (named kivo-comm*) and their CPU time, so a spin
// shows however busy the rest of the process or the machine is.
struct PortThreads
{
    int Count = 0;
    std::chrono::milliseconds Cpu{};
};

PortThreads PortThreadsNow()
{
    PortThreads threads;
    long ticks = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream name(task.path() / "comm");
        std::string comm;
        std::getline(name, comm);
        if (comm.rfind("kivo-comm", 0) != 0) continue;
        ++threads.Count;
        std::ifstream statFile(task.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)),
                         std::istreambuf_iterator<char>());
        // Fields after the parenthesised name: state is 3rd, utime 14th, stime 15th.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        for (int index = 3; index <= 15 && fields >> field; ++index)
            if (index >= 14) ticks += std::stol(field);
    }
    threads.Cpu = std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
    return threads;
}

std::string Pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    return bytes;
}

class CommPort : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::setenv("KIVO_DEVICE_DIR", Devices.Path().c_str(), 1);
        Far.LinkAs(Devices.Path(), "com1");
    }

    void TearDown() override
    {
        if (Port != INVALID_HANDLE_VALUE) CloseHandle(Port);
        ::unsetenv("KIVO_DEVICE_DIR");
    }

    void OpenCom1(COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0})
    {
        Port = OpenPort(Com1);
        ASSERT_NE(Port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        ASSERT_TRUE(SetCommTimeouts(Port, &timeouts));
    }

    DWORD InQueue()
    {
        COMSTAT status{};
        DWORD errors = 0;
        return ClearCommError(Port, &errors, &status) ? status.cbInQue : 0;
    }

    // Reads until count bytes came or the time runs out; each read returns
    // with what is there.
    std::string ReadPort(std::size_t count, std::chrono::milliseconds limit)
    {
        std::string got;
        char buffer[4096];
        Overlapped read;
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            DWORD n = 0;
            if (!ReadFile(Port, buffer, sizeof buffer, &n, &read.Record)) {
                if (GetLastError() != ERROR_IO_PENDING) break;
                if (!GetOverlappedResult(Port, &read.Record, &n, TRUE)) break;
            }
            got.append(buffer, n);
        }
        return got;
    }

    TempDir Devices{"kivo-comm"};
    PtyPair Far;
    // Records a test leaves pending: they outlive TearDown's CloseHandle,
    // which completes into them, as a record must outlive its operation.
    Overlapped ReadRecord;
    Overlapped WriteRecord;
    Overlapped WaitRecord;
    HANDLE Port = INVALID_HANDLE_VALUE;
};

termios2 FarEndSettings(const PtyPair& pty)
{
    termios2 tio{};
    EXPECT_EQ(::ioctl(pty.ControllerFd(), TCGETS2, &tio), 0);
    return tio;
}

}  // namespace

// ---- opening -------------------------------------------------------------------

using CommOpen = CommPort;

TEST_F(CommOpen, OpensTheLinkedPortAndClosingReleasesIt)
{
    Port = OpenPort(Com1);
    ASSERT_NE(Port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    EXPECT_TRUE(CloseHandle(Port));
    Port = OpenPort(Com1);
    EXPECT_NE(Port, INVALID_HANDLE_VALUE)
        << "the first close must give the port up; error " << GetLastError();
}

TEST_F(CommOpen, NamesResolveThroughTheDeviceDirectory)
{
    PtyPair twelve;
    twelve.LinkAs(Devices.Path(), "com12");
    HANDLE port = OpenPort(R"(\\.\COM12)");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "12", 2, &written, nullptr));
    EXPECT_EQ(twelve.ReadExactly(2, 2s), "12") << "COM12 must reach com12, not com1";
    CloseHandle(port);

    port = OpenPort(R"(\\.\com12)");
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "device names ignore case";
    CloseHandle(port);

    port = OpenPort(twelve.SubsidiaryPath());
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "other names are paths";
    CloseHandle(port);
}

TEST_F(CommOpen, SecondOpenInThisProcessIsDenied)
{
    Port = OpenPort(Com1);
    ASSERT_NE(Port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(Com1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenPort(Far.SubsidiaryPath()), INVALID_HANDLE_VALUE) << "an alias is the same port";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(CommOpen, PortHeldByAnotherProcessIsDenied)
{
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    std::string path = Far.SubsidiaryPath();
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Only async-signal-safe calls here: hold the port the way other
        // serial programs do, until told to let go.
        ::close(release[1]);  // else the read below never sees the parent let go
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        char held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
        ssize_t ignored = ::write(ready[1], &held, 1);
        char go;
        ignored = ::read(release[0], &go, 1);
        (void)ignored;
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    struct Reaper
    {
        pid_t Child;
        int Release;
        ~Reaper()
        {
            ::close(Release);
            int status = 0;
            if (::waitpid(Child, &status, WNOHANG) == 0) {
                ::kill(Child, SIGKILL);
                ::waitpid(Child, &status, 0);
            }
        }
    } reaper{holder, release[1]};

    pollfd wait{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&wait, 1, 5000), 1);
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(held, '1');

    EXPECT_EQ(OpenPort(Com1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    ::close(reaper.Release);
    reaper.Release = -1;
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    Port = OpenPort(Com1);
    EXPECT_NE(Port, INVALID_HANDLE_VALUE) << "the holder is gone; error " << GetLastError();
}

struct MissingRow
{
    const char* Link;  // target of the com link, or nullptr for no link at all
    DWORD Error;
};

class CommOpenMissing : public CommPort, public ::testing::WithParamInterface<MissingRow>
{
};

TEST_P(CommOpenMissing, NameWithNothingBehindItFails)
{
    std::filesystem::remove(Devices / "com1");
    if (GetParam().Link) std::filesystem::create_symlink(GetParam().Link, Devices / "com1");
    EXPECT_EQ(OpenPort(Com1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), GetParam().Error);
}

INSTANTIATE_TEST_SUITE_P(Links, CommOpenMissing,
                         ::testing::Values(MissingRow{nullptr, ERROR_FILE_NOT_FOUND},
                                           MissingRow{"/nonexistent/tty", ERROR_FILE_NOT_FOUND},
                                           MissingRow{"/etc/hostname/tty", ERROR_PATH_NOT_FOUND}));

TEST_F(CommOpen, SomethingThatIsNoTerminalIsNoPort)
{
    Devices.Write("com2", "just a file");
    EXPECT_EQ(OpenPort(R"(\\.\COM2)"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenPort(R"(\\.\COM0)"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(CommOpen, MissingDeviceDirectoryNeverFallsBackToTheMachinesPorts)
{
    ::setenv("KIVO_DEVICE_DIR", (Devices / "gone").c_str(), 1);
    EXPECT_EQ(OpenPort(Com1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(CommOpen, CallsOnHandlesThatAreNoPortFailWithInvalidHandle)
{
    HANDLE event = CreateEvent(true, false);
    DCB dcb{};
    DWORD n = 0;
    char byte = 0;
    EXPECT_FALSE(GetCommState(event, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(nullptr, &byte, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);

    HANDLE closed = OpenPort(Com1);
    ASSERT_NE(closed, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(closed));
    EXPECT_FALSE(WriteFile(closed, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(closed));
}

// ---- configuration ---------------------------------------------------------------

struct SettingsRow
{
    DWORD Baud;
    BYTE StopBits;
    bool CtsRts;
    bool XonXoff;
    char Xon, Xoff;
};

class CommSettings : public CommPort, public ::testing::WithParamInterface<SettingsRow>
{
};

TEST_P(CommSettings, FarEndSeesWhatWasSet)
{
    OpenCom1();
    const SettingsRow& row = GetParam();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(Port, &dcb));
    dcb.BaudRate = row.Baud;
    dcb.StopBits = row.StopBits;
    dcb.fOutxCtsFlow = row.CtsRts;
    dcb.fRtsControl = row.CtsRts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = row.XonXoff;
    dcb.XonChar = row.Xon;
    dcb.XoffChar = row.Xoff;
    ASSERT_TRUE(SetCommState(Port, &dcb)) << "error " << GetLastError();

    termios2 tio = FarEndSettings(Far);
    EXPECT_EQ(tio.c_ospeed, row.Baud);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, row.StopBits == TWOSTOPBITS);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, row.CtsRts);
    EXPECT_EQ((tio.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), row.XonXoff);
    EXPECT_EQ(tio.c_cc[VSTART], static_cast<cc_t>(row.Xon));
    EXPECT_EQ(tio.c_cc[VSTOP], static_cast<cc_t>(row.Xoff));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u) << "the line must be raw";
}

INSTANTIATE_TEST_SUITE_P(Lines, CommSettings,
                         ::testing::Values(SettingsRow{9600, ONESTOPBIT, false, false, 0x11, 0x13},
                                           SettingsRow{31250, TWOSTOPBITS, true, false, 0x11, 0x13},
                                           SettingsRow{57600, ONESTOPBIT, false, true, 'Q', 'S'},
                                           SettingsRow{250000, TWOSTOPBITS, true, true, 0x11,
                                                       0x13}));

TEST_F(CommPort, StateReadsBackAsSetEvenWhereThePtyCannotShowIt)
{
    OpenCom1();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(Port, &dcb));
    dcb.BaudRate = 4800;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.fParity = 1;
    ASSERT_TRUE(SetCommState(Port, &dcb));
    EXPECT_EQ(FarEndSettings(Far).c_cflag & CSIZE, static_cast<tcflag_t>(CS8))
        << "a pty keeps 8 data bits";
    DCB back{};
    ASSERT_TRUE(GetCommState(Port, &back));
    EXPECT_EQ(back.BaudRate, 4800u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.fParity, 1u);
}

TEST_F(CommPort, RejectedStateLeavesTheLineAsItWas)
{
    OpenCom1();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(Port, &dcb));
    dcb.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(Port, &dcb));
    DCB bad = dcb;
    bad.BaudRate = 38400;
    bad.StopBits = ONE5STOPBITS;  // only with 5 data bits
    EXPECT_FALSE(SetCommState(Port, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FarEndSettings(Far).c_ospeed, 19200u);
    DCB back{};
    ASSERT_TRUE(GetCommState(Port, &back));
    EXPECT_EQ(back.BaudRate, 19200u);
}

// ---- moving bytes ----------------------------------------------------------------

using CommTransfer = CommPort;

TEST_F(CommTransfer, BytesBothWaysAtVolumeArriveWholeAndInOrder)
{
    OpenCom1({MAXDWORD, MAXDWORD, 500, 0, 0});
    constexpr std::size_t Volume = 256 * 1024;
    const std::string outbound = Pattern(Volume, 7);
    const std::string inbound = Pattern(Volume, 13);

    std::string atFarEnd;
    std::thread farReader([&] { atFarEnd = Far.ReadExactly(Volume, 30s); });
    std::thread farWriter([&] { Far.Write(inbound); });
    std::thread writer([&] {
        Overlapped write;
        for (std::size_t at = 0; at < Volume; at += 1000) {
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(1000, Volume - at));
            DWORD sent = 0;
            if (!WriteFile(Port, outbound.data() + at, chunk, &sent, &write.Record)) {
                if (GetLastError() != ERROR_IO_PENDING ||
                    !GetOverlappedResult(Port, &write.Record, &sent, TRUE))
                    return;
            }
            if (sent != chunk) return;
        }
    });
    std::string atPort = ReadPort(Volume, 30s);
    writer.join();
    farWriter.join();
    farReader.join();

    ASSERT_EQ(atPort.size(), Volume);
    EXPECT_TRUE(atPort == inbound) << "received bytes lost or reordered";
    ASSERT_EQ(atFarEnd.size(), Volume);
    EXPECT_TRUE(atFarEnd == outbound) << "sent bytes lost or reordered";
}

TEST_F(CommTransfer, PendingReadCompletesWhenDataArrives)
{
    OpenCom1({0, 0, 0, 0, 0});  // wait for every byte asked for
    Overlapped& read = ReadRecord;
    char buffer[5] = {};
    DWORD n = 99;
    ASSERT_FALSE(ReadFile(Port, buffer, 5, &n, &read.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(Port, &read.Record, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(read.SignalledWithin(50));

    Far.Write("hel");
    EXPECT_FALSE(read.SignalledWithin(50)) << "three of five bytes must not complete it";
    Far.Write("lo");
    ASSERT_TRUE(read.SignalledWithin(2000));
    ASSERT_TRUE(GetOverlappedResult(Port, &read.Record, &n, TRUE));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST_F(CommTransfer, ReadReturnsAtOnceWithWhatHasArrived)
{
    OpenCom1();
    Overlapped& read = ReadRecord;
    char buffer[16];
    DWORD n = 99;
    ASSERT_TRUE(ReadFile(Port, buffer, sizeof buffer, &n, &read.Record));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(read.SignalledWithin(0)) << "a read done at once still signals its event";

    Far.Write("ab");
    ASSERT_TRUE(WaitUntil(2s, [&] { return InQueue() == 2; }));
    ASSERT_TRUE(ReadFile(Port, buffer, sizeof buffer, &n, &read.Record));
    EXPECT_EQ(std::string(buffer, n), "ab");
}

TEST_F(CommTransfer, ReadTimeOutsEndWithAShortCountNotAnError)
{
    Overlapped& read = ReadRecord;
    char buffer[10];
    DWORD n = 0;

    OpenCom1({0, 0, 80, 0, 0});  // total only
    Far.Write("abc");
    auto start = std::chrono::steady_clock::now();
    if (!ReadFile(Port, buffer, 10, &n, &read.Record)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(Port, &read.Record, &n, TRUE));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 70ms);
    EXPECT_EQ(std::string(buffer, n), "abc");

    COMMTIMEOUTS interval{20, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(Port, &interval));
    ASSERT_FALSE(ReadFile(Port, buffer, 10, &n, &read.Record));
    Far.Write("defg");
    ASSERT_TRUE(read.SignalledWithin(2000)) << "the gap after the last byte ends the read";
    ASSERT_TRUE(GetOverlappedResult(Port, &read.Record, &n, FALSE));
    EXPECT_EQ(std::string(buffer, n), "defg");

    COMMTIMEOUTS firstByte{MAXDWORD, MAXDWORD, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(Port, &firstByte));
    ASSERT_FALSE(ReadFile(Port, buffer, 10, &n, &read.Record));
    start = std::chrono::steady_clock::now();
    Far.Write("h");
    ASSERT_TRUE(read.SignalledWithin(2000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_TRUE(GetOverlappedResult(Port, &read.Record, &n, FALSE));
    EXPECT_EQ(std::string(buffer, n), "h");
}

TEST_F(CommTransfer, CallsWithoutOverlappedBlockUntilDone)
{
    OpenCom1({0, 0, 0, 0, 0});
    std::thread farEnd([&] {
        EXPECT_EQ(Far.ReadExactly(4, 5s), "ping");
        Far.Write("pong");
    });
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(Port, "ping", 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    char buffer[4];
    ASSERT_TRUE(ReadFile(Port, buffer, 4, &n, nullptr));
    farEnd.join();
    EXPECT_EQ(std::string(buffer, n), "pong");
}

TEST_F(CommTransfer, PurgeAbortCancelsPendingReadAndClearDropsWaitingBytes)
{
    OpenCom1({0, 0, 0, 0, 0});
    Overlapped& read = ReadRecord;
    char buffer[8];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(Port, buffer, 8, &n, &read.Record));
    ASSERT_TRUE(PurgeComm(Port, PURGE_RXABORT | PURGE_RXCLEAR));
    ASSERT_TRUE(read.SignalledWithin(1000));
    EXPECT_FALSE(GetOverlappedResult(Port, &read.Record, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(Port, &atOnce));
    Far.Write("stale");
    ASSERT_TRUE(WaitUntil(2s, [&] { return InQueue() == 5; }));
    ASSERT_TRUE(PurgeComm(Port, PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(), 0u);
    Far.Write("new");
    ASSERT_TRUE(WaitUntil(2s, [&] { return InQueue() == 3; }));
    ASSERT_TRUE(ReadFile(Port, buffer, 8, &n, &read.Record));
    EXPECT_EQ(std::string(buffer, n), "new");
}

TEST_F(CommTransfer, FullReceiveBufferLeavesTheRestWithTheKernelWithoutSpinning)
{
    OpenCom1();
    ASSERT_TRUE(SetupComm(Port, 16, 16));
    const std::string burst = Pattern(3000, 5);
    Far.Write(burst);
    ASSERT_TRUE(WaitUntil(2s, [&] { return InQueue() == burst.size(); }));

    Overlapped never;
    PortThreads before = PortThreadsNow();
    ASSERT_EQ(before.Count, 1);
    EXPECT_FALSE(never.SignalledWithin(200));
    EXPECT_LT(PortThreadsNow().Cpu - before.Cpu, 30ms)
        << "bytes waiting behind a full buffer must not spin";

    std::string got = ReadPort(burst.size(), 5s);
    EXPECT_TRUE(got == burst) << "got " << got.size() << " of " << burst.size() << " bytes";
}

// ---- comm events ---------------------------------------------------------------

using CommEvents = CommPort;

TEST_F(CommEvents, ReceivedCharacterIsReportedPerArrivalNotWhileBytesWait)
{
    OpenCom1();
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR | EV_ERR | EV_BREAK));
    Overlapped& wait = WaitRecord;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &wait.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    Far.Write("a");
    ASSERT_TRUE(wait.SignalledWithin(2000));
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(Port, &wait.Record, &n, TRUE));
    EXPECT_EQ(mask, EV_RXCHAR);

    ASSERT_FALSE(WaitCommEvent(Port, &mask, &wait.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(InQueue(), 1u);
    EXPECT_FALSE(wait.SignalledWithin(100)) << "an unread byte is no new arrival";
    Far.Write("b");
    ASSERT_TRUE(wait.SignalledWithin(2000));
    ASSERT_TRUE(GetOverlappedResult(Port, &wait.Record, &n, TRUE));
    EXPECT_EQ(mask, EV_RXCHAR);
}

TEST_F(CommEvents, ArrivalWithoutAWaitIsReportedByTheNextWaitAtOnce)
{
    OpenCom1();
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR));
    Far.Write("x");
    ASSERT_TRUE(WaitUntil(2s, [&] { return InQueue() == 1; }));
    Overlapped& wait = WaitRecord;
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(Port, &mask, &wait.Record));
    EXPECT_EQ(mask, EV_RXCHAR);
}

TEST_F(CommEvents, EventCharacterAndDrainedOutputAreReported)
{
    OpenCom1();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(Port, &dcb));
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(Port, &dcb));
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY));
    Overlapped& wait = WaitRecord;
    DWORD mask = 0;
    DWORD n = 0;

    Far.Write("line\n");
    ASSERT_TRUE(WaitUntil(2s, [&] { return InQueue() == 5; }));
    ASSERT_TRUE(WaitCommEvent(Port, &mask, &wait.Record));
    EXPECT_EQ(mask, EV_RXCHAR | EV_RXFLAG);

    ASSERT_TRUE(WriteFile(Port, "out", 3, &n, nullptr));
    ASSERT_TRUE(
        WaitCommEvent(Port, &mask, &wait.Record) ||
        (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(Port, &wait.Record, &n, TRUE)));
    EXPECT_EQ(mask, EV_TXEMPTY);
}

TEST_F(CommEvents, SettingTheMaskEndsAPendingWaitWithAnEmptyMask)
{
    OpenCom1();
    ASSERT_TRUE(SetCommMask(Port, 0x1F9));
    Overlapped& wait = WaitRecord;
    DWORD mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &wait.Record));
    ASSERT_TRUE(SetCommMask(Port, 0));
    ASSERT_TRUE(wait.SignalledWithin(1000));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(Port, &wait.Record, &n, TRUE));
    EXPECT_EQ(mask, 0u);
}

TEST_F(CommEvents, ClosingTheHandleAbortsWhatIsPending)
{
    OpenCom1({0, 0, 0, 0, 0});
    ASSERT_TRUE(SetCommMask(Port, 0x1F9));
    Overlapped& wait = WaitRecord;
    Overlapped& read = ReadRecord;
    DWORD mask = 0;
    char buffer[8];
    DWORD n = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &wait.Record));
    ASSERT_FALSE(ReadFile(Port, buffer, 8, &n, &read.Record));

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(CloseHandle(Port));
    HANDLE closed = Port;
    Port = INVALID_HANDLE_VALUE;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    ASSERT_TRUE(wait.SignalledWithin(0));
    ASSERT_TRUE(read.SignalledWithin(0));
    EXPECT_FALSE(GetOverlappedResult(closed, &wait.Record, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(closed, &read.Record, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(CommEvents, WaitsTheLineCannotServeAreRefused)
{
    OpenCom1();
    Overlapped& first = WaitRecord;
    Overlapped second;
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &first.Record)) << "no mask set yet";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(SetCommMask(Port, 0x21F9));
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &first.Record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "the non-NT bit is refused at the wait";

    ASSERT_TRUE(SetCommMask(Port, 0x1F9));
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &first.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD other = 0;
    EXPECT_FALSE(WaitCommEvent(Port, &other, &second.Record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "one wait at a time";
}

// ---- line control on a line without modem signals -------------------------------

using CommLineControl = CommPort;

TEST_F(CommLineControl, ModemCallsSucceedQuietlyOnAPty)
{
    OpenCom1();
    for (DWORD function : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(Port, function))
            << "function " << function << " error " << GetLastError();
    DWORD status = 0xFF;
    ASSERT_TRUE(GetCommModemStatus(Port, &status));
    EXPECT_EQ(status, 0u);
    DWORD errors = 0xFF;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(Port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_FALSE(EscapeCommFunction(Port, 77));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CommLineControl, LinesUnderHandshakeCannotBeDrivenByHand)
{
    OpenCom1();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(Port, &dcb));
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(SetCommState(Port, &dcb));
    EXPECT_FALSE(EscapeCommFunction(Port, SETDTR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(EscapeCommFunction(Port, CLRRTS));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    DWORD n = 0;
    ASSERT_TRUE(WriteFile(Port, "485", 3, &n, nullptr)) << "toggled RTS must not hinder writing";
    EXPECT_EQ(Far.ReadExactly(3, 2s), "485");
}

TEST_F(CommLineControl, XoffHoldsOutputUntilXon)
{
    OpenCom1();
    ASSERT_TRUE(EscapeCommFunction(Port, SETXOFF));
    Overlapped& write = WriteRecord;
    DWORD n = 0;
    BOOL done = WriteFile(Port, "held", 4, &n, &write.Record);
    if (!done) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(Far.ReadAvailable(100ms), "") << "nothing may leave while output is stopped";
    ASSERT_TRUE(EscapeCommFunction(Port, SETXON));
    EXPECT_EQ(Far.ReadExactly(4, 2s), "held");
    ASSERT_TRUE(write.SignalledWithin(2000));
    ASSERT_TRUE(GetOverlappedResult(Port, &write.Record, &n, TRUE));
    EXPECT_EQ(n, 4u);
}

TEST_F(CommLineControl, PurgeAbortCancelsAHeldWrite)
{
    OpenCom1();
    ASSERT_TRUE(EscapeCommFunction(Port, SETXOFF));
    const std::string block = Pattern(64 * 1024, 3);  // more than the pty buffers
    Overlapped& write = WriteRecord;
    DWORD n = 0;
    ASSERT_FALSE(
        WriteFile(Port, block.data(), static_cast<DWORD>(block.size()), &n, &write.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(PurgeComm(Port, PURGE_TXABORT | PURGE_TXCLEAR));
    ASSERT_TRUE(write.SignalledWithin(1000));
    EXPECT_FALSE(GetOverlappedResult(Port, &write.Record, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_LT(n, block.size());
}

// ---- hang-up and idle cost -------------------------------------------------------

using CommHangup = CommPort;

TEST_F(CommHangup, FarEndVanishingFailsReadsAndWaitsWithoutSpinning)
{
    OpenCom1({0, 0, 0, 0, 0});
    ASSERT_TRUE(SetCommMask(Port, 0x1F9));
    Overlapped& read = ReadRecord;
    Overlapped& wait = WaitRecord;
    char buffer[64];
    DWORD n = 0;
    DWORD mask = 0;
    ASSERT_FALSE(ReadFile(Port, buffer, sizeof buffer, &n, &read.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &wait.Record));

    Far.CloseController();
    ASSERT_TRUE(read.SignalledWithin(2000));
    EXPECT_FALSE(GetOverlappedResult(Port, &read.Record, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(wait.SignalledWithin(2000));
    EXPECT_FALSE(GetOverlappedResult(Port, &wait.Record, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    Overlapped never;
    PortThreads before = PortThreadsNow();
    ASSERT_EQ(before.Count, 1);
    EXPECT_FALSE(never.SignalledWithin(200));
    EXPECT_LT(PortThreadsNow().Cpu - before.Cpu, 30ms) << "a dead line must not spin";

    COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(Port, &atOnce));
    EXPECT_FALSE(ReadFile(Port, buffer, sizeof buffer, &n, &read.Record))
        << "not an endless run of empty reads";
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &wait.Record));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WriteFile(Port, "x", 1, &n, &read.Record));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(CommHangup, BytesReceivedBeforeTheHangupStayReadable)
{
    OpenCom1();
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR));
    Overlapped& wait = WaitRecord;
    DWORD mask = 0;
    DWORD n = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &wait.Record));
    Far.Write("last");
    // Reported once the port has taken the bytes in, so the hang-up cannot lose them.
    ASSERT_TRUE(wait.SignalledWithin(2000));
    ASSERT_EQ(InQueue(), 4u);
    Far.CloseController();

    char buffer[16];
    Overlapped& read = ReadRecord;
    ASSERT_TRUE(ReadFile(Port, buffer, sizeof buffer, &n, &read.Record));
    EXPECT_EQ(std::string(buffer, n), "last");
    EXPECT_FALSE(ReadFile(Port, buffer, sizeof buffer, &n, &read.Record));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(CommHangup, IdlePortWithAPendingWaitCostsNoCpu)
{
    OpenCom1();
    ASSERT_TRUE(SetCommMask(Port, 0x1F9));
    Overlapped& wait = WaitRecord;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &wait.Record));
    PortThreads before = PortThreadsNow();
    ASSERT_EQ(before.Count, 1) << "one monitor thread per open port";
    EXPECT_FALSE(wait.SignalledWithin(300));
    auto used = PortThreadsNow().Cpu - before.Cpu;
    EXPECT_LT(used, 30ms) << "an idle line must sleep; used " << used.count() << " ms";
}
