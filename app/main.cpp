// Start-up: the toolkit, the application services bound to it, the one main
// window, the message loop.

#include "app/board_settings.h"
#include "app/main_window.h"
#include "framework/qt/qt_application.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName("Tarvio");
    kivo::qt::TQtApplication application;

    tarvio::TForm1 form(
        tarvio::SettingsPathFor(QCoreApplication::applicationFilePath().toStdString()));
    form.show();
    // A failed opening at first show asks to end before the loop runs; the
    // loop would not see that request.
    if (application.Application().Terminated()) return 0;
    return app.exec();
}
