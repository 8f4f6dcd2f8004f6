// The Win32 communications calls over the serial files of comm_device.cpp:
// handles, device names, and each call's checks and kernel requests.

#include "platform/comm.h"
#include "platform/dcb_termios.h"
#include "platform/port_names.h"
#include "platform/detail/comm_device.h"
#include "platform/detail/comm_poller.h"
#include "platform/sync.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>

namespace kivo::win {

using namespace detail;

namespace {

// The KernelObject a HANDLE names. CloseHandle deletes it; the device it
// fronts may outlive it by the length of calls still running.
class CommFile final : public KernelObject
{
public:
    explicit CommFile(std::shared_ptr<CommDevice> device) : Device(std::move(device)) {}
    ~CommFile() override;

    std::shared_ptr<CommDevice> Device;
};

struct CommRegistry
{
    std::mutex Lock;
    std::unordered_map<const KernelObject*, std::shared_ptr<CommDevice>> Files;
};

// Never destroyed: handles may still be closed while statics are torn down.
CommRegistry& Registry()
{
    static auto* registry = new CommRegistry;
    return *registry;
}

CommFile::~CommFile()
{
    {
        CommRegistry& registry = Registry();
        std::lock_guard lock(registry.Lock);
        registry.Files.erase(this);
    }
    Device->Shutdown();
}

std::shared_ptr<CommDevice> DeviceFromHandle(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
    CommRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    auto found = registry.Files.find(handle);
    return found == registry.Files.end() ? nullptr : found->second;
}

// ---- names -----------------------------------------------------------------

std::optional<unsigned> ComNumber(std::string_view name)
{
    constexpr std::string_view prefix = R"(\\.\)";
    if (!name.starts_with(prefix)) return std::nullopt;
    name.remove_prefix(prefix.size());
    if (name.size() < 4 || name.size() > 8) return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i)
        if ((name[i] & ~0x20) != "COM"[i]) return std::nullopt;
    name.remove_prefix(3);
    unsigned number = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc{} || end != name.data() + name.size() || number == 0 ||
        number > HighestComNumber)
        return std::nullopt;
    return number;
}

// Empty for a PC port with no UART: opening its node would only tell
// "not permitted" to a user outside dialout, as if a port were there.
std::string DevicePathFor(const char* name)
{
    std::optional<unsigned> number = ComNumber(name);
    if (!number) return name;
    bool unfitted = false;
    std::string path = ComPortPath(*number, &unfitted).string();
    return unfitted ? std::string() : path;
}

// A call's hold on its device: found by handle and locked.
struct Held
{
    std::shared_ptr<CommDevice> Device;
    std::unique_lock<TBriefMutex> Guard;

    explicit operator bool() const { return Device != nullptr; }
    CommDevice* operator->() const { return Device.get(); }
};

enum class TLineUse
{
    luAnyState,
    luNeedsLine
};
using enum TLineUse;

// Empty, with the last error set, for a handle that names no open port (6)
// and, for calls that need the line, for a line that has gone.
Held Hold(HANDLE file, TLineUse use)
{
    Held held{DeviceFromHandle(file), {}};
    if (!held.Device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    held.Guard = std::unique_lock(held.Device->Lock);
    if (held.Device->Closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    if (use == luNeedsLine && held.Device->Dead) {
        SetLastError(held.Device->DeadError);
        return {};
    }
    return held;
}

// Finishes a call that started an operation: waits when the caller gave no
// OVERLAPPED, else reports done at once or pending.
BOOL Finish(Held& device, OVERLAPPED* op, bool synchronous, DWORD* count)
{
    if (synchronous)
        device->Done.wait(device.Guard, [&] { return StatusOf(*op) != STATUS_PENDING; });
    ULONG_PTR status = StatusOf(*op);
    if (status == STATUS_PENDING) return FailWith(ERROR_IO_PENDING);
    if (count) *count = static_cast<DWORD>(op->InternalHigh);
    return status == ERROR_SUCCESS ? TRUE : FailWith(static_cast<DWORD>(status));
}
}  // namespace

// ---- the calls ----------------------------------------------------------------

HANDLE CreateFileA(const char* fileName, DWORD, DWORD, void*, DWORD creationDisposition, DWORD,
                   HANDLE)
{
    if (fileName == nullptr || creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<CommDevice> device;
    std::unique_ptr<CommFile> file;
    try {
        device = std::make_shared<CommDevice>();
        std::string path = DevicePathFor(fileName);
        if (path.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (DWORD error = device->Open(path); error != ERROR_SUCCESS) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        file = std::make_unique<CommFile>(device);
        CommRegistry& registry = Registry();
        std::lock_guard lock(registry.Lock);
        registry.Files.emplace(file.get(), device);
    } catch (const std::bad_alloc&) {
        if (device && !file) device->Shutdown();
        file.reset();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = RegisterHandle(std::move(file));
    return handle ? handle : INVALID_HANDLE_VALUE;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD)
{
    Held device = Hold(file, luAnyState);
    if (!device) return FALSE;
    if (inQueue == 0) return TRUE;
    std::size_t size = std::max<std::size_t>({inQueue, SmallestRing, device->RingCount});
    if (size == device->Ring.size()) return TRUE;
    bool wasFull = device->RingFull();
    try {
        std::vector<BYTE> resized(size);
        std::size_t held = device->RingCount;
        device->TakeFromRing(resized.data(), held);
        device->Ring.swap(resized);
        device->RingHead = 0;
        device->RingCount = held;
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (wasFull) device->Wake();
    return TRUE;
}

BOOL GetCommState(HANDLE file, DCB* dcb)
{
    if (!dcb) return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luAnyState);
    if (!device) return FALSE;
    *dcb = device->State;
    return TRUE;
}

BOOL SetCommState(HANDLE file, const DCB* dcb)
{
    if (!dcb) return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luNeedsLine);
    if (!device) return FALSE;
    DCB wanted = *dcb;
    wanted.DCBlength = sizeof(DCB);
    termios2 tio = device->Settings;
    const termios2 current = tio;
    if (DWORD invalid = ToTermios(wanted, tio); invalid != ERROR_SUCCESS) return FailWith(invalid);
    // Opening a port reapplies every setting, most of them unchanged; a
    // driver may reprogram the UART on each set, so only a change is sent.
    // Raw ioctl, not tcsetattr: a pty drops data size and parity, and glibc
    // would report that as a failure.
    if (std::memcmp(&current, &tio, sizeof tio) != 0) {
        // Drivers move DTR and RTS themselves going to or from rate 0 and
        // when hardware handshaking comes or goes.
        auto zeroRate = [](const termios2& t) {
            return (t.c_cflag & CBAUD) == B0 || ((t.c_cflag & CBAUD) == BOTHER && t.c_ospeed == 0);
        };
        if (zeroRate(current) || zeroRate(tio) || ((current.c_cflag ^ tio.c_cflag) & CRTSCTS))
            device->LinesKnown = 0;
        if (RetryOnEintr([&] { return ::ioctl(device->Fd, TCSETS2, &tio); }) < 0)
            return device->FailIo(errno);
        // A driver answers success for a rate or framing it cannot do, and
        // keeps its old one or picks another: the line would garble every
        // byte while the record claimed the asked one. Put back what was and
        // refuse, as Windows' drivers refuse such a record.
        termios2 held{};
        if (::ioctl(device->Fd, TCGETS2, &held) == 0 && !DriverTook(tio, held, device->Framed)) {
            if (RetryOnEintr([&] { return ::ioctl(device->Fd, TCSETS2, &current); }) < 0)
                device->Settings = termios2{};  // unknown now: the next setting goes out
            device->RenewLineWait();
            return FailWith(ERROR_INVALID_PARAMETER);
        }
        device->Settings = tio;
        device->RenewLineWait();
    }
    if (DWORD failed = device->ApplyControlLines(wanted); failed != ERROR_SUCCESS)
        return FailWith(failed);
    device->State = wanted;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts)
{
    if (!timeouts) return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luAnyState);
    if (!device) return FALSE;
    *timeouts = device->Timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts)
{
    if (!timeouts) return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luAnyState);
    if (!device) return FALSE;
    device->Timeouts = *timeouts;  // operations already queued keep theirs
    return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD evtMask)
{
    Held device = Hold(file, luAnyState);
    if (!device) return FALSE;
    if (device->Wait) {
        *device->Wait->Mask = 0;
        device->Complete(device->Wait->Op, ERROR_SUCCESS, WaitResultSize);
        device->Wait.reset();
    }
    device->Mask = evtMask;
    device->History &= evtMask;
    if (evtMask & ModemEvents) device->StartLineWatcher();
    if (device->ModemPolling) WakePollerBefore(device->NextDeadline());
    return TRUE;
}

BOOL GetCommMask(HANDLE file, DWORD* evtMask)
{
    if (!evtMask) return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luAnyState);
    if (!device) return FALSE;
    *evtMask = device->Mask;
    return TRUE;
}

BOOL WaitCommEvent(HANDLE file, DWORD* evtMask, OVERLAPPED* overlapped)
{
    if (!evtMask) return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luNeedsLine);
    if (!device) return FALSE;
    OVERLAPPED local;
    OVERLAPPED* op = overlapped ? overlapped : &local;
    if (device->Mask == 0 || (device->Mask & ~SupportedEvents) || device->Wait)
        return FailWith(ERROR_INVALID_PARAMETER);
    *evtMask = 0;
    device->Begin(*op);
    device->Wait = WaitOp{op, evtMask};
    // Bytes the kernel holds but the poller has not seen yet are left to it:
    // it watches for input whenever the ring has room, and raises them then.
    device->CheckWait();
    return Finish(device, op, overlapped == nullptr, nullptr);
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status)
{
    Held device = Hold(file, luNeedsLine);
    if (!device) return FALSE;
    // So that bytes counted here have also been reported as arrivals.
    const bool driverEmpty = device->DrainInput(Clock::now());
    WakePollerBefore(device->NextDeadline());
    if (device->Dead) return FailWith(device->DeadError);
    // What it finds is an event now, as the driver's counting was. Arrivals
    // are left to the poller: completing the event wait here for them would
    // wake the status thread from the dispatch thread on every frame.
    const DWORD seen = device->History;
    device->CheckLineErrors();
    if (device->History != seen) device->CheckWait();
    if (errors) *errors = device->Errors;
    device->Errors = 0;
    if (status) {
        *status = COMSTAT{};
        int waiting = 0;
        if (!driverEmpty && ::ioctl(device->Fd, FIONREAD, &waiting) < 0) waiting = 0;
        status->cbInQue = static_cast<DWORD>(device->RingCount) + static_cast<DWORD>(waiting);
        int queued = 0;
        if (::ioctl(device->Fd, TIOCOUTQ, &queued) < 0) queued = 0;
        DWORD unsent = 0;
        for (const WriteOp& write : device->Writes)
            unsent += write.Length - write.Sent;
        status->cbOutQue = unsent + static_cast<DWORD>(queued);
    }
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function)
{
    Held device = Hold(file, luNeedsLine);
    if (!device) return FALSE;
    int fd = device->Fd;
    int result = 0;
    switch (function) {
    case SETRTS:
    case CLRRTS:
        // The driver owns RTS under handshake and toggle, as on Windows.
        if (device->State.fRtsControl == RTS_CONTROL_HANDSHAKE ||
            device->State.fRtsControl == RTS_CONTROL_TOGGLE)
            return FailWith(ERROR_INVALID_PARAMETER);
        return device->SetModemBits(TIOCM_RTS, function == SETRTS);
    case SETDTR:
    case CLRDTR:
        if (device->State.fDtrControl == DTR_CONTROL_HANDSHAKE)
            return FailWith(ERROR_INVALID_PARAMETER);
        return device->SetModemBits(TIOCM_DTR, function == SETDTR);
    case SETBREAK:
        result = ::ioctl(fd, TIOCSBRK);
        break;
    case CLRBREAK:
        result = ::ioctl(fd, TIOCCBRK);
        break;
    case SETXOFF:
        result = ::ioctl(fd, TCXONC, TCOOFF);
        break;
    case SETXON:
        result = ::ioctl(fd, TCXONC, TCOON);
        break;
    default:
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (result < 0 && !IsUnsupported(errno)) return device->FailIo(errno);
    return TRUE;
}

BOOL PurgeComm(HANDLE file, DWORD flags)
{
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luNeedsLine);
    if (!device) return FALSE;
    if (flags & PURGE_RXABORT) device->CompleteReads(ERROR_OPERATION_ABORTED);
    if (flags & PURGE_TXABORT) device->CompleteWrites(ERROR_OPERATION_ABORTED);
    if (flags & PURGE_RXCLEAR) {
        bool wasFull = device->RingFull();
        device->RingHead = device->RingCount = 0;
        if (wasFull) device->Wake();
        if (::ioctl(device->Fd, TCFLSH, TCIFLUSH) < 0) return device->FailIo(errno);
    }
    if ((flags & PURGE_TXCLEAR) && ::ioctl(device->Fd, TCFLSH, TCOFLUSH) < 0)
        return device->FailIo(errno);
    if (device->RtsRaisedForSend && device->Writes.empty()) device->CheckDrained(Clock::now());
    WakePollerBefore(device->NextDeadline());
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat)
{
    if (!modemStat) return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luNeedsLine);
    if (!device) return FALSE;
    int lines = 0;
    if (::ioctl(device->Fd, TIOCMGET, &lines) < 0) {
        if (!IsUnsupported(errno)) return device->FailIo(errno);
        lines = 0;
    }
    DWORD status = 0;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RNG) status |= MS_RING_ON;
    if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
    *modemStat = status;
    return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* bytesRead, OVERLAPPED* overlapped)
{
    if (bytesRead) *bytesRead = 0;
    if (!buffer && toRead) return FailWith(ERROR_INVALID_PARAMETER);
    // Reads go on after a hang-up while received bytes are left.
    Held device = Hold(file, luAnyState);
    if (!device) return FALSE;
    OVERLAPPED local;
    OVERLAPPED* op = overlapped ? overlapped : &local;
    try {
        device->Reads.reserve(device->Reads.size() + 1);
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    device->Begin(*op);
    Clock::time_point now = Clock::now();
    // Take what the kernel holds first, so a read that returns at once sees
    // it, and a stream is read without waiting for the poller. After a look
    // that found the kernel empty a read that may wait is left to the poller:
    // sparse frames then cost no read that finds nothing.
    if (!device->InputDrained || ReturnsAtOnce(device->Timeouts)) device->DrainInput(now);
    bool wasFull = device->RingFull();
    device->Reads.push_back(ReadOp{op, static_cast<BYTE*>(buffer), toRead, device->Timeouts});
    device->FeedReads(now);
    if (wasFull && !device->RingFull())
        device->Wake();
    else if (StatusOf(*op) == STATUS_PENDING)
        WakePollerBefore(device->NextDeadline());
    return Finish(device, op, overlapped == nullptr, bytesRead);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped)
{
    if (bytesWritten) *bytesWritten = 0;
    if (!buffer && toWrite) return FailWith(ERROR_INVALID_PARAMETER);
    Held device = Hold(file, luNeedsLine);
    if (!device) return FALSE;
    OVERLAPPED local;
    OVERLAPPED* op = overlapped ? overlapped : &local;
    try {
        device->Writes.reserve(device->Writes.size() + 1);
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (toWrite > 0 && device->RtsToggleEmulated && !device->RtsRaisedForSend) {
        device->RtsRaisedForSend = true;
        // The first request of the write may find the line gone: nothing
        // would complete a write queued on a dead line.
        if (!device->SetModemBits(TIOCM_RTS, true) && device->Dead) return FALSE;
    }
    device->Begin(*op);
    device->Writes.push_back(
        WriteOp{op, static_cast<const BYTE*>(buffer), toWrite, device->Timeouts});
    if (device->Writes.size() == 1) device->PushWrites(Clock::now());
    // A write that went out at once may have set a look for the line to
    // drain (EV_TXEMPTY, the end of an emulated RTS toggle).
    if (StatusOf(*op) == STATUS_PENDING)
        device->Wake();
    else
        WakePollerBefore(device->NextDeadline());
    return Finish(device, op, overlapped == nullptr, bytesWritten);
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait)
{
    if (!overlapped) return FailWith(ERROR_INVALID_PARAMETER);
    ULONG_PTR status = StatusOf(*overlapped);
    if (status == STATUS_PENDING) {
        if (!wait) return FailWith(ERROR_IO_INCOMPLETE);
        // The device's own signal, not hEvent: the caller may share or reset that.
        if (auto device = DeviceFromHandle(file)) {
            std::unique_lock lock(device->Lock);
            device->Done.wait(lock, [&] { return StatusOf(*overlapped) != STATUS_PENDING; });
        } else if (overlapped->hEvent) {
            WaitForSingleObject(overlapped->hEvent, INFINITE);
        } else {
            return FailWith(ERROR_INVALID_HANDLE);
        }
        status = StatusOf(*overlapped);
        if (status == STATUS_PENDING) return FailWith(ERROR_IO_INCOMPLETE);
    }
    if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return status == ERROR_SUCCESS ? TRUE : FailWith(static_cast<DWORD>(status));
}

BOOL CancelIo(HANDLE file)
{
    Held device = Hold(file, luAnyState);
    if (!device) return FALSE;
    device->CompleteAll(ERROR_OPERATION_ABORTED);
    return TRUE;
}

}  // namespace kivo::win
