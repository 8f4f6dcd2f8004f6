#pragma once
// The port presence test: what a port answers when it is opened and closed
// at once, through a temporary dispatcher as the port dialog does or through
// the system's file open. Main thread only; nothing stays open.

#include "platform/win_types.h"

#include <cstdint>
#include <string>

namespace kivo {

// "\\.\COM<n>": the form that also reaches ports above 9.
std::string ComDeviceName(win::WORD comNumber);

enum class TPortState : std::uint8_t {
    psAbsent,       // no such port, or it cannot be opened for another reason
    psFree,         // opened and closed again
    psInUse,        // another program holds it (sharing violation)
    psNotPermitted  // there, but this user may not open it (access denied)
};

TPortState ProbePort(win::WORD comNumber, bool throughDispatcher = true);

// The process-wide switches of the presence test, fixed in this program.
struct TPortProbe {
    // Probe through a temporary dispatcher's DeviceOpen; else through the
    // system's file open directly.
    bool ProbeWithDispatcher = true;
    // A port that exists but cannot be had (held by another program, or not
    // permitted for this user) still counts as present.
    bool AccessDeniedMeansPresent = true;
};
inline constexpr TPortProbe PortProbeSwitches{};

// One line for the technician: COMn, the device it leads to, what is wrong
// (not there, held by another program, or not permitted for this user) and
// the remedy.
std::string PortTrouble(win::WORD comNumber, TPortState state);

// One line for the technician when the opening failed for a reason that
// is not the port's (this program out of descriptors, memory or threads):
// COMn, the device it leads to, and why.
std::string PortFailure(win::WORD comNumber, const std::string& why);

// "the adapter <name> has no COM number: <why>" for a plugged-in adapter
// that could not be given a number (see NumberNewAdapters), else empty: told
// where a port is not found, as it may be the one that was meant.
std::string UnnumberedAdapterNote();

bool PortIsPresent(win::WORD comNumber, const TPortProbe& probe = PortProbeSwitches);

} // namespace kivo
