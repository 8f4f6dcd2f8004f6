#pragma once
// The port selection dialog: two lines of text in a bevel, the list of the
// ports COM1 to COM50 present when it is created, and OK and Cancel. It
// exists for one prompt and is shown modally on the main thread; exec()
// returns its modal result.

#include <QDialog>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

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
};

} // namespace kivo
