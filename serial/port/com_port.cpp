// The stand-in body of the serial port component's face. The failure texts
// are the ones the stack's error classes will carry; until those exist the
// failures are raised as the runtime's exceptions.

#include "serial/port/com_port.h"

#include "framework/application.h"
#include "framework/exceptions.h"

namespace kivo {

namespace {

constexpr std::size_t ShortStringLimit = 255;

[[noreturn]] void RaiseOpenFailure(int code)
{
    switch (code) {
    case -5:
        throw Exception("ie_Open - device already open");
    case -2:
    case -3:
        throw Exception("ie_BadId - Specified comport doesn't exist");
    default:
        throw EInOutError("I/O error " + std::to_string(-code), -code);
    }
}

} // namespace

TKivComPort::TKivComPort(TComponent* owner) : TComponent(owner) {}

TKivComPort::~TKivComPort()
{
    BeginDestruction();
    ClosePort();
}

void TKivComPort::SetComNumber(win::WORD value)
{
    if (value == ComNumberValue) return;
    if (OpenValue && !Loading()) {
        ClosePort();
        ComNumberValue = value;
        OpenPort();
        return;
    }
    ComNumberValue = value;
}

void TKivComPort::SetBaud(int value)
{
    BaudValue = value;
}

void TKivComPort::SetPromptForPort(bool value)
{
    PromptForPortValue = value;
}

void TKivComPort::SetAutoOpen(bool value)
{
    AutoOpenValue = value;
}

void TKivComPort::SetTraceName(const std::string& value)
{
    TraceNameValue = value.substr(0, ShortStringLimit);
}

void TKivComPort::SetLogName(const std::string& value)
{
    LogNameValue = value.substr(0, ShortStringLimit);
}

void TKivComPort::SetOpen(bool value)
{
    if (value == OpenValue) return;
    if (Loading()) {
        OpenValue = value;
        OpenAfterLoad = value;
        return;
    }
    if (value)
        OpenPort();
    else
        ClosePort();
}

void TKivComPort::PutText(const std::string& text)
{
    if (!OpenValue) {
        if (!AutoOpenValue) throw Exception("ie_NOpen - device not open");
        SetOpen(true);
    }
    if (text.empty()) return;
    if (text.size() > OutputRoom) throw Exception("Output buffer too small for block");
    SentTexts.push_back(text);
}

void TKivComPort::Loaded()
{
    if (!OpenAfterLoad) return;
    OpenAfterLoad = false;
    OpenValue = false;
    try {
        OpenPort();
    } catch (...) {
        // Loading carries on; the failure is the operator's to read.
        Application().HandleCurrentException();
    }
}

void TKivComPort::OpenPort()
{
    if (ComNumberValue == 0) {
        std::optional<int> chosen;
        if (PromptForPortValue) chosen = Application().PromptForPort();
        if (!chosen || *chosen <= 0)
            throw Exception("The ComNumber property of the TKivComPort has not been set");
        ComNumberValue = static_cast<win::WORD>(*chosen);
    }
    std::string deviceName = "\\\\.\\COM" + std::to_string(ComNumberValue);
    int code = DeviceOpener ? DeviceOpener(deviceName) : 0;
    if (code != 0) RaiseOpenFailure(code);
    OpenValue = true;
    ++OpenCount;
}

void TKivComPort::ClosePort()
{
    OpenValue = false;
}

} // namespace kivo
