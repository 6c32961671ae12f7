#include "transfer/TransferRate.h"

#include <cmath>

void CTransferRate::Reset()
{
    m_samples.clear();
    m_nTotal = 0;
}

void CTransferRate::Add(std::int64_t nMs, std::uint64_t nDone, std::uint64_t nTotal)
{
    if (!m_samples.empty() && (nDone < m_samples.back().nDone || nMs < m_samples.back().nMs))
        m_samples.clear();
    if (m_samples.empty())
        m_nStartMs = nMs;
    m_nTotal = nTotal;
    m_samples.push_back({nMs, nDone});
    // Keep one sample at or before the window's start, so the window is full.
    while (m_samples.size() > 2 && nMs - m_samples[1].nMs >= WINDOW_MS)
        m_samples.pop_front();
}

std::optional<double> CTransferRate::BytesPerSecond() const
{
    if (m_samples.size() < 2)
        return std::nullopt;
    const Sample& last = m_samples.back();
    const Sample& first = m_samples.front();
    if (last.nMs - m_nStartMs < m_nSettleMs || last.nMs <= first.nMs)
        return std::nullopt;
    return double(last.nDone - first.nDone) * 1000.0 / double(last.nMs - first.nMs);
}

std::optional<std::uint64_t> CTransferRate::SecondsLeft() const
{
    const std::optional<double> rate = BytesPerSecond();
    if (!rate || *rate <= 0.0)
        return std::nullopt;
    const std::uint64_t nDone = m_samples.back().nDone;
    const std::uint64_t nLeft = m_nTotal > nDone ? m_nTotal - nDone : 0;
    return std::uint64_t(std::ceil(double(nLeft) / *rate));
}

QString CTransferRate::Describe() const
{
    const std::optional<double> rate = BytesPerSecond();
    if (!rate)
        return QString();
    static const char* const UNITS[] = {"B", "KB", "MB", "GB", "TB"};
    double value = *rate;
    int nUnit = 0;
    while (value >= 1024.0 && nUnit < 4) {
        value /= 1024.0;
        ++nUnit;
    }
    const QString speed = QStringLiteral("%1 %2/s")
                              .arg(value, 0, 'f', nUnit == 0 || value >= 100 ? 0 : 1)
                              .arg(QLatin1String(UNITS[nUnit]));
    const std::optional<std::uint64_t> left = SecondsLeft();
    QString time;
    if (!left)
        time = QStringLiteral("알 수 없음");
    else if (*left < 60)
        time = QStringLiteral("%1초").arg(*left);
    else if (*left < 3600)
        time = QStringLiteral("%1분 %2초").arg(*left / 60).arg(*left % 60);
    else
        time = QStringLiteral("%1시간 %2분").arg(*left / 3600).arg(*left % 3600 / 60);
    return QStringLiteral("속도 %1, 남은 시간 %2").arg(speed, time);
}
