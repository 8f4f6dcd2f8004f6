// Creating, arming, finding and dropping triggers, saving and restoring a
// trigger set, and attaching and detaching the handlers that notifications
// go to.

#include "serial/dispatch/base_dispatcher.h"

#include "serial/errors/error_codes.h"

#include <algorithm>
#include <cstring>

namespace kivo {

using namespace kivo::win;

namespace {

constexpr int tkTimer = 2;
constexpr int tkData = 3;
constexpr int tkStatus = 4;

template <typename List>
int HighestSlot(const List& list)
{
    int highest = 0;
    for (const auto& record : list) highest = std::max(highest, record.Handle / 8);
    return highest;
}

template <typename List>
auto FindByHandle(List& list, int handle)
{
    return std::find_if(list.begin(), list.end(),
                        [&](const auto& record) { return record.Handle == handle; });
}

} // namespace

// Under StateLock; 0 when every handle is taken.
int TKivBaseDispatcher::AllocateTriggerHandle()
{
    if (NextTriggerSlot < MaxTriggerSlot) return 8 * NextTriggerSlot++;
    for (int candidate = 8; candidate <= MaxTriggerSlot; candidate += 8) {
        bool taken =
            std::any_of(TimerTriggers.begin(), TimerTriggers.end(),
                        [&](const TTimerTrigger& t) { return t.Handle == candidate; }) ||
            std::any_of(StatusTriggers.begin(), StatusTriggers.end(),
                        [&](const TStatusTrigger& t) { return (t.Handle & ~7) == candidate; }) ||
            std::any_of(DataTriggers.begin(), DataTriggers.end(),
                        [&](const TDataTrigger& t) { return t.Handle == candidate; });
        if (!taken) return candidate;
    }
    return 0;
}

// Under StateLock.
bool TKivBaseDispatcher::FindTrigger(int handle, int& kind, std::size_t& index)
{
    if (handle < 2) return false;
    for (index = 0; index < TimerTriggers.size(); ++index)
        if (TimerTriggers[index].Handle == handle) return kind = tkTimer, true;
    for (index = 0; index < StatusTriggers.size(); ++index)
        if (StatusTriggers[index].Handle == handle) return kind = tkStatus, true;
    for (index = 0; index < DataTriggers.size(); ++index)
        if (DataTriggers[index].Handle == (handle & ~7)) return kind = tkData, true;
    return false;
}

void TKivBaseDispatcher::SetAvailThreshold(DWORD count)
{
    TCriticalSectionLock hold(StateLock);
    AvailThreshold = count;
    AddLogEntry(9, 16, count, nullptr, 0);
    TriggersChanged();
}

int TKivBaseDispatcher::NewTimerTrigger()
{
    TCriticalSectionLock hold(StateLock);
    int handle = AllocateTriggerHandle();
    if (handle == 0) return ecNoMoreTriggers;
    TTimerTrigger trigger;
    trigger.Handle = handle;
    TimerTriggers.push_back(trigger);
    AddLogEntry(5, 14, static_cast<DWORD>(handle), nullptr, 0);
    return handle;
}

bool TKivBaseDispatcher::TimerTriggerArmed(int handle)
{
    TCriticalSectionLock hold(StateLock);
    auto found = FindByHandle(TimerTriggers, handle);
    return found != TimerTriggers.end() && found->Active;
}

int TKivBaseDispatcher::ArmTimerTrigger(int handle, int ticks, bool activate)
{
    TCriticalSectionLock hold(StateLock);
    auto found = FindByHandle(TimerTriggers, handle);
    if (found == TimerTriggers.end()) return ecBadTriggerHandle;
    if (activate) {
        if (ticks != 0) found->Duration = static_cast<DWORD>(ticks);
        found->Timer = StartTickTimer(static_cast<LONG>(found->Duration));
        found->Active = true;
        AddLogEntry(9, 14, static_cast<DWORD>(handle), &ticks, sizeof ticks);
        TriggersChanged();
    } else {
        found->Active = false;
        AddLogEntry(9, 14, static_cast<DWORD>(handle), "Deactivated", 11);
    }
    return 0;
}

int TKivBaseDispatcher::NewDataTrigger(const void* pattern, int length, bool ignoreCase)
{
    if (pattern == nullptr || length < 1 || length > MaxPatternLength) return ecTriggerTooLong;
    TCriticalSectionLock hold(StateLock);
    int handle = AllocateTriggerHandle();
    if (handle == 0) return ecNoMoreTriggers;
    TDataTrigger trigger;
    trigger.Handle = handle;
    trigger.Length = length;
    trigger.IgnoreCase = ignoreCase;
    std::memcpy(trigger.Pattern.data(), pattern, static_cast<std::size_t>(length));
    DataTriggers.push_back(trigger);
    AddLogEntry(5, 13, static_cast<DWORD>(handle), nullptr, 0);
    return handle;
}

int TKivBaseDispatcher::NewStatusTrigger(int kind)
{
    if (kind < 1 || kind > 5) return ecBadArgument;
    TCriticalSectionLock hold(StateLock);
    int slot = AllocateTriggerHandle();
    if (slot == 0) return ecNoMoreTriggers;
    TStatusTrigger trigger;
    trigger.Handle = slot + kind;
    trigger.Kind = kind;
    StatusTriggers.push_back(trigger);
    auto kindByte = static_cast<std::uint8_t>(kind);
    AddLogEntry(5, 15, static_cast<DWORD>(trigger.Handle), &kindByte, 1);
    return trigger.Handle;
}

int TKivBaseDispatcher::ArmStatusTrigger(int handle, std::uint16_t value)
{
    TCriticalSectionLock hold(StateLock);
    auto found = FindByHandle(StatusTriggers, handle);
    if (found == StatusTriggers.end()) return ecBadTriggerHandle;
    found->Value = value;
    found->Armed = true;
    // The hit stays until the pass ends: armed again by its own handler, the
    // trigger would fire again at once, and for ever while its condition holds.
    AddLogEntry(9, 15, static_cast<DWORD>(handle), nullptr, 0);
    // Armed by a handler, it is looked at by the passes that follow the
    // notification, or by the status poll; a wake would run another pass at
    // once for every arming, as fast as the handler answers.
    if (!Notifying) TriggersChanged();
    return 0;
}

int TKivBaseDispatcher::DropTrigger(int handle)
{
    TCriticalSectionLock hold(StateLock);
    if (handle == AvailTriggerHandle) {
        AvailThreshold = 0;
        return 0;
    }
    int kind = 0;
    std::size_t index = 0;
    if (!FindTrigger(handle, kind, index)) return ecBadTriggerHandle;
    if (kind == tkTimer) {
        TimerTriggers.erase(TimerTriggers.begin() + static_cast<std::ptrdiff_t>(index));
        AddLogEntry(6, 6, static_cast<DWORD>(handle), nullptr, 0);
    } else if (kind == tkStatus) {
        auto kindByte = static_cast<std::uint8_t>(StatusTriggers[index].Kind);
        StatusTriggers.erase(StatusTriggers.begin() + static_cast<std::ptrdiff_t>(index));
        AddLogEntry(6, 15, static_cast<DWORD>(handle), &kindByte, 1);
    } else {
        DataTriggers.erase(DataTriggers.begin() + static_cast<std::ptrdiff_t>(index));
        AddLogEntry(6, 7, static_cast<DWORD>(handle), nullptr, 0);
    }
    return 0;
}

void TKivBaseDispatcher::ClearTriggerSet()
{
    TCriticalSectionLock hold(StateLock);
    AvailThreshold = 0;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
    NextTriggerSlot = 1;
}

void TKivBaseDispatcher::SaveTriggerSet(TTriggerSet& save)
{
    TCriticalSectionLock hold(StateLock);
    FreeTriggerSet(save);
    save.AvailThreshold = AvailThreshold;
    save.Timers = TimerTriggers;
    save.Data = DataTriggers;
    save.Status = StatusTriggers;
}

void TKivBaseDispatcher::RestoreTriggerSet(const TTriggerSet& save)
{
    TCriticalSectionLock hold(StateLock);
    AvailThreshold = save.AvailThreshold;
    TimerTriggers = save.Timers;
    DataTriggers = save.Data;
    StatusTriggers = save.Status;
    // A set saved from a pass that a close cut short keeps that pass's hits
    // and the marks of matches not yet delivered.
    for (TStatusTrigger& trigger : StatusTriggers)
        trigger.Hit = false;
    // The bytes of a partial match are another line's, or came before bytes
    // the saved copy never saw: the search starts afresh.
    for (TDataTrigger& trigger : DataTriggers) {
        trigger.Matched = false;
        trigger.Slots.fill(0);
    }
    // New handles go past the restored ones: a reopened line starts its
    // counter at 1 and would hand out a restored handle a second time.
    int highest = std::max({HighestSlot(TimerTriggers), HighestSlot(DataTriggers),
                            HighestSlot(StatusTriggers)});
    NextTriggerSlot = std::max(NextTriggerSlot, highest + 1);
    // A restored timer or armed status trigger is due without any input.
    TriggersChanged();
}

void TKivBaseDispatcher::FreeTriggerSet(TTriggerSet& save)
{
    save.AvailThreshold = 0;
    save.Timers.clear();
    save.Data.clear();
    save.Status.clear();
}

void TKivBaseDispatcher::ClearDataMatches()
{
    TCriticalSectionLock hold(StateLock);
    for (TDataTrigger& trigger : DataTriggers) trigger.Slots.fill(0);
}

// ---- Handlers ------------------------------------------------------------------

void TKivBaseDispatcher::AttachWindow(HWND window)
{
    TCriticalSectionLock hold(StateLock);
    WindowHandlers.push_back(TWindowHandler{window, false});
    NotifyWanted = true;
    AddLogEntry(7, 17, static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(window)), nullptr, 0);
}

// Under StateLock: marks during a notification, removes otherwise. One
// already marked is gone, and no match any more.
template <typename List, typename Match>
static bool DetachFirst(List& list, Match match, bool notifying, bool& deletesPending)
{
    auto live = [&](const auto& handler) { return !handler.Deleted && match(handler); };
    auto found = std::find_if(list.begin(), list.end(), live);
    if (found == list.end()) return false;
    if (notifying) {
        found->Deleted = true;
        deletesPending = true;
    } else {
        list.erase(found);
    }
    return true;
}

void TKivBaseDispatcher::DetachWindow(HWND window)
{
    TCriticalSectionLock hold(StateLock);
    AddLogEntry(8, 17, static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(window)), nullptr, 0);
    if (!DetachFirst(WindowHandlers, [&](const TWindowHandler& h) { return h.Window == window; },
                     Notifying, HandlerDeletesPending))
        RefreshHandlerFlags(0);
}

void TKivBaseDispatcher::AttachProcedure(TTriggerHandlerProc procedure)
{
    TCriticalSectionLock hold(StateLock);
    ProcedureHandlers.push_back(TProcedureHandler{procedure, false});
    NotifyWanted = true;
    AddLogEntry(7, 18, 0, nullptr, 0);
}

void TKivBaseDispatcher::DetachProcedure(TTriggerHandlerProc procedure)
{
    TCriticalSectionLock hold(StateLock);
    AddLogEntry(8, 18, 0, nullptr, 0);
    if (!DetachFirst(ProcedureHandlers,
                     [&](const TProcedureHandler& h) { return h.Procedure == procedure; },
                     Notifying, HandlerDeletesPending))
        RefreshHandlerFlags(0);
}

void TKivBaseDispatcher::AttachEventHandler(const TTriggerHandlerEvent& method, bool onMainThread)
{
    TCriticalSectionLock hold(StateLock);
    EventHandlers.push_back(TEventHandler{method, false, onMainThread});
    NotifyWanted = true;
    AddLogEntry(7, 19, 0, nullptr, 0);
}

void TKivBaseDispatcher::DetachEventHandler(const TTriggerHandlerEvent& method)
{
    TCriticalSectionLock hold(StateLock);
    AddLogEntry(8, 19, 0, nullptr, 0);
    if (!DetachFirst(EventHandlers, [&](const TEventHandler& h) { return h.Method == method; },
                     Notifying, HandlerDeletesPending))
        RefreshHandlerFlags(0);
}

void TKivBaseDispatcher::RefreshHandlerFlags(int kind)
{
    TCriticalSectionLock hold(StateLock);
    bool others = WindowHandlers.size() > 1 || !ProcedureHandlers.empty() || !EventHandlers.empty();
    switch (kind) {
    case 0:
        NotifyWanted = others || PortListening;
        break;
    case 1:
        PortListening = true;
        NotifyWanted = true;
        break;
    case 2:
        PortListening = false;
        NotifyWanted = others;
        break;
    default:
        break;
    }
}

// Under StateLock.
void TKivBaseDispatcher::RemoveDeletedHandlers()
{
    auto deleted = [](const auto& handler) { return handler.Deleted; };
    std::erase_if(WindowHandlers, deleted);
    std::erase_if(ProcedureHandlers, deleted);
    std::erase_if(EventHandlers, deleted);
    HandlerDeletesPending = false;
    RefreshHandlerFlags(0);
}

} // namespace kivo
