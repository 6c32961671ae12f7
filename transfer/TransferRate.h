#pragma once

#include <QString>

#include <cstdint>
#include <deque>
#include <optional>

// The download's speed and the time it still needs, from the byte counts
// the engine reports and the moments they arrived. Plain arithmetic: the
// caller passes the clock. The window's tooltip and orvanta-update's
// progress line both read it.
class CTransferRate final {
public:
    static constexpr std::int64_t SETTLE_MS = 3000;  // by default nothing is told before this much time
    static constexpr std::int64_t WINDOW_MS = 5000;  // the speed is that of the last few seconds

    explicit CTransferRate(std::int64_t nSettleMs = SETTLE_MS) : m_nSettleMs(nSettleMs) {}

    void Reset();
    // Every byte received so far of a whole nTotal, at nMs of a monotonic
    // clock. A count below the last one starts the measurement afresh.
    void Add(std::int64_t nMs, std::uint64_t nDone, std::uint64_t nTotal);

    std::optional<double> BytesPerSecond() const;
    // Rounded up; none while nothing arrives.
    std::optional<std::uint64_t> SecondsLeft() const;

    // "속도 1.5 MB/s, 남은 시간 3분 20초", or empty until the speed is known.
    QString Describe() const;

private:
    struct Sample {
        std::int64_t nMs;
        std::uint64_t nDone;
    };
    std::deque<Sample> m_samples;
    std::int64_t m_nSettleMs;
    std::int64_t m_nStartMs = 0;
    std::uint64_t m_nTotal = 0;
};
