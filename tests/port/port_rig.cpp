// The port tests' rig: device directory, main thread, pump, rig dispatcher.

#include "tests/port/port_rig.h"

#include "platform/window.h"
#include "tests/support/wait_until.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <stdexcept>

namespace kivo::test {

int TRigDispatcher::DeviceClose()
{
    int result = TKivWin32Dispatcher::DeviceClose();
    if (LingerOnClose && !Lingering) {
        LingerOnClose = false;
        Lingering = true;
        // As if the dispatch thread were still inside a delivery and running.
        Notifying = true;
        ThreadsStarted = true;
    }
    return result;
}

void TRigDispatcher::EndLinger()
{
    Notifying = false;
    ThreadsStarted = false;
    Lingering = false;
}

std::unique_ptr<TKivBaseDispatcher> TRigPort::CreateDispatcher()
{
    auto dispatcher = std::make_unique<TRigDispatcher>(this);
    dispatcher->LingerOnClose = LingerNextClose;
    LingerNextClose = false;
    LastDispatcher = dispatcher.get();
    ++DispatchersMade;
    return dispatcher;
}

void TRigPort::FireTrigger(win::WORD msg, win::WORD triggerHandle, win::WORD data)
{
    ++FireTriggerCount;
    TriggerMessages.push_back(msg);
    TKivComPort::FireTrigger(msg, triggerHandle, data);
}

PortRig::TMainThreadFirst::TMainThreadFirst(const TempDir& devices)
{
    win::SetMainThread();
    ::setenv("KIVO_DEVICE_DIR", devices.Path().c_str(), 1);
}

PortRig::PortRig() = default;

PortRig::~PortRig()
{
    // Ports go while their lines still exist, and their last messages are served.
    while (!Form.Components().empty()) delete Form.Components().back();
    Pump();
}

void PortRig::Pump()
{
    // Bounded in time too: a message that keeps re-posting itself (a close
    // waiting for threads) must not keep the caller's condition unchecked.
    auto until = std::chrono::steady_clock::now() + 50ms;
    for (int round = 0; round < 1000 && std::chrono::steady_clock::now() < until; ++round) {
        bool ran = win::ProcessOneMessage() != win::FALSE;
        ran = Services.RunPosted() > 0 || ran;
        if (!ran) return;
    }
}

bool PortRig::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    return WaitUntil(timeout, pred, [this] { Pump(); });
}

bool PortRig::HappensWithin(const std::function<bool()>& pred, std::chrono::milliseconds window)
{
    return WaitFor(pred, window);
}

PtyPair& PortRig::Line(int number)
{
    Lines.push_back(std::make_unique<PtyPair>());
    Lines.back()->LinkAs(Devices.Path(), "com" + std::to_string(number));
    return *Lines.back();
}

TLineView ReadLineView(const PtyPair& line)
{
    termios2 tio{};
    if (::ioctl(line.ControllerFd(), TCGETS2, &tio) < 0)
        throw std::runtime_error("TCGETS2 on the far end failed");
    TLineView view;
    view.Speed = tio.c_ospeed;
    switch (tio.c_cflag & CSIZE) {
    case CS5: view.DataBits = 5; break;
    case CS6: view.DataBits = 6; break;
    case CS7: view.DataBits = 7; break;
    default: view.DataBits = 8; break;
    }
    view.TwoStopBits = (tio.c_cflag & CSTOPB) != 0;
    view.Parity = (tio.c_cflag & PARENB) != 0;
    view.OddParity = (tio.c_cflag & PARODD) != 0;
    view.RtsCts = (tio.c_cflag & CRTSCTS) != 0;
    view.XonOutput = (tio.c_iflag & IXON) != 0;
    view.XonInput = (tio.c_iflag & IXOFF) != 0;
    view.Start = tio.c_cc[VSTART];
    view.Stop = tio.c_cc[VSTOP];
    return view;
}

} // namespace kivo::test
