// The program's window in this process on the offscreen platform, the whole
// serial stack under it and the simulated sign as a separate process on the
// far end of a pseudo-terminal: what the window shows and saves for the
// sign's answers, and that a stray "@" does not silence it.

#include "app/main_window.h"
#include "framework/application.h"
#include "framework/qt/message_pump.h"
#include "platform/clock.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "tests/e2e/e2e_rig.h"
#include "tests/framework/recording_services.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

namespace tarvio::e2e {
namespace {

using kivo::test::WaitUntil;
namespace fs = std::filesystem;

class WindowOverSign : public ::testing::Test {
protected:
    ~WindowOverSign() override
    {
        Form.reset();
        Serve(200ms);
        kivo::win::SetTimeOffsetForTesting(0);
    }

    void StartSign(const std::vector<std::string>& options = {})
    {
        Sign.reset();
        Sign = std::make_unique<TSign>(Devices, 3, options);
        ASSERT_TRUE(Sign->WaitReady()) << ReadText(Devices / "sign3.out");
    }
    TForm1& Show()
    {
        Dir.Write("tarvio.ini", BoardIni(BoardPrices));
        Form = std::make_unique<TForm1>(Ini.string());
        Form->show();
        EXPECT_TRUE(Form->Port1->Open()) << "the first show opens COM3";
        return *Form;
    }
    void ClickAcertarAgora() { QTest::mouseClick(Form->Button1, Qt::LeftButton); }

    // Serves Qt's loop (and with it the stack's queue) and posted calls.
    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s)
    {
        return WaitUntil(timeout, pred, [this] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            Services.RunPosted();
        });
    }
    void Serve(std::chrono::milliseconds span)
    {
        WaitFor([] { return false; }, span);
    }
    std::string Panel(int panel) const { return Form->SB1->PanelText(panel).toStdString(); }
    std::vector<std::string> Readbacks() const
    {
        std::vector<std::string> texts;
        for (TLabel* label : Form->ReadbackLabels()) texts.push_back(label->text().toStdString());
        return texts;
    }
    bool TimeShown() const
    {
        static const QRegularExpression format("^\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d$");
        return format.match(Form->Label2->text()).hasMatch();
    }

    kivo::test::TempDir Dir{"tarvio-e2e"};
    fs::path Devices = Dir.Path() / "devices";
    fs::path Ini = Dir.Path() / "tarvio.ini";
    struct TDeviceDirFirst {
        // Before any stack thread exists, so nothing reads the environment meanwhile.
        explicit TDeviceDirFirst(const fs::path& devices)
        {
            fs::create_directories(devices);
            ::setenv("KIVO_DEVICE_DIR", devices.c_str(), 1);
        }
    } DeviceDirFirst{Devices};
    kivo::test::TRecordingServices Services;
    kivo::TApplication App{Services};
    kivo::TApplicationScope Scope{App};
    kivo::qt::TMessagePump Pump;
    std::unique_ptr<TSign> Sign;
    std::unique_ptr<TForm1> Form;
};

struct TAnswerCase {
    const char* Name;
    std::vector<std::string> SignOptions;
};

class ValidAnswer : public WindowOverSign, public ::testing::WithParamInterface<TAnswerCase> {};

TEST_P(ValidAnswer, FillsTheReadbacksStatusAndTimeAndSaves)
{
    StartSign(GetParam().SignOptions);
    Show();
    ClickAcertarAgora();
    ASSERT_TRUE(WaitFor([&] { return Panel(0) == "Dados OK"; })) << "panel 0: " << Panel(0);
    EXPECT_EQ(Readbacks(), BoardPrices);
    EXPECT_EQ(Panel(1), "OK1");
    EXPECT_TRUE(TimeShown()) << Form->Label2->text().toStdString();
    EXPECT_NE(ReadText(Ini).find("Hora=7\n"), std::string::npos) << "the settings were saved";
    EXPECT_TRUE(Services.BoxTexts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sign, ValidAnswer,
    ::testing::Values(TAnswerCase{"InOneWrite", {"--status", "OK1"}},
                      TAnswerCase{"InPiecesAmidNoise",
                                  {"--status", "OK1", "--noise", "--chunk", "9", "--chunk-delay", "20"}}),
    [](const auto& info) { return std::string(info.param.Name); });

class MalformedAnswer : public WindowOverSign, public ::testing::WithParamInterface<TAnswerCase> {};

TEST_P(MalformedAnswer, ShowsTheErrorAndLeavesTheRestAlone)
{
    StartSign(GetParam().SignOptions);
    Show();
    const std::vector<std::string> before = Readbacks();
    const std::string savedBefore = ReadText(Ini);
    ClickAcertarAgora();
    ASSERT_TRUE(WaitFor([&] { return Panel(0) == "Erro de dados"; })) << "panel 0: " << Panel(0);
    EXPECT_TRUE(TimeShown()) << "the time changes for every packet";
    EXPECT_EQ(Readbacks(), before);
    EXPECT_EQ(Panel(1), "");
    EXPECT_EQ(ReadText(Ini), savedBefore);
}

INSTANTIATE_TEST_SUITE_P(Sign, MalformedAnswer,
                         ::testing::Values(TAnswerCase{"LowerCase", {"--fault", "lowercase"}},
                                           TAnswerCase{"OneShort", {"--fault", "short"}}),
                         [](const auto& info) { return std::string(info.param.Name); });

// The window's packet times out after 2184 ticks (about 120 s); the clock is
// moved past that instead of waiting.
TEST_F(WindowOverSign, StrayAtDoesNotStopLaterPacketsFromBeingShown)
{
    StartSign({"--fault", "lone-at"});
    Show();
    kivo::TKivDataPacket& packet = *Form->KivDataPacket1;
    ClickAcertarAgora();
    ASSERT_TRUE(Sign->WaitFor("out", 1));
    ASSERT_TRUE(WaitFor([&] { return packet.State() == kivo::TPacketState::psCollecting; }));

    kivo::win::SetTimeOffsetForTesting(125'000);
    // Timed out, enabled again by the window, waiting for the next "@".
    ASSERT_TRUE(WaitFor([&] {
        return packet.Manager()->State().Collector == nullptr &&
               packet.State() == kivo::TPacketState::psWaiting;
    })) << "enabled: " << packet.Enabled();
    EXPECT_EQ(packet.Manager()->State().CollectedCount, 0);

    StartSign({"--status", "OK2"});
    ClickAcertarAgora();
    ASSERT_TRUE(WaitFor([&] { return Panel(0) == "Dados OK"; })) << "panel 0: " << Panel(0);
    EXPECT_EQ(Panel(1), "OK2");
    EXPECT_EQ(Readbacks(), BoardPrices);
}

} // namespace
} // namespace tarvio::e2e
