#pragma once
// TForm1, the program's one window: eight rows of caption panel, price field
// and readback label, the schedule and test controls, the status bar, and the
// non-visual parts it owns (the serial port, the data packet, two timers). It
// loads the settings at first show, opens the port before every
// transmission, checks the sign's status packets and saves the settings.
// Everything runs on the main thread; the serial stack calls the packet
// handler there too.

#include "app/board_controls.h"
#include "app/board_settings.h"
#include "app/mask_edit.h"
#include "framework/component.h"
#include "framework/local_time.h"
#include "serial/packet/data_packet.h"
#include "serial/port/com_port.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <array>
#include <exception>
#include <optional>
#include <string>

namespace tarvio {

inline constexpr const char* OpeningFailureText =
    "Erro ao abrir porta de comunicações. Verifique se a porta configurada existe.";
// In the status bar after a save on close failed: the window stayed open.
inline constexpr const char* UnsavedOnCloseText =
    "Preços não guardados. Feche outra vez para sair sem os guardar.";

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // settingsPath: the program passes the file beside its executable.
    explicit TForm1(std::string settingsPath, QWidget* parent = nullptr);
    ~TForm1() override;

    // Rows (PP caption panel, P price field, L readback label).
    TPanel *PP1{}, *PP2{}, *PP3{}, *PP4{}, *PP5{}, *PP6{}, *PP7{}, *PP8{};
    TMaskEdit *P1{}, *P2{}, *P3{}, *P4{}, *P5{}, *P6{}, *P7{}, *P8{};
    TLabel *L1{}, *L2{}, *L3{}, *L4{}, *L5{}, *L6{}, *L7{}, *L8{};

    TLabel* Label1{};
    TLabel* Label2{};
    TLabel* Test{};
    TPanel* Panel1{};
    QPushButton* Button1{};
    QFrame* Panel2{};
    TLabel* Label6{};
    TLabel* Label4{};
    TLabel* Label5{};
    TLabel* Label3{};
    QComboBox* CB1{};
    QComboBox* CB2{};
    QCheckBox* CB3{};
    QPushButton* Button3{};
    TStatusBar* SB1{};

    QTimer* Timer1{};
    QTimer* Timer2{};
    kivo::TKivComPort* Port1{};
    kivo::TKivDataPacket* KivDataPacket1{};

    // Handlers, under the window's own names. Those the toolkit calls are
    // wrapped so that an exception reaches the general error handler.
    void FormShow();
    void FormClose();
    void AbrirPorta();
    void Escreve();
    void KivDataPacket1StringPacket(kivo::TObject* sender, const std::string& data);
    // A stray "@" whose "*" never comes times the packet out and leaves it
    // disabled; enabling it again here keeps later status packets coming.
    void KivDataPacket1Timeout(kivo::TObject* sender);
    // The reopen the port made once a close held back by a delivery had
    // finished failed, or the frame held for it was refused: Send had
    // already returned, counting the frame as sent.
    void Port1ReopenFailure(kivo::TObject* sender, std::exception_ptr error, bool opened);
    void Button1Click();
    void CB3Click();
    void Timer1Timer();
    void Panel1Click();
    void Timer2Timer();
    void Button3Click();
    // A shutdown, Ctrl-C or a closed terminal: save as a close does, but
    // leave whatever comes of it, since nobody may be there to answer.
    void EndOnSignal();
    // The exit status a signal ended the program with, after its save.
    std::optional<int> EndedBySignal() const noexcept { return SignalExit; }

    const BoardSettings& Settings() const noexcept { return Board; }
    const std::string& SettingsPath() const noexcept { return SettingsFile; }
    bool TestMode() const noexcept { return TestModeOn; }
    int TestCounter() const noexcept { return Counter; }

    std::array<TPanel*, RowCount> CaptionPanels() const;
    std::array<TMaskEdit*, RowCount> PriceFields() const;
    std::array<TLabel*, RowCount> ReadbackLabels() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void CreateRows();
    void CreateRightColumn();
    void CreateComponents();
    void SetTabOrder();
    void Connect();
    void LayOutRows();
    TRowTexts CurrentPrices() const;
    // The send procedure: reopen the port, then hand the frame over if it is
    // open. False when nothing was sent.
    bool Send(const std::string& frame);
    bool TransmissionBlocked() const;
    void ReportOpeningFailure(std::exception_ptr failure);
    void ReportUnreadableSettings(const std::string& failure);

    std::string SettingsFile;
    BoardSettings Board;
    kivo::TComponent Components{nullptr};  // owns Port1 and KivDataPacket1
    bool Shown = false;
    bool InFirstShow = false;
    bool OpeningPort = false;
    bool OpeningErrorShown = false;
    bool TestModeOn = false;
    // A save on close failed and the status bar says that closing again
    // leaves without saving; a later save that works takes it back.
    bool ToldCloseLeavesUnsaved = false;
    int Counter = 0;
    // The schedule has looked at the clock up to here: from the arming, or
    // the last tick that was not held back.
    kivo::TLocalDateTime ScheduleSeenUpTo;
    // The schedule's frame waits for a reopen held back by a delivery: the
    // clock it was due at, shown again should that frame never go out.
    std::optional<QString> ScheduleFrameHeldAt;
    std::optional<int> SignalExit;
};

} // namespace tarvio
