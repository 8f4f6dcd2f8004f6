#pragma once
// The packet manager of one serial port: every data packet attached to the
// port shares its received bytes through it. It registers itself with the
// port as a port user, hooks the port's dispatcher while the port is open (an
// event trigger handler and one timer trigger), copies every announced block
// into its collection buffer, offers the buffer position by position to its
// packets, removes the bytes of each finished packet and runs the collecting
// packet's time-out. TKivDataPacketManagerList, one per process, finds the
// manager of a port.
//
// Ownership: the list owns the managers; a manager owns its collection
// buffer and its hidden release window, never the packets or the port. A
// manager is made for the first packet attached to a port and releases
// itself by a posted message once the last one has left.
//
// Threads: creation, attaching, detaching, the port's notifications and the
// release run on the application thread; the trigger handler, the matching
// and delivery run on the dispatch thread. Both sides take the manager's lock
// (detail/packet_lock.h); a delivery lets go of it while the dispatch thread
// waits for the packet's events on the application thread.

#include "platform/win_types.h"
#include "platform/window.h"
#include "serial/dispatch/triggers.h"
#include "serial/packet/detail/packet_lock.h"
#include "serial/port/com_port.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kivo {

class TKivBaseDispatcher;
class TKivDataPacket;
class TKivDataPacketManager;
class TKivDataPacketManagerList;

// The self-release message of a manager's hidden window.
inline constexpr win::UINT kvReleaseManager = 0xB021;
// The collection buffer grows in steps of this many bytes.
inline constexpr int CollectStep = 8192;

namespace detail {
// Outlives its manager as long as a dispatch thread still holds a copy of the
// trigger handler: the handler finds Manager cleared and does nothing.
struct TManagerLink {
    TPacketLock Lock;
    TKivDataPacketManager* Manager = nullptr;
};
} // namespace detail

// What a manager holds at one instant, read under its lock.
struct TPacketManagerState {
    TKivCustomComPort* Port = nullptr;
    bool Hooked = false;
    bool HandlerInstalled = false;
    bool Busy = false;
    int CollectedCount = 0;
    int CollectedCapacity = 0;
    TKivDataPacket* Collector = nullptr;
    int TimerHandle = 0;
    std::size_t PacketCount = 0;
};

class TKivDataPacketManager {
public:
    // Registers with the port and hooks it when it is already open. The
    // application thread only.
    explicit TKivDataPacketManager(TKivCustomComPort* port);
    ~TKivDataPacketManager();

    TKivDataPacketManager(const TKivDataPacketManager&) = delete;
    TKivDataPacketManager& operator=(const TKivDataPacketManager&) = delete;

    void Attach(TKivDataPacket* packet);
    // Once the last packet has left, the manager lets go of the port at once
    // and frees itself when its posted release message is handled.
    void Detach(TKivDataPacket* packet);

    void SetHooked(bool on);
    void PortStateChanged(TKivCustomComPort* port, TPortEventKind kind);
    // From a packet's end of loading.
    void Loaded();

    TPacketManagerState State() const;
    TKivCustomComPort* Port() const noexcept { return PortValue; }
    detail::TPacketLock& Lock() const noexcept { return Link->Lock; }
    // The handle of the release window, for tests that pump it.
    win::HWND ReleaseWindowHandle() const noexcept { return ReleaseWindow; }

private:
    friend class TKivDataPacket;
    friend class TKivDataPacketManagerList;

    // ---- Dispatch thread, lock held ----
    void TriggerHandler(win::UINT message, win::WPARAM first, win::LPARAM second);
    void ProcessData(int start);
    void RemoveData(int start, int length);
    void SetBusy(bool on);
    void TakeOwnership(TKivDataPacket* packet, int ticks);
    void ReleaseOwnership(TKivDataPacket* packet);
    void GrowFor(int announced);
    void FreeCollected();
    bool AnyPartialStartMatch() const;
    // Arming or disarming one packet on the manager's behalf: a failure is
    // reported and, for an arming, leaves the packet disabled.
    static void GuardedArm(TKivDataPacket* packet);
    static void GuardedDisarm(TKivDataPacket* packet);

    // ---- Application thread ----
    void Hook();
    void Unhook();
    void LetGoOfPort();
    win::LRESULT ReleaseProcedure(win::UINT message);

    std::shared_ptr<detail::TManagerLink> Link;

    // Fields in the order the packet framing describes them.
    std::vector<TKivDataPacket*> Packets;
    TKivCustomComPort* PortValue = nullptr;
    bool HandlerInstalled = false;
    bool Hooked = false;
    int CollectedCount = 0;
    int ScanIndex = 0;
    std::unique_ptr<std::uint8_t[]> Collected;
    int CollectedCapacity = 0;
    TKivDataPacket* Collector = nullptr;
    int TimerHandle = 0;
    bool Busy = false;
    bool ProcessPending = false;
    int PendingFrom = 0;
    bool HookOnLoad = false;
    bool Destroying = false;
    win::HWND ReleaseWindow = nullptr;

    // Expires once the port's destructor has run: its users are gone then.
    std::weak_ptr<char> PortAlive;
    // The dispatcher the handler and the timer were registered with.
    TKivBaseDispatcher* HookedDispatcher = nullptr;
    // Counts unhooks, so a delivery that waited for its events can tell that
    // the bytes it would remove are gone already.
    unsigned Generation = 0;
    // The packet whose events are being raised; cleared if it leaves or is
    // switched off meanwhile.
    TKivDataPacket* Delivering = nullptr;
    // The running collection armed the timer: an expiry reaching a
    // collection without a time-out belongs to an earlier one.
    bool CollectionTimed = false;
    // The release message came while Busy: it is posted again when Busy ends.
    bool ReleaseRequested = false;
    // The last packet left during a delivery: the manager stays on its port
    // for one that takes over, and is released once Busy ends without one.
    bool ReleaseWhenIdle = false;
    TKivDataPacketManagerList* List = nullptr;
    TTriggerHandlerEvent TriggerEvent;
    TPortEventCallback PortEvent;
};

// The process's managers. Application thread only.
class TKivDataPacketManagerList {
public:
    TKivDataPacketManagerList() = default;
    // Frees every manager still held, last first, each told first that its
    // port may be gone.
    ~TKivDataPacketManagerList();

    TKivDataPacketManagerList(const TKivDataPacketManagerList&) = delete;
    TKivDataPacketManagerList& operator=(const TKivDataPacketManagerList&) = delete;

    // The first manager whose port is port, or nullptr.
    TKivDataPacketManager* FindManager(const TKivCustomComPort* port) const;
    void Add(TKivDataPacketManager* manager);
    void Remove(TKivDataPacketManager* manager);
    std::size_t Count() const noexcept { return Managers.size(); }

private:
    std::vector<TKivDataPacketManager*> Managers;
};

TKivDataPacketManagerList& PacketManagers();

} // namespace kivo
