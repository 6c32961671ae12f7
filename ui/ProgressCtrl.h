#pragma once

#include <QProgressBar>

#include <cstdint>

// A progress bar driven the way the launcher's bars always were: a range and
// a position, the position held to the range. Ranges wider than an int are
// scaled down, so lists past 2 GiB show right; an empty range (a file of 0
// or 1 bytes) shows an empty or full bar, never a busy indicator.
class CProgressCtrl final : public QProgressBar {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CProgressCtrl)

public:
    CProgressCtrl(QWidget* pParent, int nCtrlId);

    void SetRange64(std::int64_t nLower, std::int64_t nUpper);
    void SetPos64(std::int64_t nPos);

    std::int64_t Lower() const { return m_nLower; }
    std::int64_t Upper() const { return m_nUpper; }
    std::int64_t Pos() const { return m_nPos; }

private:
    void Apply();

    std::int64_t m_nLower = 0;
    std::int64_t m_nUpper = 100;
    std::int64_t m_nPos = 0;
};
