#pragma once
// The application services every component and window relies on: the modal
// message box, the general error handler, termination requests, the main
// thread's identity, the Ctrl key at the moment a click is handled and the
// port-selection prompt. TApplication keeps the rules (queued error boxes,
// the termination flag); a TApplicationServices binds them to a toolkit
// (framework/qt) or to a test double, so no test ever waits for an operator.

#include <atomic>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kivo {

enum class TMessageKind : unsigned char { mkInformation, mkError };

// What a toolkit has to offer. ShowMessageBox runs modally and returns when
// the box is closed; Post runs call on the main thread once the handler that
// is running there has returned, and may be called from any thread.
class TApplicationServices {
public:
    virtual ~TApplicationServices() = default;

    virtual void ShowMessageBox(const std::string& text, TMessageKind kind) = 0;
    virtual void Post(std::function<void()> call) = 0;
    // Ends the message loop once the current handler has returned.
    virtual void Quit() = 0;
    virtual bool CtrlKeyDown() = 0;
    virtual void Beep() = 0;
};

// Returns the chosen port number, or nothing when the operator cancels.
using TPortPrompt = std::function<std::optional<int>()>;

// One per program (tests make their own and install it with
// TApplicationScope). Created on the main thread, which it makes the
// platform's main thread: the one its queue serves and synchronised calls
// reach. HandleException may be called from any thread; everything else
// belongs to the main thread.
class TApplication {
public:
    explicit TApplication(TApplicationServices& services);
    ~TApplication();

    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // The general error handler: the message goes into a box, shown once
    // the running handler has returned and after any boxes queued earlier;
    // the program carries on.
    void HandleException(const std::exception& error);
    // For a catch block: the exception being handled, whatever its class.
    void HandleCurrentException();
    void HandleException(std::exception_ptr error);

    // A modal box shown at once; returns when it is closed.
    void MessageBox(const std::string& text, TMessageKind kind = TMessageKind::mkInformation);

    void Terminate();
    bool Terminated() const noexcept { return TerminateRequested.load(); }

    bool IsMainThread() const noexcept;

    bool CtrlKeyDown() const { return Services.CtrlKeyDown(); }
    void Beep() const { Services.Beep(); }

    // Asked by a serial port that must open with no port number. Without a
    // prompt installed the choice counts as cancelled.
    void SetPortPrompt(TPortPrompt prompt) { PortPrompt = std::move(prompt); }
    std::optional<int> PromptForPort() const;

    // Error boxes queued and not yet shown.
    std::size_t PendingErrorCount() const;

private:
    friend TApplication& Application();
    // The fallback's: it may first be asked for on any thread, so it claims none.
    struct TNoMainThread {};
    TApplication(TApplicationServices& services, TNoMainThread);

    void QueueError(std::string text);
    void ShowPendingErrors();

    TApplicationServices& Services;
    std::atomic<bool> TerminateRequested{false};
    TPortPrompt PortPrompt;

    mutable std::mutex PendingLock;
    std::deque<std::string> PendingErrors;
    bool FlushPosted = false;
    bool Flushing = false;

    // Posted calls hold it weakly, so one that runs after we are gone does nothing.
    std::shared_ptr<TApplication*> Alive = std::make_shared<TApplication*>(this);
};

// The application in force. Before any is installed, a fallback that writes
// its boxes to standard error and never blocks.
TApplication& Application();

// Installs an application for its lifetime and puts the previous one back.
// While one is installed, exceptions that reach the top of a stack thread or
// of the message loop go to its general error handler.
class TApplicationScope {
public:
    explicit TApplicationScope(TApplication& application);
    ~TApplicationScope();

    TApplicationScope(const TApplicationScope&) = delete;
    TApplicationScope& operator=(const TApplicationScope&) = delete;

private:
    TApplication* Previous;
};

} // namespace kivo
