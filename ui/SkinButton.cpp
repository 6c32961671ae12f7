#include "ui/SkinButton.h"

#include "ui/Resources.h"

#include <QElapsedTimer>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <cmath>

namespace {

// The last time the pointer left a button whose tip was showing. A button
// entered soon after shows its own tip after the short re-show delay, as
// tooltips do when the pointer moves from one tool to the next.
QElapsedTimer s_tipLeft;
constexpr int RESHOW_WINDOW_MS = 500;

} // namespace

CSkinButton::CSkinButton(QWidget* pParent, int nCtrlId, const QString& templateText)
    : QAbstractButton(pParent)
{
    setProperty("ctrlId", nCtrlId);
    setText(templateText);
    m_strToolTip = templateText;
    setAccessibleName(templateText);
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
    m_bmpNormal2x = m_bmpSelected2x = m_bmpFocus2x = m_bmpDisabled2x = QImage();
    m_nNormal = m_nSelected = m_nFocus = m_nDisabled = 0;
    const auto large = [](int nId) {
        QImage image = orvanta::LoadSkinBitmap(nId, 2.0);
        return image.devicePixelRatio() == 2.0 ? image : QImage();
    };
    m_bmpNormal = orvanta::LoadBitmapResource(nNormal);
    if (m_bmpNormal.isNull())
        return false;
    m_nNormal = nNormal;
    m_bmpNormal2x = large(nNormal);
    bool bAll = true;
    const auto load = [&bAll, &large](int nId, QImage& image, QImage& image2x, int& nLoaded) {
        if (nId == 0)
            return;
        image = orvanta::LoadBitmapResource(nId);
        if (image.isNull()) {
            bAll = false;
        } else {
            nLoaded = nId;
            image2x = large(nId);
        }
    };
    load(nSelected, m_bmpSelected, m_bmpSelected2x, m_nSelected);
    load(nFocus, m_bmpFocus, m_bmpFocus2x, m_nFocus);
    load(nDisabled, m_bmpDisabled, m_bmpDisabled2x, m_nDisabled);
    update();
    return bAll;
}

void CSkinButton::SetToolTipText(const QString& text)
{
    m_strToolTip = text;
    // Screen readers name the button by what its tip says.
    setAccessibleName(text);
    if (QToolTip::isVisible() && underMouse())
        ShowToolTip();
}

int CSkinButton::CurrentBitmapId() const
{
    // The pressed image first, then focus, then disabled, else normal; an
    // image that is not loaded gives way to the next rule.
    if (isDown() && m_nSelected)
        return m_nSelected;
    if (HoldsFocus() && m_nFocus)
        return m_nFocus;
    if (!isEnabled() && m_nDisabled)
        return m_nDisabled;
    return m_nNormal;
}

bool CSkinButton::HoldsFocus() const
{
    // An inactive window keeps its focus widget without giving it the
    // application's focus; the highlight follows the window's own.
    return hasFocus() || window()->focusWidget() == this;
}

void CSkinButton::TakeFocus()
{
    QWidget* pPrevious = window()->focusWidget();
    if (pPrevious == this && HoldsFocus())
        return;
    setFocus(Qt::MouseFocusReason);
    // Without activation no focus events arrive: repaint both by hand.
    if (pPrevious && pPrevious != this)
        pPrevious->update();
    update();
}

bool CSkinButton::event(QEvent* event)
{
    // The window turning active or inactive moves no focus: the image stays.
    if (event->type() == QEvent::WindowActivate || event->type() == QEvent::WindowDeactivate)
        update();
    return QAbstractButton::event(event);
}

void CSkinButton::paintEvent(QPaintEvent*)
{
    const int nId = CurrentBitmapId();
    const bool bLarge = devicePixelRatioF() > 1.0;
    const auto pick = [bLarge](const QImage& image, const QImage& image2x) {
        return bLarge && !image2x.isNull() ? &image2x : &image;
    };
    const QImage* pImage = nId == 0 ? nullptr
                           : nId == m_nSelected ? pick(m_bmpSelected, m_bmpSelected2x)
                           : nId == m_nFocus ? pick(m_bmpFocus, m_bmpFocus2x)
                           : nId == m_nDisabled ? pick(m_bmpDisabled, m_bmpDisabled2x)
                                                : pick(m_bmpNormal, m_bmpNormal2x);
    if (!pImage || pImage->isNull())
        return;
    // Copied from its top-left corner, never stretched. Between whole
    // scales the large image is brought down smoothly; whole scales copy
    // pixels as they are.
    QPainter painter(this);
    const qreal dpr = devicePixelRatioF();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, dpr != std::floor(dpr));
    const qreal ratio = pImage->devicePixelRatio();
    painter.drawImage(QRectF(QPointF(0, 0), QSizeF(size())), *pImage,
                      QRectF(QPointF(0, 0), QSizeF(size()) * ratio));
}

void CSkinButton::enterEvent(QEnterEvent* event)
{
    TakeFocus();
    const bool bReshow = s_tipLeft.isValid() && s_tipLeft.elapsed() < RESHOW_WINDOW_MS;
    m_toolTipTimer.setInterval(bReshow ? TOOLTIP_RESHOW_MS : TOOLTIP_DELAY_MS);
    m_toolTipTimer.start();
    QAbstractButton::enterEvent(event);
}

void CSkinButton::leaveEvent(QEvent* event)
{
    m_toolTipTimer.stop();
    if (QToolTip::isVisible() && QToolTip::text() == m_strToolTip)
        s_tipLeft.start();
    else
        s_tipLeft.invalidate();
    QToolTip::hideText();
    QAbstractButton::leaveEvent(event);
}

void CSkinButton::mouseMoveEvent(QMouseEvent* event)
{
    TakeFocus();
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
