#include "transfer/MappedFile.h"

#include <limits>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace orvanta {

#ifdef _WIN32

std::unique_ptr<CMappedFile> CMappedFile::OpenRead(const std::filesystem::path& path)
{
    std::unique_ptr<CMappedFile> pMap(new CMappedFile);
    HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return nullptr;
    pMap->m_hFile = hFile;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(hFile, &size) || std::uint64_t(size.QuadPart) > std::numeric_limits<std::size_t>::max())
        return nullptr;
    pMap->m_nSize = std::size_t(size.QuadPart);
    if (pMap->m_nSize == 0)
        return pMap;
    pMap->m_hMapping = ::CreateFileMappingW(hFile, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!pMap->m_hMapping)
        return nullptr;
    pMap->m_pData = static_cast<std::uint8_t*>(::MapViewOfFile(pMap->m_hMapping, FILE_MAP_READ, 0, 0, 0));
    return pMap->m_pData ? std::move(pMap) : nullptr;
}

std::unique_ptr<CMappedFile> CMappedFile::CreateWrite(const std::filesystem::path& path, std::uint64_t nSize)
{
    if (nSize > std::numeric_limits<std::size_t>::max())
        return nullptr;
    std::unique_ptr<CMappedFile> pMap(new CMappedFile);
    HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return nullptr;
    pMap->m_hFile = hFile;
    pMap->m_nSize = std::size_t(nSize);
    pMap->m_bWritable = true;
    if (nSize == 0)
        return pMap;
    pMap->m_hMapping = ::CreateFileMappingW(hFile, nullptr, PAGE_READWRITE, DWORD(nSize >> 32),
                                            DWORD(nSize & 0xFFFFFFFFu), nullptr);
    if (!pMap->m_hMapping)
        return nullptr;
    pMap->m_pData = static_cast<std::uint8_t*>(::MapViewOfFile(pMap->m_hMapping, FILE_MAP_WRITE, 0, 0, 0));
    return pMap->m_pData ? std::move(pMap) : nullptr;
}

CMappedFile::~CMappedFile()
{
    if (m_pData)
        ::UnmapViewOfFile(m_pData);
    if (m_hMapping)
        ::CloseHandle(m_hMapping);
    if (m_hFile)
        ::CloseHandle(m_hFile);
}

void CMappedFile::StartWriteback(std::uint64_t, std::uint64_t) {}

bool CMappedFile::Flush()
{
    if (m_pData && !::FlushViewOfFile(m_pData, 0))
        return false;
    return m_hFile && ::FlushFileBuffers(m_hFile);
}

#else

std::unique_ptr<CMappedFile> CMappedFile::OpenRead(const std::filesystem::path& path)
{
    std::unique_ptr<CMappedFile> pMap(new CMappedFile);
    pMap->m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (pMap->m_fd < 0 || ::fstat(pMap->m_fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        std::uint64_t(info.st_size) > std::numeric_limits<std::size_t>::max())
        return nullptr;
    pMap->m_nSize = std::size_t(info.st_size);
    if (pMap->m_nSize == 0)
        return pMap;
    void* p = ::mmap(nullptr, pMap->m_nSize, PROT_READ, MAP_SHARED, pMap->m_fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    pMap->m_pData = static_cast<std::uint8_t*>(p);
    ::madvise(p, pMap->m_nSize, MADV_SEQUENTIAL);
    return pMap;
}

std::unique_ptr<CMappedFile> CMappedFile::CreateWrite(const std::filesystem::path& path, std::uint64_t nSize)
{
    if (nSize > std::uint64_t(std::numeric_limits<off_t>::max()))
        return nullptr;
    std::unique_ptr<CMappedFile> pMap(new CMappedFile);
    pMap->m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (pMap->m_fd < 0)
        return nullptr;
    pMap->m_nSize = std::size_t(nSize);
    pMap->m_bWritable = true;
    if (nSize == 0)
        return pMap;
    // The blocks are taken now: a full disk fails here, not as a fault
    // halfway through writing the pages.
    if (::posix_fallocate(pMap->m_fd, 0, off_t(nSize)) != 0)
        return nullptr;
    void* p = ::mmap(nullptr, pMap->m_nSize, PROT_READ | PROT_WRITE, MAP_SHARED, pMap->m_fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    pMap->m_pData = static_cast<std::uint8_t*>(p);
    return pMap;
}

CMappedFile::~CMappedFile()
{
    if (m_pData)
        ::munmap(m_pData, m_nSize);
    if (m_fd >= 0)
        ::close(m_fd);
}

void CMappedFile::StartWriteback(std::uint64_t nOffset, std::uint64_t nLength)
{
#ifdef __linux__
    if (m_fd >= 0)
        ::sync_file_range(m_fd, off_t(nOffset), off_t(nLength), SYNC_FILE_RANGE_WRITE);
#else
    (void)nOffset;
    (void)nLength;
#endif
}

bool CMappedFile::Flush()
{
    if (m_pData && ::msync(m_pData, m_nSize, MS_SYNC) != 0)
        return false;
    return m_fd >= 0 && ::fdatasync(m_fd) == 0;
}

#endif

} // namespace orvanta
