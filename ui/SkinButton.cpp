#include "ui/SkinButton.h"

#include "ui/Resources.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

CSkinButton::CSkinButton(QWidget* pParent, int nCtrlId, const QString& templateText)
    : QAbstractButton(pParent)
{
    setProperty("ctrlId", nCtrlId);
    setText(templateText);
    m_strToolTip = templateText;
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setMouseTracking(true);
    m_toolTipTimer.setSingleShot(true);
    m_toolTipTimer.setInterval(TOOLTIP_DELAY_MS);
    connect(&m_toolTipTimer, &QTimer::timeout, this, &CSkinButton::ShowToolTip);
}

CSkinButton::~CSkinButton() = default;

bool CSkinButton::LoadBitmaps(int nNormal, int nSelected, int nFocus, int nDisabled)
{
    m_bmpNormal = m_bmpSelected = m_bmpFocus = m_bmpDisabled = QImage();
    m_nNormal = m_nSelected = m_nFocus = m_nDisabled = 0;
    m_bmpNormal = orvanta::LoadBitmapResource(nNormal);
    if (m_bmpNormal.isNull())
        return false;
    m_nNormal = nNormal;
    bool bAll = true;
    const auto load = [&bAll](int nId, QImage& image, int& nLoaded) {
        if (nId == 0)
            return;
        image = orvanta::LoadBitmapResource(nId);
        if (image.isNull())
            bAll = false;
        else
            nLoaded = nId;
    };
    load(nSelected, m_bmpSelected, m_nSelected);
    load(nFocus, m_bmpFocus, m_nFocus);
    load(nDisabled, m_bmpDisabled, m_nDisabled);
    update();
    return bAll;
}

void CSkinButton::SetToolTipText(const QString& text)
{
    m_strToolTip = text;
    if (QToolTip::isVisible() && underMouse())
        ShowToolTip();
}

int CSkinButton::CurrentBitmapId() const
{
    // The pressed image first, then focus, then disabled, else normal; an
    // image that is not loaded gives way to the next rule.
    if (isDown() && m_nSelected)
        return m_nSelected;
    if (hasFocus() && m_nFocus)
        return m_nFocus;
    if (!isEnabled() && m_nDisabled)
        return m_nDisabled;
    return m_nNormal;
}

void CSkinButton::paintEvent(QPaintEvent*)
{
    const int nId = CurrentBitmapId();
    const QImage* pImage = nId == 0 ? nullptr
                           : nId == m_nSelected ? &m_bmpSelected
                           : nId == m_nFocus ? &m_bmpFocus
                           : nId == m_nDisabled ? &m_bmpDisabled
                                                : &m_bmpNormal;
    if (!pImage || pImage->isNull())
        return;
    // Copied from its top-left corner, never stretched.
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), *pImage, QRect(QPoint(0, 0), size()));
}

void CSkinButton::enterEvent(QEnterEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    m_toolTipTimer.start();
    QAbstractButton::enterEvent(event);
}

void CSkinButton::leaveEvent(QEvent* event)
{
    m_toolTipTimer.stop();
    QToolTip::hideText();
    QAbstractButton::leaveEvent(event);
}

void CSkinButton::mouseMoveEvent(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    // The tip shows once the pointer has rested for the delay.
    if (!QToolTip::isVisible())
        m_toolTipTimer.start();
    QAbstractButton::mouseMoveEvent(event);
}

void CSkinButton::ShowToolTip()
{
    if (!underMouse() || m_strToolTip.isEmpty())
        return;
    QToolTip::showText(QCursor::pos(), m_strToolTip, this, rect(), TOOLTIP_SHOWN_MS);
}
