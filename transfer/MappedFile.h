#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

// A whole file seen as memory. The pages come and go with the file system's
// cache, so a mapping of a large file costs address space, not memory.
namespace orvanta {

class CMappedFile final {
public:
    // The file's bytes, read-only; nothing when it cannot be opened or
    // mapped. An empty file maps to no bytes.
    static std::unique_ptr<CMappedFile> OpenRead(const std::filesystem::path& path);
    // A file of nSize bytes, made or truncated, for writing through memory.
    static std::unique_ptr<CMappedFile> CreateWrite(const std::filesystem::path& path, std::uint64_t nSize);

    ~CMappedFile();
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    const std::uint8_t* Data() const { return m_pData; }
    std::uint8_t* MutableData() { return m_bWritable ? m_pData : nullptr; }
    std::size_t Size() const { return m_nSize; }

    // Starts writing a range written through the mapping to disk without
    // waiting for it (Linux: sync_file_range; elsewhere nothing).
    void StartWriteback(std::uint64_t nOffset, std::uint64_t nLength);

    // What was written through the mapping, on disk (msync and fdatasync;
    // FlushViewOfFile and FlushFileBuffers on Windows).
    bool Flush();

private:
    CMappedFile() = default;

    std::uint8_t* m_pData = nullptr;
    std::size_t m_nSize = 0;
    bool m_bWritable = false;
#ifdef _WIN32
    void* m_hFile = nullptr;
    void* m_hMapping = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace orvanta
