// The dispatcher's life cycle, its registry entry, the block reads and writes
// through the two rings, and the start and end steps of its threads.

#include "serial/dispatch/base_dispatcher.h"

#include "framework/component.h"
#include "framework/thread.h"
#include "platform/clock.h"
#include "platform/version.h"
#include "platform/window.h"
#include "serial/dispatch/detail/ring.h"
#include "serial/dispatch/detail/thread_gate.h"
#include "serial/dispatch/dispatch_thread.h"
#include "serial/errors/error_check.h"
#include "serial/errors/error_codes.h"

#include <algorithm>
#include <new>

namespace kivo {

using namespace kivo::win;
using kivo::detail::DispatchBufferSize;

namespace {

struct TRegistry {
    CRITICAL_SECTION Lock;
    std::vector<TKivBaseDispatcher*> Slots;
};

// Never freed: a dispatcher may still unregister while statics are torn down.
TRegistry& Registry()
{
    static TRegistry* registry = new TRegistry;
    return *registry;
}

bool HandleIsOpen(HANDLE handle)
{
    return handle != nullptr && reinterpret_cast<std::intptr_t>(handle) >= 0;
}

// The code of a failed device call: its system error, or a general failure
// when the device layer left none, so a failure never reads as success.
int FailureCode()
{
    DWORD error = GetLastError();
    return error != 0 ? -static_cast<int>(error) : ecGeneralFailure;
}

} // namespace

CRITICAL_SECTION& DispatcherRegistryLock()
{
    return Registry().Lock;
}

TKivBaseDispatcher* DispatcherFromHandle(int handle)
{
    TRegistry& registry = Registry();
    TCriticalSectionLock hold(registry.Lock);
    if (handle < 0 || static_cast<std::size_t>(handle) >= registry.Slots.size()) return nullptr;
    return registry.Slots[static_cast<std::size_t>(handle)];
}

TStopFlag& TStopFlag::operator=(bool value)
{
    Value.store(value, std::memory_order_release);
    if (value) Owner.WakeDispatch();
    return *this;
}

TKivBaseDispatcher::TKivBaseDispatcher(TComponent* owner)
    : ThreadGate(std::make_shared<kivo::detail::TThreadGate>()), Owner(owner)
{
    NTPlatform = IsNTPlatform();
    TRegistry& registry = Registry();
    TCriticalSectionLock hold(registry.Lock);
    auto free = std::find(registry.Slots.begin(), registry.Slots.end(), nullptr);
    if (free != registry.Slots.end()) {
        *free = this;
        Index = static_cast<int>(free - registry.Slots.begin());
    } else {
        registry.Slots.push_back(this);
        Index = static_cast<int>(registry.Slots.size() - 1);
    }
}

TKivBaseDispatcher::~TKivBaseDispatcher()
{
    // The device operations are gone by now; only a derived class that
    // forgot Shutdown gets here with threads, and those are waited for.
    if (!ShutDown.exchange(true)) ThreadGate->WaitForAll();
    TRegistry& registry = Registry();
    TCriticalSectionLock hold(registry.Lock);
    if (Index >= 0 && static_cast<std::size_t>(Index) < registry.Slots.size())
        registry.Slots[static_cast<std::size_t>(Index)] = nullptr;
    while (!registry.Slots.empty() && registry.Slots.back() == nullptr) registry.Slots.pop_back();
}

void TKivBaseDispatcher::Shutdown()
{
    if (ShutDown.exchange(true)) return;
    // Destroyed during a notification, perhaps from one of its handlers: the
    // close is asked for before a thread that waits for that handler is let
    // go below, or it would run on into the next handler meanwhile.
    if (Notifying && !ClosePending) CloseLine();
    {
        // Destroyed from a packet handler that a thread of this line waits
        // for: the wait below is for that very thread, so it goes on now.
        TCriticalSectionLock hold(StateLock);
        for (auto* slot : {&ReadThread, &DispatchThread, &WriteThread, &StatusThread})
            if (TKivDispatcherThread* thread = slot->load()) ReplyToSender(thread->SenderId());
    }
    if (ClosePending)
        ReleaseLine();
    else
        CloseLine();
    ThreadGate->WaitForAll();
}

void TKivBaseDispatcher::WakeDispatch()
{
    // A marker in the input queue ends the dispatch thread's wait at once;
    // the pass takes it as an empty event mask.
    auto* marker = new (std::nothrow) TStatusBuffer;
    if (marker) InputQueue.Push(marker);
}

void TKivBaseDispatcher::TriggersChanged()
{
    TKivDispatcherThread* dispatch = DispatchThread.load();
    if (dispatch == nullptr || TKivDispatcherThread::Current() == dispatch) return;
    if (WakeDispatchEvent) SetEvent(WakeDispatchEvent);
}

// ---- Life cycle --------------------------------------------------------------

int TKivBaseDispatcher::OpenLine(const std::string& deviceName, DWORD baud, int parity,
                                 int dataBits, int stopBits, DWORD inSize, DWORD outSize,
                                 DWORD options)
{
    RingSeen = false;
    {
        TCriticalSectionLock hold(OutputLock);
        OutRing.reset();
    }
    {
        TCriticalSectionLock hold(DispatchLock);
        DispatchBuf.reset();
    }
    Notifying = false;
    ReleaseClaimed = false;
    ReleaseHandedOver = false;
    {
        TCriticalSectionLock hold(StateLock);
        HandlerDeletesPending = false;
        OwnerClosing = ReleasingItself = HandleLeftToDispatch = false;
    }

    WakeDispatchEvent = CreateEvent(false, false);
    StatusProcessedEvent = CreateEvent(false, false);
    ThreadAckEvent = CreateEvent(false, false);
    OutputReadyEvent = CreateEvent(false, false);
    ManualEvent = CreateEvent(true, false);
    OutputFlushEvent = CreateEvent(false, false);
    OutputWaitSet[0] = OutputReadyEvent;
    OutputWaitSet[1] = OutputFlushEvent;
    ManualWaitSet[0] = ManualEvent;
    ManualWaitSet[1] = OutputFlushEvent;

    SetLastError(ERROR_SUCCESS);
    std::intptr_t opened = DeviceOpen(deviceName, inSize, outSize);
    if (opened < 0) {
        int code = opened == ecOutOfMemory ? ecOutOfMemory : FailureCode();
        CloseLine();
        return code;
    }
    DeviceHandle = reinterpret_cast<HANDLE>(opened);

    SetLastError(ERROR_SUCCESS);
    if (!DeviceSetQueues(inSize, outSize)) {
        int code = FailureCode();
        CloseLine();
        return code;
    }

    try {
        auto dispatchBuf = std::make_unique<std::uint8_t[]>(DispatchBufferSize);
        auto outRing = std::make_unique<std::uint8_t[]>(std::max<DWORD>(outSize, 1));
        {
            TCriticalSectionLock hold(OutputLock);
            OutRing = std::move(outRing);
            OutHead = OutTail = 0;
            OutFull = false;
            OutSize = outSize;
        }
        TCriticalSectionLock hold(DispatchLock);
        DispatchBuf = std::move(dispatchBuf);
        DispFull = false;
        TakenNow = 0;
    } catch (const std::bad_alloc&) {
        CloseLine();
        return ecOutOfMemory;
    }
    InSize = inSize;
    ErrorBits = 0;
    OutputSentPending = false;
    ClosePending = false;
    RS485Mode = false;
    UartBase = 0;

    {
        TCriticalSectionLock hold(StateLock);
        DeviceGetConfig(Config);
    }

    if (options & lnDTRFlow) {
        DtrFlow = true;
    } else {
        DtrFlow = false;
        DriveDTR((options & lnDTROn) != 0);
    }
    if (options & lnRTSFlow) {
        RtsFlow = true;
    } else {
        RtsFlow = false;
        DriveRTS((options & lnRTSOn) != 0);
    }

    {
        TCriticalSectionLock hold(StateLock);
        ScanPos = 0;
        TimerTriggers.clear();
        DataTriggers.clear();
        StatusTriggers.clear();
        AvailThreshold = 0;
        NextTriggerSlot = 1;
        NotifyPos = 0;
        FreshSinceNotify = false;
        ScanLapped = false;
        StatusHit = false;
        ModemShadow = 0;
        CurrentBaud = 115200;
    }
    {
        TCriticalSectionLock hold(DispatchLock);
        DispHead = DispTail = 0;
        ReadingInNotify = false;
        InputDiscarded = false;
    }
    ReadModemStatus(0xF0);

    int configured = ConfigureLine(baud, parity, dataBits, stopBits);
    if (configured != 0) {
        CloseLine();
        return configured;
    }

    RefreshLineErrors();

    {
        TCriticalSectionLock hold(StateLock);
        Tracing = false;
        TraceBuf.reset();
        TraceMax = 0;
        TraceIndex = 0;
        TraceWrapped = false;
    }
    Logging = false;
    LogLimit = 0;
    LogClock = timeGetTime();

    StartThreads();
    return 0;
}

void TKivBaseDispatcher::CloseLine()
{
    bool releasingItself, closingAlready;
    {
        TCriticalSectionLock hold(StateLock);
        releasingItself = ReleasingItself;
        closingAlready = OwnerClosing;
        OwnerClosing = !releasingItself;
    }
    // The dispatch thread's end step is closing the device already: its
    // handle may be gone or going, and only the release is left to claim.
    if (releasingItself) {
        ReleaseLine();
        return;
    }
    // A close entered again from a message served while the first one
    // waits leaves the mark to the first.
    struct TClosingGuard {
        TKivBaseDispatcher& Line;
        bool Keep;
        ~TClosingGuard()
        {
            TCriticalSectionLock hold(Line.StateLock);
            Line.OwnerClosing = Keep;
        }
    } guard{*this, closingAlready};

    if (HandleIsOpen(DeviceHandle)) {
        DeviceFlush(0);
        DeviceFlush(1);
        if (Notifying) {
            // A handler asked for the close. The dispatch thread may be the
            // caller, or be waiting for the caller: it closes the device
            // itself once the notification has returned.
            ClosePending = true;
            StopRequested = true;
            return;
        }
        DeviceClose();
    }
    if (Notifying)
        ClosePending = true;
    else
        ReleaseLine();
}

bool TKivBaseDispatcher::ClaimRelease()
{
    return !ReleaseClaimed.exchange(true);
}

bool TKivBaseDispatcher::LeaveReleaseToDispatchThread()
{
    TCriticalSectionLock hold(StateLock);
    TKivDispatcherThread* dispatch = DispatchThread.load();
    if (!dispatch || !dispatch->Terminated() || TKivDispatcherThread::Current() == dispatch)
        return false;
    // Its end step clears the slot under this lock and then looks here.
    ReleaseClaimed = false;
    ReleaseHandedOver = true;
    return true;
}

void TKivBaseDispatcher::ReleaseLine()
{
    ReleaseOnThreadExit = false;
    if (!ClaimRelease()) return;
    // A dispatch thread that a close gave up on after its grace periods is
    // still in its pass, using the events and both rings: it releases them
    // itself once it has ended, and nobody here waits for it any longer.
    if (LeaveReleaseToDispatchThread()) return;
    if (Started()) DeviceClose();
    if (LeaveReleaseToDispatchThread()) return;
    // Also after a failed open or once the threads have ended: the events
    // are closed here either way.
    StopThreads();
    {
        TCriticalSectionLock hold(OutputLock);
        OutRing.reset();
        OutHead = OutTail = 0;
        OutFull = false;
    }
    // What the read thread queued after the close's input flush, before it
    // stopped, was received by this opening: a reopening must not hand it on.
    InputQueue.Clear();
    TCriticalSectionLock hold(DispatchLock);
    DispatchBuf.reset();
    DispHead = DispTail = 0;
    DispFull = false;
}

// ---- Reading and writing -------------------------------------------------------

int TKivBaseDispatcher::WriteBlock(const void* bytes, int length)
{
    if (length == 0) return 0;
    if (length < 0 || bytes == nullptr) return ecBadArgument;
    int result = 0;
    int written = 0;
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    // Held until the block is recorded, and taken before the bytes can reach
    // the device: a reply cannot go into the trace ahead of what it answers,
    // as a reader records it under StateLock.
    TCriticalSectionLock state(StateLock);
    {
        TCriticalSectionLock hold(OutputLock);
        if (!OutRing) return ecOutputBufferTooSmall;
        int room = static_cast<int>(OutSize) - RingBytesUsed();
        if (length > room) return ecOutputBufferTooSmall;
        if (RS485Mode && !NTPlatform) {
            if (UartBase == 0) return ecBaseAddressNotSet;
            DeviceEscape(escSetRTS);
        }
        int accepted = DeviceWrite(bytes, length);
        if (accepted <= 0) {
            written = -accepted;
            result = ecPutBlockFail;
            COMSTAT status;
            ErrorBits = static_cast<std::int32_t>(DeviceGetErrors(status));
        } else {
            written = accepted;
        }
        // Marked full only when the block really filled the ring: a ring
        // marked full around bytes never written would send stale memory.
        if (length == room && written == length) OutFull = true;
        OutputSentPending = true;
        // Logged before the write thread can send the bytes: the entry of
        // their reply is queued without StateLock.
        if (Logging)
            AddLogEntry(1, 2, static_cast<DWORD>(written), data, static_cast<DWORD>(written));
    }
    if (Tracing)
        for (int i = 0; i < written; ++i) AddTraceEntry('T', data[i]);
    return result;
}

int TKivBaseDispatcher::ReadBlock(void* destination, int length)
{
    if (length == 0) return 0;
    if (length < 0 || destination == nullptr) return ecBadArgument;
    auto* out = static_cast<std::uint8_t*>(destination);
    // Leading bytes an earlier handler of this notification already read
    // (and traced): received once, so traced once.
    DWORD seen = 0;
    {
        TCriticalSectionLock hold(DispatchLock);
        if (!DispatchBuf) return ecBufferIsEmpty;
        DWORD held = kivo::detail::RingHeld(DispHead, DispTail, DispFull, DispatchBufferSize);
        auto wanted = static_cast<DWORD>(length);
        if (ReadingInNotify) {
            TakenNow = std::max(TakenNow, DiscardedInNotify);
            if (wanted > held - std::min(held, TakenNow)) return ecBufferIsEmpty;
            DWORD from = kivo::detail::RingAdvance(DispTail, TakenNow, DispatchBufferSize);
            kivo::detail::RingCopyOut(DispatchBuf.get(), DispatchBufferSize, from, out, wanted);
            seen = std::min(TakenMax - std::min(TakenMax, TakenNow), wanted);
            TakenNow += wanted;
        } else {
            if (wanted > held) return ecBufferIsEmpty;
            kivo::detail::RingCopyOut(DispatchBuf.get(), DispatchBufferSize, DispTail, out, wanted);
            DispTail = kivo::detail::RingAdvance(DispTail, wanted, DispatchBufferSize);
            DispFull = false;
        }
    }
    TCriticalSectionLock hold(StateLock);
    if (Tracing)
        for (auto i = static_cast<int>(seen); i < length; ++i) AddTraceEntry('R', out[i]);
    return length;
}

int TKivBaseDispatcher::InputCount()
{
    TCriticalSectionLock hold(DispatchLock);
    if (!DispatchBuf) return 0;
    DWORD held = kivo::detail::RingHeld(DispHead, DispTail, DispFull, DispatchBufferSize);
    if (ReadingInNotify) held -= std::min(held, std::max(TakenNow, DiscardedInNotify));
    return static_cast<int>(held);
}

int TKivBaseDispatcher::OutputCount()
{
    TCriticalSectionLock hold(OutputLock);
    COMSTAT status;
    DWORD errors = DeviceGetErrors(status);
    DeviceStatus = status;
    ErrorBits.fetch_or(static_cast<std::int32_t>(errors & 0x1F));
    return static_cast<int>(status.cbOutQue);
}

int TKivBaseDispatcher::OutputRoom()
{
    return static_cast<int>(OutSize) - OutputCount();
}

int TKivBaseDispatcher::DiscardOutput()
{
    return DeviceFlush(0);
}

int TKivBaseDispatcher::DiscardInput()
{
    int result;
    {
        TCriticalSectionLock hold(DispatchLock);
        result = DeviceFlush(1);
        if (ReadingInNotify) {
            TakenMax = kivo::detail::RingHeld(DispHead, DispTail, DispFull, DispatchBufferSize);
            DiscardedInNotify = TakenMax;
        } else {
            DispTail = DispHead;
            TakenNow = 0;
        }
        DispFull = false;
        InputDiscarded = true;
        FilledSinceDiscard = false;
        DiscardedAt = DispHead;
    }
    ClearDataMatches();
    return result;
}

void TKivBaseDispatcher::RefreshLineErrors()
{
    TCriticalSectionLock hold(OutputLock);
    COMSTAT status;
    DWORD errors = DeviceGetErrors(status);
    DeviceStatus = status;
    ErrorBits.fetch_or(static_cast<std::int32_t>(errors & 0x1F));
}

// ---- Thread start and end ------------------------------------------------------

void TKivBaseDispatcher::ThreadLaunching()
{
    InterlockedIncrement(&ThreadCount);
    ThreadGate->Enter();
}

void TKivBaseDispatcher::ThreadNotLaunched()
{
    if (InterlockedDecrement(&ThreadCount) == 0) ThreadsStarted = false;
    ThreadGate->Leave();
}

void TKivBaseDispatcher::ThreadStarted()
{
    // Counted before it acknowledges, so that whoever saw the
    // acknowledgement finds it counted.
    InterlockedIncrement(&ThreadCount);
    ThreadGate->Enter();
    if (ThreadAckEvent) SetEvent(ThreadAckEvent);
}

void TKivBaseDispatcher::ThreadEnded(TKivDispatcherThread* thread, int exitCode)
{
    if (exitCode == ecDeviceWrite || exitCode == ecDeviceRead) {
        ReportLineFailure();
    } else if (exitCode < 0) {
        try {
            CheckErrorCode(Owner, exitCode);
        } catch (...) {
            DisplayException(std::current_exception());
        }
    }

    bool wasDispatch = false;
    {
        TCriticalSectionLock hold(StateLock);
        for (auto* slot : {&ReadThread, &DispatchThread, &WriteThread, &StatusThread}) {
            TKivDispatcherThread* expected = thread;
            if (thread && slot->compare_exchange_strong(expected, nullptr))
                wasDispatch = slot == &DispatchThread;
        }
        if (wasDispatch && HandleLeftToDispatch) {
            HandleLeftToDispatch = false;
            CloseDeviceHandle();
        }
    }
    const bool handedOver = wasDispatch && ReleaseHandedOver.exchange(false);
    if (wasDispatch && (ReleaseOnThreadExit || handedOver)) ReleaseLine();

    // The gate outlives this object: once the count drops, the owner may
    // destroy the dispatcher while this thread is still here.
    std::shared_ptr<kivo::detail::TThreadGate> gate = ThreadGate;
    if (InterlockedDecrement(&ThreadCount) == 0) ThreadsStarted = false;
    gate->Leave();
}

void TKivBaseDispatcher::DispatchThreadEnding(TKivDispatcherThread* thread)
{
    {
        // A close under way on another thread releases the line itself once
        // it has seen this thread go; releasing here too would race with it.
        // Decided under the lock the owner's close looks at first.
        TCriticalSectionLock hold(StateLock);
        const bool closingElsewhere = Stopping || OwnerClosing;
        ReleaseOnThreadExit = ClosePending || (StopRequested && !closingElsewhere);
        ReleasingItself = ReleaseOnThreadExit.load();
    }
    ThreadEnded(thread, 0);  // the last touch of this object
}

void TKivBaseDispatcher::ReportLineFailure()
{
    ErrorBits = -1;
    // A device thread reports on its own thread; never while another thread
    // is in the scans, so two notifications never run at once.
    if (ScanBusy.exchange(true)) return;
    if (!Notifying) {
        StatusScanLoop();
        if (StatusHit) ResetStatusHits();
    }
    ScanBusy = false;
    // A pass that ran meanwhile left its scans to the next one.
    if (ScansSkipped) TriggersChanged();
}

int TKivBaseDispatcher::CloseDeviceHandle()
{
    TCriticalSectionLock hold(StateLock);
    HANDLE device = DeviceHandle.load();
    if (!HandleIsOpen(device)) return 0;
    if (!CloseHandle(device)) return -1;
    DeviceHandle = INVALID_HANDLE_VALUE;
    return 0;
}

// ---- Direct device queries ---------------------------------------------------------

DWORD TKivBaseDispatcher::DeviceModemStatus()
{
    DWORD status = 0;
    return GetCommModemStatus(DeviceHandle, &status) ? status : 0;
}

std::uint16_t TKivBaseDispatcher::DeviceBaseAddress()
{
    return static_cast<std::uint16_t>(EscapeCommFunction(DeviceHandle, escGetBaseAddress));
}

} // namespace kivo
