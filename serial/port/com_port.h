#pragma once
// STAND-IN: the serial port component's face as the price board program uses
// it (port number, speed, prompting, open and close, PutText), with the
// smallest body behind it. It opens no device: an injectable device opener
// decides whether an opening succeeds, and PutText records what it is given.
// The real component replaces this file's body entirely; the program must use
// nothing but the face. Main thread only; no locks.

#include "framework/component.h"
#include "platform/win_types.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kivo {

class TKivComPort : public TComponent {
public:
    explicit TKivComPort(TComponent* owner);
    ~TKivComPort() override;

    win::WORD ComNumber() const noexcept { return ComNumberValue; }
    void SetComNumber(win::WORD value);

    int Baud() const noexcept { return BaudValue; }
    void SetBaud(int value);

    bool PromptForPort() const noexcept { return PromptForPortValue; }
    void SetPromptForPort(bool value);

    bool AutoOpen() const noexcept { return AutoOpenValue; }
    void SetAutoOpen(bool value);

    // Short strings: at most 255 characters are kept.
    const std::string& TraceName() const noexcept { return TraceNameValue; }
    void SetTraceName(const std::string& value);
    const std::string& LogName() const noexcept { return LogNameValue; }
    void SetLogName(const std::string& value);

    // True from the end of a successful opening until the close. Setting it
    // True with port number 0 asks the application's port prompt (when
    // PromptForPort is set) and keeps the choice as the port number.
    bool Open() const noexcept { return OpenValue; }
    void SetOpen(bool value);

    // Queues the whole text or none of it; opens a closed port first when
    // AutoOpen is set.
    void PutText(const std::string& text);

    // --- Stand-in only: what tests use to play the device. -----------------

    // Called with the device name ("\\.\COM3") at every opening; returns 0,
    // or a negated system error number (-5 in use, -2 or -3 no such port).
    // Without one, every opening succeeds.
    using TDeviceOpener = std::function<int(const std::string& deviceName)>;
    TDeviceOpener DeviceOpener;
    // Room left in the output buffer; a longer text is refused whole.
    std::size_t OutputRoom = 4096;
    // Every text PutText queued, in order.
    std::vector<std::string> SentTexts;
    // Successful openings so far.
    int OpenCount = 0;

protected:
    void Loaded() override;

private:
    void OpenPort();
    void ClosePort();

    win::WORD ComNumberValue = 0;
    int BaudValue = 19200;
    bool PromptForPortValue = true;
    bool AutoOpenValue = true;
    std::string TraceNameValue = "KIVO.TRC";
    std::string LogNameValue = "KIVO.LOG";
    bool OpenValue = false;
    bool OpenAfterLoad = false;
};

} // namespace kivo
