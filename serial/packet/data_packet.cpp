// The data packet: its properties, arming and disarming, the byte-by-byte
// matcher for the waiting and collecting states, delivery, the time-out and
// its entries in the dispatch log.

#include "serial/packet/data_packet.h"

#include "framework/application.h"
#include "platform/window.h"
#include "serial/dispatch/base_dispatcher.h"
#include "serial/dispatch/dispatch_thread.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"
#include "serial/packet/packet_manager.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace kivo {

using detail::TPacketLockHold;
using enum TPacketState;
using enum TPacketStartCond;
using enum TPacketEndCond;

namespace {

constexpr std::uint8_t LogTypePacket = 18;
constexpr std::uint16_t LogEnable = 242;
constexpr std::uint16_t LogDisable = 243;
constexpr std::uint16_t LogStringPacket = 244;
constexpr std::uint16_t LogSizePacket = 245;
constexpr std::uint16_t LogTimeout = 246;
constexpr std::uint16_t LogStartString = 247;
constexpr std::uint16_t LogEndString = 248;
constexpr std::uint16_t LogIdle = 249;  // + the state: Idle, Waiting, Collecting

[[noreturn]] void Invalid(int code)
{
    throw EInvalidProperty::CreateFromCode(code);
}

// The text handed to OnStringPacket lives in a string of the thread that
// raises the event, so its storage serves packet after packet. A delivery
// nested in a handler on the same thread gets a string of its own; an
// unusually long packet's storage is not kept.
void RaiseStringPacket(const TStringPacketNotifyEvent& handler, TKivDataPacket* packet,
                       const std::uint8_t* data, int size)
{
    constexpr std::size_t KeptCapacity = 64 * 1024;
    thread_local std::string reused;
    thread_local bool inUse = false;
    const char* text = reinterpret_cast<const char*>(data);
    auto length = static_cast<std::size_t>(size);
    if (inUse) {
        handler(packet, std::string(text, length));
        return;
    }
    struct TRelease {
        ~TRelease()
        {
            inUse = false;
            if (reused.capacity() > KeptCapacity) std::string().swap(reused);
        }
    } release;
    inUse = true;
    reused.assign(text, length);
    handler(packet, reused);
}

} // namespace

TKivDataPacket::TKivDataPacket(TComponent* owner) : TKivBaseComponent(owner)
{
    if (Designing()) {
        EnabledValue = true;
        SetComPort(FindComPort(owner));
    }
}

TKivDataPacket::~TKivDataPacket()
{
    BeginDestruction();
    try {
        SetComPort(nullptr);
    } catch (...) {
        Application().HandleCurrentException();
    }
}

template <typename TChange>
void TKivDataPacket::Locked(TChange change)
{
    if (!ManagerValue) {
        change();
        return;
    }
    auto link = ManagerValue->Link;
    TPacketLockHold hold(link->Lock);
    change();
}

TPacketMatchState TKivDataPacket::Match() const
{
    auto read = [this] {
        TPacketMatchState match;
        match.State = State();
        match.PacketStart = PacketStart;
        match.PacketLength = PacketLength;
        match.StartMatch = StartMatch;
        match.EndMatch = EndMatch;
        match.StartPending = StartPending;
        match.EnablePending = EnablePending;
        match.OwnsTimer = OwnsTimer;
        return match;
    };
    if (!ManagerValue) return read();
    TPacketLockHold hold(ManagerValue->Lock());
    return read();
}

// ---- Properties ---------------------------------------------------------------

void TKivDataPacket::SetEnabled(bool value)
{
    Locked([&] {
        // Switched off while its events are on their way or running: Enabled
        // already reads False, yet the request must hold. None of its events
        // not yet begun is raised, and AutoEnable does not arm it again.
        if (!value && ManagerValue && ManagerValue->Delivering == this)
            ManagerValue->Delivering = nullptr;
        ChangeEnabled(value);
    });
}

void TKivDataPacket::ChangeEnabled(bool value)
{
    if (value == EnabledValue) return;
    if (value) {
        Arm();
        EnabledValue = true;
    } else {
        EnabledValue = false;
        Disarm();
    }
}

void TKivDataPacket::SetAutoEnable(bool value)
{
    if (value == AutoEnableValue) return;
    Locked([&] { AutoEnableValue = value; });
}

void TKivDataPacket::SetStartCond(TPacketStartCond value)
{
    if (value == StartCondValue) return;
    Locked([&] { StartCondValue = value; });
}

void TKivDataPacket::SetEndCond(TPacketEndSet value)
{
    if (value == EndCondValue) return;
    Locked([&] {
        const bool was = EnabledValue;
        ChangeEnabled(false);
        EndCondValue = value;
        ChangeEnabled(was);
    });
}

void TKivDataPacket::SetStartString(const std::string& value)
{
    if (value == StartStringValue) return;
    Locked([&] { StartStringValue = value; });
}

void TKivDataPacket::SetEndString(const std::string& value)
{
    if (value == EndStringValue) return;
    Locked([&] {
        const bool was = EnabledValue;
        ChangeEnabled(false);
        EndStringValue = value;
        ChangeEnabled(was);
    });
}

void TKivDataPacket::SetIgnoreCase(bool value)
{
    if (value == IgnoreCaseValue) return;
    Locked([&] { IgnoreCaseValue = value; });
}

void TKivDataPacket::SetPacketSize(int value)
{
    if (value == PacketSizeValue) return;
    Locked([&] { PacketSizeValue = value; });
}

void TKivDataPacket::SetIncludeStrings(bool value)
{
    if (value == IncludeStringsValue) return;
    Locked([&] { IncludeStringsValue = value; });
}

void TKivDataPacket::SetTimeOut(int value)
{
    if (value == TimeOutValue) return;
    Locked([&] { TimeOutValue = value; });
}

void TKivDataPacket::SetComPort(TKivCustomComPort* port)
{
    if (port == ComPortValue) return;
    if (ComPortValue) {
        if (TKivDataPacketManager* manager = ManagerValue) {
            auto link = manager->Link;
            TPacketLockHold hold(link->Lock);
            // Idle before leaving, so no manager keeps a collector or a
            // running timer for a packet it no longer has.
            try {
                Disarm();
            } catch (...) {
                Application().HandleCurrentException();
            }
            manager->Detach(this);
        }
        // Takes both entries off, also while a port being destroyed walks
        // its list: one left there would be reached after we are gone.
        RemoveFreeNotification(ComPortComponent);
        ComPortValue = nullptr;
        ComPortComponent = nullptr;
    }
    if (!port) return;
    ComPortValue = port;
    ComPortComponent = port;
    FreeNotification(port);
    try {
        TKivDataPacketManager* manager = PacketManagers().FindManager(port);
        if (!manager) manager = new TKivDataPacketManager(port);
        manager->Attach(this);
    } catch (...) {
        RemoveFreeNotification(port);
        ComPortValue = nullptr;
        ComPortComponent = nullptr;
        throw;
    }
}

void TKivDataPacket::Notification(TComponent* component, TOperation operation)
{
    TKivBaseComponent::Notification(component, operation);
    if (operation == TOperation::opRemove) {
        if (component && component == ComPortComponent) SetComPort(nullptr);
    } else if (!ComPortValue) {
        if (auto* port = dynamic_cast<TKivCustomComPort*>(component)) SetComPort(port);
    }
}

void TKivDataPacket::Loaded()
{
    TKivBaseComponent::Loaded();
    Locked([&] {
        try {
            if (ManagerValue) ManagerValue->Loaded();
        } catch (...) {
            Application().HandleCurrentException();
        }
        if (!EnablePending) return;
        EnablePending = false;
        try {
            Arm();
        } catch (...) {
            EnabledValue = false;
            Application().HandleCurrentException();
        }
    });
}

// ---- Arming ----------------------------------------------------------------------

void TKivDataPacket::Arm()
{
    if (Designing()) return;
    if (Loading()) {
        EnablePending = true;
        return;
    }
    TKivDataPacketManager* manager = ManagerValue;
    if (!manager || !manager->Hooked) {
        ResetMatch();
        return;
    }
    if (manager->Busy) {
        EnablePending = true;
        return;
    }
    Log(LogEnable);
    const bool bySize = EndCondValue.Contains(ecPacketSize);
    const bool byString = EndCondValue.Contains(ecString);
    // Every setting is checked before anything changes, so a failed arming
    // leaves the packet idle and the other packets untouched.
    if (StartCondValue == scAnyData) {
        if (EndCondValue.Empty()) Invalid(ecNoEndCharCount);
    } else {
        Log(LogStartString, StartStringValue.data(), static_cast<int>(StartStringValue.size()));
        if (StartStringValue.empty()) Invalid(ecStartStringEmpty);
        if (bySize && static_cast<int>(StartStringValue.size()) > PacketSizeValue)
            Invalid(ecPacketTooSmall);
        StartPattern.Prepare(StartStringValue, IgnoreCaseValue);
        // A lone backslash leaves nothing to match.
        if (StartPattern.Empty()) Invalid(ecStartStringEmpty);
    }
    if (byString) {
        if (EndStringValue.empty()) Invalid(ecEmptyEndString);
        EndPattern.Prepare(EndStringValue, IgnoreCaseValue);
        if (EndPattern.Empty()) Invalid(ecEmptyEndString);
    }
    // A negative size would end every packet at its first byte.
    if (bySize && PacketSizeValue <= 0) Invalid(ecZeroSizePacket);

    EnablePending = false;
    if (StartCondValue == scAnyData) {
        if (manager->Collector && manager->Collector != this)
            StartPending = true;
        else
            SetState(psCollecting);
    } else {
        SetState(psWaiting);
    }
    if (byString) Log(LogEndString, EndStringValue.data(), static_cast<int>(EndStringValue.size()));
    ResetMatch();
}

void TKivDataPacket::Disarm()
{
    if (!EnablePending && !StartPending && State() == psIdle) return;
    EnablePending = false;
    StartPending = false;
    if (!ManagerValue) {
        StateValue = static_cast<std::uint8_t>(psIdle);
        return;
    }
    SetState(psIdle);
    Log(LogDisable);
}

void TKivDataPacket::ResetMatch()
{
    EffectiveSize = PacketSizeValue;
    StartMatch = 1;
    PacketStart = -1;
    EndMatch = 1;
    EndCandidate = -1;
}

void TKivDataPacket::SetState(TPacketState value)
{
    const TPacketState old = State();
    if (value == old) return;
    std::exception_ptr failure;
    if (value == psCollecting) {
        // Raises before anything changes when the timer cannot be armed.
        if (ManagerValue) ManagerValue->TakeOwnership(this, TimeOutValue);
    } else if (old == psCollecting && OwnsTimer && ManagerValue) {
        try {
            ManagerValue->ReleaseOwnership(this);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    StateValue = static_cast<std::uint8_t>(value);
    Log(static_cast<std::uint16_t>(LogIdle + static_cast<std::uint16_t>(value)));
    if (failure) std::rethrow_exception(failure);
}

// ---- Matching, on the dispatch thread --------------------------------------------

void TKivDataPacket::ProcessByte(int position)
{
    TKivDataPacketManager* manager = ManagerValue;
    if (!EnabledValue || !manager || position < 0 || position >= manager->CollectedCount) return;
    const std::uint8_t byte = manager->Collected[static_cast<std::size_t>(position)];
    if (State() == psIdle && StartPending) {
        SetState(psCollecting);
        StartPending = false;
    }
    switch (State()) {
    case psWaiting:
        ProcessWaiting(position, byte);
        break;
    case psCollecting:
        ProcessCollecting(position, byte);
        break;
    case psIdle:
        break;
    }
}

void TKivDataPacket::ProcessWaiting(int position, std::uint8_t byte)
{
    const int length = StartPattern.Length();
    if (StartPattern.Matches(byte, StartMatch - 1)) {
        if (PacketStart == -1) PacketStart = position;
        if (StartMatch < length) {
            ++StartMatch;
            return;
        }
        if (EndCondValue.Empty() || (EndCondValue.Contains(ecPacketSize) && length == EffectiveSize)) {
            PacketLength = position - PacketStart + 1;
            DeliverPacket(true);
        } else {
            SetState(psCollecting);
        }
        return;
    }
    if (PacketStart == -1) return;
    const int candidate =
        StartPattern.ShorterMatch(ManagerValue->Collected.get(), PacketStart + 1, position);
    if (candidate < 0) {
        PacketStart = -1;
        StartMatch = 1;
    } else {
        PacketStart = candidate;
        StartMatch = position - candidate + 2;
    }
}

void TKivDataPacket::ProcessCollecting(int position, std::uint8_t byte)
{
    if (PacketStart == -1) PacketStart = position;
    if (EndCondValue.Contains(ecPacketSize) && position - PacketStart + 1 >= EffectiveSize) {
        PacketLength = position - PacketStart + 1;
        DeliverPacket(true);
        return;
    }
    if (!EndCondValue.Contains(ecString)) return;
    if (EndPattern.Matches(byte, EndMatch - 1)) {
        if (EndMatch < EndPattern.Length()) {
            ++EndMatch;
            return;
        }
        PacketLength = position - PacketStart + 1;
        DeliverPacket(false);
        return;
    }
    if (EndMatch == 1) return;
    EndCandidate = position - EndMatch + 1;
    const int candidate =
        EndPattern.ShorterMatch(ManagerValue->Collected.get(), EndCandidate, position);
    EndMatch = candidate < 0 ? 1 : position - candidate + 2;
}

int TKivDataPacket::NextEndCandidate(int position) const
{
    const TKivDataPacketManager* manager = ManagerValue;
    if (!manager || !EnabledValue || State() != psCollecting || PacketStart == -1 ||
        EndMatch != 1 || EndPattern.Empty() || EndCondValue.Contains(ecPacketSize) ||
        !EndCondValue.Contains(ecString) || position < 0 || position >= manager->CollectedCount)
        return position;
    if (EndPattern.Mask()[0] == '1') return position;
    const auto first = static_cast<std::uint8_t>(EndPattern.Bytes()[0]);
    // Either case of a letter matches when case is ignored, by the rule of
    // the arming, as the matcher compares.
    if (EndPattern.IgnoresCase() && first >= 'A' && first <= 'Z') return position;
    const std::uint8_t* from = manager->Collected.get() + position;
    const void* found =
        std::memchr(from, first, static_cast<std::size_t>(manager->CollectedCount - position));
    if (!found) return manager->CollectedCount;
    return position + static_cast<int>(static_cast<const std::uint8_t*>(found) - from);
}

// ---- Delivery and time-out -----------------------------------------------------

void TKivDataPacket::DeliverPacket(bool bySize)
{
    TKivDataPacketManager& manager = *ManagerValue;
    manager.SetBusy(true);
    ChangeEnabled(false);
    const int start = PacketStart;
    const int removeCount = PacketLength;
    int offset = start;
    int size = PacketLength;
    if (!IncludeStringsValue) {
        if (StartCondValue == scString) {
            offset += StartPattern.Length();
            size -= StartPattern.Length();
        }
        if (!bySize) size -= EndPattern.Length();
    }
    size = std::max(size, 0);
    const std::uint8_t* data = manager.Collected.get() + offset;
    Log(LogStringPacket);
    Log(bySize ? LogSizePacket : LogStringPacket, data, size);

    const unsigned generation = manager.Generation;
    manager.Delivering = this;
    // Each handler is called through a copy: one that destroys its packet
    // must not destroy itself while it runs. The events see the delivery
    // through one pointer, which the call keeps without allocating. A close
    // of the port while they wait for their turn ends the delivery as a
    // switch-off does: no event not yet begun is raised.
    struct TDelivery {
        TKivDataPacket* Self;
        TKivDataPacketManager* Manager;
        const std::uint8_t* Data;
        int Size;
        unsigned Generation;
        bool Current() const
        {
            return Manager->Delivering == Self && Manager->Generation == Generation;
        }
    } delivery{this, &manager, data, size, generation};
    RaiseEvents(manager, [](void* context, bool sent) {
        const auto* at = static_cast<const TDelivery*>(context);
        if (!at->Current()) return;
        const TPacketNotifyEvent onPacket = at->Self->OnPacket;
        if (onPacket) {
            onPacket(at->Self, at->Data, at->Size);
            if (EventsLetGo(sent)) return;
        }
        if (!at->Current()) return;
        const TStringPacketNotifyEvent onStringPacket = at->Self->OnStringPacket;
        if (onStringPacket) RaiseStringPacket(onStringPacket, at->Self, at->Data, at->Size);
    }, &delivery);
    const bool stillHere = manager.Delivering == this;
    manager.Delivering = nullptr;
    // A port closed by a handler has dropped these bytes already.
    if (manager.Generation == generation) manager.RemoveData(start, removeCount);
    // Still Busy: the arming is deferred to the end of it.
    if (stillHere && AutoEnableValue) {
        try {
            ChangeEnabled(true);
        } catch (...) {
            Application().HandleCurrentException();
        }
    }
    manager.SetBusy(false);
}

void TKivDataPacket::PacketTimeout()
{
    TKivDataPacketManager& manager = *ManagerValue;
    manager.SetBusy(true);
    Log(LogTimeout);
    ChangeEnabled(false);
    const int start = std::max(PacketStart, 0);
    const bool discard = DiscardOnTimeout;
    const unsigned generation = manager.Generation;
    manager.Delivering = this;
    struct TExpiry {
        TKivDataPacket* Self;
        TKivDataPacketManager* Manager;
    } expiry{this, &manager};
    RaiseEvents(manager, [](void* context, bool) {
        const auto* at = static_cast<const TExpiry*>(context);
        if (at->Manager->Delivering != at->Self) return;
        const TNotifyEvent onTimeout = at->Self->OnTimeout;
        if (onTimeout) onTimeout(at->Self);
    }, &expiry);
    manager.Delivering = nullptr;
    if (discard && manager.Generation == generation)
        manager.RemoveData(start, manager.CollectedCount - start);
    manager.SetBusy(false);
}

void TKivDataPacket::RaiseEvents(TKivDataPacketManager& manager, TPacketEvents events, void* context)
{
    TKivDispatcherThread* thread = SyncEvents ? TKivDispatcherThread::Current() : nullptr;
    // The link keeps the lock alive whatever the handlers do meanwhile.
    auto link = manager.Link;
    detail::TPacketLockRelease unlocked(link->Lock);
    try {
        if (!thread) {
            events(context, false);
        } else {
            // Small enough to travel without an allocation. A handler that
            // destroys the port lets this thread go before it returns, since
            // the destruction waits for this thread (ReplyToSender).
            thread->SynchronizeMethod([events, context] {
                win::PermitEarlyReply();
                try {
                    events(context, true);
                } catch (...) {
                    Application().HandleCurrentException();
                }
            });
        }
    } catch (...) {
        Application().HandleCurrentException();
    }
}

bool TKivDataPacket::EventsLetGo(bool sent) noexcept
{
    return sent && (win::InSendMessageEx(nullptr) & win::ISMEX_REPLIED) != 0;
}

void TKivDataPacket::DataRemoved(int cut)
{
    if (EnabledValue && PacketStart != -1 && PacketStart < cut)
        TKivDataPacketManager::GuardedArm(this);
}

// ---- Dispatch log ----------------------------------------------------------------

void TKivDataPacket::Log(std::uint16_t subType, const void* data, int length) const
{
    TKivDataPacketManager* manager = ManagerValue;
    if (!manager || !manager->HookedDispatcher) return;
    if (data) {
        manager->HookedDispatcher->AddLogEntry(LogTypePacket, subType, 0, data,
                                               static_cast<win::DWORD>(std::max(length, 0)));
        return;
    }
    static constexpr char Prefix[] = "Packet:";
    constexpr std::size_t prefixLength = sizeof Prefix - 1;
    char text[prefixLength + PassStringLimit];
    const std::size_t nameLength = std::min(Name.size(), PassStringLimit);
    std::memcpy(text, Prefix, prefixLength);
    std::memcpy(text + prefixLength, Name.data(), nameLength);
    manager->HookedDispatcher->AddLogEntry(LogTypePacket, subType, 0, text,
                                           static_cast<win::DWORD>(prefixLength + nameLength));
}

} // namespace kivo
