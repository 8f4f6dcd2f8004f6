#pragma once
// Threads that outlive their job: once a job has returned, its thread parks
// (asleep, no time-out) and the next start takes it instead of creating one,
// which spares the thread creation and its stack mapping on every port
// close and reopen. At most ParkedLimit wait; a thread beyond that ends.
//
// Before parking a thread sheds what its job left: its message queue and
// thread id (platform/window.h), its last error and scheduling priority; a
// job that cannot be undone (a priority it may not raise back) retires the
// thread instead. Its name is the next start's: that job's, or the
// creator's for a job without one, set only when it differs. Each job starts with the signal mask of the
// thread that started it, as a new thread would.
//
// TParkedThread is the handle of one job, used like std::thread: join waits
// until the job has returned and destroyed what it captured, and a handle
// destroyed or overwritten while joinable terminates the process. A named
// job's start returns once the thread wears the name. Parked threads are
// never joined: they sleep through process exit, reachable from the
// never-freed pool. A child of fork, which has none of them, starts with a
// pool of its own.

#include <cstddef>
#include <functional>
#include <memory>

#include <pthread.h>

namespace kivo::win {

namespace detail {
struct TParkedWorker;
}

class TParkedThread {
public:
    static constexpr std::size_t ParkedLimit = 8;

    // Whether a THeldStarts on the starting thread may hold the job back.
    enum class TStart : unsigned char { AtOnce, MayBeHeld };

    TParkedThread() noexcept;
    // Runs job on a parked thread or a new one named name (at most 15
    // characters are kept; null keeps the inherited name). Raises
    // std::system_error when no thread can be made.
    explicit TParkedThread(std::function<void()> job, const char* name = nullptr,
                           TStart start = TStart::AtOnce);
    ~TParkedThread();

    TParkedThread(TParkedThread&& other) noexcept;
    TParkedThread& operator=(TParkedThread&& other) noexcept;
    TParkedThread(const TParkedThread&) = delete;
    TParkedThread& operator=(const TParkedThread&) = delete;

    bool joinable() const noexcept { return Worker != nullptr; }
    // Never from the job itself: that would wait for ever.
    void join();
    void detach() noexcept;
    // The thread running the job; good until join or detach.
    pthread_t native_handle() const noexcept;

    // How many threads are parked now, and how many were ever created.
    static std::size_t ParkedCount();
    static std::size_t CreatedCount();

private:
    std::shared_ptr<detail::TParkedWorker> Worker;
    unsigned long long Serial = 0;
};

// While one lives, the jobs its thread starts that may be held are handed
// over at once but begin only at Release (or its end): an opening that goes
// on under the locks its new threads take first lets them run after it
// instead of contending with it. Release lets every start held on the
// calling thread so far begin. A wait of the holding thread for such a job
// would never end: a join lets them begin first, and any other wait for
// one must call LetHeldStartsBegin. A held job begins with the signal mask
// its starter has when it is let go.
class THeldStarts {
public:
    THeldStarts() noexcept;
    ~THeldStarts();
    THeldStarts(const THeldStarts&) = delete;
    THeldStarts& operator=(const THeldStarts&) = delete;

    void Release() noexcept;

private:
    bool Holding = true;
};

// Lets every start the calling thread holds back begin; nothing when none is.
void LetHeldStartsBegin() noexcept;

} // namespace kivo::win
