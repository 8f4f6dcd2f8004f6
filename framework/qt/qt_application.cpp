// The Qt side of the application services.

#include "framework/qt/qt_application.h"

#include "platform/utf8.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QString>
#include <QThread>

#include <cstdlib>
#include <cwchar>
#include <string_view>

namespace kivo::qt {

namespace {

// The program's texts are UTF-8, but a file name in them is the bytes the
// file system holds, and a desktop in a single-byte locale (pt_PT
// ISO-8859-1) wrote those in its own character set: a byte that begins no
// UTF-8 character is read in that set, where Qt would show a replacement
// character for it.
QString DisplayText(const std::string& text)
{
    if (MB_CUR_MAX != 1) return QString::fromStdString(text);
    QString shown;
    shown.reserve(static_cast<qsizetype>(text.size()));
    std::string_view rest = text;
    while (!rest.empty()) {
        TUtf8Char decoded = DecodeUtf8(rest);
        if (decoded.Length > 0) {
            shown += QString::fromUcs4(&decoded.Char, 1);
            rest.remove_prefix(decoded.Length);
            continue;
        }
        std::mbstate_t state{};
        wchar_t wide = 0;
        const std::size_t used = std::mbrtowc(&wide, rest.data(), 1, &state);
        const char32_t c = used == 1 ? static_cast<char32_t>(wide) : U'\uFFFD';
        shown += QString::fromUcs4(&c, 1);
        rest.remove_prefix(1);
    }
    return shown;
}

}  // namespace

void TQtApplicationServices::ShowMessageBox(const std::string& text, TMessageKind kind)
{
    QMessageBox box(kind == TMessageKind::mkError ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QCoreApplication::applicationName(), DisplayText(text), QMessageBox::Ok,
                    QApplication::activeWindow());
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
