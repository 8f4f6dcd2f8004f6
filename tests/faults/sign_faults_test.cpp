// What the sign can send that is not a good status packet: a megabyte of
// noise, an "@" whose end never comes, packets that make the handler fail
// every time, and framed packets full of bytes no sign should send.

#include "app/board_link.h"
#include "platform/clock.h"
#include "serial/dispatch/base_dispatcher.h"
#include "serial/packet/packet_manager.h"
#include "tests/app/window_fixture.h"
#include "tests/soak/soak_rig.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace tarvio::test {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t Megabyte = 1 << 20;
// What the allocator keeps in its per-thread caches; a collection buffer
// kept after a megabyte would be sixteen times this.
constexpr std::size_t HeapSlack = 64 * 1024;

// Random bytes of every value except those listed.
std::string Noise(std::size_t size, const std::string& without)
{
    std::mt19937 random(11);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string text;
    text.reserve(size);
    while (text.size() < size) {
        const char c = static_cast<char>(byte(random));
        if (without.find(c) == std::string::npos) text += c;
    }
    return text;
}

class SignFaults : public WindowTest {
protected:
    void TearDown() override
    {
        Form.reset();
        kivo::win::SetTimeOffsetForTesting(0);
    }

    TForm1& ShowOn7()
    {
        TBoardIni ini;
        ini.Port = "7";
        WriteIni(ini);
        TForm1& form = ShowForm();
        EXPECT_TRUE(form.Port1->Open());
        return form;
    }

    kivo::TPacketManagerState Collection() const
    {
        return Form->KivDataPacket1->Manager()->State();
    }

    // Writes bytes in pieces while serving the main thread; the largest
    // collection buffer seen meanwhile.
    int SendServing(const std::string& bytes)
    {
        int largest = 0;
        for (std::size_t at = 0; at < bytes.size(); at += 4096) {
            EXPECT_TRUE(Sign.Line.WriteWithin(bytes.substr(at, 4096), 5s));
            ServeUntil(Services, 0ms, [] { return false; });
            largest = std::max(largest, Collection().CollectedCapacity);
        }
        return largest;
    }

    bool Answered(const std::string& packet)
    {
        const QString waiting = "<waiting>";
        Form->SB1->SetPanelText(0, waiting);
        Sign.Line.Write(packet);
        return ServeUntil(Services, 5s, [&] { return Form->SB1->PanelText(0) != waiting; });
    }

    static std::size_t Heap()
    {
        return kivo::test::MeasureProcess().HeapInUse.value_or(0);
    }

    // Blocks still on their way through the input queue are freed within a
    // few passes; the heap then has to be back where it was.
    bool HeapSettlesAt(std::size_t before)
    {
        if (kivo::test::SanitizedAllocator()) return true;
        return ServeUntil(Services, 3s, [&] { return Heap() <= before + HeapSlack; });
    }

    TSignEnd Sign{7};
};

TEST_F(SignFaults, MegabyteOfNoiseWithoutAtIsDroppedAsItComes)
{
    TForm1& form = ShowOn7();
    const std::size_t before = Heap();
    const int largest = SendServing(Noise(Megabyte, "@"));
    ASSERT_TRUE(ServeUntil(Services, 5s, [&] {
        return form.Port1->ActiveDispatcher()->InputCount() == 0 &&
               Collection().CollectedCount == 0;
    }));
    EXPECT_LE(largest, 2 * kivo::CollectStep) << "noise was collected";
    EXPECT_EQ(Collection().CollectedCapacity, 0);
    EXPECT_TRUE(HeapSettlesAt(before)) << Heap() << " bytes in use, " << before << " before";
    EXPECT_EQ(form.SB1->PanelText(0), "") << "noise reached the handler";

    ASSERT_TRUE(Answered(StatusPacket(' ', "@ALIVE-", "N01")));
    EXPECT_EQ(form.SB1->PanelText(0), "Dados OK");
    EXPECT_EQ(form.SB1->PanelText(1), "N01");
    EXPECT_TRUE(ErrorsShown().empty());
}

TEST_F(SignFaults, EndlessPacketIsBoundedByTheTimeOutThenPacketsResume)
{
    TForm1& form = ShowOn7();
    const std::string endless = "@" + Noise(Megabyte, "*");
    const std::size_t before = Heap();
    SendServing(endless);
    ASSERT_TRUE(ServeUntil(Services, 10s, [&] {
        return Collection().CollectedCount == static_cast<int>(endless.size());
    })) << Collection().CollectedCount;
    EXPECT_EQ(Collection().Collector, form.KivDataPacket1) << "timed out before its time";
    EXPECT_EQ(form.SB1->PanelText(0), "");

    // Past the window's time-out of 2184 ticks of 55 ms.
    kivo::win::SetTimeOffsetForTesting(2184 * 55 + 5000);
    ASSERT_TRUE(ServeUntil(Services, 5s, [&] {
        return Collection().Collector == nullptr && Collection().CollectedCapacity == 0 &&
               form.KivDataPacket1->State() == kivo::TPacketState::psWaiting;
    }));
    EXPECT_TRUE(form.KivDataPacket1->Enabled());
    EXPECT_TRUE(HeapSettlesAt(before)) << Heap() << " bytes in use, " << before << " before";

    ASSERT_TRUE(Answered(StatusPacket(' ', "@ALIVE-", "T01")));
    EXPECT_EQ(form.SB1->PanelText(0), "Dados OK");
    EXPECT_EQ(form.SB1->PanelText(1), "T01");
    EXPECT_TRUE(ErrorsShown().empty());
}

// Packet n carries its number as the status code.
std::string Numbered(int n)
{
    char code[8];
    std::snprintf(code, sizeof code, "%03d", n);
    return StatusPacket(' ', "@ALIVE-", code);
}

TEST_F(SignFaults, HandlerFailingOnEveryPacketIsShownEachTimeAndLosesNone)
{
    constexpr int Count = 300;
    TForm1& form = ShowOn7();
    RemoveFolder();  // every save after a good packet now fails
    std::vector<std::string> delivered;
    form.KivDataPacket1->OnStringPacket = kivo::TStringPacketNotifyEvent::FromFunction(
        [&](kivo::TObject* sender, const std::string& packet) {
            delivered.push_back(packet);
            form.KivDataPacket1StringPacket(sender, packet);
        });
    std::string all;
    for (int n = 0; n < Count; ++n) all += Numbered(n);
    SendServing(all);
    ASSERT_TRUE(ServeUntil(Services, 20s, [&] { return delivered.size() >= Count; }))
        << delivered.size() << " of " << Count;

    for (int n = 0; n < Count; ++n) ASSERT_EQ(delivered[n], Numbered(n)) << "packet " << n;
    const std::vector<std::string> shown = ErrorsShown();
    EXPECT_EQ(shown.size(), static_cast<std::size_t>(Count));
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "Unable to write to " + IniPath()), Count);
    EXPECT_EQ(form.SB1->PanelText(1), "299");
    EXPECT_FALSE(App.Terminated());
}

TEST_F(SignFaults, HandlerThrowingSomethingUnknownIsShownAndTheNextStillComes)
{
    TForm1& form = ShowOn7();
    int calls = 0;
    form.KivDataPacket1->OnStringPacket =
        kivo::TStringPacketNotifyEvent::FromFunction([&](kivo::TObject*, const std::string&) {
            ++calls;
            throw 42;
        });
    Sign.Line.Write(Numbered(1) + Numbered(2) + Numbered(3));
    ASSERT_TRUE(ServeUntil(Services, 5s, [&] { return calls == 3; }));
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>(3, "Unknown exception"));
}

TEST_F(SignFaults, BytesNoSignShouldSendStayInTheLabelsAndNeverReachTheFile)
{
    TForm1& form = ShowOn7();
    ASSERT_TRUE(Answered(StatusPacket()));  // the file as the window saves it
    const std::string saved = IniText();

    // Framed and 51 long, so it passes the check: line ends, a section
    // header and a key, NULs and bytes that are no text at all.
    std::string packet = "@ALIVE-";
    for (const char* field : {"\n[Po", "rta]", "\nPor", "t=9\n", "\0\0\0\0", "\xff\xfe\x80\x81",
                              "=;#\r", "\x1b[2J"})
        packet += std::string(field, 4) + '\x7f';
    packet += "\x01\x02\x03*";
    ASSERT_EQ(packet.size(), 51u);
    ASSERT_TRUE(Answered(packet));
    EXPECT_EQ(form.SB1->PanelText(0), "Dados OK");
    EXPECT_EQ(form.L1->text(), QString::fromStdString("\n[Po"));
    EXPECT_EQ(form.L5->text().size(), 4);
    EXPECT_EQ(IniText(), saved) << "the sign's bytes reached the settings file";

    // Far too long, and an "@" inside: one packet, refused, nothing saved.
    ASSERT_TRUE(Answered("@" + std::string(100000, '@') + "ALIVE-*"));
    EXPECT_EQ(form.SB1->PanelText(0), "Erro de dados");
    EXPECT_EQ(IniText(), saved);
    EXPECT_TRUE(ServeUntil(Services, 2s, [&] { return Collection().CollectedCount == 0; }));
    EXPECT_TRUE(ErrorsShown().empty());
}

// Text takes the room of its characters; as markup, "<hr>" takes none.
::testing::AssertionResult ShownAsWritten(const QLabel& label, const QString& text)
{
    if (label.text() != text) return ::testing::AssertionFailure() << "holds " << label.text().toStdString();
    const int needed = label.fontMetrics().horizontalAdvance(text);
    if (label.sizeHint().width() < needed)
        return ::testing::AssertionFailure()
               << text.toStdString() << " takes " << label.sizeHint().width() << " pixels, not "
               << needed << ": it was read as markup";
    return ::testing::AssertionSuccess();
}

TEST_F(SignFaults, MarkupFromTheSignOrTheSettingsIsShownAsText)
{
    TBoardIni ini;
    ini.Port = "7";
    ini.Captions[0] = "<hr>";
    ini.Captions[1] = "<b>GPL</b>";
    WriteIni(ini);
    TForm1& form = ShowForm();
    EXPECT_TRUE(ShownAsWritten(*form.PP1, "<hr>"));
    EXPECT_TRUE(ShownAsWritten(*form.PP2, "<b>GPL</b>"));

    std::string packet = StatusPacket(' ', "@ALIVE-", "<b>");
    packet.replace(7, 4, "<hr>");
    ASSERT_TRUE(Answered(packet));
    EXPECT_EQ(form.SB1->PanelText(0), "Dados OK");
    EXPECT_TRUE(ShownAsWritten(*form.L1, "<hr>"));
    const QList<QLabel*> panels = form.SB1->findChildren<QLabel*>();
    ASSERT_EQ(panels.size(), 2);
    EXPECT_TRUE(ShownAsWritten(*panels[1], "<b>"));
}

} // namespace
} // namespace tarvio::test
