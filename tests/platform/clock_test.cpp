// The wrapping millisecond clock and tick timers, including across the wrap.

#include "platform/clock.h"

#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <vector>

using namespace kivo::win;
using namespace std::chrono_literals;

namespace {

// Puts the clock back however the test ends.
struct ClockOffset {
    explicit ClockOffset(DWORD offset) { SetTimeOffsetForTesting(offset); }
    ~ClockOffset() { SetTimeOffsetForTesting(0); }
};

DWORD TickPlus(DWORD tick, DWORD ticks)
{
    return static_cast<DWORD>((std::uint64_t{tick} + ticks) % TickRange);
}

} // namespace

TEST(TimeGetTime, FollowsTheMonotonicClock)
{
    auto start = std::chrono::steady_clock::now();
    DWORD first = timeGetTime();
    ASSERT_TRUE(kivo::test::WaitUntil(2s, [&] { return timeGetTime() - first >= 40; }));
    DWORD counted = timeGetTime() - first;
    auto measured = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(counted, measured + 1);
    EXPECT_GE(counted + 20, measured);
    EXPECT_LE(CurrentTick(), timeGetTime() / MillisecondsPerTick);
    EXPECT_GE(CurrentTick() + 1, timeGetTime() / MillisecondsPerTick);
}

TEST(TimeGetTime, WrapsAt32BitsAndDifferencesStaySmall)
{
    ClockOffset offset(0u - timeGetTime() - 30);  // 30 ms before the wrap
    DWORD before = timeGetTime();
    ASSERT_GT(before, 0xFFFFFFFFu - 1000);
    ASSERT_TRUE(kivo::test::WaitUntil(2s, [] { return timeGetTime() < 1000; }));
    DWORD after = timeGetTime();
    EXPECT_LT(after, before);
    EXPECT_LT(after - before, 1000u);
    EXPECT_LT(CurrentTick(), 1000u / MillisecondsPerTick);
}

TEST(TickRangeValues, MatchTheClock)
{
    EXPECT_EQ(TickRange - 1, 0xFFFFFFFFu / 55);
    EXPECT_EQ(TicksBetween(TickRange - 1, 0), 1u);
    EXPECT_EQ(TicksBetween(5, 5), 0u);
    EXPECT_EQ(TicksBetween(TickRange - 3, 4), 7u);
}

TEST(TickTimer, ExpiresOnlyOnceMoreThanItsSpanHasPassed)
{
    TTickTimer timer = StartTickTimer(1000, 2);
    EXPECT_FALSE(TickTimerExpired(timer, 1000));
    EXPECT_FALSE(TickTimerExpired(timer, 1001));
    EXPECT_FALSE(TickTimerExpired(timer, 1002));
    EXPECT_TRUE(TickTimerExpired(timer, 1003));
    EXPECT_TRUE(TickTimerExpired(timer, 1000 + MaxTickSpan));
}

TEST(TickTimer, SpanIsCappedAtHalfTheRange)
{
    for (LONG ticks : {LONG{MaxTickSpan}, LONG{MaxTickSpan} + 1, LONG{INT_MAX}}) {
        TTickTimer timer = StartTickTimer(7, ticks);
        EXPECT_EQ(timer.ExpiryTick, 7 + MaxTickSpan) << ticks;
        EXPECT_FALSE(TickTimerExpired(timer, 7 + MaxTickSpan)) << ticks;
        EXPECT_TRUE(TickTimerExpired(timer, 8 + MaxTickSpan)) << ticks;
    }
}

TEST(TickTimer, NegativeSpanExpiresAtTheNextTick)
{
    TTickTimer timer = StartTickTimer(500, -10);
    EXPECT_FALSE(TickTimerExpired(timer, 500));
    EXPECT_TRUE(TickTimerExpired(timer, 501));
}

TEST(TickTimer, ExpiryPastTheLastTickValueComesRightAfterTheWrap)
{
    // Started two ticks before the wrap for five ticks: due at tick 4 after it,
    // not weeks later.
    TTickTimer timer = StartTickTimer(TickRange - 2, 5);
    EXPECT_EQ(timer.ExpiryTick, 3u);
    for (DWORD now : {TickRange - 2, TickRange - 1, 0u, 1u, 2u, 3u})
        EXPECT_FALSE(TickTimerExpired(timer, now)) << now;
    EXPECT_TRUE(TickTimerExpired(timer, 4));
    EXPECT_TRUE(TickTimerExpired(timer, 5000));
}

TEST(TickTimer, UncheckedAcrossTheWrapStillExpires)
{
    TTickTimer timer = StartTickTimer(TickRange - 100, 10);
    EXPECT_TRUE(TickTimerExpired(timer, 5));
}

TEST(TickTimer, EveryStartAndSpanHonoursTheRule)
{
    std::vector<DWORD> starts = {0, 1, 1000, MaxTickSpan, TickRange - MaxTickSpan - 1,
                                 TickRange - 36, TickRange - 1};
    std::vector<LONG> spans = {0, 1, 2, 36, 2184, LONG{MaxTickSpan} - 1, LONG{MaxTickSpan}};
    for (DWORD start : starts)
        for (LONG span : spans) {
            TTickTimer timer = StartTickTimer(start, span);
            DWORD due = static_cast<DWORD>(span);
            EXPECT_FALSE(TickTimerExpired(timer, start)) << start << "+" << span;
            EXPECT_FALSE(TickTimerExpired(timer, TickPlus(start, due))) << start << "+" << span;
            EXPECT_TRUE(TickTimerExpired(timer, TickPlus(start, due + 1))) << start << "+" << span;
            EXPECT_TRUE(TickTimerExpired(timer, TickPlus(start, MaxTickSpan + 1))) << start << "+" << span;
        }
}

TEST(TickTimer, OnTheRealClockAcrossTheWrapTwoTicksTakeAtLeast110Ms)
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
