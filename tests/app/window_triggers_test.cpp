// Acertar Agora, the one-shot schedule, the T panel and the test mode.

#include "app/board_link.h"
#include "tests/app/window_fixture.h"
#include "tests/support/wait_until.h"

#include <QApplication>
#include <QEventLoop>
#include <QTest>

#include <algorithm>

namespace tarvio::test {
namespace {

using namespace std::chrono_literals;

class WindowTriggers : public WindowTest {
protected:
    TForm1& ShowArmed()
    {
        WriteIni(TBoardIni{});
        TForm1& form = ShowForm();
        form.CB3->setChecked(true);
        return form;
    }

    void At(int hour, int minute, int second, int millisecond = 0)
    {
        Clock.Set({2024, 3, 5, hour, minute, second, millisecond});
    }

    void CtrlClickT()
    {
        Services.Ctrl = true;
        QTest::mouseClick(Form->Panel1, Qt::LeftButton);
        Services.Ctrl = false;
    }
};

TEST_F(WindowTriggers, TickingTheBoxArmsTheScheduleAndUntickingDisarms)
{
    TForm1& form = ShowArmed();
    EXPECT_TRUE(form.Timer1->isActive());
    form.CB3->setChecked(false);
    EXPECT_FALSE(form.Timer1->isActive());
}

TEST_F(WindowTriggers, ScheduleSendsOnceAtItsSecond)
{
    TForm1& form = ShowArmed();
    At(7, 29, 59);
    Tick(form.Timer1);
    EXPECT_EQ(form.Label3->text(), "07:29:59");
    At(7, 29, 59, 500);
    Tick(form.Timer1);
    EXPECT_TRUE(Sent().empty());

    At(7, 30, 0);
    Tick(form.Timer1);
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
    EXPECT_EQ(form.Label3->text(), "00:00:00");
    EXPECT_FALSE(form.Timer1->isActive()) << "the schedule stays done";
    EXPECT_TRUE(form.CB3->isChecked());
    EXPECT_EQ(Line.Openings(), 2) << "reopened before the send";

    // Armed again only by unticking and ticking.
    form.CB3->setChecked(false);
    form.CB3->setChecked(true);
    At(7, 30, 0, 500);
    Tick(form.Timer1);
    EXPECT_EQ(Sent(2).size(), 2u);
}

// A busy moment, a suspended machine or a clock set forward can leave no
// tick in the schedule's second; the prices then go at the first tick after
// it, not a day late.
TEST_F(WindowTriggers, MissedSecondSendsAtTheNextTick)
{
    TForm1& form = ShowArmed();
    At(7, 29, 59, 600);
    Tick(form.Timer1);
    At(7, 30, 1, 100);
    Tick(form.Timer1);
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_EQ(form.Label3->text(), "00:00:00");
}

struct ClockStep {
    const char* Situation;
    int Hour;  // the schedule, minute 30
    kivo::TLocalDateTime Armed, Before, After;
    bool Sends;
};

void PrintTo(const ClockStep& step, std::ostream* out)
{
    *out << step.Situation;
}

class ScheduleOverAClockStep : public WindowTriggers,
                               public ::testing::WithParamInterface<ClockStep> {};

TEST_P(ScheduleOverAClockStep, SendsOnlyWhenTheMinuteWasPassed)
{
    const ClockStep& step = GetParam();
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.CB1->setCurrentIndex(step.Hour);
    Clock.Set(step.Armed);
    form.CB3->setChecked(true);
    Clock.Set(step.Before);
    Tick(form.Timer1);
    Clock.Set(step.After);
    Tick(form.Timer1);
    EXPECT_EQ(Sent().size(), step.Sends ? 1u : 0u);
    EXPECT_EQ(form.Timer1->isActive(), !step.Sends);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ScheduleOverAClockStep,
    ::testing::Values(
        ClockStep{"suspended overnight", 7, {2024, 3, 5, 18, 0, 0, 0}, {2024, 3, 5, 20, 0, 0, 0},
                  {2024, 3, 6, 9, 0, 0, 200}, true},
        // Lisbon, last Sunday of March: 01:00 becomes 02:00.
        ClockStep{"skipped summer time hour", 1, {2024, 3, 31, 0, 59, 0, 0},
                  {2024, 3, 31, 0, 59, 59, 800}, {2024, 3, 31, 2, 0, 0, 300}, true},
        ClockStep{"set forward past the minute", 7, {2024, 3, 5, 7, 29, 0, 0},
                  {2024, 3, 5, 7, 29, 59, 900}, {2024, 3, 5, 7, 35, 0, 400}, true},
        ClockStep{"armed after the minute", 7, {2024, 3, 5, 7, 31, 0, 0},
                  {2024, 3, 5, 7, 31, 0, 500}, {2024, 3, 5, 7, 31, 1, 0}, false},
        ClockStep{"armed in the second after its start", 7, {2024, 3, 5, 7, 30, 0, 700},
                  {2024, 3, 5, 7, 30, 1, 200}, {2024, 3, 5, 7, 30, 1, 700}, false},
        ClockStep{"set back before the minute", 7, {2024, 3, 5, 7, 29, 0, 0},
                  {2024, 3, 5, 7, 29, 59, 700}, {2024, 3, 5, 7, 20, 0, 200}, false},
        // Lisbon, last Sunday of October: 02:00 becomes 01:00 again.
        ClockStep{"repeated winter time hour", 1, {2024, 10, 27, 1, 45, 0, 0},
                  {2024, 10, 27, 1, 59, 59, 800}, {2024, 10, 27, 1, 0, 0, 300}, false}),
    [](const auto& info) {
        std::string name = info.param.Situation;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST_F(WindowTriggers, WithNoHourSelectedTheScheduleNeverMatches)
{
    TBoardIni ini;
    ini.Hora = "-1";
    WriteIni(ini);
    TForm1& form = ShowForm();
    form.CB3->setChecked(true);
    At(7, 30, 0);
    Tick(form.Timer1);
    At(0, 30, 0);
    Tick(form.Timer1);
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(form.Timer1->isActive());
}

TEST_F(WindowTriggers, PlainClickOnTSendsThePrices)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    QTest::mouseClick(form.Panel1, Qt::LeftButton);
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
    EXPECT_FALSE(form.TestMode());
    EXPECT_TRUE(form.Test->isHidden());
}

TEST_F(WindowTriggers, TestModeCountsEverySecondThenPutsThePricesBack)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    CtrlClickT();
    EXPECT_TRUE(form.TestMode());
    EXPECT_FALSE(form.Test->isHidden());
    EXPECT_TRUE(form.Timer2->isActive());
    EXPECT_TRUE(Sent().empty()) << "nothing is sent on switching on";

    // A second apart on the real timer; here each frame is let out before
    // the next tick closes the port again.
    for (std::size_t tick = 1; tick <= 3; ++tick) {
        Tick(form.Timer2);
        ASSERT_EQ(Sent(tick).size(), tick);
    }
    EXPECT_EQ(form.Test->text(), "0003");
    CtrlClickT();
    EXPECT_FALSE(form.TestMode());
    EXPECT_TRUE(form.Test->isHidden());
    EXPECT_FALSE(form.Timer2->isActive());
    EXPECT_EQ(Sent(4), (std::vector<std::string>{TestFrame("0001"), TestFrame("0002"),
                                                TestFrame("0003"), ExampleFrame}));
    EXPECT_EQ(Line.Openings(), 1 + 4) << "every send reopens the port";
}

// Through the window system, where the second press of a double click comes
// as a press and a double click: one click, as on any panel.
TEST_F(WindowTriggers, CtrlDoubleClickOnTIsOneClick)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QPoint t = form.Panel1->geometry().center();
    Services.Ctrl = true;
    QTest::mouseDClick(form.windowHandle(), Qt::LeftButton, Qt::ControlModifier, t);
    Services.Ctrl = false;
    EXPECT_TRUE(form.TestMode());
    EXPECT_TRUE(form.Timer2->isActive());
    EXPECT_TRUE(Sent().empty()) << "switched off again, which sent the prices";

    Services.Ctrl = true;
    QTest::mouseClick(form.windowHandle(), Qt::LeftButton, Qt::ControlModifier, t);
    Services.Ctrl = false;
    EXPECT_FALSE(form.TestMode());
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
}

TEST_F(WindowTriggers, TestModeRunsOnTheRealTimer)
{
    WriteIni(TBoardIni{});
    ShowForm();
    CtrlClickT();
    bool three = kivo::test::WaitUntil(
        5s, [&] { return Sent().size() >= 3; },
        [] { QApplication::processEvents(QEventLoop::AllEvents, 20); });
    CtrlClickT();
    ASSERT_TRUE(three);
    ASSERT_GE(Sent(4).size(), 4u);
    EXPECT_EQ(Sent()[0], TestFrame("0001"));
    EXPECT_EQ(Sent()[1], TestFrame("0002"));
    EXPECT_EQ(Sent()[2], TestFrame("0003"));
    EXPECT_EQ(Sent().back(), ExampleFrame);
}

// Closing the last window posts the end of the loop, and the pass that ends
// it still runs the timers then due: such a tick must not open the port
// again after the window has closed it.
TEST_F(WindowTriggers, TickAfterTheWindowClosedSendsNothing)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    CtrlClickT();
    form.Timer2->setInterval(1);  // a tick due whenever the close ends
    QEventLoop loop;
    int openingsAtClose = -1;
    QTimer::singleShot(50, &form, [&] {
        form.close();
        openingsAtClose = Line.Openings();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QTimer::singleShot(5000, &loop, [&] { loop.exit(2); });
    ASSERT_EQ(loop.exec(), 0) << "the window did not close";
    EXPECT_EQ(Line.Openings(), openingsAtClose) << "the port was opened again";
    EXPECT_FALSE(form.Port1->Open());
}

TEST_F(WindowTriggers, PlainClickInTestModeRestartsTheCountNotTheTimer)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    CtrlClickT();
    Tick(form.Timer2);
    ASSERT_EQ(Sent(1).size(), 1u);
    Tick(form.Timer2);
    ASSERT_EQ(Sent(2).size(), 2u);
    ASSERT_TRUE(kivo::test::WaitUntil(
        3s, [&] { return form.Timer2->remainingTime() <= 900; },
        [] { QApplication::processEvents(QEventLoop::AllEvents, 5); }));
    QTest::mouseClick(form.Panel1, Qt::LeftButton);
    EXPECT_TRUE(form.TestMode());
    EXPECT_EQ(form.TestCounter(), 0);
    EXPECT_LE(form.Timer2->remainingTime(), 900) << "the running timer was restarted";
    Tick(form.Timer2);
    EXPECT_EQ(Sent(3).back(), TestFrame("0001"));
    EXPECT_EQ(Sent().size(), 3u) << "the plain click sent nothing in test mode";
}

TEST_F(WindowTriggers, SairSavesClosesThePortAndTheWindow)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.P8->SetText("0875");
    QTest::mouseClick(form.Button3, Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Port1->Open());
    EXPECT_NE(IniText().find("P8=0875"), std::string::npos);
}

} // namespace
} // namespace tarvio::test
