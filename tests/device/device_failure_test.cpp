// A line that fails: the port held by another program, the far end
// vanishing mid-stream, the device handle closed under the threads.

#include "platform/comm.h"
#include "serial/errors/error_codes.h"
#include "tests/device/device_rig.h"
#include "tests/device/port_holder.h"


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
