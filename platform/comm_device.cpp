// The machinery of an open serial file: opening and closing the descriptor,
// completing operations, the receive ring, the write queue, comm events,
// what the poller does for the device, and the modem-line watcher.

#include "platform/detail/comm_device.h"
#include "platform/detail/comm_poller.h"
#include "platform/dcb_termios.h"
#include "platform/errno_map.h"
#include "platform/sync.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace kivo::win::detail {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t DefaultRingSize = 4096;
// Without a driver that can wait for modem lines they are read on a timer,
// and only while the event mask asks for them. Lines that just moved are
// likely to move again (handshakes, a ringing line), so the look after a
// change comes soon; each look that finds them unchanged doubles the gap up
// to the slow end. A line that has sat still for 300 ms thus costs about six
// looks a second instead of fifty, and a change after a quiet spell is
// reported within 160 ms. Pulses shorter than a gap still show where the
// driver keeps transition counters, which every look also reads.
constexpr auto ModemPollFast = milliseconds(20);
constexpr auto ModemPollSlow = milliseconds(160);

Clock::time_point After(Clock::time_point now, std::uint64_t ms)
{
    return now + milliseconds(std::min<std::uint64_t>(ms, MAXDWORD));
}

// Interrupts the modem-line watcher's blocking wait. A real-time signal with
// an empty handler: the wait returns EINTR and the watcher sees its stop flag.
int WatcherSignal()
{
    return SIGRTMIN + 7;
}

void IgnoreWatcherSignal(int) {}

// A process-wide list of lines by device number; threads read it during
// static destruction, so each list is never destroyed.
class TLineList {
public:
    bool Contains(dev_t device)
    {
        std::lock_guard lock(Lock);
        return std::find(Devices.begin(), Devices.end(), device) != Devices.end();
    }
    void Add(dev_t device)
    {
        std::lock_guard lock(Lock);
        if (std::find(Devices.begin(), Devices.end(), device) == Devices.end())
            Devices.push_back(device);
    }
    // Whether device was listed; it is not any more.
    bool Take(dev_t device)
    {
        std::lock_guard lock(Lock);
        auto found = std::find(Devices.begin(), Devices.end(), device);
        if (found == Devices.end()) return false;
        Devices.erase(found);
        return true;
    }

private:
    std::mutex Lock;
    std::vector<dev_t> Devices;
};

// Lines whose driver answered that it cannot wait for modem lines: later
// openings poll them at once instead of starting a watcher only to hear the
// same answer. A different adapter plugged in under the same number is then
// polled too, which sees every change, only later.
TLineList& CannotWait()
{
    static auto* lines = new TLineList;
    return *lines;
}

// Lines whose exclusive mark this process set and could not lift: a hung-up
// descriptor refuses TIOCNXCL, and on a pseudo-terminal whose controller
// stays open the mark outlives it. Found at the next opening, it is ours.
TLineList& MarksLeft()
{
    static auto* lines = new TLineList;
    return *lines;
}

// The subsidiary ends of pseudo-terminals: the Unix 98 majors and the old
// BSD-style one.
bool IsPseudoTerminal(dev_t device)
{
    const unsigned high = major(device);
    return device != 0 && ((high >= 136 && high <= 143) || high == 3);
}

using SignalAction = struct sigaction;

void EnsureWatcherSignalHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        SignalAction current{};
        ::sigaction(WatcherSignal(), nullptr, &current);
        // Leave a handler the program installed itself alone; it also interrupts.
        if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) return;
        SignalAction wanted{};
        wanted.sa_handler = IgnoreWatcherSignal;
        sigemptyset(&wanted.sa_mask);
        ::sigaction(WatcherSignal(), &wanted, nullptr);
    });
}

// Windows' two special forms first (return at once; return on the first
// byte or after the constant), then the total and interval limits.
void ArmRead(ReadOp& read, Clock::time_point now)
{
    const COMMTIMEOUTS& limits = read.Limits;
    read.Armed = true;
    DWORD interval = limits.ReadIntervalTimeout;
    DWORD multiplier = limits.ReadTotalTimeoutMultiplier;
    DWORD constant = limits.ReadTotalTimeoutConstant;
    if (ReturnsAtOnce(limits)) {
        read.ReturnAtOnce = true;
        return;
    }
    if (interval == MAXDWORD && multiplier == MAXDWORD && constant != 0 && constant != MAXDWORD) {
        read.ReturnOnFirst = true;
        read.TotalDeadline = After(now, constant);
        return;
    }
    if (multiplier != 0 || constant != 0)
        read.TotalDeadline = After(now, std::uint64_t{multiplier} * read.Want + constant);
    if (interval != 0 && interval != MAXDWORD) read.Interval = milliseconds(interval);
}

}  // namespace

bool ReturnsAtOnce(const COMMTIMEOUTS& limits)
{
    return limits.ReadIntervalTimeout == MAXDWORD && limits.ReadTotalTimeoutMultiplier == 0 &&
           limits.ReadTotalTimeoutConstant == 0;
}

bool IsHangup(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

bool IsUnsupported(int error)
{
    return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP;
}

BOOL FailWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// ---- open and close ---------------------------------------------------------

DWORD CommDevice::Open(const std::string& path)
{
    Fd = RetryOnEintr(
        [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    // EIO here means a node without hardware behind it: no such port. A
    // folder, or a file the user may not write, is no port the user is
    // refused: "access denied" would send them to join dialout, in vain.
    // EBUSY, another program's TIOCEXCL, is held.
    if (Fd < 0) {
        const int error = errno;
        if (error == EIO) return ERROR_FILE_NOT_FOUND;
        struct stat node{};
        if (error == EISDIR || ((error == EACCES || error == EPERM) &&
                                ::stat(path.c_str(), &node) == 0 && !S_ISCHR(node.st_mode)))
            return ERROR_GEN_FAILURE;
        return Win32FromErrno(error);
    }
    // The lock is what holds off root and a second open in this process;
    // TIOCEXCL alone stops neither.
    if (RetryOnEintr([&] { return ::flock(Fd, LOCK_EX | LOCK_NB); }) < 0)
        return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : Win32FromErrno(errno);
    struct stat node{};
    if (::fstat(Fd, &node) == 0) Device = node.st_rdev;
    Framed = !IsPseudoTerminal(Device);
    // Another opener's exclusive use (a program that does not lock) lets
    // only root this far: held for root as well, its settings and its mark
    // left alone.
    if (int marked = 0; ::ioctl(Fd, TIOCGEXCL, &marked) == 0 && marked != 0 &&
                        !(Device != 0 && MarksLeft().Take(Device)))
        return ERROR_SHARING_VIOLATION;
    termios2 tio{};
    if (::ioctl(Fd, TCGETS2, &tio) < 0)
        return errno == ENOTTY || errno == EIO || errno == EINVAL ? ERROR_FILE_NOT_FOUND
                                                                  : Win32FromErrno(errno);
    Original = tio;
    HaveOriginal = true;
    Exclusive = ::ioctl(Fd, TIOCEXCL) == 0;

    FromTermios(tio, State);
    if (State.BaudRate == 0) State.BaudRate = CBR_9600;
    State.fDtrControl = DTR_CONTROL_ENABLE;
    if (State.fRtsControl != RTS_CONTROL_HANDSHAKE) State.fRtsControl = RTS_CONTROL_ENABLE;
    State.fTXContinueOnXoff = 1;
    if (ValidateDcb(State) != ERROR_SUCCESS) State.fOutX = State.fInX = 0;
    if (DWORD invalid = ToTermios(State, tio); invalid != ERROR_SUCCESS) return invalid;
    if (::ioctl(Fd, TCSETS2, &tio) < 0)
        return errno == EIO ? ERROR_FILE_NOT_FOUND : Win32FromErrno(errno);
    Settings = tio;

    HasModemLines = ::ioctl(Fd, TIOCMGET, &ModemLines) == 0;
    HasCounters = ::ioctl(Fd, TIOCGICOUNT, &Counters) == 0;

    try {
        Ring.resize(DefaultRingSize);
        Reads.reserve(2);
        Writes.reserve(2);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return WatchDevice(*this);
}

CommDevice::~CommDevice()
{
    UnwatchDevice(*this);
    CloseDescriptors();
}

void CommDevice::Shutdown()
{
    {
        std::lock_guard lock(Lock);
        if (Closed || StopRequested) return;
        StopRequested = true;
    }
    StopLineWatcher();
    std::lock_guard lock(Lock);
    CompleteAll(ERROR_OPERATION_ABORTED);
    Closed = true;
    UnwatchDevice(*this);
    CloseDescriptors();
}

void CommDevice::CloseDescriptors()
{
    if (Fd >= 0) {
        if (HaveOriginal) ::ioctl(Fd, TCSETS2, &Original);
        if (Rs485InKernel) {
            serial_rs485 off{};
            ::ioctl(Fd, TIOCSRS485, &off);
        }
        // Only ours to clear: a failed open must not lift another holder's flag.
        if (Exclusive && ::ioctl(Fd, TIOCNXCL) != 0 && Device != 0) MarksLeft().Add(Device);
        ::close(Fd);  // the flock goes with it
        Fd = -1;
    }
}

void CommDevice::Wake()
{
    WakePoller();
}

// ---- completion -------------------------------------------------------------

void CommDevice::Begin(OVERLAPPED& op)
{
    op.InternalHigh = 0;
    std::atomic_ref<ULONG_PTR>(op.Internal).store(STATUS_PENDING, std::memory_order_release);
    if (op.hEvent) ResetEvent(op.hEvent);
}

// Under Lock, so a later Begin on the same record cannot be overtaken by
// this SetEvent. The owner may close hEvent as soon as the status shows, so
// the two go out together.
void CommDevice::Complete(OVERLAPPED* op, DWORD error, DWORD count)
{
    HANDLE event = op->hEvent;
    op->InternalHigh = count;
    if (event)
        SetEventPublishing(event, &op->Internal, error);
    else
        std::atomic_ref<ULONG_PTR>(op->Internal).store(error, std::memory_order_release);
    Done.notify_all();
}

void CommDevice::CompleteReads(DWORD error)
{
    for (ReadOp& read : Reads)
        Complete(read.Op, error, read.Got);
    Reads.clear();
}

void CommDevice::CompleteWrites(DWORD error)
{
    for (WriteOp& write : Writes)
        Complete(write.Op, error, write.Sent);
    Writes.clear();
}

void CommDevice::CompleteAll(DWORD error)
{
    CompleteReads(error);
    CompleteWrites(error);
    if (Wait) Complete(Wait->Op, error, 0);
    Wait.reset();
}

// Bytes already received stay readable; everything else fails from now on.
void CommDevice::MarkDead(DWORD error, Clock::time_point now)
{
    if (Dead) return;
    Dead = true;
    DeadError = error;
    FeedReads(now);
    CompleteWrites(error);
    if (Wait) Complete(Wait->Op, error, 0);
    Wait.reset();
}

BOOL CommDevice::FailIo(int error)
{
    if (IsHangup(error)) {
        MarkDead(ERROR_DEVICE_NOT_CONNECTED, Clock::now());
        return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    }
    return FailWith(Win32FromErrno(error));
}

// ---- receive ----------------------------------------------------------------

void CommDevice::TakeFromRing(BYTE* destination, std::size_t count)
{
    std::size_t first = std::min(count, Ring.size() - RingHead);
    std::memcpy(destination, Ring.data() + RingHead, first);
    std::memcpy(destination + first, Ring.data(), count - first);
    RingHead = (RingHead + count) % Ring.size();
    RingCount -= count;
}

bool CommDevice::DrainInput(Clock::time_point now)
{
    if (Dead || Fd < 0) return false;
    bool arrived = false;
    bool emptied = false;
    while (!RingFull()) {
        std::size_t tail = (RingHead + RingCount) % Ring.size();
        std::size_t room = std::min(Ring.size() - tail, Ring.size() - RingCount);
        ssize_t got = ::read(Fd, Ring.data() + tail, room);
        if (got > 0) {
            auto count = static_cast<std::size_t>(got);
            if ((Mask & EV_RXFLAG) &&
                std::memchr(Ring.data() + tail, static_cast<BYTE>(State.EvtChar), count))
                Raise(EV_RXFLAG);
            RingCount += count;
            arrived = true;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) {
            emptied = true;
            break;
        }
        // VMIN is 1, so 0 is end of file: the far end is gone.
        MarkDead(got == 0 || IsHangup(errno) ? ERROR_DEVICE_NOT_CONNECTED : Win32FromErrno(errno),
                 now);
        break;
    }
    InputDrained = emptied;
    if (arrived) {
        // One report per arrival: the bit is set by new bytes, not by bytes waiting.
        Raise(EV_RXCHAR);
        if (RingCount * 10 >= Ring.size() * 8) Raise(EV_RX80FULL);
        CheckLineErrors();
    }
    FeedReads(now);
    CheckWait();
    return emptied;
}

void CommDevice::FeedReads(Clock::time_point now)
{
    while (!Reads.empty()) {
        ReadOp& read = Reads.front();
        if (!read.Armed) ArmRead(read, now);
        auto take = static_cast<DWORD>(std::min<std::size_t>(RingCount, read.Want - read.Got));
        if (take > 0) {
            TakeFromRing(read.Buffer + read.Got, take);
            read.Got += take;
            if (read.Interval.count() != 0) read.IntervalDeadline = now + read.Interval;
        }
        bool full = read.Got == read.Want;
        bool early = read.ReturnAtOnce || (read.ReturnOnFirst && read.Got > 0) || Dead;
        bool late = now >= read.TotalDeadline || now >= read.IntervalDeadline;
        if (!full && !early && !late) return;
        // A time-out is a success with a short count, as on Windows.
        if (Dead && read.Got == 0 && !full)
            Complete(read.Op, DeadError, 0);
        else
            Complete(read.Op, ERROR_SUCCESS, read.Got);
        Reads.erase(Reads.begin());
    }
}

// ---- transmit ---------------------------------------------------------------

void CommDevice::PushWrites(Clock::time_point now)
{
    bool completed = false;
    while (!Writes.empty() && !Dead) {
        WriteOp& write = Writes.front();
        if (!write.Armed) {
            write.Armed = true;
            DWORD multiplier = write.Limits.WriteTotalTimeoutMultiplier;
            DWORD constant = write.Limits.WriteTotalTimeoutConstant;
            if (multiplier != 0 || constant != 0)
                write.Deadline = After(now, std::uint64_t{multiplier} * write.Length + constant);
        }
        DWORD failure = ERROR_SUCCESS;
        while (write.Sent < write.Length) {
            ssize_t sent = ::write(Fd, write.Buffer + write.Sent, write.Length - write.Sent);
            if (sent > 0) {
                write.Sent += static_cast<DWORD>(sent);
                WroteSinceDrain = true;
                continue;
            }
            if (sent < 0 && errno == EINTR) continue;
            if (sent == 0 || errno == EAGAIN) break;
            if (IsHangup(errno)) {
                MarkDead(ERROR_DEVICE_NOT_CONNECTED, now);
                return;
            }
            failure = Win32FromErrno(errno);
            break;
        }
        if (failure == ERROR_SUCCESS && write.Sent < write.Length && now < write.Deadline) return;
        Complete(write.Op, failure, write.Sent);
        Writes.erase(Writes.begin());
        completed = true;
    }
    if (completed && Writes.empty() && WroteSinceDrain && ((Mask & EV_TXEMPTY) || RtsRaisedForSend))
        CheckDrained(now);
}

// EV_TXEMPTY and the end of an emulated RTS toggle both wait for the last
// bit to leave the line. The kernel does not announce that, so look again
// after about the time the queued bytes take, only while output drains.
void CommDevice::CheckDrained(Clock::time_point now)
{
    DrainWatch = false;
    if (!Writes.empty() || Dead) return;
    int queued = 0;
    if (::ioctl(Fd, TIOCOUTQ, &queued) < 0) queued = 0;
    unsigned lineStatus = 0;
    bool shifted = ::ioctl(Fd, TIOCSERGETLSR, &lineStatus) < 0 || (lineStatus & TIOCSER_TEMT);
    if (queued > 0 || !shifted) {
        DWORD bitsPerChar =
            State.ByteSize + 2u + (State.Parity != NOPARITY) + (State.StopBits != ONESTOPBIT);
        std::uint64_t micros = std::uint64_t(std::max(queued, 1)) * bitsPerChar * 1000000 /
                               std::max<DWORD>(State.BaudRate, 1);
        auto wait = std::clamp<Clock::duration>(std::chrono::microseconds(micros), milliseconds(1),
                                                milliseconds(100));
        NextDrainCheck = now + wait;
        DrainWatch = true;
        return;
    }
    WroteSinceDrain = false;
    Raise(EV_TXEMPTY);
    if (RtsRaisedForSend) {
        RtsRaisedForSend = false;
        SetModemBits(TIOCM_RTS, false);
    }
    CheckWait();
}

// ---- events -----------------------------------------------------------------

void CommDevice::CheckWait()
{
    if (!Wait) return;
    DWORD hit = History & Mask;
    if (hit == 0) return;
    *Wait->Mask = hit;
    History &= ~hit;
    Complete(Wait->Op, ERROR_SUCCESS, WaitResultSize);
    Wait.reset();
}

void CommDevice::CheckLineErrors()
{
    if (!HasCounters || Dead) return;
    serial_icounter_struct now{};
    if (::ioctl(Fd, TIOCGICOUNT, &now) < 0) return;
    const bool linesMoved = now.cts != Counters.cts || now.dsr != Counters.dsr ||
                            now.dcd != Counters.dcd || now.rng != Counters.rng;
    DWORD events = TakeCounts(now);
    // A line the counters saw move is looked at now as well: the look at the
    // levels that comes next would otherwise report the same change again.
    if (linesMoved && HasModemLines) ReadModemLines(events);
    Raise(events);
}

DWORD CommDevice::TakeCounts(const serial_icounter_struct& now)
{
    DWORD errors = 0;
    if (now.frame != Counters.frame) errors |= CE_FRAME;
    if (now.parity != Counters.parity) errors |= CE_RXPARITY;
    if (now.overrun != Counters.overrun) errors |= CE_OVERRUN;
    if (now.buf_overrun != Counters.buf_overrun) errors |= CE_RXOVER;
    if (now.brk != Counters.brk) errors |= CE_BREAK;
    DWORD events = 0;
    if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) events |= EV_ERR;
    if (errors & CE_BREAK) events |= EV_BREAK;
    // The counters also catch modem-line pulses too short for a snapshot.
    if (now.cts != Counters.cts) events |= EV_CTS;
    if (now.dsr != Counters.dsr) events |= EV_DSR;
    if (now.dcd != Counters.dcd) events |= EV_RLSD;
    if (now.rng != Counters.rng) events |= EV_RING;
    Counters = now;
    Errors |= errors;
    return events;
}

bool CommDevice::ReadModemLines(DWORD& events)
{
    int lines = 0;
    if (::ioctl(Fd, TIOCMGET, &lines) < 0) return false;
    int changed = lines ^ ModemLines;
    ModemLines = lines;
    if (changed & TIOCM_CTS) events |= EV_CTS;
    if (changed & TIOCM_DSR) events |= EV_DSR;
    if (changed & TIOCM_CAR) events |= EV_RLSD;
    if (changed & TIOCM_RNG) events |= EV_RING;
    return true;
}

bool CommDevice::CheckModemLines()
{
    if (!HasModemLines || Dead) return false;
    DWORD events = 0;
    if (!ReadModemLines(events)) {
        if (IsHangup(errno)) MarkDead(ERROR_DEVICE_NOT_CONNECTED, Clock::now());
        return false;
    }
    serial_icounter_struct now{};
    if (HasCounters && ::ioctl(Fd, TIOCGICOUNT, &now) == 0) events |= TakeCounts(now);
    Raise(events);
    CheckWait();
    return (events & ModemEvents) != 0;
}

BOOL CommDevice::SetModemBits(int bits, bool on)
{
    const int wanted = on ? bits : 0;
    if ((LinesKnown & bits) == bits && (LinesSet & bits) == wanted) return TRUE;
    if (::ioctl(Fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && !IsUnsupported(errno)) {
        LinesKnown &= ~bits;
        return FailIo(errno);
    }
    // Unsupported: no modem lines to drive, and asking again changes nothing.
    LinesSet = (LinesSet & ~bits) | wanted;
    LinesKnown |= bits;
    return TRUE;
}

DWORD CommDevice::ApplyControlLines(const DCB& dcb)
{
    bool toggle = dcb.fRtsControl == RTS_CONTROL_TOGGLE;
    if (toggle && !Rs485InKernel && !RtsToggleEmulated) {
        LinesKnown &= ~TIOCM_RTS;  // the driver's RS-485 mode drives it
        serial_rs485 rs485{};
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        Rs485InKernel = ::ioctl(Fd, TIOCSRS485, &rs485) == 0;
        RtsToggleEmulated = !Rs485InKernel;
    } else if (!toggle) {
        if (Rs485InKernel) {
            serial_rs485 off{};
            ::ioctl(Fd, TIOCSRS485, &off);
            LinesKnown &= ~TIOCM_RTS;
        }
        Rs485InKernel = RtsToggleEmulated = RtsRaisedForSend = false;
    }
    // DTR handshake has no kernel form: the line just stays raised.
    if (!SetModemBits(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE)) return GetLastError();
    if (toggle) {
        if (RtsToggleEmulated && !RtsRaisedForSend && !SetModemBits(TIOCM_RTS, false))
            return GetLastError();
    } else if (!SetModemBits(TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

// ---- served by the poller, and the modem-line watcher --------------------------

std::uint32_t CommDevice::PollEvents() const
{
    // Without room nothing is read, and a level-triggered EPOLLIN would spin.
    std::uint32_t events = RingFull() ? 0u : std::uint32_t{EPOLLIN};
    if (!Writes.empty()) events |= EPOLLOUT;
    return events;
}

Clock::time_point CommDevice::NextDeadline() const
{
    Clock::time_point next = Never;
    if (!Reads.empty() && Reads.front().Armed)
        next = std::min({next, Reads.front().TotalDeadline, Reads.front().IntervalDeadline});
    if (!Writes.empty() && Writes.front().Armed) next = std::min(next, Writes.front().Deadline);
    if (DrainWatch) next = std::min(next, NextDrainCheck);
    if (ModemPolling && (Mask & ModemEvents) && !Dead) next = std::min(next, NextModemPoll);
    // What the line watcher has raised is served at once. Its wake-up may
    // have been spent on a turn gathered before this device was watched.
    if (LinesChanged.load() || WatcherCannotWait.load() || WaitBegins.load())
        next = Clock::time_point{};
    if (!Dead) next = std::min(next, LookAfterWait);
    return next;
}

void CommDevice::ServiceTimers(Clock::time_point now)
{
    FeedReads(now);
    if (!Writes.empty() && now >= Writes.front().Deadline) PushWrites(now);
    if (DrainWatch && now >= NextDrainCheck) CheckDrained(now);
    if (now >= LookAfterWait) {
        LookAfterWait = Never;
        CheckModemLines();
    }
    if (ModemPolling && (Mask & ModemEvents) && now >= NextModemPoll) {
        bool moved = CheckModemLines();
        ModemPollGap =
            moved ? ModemPollFast : std::min<Clock::duration>(ModemPollGap * 2, ModemPollSlow);
        NextModemPoll = now + ModemPollGap;
    }
}

void CommDevice::Serve(std::uint32_t ready, Clock::time_point now)
{
    if (ready & (EPOLLIN | EPOLLHUP | EPOLLERR)) DrainInput(now);
    // A vanished far end: the poller stops watching a dead line.
    if (ready & (EPOLLHUP | EPOLLERR)) MarkDead(ERROR_DEVICE_NOT_CONNECTED, now);
    if (ready & EPOLLOUT) PushWrites(now);
    if (LinesChanged.exchange(false)) CheckModemLines();
    if (WaitBegins.exchange(false)) LookAfterWait = now + ModemPollFast;
    if (WatcherCannotWait.exchange(false)) {
        ModemPolling = true;
        NextModemPoll = now;
        ModemPollGap = ModemPollFast;
    }
    ServiceTimers(now);
}

void CommDevice::StartLineWatcher()
{
    if (WatcherStarted || ModemPolling || !HasModemLines || StopRequested) return;
    if (Device != 0 && CannotWait().Contains(Device)) {
        // The opening has just read the lines: a look at once would find
        // them as they were, and cost the poller a wake-up on every opening.
        ModemPolling = true;
        NextModemPoll = Clock::now() + ModemPollFast;
        ModemPollGap = ModemPollFast;
        return;
    }
    EnsureWatcherSignalHandler();
    try {
        Watcher = TParkedThread([this] { WatchLines(); }, "kivo-comm-lines");
        WatcherStarted = true;
    } catch (const std::system_error&) {
        ModemPolling = true;
        NextModemPoll = Clock::now();
        ModemPollGap = ModemPollFast;
    }
}

void CommDevice::WatchLines()
{
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, WatcherSignal());
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    while (!StopRequested) {
        // The driver's wait compares with the counts it notes as it begins,
        // so a line that moves after the last look and before that is not
        // seen by it: one more look, once this wait has surely begun.
        WaitBegins = true;
        Wake();
        if (::ioctl(Fd, TIOCMIWAIT, TIOCM_RNG | TIOCM_DSR | TIOCM_CD | TIOCM_CTS) == 0) {
            LinesChanged = true;
            continue;
        }
        if (errno == EINTR) continue;
        // A hang-up also ends the wait; epoll reports that to the poller.
        if (!IsHangup(errno)) {
            if (Device != 0) CannotWait().Add(Device);
            WatcherCannotWait = true;
        }
        Wake();
        break;
    }
    {
        std::lock_guard lock(Lock);
        WatcherDone = true;
        Done.notify_all();
    }
    // No signal is sent once WatcherDone is set; one still pending is taken
    // here rather than by the next job on this (parked) thread.
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    timespec none{};
    while (sigtimedwait(&wake, nullptr, &none) > 0) {
    }
}

// The PC's own UART counts modem-line changes, and wakes a wait for them,
// only while its modem-status interrupt is on: a wait switches it on, and a
// setting without hardware handshake switches it off again, under the wait
// already made. The watcher is sent round to wait anew. A signal that lands
// before it is back in its wait is spent, and the next wait is new anyway.
void CommDevice::RenewLineWait()
{
    if (!WatcherStarted || WatcherDone || StopRequested) return;
    pthread_kill(Watcher.native_handle(), WatcherSignal());
}

void CommDevice::StopLineWatcher()
{
    if (!WatcherStarted) return;
    std::unique_lock lock(Lock);
    // A signal that lands just before the watcher enters its wait is lost, so
    // repeat it until the watcher has gone.
    for (int attempt = 0; attempt < 400 && !WatcherDone; ++attempt) {
        pthread_kill(Watcher.native_handle(), WatcherSignal());
        Done.wait_for(lock, milliseconds(5), [&] { return WatcherDone; });
    }
    lock.unlock();
    Watcher.join();
}

}  // namespace kivo::win::detail
