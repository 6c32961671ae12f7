#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <system_error>

// A file written and read at explicit offsets, from several threads at
// once: each call stands alone, with no shared position to race for
// (pwrite/pread; on Windows, WriteFile/ReadFile with the offset in an
// OVERLAPPED). Opened for reading and writing, made when missing, never
// truncated, never through a link. Qt-free.
class CRandomAccessFile final {
public:
    CRandomAccessFile() = default;
    ~CRandomAccessFile() { Close(); }
    CRandomAccessFile(const CRandomAccessFile&) = delete;
    CRandomAccessFile& operator=(const CRandomAccessFile&) = delete;

    std::error_code Open(const std::filesystem::path& path);
    bool IsOpen() const;
    // Every byte, or the system's error.
    std::error_code WriteAt(std::uint64_t nOffset, const void* pData, std::size_t nBytes);
    // Every byte; an error (io_error at the file's end) when fewer are there.
    std::error_code ReadAt(std::uint64_t nOffset, void* pData, std::size_t nBytes);
    std::error_code Truncate(std::uint64_t nSize);
    // The data written so far on the disk.
    std::error_code SyncData();
    std::error_code Close();

private:
#ifdef _WIN32
    void* m_hFile = reinterpret_cast<void*>(-1);  // INVALID_HANDLE_VALUE
#else
    int m_fd = -1;
#endif
};
