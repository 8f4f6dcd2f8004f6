#pragma once
// The port presence test and the prompt that asks the operator for a port
// when one must be opened without a number. Main thread only: the presence
// test opens and closes each device at once, the prompt shows a modal
// dialog. Nothing here keeps a device open.

#include "platform/win_types.h"

#include <optional>
#include <string>

class QWidget;

namespace kivo {

// The process-wide switches of the presence test, fixed in this program.
struct TPortProbe {
    // Probe through a temporary dispatcher's DeviceOpen; else through the
    // system's file open directly.
    bool ProbeWithDispatcher = true;
    // A port another program holds (access denied) still counts as present.
    bool AccessDeniedMeansPresent = true;
};
inline constexpr TPortProbe PortProbeSwitches{};

// "\\.\COM<n>": the form that also reaches ports above 9.
std::string ComDeviceName(win::WORD comNumber);

bool PortIsPresent(win::WORD comNumber, const TPortProbe& probe = PortProbeSwitches);

// Shows the port selection dialog modally and returns the port chosen with
// OK, or nothing for any other way out (Cancel, closing the window). OK on
// an empty list raises EBadId (-2001): there is no port to choose.
std::optional<int> PromptForComPort(QWidget* owner = nullptr);

} // namespace kivo
