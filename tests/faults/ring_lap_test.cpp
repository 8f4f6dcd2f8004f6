// A burst that fills the whole dispatch buffer in one pass brings its head
// back to where the last look ended: every byte of it must still be
// announced to the handlers and seen by the data triggers.

#include "tests/dispatch/scripted_dispatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kivo::test {
namespace {

constexpr std::size_t RingSize = detail::DispatchBufferSize;

struct TNotice {
    win::UINT Message;
    int Handle;
};

class RingLap : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::SetMainThread();
        ASSERT_EQ(Line.Open(), 0);
        Line.AttachEventHandler(TTriggerHandlerEvent::FromFunction(
            [this](win::UINT message, win::WPARAM handle, win::LPARAM) {
                Notices.push_back({message, static_cast<int>(handle)});
                if (message != kvTriggerAvail) return;
                std::string bytes(handle, '\0');
                if (Line.ReadBlock(bytes.data(), static_cast<int>(handle)) ==
                    static_cast<int>(handle))
                    Read += bytes;
            }));
    }
    void Pass()
    {
        Line.DispatchPass();
        Line.TimerStatusPass();
    }
    // Numbered text, so that a byte out of place shows.
    static std::string Burst(std::size_t size, char first = 'a')
    {
        std::string text;
        for (std::size_t i = 0; i < size; ++i) text += static_cast<char>(first + i % 26);
        return text;
    }

    ScriptedDispatcher Line{false};
    std::vector<TNotice> Notices;
    std::string Read;
};

TEST_F(RingLap, WholeBufferInOnePassIsAnnouncedAndTheRestFollows)
{
    Line.SetAvailThreshold(1);
    const std::string burst = Burst(RingSize + 100);
    Line.Receive(burst);
    for (int i = 0; i < 4 && Read.size() < burst.size(); ++i) Pass();
    ASSERT_FALSE(Notices.empty()) << "a full buffer was never announced";
    EXPECT_EQ(Notices[0].Handle, static_cast<int>(RingSize));
    EXPECT_EQ(Read, burst);
}

TEST_F(RingLap, LapAfterEarlierTrafficIsAnnouncedToo)
{
    Line.SetAvailThreshold(1);
    // Announced and read up to the end of the buffer: the head is back at 0,
    // where the last announcement left it.
    const std::string first = Burst(RingSize, 'A');
    Line.Receive(first.substr(0, 300));
    Pass();
    Line.Receive(first.substr(300));
    Pass();
    ASSERT_EQ(Read, first);
    const std::string lap = Burst(RingSize);
    Line.Receive(lap);
    Pass();
    EXPECT_EQ(Read.size(), 2 * RingSize);
    EXPECT_EQ(Read.substr(RingSize), lap);
}

TEST_F(RingLap, DataTriggerInsideALapFires)
{
    const int handle = Line.NewDataTrigger("END", 3, false);
    ASSERT_GT(handle, 0);
    std::string burst = Burst(RingSize - 3);
    for (char& c : burst)
        if (c == 'e') c = '.';  // no partial "END" before the real one
    burst += "END";
    Line.Receive(burst);
    Pass();
    int fired = 0;
    for (const TNotice& notice : Notices)
        if (notice.Message == kvTriggerData && notice.Handle == handle) ++fired;
    EXPECT_EQ(fired, 1);
}

TEST_F(RingLap, NothingNewMeansNoSecondAnnouncement)
{
    Line.SetAvailThreshold(1);
    Line.Receive(Burst(RingSize));
    Pass();
    const std::size_t after = Notices.size();
    ASSERT_EQ(after, 1u);
    for (int i = 0; i < 3; ++i) Pass();
    EXPECT_EQ(Notices.size(), after);
}

} // namespace
} // namespace kivo::test
