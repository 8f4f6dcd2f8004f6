#pragma once
// Brings SIGTERM, SIGINT and SIGHUP (a shutdown, Ctrl-C, a closed terminal)
// into the Qt event loop: the handler only writes the signal's number to a
// pipe, and a socket notifier calls back on the main thread, between events.
// A signal that was ignored when the program started (nohup, a background
// job) stays ignored. Each handler is taken once: the same signal again
// ends the program as it would have without it, so a hung shutdown can
// still be ended.
//
// At most one instance; construct it on the main thread, after the
// QApplication, and let it go before the QApplication.

#include <csignal>
#include <functional>
#include <iterator>
#include <memory>

class QSocketNotifier;

namespace kivo::qt {

class TTerminationSignals {
public:
    explicit TTerminationSignals(std::function<void(int signal)> onSignal);
    ~TTerminationSignals();

    TTerminationSignals(const TTerminationSignals&) = delete;
    TTerminationSignals& operator=(const TTerminationSignals&) = delete;

    static constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};

private:
    void Deliver();

    std::function<void(int)> OnSignal;
    int ReadEnd = -1;
    int WriteEnd = -1;
    struct sigaction Previous[std::size(Signals)]{};
    bool Taken[std::size(Signals)]{};
    std::unique_ptr<QSocketNotifier> Notifier;
};

} // namespace kivo::qt
