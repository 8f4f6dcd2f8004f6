// Where the settings file is, how its values are read and how a failed
// write is reported.

#include "app/board_settings.h"

#include "platform/profile.h"

#include "tests/support/env_guard.h"
#include "tests/support/locale_guard.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvio {
namespace {

TEST(SettingsPathFor, PortableCopyReplacesOrAppendsTheExtension)
{
    kivo::test::TempDir dir("tarvio-portable");
    std::filesystem::create_directory(dir / "sign.d");
    EXPECT_EQ(SettingsPathFor(dir / "board.exe"), (dir / "board.ini").string());
    EXPECT_EQ(SettingsPathFor(dir / "tarvio"), (dir / "tarvio.ini").string());
    EXPECT_EQ(SettingsPathFor(dir / "sign.d/tarvio"), (dir / "sign.d/tarvio.ini").string());
    EXPECT_EQ(SettingsPathFor(dir / "tarvio.x.bin"), (dir / "tarvio.x.ini").string());
}

TEST(SettingsPathFor, InstalledProgramUsesTheUserFileAndAFailedWriteNamesIt)
{
    kivo::test::TempDir dir("tarvio-installed");
    // A file where the configuration folder should be: nothing can be created.
    dir.Write("config", "");
    kivo::test::EnvGuard config("XDG_CONFIG_HOME", (dir / "config").string());
    std::string path = SettingsPathFor("/usr/bin/tarvio");

    // Stop here if the redirect failed: the write below must never reach /usr/bin.
    ASSERT_EQ(path, (dir / "config/tarvio/tarvio.ini").string());
    try {
        WriteBoardState(path, TRowTexts{"1", "2", "3", "4", "5", "6", "7", "8"}, 0, 0);
        FAIL() << "no exception";
    } catch (const EIniFileException& error) {
        EXPECT_EQ(error.Message(), "Unable to write to " + path);
    }
}

// The technician's /etc/tarvio/tarvio.ini stands in for a user's missing
// file; one that cannot be read must not pass for a missing one either, or
// the user's first save makes a file without the port, captions and colours,
// which later starts never read again.
TEST(SettingsReadFailure, AnUnreadableSystemFileIsReportedWhileTheUserHasNone)
{
    namespace fs = std::filesystem;
    kivo::test::TempDir dir("tarvio-installed");
    kivo::test::EnvGuard config("XDG_CONFIG_HOME", (dir / "config").string());
    kivo::test::EnvGuard system("KIVO_SYSCONF_DIR", (dir / "etc").string());
    const std::string path = SettingsPathFor("/usr/bin/tarvio");
    ASSERT_EQ(path, (dir / "config/tarvio/tarvio.ini").string());
    fs::create_directories(dir / "etc");
    fs::create_directories(dir / "config/tarvio");
    dir.Write("etc/tarvio.ini", "[Porta]\nPort=1\n");
    fs::permissions(dir / "etc/tarvio.ini", fs::perms::none);
    for (const fs::path& folder : {dir.Path(), dir / "etc", dir / "config", dir / "config/tarvio"})
        fs::permissions(folder, fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);

    // File access as an ordinary user, on this thread alone: root reads any
    // file whatever its mode.
    struct TFileAccessAsNobody {
        TFileAccessAsNobody() { ::setfsuid(65534); }
        ~TFileAccessAsNobody() { ::setfsuid(::geteuid()); }
    };
    std::optional<std::string> failure;
    {
        TFileAccessAsNobody asNobody;
        failure = SettingsReadFailure(path);
    }
    EXPECT_EQ(failure, "Unable to read " + (dir / "etc/tarvio.ini").string() + " (Permission denied)");

    // A user file of their own is what is read then.
    dir.Write("config/tarvio/tarvio.ini", "[Porta]\nPort=2\n");
    fs::permissions(dir / "config/tarvio/tarvio.ini", fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::add);
    {
        TFileAccessAsNobody asNobody;
        failure = SettingsReadFailure(path);
    }
    EXPECT_EQ(failure, std::nullopt);
}

// Each value is read from the whole file: one of gigabytes ended the
// program for want of memory. One too large is told as unreadable and left
// as it is.
TEST(SettingsReadFailure, AFileTooLargeIsReportedAndLeftAsItIs)
{
    kivo::test::TempDir dir("tarvio-settings");
    dir.Write("t.ini", "[Porta]\nPort=1\n[Tarvio]\nP1=1234\n");
    const std::string path = (dir / "t.ini").string();
    const auto size = static_cast<std::uintmax_t>(kivo::win::ProfileFileLimit) + 1;
    std::filesystem::resize_file(path, size);
    EXPECT_EQ(SettingsReadFailure(path), "Unable to read " + path + " (File too large)");
    EXPECT_THROW(WriteBoardState(path, TRowTexts{"1", "2", "3", "4", "5", "6", "7", "8"}, 0, 0),
                 EIniFileException);
    EXPECT_EQ(std::filesystem::file_size(path), size);
    EXPECT_TRUE(dir.Read("t.ini").starts_with("[Porta]\nPort=1\n[Tarvio]\nP1=1234\n"));
}

// The reason comes in the C library's words: under a single-byte desktop
// locale they were Latin-1 bytes that the operator's box showed as
// "Permiss?o recusada"; the rest of the text is English anyway.
TEST(SettingsReadFailure, TheReasonIsTheSameUnderADesktopLocale)
{
    kivo::test::TempDir dir("tarvio-settings");
    dir.Write("t.ini", "[Porta]\nPort=1\n");
    const std::string path = (dir / "t.ini").string();
    std::filesystem::resize_file(path,
                                 static_cast<std::uintmax_t>(kivo::win::ProfileFileLimit) + 1);

    kivo::test::LocaleGuard locale("pt_PT", "ISO-8859-1");
    if (!locale.Unavailable().empty()) GTEST_SKIP() << locale.Unavailable();
    if (std::string_view(std::strerror(EFBIG)) == "File too large")
        GTEST_SKIP() << "the C library has no Portuguese messages here";
    EXPECT_EQ(SettingsReadFailure(path), "Unable to read " + path + " (File too large)");
}

TEST(ReadBoardSettings, MissingFileGivesTheDefaults)
{
    kivo::test::TempDir dir("tarvio-settings");
    BoardSettings settings = ReadBoardSettings((dir / "none.ini").string());
    EXPECT_EQ(settings.PortNumber, 0);
    EXPECT_EQ(settings.HourIndex, 0);
    EXPECT_EQ(settings.MinuteIndex, 0);
    for (int row = 0; row < RowCount; ++row) {
        EXPECT_EQ(settings.Prices[row], "9999");
        EXPECT_EQ(settings.Captions[row], "Vazio");
        EXPECT_EQ(settings.Colours[row], "Vazio");
    }
}

// The box names the file; the program's output says why.
TEST(WriteBoardState, FailedWriteNamesTheFileAndSaysWhy)
{
    kivo::test::TempDir dir("tarvio-settings");
    std::string path = (dir / "missing-folder" / "t.ini").string();
    TRowTexts prices{"1", "2", "3", "4", "5", "6", "7", "8"};
    testing::internal::CaptureStderr();
    try {
        WriteBoardState(path, prices, 0, 0);
        ADD_FAILURE() << "no exception";
    } catch (const EIniFileException& error) {
        EXPECT_EQ(error.Message(), "Unable to write to " + path);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tarvio: cannot write " + path + ": The system cannot find the path specified\n");
}

// A folder that takes no new file leaves only the rewrite in place; a write
// cut short there (the file size limit, a full disk) must not leave half of
// the new text over the old.
TEST(WriteBoardState, WriteCutShortInPlaceLeavesTheOldFileAndIsReported)
{
    kivo::test::TempDir dir("tarvio-settings");
    const std::string before = "; shop 12\n[Porta]\nPort=1\n[Tarvio]\nP1=1\nP2=2\nP3=3\nP4=4\n"
                               "P5=5\nP6=6\nP7=7\nP8=8\n[Hora_Muda]\nHora=0\nMinuto=0\n"
                               "[Texto]\nDes1=Gasoleo\nDes2=Gasolina 95\n[Cores]\nCor1=Azul\n";
    dir.Write("t.ini", before);
    const std::string path = (dir / "t.ini").string();
    const auto mode = std::filesystem::status(dir.Path()).permissions();
    std::filesystem::permissions(dir.Path(), std::filesystem::perms::owner_read
                                                 | std::filesystem::perms::owner_exec);

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The new P1 is longer: its text runs past the limit.
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = before.size() - 20;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
        testing::internal::CaptureStderr();
        try {
            WriteBoardState(path, TRowTexts{"1234", "2", "3", "4", "5", "6", "7", "8"}, 5, 6);
        } catch (const EIniFileException&) {
            const std::string said = testing::internal::GetCapturedStderr();
            ::_exit(said.find("The file size exceeds the limit allowed") != std::string::npos ? 1
                                                                                            : 4);
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    std::filesystem::permissions(dir.Path(), mode);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the failure was not reported (0), or not why (4)";
    EXPECT_EQ(dir.Read("t.ini"), before);
}

} // namespace
} // namespace tarvio
