#include "transfer/PathRules.h"

#include <charconv>

namespace orvanta {
namespace {

constexpr int DEFAULT_FTP_PORT = 21;

bool HasForbiddenByte(std::string_view text)
{
    return text.find_first_of("\\:") != std::string_view::npos;
}

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// A decimal port from 1 to 65535, digits only.
bool ParsePort(std::string_view text, int* pPort)
{
    if (text.empty() || text.size() > 5)
        return false;
    int nPort = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), nPort);
    if (ec != std::errc() || ptr != text.data() + text.size() || nPort < 1 || nPort > 65535)
        return false;
    *pPort = nPort;
    return true;
}

} // namespace

bool IsSafeEntry(std::string_view folder, std::string_view name)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        HasForbiddenByte(name))
        return false;
    if (HasForbiddenByte(folder) || folder.starts_with("//"))
        return false;
    std::size_t nStart = 0;
    while (nStart <= folder.size()) {
        std::size_t nEnd = folder.find('/', nStart);
        if (nEnd == std::string_view::npos)
            nEnd = folder.size();
        if (folder.substr(nStart, nEnd - nStart) == "..")
            return false;
        nStart = nEnd + 1;
    }
    return true;
}

std::vector<std::string> FolderSteps(std::string_view folder)
{
    std::vector<std::string> steps;
    for (std::size_t p = folder.find('/', 1); p != std::string_view::npos && p < folder.size();
         p = folder.find('/', p + 1))
        steps.emplace_back(folder.substr(0, p));
    steps.emplace_back(folder);
    return steps;
}

std::string RemotePath(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

std::string EncodeFtpUrlPath(std::string_view remotePath)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string url;
    url.reserve(remotePath.size() * 3);
    for (std::size_t i = 0; i < remotePath.size(); ++i) {
        const auto c = static_cast<unsigned char>(remotePath[i]);
        if (IsUnreserved(c) || (c == '/' && i > 0)) {
            url += char(c);
        } else {
            url += '%';
            url += HEX[c >> 4];
            url += HEX[c & 0x0F];
        }
    }
    return url;
}

bool IsUrlHost(std::string_view host)
{
    if (host.empty() || host.size() > 253)
        return false;
    const bool bV6 = host.find(':') != std::string_view::npos;
    for (const char ch : host) {
        const auto c = static_cast<unsigned char>(ch);
        const bool bHex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        const bool bOk = bV6 ? (bHex || c == ':' || c == '.')
                             : ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '.' || c == '-' || c == '_');
        if (!bOk)
            return false;
    }
    return true;
}

HostPort SplitHostPort(std::string_view text)
{
    const HostPort whole{std::string(text), DEFAULT_FTP_PORT};
    if (text.starts_with('[')) {
        const std::size_t nClose = text.find(']');
        if (nClose == std::string_view::npos)
            return whole;
        HostPort result{std::string(text.substr(1, nClose - 1)), DEFAULT_FTP_PORT};
        const std::string_view rest = text.substr(nClose + 1);
        if (rest.empty())
            return result;
        if (rest.front() != ':' || !ParsePort(rest.substr(1), &result.port))
            return whole;
        return result;
    }
    const std::size_t nColon = text.find(':');
    if (nColon == std::string_view::npos || text.find(':', nColon + 1) != std::string_view::npos)
        return whole;  // no port, or a bare IPv6 address
    HostPort result{std::string(text.substr(0, nColon)), DEFAULT_FTP_PORT};
    if (!ParsePort(text.substr(nColon + 1), &result.port))
        return whole;
    return result;
}

} // namespace orvanta
