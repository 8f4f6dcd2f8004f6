// The general error handler's queue, termination and the application in force.

#include "framework/application.h"

#include "framework/thread.h"
#include "platform/window.h"

#include <cstdio>

namespace kivo {

namespace {

// Used when no toolkit has been bound: nothing can run modally, so boxes go
// to standard error and posted calls run at once.
class TStandardErrorServices final : public TApplicationServices {
public:
    void ShowMessageBox(const std::string& text, TMessageKind) override
    {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void Post(std::function<void()> call) override { call(); }
    void Quit() override {}
    bool CtrlKeyDown() override { return false; }
    void Beep() override {}
};

std::atomic<TApplication*> Current{nullptr};

} // namespace

TApplication::TApplication(TApplicationServices& services) : Services(services)
{
    win::SetMainThread();
}

TApplication::TApplication(TApplicationServices& services, TNoMainThread) : Services(services) {}

TApplication::~TApplication()
{
    // A posted flush may outlive us in the toolkit's queue; it must find nothing.
    std::lock_guard lock(PendingLock);
    // Raised after the loop ended (while the window closed its port): no box
    // can show them any more, but they are not dropped unseen.
    for (const std::string& text : PendingErrors) std::fprintf(stderr, "%s\n", text.c_str());
    PendingErrors.clear();
    Alive.reset();
}

void TApplication::HandleException(const std::exception& error)
{
    QueueError(error.what());
}

void TApplication::HandleCurrentException()
{
    try {
        throw;
    } catch (const std::exception& error) {
        QueueError(error.what());
    } catch (...) {
        QueueError("Unknown exception");
    }
}

void TApplication::HandleException(std::exception_ptr error)
{
    if (!error) return;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        HandleCurrentException();
    }
}

void TApplication::MessageBox(const std::string& text, TMessageKind kind)
{
    Services.ShowMessageBox(text, kind);
}

void TApplication::Terminate()
{
    TerminateRequested = true;
    Services.Quit();
}

std::optional<int> TApplication::PromptForPort() const
{
    if (!PortPrompt) return std::nullopt;
    return PortPrompt();
}

std::size_t TApplication::PendingErrorCount() const
{
    std::lock_guard lock(PendingLock);
    return PendingErrors.size();
}

void TApplication::QueueError(std::string text)
{
    bool post = false;
    {
        std::lock_guard lock(PendingLock);
        PendingErrors.push_back(std::move(text));
        if (!FlushPosted) post = FlushPosted = true;
    }
    if (!post) return;
    std::weak_ptr<TApplication*> alive = Alive;
    Services.Post([alive] {
        if (auto self = alive.lock()) (*self)->ShowPendingErrors();
    });
}

void TApplication::ShowPendingErrors()
{
    {
        std::lock_guard lock(PendingLock);
        FlushPosted = false;
        // A box of ours is open further down the stack; its loop shows the rest.
        if (Flushing) return;
        Flushing = true;
    }
    struct TFlushEnd {
        TApplication& Owner;
        ~TFlushEnd()
        {
            std::lock_guard lock(Owner.PendingLock);
            Owner.Flushing = false;
        }
    } flushEnd{*this};
    for (;;) {
        std::string text;
        {
            std::lock_guard lock(PendingLock);
            if (PendingErrors.empty()) return;
            text = std::move(PendingErrors.front());
            PendingErrors.pop_front();
        }
        Services.ShowMessageBox(text, TMessageKind::mkError);
    }
}

bool TApplication::IsMainThread() const noexcept
{
    return win::IsMainThread();
}

TApplication& Application()
{
    TApplication* current = Current.load();
    if (current) return *current;
    static TStandardErrorServices services;
    static TApplication fallback(services, TApplication::TNoMainThread{});
    return fallback;
}

TApplicationScope::TApplicationScope(TApplication& application)
    : Previous(Current.exchange(&application))
{
    if (!Previous)
        SetExceptionDisplay([](std::exception_ptr error) { Application().HandleException(error); });
}

TApplicationScope::~TApplicationScope()
{
    Current.store(Previous);
    if (!Previous) SetExceptionDisplay({});
}

} // namespace kivo
