#pragma once
// Drains the main thread's platform message queue from the Qt event loop. A
// socket notifier watches the queue's wake descriptor, so the loop sleeps
// until a thread posts, sends or makes a synchronised call; then a batch
// bounded in count and in time is served and Qt gets the thread back (the
// descriptor stays readable while more waits, so it comes back at once);
// once the queue is empty after serving, a brief spin looks for the next
// message first. A quit request taken here ends Qt's loop with its exit
// code; what a dispatched message raises goes to the exception display.
//
// Construct one in main(), on the main thread, after the QApplication and
// before its loop runs; it makes that thread the main thread. It must not
// outlive the QApplication.

#include <chrono>
#include <memory>

class QSocketNotifier;

namespace kivo::qt {

class TMessagePump {
public:
    TMessagePump();
    ~TMessagePump();

    TMessagePump(const TMessagePump&) = delete;
    TMessagePump& operator=(const TMessagePump&) = delete;

    // One batch: what the notifier runs; callable directly as well.
    void Drain();

    static constexpr int BatchSize = 64;
    // A batch also ends once it has run this long.
    static constexpr std::chrono::milliseconds BatchTime{10};

private:
    std::unique_ptr<QSocketNotifier> Notifier;
};

} // namespace kivo::qt
