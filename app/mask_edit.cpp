// The price field's mask rules on top of QLineEdit.

#include "app/mask_edit.h"

#include "framework/application.h"
#include "framework/exceptions.h"

#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>

namespace tarvio {

namespace {

constexpr QChar BlankShown = u'#';

bool IsDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Installed on the control whose click took the focus from a refused field:
// that click must not act (a button would otherwise send or close with the
// refused text). It eats the one press-to-release sequence, then goes.
class TClickSwallower final : public QObject {
public:
    explicit TClickSwallower(QWidget* target) : QObject(target), Target(target)
    {
        target->installEventFilter(this);
        // A focus change by mouse without a press to follow (the wheel) must
        // not leave the next real click eaten.
        QTimer::singleShot(0, this, [this] {
            if (!SawPress) Finish();
        });
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (Done) return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            SawPress = true;
            return true;
        case QEvent::MouseMove:
            return SawPress;
        case QEvent::MouseButtonRelease:
            if (!SawPress) return false;
            Finish();
            return true;
        default:
            return false;
        }
    }

private:
    // Off at once: the deletion itself waits for a loop that may not come soon.
    void Finish()
    {
        Done = true;
        Target->removeEventFilter(this);
        deleteLater();
    }

    QWidget* Target;
    bool SawPress = false;
    bool Done = false;
};

} // namespace

TMaskEdit::TMaskEdit(QWidget* parent) : QLineEdit(parent)
{
    setMaxLength(Positions);
    setContextMenuPolicy(Qt::NoContextMenu);
    setDragEnabled(false);
    setAcceptDrops(false);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    Render(0);
}

std::string TMaskEdit::Text() const
{
    QString text;
    for (QChar c : Slots) text += c.isNull() ? QChar(u' ') : c;
    return text.toStdString();
}

void TMaskEdit::SetText(const std::string& text)
{
    // One position per character: a character beyond the 16-bit range would
    // take two positions, and the frame to the sign a byte less.
    const QList<uint> given = QString::fromStdString(text).toUcs4();
    for (int i = 0; i < Positions; ++i) {
        uint c = i < given.size() ? given[i] : 0;
        if (c > 0xFFFF) c = QChar::ReplacementCharacter;
        // A space reads back as an unfilled position, so it is one.
        Slots[static_cast<std::size_t>(i)] = c == u' ' ? QChar() : QChar(static_cast<char16_t>(c));
    }
    // The field that has the focus as the window opens is entered before its
    // stored price is put in, and by no focus change of the operator's.
    SlotsOnFocus = Slots;
    IsModified = false;
    Render(0);
}

bool TMaskEdit::Complete() const
{
    for (QChar c : Slots)
        if (c.isNull()) return false;
    return true;
}

void TMaskEdit::Render(int cursor)
{
    QString shown;
    for (QChar c : Slots) shown += c.isNull() ? BlankShown : c;
    QLineEdit::setText(shown);
    setCursorPosition(std::clamp(cursor, 0, Positions));
}

void TMaskEdit::ClearSelectionOr(int from, int to)
{
    if (hasSelectedText()) {
        from = selectionStart();
        to = from + static_cast<int>(selectedText().size());
    }
    for (int i = std::max(from, 0); i < std::min(to, Positions); ++i)
        Slots[static_cast<std::size_t>(i)] = QChar();
}

void TMaskEdit::TypeDigits(const QString& digits)
{
    int position = hasSelectedText() ? selectionStart() : cursorPosition();
    bool changed = false;
    if (hasSelectedText()) {
        ClearSelectionOr(0, 0);
        changed = true;
    }
    for (QChar c : digits) {
        if (!IsDigit(c)) continue;
        if (position >= Positions) break;
        Slots[static_cast<std::size_t>(position++)] = c;
        changed = true;
    }
    if (!changed) return;
    IsModified = true;
    Render(position);
}

void TMaskEdit::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key == Qt::Key_Escape) {
        if (!IsModified) {
            event->ignore();
            return;
        }
        Slots = SlotsOnFocus;
        IsModified = false;
        Render(0);
        selectAll();
        return;
    }
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (!Acceptable()) {
            Refuse();
            return;
        }
        event->ignore();
        return;
    }
    if (key == Qt::Key_Backspace || key == Qt::Key_Delete) {
        int cursor = cursorPosition();
        bool selected = hasSelectedText();
        int start = selected ? selectionStart() : cursor;
        if (!selected && key == Qt::Key_Backspace) {
            if (cursor == 0) return;
            start = cursor - 1;
        }
        if (!selected && start >= Positions) return;
        ClearSelectionOr(start, start + 1);
        IsModified = true;
        Render(start);
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        TypeDigits(QApplication::clipboard()->text());
        return;
    }
    if (event->matches(QKeySequence::Cut)) {
        if (!hasSelectedText()) return;
        copy();
        int start = selectionStart();
        ClearSelectionOr(0, 0);
        IsModified = true;
        Render(start);
        return;
    }
    if (event->matches(QKeySequence::Copy) || event->matches(QKeySequence::SelectAll) ||
        key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Home || key == Qt::Key_End) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    const QString text = event->text();
    const bool command = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (!command && text.size() == 1 && IsDigit(text[0])) {
        TypeDigits(text);
        return;
    }
    // Anything else that would edit is dropped here; the rest travels on.
    if (!text.isEmpty() && !command) return;
    event->ignore();
}

void TMaskEdit::focusInEvent(QFocusEvent* event)
{
    // Only the operator entering the field starts a change that Escape
    // abandons; our window coming back, or the focus we return after a
    // refusal, keeps the text of that entry.
    const Qt::FocusReason reason = event->reason();
    if (!ReturningFocus && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
        SlotsOnFocus = Slots;
    QLineEdit::focusInEvent(event);
}

void TMaskEdit::focusOutEvent(QFocusEvent* event)
{
    QLineEdit::focusOutEvent(event);
    const Qt::FocusReason reason = event->reason();
    // Another window (our own message box among them) taking the focus is
    // not leaving the field.
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return;
    if (!Acceptable()) RefuseLeaving(reason);
}

void TMaskEdit::Refuse()
{
    kivo::Application().Beep();
    kivo::Application().HandleException(kivo::Exception(InvalidInputText));
}

void TMaskEdit::RefuseLeaving(Qt::FocusReason reason)
{
    Refuse();
    QWidget* taker = QApplication::focusWidget();
    if (reason == Qt::MouseFocusReason && taker && taker != this) new TClickSwallower(taker);
    // Not from inside the focus change that is still under way.
    QTimer::singleShot(0, this, [this] {
        // In an inactive window (a box is up) the focus comes back later, as
        // the window's own.
        ReturningFocus = true;
        setFocus(Qt::OtherFocusReason);
        ReturningFocus = false;
    });
}

void TMaskEdit::mousePressEvent(QMouseEvent* event)
{
    // The middle button pastes the selection past the mask.
    if (event->button() == Qt::MiddleButton) return;
    QLineEdit::mousePressEvent(event);
}

void TMaskEdit::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::MiddleButton) return;
    QLineEdit::mouseReleaseEvent(event);
}

void TMaskEdit::inputMethodEvent(QInputMethodEvent* event)
{
    event->ignore();
}

void TMaskEdit::changeEvent(QEvent* event)
{
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) FitDigits();
}

void TMaskEdit::resizeEvent(QResizeEvent* event)
{
    QLineEdit::resizeEvent(event);
    FitDigits();
}

void TMaskEdit::FitDigits()
{
    // A face that stands in for a missing one can be wider than the field
    // was sized for (bold DejaVu Sans at the designed height is), and the
    // field would show only the first digits: the face is made smaller
    // until all four fit.
    if (Fitting) return;
    QStyleOptionFrame option;
    initStyleOption(&option);
    // Less QLineEdit's own margin of 2 pixels on each side.
    const int room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this)
                         .marginsRemoved(textMargins())
                         .width() -
                     4;
    auto needed = [](const QFont& font) {
        QFontMetrics metrics(font);
        int widest = 0;
        for (char16_t digit = u'0'; digit <= u'9'; ++digit)
            widest = std::max(widest, metrics.horizontalAdvance(QString(Positions, QChar(digit))));
        return widest;
    };
    QFont font = this->font();
    bool smaller = false;
    while (room > 0 && needed(font) > room) {
        if (font.pixelSize() > 0) {
            if (font.pixelSize() <= 6) break;
            font.setPixelSize(font.pixelSize() - 1);
        } else {
            if (font.pointSizeF() <= 5) break;
            font.setPointSizeF(font.pointSizeF() - 0.5);
        }
        smaller = true;
    }
    if (!smaller) return;
    Fitting = true;
    setFont(font);
    Fitting = false;
}

} // namespace tarvio
