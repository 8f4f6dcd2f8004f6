// The Qt side of the application services.

#include "framework/qt/qt_application.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QString>
#include <QThread>

namespace kivo::qt {

void TQtApplicationServices::ShowMessageBox(const std::string& text, TMessageKind kind)
{
    QMessageBox box(kind == TMessageKind::mkError ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QCoreApplication::applicationName(), QString::fromStdString(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

void TQtApplicationServices::Post(std::function<void()> call)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(call), Qt::QueuedConnection);
}

void TQtApplicationServices::Quit()
{
    // Not quit(): since Qt 6 that closes the windows first, and a requested
    // termination must end the loop without running the close handlers.
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() == app->thread()) {
        QCoreApplication::exit(0);
        return;
    }
    QMetaObject::invokeMethod(app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

bool TQtApplicationServices::CtrlKeyDown()
{
    // Asked of the window system, not taken from the last input event: the
    // state that counts is the one when the click is handled.
    return QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier);
}

void TQtApplicationServices::Beep()
{
    QApplication::beep();
}

TQtApplication::TQtApplication() = default;

} // namespace kivo::qt
