#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

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

} // namespace orvanta
