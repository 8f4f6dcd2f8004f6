// Two thousand close-and-reopen cycles of the window's own port, the way
// every transmission does it, and what the process holds afterwards.

#include "tests/app/window_fixture.h"
#include "tests/soak/soak_rig.h"

#include "platform/parked_threads.h"

#include <chrono>

namespace tarvio::test {
namespace {

using namespace std::chrono_literals;
using kivo::test::MeasureProcess;
using kivo::test::TProcessUsage;

constexpr int Cycles = 2000;
// The allocator keeps arenas and thread stacks for reuse once threads have
// come and gone, so the first cycles grow the process; these are not counted.
constexpr int WarmUpCycles = 100;
// Pages touched by a late arena or a stack cached a little deeper than in
// warm-up; a leak of even 256 bytes a cycle would pass it.
constexpr std::size_t ResidentSlack = 512 * 1024;
// Heap counts exactly what is held; this allows for the allocator's own
// per-thread caches, not for anything a cycle keeps.
constexpr std::size_t HeapSlack = 64 * 1024;

class PortCycles : public WindowTest {
protected:
    // The threads of a closed port have been joined; their task entries may
    // take a moment longer to leave /proc.
    TProcessUsage SettledUsage(std::size_t threads)
    {
        TProcessUsage usage = MeasureProcess();
        kivo::test::WaitUntil(2s, [&] {
            usage = Working();
            return usage.Threads <= threads;
        });
        return usage;
    }

    // Threads parked for the next opening are bounded (their own tests show
    // it) and are not counted; every other thread is.
    static TProcessUsage Working()
    {
        for (int attempt = 1;; ++attempt) {
            std::size_t parked = kivo::win::TParkedThread::ParkedCount();
            TProcessUsage usage = MeasureProcess();
            // A thread that parked during the look is counted twice or not at all.
            if (parked != kivo::win::TParkedThread::ParkedCount() && attempt < 100) continue;
            usage.Threads -= parked;
            return usage;
        }
    }

    void Cycle(TForm1& form, int count)
    {
        for (int i = 0; i < count; ++i) {
            form.AbrirPorta();
            ASSERT_TRUE(form.Port1->Open()) << "cycle " << i;
            ServeUntil(Services, 0ms, [] { return false; });
        }
    }
};

TEST_F(PortCycles, TwoThousandReopeningsLeaveDescriptorsThreadsAndMemoryFlat)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    ASSERT_TRUE(form.Port1->Open());
    Cycle(form, WarmUpCycles);
    ASSERT_FALSE(HasFatalFailure());
    const TProcessUsage before = Working();

    const auto start = std::chrono::steady_clock::now();
    Cycle(form, Cycles);
    ASSERT_FALSE(HasFatalFailure());
    const auto took = std::chrono::steady_clock::now() - start;
    const TProcessUsage after = SettledUsage(before.Threads);

    RecordProperty("cycle_microseconds",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took)
                                        .count() /
                                    Cycles));
    SCOPED_TRACE(::testing::Message() << "before: " << before << "; after: " << after);
    EXPECT_EQ(after.OpenFiles, before.OpenFiles);
    // A line thread of the last close frees itself after the close has
    // returned, so `before` may still count one on its way to parking; a
    // thread kept per cycle would show as thousands more.
    EXPECT_LE(after.Threads, before.Threads);
    if (!kivo::test::SanitizedAllocator()) {
        EXPECT_LE(after.ResidentBytes, before.ResidentBytes + ResidentSlack);
        ASSERT_TRUE(after.HeapInUse && before.HeapInUse);
        EXPECT_LE(*after.HeapInUse, *before.HeapInUse + HeapSlack);
    }
    EXPECT_EQ(Line.Openings(), 1 + WarmUpCycles + Cycles);

    // The last opening is as good as the first: a frame goes out, a packet
    // comes in.
    form.Button1Click();
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
    ASSERT_TRUE(Deliver(StatusPacket(' ', "@ALIVE-", "END")));
    EXPECT_EQ(form.SB1->PanelText(1), "END");
    EXPECT_TRUE(ErrorsShown().empty());
}

} // namespace
} // namespace tarvio::test
