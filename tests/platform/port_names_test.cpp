// COM numbers over a fake dev root: adapters are links under serial/by-id to
// pseudo-terminals, the PC's ports are ttyS links to others, and the device
// directory (KIVO_DEVICE_DIR) is where numbers are recorded.

#include "platform/comm.h"
#include "platform/port_names.h"
#include "platform/sync.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using namespace kivo::win;
using namespace std::chrono_literals;
using kivo::test::PtyPair;
using kivo::test::TempDir;

namespace {

namespace fs = std::filesystem;

class PortNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("KIVO_DEVICE_DIR", Devices.c_str(), 1);
        ::setenv("KIVO_DEV_ROOT", Dev.c_str(), 1);
        fs::create_directories(Devices);
        PcPort.LinkAs(Dev, "ttyS0");
        Hidden.LinkAs(Dev, "ttyS1");
        Explicit.LinkAs(Devices, "com2");  // over the PC's COM2
    }
    void TearDown() override
    {
        ::unsetenv("KIVO_DEVICE_DIR");
        ::unsetenv("KIVO_DEV_ROOT");
        ::unsetenv("KIVO_SYS_ROOT");
    }

    void Plug(const std::string& name, const PtyPair& adapter) const { adapter.LinkAs(ById, name); }
    void PlugInto(const std::string& socket, const PtyPair& adapter) const
    {
        adapter.LinkAs(ByPath, socket);
    }
    void Unplug(const std::string& name) const { fs::remove(ById / name); }

    // What COMn opens, told by the byte that comes out at the far end.
    static ::testing::AssertionResult Reaches(unsigned number, const PtyPair& far)
    {
        std::string name = R"(\\.\COM)" + std::to_string(number);
        HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (port == INVALID_HANDLE_VALUE)
            return ::testing::AssertionFailure() << name << " does not open: " << GetLastError();
        DWORD written = 0;
        BOOL wrote = WriteFile(port, "n", 1, &written, nullptr);
        CloseHandle(port);
        if (!wrote || far.ReadExactly(1, 2s) != "n")
            return ::testing::AssertionFailure() << name << " leads elsewhere";
        return ::testing::AssertionSuccess();
    }

    TempDir Root{"kivo-names"};
    fs::path Devices = Root / "devices";
    fs::path Dev = Root / "dev";
    fs::path ById = Dev / "serial" / "by-id";
    fs::path ByPath = Dev / "serial" / "by-path";
    PtyPair PcPort, Hidden, Explicit;
};

TEST_F(PortNames, AdaptersTakeTheLowestFreeNumbersAndKeepThemWhenReplugged)
{
    auto alpha = std::make_unique<PtyPair>();
    auto beta = std::make_unique<PtyPair>();
    Plug("usb-Alpha-if00", *alpha);
    Plug("usb-Beta-if00", *beta);

    EXPECT_TRUE(Reaches(1, PcPort));
    EXPECT_TRUE(Reaches(2, Explicit)) << "an explicit link wins over the PC's port";
    EXPECT_TRUE(Reaches(3, *alpha));
    EXPECT_TRUE(Reaches(4, *beta));
    EXPECT_EQ(fs::read_symlink(Devices / "com3"), ById / "usb-Alpha-if00");

    std::vector<TComMapping> map = ComPortMap();
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(map[0].Source, TComSource::csPcPort);
    EXPECT_EQ(map[1].Source, TComSource::csLink);
    EXPECT_EQ(map[2].Source, TComSource::csAutomatic);
    EXPECT_EQ(map[3].Source, TComSource::csAutomatic);

    // Unplugged, looked at (the port dialog, tarvio-ports), then back in the
    // other order on new nodes.
    Unplug("usb-Alpha-if00");
    Unplug("usb-Beta-if00");
    map = ComPortMap();
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(map[2].Device, ById / "usb-Alpha-if00");
    EXPECT_EQ(map[3].Source, TComSource::csAutomatic);
    alpha = std::make_unique<PtyPair>();
    beta = std::make_unique<PtyPair>();
    Plug("usb-Beta-if00", *beta);
    EXPECT_TRUE(Reaches(4, *beta));
    Plug("usb-Alpha-if00", *alpha);
    EXPECT_TRUE(Reaches(3, *alpha));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Devices / "com5")));
}

TEST_F(PortNames, AnUnpluggedAdaptersNumberIsNotGivenAway)
{
    PtyPair alpha, gamma, delta;
    Plug("usb-Alpha-if00", alpha);
    EXPECT_TRUE(Reaches(3, alpha));
    Unplug("usb-Alpha-if00");

    Plug("usb-Gamma-if00", gamma);
    EXPECT_TRUE(Reaches(4, gamma));
    HANDLE port = CreateFileA(R"(\\.\COM3)", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // A link the technician made to an adapter is its number: none is added.
    fs::create_symlink(ById / "usb-Delta-if00", Devices / "com9");
    Plug("usb-Delta-if00", delta);
    EXPECT_TRUE(Reaches(9, delta));
    std::vector<TComMapping> map = ComPortMap();
    ASSERT_EQ(map.size(), 5u) << "COM1 to 4 and COM9";
    EXPECT_EQ(map.back().Number, 9u);
}

TEST_F(PortNames, IdenticalAdaptersWithoutASerialNumberEachGetANumberByTheirSocket)
{
    // udev gives their shared by-id name to one of them; by-path has both
    // (and may hold a device under more than one name).
    PtyPair first, second;
    Plug("usb-1a86_USB2.0-Serial-if00-port0", first);
    PlugInto("pci-0000:00:14.0-usb-0:1:1.0-port0", first);
    PlugInto("pci-0000:00:14.0-usb-0:2:1.0-port0", second);
    PlugInto("pci-0000:00:14.0-usbv2-0:2:1.0-port0", second);

    EXPECT_TRUE(Reaches(3, first));
    ASSERT_TRUE(Reaches(4, second));
    EXPECT_EQ(fs::read_symlink(Devices / "com4"), ByPath / "pci-0000:00:14.0-usb-0:2:1.0-port0");
    std::vector<TComMapping> map = ComPortMap();
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(map[3].Source, TComSource::csAutomatic);
}

TEST_F(PortNames, APcPortTheKernelReportsNoUartForIsNotThere)
{
    // The kernel makes ttyS nodes whether or not a UART is fitted. A
    // pseudo-terminal stands behind the unfitted ttyS2 here: only leaving the
    // node unopened keeps COM3 absent.
    PtyPair unfitted, alpha;
    unfitted.LinkAs(Dev, "ttyS2");
    fs::path types = Root / "sys" / "class" / "tty";
    for (auto [node, type] :
         {std::pair{"ttyS0", "4"}, std::pair{"ttyS1", "0"}, std::pair{"ttyS2", "0"}}) {
        fs::create_directories(types / node);
        std::ofstream(types / node / "type") << type << '\n';
    }
    ::setenv("KIVO_SYS_ROOT", (Root / "sys").c_str(), 1);

    EXPECT_TRUE(Reaches(1, PcPort));
    EXPECT_TRUE(Reaches(2, Explicit)) << "a link wins over a port with no UART too";
    HANDLE port = CreateFileA(R"(\\.\COM3)", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    EXPECT_EQ(ComPortMap().size(), 2u) << "COM1 and COM2";

    // Its number is free for an adapter, whose link then wins.
    Plug("usb-Alpha-if00", alpha);
    EXPECT_TRUE(Reaches(3, alpha));
}

} // namespace
