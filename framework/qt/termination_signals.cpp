// Termination signals as calls on the main thread.

#include "framework/qt/termination_signals.h"

#include "framework/exceptions.h"
#include "platform/errno_map.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kivo::qt {

namespace {

// Read by the handler, which may use nothing but async-signal-safe calls.
volatile sig_atomic_t SignalPipe = -1;

extern "C" void NoteSignal(int signal)
{
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a signal the loop has not taken yet.
    [[maybe_unused]] ssize_t written = write(SignalPipe, &number, 1);
    errno = saved;
}

} // namespace

TTerminationSignals::TTerminationSignals(std::function<void(int signal)> onSignal)
    : OnSignal(std::move(onSignal))
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        throw Exception("Cannot watch for termination signals: " + win::ErrnoText(error));
    }
    ReadEnd = ends[0];
    WriteEnd = ends[1];
    SignalPipe = WriteEnd;
    Notifier = std::make_unique<QSocketNotifier>(ReadEnd, QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Deliver(); });

    struct sigaction action{};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (std::size_t i = 0; i < std::size(Signals); ++i) {
        sigaction(Signals[i], nullptr, &Previous[i]);
        if (Previous[i].sa_handler == SIG_IGN) continue;
        Taken[i] = sigaction(Signals[i], &action, nullptr) == 0;
    }
}

TTerminationSignals::~TTerminationSignals()
{
    for (std::size_t i = 0; i < std::size(Signals); ++i)
        if (Taken[i]) sigaction(Signals[i], &Previous[i], nullptr);
    Notifier.reset();
    SignalPipe = -1;
    close(ReadEnd);
    close(WriteEnd);
}

void TTerminationSignals::Deliver()
{
    unsigned char number = 0;
    while (read(ReadEnd, &number, 1) == 1) OnSignal(number);
}

} // namespace kivo::qt
