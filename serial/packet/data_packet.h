#pragma once
// STAND-IN: the data packet's face as the price board program uses it: the
// framing properties its window stores, the port it listens to and the one
// event it receives. The body frames nothing: a test hands it a packet text
// with DeliverStringPacket and it raises OnStringPacket as the real packet
// would. The real component replaces this file's body entirely; the program
// must use nothing but the face. Main thread only; no locks.

#include "framework/component.h"
#include "framework/event.h"
#include "serial/port/com_port.h"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace kivo {

enum class TPacketStartCond : std::uint8_t { scString, scAnyData };
enum class TPacketEndCond : std::uint8_t { ecString, ecPacketSize };

class TPacketEndSet {
public:
    constexpr TPacketEndSet() = default;
    constexpr TPacketEndSet(std::initializer_list<TPacketEndCond> conditions)
    {
        for (TPacketEndCond c : conditions) Bits |= Bit(c);
    }
    constexpr bool Contains(TPacketEndCond c) const noexcept { return (Bits & Bit(c)) != 0; }
    friend constexpr bool operator==(TPacketEndSet, TPacketEndSet) = default;

private:
    static constexpr std::uint8_t Bit(TPacketEndCond c)
    {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(c));
    }
    std::uint8_t Bits = 0;
};

using TStringPacketNotifyEvent = TEvent<TObject*, const std::string&>;

class TKivDataPacket : public TComponent {
public:
    explicit TKivDataPacket(TComponent* owner);
    ~TKivDataPacket() override;

    bool Enabled() const noexcept { return EnabledValue; }
    void SetEnabled(bool value) { EnabledValue = value; }

    TPacketStartCond StartCond() const noexcept { return StartCondValue; }
    void SetStartCond(TPacketStartCond value) { StartCondValue = value; }
    const std::string& StartString() const noexcept { return StartStringValue; }
    void SetStartString(const std::string& value) { StartStringValue = value; }

    TPacketEndSet EndCond() const noexcept { return EndCondValue; }
    void SetEndCond(TPacketEndSet value) { EndCondValue = value; }
    const std::string& EndString() const noexcept { return EndStringValue; }
    void SetEndString(const std::string& value) { EndStringValue = value; }

    int PacketSize() const noexcept { return PacketSizeValue; }
    void SetPacketSize(int value) { PacketSizeValue = value; }
    bool IncludeStrings() const noexcept { return IncludeStringsValue; }
    void SetIncludeStrings(bool value) { IncludeStringsValue = value; }
    bool IgnoreCase() const noexcept { return IgnoreCaseValue; }
    void SetIgnoreCase(bool value) { IgnoreCaseValue = value; }
    // Ticks of 55 ms; 0 means no time-out.
    int TimeOut() const noexcept { return TimeOutValue; }
    void SetTimeOut(int value) { TimeOutValue = value; }

    TKivComPort* ComPort() const noexcept { return ComPortValue; }
    void SetComPort(TKivComPort* port);

    TStringPacketNotifyEvent OnStringPacket;

    // --- Stand-in only. ------------------------------------------------------

    // Raises OnStringPacket with data as a framed packet, when the packet is
    // armed (enabled, on an open port). An exception from the handler goes to
    // the general error handler. False when nothing was delivered.
    bool DeliverStringPacket(const std::string& data);

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    bool EnabledValue = false;
    TPacketStartCond StartCondValue = TPacketStartCond::scString;
    std::string StartStringValue;
    TPacketEndSet EndCondValue;
    std::string EndStringValue;
    int PacketSizeValue = 0;
    bool IncludeStringsValue = true;
    bool IgnoreCaseValue = true;
    int TimeOutValue = 2184;
    TKivComPort* ComPortValue = nullptr;
};

} // namespace kivo
