// The packet manager of a port and the process's list of managers: hooking
// the dispatcher, collecting announced bytes, offering them to the packets,
// removing delivered bytes, busy spans and the deferred self-release.

#include "serial/packet/packet_manager.h"

#include "framework/application.h"
#include "serial/dispatch/base_dispatcher.h"
#include "serial/errors/error_check.h"
#include "serial/errors/error_codes.h"
#include "serial/packet/data_packet.h"

#include <algorithm>
#include <cstring>

namespace kivo {

using namespace kivo::win;
using detail::TPacketLockHold;

// ---- The list ------------------------------------------------------------------

TKivDataPacketManagerList& PacketManagers()
{
    static TKivDataPacketManagerList list;
    return list;
}

TKivDataPacketManagerList::~TKivDataPacketManagerList()
{
    while (!Managers.empty()) {
        TKivDataPacketManager* manager = Managers.back();
        Managers.pop_back();
        manager->List = nullptr;
        {
            // The port, and the dispatcher with it, may be gone already.
            TPacketLockHold hold(manager->Lock());
            manager->PortValue = nullptr;
            manager->HookedDispatcher = nullptr;
        }
        delete manager;
    }
}

TKivDataPacketManager* TKivDataPacketManagerList::FindManager(const TKivCustomComPort* port) const
{
    if (!port) return nullptr;
    // One kept for a take-over on a port that died without telling it is
    // nobody's: a new port may be made at the same address.
    for (TKivDataPacketManager* manager : Managers)
        if (manager->PortValue == port && !manager->PortAlive.expired()) return manager;
    return nullptr;
}

void TKivDataPacketManagerList::Add(TKivDataPacketManager* manager)
{
    Managers.push_back(manager);
    manager->List = this;
}

void TKivDataPacketManagerList::Remove(TKivDataPacketManager* manager)
{
    std::erase(Managers, manager);
    manager->List = nullptr;
}

// ---- Creation and destruction --------------------------------------------------

TKivDataPacketManager::TKivDataPacketManager(TKivCustomComPort* port)
    : Link(std::make_shared<detail::TManagerLink>()), PortValue(port), PortAlive(port->LifeToken())
{
    Link->Manager = this;
    // A copy of this handler may still be on its way to a call after we are
    // gone; the link it holds tells it so.
    TriggerEvent = TTriggerHandlerEvent::FromFunction(
        [link = Link](UINT message, WPARAM first, LPARAM second) {
            TPacketLockHold hold(link->Lock);
            if (link->Manager) link->Manager->TriggerHandler(message, first, second);
        });
    PortEvent = TPortEventCallback::FromFunction(
        [this](TKivCustomComPort* from, TPortEventKind kind) { PortStateChanged(from, kind); });
    ReleaseWindow = CreateMessageWindow(
        [this](UINT message, WPARAM, LPARAM) { return ReleaseProcedure(message); });

    TPacketLockHold hold(Link->Lock);
    PortValue->RegisterPortUser(PortEvent);
    PacketManagers().Add(this);
    try {
        if (PortValue->Open() && !PortValue->Loading() && !PortValue->Designing()) SetHooked(true);
    } catch (...) {
        // No half-made manager stays behind in the port or the list.
        PacketManagers().Remove(this);
        LetGoOfPort();
        Link->Manager = nullptr;
        DestroyWindow(ReleaseWindow);
        throw;
    }
    HookOnLoad = !PortValue->Designing() && !Hooked && PortValue->Open();
}

TKivDataPacketManager::~TKivDataPacketManager()
{
    {
        TPacketLockHold hold(Link->Lock);
        Destroying = true;
        if (List) List->Remove(this);
        SetHooked(false);
        LetGoOfPort();
        for (TKivDataPacket* packet : Packets) packet->ManagerValue = nullptr;
        Packets.clear();
        Collector = nullptr;
        Collected.reset();
        CollectedCount = CollectedCapacity = 0;
        Link->Manager = nullptr;
    }
    if (ReleaseWindow) DestroyWindow(ReleaseWindow);
}

LRESULT TKivDataPacketManager::ReleaseProcedure(UINT message)
{
    if (message == WM_QUERYENDSESSION) return 1;
    if (message != kvReleaseManager) return 0;
    {
        TPacketLockHold hold(Link->Lock);
        // A delivery is under way: the end of Busy posts this again, so the
        // queue does not spin on it meanwhile.
        if (Busy) {
            ReleaseRequested = true;
            return 0;
        }
        // A packet took over since the delivery that emptied the list.
        if (!Packets.empty()) return 0;
    }
    delete this;  // which unhooks and lets go of the port
    return 0;
}

// ---- Packets -------------------------------------------------------------------

void TKivDataPacketManager::Attach(TKivDataPacket* packet)
{
    TPacketLockHold hold(Link->Lock);
    Packets.push_back(packet);
    packet->ManagerValue = this;
    ReleaseWhenIdle = false;
}

void TKivDataPacketManager::Detach(TKivDataPacket* packet)
{
    TPacketLockHold hold(Link->Lock);
    std::erase(Packets, packet);
    if (packet->ManagerValue == this) packet->ManagerValue = nullptr;
    if (Delivering == packet) Delivering = nullptr;
    if (Collector == packet) Collector = nullptr;
    if (!Packets.empty() || Destroying) return;
    // A handler that puts a new packet in place of the one being delivered
    // finds this manager on the port, with the bytes behind the delivered
    // ones, which a new manager would never see.
    if (Busy && HandlerInstalled) {
        ReleaseWhenIdle = true;
        return;
    }
    // Let go of the dispatcher and the port now, while both are known, so
    // neither keeps calling a manager that is about to go; the memory goes
    // once the current call chain has returned.
    SetHooked(false);
    LetGoOfPort();
    PostMessage(ReleaseWindow, kvReleaseManager, 0, 0);
}

void TKivDataPacketManager::LetGoOfPort()
{
    if (PortValue && !PortAlive.expired()) PortValue->DeregisterPortUser(PortEvent);
    PortValue = nullptr;
    PortAlive.reset();
}

TPacketManagerState TKivDataPacketManager::State() const
{
    TPacketLockHold hold(Link->Lock);
    TPacketManagerState state;
    state.Port = PortValue;
    state.Hooked = Hooked;
    state.HandlerInstalled = HandlerInstalled;
    state.Busy = Busy;
    state.CollectedCount = CollectedCount;
    state.CollectedCapacity = CollectedCapacity;
    state.Collector = Collector;
    state.TimerHandle = TimerHandle;
    state.PacketCount = Packets.size();
    return state;
}

void TKivDataPacketManager::GuardedArm(TKivDataPacket* packet)
{
    try {
        packet->Arm();
    } catch (...) {
        packet->EnabledValue = false;
        Application().HandleCurrentException();
    }
}

void TKivDataPacketManager::GuardedDisarm(TKivDataPacket* packet)
{
    try {
        packet->Disarm();
    } catch (...) {
        Application().HandleCurrentException();
    }
}

// ---- Hooking the port ----------------------------------------------------------

void TKivDataPacketManager::SetHooked(bool on)
{
    if (on == Hooked) return;
    if (on) {
        Hook();
        Hooked = HandlerInstalled;
    } else {
        Unhook();
        Hooked = false;
    }
}

void TKivDataPacketManager::Hook()
{
    // Only an open port: asking a closed one for its dispatcher would open it.
    if (HandlerInstalled || !PortValue || !PortValue->Open()) return;
    TKivBaseDispatcher* dispatcher = PortValue->ActiveDispatcher();
    if (!dispatcher) return;
    dispatcher->AttachEventHandler(TriggerEvent);
    HandlerInstalled = true;
    HookedDispatcher = dispatcher;
    int handle = dispatcher->NewTimerTrigger();
    if (handle < 0) {
        dispatcher->DetachEventHandler(TriggerEvent);
        HandlerInstalled = false;
        HookedDispatcher = nullptr;
        CheckErrorCode(PortValue, handle);
        return;
    }
    TimerHandle = handle;
}

void TKivDataPacketManager::Unhook()
{
    if (!HandlerInstalled) return;
    // A port destroyed by a user told of its close before us never told us:
    // its dispatcher went with it.
    if (PortAlive.expired()) HookedDispatcher = nullptr;
    if (HookedDispatcher) {
        if (TimerHandle != 0) HookedDispatcher->DropTrigger(TimerHandle);
        TimerHandle = 0;
        HookedDispatcher->DetachEventHandler(TriggerEvent);
    }
    TimerHandle = 0;
    HandlerInstalled = false;
    HookedDispatcher = nullptr;
    Collector = nullptr;
    CollectionTimed = false;
    ++Generation;
    // A delivery waiting for its events still points its handlers into the
    // buffer: only forget its bytes then; a pass once hooked again, or the
    // manager's end, frees it.
    if (Busy) {
        CollectedCount = 0;
        ScanIndex = -1;
    } else {
        FreeCollected();
    }
}

void TKivDataPacketManager::Loaded()
{
    TPacketLockHold hold(Link->Lock);
    if (!HookOnLoad) return;
    HookOnLoad = false;
    SetHooked(true);
}

void TKivDataPacketManager::PortStateChanged(TKivCustomComPort* port, TPortEventKind kind)
{
    TPacketLockHold hold(Link->Lock);
    if (port != PortValue) return;
    if (kind == TPortEventKind::pekOpen) {
        SetHooked(true);
        for (std::size_t i = 0; i < Packets.size(); ++i)
            if (Packets[i]->Enabled()) GuardedArm(Packets[i]);
        return;
    }
    for (std::size_t i = 0; i < Packets.size(); ++i) GuardedDisarm(Packets[i]);
    SetHooked(false);
    // Kept for a delivery's bytes, which the close has dropped; the port
    // may be gone before the release message comes.
    if (ReleaseWhenIdle && Packets.empty()) LetGoOfPort();
}

// ---- The dispatch thread's side ----------------------------------------------

void TKivDataPacketManager::TriggerHandler(UINT message, WPARAM first, LPARAM)
{
    if (message == kvTriggerAvail) {
        if (!HookedDispatcher) return;
        const int announced = static_cast<int>(first);
        if (announced <= 0) return;
        GrowFor(announced);
        int read = HookedDispatcher->ReadBlock(Collected.get() + CollectedCount, announced);
        if (read <= 0) return;
        const int from = CollectedCount;
        CollectedCount += std::min(read, announced);
        ProcessData(from);
    } else if (message == kvTriggerTimer) {
        // A trigger armed again fired for an earlier collection: that expiry
        // may reach us only after the restart, and must not end the new one.
        if (TimerHandle != 0 && static_cast<int>(first) == TimerHandle && Collector &&
            CollectionTimed && HookedDispatcher &&
            !HookedDispatcher->TimerTriggerArmed(TimerHandle))
            Collector->PacketTimeout();
    }
}

void TKivDataPacketManager::GrowFor(int announced)
{
    if (CollectedCount + announced < CollectedCapacity) return;
    int capacity = CollectedCapacity + CollectStep;
    while (CollectedCount + announced > capacity) capacity += CollectStep;
    auto grown = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(capacity));
    if (CollectedCount > 0)
        std::memcpy(grown.get(), Collected.get(), static_cast<std::size_t>(CollectedCount));
    Collected = std::move(grown);
    CollectedCapacity = capacity;
}

void TKivDataPacketManager::FreeCollected()
{
    Collected.reset();
    CollectedCapacity = 0;
    CollectedCount = 0;
}

bool TKivDataPacketManager::AnyPartialStartMatch() const
{
    return std::any_of(Packets.begin(), Packets.end(), [](const TKivDataPacket* packet) {
        return packet->Enabled() && packet->State() != TPacketState::psIdle &&
               packet->PacketStart != -1;
    });
}

void TKivDataPacketManager::ProcessData(int start)
{
    if (Busy) {
        ProcessPending = true;
        PendingFrom = start;
        return;
    }
    if (CollectedCount > 0) {
        ScanIndex = std::max(start, 0);
        while (ScanIndex < CollectedCount) {
            if (Collector) {
                ScanIndex = Collector->NextEndCandidate(ScanIndex);
                if (ScanIndex >= CollectedCount) break;
                Collector->ProcessByte(ScanIndex);
            } else {
                // Indexes, not iterators: a delivery lets the application
                // thread attach or detach packets while its events run.
                for (std::size_t i = 0; i < Packets.size(); ++i) {
                    Packets[i]->ProcessByte(ScanIndex);
                    if (Collector) break;
                    if (!Collected) return;
                    if (ScanIndex < 0) break;
                }
            }
            ++ScanIndex;
        }
    }
    // Unhooked during a delivery: a handler that destroyed the port let this
    // thread go and may still read the buffer (Unhook).
    if (Collector || !HookedDispatcher) return;
    // Bytes no packet can still use are dropped as soon as they were offered.
    if (!AnyPartialStartMatch()) FreeCollected();
}

void TKivDataPacketManager::RemoveData(int start, int length)
{
    int cut = std::clamp(start + length, 0, CollectedCount);
    CollectedCount -= cut;
    ScanIndex -= cut;
    if (ScanIndex < 0) ScanIndex = -1;
    if (CollectedCount > 0)
        std::memmove(Collected.get(), Collected.get() + cut, static_cast<std::size_t>(CollectedCount));
    else
        FreeCollected();
    for (std::size_t i = 0; i < Packets.size(); ++i) Packets[i]->DataRemoved(cut);
}

void TKivDataPacketManager::SetBusy(bool on)
{
    if (on == Busy) return;
    if (on) {
        Busy = true;
        for (std::size_t i = 0; i < Packets.size(); ++i)
            if (Packets[i]->Enabled()) GuardedDisarm(Packets[i]);
        return;
    }
    Busy = false;
    for (std::size_t i = 0; i < Packets.size(); ++i)
        if (Packets[i]->Enabled()) GuardedArm(Packets[i]);
    if (ReleaseRequested || (ReleaseWhenIdle && Packets.empty())) {
        ReleaseRequested = false;
        PostMessage(ReleaseWindow, kvReleaseManager, 0, 0);
    }
    if (ProcessPending) {
        ProcessPending = false;
        if (Collected) ProcessData(PendingFrom);
    }
}

void TKivDataPacketManager::TakeOwnership(TKivDataPacket* packet, int ticks)
{
    const bool timed = ticks > 0 && TimerHandle != 0 && HookedDispatcher;
    if (timed) {
        int result = HookedDispatcher->ArmTimerTrigger(TimerHandle, ticks, true);
        if (result == ecBadTriggerHandle) {
            // Someone replaced the dispatcher's trigger set (a port that
            // restored its saved triggers): make the time-out timer again.
            int handle = HookedDispatcher->NewTimerTrigger();
            if (handle > 0) {
                TimerHandle = handle;
                result = HookedDispatcher->ArmTimerTrigger(TimerHandle, ticks, true);
            } else {
                result = handle;
            }
        }
        CheckErrorCode(packet, result);
    }
    CollectionTimed = timed;
    Collector = packet;
    packet->OwnsTimer = true;
    for (std::size_t i = 0; i < Packets.size(); ++i) {
        TKivDataPacket* other = Packets[i];
        if (other == packet || !other->Enabled() || !other->ComPort()) continue;
        GuardedDisarm(other);
        GuardedArm(other);
    }
}

void TKivDataPacketManager::ReleaseOwnership(TKivDataPacket* packet)
{
    if (Collector == packet) {
        Collector = nullptr;
        CollectionTimed = false;
    }
    packet->OwnsTimer = false;
    if (TimerHandle != 0 && HookedDispatcher)
        CheckErrorCode(packet, HookedDispatcher->ArmTimerTrigger(TimerHandle, 0, false));
}

} // namespace kivo
