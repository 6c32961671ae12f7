#include "transfer/PathRules.h"

#include "patch/Cp949.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <unordered_map>

namespace orvanta {
namespace {

constexpr int DEFAULT_FTP_PORT = 21;

bool IsLeadByte(unsigned char c)
{
    return c >= 0x81 && c <= 0xFE;
}

// Bytes Windows does not take in a path segment, "/" aside. None of them
// is a trail byte of CP949 (those are 0x41-0x5A, 0x61-0x7A, 0x81-0xFE).
bool HasForbiddenByte(std::string_view text)
{
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || std::string_view("\\:<>\"|?*").find(ch) != std::string_view::npos)
            return true;
    }
    return false;
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 and COM or LPT with a superscript
// digit (CP949 A9F6-A9F8), CONIN$ and CONOUT$; base is the segment before
// its first dot.
bool IsDeviceName(std::string_view base)
{
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    std::string upper;
    for (const char c : base)
        upper += AsciiUpper(c);
    for (const std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (upper == device)
            return true;
    }
    if (!upper.starts_with("COM") && !upper.starts_with("LPT"))
        return false;
    const std::string_view digit = std::string_view(upper).substr(3);
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') ||
           digit == "\xA9\xF6" || digit == "\xA9\xF7" || digit == "\xA9\xF8";
}

// One "/"-separated part of a folder, or the name.
EntryFault SegmentFault(std::string_view segment, bool bName)
{
    if (segment.empty() || segment == ".")
        return bName ? EntryFault::CLIMBS : EntryFault::NONE;
    if (segment == "..")
        return EntryFault::CLIMBS;
    if (HasForbiddenByte(segment))
        return EntryFault::FORBIDDEN_CHAR;
    if (segment.back() == '.' || segment.back() == ' ')
        return EntryFault::TRAILING_DOT;
    return IsDeviceName(segment.substr(0, segment.find('.'))) ? EntryFault::DEVICE_NAME : EntryFault::NONE;
}

// Characters as Windows counts them: a CP949 double-byte pair is one.
std::size_t WindowsLength(std::string_view text)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i, ++n) {
        if (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size())
            ++i;
    }
    return n;
}

// Lowercase letters of KS X 1001 with their uppercase forms: Windows
// compares names after upcasing them, Korean has no case, and these are
// the letters of CP949 that do.
struct CaseRange {
    unsigned char lead, first, last, upperLead, upperFirst;
};
constexpr std::array<CaseRange, 10> CP949_LOWER = {{
    {0xA3, 0xE1, 0xFA, 0xA3, 0xC1},  // full-width Latin
    {0xA5, 0xA1, 0xAA, 0xA5, 0xB0},  // small Roman numerals
    {0xA5, 0xE1, 0xF8, 0xA5, 0xC1},  // Greek
    {0xA9, 0xA1, 0xA1, 0xA8, 0xA1},  // ae
    {0xA9, 0xA3, 0xA3, 0xA8, 0xA2},  // eth
    {0xA9, 0xA4, 0xA4, 0xA8, 0xA4},  // h with stroke
    {0xA9, 0xA6, 0xA6, 0xA8, 0xA6},  // ij
    {0xA9, 0xA8, 0xAB, 0xA8, 0xA8},  // l with middle dot, l with stroke, o with stroke, oe
    {0xA9, 0xAD, 0xAF, 0xA8, 0xAD},  // thorn, t with stroke, eng
    {0xAC, 0xD1, 0xF1, 0xAC, 0xA1},  // Cyrillic
}};

// The path as Windows would compare it: empty and "." folder parts
// dropped, letters upcased. A double-byte character keeps its trail byte,
// which may look like an ASCII letter.
std::string CaseKey(std::string_view path)
{
    std::string key;
    key.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (!IsLeadByte(c) || i + 1 == path.size()) {
            key += AsciiUpper(char(c));
            continue;
        }
        auto trail = static_cast<unsigned char>(path[++i]);
        unsigned char lead = c;
        for (const CaseRange& r : CP949_LOWER) {
            if (lead == r.lead && trail >= r.first && trail <= r.last) {
                trail = static_cast<unsigned char>(r.upperFirst + (trail - r.first));
                lead = r.upperLead;
                break;
            }
        }
        key += char(lead);
        key += char(trail);
    }
    return key;
}

// folder/name with empty and "." folder parts dropped: entries that name
// the same file the same way on every platform give the same text.
std::string NormalPath(std::string_view folder, std::string_view name)
{
    std::string path;
    std::size_t nStart = 0;
    while (nStart <= folder.size()) {
        std::size_t nEnd = folder.find('/', nStart);
        if (nEnd == std::string_view::npos)
            nEnd = folder.size();
        const std::string_view part = folder.substr(nStart, nEnd - nStart);
        if (!part.empty() && part != ".") {
            path += part;
            path += '/';
        }
        nStart = nEnd + 1;
    }
    path += name;
    return path;
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

EntryFault EntryNameFault(std::string_view folder, std::string_view name)
{
    if (name.find('/') != std::string_view::npos || folder.starts_with("//"))
        return EntryFault::CLIMBS;
    if (const EntryFault eFault = SegmentFault(name, true); eFault != EntryFault::NONE)
        return eFault;
    std::size_t nStart = 0;
    while (nStart <= folder.size()) {
        std::size_t nEnd = folder.find('/', nStart);
        if (nEnd == std::string_view::npos)
            nEnd = folder.size();
        if (const EntryFault eFault = SegmentFault(folder.substr(nStart, nEnd - nStart), false);
            eFault != EntryFault::NONE)
            return eFault;
        nStart = nEnd + 1;
    }
    return EntryFault::NONE;
}

bool IsSafeEntry(std::string_view folder, std::string_view name)
{
    return EntryNameFault(folder, name) == EntryFault::NONE;
}

const char* DescribeEntryFault(EntryFault eFault)
{
    switch (eFault) {
    case EntryFault::NONE:
        break;
    case EntryFault::CLIMBS:
        return "an empty, \".\" or \"..\" name, which would leave the game folder";
    case EntryFault::FORBIDDEN_CHAR:
        return "a character Windows does not take in a name (\\ : < > \" | ? * or a control character)";
    case EntryFault::TRAILING_DOT:
        return "a name ending in a dot or a blank, which Windows drops";
    case EntryFault::DEVICE_NAME:
        return "a Windows device name (CON, PRN, AUX, NUL, COM1, LPT1, ...) before its first dot";
    case EntryFault::FOLDER_TOO_LONG:
        return "a folder too long for Windows in a typical game folder";
    case EntryFault::PATH_TOO_LONG:
        return "a path too long for Windows in a typical game folder";
    case EntryFault::CASE_COLLISION:
        return "the same path as another file but for letter case: one file on Windows";
    }
    return "no fault";
}

std::optional<EntryProblem> FindEntryProblem(std::span<const FileEntry> entries, std::size_t gameFolderLength)
{
    // Case key -> the first entry that had it.
    std::unordered_map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const FileEntry& entry = entries[i];
        if (const EntryFault eFault = EntryNameFault(entry.folder, entry.name); eFault != EntryFault::NONE)
            return EntryProblem{i, eFault};
        std::string_view folder = entry.folder;
        if (folder.ends_with('/'))
            folder.remove_suffix(1);
        if (!folder.empty() && gameFolderLength + WindowsLength(folder) > MAX_FOLDER_PATH)
            return EntryProblem{i, EntryFault::FOLDER_TOO_LONG};
        if (gameFolderLength + WindowsLength(RemotePath(entry.folder, entry.name)) > MAX_FILE_PATH)
            return EntryProblem{i, EntryFault::PATH_TOO_LONG};
        const std::string path = NormalPath(entry.folder, entry.name);
        const auto [it, bNew] = seen.try_emplace(CaseKey(path), i);
        if (!bNew && NormalPath(entries[it->second].folder, entries[it->second].name) != path)
            return EntryProblem{i, EntryFault::CASE_COLLISION, it->second};
    }
    return std::nullopt;
}

std::size_t FindUnsafeEntry(std::span<const FileEntry> entries, std::size_t gameFolderLength)
{
    const auto problem = FindEntryProblem(entries, gameFolderLength);
    return problem ? problem->nIndex : std::string::npos;
}

bool IsValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t nMore = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            nMore = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            nMore = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            nMore = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (nMore >= text.size() - i)
            return false;
        for (std::size_t k = 1; k <= nMore; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            code = code << 6 | (t & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF.
        if ((nMore == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (nMore == 3 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += nMore + 1;
    }
    return true;
}

WireTextFault ToWireText(std::string_view utf8, std::size_t nField, std::string* pCp949)
{
    if (!IsValidUtf8(utf8))
        return WireTextFault::NOT_UTF8;
    bool bOk = false;
    std::string cp949 = Utf8ToCp949(utf8, &bOk);
    if (!bOk || cp949.find('\0') != std::string::npos)
        return WireTextFault::NO_CP949;
    if (cp949.size() + 1 > nField)
        return WireTextFault::TOO_LONG;
    *pCp949 = std::move(cp949);
    return WireTextFault::NONE;
}

bool IsTemporaryFileName(std::string_view name)
{
    const auto isHex = [](std::string_view text) {
        return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
    };
    if (name.ends_with(".zpatch.tmp"))
        return true;
    constexpr std::string_view SIGNATURE = ".orvanta-release.sig.";
    if (name.starts_with(SIGNATURE) && name.size() == SIGNATURE.size() + 6)
        return true;
    constexpr std::string_view DOWNLOAD = ".orvanta-";
    for (const std::string_view suffix : {std::string_view(".part"), std::string_view(".zpatch"),
                                          std::string_view(".ranges"), std::string_view(".ranges-new")}) {
        if (name.size() == DOWNLOAD.size() + 16 + suffix.size() && name.starts_with(DOWNLOAD) &&
            name.ends_with(suffix) && isHex(name.substr(DOWNLOAD.size(), 16)))
            return true;
    }
    return false;
}

bool LooksLikePrivateKey(std::string_view head)
{
    constexpr std::string_view BEGIN = "-----BEGIN ";
    for (std::size_t nAt = head.find(BEGIN); nAt != std::string_view::npos; nAt = head.find(BEGIN, nAt + 1)) {
        const std::size_t nEnd = head.find_first_of("\r\n", nAt);
        const std::string_view line = head.substr(nAt, nEnd == std::string_view::npos ? head.size() - nAt : nEnd - nAt);
        if (line.ends_with("PRIVATE KEY-----"))
            return true;
    }
    return false;
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
