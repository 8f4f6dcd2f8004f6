// The poller of the open serial devices: its epoll set, the list of devices
// it watches, and the thread that serves them.

#include "platform/detail/comm_poller.h"
#include "platform/detail/comm_device.h"
#include "platform/errno_map.h"
#include "platform/parked_threads.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

namespace kivo::win::detail {

namespace {

constexpr std::uint64_t WakeKey = 0;
constexpr int ReadyCapacity = 8;

// Keys are never reused, not even across fork, so a key that epoll reports
// or a device still holds can only name that device.
std::atomic<std::uint64_t> NextKey{1};

// The longest the poller sleeps: a deadline further off (a read that waits
// for its first byte is bounded at 49 days) is seen on a later look instead
// of costing a wake-up each time one is set.
constexpr auto LongestSleep = std::chrono::hours(1);

// When the poller looks at the devices again of its own accord, or one of
// two marks while it is awake: Looking, from its wake-up until it has
// settled its next sleep, and LookAgain once something changed meanwhile
// that its look may have missed. A change made while it is awake costs a
// further turn without sleeping instead of a write to the wake-up eventfd
// and a sleep cut short: the read thread's next read comes while the
// poller ends the turn that completed the last one.
constexpr Clock::rep Looking = Clock::time_point::max().time_since_epoch().count();
constexpr Clock::rep LookAgain = Looking - 1;
std::atomic<Clock::rep> NextLook{Looking};

timespec ToTimespec(Clock::duration left)
{
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
    return timespec{static_cast<time_t>(ns.count() / 1000000000),
                    static_cast<long>(ns.count() % 1000000000)};
}

class Poller
{
public:
    ~Poller()
    {
        if (Epoll >= 0) ::close(Epoll);
        if (WakeFd >= 0) ::close(WakeFd);
    }

    // False, with errno set, when the kernel refuses a descriptor.
    bool Create();
    DWORD Watch(CommDevice& device);
    void Unwatch(CommDevice& device);
    void Wake();
    void ForgetDescriptors();

private:
    struct Turn
    {
        std::uint64_t Key;
        std::shared_ptr<CommDevice> Device;
        std::uint32_t Ready;
    };
    struct Watched
    {
        std::uint64_t Key;
        // Not an owner: a device leaves the list as it closes, and the hold
        // a turn takes keeps it alive while the poller works on it.
        std::weak_ptr<CommDevice> Device;
    };

    void Run();
    void Gather(std::vector<Turn>& turn);
    void Refresh(CommDevice& device);
    int WaitReady(epoll_event* ready, Clock::time_point deadline);

    int Epoll = -1;
    int WakeFd = -1;
    std::mutex Lock;
    std::vector<Watched> Devices;  // under Lock
    bool Started = false;          // under Lock
    bool HavePwait2 = true;        // the poller thread's own
};

std::atomic<Poller*> Current{nullptr};

// A child of fork has no poller thread, and the epoll set it inherited is
// still the parent's: a port the child opens gets a poller of its own. The
// old one is left behind unfreed, as its lock may have gone with a thread.
void ForgetAfterFork()
{
    if (Poller* old = Current.exchange(nullptr)) old->ForgetDescriptors();
}

// Never freed: devices may still close while statics are torn down.
Poller* EnsurePoller()
{
    if (Poller* poller = Current.load(std::memory_order_acquire)) return poller;
    static std::once_flag forkHandler;
    std::call_once(forkHandler, [] { ::pthread_atfork(nullptr, nullptr, ForgetAfterFork); });
    std::unique_ptr<Poller> fresh(new (std::nothrow) Poller);
    if (!fresh) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!fresh->Create()) {
        int error = errno;
        fresh.reset();
        errno = error;
        return nullptr;
    }
    Poller* expected = nullptr;
    if (!Current.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel))
        return expected;  // another open made one first
    return fresh.release();
}

bool Poller::Create()
{
    Epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (Epoll < 0) return false;
    WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (WakeFd < 0) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = WakeKey;
    return ::epoll_ctl(Epoll, EPOLL_CTL_ADD, WakeFd, &event) == 0;
}

void Poller::ForgetDescriptors()
{
    ::close(Epoll);
    ::close(WakeFd);
    Epoll = WakeFd = -1;
}

DWORD Poller::Watch(CommDevice& device)
{
    std::lock_guard lock(Lock);
    try {
        Devices.reserve(Devices.size() + 1);
        if (!Started) {
            TParkedThread([this] { Run(); }, "kivo-comm").detach();
            Started = true;
        }
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::system_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    // Level-triggered: what a turn leaves unread is reported again.
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = NextKey.fetch_add(1);
    if (::epoll_ctl(Epoll, EPOLL_CTL_ADD, device.Fd, &event) < 0) return Win32FromErrno(errno);
    device.PollKey = event.data.u64;
    device.PollAsked = event.events;
    device.Polled = true;
    Devices.push_back(Watched{device.PollKey, device.weak_from_this()});
    return ERROR_SUCCESS;
}

void Poller::Unwatch(CommDevice& device)
{
    std::lock_guard lock(Lock);
    auto found = std::find_if(Devices.begin(), Devices.end(), [&](const Watched& watched) {
        return watched.Key == device.PollKey;
    });
    // Not ours: a device opened before a fork, by the parent's poller.
    if (found == Devices.end()) return;
    // After this epoll holds no reference to the file, so closing the
    // descriptor releases the port at once.
    if (device.Polled) ::epoll_ctl(Epoll, EPOLL_CTL_DEL, device.Fd, nullptr);
    Devices.erase(found);
}

void Poller::Wake()
{
    std::uint64_t one = 1;
    ssize_t written = ::write(WakeFd, &one, sizeof one);
    (void)written;  // a full counter already means "wake up"
}

void Poller::Gather(std::vector<Turn>& turn)
{
    std::lock_guard lock(Lock);
    try {
        turn.reserve(Devices.size());
    } catch (const std::bad_alloc&) {
        // Those that do not fit wait for a turn with memory to spare.
    }
    for (const Watched& watched : Devices) {
        if (turn.size() == turn.capacity()) break;
        if (auto device = watched.Device.lock())
            turn.push_back(Turn{watched.Key, std::move(device), 0});
    }
}

// Under the device's Lock, while it is open.
void Poller::Refresh(CommDevice& device)
{
    if (!device.Polled) return;
    // A dead line stays out of the set: epoll reports a hang-up even when
    // asked for nothing, and would never sleep again.
    if (device.Dead) {
        ::epoll_ctl(Epoll, EPOLL_CTL_DEL, device.Fd, nullptr);
        device.Polled = false;
        return;
    }
    std::uint32_t wanted = device.PollEvents();
    if (wanted == device.PollAsked) return;
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = device.PollKey;
    if (::epoll_ctl(Epoll, EPOLL_CTL_MOD, device.Fd, &event) == 0) device.PollAsked = wanted;
}

int Poller::WaitReady(epoll_event* ready, Clock::time_point deadline)
{
    Clock::duration left = std::max(deadline - Clock::now(), Clock::duration::zero());
    if (HavePwait2) {
        timespec wait = ToTimespec(left);
        int count = ::epoll_pwait2(Epoll, ready, ReadyCapacity, &wait, nullptr);
        if (count >= 0 || (errno != ENOSYS && errno != EPERM)) return count;
        HavePwait2 = false;  // an older kernel, or a filter that refuses the call
    }
    // Rounded up: waking before the deadline would only come straight back.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ::epoll_wait(Epoll, ready, ReadyCapacity,
                        static_cast<int>(std::min<long long>(ms, INT_MAX)));
}

void Poller::Run()
{
    std::vector<Turn> turn;
    epoll_event ready[ReadyCapacity];
    for (;;) {
        NextLook.store(Looking);
        Gather(turn);
        Clock::time_point deadline = Clock::now() + LongestSleep;
        for (Turn& entry : turn) {
            std::lock_guard lock(entry.Device->Lock);
            if (entry.Device->Closed) continue;
            Refresh(*entry.Device);
            deadline = std::min(deadline, entry.Device->NextDeadline());
        }
        // Something changed during the look: serve what is due and look
        // again without sleeping. Looking again at once instead would starve
        // every device for as long as a caller asks on each of its calls.
        Clock::rep looking = Looking;
        if (!NextLook.compare_exchange_strong(looking, deadline.time_since_epoch().count()))
            deadline = Clock::time_point{};
        int count = WaitReady(ready, deadline);
        NextLook.store(Looking);
        int failure = count < 0 && errno != EINTR ? errno : 0;
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.u64 == WakeKey) {
                std::uint64_t wakes = 0;
                ssize_t drained = ::read(WakeFd, &wakes, sizeof wakes);
                (void)drained;
                continue;
            }
            // A device added since the gathering is not on this turn; level
            // triggering reports it again on the next.
            for (Turn& entry : turn)
                if (entry.Key == ready[i].data.u64) entry.Ready |= ready[i].events;
        }
        for (Turn& entry : turn) {
            CommDevice& device = *entry.Device;
            // Woken once the device is let go: a read thread woken at once
            // would find it still held and sleep on it.
            TWakesHeld wakes;
            std::lock_guard lock(device.Lock);
            if (device.Closed) continue;
            Clock::time_point now = Clock::now();
            if (failure != 0)
                device.MarkDead(Win32FromErrno(failure), now);
            else
                device.Serve(entry.Ready, now);
        }
        // Outside every lock: the last hold on a closed device frees it here.
        turn.clear();
    }
}

}  // namespace

DWORD WatchDevice(CommDevice& device)
{
    Poller* poller = EnsurePoller();
    if (!poller) return Win32FromErrno(errno);
    return poller->Watch(device);
}

void UnwatchDevice(CommDevice& device)
{
    if (device.PollKey == 0) return;
    if (Poller* poller = Current.load(std::memory_order_acquire)) poller->Unwatch(device);
    device.PollKey = 0;
    device.Polled = false;
}

namespace {

// A change made after the poller's look at this device is compared with
// what that look found; one made before it was found by it.
void AskForLook(Clock::rep before)
{
    // No deadline at all (a wait for input, for ever) asks for nothing.
    if (before >= LookAgain) return;
    Clock::rep next = NextLook.load();
    for (;;) {
        if (next == LookAgain) return;
        if (next == Looking) {
            if (NextLook.compare_exchange_weak(next, LookAgain)) return;
            continue;
        }
        if (before < next)
            if (Poller* poller = Current.load(std::memory_order_acquire)) poller->Wake();
        return;
    }
}

}  // namespace

void WakePoller()
{
    AskForLook(Clock::time_point::min().time_since_epoch().count());
}

void WakePollerBefore(Clock::time_point deadline)
{
    AskForLook(deadline.time_since_epoch().count());
}

}  // namespace kivo::win::detail
