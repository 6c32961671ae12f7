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
    int nMax = 1;
    int nValue = 0;
    if (nSpan == 0) {
        // One-value range: full once the position has passed it.
        nValue = m_nPos > nLower ? 1 : 0;
    } else {
        m_nPos = std::clamp(m_nPos, nLower, nUpper);
        int nShift = 0;
        while ((nSpan >> nShift) > INT_MAX / 2)
            ++nShift;
        nMax = int(nSpan >> nShift);
        nValue = int((m_nPos - nLower) >> nShift);
    }
    if (minimum() == 0 && maximum() == nMax && value() == nValue)
        return;
    // QProgressBar draws at once after a long step, not at all after a
    // short one, and empties itself first when a new range leaves its value
    // outside: the player would see a bar ahead of or behind its counter,
    // or flashing empty between two files. It is drawn with the rest of the
    // window instead.
    setUpdatesEnabled(false);
    setRange(0, nMax);
    setValue(nValue);
    setUpdatesEnabled(true);
}
