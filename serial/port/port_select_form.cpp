// The port selection dialog as its stored description lays it out, at 96
// dots per inch.

#include "serial/port/port_select_form.h"

#include "platform/port_names.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"
#include "serial/port/port_select.h"

#include <QComboBox>
#include <QFileSystemWatcher>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTimer>

#include <charconv>
#include <filesystem>
#include <string>
#include <vector>

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

namespace fs = std::filesystem;

// udev makes an adapter's by-id link a little after its tty node, and one
// plug brings several notices: the list is made again once they are in.
constexpr int SettleMilliseconds = 300;

QString PathText(const fs::path& path)
{
    return QString::fromStdString(path.native());
}

// The folder to watch for folder: itself, or while it is missing the
// nearest folder above it that exists, where it will appear. Empty when
// none does.
fs::path WatchedFor(const fs::path& folder)
{
    std::error_code failed;
    fs::path at = fs::absolute(folder, failed).lexically_normal();
    if (failed) return {};
    if (at.filename().empty()) at = at.parent_path();  // a trailing separator
    while (!fs::is_directory(at, failed)) {
        if (at == at.parent_path()) return {};
        at = at.parent_path();
    }
    return at;
}

// What of the device folders bears on the list: the entries of each, where
// their links lead and whether that is there; a missing folder only as
// missing, so that the churn of the folder watched in its stead leads to no
// probing.
QStringList DeviceFolderState(const std::vector<fs::path>& folders)
{
    QStringList state;
    for (const fs::path& folder : folders) {
        std::error_code failed;
        if (!fs::is_directory(folder, failed)) {
            state << "missing " + PathText(folder);
            continue;
        }
        QStringList entries;
        // Stepped with an error code: this runs in a timer's slot, where a
        // throw would end the program.
        for (fs::directory_iterator it(folder, failed), end; !failed && it != end;
             it.increment(failed)) {
            const fs::directory_entry& entry = *it;
            std::error_code notLink;
            fs::path target = fs::read_symlink(entry.path(), notLink);
            std::error_code gone;
            bool there = fs::exists(entry.path(), gone);
            entries << PathText(entry.path()) + " -> " + PathText(target) +
                           (there ? "" : " (absent)");
        }
        entries.sort();
        state << entries;
    }
    return state;
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

    // Watched before the list is made, so that no change after it is missed.
    DeviceFolders = new QFileSystemWatcher(this);
    Settle = new QTimer(this);
    Settle->setSingleShot(true);
    Settle->setInterval(SettleMilliseconds);
    connect(DeviceFolders, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (!Settle->isActive()) Settle->start();  // not pushed back by a stream of notices
    });
    connect(Settle, &QTimer::timeout, this, [this] {
        // A list that cannot be made again now stays as it is: the dialog
        // still answers, and the next change tries again.
        try {
            DeviceFoldersChanged();
        } catch (...) {
            FolderState.clear();
        }
    });
    WatchDeviceFolders();
    FolderState = DeviceFolderState(win::ComMapFolders(win::DeviceDirectories()));

    FormCreate();
}

void TComSelectForm::FormCreate()
{
    PortsComboBox->addItems(PresentPorts());
    if (PortsComboBox->count() > 0) PortsComboBox->setCurrentIndex(0);
}

QStringList TComSelectForm::PresentPorts() const
{
    QStringList ports;
    for (int number = 1; number <= LastPortListed; ++number)
        if (PortIsPresent(static_cast<win::WORD>(number))) ports << QString("COM%1").arg(number);
    return ports;
}

void TComSelectForm::WatchDeviceFolders()
{
    // Every watch is made anew, each folder's parent watched too: a folder
    // moved away, and another put under its name (links restored from a
    // copy), would otherwise stay watched where it went, and nothing in the
    // new one would be heard of. A folder made between looking and watching
    // its parent is found by looking again.
    QStringList watched;
    for (int round = 0; round < 3; ++round) {
        QStringList wanted;
        for (const fs::path& folder : win::ComMapFolders(win::DeviceDirectories()))
            if (fs::path at = WatchedFor(folder); !at.empty())
                wanted << PathText(at) << PathText(at.parent_path());
        wanted.removeDuplicates();
        if (wanted == watched) return;
        if (const QStringList old = DeviceFolders->directories(); !old.isEmpty())
            DeviceFolders->removePaths(old);
        DeviceFolders->addPaths(wanted);
        watched = wanted;
    }
}

void TComSelectForm::DeviceFoldersChanged()
{
    WatchDeviceFolders();
    // Probing opens the devices: only when the folders really changed.
    QStringList state = DeviceFolderState(win::ComMapFolders(win::DeviceDirectories()));
    if (state == FolderState) return;
    FolderState = state;
    QStringList ports = PresentPorts();
    QStringList listed;
    for (int index = 0; index < PortsComboBox->count(); ++index)
        listed << PortsComboBox->itemText(index);
    if (ports == listed) return;
    const QString chosen = PortsComboBox->currentText();
    PortsComboBox->clear();
    PortsComboBox->addItems(ports);
    int index = chosen.isEmpty() ? -1 : PortsComboBox->findText(chosen);
    if (index < 0 && PortsComboBox->count() > 0) index = 0;
    PortsComboBox->setCurrentIndex(index);
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
