// The pool of parked threads: hand-over of a job, the park between jobs,
// and what a thread sheds before it parks.

#include "platform/parked_threads.h"

#include "platform/win_types.h"
#include "platform/sync.h"
#include "platform/window.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivo::win {

namespace detail {

struct TParkedWorker {
    pthread_t Native{};
    std::mutex Lock;
    TChangeWord Changes;  // a job handed over, let go or finished
    std::function<void()> Job;
    sigset_t Mask{};
    char HomeName[16]{};  // the creator's, which a new thread inherits
    // What the thread wears while parked: a start that wants the same name
    // (a port's modem-line watcher, restarted) is spared renaming it through /proc.
    char NameNow[16]{};
    unsigned long long Given = 0;     // serial of the last job handed over
    unsigned long long Finished = 0;  // serial of the last job that returned
    bool HeldBack = false;            // the job handed over waits for THeldStarts
    // The thread's own reference, taken over by it as it starts.
    std::shared_ptr<TParkedWorker> Self;
};

} // namespace detail

namespace {

using detail::TParkedWorker;

// Until done() holds, checked under the lock; sleeps between changes.
template <typename Done>
void AwaitChange(TParkedWorker& worker, std::unique_lock<std::mutex>& lock, Done done)
{
    while (!done()) {
        const std::uint32_t seen = worker.Changes.Load();
        lock.unlock();
        worker.Changes.SleepWhile(seen);
        lock.lock();
    }
}

struct TPool {
    TPool() { Parked.reserve(TParkedThread::ParkedLimit); }
    // The threads of a closing line park at the same moment.
    TBriefMutex Lock;
    std::vector<std::shared_ptr<TParkedWorker>> Parked;
    std::atomic<std::size_t> Created{0};
};

std::atomic<TPool*> CurrentPool{nullptr};

// A child of fork has none of the threads parked in the parent: a job handed
// to one would never run. It starts with a pool of its own; the old one is
// left behind unfreed, as its lock may have gone with a thread.
void ForgetParkedAfterFork()
{
    CurrentPool.store(nullptr);
}

// Never destroyed: parked threads sleep on through static destruction.
TPool& Pool()
{
    if (TPool* pool = CurrentPool.load(std::memory_order_acquire)) return *pool;
    static std::once_flag forkHandler;
    std::call_once(forkHandler, [] { ::pthread_atfork(nullptr, nullptr, ForgetParkedAfterFork); });
    auto fresh = std::make_unique<TPool>();
    TPool* expected = nullptr;
    if (!CurrentPool.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel))
        return *expected;  // another start made one first
    return *fresh.release();
}

struct THome {
    id_t Tid = 0;
    int Nice = 0;
    bool NiceKnown = false;
};

THome RecordHome()
{
    THome home;
    home.Tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    home.Nice = ::getpriority(PRIO_PROCESS, home.Tid);
    home.NiceKnown = errno == 0;
    return home;
}

// False when the job left something that cannot be undone; the thread then
// ends rather than hand it to the next job.
bool ShedJob(const THome& home, TParkedWorker& worker) noexcept
{
    try {
        EndThreadMessageQueue();
    } catch (...) {
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    // The name is the next start's to set, and only when it differs.
    ::prctl(PR_GET_NAME, worker.NameNow);
    if (!home.NiceKnown) return false;
    errno = 0;
    int nice = ::getpriority(PRIO_PROCESS, home.Tid);
    if (errno != 0) return false;
    // Raising a lowered priority back may need a privilege the process lacks.
    return nice == home.Nice || ::setpriority(PRIO_PROCESS, home.Tid, home.Nice) == 0;
}

bool Park(const std::shared_ptr<TParkedWorker>& self)
{
    TPool& pool = Pool();
    std::lock_guard lock(pool.Lock);
    if (pool.Parked.size() >= TParkedThread::ParkedLimit) return false;
    pool.Parked.push_back(self);
    return true;
}

void* WorkerMain(void* argument)
{
    std::shared_ptr<TParkedWorker> self = std::move(static_cast<TParkedWorker*>(argument)->Self);
    const THome home = RecordHome();
    for (;;) {
        std::function<void()> job;
        unsigned long long serial = 0;
        sigset_t mask;
        {
            std::unique_lock lock(self->Lock);
            AwaitChange(*self, lock,
                        [&] { return self->Given != self->Finished && !self->HeldBack; });
            job = std::move(self->Job);
            self->Job = nullptr;
            serial = self->Given;
            mask = self->Mask;
        }
        ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        try {
            job();
        } catch (...) {
            std::terminate();  // as a std::thread would
        }
        job = nullptr;  // what it captured goes before a join returns

        // Parked before the job counts as finished, so that a start right
        // after a join finds this thread waiting.
        bool parked = ShedJob(home, *self) && Park(self);
        {
            std::lock_guard lock(self->Lock);
            self->Finished = serial;
        }
        self->Changes.Bump();
        if (!parked) return nullptr;
    }
}

std::shared_ptr<TParkedWorker> TakeParked()
{
    TPool& pool = Pool();
    std::lock_guard lock(pool.Lock);
    if (pool.Parked.empty()) return nullptr;
    std::shared_ptr<TParkedWorker> worker = std::move(pool.Parked.back());
    pool.Parked.pop_back();
    return worker;
}

void CreateWorker(const std::shared_ptr<TParkedWorker>& worker)
{
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error == 0) error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (error == 0) {
        ::prctl(PR_GET_NAME, worker->HomeName);
        std::memcpy(worker->NameNow, worker->HomeName, sizeof worker->NameNow);
        worker->Self = worker;
        error = ::pthread_create(&worker->Native, &attributes, WorkerMain, worker.get());
        if (error != 0) worker->Self.reset();
    }
    ::pthread_attr_destroy(&attributes);
    if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_create");
    Pool().Created.fetch_add(1);
}

// Starts the calling thread holds back (THeldStarts).
thread_local int HoldDepth = 0;
thread_local std::vector<std::shared_ptr<TParkedWorker>> HeldWorkers;

void WakeHeld() noexcept
{
    // Starts are held only while a THeldStarts lives, and its release empties
    // the list: at depth 0 it is not even looked at (it may be gone already
    // in a join made during static destruction).
    if (HoldDepth == 0) return;
    std::vector<std::shared_ptr<TParkedWorker>> held;
    held.swap(HeldWorkers);
    if (held.empty()) return;
    // They begin now, with the starter's signal mask as it is now.
    sigset_t mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    for (const std::shared_ptr<TParkedWorker>& worker : held) {
        {
            std::lock_guard lock(worker->Lock);
            worker->Mask = mask;
            worker->HeldBack = false;
        }
        worker->Changes.Bump();
    }
}

} // namespace

TParkedThread::TParkedThread() noexcept = default;

TParkedThread::TParkedThread(std::function<void()> job, const char* name, TStart start)
{
    std::shared_ptr<TParkedWorker> worker = TakeParked();
    if (!worker) {
        worker = std::make_shared<TParkedWorker>();
        CreateWorker(worker);  // it sleeps until its job is handed over
    }
    // Named from here while the thread has no job, so that a start needs no
    // answer from it and a short job cannot end before its name is on. A job
    // without a name wears the creator's, as on a new thread.
    char wanted[16]{};
    const char* source = name ? name : worker->HomeName;
    std::memcpy(wanted, source, ::strnlen(source, sizeof wanted - 1));
    if (std::strncmp(wanted, worker->NameNow, sizeof wanted) != 0) {
        ::pthread_setname_np(worker->Native, wanted);
        std::memcpy(worker->NameNow, wanted, sizeof wanted);
    }
    bool held = false;
    if (start == TStart::MayBeHeld && HoldDepth > 0) {
        try {
            HeldWorkers.push_back(worker);
            held = true;
        } catch (const std::bad_alloc&) {
            // Started at once instead.
        }
    }
    {
        std::lock_guard lock(worker->Lock);
        worker->Job = std::move(job);
        worker->HeldBack = held;
        if (!held) ::pthread_sigmask(SIG_SETMASK, nullptr, &worker->Mask);
        Serial = ++worker->Given;
    }
    if (!held) worker->Changes.Bump();
    Worker = std::move(worker);
}

TParkedThread::~TParkedThread()
{
    // As std::thread: a job left running would outlive what it works on.
    if (joinable()) std::terminate();
}

TParkedThread::TParkedThread(TParkedThread&& other) noexcept
    : Worker(std::move(other.Worker)), Serial(other.Serial)
{
}

TParkedThread& TParkedThread::operator=(TParkedThread&& other) noexcept
{
    if (this != &other) {
        if (joinable()) std::terminate();
        Worker = std::move(other.Worker);
        Serial = other.Serial;
    }
    return *this;
}

void TParkedThread::join()
{
    if (!Worker) throw std::system_error(std::make_error_code(std::errc::invalid_argument));
    if (::pthread_equal(Worker->Native, ::pthread_self()))
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    WakeHeld();
    {
        std::unique_lock lock(Worker->Lock);
        AwaitChange(*Worker, lock, [&] { return Worker->Finished >= Serial; });
    }
    Worker.reset();
}

void TParkedThread::detach() noexcept
{
    Worker.reset();
}

pthread_t TParkedThread::native_handle() const noexcept
{
    return Worker ? Worker->Native : pthread_t{};
}

std::size_t TParkedThread::ParkedCount()
{
    TPool& pool = Pool();
    std::lock_guard lock(pool.Lock);
    return pool.Parked.size();
}

std::size_t TParkedThread::CreatedCount()
{
    return Pool().Created.load();
}

THeldStarts::THeldStarts() noexcept
{
    ++HoldDepth;
}

THeldStarts::~THeldStarts()
{
    Release();
}

void THeldStarts::Release() noexcept
{
    if (!Holding) return;
    Holding = false;
    WakeHeld();  // while this hold still counts
    --HoldDepth;
}

void LetHeldStartsBegin() noexcept
{
    WakeHeld();
}

} // namespace kivo::win
