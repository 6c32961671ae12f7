#include "patch/Cp949.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

namespace orvanta {
namespace {

#ifdef _WIN32
std::string Convert(std::string_view in, UINT from, UINT to, bool* ok)
{
    bool exact = true;
    std::string out;
    if (!in.empty()) {
        const int wlen = MultiByteToWideChar(from, 0, in.data(), int(in.size()), nullptr, 0);
        std::wstring wide(std::size_t(wlen), L'\0');
        MultiByteToWideChar(from, 0, in.data(), int(in.size()), wide.data(), wlen);
        BOOL usedDefault = FALSE;
        BOOL* pUsed = to == CP_UTF8 ? nullptr : &usedDefault;
        const int olen = WideCharToMultiByte(to, 0, wide.data(), wlen, nullptr, 0, nullptr, pUsed);
        out.resize(std::size_t(olen));
        WideCharToMultiByte(to, 0, wide.data(), wlen, out.data(), olen, nullptr, pUsed);
        exact = !usedDefault && MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), nullptr, 0) > 0;
    }
    if (ok)
        *ok = exact;
    return out;
}
#else
// One descriptor per direction and thread, kept: opening one looks the
// gconv module up (a dlopen) each time, and a release folder converts two
// names per file.
class CConverter final {
public:
    CConverter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~CConverter()
    {
        if (IsOpen())
            iconv_close(m_cd);
    }
    CConverter(const CConverter&) = delete;
    CConverter& operator=(const CConverter&) = delete;

    bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_cd; }

private:
    iconv_t m_cd;
};

// iconv with a replacement for every byte that does not convert.
std::string Convert(std::string_view in, const CConverter& converter, std::string_view replacement, bool* ok)
{
    bool exact = true;
    std::string out;
    if (!converter.IsOpen()) {
        if (ok)
            *ok = false;
        return std::string(in);
    }
    iconv_t cd = converter.Get();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.reserve(in.size() * 3 / 2 + 8);
    char buf[1024];
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    while (srcLeft > 0) {
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, std::size_t(dst - buf));
        if (rc == std::size_t(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: skip one byte of the source and mark it.
            exact = false;
            out.append(replacement);
            ++src;
            --srcLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    if (ok)
        *ok = exact;
    return out;
}
#endif

} // namespace

std::string Cp949ToUtf8(std::string_view cp949, bool* ok)
{
#ifdef _WIN32
    return Convert(cp949, 949, CP_UTF8, ok);
#else
    thread_local const CConverter converter("UTF-8", "CP949");
    return Convert(cp949, converter, "\xEF\xBF\xBD", ok);
#endif
}

std::string Utf8ToCp949(std::string_view utf8, bool* ok)
{
#ifdef _WIN32
    return Convert(utf8, CP_UTF8, 949, ok);
#else
    thread_local const CConverter converter("CP949", "UTF-8");
    return Convert(utf8, converter, "?", ok);
#endif
}

} // namespace orvanta
