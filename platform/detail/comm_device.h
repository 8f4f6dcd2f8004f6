#pragma once
// The inside of an open serial file, shared by the calls (comm_posix.cpp)
// and the device's own machinery (comm_device.cpp), and included from nowhere
// else: it brings <asm/termbits.h>, which cannot live beside <termios.h>.

#include "platform/comm.h"
#include "platform/errno_map.h"
#include "platform/parked_threads.h"
#include "platform/sync.h"

#include <asm/termbits.h>
#include <linux/serial.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// Windows' read that takes what is there and never waits.
bool ReturnsAtOnce(const COMMTIMEOUTS& limits);

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
// reports, a receive ring, the queues of pending reads and writes, and the
// one pending event wait. The process's poller (comm_poller.h) completes
// them: it sleeps without Lock and uses every field it shares under Lock,
// the descriptor only while Closed is false. Fields set before the device
// is watched and not changed after (what the line can do) need no Lock.
// CommFile owns it through shared_ptr, so a call still running on another
// thread, or the poller's turn, keeps it alive across CloseHandle; Shutdown
// ends the modem-line watcher, fails what is pending with 995 and closes the
// descriptor, which the poller then leaves alone.
class CommDevice : public std::enable_shared_from_this<CommDevice>
{
public:
    ~CommDevice();

    DWORD Open(const std::string& path);
    void Shutdown();
    void Wake();

    // The poller's side, under Lock while not Closed.
    std::uint32_t PollEvents() const;  // what epoll should report now
    Clock::time_point NextDeadline() const;
    void Serve(std::uint32_t ready, Clock::time_point now);

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

    // True when the driver was found to hold no more input.
    bool DrainInput(Clock::time_point now);
    void FeedReads(Clock::time_point now);
    void PushWrites(Clock::time_point now);
    void CheckWait();
    // Line errors and breaks the counters show since the last look, and
    // the modem lines they saw move.
    void CheckLineErrors();
    // True when a line differs from the last look.
    bool CheckModemLines();
    void CheckDrained(Clock::time_point now);

    BOOL SetModemBits(int bits, bool on);
    DWORD ApplyControlLines(const DCB& dcb);
    void StartLineWatcher();
    // Under Lock, after the driver's settings changed.
    void RenewLineWait();

    TBriefMutex Lock;
    std::condition_variable_any Done;  // notified on every completion

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
    // The last DrainInput found the driver empty. Bytes that came since are
    // the poller's to see, as it watches for input while the ring has room.
    bool InputDrained = false;
    std::vector<ReadOp> Reads;    // first in, first served
    std::vector<WriteOp> Writes;  // likewise
    std::optional<WaitOp> Wait;

    // The poller's, set as the device is watched and then used under Lock:
    // the key epoll reports the descriptor by (0 when not watched), whether
    // it is in the epoll set, and what epoll was last asked to report.
    std::uint64_t PollKey = 0;
    bool Polled = false;
    std::uint32_t PollAsked = 0;

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
    // The driver's settings as this handle last set them. The line is held
    // exclusively, so each setting needs no read-back of them first.
    termios2 Settings{};
    // False on a pseudo-terminal, whose driver rewrites data bits and parity
    // to 8 and none whatever is set: there only the record knows them.
    bool Framed = true;

private:
    // The events of what the counters moved by, errors into Errors.
    DWORD TakeCounts(const serial_icounter_struct& now);
    // Adds the events of the lines whose level differs from the last look;
    // false, with errno, when the driver could not say.
    bool ReadModemLines(DWORD& events);
    void WatchLines();
    void ServiceTimers(Clock::time_point now);
    void StopLineWatcher();
    void CloseDescriptors();

    termios2 Original{};
    bool HaveOriginal = false;
    bool Exclusive = false;
    std::atomic<bool> StopRequested{false};

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
    std::atomic<bool> WaitBegins{false};
    Clock::time_point LookAfterWait = Never;
    Clock::time_point NextModemPoll = Never;
    Clock::duration ModemPollGap{};

    bool WroteSinceDrain = false;
    bool DrainWatch = false;
    Clock::time_point NextDrainCheck = Never;
};

}  // namespace kivo::win::detail
