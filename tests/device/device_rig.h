#pragma once
// What the device tests share: one device directory for the whole process
// (KIVO_DEVICE_DIR is set once, before any stack thread exists), a recorder
// of the exceptions the stack displays, and waits that serve this thread's
// message queue while they poll.

#include "framework/thread.h"
#include "platform/window.h"
#include "serial/device/win32_dispatcher.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace kivo::test {

inline const TempDir& DeviceDir()
{
    static TempDir dir("kivo-device");
    static const bool exported = ::setenv("KIVO_DEVICE_DIR", dir.Path().c_str(), 1) == 0;
    (void)exported;
    return dir;
}

inline std::string ComName(int number)
{
    return "\\\\.\\COM" + std::to_string(number);
}

inline void PumpMessages()
{
    for (int i = 0; i < 100 && win::ProcessOneMessage(); ++i) {
    }
}

template <typename Pred>
bool PumpUntil(std::chrono::milliseconds timeout, Pred pred)
{
    return WaitUntil(timeout, pred, PumpMessages);
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeviceDir();
        win::SetMainThread();
        SetExceptionDisplay([this](std::exception_ptr error) {
            std::lock_guard lock(ShownLock);
            Shown.push_back(ExceptionMessage(error));
        });
    }
    void TearDown() override { SetExceptionDisplay({}); }

    std::vector<std::string> ShownErrors()
    {
        std::lock_guard lock(ShownLock);
        return Shown;
    }

    // 9600 8N1 with DTR and RTS raised, as the price board opens its port.
    static int Open(TKivBaseDispatcher& line, int number, win::DWORD inSize = 4096,
                    win::DWORD outSize = 4096)
    {
        return line.OpenLine(ComName(number), 9600, 0, 8, 1, inSize, outSize,
                             lnDTROn | lnRTSOn);
    }

private:
    std::mutex ShownLock;
    std::vector<std::string> Shown;
};

} // namespace kivo::test
