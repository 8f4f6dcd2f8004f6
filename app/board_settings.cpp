// Reading and writing the settings file.

#include "app/board_settings.h"

#include "app/code_page.h"
#include "app/program_output.h"
#include "platform/app_paths.h"
#include "platform/errno_map.h"
#include "platform/profile.h"
#include "platform/sysmsg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarvio {

using namespace kivo::win;

namespace {

// Text values are read up to 2047 characters.
constexpr DWORD TextLimit = 2048;

std::string RowKey(const char* prefix, int row)
{
    return prefix + std::to_string(row + 1);
}

void Write(const std::string& path, const char* section, const std::string& key,
           const std::string& value)
{
    if (!WritePrivateProfileString(section, key, value, path)) {
        // The operator's box keeps the system's words; whoever reads the
        // program's output (a technician at a terminal, the session's
        // journal) also learns why: a full disk, a folder it may not write.
        const DWORD error = GetLastError();
        std::string reason = FormatMessage(error);
        reason.erase(reason.find_last_not_of(".\r\n") + 1);
        if (reason.empty()) reason = "error " + std::to_string(error);
        SayOnStandardError("cannot write " + path + ": " + reason);
        throw EIniFileException("Unable to write to " + path);
    }
}

std::string ReadText(const char* section, const std::string& key, const char* defaultValue,
                     const std::string& path)
{
    return TextFromBytes(GetPrivateProfileString(section, key, defaultValue, TextLimit, path));
}

// A price goes back in the code page of the value it replaces: a file carried
// over from Windows stays in one code page, and an unchanged price keeps its
// bytes.
std::string StoredPrice(const std::string& path, const std::string& key, const std::string& price)
{
    bool ascii = std::all_of(price.begin(), price.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || IsUtf8(GetPrivateProfileString("Tarvio", key, "", TextLimit, path))) return price;
    return Windows1252FromUtf8(price);
}

} // namespace

std::string SettingsPathFor(const std::filesystem::path& executable)
{
    std::filesystem::path path = executable;
    path.replace_extension(".ini");
    return UserFilePath(path).string();
}

BoardSettings ReadBoardSettings(const std::string& path)
{
    BoardSettings settings;
    settings.PortNumber = GetPrivateProfileInt("Porta", "Port", 0, path);
    for (int row = 0; row < RowCount; ++row)
        settings.Prices[row] = ReadText("Tarvio", RowKey("P", row), "9999", path);
    settings.HourIndex = GetPrivateProfileInt("Hora_Muda", "Hora", 0, path);
    settings.MinuteIndex = GetPrivateProfileInt("Hora_Muda", "Minuto", 0, path);
    for (int row = 0; row < RowCount; ++row)
        settings.Captions[row] = ReadText("Texto", RowKey("Des", row), "Vazio", path);
    for (int row = 0; row < RowCount; ++row)
        settings.Colours[row] = ReadText("Cores", RowKey("Cor", row), "Vazio", path);
    return settings;
}

namespace {

// Nothing also for a missing file, which missing tells apart.
std::optional<std::string> FileReadFailure(const std::string& path, bool& missing)
{
    auto failure = [&path](int error) {
        return "Unable to read " + path + " (" + ErrnoText(error) + ")";
    };
    struct stat info {};
    missing = false;
    if (::stat(path.c_str(), &info) != 0) {
        missing = errno == ENOENT;
        return errno == ENOENT || errno == ENOTDIR ? std::nullopt
                                                   : std::optional<std::string>(failure(errno));
    }
    if (!S_ISREG(info.st_mode)) return std::nullopt;
    if (info.st_size > ProfileFileLimit) return failure(EFBIG);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return failure(errno);
    char first;
    ssize_t got;
    do {
        got = ::read(fd, &first, 1);
    } while (got < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (got < 0) return failure(error);
    return std::nullopt;
}

} // namespace

std::optional<std::string> SettingsReadFailure(const std::string& path)
{
    bool missing = false;
    std::optional<std::string> failure = FileReadFailure(path, missing);
    if (failure || !missing) return failure;
    // A user with no file of their own yet reads the technician's, and
    // their first save starts from it.
    std::filesystem::path system = SystemFileFor(path);
    return system.empty() ? std::nullopt : FileReadFailure(system.string(), missing);
}

void WriteBoardState(const std::string& path, const TRowTexts& prices, int hourIndex,
                     int minuteIndex)
{
    for (int row = 0; row < RowCount; ++row) {
        std::string key = RowKey("P", row);
        Write(path, "Tarvio", key, StoredPrice(path, key, prices[row]));
    }
    Write(path, "Hora_Muda", "Hora", std::to_string(hourIndex));
    Write(path, "Hora_Muda", "Minuto", std::to_string(minuteIndex));
}

} // namespace tarvio
