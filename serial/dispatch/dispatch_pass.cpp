// The dispatch thread's work: moving received bytes into the dispatch
// buffer, folding device events into the modem and line status, the status,
// data and timer scans, and delivering each notification to the handlers.
// Every scan decides under StateLock and lets go of it before any handler
// runs.

#include "serial/dispatch/base_dispatcher.h"

#include "framework/thread.h"
#include "platform/sync.h"
#include "serial/dispatch/detail/matcher.h"
#include "serial/dispatch/detail/ring.h"
#include "serial/dispatch/dispatch_thread.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

namespace kivo {

using namespace kivo::win;
using kivo::detail::DispatchBufferSize;

namespace {

constexpr DWORD evRing = 0x0100;
constexpr DWORD evRingTrailing = 0x2000;
constexpr DWORD evModemEvents = 0x2138;  // CTS, DSR, DCD, ring, ring trailing edge
constexpr DWORD evLineEvents = 0x00C0;   // break, line error
constexpr UINT NotifySendLimit = 3000;

void CallOnMainThread(const TTriggerHandlerEvent& method, UINT message, WPARAM handle,
                      LPARAM param, const std::function<bool()>& stillAttached)
{
    if (TKivDispatcherThread* thread = TKivDispatcherThread::Current())
        thread->SynchronizeTrigger(method, message, handle, param, stillAttached);
    else
        RunOnMainThread([&] {
            if (stillAttached()) method(message, handle, param);
        });
}

} // namespace

bool TKivBaseDispatcher::NotifyHandlers(UINT message, int handle, std::uint16_t data)
{
    // A handler attached while this runs is first called by the next
    // notification: an avail handler would otherwise read again bytes that
    // a handler before it has already consumed.
    std::size_t eventCount = 0;
    std::size_t procedureCount = 0;
    std::size_t windowCount = 0;
    {
        TCriticalSectionLock hold(StateLock);
        if (!NotifyWanted) return true;
        Notifying = true;
        eventCount = EventHandlers.size();
        procedureCount = ProcedureHandlers.size();
        windowCount = WindowHandlers.size();
    }
    const bool reading = message == kvTriggerAvail || message == kvTriggerData;
    {
        TCriticalSectionLock hold(DispatchLock);
        TakenMax = 0;
        DiscardedInNotify = 0;
        ReadingInNotify = reading;
    }
    const auto param = static_cast<LPARAM>((static_cast<DWORD>(Index) << 16) | data);
    const auto first = static_cast<WPARAM>(static_cast<DWORD>(handle));
    bool result = true;

    // Each handler starts reading where the tail is; after it, the tail will
    // move by the most any handler took. A close asked for by a handler ends
    // the notification there.
    auto beforeHandler = [&] {
        TCriticalSectionLock hold(DispatchLock);
        TakenNow = 0;
    };
    auto afterHandler = [&] {
        if (ClosePending) return false;
        TCriticalSectionLock hold(DispatchLock);
        TakenMax = std::max(TakenMax, TakenNow);
        return true;
    };
    // Handler exceptions go to the exception display; the dispatch thread
    // and the other handlers carry on.
    auto guarded = [](auto&& call) {
        try {
            call();
        } catch (...) {
            DisplayException(std::current_exception());
        }
    };

    bool closing = false;
    for (std::size_t i = 0; !closing; ++i) {
        TEventHandler handler;
        {
            TCriticalSectionLock hold(StateLock);
            if (i >= eventCount || i >= EventHandlers.size()) break;
            if (EventHandlers[i].Deleted) continue;
            handler = EventHandlers[i];
        }
        beforeHandler();
        guarded([&] {
            // The main thread may detach the handler, and free what it
            // calls, before it gets round to the call: asked again there.
            if (handler.OnMainThread)
                CallOnMainThread(handler.Method, message, first, param, [this, i] {
                    TCriticalSectionLock hold(StateLock);
                    return i < EventHandlers.size() && !EventHandlers[i].Deleted;
                });
            else
                handler.Method(message, first, param);
        });
        closing = !afterHandler();
    }
    for (std::size_t i = 0; !closing; ++i) {
        TTriggerHandlerProc procedure;
        {
            TCriticalSectionLock hold(StateLock);
            if (i >= procedureCount || i >= ProcedureHandlers.size()) break;
            if (ProcedureHandlers[i].Deleted) continue;
            procedure = ProcedureHandlers[i].Procedure;
        }
        beforeHandler();
        guarded([&] { procedure(message, first, param); });
        closing = !afterHandler();
    }
    bool toWindows;
    {
        TCriticalSectionLock hold(StateLock);
        toWindows = WindowHandlers.size() > 1 || PortListening;
    }
    for (std::size_t i = 0; toWindows && !closing; ++i) {
        HWND window;
        {
            TCriticalSectionLock hold(StateLock);
            if (i >= windowCount || i >= WindowHandlers.size()) break;
            if (WindowHandlers[i].Deleted) continue;
            window = WindowHandlers[i].Window;
        }
        beforeHandler();
        // A window that does not answer in time misses this notification.
        DWORD_PTR answer = 0;
        SendMessageTimeout(window, message, first, param, SMTO_BLOCK, NotifySendLimit, &answer);
        closing = !afterHandler();
    }

    {
        TCriticalSectionLock hold(DispatchLock);
        if (closing) {
            result = false;
            ReadingInNotify = false;  // the tail stays: the line is closing
        } else if (ReadingInNotify) {
            ReadingInNotify = false;
            DispTail = kivo::detail::RingAdvance(DispTail, TakenMax, DispatchBufferSize);
            if (TakenMax != 0) DispFull = false;
            if (message == kvTriggerAvail && TakenMax != static_cast<DWORD>(handle)) result = false;
        }
    }
    {
        TCriticalSectionLock hold(StateLock);
        Notifying = false;
        if (HandlerDeletesPending) RemoveDeletedHandlers();
    }
    TCriticalSectionLock hold(DispatchLock);
    TakenNow = 0;
    return result;
}

// ---- Scans --------------------------------------------------------------------

bool TKivBaseDispatcher::ScanStatusTriggers()
{
    // The output counts take OutputLock, which never nests in StateLock:
    // read them first, and only when an armed trigger asks for them.
    bool wantsOutput = false;
    {
        TCriticalSectionLock hold(StateLock);
        for (const TStatusTrigger& t : StatusTriggers)
            if (t.Armed && !t.Hit && (t.Kind == 3 || t.Kind == 4)) wantsOutput = true;
    }
    int used = 0;
    if (wantsOutput) used = OutputCount();
    const int room = static_cast<int>(OutSize) - used;

    int fired = 0;
    std::uint16_t value = 0;
    {
        TCriticalSectionLock hold(StateLock);
        for (TStatusTrigger& t : StatusTriggers) {
            if (!t.Armed || t.Hit) continue;
            bool fires = false;
            value = 0;
            switch (t.Kind) {
            case 1:
                fires = (((ModemShadow & 0xFF) ^ (t.Value & 0xFF)) & (t.Value >> 8)) != 0;
                break;
            case 2: {
                std::int32_t errors = ErrorBits.load();
                if ((t.Value & errors) != 0) {
                    fires = true;
                    t.Value = static_cast<std::uint16_t>(errors & 0xFFFF);
                }
                break;
            }
            case 3:
                if (wantsOutput && room >= static_cast<int>(t.Value)) {
                    fires = true;
                    value = static_cast<std::uint16_t>(room);
                }
                break;
            case 4:
                if (wantsOutput && used <= static_cast<int>(t.Value)) {
                    fires = true;
                    value = static_cast<std::uint16_t>(used);
                }
                break;
            case 5:
                fires = OutputSentPending.exchange(false);
                break;
            default:
                break;
            }
            if (fires) {
                t.Armed = false;
                t.Hit = true;
                StatusHit = true;
                fired = t.Handle;
                break;
            }
        }
    }
    if (fired == 0) return false;
    AddLogEntry(2, 8, static_cast<DWORD>(fired), nullptr, 0);
    return NotifyHandlers(kvTriggerStatus, fired, value);
}

void TKivBaseDispatcher::ResetStatusHits()
{
    TCriticalSectionLock hold(StateLock);
    for (TStatusTrigger& t : StatusTriggers) t.Hit = false;
    StatusHit = false;
}

// False when a close asked for during a delivery ended the loop.
bool TKivBaseDispatcher::StatusScanLoop()
{
    for (;;) {
        if (ClosePending) return false;
        if (!ScanStatusTriggers()) return true;
    }
}

bool TKivBaseDispatcher::ScanDataTriggers()
{
    DWORD head;
    bool discarded;
    DWORD discardedAt;
    bool filled;
    {
        TCriticalSectionLock hold(DispatchLock);
        if (!DispatchBuf) return false;
        head = DispHead;
        discarded = std::exchange(InputDiscarded, false);
        discardedAt = DiscardedAt;
        filled = FilledSinceDiscard;
    }
    // Only this thread writes the buffer, so its bytes up to the head can be
    // read without DispatchLock.
    const std::uint8_t* ring = DispatchBuf.get();

    bool matched = false;
    DWORD matchPos = 0;
    int longest = 0;
    DWORD threshold;
    {
        TCriticalSectionLock hold(StateLock);
        threshold = AvailThreshold;
        if (discarded) {
            // Everything from there on came in after the discard; a head
            // back at it has come round the whole buffer if anything came.
            ScanPos = discardedAt;
            ScanLapped = head == discardedAt && filled;
        }
        DWORD pos = ScanPos;
        bool lapped = std::exchange(ScanLapped, false);
        while (!DataTriggers.empty() && (pos != head || lapped)) {
            lapped = false;
            const std::uint8_t byte = ring[pos];
            for (TDataTrigger& t : DataTriggers) {
                if (t.Length == 0 || t.Matched) continue;
                if (kivo::detail::MatchByte(t, byte)) {
                    t.Matched = true;
                    matched = true;
                    longest = std::max(longest, t.Length);
                }
            }
            if (matched) {
                matchPos = pos;
                break;
            }
            pos = kivo::detail::RingAdvance(pos, 1, DispatchBufferSize);
        }
    }

    if (!matched) {
        ScanPos = head;
        if (threshold != 0 && (head != NotifyPos || FreshSinceNotify)) {
            int count = InputCount();
            if (static_cast<DWORD>(count) >= threshold) {
                AddLogEntry(2, 5, static_cast<DWORD>(count), nullptr, 0);
                bool result = NotifyHandlers(kvTriggerAvail, count, 0);
                NotifyPos = head;
                FreshSinceNotify = false;
                return result;
            }
        }
        return false;
    }

    bool result = true;
    if (threshold != 0 && matchPos != NotifyPos) {
        long before;
        {
            TCriticalSectionLock hold(DispatchLock);
            DWORD upTo = matchPos >= DispTail ? matchPos - DispTail + 1
                                               : matchPos + DispatchBufferSize - DispTail + 1;
            // A handler told of an earlier match may have read past this
            // one: then no byte before it is waiting any more.
            if (upTo > kivo::detail::RingHeld(DispHead, DispTail, DispFull, DispatchBufferSize))
                upTo = 0;
            if (ReadingInNotify) upTo -= std::min(upTo, TakenNow);
            before = static_cast<long>(upTo) - longest;
        }
        if (before >= static_cast<long>(threshold)) {
            AddLogEntry(2, 5, static_cast<DWORD>(before), nullptr, 0);
            result = NotifyHandlers(kvTriggerAvail, static_cast<int>(before), 0);
            ScanPos = NotifyPos = matchPos;
        }
    }
    // Delivered from the last registered to the first. The mark stays on the
    // record until its turn: a handler may drop a trigger that matched, and
    // a trigger made meanwhile may be handed the dropped one's handle.
    for (;;) {
        int handle = 0;
        int length = 0;
        {
            TCriticalSectionLock hold(StateLock);
            auto next = std::find_if(DataTriggers.rbegin(), DataTriggers.rend(),
                                     [](const TDataTrigger& t) { return t.Matched; });
            if (next == DataTriggers.rend()) break;
            next->Matched = false;
            if (ClosePending) continue;
            handle = next->Handle;
            length = next->Length;
        }
        AddLogEntry(2, 7, static_cast<DWORD>(handle), nullptr, 0);
        result = NotifyHandlers(kvTriggerData, handle, static_cast<std::uint16_t>(length));
    }
    ScanPos = kivo::detail::RingAdvance(matchPos, 1, DispatchBufferSize);
    return result;
}

bool TKivBaseDispatcher::ScanTimerTriggers()
{
    int fired = 0;
    {
        TCriticalSectionLock hold(StateLock);
        const DWORD now = CurrentTick();
        for (TTimerTrigger& t : TimerTriggers) {
            if (t.Active && TickTimerExpired(t.Timer, now)) {
                t.Active = false;
                fired = t.Handle;
                break;
            }
        }
    }
    if (fired == 0) return false;
    AddLogEntry(2, 6, static_cast<DWORD>(fired), nullptr, 0);
    return NotifyHandlers(kvTriggerTimer, fired, 0);
}

// ---- Moving received bytes ---------------------------------------------------------

bool TKivBaseDispatcher::FillDispatchBuffer()
{
    DWORD unread;
    {
        TCriticalSectionLock hold(DispatchLock);
        if (!DispatchBuf) return false;
        if (DispFull) {
            AddLogEntry(1, 8, 0, "Dispatch buffer full.", 21);
            return true;
        }
        unread = static_cast<DWORD>(std::max(HeadBytesUnread(), 0));
        if (unread == 0) return false;

        DWORD room;
        DWORD first;
        if (DispHead == DispTail) {
            room = DispatchBufferSize;
            first = DispatchBufferSize - DispHead;
        } else if (DispTail < DispHead) {
            room = DispTail + DispatchBufferSize - DispHead;
            first = DispatchBufferSize - DispHead;
        } else {
            room = first = DispTail - DispHead;
        }
        DWORD wanted = std::min(room, unread);
        DWORD second = wanted > first ? wanted - first : 0;

        auto readChunk = [&](DWORD count) {
            int got = DeviceRead(DispatchBuf.get() + DispHead, static_cast<int>(count));
            if (got < 0) {
                got = 0;
                DeviceQueryEvents(-1);
            }
            auto bytes = static_cast<DWORD>(got);
            AddLogEntry(1, 1, bytes, DispatchBuf.get() + DispHead, bytes);
            DispHead += bytes;
            return bytes;
        };
        DWORD got = first != 0 ? readChunk(first) : 0;
        if (got < first) second = 0;
        if (DispHead >= DispatchBufferSize) DispHead = 0;
        if (got != 0) DispFull = DispHead == DispTail;
        if (second != 0) {
            got += readChunk(second);
            DispFull = DispHead == DispTail;
        }
        if (got != 0) {
            FreshSinceNotify = true;
            FilledSinceDiscard = true;
            if (DispHead == ScanPos) ScanLapped = true;
        }
    }
    TCriticalSectionLock hold(OutputLock);
    DeviceStatus.cbInQue = unread;
    return true;
}

// ---- Passes ---------------------------------------------------------------------

void TKivBaseDispatcher::WaitForInput(DWORD milliseconds)
{
    // Bytes left queued behind a full dispatch buffer would end every wait
    // at once: after a pass that moved nothing, wait for a new push instead.
    if (PassProgressed && InputQueue.Count() > 0) return;
    // While a stream comes in, the next block usually follows within
    // microseconds of the last one taken; an idle line takes none and
    // sleeps at once.
    thread_local TSpinGauge blocks;
    std::optional<TBriefWaits> brief;
    if (InputQueue.TakenSinceLastLook()) brief.emplace(blocks);
    HANDLE waits[2] = {InputQueue.Signal(), WakeDispatchEvent};
    WaitForMultipleObjects(WakeDispatchEvent ? 2 : 1, waits, FALSE, milliseconds);
}

DWORD TKivBaseDispatcher::NextWaitMilliseconds()
{
    if (!PassProgressed || ScansSkipped) return StatusPollMilliseconds;
    DWORD wait = INFINITE;
    TCriticalSectionLock hold(StateLock);
    for (const TStatusTrigger& t : StatusTriggers)
        if (t.Armed) wait = StatusPollMilliseconds;
    // Read once, so that the tick and the milliseconds into it agree.
    const DWORD nowMs = timeGetTime();
    const DWORD nowTick = (nowMs / MillisecondsPerTick) % TickRange;
    for (const TTimerTrigger& t : TimerTriggers) {
        if (!t.Active) continue;
        DWORD span = TicksBetween(t.Timer.StartTick, t.Timer.ExpiryTick);
        DWORD elapsed = TicksBetween(t.Timer.StartTick, nowTick);
        // Due, but the last pass could not fire it: look again shortly.
        if (elapsed > span) return 1;
        // It expires once the tick after its expiry tick begins; one more
        // millisecond keeps the wake from landing just before that.
        std::uint64_t ms = std::uint64_t{span - elapsed + 1} * MillisecondsPerTick -
                           nowMs % MillisecondsPerTick + 1;
        wait = static_cast<DWORD>(std::min<std::uint64_t>({ms, wait, TimerRecheckMilliseconds}));
    }
    return wait;
}

bool TKivBaseDispatcher::ModemTriggerArmed()
{
    TCriticalSectionLock hold(StateLock);
    for (const TStatusTrigger& t : StatusTriggers)
        if (t.Armed && t.Kind == 1) return true;
    return false;
}

void TKivBaseDispatcher::DispatchPass()
{
    LastEventMask = 0;
    bool progressed = false;
    if (TIOBuffer* head = InputQueue.Peek()) {
        if (auto* status = dynamic_cast<TStatusBuffer*>(head)) {
            LastEventMask = status->Status;
            InputQueue.Pop();
            progressed = true;
        } else {
            head->InUse = false;
        }
    }
    const DWORD mask = LastEventMask;
    if (mask & (evRing | evRingTrailing)) RingSeen = true;

    // A device thread reporting its failure may hold the scans for a moment;
    // this pass then only moves data.
    const bool scanner = !ScanBusy.exchange(true);
    auto mayScan = [&] { return scanner && !Notifying; };
    bool ended = false;

    if (mask & evModemEvents) {
        UpdateModemChangeBits(mask);
        if (mayScan()) {
            ended = !StatusScanLoop();
            if (!ended && StatusHit) ResetStatusHits();
        }
    }
    if (!ended && (mask & evLineEvents)) {
        RefreshLineErrors();
        if (mayScan()) {
            ended = !StatusScanLoop();
            if (!ended && StatusHit) ResetStatusHits();
        }
    }
    if (!ended) {
        auto ringState = [this] {
            TCriticalSectionLock hold(DispatchLock);
            return std::pair{DispHead, DispFull};
        };
        auto before = ringState();
        FillDispatchBuffer();
        progressed = progressed || ringState() != before;
    }
    PassProgressed = progressed || InputQueue.Count() == 0;
    if (!ended && mayScan()) {
        ScansSkipped = false;
        // Only a modem-status trigger compares the device's lines; a ring
        // seen meanwhile stays noted until the next read of them.
        if (ModemTriggerArmed()) ReadModemStatus(0xFF);
        ended = !StatusScanLoop();
        while (!ended && ScanDataTriggers()) ended = ClosePending;
    } else if (!ended) {
        // Bytes may have moved that no scan has seen: another pass follows.
        ScansSkipped = true;
    }
    if (!ended) {
        if (StatusHit) ResetStatusHits();
        if (StatusProcessedEvent) SetEvent(StatusProcessedEvent);
    }
    if (scanner) ScanBusy = false;
}

void TKivBaseDispatcher::TimerStatusPass()
{
    if (ClosePending || Notifying) return;
    if (ScanBusy.exchange(true)) return;
    StatusHit = false;
    while (!ClosePending) {
        if (ScanStatusTriggers()) continue;
        if (!ScanTimerTriggers()) break;
    }
    if (StatusHit) ResetStatusHits();
    ScanBusy = false;
}

} // namespace kivo
