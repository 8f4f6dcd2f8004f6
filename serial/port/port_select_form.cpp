// The port selection dialog as its stored description lays it out, at 96
// dots per inch.

#include "serial/port/port_select_form.h"

#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"
#include "serial/port/port_select.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>

#include <charconv>
#include <string>

namespace kivo {

namespace {

constexpr int ListItemHeight = 13;

class TFixedHeightItems final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(ListItemHeight);
        return size;
    }
};

constexpr int Label1Width = 176;
const char* const Label1Text = "The configured serial port is not valid.";

// The stored font is seldom installed here, and a wider stand-in would cut
// the labels short at their stored sizes: step it down until the longer one
// fits.
QFont FormFont()
{
    QFont font("MS Sans Serif");
    for (int pixels = 11; pixels >= 8; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetrics(font).horizontalAdvance(Label1Text) <= Label1Width) break;
    }
    return font;
}

} // namespace

TComSelectForm::TComSelectForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle("Select Port");
    setFixedSize(220, 131);
    setFont(FormFont());
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setGeometry(8, 8, 201, 42);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);

    Label1 = new QLabel(Label1Text, this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(18, 14, Label1Width, 13);
    Label2 = new QLabel("Please choose another port.", this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(18, 30, 133, 13);

    OkBtn = new QPushButton("OK", this);
    OkBtn->setObjectName("OkBtn");
    OkBtn->setGeometry(8, 95, 85, 27);
    OkBtn->setDefault(true);
    connect(OkBtn, &QPushButton::clicked, this, [this] { done(mrOk); });

    AbortBtn = new QPushButton("Cancel", this);
    AbortBtn->setObjectName("AbortBtn");
    AbortBtn->setGeometry(124, 95, 85, 27);
    connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });

    PortsComboBox = new QComboBox(this);
    PortsComboBox->setObjectName("PortsComboBox");
    PortsComboBox->setGeometry(8, 64, 201, 21);
    PortsComboBox->setEditable(false);
    PortsComboBox->setItemDelegate(new TFixedHeightItems(PortsComboBox));

    setTabOrder(OkBtn, AbortBtn);
    setTabOrder(AbortBtn, PortsComboBox);
    OkBtn->setFocus();

    FormCreate();
}

void TComSelectForm::FormCreate()
{
    for (int number = 1; number <= LastPortListed; ++number)
        if (PortIsPresent(static_cast<win::WORD>(number)))
            PortsComboBox->addItem(QString("COM%1").arg(number));
    if (PortsComboBox->count() > 0) PortsComboBox->setCurrentIndex(0);
}

int TComSelectForm::SelectedComNumber() const
{
    if (PortsComboBox->currentIndex() < 0) throw EBadId::CreateFromCode(ecBadId);
    std::string text = PortsComboBox->currentText().toStdString();
    std::string digits = text.size() > 3 ? text.substr(3, 255) : std::string();
    int number = 0;
    auto [end, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || failed != std::errc{} || end != digits.data() + digits.size())
        throw EBadId::CreateFromCode(ecBadId);
    return number;
}

void TComSelectForm::reject()
{
    done(mrCancel);
}

void TComSelectForm::showEvent(QShowEvent* event)
{
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
    QDialog::showEvent(event);
}

} // namespace kivo
