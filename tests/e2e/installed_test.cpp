// The package as an operator meets it: the built .deb extracted into a
// folder owned by root, its tarvio started as an ordinary user with an empty
// home, the sign behind a USB adapter that appears under a fake
// /dev/serial/by-id. The user makes no link and writes no settings by hand.

#include "tests/e2e/e2e_rig.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <sstream>

namespace tarvio::e2e {
namespace {

using kivo::test::WaitUntil;
namespace fs = std::filesystem;

const std::vector<std::string> AsOperator{"setpriv", "--reuid=nobody", "--regid=nogroup",
                                          "--clear-groups", "--"};
const std::string Adapter = "usb-Tarvio_Test_Sign_A1B2C3-if00-port0";

// What the technician put in /etc/tarvio: the port and a comment the
// operator's own copy must keep.
const std::string SystemIni = "; shop defaults\r\n[Porta]\r\nPort=1\r\n[Texto]\r\nDes1=Gasolina\r\n";

class InstalledProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to play an ordinary user";
        for (const char* tool : {"Xvfb", "xdotool", "setpriv", "dpkg-deb"})
            if (!ToolAvailable(tool)) GTEST_SKIP() << tool << " is missing; scripts/deps installs it";
        fs::permissions(Work.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
        ASSERT_NO_FATAL_FAILURE(Extract());
        for (const fs::path& dir : {Home, SignDir}) {
            fs::create_directories(dir);
            ASSERT_TRUE(RunCommand({"chown", "nobody:nogroup", dir.string()}, {}, 10s));
        }
        fs::create_directories(Dev / "serial/by-id");
        fs::create_directories(SystemConfig);
        Work.Write("etc-tarvio/tarvio.ini", SystemIni);
        Display.emplace();
        ASSERT_FALSE(Display->Name().empty()) << "Xvfb did not start";
        ASSERT_TRUE(Display->WaitUsable());
    }

    // Packs the build tree as CI would ship it and unpacks it as dpkg would.
    void Extract()
    {
        fs::path packages = Work / "pkg";
        std::optional<std::string> packed = RunCommand(
            {KIVO_CPACK_COMMAND, "-G", "DEB", "--config", std::string(KIVO_BUILD_DIR) + "/CPackConfig.cmake",
             "-B", packages.string()},
            {}, 240s);
        ASSERT_TRUE(packed) << "cpack failed";
        fs::path deb;
        for (const auto& entry : fs::directory_iterator(packages))
            if (entry.path().extension() == ".deb") deb = entry.path();
        ASSERT_FALSE(deb.empty()) << *packed;
        ASSERT_TRUE(RunCommand({"dpkg-deb", "-x", deb.string(), Root.string()}, {}, 60s));
        ASSERT_TRUE(fs::exists(Root / "usr/bin/tarvio"));
    }

    std::vector<std::string> Env() const
    {
        return {"DISPLAY=" + Display->Name(), "QT_QPA_PLATFORM=xcb", "HOME=" + Home.string(),
                "XDG_CONFIG_HOME=", "KIVO_DEVICE_DIR=", "KIVO_DEV_ROOT=" + Dev.string(),
                "KIVO_SYSCONF_DIR=" + SystemConfig.string()};
    }

    // The adapter is plugged in: its stable name leads to the sign's line.
    void PlugSign()
    {
        Sign.emplace(SignDir, 1, std::vector<std::string>{"--status", "OK1"}, AsOperator,
                     (Root / "usr/bin/tarvio-sign-sim").string());
        ASSERT_TRUE(Sign->WaitReady()) << ReadText(SignDir / "sign1.out");
        fs::create_symlink(SignDir / "com1", Dev / "serial/by-id" / Adapter);
    }

    std::vector<std::string> VisibleWindows(const std::string& name)
    {
        std::optional<std::string> ids =
            RunCommand({"xdotool", "search", "--onlyvisible", "--name", name}, Env(), 5s);
        std::vector<std::string> found;
        std::istringstream list(ids.value_or(""));
        for (std::string id; list >> id;) found.push_back(id);
        return found;
    }

    std::string UserIni() const { return ReadText(Home / ".config/tarvio/tarvio.ini"); }

    kivo::test::TempDir Work{"tarvio-installed"};
    fs::path Root = Work / "root";
    fs::path Home = Work / "home";
    fs::path SignDir = Work / "sign";
    fs::path Dev = Work / "dev";
    fs::path SystemConfig = Work / "etc-tarvio";
    std::optional<TDisplay> Display;
    std::optional<TSign> Sign;
    std::optional<TChild> Tarvio;
};

TEST_F(InstalledProgram, FirstStartFindsTheAdapterSendsThePricesAndSavesPerUser)
{
    ASSERT_NO_FATAL_FAILURE(PlugSign());
    std::vector<std::string> argv = AsOperator;
    argv.push_back((Root / "usr/bin/tarvio").string());
    Tarvio.emplace(argv, Env(), (Work / "tarvio.out").string());

    std::string window;
    ASSERT_TRUE(WaitUntil(20s, [&] {
        if (!Tarvio->Running()) return true;
        std::vector<std::string> found = VisibleWindows("^Tarvio$");
        if (found.size() == 1) window = found[0];
        return !window.empty();
    }) && !window.empty())
        << "no window; the program said: " << ReadText(Work / "tarvio.out");

    ASSERT_TRUE(RunCommand({"xdotool", "mousemove", "--window", window, "452", "64", "click", "1"}, Env(), 10s));
    ASSERT_TRUE(Sign->WaitFor("in", 1)) << "no frame reached the sign; the program said: "
                                        << ReadText(Work / "tarvio.out");
    EXPECT_EQ(Sign->Events("in")[0].Text, PriceFrame(std::vector<std::string>(8, "9999")));

    // The answer is saved in the user's own copy, made from the technician's.
    ASSERT_TRUE(WaitUntil(10s, [&] { return UserIni().find("P1=9999\r\n") != std::string::npos; }))
        << UserIni() << "\nthe program said: " << ReadText(Work / "tarvio.out");
    EXPECT_EQ(UserIni().rfind(SystemIni.substr(0, SystemIni.find("[Texto]")), 0), 0u) << UserIni();
    EXPECT_NE(UserIni().find("Des1=Gasolina\r\n"), std::string::npos) << UserIni();
    EXPECT_EQ(ReadText(SystemConfig / "tarvio.ini"), SystemIni);
    EXPECT_EQ(fs::read_symlink(Home / ".config/tarvio/devices/com1"), Dev / "serial/by-id" / Adapter);

    // Nothing went wrong that the operator would have to dismiss.
    EXPECT_FALSE(WaitUntil(1s, [&] { return VisibleWindows("^Tarvio$").size() > 1; }))
        << "a message box is up; the program said: " << ReadText(Work / "tarvio.out");
    EXPECT_TRUE(Tarvio->Running());
    EXPECT_EQ(ReadText(Work / "tarvio.out").find("Unable to write"), std::string::npos);
}

} // namespace
} // namespace tarvio::e2e
