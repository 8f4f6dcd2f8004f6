// The line under the window failing: the sign's end vanishing in the middle
// of a packet, another program holding the port, a device link that leads
// nowhere or to something that is not a line, and output the sign does not
// take.

#include "serial/dispatch/base_dispatcher.h"
#include "serial/errors/error_codes.h"
#include "framework/exceptions.h"
#include "serial/errors/exceptions.h"
#include "serial/packet/packet_manager.h"
#include "tests/app/window_fixture.h"
#include "tests/device/port_holder.h"
#include "tests/soak/soak_rig.h"

#include <sys/stat.h>

#include <chrono>
#include <memory>

namespace tarvio::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// True while one of this process's descriptors is open on path.
bool HoldsDevice(const std::string& path)
{
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code failed;
        const std::string target = fs::read_symlink(entry.path(), failed).string();
        if (!failed && (target == path || target == path + " (deleted)")) return true;
    }
    return false;
}

class LineFaults : public WindowTest {
protected:
    // The port goes before its line.
    void TearDown() override { Form.reset(); }

    TForm1& ShowOn7()
    {
        TBoardIni ini;
        ini.Port = "7";
        WriteIni(ini);
        return ShowForm();
    }

    fs::path Link() const { return DeviceDir().Path() / "com7"; }

    // The window's packet handler has run once more than before.
    bool Answered(TForm1& form)
    {
        const QString waiting = "<waiting>";
        form.SB1->SetPanelText(0, waiting);
        return ServeUntil(Services, 5s, [&] { return form.SB1->PanelText(0) != waiting; });
    }

    std::unique_ptr<TSignEnd> Sign = std::make_unique<TSignEnd>(7);
};

TEST_F(LineFaults, SignVanishingMidPacketIsALineErrorAndTheNextOpeningWorks)
{
    TForm1& form = ShowOn7();
    ASSERT_TRUE(form.Port1->Open());
    kivo::TKivBaseDispatcher* line = form.Port1->ActiveDispatcher();
    ASSERT_NE(line, nullptr);
    Sign->Line.Write(StatusPacket().substr(0, 20));
    ASSERT_TRUE(ServeUntil(Services, 5s, [&] {
        return form.KivDataPacket1->Manager()->State().CollectedCount == 20;
    }));

    const std::string path = Sign->Line.SubsidiaryPath();
    ASSERT_TRUE(HoldsDevice(path));
    Sign->Line.CloseController();
    // Every thread of the line ends and the device is let go; the failure is
    // kept as the line's error, and the port no longer reads Open until the
    // next transmission closes it and opens it again.
    ASSERT_TRUE(ServeUntil(Services, 5s, [&] { return !line->Started(); }));
    EXPECT_FALSE(HoldsDevice(path)) << "the dead line is still held";
    EXPECT_FALSE(form.Port1->Open());
    EXPECT_EQ(form.Port1->LastLineError(), 10);
    EXPECT_EQ(form.SB1->PanelText(0), "") << "the half packet reached the handler";
    EXPECT_TRUE(ErrorsShown().empty()) << "a line error is no message";
    EXPECT_FALSE(App.Terminated());

    // The sign is back on a new line under the same name: the next
    // transmission closes the dead port, opens the new one and is answered.
    Sign.reset();
    Sign = std::make_unique<TSignEnd>(7);
    form.Button1Click();
    EXPECT_TRUE(form.Port1->Open());
    EXPECT_EQ(Sign->Line.ReadExactly(ExampleFrame.size(), 3s), ExampleFrame);
    EXPECT_EQ(form.KivDataPacket1->Manager()->State().CollectedCount, 0);
    Sign->Line.Write(StatusPacket(' ', "@ALIVE-", "BAK"));
    ASSERT_TRUE(Answered(form));
    EXPECT_EQ(form.SB1->PanelText(0), "Dados OK");
    EXPECT_EQ(form.SB1->PanelText(1), "BAK");
    EXPECT_TRUE(ErrorsShown().empty());
}

TEST_F(LineFaults, PortTakenByAnotherProgramIsRefusedAndOnlyTheTypedPricesAreSaved)
{
    TForm1& form = ShowOn7();
    ASSERT_TRUE(form.Port1->Open());
    form.P1->SetText("4321");
    const std::string before = IniText();
    form.Port1->SetOpen(false);

    kivo::test::PortHolder holder(Sign->Line.SubsidiaryPath());
    ASSERT_TRUE(holder.Holding);
    // What AbrirPorta meets.
    try {
        form.Port1->SetOpen(true);
        FAIL() << "a port another program holds was opened";
    } catch (const kivo::EAlreadyOpen& error) {
        EXPECT_EQ(error.ErrorCode, kivo::ecAlreadyOpen);
    }
    EXPECT_FALSE(form.Port1->Open());

    form.Button1Click();
    EXPECT_EQ(Services.BoxTexts(), std::vector<std::string>{OpeningFailureText});
    EXPECT_TRUE(App.Terminated());
    EXPECT_EQ(Sign->Line.ReadAvailable(100ms), "") << "a frame went out anyway";
    std::string expected = before;
    expected.replace(expected.find("P1=1234"), 7, "P1=4321");
    EXPECT_EQ(IniText(), expected);
}

struct TBadLink {
    const char* Situation;
    bool Directory;  // else a regular file; a target that is missing when neither
    bool File;
};

class BadDeviceLink : public LineFaults, public ::testing::WithParamInterface<TBadLink> {};

TEST_P(BadDeviceLink, IsNoSuchPortAndWhatItLeadsToIsLeftAlone)
{
    TForm1& form = ShowOn7();
    ASSERT_TRUE(form.Port1->Open());
    const fs::path target = Dir.Path() / "target";
    const std::string content = "[not a line]\nkeep=this\n";
    if (GetParam().Directory) fs::create_directory(target);
    if (GetParam().File) Dir.Write("target", content);
    fs::remove(Link());
    fs::create_symlink(target, Link());

    form.Port1->SetOpen(false);
    try {
        form.Port1->SetOpen(true);
        FAIL() << "opened " << GetParam().Situation;
    } catch (const kivo::Exception& error) {
        // The system refuses a folder with an error of its own (an
        // input/output error), not as a missing port; either way nothing opens.
        if (GetParam().Directory) {
            EXPECT_NE(dynamic_cast<const kivo::EInOutError*>(&error), nullptr) << error.what();
        } else {
            EXPECT_NE(dynamic_cast<const kivo::EBadId*>(&error), nullptr) << error.what();
        }
    }

    form.Button1Click();
    EXPECT_EQ(Services.BoxTexts(), std::vector<std::string>{OpeningFailureText});
    EXPECT_TRUE(App.Terminated());
    EXPECT_FALSE(form.Port1->Open());
    if (GetParam().File) {
        EXPECT_EQ(Dir.Read("target"), content) << "the program wrote into a file";
    }
    if (GetParam().Directory) {
        EXPECT_TRUE(fs::is_empty(target));
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, BadDeviceLink,
                         ::testing::Values(TBadLink{"nothing", false, false},
                                           TBadLink{"a folder", true, false},
                                           TBadLink{"a file", false, true}),
                         [](const auto& info) {
                             std::string name = info.param.Situation;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

TEST_F(LineFaults, FifoBehindTheLinkIsNoSuchPortAndDoesNotHang)
{
    TForm1& form = ShowOn7();
    const fs::path fifo = Dir.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::remove(Link());
    fs::create_symlink(fifo, Link());
    form.Port1->SetOpen(false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(form.Port1->SetOpen(true), kivo::EBadId);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(LineFaults, FullOutputRefusesTheWholeFrameAndQueuesNothingOfIt)
{
    TForm1& form = ShowOn7();
    ASSERT_TRUE(form.Port1->Open());
    // The sign reads nothing: the line's buffers fill, then the output ring.
    const std::string frame = ExampleFrame;
    int accepted = 0;
    bool refused = false;
    for (int i = 0; i < 5000 && !refused; ++i) {
        try {
            form.Port1->PutText(frame);
            ++accepted;
        } catch (const kivo::EOutputBufferTooSmall& error) {
            EXPECT_EQ(error.ErrorCode, kivo::ecOutputBufferTooSmall);
            refused = true;
        }
        // Let the write thread hand over what it can before the next frame.
        if (i % 64 == 0) ServeUntil(Services, 2ms, [] { return false; });
    }
    ASSERT_TRUE(refused) << accepted << " frames went into a line nobody reads";
    EXPECT_GE(accepted * frame.size(), form.Port1->OutSize() - frame.size());

    // Once the sign reads, exactly the accepted frames arrive, whole.
    const std::string got = Sign->Line.ReadExactly(accepted * frame.size(), 10s);
    ASSERT_EQ(got.size(), accepted * frame.size());
    for (int i = 0; i < accepted; ++i)
        ASSERT_EQ(got.compare(i * frame.size(), frame.size(), frame), 0) << "frame " << i;
    EXPECT_EQ(Sign->Line.ReadAvailable(100ms), "") << "part of the refused frame went out";

    // And the line goes on.
    form.Port1->PutText(frame);
    EXPECT_EQ(Sign->Line.ReadExactly(frame.size(), 3s), frame);
}

} // namespace
} // namespace tarvio::test
