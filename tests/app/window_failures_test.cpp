// Every way a transmission, an opening or a save can fail, and what the
// operator is shown.

#include "app/board_link.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"
#include "tests/app/window_fixture.h"

#include <QTest>

#include <gmock/gmock.h>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <utility>

namespace tarvio::test {
namespace {

class WindowFailures : public WindowTest {
protected:
    // On port 0, where every opening asks the operator, who chooses COM3.
    TForm1& ShowArmedAskingForThePort()
    {
        TBoardIni ini;
        ini.Port = "0";
        WriteIni(ini);
        PromptAnswer = 3;
        TForm1& form = ShowForm();
        form.CB3->setChecked(true);
        return form;
    }
    // Runs meanwhile inside the first status packet's delivery, once the
    // window has shown it: the sign's answer is still being delivered.
    static void DuringTheFirstDelivery(TForm1& form, std::function<void()> meanwhile)
    {
        auto done = std::make_shared<bool>(false);
        form.KivDataPacket1->OnStringPacket = kivo::TStringPacketNotifyEvent::FromFunction(
            [&form, done, meanwhile](kivo::TObject* sender, const std::string& data) {
                form.KivDataPacket1StringPacket(sender, data);
                if (std::exchange(*done, true)) return;
                meanwhile();
            });
    }
    static bool WaitForPhase(TForm1& form, kivo::TPortPhase phase)
    {
        return kivo::test::WaitUntil(
            std::chrono::seconds(5), [&] { return form.Port1->PortPhase() == phase; },
            TSignLine::ServeMessages);
    }
};

struct OpeningFailure {
    const char* Situation;
    bool Held;            // another holder has the port
    bool Missing;         // no such port
    bool PortNumberZero;  // and the prompt is cancelled
    const char* Technician;  // what standard error says (a pattern), or nullptr: nothing
    bool NothingToChoose = false;  // the prompt lists no port and OK is pressed
    const char* LinkTo = nullptr;  // com3 made again, to this path of the test's folder
};

class FirstShowOpeningFailure : public WindowTest,
                                public ::testing::WithParamInterface<OpeningFailure> {};

TEST_P(FirstShowOpeningFailure, IsReportedAndEndsTheProgramWithoutSaving)
{
    TBoardIni ini;
    if (GetParam().PortNumberZero) ini.Port = "0";
    ini.Prices[0] = "12";
    WriteIni(ini);
    const std::string before = IniText();
    if (GetParam().Held) {
        ASSERT_TRUE(Line.Hold(3));
    }
    if (GetParam().Missing) Line.Detach(3);
    struct TLinkMadeHere {
        std::filesystem::path Link;
        ~TLinkMadeHere()
        {
            if (!Link.empty()) std::filesystem::remove(Link);
        }
    } madeHere;
    if (GetParam().LinkTo) {
        madeHere.Link = DeviceDir().Path() / "com3";
        std::filesystem::create_symlink(Dir.Path() / GetParam().LinkTo, madeHere.Link);
    }
    if (GetParam().NothingToChoose)
        App.SetPortPrompt([]() -> std::optional<int> {
            throw kivo::EBadId::CreateFromCode(kivo::ecBadId);
        });

    ::testing::internal::CaptureStderr();
    TForm1& form = ShowForm();
    std::string technician = ::testing::internal::GetCapturedStderr();
    if (GetParam().Technician)
        EXPECT_THAT(technician, ::testing::ContainsRegex(GetParam().Technician));
    else
        EXPECT_THAT(technician, ::testing::Not(::testing::HasSubstr("tarvio: ")));
    ASSERT_EQ(Services.Boxes.size(), 1u);
    EXPECT_EQ(Services.Boxes[0].Text,
              "Erro ao abrir porta de comunicações. Verifique se a porta configurada existe.");
    EXPECT_EQ(Services.Boxes[0].Kind, kivo::TMessageKind::mkInformation);
    EXPECT_EQ(Services.QuitCount, 1);
    EXPECT_TRUE(App.Terminated());
    EXPECT_FALSE(form.Port1->Open());
    EXPECT_EQ(IniText(), before) << "nothing is saved at first show";
    EXPECT_EQ(form.P1->Text(), "12  ") << "the sequence still finished";
    EXPECT_FALSE(form.TestMode());
    EXPECT_TRUE(ErrorsShown().size() == 1) << "no second report";
}

INSTANTIATE_TEST_SUITE_P(Situations, FirstShowOpeningFailure,
                         ::testing::Values(
                             OpeningFailure{"in use", true, false, false,
                                            R"(tarvio: COM3 \(.+\) is held by another program)"},
                             OpeningFailure{"missing", false, true, false,
                                            R"(tarvio: COM3 \(.+\) is not there: connect it)"},
                             OpeningFailure{"cancelled", false, false, true, nullptr},
                             OpeningFailure{"nothing to choose", false, false, true,
                                            "tarvio: no port to choose from: no serial port is "
                                            "there; connect the sign's adapter",
                                            true},
                             OpeningFailure{"link to a folder", false, true, false,
                                            R"(tarvio: COM3 \(.+/board\) is not a serial port: )"
                                            R"(give COM3 the sign's port with tarvio-ports )"
                                            R"(assign 3 DEVICE)",
                                            false, "board"},
                             OpeningFailure{"adapter unplugged", false, true, false,
                                            R"(tarvio: COM3 \(.+/by-id/usb-Gone-if00\) is )"
                                            R"(not there: connect it)",
                                            false, "by-id/usb-Gone-if00"}),
                         [](const auto& info) {
                             std::string name = info.param.Situation;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// A settings file that is there but cannot be read is no missing one: its
// defaults ("9999" for every price) must reach neither the sign nor the file.
TEST_F(WindowFailures, UnreadableSettingsAreReportedAndNothingIsSentOrSaved)
{
    TBoardIni ini;
    ini.Prices[0] = "12";
    WriteIni(ini);
    const std::string before = IniText();
    std::filesystem::permissions(IniPath(), std::filesystem::perms::none);
    // The folders may be searched: the file itself is what cannot be read.
    for (const std::filesystem::path& folder : {Folder(), Folder().parent_path()})
        std::filesystem::permissions(folder, std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
    ::testing::internal::CaptureStderr();
    {
        // File access as an ordinary user, on this thread alone: root reads
        // any file whatever its mode.
        struct TFileAccessAsNobody {
            TFileAccessAsNobody() { ::setfsuid(65534); }
            ~TFileAccessAsNobody() { ::setfsuid(::geteuid()); }
        } asNobody;
        TForm1& form = ShowForm();
        Tick(form.Timer1);
        EXPECT_FALSE(form.Port1->Open());
    }
    std::string technician = ::testing::internal::GetCapturedStderr();
    std::filesystem::permissions(IniPath(), std::filesystem::perms::owner_read
                                                | std::filesystem::perms::owner_write);
    const std::string failure = "Unable to read " + IniPath() + " (Permission denied)";
    EXPECT_EQ(Services.BoxTexts(), std::vector<std::string>{failure});
    ASSERT_EQ(Services.Boxes.size(), 1u);
    EXPECT_EQ(Services.Boxes[0].Kind, kivo::TMessageKind::mkError);
    EXPECT_THAT(technician, ::testing::HasSubstr("tarvio: " + failure));
    EXPECT_EQ(Services.QuitCount, 1);
    EXPECT_TRUE(App.Terminated());
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(IniText(), before);
}

TEST_F(WindowFailures, OpeningFailingDuringATransmissionSavesTheTypedPricesFirst)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.P1->setFocus();
    form.P1->selectAll();
    QTest::keyClicks(form.P1, "4321");
    Line.Detach(3);

    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(Services.BoxTexts(), std::vector<std::string>{OpeningFailureText});
    EXPECT_EQ(Services.QuitCount, 1);
    EXPECT_TRUE(Sent().empty());
    EXPECT_NE(IniText().find("P1=4321"), std::string::npos) << "typed prices were lost";
}

// Out of descriptors, the program fails to open any port at all: the
// technician must hear that, not that COM3 is no serial port.
TEST_F(WindowFailures, OpeningShortOfDescriptorsBlamesTheShortageNotThePort)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's own checks take descriptors (a pipe to probe memory):
    // with none to spare they fail first, before the code under test.
    GTEST_SKIP() << "not under a sanitizer";
#endif
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    // Closed, so that the opening cannot take the descriptor the close frees.
    form.Port1->SetOpen(false);
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);

    ::testing::internal::CaptureStderr();
    ::setrlimit(RLIMIT_NOFILE, &none);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    ::setrlimit(RLIMIT_NOFILE, &old);
    const std::string technician = ::testing::internal::GetCapturedStderr();

    EXPECT_THAT(technician, ::testing::ContainsRegex(
                                R"(tarvio: COM3 \(.+\) could not be opened: Too many open files)"));
    EXPECT_THAT(technician, ::testing::Not(::testing::HasSubstr("serial port")));
    ASSERT_FALSE(ErrorsShown().empty());
    EXPECT_EQ(ErrorsShown()[0], OpeningFailureText);
    EXPECT_FALSE(form.Port1->Open());
}

TEST_F(WindowFailures, FailedSaveBeforeTheEndIsShownAndTheEndStillComes)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    RemoveFolder();
    Line.Detach(3);

    form.Button1Click();
    EXPECT_EQ(Services.BoxTexts(),
              (std::vector<std::string>{OpeningFailureText, "Unable to write to " + IniPath()}));
    EXPECT_EQ(Services.Boxes[1].Kind, kivo::TMessageKind::mkError);
    EXPECT_EQ(Services.QuitCount, 1);
}

TEST_F(WindowFailures, TicksUnderTheOpeningBoxStartNoTransmission)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.CB3->setChecked(true);
    Services.Ctrl = true;
    form.Panel1Click();
    Services.Ctrl = false;
    Clock.Set({2024, 3, 5, 7, 30, 0, 0});  // the schedule's second
    const int opensBefore = Line.Openings();
    Line.Detach(3);

    Services.WhileBoxShown = [&](const std::string&) {
        // What the modal box's own loop would run.
        for (int i = 0; i < 3; ++i) {
            Tick(form.Timer2);
            Tick(form.Timer1);
        }
    };
    Tick(form.Timer2);

    EXPECT_EQ(Services.BoxTexts(), std::vector<std::string>{OpeningFailureText})
        << "boxes stacked up";
    EXPECT_EQ(Line.Openings(), opensBefore);
    EXPECT_EQ(form.TestCounter(), 1);

    // Termination has been asked for: later ticks start nothing either.
    Services.WhileBoxShown = nullptr;
    Tick(form.Timer2);
    Tick(form.Timer1);
    Line.Attach(3);
    form.Button1Click();
    EXPECT_EQ(Line.Openings(), opensBefore) << "a transmission started after the end was asked";
    EXPECT_EQ(Services.Boxes.size(), 1u);
}

TEST_F(WindowFailures, TicksUnderThePortPromptStartNoTransmission)
{
    TForm1& form = ShowArmedAskingForThePort();
    ASSERT_TRUE(form.Port1->Open());
    Services.Ctrl = true;
    form.Panel1Click();
    Services.Ctrl = false;
    Clock.Set({2024, 3, 5, 7, 30, 0, 0});  // the schedule's second
    const int promptsBefore = PromptCount;
    App.SetPortPrompt([&] {
        // What the prompt's own loop would run, the first time only.
        if (++PromptCount == promptsBefore + 1)
            for (int i = 0; i < 3; ++i) {
                Tick(form.Timer2);
                Tick(form.Timer1);
            }
        return std::optional<int>(3);
    });

    Tick(form.Timer1);
    EXPECT_EQ(PromptCount, promptsBefore + 1) << "a tick opened a second prompt";
    EXPECT_EQ(form.TestCounter(), 0);
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_TRUE(ErrorsShown().empty());
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
    // No second frame was on its way: the next test tick's comes next.
    Tick(form.Timer2);
    EXPECT_EQ(Sent(2), (std::vector<std::string>{ExampleFrame, TestFrame("0001")}));
}

// The schedule's second passes while a manual send waits for the operator's
// port choice; its ticks are held back, and the schedule goes once it ends.
TEST_F(WindowFailures, TheScheduledSecondUnderThePortPromptIsNotLost)
{
    TForm1& form = ShowArmedAskingForThePort();
    Clock.Set({2024, 3, 5, 7, 29, 59, 800});
    App.SetPortPrompt([&] {
        // What the prompt's own loop would run while the operator chooses.
        for (int millisecond : {200, 700}) {
            Clock.Set({2024, 3, 5, 7, 30, 0, millisecond});
            Tick(form.Timer1);
        }
        Clock.Set({2024, 3, 5, 7, 30, 3, 0});
        return std::optional<int>(3);
    });
    form.Button1Click();
    ASSERT_EQ(Sent(1).size(), 1u);

    App.SetPortPrompt([] { return std::optional<int>(3); });
    Clock.Set({2024, 3, 5, 7, 30, 3, 300});
    Tick(form.Timer1);
    EXPECT_EQ(Sent(2), (std::vector<std::string>{ExampleFrame, ExampleFrame}));
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_EQ(form.Label3->text(), "00:00:00");
}

// The scheduled second comes while the sign's answer is still being
// delivered, so the port's close has to wait for that delivery; the port
// prompt of that transmission is then cancelled.
TEST_F(WindowFailures, PortPromptCancelledWhileTheCloseWaitsForADeliveryEndsTheProgram)
{
    TForm1& form = ShowArmedAskingForThePort();
    Clock.Set({2024, 3, 5, 7, 30, 0, 0});
    PromptAnswer = std::nullopt;
    const int promptsBefore = PromptCount;
    DuringTheFirstDelivery(form, [&] {
        Tick(form.Timer1);
        EXPECT_EQ(form.Port1->PortPhase(), kivo::TPortPhase::ppClosing)
            << "the close did not wait for the delivery";
    });

    ASSERT_TRUE(Deliver(StatusPacket()));
    ASSERT_TRUE(WaitForPhase(form, kivo::TPortPhase::ppClosed));
    EXPECT_EQ(PromptCount, promptsBefore + 1);
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{OpeningFailureText});
    EXPECT_EQ(Services.QuitCount, 1);
    EXPECT_TRUE(App.Terminated());
    EXPECT_TRUE(Sent().empty());
    EXPECT_NE(form.Label3->text().toStdString(), "00:00:00")
        << "the schedule counts a frame never sent";
    EXPECT_TRUE(form.Timer1->isActive());
}

// What befalls COM3 between the close that waited for a delivery and the
// reopen the port then makes by itself.
struct ReopenTrouble {
    const char* Situation;
    bool TakenOver;          // another program has the port; else it is gone
    const char* Technician;  // what standard error says (a pattern)
};

class ReopenAfterADelivery : public WindowFailures,
                             public ::testing::WithParamInterface<ReopenTrouble> {};

// The scheduled second comes while the sign's answer is still being
// delivered: the frame waits for the reopen, which fails once the
// delivery is over and nobody who sent is there any more.
TEST_P(ReopenAfterADelivery, ThatFailsIsAnOpeningFailureAndTheScheduleStaysDue)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.CB3->setChecked(true);
    Clock.Set({2024, 3, 5, 7, 30, 0, 0});
    DuringTheFirstDelivery(form, [&] {
        Tick(form.Timer1);
        EXPECT_EQ(form.Port1->PortPhase(), kivo::TPortPhase::ppClosing)
            << "the close did not wait for the delivery";
        if (GetParam().TakenOver)
            EXPECT_TRUE(Line.TakeOver(3));
        else
            Line.Detach(3);
    });

    ::testing::internal::CaptureStderr();
    const bool delivered = Deliver(StatusPacket());
    const bool closed = WaitForPhase(form, kivo::TPortPhase::ppClosed);
    const std::string technician = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(delivered && closed);
    EXPECT_THAT(technician, ::testing::ContainsRegex(GetParam().Technician));
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{OpeningFailureText});
    EXPECT_EQ(Services.Boxes[0].Kind, kivo::TMessageKind::mkInformation);
    EXPECT_EQ(Services.QuitCount, 1);
    EXPECT_TRUE(App.Terminated());
    EXPECT_FALSE(form.Port1->Open());
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(form.Label3->text().toStdString(), "07:30:00")
        << "the schedule counts a frame never sent";
    EXPECT_TRUE(form.Timer1->isActive());
}

INSTANTIATE_TEST_SUITE_P(
    Situations, ReopenAfterADelivery,
    ::testing::Values(
        ReopenTrouble{"gone", false, R"(tarvio: COM3 \(.+\) is not there: connect it)"},
        ReopenTrouble{"taken", true, R"(tarvio: COM3 \(.+\) is held by another program)"}),
    [](const auto& info) { return std::string(info.param.Situation); });

// The reopen works, but the output buffer cannot take the frame held for it.
TEST_F(WindowFailures, OutputRefusedAfterAReopenThatADeliveryHeldBackLeavesTheScheduleArmed)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.CB3->setChecked(true);
    Clock.Set({2024, 3, 5, 7, 30, 0, 0});
    DuringTheFirstDelivery(form, [&] {
        TSignLine::LimitOutputRoom(*form.Port1, 10);
        Tick(form.Timer1);
    });

    ASSERT_TRUE(Deliver(StatusPacket()));
    ASSERT_TRUE(WaitForPhase(form, kivo::TPortPhase::ppOpen));
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Output buffer too small for block"});
    EXPECT_FALSE(App.Terminated());
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(form.Label3->text().toStdString(), "07:30:00")
        << "the schedule counts a frame never sent";
    EXPECT_TRUE(form.Timer1->isActive());
}

// The schedule's frame went out after its held-back reopen; a later frame
// of the button fails the same way, and the schedule stays done.
TEST_F(WindowFailures, AHeldFrameThatFailsAfterTheScheduledOneWentOutLeavesTheScheduleDone)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.CB3->setChecked(true);
    Clock.Set({2024, 3, 5, 7, 30, 0, 0});
    int delivered = 0;
    form.KivDataPacket1->OnStringPacket = kivo::TStringPacketNotifyEvent::FromFunction(
        [&](kivo::TObject* sender, const std::string& data) {
            form.KivDataPacket1StringPacket(sender, data);
            if (++delivered == 1) {
                Tick(form.Timer1);
            } else if (delivered == 2) {
                TSignLine::LimitOutputRoom(*form.Port1, 10);
                form.Button1Click();
            }
        });
    auto reopened = [&] {
        return WaitForPhase(form, kivo::TPortPhase::ppOpen);
    };

    ASSERT_TRUE(Deliver(StatusPacket()));
    ASSERT_TRUE(reopened());
    ASSERT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
    Clock.Set({2024, 3, 5, 9, 0, 0, 0});
    ASSERT_TRUE(Deliver(StatusPacket()));
    ASSERT_TRUE(reopened());
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Output buffer too small for block"});
    EXPECT_EQ(form.Label3->text().toStdString(), "00:00:00");
    EXPECT_FALSE(form.Timer1->isActive()) << "the schedule was armed again by another frame";
}

TEST_F(WindowFailures, OutputRefusedInTheScheduleLeavesItArmed)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.CB3->setChecked(true);
    TSignLine::LimitOutputRoom(*form.Port1, 10);
    Clock.Set({2024, 3, 5, 7, 30, 0, 0});
    Tick(form.Timer1);

    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Output buffer too small for block"});
    EXPECT_EQ(form.Label3->text(), "07:30:00");
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_FALSE(App.Terminated());
    EXPECT_TRUE(Sent().empty());
}

TEST_F(WindowFailures, OutputRefusedOnAcertarAgoraIsShownAndTheProgramGoesOn)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    TSignLine::LimitOutputRoom(*form.Port1, 33);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_TRUE(Services.Boxes.empty()) << "shown inside the handler";
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Output buffer too small for block"});
    EXPECT_FALSE(App.Terminated());
    TSignLine::LimitOutputRoom(*form.Port1, 34);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
}

TEST_F(WindowFailures, FailedSaveAfterAPacketIsShownAndTheNextPacketStillArrives)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    RemoveFolder();
    EXPECT_TRUE(Deliver(StatusPacket()));
    EXPECT_EQ(form.SB1->PanelText(0), "Dados OK");
    EXPECT_EQ(form.L1->text(), "1234");
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Unable to write to " + IniPath()});
    EXPECT_FALSE(App.Terminated());
    EXPECT_TRUE(Deliver(StatusPacket(' ', "@ALIVE-", "OK2")));
    EXPECT_EQ(form.SB1->PanelText(1), "OK2");
}

TEST_F(WindowFailures, FailedSaveOnCloseKeepsTheWindowOpenUntilClosedAgain)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    RemoveFolder();
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.Port1->Open());
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Unable to write to " + IniPath()});
    EXPECT_EQ(form.SB1->PanelText(0), UnsavedOnCloseText);

    // A save that works in between: the next failed close warns afresh.
    std::filesystem::create_directory(Folder());
    form.Escreve();
    RemoveFolder();
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());

    // Told, the operator can still leave: without saving, port closed.
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Port1->Open());
    EXPECT_FALSE(IniExists());
    EXPECT_EQ(ErrorsShown().size(), 2u);
}

TEST_F(WindowFailures, RefusedPriceFieldKeepsAcertarAgoraFromSending)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.P2->setFocus();
    form.P2->selectAll();
    QTest::keyClicks(form.P2, "12");
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(form.P2->hasFocus());
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{InvalidInputText});

    // Escape abandons the change: the stored price goes out, not "12  ".
    QTest::keyClick(form.P2, Qt::Key_Escape);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
}

} // namespace
} // namespace tarvio::test
