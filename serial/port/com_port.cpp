// Construction, loading, the open and close sequences, port users, copying
// and the operations of the serial port component that reach its dispatcher.

#include "serial/port/com_port.h"

#include "framework/application.h"
#include "framework/flag_restore.h"
#include "platform/parked_threads.h"
#include "platform/window.h"
#include "serial/device/win32_dispatcher.h"
#include "serial/dispatch/base_dispatcher.h"
#include "serial/errors/error_check.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"
#include "serial/port/port_probe.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <utility>

namespace kivo {

using namespace kivo::win;

namespace {

// Sets a field of the port for a block and puts its earlier value back,
// unless a handler destroyed the port meanwhile.
template <typename T>
class TPortFlagRestore {
public:
    TPortFlagRestore(T& flag, T value, std::weak_ptr<char> alive)
        : Flag(flag), Saved(flag), Alive(std::move(alive))
    {
        Flag = value;
    }
    ~TPortFlagRestore()
    {
        if (!Alive.expired()) Flag = Saved;
    }
    TPortFlagRestore(const TPortFlagRestore&) = delete;
    TPortFlagRestore& operator=(const TPortFlagRestore&) = delete;

private:
    T& Flag;
    T Saved;
    std::weak_ptr<char> Alive;
};

// Closed and its threads gone before any destructor runs: a thread that
// releases the line itself still calls the device layer's operations.
void DiscardLine(std::unique_ptr<TKivBaseDispatcher>& line)
{
    std::unique_ptr<TKivBaseDispatcher> gone = std::move(line);
    if (gone) gone->Shutdown();
    gone.reset();
}

// The dispatcher of a port destroyed by a message its own close served while
// waiting for the line: that close is still inside the dispatcher, and frees
// it once it has left it.
struct TOrphanedLine {
    ~TOrphanedLine() { DiscardLine(Line); }
    std::unique_ptr<TKivBaseDispatcher> Line;
};

// Runs step, keeping the first exception any step raised to be raised after
// the last; later ones are shown, so that none (a record lost with the line
// among them) passes unnoticed.
template <typename TStep>
void KeepFirstError(std::exception_ptr& first, TStep step)
{
    try {
        step();
    } catch (...) {
        if (!first)
            first = std::current_exception();
        else
            Application().HandleCurrentException();
    }
}

} // namespace

TKivCustomComPort::TKivCustomComPort(TComponent* owner) : TKivBaseComponent(owner) {}

TKivCustomComPort::~TKivCustomComPort()
{
    using enum TPortPhase;
    BeginDestruction();
    try {
        if (Phase == ppOpen) ClosePort();
    } catch (...) {
        // A destructor cannot raise; the operator still learns of the failure.
        Application().HandleCurrentException();
    }
    // A deferred close would finish through a message to a window that dies
    // with us: finish it here. Freeing the dispatcher waits, serving messages,
    // until its threads have ended. Destroyed by a message that our own close
    // served, the dispatcher is still in use below us: its threads are ended
    // here, so none reaches us any more, and that close frees it.
    if (Phase == ppClosing && CloseKeeper) {
        SetNotificationWindow(false);
        if (Dispatcher) Dispatcher->Shutdown();
        *CloseKeeper = std::move(Dispatcher);
        Phase = ppClosed;
    } else if (Phase == ppClosing) {
        FinishClose();
    }
    while (!PortUsers.empty()) PortUsers.pop_back();
    TKivBaseDispatcher::FreeTriggerSet(SavedTriggers);
}

int TKivCustomComPort::Check(int code) const
{
    return CheckErrorCode(this, code);
}

bool TKivCustomComPort::LineGone() const noexcept
{
    return Phase == TPortPhase::ppOpen && Dispatcher && !Dispatcher->Started();
}

TKivBaseDispatcher& TKivCustomComPort::LiveDispatcher()
{
    // "Device not open" rather than what the released line would answer
    // (no output buffer, no file handle).
    if (LineGone()) throw ECommNotOpen::CreateFromCode(ecCommNotOpen);
    return *Dispatcher;
}

bool TKivCustomComPort::Open() const noexcept
{
    return OpenValue && !LineGone();
}

// ---- The Open property and loading -----------------------------------------

void TKivCustomComPort::SetOpen(bool value)
{
    using enum TPortPhase;
    // Our choice while a deferred close finishes: Open still reads True, yet a
    // request to open must not be lost, so it reopens once the close is done;
    // a request to close cancels that. Text held for the reopen stays until
    // the close has finished: the program's close-and-reopen before each
    // frame asks again at once, and the earlier frame still goes out first.
    if (Phase == ppClosing) {
        ReopenPending = value;
        return;
    }
    // A line the device dropped is closed and opened afresh.
    if (value && LineGone()) {
        ReopenPending = true;
        ClosePort();
        return;
    }
    if (value == OpenValue) return;
    if (Loading() || Designing()) {
        OpenValue = value;
        // The last value stored wins: a False after a True opens nothing.
        OpenAfterLoad = value;
        return;
    }
    if (!value)
        ClosePort();
    else if (Phase == ppClosed)
        OpenPort();
    else
        ReopenPending = true;
}

void TKivCustomComPort::Loaded()
{
    TKivBaseComponent::Loaded();
    if (Designing()) return;
    if (OpenAfterLoad) OpenValue = true;
    if (!OpenValue) return;
    OpenAfterLoad = false;
    // Open reads True only once the opening has succeeded.
    OpenValue = false;
    const std::weak_ptr<char> alive = Lifetime;
    try {
        OpenPort();
    } catch (...) {
        if (!alive.expired()) OpenValue = false;
        Application().HandleCurrentException();
    }
}

// ---- Opening -----------------------------------------------------------------

void TKivCustomComPort::ValidateComNumber()
{
    if (ComNumberValue != 0) return;
    if (!PromptForPortValue) throw ENoPortSelected::CreateFromCode(ecNoPortSelected);
    std::optional<int> chosen = Application().PromptForPort();
    if (!chosen || *chosen <= 0 || *chosen > 0xFFFF)
        throw ENoPortSelected::CreateFromCode(ecNoPortSelected);
    SetComNumber(static_cast<WORD>(*chosen));
}

std::unique_ptr<TKivBaseDispatcher> TKivCustomComPort::CreateDispatcher()
{
    if (DeviceLayerValue != TDeviceLayer::dlWin32) throw ENullApi::CreateFromCode(ecNullApi);
    // No telephony line exists here to hand to a dispatcher.
    if (TapiModeValue == TTapiMode::tmOn)
        throw ENotOpenedByTapi::CreateFromCode(ecNotOpenedByTapi);
    return std::make_unique<TKivWin32Dispatcher>(this);
}

int TKivCustomComPort::InitializeDevice()
{
    DWORD options = 0;
    if (DTRValue) options |= lnDTROn;
    if (RTSValue) options |= lnRTSOn;
    if (HWFlowOptionsValue.Contains(THWFlowOptions::hwfUseDTR)) options |= lnDTRFlow;
    if (HWFlowOptionsValue.Contains(THWFlowOptions::hwfUseRTS)) options |= lnRTSFlow;
    return Dispatcher->OpenLine(Dispatcher->DeviceName, static_cast<DWORD>(BaudValue),
                               static_cast<int>(ParityValue), DataBitsValue, StopBitsValue,
                               InSizeValue, OutSizeValue, options);
}

void TKivCustomComPort::OpenPort()
{
    using enum TPortPhase;
    // Our choice for an open that arrives while one of ours has not yet
    // reached the open phase (from the prompt's loop, or from a device that
    // serves messages while it opens): it is ignored, and Open tells the
    // caller how the opening under way ended. A second dispatcher must never
    // take the place of one that port users may already be hooked to.
    if (OpeningUnderWay) return;
    // A port user or OnPortOpen may destroy the port: nothing of it is
    // touched once it has gone.
    const std::weak_ptr<char> alive = Lifetime;
    TPortFlagRestore opening(OpeningUnderWay, true, alive);
    if (TapiModeValue != TTapiMode::tmOn) ValidateComNumber();
    Dispatcher = CreateDispatcher();
    if (TapiModeValue != TTapiMode::tmOn) Dispatcher->DeviceName = ComDeviceName(ComNumberValue);

    bool usersTold = false;
    bool triggersRestored = false;
    // The line's threads are woken once the settings are in: woken at once,
    // they would contend with the re-application for the device.
    THeldStarts heldStarts;
    try {
        int code = InitializeDevice();
        // Held by another program is the port in use; not permitted for this
        // user stays "File access denied", so the two are told apart.
        if (code == ecSharingViolation) code = ecAlreadyOpen;
        if (code == ecFileNotFound || code == ecPathNotFound) code = ecBadId;
        // Raised even while loading: a port that failed to open must never
        // go on as if it were open.
        if (code < 0) RaiseForCode(code);

        Phase = ppOpen;
        // From here a request meets the rules of an open port.
        OpeningUnderWay = false;
        UpdateHandlerFlags();
        {
            TFlagRestore reapply(ReapplyAllValue, true);
            SetTracing(TracingValue);
            SetLogging(LoggingValue);
            SetHWFlowOptions(HWFlowOptionsValue);
            SetSWFlowOptions(SWFlowOptionsValue);
            SetXOnChar(XOnCharValue);
            SetXOffChar(XOffCharValue);
            SetAvailThreshold(AvailThresholdValue);
            SetDTR(DTRValue);
            SetRTS(RTSValue);
            SetUseEventWord(UseEventWordValue);
            SetRS485Mode(RS485ModeValue);
            SetThreadPriorityBoost(ThreadPriorityBoostValue);
        }
        heldStarts.Release();
        OpenValue = true;
        SetNotificationWindow(true);
        if (RestoreTriggersOnOpen) {
            RestoreTriggersOnOpen = false;
            // The set carries the threshold of the line it was saved from;
            // one stored while the port was closed must not be undone.
            SavedTriggers.AvailThreshold = AvailThresholdValue;
            Dispatcher->RestoreTriggerSet(SavedTriggers);
            triggersRestored = true;
        }
        usersTold = true;
        NotifyPortOpen();
    } catch (...) {
        // The failure that undid the opening is the one raised; users that
        // already heard of the opening hear of its end, so none keeps a hook
        // into the dispatcher that is about to go.
        std::exception_ptr firstError = std::current_exception();
        if (alive.expired()) throw;
        // Freeing the dispatcher waits for its threads to end.
        heldStarts.Release();
        if (usersTold) KeepFirstError(firstError, [&] { NotifyPortClosing(); });
        if (alive.expired()) std::rethrow_exception(firstError);
        OpenValue = false;
        Phase = ppClosed;
        // The saved triggers went only to the dispatcher now discarded.
        if (triggersRestored) RestoreTriggersOnOpen = true;
        if (NotifyWindowValue) SetNotificationWindow(false);
        DiscardDispatcher();
        if (usersTold) KeepFirstError(firstError, [&] { NotifyPortClose(); });
        std::rethrow_exception(firstError);
    }
}

void TKivCustomComPort::DiscardDispatcher()
{
    DiscardLine(Dispatcher);
}

// ---- Closing -------------------------------------------------------------------

void TKivCustomComPort::ClosePort()
{
    using enum TPortPhase;
    if (Phase != ppOpen) return;
    // A trace that cannot be written, or a user that raises, must not leave
    // the port half closed: the close runs to its end and the first failure
    // is raised afterwards.
    std::exception_ptr firstError;
    // A port user or OnPortClose may destroy the port: its destruction
    // finishes the close, and nothing of it is touched afterwards.
    const std::weak_ptr<char> alive = Lifetime;
    auto endIfGone = [&] {
        if (!alive.expired()) return false;
        if (firstError) std::rethrow_exception(firstError);
        return true;
    };
    TPortFlagRestore closing(InClosePort, true, alive);
    // The close serves messages while it waits for the line; one of them may
    // destroy the port.
    TOrphanedLine orphan;
    TPortFlagRestore keeper(CloseKeeper, &orphan.Line, alive);
    KeepFirstError(firstError, [&] { SetTracing(TTraceLogState::tlDump); });
    KeepFirstError(firstError, [&] { SetLogging(TTraceLogState::tlDump); });
    Phase = ppClosing;
    KeepFirstError(firstError, [&] { NotifyPortClosing(); });
    if (endIfGone()) return;
    Dispatcher->SaveTriggerSet(SavedTriggers);
    RestoreTriggersOnOpen = true;
    Dispatcher->CloseLine();
    if (endIfGone()) return;
    if (Dispatcher->InNotify() && NotifyWindowValue) {
        LPARAM param = static_cast<LPARAM>(Dispatcher->RegistryIndex()) << 16;
        PostMessage(NotifyWindowValue, kvPortClosing, 0, param);
        // Lets a delivery that waits for this thread complete; a quit request
        // stays queued for the outermost loop.
        ProcessOneMessage();
        if (endIfGone()) return;
    } else {
        FinishClose();
    }
    KeepFirstError(firstError, [&] { NotifyPortClose(); });
    if (endIfGone()) return;
    // A deferred close that already finished above leaves its reopening to
    // us, so users hear of the close before they hear of the new opening.
    if (Phase == ppClosed && ReopenPending) {
        ReopenPending = false;
        KeepFirstError(firstError, [&] { OpenPort(); });
        if (endIfGone()) return;
        KeepFirstError(firstError, [&] { PutHeldText(); });
    } else if (Phase == ppClosed) {
        TextAfterReopen.clear();
    }
    if (firstError) std::rethrow_exception(firstError);
}

void TKivCustomComPort::FinishClose()
{
    SetNotificationWindow(false);
    DiscardDispatcher();
    Phase = TPortPhase::ppClosed;
    OpenValue = false;
}

void TKivCustomComPort::FinishDeferredClose()
{
    FinishClose();
    if (InClosePort) return;
    if (!ReopenPending) {
        TextAfterReopen.clear();
        return;
    }
    ReopenPending = false;
    const std::weak_ptr<char> alive = Lifetime;
    std::exception_ptr failure;
    bool opened = false;
    try {
        OpenPort();
        opened = true;
        if (alive.expired()) return;
        PutHeldText();
    } catch (...) {
        if (alive.expired()) throw;
        failure = std::current_exception();
    }
    if (!failure) return;
    TextAfterReopen.clear();
    if (!OnReopenFailure) std::rethrow_exception(failure);
    // Outside the catch: the handler may run a modal loop.
    OnReopenFailure(this, failure, opened);
}

void TKivCustomComPort::PutHeldText()
{
    if (TextAfterReopen.empty()) return;
    std::string text = std::move(TextAfterReopen);
    TextAfterReopen.clear();
    if (Phase == TPortPhase::ppOpen) PutText(text);
}

// ---- Operations --------------------------------------------------------------------

TKivBaseDispatcher* TKivCustomComPort::ActiveDispatcher()
{
    if (!Dispatcher && !Designing() && !Loading() && !Destroying() &&
        Phase != TPortPhase::ppOpen && AutoOpenValue) {
        const std::weak_ptr<char> alive = Lifetime;
        SetOpen(true);
        // Destroyed by a port user or OnPortOpen.
        if (alive.expired()) return nullptr;
    }
    // One still being opened is nobody's yet. Nor is one whose close was
    // announced and waits to finish: who took it then would never hear that
    // it has gone.
    if (OpeningUnderWay || (Phase == TPortPhase::ppClosing && !InClosePort)) return nullptr;
    return Dispatcher.get();
}

TKivBaseDispatcher& TKivCustomComPort::RequireDispatcher()
{
    TKivBaseDispatcher* dispatcher = ActiveDispatcher();
    if (!dispatcher) throw ECommNotOpen::CreateFromCode(ecCommNotOpen);
    return *dispatcher;
}

void TKivCustomComPort::PutText(const std::string& text)
{
    // A close that had to wait for a delivery still reads Open. When a
    // reopen is already asked for, as the program's close-and-reopen before
    // every frame does, the frame is held and queued once the port has
    // reopened, instead of being lost without a word.
    if (Phase == TPortPhase::ppClosing) {
        if (ReopenPending) TextAfterReopen += text;
        return;
    }
    TKivBaseDispatcher& dispatcher = Phase == TPortPhase::ppOpen ? LiveDispatcher()
                                                                 : RequireDispatcher();
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        throw EOutputBufferTooSmall::CreateFromCode(ecOutputBufferTooSmall);
    Check(dispatcher.WriteBlock(text.data(), static_cast<int>(text.size())));
}

int TKivCustomComPort::NewTimerTrigger()
{
    if (Phase == TPortPhase::ppClosing) return 0;
    return Check(RequireDispatcher().NewTimerTrigger());
}

void TKivCustomComPort::ArmTimerTrigger(WORD handle, int ticks, bool activate)
{
    if (Phase == TPortPhase::ppClosing) return;
    Check(RequireDispatcher().ArmTimerTrigger(handle, ticks, activate));
}

WORD TKivCustomComPort::LastLineError()
{
    if (Phase != TPortPhase::ppOpen) return 0;
    TKivBaseDispatcher* dispatcher = ActiveDispatcher();
    return dispatcher ? static_cast<WORD>(dispatcher->TakeLineError()) : 0;
}

bool TKivCustomComPort::BreakReceived()
{
    if (Phase != TPortPhase::ppOpen) return false;
    TKivBaseDispatcher* dispatcher = ActiveDispatcher();
    return dispatcher && dispatcher->TakeLineBreak();
}

void TKivCustomComPort::ServiceDispatcher()
{
    if (Phase == TPortPhase::ppClosing) return;
    Check(RequireDispatcher().DeviceYield());
}

// ---- Port users -----------------------------------------------------------------------

std::unique_ptr<TPortUserEntry> TPortUserEntry::Copy() const
{
    auto copy = std::make_unique<TPortUserEntry>(*this);
    copy->Registration.reset();
    return copy;
}

std::size_t TKivCustomComPort::PortUserCount() const noexcept
{
    return static_cast<std::size_t>(std::count_if(PortUsers.begin(), PortUsers.end(),
                                                  [](const auto& user) { return user->Live(); }));
}

void TKivCustomComPort::DropEndedCopies()
{
    std::erase_if(PortUsers, [](const auto& user) { return !user->Live(); });
}

void TKivCustomComPort::RegisterPortUser(const TPortEventCallback& callback)
{
    DropEndedCopies();
    auto entry = std::make_unique<TPortUserEntry>();
    entry->EventCallback = callback;
    entry->EventKind = true;
    PortUsers.push_back(std::move(entry));
}

void TKivCustomComPort::DeregisterPortUser(const TPortEventCallback& callback)
{
    if (PortUsers.empty()) return;
    for (std::size_t i = PortUsers.size(); i-- > 0;) {
        if (PortUsers[i]->EventCallback == callback)
            PortUsers.erase(PortUsers.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

// Also False for a copy whose registration ended during the walk.
bool TKivCustomComPort::IsPortUser(const TPortUserEntry* entry) const
{
    return std::any_of(PortUsers.begin(), PortUsers.end(),
                       [entry](const auto& user) { return user.get() == entry && user->Live(); });
}

void TKivCustomComPort::SendToUser(const TPortUserEntry& entry, UINT message,
                                   TPortEventKind kind, bool opening)
{
    if (entry.Window)
        SendMessage(entry.Window, message, 0, 0);
    else if (entry.EventKind)
        entry.EventCallback(this, kind);
    else
        entry.PlainCallback(this, opening);
}

namespace {

// A callback may deregister itself or others: walk a snapshot, last first,
// and skip entries that have gone meanwhile.
std::vector<const TPortUserEntry*> Snapshot(
    const std::vector<std::unique_ptr<TPortUserEntry>>& users)
{
    std::vector<const TPortUserEntry*> entries;
    entries.reserve(users.size());
    for (auto it = users.rbegin(); it != users.rend(); ++it) entries.push_back(it->get());
    return entries;
}

} // namespace

// A user may also destroy the port: nobody hears of it after that.
void TKivCustomComPort::NotifyPortOpen()
{
    DropEndedCopies();
    const std::weak_ptr<char> alive = Lifetime;
    for (const TPortUserEntry* entry : Snapshot(PortUsers)) {
        if (IsPortUser(entry)) SendToUser(*entry, kvPortOpen, TPortEventKind::pekOpen, true);
        if (alive.expired()) return;
    }
    if (OnPortOpen) OnPortOpen(this);
}

void TKivCustomComPort::NotifyPortClose()
{
    DropEndedCopies();
    const std::weak_ptr<char> alive = Lifetime;
    for (const TPortUserEntry* entry : Snapshot(PortUsers)) {
        if (IsPortUser(entry)) SendToUser(*entry, kvPortClose, TPortEventKind::pekClosed, false);
        if (alive.expired()) return;
    }
    if (OnPortClose) OnPortClose(this);
}

void TKivCustomComPort::NotifyPortClosing()
{
    DropEndedCopies();
    const std::weak_ptr<char> alive = Lifetime;
    for (const TPortUserEntry* entry : Snapshot(PortUsers)) {
        if (!IsPortUser(entry) || !entry->EventKind) continue;
        SendToUser(*entry, kvPortClosing, TPortEventKind::pekClosing, false);
        if (alive.expired()) return;
    }
}

// ---- Copying and finding ------------------------------------------------------------------

void TKivCustomComPort::CopyFrom(const TComponent* source)
{
    const auto* from = dynamic_cast<const TKivCustomComPort*>(source);
    if (!from || from == this) return;
    // Open becomes False below; an open port of ours is closed first, so
    // that the flag does not lie about a dispatcher that still runs.
    if (Phase == TPortPhase::ppOpen) {
        const std::weak_ptr<char> alive = Lifetime;
        ClosePort();
        if (alive.expired()) return;
    }
    PortUsers.clear();
    for (const auto& user : from->PortUsers)
        if (user->Live()) PortUsers.push_back(user->Copy());
    if (from->Phase == TPortPhase::ppOpen && from->Dispatcher) {
        from->Dispatcher->SaveTriggerSet(SavedTriggers);
        RestoreTriggersOnOpen = true;
    }
    ReapplyAllValue = from->ReapplyAllValue;
    DeviceLayerValue = from->DeviceLayerValue;
    ComNumberValue = from->ComNumberValue;
    BaudValue = from->BaudValue;
    ParityValue = from->ParityValue;
    DataBitsValue = from->DataBitsValue;
    StopBitsValue = from->StopBitsValue;
    InSizeValue = from->InSizeValue;
    OutSizeValue = from->OutSizeValue;
    AutoOpenValue = from->AutoOpenValue;
    PromptForPortValue = from->PromptForPortValue;
    RS485ModeValue = from->RS485ModeValue;
    ThreadPriorityBoostValue = from->ThreadPriorityBoostValue;
    DTRValue = from->DTRValue;
    RTSValue = from->RTSValue;
    BufferFullValue = from->BufferFullValue;
    BufferResumeValue = from->BufferResumeValue;
    HWFlowOptionsValue = from->HWFlowOptionsValue;
    SWFlowOptionsValue = from->SWFlowOptionsValue;
    XOnCharValue = from->XOnCharValue;
    XOffCharValue = from->XOffCharValue;
    TracingValue = from->TracingValue;
    TraceSizeValue = from->TraceSizeValue;
    TraceNameValue = from->TraceNameValue;
    TraceHexValue = from->TraceHexValue;
    TraceAllHexValue = from->TraceAllHexValue;
    LoggingValue = from->LoggingValue;
    LogSizeValue = from->LogSizeValue;
    LogNameValue = from->LogNameValue;
    LogHexValue = from->LogHexValue;
    LogAllHexValue = from->LogAllHexValue;
    AvailThresholdValue = from->AvailThresholdValue;
    if (Phase == TPortPhase::ppClosed) OpenValue = false;
    SetOnTrigger(from->OnTriggerValue);
    SetOnTriggerAvail(from->OnTriggerAvailValue);
    SetOnTriggerData(from->OnTriggerDataValue);
    SetOnTriggerStatus(from->OnTriggerStatusValue);
    SetOnTriggerTimer(from->OnTriggerTimerValue);
    OnPortOpen = from->OnPortOpen;
    OnPortClose = from->OnPortClose;
    TapiModeValue = from->TapiModeValue;
}

TKivCustomComPort* FindComPort(const TComponent* component)
{
    if (!component) return nullptr;
    for (TComponent* owned : component->Components()) {
        if (auto* port = dynamic_cast<TKivCustomComPort*>(owned)) return port;
        if (TKivCustomComPort* inner = FindComPort(owned)) return inner;
    }
    return nullptr;
}

} // namespace kivo
