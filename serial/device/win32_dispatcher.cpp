// The device operations of the Win32 dispatcher: open, configuration and
// close, the output ring and the input queue, and the start and stop of the
// four threads of an open port.

#include "serial/device/win32_dispatcher.h"

#include "framework/exceptions.h"
#include "platform/clock.h"
#include "platform/comm.h"
#include "platform/parked_threads.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "serial/device/device_threads.h"
#include "serial/dispatch/detail/thread_gate.h"
#include "serial/dispatch/dispatch_thread.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kivo {

using namespace kivo::win;

namespace {

constexpr DWORD FlushAckLimit = 5000;
constexpr int DispatchGraceTicks = 36;

bool HandleIsOpen(HANDLE handle)
{
    return handle != nullptr && reinterpret_cast<std::intptr_t>(handle) >= 0;
}

HANDLE NewEvent(bool manualReset)
{
    HANDLE event = CreateEvent(manualReset, false);
    if (!event) throw EOutOfMemory();
    return event;
}

// Waits, serving the calling thread's messages, until gone() holds; with
// ticks > 0 at most that many 55 ms ticks. Each end step makes its change
// before it leaves the gate, and the waiter is registered before gone() is
// looked at again: a change not yet seen is followed by a wake-up of this
// very waiter. True when gone() holds.
template <typename TGone>
bool WaitOnGate(kivo::detail::TThreadGate& gate, TSpinGauge& gauge, int ticks, TGone gone)
{
    if (gone()) return true;  // as a rule at a close: a waiter is not free
    LetHeldStartsBegin();  // a thread held back by this one would never leave
    TTickTimer limit = StartTickTimer(ticks);
    kivo::detail::TThreadGate::TWaiter waiter(gate);
    TBriefWaits brief(gauge);
    while (!gone()) {
        if (ticks > 0 && TickTimerExpired(limit)) return false;
        if (waiter.Wait(MillisecondsPerTick, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
            ProcessOneMessage();
    }
    return true;
}

// Counted before it can run, so that a close or a destruction that comes
// before it has arrived still waits for it. One that cannot be started
// leaves its slot empty.
template <typename T, typename TLine>
void Launch(TLine& line, std::atomic<TKivDispatcherThread*>& slot)
{
    line.ThreadLaunching();
    try {
        TThread::StartNew<T>(line);
    } catch (...) {
        slot = nullptr;
        line.ThreadNotLaunched();
        throw;
    }
}

} // namespace

TKivWin32Dispatcher::TKivWin32Dispatcher(TComponent* owner) : TKivBaseDispatcher(owner)
{
    StopEvent = NewEvent(true);
}

TKivWin32Dispatcher::~TKivWin32Dispatcher()
{
    Shutdown();
    CloseHandle(StopEvent);
}

// ---- Small device operations ---------------------------------------------------

int TKivWin32Dispatcher::DeviceEscape(int code)
{
    EscapeCommFunction(DeviceHandle, static_cast<DWORD>(code));
    return 0;
}

DWORD TKivWin32Dispatcher::DeviceGetErrors(COMSTAT& status)
{
    DWORD errors = 0;
    if (!ClearCommError(DeviceHandle, &errors, &status)) errors = 0;
    status.cbOutQue = static_cast<DWORD>(RingBytesUsed());
    return errors;
}

int TKivWin32Dispatcher::DeviceQueryEvents(int)
{
    return 0;
}

int TKivWin32Dispatcher::DeviceGetConfig(DCB& config)
{
    return GetCommState(DeviceHandle, &config) ? 0 : -1;
}

int TKivWin32Dispatcher::DeviceSetConfig(const DCB& config)
{
    if (SetCommState(DeviceHandle, &config)) return 0;
    return -static_cast<int>(GetLastError());
}

bool TKivWin32Dispatcher::DeviceWaitEvent(DWORD& mask)
{
    mask = 0;
    return true;
}

bool TKivWin32Dispatcher::DeviceSetQueues(DWORD inSize, DWORD outSize)
{
    return SetupComm(DeviceHandle, inSize, outSize) != FALSE;
}

int TKivWin32Dispatcher::DeviceYield()
{
    Sleep(0);
    return 0;
}

// ---- Open and flush ---------------------------------------------------------------

std::intptr_t TKivWin32Dispatcher::DeviceOpen(const std::string& name, DWORD, DWORD)
{
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    DeviceHandle = handle;
    return reinterpret_cast<std::intptr_t>(handle);
}

int TKivWin32Dispatcher::DeviceFlush(int queue)
{
    if (queue == 1) {
        BOOL purged = PurgeComm(DeviceHandle, PURGE_RXABORT | PURGE_RXCLEAR);
        InputQueue.Clear();  // buffers held through Peek stay queued
        return purged ? 1 : 0;
    }
    if (queue != 0 || WriteThread.load() == nullptr) return 0;
    bool inFlight;
    {
        TCriticalSectionLock hold(OutputLock);
        OutFull = false;
        OutHead = OutTail = 0;
        inFlight = BlockInFlight.load();
    }
    BOOL purged = PurgeComm(DeviceHandle, PURGE_TXABORT | PURGE_TXCLEAR);
    // An idle write thread holds nothing to drop, and the emptied ring is all
    // it would find next: the round trip to it is spared (every close flushes).
    if (inFlight && OutputFlushEvent) {
        // Only an acknowledgement given after this request answers it: the
        // threads' arrivals set the same event and nobody takes those.
        if (ThreadAckEvent) ResetEvent(ThreadAckEvent);
        SetEvent(OutputFlushEvent);
        // A write thread that is stopping (its line failed) may end without
        // answering; the stop stays signalled, so it ends this wait too.
        if (ThreadAckEvent) {
            HANDLE answers[2] = {ThreadAckEvent, StopEvent};
            WaitForMultipleObjects(2, answers, FALSE, FlushAckLimit);
        }
    }
    return purged ? 1 : 0;
}

// ---- Output ring ------------------------------------------------------------------

int TKivWin32Dispatcher::RingBytesUsed()
{
    TCriticalSectionLock hold(OutputLock);
    if (OutFull) return static_cast<int>(OutSize);
    if (OutHead > OutTail) return static_cast<int>(OutHead - OutTail);
    if (OutHead < OutTail) return static_cast<int>(OutSize - OutTail + OutHead);
    return 0;
}

int TKivWin32Dispatcher::DeviceWrite(const void* source, int count)
{
    if (count <= 0) return 0;
    {
        TCriticalSectionLock hold(OutputLock);
        // The caller checked the free room; a block that does not even fit
        // the ring would write past its end, so it is refused whole.
        if (!OutRing || source == nullptr || static_cast<DWORD>(count) > OutSize) return 0;
        const auto* bytes = static_cast<const std::uint8_t*>(source);
        auto length = static_cast<DWORD>(count);
        DWORD room = OutSize - OutHead;
        if (length <= room) {
            std::memcpy(OutRing.get() + OutHead, bytes, length);
            OutHead = length == room ? 0 : OutHead + length;
        } else {
            std::memcpy(OutRing.get() + OutHead, bytes, room);
            std::memcpy(OutRing.get(), bytes + room, length - room);
            OutHead = length - room;
        }
        // The release closes this event under the same lock: a line that
        // releases itself after a failure cannot close it between the look
        // and the signal.
        if (OutputReadyEvent) SetEvent(OutputReadyEvent);
    }
    return count;
}

// ---- Input queue --------------------------------------------------------------------

int TKivWin32Dispatcher::HeadBytesUnread()
{
    TIOBuffer* head = InputQueue.Peek();
    if (!head) return 0;
    int unread = 0;
    if (auto* data = dynamic_cast<TDataBuffer*>(head)) unread = data->Unread();
    head->InUse = false;
    return unread;
}

int TKivWin32Dispatcher::DeviceRead(void* destination, int count)
{
    if (count <= 0 || destination == nullptr) return 0;
    auto* out = static_cast<std::uint8_t*>(destination);
    int wanted = count;
    while (wanted > 0) {
        TIOBuffer* head = InputQueue.Peek();
        if (!head) break;
        auto* data = dynamic_cast<TDataBuffer*>(head);
        if (!data) {
            // Status buffers are the dispatch pass's to take.
            head->InUse = false;
            break;
        }
        int n = std::min(wanted, std::max(data->Unread(), 0));
        std::memcpy(out, data->Buffer() + data->ReadPos, static_cast<std::size_t>(n));
        data->ReadPos += n;
        out += n;
        wanted -= n;
        if (data->ReadPos >= data->Used)
            InputQueue.Pop();
        else
            data->InUse = false;
    }
    return count - wanted;
}

// ---- Threads ------------------------------------------------------------------------

void TKivWin32Dispatcher::StartThreads()
{
    TCriticalSectionLock hold(StateLock);
    if (Started()) throw Exception("Dispatcher already started.");
    ThreadsStarted = true;
    StopRequested = false;
    ResetEvent(StopEvent);
    try {
        // In their order, without waiting for their acknowledgements: the
        // wake-ups overlap with the rest of the opening and with the first
        // write, which the write thread finds waiting when it arrives. Each
        // thread is counted as it launches, so nothing can take the line
        // away from under one that has not arrived yet.
        CountingLaunches = true;
        Launch<TReadThread>(*this, ReadThread);
        Launch<TDispThread>(*this, DispatchThread);
        Launch<TWriteThread>(*this, WriteThread);
        Launch<TStatusThread>(*this, StatusThread);
        CountingLaunches = false;
    } catch (...) {
        CountingLaunches = false;
        // The threads already running end by themselves; with none, nothing
        // else would ever clear Started.
        StopRequested = true;
        SetEvent(StopEvent);
        if (ThreadCount.load() == 0) ThreadsStarted = false;
        throw;
    }
}

bool TKivWin32Dispatcher::WaitForThreadEnd(std::atomic<TKivDispatcherThread*>& slot, int ticks)
{
    // A stopped thread usually leaves within microseconds.
    thread_local TSpinGauge leaves;
    return WaitOnGate(*ThreadGate, leaves, ticks, [&] { return slot.load() == nullptr; });
}

// An end step empties its slot a moment before it counts its thread out:
// the close returns once the line reads stopped, or a reopen right after it
// would be refused as already started. The last end step clears Started
// only after its count has reached zero, so the count alone is not enough.
void TKivWin32Dispatcher::WaitForCountedOut()
{
    thread_local TSpinGauge countedOut;
    WaitOnGate(*ThreadGate, countedOut, DispatchGraceTicks,
               [this] { return ThreadCount.load() == 0 && !Started(); });
}

int TKivWin32Dispatcher::DeviceClose()
{
    {
        TCriticalSectionLock hold(StateLock);
        if (Stopping) return 0;
        Stopping = true;
    }
    struct TStoppingGuard {
        TKivWin32Dispatcher& Line;
        ~TStoppingGuard()
        {
            TCriticalSectionLock hold(Line.StateLock);
            Line.Stopping = false;
        }
    } guard{*this};

    if (Started()) {
        StopRequested = true;
        SetEvent(StopEvent);

        if (HandleIsOpen(DeviceHandle)) SetCommMask(DeviceHandle, 0);
        if (StatusProcessedEvent) SetEvent(StatusProcessedEvent);
        WaitForThreadEnd(StatusThread);

        if (OutputFlushEvent) SetEvent(OutputFlushEvent);
        WaitForThreadEnd(WriteThread);

        if (ThreadAckEvent) ResetEvent(ThreadAckEvent);
        WaitForThreadEnd(ReadThread);

        if (!WaitForThreadEnd(DispatchThread, DispatchGraceTicks)) {
            if (WakeDispatchEvent) SetEvent(WakeDispatchEvent);
            if (!WaitForThreadEnd(DispatchThread, DispatchGraceTicks))
                TKivDispatcherThread::Dismiss(*this, DispatchThread);
        }
        // A line thread closing its own line is still counted itself.
        TKivDispatcherThread* caller = TKivDispatcherThread::Current();
        if (DispatchThread.load() == nullptr && (!caller || &caller->Dispatcher() != this))
            WaitForCountedOut();
    }

    // A dispatch thread given up on may still ask the device for its errors
    // or modem lines: the handle goes at its end step instead.
    TCriticalSectionLock hold(StateLock);
    if (DispatchThread.load() != nullptr) {
        HandleLeftToDispatch = true;
        return 0;
    }
    return CloseDeviceHandle();
}

void TKivWin32Dispatcher::CloseEvent(HANDLE& event)
{
    if (event && CloseHandle(event)) event = nullptr;
}

void TKivWin32Dispatcher::StopThreads()
{
    if (Started()) DeviceClose();
    // A close under way on another thread may still be stopping device
    // threads that wait on these events.
    WaitForThreadEnd(StatusThread);
    WaitForThreadEnd(WriteThread);
    WaitForThreadEnd(ReadThread);
    CloseEvent(WakeDispatchEvent);
    CloseEvent(StatusProcessedEvent);
    CloseEvent(ThreadAckEvent);
    {
        // An owner's write may be under way as the line releases itself.
        TCriticalSectionLock hold(OutputLock);
        CloseEvent(OutputReadyEvent);
        OutputWaitSet[0] = nullptr;
    }
    CloseEvent(ManualEvent);
    CloseEvent(OutputFlushEvent);
    OutputWaitSet[1] = nullptr;
    ManualWaitSet[0] = ManualWaitSet[1] = nullptr;
}

} // namespace kivo
