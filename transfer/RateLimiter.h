#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

// The player's limit on the updater's rate, shared by all its connections:
// each block received is paid for, and whoever runs ahead of the rate
// waits. A fraction of a second may be taken at once, so a connection that
// was idle does not wait for its first block. curl's own limit averages
// over seconds and starts again with every file, so a list of small files
// would never meet it.
class CRateLimiter final {
public:
    // 0: no limit.
    void SetRate(std::uint64_t nBytesPerSecond);
    std::uint64_t Rate() const;

    // Counts nBytes just received; returns how long the receiver should
    // wait before it takes more. Any thread.
    std::chrono::nanoseconds Take(std::size_t nBytes);

private:
    mutable std::mutex m_mutex;
    std::uint64_t m_nRate = 0;
    std::chrono::steady_clock::time_point m_nextFree{};  // when what was taken is paid for
};
