#pragma once

#include "patch/Records.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string_view>
#include <vector>

// The download's counters and its resume point: plain arithmetic over the
// file list, with no clock, thread or window in sight.
namespace orvanta {

// The first entry whose folder and name are the mark's, or npos. The first
// one: a list that names a file twice must not resume past the files
// between the two.
std::size_t FindResumeEntry(std::span<const FileEntry> list, std::string_view folder, std::string_view name);

// The counters behind the two bars and the byte texts. Counted in 64 bits,
// so lists past 4 GiB never wrap. Several entries may be in flight at once:
// the file bar, its texts and the resume mark follow the lowest-numbered
// entry not yet complete, the total counts the bytes of every entry.
struct DownloadCounters {
    std::size_t nCurFile = 0;          // lowest-numbered entry not yet complete
    std::uint64_t dwFileRecv = 0;      // bytes counted for nCurFile
    std::uint64_t dwAllRecv = 0;       // bytes counted for the whole list
    std::uint64_t dwLastFileRecv = 0;  // dwFileRecv after the latest byte count
    std::uint64_t dwTotalSize = 0;     // sum of every entry's cost
    // What each entry takes to fetch: its size, or its patch's.
    std::vector<std::uint64_t> costs;
    std::size_t nNextEntry = 0;        // the next entry to start
    // Entries started and not yet complete: their bytes, at most their size.
    std::map<std::size_t, std::uint64_t> inFlight;
    std::set<std::size_t> completeAhead;  // complete entries past nCurFile

    // Totals the list and places the counters at the resume entry (npos:
    // the first), the entries before it counted as received. Each entry
    // costs its size unless entryCosts (one per entry) says otherwise.
    void Prepare(std::span<const FileEntry> list, std::size_t nResume,
                 std::span<const std::uint64_t> entryCosts = {});

    std::uint64_t Cost(std::size_t nEntry) const { return nEntry < costs.size() ? costs[nEntry] : 0; }
    // Entry nEntry costs n in all from now on, and the total follows: a
    // patch that failed costs what arrived of it plus the whole file; a
    // transfer that starts over costs what it was planned to.
    void SetCost(std::size_t nEntry, std::uint64_t n);

    // Adds n bytes of entry nEntry, whose cost is nSize. Returns the
    // unclamped counts for the bars (they clamp to their ranges); the
    // counters themselves stop at the entry's size and at the total.
    struct Bars {
        std::uint64_t file = 0;
        std::uint64_t total = 0;
    };
    Bars Count(std::size_t nEntry, std::uint64_t n, std::uint64_t nSize);
    // Bytes of nCurFile.
    Bars Count(std::uint64_t n, std::uint64_t nSize) { return Count(nCurFile, n, nSize); }

    // The bytes counted for an entry in flight no longer count: its
    // transfer starts over.
    void Uncount(std::size_t nEntry);

    // Bytes counted for an entry in flight.
    std::uint64_t Received(std::size_t nEntry) const;

    // nEntry is complete. True when nCurFile moved on, past every entry
    // already complete.
    bool Complete(std::size_t nEntry);
};

} // namespace orvanta
