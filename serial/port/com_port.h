#pragma once
// The serial port component: it keeps one port's settings while the port is
// closed, creates and owns a dispatcher from opening until the close has
// finished, pushes every setting into it and forwards later changes and
// operations to it. It owns the hidden notification window that turns the
// dispatcher's notifications into its trigger events, and a list of other
// components (port users) that hear when the port opens, is closing and has
// closed.
//
// Everything here runs on the thread that created the component, the main
// thread; the component takes no locks of its own. The dispatcher's threads
// reach it only through messages to the notification window, whose procedure
// runs on that same thread.

#include "framework/event.h"
#include "platform/win_types.h"
#include "platform/window.h"
#include "serial/dispatch/triggers.h"
#include "serial/port/base_component.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace kivo {

class TKivBaseDispatcher;
class TKivCustomComPort;

enum class TParity : std::uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum class TDeviceLayer : std::uint8_t { dlWin32, dlWinsock };
enum class THWFlowOptions : std::uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum class TSWFlowOptions : std::uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum class TTraceLogState : std::uint8_t {
    tlOff,
    tlOn,
    tlDump,
    tlAppend,
    tlClear,
    tlPause,
    tlAppendAndContinue
};
enum class TTapiMode : std::uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum class TPortPhase : std::uint8_t { ppClosed = 0, ppClosing = 1, ppOpen = 2 };
enum class TPortEventKind : std::uint8_t { pekOpen = 0, pekClosing = 1, pekClosed = 2 };

// A set of a small enumeration, as the stored description writes sets.
template <typename TEnum>
class TSmallSet {
public:
    constexpr TSmallSet() = default;
    constexpr TSmallSet(std::initializer_list<TEnum> members)
    {
        for (TEnum m : members) Bits |= Bit(m);
    }
    constexpr bool Contains(TEnum m) const noexcept { return (Bits & Bit(m)) != 0; }
    constexpr TSmallSet With(TEnum m) const noexcept { return FromBits(Bits | Bit(m)); }
    constexpr TSmallSet Without(TEnum m) const noexcept { return FromBits(Bits & ~Bit(m)); }
    constexpr bool Empty() const noexcept { return Bits == 0; }
    constexpr std::uint8_t Mask() const noexcept { return Bits; }
    friend constexpr bool operator==(TSmallSet, TSmallSet) = default;

private:
    static constexpr std::uint8_t Bit(TEnum m)
    {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(m));
    }
    static constexpr TSmallSet FromBits(unsigned bits)
    {
        TSmallSet set;
        set.Bits = static_cast<std::uint8_t>(bits);
        return set;
    }
    std::uint8_t Bits = 0;
};

using THWFlowOptionSet = TSmallSet<THWFlowOptions>;
using TDeviceLayerSet = TSmallSet<TDeviceLayer>;

// Port users hear of open, closing and closed; the older plain form only of
// open (True) and closed (False).
using TPortEventCallback = TEvent<TKivCustomComPort*, TPortEventKind>;
using TPortOpenCallback = TEvent<TKivCustomComPort*, bool>;

// Trigger events; the first argument is the port.
using TTriggerEvent = TEvent<TObject*, win::WORD, win::WORD, win::WORD>;  // Msg, handle, Data
using TTriggerAvailEvent = TEvent<TObject*, win::WORD>;                   // Count
using TTriggerDataEvent = TEvent<TObject*, win::WORD>;                    // TriggerHandle
using TTriggerStatusEvent = TEvent<TObject*, win::WORD>;                  // TriggerHandle
using TTriggerTimerEvent = TEvent<TObject*, win::WORD>;                   // TriggerHandle
using TTriggerLineErrorEvent = TEvent<TObject*, win::WORD, bool>;         // Error, LineBreak
using TWaitCharEvent = TEvent<TObject*, char>;
// Error; Opened: the port did reopen, and the text held for it was refused.
using TReopenFailureEvent = TEvent<TObject*, std::exception_ptr, bool>;

// The component's own messages, beside the dispatcher's 0x7E01 ... 0x7E04.
inline constexpr win::UINT kvPortOpen = 0x7E08;
inline constexpr win::UINT kvPortClose = 0x7E09;
inline constexpr win::UINT kvPortClosing = 0x7E0A;

inline constexpr const char* ComWindowClassName = "kvComWindow";
inline constexpr std::size_t PassStringLimit = 255;
inline constexpr win::DWORD MaxTraceSize = 4000000;
inline constexpr win::DWORD MaxLogSize = 16000000;

// One component that wants to hear of the port's opening and closing: by
// messages to its window, or by one of the two callbacks.
struct TPortUserEntry {
    win::HWND Window = nullptr;
    TPortOpenCallback PlainCallback;
    TPortEventCallback EventCallback;
    bool EventKind = false;
    // Held by the entry the user registered, and gone with it; a copy on
    // another port (CopyFrom) only watches it, since the user deregisters
    // from the port it registered with and may then go.
    std::shared_ptr<char> Registration = std::make_shared<char>(0);
    std::weak_ptr<char> RegisteredAs = Registration;

    bool Live() const noexcept { return !RegisteredAs.expired(); }
    std::unique_ptr<TPortUserEntry> Copy() const;
};

class TKivCustomComPort : public TKivBaseComponent {
public:
    explicit TKivCustomComPort(TComponent* owner);
    ~TKivCustomComPort() override;

    // ---- Properties ----------------------------------------------------------
    TDeviceLayer DeviceLayer() const noexcept { return DeviceLayerValue; }
    void SetDeviceLayer(TDeviceLayer value);
    win::WORD ComNumber() const noexcept { return ComNumberValue; }
    void SetComNumber(win::WORD value);
    int Baud() const noexcept { return BaudValue; }
    void SetBaud(int value);
    bool PromptForPort() const noexcept { return PromptForPortValue; }
    void SetPromptForPort(bool value);
    TParity Parity() const noexcept { return ParityValue; }
    void SetParity(TParity value);
    win::WORD DataBits() const noexcept { return DataBitsValue; }
    void SetDataBits(win::WORD value);
    win::WORD StopBits() const noexcept { return StopBitsValue; }
    void SetStopBits(win::WORD value);
    win::WORD InSize() const noexcept { return InSizeValue; }
    void SetInSize(win::WORD value);
    win::WORD OutSize() const noexcept { return OutSizeValue; }
    void SetOutSize(win::WORD value);
    bool AutoOpen() const noexcept { return AutoOpenValue; }
    void SetAutoOpen(bool value);
    // True from the end of a successful opening until the close has finished,
    // and not once the device has dropped the line (a hang-up): the port is
    // then of no use until it is closed or opened again.
    bool Open() const noexcept;
    void SetOpen(bool value);
    bool DTR() const noexcept { return DTRValue; }
    void SetDTR(bool value);
    bool RTS() const noexcept { return RTSValue; }
    void SetRTS(bool value);
    THWFlowOptionSet HWFlowOptions() const noexcept { return HWFlowOptionsValue; }
    void SetHWFlowOptions(THWFlowOptionSet value);
    TSWFlowOptions SWFlowOptions() const noexcept { return SWFlowOptionsValue; }
    void SetSWFlowOptions(TSWFlowOptions value);
    char XOnChar() const noexcept { return XOnCharValue; }
    void SetXOnChar(char value);
    char XOffChar() const noexcept { return XOffCharValue; }
    void SetXOffChar(char value);
    win::WORD BufferFull() const noexcept { return BufferFullValue; }
    void SetBufferFull(win::WORD value);
    win::WORD BufferResume() const noexcept { return BufferResumeValue; }
    void SetBufferResume(win::WORD value);
    TTraceLogState Tracing() const noexcept { return TracingValue; }
    void SetTracing(TTraceLogState value);
    win::DWORD TraceSize() const noexcept { return TraceSizeValue; }
    void SetTraceSize(win::DWORD value);
    const std::string& TraceName() const noexcept { return TraceNameValue; }
    void SetTraceName(const std::string& value);
    bool TraceHex() const noexcept { return TraceHexValue; }
    void SetTraceHex(bool value) { TraceHexValue = value; }
    bool TraceAllHex() const noexcept { return TraceAllHexValue; }
    void SetTraceAllHex(bool value) { TraceAllHexValue = value; }
    TTraceLogState Logging() const noexcept { return LoggingValue; }
    void SetLogging(TTraceLogState value);
    win::DWORD LogSize() const noexcept { return LogSizeValue; }
    void SetLogSize(win::DWORD value);
    const std::string& LogName() const noexcept { return LogNameValue; }
    void SetLogName(const std::string& value);
    bool LogHex() const noexcept { return LogHexValue; }
    void SetLogHex(bool value) { LogHexValue = value; }
    bool LogAllHex() const noexcept { return LogAllHexValue; }
    void SetLogAllHex(bool value) { LogAllHexValue = value; }
    bool UseMSRShadow() const noexcept { return true; }
    virtual void SetUseMSRShadow(bool value);
    bool UseEventWord() const noexcept { return UseEventWordValue; }
    void SetUseEventWord(bool value);
    win::WORD CommNotificationLevel() const noexcept { return CommNotificationLevelValue; }
    void SetCommNotificationLevel(win::WORD value);
    TTapiMode TapiMode() const noexcept { return TapiModeValue; }
    void SetTapiMode(TTapiMode value) { TapiModeValue = value; }
    bool RS485Mode() const noexcept { return RS485ModeValue; }
    void SetRS485Mode(bool value);
    win::WORD AvailThreshold() const noexcept { return AvailThresholdValue; }
    void SetAvailThreshold(win::WORD value);
    std::uint8_t ThreadPriorityBoost() const noexcept { return ThreadPriorityBoostValue; }
    void SetThreadPriorityBoost(std::uint8_t value);
    win::WORD TapiDeviceId() const noexcept { return TapiDeviceIdValue; }
    void SetTapiDeviceId(win::WORD value) { TapiDeviceIdValue = value; }

    // ---- Events --------------------------------------------------------------
    TNotifyEvent OnPortOpen;
    TNotifyEvent OnPortClose;
    TWaitCharEvent OnWaitChar;
    // A reopen asked for while a close waited for a delivery runs once that
    // close has finished, when whoever asked has long returned: its failure,
    // or that of the text PutText held for it, comes here. Unassigned, it
    // goes to the general error handler. Either way the held text is gone.
    TReopenFailureEvent OnReopenFailure;

    const TTriggerEvent& OnTrigger() const noexcept { return OnTriggerValue; }
    void SetOnTrigger(const TTriggerEvent& value);
    const TTriggerAvailEvent& OnTriggerAvail() const noexcept { return OnTriggerAvailValue; }
    void SetOnTriggerAvail(const TTriggerAvailEvent& value);
    const TTriggerDataEvent& OnTriggerData() const noexcept { return OnTriggerDataValue; }
    void SetOnTriggerData(const TTriggerDataEvent& value);
    const TTriggerStatusEvent& OnTriggerStatus() const noexcept { return OnTriggerStatusValue; }
    void SetOnTriggerStatus(const TTriggerStatusEvent& value);
    const TTriggerTimerEvent& OnTriggerTimer() const noexcept { return OnTriggerTimerValue; }
    void SetOnTriggerTimer(const TTriggerTimerEvent& value);
    const TTriggerLineErrorEvent& OnTriggerLineError() const noexcept
    {
        return OnTriggerLineErrorValue;
    }
    void SetOnTriggerLineError(const TTriggerLineErrorEvent& value);
    const TNotifyEvent& OnTriggerModemStatus() const noexcept { return OnTriggerModemStatusValue; }
    void SetOnTriggerModemStatus(const TNotifyEvent& value);
    const TNotifyEvent& OnTriggerOutbuffFree() const noexcept { return OnTriggerOutbuffFreeValue; }
    void SetOnTriggerOutbuffFree(const TNotifyEvent& value);
    const TNotifyEvent& OnTriggerOutbuffUsed() const noexcept { return OnTriggerOutbuffUsedValue; }
    void SetOnTriggerOutbuffUsed(const TNotifyEvent& value);
    const TNotifyEvent& OnTriggerOutSent() const noexcept { return OnTriggerOutSentValue; }
    void SetOnTriggerOutSent(const TNotifyEvent& value);

    // ---- Further state -------------------------------------------------------
    TPortPhase PortPhase() const noexcept { return Phase; }
    bool ReapplyAll() const noexcept { return ReapplyAllValue; }
    win::HWND NotifyWindow() const noexcept { return NotifyWindowValue; }
    TDeviceLayerSet AllowedDeviceLayers() const noexcept { return AllowedLayers; }
    // Copies whose registration has ended are not counted.
    std::size_t PortUserCount() const noexcept;

    // ---- Operations ------------------------------------------------------------
    // The dispatcher, opening a closed port first when AutoOpen allows it;
    // nullptr when the port is still not open, or once its close has been
    // announced and only waits to finish.
    TKivBaseDispatcher* ActiveDispatcher();
    // As ActiveDispatcher; ECommNotOpen instead of nullptr.
    TKivBaseDispatcher& RequireDispatcher();

    // Queues every byte of text in one piece, or raises and queues nothing.
    void PutText(const std::string& text);
    int NewTimerTrigger();
    void ArmTimerTrigger(win::WORD handle, int ticks, bool activate);
    win::WORD LastLineError();
    bool BreakReceived();

    void RegisterPortUser(const TPortEventCallback& callback);
    // Removes every entry whose callback has the same code part; also while
    // the destructor closes the port, whose users hear of the close.
    void DeregisterPortUser(const TPortEventCallback& callback);
    // Expires as the port's own destructor ends: a user that outlives it can
    // tell whether it may still deregister.
    std::weak_ptr<char> LifeToken() const { return Lifetime; }

    // Copies another port's settings and users; anything else is ignored.
    virtual void CopyFrom(const TComponent* source);

    void InitTrace(win::DWORD size);
    void DumpTrace(const std::string& name, bool inHex);
    void AppendTrace(const std::string& name, bool inHex, TTraceLogState newState);
    void ClearTrace();
    void AbortTrace();
    void ResumeTrace();
    void PauseTrace();
    void InitLog(win::DWORD size);
    void DumpLog(const std::string& name, bool inHex);
    void AppendLog(const std::string& name, bool inHex, TTraceLogState newState);
    void ClearLog();
    void AbortLog();
    void ResumeLog();
    void PauseLog();

    // ---- Overridable steps -------------------------------------------------------
    virtual std::unique_ptr<TKivBaseDispatcher> CreateDispatcher();
    virtual void DeviceLayerChanged() {}
    virtual int InitializeDevice();
    virtual void SetNotificationWindow(bool create);
    virtual void ValidateComNumber();
    virtual void FireTrigger(win::WORD msg, win::WORD triggerHandle, win::WORD data);
    virtual void FireTriggerAvail(win::WORD count);
    virtual void FireTriggerData(win::WORD triggerHandle);
    virtual void FireTriggerStatus(win::WORD triggerHandle);
    virtual void FireTriggerTimer(win::WORD triggerHandle);
    virtual void UpdateHandlerFlags();
    virtual void FireTriggerLineError(win::WORD error, bool lineBreak);
    virtual void FireTriggerModemStatus();
    virtual void FireTriggerOutbuffFree();
    virtual void FireTriggerOutbuffUsed();
    virtual void FireTriggerOutSent();
    virtual void FireWaitChar(char value);
    virtual void ClosePort();
    virtual void ServiceDispatcher();
    virtual void OpenPort();
    virtual void NotifyPortOpen();
    virtual void NotifyPortClose();
    virtual void NotifyPortClosing();

protected:
    void Loaded() override;

    // For subclasses that accept other device layers.
    void SetAllowedDeviceLayers(TDeviceLayerSet layers) { AllowedLayers = layers; }

private:
    friend win::LRESULT ComWindowProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM);

    void HandleNotification(win::UINT message, win::WPARAM wParam, win::LPARAM lParam);
    void FireStatusKind(win::WORD triggerHandle);
    void FinishClose();
    void FinishDeferredClose();
    // Queues what PutText held while a close waited to reopen the port.
    void PutHeldText();
    void DiscardDispatcher();
    void SendToUser(const TPortUserEntry& entry, win::UINT message, TPortEventKind kind,
                    bool opening);
    bool IsPortUser(const TPortUserEntry* entry) const;
    void DropEndedCopies();
    bool AnyTriggerEventAssigned() const;
    int Check(int code) const;
    // The device dropped the line while the port was open: the threads have
    // ended by themselves and released it.
    bool LineGone() const noexcept;
    // The dispatcher, for calls that need a working line; ECommNotOpen once
    // the line has gone.
    TKivBaseDispatcher& LiveDispatcher();
    void ApplyTraceState(TTraceLogState value);
    void ApplyLogState(TTraceLogState value);

    TDeviceLayer DeviceLayerValue = TDeviceLayer::dlWin32;
    win::WORD ComNumberValue = 0;
    int BaudValue = 19200;
    bool PromptForPortValue = true;
    TParity ParityValue = TParity::pNone;
    win::WORD DataBitsValue = 8;
    win::WORD StopBitsValue = 1;
    win::WORD InSizeValue = 4096;
    win::WORD OutSizeValue = 4096;
    bool AutoOpenValue = true;
    bool OpenValue = false;
    bool DTRValue = true;
    bool RTSValue = true;
    THWFlowOptionSet HWFlowOptionsValue;
    TSWFlowOptions SWFlowOptionsValue = TSWFlowOptions::swfNone;
    char XOnCharValue = 17;
    char XOffCharValue = 19;
    win::WORD BufferFullValue = 0;
    win::WORD BufferResumeValue = 0;
    TTraceLogState TracingValue = TTraceLogState::tlOff;
    win::DWORD TraceSizeValue = 10000;
    std::string TraceNameValue = "KIVO.TRC";
    bool TraceHexValue = true;
    bool TraceAllHexValue = false;
    TTraceLogState LoggingValue = TTraceLogState::tlOff;
    win::DWORD LogSizeValue = 10000;
    std::string LogNameValue = "KIVO.LOG";
    bool LogHexValue = true;
    bool LogAllHexValue = false;
    bool UseEventWordValue = true;
    win::WORD CommNotificationLevelValue = 10;
    TTapiMode TapiModeValue = TTapiMode::tmAuto;
    bool RS485ModeValue = false;
    win::WORD AvailThresholdValue = 1;
    std::uint8_t ThreadPriorityBoostValue = 0;
    win::WORD TapiDeviceIdValue = 0;

    TTriggerEvent OnTriggerValue;
    TTriggerAvailEvent OnTriggerAvailValue;
    TTriggerDataEvent OnTriggerDataValue;
    TTriggerStatusEvent OnTriggerStatusValue;
    TTriggerTimerEvent OnTriggerTimerValue;
    TTriggerLineErrorEvent OnTriggerLineErrorValue;
    TNotifyEvent OnTriggerModemStatusValue;
    TNotifyEvent OnTriggerOutbuffFreeValue;
    TNotifyEvent OnTriggerOutbuffUsedValue;
    TNotifyEvent OnTriggerOutSentValue;

    TPortPhase Phase = TPortPhase::ppClosed;
    bool ReapplyAllValue = false;
    bool ReopenPending = false;
    std::string TextAfterReopen;
    bool OpenAfterLoad = false;
    bool RestoreTriggersOnOpen = false;
    bool InClosePort = false;
    bool OpeningUnderWay = false;  // OpenPort has not yet reached ppOpen
    // Set while ClosePort runs: where a destruction from inside it leaves the
    // dispatcher.
    std::unique_ptr<TKivBaseDispatcher>* CloseKeeper = nullptr;
    TTriggerSet SavedTriggers;
    std::vector<std::unique_ptr<TPortUserEntry>> PortUsers;
    win::HWND NotifyWindowValue = nullptr;
    TDeviceLayerSet AllowedLayers{TDeviceLayer::dlWin32};
    std::unique_ptr<TKivBaseDispatcher> Dispatcher;
    // Gone with the port: whoever raised an event can tell afterwards
    // whether a handler destroyed the port.
    std::shared_ptr<char> Lifetime = std::make_shared<char>(0);
};

// Publishes the properties; adds no behaviour.
class TKivComPort : public TKivCustomComPort {
public:
    explicit TKivComPort(TComponent* owner) : TKivCustomComPort(owner) {}
};

// The first port among the components owned by component, searching owned
// components that are not ports the same way; nullptr when there is none.
TKivCustomComPort* FindComPort(const TComponent* component);

} // namespace kivo
