// tarvio-ports as a child process over a fake dev root and a device
// directory of pseudo-terminal links; the listing is also run as nobody, to
// whom one pty is not permitted and two others are held by this process.

#include "tests/device/port_holder.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kivo::test::PortHolder;
using kivo::test::PtyPair;
using kivo::test::TempDir;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

struct TRun {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

class PortsCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(Devices);
        fs::create_directories(Dev);
        // Readable by nobody, as a user's own folders are by that user.
        for (const fs::path& folder : {Root.Path(), Devices, Dev})
            fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    }

    // Runs tarvio-ports with args in the fake environment; prefix goes
    // before it (another user).
    TRun Ports(const std::vector<std::string>& args, std::vector<std::string> prefix = {})
    {
        std::vector<std::string> argv = std::move(prefix);
        argv.insert(argv.end(), {"/usr/bin/env", "-i", "HOME=" + Root.Path().string(),
                                 "KIVO_SYSCONF_DIR=" + SystemConfig.string()});
        if (WithDevRoot) argv.push_back("KIVO_DEV_ROOT=" + Dev.string());
        if (!Installed) argv.push_back("KIVO_DEVICE_DIR=" + Devices.string());
        argv.push_back(Installed ? (Installed->Path() / "tarvio-ports").string()
                                 : std::string(TARVIO_PORTS_PATH));
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (std::string& word : argv) raw.push_back(word.data());
        raw.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (Root / "out").c_str(), OutFlags,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (Root / "err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t child = -1;
        TRun run;
        int status = 0;
        if (::posix_spawn(&child, raw[0], &actions, nullptr, raw.data(), environ) == 0 &&
            ::waitpid(child, &status, 0) == child && WIFEXITED(status))
            run.ExitCode = WEXITSTATUS(status);
        posix_spawn_file_actions_destroy(&actions);
        run.Out = Root.Read("out");
        run.Err = Root.Read("err");
        return run;
    }

    // Runs it, after this, as the installed program, from a folder mounted
    // read-only in a mount namespace of its own: root may write every other.
    bool PlayInstalled()
    {
        if (::geteuid() != 0 || !fs::exists("/usr/bin/unshare")) return false;
        Installed.emplace("kivo-ports-installed");
        fs::copy_file(TARVIO_PORTS_PATH, Installed->Path() / "tarvio-ports");
        fs::permissions(Installed->Path() / "tarvio-ports", fs::perms::owner_all);
        ReadOnly = {"/usr/bin/unshare",
                    "-m",
                    "/bin/sh",
                    "-c",
                    "mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"",
                    Installed->Path().string()};
        return Ports({"--help"}, ReadOnly).ExitCode == 0;
    }

    // How its standard output is opened; read-only makes every write fail.
    int OutFlags = O_WRONLY | O_CREAT | O_TRUNC;
    std::optional<TempDir> Installed;
    // Without it KIVO_DEVICE_DIR is a closed set, as a user trying the
    // simulator sets it.
    bool WithDevRoot = true;
    std::vector<std::string> ReadOnly;
    TempDir Root{"kivo-ports-command"};
    fs::path Devices = Root / "devices";
    fs::path Dev = Root / "dev";
    fs::path SystemConfig = Root / "etc-tarvio";
};

TEST_F(PortsCommand, BadArgumentExitsTwoWithOneLine)
{
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"bogus"},
                                               {"assign", "x", "/dev/null"},
                                               {"assign", "3"},
                                               {"forget", "0"},
                                               {"forget", "65536"},
                                               {"list", "--system"},
                                               {"--frobnicate"}}) {
        TRun run = Ports(args);
        EXPECT_EQ(run.ExitCode, 2) << args[0];
        EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
        EXPECT_THAT(run.Err, HasSubstr("tarvio-ports: "));
    }
}

TEST_F(PortsCommand, OutputThatCannotBeWrittenFailsLoudly)
{
    OutFlags = O_RDONLY | O_CREAT | O_TRUNC;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"list"}, {"--help"}}) {
        TRun run = Ports(args);
        EXPECT_EQ(run.ExitCode, 1) << ::testing::PrintToString(args);
        EXPECT_THAT(run.Err, HasSubstr("tarvio-ports: cannot write the output"))
            << ::testing::PrintToString(args);
    }
}

TEST_F(PortsCommand, ListingTellsPresentInUseAndNotPermittedToAnotherUser)
{
    if (::geteuid() != 0) GTEST_SKIP() << "playing another user needs root";
    PtyPair free, locked, exclusive, guarded;
    free.LinkAs(Devices, "com1");
    locked.LinkAs(Devices, "com2");
    exclusive.LinkAs(Devices, "com3");
    guarded.LinkAs(Devices, "com4");
    for (const PtyPair* pty : {&free, &locked, &exclusive})
        ASSERT_EQ(::chmod(pty->SubsidiaryPath().c_str(), 0666), 0);
    ASSERT_EQ(::chmod(guarded.SubsidiaryPath().c_str(), 0600), 0);
    // A link to a file nobody may write: no port, and dialout would not help.
    const fs::path file = Root / "not-a-port";
    { std::ofstream{file}; }
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    fs::create_symlink(file, Devices / "com5");
    PortHolder holder(locked.SubsidiaryPath());  // as programs that lock do
    ASSERT_TRUE(holder.Holding);
    // As programs that only ask the terminal for exclusive use do.
    int held = ::open(exclusive.SubsidiaryPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::ioctl(held, TIOCEXCL), 0);

    TRun run = Ports({}, {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                         "--clear-groups"});
    ::close(held);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_THAT(run.Out, ContainsRegex("COM1 +link +present +" + free.SubsidiaryPath()));
    EXPECT_THAT(run.Out, ContainsRegex("COM2 +link +in use"));
    EXPECT_THAT(run.Out, ContainsRegex("COM3 +link +in use"));
    EXPECT_THAT(run.Out, ContainsRegex("COM4 +link +not permitted"));
    EXPECT_THAT(run.Out, ContainsRegex("COM5 +link +absent +" + file.string()));
    EXPECT_THAT(run.Out, HasSubstr("sudo adduser $USER dialout"));
}

TEST_F(PortsCommand, AssignAndForgetChangeTheLinkAndListingNumbersAdapters)
{
    PtyPair adapter, highest;
    adapter.LinkAs(Dev / "serial" / "by-id", "usb-Alpha-if00");
    // Linked all the same, for an adapter plugged in later, but a typo shows.
    TRun run = Ports({"assign", "1", "/nonexistent/tty"});
    ASSERT_EQ(run.ExitCode, 0);
    EXPECT_THAT(run.Err, HasSubstr("warning: /nonexistent/tty is not there now; COM1 opens it"));
    // Named through its own link: it can never open, unlike a name not there yet.
    run = Ports({"assign", "3", (Devices / "com3").string()});
    ASSERT_EQ(run.ExitCode, 0);
    EXPECT_THAT(run.Err, HasSubstr("/com3 cannot be reached (Too many levels of symbolic links); "
                                   "COM3 will not open it"));
    ASSERT_EQ(Ports({"forget", "3"}).ExitCode, 0);
    run = Ports({"assign", "3", (Dev / "serial/by-id").string()});
    ASSERT_EQ(run.ExitCode, 0);
    EXPECT_THAT(run.Err, HasSubstr("/serial/by-id is no device; COM3 will not open it"));
    // A node numbered by plugging order, as ttyUSB0 is: its adapter's own name is offered.
    run = Ports({"assign", "3", adapter.SubsidiaryPath()});
    ASSERT_EQ(run.ExitCode, 0);
    EXPECT_THAT(run.Err,
                HasSubstr("warning: the number in " + adapter.SubsidiaryPath() +
                          " follows the order adapters are plugged in, so it may lead "
                          "to another one later; assign this adapter's own name, " +
                          (Dev / "serial/by-id/usb-Alpha-if00").string() + ", to follow it"));
    ASSERT_EQ(Ports({"forget", "3"}).ExitCode, 0);
    run = Ports({"assign", "65535", highest.SubsidiaryPath()});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    // Named as Windows writes it, or with a leading zero, by hand: passed over, and said so.
    fs::create_symlink(highest.SubsidiaryPath(), Devices / "COM4");
    fs::create_symlink(highest.SubsidiaryPath(), Devices / "com05");
    run = Ports({"list"});
    EXPECT_THAT(run.Out, HasSubstr("\n  COM4 is not read: a link is named comN, in lower case and "
                                   "without leading zeros (com1 for COM1)\n"));
    EXPECT_THAT(run.Out, HasSubstr("\n  com05 is not read"));
    EXPECT_THAT(run.Out, Not(HasSubstr("COM5 ")));
    EXPECT_THAT(run.Out, ContainsRegex("COM1 +link +absent +/nonexistent/tty"));
    EXPECT_THAT(run.Out, ContainsRegex("COM2 +automatic +present +.*usb-Alpha-if00"));
    EXPECT_THAT(run.Out, ContainsRegex("COM65535 +link +present +" + highest.SubsidiaryPath()));

    ASSERT_EQ(Ports({"forget", "1"}).ExitCode, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Devices / "com1")));
    run = Ports({"forget", "1"});
    EXPECT_EQ(run.ExitCode, 1) << "nothing left to forget";
    EXPECT_EQ(run.Err, "tarvio-ports: COM1 has no link in " + Devices.string() +
                           ": nothing to forget\n");
}

TEST_F(PortsCommand, AClosedDeviceFolderIsNotSaidToNumberAdapters)
{
    PtyPair sign;
    fs::create_symlink(sign.SubsidiaryPath(), Devices / "com1");
    WithDevRoot = false;
    TRun run = Ports({"list"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_THAT(run.Out, HasSubstr("Links in " + Devices.string() + "\n"));
    EXPECT_THAT(run.Out, ContainsRegex("COM1 +link +present"));
    WithDevRoot = true;
    EXPECT_THAT(Ports({"list"}).Out,
                HasSubstr("Links in " + Devices.string() + " (adapters are numbered here)\n"));
}

TEST_F(PortsCommand, SystemWideLinksStayReadableWhateverTheTechniciansUmask)
{
    PtyPair sign;
    // Not there yet, as after an install by hand: both folders are made here.
    TRun run = Ports({"assign", "1", sign.SubsidiaryPath(), "--system"},
                     {"/bin/sh", "-c", "umask 077 && exec \"$@\"", "sh"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(fs::read_symlink(SystemConfig / "devices/com1"), sign.SubsidiaryPath());
    for (const fs::path& folder : {SystemConfig, SystemConfig / "devices"})
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec)
            << folder;

    // Made by hand under that umask before: opened up, or no user but root
    // would see the link.
    fs::remove_all(SystemConfig);
    fs::create_directories(SystemConfig / "devices");
    fs::permissions(SystemConfig / "devices", fs::perms::owner_all);
    run = Ports({"assign", "2", sign.SubsidiaryPath(), "--system"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_THAT(run.Err,
                HasSubstr(SystemConfig.string() + "/devices is now readable by every user"));
    EXPECT_EQ(fs::status(SystemConfig / "devices").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    // So is a folder above it made so, when only the devices folder is new.
    fs::remove_all(SystemConfig / "devices");
    fs::permissions(SystemConfig, fs::perms::owner_all);
    run = Ports({"assign", "3", sign.SubsidiaryPath(), "--system"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Err, "tarvio-ports: " + SystemConfig.string() +
                           " is now readable by every user, whose Tarvio reads the links there\n");
    EXPECT_EQ(fs::status(SystemConfig).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
}

TEST_F(PortsCommand, ListingTellsOfLinksThisUserCannotRead)
{
    if (::geteuid() != 0) GTEST_SKIP() << "playing another user needs root";
    PtyPair sign;
    sign.LinkAs(Devices, "com1");
    fs::permissions(Devices, fs::perms::owner_all);
    TRun run =
        Ports({}, {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_THAT(run.Out, HasSubstr("Links in " + Devices.string() +
                                   " (adapters are numbered here)\n  cannot read them "
                                   "(Permission denied)"));
}

TEST_F(PortsCommand, UnderSudoTheInstalledProgramSaysTheLinkIsRootsOwn)
{
    if (!PlayInstalled()) GTEST_SKIP() << "needs root and a mount namespace";
    PtyPair sign;
    fs::create_directories(SystemConfig / "devices");
    fs::create_symlink(sign.SubsidiaryPath(), SystemConfig / "devices/com7");
    const fs::path own = Root / ".config/tarvio/devices";
    TRun run = Ports({"assign", "1", sign.SubsidiaryPath()}, ReadOnly);
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(fs::read_symlink(own / "com1"), sign.SubsidiaryPath());
    EXPECT_THAT(run.Err, HasSubstr("note: COM1 is linked in " + own.string() +
                                   ", which only root's own Tarvio reads; for every user, "
                                   "assign it with --system"));
    run = Ports({"forget", "7"}, ReadOnly);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_THAT(run.Err, HasSubstr("nothing to forget (it comes from " + SystemConfig.string() +
                                   "/devices/com7: forget it with --system, as root)"));
    run = Ports({"assign", "2", sign.SubsidiaryPath(), "--system"}, ReadOnly);
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
}

TEST_F(PortsCommand, ListingNamesAnAdapterThatCouldNotBeNumberedAndWhy)
{
    if (::geteuid() != 0) GTEST_SKIP() << "playing another user needs root";
    // The device folder is root's, as after a technician's "sudo mkdir".
    PtyPair adapter;
    adapter.LinkAs(Dev / "serial" / "by-id", "usb-Alpha-if00");
    TRun run =
        Ports({}, {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_THAT(run.Out, Not(HasSubstr("no adapters")));
    EXPECT_THAT(run.Out, ContainsRegex("No number for the adapter .*usb-Alpha-if00: cannot write " +
                                       Devices.string() + ": Permission denied"));
}

} // namespace
