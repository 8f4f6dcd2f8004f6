#pragma once
// A main window under test: its settings file in a fresh folder, recorded
// message boxes and posted calls, a fixed clock, a port prompt and a device
// opener that the test answers.

#include "app/main_window.h"
#include "framework/local_time.h"
#include "platform/window.h"
#include "tests/app/link_double.h"
#include "tests/framework/recording_services.h"
#include "tests/support/temp_dir.h"

#include <QMetaObject>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>

namespace tarvio::test {

// The text of a settings file.
struct TBoardIni {
    std::string Port = "3";
    TRowTexts Prices{"1234", "0999", "0000", "1500", "2000", "3000", "4000", "5000"};
    std::string Hora = "7";
    std::string Minuto = "30";
    TRowTexts Captions{"Gasolina", "Gasóleo", "Gasolina 98", "GPL",
                       "AdBlue",   "Lavagem", "Aspirador",   "Óleo"};
    TRowTexts Colours{"Vazio", "Vazio", "Vazio", "Vazio", "Vazio", "Vazio", "Vazio", "Vazio"};

    std::string Text() const
    {
        std::ostringstream out;
        out << "[Porta]\nPort=" << Port << "\n\n[Tarvio]\n";
        for (int row = 0; row < RowCount; ++row) out << "P" << row + 1 << "=" << Prices[row] << "\n";
        out << "\n[Hora_Muda]\nHora=" << Hora << "\nMinuto=" << Minuto << "\n\n[Texto]\n";
        for (int row = 0; row < RowCount; ++row)
            out << "Des" << row + 1 << "=" << Captions[row] << "\n";
        out << "\n[Cores]\n";
        for (int row = 0; row < RowCount; ++row) out << "Cor" << row + 1 << "=" << Colours[row] << "\n";
        return out.str();
    }
};

class WindowTest : public ::testing::Test {
protected:
    WindowTest()
    {
        kivo::win::SetMainThread();
        std::filesystem::create_directory(Folder());
        Line.Attach(3);
        App.SetPortPrompt([this] {
            ++PromptCount;
            return PromptAnswer;
        });
    }

    std::filesystem::path Folder() const { return Dir.Path() / "board"; }
    std::string IniPath() const { return (Folder() / "tarvio.ini").string(); }
    void WriteIni(const std::string& text) const { Dir.Write("board/tarvio.ini", text); }
    void WriteIni(const TBoardIni& ini) const { WriteIni(ini.Text()); }
    std::string IniText() const { return Dir.Read("board/tarvio.ini"); }
    bool IniExists() const { return std::filesystem::exists(IniPath()); }
    // Every later save then fails.
    void RemoveFolder() const { std::filesystem::remove_all(Folder()); }

    TForm1& Create()
    {
        Form = std::make_unique<TForm1>(IniPath());
        Line.CountOpenings(*Form->Port1);
        return *Form;
    }

    TForm1& ShowForm()
    {
        Create();
        Form->show();
        return *Form;
    }

    // What the sign got on COM3; waits for at least atLeast frames.
    const std::vector<std::string>& Sent(std::size_t atLeast = 0) { return Line.Frames(3, atLeast); }

    std::vector<std::string> ErrorsShown()
    {
        Services.RunPosted();
        return Services.BoxTexts();
    }

    // The sign sends packet on COM3; true once the window's packet handler
    // has run (it always rewrites status panel 0).
    bool Deliver(const std::string& packet) { return DeliverThrough(*Form->KivDataPacket1, packet); }

    template <typename TPacket>
    bool DeliverThrough(TPacket& dataPacket, const std::string& packet)
    {
        // The stand-in body frames nothing and takes the packet directly;
        // the real one gets it over the line and calls the handler through
        // this thread's queue.
        if constexpr (requires(TPacket& p, const std::string& s) { p.DeliverStringPacket(s); }) {
            return dataPacket.DeliverStringPacket(packet);
        } else {
            const QString waiting = "<waiting>";
            Form->SB1->SetPanelText(0, waiting);
            Line.SendFromSign(3, packet);
            return kivo::test::WaitUntil(
                std::chrono::seconds(5), [&] { return Form->SB1->PanelText(0) != waiting; },
                TSignLine::ServeMessages);
        }
    }

    // One tick of a timer, through the window's own connection.
    static void Tick(QTimer* timer)
    {
        ASSERT_TRUE(QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection));
    }

    TSignLine Line;
    kivo::test::TempDir Dir{"tarvio-window"};
    kivo::test::TRecordingServices Services;
    kivo::TApplication App{Services};
    kivo::TApplicationScope Scope{App};
    kivo::TFixedClock Clock{{2024, 3, 5, 7, 29, 58, 0}};
    kivo::TClockScope ClockScope{Clock};
    std::unique_ptr<TForm1> Form;

    int PromptCount = 0;
    std::optional<int> PromptAnswer;
};

inline const std::string ExampleFrame = "@12340999000015002000300040005000*";

inline std::string StatusPacket(char separator = ' ', const std::string& tag = "@ALIVE-",
                                const std::string& status = "OK1")
{
    std::string packet = tag;
    for (const char* price : {"1234", "0999", "0000", "1500", "2000", "3000", "4000", "5000"})
        packet += std::string(price) + separator;
    return packet + status + "*";
}

} // namespace tarvio::test
