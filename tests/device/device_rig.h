#pragma once
// What the device tests share: one device directory per process (set in
// KIVO_DEVICE_DIR before any stack thread exists), a recorder of displayed
// exceptions, and polls that serve this thread's message queue.

#include "framework/thread.h"
#include "platform/window.h"
#include "serial/device/win32_dispatcher.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace kivo::test {

inline const TempDir& DeviceDir()
{
    static TempDir dir("kivo-device");
    static const int exported = ::setenv("KIVO_DEVICE_DIR", dir.Path().c_str(), 1);
    (void)exported;
    return dir;
}

inline std::string ComName(int number) { return "\\\\.\\COM" + std::to_string(number); }

template <typename Pred>
bool PumpUntil(std::chrono::milliseconds timeout, Pred pred)
{
    return WaitUntil(timeout, pred, [] {
        for (int i = 0; i < 100 && win::ProcessOneMessage(); ++i) {
        }
    });
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
    bool NothingShown()
    {
        std::lock_guard lock(ShownLock);
        return Shown.empty();
    }
    // 9600 8N1, DTR and RTS raised, as the price board opens its port.
    static int Open(TKivBaseDispatcher& line, int number, win::DWORD outSize = 4096)
    {
        return line.OpenLine(ComName(number), 9600, 0, 8, 1, 4096, outSize, lnDTROn | lnRTSOn);
    }

private:
    std::mutex ShownLock;
    std::vector<std::string> Shown;
};

} // namespace kivo::test
