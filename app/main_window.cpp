// The main window: its controls as designed, the first show, the port
// opening, the save routine, the status packet and the transmission triggers.

#include "app/main_window.h"

#include "app/board_layout.h"
#include "app/board_link.h"
#include "app/program_output.h"
#include "framework/application.h"
#include "framework/flag_restore.h"
#include "framework/local_time.h"
#include "serial/errors/exceptions.h"
#include "serial/port/port_probe.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace tarvio {

namespace {

const QColor Red(255, 0, 0);
const QColor Black(0, 0, 0);
const QColor White(255, 255, 255);
const QColor Green(0, 128, 0);
const QColor Blue(0, 0, 255);
const QColor Silver(192, 192, 192);

constexpr std::array<int, RowCount> PriceFieldWidths{56, 58, 58, 58, 54, 55, 57, 57};

// Tahoma and "Arial Rounded MT Bold" are seldom installed here. Where they
// are missing, Liberation Sans stands in (its widths, Arial's, come within a
// few pixels of Tahoma's and keep four digits inside the narrowest price
// field), then DejaVu Sans; the rounded face becomes bold Liberation Sans.
// Only a face that is really installed may come first: the font
// configuration answers for a missing Tahoma with DejaVu Sans, which is far
// wider.
QStringList FamiliesFor(const QString& designed)
{
    QStringList families{"Liberation Sans", "DejaVu Sans"};
    if (QFontDatabase::hasFamily(designed)) families.prepend(designed);
    return families;
}

QFont TahomaFont(int pixelHeight, bool bold = false)
{
    QFont font;
    font.setFamilies(FamiliesFor("Tahoma"));
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

QFont RoundedFont(int pixelHeight)
{
    QFont font;
    font.setFamilies(FamiliesFor("Arial Rounded MT Bold"));
    font.setPixelSize(pixelHeight);
    font.setBold(true);
    return font;
}

void SetTextColour(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    palette.setColor(QPalette::ButtonText, colour);
    widget->setPalette(palette);
}

// The window's texts have fixed colours (black, red, green, blue, and black
// price digits) chosen for a light face. A dark desktop theme would put them
// on dark grey, the prices black on black: the window then keeps the style's
// own light colours, as it has on a light desktop.
QPalette WindowPalette()
{
    QPalette system = QApplication::palette();
    if (system.color(QPalette::Button).lightness() >= 128) return system;
    return QApplication::style()->standardPalette();
}

QColor ButtonFace()
{
    return WindowPalette().color(QPalette::Button);
}

// Makes the widget's face smaller, a pixel at a time, until fits() holds.
template <typename Fits>
void ShrinkUntil(QWidget* widget, Fits fits)
{
    QFont font = widget->font();
    while (!fits() && font.pixelSize() > 6) {
        font.setPixelSize(font.pixelSize() - 1);
        widget->setFont(font);
    }
}

// The label's text, from its left edge, ends by limit (in its parent).
void FitLabel(TLabel* label, int limit)
{
    ShrinkUntil(label, [&] {
        return label->x() + label->fontMetrics().horizontalAdvance(label->text()) <= limit;
    });
    label->SetText(label->text());
}

template <typename Handler>
void Guarded(Handler&& handler)
{
    try {
        handler();
    } catch (...) {
        kivo::Application().HandleCurrentException();
    }
}

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

TForm1::TForm1(std::string settingsPath, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      SettingsFile(std::move(settingsPath))
{
    setObjectName("Form1");
    setWindowTitle("Tarvio");
    setFixedSize(ClientWidth, DesignedOuterHeight - FrameAndTitleHeight);

    QPalette palette = WindowPalette();
    palette.setColor(QPalette::Window, ButtonFace());
    setPalette(palette);
    setAutoFillBackground(true);
    setFont(TahomaFont(11));
    SetTextColour(this, Red);

    CreateRows();
    CreateRightColumn();
    CreateComponents();
    SetTabOrder();
    Connect();
}

TForm1::~TForm1() = default;

void TForm1::CreateRows()
{
    std::array<TPanel**, RowCount> captions{&PP1, &PP2, &PP3, &PP4, &PP5, &PP6, &PP7, &PP8};
    std::array<TMaskEdit**, RowCount> prices{&P1, &P2, &P3, &P4, &P5, &P6, &P7, &P8};
    std::array<TLabel**, RowCount> readbacks{&L1, &L2, &L3, &L4, &L5, &L6, &L7, &L8};
    for (int row = 0; row < RowCount; ++row) {
        const QString number = QString::number(row + 1);
        const int top = RowTop(row);

        auto* caption = new TPanel(this, TPanel::TBevel::bvRaised);
        caption->setObjectName("PP" + number);
        caption->setGeometry(8, top, 201, 33);
        caption->setFont(TahomaFont(19));
        SetTextColour(caption, White);
        *captions[row] = caption;

        auto* price = new TMaskEdit(this);
        price->setObjectName("P" + number);
        price->setGeometry(216, top, PriceFieldWidths[row], 32);
        price->setFont(RoundedFont(21));
        SetTextColour(price, Black);
        *prices[row] = price;

        auto* readback = new TLabel(this, QRect(296, top, 44, 25), Qt::AlignHCenter);
        readback->setObjectName("L" + number);
        readback->setFont(TahomaFont(21));
        SetTextColour(readback, Green);
        readback->SetText("0000");
        *readbacks[row] = readback;
    }
    // A stand-in face too wide for the fields is made smaller in each to fit
    // (see TMaskEdit); all rows then take the smallest, as they share a size
    // as designed.
    int smallest = P1->font().pixelSize();
    for (TMaskEdit* price : PriceFields()) smallest = std::min(smallest, price->font().pixelSize());
    for (TMaskEdit* price : PriceFields()) {
        QFont font = price->font();
        font.setPixelSize(smallest);
        price->setFont(font);
    }
}

void TForm1::CreateRightColumn()
{
    Label1 = new TLabel(this, QRect(360, 8, 169, 23));
    Label1->setObjectName("Label1");
    Label1->setFont(TahomaFont(19));
    SetTextColour(Label1, Black);
    Label1->SetText("Ultima Comunicação");

    Label2 = new TLabel(this, QRect(360, 32, 52, 16), Qt::AlignHCenter);
    Label2->setObjectName("Label2");
    Label2->setFont(TahomaFont(13));
    SetTextColour(Label2, Black);
    Label2->SetText("00:00:00");

    Test = new TLabel(this, QRect(424, 31, 24, 13));
    Test->setObjectName("Test");
    Test->SetText("0000");
    Test->hide();

    Panel1 = new TPanel(this, TPanel::TBevel::bvNone);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(538, 8, 16, 25);
    Panel1->setFont(TahomaFont(11));
    SetTextColour(Panel1, Silver);
    Panel1->setText("T");

    Button1 = new QPushButton("Acertar Agora", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(360, 48, 185, 33);

    Panel2 = new QFrame(this);
    Panel2->setObjectName("Panel2");
    Panel2->setGeometry(360, 88, 185, 89);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel2->setLineWidth(1);

    Label6 = new TLabel(Panel2, QRect(4, 18, 54, 13));
    Label6->setObjectName("Label6");
    Label6->SetText("Acertar ás:");
    Label4 = new TLabel(Panel2, QRect(109, 19, 7, 13));
    Label4->setObjectName("Label4");
    Label4->SetText("H");
    Label5 = new TLabel(Panel2, QRect(166, 18, 16, 13));
    Label5->setObjectName("Label5");
    Label5->SetText("min");
    Label3 = new TLabel(Panel2, QRect(3, 66, 58, 16), Qt::AlignHCenter);
    Label3->setObjectName("Label3");
    Label3->setFont(TahomaFont(13, true));
    SetTextColour(Label3, Blue);
    Label3->SetText("00:00:00");

    // Created after Panel2 so that they lie above it.
    CB1 = new QComboBox(this);
    CB1->setObjectName("CB1");
    CB1->setGeometry(424, 104, 43, 21);
    for (int hour = 0; hour < 24; ++hour) CB1->addItem(QString::asprintf("%02d", hour));
    CB1->setCurrentIndex(0);

    CB2 = new QComboBox(this);
    CB2->setObjectName("CB2");
    CB2->setGeometry(481, 103, 43, 21);
    for (int minute = 0; minute < 60; ++minute) CB2->addItem(QString::asprintf("%02d", minute));
    CB2->setCurrentIndex(0);

    CB3 = new QCheckBox("Acertar á hora marcada acima", this);
    CB3->setObjectName("CB3");
    CB3->setGeometry(364, 133, 173, 17);

    // A stand-in face wider than the designed ones (DejaVu Sans, where
    // Liberation Sans is missing) would cut the check box's text off and run
    // the labels into their neighbours: those texts are set smaller to fit.
    FitLabel(Label1, Panel1->x());
    FitLabel(Label6, CB1->x() - Panel2->x());
    FitLabel(Label5, Panel2->width() - Panel2->frameWidth());
    ShrinkUntil(CB3, [this] {
        QStyleOptionButton option;
        option.initFrom(CB3);
        option.text = CB3->text();
        QRect room = CB3->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, CB3);
        return CB3->fontMetrics().horizontalAdvance(CB3->text()) <= room.width();
    });

    Button3 = new QPushButton("Sair", this);
    Button3->setObjectName("Button3");
    Button3->setGeometry(360, DesignedSairTop, 185, 33);

    SB1 = new TStatusBar(this, {500, 50});
    SB1->setObjectName("SB1");
    SB1->setGeometry(0, height() - TStatusBar::BarHeight, width(), TStatusBar::BarHeight);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(500);
    Timer2 = new QTimer(this);
    Timer2->setObjectName("Timer2");
    Timer2->setInterval(1000);
}

void TForm1::CreateComponents()
{
    // As the stored description builds them: stored properties while loading,
    // then the end of loading.
    Port1 = new kivo::TKivComPort(&Components);
    Port1->Name = "Port1";
    Port1->BeginLoading();
    Port1->SetComNumber(3);
    Port1->SetBaud(9600);
    Port1->SetTraceName("KIVO.TRC");
    Port1->SetLogName("KIVO.LOG");

    KivDataPacket1 = new kivo::TKivDataPacket(&Components);
    KivDataPacket1->Name = "KivDataPacket1";
    KivDataPacket1->BeginLoading();
    KivDataPacket1->SetEnabled(true);
    KivDataPacket1->SetStartString("@");
    KivDataPacket1->SetEndCond({kivo::TPacketEndCond::ecString});
    KivDataPacket1->SetEndString("*");
    KivDataPacket1->SetPacketSize(0);
    KivDataPacket1->SetComPort(Port1);
    KivDataPacket1->OnStringPacket =
        kivo::TStringPacketNotifyEvent::Of<&TForm1::KivDataPacket1StringPacket>(this);
    KivDataPacket1->OnTimeout = kivo::TNotifyEvent::Of<&TForm1::KivDataPacket1Timeout>(this);
    Port1->OnReopenFailure = kivo::TReopenFailureEvent::Of<&TForm1::Port1ReopenFailure>(this);

    Port1->EndLoading();
    KivDataPacket1->EndLoading();
}

void TForm1::SetTabOrder()
{
    std::array<QWidget*, 13> order{P1, P2, P3, P4, P5, P6, P7, P8, Button1, Button3, CB1, CB2, CB3};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) setTabOrder(order[i], order[i + 1]);
}

void TForm1::Connect()
{
    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { Guarded([this] { Button3Click(); }); });
    connect(CB3, &QCheckBox::toggled, this, [this] { Guarded([this] { CB3Click(); }); });
    connect(Panel1, &TPanel::Clicked, this, [this] { Guarded([this] { Panel1Click(); }); });
    connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });
    connect(Timer2, &QTimer::timeout, this, [this] { Guarded([this] { Timer2Timer(); }); });
}

std::array<TPanel*, RowCount> TForm1::CaptionPanels() const
{
    return {PP1, PP2, PP3, PP4, PP5, PP6, PP7, PP8};
}

std::array<TMaskEdit*, RowCount> TForm1::PriceFields() const
{
    return {P1, P2, P3, P4, P5, P6, P7, P8};
}

std::array<TLabel*, RowCount> TForm1::ReadbackLabels() const
{
    return {L1, L2, L3, L4, L5, L6, L7, L8};
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (Shown) return;
    Shown = true;
    Guarded([this] { FormShow(); });
}

void TForm1::closeEvent(QCloseEvent* event)
{
    try {
        FormClose();
        event->accept();
    } catch (...) {
        // A save that failed keeps the window (and the port) open.
        event->ignore();
        kivo::Application().HandleCurrentException();
    }
}

void TForm1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (SB1) SB1->setGeometry(0, height() - TStatusBar::BarHeight, width(), TStatusBar::BarHeight);
}

void TForm1::FormShow()
{
    kivo::TFlagRestore firstShow(InFirstShow, true);
    if (std::optional<std::string> failure = SettingsReadFailure(SettingsFile)) {
        ReportUnreadableSettings(*failure);
        return;
    }
    Board = ReadBoardSettings(SettingsFile);
    CB1->setCurrentIndex(Board.HourIndex >= 0 && Board.HourIndex < CB1->count() ? Board.HourIndex
                                                                                 : -1);
    CB2->setCurrentIndex(
        Board.MinuteIndex >= 0 && Board.MinuteIndex < CB2->count() ? Board.MinuteIndex : -1);
    LayOutRows();
    std::array<TMaskEdit*, RowCount> fields = PriceFields();
    for (int row = 0; row < RowCount; ++row) fields[row]->SetText(Board.Prices[row]);
    AbrirPorta();
    TestModeOn = false;
}

void TForm1::LayOutRows()
{
    std::array<TPanel*, RowCount> captions = CaptionPanels();
    std::array<TMaskEdit*, RowCount> fields = PriceFields();
    std::array<TLabel*, RowCount> readbacks = ReadbackLabels();
    for (int row = 0; row < RowCount; ++row) captions[row]->setText(Q(Board.Captions[row]));

    TRowLayout layout = ComputeRowLayout(Board.Captions);
    for (int row = 0; row < RowCount; ++row) {
        if (layout.Visible[row]) continue;
        captions[row]->hide();
        fields[row]->hide();
        readbacks[row]->hide();
    }
    setFixedSize(ClientWidth, layout.OuterHeight - FrameAndTitleHeight);
    Button3->move(Button3->x(), layout.SairTop);

    for (int row = 0; row < RowCount; ++row) {
        std::optional<TCaptionColour> colour = CaptionColourFor(Board.Colours[row]);
        if (!colour) continue;
        QPalette palette = captions[row]->palette();
        palette.setColor(QPalette::Window,
                         colour->Background ? QColor(colour->Background->Red,
                                                     colour->Background->Green,
                                                     colour->Background->Blue)
                                            : ButtonFace());
        palette.setColor(QPalette::WindowText, colour->BlackText ? Black : White);
        captions[row]->setPalette(palette);
    }

    if (QScreen* screen = this->screen()) {
        QRect area = screen->availableGeometry();
        TPoint topLeft =
            CentredTopLeft({area.x(), area.y(), area.width(), area.height()}, width(), height());
        move(topLeft.X, topLeft.Y);
    }
}

TRowTexts TForm1::CurrentPrices() const
{
    TRowTexts prices;
    std::array<TMaskEdit*, RowCount> fields = PriceFields();
    for (int row = 0; row < RowCount; ++row) prices[row] = fields[row]->Text();
    return prices;
}

void TForm1::Escreve()
{
    Board.Prices = CurrentPrices();
    WriteBoardState(SettingsFile, Board.Prices, CB1->currentIndex(), CB2->currentIndex());
    ToldCloseLeavesUnsaved = false;
}

void TForm1::FormClose()
{
    try {
        Escreve();
    } catch (const EIniFileException&) {
        // The first failure keeps the window, and the prices typed in it,
        // and says how to leave anyway; a file that cannot be written must
        // not leave the operator with a window that never closes.
        if (!ToldCloseLeavesUnsaved) {
            ToldCloseLeavesUnsaved = true;
            SB1->SetPanelText(0, UnsavedOnCloseText);
            throw;
        }
    }
    Port1->SetOpen(false);
    // The loop still runs the ticks that fall due before it ends; they must
    // not open the port again and send after the close.
    Timer1->stop();
    Timer2->stop();
}

void TForm1::EndOnSignal()
{
    // The loop ends in the pass that takes this exit, and the ticks due in
    // that pass still run: none may open the port again.
    Timer1->stop();
    Timer2->stop();
    // After a failed opening the prices are saved already, or must not be,
    // and the program ends as that failure says.
    if (OpeningErrorShown || kivo::Application().Terminated()) {
        QCoreApplication::exit(1);
        return;
    }
    // Nothing was typed before the first show ends.
    int status = 0;
    if (!InFirstShow) {
        try {
            Escreve();
        } catch (const std::exception& error) {
            SayOnStandardError(error.what());
            status = 1;
        }
    }
    // Kept for main: a port prompt this ends counts as cancelled, which
    // is no failure here, and at first show no loop is running yet.
    SignalExit = status;
    // Every loop ends, a box's or a dialog's too; the port closes with the window.
    QCoreApplication::exit(status);
}

void TForm1::AbrirPorta()
{
    // The port prompt runs a loop of its own, where the timers go on ticking.
    kivo::TFlagRestore opening(OpeningPort, true);
    std::exception_ptr failure;
    try {
        Port1->SetOpen(false);
        Port1->SetComNumber(static_cast<kivo::win::WORD>(Board.PortNumber));
        // A close held back by a delivery reopens only once that ends, out of
        // our reach: the operator chooses the port now, so a Cancel ends here.
        if (Port1->PortPhase() == kivo::TPortPhase::ppClosing) Port1->ValidateComNumber();
        Port1->SetOpen(true);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) ReportOpeningFailure(failure);
}

void TForm1::ReportOpeningFailure(std::exception_ptr failure)
{
    std::optional<kivo::TPortState> trouble;
    // This program out of descriptors or memory: a probe would fail the
    // same way and blame the port.
    bool shortOfResources = false;
    std::string why;
    try {
        std::rethrow_exception(failure);
    } catch (const kivo::EAlreadyOpen&) {
        trouble = kivo::TPortState::psInUse;
    } catch (const kivo::EInOutError& error) {
        if (error.ErrorCode == static_cast<int>(kivo::win::ERROR_ACCESS_DENIED))
            trouble = kivo::TPortState::psNotPermitted;
        shortOfResources =
            error.ErrorCode == static_cast<int>(kivo::win::ERROR_TOO_MANY_OPEN_FILES);
        why = error.Message();
    } catch (const kivo::EBadId&) {
        trouble = kivo::TPortState::psAbsent;
    } catch (const kivo::EOutOfMemory& error) {
        shortOfResources = true;
        why = error.Message();
    } catch (const std::exception& error) {
        why = error.what();
    } catch (...) {
    }
    // A link to a folder, say, fails as no known kind; asked again, the
    // port tells what it is, unless it opens now.
    if (!trouble && !shortOfResources && Port1->ComNumber() != 0) {
        kivo::TPortState state = kivo::ProbePort(Port1->ComNumber());
        if (state != kivo::TPortState::psFree) trouble = state;
    }
    // The operator's box is the same for every failure; the technician
    // reads on standard error which device was tried and what it lacks.
    // Still at 0, the port prompt had nothing to offer: OK on an empty list.
    if (trouble && Port1->ComNumber() == 0) {
        std::string unnumbered = kivo::UnnumberedAdapterNote();
        if (unnumbered.empty())
            SayOnStandardError("no port to choose from: no serial port is there; connect the "
                               "sign's adapter (tarvio-ports lists the ports), then start again");
        else
            SayOnStandardError("no port to choose from: " + unnumbered);
    } else if (trouble) {
        SayOnStandardError(kivo::PortTrouble(Port1->ComNumber(), *trouble));
    } else if (Port1->ComNumber() != 0 && !why.empty()) {
        // Nothing wrong with the port itself (a thread it could not start,
        // say): what went wrong is all there is to tell.
        SayOnStandardError(kivo::PortFailure(Port1->ComNumber(), why));
    }

    // The timers keep running under the modal box; their ticks must not
    // open the port again and stack another box.
    OpeningErrorShown = true;
    std::optional<std::string> saveFailure;
    if (!InFirstShow) {
        // The program is about to end without its close handler: keep the
        // prices the operator has typed since the last save.
        try {
            Escreve();
        } catch (const std::exception& error) {
            saveFailure = error.what();
        }
    }
    kivo::Application().MessageBox(OpeningFailureText);
    // Shown directly: a queued box would never appear once the loop has ended.
    if (saveFailure) kivo::Application().MessageBox(*saveFailure, kivo::TMessageKind::mkError);
    OpeningErrorShown = false;
    kivo::Application().Terminate();
}

void TForm1::ReportUnreadableSettings(const std::string& failure)
{
    // Nothing was read, so nothing may be sent or saved: the program ends
    // as after an opening failure, before its close handler could save.
    OpeningErrorShown = true;
    SayOnStandardError(failure);
    kivo::Application().MessageBox(failure, kivo::TMessageKind::mkError);
    OpeningErrorShown = false;
    kivo::Application().Terminate();
}

bool TForm1::TransmissionBlocked() const
{
    return OpeningPort || OpeningErrorShown || kivo::Application().Terminated();
}

bool TForm1::Send(const std::string& frame)
{
    if (TransmissionBlocked()) return false;
    // The reopen that a frame of the schedule waited for has been made.
    if (Port1->PortPhase() != kivo::TPortPhase::ppClosing) ScheduleFrameHeldAt.reset();
    AbrirPorta();
    // A failed opening asked for the end; a close still held back reads Open.
    if (TransmissionBlocked() || !Port1->Open()) return false;
    Port1->PutText(frame);
    return true;
}

void TForm1::KivDataPacket1StringPacket(kivo::TObject*, const std::string& data)
{
    Label2->SetText(Q(FormatCommunicationTime(kivo::LocalNow())));
    SB1->SetPanelText(0, QString());
    std::optional<TStatusReport> report = CheckStatusPacket(data);
    if (!report) {
        SB1->SetPanelText(0, "Erro de dados");
        return;
    }
    SB1->SetPanelText(0, "Dados OK");
    std::array<TLabel*, RowCount> readbacks = ReadbackLabels();
    for (int row = 0; row < RowCount; ++row) readbacks[row]->SetText(Q(report->Prices[row]));
    SB1->SetPanelText(1, Q(report->Status));
    Escreve();
}

void TForm1::KivDataPacket1Timeout(kivo::TObject*)
{
    KivDataPacket1->SetEnabled(true);
}

void TForm1::Port1ReopenFailure(kivo::TObject*, std::exception_ptr error, bool opened)
{
    // The schedule stays due, as after a send that fails at once.
    if (std::optional<QString> dueAt = std::exchange(ScheduleFrameHeldAt, std::nullopt)) {
        Label3->SetText(*dueAt);
        Timer1->start();
    }
    if (opened)
        kivo::Application().HandleException(error);
    else
        ReportOpeningFailure(error);
}

void TForm1::Button1Click()
{
    Send(PriceFrame(CurrentPrices()));
}

void TForm1::CB3Click()
{
    ScheduleFrameHeldAt.reset();
    if (!CB3->isChecked()) {
        Timer1->stop();
    } else if (!Timer1->isActive()) {
        ScheduleSeenUpTo = kivo::LocalNow();
        Timer1->start();
    }
}

void TForm1::Timer1Timer()
{
    const kivo::TLocalDateTime now = kivo::LocalNow();
    Label3->setVisible(true);
    Label3->SetText(Q(FormatClock(now)));
    const std::string target =
        ScheduleTarget(CB1->currentText().toStdString(), CB2->currentText().toStdString());
    // No tick may fall in the scheduled second: the machine was busy or
    // asleep, or the clock jumped over it (a summer time change, a time
    // sync). The prices then go at the first tick after it.
    const bool due =
        Label3->text().toStdString() == target ||
        ScheduleTimePassed(CB1->currentIndex(), CB2->currentIndex(), ScheduleSeenUpTo, now);
    // Held back under the port prompt, it stays due for the tick after it.
    if (due && TransmissionBlocked()) return;
    ScheduleSeenUpTo = now;
    if (!due) return;
    if (!Send(PriceFrame(CurrentPrices()))) return;
    // Held for a reopen that a delivery holds back, the frame may yet fail.
    if (Port1->PortPhase() == kivo::TPortPhase::ppClosing) ScheduleFrameHeldAt = Label3->text();
    Label3->SetText("00:00:00");
    Timer1->stop();
}

void TForm1::Panel1Click()
{
    if (kivo::Application().CtrlKeyDown()) TestModeOn = !TestModeOn;
    if (TestModeOn) {
        Counter = 0;
        Test->show();
        // Enabling a running timer does not restart it.
        if (!Timer2->isActive()) Timer2->start();
        return;
    }
    Test->hide();
    Timer2->stop();
    Send(PriceFrame(CurrentPrices()));
}

void TForm1::Timer2Timer()
{
    if (TransmissionBlocked()) return;
    Counter = NextTestCounter(Counter);
    Test->SetText(Q(TestCounterText(Counter)));
    Send(TestFrame(Test->text().toStdString()));
}

void TForm1::Button3Click()
{
    close();
}

} // namespace tarvio
