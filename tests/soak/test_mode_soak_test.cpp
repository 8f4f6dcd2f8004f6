// The hidden test mode run far faster than once a second: every tick closes
// and reopens the port and sends its counter, and the sign's end must see
// every frame, whole, in order, the counter wrapping after 9999.

#include "app/board_link.h"
#include "tests/app/window_fixture.h"
#include "tests/soak/soak_rig.h"

#include <QApplication>

#include <chrono>

namespace tarvio::test {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t FrameSize = 34;

class TestModeSoak : public WindowTest {
protected:
    // The port goes before its line.
    void TearDown() override { Form.reset(); }

    TForm1& ShowInTestMode()
    {
        TBoardIni ini;
        ini.Port = "7";
        WriteIni(ini);
        TForm1& form = ShowForm();
        Services.Ctrl = true;
        form.Panel1Click();
        Services.Ctrl = false;
        return form;
    }

    // Compares what came with the frames the counter values first ... last
    // give; the first difference, or "".
    static std::string FirstDifference(const std::string& got, int first, int last)
    {
        std::size_t at = 0;
        for (int value = first; value <= last; ++value, at += FrameSize) {
            const std::string expected = TestFrame(TestCounterText(value % 10000));
            if (got.compare(at, FrameSize, expected) != 0)
                return "tick " + std::to_string(value) + ": expected " + expected + ", got \"" +
                       got.substr(at, FrameSize) + "\"";
        }
        if (at != got.size()) return "extra bytes after the last frame: " + got.substr(at);
        return "";
    }

    TSignEnd Sign{7};
};

TEST_F(TestModeSoak, TenThousandTicksDrivenDirectlyEachSendTheirFrameAndWrap)
{
    // Past the wrap: 0001 ... 9999, 0000, 0001.
    constexpr int Ticks = 10001;
    TForm1& form = ShowInTestMode();
    ASSERT_TRUE(form.TestMode());
    form.Timer2->stop();  // only the ticks below
    const int openingsBefore = Line.Openings();

    std::string got;
    got.reserve(Ticks * FrameSize);
    for (int tick = 1; tick <= Ticks; ++tick) {
        Tick(form.Timer2);
        // Each frame is let out before the next tick closes the port.
        std::string frame = Sign.Line.ReadExactly(FrameSize, 2s);
        got += frame;
        ASSERT_EQ(frame.size(), FrameSize) << "tick " << tick << " sent " << frame;
    }
    EXPECT_EQ(FirstDifference(got, 1, Ticks), "");
    EXPECT_EQ(form.TestCounter(), 1);
    EXPECT_EQ(form.Test->text(), "0001");
    EXPECT_EQ(Line.Openings() - openingsBefore, Ticks) << "every tick reopens the port";
    EXPECT_EQ(Sign.Line.ReadAvailable(50ms), "");
    EXPECT_TRUE(ErrorsShown().empty());
}

TEST_F(TestModeSoak, AMinuteOfTicksAtTenTimesTheSpeedOnTheRealTimer)
{
    constexpr int Ticks = 60;
    TForm1& form = ShowInTestMode();
    // A tenth of the designed second: many times what a reopening and a
    // 34-byte write take here, yet every frame must still be let out before
    // the next tick closes the port.
    form.Timer2->setInterval(100);
    form.Timer2->start();
    std::string got;
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (form.TestCounter() < Ticks && std::chrono::steady_clock::now() < until) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        got += Sign.Line.ReadAvailable(1ms);
    }
    // Switching off sends the prices once more.
    Services.Ctrl = true;
    form.Panel1Click();
    Services.Ctrl = false;
    ASSERT_FALSE(form.Timer2->isActive());
    const int ticks = form.TestCounter();
    ASSERT_EQ(ticks, Ticks) << "the timer did not keep up";
    const std::size_t expected = (ticks + 1) * FrameSize;
    if (got.size() < expected) got += Sign.Line.ReadExactly(expected - got.size(), 2s);
    got += Sign.Line.ReadAvailable(50ms);

    ASSERT_EQ(got.size(), expected) << "frames were lost, cut or doubled";
    EXPECT_EQ(FirstDifference(got.substr(0, ticks * FrameSize), 1, ticks), "");
    EXPECT_EQ(got.substr(ticks * FrameSize), ExampleFrame);
    EXPECT_TRUE(ErrorsShown().empty());
}

} // namespace
} // namespace tarvio::test
