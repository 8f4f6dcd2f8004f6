// The Qt side of the platform message queue.

#include "framework/qt/message_pump.h"

#include "framework/exceptions.h"
#include "framework/thread.h"
#include "platform/sync.h"
#include "platform/window.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <chrono>

namespace kivo::qt {

using namespace kivo::win;

TMessagePump::TMessagePump()
{
    SetMainThread();
    int descriptor = MessageWakeDescriptor();
    if (descriptor < 0) throw Exception("Cannot watch the main thread's message queue");
    Notifier = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
}

TMessagePump::~TMessagePump() = default;

void TMessagePump::Drain()
{
    const auto started = std::chrono::steady_clock::now();
    for (int step = 0; step < BatchSize; ++step) {
        // Slow handlers end the batch sooner: Qt's timers and painting wait
        // for it to return.
        if (step > 0 && std::chrono::steady_clock::now() - started >= BatchTime) return;
        try {
            MSG msg;
            if (!PeekMessage(&msg, PM_REMOVE)) {
                // Just after serving, a brief look for the next message (a
                // line thread's next synchronised call) before Qt's loop
                // sleeps; without anything served it returns at once.
                if (MsgWaitForMultipleObjects(0, nullptr, 0, QS_ALLINPUT) != WAIT_OBJECT_0) return;
                continue;
            }
            if (msg.message == WM_QUIT) {
                QCoreApplication::exit(static_cast<int>(msg.wParam));
                return;
            }
            DispatchMessage(&msg);
        } catch (...) {
            // Nothing may unwind through Qt's loop; the display shows it and the loop goes on.
            DisplayException(std::current_exception());
        }
    }
}

} // namespace kivo::qt
