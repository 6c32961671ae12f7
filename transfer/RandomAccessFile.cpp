#include "transfer/RandomAccessFile.h"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
std::error_code LastSystemError()
{
    return {int(GetLastError()), std::system_category()};
}

// Where a ReadFile or WriteFile of a synchronous handle starts.
OVERLAPPED At(std::uint64_t nOffset)
{
    OVERLAPPED at{};
    at.Offset = DWORD(nOffset & 0xffffffffU);
    at.OffsetHigh = DWORD(nOffset >> 32);
    return at;
}
#else
std::error_code LastSystemError()
{
    return {errno != 0 ? errno : EIO, std::generic_category()};
}
#endif

// Each call moves at most this much, so a count never overflows a DWORD or
// a ssize_t.
constexpr std::size_t MAX_STEP = 1U << 30;

} // namespace

#ifdef _WIN32

std::error_code CRandomAccessFile::Open(const std::filesystem::path& path)
{
    Close();
    const HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return LastSystemError();
    m_hFile = hFile;
    return {};
}

bool CRandomAccessFile::IsOpen() const
{
    return m_hFile != INVALID_HANDLE_VALUE;
}

std::error_code CRandomAccessFile::WriteAt(std::uint64_t nOffset, const void* pData, std::size_t nBytes)
{
    const auto* p = static_cast<const char*>(pData);
    while (nBytes > 0) {
        OVERLAPPED at = At(nOffset);
        DWORD nDone = 0;
        if (!WriteFile(m_hFile, p, DWORD(std::min(nBytes, MAX_STEP)), &nDone, &at))
            return LastSystemError();
        p += nDone;
        nOffset += nDone;
        nBytes -= nDone;
    }
    return {};
}

std::error_code CRandomAccessFile::ReadAt(std::uint64_t nOffset, void* pData, std::size_t nBytes)
{
    auto* p = static_cast<char*>(pData);
    while (nBytes > 0) {
        OVERLAPPED at = At(nOffset);
        DWORD nDone = 0;
        if (!ReadFile(m_hFile, p, DWORD(std::min(nBytes, MAX_STEP)), &nDone, &at))
            return LastSystemError();
        if (nDone == 0)
            return std::make_error_code(std::errc::io_error);
        p += nDone;
        nOffset += nDone;
        nBytes -= nDone;
    }
    return {};
}

std::error_code CRandomAccessFile::Truncate(std::uint64_t nSize)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = LONGLONG(nSize);
    if (!SetFileInformationByHandle(m_hFile, FileEndOfFileInfo, &end, sizeof end))
        return LastSystemError();
    return {};
}

std::error_code CRandomAccessFile::SyncData()
{
    return FlushFileBuffers(m_hFile) ? std::error_code() : LastSystemError();
}

std::error_code CRandomAccessFile::Close()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return {};
    const bool bOk = CloseHandle(m_hFile) != 0;
    m_hFile = INVALID_HANDLE_VALUE;
    return bOk ? std::error_code() : LastSystemError();
}

#else

std::error_code CRandomAccessFile::Open(const std::filesystem::path& path)
{
    Close();
    errno = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return LastSystemError();
    m_fd = fd;
    return {};
}

bool CRandomAccessFile::IsOpen() const
{
    return m_fd >= 0;
}

std::error_code CRandomAccessFile::WriteAt(std::uint64_t nOffset, const void* pData, std::size_t nBytes)
{
    const auto* p = static_cast<const char*>(pData);
    while (nBytes > 0) {
        errno = 0;
        const ssize_t nDone = ::pwrite(m_fd, p, std::min(nBytes, MAX_STEP), off_t(nOffset));
        if (nDone < 0 && errno == EINTR)
            continue;
        if (nDone <= 0)
            return LastSystemError();
        p += nDone;
        nOffset += std::uint64_t(nDone);
        nBytes -= std::size_t(nDone);
    }
    return {};
}

std::error_code CRandomAccessFile::ReadAt(std::uint64_t nOffset, void* pData, std::size_t nBytes)
{
    auto* p = static_cast<char*>(pData);
    while (nBytes > 0) {
        errno = 0;
        const ssize_t nDone = ::pread(m_fd, p, std::min(nBytes, MAX_STEP), off_t(nOffset));
        if (nDone < 0 && errno == EINTR)
            continue;
        if (nDone < 0)
            return LastSystemError();
        if (nDone == 0)
            return std::make_error_code(std::errc::io_error);
        p += nDone;
        nOffset += std::uint64_t(nDone);
        nBytes -= std::size_t(nDone);
    }
    return {};
}

std::error_code CRandomAccessFile::Truncate(std::uint64_t nSize)
{
    errno = 0;
    return ::ftruncate(m_fd, off_t(nSize)) == 0 ? std::error_code() : LastSystemError();
}

std::error_code CRandomAccessFile::SyncData()
{
    errno = 0;
#if defined(__APPLE__)
    const bool bOk = ::fsync(m_fd) == 0;
#else
    const bool bOk = ::fdatasync(m_fd) == 0;
#endif
    return bOk ? std::error_code() : LastSystemError();
}

std::error_code CRandomAccessFile::Close()
{
    if (m_fd < 0)
        return {};
    errno = 0;
    const bool bOk = ::close(m_fd) == 0;
    m_fd = -1;
    return bOk ? std::error_code() : LastSystemError();
}

#endif
