#include "settings/IniText.h"

#include <cctype>
#include <cstdio>
#include <optional>
#include <vector>

namespace orvanta::settings {
namespace {

bool IsHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

std::string_view Trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool IsGeneralHeader(std::string_view header)
{
    // "[General]", in any case, as Qt reads it.
    if (header.size() < 2 || header.front() != '[' || header.back() != ']')
        return false;
    const std::string_view name = header.substr(1, header.size() - 2);
    constexpr std::string_view GENERAL = "general";
    if (name.size() != GENERAL.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != GENERAL[i])
            return false;
    }
    return true;
}

// The key a line sets, when it is a "key = value" line.
std::optional<std::string_view> KeyOf(std::string_view line)
{
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    const std::string_view key = Trimmed(line.substr(0, eq));
    if (key.empty() || key.front() == ';' || key.front() == '[')
        return std::nullopt;
    return key;
}

struct Line {
    std::string_view body;  // without its line ending
    std::string_view end;   // "\n", "\r\n" or nothing (the last line)
};

std::vector<Line> SplitLines(std::string_view text)
{
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) {
            lines.push_back({text.substr(pos), {}});
            break;
        }
        const bool bCr = nl > pos && text[nl - 1] == '\r';
        lines.push_back({text.substr(pos, nl - pos - (bCr ? 1 : 0)), text.substr(nl - (bCr ? 1 : 0), bCr ? 2 : 1)});
        pos = nl + 1;
    }
    return lines;
}

} // namespace

std::string IniTextValue(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size() + 2);
    // A text starting with '@' would read as a typed value.
    if (!utf8.empty() && utf8.front() == '@')
        out += '@';
    bool bQuote = false;
    bool bEscapeHexDigit = false;  // after "\x.." or "\0", a hex digit would join the escape
    for (const char c : utf8) {
        if (c == ';' || c == ',' || c == '=')
            bQuote = true;
        if (bEscapeHexDigit && IsHexDigit(c)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%x", unsigned(static_cast<unsigned char>(c)));
            out += hex;
            continue;
        }
        bEscapeHexDigit = false;
        switch (c) {
        case '\0': out += "\\0"; bEscapeHexDigit = true; break;
        case '\a': out += "\\a"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\v': out += "\\v"; break;
        case '"':
        case '\\':
            out += '\\';
            out += c;
            break;
        default:
            if (static_cast<unsigned char>(c) <= 0x1F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%x", unsigned(static_cast<unsigned char>(c)));
                out += hex;
                bEscapeHexDigit = true;
            } else {
                out += c;
            }
        }
    }
    if (bQuote || (!out.empty() && (out.front() == ' ' || out.back() == ' ')))
        out = '"' + out + '"';
    return out;
}

std::string SpliceIniValues(std::string_view text, std::span<const std::pair<std::string, std::string>> values)
{
    const std::vector<Line> lines = SplitLines(text);
    std::vector<bool> found(values.size(), false);
    std::string out;
    out.reserve(text.size() + values.size() * 32);
    const std::string_view newline = !lines.empty() && lines.front().end == "\r\n" ? "\r\n" : "\n";

    bool bGeneral = true;   // before any header, keys are the General section's
    std::size_t nInsert = std::string::npos;  // where the section's missing keys go
    for (const Line& line : lines) {
        const std::string_view trimmed = Trimmed(line.body);
        if (!trimmed.empty() && trimmed.front() == '[') {
            bGeneral = IsGeneralHeader(trimmed);
            out.append(line.body).append(line.end);
            if (bGeneral)
                nInsert = out.size();
            continue;
        }
        const auto key = bGeneral ? KeyOf(line.body) : std::nullopt;
        std::size_t nValue = values.size();
        for (std::size_t i = 0; key && i < values.size(); ++i) {
            if (*key == values[i].first)
                nValue = i;
        }
        if (nValue == values.size()) {
            out.append(line.body).append(line.end);
        } else {
            found[nValue] = true;
            out.append(line.body.substr(0, line.body.find('=') + 1)).append(values[nValue].second).append(line.end);
        }
        if (bGeneral && key)
            nInsert = out.size();
    }

    std::string missing;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!found[i])
            missing.append(values[i].first).append("=").append(values[i].second).append(newline);
    }
    if (missing.empty())
        return out;
    if (nInsert == std::string::npos) {
        // No General section yet: it goes first, as Qt writes it.
        return "[General]" + std::string(newline) + missing + (out.empty() ? "" : std::string(newline)) + out;
    }
    // The section's last line may be the file's last, without its ending.
    if (nInsert == out.size() && !out.empty() && out.back() != '\n')
        missing.insert(0, newline);
    out.insert(nInsert, missing);
    return out;
}

} // namespace orvanta::settings
