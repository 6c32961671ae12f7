#include "transfer/DiskSync.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace orvanta {

bool SyncFileData(const std::filesystem::path& path)
{
#ifdef _WIN32
    const HANDLE hFile = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    const bool bOk = FlushFileBuffers(hFile) != 0;
    CloseHandle(hFile);
    return bOk;
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
#if defined(__APPLE__)
    const bool bOk = ::fsync(fd) == 0;
#else
    const bool bOk = ::fdatasync(fd) == 0;
#endif
    ::close(fd);
    return bOk;
#endif
}

void StartWriteback(std::FILE* pFile, std::uint64_t nFrom, std::uint64_t nBytes)
{
#ifdef __linux__
    ::sync_file_range(::fileno(pFile), off64_t(nFrom), off64_t(nBytes), SYNC_FILE_RANGE_WRITE);
#else
    (void)pFile;
    (void)nFrom;
    (void)nBytes;
#endif
}

bool SyncFolderTree(const std::filesystem::path& folder)
{
#ifdef __linux__
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool bOk = ::syncfs(fd) == 0;
    ::close(fd);
    return bOk;
#else
    (void)folder;
    return false;
#endif
}

} // namespace orvanta
