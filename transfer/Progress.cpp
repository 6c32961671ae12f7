#include "transfer/Progress.h"

#include <algorithm>

namespace orvanta {

std::size_t FindResumeEntry(std::span<const FileEntry> list, std::string_view folder, std::string_view name)
{
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].folder == folder && list[i].name == name)
            return i;
    }
    return static_cast<std::size_t>(-1);
}

void DownloadCounters::Prepare(std::span<const FileEntry> list, std::size_t nResume,
                               std::span<const std::uint64_t> entryCosts)
{
    *this = DownloadCounters{};
    costs.resize(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        costs[i] = entryCosts.size() == list.size() ? entryCosts[i] : list[i].size;
        if (i == nResume) {
            nCurFile = i;
            dwAllRecv = dwTotalSize;
        }
        dwTotalSize += costs[i];
    }
    nNextEntry = nCurFile;
}

void DownloadCounters::SetCost(std::size_t nEntry, std::uint64_t n)
{
    if (nEntry >= costs.size())
        return;
    dwTotalSize = dwTotalSize - costs[nEntry] + n;
    costs[nEntry] = n;
    dwAllRecv = std::min(dwAllRecv, dwTotalSize);
}

DownloadCounters::Bars DownloadCounters::Count(std::size_t nEntry, std::uint64_t n, std::uint64_t nSize)
{
    std::uint64_t& nRecv = inFlight[nEntry];
    nRecv += n;
    dwAllRecv += n;
    const Bars bars{nEntry == nCurFile ? nRecv : dwFileRecv, dwAllRecv};
    nRecv = std::min(nRecv, nSize);
    dwAllRecv = std::min(dwAllRecv, dwTotalSize);
    if (nEntry == nCurFile) {
        dwFileRecv = nRecv;
        dwLastFileRecv = dwFileRecv;
    }
    return bars;
}

void DownloadCounters::Uncount(std::size_t nEntry)
{
    const auto it = inFlight.find(nEntry);
    if (it == inFlight.end())
        return;
    dwAllRecv -= std::min(dwAllRecv, it->second);
    it->second = 0;
    if (nEntry == nCurFile) {
        dwFileRecv = 0;
        dwLastFileRecv = 0;
    }
}

std::uint64_t DownloadCounters::Received(std::size_t nEntry) const
{
    const auto it = inFlight.find(nEntry);
    return it == inFlight.end() ? 0 : it->second;
}

bool DownloadCounters::Complete(std::size_t nEntry)
{
    inFlight.erase(nEntry);
    if (nEntry != nCurFile) {
        if (nEntry > nCurFile)
            completeAhead.insert(nEntry);
        return false;
    }
    ++nCurFile;
    while (completeAhead.erase(nCurFile) > 0)
        ++nCurFile;
    nNextEntry = std::max(nNextEntry, nCurFile);
    dwFileRecv = Received(nCurFile);
    dwLastFileRecv = dwFileRecv;
    return true;
}

} // namespace orvanta
