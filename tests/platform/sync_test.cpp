// Events, waits and the handle table under contention and misuse.

#include "platform/sync.h"

#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include <sched.h>

using namespace kivo::win;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct ScopedEvent {
    explicit ScopedEvent(bool manualReset, bool initialState = false)
        : Handle(CreateEvent(manualReset, initialState)) {}
    ~ScopedEvent() { CloseHandle(Handle); }
    HANDLE Handle;
};

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST(AutoResetEvent, OneSignalIsConsumedByOneWait)
{
    ScopedEvent event(false, true);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
    SetEvent(event.Handle);
    SetEvent(event.Handle);  // setting a set event adds nothing
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
    SetEvent(event.Handle);
    ResetEvent(event.Handle);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
}

TEST(AutoResetEvent, EachSignalReleasesExactlyOneOfManyWaiters)
{
    constexpr int signals = 400;
    ScopedEvent event(false), stop(true);
    std::atomic<int> released{0}, timedOut{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < 4; ++t)
        waiters.emplace_back([&] {
            HANDLE handles[] = {event.Handle, stop.Handle};
            for (;;) {
                DWORD result = WaitForMultipleObjects(2, handles, FALSE, 10000);
                if (result == WAIT_OBJECT_0) ++released;
                else if (result != WAIT_OBJECT_0 + 1) ++timedOut;
                if (result != WAIT_OBJECT_0) return;
            }
        });
    for (int i = 1; i <= signals; ++i) {
        ASSERT_TRUE(SetEvent(event.Handle));
        ASSERT_TRUE(kivo::test::WaitUntil(5s, [&] { return released.load() >= i; })) << "signal " << i;
    }
    // A signal that released two would be counted before the stop: the event
    // wins over the stop as the lower index.
    SetEvent(stop.Handle);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), signals);
    EXPECT_EQ(timedOut.load(), 0);
}

TEST(ManualResetEvent, ReleasesEveryWaiterAndStaysSetUntilReset)
{
    ScopedEvent event(true);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < 6; ++t)
        waiters.emplace_back([&] { released += WaitForSingleObject(event.Handle, 10000) == WAIT_OBJECT_0; });
    SetEvent(event.Handle);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 6);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
    ResetEvent(event.Handle);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
}

TEST(WaitForAny, ReturnsTheLowestSignalledIndexAndConsumesOnlyThatOne)
{
    ScopedEvent first(false), second(false), third(false), manual(true);
    HANDLE handles[] = {first.Handle, second.Handle, third.Handle};
    SetEvent(third.Handle);
    SetEvent(second.Handle);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
    HANDLE mixed[] = {manual.Handle, first.Handle};
    SetEvent(manual.Handle);
    SetEvent(first.Handle);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0);
}

TEST(WaitForAny, BlockedConsumerGetsTheRightIndexFromSeveralProducers)
{
    constexpr int producers = 3, rounds = 300;
    std::vector<HANDLE> signals, acks;
    for (int p = 0; p < producers; ++p) {
        signals.push_back(CreateEvent(false, false));
        acks.push_back(CreateEvent(false, false));
    }
    std::atomic<bool> stalled{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int r = 0; r < rounds && !stalled; ++r) {
                SetEvent(signals[p]);
                stalled = stalled || WaitForSingleObject(acks[p], 10000) != WAIT_OBJECT_0;
            }
        });
    std::vector<int> seen(producers);
    for (int n = 0; n < producers * rounds; ++n) {
        DWORD result = WaitForMultipleObjects(producers, signals.data(), FALSE, 10000);
        if (result >= WAIT_OBJECT_0 + producers) {
            stalled = true;
            ADD_FAILURE() << "wait " << n << " gave " << result;
            break;
        }
        ++seen[result - WAIT_OBJECT_0];
        SetEvent(acks[result - WAIT_OBJECT_0]);
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(stalled.load());
    EXPECT_EQ(seen, std::vector<int>(producers, rounds));
    for (int p = 0; p < producers; ++p) CloseHandle(signals[p]), CloseHandle(acks[p]);
}

TEST(WaitForAll, WaitsForEverySignalAndConsumesOnlyAutoEvents)
{
    ScopedEvent manual(true), automatic(false);
    HANDLE handles[] = {manual.Handle, automatic.Handle};
    SetEvent(automatic.Handle);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(automatic.Handle, 0), WAIT_OBJECT_0) << "partial wait took the signal";
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForMultipleObjects(2, handles, TRUE, 10000); });
    SetEvent(automatic.Handle);
    SetEvent(manual.Handle);
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.Handle, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual.Handle, 0), WAIT_OBJECT_0);
    HANDLE twice[] = {manual.Handle, manual.Handle};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(WaitTimeout, EndsNeitherEarlyNorMuchLate)
{
    ScopedEvent event(false), other(true);
    for (DWORD limit : {20u, 120u}) {
        auto start = Clock::now();
        EXPECT_EQ(WaitForSingleObject(event.Handle, limit), WAIT_TIMEOUT);
        EXPECT_GE(MsSince(start), limit);
        EXPECT_LT(MsSince(start), limit + 150);
    }
    HANDLE handles[] = {event.Handle, other.Handle};
    auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 60), WAIT_TIMEOUT);
    EXPECT_GE(MsSince(start), 60);
    SetEvent(event.Handle);  // no timed-out waiter may have stayed behind to take it
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
}

TEST(HandleTable, BadHandlesAndCountsFailWithTheRightError)
{
    KernelObject stranger;  // never entered in the table
    HANDLE closed = CreateEvent(true, true);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE bad : {HANDLE{nullptr}, INVALID_HANDLE_VALUE, closed, &stranger}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_FALSE(ResetEvent(bad));
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    std::vector<HANDLE> handles(MAXIMUM_WAIT_OBJECTS + 1);
    for (auto& handle : handles) handle = CreateEvent(true, true);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, handles.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(0, handles.data(), FALSE, 0), WAIT_FAILED);
    HANDLE withBad[] = {handles[0], nullptr};
    EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    for (auto handle : handles) CloseHandle(handle);
}

TEST(HandleTable, EnteredObjectIsNoEventAndIsDeletedByItsClose)
{
    struct Recording : KernelObject {
        explicit Recording(bool& gone) : Gone(gone) {}
        ~Recording() override { Gone = true; }
        bool& Gone;
    };
    bool gone = false;
    HANDLE handle = RegisterHandle(std::make_unique<Recording>(gone));
    ASSERT_TRUE(IsLiveHandle(handle));
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(handle));
    EXPECT_FALSE(gone);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_TRUE(gone);
    EXPECT_FALSE(IsLiveHandle(handle));
}

TEST(HandleTable, ClosingAnEventUnderAWaiterLetsTheWaitRunOut)
{
    // Before or during the wait, the close must leave no freed object behind
    // the waiter (the sanitizer builds check).
    ScopedEvent started(false);
    for (int round = 0; round < 20; ++round) {
        HANDLE event = CreateEvent(false, false);
        std::atomic<DWORD> result{WAIT_OBJECT_0};
        std::atomic<long long> waited{0};
        std::thread waiter([&] {
            SetEvent(started.Handle);
            auto start = Clock::now();
            result = WaitForSingleObject(event, 30);
            waited = MsSince(start);
        });
        ASSERT_EQ(WaitForSingleObject(started.Handle, 5000), WAIT_OBJECT_0);
        ASSERT_TRUE(CloseHandle(event));
        waiter.join();
        if (result.load() == WAIT_TIMEOUT) EXPECT_GE(waited.load(), 30);
        else EXPECT_EQ(result.load(), WAIT_FAILED);
    }
}

TEST(HandleTable, ClosingAnEventBeforeTheWaiterItReleasedRunsOnFreesNothingUnderIt)
{
    // Whoever sees the signal may close the event at once, while the thread
    // it released has not yet run on; the held wake keeps that thread there.
    for (int round = 0; round < 20; ++round) {
        HANDLE event = CreateEvent(false, false);
        std::atomic<DWORD> result{WAIT_FAILED};
        std::thread waiter([&] { result = WaitForSingleObject(event, 10000); });
        bool taken = false;
        {
            TWakesHeld held;
            for (int tries = 0; tries < 500 && !taken; ++tries) {
                SetEvent(event);
                taken = WaitForSingleObject(event, 0) == WAIT_TIMEOUT;
                if (!taken) std::this_thread::sleep_for(1ms);
            }
            EXPECT_TRUE(CloseHandle(event));
        }
        waiter.join();
        ASSERT_TRUE(taken);
        EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    }
}

// Waiters are woken after the event lock is released, and a wake can arrive
// after its waiter has left. These runs make such late wakes common: signals
// race time-outs of one millisecond, and waiting threads end and are replaced.
TEST(LateWake, ASignalRacingATimeOutIsConsumedOnceOrLeftSet)
{
    ScopedEvent event(false);
    int consumed = 0, left = 0;
    for (int round = 0; round < 300; ++round) {
        DWORD result = WAIT_FAILED;
        std::thread waiter([&] { result = WaitForSingleObject(event.Handle, 1); });
        if (round % 3 != 0) std::this_thread::yield();
        ASSERT_TRUE(SetEvent(event.Handle));
        waiter.join();
        // Exactly one of: the wait took the signal, or the signal is still there.
        DWORD after = WaitForSingleObject(event.Handle, 0);
        if (result == WAIT_OBJECT_0) {
            ++consumed;
            ASSERT_EQ(after, WAIT_TIMEOUT) << "round " << round;
        } else {
            ++left;
            ASSERT_EQ(result, WAIT_TIMEOUT) << "round " << round;
            ASSERT_EQ(after, WAIT_OBJECT_0) << "round " << round;
        }
    }
    EXPECT_EQ(consumed + left, 300);
}

TEST(LateWake, PingPongWithShortTimeOutsLosesAndInventsNoSignal)
{
    constexpr int rounds = 5000;
    ScopedEvent ping(false), pong(false);
    std::atomic<bool> pingSet{false}, pongSet{false};
    std::atomic<int> invented{0};
    // Each side retries its 1 ms waits; a wait that ends with the event
    // signalled must find the flag its partner raised before setting it.
    auto take = [&](HANDLE event, std::atomic<bool>& flag) {
        for (int tries = 0; tries < 10000; ++tries) {
            DWORD result = WaitForSingleObject(event, 1);
            if (result == WAIT_OBJECT_0) {
                if (!flag.exchange(false)) ++invented;
                return true;
            }
            if (result != WAIT_TIMEOUT) return false;
        }
        return false;
    };
    std::atomic<bool> partnerOk{true};
    std::thread partner([&] {
        for (int i = 0; i < rounds; ++i) {
            if (!take(ping.Handle, pingSet)) {
                partnerOk = false;
                return;
            }
            pongSet = true;
            SetEvent(pong.Handle);
        }
    });
    int done = 0;
    for (; done < rounds; ++done) {
        pingSet = true;
        SetEvent(ping.Handle);
        if (!take(pong.Handle, pongSet)) break;
    }
    partner.join();
    EXPECT_EQ(done, rounds);
    EXPECT_TRUE(partnerOk.load());
    EXPECT_EQ(invented.load(), 0);
}

TEST(LateWake, ManualEventReleasesMoreWaitersThanOneWakeBatchHolds)
{
    constexpr int count = 40;
    ScopedEvent event(true);
    std::atomic<int> waiting{0}, released{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < count; ++t)
        waiters.emplace_back([&] {
            ++waiting;
            released += WaitForSingleObject(event.Handle, 10000) == WAIT_OBJECT_0;
        });
    ASSERT_TRUE(kivo::test::WaitUntil(5s, [&] { return waiting.load() == count; }));
    auto start = Clock::now();
    SetEvent(event.Handle);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), count);
    EXPECT_LT(MsSince(start), 5000);
}

TEST(LateWake, ThreadsThatEndHandTheirWaitRecordsOnSafely)
{
    // Short-lived threads leave records behind with wakes still on the way;
    // the next threads reuse them (asan sees any touch of freed memory).
    ScopedEvent event(true);
    ScopedEvent other(false);
    for (int generation = 0; generation < 20; ++generation) {
        std::vector<std::thread> threads;
        std::atomic<int> ok{0};
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                HANDLE handles[] = {other.Handle, event.Handle};
                DWORD result = WaitForMultipleObjects(2, handles, FALSE, 2);
                ok += result == WAIT_OBJECT_0 + 1 || result == WAIT_TIMEOUT;
            });
        SetEvent(event.Handle);
        for (auto& thread : threads) thread.join();
        ResetEvent(event.Handle);
        ASSERT_EQ(ok.load(), 8) << "generation " << generation;
    }
    // The records still work for a plain wait afterwards.
    std::thread last([&] { EXPECT_EQ(WaitForSingleObject(other.Handle, 5000), WAIT_OBJECT_0); });
    SetEvent(other.Handle);
    last.join();
}

TEST(HeldWakes, AWaiterSatisfiedInsideTheScopeIsWokenAsItEnds)
{
    ScopedEvent event(false);
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(event.Handle, 10000), WAIT_OBJECT_0);
        returned = true;
    });
    Clock::time_point ended;
    {
        TWakesHeld held;
        // A signal that stays set found the waiter not waiting yet: taken
        // back, and given again later.
        bool taken = false;
        for (int round = 0; round < 500 && !taken; ++round) {
            SetEvent(event.Handle);
            taken = WaitForSingleObject(event.Handle, 0) == WAIT_TIMEOUT;
            if (!taken) std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(taken);
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(returned.load()) << "woken while the scope lived";
        ended = Clock::now();
    }
    waiter.join();
    EXPECT_TRUE(returned.load());
    EXPECT_LT(MsSince(ended), 2000);
}

// ---- Brief waits ------------------------------------------------------------------

namespace {

std::chrono::nanoseconds ThreadCpuTime()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

} // namespace

TEST(BriefWait, PingPongOfSpinningWaitersLosesNoWake)
{
    // Each side's wait spins and then sleeps; a waker that skipped the
    // wake-up of a partner that had just gone to sleep would hang a round.
    constexpr int rounds = 20000;
    ScopedEvent ping(false), pong(false);
    std::atomic<int> partnerRounds{0};
    std::thread partner([&] {
        TSpinGauge gauge;
        TBriefWaits brief(gauge);
        for (int i = 0; i < rounds; ++i) {
            if (WaitForSingleObject(ping.Handle, 5000) != WAIT_OBJECT_0) return;
            ++partnerRounds;
            SetEvent(pong.Handle);
        }
    });
    TSpinGauge gauge;
    TBriefWaits brief(gauge);
    int done = 0;
    for (; done < rounds; ++done) {
        SetEvent(ping.Handle);
        if (WaitForSingleObject(pong.Handle, 5000) != WAIT_OBJECT_0) break;
    }
    partner.join();
    EXPECT_EQ(done, rounds);
    EXPECT_EQ(partnerRounds.load(), rounds);
}

TEST(BriefWait, SpinsOnlyBrieflyThenSleepsWhenNoAnswerComes)
{
    ScopedEvent never(true);
    TSpinGauge gauge;
    TBriefWaits brief(gauge);
    auto cpuBefore = ThreadCpuTime();
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(never.Handle, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(MsSince(start), 300);
    // A spin bound of tens of microseconds, plus the wait's own bookkeeping.
    EXPECT_LT(ThreadCpuTime() - cpuBefore, 30ms);
}

TEST(BriefWait, NoSpinForAThreadThatMayRunOnOneCpuOnly)
{
    cpu_set_t all;
    ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
    std::chrono::nanoseconds pinnedLimit{-1}, freeLimit{-1};
    std::thread pinned([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(static_cast<unsigned>(::sched_getcpu()), &one);
        if (::sched_setaffinity(0, sizeof one, &one) == 0) pinnedLimit = SpinLimit();
    });
    pinned.join();
    std::thread free([&] { freeLimit = SpinLimit(); });
    free.join();
    EXPECT_EQ(pinnedLimit.count(), 0);
    if (CPU_COUNT(&all) > 1) {
        EXPECT_GT(freeLimit.count(), 0);
    } else {
        EXPECT_EQ(freeLimit.count(), 0);
    }
}

TEST(SpinGauge, StopsSpinningWhereSpinsRunOutAndLooksAgainNowAndThen)
{
    TSpinGauge gauge;
    EXPECT_TRUE(gauge.ShouldSpin());
    for (int i = 0; i < 8; ++i) gauge.Record(false);
    int spins = 0;
    for (int i = 0; i < 320; ++i) spins += gauge.ShouldSpin() ? 1 : 0;
    EXPECT_EQ(spins, 10);  // one probe in 32
    gauge.Record(true);    // a probe that paid
    EXPECT_TRUE(gauge.ShouldSpin());
}
