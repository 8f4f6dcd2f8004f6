// Thread queues, the window and queue registries, posting, sending and the
// waits that process messages.
//
// Each queue mirrors its state into two manual-reset events (something sent
// is pending; anything is pending) so that MsgWaitForMultipleObjects is one
// WaitForMultipleObjects over the caller's handles plus one of them, and into
// an eventfd for event loops. The mirrors change only under the queue's lock.

#include "platform/window.h"

#include "platform/clock.h"
#include "platform/sync.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kivo::win {

namespace {

struct ThreadQueue;

struct WindowEntry {
    HWND Handle = nullptr;
    std::shared_ptr<ThreadQueue> Owner;  // the cycle with Owner->Windows breaks on destroy
    WNDPROC Procedure = nullptr;
    TWindowFunction Function;  // kept until the entry dies: it may be running
    LONG_PTR UserData = 0;           // under Owner->Lock
    std::vector<unsigned char> Extra;  // under Owner->Lock
    bool Destroyed = false;          // under Owner->Lock
};

enum class TSentState : std::uint8_t { ssWaiting, ssRunning, ssDone, ssFailed };

// One sent message or call. Shared by sender and owner, so that a sender that
// gives up leaves nothing dangling behind. The owner copies what it runs when
// it takes the item, and touches nothing of it but its word once it has
// answered, so a sender that saw the answer arrive may use it again.
struct SentItem {
    std::shared_ptr<WindowEntry> Target;  // none for a call
    UINT Message = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    std::function<void()> Call;
    DWORD Sender = 0;

    // Under the owner queue's lock.
    TSentState State = TSentState::ssWaiting;
    // Moved on once per send, after State became ssDone or ssFailed, for a
    // sender that spins or sleeps before it takes the lock; the lock still
    // orders what it then reads.
    TChangeWord Ended;
    bool Abandoned = false;  // the sender stopped waiting while it ran
    LRESULT Result = 0;
    DWORD Error = ERROR_SUCCESS;
    std::exception_ptr Raised;
};

struct ThreadQueue {
    explicit ThreadQueue(DWORD threadId) : ThreadId(threadId) {}
    ~ThreadQueue()
    {
        if (AnyEvent) CloseHandle(AnyEvent);
        if (SentEvent) CloseHandle(SentEvent);
        if (WakeFd >= 0) ::close(WakeFd);
    }
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    const DWORD ThreadId;
    std::mutex Lock;
    std::condition_variable Arrived;
    // As many as there are threads waiting on this one: a vector, which
    // stops allocating once it has grown to that.
    std::vector<std::shared_ptr<SentItem>> Sent;
    std::deque<MSG> Posted;
    bool QuitPending = false;
    int QuitCode = 0;
    bool Dead = false;  // its thread has ended
    std::vector<std::shared_ptr<WindowEntry>> Windows;

    HANDLE AnyEvent = nullptr;
    HANDLE SentEvent = nullptr;
    int WakeFd = -1;
    bool AnyMirrored = false;
    bool SentMirrored = false;
    bool Announced = false;

    // Caller holds Lock.
    void Refresh()
    {
        bool sent = !Sent.empty();
        bool any = sent || !Posted.empty();
        bool announce = any || QuitPending;
        if (sent != SentMirrored) {
            sent ? SetEvent(SentEvent) : ResetEvent(SentEvent);
            SentMirrored = sent;
        }
        if (any != AnyMirrored) {
            any ? SetEvent(AnyEvent) : ResetEvent(AnyEvent);
            AnyMirrored = any;
        }
        if (WakeFd >= 0 && announce != Announced) {
            eventfd_t count = 0;
            announce ? eventfd_write(WakeFd, 1) : eventfd_read(WakeFd, &count);
            Announced = announce;
        }
        if (announce) Arrived.notify_all();
    }
};

struct ClassEntry {
    std::string Name;
    WNDCLASS Class;
};

struct Registry {
    std::mutex Lock;
    std::unordered_map<HWND, std::shared_ptr<WindowEntry>> Windows;
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> Queues;
    std::vector<ClassEntry> Classes;
    std::uintptr_t LastWindow = 0;
};

// Never destroyed: threads may still post while statics are torn down.
Registry& Windows()
{
    static Registry* registry = new Registry;
    return *registry;
}

std::atomic<DWORD> LastThreadId{0};
std::atomic<DWORD> MainThread{0};
thread_local DWORD CurrentThreadId = 0;
// Something was served or dispatched since this thread's last message wait.
thread_local bool ServedSinceWait = false;

// Procedures and calls this thread runs for itself (direct sends, dispatched
// posted messages, calls to itself), however deeply nested.
thread_local unsigned OwnCalls = 0;

struct OwnCall {
    OwnCall() { ++OwnCalls; }
    ~OwnCall() { --OwnCalls; }
    OwnCall(const OwnCall&) = delete;
    OwnCall& operator=(const OwnCall&) = delete;
};

// A sent message or call being served, in the serving frame; the innermost
// is the thread's Serving. Only the serving thread looks at these.
struct ServedSend {
    SentItem& Item;
    ThreadQueue& Queue;
    ServedSend* Outer;
    // What runs inside the sent work for this thread's own sake (OwnCalls
    // above this) is not that work and may not opt it in to an early reply.
    unsigned OwnCallsAtStart;
    bool MayReply = false;
    bool Replied = false;
};
thread_local ServedSend* Serving = nullptr;

BOOL FailWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

bool SameClassName(const std::string& a, const char* b)
{
    std::size_t length = std::strlen(b);
    if (a.size() != length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Ends the queue with its thread: windows still owned are destroyed, every
// waiting sender is told, and nothing can be queued any more.
void EndQueue(const std::shared_ptr<ThreadQueue>& queue)
{
    std::vector<std::shared_ptr<WindowEntry>> windows;
    {
        std::lock_guard lock(queue->Lock);
        queue->Dead = true;
        for (auto& item : queue->Sent) {
            item->State = TSentState::ssFailed;
            item->Error = item->Target ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_THREAD_ID;
            item->Ended.Bump();
        }
        queue->Sent.clear();
        queue->Posted.clear();
        queue->QuitPending = false;
        windows.swap(queue->Windows);
        for (auto& window : windows) window->Destroyed = true;
        queue->Refresh();
    }
    Registry& registry = Windows();
    std::lock_guard lock(registry.Lock);
    for (auto& window : windows) registry.Windows.erase(window->Handle);
    registry.Queues.erase(queue->ThreadId);
}

struct QueueHolder {
    std::shared_ptr<ThreadQueue> Queue;
    ~QueueHolder()
    {
        if (Queue) EndQueue(Queue);
    }
};
thread_local QueueHolder CurrentQueue;

// The calling thread's queue, created on first use.
ThreadQueue& MyQueue()
{
    if (CurrentQueue.Queue) return *CurrentQueue.Queue;
    auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
    queue->AnyEvent = CreateEvent(true, false);
    queue->SentEvent = CreateEvent(true, false);
    if (!queue->AnyEvent || !queue->SentEvent) throw std::bad_alloc();
    {
        Registry& registry = Windows();
        std::lock_guard lock(registry.Lock);
        registry.Queues[queue->ThreadId] = queue;
    }
    CurrentQueue.Queue = std::move(queue);
    return *CurrentQueue.Queue;
}

std::shared_ptr<WindowEntry> FindWindow(HWND window)
{
    if (!window) return nullptr;
    Registry& registry = Windows();
    std::lock_guard lock(registry.Lock);
    auto found = registry.Windows.find(window);
    return found == registry.Windows.end() ? nullptr : found->second;
}

std::shared_ptr<ThreadQueue> FindQueue(DWORD threadId)
{
    Registry& registry = Windows();
    std::lock_guard lock(registry.Lock);
    auto found = registry.Queues.find(threadId);
    return found == registry.Queues.end() ? nullptr : found->second;
}

LRESULT CallProcedure(const WindowEntry& window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (window.Function) return window.Function(message, wParam, lParam);
    return window.Procedure(window.Handle, message, wParam, lParam);
}

// Caller holds queue.Lock.
void Enqueue(ThreadQueue& queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUIT) {
        queue.QuitPending = true;
        queue.QuitCode = static_cast<int>(wParam);
    } else {
        queue.Posted.push_back(MSG{window, message, wParam, lParam, timeGetTime()});
    }
    queue.Refresh();
}

// Queues item on queue and waits for the owner to finish it, to fail it, or
// for the limit. The result is the item's success; the last error says why not.
// What a call raised is moved to *raised under the lock, so that only the
// caller's thread holds the exception from then on.
// *settled tells that the owner is done with the item, so it may serve again.
BOOL Deliver(ThreadQueue& queue, const std::shared_ptr<SentItem>& item, DWORD milliseconds,
             bool* settled, std::exception_ptr* raised = nullptr)
{
    std::unique_lock lock(queue.Lock, std::defer_lock);
    *settled = true;
    std::uint32_t seen;
    {
        // The owner is woken once the queue is let go, or it would find the
        // queue still held and sleep on it.
        TWakesHeld wakes;
        lock.lock();
        if (queue.Dead)
            return FailWith(item->Target ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_THREAD_ID);
        if (item->Target && item->Target->Destroyed) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
        item->Sender = GetCurrentThreadId();
        seen = item->Ended.Load();
        queue.Sent.push_back(item);
        queue.Refresh();
        lock.unlock();
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    // The owner usually answers within microseconds; a sender that sleeps
    // at once pays for being woken on top of that.
    thread_local TSpinGauge answers;
    auto answered = [&] { return item->Ended.Load() != seen; };
    if (!SpinBriefly(answers, answered)) {
        const bool forever = milliseconds == INFINITE;
        while (!answered() && (forever || std::chrono::steady_clock::now() < deadline))
            item->Ended.SleepWhile(seen, forever ? nullptr : &deadline);
    }
    // Only an answer seen to arrive is the owner's last touch; one found
    // under the lock after the limit may still have its word to move.
    *settled = answered();
    lock.lock();
    if (item->State == TSentState::ssDone) {
        if (raised) *raised = std::move(item->Raised);
        return TRUE;
    }
    if (item->State == TSentState::ssFailed) return FailWith(item->Error);
    if (item->State == TSentState::ssWaiting) {
        // Not begun: withdrawn, so the owner never runs what nobody waits for.
        queue.Sent.erase(std::find(queue.Sent.begin(), queue.Sent.end(), item));
        queue.Refresh();
        *settled = true;
    } else {
        item->Abandoned = true;
    }
    return FailWith(ERROR_TIMEOUT);
}

// The calling thread's item for its next send or call. A thread has at most
// one under way, so a settled one serves all that follow: no allocation per
// message on a line's busiest path.
thread_local std::shared_ptr<SentItem> SpareItem;

std::shared_ptr<SentItem> TakeSentItem()
{
    if (SpareItem) return std::move(SpareItem);
    return std::make_shared<SentItem>();
}

// Keeps item for the next send when the owner is done with it, holding
// nothing of this one; else lets it go.
void KeepSentItem(std::shared_ptr<SentItem>& item, bool settled)
{
    if (!settled) return;
    item->Target.reset();
    item->Call = nullptr;
    item->Sender = 0;
    item->State = TSentState::ssWaiting;
    item->Abandoned = false;
    item->Result = 0;
    item->Error = ERROR_SUCCESS;
    item->Raised = nullptr;
    SpareItem = std::move(item);
}

// Serves the oldest sent message or call of the calling thread's queue.
bool ServeOneSent(ThreadQueue& queue)
{
    std::shared_ptr<SentItem> item;
    std::shared_ptr<WindowEntry> target;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::function<void()> call;
    {
        std::lock_guard lock(queue.Lock);
        if (queue.Sent.empty()) return false;
        item = std::move(queue.Sent.front());
        queue.Sent.erase(queue.Sent.begin());
        item->State = TSentState::ssRunning;
        // Taken out: a sender let go early may use its item again meanwhile.
        target = std::move(item->Target);
        message = item->Message;
        wParam = item->WParam;
        lParam = item->LParam;
        call = std::move(item->Call);
        queue.Refresh();
    }
    LRESULT result = 0;
    std::exception_ptr raised;
    ServedSend served{*item, queue, Serving, OwnCalls};
    Serving = &served;
    try {
        if (target)
            result = CallProcedure(*target, message, wParam, lParam);
        else
            call();
    } catch (...) {
        raised = std::current_exception();
    }
    Serving = served.Outer;
    // This thread lets go of the call and its captures before the sender
    // runs on, so nothing the sender shares is released behind its back.
    call = nullptr;

    std::unique_lock lock(queue.Lock);
    if (served.Replied) {
        // Answered already: the sender has gone on.
        ServedSinceWait = true;
        lock.unlock();
        if (raised) std::rethrow_exception(raised);
        return true;
    }
    if (!raised) {
        item->Result = result;
        item->State = TSentState::ssDone;
    } else if (!target && !item->Abandoned) {
        // The caller of a synchronised call gets its exception back.
        item->Raised = std::move(raised);
        item->State = TSentState::ssDone;
    } else {
        item->State = TSentState::ssFailed;
        item->Error = ERROR_UNHANDLED_EXCEPTION;
    }
    ServedSinceWait = true;
    // Woken after the lock is let go, or the sender would wake only to wait
    // for it: one switch less on every send and synchronised call. The item
    // is ours too (shared), so its word outlives the sender's return.
    lock.unlock();
    item->Ended.Bump();
    if (raised) std::rethrow_exception(raised);
    return true;
}

// The window, if it exists and is not being destroyed.
std::shared_ptr<WindowEntry> LiveWindow(HWND window)
{
    auto entry = FindWindow(window);
    if (!entry) return nullptr;
    std::lock_guard lock(entry->Owner->Lock);
    return entry->Destroyed ? nullptr : entry;
}

HWND AddWindow(std::shared_ptr<WindowEntry> entry)
{
    ThreadQueue& queue = MyQueue();
    entry->Owner = CurrentQueue.Queue;
    {
        Registry& registry = Windows();
        std::lock_guard lock(registry.Lock);
        entry->Handle = reinterpret_cast<HWND>(++registry.LastWindow);
        registry.Windows[entry->Handle] = entry;
    }
    std::lock_guard lock(queue.Lock);
    queue.Windows.push_back(entry);
    return entry->Handle;
}

// Caller holds window.Owner->Lock. The slot at index, or nullptr.
unsigned char* WindowSlot(WindowEntry& window, int index)
{
    if (index == GWLP_USERDATA) return reinterpret_cast<unsigned char*>(&window.UserData);
    if (index < 0 || static_cast<std::size_t>(index) + sizeof(LONG_PTR) > window.Extra.size())
        return nullptr;
    return window.Extra.data() + index;
}

} // namespace

// ---- Thread identity ---------------------------------------------------

DWORD GetCurrentThreadId()
{
    if (CurrentThreadId == 0) CurrentThreadId = ++LastThreadId;
    return CurrentThreadId;
}

void EndThreadMessageQueue()
{
    if (std::shared_ptr<ThreadQueue> queue = std::move(CurrentQueue.Queue)) EndQueue(queue);
    CurrentThreadId = 0;
}

void SetMainThread()
{
    MyQueue();
    MainThread = GetCurrentThreadId();
}

bool IsMainThread()
{
    return MainThread.load() == GetCurrentThreadId();
}

DWORD GetMainThreadId()
{
    return MainThread.load();
}

HINSTANCE GetModuleHandle(const char*)
{
    static char module;
    return reinterpret_cast<HINSTANCE>(&module);
}

// ---- Windows -----------------------------------------------------------

ATOM RegisterClass(const WNDCLASS* windowClass)
{
    if (!windowClass || !windowClass->lpszClassName || !*windowClass->lpszClassName ||
        !windowClass->lpfnWndProc || windowClass->cbWndExtra < 0)
        return static_cast<ATOM>(FailWith(ERROR_INVALID_PARAMETER));
    Registry& registry = Windows();
    std::lock_guard lock(registry.Lock);
    for (const ClassEntry& entry : registry.Classes)
        if (SameClassName(entry.Name, windowClass->lpszClassName))
            return static_cast<ATOM>(FailWith(ERROR_CLASS_ALREADY_EXISTS));
    registry.Classes.push_back(ClassEntry{windowClass->lpszClassName, *windowClass});
    return static_cast<ATOM>(0xC000 + registry.Classes.size() - 1);
}

HWND CreateWindow(const char* className, const char*, DWORD, int, int, int, int, HWND, HMENU,
                  HINSTANCE, void*)
{
    auto entry = std::make_shared<WindowEntry>();
    {
        Registry& registry = Windows();
        std::lock_guard lock(registry.Lock);
        auto found = std::find_if(registry.Classes.begin(), registry.Classes.end(),
                                  [&](const ClassEntry& c) { return className && SameClassName(c.Name, className); });
        if (found == registry.Classes.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        entry->Procedure = found->Class.lpfnWndProc;
        entry->Extra.assign(static_cast<std::size_t>(found->Class.cbWndExtra), 0);
    }
    return AddWindow(std::move(entry));
}

HWND CreateMessageWindow(TWindowFunction procedure)
{
    if (!procedure) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto entry = std::make_shared<WindowEntry>();
    entry->Function = std::move(procedure);
    return AddWindow(std::move(entry));
}

BOOL DestroyWindow(HWND window)
{
    auto entry = FindWindow(window);
    if (!entry) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
    ThreadQueue& queue = *entry->Owner;
    if (queue.ThreadId != GetCurrentThreadId()) return FailWith(ERROR_ACCESS_DENIED);
    {
        std::lock_guard lock(queue.Lock);
        if (entry->Destroyed) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
        entry->Destroyed = true;
        std::erase_if(queue.Posted, [&](const MSG& msg) { return msg.hwnd == window; });
        std::erase_if(queue.Sent, [&](const std::shared_ptr<SentItem>& item) {
            if (item->Target != entry) return false;
            item->State = TSentState::ssFailed;
            item->Error = ERROR_INVALID_WINDOW_HANDLE;
            item->Ended.Bump();
            return true;
        });
        std::erase(queue.Windows, entry);
        queue.Refresh();
    }
    Registry& registry = Windows();
    std::lock_guard lock(registry.Lock);
    registry.Windows.erase(window);
    return TRUE;
}

BOOL IsWindow(HWND window)
{
    return LiveWindow(window) ? TRUE : FALSE;
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId)
{
    auto entry = LiveWindow(window);
    if (!entry) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
    if (processId) *processId = static_cast<DWORD>(::getpid());
    return entry->Owner->ThreadId;
}

LONG_PTR GetWindowLongPtr(HWND window, int index)
{
    auto entry = LiveWindow(window);
    if (!entry) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
    std::lock_guard lock(entry->Owner->Lock);
    unsigned char* slot = WindowSlot(*entry, index);
    if (!slot) return FailWith(ERROR_INVALID_INDEX);
    LONG_PTR value;
    std::memcpy(&value, slot, sizeof value);
    return value;
}

LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value)
{
    auto entry = LiveWindow(window);
    if (!entry) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
    std::lock_guard lock(entry->Owner->Lock);
    unsigned char* slot = WindowSlot(*entry, index);
    if (!slot) return FailWith(ERROR_INVALID_INDEX);
    LONG_PTR previous;
    std::memcpy(&previous, slot, sizeof previous);
    std::memcpy(slot, &value, sizeof value);
    return previous;
}

LRESULT DefWindowProc(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_QUERYENDSESSION ? 1 : 0;
}

// ---- Posting and sending -------------------------------------------------

BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!window) {
        ThreadQueue& queue = MyQueue();
        std::lock_guard lock(queue.Lock);
        Enqueue(queue, nullptr, message, wParam, lParam);
        return TRUE;
    }
    auto entry = FindWindow(window);
    if (!entry) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
    ThreadQueue& queue = *entry->Owner;
    std::lock_guard lock(queue.Lock);
    if (entry->Destroyed || queue.Dead) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
    Enqueue(queue, message == WM_QUIT ? nullptr : window, message, wParam, lParam);
    return TRUE;
}

BOOL PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto queue = FindQueue(threadId);
    if (!queue) return FailWith(ERROR_INVALID_THREAD_ID);
    std::lock_guard lock(queue->Lock);
    if (queue->Dead) return FailWith(ERROR_INVALID_THREAD_ID);
    Enqueue(*queue, nullptr, message, wParam, lParam);
    return TRUE;
}

void PostQuitMessage(int exitCode)
{
    ThreadQueue& queue = MyQueue();
    std::lock_guard lock(queue.Lock);
    Enqueue(queue, nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

LRESULT SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT,
                           UINT milliseconds, DWORD_PTR* result)
{
    auto entry = LiveWindow(window);
    if (!entry) return FailWith(ERROR_INVALID_WINDOW_HANDLE);
    if (entry->Owner->ThreadId == GetCurrentThreadId()) {
        OwnCall own;
        LRESULT direct = CallProcedure(*entry, message, wParam, lParam);
        if (result) *result = static_cast<DWORD_PTR>(direct);
        return TRUE;
    }
    auto item = TakeSentItem();
    item->Target = entry;
    item->Message = message;
    item->WParam = wParam;
    item->LParam = lParam;
    bool settled = false;
    const BOOL delivered = Deliver(*entry->Owner, item, milliseconds, &settled);
    if (delivered && result) *result = static_cast<DWORD_PTR>(item->Result);
    KeepSentItem(item, settled);
    return delivered;
}

LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeout(window, message, wParam, lParam, SMTO_NORMAL, INFINITE, &result)) return 0;
    return static_cast<LRESULT>(result);
}

BOOL SendThreadCall(DWORD threadId, const std::function<void()>& call, DWORD milliseconds)
{
    if (!call) return FailWith(ERROR_INVALID_PARAMETER);
    if (threadId == GetCurrentThreadId()) {
        OwnCall own;
        call();
        return TRUE;
    }
    auto queue = FindQueue(threadId);
    if (!queue) return FailWith(ERROR_INVALID_THREAD_ID);
    auto item = TakeSentItem();
    // A copy: a caller that gives up must not take the running call with it.
    item->Call = call;
    std::exception_ptr raised;
    bool settled = false;
    const BOOL delivered = Deliver(*queue, item, milliseconds, &settled, &raised);
    KeepSentItem(item, settled);
    if (!delivered) return FALSE;
    if (raised) std::rethrow_exception(raised);
    return TRUE;
}

// ---- Early replies -----------------------------------------------------------

DWORD InSendMessageEx(void*)
{
    if (!Serving) return ISMEX_NOSEND;
    return Serving->Replied ? ISMEX_SEND | ISMEX_REPLIED : ISMEX_SEND;
}

void PermitEarlyReply()
{
    if (Serving && Serving->OwnCallsAtStart == OwnCalls) Serving->MayReply = true;
}

BOOL ReplyToSender(DWORD senderId)
{
    for (ServedSend* served = Serving; served; served = served->Outer) {
        SentItem& item = served->Item;
        if (!served->MayReply || served->Replied || item.Sender != senderId) continue;
        served->Replied = true;
        {
            std::lock_guard lock(served->Queue.Lock);
            // A sender that set a limit may have given up meanwhile.
            if (item.Abandoned) return FALSE;
            item.Result = 0;
            item.State = TSentState::ssDone;
        }
        // The serving frame keeps the item, and its word, alive.
        item.Ended.Bump();
        return TRUE;
    }
    return FALSE;
}

// ---- Processing ------------------------------------------------------------

BOOL PeekMessage(MSG* msg, UINT removeFlags)
{
    if (!msg) return FailWith(ERROR_INVALID_PARAMETER);
    ThreadQueue& queue = MyQueue();
    std::size_t pending;
    {
        std::lock_guard lock(queue.Lock);
        pending = queue.Sent.size();
    }
    // Only what was pending on entry: senders that send again at once must
    // not keep this call from returning.
    while (pending-- > 0 && ServeOneSent(queue)) {
    }
    std::lock_guard lock(queue.Lock);
    if (!queue.Posted.empty()) {
        *msg = queue.Posted.front();
        if (removeFlags & PM_REMOVE) {
            queue.Posted.pop_front();
            queue.Refresh();
            ServedSinceWait = true;
        }
        return TRUE;
    }
    if (queue.QuitPending) {
        *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.QuitCode), 0, timeGetTime()};
        if (removeFlags & PM_REMOVE) {
            queue.QuitPending = false;
            queue.Refresh();
        }
        return TRUE;
    }
    return FALSE;
}

BOOL GetMessage(MSG* msg)
{
    if (!msg) return FailWith(ERROR_INVALID_PARAMETER);
    ThreadQueue& queue = MyQueue();
    for (;;) {
        if (PeekMessage(msg, PM_REMOVE)) return msg->message == WM_QUIT ? FALSE : TRUE;
        std::unique_lock lock(queue.Lock);
        queue.Arrived.wait(lock, [&] {
            return !queue.Sent.empty() || !queue.Posted.empty() || queue.QuitPending;
        });
    }
}

LRESULT DispatchMessage(const MSG* msg)
{
    if (!msg || !msg->hwnd) return 0;
    auto entry = LiveWindow(msg->hwnd);
    if (!entry) return 0;
    OwnCall own;
    return CallProcedure(*entry, msg->message, msg->wParam, msg->lParam);
}

BOOL ProcessOneMessage()
{
    ThreadQueue& queue = MyQueue();
    if (ServeOneSent(queue)) return TRUE;
    MSG msg;
    {
        std::lock_guard lock(queue.Lock);
        if (queue.Posted.empty()) return FALSE;
        msg = queue.Posted.front();
        queue.Posted.pop_front();
        queue.Refresh();
    }
    ServedSinceWait = true;
    DispatchMessage(&msg);
    return TRUE;
}

BOOL ProcessOneSentMessage()
{
    return ServeOneSent(MyQueue()) ? TRUE : FALSE;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask)
{
    if (count > MAXIMUM_WAIT_OBJECTS - 1 || (count > 0 && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    std::copy(handles, handles + count, all);
    ThreadQueue& queue = MyQueue();
    if (wakeMask & QS_POSTMESSAGE)
        all[count++] = queue.AnyEvent;
    else if (wakeMask & QS_SENDMESSAGE)
        all[count++] = queue.SentEvent;
    if (count == 0) {
        Sleep(milliseconds);
        return WAIT_TIMEOUT;
    }
    // Just after serving, the next message (a line thread's next
    // synchronised call) often comes within microseconds: a brief wait.
    thread_local TSpinGauge nextMessages;
    std::optional<TBriefWaits> brief;
    if (std::exchange(ServedSinceWait, false)) brief.emplace(nextMessages);
    return WaitForMultipleObjects(count, all, FALSE, milliseconds);
}

int MessageWakeDescriptor()
{
    ThreadQueue& queue = MyQueue();
    std::lock_guard lock(queue.Lock);
    if (queue.WakeFd < 0) {
        queue.WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (queue.WakeFd < 0) return -1;
        queue.Announced = false;
        queue.Refresh();
    }
    return queue.WakeFd;
}

} // namespace kivo::win
