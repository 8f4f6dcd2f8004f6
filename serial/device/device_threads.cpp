// The read, write and status threads: their common frame, the overlapped
// waits, draining the device into the input queue, the event waits and the
// write-out of the output ring.

#include "serial/device/device_threads.h"

#include "platform/sync.h"
#include "serial/device/win32_dispatcher.h"
#include "serial/dispatch/io_queue.h"
#include "serial/errors/error_codes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>

namespace kivo {

using namespace kivo::win;

namespace {

constexpr DWORD ReadWake = 50;

bool StillPending(const OVERLAPPED& record)
{
    return std::atomic_ref<const ULONG_PTR>(record.Internal).load(std::memory_order_acquire) ==
           STATUS_PENDING;
}

} // namespace

// ---- Common frame -------------------------------------------------------------------

TKivWin32Thread::TKivWin32Thread(TKivWin32Dispatcher& dispatcher,
                                 std::atomic<TKivDispatcherThread*>* slot)
    : TKivDispatcherThread(dispatcher, slot), Line(dispatcher)
{
}

HANDLE TKivWin32Thread::DeviceHandle() const noexcept
{
    return Line.DeviceHandle;
}

HANDLE TKivWin32Thread::ThreadAckEvent() const noexcept
{
    return Line.ThreadAckEvent;
}

HANDLE TKivWin32Thread::StopEvent() const noexcept
{
    return Line.StopEvent;
}

TIOQueue& TKivWin32Thread::InputQueue() const noexcept
{
    return Line.InputQueue;
}

bool TKivWin32Thread::StopRequested() const noexcept
{
    return Line.StopRequested;
}

void TKivWin32Thread::RequestStop() noexcept
{
    Line.StopRequested = true;
    SetEvent(Line.StopEvent);
}

void TKivWin32Thread::RecordError(DWORD error) noexcept
{
    LastError = error;
    Line.LastOSError = error;
}

void TKivWin32Thread::Execute()
{
    StartStep();
    std::exception_ptr escaped;
    Record = OVERLAPPED{};
    Record.hEvent = CreateEvent(true, false);
    ReturnValue = 0;
    if (!Record.hEvent) {
        ReturnValue = ecTapiNoMem;
        RequestStop();
    } else {
        try {
            Loop();
        } catch (const std::bad_alloc&) {
            ReturnValue = ecTapiNoMem;
            RequestStop();
        } catch (...) {
            // Shown by the framework once the end step has run.
            escaped = std::current_exception();
            RequestStop();
        }
        if (StillPending(Record)) AbandonPending(Record);
        CloseHandle(Record.hEvent);
        Record.hEvent = nullptr;
    }
    ReleaseHeld();
    // From here on the dispatcher may be gone.
    EndStep(ReturnValue);
    if (escaped) std::rethrow_exception(escaped);
}

int TKivWin32Thread::WaitForOverlapped(OVERLAPPED& record)
{
    // Every way of stopping a device thread sets one of these events (a stop
    // request sets the line's, Terminate the thread's own), so an idle line
    // sleeps until something happens instead of waking on a time slice.
    HANDLE waits[3] = {record.hEvent, StopEvent(), TerminateEvent()};
    DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
        DWORD count = 0;
        if (GetOverlappedResult(DeviceHandle(), &record, &count, TRUE)) {
            ResetEvent(record.hEvent);
            return static_cast<int>(count);
        }
        LastError = GetLastError();
        return ecDeviceRead;
    }
    if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_OBJECT_0 + 2)
        return static_cast<int>(AbandonPending(record));
    LastError = GetLastError();
    return ecDeviceRead;
}

// ---- Read thread ----------------------------------------------------------------------

TReadThread::TReadThread(TKivWin32Dispatcher& dispatcher)
    : TKivWin32Thread(dispatcher, &dispatcher.ReadThread)
{
}

void TReadThread::ReleaseHeld()
{
    Held.reset();
}

DWORD TReadThread::AbandonPending(OVERLAPPED& record)
{
    DWORD count = 0;
    if (!StillPending(record)) return static_cast<DWORD>(record.InternalHigh);
    PurgeComm(DeviceHandle(), PURGE_RXABORT);
    GetOverlappedResult(DeviceHandle(), &record, &count, TRUE);
    return count;
}

bool TReadThread::NewBuffer()
{
    try {
        Held = std::make_unique<TDataBuffer>(BlockSize);
        return true;
    } catch (...) {
        Held.reset();
        ReturnValue = ecTapiNoMem;
        RequestStop();
        return false;
    }
}

int TReadThread::Read(std::uint8_t* destination, DWORD count, bool& waited)
{
    waited = false;
    DWORD got = 0;
    if (ReadFile(DeviceHandle(), destination, count, &got, &Record)) return static_cast<int>(got);
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        waited = true;
        int result = WaitForOverlapped(Record);
        if (result >= 0) return result;
        if (LastError == ERROR_OPERATION_ABORTED) return 0;
        RecordError(LastError);
        return result;
    }
    RecordError(error);
    return ecDeviceRead;
}

void TReadThread::Loop()
{
    // A read that stays pending until the first byte and then returns what
    // has come: the device completes it itself, so an idle line costs no
    // wake-ups and a byte needs no hop through the status thread. The
    // constant only bounds the wait (about 49 days).
    COMMTIMEOUTS firstByte{};
    firstByte.ReadIntervalTimeout = MAXDWORD;
    firstByte.ReadTotalTimeoutMultiplier = MAXDWORD;
    firstByte.ReadTotalTimeoutConstant = MAXDWORD - 1;
    if (!SetCommTimeouts(DeviceHandle(), &firstByte)) {
        if (GetLastError() != ERROR_INVALID_HANDLE && !StopRequested()) {
            RecordError(GetLastError());
            ReturnValue = ecDeviceRead;
        }
        RequestStop();
        return;
    }

    while (!Stopping()) {
        ApplyPriority();
        if (!Held && !NewBuffer()) continue;
        bool waited = false;
        int n = Read(Held->Buffer(), BlockSize, waited);
        if (n > 0) {
            Held->Used = n;
            try {
                InputQueue().Push(std::move(Held));
            } catch (...) {
                ReturnValue = ecTapiNoMem;
                RequestStop();
            }
            continue;
        }
        if (n < 0) {
            // A closed handle, or a failure once a stop was under way, ends
            // the thread without a report.
            if (LastError != ERROR_INVALID_HANDLE && !StopRequested()) ReturnValue = ecDeviceRead;
            RequestStop();
            continue;
        }
        // Nothing read: a purge or a stop ended the pending read, and the
        // next one is issued at once. A read that completed empty without
        // waiting would come back the same way: pause for a stop instead.
        if (!waited) {
            HANDLE waits[2] = {StopEvent(), TerminateEvent()};
            WaitForMultipleObjects(2, waits, FALSE, ReadWake);
        }
    }
}

// ---- Status thread ----------------------------------------------------------------------

TStatusThread::TStatusThread(TKivWin32Dispatcher& dispatcher)
    : TKivWin32Thread(dispatcher, &dispatcher.StatusThread)
{
}

DWORD TStatusThread::AbandonPending(OVERLAPPED& record)
{
    if (!StillPending(record)) return 0;
    // Setting a mask completes the pending wait with no events; the thread
    // is ending, so nothing is waited for any more.
    SetCommMask(DeviceHandle(), 0);
    DWORD count = 0;
    GetOverlappedResult(DeviceHandle(), &record, &count, TRUE);
    return 0;
}

int TStatusThread::WaitEvent(DWORD& mask)
{
    if (WaitCommEvent(DeviceHandle(), &mask, &Record)) return 0;
    DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER && (EventMask & EV_NONNT_EXTRA)) {
        EventMask &= ~EV_NONNT_EXTRA;
        SetCommMask(DeviceHandle(), EventMask);
        if (WaitCommEvent(DeviceHandle(), &mask, &Record)) return 0;
        error = GetLastError();
    }
    if (error == ERROR_IO_PENDING) {
        int result = WaitForOverlapped(Record);
        if (result >= 0) return result;
        // Cancelled with the handle: no event, and the next wait finds the
        // handle gone.
        if (LastError == ERROR_OPERATION_ABORTED) {
            mask = 0;
            return 0;
        }
        RecordError(LastError);
        return result;
    }
    RecordError(error);
    return ecDeviceRead;
}

void TStatusThread::Loop()
{
    EventMask = Line.NTLike() ? NTEventMask : NTEventMask | EV_NONNT_EXTRA;
    SetCommMask(DeviceHandle(), EventMask);
    while (!Stopping()) {
        ApplyPriority();
        DWORD mask = 0;
        int result = WaitEvent(mask);
        if (result < 0) {
            if (LastError != ERROR_INVALID_HANDLE && !StopRequested()) ReturnValue = result;
            RequestStop();
            continue;
        }
        if (mask & LineEventBits) {
            try {
                InputQueue().Push(std::make_unique<TStatusBuffer>(mask));
            } catch (...) {
                ReturnValue = ecTapiNoMem;
                RequestStop();
            }
        }
    }
}

// ---- Write thread ---------------------------------------------------------------------------

TWriteThread::TWriteThread(TKivWin32Dispatcher& dispatcher)
    : TKivWin32Thread(dispatcher, &dispatcher.WriteThread)
{
}

void TWriteThread::ReleaseHeld()
{
    Block.reset();
    BlockSize = 0;
}

DWORD TWriteThread::AbandonPending(OVERLAPPED& record)
{
    if (!StillPending(record)) return static_cast<DWORD>(record.InternalHigh);
    PurgeComm(DeviceHandle(), PURGE_TXABORT);
    DWORD count = 0;
    GetOverlappedResult(DeviceHandle(), &record, &count, TRUE);
    return count;
}

int TWriteThread::WaitForOverlapped(OVERLAPPED& record)
{
    HANDLE waits[4] = {record.hEvent, Line.OutputFlushEvent, StopEvent(), TerminateEvent()};
    DWORD woke = WaitForMultipleObjects(4, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
        DWORD count = 0;
        if (GetOverlappedResult(DeviceHandle(), &record, &count, TRUE)) {
            ResetEvent(record.hEvent);
            return static_cast<int>(count);
        }
        LastError = GetLastError();
        return ecDeviceWrite;
    }
    // The block is dropped either way; the device must let go of it first.
    if (woke == WAIT_OBJECT_0 + 1) {
        AbandonPending(record);
        return FlushSeen;
    }
    if (woke == WAIT_OBJECT_0 + 2 || woke == WAIT_OBJECT_0 + 3) {
        AbandonPending(record);
        return StopSeen;
    }
    LastError = GetLastError();
    return ecDeviceWrite;
}

void TWriteThread::WaitTransmitterEmpty()
{
    // What the driver still holds drains at the line's rate; look again
    // after about a character time, for no longer than the bytes can take.
    DCB config;
    DWORD baud = GetCommState(DeviceHandle(), &config) && config.BaudRate ? config.BaudRate : 9600;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(100 + std::uint64_t{BlockSize} * 12000 / baud);
    DWORD pause = std::clamp<DWORD>(12000 / baud, 1, 20);
    for (;;) {
        COMSTAT status;
        DWORD errors = 0;
        if (!ClearCommError(DeviceHandle(), &errors, &status) || status.cbOutQue == 0) return;
        if (Stopping() || std::chrono::steady_clock::now() >= deadline) return;
        if (WaitForSingleObject(StopEvent(), pause) == WAIT_OBJECT_0) return;
    }
}

int TWriteThread::WriteOut()
{
    for (;;) {
        DWORD n;
        {
            TCriticalSectionLock hold(Line.OutputLock);
            if (!Line.OutFull && Line.OutHead == Line.OutTail) return 0;
            DWORD head = Line.OutHead;
            DWORD tail = Line.OutTail;
            n = head > tail ? head - tail : Line.OutSize - tail + head;
            if (n > BlockSize || !Line.OutRing) {
                LastError = ERROR_NOT_ENOUGH_MEMORY;
                return ecDeviceWrite;
            }
            if (head > tail) {
                std::memcpy(Block.get(), Line.OutRing.get() + tail, n);
            } else {
                DWORD first = Line.OutSize - tail;
                std::memcpy(Block.get(), Line.OutRing.get() + tail, first);
                std::memcpy(Block.get() + first, Line.OutRing.get(), head);
            }
            Line.OutHead = Line.OutTail = 0;
            Line.OutFull = false;
            Line.BlockInFlight = true;
        }
        struct TInFlight {
            std::atomic<bool>& Flag;
            ~TInFlight() { Flag = false; }
        } inFlight{Line.BlockInFlight};

        DWORD sent = 0;
        while (sent < n) {
            DWORD written = 0;
            if (WriteFile(DeviceHandle(), Block.get() + sent, n - sent, &written, &Record)) {
                // Writes have no time-out: a success that moved nothing
                // would only ever repeat itself.
                if (written == 0) {
                    LastError = ERROR_IO_DEVICE;
                    return ecDeviceWrite;
                }
                sent += written;
                continue;
            }
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                LastError = error;
                return ecDeviceWrite;
            }
            int result = WaitForOverlapped(Record);
            if (result == FlushSeen) {
                if (ThreadAckEvent()) SetEvent(ThreadAckEvent());
                return 0;
            }
            if (result == StopSeen) return 0;
            if (result < 0) return LastError == ERROR_OPERATION_ABORTED ? 0 : ecDeviceWrite;
            sent += static_cast<DWORD>(result);
        }

        if (!Line.NTLike() && Line.RS485Mode) {
            WaitTransmitterEmpty();
            Line.DriveRTS(false);
        }
    }
}

void TWriteThread::Loop()
{
    BlockSize = std::max<DWORD>(Line.OutSize, 1);
    Block = std::make_unique<std::uint8_t[]>(BlockSize);

    HANDLE waits[4] = {Line.OutputReadyEvent, Line.OutputFlushEvent, StopEvent(),
                       TerminateEvent()};
    while (!Terminated()) {
        if (StopRequested()) break;
        ApplyPriority();
        DWORD woke = WaitForMultipleObjects(4, waits, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0) {
            if (StopRequested()) continue;
            // A boost asked for while the line was idle counts for this block.
            ApplyPriority();
            if (WriteOut() != 0) {
                if (LastError != ERROR_INVALID_HANDLE && !StopRequested()) {
                    RecordError(LastError);
                    ReturnValue = ecDeviceWrite;
                }
                RequestStop();
            }
        } else if (woke == WAIT_OBJECT_0 + 1) {
            if (ThreadAckEvent()) SetEvent(ThreadAckEvent());
        } else if (woke == WAIT_OBJECT_0 + 2 || woke == WAIT_OBJECT_0 + 3) {
            continue;
        } else {
            RecordError(GetLastError());
            ReturnValue = ecDeviceWrite;
            RequestStop();
        }
    }
}

} // namespace kivo
