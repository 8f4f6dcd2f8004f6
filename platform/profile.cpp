// Settings files: the INI reading rules and the write that changes one line
// (or adds one) and leaves every other byte of the file as it was.

#include "platform/profile.h"

#include "platform/app_paths.h"
#include "platform/errno_map.h"
#include "platform/utf8.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kivo::win {

namespace {

// One process-wide lock: a read-modify-write of the file must not interleave
// with another thread's.
std::mutex& FileLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// A path that is not there while a settings file is read or written is a
// folder on the way to it: Windows says "path not found".
DWORD FromErrno(int error)
{
    return error == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(error);
}

BOOL FailWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// A line of the file without its terminator; Ending is "\r\n", "\n" or ""
// (the last line of a file without a final newline).
struct Line {
    std::string_view Text;
    std::string_view Ending;
};

std::vector<Line> SplitLines(std::string_view content)
{
    std::vector<Line> lines;
    while (!content.empty()) {
        std::size_t newline = content.find('\n');
        if (newline == std::string_view::npos) {
            lines.push_back({content, {}});
            break;
        }
        std::size_t textEnd = newline > 0 && content[newline - 1] == '\r' ? newline - 1 : newline;
        lines.push_back({content.substr(0, textEnd), content.substr(textEnd, newline + 1 - textEnd)});
        content.remove_prefix(newline + 1);
    }
    return lines;
}

enum class TLineKind : std::uint8_t { lkOther, lkSection, lkKey };

struct ParsedLine {
    TLineKind Kind = TLineKind::lkOther;
    std::string_view Name;   // section or key name, trimmed
    std::size_t ValueStart = 0;  // offset of the value in the line, after blanks
};

ParsedLine Parse(std::string_view text, bool firstLine)
{
    // An editor's byte order mark must not hide the first section.
    if (firstLine && text.starts_with("\xEF\xBB\xBF")) {
        ParsedLine parsed = Parse(text.substr(3), false);
        parsed.ValueStart += parsed.Kind == TLineKind::lkKey ? 3 : 0;
        return parsed;
    }
    ParsedLine parsed;
    std::string_view trimmed = Trim(text);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return parsed;
    if (trimmed.front() == '[') {
        std::size_t close = trimmed.find(']');
        if (close == std::string_view::npos) return parsed;
        parsed.Kind = TLineKind::lkSection;
        parsed.Name = Trim(trimmed.substr(1, close - 1));
        return parsed;
    }
    std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) return parsed;
    std::string_view key = Trim(text.substr(0, equals));
    if (key.empty()) return parsed;
    parsed.Kind = TLineKind::lkKey;
    parsed.Name = key;
    std::size_t valueStart = equals + 1;
    while (valueStart < text.size() && IsBlank(text[valueStart])) ++valueStart;
    parsed.ValueStart = valueStart;
    return parsed;
}

// Where a key is, or would go, in the file's lines.
struct Location {
    std::optional<std::size_t> SectionLine;
    std::optional<std::size_t> KeyLine;
    std::size_t InsertAfter = 0;  // the section's last key line, or its header
};

Location Find(const std::vector<Line>& lines, std::string_view section, std::string_view key)
{
    Location where;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ParsedLine parsed = Parse(lines[i].Text, i == 0);
        if (parsed.Kind == TLineKind::lkSection) {
            if (inSection) break;  // the first section of that name wins
            if (EqualsNoCase(parsed.Name, section)) {
                inSection = true;
                where.SectionLine = i;
                where.InsertAfter = i;
            }
            continue;
        }
        if (!inSection || parsed.Kind != TLineKind::lkKey) continue;
        where.InsertAfter = i;
        if (EqualsNoCase(parsed.Name, key)) {
            where.KeyLine = i;
            break;
        }
    }
    return where;
}

std::string_view ValueOf(std::string_view lineText, const ParsedLine& parsed)
{
    std::string_view value = Trim(lineText.substr(parsed.ValueStart));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value.remove_prefix(1);
        value.remove_suffix(1);
    }
    return value;
}

// A file saved as UTF-16 with its byte order mark (the "Unicode" of Windows
// editors) is worked on as the UTF-8 text it holds and goes back to the disk
// as UTF-16 in the same byte order; any other file is taken byte for byte.
enum class TCoding : std::uint8_t { cdBytes, cdUtf16Le, cdUtf16Be };

struct TDecoded {
    std::string Text;
    TCoding Coding = TCoding::cdBytes;
};

char32_t UnitAt(std::string_view raw, std::size_t at, TCoding coding)
{
    auto first = static_cast<std::uint8_t>(raw[at]);
    auto second = static_cast<std::uint8_t>(raw[at + 1]);
    return coding == TCoding::cdUtf16Le ? first | (second << 8) : (first << 8) | second;
}

// Only a file that comes back byte for byte is decoded: an even length and
// every surrogate in a pair.
TDecoded Decode(std::string raw)
{
    TCoding coding = raw.starts_with("\xFF\xFE")   ? TCoding::cdUtf16Le
                     : raw.starts_with("\xFE\xFF") ? TCoding::cdUtf16Be
                                                   : TCoding::cdBytes;
    if (coding == TCoding::cdBytes || raw.size() % 2 != 0) return {std::move(raw), TCoding::cdBytes};
    std::string text;
    text.reserve(raw.size());
    for (std::size_t at = 0; at < raw.size(); at += 2) {
        char32_t c = UnitAt(raw, at, coding);
        if (c >= 0xD800 && c <= 0xDBFF && at + 2 < raw.size()) {
            char32_t low = UnitAt(raw, at + 2, coding);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) return {std::move(raw), TCoding::cdBytes};
        AppendUtf8(text, c);
    }
    return {std::move(text), coding};
}

// nullopt when text holds a byte that is no UTF-8 (a value in a code page):
// UTF-16 has no place for it.
std::optional<std::string> Encode(std::string_view text, TCoding coding)
{
    if (coding == TCoding::cdBytes) return std::string(text);
    std::string raw;
    raw.reserve(text.size() * 2);
    auto put = [&](char32_t unit) {
        auto high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        raw += coding == TCoding::cdUtf16Le ? low : high;
        raw += coding == TCoding::cdUtf16Le ? high : low;
    };
    while (!text.empty()) {
        TUtf8Char decoded = DecodeUtf8(text);
        if (decoded.Length == 0) return std::nullopt;
        text.remove_prefix(decoded.Length);
        char32_t c = decoded.Char;
        if (c < 0x10000) {
            put(c);
        } else {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return raw;
}

// The whole file, or nullopt with errno set. Only a regular file: a pipe or
// a device under the name would block the reader or never end, and merely
// opening a device can act on it; the second look covers a swap in between.
std::optional<std::string> ReadWholeFile(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    if (!S_ISREG(info.st_mode)) {
        errno = EACCES;
        return std::nullopt;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EACCES;
        return std::nullopt;
    }
    std::string content;
    char block[8192];
    for (;;) {
        // Also for a file that grows while it is read.
        if (info.st_size > ProfileFileLimit ||
            content.size() > static_cast<std::size_t>(ProfileFileLimit)) {
            ::close(fd);
            errno = EFBIG;
            return std::nullopt;
        }
        ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            errno = error;
            return std::nullopt;
        }
        if (got == 0) break;
        content.append(block, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return content;
}

bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t put = ::write(fd, data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// A file or folder without any write permission bit counts as read-only even
// for a privileged user, as the read-only attribute does on Windows.
bool MayWrite(const std::string& path, const struct stat& info)
{
    return (info.st_mode & 0222) != 0 && ::access(path.c_str(), W_OK) == 0;
}

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A settings file reached through a symbolic link is written where the link
// points, so the link survives; also when nothing is there (a file removed,
// a share not mounted): the write then makes the file or fails, and never
// puts a file of its own in place of the link.
std::string ResolveLinks(const std::string& path)
{
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        if (char* real = ::realpath(current.c_str(), nullptr)) {
            std::string resolved(real);
            ::free(real);
            return resolved;
        }
        if (errno != ENOENT) return path;
        char target[PATH_MAX];
        ssize_t length = ::readlink(current.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof target) return path;
        std::string next(target, static_cast<std::size_t>(length));
        current = next.front() == '/' ? next : FolderOf(current) + "/" + next;
    }
    return path;
}

// Writes content to a new file beside path and renames it over path: the
// file is either wholly old or wholly new. errno is set on failure.
bool ReplaceThroughTemporary(const std::string& path, const std::string& content,
                             const struct stat* existing)
{
    static std::atomic<unsigned> counter{0};
    std::string folder = FolderOf(path);
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder + "/." + base + "." + std::to_string(::getpid()) + "-"
                    + std::to_string(counter.fetch_add(1)) + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool written = WriteAll(fd, content);
    // Another user's file, in a folder both may write, must stay theirs:
    // taken over, its owner could no longer save to it. Who cannot hand it
    // back rewrites it in place instead, as the caller does on EPERM.
    if (written && existing && ::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
        written = false;
        errno = EPERM;
    }
    if (written && existing) written = ::fchmod(fd, existing->st_mode & 07777) == 0;
    if (written) written = ::fsync(fd) == 0;
    int error = written ? 0 : errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written) {
        if (::rename(temporary.c_str(), path.c_str()) == 0) return true;
        error = errno;
    }
    ::unlink(temporary.c_str());
    errno = error;
    return false;
}

// Writes data at offset; done counts the bytes that reached the file, also
// when a later write fails. errno is set on failure.
bool WriteAllAt(int fd, std::string_view data, off_t offset, std::size_t& done)
{
    done = 0;
    while (done < data.size()) {
        ssize_t put = ::pwrite(fd, data.data() + done, data.size() - done,
                               offset + static_cast<off_t>(done));
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// For a folder that forbids new files while the file itself may be written.
// There is no second file to fall back on, so only the bytes from the first
// difference on are written, and a write that fails part-way (file size
// limit, full disk) puts the old bytes back rather than leave the file half
// old and half new.
bool RewriteInPlace(const std::string& path, std::string_view old, std::string_view updated)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::size_t first = static_cast<std::size_t>(
        std::mismatch(old.begin(), old.end(), updated.begin(), updated.end()).first - old.begin());
    std::size_t changed = 0;
    bool written = WriteAllAt(fd, updated.substr(first), static_cast<off_t>(first), changed)
                   && ::ftruncate(fd, static_cast<off_t>(updated.size())) == 0 && ::fsync(fd) == 0;
    int error = written ? 0 : errno;
    if (!written) {
        // All of the old text from the first difference: a shorter file may
        // already have been cut (a failed fsync comes after the truncate),
        // and growing it back alone would leave zeros where its tail was.
        // Up to what was written the old bytes fit where the new ones went.
        std::string_view back = old.substr(first);
        std::size_t restored = 0;
        if (WriteAllAt(fd, back, static_cast<off_t>(first), restored)
            && ::ftruncate(fd, static_cast<off_t>(old.size())) == 0) {
            ::fsync(fd);
        }
    }
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    errno = error;
    return written;
}

bool HasAccessList(const std::string& path)
{
    return ::getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) > 0;
}

bool ValidName(std::string_view name, char forbidden)
{
    if (Trim(name).empty()) return false;
    for (char c : name)
        if (c == '\r' || c == '\n' || c == forbidden) return false;
    return true;
}

// A key line that began like a comment or a section header would not read
// back as that key; one like "[x]=1" would even start a section.
bool ValidKey(std::string_view key)
{
    if (!ValidName(key, '=')) return false;
    char first = Trim(key).front();
    return first != ';' && first != '#' && first != '[';
}

// A per-user settings file that does not exist yet reads as the system-wide
// file the technician put in its place, and its first write starts from that.
std::optional<std::string> ReadSystemFile(const std::string& userFile)
{
    std::filesystem::path system = SystemFileFor(userFile);
    if (system.empty()) return std::nullopt;
    return ReadWholeFile(system.string());
}

// The per-user configuration folders a first write needs, private to the
// user: the configuration base folder (~/.config) and what lies in it, never
// the folder that holds the base (the home folder).
bool MakeUserFolders(const std::string& userFile)
{
    std::filesystem::path base = UserConfigDir().lexically_normal().parent_path().parent_path();
    std::filesystem::path folder = std::filesystem::path(userFile).lexically_normal().parent_path();
    std::vector<std::filesystem::path> missing;
    for (; folder != base && folder.has_relative_path(); folder = folder.parent_path()) {
        struct stat info {};
        if (::stat(folder.c_str(), &info) == 0) break;
        missing.push_back(folder);
    }
    for (auto make = missing.rbegin(); make != missing.rend(); ++make)
        if (::mkdir(make->c_str(), 0700) != 0 && errno != EEXIST) return false;
    return true;
}

std::optional<long long> ParseInteger(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.starts_with("$") || text.starts_with("x") || text.starts_with("X")) {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (magnitude > 0xFFFFFFFFull) return std::nullopt;
    }
    if (base == 16) {
        // Hexadecimal gives the 32-bit pattern: $FFFFFFFF is -1.
        auto bits = static_cast<std::uint32_t>(magnitude);
        if (negative) bits = 0u - bits;
        return static_cast<std::int32_t>(bits);
    }
    long long value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (value < INT_MIN || value > INT_MAX) return std::nullopt;
    return value;
}

std::optional<std::string> ReadValue(const std::string& section, const std::string& key,
                                     const std::string& fileName)
{
    if (fileName.empty()) return std::nullopt;
    std::optional<std::string> content;
    {
        std::lock_guard lock(FileLock());
        content = ReadWholeFile(fileName);
        if (!content && errno == ENOENT) content = ReadSystemFile(fileName);
    }
    if (!content) return std::nullopt;
    *content = Decode(std::move(*content)).Text;
    std::vector<Line> lines = SplitLines(*content);
    Location where = Find(lines, Trim(section), Trim(key));
    if (!where.KeyLine) return std::nullopt;
    std::string_view text = lines[*where.KeyLine].Text;
    return std::string(ValueOf(text, Parse(text, *where.KeyLine == 0)));
}

} // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, DWORD size,
                                    const std::string& fileName)
{
    std::string value = ReadValue(section, key, fileName).value_or(defaultValue);
    if (size == 0) return {};
    if (value.size() > size - 1) value.resize(size - 1);
    return value;
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& fileName)
{
    std::optional<std::string> value = ReadValue(section, key, fileName);
    if (!value) return defaultValue;
    std::optional<long long> number = ParseInteger(*value);
    return number ? static_cast<int>(*number) : defaultValue;
}

BOOL WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName)
{
    // A line break in a name or value would forge lines of its own.
    if (fileName.empty() || !ValidName(section, ']') || !ValidKey(key)
        || value.find_first_of("\r\n") != std::string::npos)
        return FailWith(ERROR_INVALID_PARAMETER);

    std::lock_guard lock(FileLock());
    std::string path = ResolveLinks(fileName);
    struct stat info {};
    bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) return FailWith(FromErrno(errno));
    if (exists && !S_ISREG(info.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    if (exists && !MayWrite(path, info)) return FailWith(ERROR_ACCESS_DENIED);

    std::string content;
    if (exists) {
        std::optional<std::string> read = ReadWholeFile(path);
        if (!read) return FailWith(FromErrno(errno));
        content = std::move(*read);
    } else if (!SystemFileFor(fileName).empty()) {
        if (std::optional<std::string> system = ReadSystemFile(fileName)) content = std::move(*system);
        // The name the program was given: a link's target lies outside it.
        if (!MakeUserFolders(fileName)) return FailWith(FromErrno(errno));
    }
    const std::string stored = content;
    TDecoded decoded = Decode(std::move(content));
    content = std::move(decoded.Text);

    std::vector<Line> lines = SplitLines(content);
    std::string_view eol = "\n";
    if (!lines.empty() && !lines.front().Ending.empty()) eol = lines.front().Ending;
    Location where = Find(lines, Trim(section), Trim(key));
    std::string keyLine = std::string(Trim(key)) + "=" + value;

    std::string updated;
    updated.reserve(content.size() + keyLine.size() + section.size() + 8);
    auto append = [&](const Line& line) {
        updated.append(line.Text);
        updated.append(line.Ending);
    };
    // A last line without a final newline gets one before the added line; a
    // lone carriage return at its end would merge with a bare newline.
    auto endOf = [&](const Line& line) -> std::string_view {
        if (!line.Ending.empty()) return line.Ending;
        return line.Text.ends_with('\r') ? "\r\n" : eol;
    };
    auto appendAfter = [&](const Line& line, const std::string& added) {
        updated.append(line.Text);
        updated.append(endOf(line));
        updated.append(added);
        updated.append(eol);
    };

    if (where.KeyLine) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i != *where.KeyLine) {
                append(lines[i]);
                continue;
            }
            std::size_t kept = Parse(lines[i].Text, i == 0).ValueStart;
            // Blanks that begin the value would read as the gap after "=" next
            // time and pile up, one more set of them with every write.
            if (value.empty() || IsBlank(value.front())) kept = lines[i].Text.find('=') + 1;
            updated.append(lines[i].Text.substr(0, kept));
            updated.append(value);
            updated.append(lines[i].Ending);
        }
    } else if (where.SectionLine) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i == where.InsertAfter) appendAfter(lines[i], keyLine);
            else append(lines[i]);
        }
    } else {
        updated = content;
        if (!updated.empty()) {
            if (!lines.back().Ending.empty()) {
                if (!Trim(lines.back().Text).empty()) updated.append(eol);
            } else {
                updated.append(endOf(lines.back()));
                updated.append(eol);
            }
        }
        updated.append("[" + std::string(Trim(section)) + "]");
        updated.append(eol);
        updated.append(keyLine);
        updated.append(eol);
    }

    // The window saves every price after each answer of the sign, mostly
    // unchanged: a rewrite, with its flush to the disk, would buy nothing.
    if (exists && updated == content) return TRUE;
    std::optional<std::string> bytes = Encode(updated, decoded.Coding);
    if (!bytes) return FailWith(ERROR_INVALID_PARAMETER);
    if (bytes->size() > static_cast<std::size_t>(ProfileFileLimit))
        return FailWith(FromErrno(EFBIG));

    std::string folder = FolderOf(path);
    struct stat folderInfo {};
    if (::stat(folder.c_str(), &folderInfo) != 0) return FailWith(FromErrno(errno));
    bool folderWritable = MayWrite(folder, folderInfo);
    int error = EACCES;
    // A file under two names (a hard link) would keep the old text under the
    // other name, and the access list that lets another operator at a file
    // would not pass to a new one: such a file is changed where it is, as a
    // file the folder forbids.
    if (folderWritable && !(exists && (info.st_nlink > 1 || HasAccessList(path)))) {
        if (ReplaceThroughTemporary(path, *bytes, exists ? &info : nullptr)) return TRUE;
        error = errno;
    }
    if (exists && (error == EACCES || error == EPERM)) {
        if (RewriteInPlace(path, stored, *bytes)) return TRUE;
        error = errno;
    }
    return FailWith(FromErrno(error));
}

} // namespace kivo::win
