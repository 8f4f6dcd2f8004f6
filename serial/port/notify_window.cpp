// The hidden "kvComWindow" of an open port: its class, its creation and
// destruction, and the procedure that turns dispatcher notifications into
// the port's trigger events on the main thread.

#include "framework/application.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "serial/dispatch/base_dispatcher.h"
#include "serial/dispatch/detail/thread_gate.h"
#include "serial/dispatch/triggers.h"
#include "serial/port/com_port.h"

#include <atomic>
#include <memory>

namespace kivo {

using namespace kivo::win;

namespace {

std::atomic<bool> ComWindowClassRegistered{false};

// The longest a circulating close message lets the main thread sleep when
// neither a message arrives nor a thread of the line ends.
constexpr DWORD ClosingRecheckMs = 5;

bool IsComWindowMessage(UINT message)
{
    return message == kvTriggerAvail || message == kvTriggerData || message == kvTriggerTimer ||
           message == kvTriggerStatus || message == kvPortClosing;
}

WORD HighWord(LPARAM value)
{
    return static_cast<WORD>((static_cast<std::uintptr_t>(value) >> 16) & 0xFFFF);
}

WORD LowWord(std::uintptr_t value)
{
    return static_cast<WORD>(value & 0xFFFF);
}

} // namespace

LRESULT ComWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!IsComWindowMessage(message)) return DefWindowProc(window, message, wParam, lParam);
    // Held while the handlers run, so no dispatcher can be created or freed
    // under them; re-entrant, so a handler may still open or close ports.
    TCriticalSectionLock registry(DispatcherRegistryLock());
    TKivBaseDispatcher* dispatcher = DispatcherFromHandle(HighWord(lParam));
    if (!dispatcher || !dispatcher->PortOwner()) return 0;
    auto* port = dynamic_cast<TKivCustomComPort*>(dispatcher->PortOwner());
    if (!port) return 0;
    // A handler that destroys the port lets the dispatch thread go before it
    // returns, since the destruction waits for that thread (ReplyToSender).
    // Nothing of the dispatcher is touched here afterwards.
    if (message != kvPortClosing) PermitEarlyReply();
    try {
        port->HandleNotification(message, wParam, lParam);
    } catch (...) {
        if (Application().IsMainThread()) Application().HandleCurrentException();
    }
    return 0;
}

void TKivCustomComPort::SetNotificationWindow(bool create)
{
    if (create) {
        if (!ComWindowClassRegistered.exchange(true)) {
            WNDCLASS windowClass;
            windowClass.lpfnWndProc = ComWindowProc;
            windowClass.cbWndExtra = 4;
            windowClass.hInstance = GetModuleHandle(nullptr);
            windowClass.lpszClassName = ComWindowClassName;
            RegisterClass(&windowClass);
        }
        NotifyWindowValue = CreateWindow(ComWindowClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                         GetModuleHandle(nullptr), nullptr);
        if (Dispatcher) Dispatcher->AttachWindow(NotifyWindowValue);
        return;
    }
    if (!NotifyWindowValue) return;
    if (Dispatcher) Dispatcher->DetachWindow(NotifyWindowValue);
    HWND gone = NotifyWindowValue;
    NotifyWindowValue = nullptr;
    DestroyWindow(gone);
}

bool TKivCustomComPort::AnyTriggerEventAssigned() const
{
    return OnTriggerValue.Assigned() || OnTriggerAvailValue.Assigned() ||
           OnTriggerDataValue.Assigned() || OnTriggerStatusValue.Assigned() ||
           OnTriggerTimerValue.Assigned() || OnTriggerLineErrorValue.Assigned() ||
           OnTriggerModemStatusValue.Assigned() || OnTriggerOutbuffFreeValue.Assigned() ||
           OnTriggerOutbuffUsedValue.Assigned() || OnTriggerOutSentValue.Assigned();
}

void TKivCustomComPort::UpdateHandlerFlags()
{
    if (Phase != TPortPhase::ppOpen || !Dispatcher) return;
    Dispatcher->RefreshHandlerFlags(AnyTriggerEventAssigned() ? 1 : 2);
}

void TKivCustomComPort::HandleNotification(UINT message, WPARAM wParam, LPARAM lParam)
{
    // A port being destroyed raises nothing more; it finishes its own close.
    if (Destroying()) return;
    const std::weak_ptr<char> alive = Lifetime;
    WORD handle = LowWord(wParam);
    WORD data = message == kvTriggerAvail ? handle : LowWord(static_cast<std::uintptr_t>(lParam));
    if (message != kvPortClosing) {
        FireTrigger(static_cast<WORD>(message), handle, data);
    } else {
        // A handler that raises must not leave the close it announces
        // waiting for ever: the failure is shown and the close goes on.
        try {
            FireTrigger(static_cast<WORD>(message), handle, data);
        } catch (...) {
            Application().HandleCurrentException();
        }
    }
    if (alive.expired()) return;
    switch (message) {
    case kvTriggerAvail:
        FireTriggerAvail(handle);
        break;
    case kvTriggerData:
        FireTriggerData(handle);
        break;
    case kvTriggerTimer:
        FireTriggerTimer(handle);
        break;
    case kvTriggerStatus:
        FireTriggerStatus(handle);
        if (alive.expired()) return;
        FireStatusKind(handle);
        break;
    case kvPortClosing:
        if (Phase != TPortPhase::ppClosing || !Dispatcher) break;
        if (Dispatcher->Started()) {
            // Asleep until a thread of the line ends or sends (it may wait
            // for this thread), rather than spin the queue with our own
            // re-posted message. Posted messages wait for the loop: another
            // close circulating beside this one would otherwise cut every
            // sleep short, and the two would spin the thread between them.
            // Registered before the look at Started, so the last thread's
            // end cannot slip in between.
            kivo::detail::TThreadGate::TWaiter waiter(*Dispatcher->ThreadGate);
            if (Dispatcher->Started()) waiter.Wait(ClosingRecheckMs, QS_SENDMESSAGE);
            if (NotifyWindowValue) PostMessage(NotifyWindowValue, kvPortClosing, 0, lParam);
        } else {
            FinishDeferredClose();
        }
        break;
    default:
        break;
    }
}

void TKivCustomComPort::FireStatusKind(WORD triggerHandle)
{
    // The kind is the handle's low bits; asking the dispatcher for it through
    // ActiveDispatcher could reopen a port that the status handler just closed.
    switch (static_cast<TStatusKind>(StatusKindOf(triggerHandle))) {
    case TStatusKind::skModemStatus:
        FireTriggerModemStatus();
        break;
    case TStatusKind::skLineStatus: {
        bool lineBreak = BreakReceived();
        WORD error = LastLineError();
        FireTriggerLineError(error, lineBreak);
        break;
    }
    case TStatusKind::skOutputFree:
        FireTriggerOutbuffFree();
        break;
    case TStatusKind::skOutputUsed:
        FireTriggerOutbuffUsed();
        break;
    case TStatusKind::skOutputSent:
        FireTriggerOutSent();
        break;
    default:
        break;
    }
}

// ---- Firing and assigning the trigger events ---------------------------------

void TKivCustomComPort::FireTrigger(WORD msg, WORD triggerHandle, WORD data)
{
    if (OnTriggerValue) OnTriggerValue(this, msg, triggerHandle, data);
}

void TKivCustomComPort::FireTriggerAvail(WORD count)
{
    if (OnTriggerAvailValue) OnTriggerAvailValue(this, count);
}

void TKivCustomComPort::FireTriggerData(WORD triggerHandle)
{
    if (OnTriggerDataValue) OnTriggerDataValue(this, triggerHandle);
}

void TKivCustomComPort::FireTriggerStatus(WORD triggerHandle)
{
    if (OnTriggerStatusValue) OnTriggerStatusValue(this, triggerHandle);
}

void TKivCustomComPort::FireTriggerTimer(WORD triggerHandle)
{
    if (OnTriggerTimerValue) OnTriggerTimerValue(this, triggerHandle);
}

void TKivCustomComPort::FireTriggerLineError(WORD error, bool lineBreak)
{
    if (OnTriggerLineErrorValue) OnTriggerLineErrorValue(this, error, lineBreak);
}

void TKivCustomComPort::FireTriggerModemStatus()
{
    if (OnTriggerModemStatusValue) OnTriggerModemStatusValue(this);
}

void TKivCustomComPort::FireTriggerOutbuffFree()
{
    if (OnTriggerOutbuffFreeValue) OnTriggerOutbuffFreeValue(this);
}

void TKivCustomComPort::FireTriggerOutbuffUsed()
{
    if (OnTriggerOutbuffUsedValue) OnTriggerOutbuffUsedValue(this);
}

void TKivCustomComPort::FireTriggerOutSent()
{
    if (OnTriggerOutSentValue) OnTriggerOutSentValue(this);
}

void TKivCustomComPort::FireWaitChar(char value)
{
    if (OnWaitChar) OnWaitChar(this, value);
}

void TKivCustomComPort::SetOnTrigger(const TTriggerEvent& value)
{
    OnTriggerValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerAvail(const TTriggerAvailEvent& value)
{
    OnTriggerAvailValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerData(const TTriggerDataEvent& value)
{
    OnTriggerDataValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerStatus(const TTriggerStatusEvent& value)
{
    OnTriggerStatusValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerTimer(const TTriggerTimerEvent& value)
{
    OnTriggerTimerValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerLineError(const TTriggerLineErrorEvent& value)
{
    OnTriggerLineErrorValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerModemStatus(const TNotifyEvent& value)
{
    OnTriggerModemStatusValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerOutbuffFree(const TNotifyEvent& value)
{
    OnTriggerOutbuffFreeValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerOutbuffUsed(const TNotifyEvent& value)
{
    OnTriggerOutbuffUsedValue = value;
    UpdateHandlerFlags();
}

void TKivCustomComPort::SetOnTriggerOutSent(const TNotifyEvent& value)
{
    OnTriggerOutSentValue = value;
    UpdateHandlerFlags();
}

} // namespace kivo
