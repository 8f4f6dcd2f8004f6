#pragma once
// The application services on Qt: QMessageBox for the modal box, captioned
// with the application's name (a display name would be appended by Qt to
// every caption, so the program sets none), queued calls on the application
// object for posting, QCoreApplication::exit for termination, the keyboard
// state the window system reports for Ctrl.
// TQtApplication owns the services and the TApplication built on them and
// installs that as the application in force for its lifetime. Create it on
// the main thread after the QApplication, and drop it before that.

#include "framework/application.h"

namespace kivo::qt {

class TQtApplicationServices final : public TApplicationServices {
public:
    void ShowMessageBox(const std::string& text, TMessageKind kind) override;
    void Post(std::function<void()> call) override;
    void Quit() override;
    bool CtrlKeyDown() override;
    void Beep() override;
};

class TQtApplication {
public:
    TQtApplication();

    TApplication& Application() noexcept { return Instance; }

private:
    TQtApplicationServices Services;
    TApplication Instance{Services};
    TApplicationScope Scope{Instance};
};

} // namespace kivo::qt
