#pragma once
// The port selection dialog: two lines of text in a bevel, the list of the
// ports COM1 to COM50 present, and OK and Cancel. The list is made when the
// dialog is created and made again when an adapter is plugged in or out
// while it exists, the chosen item staying chosen while it is listed. It
// exists for one prompt and is shown modally on the main thread; exec()
// returns its modal result.

#include <QDialog>
#include <QStringList>

class QComboBox;
class QFileSystemWatcher;
class QFrame;
class QLabel;
class QPushButton;
class QTimer;

namespace kivo {

// Modal results as the form stores them. Cancel in this dialog answers
// abort; only closing the window answers cancel.
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrAbort = 3;

class TComSelectForm : public QDialog {
public:
    explicit TComSelectForm(QWidget* owner = nullptr);

    // The number of the selected item ("COM12" gives 12). Raises EBadId
    // when no item is selected.
    int SelectedComNumber() const;

    QLabel* Label1;
    QLabel* Label2;
    QFrame* Bevel1;
    QPushButton* OkBtn;
    QPushButton* AbortBtn;
    QComboBox* PortsComboBox;

    // The highest port number the list offers.
    static constexpr int LastPortListed = 50;

    // Closing the window or Escape: the modal result is cancel.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate();

    // Following adapters: the device folders are watched (a missing one
    // through the nearest folder above it that exists) with the folder above
    // each, and a change notice makes the list again once the burst it
    // belongs to has settled.
    QStringList PresentPorts() const;
    void WatchDeviceFolders();
    void DeviceFoldersChanged();
    QFileSystemWatcher* DeviceFolders;
    QTimer* Settle;
    QStringList FolderState;  // the device folders as the list was last made from
};

} // namespace kivo
