// The device operations that need no running threads: the output ring, the
// reads from the input queue, and the open and close edges.

#include "serial/device/win32_dispatcher.h"
#include "serial/dispatch/io_queue.h"
#include "serial/errors/error_codes.h"
#include "tests/device/device_rig.h"

#include <cstring>
#include <memory>
#include <string>

namespace kivo::test {
namespace {

using namespace kivo::win;

// A dispatcher that was never opened, with a ring of its own to work on.
class OutputRing : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        Line.OutSize = 8;
        Line.OutRing = std::make_unique<std::uint8_t[]>(8);
    }
    std::string RingText() const
    {
        return std::string(reinterpret_cast<const char*>(Line.OutRing.get()), Line.OutSize);
    }
    TKivWin32Dispatcher Line{nullptr};
};

TEST_F(OutputRing, WriteUpToTheEndWrapsHeadToZero)
{
    Line.OutHead = Line.OutTail = 5;
    EXPECT_EQ(Line.DeviceWrite("abc", 3), 3);
    EXPECT_EQ(Line.OutHead, 0u);
    EXPECT_EQ(Line.RingBytesUsed(), 3);
}

TEST_F(OutputRing, OneByteMorePutsTheLastByteAtTheStart)
{
    Line.OutHead = Line.OutTail = 5;
    EXPECT_EQ(Line.DeviceWrite("abcd", 4), 4);
    EXPECT_EQ(Line.OutHead, 1u);
    EXPECT_EQ(RingText()[0], 'd');
    EXPECT_EQ(RingText().substr(5), "abc");
    EXPECT_EQ(Line.RingBytesUsed(), 4);
}

TEST_F(OutputRing, EqualPositionsCountAsFullOnlyWithTheFlag)
{
    Line.OutHead = Line.OutTail = 3;
    EXPECT_EQ(Line.RingBytesUsed(), 0);
    Line.OutFull = true;
    EXPECT_EQ(Line.RingBytesUsed(), 8);
    Line.OutFull = false;
    Line.OutHead = 1;  // wrapped: tail 3 .. end, then 0 .. 1
    EXPECT_EQ(Line.RingBytesUsed(), 6);
}

TEST_F(OutputRing, BlockLargerThanTheRingIsRefusedWhole)
{
    EXPECT_EQ(Line.DeviceWrite("123456789", 9), 0);
    EXPECT_EQ(Line.OutHead, 0u);
    EXPECT_EQ(RingText(), std::string(8, '\0'));
}

TEST_F(OutputRing, ErrorsOfADeviceThatIsNotOpenStillCountTheRing)
{
    Line.DeviceWrite("abcde", 5);
    COMSTAT status;
    EXPECT_EQ(Line.DeviceGetErrors(status), 0u);
    EXPECT_EQ(status.cbOutQue, 5u);
}

TEST_F(OutputRing, OutputFlushWithoutWriteThreadKeepsTheRing)
{
    Line.DeviceWrite("abc", 3);
    EXPECT_EQ(Line.DeviceFlush(0), 0);
    EXPECT_EQ(Line.RingBytesUsed(), 3);
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

TEST_F(InputQueueRead, PartialReadLeavesTheRestForTheNextCall)
{
    Line.InputQueue.Push(DataOf("hello world"));
    EXPECT_EQ(Line.DeviceRead(Out, 5), 5);
    EXPECT_EQ(Line.HeadBytesUnread(), 6);
    EXPECT_EQ(Line.DeviceRead(Out + 5, 100), 6);
    EXPECT_EQ(std::string(Out, 11), "hello world");
    EXPECT_EQ(Line.InputQueue.Count(), 0u);
    EXPECT_EQ(Line.DeviceRead(Out, 10), 0);
}

TEST_F(InputQueueRead, ReadRunsAcrossDataBuffersInOrder)
{
    Line.InputQueue.Push(DataOf("abc"));
    Line.InputQueue.Push(DataOf("defg"));
    EXPECT_EQ(Line.DeviceRead(Out, 5), 5);
    EXPECT_EQ(std::string(Out, 5), "abcde");
    EXPECT_EQ(Line.HeadBytesUnread(), 2);
}

class DeviceEdges : public DeviceTest {};

TEST_F(DeviceEdges, OpenThatFailsReturnsMinusOneAndKeepsTheHandle)
{
    TKivWin32Dispatcher line(nullptr);
    HANDLE before = line.DeviceHandle;
    EXPECT_EQ(line.DeviceOpen(ComName(41), 64, 64), -1);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(line.DeviceHandle, before);
    EXPECT_EQ(line.DeviceClose(), 0);
}

TEST_F(DeviceEdges, FailedOpenLineClosesEveryEventItMade)
{
    TKivWin32Dispatcher line(nullptr);
    EXPECT_EQ(Open(line, 42), ecFileNotFound);
    EXPECT_EQ(line.WakeDispatchEvent, nullptr);
    EXPECT_EQ(line.StatusProcessedEvent, nullptr);
    EXPECT_EQ(line.ThreadAckEvent, nullptr);
    EXPECT_EQ(line.OutputReadyEvent, nullptr);
    EXPECT_EQ(line.ManualEvent, nullptr);
    EXPECT_EQ(line.OutputFlushEvent, nullptr);
    EXPECT_FALSE(line.Started());
}

TEST_F(DeviceEdges, DanglingLinkGivesFileNotFound)
{
    std::filesystem::remove(DeviceDir() / "com43");
    std::filesystem::create_symlink(DeviceDir() / "nowhere", DeviceDir() / "com43");
    TKivWin32Dispatcher line(nullptr);
    EXPECT_EQ(Open(line, 43), ecFileNotFound);
    EXPECT_FALSE(line.Started());
}

} // namespace
} // namespace kivo::test
