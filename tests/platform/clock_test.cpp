// The wrapping millisecond clock and tick timers, across the wrap too.

#include "platform/clock.h"

#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>

using namespace kivo::win;
using namespace std::chrono_literals;

namespace {

struct ClockOffset {
    explicit ClockOffset(DWORD offset) { SetTimeOffsetForTesting(offset); }
    ~ClockOffset() { SetTimeOffsetForTesting(0); }
};

DWORD TickPlus(DWORD tick, DWORD ticks)
{
    return static_cast<DWORD>((std::uint64_t{tick} + ticks) % TickRange);
}

} // namespace

TEST(TimeGetTime, WrapsAt32BitsAndDifferencesStaySmall)
{
    // The wrap lies 300 ms ahead, and the difference is held to what the
    // monotonic clock saw around the two reads rather than to fixed figures,
    // so a host that stalls the test (sanitizers, a loaded machine) passes.
    using std::chrono::steady_clock;
    auto ms = [](steady_clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    ClockOffset offset(0u - timeGetTime() - 300);
    auto outerStart = steady_clock::now();
    DWORD before = timeGetTime();
    auto innerStart = steady_clock::now();
    ASSERT_GT(before, 0xFFFFFFFFu - 1000);
    ASSERT_TRUE(kivo::test::WaitUntil(5s, [] { return timeGetTime() < 1000; }));
    auto innerEnd = steady_clock::now();
    DWORD after = timeGetTime();
    auto outerEnd = steady_clock::now();
    EXPECT_GE(after - before + 1, ms(innerEnd - innerStart));
    EXPECT_LE(after - before, ms(outerEnd - outerStart) + 1);
    EXPECT_LE(CurrentTick(), (after + ms(steady_clock::now() - outerEnd) + 1) / MillisecondsPerTick);
}

TEST(TickTimer, ExpiresOnceMoreThanItsSpanHasPassedFromAnyStart)
{
    for (DWORD start : {0u, 1000u, MaxTickSpan, TickRange - MaxTickSpan - 1, TickRange - 36, TickRange - 1})
        for (LONG span : {0, 1, 2, 36, 2184, LONG{MaxTickSpan}}) {
            TTickTimer timer = StartTickTimer(start, span);
            auto due = static_cast<DWORD>(span);
            EXPECT_FALSE(TickTimerExpired(timer, start)) << start << "+" << span;
            EXPECT_FALSE(TickTimerExpired(timer, TickPlus(start, due))) << start << "+" << span;
            EXPECT_TRUE(TickTimerExpired(timer, TickPlus(start, due + 1))) << start << "+" << span;
            EXPECT_TRUE(TickTimerExpired(timer, TickPlus(start, MaxTickSpan + 1))) << start << "+" << span;
        }
}

TEST(TickTimer, SpanIsCappedAndNegativeCountsAsZero)
{
    for (LONG ticks : {LONG{MaxTickSpan} + 1, LONG{INT_MAX}}) {
        TTickTimer timer = StartTickTimer(7, ticks);
        EXPECT_FALSE(TickTimerExpired(timer, 7 + MaxTickSpan)) << ticks;
        EXPECT_TRUE(TickTimerExpired(timer, 8 + MaxTickSpan)) << ticks;
    }
    TTickTimer negative = StartTickTimer(500, -10);
    EXPECT_FALSE(TickTimerExpired(negative, 500));
    EXPECT_TRUE(TickTimerExpired(negative, 501));
}

TEST(TickTimer, ExpiryPastTheLastTickValueComesRightAfterTheWrap)
{
    // Two ticks before the wrap for five ticks: due at tick 4 after it, not weeks later.
    TTickTimer timer = StartTickTimer(TickRange - 2, 5);
    EXPECT_EQ(timer.ExpiryTick, 3u);
    for (DWORD now : {TickRange - 1, 0u, 3u}) EXPECT_FALSE(TickTimerExpired(timer, now)) << now;
    EXPECT_TRUE(TickTimerExpired(timer, 4));
    EXPECT_TRUE(TickTimerExpired(StartTickTimer(TickRange - 100, 10), 5)) << "checked only after the wrap";
}

TEST(TickTimer, OnTheRealClockAcrossTheWrapTwoTicksTakeAtLeastTwoTicks)
{
    ClockOffset offset(0u - timeGetTime() - 60);
    auto start = std::chrono::steady_clock::now();
    TTickTimer timer = StartTickTimer(2);
    EXPECT_FALSE(TickTimerExpired(timer));
    ASSERT_TRUE(kivo::test::WaitUntil(3s, [&] { return TickTimerExpired(timer); }));
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    // The last tick value before the wrap lasts only 26 ms, so one tick may be short.
    EXPECT_GE(elapsed, 110 - 29);
    EXPECT_LT(elapsed, 400);
    EXPECT_LT(CurrentTick(), 100u) << "the clock should have wrapped";
}
