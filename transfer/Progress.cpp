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

void DownloadCounters::Prepare(std::span<const FileEntry> list, std::size_t nResume)
{
    *this = DownloadCounters{};
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i == nResume) {
            nCurFile = i;
            dwAllRecv = dwTotalSize;
        }
        dwTotalSize += list[i].size;
    }
}

DownloadCounters::Bars DownloadCounters::Count(std::uint64_t n, std::uint64_t nSize)
{
    dwFileRecv += n;
    dwAllRecv += n;
    const Bars bars{dwFileRecv, dwAllRecv};
    dwFileRecv = std::min(dwFileRecv, nSize);
    dwAllRecv = std::min(dwAllRecv, dwTotalSize);
    dwLastFileRecv = dwFileRecv;
    return bars;
}

} // namespace orvanta
