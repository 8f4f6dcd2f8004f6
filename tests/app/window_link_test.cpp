// The price frame the window sends, the status packets it checks, and the
// settings it saves and reads.

#include "app/board_link.h"
#include "platform/profile.h"
#include "tests/app/window_fixture.h"

#include <QTest>

namespace tarvio::test {
namespace {

using kivo::win::GetPrivateProfileString;

class WindowLink : public WindowTest {
protected:
    std::string Stored(const std::string& section, const std::string& key)
    {
        return GetPrivateProfileString(section, key, "<missing>", 2048, IniPath());
    }
};

TEST_F(WindowLink, AcertarAgoraReopensThePortAndSendsTheFrame)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    ASSERT_EQ(Line.Openings(), 1);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
    EXPECT_EQ(Line.Openings(), 2);
}

TEST_F(WindowLink, HiddenRowsAreSentToo)
{
    TBoardIni ini;
    ini.Captions[7] = "Vazio";
    ini.Captions[3] = "Vazio";
    WriteIni(ini);
    TForm1& form = ShowForm();
    form.Button1Click();
    EXPECT_EQ(Sent(1), std::vector<std::string>{ExampleFrame});
}

TEST_F(WindowLink, TwoTypedDigitsGoOutWithTwoSpaces)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.P3->setFocus();
    form.P3->selectAll();
    QTest::keyClicks(form.P3, "12");
    form.Button1Click();
    EXPECT_EQ(Sent(1), std::vector<std::string>{"@1234099912  15002000300040005000*"});
}

TEST_F(WindowLink, ValidPacketShowsPricesStatusAndTimeAndSaves)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.P1->SetText("4321");
    form.CB2->setCurrentIndex(45);

    ASSERT_TRUE(Deliver(StatusPacket()));
    const std::vector<std::string> expected{"1234", "0999", "0000", "1500",
                                            "2000", "3000", "4000", "5000"};
    for (int row = 0; row < RowCount; ++row)
        EXPECT_EQ(form.ReadbackLabels()[row]->text().toStdString(), expected[row]);
    EXPECT_EQ(form.SB1->PanelText(0), "Dados OK");
    EXPECT_EQ(form.SB1->PanelText(1), "OK1");
    EXPECT_EQ(form.Label2->text(), "03-05-2024 07:29:58");
    EXPECT_EQ(Stored("Tarvio", "P1"), "4321");
    EXPECT_EQ(Stored("Hora_Muda", "Minuto"), "45");
    EXPECT_TRUE(ErrorsShown().empty());
}

TEST_F(WindowLink, MalformedPacketsChangeOnlyTheTimeAndTheResult)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    ASSERT_TRUE(Deliver(StatusPacket(' ', "@ALIVE-", "OK1")));
    form.P1->SetText("4321");  // a save would now change the file
    const std::string savedBefore = IniText();

    std::string shortPacket = StatusPacket(' ', "@ALIVE-", "OK2");
    shortPacket.erase(9, 1);
    for (const std::string& packet : {StatusPacket(' ', "@alive-", "OK2"), shortPacket}) {
        Clock.AdvanceSeconds(61);
        form.L3->SetText("----");
        ASSERT_TRUE(Deliver(packet));
        EXPECT_EQ(form.SB1->PanelText(0), "Erro de dados");
        EXPECT_EQ(form.SB1->PanelText(1), "OK1") << "status of the last valid packet stays";
        EXPECT_EQ(form.L3->text(), "----");
        EXPECT_EQ(form.Label2->text().toStdString(),
                  FormatCommunicationTime(Clock.Now()));
    }
    EXPECT_EQ(IniText(), savedBefore);
}

TEST_F(WindowLink, SaveKeepsEverythingItDoesNotWrite)
{
    const std::string original = "; price board, set up by hand\n"
                                 "[Porta]\nPort=3\n; the sign's line\n\n"
                                 "[Tarvio]\nP1=1234\nP2=0999\nP3=0000\nP4=1500\n"
                                 "Extra=kept\n"
                                 "P5=2000\nP6=3000\nP7=4000\nP8=5000\n\n"
                                 "[Outros]\nNota=não mexer\n# another comment\n\n"
                                 "[Hora_Muda]\nHora=7\nMinuto=30\n\n"
                                 "[Texto]\nDes1=Gasolina\n[Cores]\nCor1=Azul\n";
    WriteIni(original);
    TForm1& form = ShowForm();
    form.P2->setFocus();
    form.P2->selectAll();
    QTest::keyClicks(form.P2, "4321");
    EXPECT_TRUE(form.close());

    std::string expected = original;
    expected.replace(expected.find("P2=0999"), 7, "P2=4321");
    EXPECT_EQ(IniText(), expected);
    EXPECT_FALSE(form.Port1->Open());
}

TEST_F(WindowLink, FirstSaveWithoutAFileWritesOnlyPricesAndSchedule)
{
    PromptAnswer = 1;
    TForm1& form = ShowForm();
    EXPECT_TRUE(form.close());
    const std::string text = IniText();
    EXPECT_NE(text.find("[Tarvio]"), std::string::npos);
    EXPECT_NE(text.find("[Hora_Muda]"), std::string::npos);
    for (const char* absent : {"[Porta]", "[Texto]", "[Cores]"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    for (int row = 1; row <= RowCount; ++row)
        EXPECT_EQ(Stored("Tarvio", "P" + std::to_string(row)), "9999");
    EXPECT_EQ(Stored("Hora_Muda", "Hora"), "0");
    EXPECT_EQ(Stored("Hora_Muda", "Minuto"), "0");
}

TEST_F(WindowLink, HourOutsideTheListLeavesItEmptyAndSavesMinusOne)
{
    TBoardIni ini;
    ini.Hora = "25";
    ini.Minuto = "-3";
    WriteIni(ini);
    TForm1& form = ShowForm();
    EXPECT_EQ(form.CB1->currentIndex(), -1);
    EXPECT_EQ(form.CB1->currentText(), "");
    EXPECT_EQ(form.CB2->currentIndex(), -1);
    EXPECT_TRUE(form.close());
    EXPECT_EQ(Stored("Hora_Muda", "Hora"), "-1");
    EXPECT_EQ(Stored("Hora_Muda", "Minuto"), "-1");

    Create().show();
    EXPECT_EQ(Form->CB1->currentIndex(), -1);
}

TEST_F(WindowLink, StoredPricesAreFittedToTheFieldAndSavedAsTheFieldReads)
{
    TBoardIni ini;
    ini.Prices[0] = "12345";
    ini.Prices[1] = "7";
    WriteIni(ini);
    TForm1& form = ShowForm();
    EXPECT_EQ(form.P1->Text(), "1234");
    EXPECT_EQ(form.P2->Text(), "7   ");
    EXPECT_TRUE(form.close());
    const std::string text = IniText();
    EXPECT_NE(text.find("P1=1234\n"), std::string::npos);
    EXPECT_NE(text.find("P2=7   \n"), std::string::npos);
}

struct PortForm {
    const char* Stored;
    int Port;
};

class PortNumberForms : public WindowTest, public ::testing::WithParamInterface<PortForm> {};

TEST_P(PortNumberForms, AsTheWindowReadsThem)
{
    TBoardIni ini;
    ini.Port = GetParam().Stored;
    WriteIni(ini);
    PromptAnswer = 9;
    Line.Attach(GetParam().Port == 0 ? 9 : GetParam().Port);
    TForm1& form = ShowForm();
    EXPECT_EQ(form.Settings().PortNumber & 0xFFFF, GetParam().Port);
    EXPECT_TRUE(form.Port1->Open());
    if (GetParam().Port == 0) {
        EXPECT_EQ(PromptCount, 1) << "port 0 asks for a port";
        EXPECT_EQ(form.Port1->ComNumber(), 9);
    } else {
        EXPECT_EQ(PromptCount, 0);
        EXPECT_EQ(form.Port1->ComNumber(), GetParam().Port);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, PortNumberForms,
                         ::testing::Values(PortForm{"16", 16}, PortForm{"0x10", 16},
                                           PortForm{"$10", 16}, PortForm{"x10", 16},
                                           PortForm{"0X1f", 31}, PortForm{"65539", 3},
                                           PortForm{"COM3", 0}, PortForm{"3a", 0},
                                           PortForm{"", 0}));

} // namespace
} // namespace tarvio::test
