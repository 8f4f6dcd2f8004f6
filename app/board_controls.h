#pragma once
// The small controls the main window is made of where Qt has no exact match:
// a panel with a caption that can be clicked, a label that keeps its designed
// size but grows to the right to fit a longer text, and a status bar of
// fixed-width text panels. Main thread only, owned by their parent widget.

#include <QFrame>
#include <QLabel>
#include <QWidget>

#include <vector>

namespace tarvio {

class TPanel : public QLabel {
    Q_OBJECT
public:
    enum class TBevel { bvNone, bvRaised };
    TPanel(QWidget* parent, TBevel bevel);

signals:
    void Clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool Pressed = false;
};

class TLabel : public QLabel {
    Q_OBJECT
public:
    TLabel(QWidget* parent, const QRect& designed, Qt::Alignment alignment = Qt::AlignLeft);

    void SetText(const QString& text);

private:
    int DesignedWidth;
};

class TStatusBar : public QFrame {
    Q_OBJECT
public:
    TStatusBar(QWidget* parent, const std::vector<int>& panelWidths);

    static constexpr int BarHeight = 19;

    QString PanelText(int panel) const;
    void SetPanelText(int panel, const QString& text);
    int PanelCount() const { return static_cast<int>(Panels.size()); }
    QLabel* Panel(int panel) const { return Panels.at(static_cast<std::size_t>(panel)); }

private:
    std::vector<QLabel*> Panels;
};

} // namespace tarvio
