#pragma once
// What every port test stands on: a temporary device directory named by
// KIVO_DEVICE_DIR, the test thread as the main thread with an application
// whose boxes are recorded, a pump for the thread's messages and posted
// calls, and a port whose dispatcher the test can reach into.

#include "framework/application.h"
#include "framework/component.h"
#include "serial/device/win32_dispatcher.h"
#include "serial/port/com_port.h"
#include "tests/framework/recording_services.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kivo::test {

using namespace std::chrono_literals;

// The device dispatcher with two levers a pseudo-terminal cannot pull: line
// error bits, and a close that leaves the dispatcher looking as if its
// dispatch thread were still delivering a notification and running.
class TRigDispatcher : public TKivWin32Dispatcher {
public:
    using TKivWin32Dispatcher::TKivWin32Dispatcher;

    int DeviceClose() override;

    void InjectLineErrors(std::int32_t bits) { ErrorBits = bits; }
    // The lingering threads end.
    void EndLinger();

    bool LingerOnClose = false;
    bool Lingering = false;
};

// A port that makes rig dispatchers and counts every trigger notification
// its window handles, whether an event is assigned or not.
class TRigPort : public TKivComPort {
public:
    using TKivComPort::TKivComPort;

    std::unique_ptr<TKivBaseDispatcher> CreateDispatcher() override;
    void FireTrigger(win::WORD msg, win::WORD triggerHandle, win::WORD data) override;

    TRigDispatcher* Rig() const { return LastDispatcher; }

    bool LingerNextClose = false;
    int FireTriggerCount = 0;
    std::vector<win::WORD> TriggerMessages;
    int DispatchersMade = 0;

private:
    TRigDispatcher* LastDispatcher = nullptr;
};

class PortRig : public ::testing::Test {
protected:
    PortRig();
    ~PortRig() override;

    // Serves the thread's sent and posted messages and the application's
    // posted calls until nothing is left (bounded).
    void Pump();
    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms);
    // Pumps for the whole window; true if pred became true (for showing that
    // something does not happen).
    bool HappensWithin(const std::function<bool()>& pred, std::chrono::milliseconds window);

    // A pty linked as comN in the device directory.
    PtyPair& Line(int number);

    TRecordingServices Services;
    TempDir Devices{"kivo-port"};
    // Before the application, which takes its thread as the main one.
    struct TMainThreadFirst {
        explicit TMainThreadFirst(const TempDir& devices);
    } MainThreadFirst{Devices};
    TApplication App{Services};
    TApplicationScope Scope{App};
    std::vector<std::unique_ptr<PtyPair>> Lines;
    // Owns the ports of a test; goes first, before the lines they use.
    TComponent Form{nullptr};
};

// Line settings as the far end of a pty sees them.
struct TLineView {
    unsigned Speed = 0;
    int DataBits = 0;
    bool TwoStopBits = false;
    bool Parity = false;
    bool OddParity = false;
    bool RtsCts = false;
    bool XonOutput = false;  // we obey XON/XOFF from the peer
    bool XonInput = false;   // we send XON/XOFF
    unsigned char Start = 0;
    unsigned char Stop = 0;
};
TLineView ReadLineView(const PtyPair& line);

} // namespace kivo::test
