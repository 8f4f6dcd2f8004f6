#pragma once
// A price field with the edit mask "0000;1;#": four positions, each a
// required digit, shown as "#" while unfilled. Only digits can be typed, one
// per position; reading gives four characters with a space per unfilled
// position; a text put in fills the positions from the left, unchecked.
// Leaving the field, or pressing Enter in it, after the operator changed it
// and while a position is unfilled, is refused: a beep, the focus stays, and
// the refusal goes to the general error handler. Escape after changes brings
// back the text the field had when the operator entered it, or the text put
// in since. Every edit goes
// through the positions here; nothing of QLineEdit's own editing is let
// through. Main thread only, owned by its parent widget.

#include <QLineEdit>

#include <array>
#include <string>

namespace tarvio {

inline constexpr const char* InvalidInputText =
    "Invalid input value.  Use escape key to abandon changes";

class TMaskEdit : public QLineEdit {
    Q_OBJECT
public:
    static constexpr int Positions = 4;

    explicit TMaskEdit(QWidget* parent = nullptr);

    std::string Text() const;
    // Clears the changed state.
    void SetText(const std::string& text);

    bool Modified() const noexcept { return IsModified; }
    bool Complete() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    using TPositions = std::array<QChar, Positions>;  // a null QChar is unfilled

    bool Acceptable() const { return !IsModified || Complete(); }
    void Refuse();
    void RefuseLeaving(Qt::FocusReason reason);
    void TypeDigits(const QString& digits);
    void ClearSelectionOr(int from, int to);
    void Render(int cursor);
    void FitDigits();

    TPositions Slots{};
    TPositions SlotsOnFocus{};  // as the operator entered the field
    bool IsModified = false;
    bool ReturningFocus = false;
    bool Fitting = false;
};

} // namespace tarvio
