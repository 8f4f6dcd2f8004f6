#pragma once
// What the soak and fault tests add to the window rig: a pump that sleeps on
// the main thread's queue instead of polling it, and a line of their own in
// the window rig's device directory for tests that read or write the sign's
// end at volume.

#include "framework/application.h"
#include "platform/window.h"
#include "tests/app/link_double.h"
#include "tests/framework/recording_services.h"
#include "tests/support/process_usage.h"
#include "tests/support/pty_pair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace tarvio::test {

// Serves the main thread's messages and posted calls until pred holds or the
// time-out passes; between rounds it blocks on the queue, so a burst of
// synchronised calls from the stack is served as fast as it comes.
template <typename Pred>
bool ServeUntil(kivo::test::TRecordingServices& services, std::chrono::milliseconds timeout,
                Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        kivo::win::MsgWaitForMultipleObjects(0, nullptr, 5, kivo::win::QS_ALLINPUT);
        for (int i = 0; i < 1000 && kivo::win::ProcessOneMessage(); ++i) {
        }
        services.RunPosted();
    }
    return true;
}

// The sign's end of a pseudo-terminal linked as comN while it lives.
class TSignEnd {
public:
    explicit TSignEnd(int number) : Link(DeviceDir().Path() / ("com" + std::to_string(number)))
    {
        Line.LinkAs(DeviceDir().Path(), Link.filename().string());
    }
    ~TSignEnd()
    {
        std::error_code ignored;
        std::filesystem::remove(Link, ignored);
    }
    TSignEnd(const TSignEnd&) = delete;
    TSignEnd& operator=(const TSignEnd&) = delete;

    kivo::test::PtyPair Line;

private:
    std::filesystem::path Link;
};

} // namespace tarvio::test
