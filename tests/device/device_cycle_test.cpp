// The close and reopen of a line: every waiter on the thread gate sees every
// thread leave, and a line reopened after a close runs on parked threads.

#include "device_rig.h"

#include "platform/parked_threads.h"
#include "serial/dispatch/detail/thread_gate.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace kivo;
using namespace kivo::test;
using namespace kivo::win;
using namespace std::chrono_literals;

namespace {

using Gate = kivo::detail::TThreadGate;

// Far beyond the gate's slice: a waiter that returns before it was woken.
constexpr DWORD Forever = 20000;

} // namespace

TEST(ThreadGate, OneLeaveWakesEveryWaiterNotJustOne)
{
    Gate gate;
    gate.Enter();
    constexpr int Waiters = 3;
    std::atomic<int> registered{0};
    std::vector<DWORD> results(Waiters, WAIT_TIMEOUT);
    std::vector<std::thread> threads;
    for (int i = 0; i < Waiters; ++i)
        threads.emplace_back([&, i] {
            Gate::TWaiter waiter(gate);
            ++registered;
            results[static_cast<std::size_t>(i)] = waiter.Wait(Forever, QS_SENDMESSAGE);
        });
    ASSERT_TRUE(WaitUntil(5s, [&] { return registered.load() == Waiters; }));
    auto start = std::chrono::steady_clock::now();
    gate.Leave();
    for (auto& thread : threads) thread.join();
    for (DWORD result : results) EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(Forever / 2));
    EXPECT_EQ(gate.Alive.load(), 0);
    EXPECT_EQ(gate.Entered.load(), 1u);
}

TEST(ThreadGate, ALeaveBetweenRegistrationAndSleepIsNotLost)
{
    Gate gate;
    gate.Enter();
    Gate::TWaiter waiter(gate);
    gate.Leave();
    EXPECT_EQ(waiter.Wait(Forever, QS_SENDMESSAGE), WAIT_OBJECT_0);
    // Only one leave happened: the next wait has nothing to report.
    EXPECT_EQ(waiter.Wait(0, QS_SENDMESSAGE), WAIT_TIMEOUT);
}

TEST(ThreadGate, TwoWaitsForAllBothEndWithTheLastLeave)
{
    Gate gate;
    constexpr int Threads = 2;
    for (int i = 0; i < Threads; ++i) gate.Enter();
    std::atomic<int> done{0};
    std::vector<std::thread> waiting;
    for (int i = 0; i < 2; ++i)
        waiting.emplace_back([&] {
            gate.WaitForAll();
            ++done;
        });
    // Each leave wakes both; between leaves both go back to sleep.
    for (int i = 0; i < Threads; ++i) {
        EXPECT_EQ(done.load(), 0);
        gate.Leave();
    }
    EXPECT_TRUE(WaitUntil(5s, [&] { return done.load() == 2; }));
    for (auto& thread : waiting) thread.join();
}

class LineCycle : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        Far.LinkAs(DeviceDir().Path(), "com1");
    }
    PtyPair Far;
};

TEST_F(LineCycle, AReopenedLineRunsOnParkedThreadsAndStillCarriesItsBytes)
{
    TKivWin32Dispatcher line(nullptr);
    ASSERT_EQ(Open(line, 1), 0);
    line.CloseLine();
    // The four line threads; the device itself starts none.
    constexpr std::size_t PerOpen = 4;
    static_assert(PerOpen <= TParkedThread::ParkedLimit);
    ASSERT_TRUE(PumpUntil(5s, [] { return TParkedThread::ParkedCount() >= PerOpen; }));
    const std::size_t created = TParkedThread::CreatedCount();

    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(Open(line, 1), 0) << "round " << round;
        EXPECT_EQ(line.ThreadCount.load(), 4);
        const std::string text = "cycle " + std::to_string(round);
        EXPECT_EQ(line.WriteBlock(text.data(), static_cast<int>(text.size())), 0);
        EXPECT_EQ(Far.ReadExactly(text.size(), 5s), text) << "round " << round;
        line.CloseLine();
        EXPECT_FALSE(line.Started());
        ASSERT_TRUE(PumpUntil(5s, [] { return TParkedThread::ParkedCount() >= PerOpen; }))
            << "round " << round;
    }
    EXPECT_EQ(TParkedThread::CreatedCount(), created) << "a reopen created threads";
    EXPECT_TRUE(NothingShown());
}
