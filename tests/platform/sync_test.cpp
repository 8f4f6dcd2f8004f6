// Events, waits and the handle table under contention and misuse.

#include "platform/sync.h"

#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace kivo::win;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Closes the handle when the test leaves, whatever its outcome.
struct ScopedEvent {
    explicit ScopedEvent(bool manualReset, bool initialState = false)
        : Handle(CreateEvent(manualReset, initialState))
    {
    }
    ~ScopedEvent() { CloseHandle(Handle); }
    ScopedEvent(const ScopedEvent&) = delete;
    ScopedEvent& operator=(const ScopedEvent&) = delete;
    HANDLE Handle;
};

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A non-event kind of handle, as the serial layer enters its files.
class RecordingObject : public KernelObject {
public:
    explicit RecordingObject(bool& destroyed) : Destroyed(destroyed) {}
    ~RecordingObject() override { Destroyed = true; }

private:
    bool& Destroyed;
};

} // namespace

TEST(AutoResetEvent, SignalBeforeWaitIsConsumedByOneWait)
{
    ScopedEvent event(false, true);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.Handle));
    ASSERT_TRUE(SetEvent(event.Handle));  // a second set of a set event adds nothing
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.Handle));
    ASSERT_TRUE(ResetEvent(event.Handle));
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
}

TEST(AutoResetEvent, EachSignalReleasesExactlyOneOfManyWaiters)
{
    constexpr int waiters = 4;
    constexpr int signals = 400;
    ScopedEvent event(false);
    ScopedEvent stop(true);
    std::atomic<int> released{0};
    std::atomic<int> timedOut{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < waiters; ++t) {
        threads.emplace_back([&] {
            HANDLE handles[] = {event.Handle, stop.Handle};
            for (;;) {
                DWORD result = WaitForMultipleObjects(2, handles, FALSE, 10000);
                if (result == WAIT_OBJECT_0) ++released;
                else if (result == WAIT_OBJECT_0 + 1) return;
                else {
                    ++timedOut;
                    return;
                }
            }
        });
    }
    for (int i = 1; i <= signals; ++i) {
        ASSERT_TRUE(SetEvent(event.Handle));
        ASSERT_TRUE(kivo::test::WaitUntil(5s, [&] { return released.load() >= i; })) << "signal " << i;
    }
    // A signal that released two waiters would have been counted before the
    // stop: the event wins over the stop as the lower index.
    ASSERT_TRUE(SetEvent(stop.Handle));
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(released.load(), signals);
    EXPECT_EQ(timedOut.load(), 0);
}

TEST(ManualResetEvent, ReleasesEveryWaiterAndStaysSet)
{
    constexpr int waiters = 6;
    ScopedEvent event(true);
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < waiters; ++t)
        threads.emplace_back([&] {
            if (WaitForSingleObject(event.Handle, 10000) == WAIT_OBJECT_0) ++released;
        });
    ASSERT_TRUE(SetEvent(event.Handle));
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(released.load(), waiters);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event.Handle));
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
}

TEST(WaitForAny, ReturnsLowestSignalledIndexAndConsumesOnlyThatOne)
{
    ScopedEvent first(false), second(false), third(false);
    HANDLE handles[] = {first.Handle, second.Handle, third.Handle};
    ASSERT_TRUE(SetEvent(third.Handle));
    ASSERT_TRUE(SetEvent(second.Handle));
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(WaitForAny, ManualEventAtLowerIndexKeepsWinning)
{
    ScopedEvent manual(true), automatic(false);
    HANDLE handles[] = {manual.Handle, automatic.Handle};
    ASSERT_TRUE(SetEvent(manual.Handle));
    ASSERT_TRUE(SetEvent(automatic.Handle));
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual.Handle));
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
}

TEST(WaitForAny, BlockedWaiterWakesForAnyOfItsEvents)
{
    for (DWORD target = 0; target < 3; ++target) {
        ScopedEvent a(false), b(false), c(false);
        HANDLE handles[] = {a.Handle, b.Handle, c.Handle};
        std::atomic<DWORD> result{WAIT_FAILED};
        std::thread waiter([&] { result = WaitForMultipleObjects(3, handles, FALSE, 10000); });
        ASSERT_TRUE(SetEvent(handles[target]));
        waiter.join();
        EXPECT_EQ(result.load(), WAIT_OBJECT_0 + target);
        EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT) << "signal not consumed";
    }
}

TEST(WaitForAny, SignalsFromSeveralProducersReachTheRightIndex)
{
    constexpr int producers = 3;
    constexpr int rounds = 300;
    std::array<HANDLE, producers> signals{}, acks{};
    for (int p = 0; p < producers; ++p) {
        signals[p] = CreateEvent(false, false);
        acks[p] = CreateEvent(false, false);
    }
    std::atomic<bool> producerStalled{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int r = 0; r < rounds; ++r) {
                SetEvent(signals[p]);
                if (WaitForSingleObject(acks[p], 10000) != WAIT_OBJECT_0) {
                    producerStalled = true;
                    return;
                }
            }
        });
    std::array<int, producers> seen{};
    for (int n = 0; n < producers * rounds; ++n) {
        DWORD result = WaitForMultipleObjects(producers, signals.data(), FALSE, 10000);
        ASSERT_LT(result, WAIT_OBJECT_0 + producers) << "wait " << n << " gave " << result;
        ++seen[result - WAIT_OBJECT_0];
        SetEvent(acks[result - WAIT_OBJECT_0]);
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(producerStalled.load());
    for (int p = 0; p < producers; ++p) {
        EXPECT_EQ(seen[p], rounds) << "producer " << p;
        CloseHandle(signals[p]);
        CloseHandle(acks[p]);
    }
}

TEST(WaitForAll, WaitsUntilEverySignalAndConsumesOnlyAutoEvents)
{
    ScopedEvent manual(true), automatic(false);
    HANDLE handles[] = {manual.Handle, automatic.Handle};
    ASSERT_TRUE(SetEvent(automatic.Handle));
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_TIMEOUT);
    // The partial wait must not have taken the automatic event's signal.
    EXPECT_EQ(WaitForSingleObject(automatic.Handle, 0), WAIT_OBJECT_0);

    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForMultipleObjects(2, handles, TRUE, 10000); });
    ASSERT_TRUE(SetEvent(automatic.Handle));
    ASSERT_TRUE(SetEvent(manual.Handle));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.Handle, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual.Handle, 0), WAIT_OBJECT_0);
}

TEST(WaitForAll, SameHandleTwiceIsRefused)
{
    ScopedEvent event(false, true);
    HANDLE handles[] = {event.Handle, event.Handle};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0);
}

TEST(WaitTimeout, EndsNeitherEarlyNorMuchLate)
{
    ScopedEvent event(false);
    for (DWORD limit : {20u, 120u}) {
        auto start = Clock::now();
        EXPECT_EQ(WaitForSingleObject(event.Handle, limit), WAIT_TIMEOUT);
        long long elapsed = MillisecondsSince(start);
        EXPECT_GE(elapsed, limit);
        EXPECT_LT(elapsed, limit + 150) << "limit " << limit;
    }
    ScopedEvent other(true);
    HANDLE handles[] = {event.Handle, other.Handle};
    auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 60), WAIT_TIMEOUT);
    EXPECT_GE(MillisecondsSince(start), 60);
    start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_TIMEOUT);
    EXPECT_LT(MillisecondsSince(start), 50);
}

TEST(WaitTimeout, TimedOutWaiterDoesNotTakeALaterSignal)
{
    ScopedEvent event(false);
    EXPECT_EQ(WaitForSingleObject(event.Handle, 10), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.Handle));
    EXPECT_EQ(WaitForSingleObject(event.Handle, 0), WAIT_OBJECT_0);
}

TEST(Sleep, LastsAtLeastItsTime)
{
    auto start = Clock::now();
    Sleep(30);
    EXPECT_GE(MillisecondsSince(start), 30);
    Sleep(0);
}

TEST(HandleTable, BadHandlesFailWithInvalidHandle)
{
    KernelObject stranger;  // never entered in the table
    HANDLE closed = CreateEvent(true, true);
    ASSERT_NE(closed, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE bad : {HANDLE{nullptr}, INVALID_HANDLE_VALUE, closed, &stranger}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(ResetEvent(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST(HandleTable, OneBadHandleFailsAWaitOnSeveral)
{
    ScopedEvent good(true, true);
    HANDLE handles[] = {good.Handle, nullptr};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(HandleTable, CountsOutsideOneToSixtyFourAreRefused)
{
    std::vector<HANDLE> handles(MAXIMUM_WAIT_OBJECTS + 1);
    for (auto& handle : handles) handle = CreateEvent(true, true);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), TRUE, 0), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, handles.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, handles.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    for (auto handle : handles) CloseHandle(handle);
}

TEST(HandleTable, EnteredObjectIsClosedOnceAndIsNoEvent)
{
    bool destroyed = false;
    HANDLE handle = RegisterHandle(std::make_unique<RecordingObject>(destroyed));
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(IsLiveHandle(handle));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(handle));
    EXPECT_FALSE(destroyed);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(IsLiveHandle(handle));
}

TEST(HandleTable, ClosingAnEventUnderAWaiterLetsTheWaitRunOut)
{
    // Whether the close lands before or during the wait, the wait must end
    // cleanly and never touch a freed object (the sanitizer builds check).
    ScopedEvent started(false);
    for (int round = 0; round < 20; ++round) {
        HANDLE event = CreateEvent(false, false);
        std::atomic<DWORD> result{WAIT_OBJECT_0};
        std::atomic<long long> waited{0};
        std::thread waiter([&] {
            SetEvent(started.Handle);
            auto start = Clock::now();
            result = WaitForSingleObject(event, 30);
            waited = MillisecondsSince(start);
        });
        ASSERT_EQ(WaitForSingleObject(started.Handle, 5000), WAIT_OBJECT_0);
        ASSERT_TRUE(CloseHandle(event));
        waiter.join();
        if (result.load() == WAIT_TIMEOUT) EXPECT_GE(waited.load(), 30);
        else EXPECT_EQ(result.load(), WAIT_FAILED);
    }
}

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
    std::atomic<int> otherGot{-1};
    std::thread([&] { otherGot = TryEnterCriticalSection(&section); }).join();
    EXPECT_EQ(otherGot.load(), FALSE);
    LeaveCriticalSection(&section);
    std::thread([&] {
        otherGot = TryEnterCriticalSection(&section);
        if (otherGot.load()) LeaveCriticalSection(&section);
    }).join();
    EXPECT_EQ(otherGot.load(), TRUE);
    DeleteCriticalSection(&section);
}
