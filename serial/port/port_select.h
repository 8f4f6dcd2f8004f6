#pragma once
// The prompt that asks the operator for a port when one must be opened
// without a number: a modal dialog, main thread only. It lists the ports the
// presence test finds.

#include "serial/port/port_probe.h"

#include <optional>

class QWidget;

namespace kivo {

// Shows the port selection dialog modally and returns the port chosen with
// OK, or nothing for any other way out (Cancel, closing the window). OK on
// an empty list raises EBadId (-2001): there is no port to choose.
std::optional<int> PromptForComPort(QWidget* owner = nullptr);

} // namespace kivo
