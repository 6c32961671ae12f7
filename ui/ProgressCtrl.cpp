#include "ui/ProgressCtrl.h"

#include <algorithm>
#include <climits>

CProgressCtrl::CProgressCtrl(QWidget* pParent, int nCtrlId) : QProgressBar(pParent)
{
    setProperty("ctrlId", nCtrlId);
    setTextVisible(false);
    // The bar sits on the skin's dark track; the current-file bar has a rim.
    const QString rim = nCtrlId == 1001 ? QStringLiteral("1px solid #8c7450") : QStringLiteral("none");
    setStyleSheet(QStringLiteral(
        "QProgressBar { background: #2b2219; border: %1; }"
        "QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
        " stop:0 #ffe7a3, stop:0.45 #e7ad3e, stop:1 #9d6618); }").arg(rim));
    Apply();
}

void CProgressCtrl::SetRange64(std::int64_t nLower, std::int64_t nUpper)
{
    m_nLower = nLower;
    m_nUpper = nUpper;
    Apply();
}

void CProgressCtrl::SetPos64(std::int64_t nPos)
{
    m_nPos = nPos;
    Apply();
}

void CProgressCtrl::Apply()
{
    const std::int64_t nLower = m_nLower;
    const std::int64_t nUpper = std::max(m_nUpper, m_nLower);
    const std::int64_t nSpan = nUpper - nLower;
    if (nSpan == 0) {
        // One-value range: full once the position has passed it.
        setRange(0, 1);
        setValue(m_nPos > nLower ? 1 : 0);
        return;
    }
    m_nPos = std::clamp(m_nPos, nLower, nUpper);
    int nShift = 0;
    while ((nSpan >> nShift) > INT_MAX / 2)
        ++nShift;
    setRange(0, int(nSpan >> nShift));
    const int nOld = value();
    setValue(int((m_nPos - nLower) >> nShift));
    // QProgressBar redraws only once its value has moved a whole chunk's
    // width; short of that the bar would lag what its counter says.
    if (value() != nOld)
        update();
}
