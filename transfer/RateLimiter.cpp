#include "transfer/RateLimiter.h"

#include <algorithm>

namespace {

// How far ahead of the rate the connections may run together.
constexpr std::chrono::milliseconds BURST{100};

} // namespace

void CRateLimiter::SetRate(std::uint64_t nBytesPerSecond)
{
    std::lock_guard lock(m_mutex);
    m_nRate = nBytesPerSecond;
    m_nextFree = {};
}

std::uint64_t CRateLimiter::Rate() const
{
    std::lock_guard lock(m_mutex);
    return m_nRate;
}

std::chrono::nanoseconds CRateLimiter::Take(std::size_t nBytes)
{
    std::lock_guard lock(m_mutex);
    if (m_nRate == 0)
        return {};
    const auto now = std::chrono::steady_clock::now();
    const auto start = std::max(m_nextFree, now - BURST);
    m_nextFree = start + std::chrono::nanoseconds(std::uint64_t(double(nBytes) * 1e9 / double(m_nRate)));
    return std::max(std::chrono::nanoseconds(0), std::chrono::nanoseconds(m_nextFree - now - BURST));
}
