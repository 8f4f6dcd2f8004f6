#pragma once
// The inside of an open serial file, shared by the calls (comm_posix.cpp)
// and the device's own machinery (comm_device.cpp), and included from nowhere
// else: it brings <asm/termbits.h>, which cannot live beside <termios.h>.

#include "platform/comm.h"
#include "platform/errno_map.h"
#include "platform/parked_threads.h"

#include <asm/termbits.h>
#include <linux/serial.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kivo::win::detail {

using Clock = std::chrono::steady_clock;
inline constexpr Clock::time_point Never = Clock::time_point::max();

inline constexpr DWORD SupportedEvents = 0x1FFF;
inline constexpr DWORD ModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
inline constexpr std::size_t SmallestRing = 16;
inline constexpr DWORD WaitResultSize = sizeof(DWORD);

template <typename Call> auto RetryOnEintr(Call call)
{
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

// Once open, these mean the device went away (unplug, far end of a pty closed).
bool IsHangup(int error);
// The line has no such feature (a pty has no modem lines, no RS-485).
bool IsUnsupported(int error);
BOOL FailWith(DWORD error);

inline ULONG_PTR StatusOf(OVERLAPPED& op)
{
    return std::atomic_ref<ULONG_PTR>(op.Internal).load(std::memory_order_acquire);
}

struct ReadOp
{
    OVERLAPPED* Op;
    BYTE* Buffer;
    DWORD Want;
    COMMTIMEOUTS Limits;
    DWORD Got = 0;
    bool Armed = false;
    bool ReturnAtOnce = false;
    bool ReturnOnFirst = false;
    Clock::duration Interval{};
    Clock::time_point TotalDeadline = Never;
    Clock::time_point IntervalDeadline = Never;
};

struct WriteOp
{
    OVERLAPPED* Op;
    const BYTE* Buffer;
    DWORD Length;
    COMMTIMEOUTS Limits;
    DWORD Sent = 0;
    bool Armed = false;
    Clock::time_point Deadline = Never;
};

struct WaitOp
{
    OVERLAPPED* Op;
    DWORD* Mask;
};

// One open serial device: its descriptor, the line state GetCommState
// reports, a receive ring, the queues of pending reads and writes, the one
// pending event wait, and the monitor thread that completes them. The
// monitor sleeps in ppoll without Lock; every field it shares is used under
// Lock, except the few set before it starts and cleared after it ends (the
// descriptors, what the line can do). CommFile owns it through shared_ptr,
// so a call still running on another thread keeps it alive across
// CloseHandle; Shutdown ends the threads and fails what is pending with 995.
class CommDevice
{
public:
    ~CommDevice() { CloseDescriptors(); }

    DWORD Open(const std::string& path);
    void Shutdown();
    void Wake();

    // Operations: Begin marks a record pending, Complete publishes it.
    void Begin(OVERLAPPED& op);
    void Complete(OVERLAPPED* op, DWORD error, DWORD count);
    void CompleteAll(DWORD error);
    void CompleteReads(DWORD error);
    void CompleteWrites(DWORD error);
    void MarkDead(DWORD error, Clock::time_point now);
    BOOL FailIo(int error);

    bool RingFull() const { return RingCount == Ring.size(); }
    void TakeFromRing(BYTE* destination, std::size_t count);
    void Raise(DWORD events) { History |= events & Mask; }

    void DrainInput(Clock::time_point now);
    void FeedReads(Clock::time_point now);
    void PushWrites(Clock::time_point now);
    void CheckWait();
    void CheckLineErrors();
    // True when a line differs from the last look.
    bool CheckModemLines();
    void CheckDrained(Clock::time_point now);

    BOOL SetModemBits(int bits, bool on);
    DWORD ApplyControlLines(const DCB& dcb);
    void StartLineWatcher();

    std::mutex Lock;
    std::condition_variable Done;  // notified on every completion

    int Fd = -1;
    bool Closed = false;
    bool Dead = false;  // hung up or failed: I/O fails with DeadError
    DWORD DeadError = ERROR_SUCCESS;
    DCB State;
    COMMTIMEOUTS Timeouts;
    DWORD Mask = 0;
    DWORD History = 0;  // events seen since the last report, within Mask
    DWORD Errors = 0;   // CE_ bits until ClearCommError
    std::vector<BYTE> Ring;
    std::size_t RingHead = 0;
    std::size_t RingCount = 0;
    std::vector<ReadOp> Reads;    // first in, first served
    std::vector<WriteOp> Writes;  // likewise
    std::optional<WaitOp> Wait;

    // RTS toggle: the driver's RS-485 mode, else raised around each write.
    bool Rs485InKernel = false;
    bool RtsToggleEmulated = false;
    bool RtsRaisedForSend = false;
    bool ModemPolling = false;  // the driver cannot wait for modem lines
    // DTR and RTS as last set, for the bits in LinesKnown. Every setting of
    // the line drives both, and on an adapter each request is a round trip
    // to the device, so an unchanged line is not sent again. Forgotten
    // whenever the driver may have moved them itself.
    int LinesSet = 0;
    int LinesKnown = 0;

private:
    void MonitorBody();
    void WatchLines();
    void ServiceTimers(Clock::time_point now);
    Clock::time_point NextDeadline() const;
    short InterestEvents() const;
    void StopLineWatcher();
    void CloseDescriptors();

    int WakeFd = -1;
    termios2 Original{};
    bool HaveOriginal = false;
    bool Exclusive = false;
    std::atomic<bool> StopRequested{false};
    TParkedThread Monitor;

    bool HasModemLines = false;
    int ModemLines = 0;
    dev_t Device = 0;  // which line this is, to remember what its driver cannot do
    bool HasCounters = false;
    serial_icounter_struct Counters{};
    TParkedThread Watcher;
    bool WatcherStarted = false;
    bool WatcherDone = false;
    std::atomic<bool> LinesChanged{false};
    std::atomic<bool> WatcherCannotWait{false};
    Clock::time_point NextModemPoll = Never;
    Clock::duration ModemPollGap{};

    bool WroteSinceDrain = false;
    bool DrainWatch = false;
    Clock::time_point NextDrainCheck = Never;
};

}  // namespace kivo::win::detail
