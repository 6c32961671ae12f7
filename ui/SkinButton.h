#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QString>
#include <QTimer>

// The launcher's picture button: draws one of four bitmaps by its state,
// shows the hand pointer, takes the keyboard focus on hover (so the focus
// image is the hover highlight), and carries its own tooltip.
class CSkinButton final : public QAbstractButton {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CSkinButton)

public:
    // templateText is the control's own text: the first tooltip text.
    CSkinButton(QWidget* pParent, int nCtrlId, const QString& templateText);
    ~CSkinButton() override;

    // Resource numbers; 0 leaves that image empty. False when any requested
    // bitmap did not load (the normal one first: without it none is loaded).
    bool LoadBitmaps(int nNormal, int nSelected, int nFocus = 0, int nDisabled = 0);
    void SetToolTipText(const QString& text);
    QString ToolTipText() const { return m_strToolTip; }

    // The resource number of the image the button draws in its present state (0: none).
    int CurrentBitmapId() const;
    // Whether the button holds its window's keyboard focus, active or not:
    // the focus image shows either way.
    bool HoldsFocus() const;
    // The wait before the tip shows, as chosen when the pointer came in.
    int ToolTipDelay() const { return m_toolTipTimer.interval(); }

    static constexpr int TOOLTIP_DELAY_MS = 100;
    static constexpr int TOOLTIP_RESHOW_MS = 20;  // coming straight from another button's tip
    static constexpr int TOOLTIP_SHOWN_MS = 5000;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

    bool event(QEvent* event) override;

private:
    void ShowToolTip();
    void TakeFocus();

    QString m_strToolTip;
    QTimer m_toolTipTimer;
    int m_nNormal = 0, m_nSelected = 0, m_nFocus = 0, m_nDisabled = 0;
    QImage m_bmpNormal, m_bmpSelected, m_bmpFocus, m_bmpDisabled;
    // The same images drawn at twice the size, where the skin has them.
    QImage m_bmpNormal2x, m_bmpSelected2x, m_bmpFocus2x, m_bmpDisabled2x;
};
