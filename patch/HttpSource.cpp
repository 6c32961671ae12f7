#include "patch/HttpSource.h"

#include <algorithm>

namespace orvanta {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char ch) {
               return (ch >= 'A' && ch <= 'Z' ? char(ch - 'A' + 'a') : ch) == lower;
           });
}

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

void AppendEncoded(std::string* pOut, std::string_view segment)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    for (const char ch : segment) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            pOut->push_back(ch);
        } else {
            pOut->push_back('%');
            pOut->push_back(HEX[c >> 4]);
            pOut->push_back(HEX[c & 15]);
        }
    }
}

// Each '/'-separated segment encoded; empty segments dropped.
void AppendPath(std::string* pOut, std::string_view path)
{
    while (!path.empty()) {
        const std::size_t nSlash = path.find('/');
        const std::string_view segment = path.substr(0, nSlash);
        if (!segment.empty()) {
            AppendEncoded(pOut, segment);
            pOut->push_back('/');
        }
        if (nSlash == std::string_view::npos)
            break;
        path.remove_prefix(nSlash + 1);
    }
}

} // namespace

std::optional<std::string> HttpSourceBase(std::string_view url)
{
    constexpr std::size_t MAX_URL = 400;
    std::size_t nScheme = 0;
    if (StartsWithNoCase(url, "https://"))
        nScheme = 8;
    else if (StartsWithNoCase(url, "http://"))
        nScheme = 7;
    if (nScheme == 0 || url.size() > MAX_URL)
        return std::nullopt;
    for (const char ch : url) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || ch == '"' || ch == '\'' || ch == '<' || ch == '>' || ch == '\\' ||
            ch == '#' || ch == '?' || ch == '@' || ch == '`' || ch == '{' || ch == '}' || ch == '|' || ch == '^')
            return std::nullopt;
    }
    const std::string_view rest = url.substr(nScheme);
    const std::string_view host = rest.substr(0, rest.find('/'));
    if (host.empty() || host.front() == ':' || rest.find("/../") != std::string_view::npos ||
        rest.ends_with("/.."))
        return std::nullopt;
    std::string base(url);
    if (!base.ends_with('/'))
        base.push_back('/');
    return base;
}

std::string HttpSourceUrl(std::string_view base, std::int32_t nVersion, std::string_view folder,
                          std::string_view name)
{
    std::string url(base);
    if (!url.ends_with('/'))
        url.push_back('/');
    url += std::to_string(nVersion);
    url.push_back('/');
    AppendPath(&url, folder);
    AppendEncoded(&url, name);
    return url;
}

} // namespace orvanta
