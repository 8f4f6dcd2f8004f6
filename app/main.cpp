// Start-up: the toolkit, the application services bound to it, the one main
// window, the message loop.

#include "app/board_settings.h"
#include "app/main_window.h"
#include "app/program_output.h"
#include "framework/qt/message_pump.h"
#include "framework/qt/qt_application.h"
#include "framework/qt/termination_signals.h"
#include "platform/app_paths.h"
#include "serial/port/port_select.h"

#include <QApplication>
#include <QIcon>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string_view>

namespace {

constexpr int FailedExit = 1;
constexpr const char* AlreadyOpenText = "O Tarvio já está aberto.";

bool Set(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

// Without a display Qt aborts with a core dump and advice to reinstall; whoever
// started the program from a terminal (over ssh, say) needs to hear what is missing.
bool NoDisplay(int argc, char* argv[])
{
    // Qt's own options name the platform or the X display, with "--" too.
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (option.starts_with("--")) option.remove_prefix(1);
        if (option == "-platform" || option == "-display") return false;
    }
    const char* session = std::getenv("XDG_SESSION_TYPE");
    return !Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY") &&
           !(session && std::strcmp(session, "wayland") == 0);
}

std::string SettingsPathOfThisCopy(const char* argv0)
{
    std::filesystem::path executable = kivo::win::ExecutablePath();
    if (executable.empty()) executable = std::filesystem::absolute(argv0);
    return tarvio::SettingsPathFor(executable);
}

// Only the program's own options: every other argument is Qt's to take.
// Answered before Qt starts, so they need no display.
std::optional<int> AnswerOwnOption(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (option == "-h" || option == "--help") {
            std::cout << "Usage: tarvio [Qt options such as -display DISPLAY]\n\n"
                         "Keeps the eight prices of the price board and sends them to the sign\n"
                         "over a serial line. This copy keeps its settings (the prices, the\n"
                         "schedule, the sign's COM number under [Porta] Port) in\n  "
                      << SettingsPathOfThisCopy(argv[0])
                      << "\ntarvio-ports lists the serial ports and the COM numbers they answer to.\n\n"
                         "  -h, --help     this text\n"
                         "      --version  the version\n\n"
                         "See tarvio(1).\n";
            return 0;
        }
        if (option == "--version") {
            std::cout << "tarvio " TARVIO_VERSION "\n";
            return 0;
        }
        if (option == "--") break;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char* argv[])
{
    if (std::optional<int> answered = AnswerOwnOption(argc, argv)) return *answered;
    if (NoDisplay(argc, argv)) {
        tarvio::SayOnStandardError(
            "no display to open the window on (DISPLAY is not set); start it from the desktop");
        return FailedExit;
    }
    // A write past a file size limit (ulimit -f) would end the program, in the
    // middle of a save; ignored, the write fails and the save says why.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    // The name, not a display name: Qt would append a display name to every
    // window's caption as the window manager shows it.
    QApplication::setApplicationName("Tarvio");
    // Lets the desktop match the window to its menu entry (the Wayland app id
    // and the X11 hints); the icon is for window managers that ask the window.
    QApplication::setDesktopFileName("tarvio");
    QApplication::setWindowIcon(QIcon(":/tarvio.png"));
    kivo::qt::TQtApplication application;
    // The serial stack's messages and synchronised calls reach this thread
    // through its queue; the pump serves it from Qt's loop.
    kivo::qt::TMessagePump pump;
    // A port opened with number 0 asks the operator through the selection dialog.
    application.Application().SetPortPrompt([] { return kivo::PromptForComPort(); });

    // The path as the system has it: Qt answers with nothing for a folder
    // whose name is not UTF-8 (one unpacked from a Windows archive).
    std::filesystem::path executable = kivo::win::ExecutablePath();
    if (executable.empty())
        executable = QCoreApplication::applicationFilePath().toStdString();
    const std::string settings = tarvio::SettingsPathFor(executable);
    // A second window on the same settings would find the port held by the
    // first and send the operator to check it, or, asking for a port (Port=0),
    // run on another one beside the first, each saving its prices over the
    // other's.
    if (!kivo::win::ClaimForThisProcess(settings)) {
        tarvio::SayOnStandardError("another Tarvio is already open on " + settings +
                                   "; use that window");
        application.Application().MessageBox(AlreadyOpenText);
        return FailedExit;
    }
    tarvio::TForm1 form(settings);
    // Without it a logout would end the program unsaved. Nothing has been
    // read or sent yet: the program ends, saying why.
    std::optional<kivo::qt::TTerminationSignals> termination;
    try {
        termination.emplace([&form](int) { form.EndOnSignal(); });
    } catch (const std::exception& error) {
        tarvio::SayOnStandardError(error.what());
        application.Application().MessageBox(error.what(), kivo::TMessageKind::mkError);
        return FailedExit;
    }
    form.show();
    // The program ends on request only when the port could not be opened or
    // the settings read: whoever started it hears of the failure. At first
    // show the request comes before the loop runs, which would not see it.
    if (std::optional<int> status = form.EndedBySignal()) return *status;
    if (application.Application().Terminated()) return FailedExit;
    const int status = app.exec();
    if (std::optional<int> signalled = form.EndedBySignal()) return *signalled;
    return application.Application().Terminated() ? FailedExit : status;
}
