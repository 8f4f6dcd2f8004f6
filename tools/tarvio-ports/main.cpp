// tarvio-ports: the technician's view of the COM numbers the program uses,
// and the per-user (or, as root, system-wide) links that change them.

#include "platform/app_paths.h"
#include "platform/port_names.h"
#include "serial/port/port_probe.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kivo;
using namespace kivo::win;

namespace {

constexpr const char* Name = "tarvio-ports";

constexpr const char* Help = R"(Usage: tarvio-ports [list]
       tarvio-ports assign N DEVICE [--system]
       tarvio-ports forget N [--system]

Shows which device each COM number of Tarvio opens, and changes that.

  list            every COM number, where its mapping comes from (a link
                  someone made, a number given automatically to a USB adapter,
                  or one of the PC's own ports), whether the device is present,
                  held by another program, or not permitted for this user, and
                  the device it leads to. Listing numbers a newly plugged
                  adapter, as the program does when it first sees it.
  assign N DEVICE make COMN open DEVICE (for instance /dev/serial/by-id/...),
                  N from 1 to 65535; a DEVICE that is not there now is linked
                  all the same, with a warning, for an adapter plugged in later
  forget N        remove the link for COMN (failing when there is none); an
                  adapter that has no number then gets a new one when next seen
  --system        change the system-wide links in /etc/tarvio/devices (as
                  root) instead of your own
  -h, --help      this text

Exit status: 0 done, 1 a link could not be changed or the output not
written, 2 a bad argument.
)";

// Output to a full disk or a closed descriptor is not a listing: the caller
// must not take a cut-off one for the whole.
int FinishOutput(int status)
{
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && !std::ferror(stdout)) return status;
    // An earlier failure's errno is long gone: only the flush's own is told.
    std::fprintf(stderr, "%s: cannot write the output%s%s\n", Name, flushed ? "" : ": ",
                 flushed ? "" : std::strerror(errno));
    return 1;
}

int BadArgument(const std::string& problem)
{
    std::fprintf(stderr, "%s: %s (see %s --help)\n", Name, problem.c_str(), Name);
    return 2;
}

std::optional<unsigned> ParseNumber(std::string_view text)
{
    unsigned number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc{} || end != text.data() + text.size() || number == 0 ||
        number > HighestComNumber)
        return std::nullopt;
    return number;
}

const char* SourceText(TComSource source)
{
    switch (source) {
    case TComSource::csLink: return "link";
    case TComSource::csAutomatic: return "automatic";
    case TComSource::csPcPort: return "PC port";
    }
    return "";
}

const char* StateText(TPortState state)
{
    switch (state) {
    case TPortState::psFree: return "present";
    case TPortState::psInUse: return "in use";
    case TPortState::psNotPermitted: return "not permitted";
    case TPortState::psAbsent: return "absent";
    }
    return "";
}

// The by-id (or else by-path) name of the adapter behind device, when device
// is not such a name itself: ttyUSB and ttyACM numbers follow the order in
// which adapters are plugged in.
std::optional<fs::path> StableName(const fs::path& device)
{
    std::error_code failed;
    for (const char* kind : {"by-id", "by-path"}) {
        const fs::path folder = DevRoot() / "serial" / kind;
        if (device.lexically_normal().parent_path() == folder.lexically_normal())
            return std::nullopt;
    }
    struct stat node = {};
    if (::stat(device.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return std::nullopt;
    for (const char* kind : {"by-id", "by-path"})
        for (const fs::directory_entry& entry :
             fs::directory_iterator(DevRoot() / "serial" / kind, failed)) {
            struct stat named = {};
            if (::stat(entry.path().c_str(), &named) == 0 && S_ISCHR(named.st_mode) &&
                named.st_rdev == node.st_rdev)
                return entry.path();
        }
    return std::nullopt;
}

int List()
{
    TDeviceDirectories directories = DeviceDirectories();
    for (const fs::path& directory : directories.Search) {
        // A closed folder (KIVO_DEVICE_DIR alone) numbers no adapter.
        const bool numbersAdapters = directory == directories.Record && !directories.Closed;
        std::printf("Links in %s%s\n", directory.c_str(),
                    numbersAdapters ? " (adapters are numbered here)" : "");
        if (std::error_code unreadable = LinksUnreadable(directory))
            std::printf("  cannot read them (%s): the COM numbers linked there do not apply to "
                        "you until every user may read that folder\n",
                        unreadable.message().c_str());
        // Made by hand as Windows writes the name, a link is passed over.
        std::error_code unlisted;
        for (const fs::directory_entry& entry : fs::directory_iterator(directory, unlisted)) {
            const std::string name = entry.path().filename().string();
            std::string lower = name;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (ComLinkNumber(name) || !lower.starts_with("com") || lower.size() == 3 ||
                lower.find_first_not_of("0123456789", 3) != std::string::npos)
                continue;
            std::printf("  %s is not read: a link is named comN, in lower case and without "
                        "leading zeros (com1 for COM1)\n",
                        name.c_str());
        }
    }
    std::optional<TUnnumbered> unnumbered = NumberNewAdapters(directories);
    std::vector<TComMapping> map = ComPortMap(directories);
    if (map.empty() && !unnumbered)
        std::printf("No COM numbers: no links, no adapters, no PC ports.\n");
    bool inUse = false;
    bool notPermitted = false;
    for (const TComMapping& port : map) {
        TPortState state = port.Number <= HighestComNumber
                               ? ProbePort(static_cast<WORD>(port.Number))
                               : TPortState::psAbsent;
        inUse = inUse || state == TPortState::psInUse;
        notPermitted = notPermitted || state == TPortState::psNotPermitted;
        std::string number = "COM" + std::to_string(port.Number);
        std::printf("%-8s %-10s %-14s %s\n", number.c_str(), SourceText(port.Source),
                    StateText(state), port.Device.c_str());
    }
    if (unnumbered)
        std::printf("No number for the adapter %s: %s.\n", unnumbered->Adapter.c_str(),
                    WhyUnnumbered(directories, *unnumbered).c_str());
    if (inUse) std::printf("In use: another program holds the port; close it, then try again.\n");
    if (notPermitted)
        std::printf("Not permitted: add yourself to the dialout group with\n"
                    "    sudo adduser $USER dialout\n"
                    "then log out and in again.\n");
    return 0;
}

int Change(const std::vector<std::string_view>& words, bool system)
{
    bool assign = words[0] == "assign";
    if (words.size() != (assign ? 3u : 2u))
        return BadArgument(assign ? "assign wants a COM number and a device"
                                  : "forget wants a COM number");
    std::optional<unsigned> number = ParseNumber(words[1]);
    if (!number)
        return BadArgument("\"" + std::string(words[1]) + "\" is not a COM number from 1 to " +
                           std::to_string(HighestComNumber));
    fs::path directory = system ? SystemConfigDir() / "devices" : DeviceDirectories().Record;
    if (directory.empty()) {
        std::fprintf(stderr, "%s: no folder for your links (HOME is not set)\n", Name);
        return 1;
    }
    std::error_code failed;
    fs::path device;
    if (assign) {
        if (words[2].empty()) return BadArgument("the device is empty");
        device = fs::absolute(fs::path(words[2]), failed);
        // Every user's program reads the system-wide links: a technician's
        // umask of 077 would hide them from all but root.
        if (!failed && system) {
            constexpr fs::perms readable = fs::perms::group_read | fs::perms::group_exec |
                                           fs::perms::others_read | fs::perms::others_exec;
            constexpr fs::perms open = fs::perms::owner_all | readable;
            const bool parentThere = fs::exists(directory.parent_path(), failed);
            if (!failed && fs::create_directories(directory, failed)) {
                fs::permissions(directory, open, failed);
                if (!failed && !parentThere) fs::permissions(directory.parent_path(), open, failed);
            }
            // Made by hand under such a umask, either folder would keep the
            // new link from every user but root, who would find no link.
            for (const fs::path& folder : {directory.parent_path(), directory}) {
                if (failed) break;
                fs::perms now = fs::status(folder, failed).permissions();
                if (failed || (now & readable) == readable) continue;
                fs::permissions(folder, readable, fs::perm_options::add, failed);
                if (!failed)
                    std::fprintf(stderr,
                                 "%s: %s is now readable by every user, whose Tarvio "
                                 "reads the links there\n",
                                 Name, folder.c_str());
            }
        }
        if (!failed) failed = AssignComPort(directory, *number, device);
    } else {
        failed = ForgetComPort(directory, *number);
    }
    std::string com = "COM" + std::to_string(*number);
    // The installed program reads the system-wide links after the user's own.
    const fs::path systemLinks = SystemConfigDir() / "devices";
    const std::vector<fs::path> searched = DeviceDirectories().Search;
    const bool readsSystemLinks =
        !system && std::find(searched.begin(), searched.end(), systemLinks) != searched.end();
    if (!assign && failed == std::errc::no_such_file_or_directory) {
        std::error_code unseen;
        const fs::path systemLink = systemLinks / ("com" + std::to_string(*number));
        const bool systemWide =
            readsSystemLinks && fs::is_symlink(fs::symlink_status(systemLink, unseen));
        std::fprintf(stderr, "%s: %s has no link in %s: nothing to forget%s%s%s\n", Name,
                     com.c_str(), directory.c_str(), systemWide ? " (it comes from " : "",
                     systemWide ? systemLink.c_str() : "",
                     systemWide ? ": forget it with --system, as root)" : "");
        return 1;
    }
    if (failed) {
        fs::path link = directory / ("com" + std::to_string(*number));
        std::fprintf(stderr, "%s: cannot %s %s: %s%s\n", Name, assign ? "write" : "remove",
                     link.c_str(), failed.message().c_str(),
                     system && failed == std::errc::permission_denied ? " (run it as root)" : "");
        return 1;
    }
    // sudo gives root's own folder: a link there reaches no operator.
    if (assign && readsSystemLinks && ::geteuid() == 0)
        std::fprintf(stderr,
                     "%s: note: %s is linked in %s, which only root's own Tarvio reads; for "
                     "every user, assign it with --system\n",
                     Name, com.c_str(), directory.c_str());
    // Linked all the same: a by-id name exists only while its adapter is
    // plugged in, but a mistyped one never will.
    std::error_code unknown;
    if (assign && !fs::exists(device, unknown) && !unknown)
        std::fprintf(stderr,
                     "%s: warning: %s is not there now; %s opens it once it is (if the "
                     "adapter is plugged in, check the name)\n",
                     Name, device.c_str(), com.c_str());
    // A loop (a device named through this very link, say) never resolves.
    else if (assign && unknown)
        std::fprintf(stderr, "%s: warning: %s cannot be reached (%s); %s will not open it\n", Name,
                     device.c_str(), unknown.message().c_str(), com.c_str());
    // A folder or a file, say: the program would only say it is no serial port.
    else if (assign && !fs::is_character_file(device, unknown))
        std::fprintf(stderr, "%s: warning: %s is no device; %s will not open it\n", Name,
                     device.c_str(), com.c_str());
    else if (assign)
        if (std::optional<fs::path> stable = StableName(device))
            std::fprintf(stderr,
                         "%s: warning: the number in %s follows the order adapters are plugged "
                         "in, so it may lead to another one later; assign this adapter's own "
                         "name, %s, to follow it\n",
                         Name, device.c_str(), stable->c_str());
    return 0;
}

int Run(int argc, char** argv)
{
    std::vector<std::string_view> words;
    bool system = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(Help, stdout);
            return FinishOutput(0);
        }
        if (arg == "--system")
            system = true;
        else if (arg.starts_with("-") && arg.size() > 1)
            return BadArgument("unknown option " + std::string(arg));
        else
            words.push_back(arg);
    }
    if (words.empty() || words[0] == "list") {
        if (words.size() > 1) return BadArgument("list takes no arguments");
        if (system) return BadArgument("--system goes with assign or forget");
        return FinishOutput(List());
    }
    if (words[0] == "assign" || words[0] == "forget") return Change(words, system);
    return BadArgument("unknown command \"" + std::string(words[0]) + "\"");
}

} // namespace

int main(int argc, char** argv)
{
    // A folder that fails part-way through its reading (an I/O error) or a
    // lack of memory ends the tool with its reason, not with an abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", Name, error.what());
        return 1;
    }
}
