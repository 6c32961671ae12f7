#pragma once

#include "patch/Records.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The download's counters and its resume point: plain arithmetic over the
// file list, with no clock, thread or window in sight.
namespace orvanta {

// The first entry whose folder and name are the mark's, or npos. The first
// one: a list that names a file twice must not resume past the files
// between the two.
std::size_t FindResumeEntry(std::span<const FileEntry> list, std::string_view folder, std::string_view name);

// The counters behind the two bars and the byte texts. Counted in 64 bits,
// so lists past 4 GiB never wrap.
struct DownloadCounters {
    std::size_t nCurFile = 0;          // index of the entry being fetched
    std::uint64_t dwFileRecv = 0;      // bytes counted for the current file
    std::uint64_t dwAllRecv = 0;       // bytes counted for the whole list
    std::uint64_t dwLastFileRecv = 0;  // dwFileRecv after the latest byte count
    std::uint64_t dwTotalSize = 0;     // sum of every entry's size

    // Totals the list and places the counters at the resume entry (npos:
    // the first), the sizes before it counted as received.
    void Prepare(std::span<const FileEntry> list, std::size_t nResume);

    // Adds n bytes of the current entry, whose size is nSize. Returns the
    // unclamped counts for the bars (they clamp to their ranges); the
    // counters themselves stop at the entry's size and at the total.
    struct Bars {
        std::uint64_t file = 0;
        std::uint64_t total = 0;
    };
    Bars Count(std::uint64_t n, std::uint64_t nSize);
};

} // namespace orvanta
