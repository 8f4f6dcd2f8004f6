// Parked threads: a finished job's thread runs the next one, carries nothing
// of the last job into it, sleeps while parked, and the pool stays bounded.

#include "platform/parked_threads.h"

#include "platform/win_types.h"
#include "platform/window.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

using namespace kivo::win;
using namespace std::chrono_literals;
using kivo::test::WaitUntil;

namespace {

long OsThreadId()
{
    return ::syscall(SYS_gettid);
}

std::string OwnName()
{
    char name[16]{};
    ::prctl(PR_GET_NAME, name);
    return name;
}

int OwnNice()
{
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(OsThreadId()));
}

long VoluntarySwitches(long tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(line.find(':') + 1));
    return -1;
}

std::size_t TaskCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// Runs job on a pool thread and waits for it.
void RunJoined(std::function<void()> job, const char* name = nullptr)
{
    TParkedThread thread(std::move(job), name);
    thread.join();
}

// Until every thread is parked that can be, so the next start takes the
// thread that parked last.
// A join returns once the job counts as finished, which may be just before
// its thread goes to sleep in the park: the count once it has stayed put
// for 20 ms, or -1.
long SettledSwitches(long tid)
{
    long last = VoluntarySwitches(tid);
    for (int look = 0; look < 100 && last >= 0; ++look) {
        std::this_thread::sleep_for(20ms);
        long now = VoluntarySwitches(tid);
        if (now == last) return now;
        last = now;
    }
    return -1;
}

bool SettleParked(std::size_t atLeast)
{
    return WaitUntil(2s, [&] { return TParkedThread::ParkedCount() >= atLeast; });
}

struct TSetOnDestroy {
    std::atomic<bool>& Flag;
    ~TSetOnDestroy() { Flag = true; }
};

} // namespace

TEST(ParkedThreads, AFinishedJobsThreadRunsTheNextJobWithoutANewThread)
{
    long first = 0;
    RunJoined([&] { first = OsThreadId(); });
    ASSERT_TRUE(SettleParked(1));
    std::size_t created = TParkedThread::CreatedCount();
    long second = 0;
    RunJoined([&] { second = OsThreadId(); });
    EXPECT_EQ(second, first);
    EXPECT_EQ(TParkedThread::CreatedCount(), created);
    EXPECT_NE(first, OsThreadId());
}

TEST(ParkedThreads, AHeldStartRunsAtTheReleaseAndAJoinNeverWaitsForOne)
{
    RunJoined([] {});
    ASSERT_TRUE(SettleParked(1));
    std::atomic<bool> ran{false};
    {
        THeldStarts held;
        TParkedThread thread([&] { ran = true; }, nullptr, TParkedThread::TStart::MayBeHeld);
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(ran) << "a parked thread was woken while held";
        held.Release();
        EXPECT_TRUE(WaitUntil(2s, [&] { return ran.load(); }));
        thread.join();
    }
    ASSERT_TRUE(SettleParked(1));
    THeldStarts held;
    TParkedThread thread([] {}, nullptr, TParkedThread::TStart::MayBeHeld);
    thread.join();  // would wait for ever for the held job
    EXPECT_FALSE(thread.joinable());
}

// A child of fork has only the thread that forked, yet may start jobs (a
// port it opens starts a poller of its own): none may go to a thread that
// was parked in the parent.
TEST(ParkedThreads, AJobStartedInAChildOfForkRuns)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer ends a child of fork that starts a thread";
#endif
    RunJoined([] {});
    ASSERT_TRUE(SettleParked(1));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::atomic<bool> ran{false};
        TParkedThread job([&] { ran = true; });
        for (int wait = 0; wait < 200 && !ran; ++wait) ::usleep(10'000);
        ::_exit(ran ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the job went to a thread the child does not have";
}

TEST(ParkedThreads, JoinReturnsOnlyOnceTheJobAndWhatItCapturedAreGone)
{
    for (int round = 0; round < 50; ++round) {
        std::atomic<bool> destroyed{false};
        auto guard = std::make_shared<TSetOnDestroy>(TSetOnDestroy{destroyed});
        TParkedThread thread([guard] { (void)guard; });
        guard.reset();
        thread.join();
        ASSERT_TRUE(destroyed) << "round " << round;
        EXPECT_FALSE(thread.joinable());
    }
}

TEST(ParkedThreads, ANamedJobWearsItsNameFromTheStartAndTheNextJobDoesNot)
{
    std::string home;
    RunJoined([&] { home = OwnName(); });
    ASSERT_TRUE(SettleParked(1));

    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    long tid = 0;
    TParkedThread named(
        [&] {
            std::unique_lock hold(lock);
            tid = OsThreadId();
            changed.notify_all();
            changed.wait(hold, [&] { return release; });
        },
        "kivo-test-named");
    {
        std::unique_lock hold(lock);
        changed.wait(hold, [&] { return tid != 0; });
    }
    // Visible to anyone listing the threads as soon as the start returns.
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string shown;
    std::getline(comm, shown);
    EXPECT_EQ(shown, "kivo-test-named");
    {
        std::lock_guard hold(lock);
        release = true;
    }
    changed.notify_all();
    named.join();
    ASSERT_TRUE(SettleParked(1));

    long again = 0;
    std::string name;
    RunJoined([&] {
        again = OsThreadId();
        name = OwnName();
    });
    ASSERT_EQ(again, tid);
    EXPECT_EQ(name, home);
}

TEST(ParkedThreads, TheNextJobGetsNoneOfTheLastJobsThreadState)
{
    long tid = 0;
    DWORD oldId = 0;
    RunJoined([&] {
        tid = OsThreadId();
        oldId = GetCurrentThreadId();
        // A message left in the queue, an error, a blocked signal.
        MSG none{};
        EXPECT_FALSE(PeekMessage(&none, PM_REMOVE));  // the queue exists from here
        EXPECT_TRUE(PostThreadMessage(oldId, 0x8001, 1, 2));
        SetLastError(ERROR_ACCESS_DENIED);
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGRTMIN + 3);
        ::pthread_sigmask(SIG_BLOCK, &block, nullptr);
    });
    // Nobody can reach the finished job by its thread id.
    EXPECT_FALSE(PostThreadMessage(oldId, 0x8001, 3, 4));

    ASSERT_TRUE(SettleParked(1));
    long again = 0;
    DWORD newId = 0;
    bool sawMessage = true;
    DWORD lastError = 1;
    bool signalBlocked = true;
    RunJoined([&] {
        again = OsThreadId();
        newId = GetCurrentThreadId();
        MSG msg{};
        sawMessage = PeekMessage(&msg, PM_REMOVE) != FALSE;
        lastError = GetLastError();
        sigset_t now;
        ::pthread_sigmask(SIG_SETMASK, nullptr, &now);
        signalBlocked = sigismember(&now, SIGRTMIN + 3) == 1;
    });
    ASSERT_EQ(again, tid);
    EXPECT_NE(newId, oldId);
    EXPECT_FALSE(sawMessage);
    EXPECT_EQ(lastError, ERROR_SUCCESS);
    EXPECT_FALSE(signalBlocked);
}

TEST(ParkedThreads, AJobThatLoweredItsPriorityLeavesNormalPriorityOrNoThreadBehind)
{
    const int nice = OwnNice();
    long tid = 0;
    RunJoined([&] {
        tid = OsThreadId();
        EXPECT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice + 2), 0);
    });
    long again = 0;
    int jobNice = 0;
    RunJoined([&] {
        again = OsThreadId();
        jobNice = OwnNice();
    });
    // Without the privilege to raise it back the thread retires; either way
    // no job runs at the lowered priority.
    EXPECT_EQ(jobNice, nice) << (again == tid ? "reused" : "new") << " thread";
}

TEST(ParkedThreads, AJobStartsWithTheStartersSignalMask)
{
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGRTMIN + 4);
    bool blockedInJob = false;
    std::thread starter([&] {
        ::pthread_sigmask(SIG_BLOCK, &block, nullptr);
        RunJoined([&] {
            sigset_t now;
            ::pthread_sigmask(SIG_SETMASK, nullptr, &now);
            blockedInJob = sigismember(&now, SIGRTMIN + 4) == 1;
        });
    });
    starter.join();
    EXPECT_TRUE(blockedInJob);
}

TEST(ParkedThreads, AtMostTheLimitParkAndTheySleepWithoutWakeUps)
{
    // Sanitizers keep threads of their own, made with the first thread: count the others.
    RunJoined([] {});
    ASSERT_TRUE(SettleParked(1));
    const std::size_t others = TaskCount() - TParkedThread::ParkedCount();
    constexpr std::size_t Many = TParkedThread::ParkedLimit + 4;
    std::mutex lock;
    std::condition_variable changed;
    std::size_t running = 0;
    bool release = false;
    std::vector<TParkedThread> threads;
    std::vector<long> tids(Many);
    for (std::size_t i = 0; i < Many; ++i)
        threads.emplace_back([&, i] {
            std::unique_lock hold(lock);
            tids[i] = OsThreadId();
            ++running;
            changed.notify_all();
            changed.wait(hold, [&] { return release; });
        });
    {
        std::unique_lock hold(lock);
        ASSERT_TRUE(changed.wait_for(hold, 5s, [&] { return running == Many; }));
        release = true;
    }
    changed.notify_all();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(TParkedThread::ParkedCount(), TParkedThread::ParkedLimit);
    // Those beyond the limit end: only the parked are left over.
    EXPECT_TRUE(WaitUntil(2s, [&] { return TaskCount() == others + TParkedThread::ParkedLimit; }))
        << TaskCount() << " threads, " << others << " not the pool's";

    long parked = 0;
    RunJoined([&] { parked = OsThreadId(); });
    ASSERT_TRUE(SettleParked(TParkedThread::ParkedLimit));
    long before = SettledSwitches(parked);
    ASSERT_GE(before, 0);
    std::this_thread::sleep_for(200ms);  // the quiet being measured, not a synchronisation
    EXPECT_EQ(VoluntarySwitches(parked), before) << "a parked thread woke by itself";
}

TEST(ParkedThreads, JoinFromTheJobItselfIsRefusedAndAHandleMoves)
{
    std::mutex lock;
    std::condition_variable changed;
    TParkedThread* own = nullptr;
    bool refused = false;
    TParkedThread thread([&] {
        std::unique_lock hold(lock);
        changed.wait(hold, [&] { return own != nullptr; });
        try {
            own->join();
        } catch (const std::system_error&) {
            refused = true;
        }
    });
    {
        std::lock_guard hold(lock);
        own = &thread;
    }
    changed.notify_all();
    thread.join();
    EXPECT_TRUE(refused);

    std::atomic<bool> ran{false};
    TParkedThread first([&] { ran = true; });
    TParkedThread second(std::move(first));
    EXPECT_FALSE(first.joinable());
    ASSERT_TRUE(second.joinable());
    second.join();
    EXPECT_TRUE(ran);
}
