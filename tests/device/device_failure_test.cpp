// A line that fails: the port held by another program, the far end
// vanishing mid-stream, the device handle closed under the threads.

#include "platform/comm.h"
#include "serial/errors/error_codes.h"
#include "tests/device/device_rig.h"
#include "tests/device/port_holder.h"

#include <atomic>
#include <functional>
#include <thread>

namespace kivo::test {
namespace {

using namespace kivo::win;
using namespace std::chrono_literals;

class FailingLine : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        Far = std::make_unique<PtyPair>();
        Far->LinkAs(DeviceDir().Path(), "com2");
    }
    std::unique_ptr<PtyPair> Far;
};

TEST_F(FailingLine, PortHeldByAnotherProgramGivesASharingViolation)
{
    PortHolder holder(Far->SubsidiaryPath());
    ASSERT_TRUE(holder.Holding);
    TKivWin32Dispatcher line(nullptr);
    EXPECT_EQ(Open(line, 2), ecSharingViolation);
    EXPECT_FALSE(line.Started());
}

TEST_F(FailingLine, FarEndVanishingEndsEveryThreadWithAReadError)
{
    auto line = std::make_unique<TKivWin32Dispatcher>(nullptr);
    ASSERT_EQ(Open(*line, 2), 0);
    Far->Write(std::string(3000, 'z'));
    ASSERT_TRUE(PumpUntil(2s, [&] { return line->InputCount() > 0; }));
    Far->CloseController();

    ASSERT_TRUE(PumpUntil(3s, [&] { return line->ThreadCount.load() == 0; }));
    EXPECT_FALSE(line->Started());
    EXPECT_EQ(line->TakeLineError(), 10);  // the failure reached the line state
    EXPECT_EQ(line->LastOSError.load(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(NothingShown());  // a device error is a line error, not a box
    line->CloseLine();
    line.reset();

    PtyPair replacement;
    replacement.LinkAs(DeviceDir().Path(), "com2");
    TKivWin32Dispatcher again(nullptr);
    ASSERT_EQ(Open(again, 2), 0);
    replacement.Write("back");
    EXPECT_TRUE(PumpUntil(2s, [&] { return again.InputCount() == 4; }));
    again.CloseLine();
    EXPECT_EQ(again.TakeLineError(), 0);
}

// Notes the device handle on the opening thread, before any line thread runs.
class TOpenedLine : public TKivWin32Dispatcher {
public:
    TOpenedLine() : TKivWin32Dispatcher(nullptr) {}
    ~TOpenedLine() override { Shutdown(); }
    std::intptr_t DeviceOpen(const std::string& name, DWORD inSize, DWORD outSize) override
    {
        std::intptr_t handle = TKivWin32Dispatcher::DeviceOpen(name, inSize, outSize);
        Opened = reinterpret_cast<HANDLE>(handle);
        return handle;
    }
    HANDLE Opened = nullptr;
};

// The far end vanishing just as the owner closes or destroys the line: the
// dispatch thread's end step is releasing the line when the close comes in.
// The device is closed once, by one of them, and is free again afterwards.
TEST_F(FailingLine, OwnerClosingAsTheLineReleasesItselfClosesTheDeviceOnce)
{
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            Far = std::make_unique<PtyPair>();
            Far->LinkAs(DeviceDir().Path(), "com2");
        }
        auto line = std::make_unique<TOpenedLine>();
        ASSERT_EQ(Open(*line, 2), 0);
        HANDLE device = line->Opened;
        Far->CloseController();
        // Its slot is emptied just before the end step releases the line.
        ASSERT_TRUE(WaitUntil(3s, [&] { return line->DispatchThread.load() == nullptr; }));
        if (round % 2 == 0) line->CloseLine();
        line.reset();
        EXPECT_FALSE(IsLiveHandle(device));
    }
    EXPECT_TRUE(NothingShown());

    PtyPair replacement;
    replacement.LinkAs(DeviceDir().Path(), "com2");
    TKivWin32Dispatcher again(nullptr);
    ASSERT_EQ(Open(again, 2), 0);
    again.CloseLine();
}

// Holds the output lock inside the owner's write (where the free room is
// asked for) while the far end vanishes and the line releases itself.
class TWriteHeldLine : public TKivWin32Dispatcher {
public:
    TWriteHeldLine() : TKivWin32Dispatcher(nullptr) {}
    ~TWriteHeldLine() override { Shutdown(); }
    int RingBytesUsed() override
    {
        if (std::this_thread::get_id() == Writer && Hold.exchange(false)) {
            Ready = OutputReadyEvent;
            Vanish();
            ClosedUnderWrite = WaitUntil(500ms, [&] { return !IsLiveHandle(Ready); });
        }
        return TKivWin32Dispatcher::RingBytesUsed();
    }
    std::thread::id Writer = std::this_thread::get_id();
    std::atomic<bool> Hold{false};
    std::function<void()> Vanish;
    HANDLE Ready = nullptr;
    bool ClosedUnderWrite = false;
};

// The write signals the write thread after copying its block, under the
// output lock: the release must not close that event in between, or the
// signal lands on a closed handle or on a new event at the same address.
TEST_F(FailingLine, ReleaseOnFailureKeepsTheOutputEventOpenUnderAWrite)
{
    auto line = std::make_unique<TWriteHeldLine>();
    ASSERT_EQ(Open(*line, 2), 0);
    line->Vanish = [&] { Far->CloseController(); };
    line->Hold = true;
    EXPECT_EQ(line->WriteBlock("late", 4), 0);
    EXPECT_NE(line->Ready, nullptr);
    EXPECT_FALSE(line->ClosedUnderWrite);
    ASSERT_TRUE(PumpUntil(3s, [&] { return line->ThreadCount.load() == 0; }));
    EXPECT_FALSE(IsLiveHandle(line->Ready));
    line.reset();
    EXPECT_TRUE(NothingShown());
}

// The line failing just as the owner's close flushes a block still on its
// way out: the failing thread has raised the stop flag, and the rest of its
// stop request (the event) comes a moment later.
class TFailingAsFlushed : public TKivWin32Dispatcher {
public:
    TFailingAsFlushed() : TKivWin32Dispatcher(nullptr) {}
    ~TFailingAsFlushed() override
    {
        Shutdown();
        if (Failing.joinable()) Failing.join();
    }
    int DeviceFlush(int queue) override
    {
        if (queue == 0 && Arm.exchange(false)) {
            StopRequested = true;
            Failing = std::thread([this] {
                std::this_thread::sleep_for(100ms);
                SetEvent(StopEvent);
            });
        }
        return TKivWin32Dispatcher::DeviceFlush(queue);
    }
    std::atomic<bool> Arm{false};
    std::thread Failing;
};

// The write thread ends with the stop and never answers the flush; the
// close must not sit out the whole wait for that answer.
TEST_F(FailingLine, CloseFlushingAsTheLineFailsIsNotHeldUp)
{
    TFailingAsFlushed line;
    ASSERT_EQ(Open(line, 2, 65536), 0);
    // Far more than the far end holds while it reads nothing.
    const std::string block(40000, 'x');
    ASSERT_EQ(line.WriteBlock(block.data(), static_cast<int>(block.size())), 0);
    // Until the far end is full and the rest of the block waits to go out.
    ASSERT_TRUE(PumpUntil(2s, [&] {
        COMSTAT status{};
        return line.BlockInFlight.load() && ClearCommError(line.DeviceHandle, nullptr, &status) &&
               status.cbOutQue > 0;
    }));

    line.Arm = true;
    const auto start = std::chrono::steady_clock::now();
    line.CloseLine();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(line.Started());
}

TEST_F(FailingLine, HandleClosedUnderTheThreadsEndsThemWithoutAReport)
{
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 2), 0);
    HANDLE device = line.DeviceHandle;
    ASSERT_TRUE(CloseHandle(device));
    ASSERT_TRUE(PumpUntil(3s, [&] { return line.ThreadCount.load() == 0; }));
    EXPECT_EQ(line.TakeLineError(), 0);
    EXPECT_TRUE(NothingShown());
    // The handle is no longer ours; forget it so the close does not touch it.
    line.DeviceHandle = INVALID_HANDLE_VALUE;
}

} // namespace
} // namespace kivo::test
