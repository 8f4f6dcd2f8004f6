#pragma once
// How "\\.\COMn" finds its device. A link comN in a device directory names
// the device for COMn and always wins. Where none does, each serial adapter
// under <dev root>/serial/by-id gets, when first seen, the lowest number that
// no link names and no PC port answers to, and keeps it: the number is
// recorded as a link comN to the adapter's by-id name, which stays (and keeps
// the number taken) while the adapter is unplugged. An adapter that no by-id
// name leads to is numbered by its socket, under <dev root>/serial/by-path:
// identical adapters without a serial number, or with the same one, share a
// by-id name, which udev gives to one of them. The PC's own ports keep
// COMn = <dev root>/ttyS<n-1>.
//
// The device directories:
//   KIVO_DEVICE_DIR set     that folder alone, even when missing; numbers are
//                           recorded there. Only with KIVO_DEV_ROOT set too do
//                           adapters and PC ports come in: a folder a test set
//                           up never leads to the machine's own devices.
//   a portable copy         devices/ beside the executable, which records.
//   an installed program    UserConfigDir()/devices, which records, then
//                           SystemConfigDir()/devices.
//
// A PC port answers to COMn when its node exists under the dev root and,
// under the real /dev (or with KIVO_SYS_ROOT set), the kernel does not
// report it as a node with no UART behind it (<sys root>/class/tty/
// ttyS<n-1>/type reading 0); COMn is then not there. Nothing here opens a
// device. Recording is safe between processes: it runs under a lock on the
// recording folder, and each link is made under a temporary name and then
// put in place only if the number is still free.

#include "platform/win_types.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kivo::win {

// Automatic numbers go no higher, as on the original platform.
inline constexpr unsigned HighestAutomaticNumber = 256;
// A port's ComNumber is a WORD, so links and "\\.\COMn" names go this high.
inline constexpr unsigned HighestComNumber = 0xFFFF;

struct TDeviceDirectories {
    std::vector<std::filesystem::path> Search;  // in order; the first comN found wins
    std::filesystem::path Record;               // where adapters get numbers; empty: none
    bool Closed = false;  // the search ends in Search: no adapters, no PC ports
};

TDeviceDirectories DeviceDirectories();

enum class TComSource : std::uint8_t {
    csLink,       // a comN link someone made
    csAutomatic,  // a number the recording folder keeps for an adapter
    csPcPort      // one of the machine's own ports
};

struct TComMapping {
    unsigned Number = 0;
    std::filesystem::path Device;  // what COMn opens
    TComSource Source = TComSource::csLink;
    std::filesystem::path Link;  // the comN link; empty for a PC port
};

// n for "comN" (lower case, no leading zero), else nothing.
std::optional<unsigned> ComLinkNumber(std::string_view fileName);

// An adapter that was not given a number, and why (result_out_of_range: no
// number up to HighestAutomaticNumber is free).
struct TUnnumbered {
    std::filesystem::path Adapter;
    std::error_code Error;
};

// Why an adapter got no number, as the technician reads it: "every number up
// to 256 is taken" or "cannot write <recording folder>: <reason>".
std::string WhyUnnumbered(const TDeviceDirectories& directories, const TUnnumbered& unnumbered);

// Gives each adapter that no link names yet a number, as described above.
// A failure to record leaves that adapter without a number this time; the
// first is returned, and the adapters after it are not tried.
std::optional<TUnnumbered> NumberNewAdapters(const TDeviceDirectories& directories);

// The folders whose content decides which COM numbers lead somewhere: the
// device directories, then, unless they are closed, the adapters' by-id and
// by-path folders. Any of them may be missing.
std::vector<std::filesystem::path> ComMapFolders(const TDeviceDirectories& directories);

// The path COMn opens. New adapters are numbered first when no link names n.
// unfitted, when given, tells whether that path is the PC's port and
// PcPortAnswers says no: a node with nothing behind it, never to be opened.
std::filesystem::path ComPortPath(unsigned number, bool* unfitted = nullptr);

// Every COM number that leads somewhere, in number order, after numbering
// new adapters.
std::vector<TComMapping> ComPortMap();
// The same for directories whose new adapters have been numbered already.
std::vector<TComMapping> ComPortMap(const TDeviceDirectories& directories);

bool PcPortAnswers(unsigned number);

// Makes directory/comN a link to device (replacing one there), creating the
// directory when needed.
std::error_code AssignComPort(const std::filesystem::path& directory, unsigned number,
                              const std::filesystem::path& device);

// Removes directory/comN.
std::error_code ForgetComPort(const std::filesystem::path& directory, unsigned number);

// Why this user cannot read the links in directory (a folder that is not
// there holds none, and is no failure): its links are then passed over as if
// absent, so a number set there silently leads elsewhere.
std::error_code LinksUnreadable(const std::filesystem::path& directory);

} // namespace kivo::win
