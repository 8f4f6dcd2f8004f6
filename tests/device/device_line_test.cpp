// An open line over a pseudo-terminal: configuration, bytes both ways, the
// read blocks, flushing, starting twice and closing promptly.

#include "framework/exceptions.h"
#include "platform/comm.h"
#include "serial/errors/error_codes.h"
#include "tests/device/device_rig.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace kivo::test {
namespace {

using namespace kivo::win;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string Pattern(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

// Records the size of every data block the dispatch pass takes, and every
// line function, as a test double for what the device threads produce.
class RecordingDispatcher : public TKivWin32Dispatcher {
public:
    explicit RecordingDispatcher(bool ntLike = true) : TKivWin32Dispatcher(nullptr)
    {
        NTPlatform = ntLike;
    }
    ~RecordingDispatcher() override { Shutdown(); }

    // Reads buffer by buffer, as the base does, noting the size of each
    // data block the read thread queued.
    int DeviceRead(void* destination, int count) override
    {
        auto* out = static_cast<char*>(destination);
        int done = 0;
        while (done < count) {
            int head = TKivWin32Dispatcher::HeadBytesUnread();
            if (head == 0) break;
            {
                std::lock_guard lock(Lock);
                Blocks.push_back(head);
            }
            int got = TKivWin32Dispatcher::DeviceRead(out + done, std::min(head, count - done));
            if (got <= 0) break;
            done += got;
        }
        return done;
    }
    int DeviceEscape(int code) override
    {
        {
            std::lock_guard lock(Lock);
            Escapes.push_back(code);
        }
        return TKivWin32Dispatcher::DeviceEscape(code);
    }
    std::vector<int> BlockSizes()
    {
        std::lock_guard lock(Lock);
        return Blocks;
    }
    std::vector<int> EscapeCodes()
    {
        std::lock_guard lock(Lock);
        return Escapes;
    }

protected:
    std::uint16_t DeviceBaseAddress() override { return 0x3F8; }

private:
    std::mutex Lock;
    std::vector<int> Blocks;
    std::vector<int> Escapes;
};

class OpenLine : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        Far.LinkAs(DeviceDir().Path(), "com1");
    }
    std::string ReadAll(TKivBaseDispatcher& line, std::size_t count)
    {
        std::string got;
        PumpUntil(5s, [&] {
            int ready = line.InputCount();
            if (ready > 0) {
                std::string chunk(static_cast<std::size_t>(ready), '\0');
                if (line.ReadBlock(chunk.data(), ready) == ready) got += chunk;
            }
            return got.size() >= count;
        });
        return got;
    }
    PtyPair Far;
};

TEST_F(OpenLine, OpensConfiguresAndClosesCleanly)
{
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 1), 0);
    EXPECT_TRUE(line.Started());
    EXPECT_EQ(line.ThreadCount.load(), 4);
    EXPECT_EQ(line.ConfigureLine(19200, KeepParity, 7, 2), 0);
    DWORD baud = 0;
    int parity = -1, dataBits = 0, stopBits = 0;
    line.QueryLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 19200u);
    EXPECT_EQ(dataBits, 7);
    EXPECT_EQ(stopBits, 2);

    auto start = Clock::now();
    line.CloseLine();
    double closeMs = MillisecondsSince(start);
    std::printf("close of an idle line: %.2f ms\n", closeMs);
    EXPECT_LT(closeMs, 50.0);  // every thread is woken, none sleeps out a slice
    EXPECT_FALSE(line.Started());
    EXPECT_EQ(line.ThreadCount.load(), 0);
    EXPECT_EQ(line.TakeLineError(), 0);  // no thread ended with an error
    EXPECT_EQ(line.LastOSError.load(), 0u);
    EXPECT_TRUE(ShownErrors().empty());
    // The device is really closed: another opening gets it.
    TKivWin32Dispatcher again(nullptr);
    EXPECT_EQ(Open(again, 1), 0);
}

TEST_F(OpenLine, StartingTwiceIsRefusedAndChangesNothing)
{
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 1), 0);
    try {
        line.StartThreads();
        FAIL() << "a second start went through";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), "Dispatcher already started.");
    }
    EXPECT_EQ(line.ThreadCount.load(), 4);
    Far.Write("still");
    EXPECT_EQ(ReadAll(line, 5), "still");
}

TEST_F(OpenLine, CloseWhileAnotherIsStoppingReturnsAtOnce)
{
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 1), 0);
    line.Stopping = true;  // as while a first close waits for the threads
    EXPECT_EQ(line.DeviceClose(), 0);
    EXPECT_TRUE(line.Started());
    line.Stopping = false;
}

TEST_F(OpenLine, BytesMoveBothWaysAtVolumeInOrder)
{
    constexpr std::size_t Volume = 256 * 1024;
    const std::string outgoing = Pattern(Volume, 1);
    const std::string incoming = Pattern(Volume, 2);
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 1, 8192, 8192), 0);

    std::string arrived;
    std::thread farReader([&] { arrived = Far.ReadExactly(Volume, 20s); });
    std::thread farWriter([&] { Far.Write(incoming); });

    std::string received;
    std::size_t sent = 0;
    auto start = Clock::now();
    PumpUntil(20s, [&] {
        if (sent < Volume) {
            int room = line.OutputRoom();
            int chunk = static_cast<int>(std::min<std::size_t>(Volume - sent, 3000));
            if (room >= chunk && line.WriteBlock(outgoing.data() + sent, chunk) == 0) sent += chunk;
        }
        if (int ready = line.InputCount(); ready > 0) {
            std::string chunk(static_cast<std::size_t>(ready), '\0');
            if (line.ReadBlock(chunk.data(), ready) == ready) received += chunk;
        }
        return sent == Volume && received.size() >= Volume;
    });
    farWriter.join();
    farReader.join();
    std::printf("256 KiB each way: %.0f ms\n", MillisecondsSince(start));
    EXPECT_EQ(sent, Volume);
    EXPECT_TRUE(received == incoming) << "received " << received.size() << " bytes";
    EXPECT_TRUE(arrived == outgoing) << "far end got " << arrived.size() << " bytes";
    line.CloseLine();
    EXPECT_EQ(line.TakeLineError(), 0);
}

TEST_F(OpenLine, SixHundredBytesArriveAsTwoFullBlocksAndTheRest)
{
    // Written before the open, so the driver holds all 600 when the read
    // thread first looks.
    Far.Write(Pattern(600, 3));
    RecordingDispatcher line;
    ASSERT_EQ(Open(line, 1), 0);
    EXPECT_EQ(ReadAll(line, 600), Pattern(600, 3));
    EXPECT_EQ(line.BlockSizes(), (std::vector<int>{256, 256, 88}));
}

TEST_F(OpenLine, SingleByteIsQueuedPromptly)
{
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 1), 0);
    auto start = Clock::now();
    Far.Write("x");
    ASSERT_TRUE(PumpUntil(2s, [&] { return line.InputCount() == 1; }));
    double withEvent = MillisecondsSince(start);

    // Without receive events only the read thread's own wake-up finds it.
    ASSERT_TRUE(SetCommMask(line.DeviceHandle, EV_BREAK));
    char byte = 0;
    line.ReadBlock(&byte, 1);
    start = Clock::now();
    Far.Write("y");
    ASSERT_TRUE(PumpUntil(2s, [&] { return line.InputCount() == 1; }));
    double withoutEvent = MillisecondsSince(start);
    std::printf("one byte queued: %.2f ms with the receive event, %.2f ms without\n", withEvent,
                withoutEvent);
    EXPECT_LT(withEvent, 20.0);
    EXPECT_LT(withoutEvent, 80.0);  // the 50 ms wake plus scheduling
}

TEST_F(OpenLine, FlushDuringAPendingWriteDropsTheBlockAndCarriesOn)
{
    constexpr int Big = 60000;  // far more than the pty takes unread
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 1, 4096, Big), 0);
    ASSERT_EQ(line.WriteBlock(Pattern(Big, 4).data(), Big), 0);
    COMSTAT status;
    DWORD errors = 0;
    ASSERT_TRUE(PumpUntil(2s, [&] {
        return ClearCommError(line.DeviceHandle, &errors, &status) && status.cbOutQue > 0 &&
               line.RingBytesUsed() == 0;
    })) << "the write never pended";

    auto start = Clock::now();
    EXPECT_EQ(line.DiscardOutput(), 1);
    double flushMs = MillisecondsSince(start);
    std::printf("flush during a pending write acknowledged in %.2f ms\n", flushMs);
    EXPECT_LT(flushMs, 1000.0);  // acknowledged, not the 5 s limit

    ASSERT_EQ(line.WriteBlock("MARK", 4), 0);
    std::string far;
    EXPECT_TRUE(WaitUntil(5s, [&] {
        far += Far.ReadAvailable(50ms);
        return far.size() >= 4 && far.compare(far.size() - 4, 4, "MARK") == 0;
    }));
    EXPECT_LT(far.size(), static_cast<std::size_t>(Big) + 4);  // the rest was dropped
    EXPECT_TRUE(line.Started());
    line.CloseLine();
    EXPECT_EQ(line.TakeLineError(), 0);
    EXPECT_TRUE(ShownErrors().empty());
}

TEST_F(OpenLine, CloseWithAWritePendingIsPromptAndClean)
{
    constexpr int Big = 60000;
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 1, 4096, Big), 0);
    ASSERT_EQ(line.WriteBlock(Pattern(Big, 5).data(), Big), 0);
    COMSTAT status;
    DWORD errors = 0;
    ASSERT_TRUE(PumpUntil(2s, [&] {
        return ClearCommError(line.DeviceHandle, &errors, &status) && status.cbOutQue > 0;
    }));
    auto start = Clock::now();
    line.CloseLine();
    double closeMs = MillisecondsSince(start);
    std::printf("close with a write pending: %.2f ms\n", closeMs);
    EXPECT_LT(closeMs, 50.0);
    EXPECT_EQ(line.ThreadCount.load(), 0);
    EXPECT_EQ(line.TakeLineError(), 0);
}

TEST_F(OpenLine, NonNTPlatformWithdrawsTheExtraEventBitSilently)
{
    RecordingDispatcher line(false);
    ASSERT_EQ(Open(line, 1), 0);
    DWORD mask = 0;
    EXPECT_TRUE(PumpUntil(2s, [&] {
        return GetCommMask(line.DeviceHandle, &mask) && mask == 0x1F9;
    })) << std::hex << mask;
    Far.Write("after");
    EXPECT_EQ(ReadAll(line, 5), "after");
    EXPECT_TRUE(line.Started());
    line.CloseLine();
    EXPECT_EQ(line.TakeLineError(), 0);
}

TEST_F(OpenLine, NonNTRS485DropsRTSOnlyAfterTheBlockHasGone)
{
    RecordingDispatcher line(false);
    ASSERT_EQ(Open(line, 1), 0);
    line.SetRS485(true);
    std::size_t before = line.EscapeCodes().size();
    ASSERT_EQ(line.WriteBlock("frame", 5), 0);
    EXPECT_EQ(Far.ReadExactly(5, 2s), "frame");
    ASSERT_TRUE(PumpUntil(2s, [&] { return line.EscapeCodes().size() >= before + 2; }));
    std::vector<int> codes = line.EscapeCodes();
    EXPECT_EQ(codes[before], escSetRTS);
    EXPECT_EQ(codes[before + 1], escClearRTS);
}

} // namespace
} // namespace kivo::test
