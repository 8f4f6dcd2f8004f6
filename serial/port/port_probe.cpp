// The port presence test.

#include "serial/port/port_probe.h"

#include "platform/comm.h"
#include "platform/errno_map.h"
#include "platform/port_names.h"
#include "platform/sync.h"
#include "serial/device/win32_dispatcher.h"

#include <filesystem>
#include <optional>

namespace kivo {

using namespace kivo::win;

std::string ComDeviceName(WORD comNumber)
{
    return "\\\\.\\COM" + std::to_string(comNumber);
}

TPortState ProbePort(WORD comNumber, bool throughDispatcher)
{
    using enum TPortState;
    if (comNumber == 0) return psAbsent;
    const std::string name = ComDeviceName(comNumber);
    DWORD error = ERROR_SUCCESS;
    if (throughDispatcher) {
        TKivWin32Dispatcher dispatcher(nullptr);
        if (dispatcher.DeviceOpen(name, 64, 64) >= 0) {
            dispatcher.DeviceClose();
            return psFree;
        }
        // Taken before the dispatcher goes, whose clean-up may set another.
        error = GetLastError();
    } else {
        HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                                    nullptr);
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
            CloseHandle(handle);
            return psFree;
        }
        error = GetLastError();
    }
    if (error == ERROR_SHARING_VIOLATION) return psInUse;
    if (error == ERROR_ACCESS_DENIED) return psNotPermitted;
    return psAbsent;
}

namespace {

// Where a chain of links ends, even when nothing is there: a link to an
// unplugged adapter names the adapter, not the link.
std::filesystem::path LastName(std::filesystem::path path)
{
    std::error_code failed;
    for (int hop = 0; hop < 40 && std::filesystem::is_symlink(path, failed); ++hop) {
        std::filesystem::path target = std::filesystem::read_symlink(path, failed);
        if (failed) break;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path.lexically_normal();
}

// "COMn (device)"; there tells whether the device exists.
std::string PortLabel(WORD comNumber, bool& there)
{
    bool unfitted = false;
    std::filesystem::path link = ComPortPath(comNumber, &unfitted);
    std::error_code unresolved;
    std::filesystem::path device = std::filesystem::weakly_canonical(link, unresolved);
    there = !unfitted && !unresolved && std::filesystem::exists(device, unresolved);
    if (!there) device = LastName(link);
    return "COM" + std::to_string(comNumber) + " (" + device.string() + ")";
}

} // namespace

std::string PortTrouble(WORD comNumber, TPortState state)
{
    bool there = false;
    const std::string port = PortLabel(comNumber, there);
    const std::string com = "COM" + std::to_string(comNumber);
    switch (state) {
    case TPortState::psInUse:
        return port + " is held by another program: close that program, then try again";
    case TPortState::psNotPermitted:
        return port + " is not permitted for this user: add the user to the dialout group "
                      "(sudo adduser $USER dialout), then log in again";
    case TPortState::psFree:
        return port + " is free";
    case TPortState::psAbsent:
        break;
    }
    std::string otherNumber = "set Port in the settings to a number that tarvio-ports lists";
    if (std::string note = UnnumberedAdapterNote(); !note.empty()) otherNumber += "; " + note;
    // A link this user cannot see may be the one meant for this number.
    for (const std::filesystem::path& directory : DeviceDirectories().Search)
        if (std::error_code unreadable = LinksUnreadable(directory))
            otherNumber += "; cannot read the links in " + directory.string() + ": " +
                           win::ErrnoText(unreadable.value());
    if (there)
        return port + " is not a serial port: give " + com + " the sign's port with tarvio-ports "
               "assign " + std::to_string(comNumber) + " DEVICE, or " + otherNumber;
    return port + " is not there: connect it, or " + otherNumber;
}

std::string PortFailure(WORD comNumber, const std::string& why)
{
    bool there = false;
    return PortLabel(comNumber, there) + " could not be opened: " + why;
}

std::string UnnumberedAdapterNote()
{
    TDeviceDirectories directories = DeviceDirectories();
    std::optional<TUnnumbered> unnumbered = NumberNewAdapters(directories);
    if (!unnumbered) return {};
    return "the adapter " + unnumbered->Adapter.string() +
           " has no COM number: " + WhyUnnumbered(directories, *unnumbered);
}

bool PortIsPresent(WORD comNumber, const TPortProbe& probe)
{
    using enum TPortState;
    TPortState state = ProbePort(comNumber, probe.ProbeWithDispatcher);
    if (state == psFree) return true;
    return probe.AccessDeniedMeansPresent && (state == psInUse || state == psNotPermitted);
}

} // namespace kivo
