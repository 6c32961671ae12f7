#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace orvanta {

// fopen with a path of any name: on Windows through _wfopen, so that the
// path goes as UTF-16 and Korean names do not depend on the system's code
// page. mode is fopen's ("rb", "r+b", "ab", ...).
inline std::FILE* OpenFile(const std::filesystem::path& path, const char* mode)
{
#ifdef _WIN32
    const std::string narrow(mode);
    return _wfopen(path.c_str(), std::wstring(narrow.begin(), narrow.end()).c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

// How much a regular file holds; 0 when it is missing, a link or anything
// else.
inline std::uint64_t RegularFileSize(const std::filesystem::path& path)
{
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status))
        return 0;
    const auto nSize = std::filesystem::file_size(path, ec);
    return ec ? 0 : std::uint64_t(nSize);
}

} // namespace orvanta
