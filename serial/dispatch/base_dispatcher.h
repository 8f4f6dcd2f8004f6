#pragma once
// The engine behind one open serial line: the 8192-byte dispatch buffer that
// received bytes pass through, the output ring, the line configuration and
// control lines, the triggers and handlers, the trace and the dispatch log.
// It has no device: the device layer subclasses it, implements the Device...
// operations, runs the read, write and status threads and the dispatch thread
// (TDispThread) and reports back through the thread start and end steps.
//
// Public operations come from the owner (main) thread, except ReadBlock,
// InputCount, the trigger operations and AddLogEntry, which handlers may also
// call on the dispatch thread. Three critical sections: StateLock
// (configuration, control lines, modem shadow, triggers, handlers, trace),
// OutputLock (output ring) and DispatchLock (dispatch buffer positions). They
// are never nested with one another but in WriteBlock, which holds StateLock
// around OutputLock so that a block is recorded before any reply to it;
// nothing takes StateLock while holding OutputLock. No handler ever runs
// while the dispatch thread holds StateLock.

#include "platform/comm.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/triggers.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kivo {

class TComponent;
class TKivDispatcherThread;
class TKivBaseDispatcher;
namespace detail {
struct TThreadGate;
}

// The process-wide registry: a dispatcher's handle is its index here. Look a
// handle up only while holding the lock; the lock is re-entrant.
win::CRITICAL_SECTION& DispatcherRegistryLock();
TKivBaseDispatcher* DispatcherFromHandle(int handle);

// Rate of a DCB baud value: the driver codes 0xFEFF and 0xFF10 ... 0xFF27
// stand for rates; every other value is one.
win::DWORD MapBaudCode(win::DWORD value);

// Line control codes of DeviceEscape.
inline constexpr int escSetRTS = 3;
inline constexpr int escClearRTS = 4;
inline constexpr int escSetDTR = 5;
inline constexpr int escClearDTR = 6;
inline constexpr int escGetBaseAddress = 10;

// OpenLine option bits.
inline constexpr win::DWORD lnDTROn = 0x01;
inline constexpr win::DWORD lnRTSOn = 0x02;
inline constexpr win::DWORD lnDTRFlow = 0x10;
inline constexpr win::DWORD lnRTSFlow = 0x20;

// Keep-current values of ConfigureLine.
inline constexpr win::DWORD KeepBaud = 0;
inline constexpr int KeepParity = 5;
inline constexpr int KeepDataBits = 9;
inline constexpr int KeepStopBits = 3;

// Flow-control option bits.
inline constexpr int hfUseDTR = 1;
inline constexpr int hfUseRTS = 2;
inline constexpr int hfRequireDSR = 4;
inline constexpr int hfRequireCTS = 8;
inline constexpr int sfTransmit = 1;
inline constexpr int sfReceive = 2;

// StopRequested: a stop flag that also wakes the dispatch thread, so no
// thread sleeps out its wait after a stop was asked for.
class TStopFlag {
public:
    explicit TStopFlag(TKivBaseDispatcher& owner) : Owner(owner) {}
    TStopFlag& operator=(bool value);
    operator bool() const noexcept { return Value.load(std::memory_order_acquire); }

private:
    TKivBaseDispatcher& Owner;
    std::atomic<bool> Value{false};
};

class TKivBaseDispatcher {
public:
    explicit TKivBaseDispatcher(TComponent* owner);
    virtual ~TKivBaseDispatcher();

    TKivBaseDispatcher(const TKivBaseDispatcher&) = delete;
    TKivBaseDispatcher& operator=(const TKivBaseDispatcher&) = delete;

    // ---- Life cycle ------------------------------------------------------
    int OpenLine(const std::string& deviceName, win::DWORD baud, int parity, int dataBits,
                 int stopBits, win::DWORD inSize, win::DWORD outSize, win::DWORD options);
    void CloseLine();
    virtual void ReleaseLine();

    // ---- Reading and writing ---------------------------------------------
    int WriteBlock(const void* bytes, int length);
    int ReadBlock(void* destination, int length);
    int InputCount();
    int OutputCount();
    int OutputRoom();
    int DiscardOutput();
    int DiscardInput();

    // ---- Line settings and control lines -----------------------------------
    int ConfigureLine(win::DWORD baud, int parity, int dataBits, int stopBits);
    void QueryLine(win::DWORD& baud, int& parity, int& dataBits, int& stopBits);
    int DriveDTR(bool on);
    int DriveRTS(bool on);
    int SetHardwareFlow(int bufferFull, int bufferResume, int options);
    int SetSoftwareFlow(int bufferFull, int bufferResume, int options);
    int ClearSoftwareFlow();
    int SetXonXoffChars(char xon, char xoff);
    int QueryFlow(int& hardwareOptions, int& softwareOptions, char& xon, char& xoff);
    void SetRS485(bool on);
    virtual void ApplyThreadBoost(std::uint8_t boost);
    std::uint8_t ReadModemShadow();
    int TakeLineError();
    bool TakeLineBreak();
    void SetOptionBits(win::DWORD bits);
    void ClearOptionBits(win::DWORD bits);

    // ---- Triggers and handlers ---------------------------------------------
    void SetAvailThreshold(win::DWORD count);
    int NewTimerTrigger();
    int ArmTimerTrigger(int handle, int ticks, bool activate);
    // True while the timer trigger is armed and has not fired.
    bool TimerTriggerArmed(int handle);
    // Data triggers: the pattern (1 to 22 bytes) is stored as given, upper
    // case when ignoreCase is set. -5002 for a pattern of no or too many bytes.
    int NewDataTrigger(const void* pattern, int length, bool ignoreCase);
    // Status triggers of kinds 1 to 5; a new one is disarmed.
    int NewStatusTrigger(int kind);
    int ArmStatusTrigger(int handle, std::uint16_t value);
    int DropTrigger(int handle);
    void ClearTriggerSet();
    void SaveTriggerSet(TTriggerSet& save);
    void RestoreTriggerSet(const TTriggerSet& save);
    static void FreeTriggerSet(TTriggerSet& save);

    void AttachWindow(win::HWND window);
    void DetachWindow(win::HWND window);
    void AttachProcedure(TTriggerHandlerProc procedure);
    void DetachProcedure(TTriggerHandlerProc procedure);
    // onMainThread: called through the dispatch thread's synchronised call.
    void AttachEventHandler(const TTriggerHandlerEvent& method, bool onMainThread = false);
    void DetachEventHandler(const TTriggerHandlerEvent& method);
    virtual void RefreshHandlerFlags(int kind);

    // ---- Trace -------------------------------------------------------------
    int InitTrace(int entries);
    void AddTraceEntry(char kind, std::uint8_t byte);
    void ClearTrace();
    void AbortTrace();
    void ResumeTrace();
    void PauseTrace();
    // A failed write gives the negated I/O error and keeps the trace as it
    // was, to be written again; only a complete one empties it.
    int DumpTrace(const std::string& fileName, bool hex, bool allHex);
    int AppendTrace(const std::string& fileName, bool hex, bool allHex);

    // ---- Dispatch log --------------------------------------------------------
    void InitLog(win::DWORD limit);
    void ClearLog();
    void AbortLog();
    void ResumeLog();
    void PauseLog();
    // Any thread; takes none of the three critical sections, only the log's
    // own brief lock.
    void AddLogEntry(std::uint8_t type, std::uint16_t subType, win::DWORD otherData,
                     const void* data, win::DWORD length);
    // Like the trace: the entries go only with a complete write.
    int DumpLog(const std::string& fileName, bool hex, bool allHex);
    int AppendLog(const std::string& fileName, bool hex, bool allHex);

    // ---- Called by the threads -------------------------------------------
    // A start that does not wait for its threads counts each one as it
    // launches it (and uncounts one that could not be made), and the thread
    // knows: its own start step then neither counts nor acknowledges, as
    // nobody waits for it and a late acknowledgement would answer a flush.
    void ThreadLaunching();
    void ThreadNotLaunched();
    void ThreadStarted();
    void ThreadEnded(TKivDispatcherThread* thread, int exitCode);
    // One turn of the dispatch thread after each wait.
    void DispatchPass();
    void TimerStatusPass();
    bool NotifyHandlers(win::UINT message, int handle, std::uint16_t data);
    // The dispatch thread's wait: until the input queue holds something, a
    // stop or a trigger change wakes it, or the time-out passes.
    void WaitForInput(win::DWORD milliseconds);
    // How long the dispatch thread may sleep before a pass has work that no
    // wake-up announces: the earliest active timer's expiry, a look at armed
    // status triggers, bytes queued behind a full dispatch buffer, scans the
    // last pass had to skip; INFINITE when nothing is due.
    win::DWORD NextWaitMilliseconds();

    // Bounds of that wait: status triggers and a backlog are looked at this
    // often, and an active timer at least this often, which also catches the
    // clock being moved under it.
    static constexpr win::DWORD StatusPollMilliseconds = 50;
    static constexpr win::DWORD TimerRecheckMilliseconds = 1000;

    // ---- Read by the layers above ------------------------------------------
    TComponent* PortOwner() const noexcept { return Owner; }
    int RegistryIndex() const noexcept { return Index; }
    bool InNotify() const noexcept { return Notifying.load(); }
    bool Started() const noexcept { return ThreadsStarted.load(); }
    std::string DeviceName;

    // ---- Device operations, implemented by the device layer ---------------
    virtual int DeviceEscape(int code) = 0;
    virtual int DeviceFlush(int queue) = 0;
    virtual win::DWORD DeviceGetErrors(win::COMSTAT& status) = 0;
    virtual int DeviceQueryEvents(int mask) = 0;
    virtual int DeviceGetConfig(win::DCB& config) = 0;
    virtual int DeviceRead(void* destination, int count) = 0;
    virtual int DeviceSetConfig(const win::DCB& config) = 0;
    virtual int DeviceWrite(const void* source, int count) = 0;
    virtual bool DeviceWaitEvent(win::DWORD& mask) = 0;
    virtual bool DeviceSetQueues(win::DWORD inSize, win::DWORD outSize) = 0;
    virtual void StartThreads() = 0;
    virtual void StopThreads() = 0;
    virtual int RingBytesUsed() = 0;
    virtual int HeadBytesUnread() { return 0; }
    // The handle's value, or a negative code.
    virtual std::intptr_t DeviceOpen(const std::string& name, win::DWORD inSize,
                                     win::DWORD outSize) = 0;
    virtual int DeviceClose() = 0;
    virtual int DeviceYield() = 0;

protected:
    // The two queries the dispatcher makes of the device directly; a scripted
    // device in the tests answers them itself.
    virtual win::DWORD DeviceModemStatus();
    virtual std::uint16_t DeviceBaseAddress();

public:
    // The close-or-release of destruction, with the wait for the threads. The
    // owner calls it before it destroys the dispatcher, so that no thread is
    // still inside while the destructors run; a derived destructor calls it
    // too, first, while its device operations exist.
    void Shutdown();

    // Closes the device handle and forgets it, under StateLock, so it is
    // closed once and never read half-closed. 0, or -1 when the close
    // failed and the handle is kept.
    int CloseDeviceHandle();

    // ---- State shared with the device layer ---------------------------------
    // Set by the open before the threads start; closed (and set back) only
    // under StateLock, by CloseDeviceHandle. Any thread may read it.
    std::atomic<win::HANDLE> DeviceHandle{win::INVALID_HANDLE_VALUE};
    win::DWORD InSize = 0;
    win::DWORD OutSize = 0;

    // Six events, nullptr when absent: wake-dispatch, status-processed,
    // thread-acknowledge, output-ready (auto-reset), one manual-reset event,
    // output-flush (auto-reset); and the two wait sets built from them.
    win::HANDLE WakeDispatchEvent = nullptr;
    win::HANDLE StatusProcessedEvent = nullptr;
    win::HANDLE ThreadAckEvent = nullptr;
    win::HANDLE OutputReadyEvent = nullptr;
    win::HANDLE ManualEvent = nullptr;
    win::HANDLE OutputFlushEvent = nullptr;
    win::HANDLE OutputWaitSet[2] = {nullptr, nullptr};
    win::HANDLE ManualWaitSet[2] = {nullptr, nullptr};

    // Under OutputLock.
    std::unique_ptr<std::uint8_t[]> OutRing;
    win::DWORD OutHead = 0;
    win::DWORD OutTail = 0;
    bool OutFull = false;

    TIOQueue InputQueue;

    std::atomic<TKivDispatcherThread*> ReadThread{nullptr};
    std::atomic<TKivDispatcherThread*> DispatchThread{nullptr};
    std::atomic<TKivDispatcherThread*> WriteThread{nullptr};
    std::atomic<TKivDispatcherThread*> StatusThread{nullptr};

    TStopFlag StopRequested{*this};
    std::atomic<bool> ThreadsStarted{false};
    std::atomic<win::LONG> ThreadCount{0};
    bool CountingLaunches = false;  // under StateLock, while StartThreads launches
    bool Stopping = false;  // under StateLock
    // Under StateLock: the owner's close is under way, so an ending dispatch
    // thread leaves the release to it; or the dispatch thread's end step has
    // taken the release, so the owner's close keeps off the device; or a
    // close gave up on a dispatch thread that may still query the device,
    // so the handle is closed at that thread's end step.
    bool OwnerClosing = false;
    bool ReleasingItself = false;
    bool HandleLeftToDispatch = false;
    std::atomic<win::DWORD> LastOSError{0};
    std::uint8_t ThreadBoost = 0;
    std::atomic<bool> RS485Mode{false};

    win::CRITICAL_SECTION StateLock;
    win::CRITICAL_SECTION OutputLock;
    win::CRITICAL_SECTION DispatchLock;

    // Counts the threads that have started and not yet left their end step;
    // destruction waits on it. Shared so the last thread can leave it after
    // the dispatcher is gone.
    std::shared_ptr<detail::TThreadGate> ThreadGate;

protected:
    // The platform family, read once; tests of the non-NT branches set it.
    bool NTPlatform = true;

    // ---- Line state (StateLock unless atomic) --------------------------------
    std::atomic<std::int32_t> ErrorBits{0};
    win::DWORD ModemShadow = 0;
    win::COMSTAT DeviceStatus;  // under OutputLock
    win::DCB Config;
    win::DWORD CurrentBaud = 115200;
    win::DWORD OptionFlags = 0;
    std::atomic<bool> DtrOn{false};
    std::atomic<bool> DtrFlow{false};
    std::atomic<bool> RtsOn{false};
    std::atomic<bool> RtsFlow{false};
    std::atomic<std::uint16_t> UartBase{0};
    std::atomic<bool> RingSeen{false};
    win::DWORD LastEventMask = 0;  // dispatch thread
    bool PassProgressed = true;    // dispatch thread

    // ---- Dispatch buffer (DispatchLock) -----------------------------------------
    std::unique_ptr<std::uint8_t[]> DispatchBuf;
    win::DWORD DispHead = 0;  // written only by the dispatch thread
    win::DWORD DispTail = 0;
    bool DispFull = false;
    bool ReadingInNotify = false;
    win::DWORD TakenNow = 0;
    win::DWORD TakenMax = 0;
    // Bytes past DispTail that a discard during this notification dropped:
    // no handler of it reads them, however little it has taken itself.
    win::DWORD DiscardedInNotify = 0;
    // A discard emptied the buffer up to DiscardedAt since the data scan last
    // looked: the bytes it had not searched yet are gone.
    bool InputDiscarded = false;
    bool FilledSinceDiscard = false;
    win::DWORD DiscardedAt = 0;

    // ---- Triggers and handlers (StateLock) -----------------------------------
    std::vector<TWindowHandler> WindowHandlers;
    std::vector<TProcedureHandler> ProcedureHandlers;
    std::vector<TEventHandler> EventHandlers;
    std::vector<TTimerTrigger> TimerTriggers;
    std::vector<TDataTrigger> DataTriggers;
    std::vector<TStatusTrigger> StatusTriggers;
    win::DWORD AvailThreshold = 0;
    int NextTriggerSlot = 1;
    bool PortListening = false;
    bool NotifyWanted = false;
    bool HandlerDeletesPending = false;
    // Dispatch thread only.
    win::DWORD ScanPos = 0;
    win::DWORD NotifyPos = 0;
    // A fill that laps the whole buffer brings the head back to where the
    // last scan or announcement ended, with every byte still unseen.
    bool FreshSinceNotify = false;  // bytes came in since NotifyPos was set
    bool ScanLapped = false;        // the head came round to ScanPos
    bool StatusHit = false;

    std::atomic<bool> Notifying{false};
    std::atomic<bool> ClosePending{false};
    std::atomic<bool> OutputSentPending{false};
    std::atomic<bool> ReleaseOnThreadExit{false};
    // Only one thread at a time runs the scans: the dispatch thread, or a
    // device thread reporting its failure.
    std::atomic<bool> ScanBusy{false};
    // The last pass moved bytes without scanning them (the scans were busy
    // elsewhere): the next one comes within a status poll, or as soon as the
    // scans are let go, without waiting for input.
    std::atomic<bool> ScansSkipped{false};
    // Only one thread releases the line per opening.
    std::atomic<bool> ReleaseClaimed{false};
    // The release waits for the dispatch thread a close gave up on: its end
    // step runs it.
    std::atomic<bool> ReleaseHandedOver{false};
    std::atomic<bool> ShutDown{false};

    // ---- Trace (StateLock) ---------------------------------------------------
    bool Tracing = false;
    std::unique_ptr<std::uint8_t[]> TraceBuf;
    win::DWORD TraceIndex = 0;
    win::DWORD TraceMax = 0;
    bool TraceWrapped = false;

    // ---- Log -----------------------------------------------------------------
    std::atomic<bool> Logging{false};
    TIOQueue LogQueue;
    // Held around the limit's pops and a push, and while a failed dump puts
    // its entries back, so that they go back ahead of every newer one. Taken
    // last, around queue operations only.
    win::TBriefMutex LogPushLock;
    std::atomic<win::DWORD> LogLimit{0};
    win::DWORD LogClock = 0;

private:
    friend class TStopFlag;
    friend class TDispThread;
    void DispatchThreadEnding(TKivDispatcherThread* thread);
    void WakeDispatch();
    // After a trigger change that may move the dispatch thread's next wake:
    // ends its wait unless it is the caller. Caller may hold StateLock.
    void TriggersChanged();
    bool ModemTriggerArmed();

    // Line control.
    int WriteConfig(win::DCB& config);
    void RefreshLineErrors();
    std::uint8_t ReadModemStatus(win::DWORD keepMask);
    // After a status buffer with modem events (its mask).
    void UpdateModemChangeBits(win::DWORD events);

    // Triggers.
    int AllocateTriggerHandle();
    bool FindTrigger(int handle, int& kind, std::size_t& index);
    void ClearDataMatches();
    void RemoveDeletedHandlers();
    bool ScanStatusTriggers();
    bool ScanDataTriggers();
    bool ScanTimerTriggers();
    void ResetStatusHits();
    bool FillDispatchBuffer();
    bool StatusScanLoop();
    void ReportLineFailure();
    bool ClaimRelease();
    bool LeaveReleaseToDispatchThread();

    int WriteTraceFile(const std::string& fileName, bool hex, bool allHex, bool append);
    int WriteLogFile(const std::string& fileName, bool hex, bool allHex, bool append);
    void RequeueLogEntries(std::vector<std::unique_ptr<TIOBuffer>>& taken);

    TComponent* Owner;
    int Index = -1;
};

} // namespace kivo
