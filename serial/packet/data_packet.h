#pragma once
// The data packet: a non-visual component that cuts framed packets out of
// the bytes its serial port receives. A packet starts at a start string (or
// at any byte) and ends at an end string, at a size, or at whichever comes
// first; each complete packet is reported through OnPacket and
// OnStringPacket, a packet whose end does not come in time through
// OnTimeout. Bytes reach it through its port's packet manager.
//
// Threads: properties are written on the application thread; matching and
// delivery run on the dispatch thread under the manager's lock, and the
// events are raised on the application thread through the dispatch thread's
// synchronised call while that thread waits, so a handler may use the user
// interface and the port. A handler's exception goes to the application's
// general error handler and the delivery carries on.

#include "framework/event.h"
#include "serial/packet/detail/pattern.h"
#include "serial/port/base_component.h"
#include "serial/port/com_port.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace kivo {

class TKivDataPacketManager;

enum class TPacketStartCond : std::uint8_t { scString, scAnyData };
enum class TPacketEndCond : std::uint8_t { ecString, ecPacketSize };
using TPacketEndSet = TSmallSet<TPacketEndCond>;

enum class TPacketState : std::uint8_t { psIdle = 0, psWaiting = 1, psCollecting = 2 };

// Data points into the manager's buffer and is good only during the call.
using TPacketNotifyEvent = TEvent<TObject*, const void*, int>;
using TStringPacketNotifyEvent = TEvent<TObject*, const std::string&>;

inline constexpr int DefaultPacketTimeOut = 2184;  // ticks of 55 ms, about 120 s

// The matching state at one instant, read under the manager's lock.
struct TPacketMatchState {
    TPacketState State = TPacketState::psIdle;
    int PacketStart = -1;
    int PacketLength = 0;
    int StartMatch = 1;
    int EndMatch = 1;
    bool StartPending = false;
    bool EnablePending = false;
    bool OwnsTimer = false;
};

class TKivDataPacket : public TKivBaseComponent {
public:
    explicit TKivDataPacket(TComponent* owner);
    ~TKivDataPacket() override;

    // ---- Published properties --------------------------------------------
    bool Enabled() const noexcept { return EnabledValue.load(); }
    // True arms the packet (raising EInvalidProperty for settings that
    // cannot frame anything, Enabled then staying False); False disarms it.
    void SetEnabled(bool value);
    bool AutoEnable() const noexcept { return AutoEnableValue; }
    void SetAutoEnable(bool value);
    TPacketStartCond StartCond() const noexcept { return StartCondValue; }
    void SetStartCond(TPacketStartCond value);
    // Disarms, stores and arms again if the packet was enabled.
    TPacketEndSet EndCond() const noexcept { return EndCondValue; }
    void SetEndCond(TPacketEndSet value);
    const std::string& StartString() const noexcept { return StartStringValue; }
    void SetStartString(const std::string& value);
    // Like EndCond.
    const std::string& EndString() const noexcept { return EndStringValue; }
    void SetEndString(const std::string& value);
    bool IgnoreCase() const noexcept { return IgnoreCaseValue; }
    void SetIgnoreCase(bool value);
    // Attaching to a port's manager does not arm the packet.
    TKivCustomComPort* ComPort() const noexcept { return ComPortValue; }
    void SetComPort(TKivCustomComPort* port);
    int PacketSize() const noexcept { return PacketSizeValue; }
    void SetPacketSize(int value);
    bool IncludeStrings() const noexcept { return IncludeStringsValue; }
    void SetIncludeStrings(bool value);
    // Ticks of 55 ms from the start of collecting; 0 means no time-out.
    int TimeOut() const noexcept { return TimeOutValue; }
    void SetTimeOut(int value);

    TPacketNotifyEvent OnPacket;
    TStringPacketNotifyEvent OnStringPacket;
    TNotifyEvent OnTimeout;

    // ---- Further state -------------------------------------------------------
    TPacketState State() const noexcept { return static_cast<TPacketState>(StateValue.load()); }
    TPacketMatchState Match() const;
    TKivDataPacketManager* Manager() const noexcept { return ManagerValue; }

protected:
    void Loaded() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class TKivDataPacketManager;

    // ---- Called with the manager's lock held ----
    void Arm();
    void Disarm();
    void ResetMatch();
    void SetState(TPacketState value);
    void ChangeEnabled(bool value);
    void ProcessByte(int position);
    void ProcessWaiting(int position, std::uint8_t byte);
    void ProcessCollecting(int position, std::uint8_t byte);
    // From position on, the first position whose byte can change anything for
    // this packet, collecting up to its end string: bytes before the end
    // string's first character pass unnoticed. position itself otherwise.
    int NextEndCandidate(int position) const;
    void DeliverPacket(bool bySize);
    void PacketTimeout();
    void DataRemoved(int cut);
    // Runs events(context, sent) on the application thread: sent through
    // the dispatcher thread's synchronised call, or directly when not called
    // on one; with the lock let go meanwhile and every exception handed to
    // the general error handler. A sent run may be let go early by the
    // destruction of the port's dispatcher (win::ReplyToSender): once a
    // handler returns, events then touch nothing of context (EventsLetGo).
    using TPacketEvents = void (*)(void* context, bool sent);
    void RaiseEvents(TKivDataPacketManager& manager, TPacketEvents events, void* context);
    static bool EventsLetGo(bool sent) noexcept;
    void Log(std::uint16_t subType, const void* data = nullptr, int length = 0) const;

    template <typename TChange>
    void Locked(TChange change);

    std::atomic<bool> EnabledValue{false};
    bool AutoEnableValue = true;
    TPacketStartCond StartCondValue = TPacketStartCond::scString;
    TPacketEndSet EndCondValue;
    std::string StartStringValue;
    std::string EndStringValue;
    bool IgnoreCaseValue = true;
    TKivCustomComPort* ComPortValue = nullptr;
    // The same port as a plain component, safe to ask about its destruction.
    TComponent* ComPortComponent = nullptr;
    int PacketSizeValue = 0;
    bool IncludeStringsValue = true;
    int TimeOutValue = DefaultPacketTimeOut;

    // Internal fields in the order the packet framing describes them.
    TKivDataPacketManager* ManagerValue = nullptr;
    std::atomic<std::uint8_t> StateValue{0};
    int PacketLength = 0;
    int PacketStart = -1;
    int StartMatch = 1;
    int EndMatch = 1;
    int EndCandidate = -1;
    int EffectiveSize = 0;
    detail::TPacketPattern StartPattern;
    detail::TPacketPattern EndPattern;
    bool StartPending = false;
    bool EnablePending = false;
    bool OwnsTimer = false;
    const bool SyncEvents = true;
    const bool DiscardOnTimeout = true;
};

} // namespace kivo
