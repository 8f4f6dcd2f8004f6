// Settings files: reading rules, integer forms, and writes that keep every
// other byte of the file or change nothing at all.

#include "platform/profile.h"

#include "platform/app_paths.h"

#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace kivo::win;
namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    kivo::test::TempDir Dir{"kivo-profile"};
    std::string Path = (Dir / "board.ini").string();

    void Given(const std::string& text) const { Dir.Write("board.ini", text); }
    std::string Content() const { return Dir.Read("board.ini"); }
    std::string Text(const std::string& section, const std::string& key, DWORD size = 2048) const
    {
        return GetPrivateProfileString(section, key, "<default>", size, Path);
    }
    bool Write(const std::string& section, const std::string& key, const std::string& value) const
    {
        return WritePrivateProfileString(section, key, value, Path) == TRUE;
    }
    std::vector<fs::path> Entries() const
    {
        return {fs::directory_iterator(Dir.Path()), fs::directory_iterator()};
    }
};

// Permissions put back before the temporary folder is removed.
struct ModeGuard {
    ModeGuard(fs::path path, fs::perms mode) : Path(std::move(path)), Old(fs::status(Path).permissions())
    {
        fs::permissions(Path, mode);
    }
    ~ModeGuard() { fs::permissions(Path, Old); }
    fs::path Path;
    fs::perms Old;
};

constexpr auto ReadOnly = fs::perms::owner_read | fs::perms::owner_exec;

// The settings file of an installed program: the executable's folder stands
// in for /usr/bin, the user's configuration and the system folder are fresh.
class InstalledSettingsFile : public ::testing::Test {
protected:
    InstalledSettingsFile() { fs::create_directory(Dir / "home"); }

    kivo::test::TempDir Dir{"kivo-installed"};
    kivo::test::EnvGuard Config{"XDG_CONFIG_HOME", (Dir / "home/.config").string()};
    kivo::test::EnvGuard System{"KIVO_SYSCONF_DIR", (Dir / "etc/tarvio").string()};
    std::string Path = UserFilePath("/usr/bin/board.ini").string();
};

} // namespace

TEST_F(SettingsFile, ReadingRules)
{
    EXPECT_EQ(Text("Tarvio", "P1"), "<default>") << "no file";
    Given("\xEF\xBB\xBF[tarvio] ; hand made\r\n  P1  =   12 34   \r\nQ=\"  q  \"\r\nE=\r\n[Broken\r\nX=1\r\n"
          ";C=1\r\n#D=2\r\nstray line\r\n=orphan\r\nP1=second\r\n[TARVIO]\r\nLater=1\r\n");
    EXPECT_EQ(Text("Tarvio", "p1"), "12 34");
    EXPECT_EQ(Text("Tarvio", "Q"), "  q  ");
    EXPECT_EQ(Text("Tarvio", "E"), "") << "present but empty is not missing";
    EXPECT_EQ(Text("Tarvio", "X"), "1") << "a header without ']' is no header";
    for (const char* missing : {";C", "C", "#D", "Later", "P2"}) EXPECT_EQ(Text("Tarvio", missing), "<default>") << missing;
    EXPECT_EQ(Text("Cores", "Cor1"), "<default>");
}

TEST_F(SettingsFile, TextsAreCutToTheBufferSize)
{
    Given("[S]\nexact=" + std::string(2047, 'a') + "\nlonger=" + std::string(3000, 'b') + "\n");
    EXPECT_EQ(Text("S", "exact"), std::string(2047, 'a'));
    EXPECT_EQ(Text("S", "longer"), std::string(2047, 'b'));
    EXPECT_EQ(Text("S", "exact", 5), "aaaa");
    EXPECT_EQ(Text("S", "exact", 1), "");
    EXPECT_EQ(GetPrivateProfileString("S", "none", "Vazio", 3, Path), "Va");
}

TEST_F(SettingsFile, IntegerForms)
{
    constexpr int fallback = -777;
    struct Row { const char* Stored; int Expected; };
    const Row rows[] = {
        {"123", 123}, {"-45", -45}, {"+7", 7}, {"007", 7}, {" 42 ", 42}, {"\"16\"", 16},
        {"0x10", 16}, {"0X1f", 31}, {"$10", 16}, {"x10", 16}, {"X10", 16}, {"-$10", -16}, {"-0x10", -16},
        {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}, {"$FFFFFFFF", -1}, {"$80000000", INT_MIN},
        {"2147483648", fallback}, {"-2147483649", fallback}, {"$100000000", fallback},
        {"99999999999999999999", fallback}, {"", fallback}, {"COM3", fallback}, {"12abc", fallback},
        {"0x", fallback}, {"$", fallback}, {"-", fallback}, {"1 2", fallback}, {"0x1g", fallback},
        {"--1", fallback}, {"1.5", fallback}, {"$-1", fallback}};
    for (const Row& row : rows) {
        Given(std::string("[S]\nn=") + row.Stored + "\n");
        EXPECT_EQ(GetPrivateProfileInt("S", "n", fallback, Path), row.Expected) << '"' << row.Stored << '"';
    }
}

TEST_F(SettingsFile, WritesKeepEveryOtherByte)
{
    const std::string before = "; hand made\r\n[Porta]\r\nPort=3\r\n\r\n[Tarvio]\r\nP1 = 1111\r\nExtra=keep\r\n"
                               "\r\n; colours\r\n[Cores]\r\nCor1=Azul\r\n[tarvio]\r\nP1=dup\r\n";
    Given(before);
    ASSERT_TRUE(Write("tarvio", "p1", "9 99"));
    ASSERT_TRUE(Write("TARVIO", "P2", "2222"));
    EXPECT_EQ(Content(), "; hand made\r\n[Porta]\r\nPort=3\r\n\r\n[Tarvio]\r\nP1 = 9 99\r\nExtra=keep\r\n"
                         "P2=2222\r\n\r\n; colours\r\n[Cores]\r\nCor1=Azul\r\n[tarvio]\r\nP1=dup\r\n");
    EXPECT_EQ(Text("Tarvio", "P1"), "9 99");

    // A blank price field is four spaces; saved again and again, its line stays one.
    Given("[Tarvio]\nP1 = 1669\n");
    for (int save = 0; save < 3; ++save) ASSERT_TRUE(Write("Tarvio", "P1", "    "));
    ASSERT_TRUE(Write("Tarvio", "P2", " 12"));
    ASSERT_TRUE(Write("Tarvio", "P2", " 12"));
    EXPECT_EQ(Content(), "[Tarvio]\nP1 =    \nP2= 12\n");

    Given("[Tarvio]\n[Cores]\nCor1=Azul");
    ASSERT_TRUE(Write("Tarvio", "P1", "1"));
    ASSERT_TRUE(Write("Cores", "Cor1", "Verde"));
    EXPECT_EQ(Content(), "[Tarvio]\nP1=1\n[Cores]\nCor1=Verde") << "no final newline stays so";
    ASSERT_TRUE(Write("Hora_Muda", "Hora", "7"));
    EXPECT_EQ(Content(), "[Tarvio]\nP1=1\n[Cores]\nCor1=Verde\n\n[Hora_Muda]\nHora=7\n");

    // A value written again as it stands rewrites nothing (nor flushes it
    // to the disk): the file stays the same one.
    const auto inode = [&] {
        struct stat info {};
        ::stat(Path.c_str(), &info);
        return info.st_ino;
    };
    const ino_t kept = inode();
    for (auto [section, key, value] : {std::tuple{"Hora_Muda", "Hora", "7"}, {"Tarvio", "P1", "1"}}) {
        ASSERT_TRUE(Write(section, key, value));
        EXPECT_EQ(inode(), kept) << key;
    }
    ASSERT_TRUE(Write("Tarvio", "P1", "2"));
    EXPECT_NE(inode(), kept) << "a change goes through a new file";
}

// A file a Windows editor saved as "Unicode" (UTF-16 with a byte order mark)
// reads as the text it holds, and a write keeps it UTF-16 in its byte order.
TEST_F(SettingsFile, Utf16FileIsReadAndStaysUtf16)
{
    auto utf16 = [](std::u16string_view text, bool bigEndian) {
        std::string bytes;
        for (char16_t unit : text) {
            char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
            bytes += bigEndian ? high : low;
            bytes += bigEndian ? low : high;
        }
        return bytes;
    };
    for (bool bigEndian : {false, true}) {
        Given(utf16(u"\uFEFF; Posto \U0001F600\r\n[Porta]\r\nPort=3\r\n[Texto]\r\nDes1=Gas\u00F3leo\r\n"
                    u"[Tarvio]\r\nP1=1111\r\n", bigEndian));
        EXPECT_EQ(GetPrivateProfileInt("Porta", "Port", 0, Path), 3) << bigEndian;
        EXPECT_EQ(Text("Texto", "Des1"), "Gas\xC3\xB3leo") << bigEndian;
        ASSERT_TRUE(Write("Tarvio", "P1", "2222"));
        ASSERT_TRUE(Write("Hora_Muda", "Hora", "7"));
        EXPECT_EQ(Content(), utf16(u"\uFEFF; Posto \U0001F600\r\n[Porta]\r\nPort=3\r\n[Texto]\r\n"
                                   u"Des1=Gas\u00F3leo\r\n[Tarvio]\r\nP1=2222\r\n\r\n[Hora_Muda]\r\nHora=7\r\n",
                                   bigEndian)) << bigEndian;
    }
}

TEST_F(SettingsFile, FirstWriteCreatesTheFile)
{
    ASSERT_TRUE(Write("Tarvio", "P1", "1234"));
    ASSERT_TRUE(Write("Hora_Muda", "Hora", "-1"));
    EXPECT_EQ(Content(), "[Tarvio]\nP1=1234\n\n[Hora_Muda]\nHora=-1\n");
    ASSERT_TRUE(Write("Texto", "Des1", std::string(3000, 'z')));
    EXPECT_EQ(Text("Texto", "Des1"), std::string(2047, 'z'));
}

TEST_F(SettingsFile, LineBreaksInNamesOrValuesAreRefusedAndChangeNothing)
{
    Given("[Tarvio]\nP1=1\n");
    for (auto [section, key, value] : {std::tuple{"Tarvio", "P1", "1\n[Porta]\nPort=9"}, {"Tarvio", "P1", "1\r"},
                                       {"Tar]vio", "P1", "1"}, {"Tarvio", "P=1", "1"}, {"Tarvio", " ", "1"},
                                       {"", "P1", "1"}}) {
        SetLastError(0);
        EXPECT_FALSE(Write(section, key, value)) << section << "/" << key;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(Content(), "[Tarvio]\nP1=1\n");
}

TEST_F(SettingsFile, WriteKeepsPermissionsAndLinksAndLeavesNoTemporaryFile)
{
    Dir.Write("real.ini", "[Tarvio]\nP1=1\n");
    auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(Dir / "real.ini", mode);
    fs::create_symlink(Dir / "real.ini", Path);
    ASSERT_TRUE(Write("Tarvio", "P1", "2"));
    EXPECT_TRUE(fs::is_symlink(Path));
    EXPECT_EQ(Dir.Read("real.ini"), "[Tarvio]\nP1=2\n");
    EXPECT_EQ(fs::status(Dir / "real.ini").permissions(), mode);
    EXPECT_EQ(Entries().size(), 2u);

    fs::remove(Path);
    fs::create_hard_link(Dir / "real.ini", Path);
    ASSERT_TRUE(Write("Tarvio", "P1", "3"));
    EXPECT_EQ(Dir.Read("real.ini"), "[Tarvio]\nP1=3\n") << "a hard link stays one file";
    EXPECT_EQ(Entries().size(), 2u);
}

// Two operators sharing a portable copy's folder: a save by one must leave
// the file the other's, or the other can no longer save to it.
TEST_F(SettingsFile, AnotherUsersFileStaysTheirsAfterAWrite)
{
    if (::geteuid() != 0) GTEST_SKIP() << "playing two users needs root";
    constexpr uid_t Owner = 64001, Other = 64002;
    Given("[Tarvio]\nP1=1\n");
    ASSERT_EQ(::chown(Path.c_str(), Owner, Owner), 0);
    fs::permissions(Path, static_cast<fs::perms>(0666));
    ModeGuard shared(Dir.Path(), fs::perms::all);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(Other, Other, Other) != 0 ||
            ::setresuid(Other, Other, Other) != 0)
            ::_exit(3);
        ::_exit(Write("Tarvio", "P1", "2") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(Content(), "[Tarvio]\nP1=2\n");
    struct stat info = {};
    ASSERT_EQ(::stat(Path.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, Owner);
    EXPECT_EQ(info.st_gid, Owner);
    EXPECT_EQ(Entries().size(), 1u);
}

// The technician lets a second operator at the file with an access list;
// a save must not drop it.
TEST_F(SettingsFile, AnAccessListOnTheFileSurvivesAWrite)
{
    Given("[Tarvio]\nP1=1\n");
    // Owner rw, user 64002 rw, group r, mask rw, others r: the kernel's form.
    auto entry = [](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
        std::string bytes(8, '\0');
        std::memcpy(bytes.data(), &tag, 2);
        std::memcpy(bytes.data() + 2, &perm, 2);
        std::memcpy(bytes.data() + 4, &id, 4);
        return bytes;
    };
    std::string list("\x02\0\0\0", 4);
    list += entry(0x01, 6, UINT32_MAX) + entry(0x02, 6, 64002) + entry(0x04, 4, UINT32_MAX) +
            entry(0x10, 6, UINT32_MAX) + entry(0x20, 4, UINT32_MAX);
    if (::setxattr(Path.c_str(), "system.posix_acl_access", list.data(), list.size(), 0) != 0)
        GTEST_SKIP() << "no access lists here: " << std::strerror(errno);
    ASSERT_TRUE(Write("Tarvio", "P1", "2"));
    EXPECT_EQ(Content(), "[Tarvio]\nP1=2\n");
    std::string after(list.size() + 64, '\0');
    ssize_t size = ::getxattr(Path.c_str(), "system.posix_acl_access", after.data(), after.size());
    ASSERT_GT(size, 0) << "the access list was dropped";
    after.resize(static_cast<std::size_t>(size));
    EXPECT_EQ(after, list);
}

TEST_F(SettingsFile, ReadOnlyFileOrFolderWithoutTheFileFails)
{
    Given("[Tarvio]\nP1=1\n");
    {
        ModeGuard guard(Path, fs::perms::owner_read);
        SetLastError(0);
        EXPECT_FALSE(Write("Tarvio", "P1", "2"));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Content(), "[Tarvio]\nP1=1\n");
        EXPECT_EQ(Entries().size(), 1u);
    }
    ModeGuard guard(Dir.Path(), ReadOnly);
    EXPECT_FALSE(WritePrivateProfileString("Tarvio", "P1", "1", (Dir / "new.ini").string()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WritePrivateProfileString("Tarvio", "P1", "1", (Dir / "nowhere" / "x.ini").string()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(WritePrivateProfileString("Tarvio", "P1", "1", Path + "/inner.ini"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(SettingsFile, ReadOnlyFolderStillLetsAWritableFileChangeInPlace)
{
    Given("[Tarvio]\nP1=1\n; tail\n");
    ModeGuard guard(Dir.Path(), ReadOnly);
    ASSERT_TRUE(Write("Tarvio", "P1", "22"));
    ASSERT_TRUE(Write("Tarvio", "P1", "3"));  // shorter: the old tail must not linger
    EXPECT_EQ(Content(), "[Tarvio]\nP1=3\n; tail\n");
}

TEST_F(SettingsFile, WritesFromTwoThreadsAreNotLost)
{
    auto writer = [&](const char* key) {
        for (int i = 1; i <= 40; ++i) WritePrivateProfileString("Tarvio", key, std::to_string(i), Path);
    };
    std::thread first(writer, "P1"), second(writer, "P2");
    first.join();
    second.join();
    EXPECT_EQ(Text("Tarvio", "P1"), "40");
    EXPECT_EQ(Text("Tarvio", "P2"), "40");
    EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(InstalledSettingsFile, ReadsTheSystemFileUntilTheFirstWriteCopiesIt)
{
    ASSERT_EQ(Path, (Dir / "home/.config/tarvio/board.ini").string());
    fs::create_directories(Dir / "etc/tarvio");
    const std::string system = "; set by the technician\r\n[Porta]\r\nPort=4\r\n[Tarvio]\r\nP1=1\r\n"
                               "[Texto]\r\nDes1=Gas\xF3leo\r\n";
    Dir.Write("etc/tarvio/board.ini", system);
    EXPECT_EQ(GetPrivateProfileInt("Porta", "Port", 0, Path), 4);
    EXPECT_FALSE(fs::exists(Dir / "home/.config")) << "reading creates nothing";

    ASSERT_TRUE(WritePrivateProfileString("Tarvio", "P1", "2", Path));
    ASSERT_TRUE(WritePrivateProfileString("Hora_Muda", "Hora", "7", Path));
    EXPECT_EQ(Dir.Read("home/.config/tarvio/board.ini"),
              "; set by the technician\r\n[Porta]\r\nPort=4\r\n[Tarvio]\r\nP1=2\r\n"
              "[Texto]\r\nDes1=Gas\xF3leo\r\n\r\n[Hora_Muda]\r\nHora=7\r\n");
    EXPECT_EQ(Dir.Read("etc/tarvio/board.ini"), system);
    for (const char* folder : {"home/.config", "home/.config/tarvio"})
        EXPECT_EQ(fs::status(Dir / folder).permissions(), fs::perms::owner_all) << folder;

    Dir.Write("etc/tarvio/board.ini", "[Porta]\nPort=9\n");
    EXPECT_EQ(GetPrivateProfileInt("Porta", "Port", 0, Path), 4) << "the user's copy is read from now on";
}

// A user's file that is a link to nothing (a file removed, a share not
// mounted) stays a link: the first write makes the file where it points, from
// the system file, or, where that folder is gone too, fails and makes nothing.
TEST_F(InstalledSettingsFile, AFirstWriteThroughALinkToNothingKeepsTheLink)
{
    fs::create_directories(Dir / "home/.config/tarvio");
    fs::create_directories(Dir / "etc/tarvio");
    fs::create_directories(Dir / "share");
    Dir.Write("etc/tarvio/board.ini", "[Porta]\nPort=4\n");
    fs::create_symlink(Dir / "share/board.ini", Path);
    ASSERT_TRUE(WritePrivateProfileString("Tarvio", "P1", "2", Path));
    EXPECT_TRUE(fs::is_symlink(Path));
    EXPECT_EQ(Dir.Read("share/board.ini"), "[Porta]\nPort=4\n\n[Tarvio]\nP1=2\n");

    fs::remove(Path);
    fs::create_symlink(Dir / "unmounted/board.ini", Path);
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileString("Tarvio", "P1", "3", Path));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(fs::is_symlink(Path));
    EXPECT_FALSE(fs::exists(Dir / "unmounted"));
}

TEST_F(InstalledSettingsFile, APortableCopyKeepsItsFileBesideTheExecutable)
{
    EXPECT_EQ(UserFilePath(Dir / "board.ini"), Dir / "board.ini");
    fs::create_directories(Dir / "etc/tarvio");
    Dir.Write("etc/tarvio/board.ini", "[Porta]\nPort=4\n");
    EXPECT_EQ(GetPrivateProfileInt("Porta", "Port", 0, (Dir / "board.ini").string()), 0)
        << "the system file stands in only for the user's copy";
}

// A second copy of the program on the same settings must be told, whichever
// name it reaches them by; a copy on other settings must not.
TEST_F(InstalledSettingsFile, OneProcessAtATimeClaimsASettingsFile)
{
    Dir.Write("board.ini", "[Porta]\nPort=4\n");
    fs::create_symlink(Dir / "board.ini", Dir / "link.ini");
    ASSERT_TRUE(ClaimForThisProcess(Dir / "board.ini"));
    EXPECT_FALSE(ClaimForThisProcess(Dir / "board.ini"));
    EXPECT_FALSE(ClaimForThisProcess(Dir / "link.ini")) << "the same file by a link";
    EXPECT_FALSE(ClaimForThisProcess(Dir / "sub/../board.ini"));
    EXPECT_TRUE(ClaimForThisProcess(Dir / "other.ini")) << "a file not there yet is claimed too";
    EXPECT_FALSE(ClaimForThisProcess(Dir / "other.ini"));
}
