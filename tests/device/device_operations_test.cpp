// The device operations that need no running threads: the output ring, the
// reads from the input queue, and the edges of a failed open.

#include "serial/dispatch/io_queue.h"
#include "serial/errors/error_codes.h"
#include "tests/device/device_rig.h"

#include <cstring>

namespace kivo::test {
namespace {

using namespace kivo::win;

// A dispatcher never opened, with an 8-byte ring of its own.
class OutputRing : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        Line.OutSize = 8;
        Line.OutRing = std::make_unique<std::uint8_t[]>(8);
    }
    std::string Ring() const { return std::string(reinterpret_cast<char*>(Line.OutRing.get()), 8); }
    TKivWin32Dispatcher Line{nullptr};
};

TEST_F(OutputRing, WriteToTheEndWrapsAndOneMoreStartsAgainAtZero)
{
    Line.OutHead = Line.OutTail = 5;
    EXPECT_EQ(Line.DeviceWrite("abc", 3), 3);
    EXPECT_EQ(Line.OutHead, 0u);
    EXPECT_EQ(Line.RingBytesUsed(), 3);
    Line.OutHead = Line.OutTail = 5;
    EXPECT_EQ(Line.DeviceWrite("wxyz", 4), 4);
    EXPECT_EQ(Line.OutHead, 1u);
    EXPECT_EQ(Ring()[0], 'z');
    EXPECT_EQ(Ring().substr(5), "wxy");
    EXPECT_EQ(Line.RingBytesUsed(), 4);
}

TEST_F(OutputRing, CountsFullOnlyWithTheFlagAndAcrossTheWrap)
{
    Line.OutHead = Line.OutTail = 3;
    EXPECT_EQ(Line.RingBytesUsed(), 0);
    Line.OutFull = true;
    EXPECT_EQ(Line.RingBytesUsed(), 8);
    Line.OutFull = false;
    Line.OutHead = 1;
    EXPECT_EQ(Line.RingBytesUsed(), 6);
}

TEST_F(OutputRing, BlockLargerThanTheRingIsRefusedWhole)
{
    EXPECT_EQ(Line.DeviceWrite("123456789", 9), 0);
    EXPECT_EQ(Line.OutHead, 0u);
    EXPECT_EQ(Ring(), std::string(8, '\0'));
}

TEST_F(OutputRing, ClosedDeviceReportsNoErrorsAndKeepsTheRingOnFlush)
{
    Line.DeviceWrite("abcde", 5);
    COMSTAT status;
    EXPECT_EQ(Line.DeviceGetErrors(status), 0u);
    EXPECT_EQ(status.cbOutQue, 5u);
    EXPECT_EQ(Line.DeviceFlush(0), 0);  // no write thread: nothing purged
    EXPECT_EQ(Line.RingBytesUsed(), 5);
}

std::unique_ptr<TDataBuffer> DataOf(const std::string& text)
{
    auto buffer = std::make_unique<TDataBuffer>(static_cast<std::int32_t>(text.size()));
    std::memcpy(buffer->Buffer(), text.data(), text.size());
    buffer->Used = static_cast<std::int32_t>(text.size());
    return buffer;
}

class InputQueueRead : public DeviceTest {
protected:
    TKivWin32Dispatcher Line{nullptr};
    char Out[400] = {};
};

TEST_F(InputQueueRead, StopsAtAStatusBufferAndLeavesItAtTheHead)
{
    Line.InputQueue.Push(DataOf(std::string(256, 'a')));
    Line.InputQueue.Push(std::make_unique<TStatusBuffer>(EV_BREAK));
    Line.InputQueue.Push(DataOf("bbb"));
    EXPECT_EQ(Line.DeviceRead(Out, 300), 256);
    EXPECT_EQ(std::string(Out, 256), std::string(256, 'a'));
    EXPECT_EQ(Line.HeadBytesUnread(), 0);
    auto* head = dynamic_cast<TStatusBuffer*>(Line.InputQueue.Peek());
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->Status, EV_BREAK);
    EXPECT_EQ(Line.InputQueue.Count(), 2u);
}

TEST_F(InputQueueRead, PartialReadsRunAcrossBuffersInOrder)
{
    Line.InputQueue.Push(DataOf("hello "));
    Line.InputQueue.Push(DataOf("world"));
    EXPECT_EQ(Line.DeviceRead(Out, 4), 4);
    EXPECT_EQ(Line.HeadBytesUnread(), 2);
    EXPECT_EQ(Line.DeviceRead(Out + 4, 100), 7);
    EXPECT_EQ(std::string(Out, 11), "hello world");
    EXPECT_EQ(Line.InputQueue.Count(), 0u);
    EXPECT_EQ(Line.DeviceRead(Out, 10), 0);
}

class FailedOpen : public DeviceTest {};

TEST_F(FailedOpen, DeviceOpenReturnsMinusOneAndKeepsTheHandle)
{
    TKivWin32Dispatcher line(nullptr);
    HANDLE before = line.DeviceHandle;
    EXPECT_EQ(line.DeviceOpen(ComName(41), 64, 64), -1);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(line.DeviceHandle, before);
}

TEST_F(FailedOpen, DanglingLinkGivesFileNotFoundAndEveryEventIsClosed)
{
    std::filesystem::remove(DeviceDir() / "com43");
    std::filesystem::create_symlink(DeviceDir() / "nowhere", DeviceDir() / "com43");
    TKivWin32Dispatcher line(nullptr);
    EXPECT_EQ(Open(line, 43), ecFileNotFound);
    for (HANDLE event : {line.WakeDispatchEvent, line.StatusProcessedEvent, line.ThreadAckEvent,
                         line.OutputReadyEvent, line.ManualEvent, line.OutputFlushEvent})
        EXPECT_EQ(event, nullptr);
    EXPECT_FALSE(line.Started());
}

} // namespace
} // namespace kivo::test
