#pragma once
// Thread message queues and hidden message windows, in the Win32 shape the
// stack is written against. Every thread has a queue, created on first use;
// a window belongs to the thread that created it and its procedure only ever
// runs there. Other threads reach it by posting (queued, no wait) or sending
// (queued, the sender blocks until the owner has handled it). Synchronised
// calls onto a thread travel the same queue as sent messages, so every wait
// that processes messages also serves them. Waits block on the queue's events
// until something arrives; a sender, and a message wait just after its thread
// served or dispatched something, spin briefly first (platform/sync.h,
// TBriefWaits), since the answer or the next message usually follows within
// microseconds.
//
// Order of service: sent messages and calls first (oldest first), then posted
// messages in posting order; a quit request only when nothing else is posted.
// Windows get no creation or destruction messages.

#include "platform/win_types.h"

#include <cstdint>
#include <functional>

namespace kivo::win {

struct HWND__;
using HWND = HWND__*;            // opaque; never reused within a process
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;  // accepted and ignored
struct HMENU__;
using HMENU = HMENU__*;          // accepted and ignored
using ATOM = WORD;
using LONG_PTR = std::intptr_t;
using DWORD_PTR = std::uintptr_t;

using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A procedure that can carry its own state, for windows of one object.
using TWindowFunction = std::function<LRESULT(UINT message, WPARAM wParam, LPARAM lParam)>;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_QUERYENDSESSION = 0x0011;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;

inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

inline constexpr UINT SMTO_NORMAL = 0x0000;
inline constexpr UINT SMTO_BLOCK = 0x0001;
inline constexpr UINT SMTO_ABORTIFHUNG = 0x0002;

// Wake masks of MsgWaitForMultipleObjects.
inline constexpr DWORD QS_POSTMESSAGE = 0x0008;
inline constexpr DWORD QS_SENDMESSAGE = 0x0040;
inline constexpr DWORD QS_ALLINPUT = 0x04FF;

// GetWindowLongPtr/SetWindowLongPtr index of the pointer-sized slot every
// window has; indexes from 0 address the class's window extra bytes.
inline constexpr int GWLP_USERDATA = -21;

inline constexpr DWORD ERROR_UNHANDLED_EXCEPTION = 574;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr DWORD ERROR_INVALID_INDEX = 1413;
inline constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
inline constexpr DWORD ERROR_TIMEOUT = 1460;

struct MSG {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD time = 0;  // timeGetTime-style milliseconds when it was posted
};

struct WNDCLASS {
    UINT style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbClsExtra = 0;
    int cbWndExtra = 0;  // zero-filled bytes per window, for SetWindowLongPtr
    HINSTANCE hInstance = nullptr;
    void* hIcon = nullptr;
    void* hCursor = nullptr;
    void* hbrBackground = nullptr;
    const char* lpszMenuName = nullptr;
    const char* lpszClassName = nullptr;
};

// ---- Thread identity ---------------------------------------------------

// A small number for the calling thread, never 0 and never reused.
DWORD GetCurrentThreadId();

// Ends the calling thread's queue as its exit would (its windows destroyed,
// waiting senders failed, posts dropped) and gives it a new thread id: a
// thread about to run an unrelated job starts as a new thread would.
void EndThreadMessageQueue();

// Records the calling thread as the main (user-interface) thread and creates
// its queue. The program calls it once at start; a test may call it again
// from the thread that will pump.
void SetMainThread();
bool IsMainThread();
DWORD GetMainThreadId();  // 0 while no main thread is set

// Any value serves; windows do not look at it.
HINSTANCE GetModuleHandle(const char* moduleName);

// ---- Windows -----------------------------------------------------------

// Class names compare without regard to case. A name already registered fails
// with ERROR_CLASS_ALREADY_EXISTS; the result is otherwise a non-zero atom.
ATOM RegisterClass(const WNDCLASS* windowClass);

// Creates a hidden window of a registered class, owned by the calling thread.
// Title, style, geometry, parent, menu, instance and creation data are
// accepted and ignored. nullptr with ERROR_CANNOT_FIND_WND_CLASS for an
// unknown class.
HWND CreateWindow(const char* className, const char* windowName, DWORD style, int x, int y,
                  int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                  void* param);

// A hidden window whose procedure is a function object, owned by the calling
// thread. Destroy it with DestroyWindow.
HWND CreateMessageWindow(TWindowFunction procedure);

// Only the owner thread may destroy a window (else ERROR_ACCESS_DENIED); a
// window may destroy itself from inside its procedure. Its posted messages
// are dropped and sends waiting for it fail at once. A thread that ends
// destroys the windows it still owns the same way.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId);

// 0 with ERROR_INVALID_INDEX when the slot does not fit the extra bytes;
// SetWindowLongPtr returns the previous value.
LONG_PTR GetWindowLongPtr(HWND window, int index);
LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value);

// The answer for messages a procedure does not handle: 1 for
// WM_QUERYENDSESSION (the session may end), 0 for everything else.
LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---- Posting and sending -------------------------------------------------

// Queues the message for the window's owner and returns at once. A null
// window posts a thread message to the calling thread. WM_QUIT posted any
// way becomes that thread's quit request. FALSE with
// ERROR_INVALID_WINDOW_HANDLE for a window that does not exist.
BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// FALSE with ERROR_INVALID_THREAD_ID for a thread that has no queue.
BOOL PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

// The calling thread's quit request, taken by GetMessage/PeekMessage as
// WM_QUIT with the exit code in wParam once nothing else is posted.
void PostQuitMessage(int exitCode);

// On the owner thread: a direct call of the procedure. From another thread:
// queued ahead of posted messages, and the sender waits (serving nothing of
// its own meanwhile, whatever the flags) until the owner has handled it.
// Non-zero on success with the procedure's result in *result. 0 with:
//   ERROR_TIMEOUT - the limit passed; a message the owner had not begun is
//     withdrawn, one it had begun runs to its end and its result is dropped;
//   ERROR_INVALID_WINDOW_HANDLE - no such window, or it was destroyed (or
//     its thread ended) before handling the message;
//   ERROR_UNHANDLED_EXCEPTION - the procedure raised; the exception goes on
//     in the owner thread, to whoever was processing its messages.
LRESULT SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                           UINT milliseconds, DWORD_PTR* result);

// SendMessageTimeout without a limit; 0 when the send fails.
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs call on the thread threadId the way a sent message runs there, while
// the calling thread waits; on the calling thread itself it is a direct call.
// An exception from call is re-thrown here, in the caller. FALSE with
// ERROR_INVALID_THREAD_ID (no queue, or its thread ended first) or
// ERROR_TIMEOUT (withdrawn, or still running when the limit passed).
BOOL SendThreadCall(DWORD threadId, const std::function<void()>& call, DWORD milliseconds);

// ---- Early replies -----------------------------------------------------------
//
// A sent message or call may let its sender go on before it returns, as
// ReplyMessage does. It serves a handler that destroys what its sender's
// thread works for: that destruction waits for the sender, which waits for
// the handler. The sent work opts in, holds nothing its sender shares, and
// after every step that may reply asks InSendMessageEx before it touches
// anything of the sender's again.

inline constexpr DWORD ISMEX_NOSEND = 0x00000000;
inline constexpr DWORD ISMEX_SEND = 0x00000001;
inline constexpr DWORD ISMEX_REPLIED = 0x00000008;

// The innermost sent message or call the calling thread is serving:
// ISMEX_SEND, with ISMEX_REPLIED once its sender has been let go;
// ISMEX_NOSEND when it serves none. reserved is ignored.
DWORD InSendMessageEx(void* reserved);

// From inside a sent message or call: ReplyToSender may let its sender go.
// Nothing from a procedure or call that the thread runs for itself within
// one (sent to its own window or thread, or a dispatched posted message):
// that is not the sent work, which may still need its sender.
void PermitEarlyReply();

// Lets thread senderId go on where it waits for a sent message or call that
// the calling thread is serving, at any depth, and that permitted an early
// reply: the send succeeds, with 0 as a message's result. What the message or
// call does or raises afterwards stays on this thread. TRUE when a waiting
// sender was let go.
BOOL ReplyToSender(DWORD senderId);

// ---- Processing ------------------------------------------------------------

// Serves every sent message and call that is pending, then looks at posted
// messages: TRUE with the oldest one (removed with PM_REMOVE), or with
// WM_QUIT when only the quit request is left (PM_REMOVE takes it; whoever
// takes it and is not the outermost loop posts it again).
BOOL PeekMessage(MSG* msg, UINT removeFlags);

// Blocks until a posted message or the quit request is there, serving sent
// messages and calls meanwhile. FALSE for WM_QUIT (taken, code in wParam).
BOOL GetMessage(MSG* msg);

// Calls the procedure of msg->hwnd on the calling thread; 0 for thread
// messages and for windows that are gone. Exceptions from the procedure pass.
LRESULT DispatchMessage(const MSG* msg);

// One step of "wait while processing messages": serves the oldest sent
// message or call, else dispatches the oldest posted message. A quit request
// stays where it is, so that the application still ends. TRUE when something
// ran; FALSE when nothing (or only the quit request) was waiting.
BOOL ProcessOneMessage();

// As ProcessOneMessage, for sent messages and calls only: posted messages
// stay queued. For waits that must not run arbitrary handlers.
BOOL ProcessOneSentMessage();

// Waits until one of the handles is signalled (WAIT_OBJECT_0 + its index,
// lowest first), or, with nothing signalled, until the calling thread's queue
// holds something the wake mask asks for (WAIT_OBJECT_0 + count):
// QS_SENDMESSAGE sent messages and calls, QS_POSTMESSAGE or QS_ALLINPUT
// those and posted messages. Unlike Win32 it reports whatever is pending, not
// only what arrived since the last look, so a caller never sleeps on a
// message it has not served. A quit request alone does not wake it: a wait
// cannot serve it and would only put it back. At most
// MAXIMUM_WAIT_OBJECTS - 1 handles (else WAIT_FAILED, ERROR_INVALID_PARAMETER).
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                DWORD wakeMask);

// A descriptor of the calling thread's queue that is readable exactly while
// something is waiting there, the quit request included; for an event loop
// to watch. Owned by the queue: never read, write or close it. -1 if it
// cannot be created.
int MessageWakeDescriptor();

} // namespace kivo::win
