// The folders of a portable copy and of an installed program.

#include "platform/app_paths.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kivo::win {

namespace {

std::filesystem::path FromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value) return {};
    return value;
}

} // namespace

std::filesystem::path ExecutablePath()
{
    std::error_code failed;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", failed);
    return failed ? std::filesystem::path{} : exe;
}

bool IsInstalledFolder(const std::filesystem::path& folder)
{
    static constexpr std::array<std::string_view, 6> programFolders = {
        "/usr/bin", "/usr/local/bin", "/bin", "/usr/sbin", "/usr/local/sbin", "/sbin"};
    std::filesystem::path plain = folder.lexically_normal();
    if (!plain.has_filename()) plain = plain.parent_path();
    for (std::string_view system : programFolders)
        if (plain == system) return true;
    return ::access(folder.c_str(), W_OK) != 0;
}

std::filesystem::path UserConfigDir()
{
    std::filesystem::path base = FromEnvironment("XDG_CONFIG_HOME");
    if (base.is_absolute()) return base / "tarvio";
    std::filesystem::path home = FromEnvironment("HOME");
    if (!home.is_absolute()) {
        // A service or a user started without a login environment.
        if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir)
            home = user->pw_dir;
    }
    if (!home.is_absolute()) return {};
    return home / ".config" / "tarvio";
}

std::filesystem::path SystemConfigDir()
{
    std::filesystem::path set = FromEnvironment("KIVO_SYSCONF_DIR");
    return set.empty() ? std::filesystem::path("/etc/tarvio") : set;
}

std::filesystem::path UserFilePath(const std::filesystem::path& path)
{
    if (!IsInstalledFolder(path.parent_path())) return path;
    std::filesystem::path folder = UserConfigDir();
    return folder.empty() ? path : folder / path.filename();
}

std::filesystem::path SystemFileFor(const std::filesystem::path& userFile)
{
    std::filesystem::path folder = UserConfigDir();
    if (folder.empty()) return {};
    std::filesystem::path inside =
        userFile.lexically_normal().lexically_relative(folder.lexically_normal());
    if (inside.empty() || *inside.begin() == ".." || inside == ".") return {};
    return SystemConfigDir() / inside;
}

std::filesystem::path DevRoot()
{
    std::filesystem::path set = FromEnvironment("KIVO_DEV_ROOT");
    return set.empty() ? std::filesystem::path("/dev") : set;
}

std::filesystem::path SysRoot()
{
    std::filesystem::path set = FromEnvironment("KIVO_SYS_ROOT");
    if (!set.empty()) return set;
    return DevRoot() == "/dev" ? std::filesystem::path("/sys") : std::filesystem::path();
}

bool ClaimForThisProcess(const std::filesystem::path& file)
{
    std::error_code unresolved;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(file, unresolved);
    if (unresolved) resolved = std::filesystem::absolute(file, unresolved);
    // An abstract socket's name: the kernel frees it with the last process
    // that holds it. FNV-1a keeps any path within the name's length.
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : resolved.native()) hash = (hash ^ c) * 1099511628211ull;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
                               "tarvio-settings-%016llx", static_cast<unsigned long long>(hash));
    int claim = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (claim < 0) return true;
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(claim, reinterpret_cast<const sockaddr*>(&address), size) == 0)
        return true;  // kept open until the process ends
    const int error = errno;
    ::close(claim);
    return error != EADDRINUSE;
}

} // namespace kivo::win
