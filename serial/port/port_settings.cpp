// The setters of the serial port component, which only store while the port
// is closed and also forward to the dispatcher while it is open; the flow
// control thresholds, the RS-485 rule and the trace and log state machines
// with their controls.

#include "framework/flag_restore.h"
#include "serial/dispatch/base_dispatcher.h"
#include "serial/errors/error_check.h"
#include "serial/errors/error_codes.h"
#include "serial/port/com_port.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>

namespace kivo {

using namespace kivo::win;

namespace {

constexpr DWORD UseEventWordBit = 4;

WORD Fraction(WORD size, double share)
{
    return static_cast<WORD>(std::lround(size * share));
}

bool Active(TTraceLogState state)
{
    return state == TTraceLogState::tlOn || state == TTraceLogState::tlPause;
}

} // namespace

// ---- Stored only, or forwarded while open ----------------------------------

void TKivCustomComPort::SetDeviceLayer(TDeviceLayer value)
{
    if (value == DeviceLayerValue) return;
    if (Phase != TPortPhase::ppClosed || !AllowedLayers.Contains(value)) return;
    DeviceLayerValue = value;
    DeviceLayerChanged();
}

void TKivCustomComPort::SetComNumber(WORD value)
{
    if (value == ComNumberValue) return;
    if (Phase != TPortPhase::ppOpen) {
        ComNumberValue = value;
        return;
    }
    Dispatcher->SaveTriggerSet(SavedTriggers);
    TTraceLogState tracing = TracingValue;
    TTraceLogState logging = LoggingValue;
    // A close that reports a failure (a trace that cannot be written) has
    // still closed the port: the change goes on, and the failure follows.
    std::exception_ptr closeError;
    // The close serves messages; one of them may destroy the port.
    const std::weak_ptr<char> alive = Lifetime;
    try {
        SetOpen(false);
    } catch (...) {
        closeError = std::current_exception();
    }
    if (alive.expired()) {
        if (closeError) std::rethrow_exception(closeError);
        return;
    }
    ComNumberValue = value;
    SetTracing(tracing);
    SetLogging(logging);
    // The reopening restores the set the close saved. Restoring it once
    // more would drop the triggers the port's users made when they heard of
    // the opening (a packet manager's time-out timer among them).
    SetOpen(true);
    if (closeError) std::rethrow_exception(closeError);
}

void TKivCustomComPort::SetPromptForPort(bool value)
{
    PromptForPortValue = value;
}

void TKivCustomComPort::SetAutoOpen(bool value)
{
    AutoOpenValue = value;
}

void TKivCustomComPort::SetTraceName(const std::string& value)
{
    TraceNameValue = value.substr(0, PassStringLimit);
}

void TKivCustomComPort::SetLogName(const std::string& value)
{
    LogNameValue = value.substr(0, PassStringLimit);
}

void TKivCustomComPort::SetUseMSRShadow(bool) {}

void TKivCustomComPort::SetCommNotificationLevel(WORD value)
{
    if (value == CommNotificationLevelValue && !ReapplyAllValue) return;
    CommNotificationLevelValue = value;
}

// ---- Line settings -------------------------------------------------------------

namespace {

template <typename T>
bool StoreLine(T& field, T value)
{
    if (field == value) return false;
    field = value;
    return true;
}

} // namespace

#define KIVO_LINE_SETTER(Name, Type, Field)                                                     \
    void TKivCustomComPort::Set##Name(Type value)                                               \
    {                                                                                           \
        if (!StoreLine(Field, value) || Phase != TPortPhase::ppOpen) return;                    \
        Check(LiveDispatcher().ConfigureLine(static_cast<DWORD>(BaudValue),                     \
                                             static_cast<int>(ParityValue), DataBitsValue,      \
                                             StopBitsValue));                                   \
    }

KIVO_LINE_SETTER(Baud, int, BaudValue)
KIVO_LINE_SETTER(Parity, TParity, ParityValue)
KIVO_LINE_SETTER(DataBits, WORD, DataBitsValue)
KIVO_LINE_SETTER(StopBits, WORD, StopBitsValue)
#undef KIVO_LINE_SETTER

void TKivCustomComPort::SetInSize(WORD value)
{
    if (!StoreLine(InSizeValue, value) || Phase != TPortPhase::ppOpen) return;
    Dispatcher->DeviceSetQueues(InSizeValue, OutSizeValue);
}

void TKivCustomComPort::SetOutSize(WORD value)
{
    if (!StoreLine(OutSizeValue, value) || Phase != TPortPhase::ppOpen) return;
    Dispatcher->DeviceSetQueues(InSizeValue, OutSizeValue);
}

// ---- Control lines ----------------------------------------------------------------

void TKivCustomComPort::SetDTR(bool value)
{
    if (value == DTRValue && !ReapplyAllValue) return;
    // 1: the line is under flow control and keeps its level.
    if (Phase == TPortPhase::ppOpen && Check(LiveDispatcher().DriveDTR(value)) != 0) return;
    DTRValue = value;
}

void TKivCustomComPort::SetRTS(bool value)
{
    if (value == RTSValue && !ReapplyAllValue) return;
    if (Phase == TPortPhase::ppOpen && Check(LiveDispatcher().DriveRTS(value)) != 0) return;
    RTSValue = value;
}

// ---- Flow control --------------------------------------------------------------------

void TKivCustomComPort::SetHWFlowOptions(THWFlowOptionSet value)
{
    using enum THWFlowOptions;
    if (value == HWFlowOptionsValue && !ReapplyAllValue) return;
    // The set's bits are the dispatcher's option bits: DTR 1, RTS 2, DSR 4, CTS 8.
    int mask = value.Mask();
    if (mask != 0) {
        if (BufferFullValue == 0 || BufferFullValue > InSizeValue)
            BufferFullValue = Fraction(InSizeValue, 0.9);
        if (BufferResumeValue == 0 || BufferResumeValue > BufferFullValue)
            BufferResumeValue = Fraction(InSizeValue, 0.1);
    }
    if (Phase == TPortPhase::ppOpen)
        Check(LiveDispatcher().SetHardwareFlow(BufferFullValue, BufferResumeValue, mask));
    HWFlowOptionsValue = value;
    if (value.Contains(hwfUseRTS) || value.Contains(hwfRequireCTS)) SetRS485Mode(false);
}

void TKivCustomComPort::SetSWFlowOptions(TSWFlowOptions value)
{
    using enum TSWFlowOptions;
    if (value == SWFlowOptionsValue && !ReapplyAllValue) return;
    int mode = 0;
    switch (value) {
    case swfNone:
        mode = 0;
        break;
    case swfReceive:
        mode = sfReceive;
        break;
    case swfTransmit:
        mode = sfTransmit;
        break;
    case swfBoth:
        mode = sfReceive | sfTransmit;
        break;
    }
    if (mode != 0) {
        if (BufferFullValue == 0 || BufferFullValue > InSizeValue)
            BufferFullValue = Fraction(InSizeValue, 0.75);
        if (BufferResumeValue == 0 || BufferResumeValue > BufferFullValue)
            BufferResumeValue = Fraction(InSizeValue, 0.25);
    }
    if (Phase == TPortPhase::ppOpen) {
        TKivBaseDispatcher& line = LiveDispatcher();
        // Refused before the clear, not after it: a refusal there would
        // leave the line without the flow the property still names, or
        // with the standard characters' flow when the port's own failed.
        // The dispatcher's threshold rule, and the device's for XON/XOFF.
        if (mode != 0) {
            if (BufferResumeValue > BufferFullValue || BufferFullValue > line.InSize)
                Check(ecBadArgument);
            if (XOnCharValue == XOffCharValue) Check(-static_cast<int>(ERROR_INVALID_PARAMETER));
        }
        // The dispatcher only ever sets the XON/XOFF bits; without clearing
        // first, going from both sides to one would leave the other side on.
        Check(line.ClearSoftwareFlow());
        if (mode != 0) {
            Check(line.SetSoftwareFlow(BufferFullValue, BufferResumeValue, mode));
            // The dispatcher writes the standard XON and XOFF with the flow;
            // the line must go on using the port's own.
            if (XOnCharValue != 0x11 || XOffCharValue != 0x13)
                Check(line.SetXonXoffChars(XOnCharValue, XOffCharValue));
        }
    }
    SWFlowOptionsValue = value;
}

void TKivCustomComPort::SetXOnChar(char value)
{
    if (value == XOnCharValue && !ReapplyAllValue) return;
    XOnCharValue = value;
    if (Phase == TPortPhase::ppOpen)
        Check(LiveDispatcher().SetXonXoffChars(XOnCharValue, XOffCharValue));
}

void TKivCustomComPort::SetXOffChar(char value)
{
    if (value == XOffCharValue && !ReapplyAllValue) return;
    XOffCharValue = value;
    if (Phase == TPortPhase::ppOpen)
        Check(LiveDispatcher().SetXonXoffChars(XOnCharValue, XOffCharValue));
}

void TKivCustomComPort::SetBufferFull(WORD value)
{
    if (value == BufferFullValue && !ReapplyAllValue) return;
    // A stop level above the input buffer could never be reached; the
    // dispatcher would refuse it too.
    if (value > InSizeValue && !Loading()) Check(ecBadArgument);
    BufferFullValue = value;
    TFlagRestore reapply(ReapplyAllValue, true);
    SetHWFlowOptions(HWFlowOptionsValue);
    SetSWFlowOptions(SWFlowOptionsValue);
}

void TKivCustomComPort::SetBufferResume(WORD value)
{
    if (value == BufferResumeValue && !ReapplyAllValue) return;
    BufferResumeValue = value > BufferFullValue ? Fraction(BufferFullValue, 0.1) : value;
    TFlagRestore reapply(ReapplyAllValue, true);
    SetHWFlowOptions(HWFlowOptionsValue);
    SetSWFlowOptions(SWFlowOptionsValue);
}

void TKivCustomComPort::SetRS485Mode(bool value)
{
    using enum THWFlowOptions;
    if (value == RS485ModeValue && !ReapplyAllValue) return;
    RS485ModeValue = value;
    if (Phase == TPortPhase::ppOpen) Dispatcher->SetRS485(value);
    // The driver's RTS control follows the mode only when the hardware flow
    // is written; on an open port that is now, not at the next opening, and
    // switching the mode off must take the driver out of it as well.
    if (Phase == TPortPhase::ppOpen && !ReapplyAllValue) {
        TFlagRestore reapply(ReapplyAllValue, true);
        SetHWFlowOptions(value ? HWFlowOptionsValue.Without(hwfUseRTS).Without(hwfRequireCTS)
                               : HWFlowOptionsValue);
    }
    if (!value) return;
    SetHWFlowOptions(HWFlowOptionsValue.Without(hwfUseRTS).Without(hwfRequireCTS));
    SetRTS(false);
}

// ---- Remaining forwarding setters ------------------------------------------------------

void TKivCustomComPort::SetAvailThreshold(WORD value)
{
    if (value == AvailThresholdValue && !ReapplyAllValue) return;
    AvailThresholdValue = value;
    if (Phase == TPortPhase::ppOpen) Dispatcher->SetAvailThreshold(value);
}

void TKivCustomComPort::SetThreadPriorityBoost(std::uint8_t value)
{
    if (value == ThreadPriorityBoostValue && !ReapplyAllValue) return;
    ThreadPriorityBoostValue = value;
    if (Phase == TPortPhase::ppOpen) Dispatcher->ApplyThreadBoost(value);
}

void TKivCustomComPort::SetUseEventWord(bool value)
{
    if (value == UseEventWordValue && !ReapplyAllValue) return;
    UseEventWordValue = value;
    if (Phase != TPortPhase::ppOpen) return;
    if (value)
        Dispatcher->SetOptionBits(UseEventWordBit);
    else
        Dispatcher->ClearOptionBits(UseEventWordBit);
}

// ---- Trace and log state machines -----------------------------------------------------

void TKivCustomComPort::SetTracing(TTraceLogState value)
{
    using enum TTraceLogState;
    if (value == TracingValue && !ReapplyAllValue) return;
    if (Phase != TPortPhase::ppOpen) {
        TracingValue = value == tlOn ? tlOn : tlOff;
        return;
    }
    ApplyTraceState(value);
}

void TKivCustomComPort::ApplyTraceState(TTraceLogState value)
{
    using enum TTraceLogState;
    TTraceLogState current = TracingValue;
    switch (value) {
    case tlOff:
        if (Active(current)) AbortTrace();
        break;
    case tlOn:
        if (current == tlPause)
            ResumeTrace();
        else
            InitTrace(TraceSizeValue);
        break;
    case tlDump:
        if (!Active(current)) break;
        ResumeTrace();
        DumpTrace(TraceNameValue, TraceHexValue);
        break;
    case tlAppend:
        if (!Active(current)) break;
        ResumeTrace();
        AppendTrace(TraceNameValue, TraceHexValue, tlOff);
        break;
    case tlClear:
        if (Active(current)) ClearTrace();
        break;
    case tlPause:
        if (current == tlOn) PauseTrace();
        break;
    case tlAppendAndContinue:
        if (!Active(current)) break;
        ResumeTrace();
        AppendTrace(TraceNameValue, TraceHexValue, tlOn);
        break;
    }
}

void TKivCustomComPort::SetLogging(TTraceLogState value)
{
    using enum TTraceLogState;
    if (value == LoggingValue && !ReapplyAllValue) return;
    if (Phase != TPortPhase::ppOpen) {
        LoggingValue = value == tlOn ? tlOn : tlOff;
        return;
    }
    ApplyLogState(value);
}

void TKivCustomComPort::ApplyLogState(TTraceLogState value)
{
    using enum TTraceLogState;
    TTraceLogState current = LoggingValue;
    switch (value) {
    case tlOff:
        if (Active(current)) AbortLog();
        break;
    case tlOn:
        if (current == tlPause)
            ResumeLog();
        else
            InitLog(LogSizeValue);
        break;
    case tlDump:
        if (!Active(current)) break;
        ResumeLog();
        DumpLog(LogNameValue, LogHexValue);
        break;
    case tlAppend:
        if (!Active(current)) break;
        ResumeLog();
        AppendLog(LogNameValue, LogHexValue, tlOff);
        break;
    case tlClear:
        if (Active(current)) ClearLog();
        break;
    case tlPause:
        if (current == tlOn) PauseLog();
        break;
    case tlAppendAndContinue:
        if (!Active(current)) break;
        ResumeLog();
        AppendLog(LogNameValue, LogHexValue, tlOn);
        break;
    }
}

void TKivCustomComPort::SetTraceSize(DWORD value)
{
    value = std::min(value, MaxTraceSize);
    if (value == TraceSizeValue) return;
    TraceSizeValue = value;
    if (Phase != TPortPhase::ppOpen || !Active(TracingValue)) return;
    TTraceLogState before = TracingValue;
    AbortTrace();
    SetTracing(before);
}

void TKivCustomComPort::SetLogSize(DWORD value)
{
    value = std::min(value, MaxLogSize);
    if (value == LogSizeValue) return;
    LogSizeValue = value;
    if (Phase != TPortPhase::ppOpen || !Active(LoggingValue)) return;
    TTraceLogState before = LoggingValue;
    AbortLog();
    SetLogging(before);
}

// ---- Trace controls -----------------------------------------------------------------------

void TKivCustomComPort::InitTrace(DWORD size)
{
    if (Phase == TPortPhase::ppClosing) return;
    if (size != 0) TraceSizeValue = std::min(size, MaxTraceSize);
    Check(RequireDispatcher().InitTrace(static_cast<int>(std::min(size, MaxTraceSize + 1))));
    TracingValue = TTraceLogState::tlOn;
}

void TKivCustomComPort::DumpTrace(const std::string& name, bool inHex)
{
    if (Phase == TPortPhase::ppClosing) return;
    Check(RequireDispatcher().DumpTrace(name, inHex, TraceAllHexValue));
    TracingValue = TTraceLogState::tlOff;
}

void TKivCustomComPort::AppendTrace(const std::string& name, bool inHex, TTraceLogState newState)
{
    if (Phase == TPortPhase::ppClosing) return;
    Check(RequireDispatcher().AppendTrace(name, inHex, TraceAllHexValue));
    TracingValue = newState;
}

void TKivCustomComPort::ClearTrace()
{
    if (Phase == TPortPhase::ppClosing) return;
    RequireDispatcher().ClearTrace();
}

void TKivCustomComPort::AbortTrace()
{
    if (Phase == TPortPhase::ppClosing) return;
    RequireDispatcher().AbortTrace();
    TracingValue = TTraceLogState::tlOff;
}

void TKivCustomComPort::ResumeTrace()
{
    if (Phase == TPortPhase::ppClosing) return;
    RequireDispatcher().ResumeTrace();
    TracingValue = TTraceLogState::tlOn;
}

void TKivCustomComPort::PauseTrace()
{
    if (Phase == TPortPhase::ppClosing) return;
    RequireDispatcher().PauseTrace();
    TracingValue = TTraceLogState::tlPause;
}

// ---- Log controls -------------------------------------------------------------------------

void TKivCustomComPort::InitLog(DWORD size)
{
    if (Phase == TPortPhase::ppClosing) return;
    if (size != 0) LogSizeValue = std::min(size, MaxLogSize);
    RequireDispatcher().InitLog(LogSizeValue);
    LoggingValue = TTraceLogState::tlOn;
}

void TKivCustomComPort::DumpLog(const std::string& name, bool inHex)
{
    if (Phase == TPortPhase::ppClosing) return;
    Check(RequireDispatcher().DumpLog(name, inHex, LogAllHexValue));
    LoggingValue = TTraceLogState::tlOff;
}

void TKivCustomComPort::AppendLog(const std::string& name, bool inHex, TTraceLogState newState)
{
    if (Phase == TPortPhase::ppClosing) return;
    Check(RequireDispatcher().AppendLog(name, inHex, LogAllHexValue));
    LoggingValue = newState;
}

void TKivCustomComPort::ClearLog()
{
    if (Phase == TPortPhase::ppClosing) return;
    RequireDispatcher().ClearLog();
}

void TKivCustomComPort::AbortLog()
{
    if (Phase == TPortPhase::ppClosing) return;
    RequireDispatcher().AbortLog();
    LoggingValue = TTraceLogState::tlOff;
}

void TKivCustomComPort::ResumeLog()
{
    if (Phase == TPortPhase::ppClosing) return;
    RequireDispatcher().ResumeLog();
    LoggingValue = TTraceLogState::tlOn;
}

void TKivCustomComPort::PauseLog()
{
    if (Phase == TPortPhase::ppClosing) return;
    RequireDispatcher().PauseLog();
    LoggingValue = TTraceLogState::tlPause;
}

} // namespace kivo
