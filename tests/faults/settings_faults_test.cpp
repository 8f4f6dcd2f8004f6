// The settings file under the window going wrong: a folder and file that
// stop being writable, files of garbage, very long lines, doubled and
// missing sections, something that is not a file at all, and what the
// program leaves behind it on disk.

#include "platform/profile.h"
#include "tests/app/window_fixture.h"
#include "tests/soak/soak_rig.h"

#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>

namespace tarvio::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::size_t TextLimit = 2047;

// Permissions put back however the test ends, so the folder can be removed.
class TModeGuard {
public:
    TModeGuard(fs::path path, fs::perms mode)
        : Path(std::move(path)), Old(fs::status(Path).permissions())
    {
        fs::permissions(Path, mode);
    }
    ~TModeGuard() { Restore(); }
    void Restore()
    {
        std::error_code ignored;
        fs::permissions(Path, Old, ignored);
    }

private:
    fs::path Path;
    fs::perms Old;
};

constexpr fs::perms ReadOnly = fs::perms::owner_read | fs::perms::owner_exec |
                               fs::perms::group_read | fs::perms::group_exec;

class SettingsFaults : public WindowTest {
protected:
    void TearDown() override { Form.reset(); }

    // The window's packet handler has run once more.
    bool Answered(TForm1& form, const std::string& packet = StatusPacket())
    {
        return Deliver(packet) && form.SB1->PanelText(0) == "Dados OK";
    }

    std::vector<std::string> FolderEntries() const
    {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(Folder()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    void Type(TMaskEdit* field, const char* digits)
    {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, digits);
    }
};

TEST_F(SettingsFaults, ReadOnlySettingsAreReportedAndTheWindowGoesOn)
{
    WriteIni(TBoardIni{});
    const std::string original = IniText();
    TForm1& form = ShowForm();

    // A read-only folder alone still lets the file itself be rewritten.
    {
        TModeGuard folder(Folder(), ReadOnly);
        ASSERT_TRUE(Answered(form));
        EXPECT_TRUE(ErrorsShown().empty());
        EXPECT_EQ(IniText(), original) << "the same prices, saved in place";
    }

    TModeGuard folder(Folder(), ReadOnly);
    TModeGuard file(IniPath(), fs::perms::owner_read | fs::perms::group_read);
    form.P1->SetText("4321");
    ASSERT_TRUE(Answered(form, StatusPacket(' ', "@ALIVE-", "RO1")));
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Unable to write to " + IniPath()});
    EXPECT_EQ(form.SB1->PanelText(1), "RO1") << "the packet was still shown";
    EXPECT_EQ(IniText(), original);

    // Still usable: a transmission goes out, the next packet is shown and
    // reported again, and closing is refused rather than losing the prices.
    form.Button1Click();
    EXPECT_EQ(Sent(1), std::vector<std::string>{"@43210999000015002000300040005000*"});
    ASSERT_TRUE(Answered(form, StatusPacket(' ', "@ALIVE-", "RO2")));
    EXPECT_EQ(form.SB1->PanelText(1), "RO2");
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(ErrorsShown().size(), 3u);
    EXPECT_FALSE(App.Terminated());
    EXPECT_EQ(IniText(), original);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"tarvio.ini"}) << "a temporary was left";

    // Writable again: the next save changes the one price and nothing else.
    file.Restore();
    folder.Restore();
    EXPECT_TRUE(form.close());
    std::string expected = original;
    expected.replace(expected.find("P1=1234"), 7, "P1=4321");
    EXPECT_EQ(IniText(), expected);
}

// Bytes of every value but "[" (so no section can start) and the line ends
// the reader splits on, in lines of random length.
std::string Garbage(std::size_t size)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> lineEnd(0, 40);
    std::string text;
    while (text.size() < size) {
        char c = static_cast<char>(byte(random));
        if (c == '[') continue;
        text += c;
        if (lineEnd(random) == 0) text += '\n';
    }
    return text + "\n";
}

TEST_F(SettingsFaults, BinaryGarbageGivesTheDefaultsAndIsKeptByteForByte)
{
    const std::string garbage = Garbage(64 * 1024);
    WriteIni(garbage);
    PromptAnswer = 3;
    TForm1& form = ShowForm();
    EXPECT_EQ(PromptCount, 1) << "no port number was found in garbage";
    EXPECT_TRUE(form.Port1->Open());
    for (TPanel* caption : form.CaptionPanels()) EXPECT_TRUE(caption->isHidden());
    EXPECT_EQ(form.P1->Text(), "9999");

    form.P8->SetText("0007");
    EXPECT_TRUE(form.close());
    const std::string saved = IniText();
    ASSERT_GE(saved.size(), garbage.size());
    EXPECT_EQ(saved.compare(0, garbage.size(), garbage), 0) << "the garbage was changed";
    EXPECT_EQ(kivo::win::GetPrivateProfileString("Tarvio", "P8", "", 2048, IniPath()), "0007");
}

TEST_F(SettingsFaults, WindowsFileShowsItsAccentsAndKeepsItsBytesAndLineEnds)
{
    // Windows-1252 with CRLF line ends, as the Windows installation left it.
    const std::string head = "; pre\xE7os do painel\r\n[Porta]\r\nPort=3\r\n[Tarvio]\r\nP1=";
    const std::string tail = "\r\nP2=\xE9" "999\r\nP3=0000\r\nP4=0000\r\nP5=0000\r\nP6=0000\r\nP7=0000\r\n"
                             "P8=0000\r\n"
                             "[Texto]\r\nDes1=Gas\xF3leo\r\nDes2=\xC1gua\r\n[Cores]\r\nCor1=Azul\r\n";
    WriteIni(head + "1234" + tail);
    TForm1& form = ShowForm();
    EXPECT_EQ(form.CaptionPanels()[0]->text(), QString::fromUtf8("Gasóleo"));
    EXPECT_EQ(form.CaptionPanels()[1]->text(), QString::fromUtf8("Água"));

    form.Button1Click();
    ASSERT_EQ(Sent(1).size(), 1u);
    EXPECT_EQ(Sent()[0], "@1234\xE9" "999000000000000000000000000*") << "one byte per price character";

    form.P1->SetText("4321");
    ASSERT_TRUE(Answered(form));
    EXPECT_EQ(IniText(), head + "4321" + tail + "\r\n[Hora_Muda]\r\nHora=0\r\nMinuto=0\r\n");
}

TEST_F(SettingsFaults, VeryLongLinesAreReadUpToTheLimitAndKept)
{
    const std::string huge(1 << 20, 'x');
    TBoardIni ini;
    ini.Captions[0] = huge;
    ini.Prices[1] = "5678" + huge;
    ini.Colours[2] = huge;
    const std::string text = "; " + huge + "\n" + huge + "=" + huge + "\n" + ini.Text();
    WriteIni(text);
    TForm1& form = ShowForm();
    EXPECT_EQ(form.PP1->text().size(), static_cast<qsizetype>(TextLimit));
    EXPECT_EQ(form.Settings().Captions[0].size(), TextLimit);
    EXPECT_EQ(form.Settings().Colours[2].size(), TextLimit);
    EXPECT_EQ(form.P2->Text(), "5678");
    EXPECT_TRUE(form.Port1->Open());

    EXPECT_TRUE(form.close());
    std::string expected = text;
    expected.replace(expected.find("P2=5678" + huge), 7 + huge.size(), "P2=5678");
    EXPECT_EQ(IniText(), expected);
}

TEST_F(SettingsFaults, DoubledSectionsAreReadAndWrittenInTheFirstAndTheRestIsKept)
{
    const std::string text = "[Tarvio]\nP1=1111\n[Porta]\nPort=3\n"
                             "[Texto]\nDes1=Gasolina\n"
                             "[tarvio]\nP1=2222\nP2=2222\n"
                             "[Texto]\nDes1=Second\nDes2=Second\n"
                             "[Porta]\nPort=9\n";
    WriteIni(text);
    TForm1& form = ShowForm();
    EXPECT_EQ(form.P1->Text(), "1111");
    EXPECT_EQ(form.P2->Text(), "9999") << "a key of the second section was read";
    EXPECT_EQ(form.PP1->text(), "Gasolina");
    EXPECT_TRUE(form.PP2->isHidden());
    EXPECT_EQ(form.Port1->ComNumber(), 3);

    form.P1->SetText("3333");
    EXPECT_TRUE(form.close());
    const std::string expected = "[Tarvio]\nP1=3333\nP2=9999\nP3=9999\nP4=9999\nP5=9999\n"
                                 "P6=9999\nP7=9999\nP8=9999\n[Porta]\nPort=3\n"
                                 "[Texto]\nDes1=Gasolina\n"
                                 "[tarvio]\nP1=2222\nP2=2222\n"
                                 "[Texto]\nDes1=Second\nDes2=Second\n"
                                 "[Porta]\nPort=9\n"
                                 "\n[Hora_Muda]\nHora=0\nMinuto=0\n";
    EXPECT_EQ(IniText(), expected);

    Create().show();
    EXPECT_EQ(Form->P1->Text(), "3333") << "what was saved is what is read back";
}

TEST_F(SettingsFaults, MissingSectionsGiveTheirDefaultsAndAreAddedAtTheEnd)
{
    const std::string text = "; only captions\r\n[Texto]\r\nDes1=Gasolina\r\n[Cores]\r\nCor1=Azul";
    WriteIni(text);
    PromptAnswer = 3;
    TForm1& form = ShowForm();
    EXPECT_EQ(PromptCount, 1);
    EXPECT_EQ(form.PP1->text(), "Gasolina");
    EXPECT_EQ(form.P1->Text(), "9999");
    EXPECT_EQ(form.CB1->currentIndex(), 0);
    EXPECT_TRUE(form.close());
    const std::string saved = IniText();
    ASSERT_EQ(saved.compare(0, text.size(), text), 0);
    EXPECT_EQ(saved.substr(text.size()),
              "\r\n\r\n[Tarvio]\r\nP1=9999\r\nP2=9999\r\nP3=9999\r\nP4=9999\r\nP5=9999\r\n"
              "P6=9999\r\nP7=9999\r\nP8=9999\r\n\r\n[Hora_Muda]\r\nHora=0\r\nMinuto=0\r\n");
}

TEST_F(SettingsFaults, SettingsPathThatIsNoFileNeitherHangsNorIsReplaced)
{
    ASSERT_EQ(::mkfifo(IniPath().c_str(), 0600), 0);
    // Bounded: should the read block on the pipe, opening its other end
    // lets it go and the test fails instead of hanging.
    auto read = std::async(std::launch::async, [this] { return ReadBoardSettings(IniPath()); });
    const bool prompt = read.wait_for(2s) == std::future_status::ready;
    for (int i = 0; i < 500 && read.wait_for(0s) != std::future_status::ready; ++i) {
        int fd = ::open(IniPath().c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(prompt) << "reading a pipe as the settings file hung";
    EXPECT_EQ(read.get().Prices[0], "9999");

    PromptAnswer = 3;
    TForm1& form = ShowForm();
    EXPECT_EQ(form.P1->Text(), "9999");
    EXPECT_FALSE(form.close());
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Unable to write to " + IniPath()});
    EXPECT_TRUE(fs::is_fifo(IniPath())) << "the pipe was replaced by a file";
}

TEST_F(SettingsFaults, AWholeSessionWritesNothingButItsSettingsFile)
{
    // The trace and log names are relative: were either written, it would
    // be into the current folder.
    kivo::test::TempDir cwd("tarvio-cwd");
    const fs::path previous = fs::current_path();
    fs::current_path(cwd.Path());
    struct TBack {
        fs::path Path;
        ~TBack() { fs::current_path(Path); }
    } back{previous};

    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    ASSERT_TRUE(Answered(form));
    // Each frame is let out before the next transmission closes the port.
    form.Button1Click();
    ASSERT_EQ(Sent(1).size(), 1u);
    Services.Ctrl = true;
    form.Panel1Click();
    Tick(form.Timer2);
    ASSERT_EQ(Sent(2).size(), 2u);
    form.Panel1Click();
    Services.Ctrl = false;
    ASSERT_EQ(Sent(3).size(), 3u);
    EXPECT_TRUE(form.close());

    EXPECT_TRUE(fs::is_empty(cwd.Path()));
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"tarvio.ini"});
}

} // namespace
} // namespace tarvio::test
