// COM numbers to device paths: the device directories, the numbers adapters
// are given and keep, and the machine's own ports.

#include "platform/port_names.h"

#include "platform/app_paths.h"
#include "platform/errno_map.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo::win {

namespace fs = std::filesystem;

namespace {

// The decimal number that makes up the rest of name after prefix.
std::optional<unsigned> NumberAfter(std::string_view prefix, std::string_view name)
{
    if (!name.starts_with(prefix) || name.size() == prefix.size()) return std::nullopt;
    unsigned number = 0;
    const char* end = name.data() + name.size();
    auto [stop, error] = std::from_chars(name.data() + prefix.size(), end, number);
    if (error != std::errc{} || stop != end) return std::nullopt;
    return number;
}

bool IsSet(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

fs::path LinkName(const fs::path& directory, unsigned number)
{
    return directory / ("com" + std::to_string(number));
}

bool Exists(const fs::path& path)
{
    std::error_code failed;
    return fs::exists(fs::symlink_status(path, failed));
}

fs::path ByIdFolder()
{
    return DevRoot() / "serial" / "by-id";
}

fs::path ByPathFolder()
{
    return DevRoot() / "serial" / "by-path";
}

// A comN entry of a device directory and where it leads, as the link says
// (relative targets taken from the link's folder).
struct TLinkEntry {
    fs::path Link;
    fs::path Target;  // empty when the entry is not a link
};

using TLinks = std::map<unsigned, TLinkEntry>;

// Every comN of the directories; for a number found twice, the first.
TLinks ReadLinks(const std::vector<fs::path>& directories)
{
    TLinks links;
    for (const fs::path& directory : directories) {
        std::error_code failed;
        for (const fs::directory_entry& entry : fs::directory_iterator(directory, failed)) {
            std::optional<unsigned> number = ComLinkNumber(entry.path().filename().native());
            if (!number || links.contains(*number)) continue;
            TLinkEntry found{entry.path(), {}};
            std::error_code notLink;
            fs::path target = fs::read_symlink(entry.path(), notLink);
            if (!notLink) found.Target = (directory / target).lexically_normal();
            links.emplace(*number, std::move(found));
        }
    }
    return links;
}

bool SameNode(const fs::path& a, const fs::path& b)
{
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// A link names the adapter when it points at its by-id name (so a link to an
// unplugged adapter still does) or at the same device node now.
bool Named(const fs::path& adapter, const TLinks& links)
{
    for (const auto& [number, entry] : links)
        if (!entry.Target.empty() &&
            (entry.Target == adapter || SameNode(entry.Target, adapter)))
            return true;
    return false;
}

std::vector<fs::path> SortedEntries(const fs::path& folder)
{
    std::vector<fs::path> entries;
    std::error_code failed;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, failed))
        entries.push_back(entry.path().lexically_normal());
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::vector<fs::path> Adapters()
{
    std::vector<fs::path> adapters = SortedEntries(ByIdFolder());
    // Identical adapters without a serial number (or with the same one) share
    // a by-id name, which udev gives to one of them: the others are known by
    // their socket alone (by-path, where one device may have several names).
    for (const fs::path& socket : SortedEntries(ByPathFolder())) {
        std::error_code gone;
        if (!fs::exists(socket, gone)) continue;
        if (std::none_of(adapters.begin(), adapters.end(),
                         [&](const fs::path& adapter) { return SameNode(adapter, socket); }))
            adapters.push_back(socket);
    }
    return adapters;
}

bool IsAdapterLink(const TLinkEntry& entry)
{
    if (entry.Target.empty()) return false;
    fs::path folder = entry.Target.parent_path();
    return folder == ByIdFolder().lexically_normal() || folder == ByPathFolder().lexically_normal();
}

// Held while numbers are given: two programs seeing one new adapter at once
// must not each give it a number.
class TFolderLock {
public:
    explicit TFolderLock(const fs::path& folder)
        : Fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (Fd < 0) {
            Error = {errno, std::generic_category()};
            return;
        }
        while (::flock(Fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~TFolderLock()
    {
        if (Fd >= 0) ::close(Fd);  // the lock goes with it
    }
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;
    explicit operator bool() const { return Fd >= 0; }
    std::error_code Error;  // why the folder could not be opened

private:
    int Fd = -1;
};

fs::path TemporaryName(const fs::path& folder)
{
    static std::atomic<unsigned> counter{0};
    return folder / (".com-" + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1)) + ".tmp");
}

// Puts a link to device at link only when nothing is there: made under a
// temporary name and hard-linked into place, which fails on an existing name.
std::error_code LinkIfFree(const fs::path& link, const fs::path& device)
{
    fs::path temporary = TemporaryName(link.parent_path());
    if (::symlink(device.c_str(), temporary.c_str()) != 0)
        return {errno, std::generic_category()};
    int placed = ::linkat(AT_FDCWD, temporary.c_str(), AT_FDCWD, link.c_str(), 0);
    if (placed != 0 && (errno == EPERM || errno == EOPNOTSUPP))  // a folder without hard links
        placed = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, link.c_str(), RENAME_NOREPLACE);
    std::error_code result;
    if (placed != 0) result = {errno, std::generic_category()};
    ::unlink(temporary.c_str());
    return result;
}

} // namespace

std::optional<unsigned> ComLinkNumber(std::string_view fileName)
{
    if (fileName.size() > 3 && fileName[3] == '0') return std::nullopt;
    return NumberAfter("com", fileName);
}

TDeviceDirectories DeviceDirectories()
{
    TDeviceDirectories directories;
    if (const char* set = std::getenv("KIVO_DEVICE_DIR"); set && *set) {
        directories.Search.emplace_back(set);
        directories.Record = set;
        directories.Closed = !IsSet("KIVO_DEV_ROOT");
        return directories;
    }
    fs::path executable = ExecutablePath();
    if (executable.empty()) return directories;
    if (IsInstalledFolder(executable.parent_path())) {
        if (fs::path user = UserConfigDir(); !user.empty()) {
            directories.Search.push_back(user / "devices");
            directories.Record = user / "devices";
        }
        directories.Search.push_back(SystemConfigDir() / "devices");
    } else {
        directories.Search.push_back(executable.parent_path() / "devices");
        directories.Record = directories.Search.back();
    }
    return directories;
}

bool PcPortAnswers(unsigned number)
{
    if (number == 0) return false;
    std::string node = "ttyS" + std::to_string(number - 1);
    std::error_code failed;
    if (!fs::exists(DevRoot() / node, failed)) return false;
    fs::path sys = SysRoot();
    if (sys.empty()) return true;
    // The kernel makes nodes for ports that may not be fitted; type 0 says
    // no UART answered there.
    std::ifstream type(sys / "class" / "tty" / node / "type");
    std::string value;
    return !(type >> value) || value != "0";
}

std::string WhyUnnumbered(const TDeviceDirectories& directories, const TUnnumbered& unnumbered)
{
    if (unnumbered.Error == std::errc::result_out_of_range)
        return "every number up to " + std::to_string(HighestAutomaticNumber) + " is taken";
    return "cannot write " + directories.Record.string() + ": " +
           ErrnoText(unnumbered.Error.value());
}

std::optional<TUnnumbered> NumberNewAdapters(const TDeviceDirectories& directories)
{
    if (directories.Closed || directories.Record.empty()) return std::nullopt;
    std::vector<fs::path> adapters = Adapters();
    TLinks links = ReadLinks(directories.Search);
    std::erase_if(adapters, [&](const fs::path& adapter) { return Named(adapter, links); });
    if (adapters.empty()) return std::nullopt;

    std::error_code made;
    fs::create_directories(directories.Record, made);
    TFolderLock lock(directories.Record);
    if (!lock) return TUnnumbered{adapters.front(), made ? made : lock.Error};
    // Another program may have numbered some while this one waited.
    links = ReadLinks(directories.Search);
    unsigned candidate = 1;
    for (const fs::path& adapter : adapters) {
        if (Named(adapter, links)) continue;
        for (; candidate <= HighestAutomaticNumber; ++candidate) {
            if (links.contains(candidate) || PcPortAnswers(candidate)) continue;
            fs::path link = LinkName(directories.Record, candidate);
            std::error_code placed = LinkIfFree(link, adapter);
            if (!placed) {
                links.emplace(candidate, TLinkEntry{link, adapter});
                break;
            }
            // Taken meanwhile by a program that does not lock: try the next.
            if (placed != std::errc::file_exists) return TUnnumbered{adapter, placed};
        }
        if (candidate > HighestAutomaticNumber)
            return TUnnumbered{adapter, std::make_error_code(std::errc::result_out_of_range)};
    }
    return std::nullopt;
}

std::vector<fs::path> ComMapFolders(const TDeviceDirectories& directories)
{
    std::vector<fs::path> folders = directories.Search;
    if (!directories.Closed) {
        folders.push_back(ByIdFolder());
        folders.push_back(ByPathFolder());
    }
    return folders;
}

fs::path ComPortPath(unsigned number, bool* unfitted)
{
    if (unfitted) *unfitted = false;
    TDeviceDirectories directories = DeviceDirectories();
    for (const fs::path& directory : directories.Search)
        if (fs::path link = LinkName(directory, number); Exists(link)) return link;
    if (directories.Closed) return LinkName(directories.Search.front(), number);
    NumberNewAdapters(directories);
    if (!directories.Record.empty())
        if (fs::path link = LinkName(directories.Record, number); Exists(link)) return link;
    if (unfitted) *unfitted = !PcPortAnswers(number);
    return DevRoot() / ("ttyS" + std::to_string(number - 1));
}

std::vector<TComMapping> ComPortMap()
{
    TDeviceDirectories directories = DeviceDirectories();
    NumberNewAdapters(directories);
    return ComPortMap(directories);
}

std::vector<TComMapping> ComPortMap(const TDeviceDirectories& directories)
{
    std::vector<TComMapping> map;
    for (const auto& [number, entry] : ReadLinks(directories.Search)) {
        bool automatic = entry.Link.parent_path() == directories.Record && IsAdapterLink(entry);
        map.push_back({number, entry.Target.empty() ? entry.Link : entry.Target,
                       automatic ? TComSource::csAutomatic : TComSource::csLink, entry.Link});
    }
    if (directories.Closed) return map;
    std::error_code failed;
    for (const fs::directory_entry& entry : fs::directory_iterator(DevRoot(), failed)) {
        std::optional<unsigned> index = NumberAfter("ttyS", entry.path().filename().native());
        if (!index) continue;
        unsigned number = *index + 1;
        bool linked = std::any_of(map.begin(), map.end(),
                                  [&](const TComMapping& m) { return m.Number == number; });
        if (!linked && PcPortAnswers(number))
            map.push_back({number, entry.path(), TComSource::csPcPort, {}});
    }
    std::sort(map.begin(), map.end(),
              [](const TComMapping& a, const TComMapping& b) { return a.Number < b.Number; });
    return map;
}

std::error_code AssignComPort(const fs::path& directory, unsigned number, const fs::path& device)
{
    std::error_code failed;
    fs::create_directories(directory, failed);
    if (failed) return failed;
    fs::path temporary = TemporaryName(directory);
    if (::symlink(device.c_str(), temporary.c_str()) != 0) return {errno, std::generic_category()};
    if (::rename(temporary.c_str(), LinkName(directory, number).c_str()) != 0) {
        std::error_code error{errno, std::generic_category()};
        ::unlink(temporary.c_str());
        return error;
    }
    return {};
}

std::error_code ForgetComPort(const fs::path& directory, unsigned number)
{
    if (::unlink(LinkName(directory, number).c_str()) != 0) return {errno, std::generic_category()};
    return {};
}

std::error_code LinksUnreadable(const fs::path& directory)
{
    // Listing needs read, finding a link by its name needs search.
    if (::access(directory.c_str(), R_OK | X_OK) == 0 || errno == ENOENT) return {};
    return {errno, std::generic_category()};
}

} // namespace kivo::win
