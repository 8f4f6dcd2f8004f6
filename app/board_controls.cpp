// Panel, label and status bar of the main window.

#include "app/board_controls.h"

#include <QMouseEvent>

namespace tarvio {

TPanel::TPanel(QWidget* parent, TBevel bevel) : QLabel(parent)
{
    // Captions and the sign's bytes are shown as written, never as markup:
    // markup could hide them, or load an image from any path and block on it.
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignCenter);
    setAutoFillBackground(true);
    if (bevel == TBevel::bvRaised) {
        setFrameStyle(QFrame::Panel | QFrame::Raised);
        setLineWidth(1);
    }
}

void TPanel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) Pressed = true;
    QLabel::mousePressEvent(event);
}

void TPanel::mouseReleaseEvent(QMouseEvent* event)
{
    bool click = Pressed && event->button() == Qt::LeftButton &&
                 rect().contains(event->position().toPoint());
    Pressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click) emit Clicked();
}

void TPanel::mouseDoubleClickEvent(QMouseEvent* event)
{
    // A double click is one click: its second press, which came just before,
    // must not make another (a Ctrl double click on "T" would switch the
    // test mode on and straight off again).
    Pressed = false;
    event->ignore();
}

TLabel::TLabel(QWidget* parent, const QRect& designed, Qt::Alignment alignment)
    : QLabel(parent), DesignedWidth(designed.width())
{
    setTextFormat(Qt::PlainText);
    setGeometry(designed);
    setAlignment(alignment | Qt::AlignTop);
}

void TLabel::SetText(const QString& text)
{
    setText(text);
    // Like an auto-sized label: the left edge stays, a longer text widens it.
    int needed = fontMetrics().horizontalAdvance(text) + 2;
    resize(std::max(DesignedWidth, needed), height());
}

TStatusBar::TStatusBar(QWidget* parent, const std::vector<int>& panelWidths) : QFrame(parent)
{
    int left = 0;
    for (int width : panelWidths) {
        auto* panel = new QLabel(this);
        panel->setTextFormat(Qt::PlainText);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setLineWidth(1);
        panel->setIndent(2);
        panel->setGeometry(left, 2, width - 2, BarHeight - 2);
        Panels.push_back(panel);
        left += width;
    }
}

QString TStatusBar::PanelText(int panel) const
{
    return Panels.at(static_cast<std::size_t>(panel))->text();
}

void TStatusBar::SetPanelText(int panel, const QString& text)
{
    Panels.at(static_cast<std::size_t>(panel))->setText(text);
}

} // namespace tarvio
