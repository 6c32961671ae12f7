#include "patch/Manifest.h"

#include "transfer/PathRules.h"

#include <charconv>
#include <algorithm>

namespace orvanta {
namespace {

constexpr std::string_view HEADER = "orvanta-release 1\n";
constexpr std::size_t MAX_ENTRIES = MAX_LIST_ENTRIES;

std::string HexOrDash(const std::string& bytes)
{
    if (bytes.empty())
        return "-";
    return ToHex(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

template <typename T>
bool ParseNumber(std::string_view text, T* pOut)
{
    if (text.empty() || text.size() > 11)
        return false;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *pOut);
    return ec == std::errc() && ptr == text.data() + text.size();
}

// Splits off the next field up to a space (or the end).
std::string_view NextField(std::string_view* pLine)
{
    const std::size_t nSpace = pLine->find(' ');
    const std::string_view field = pLine->substr(0, nSpace);
    *pLine = nSpace == std::string_view::npos ? std::string_view() : pLine->substr(nSpace + 1);
    return field;
}

std::optional<std::string> TextField(std::string_view hex, std::size_t nMax)
{
    if (hex == "-")
        return std::string();
    const auto bytes = FromHex(hex);
    if (!bytes || bytes->empty() || bytes->size() > nMax)
        return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

} // namespace

std::string ManifestText(const ReleaseManifest& manifest)
{
    std::string text(HEADER);
    text += "version " + std::to_string(manifest.nVersion) + "\n";
    for (const FileEntry& entry : manifest.entries) {
        const auto digest = EntryDigest(entry);
        text += "entry " + std::to_string(entry.size) + " " + (digest ? ToHex(*digest) : std::string(64, '0')) +
                " " + HexOrDash(entry.folder) + " " + HexOrDash(entry.name) + "\n";
    }
    return text;
}

std::string SignatureFileText(std::string_view message, const Ed25519Signature& signature)
{
    return std::string(message) + "signature " + ToHex(signature) + "\n";
}

std::optional<SignedManifest> ParseSignatureFile(std::string_view file)
{
    if (file.size() > MAX_SIGNATURE_FILE || !file.starts_with(HEADER))
        return std::nullopt;
    SignedManifest result;
    std::size_t nAt = HEADER.size();
    bool bVersion = false;
    while (nAt < file.size()) {
        const std::size_t nEnd = file.find('\n', nAt);
        if (nEnd == std::string_view::npos)
            return std::nullopt;  // every line ends with a line feed
        std::string_view line = file.substr(nAt, nEnd - nAt);
        const std::size_t nLineStart = nAt;
        nAt = nEnd + 1;
        const std::string_view keyword = NextField(&line);
        if (keyword == "version" && !bVersion) {
            if (!ParseNumber(line, &result.manifest.nVersion))
                return std::nullopt;
            bVersion = true;
        } else if (keyword == "entry" && bVersion) {
            if (result.manifest.entries.size() >= MAX_ENTRIES)
                return std::nullopt;
            FileEntry entry;
            const std::string_view sizeText = NextField(&line);
            const auto digest = FromHex(NextField(&line));
            const auto folder = TextField(NextField(&line), FileEntry::FOLDER_FIELD - 1);
            const auto name = TextField(line, FileEntry::NAME_FIELD - 1);
            if (!ParseNumber(sizeText, &entry.size) || !digest || digest->size() != Sha256Digest().size() ||
                !folder || !name || name->empty())
                return std::nullopt;
            entry.folder = *folder;
            entry.name = *name;
            Sha256Digest value{};
            std::copy(digest->begin(), digest->end(), value.begin());
            SetEntryDigest(&entry, value);
            result.manifest.entries.push_back(std::move(entry));
        } else if (keyword == "signature" && bVersion) {
            const auto signature = FromHex(line);
            if (!signature || signature->size() != result.signature.size() || nAt != file.size())
                return std::nullopt;
            std::copy(signature->begin(), signature->end(), result.signature.begin());
            result.message = std::string(file.substr(0, nLineStart));
            return result;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;  // no signature line
}

bool IsPartOfManifest(std::span<const FileEntry> list, const ReleaseManifest& manifest)
{
    std::size_t nNext = 0;
    for (const FileEntry& entry : list) {
        const auto digest = EntryDigest(entry);
        if (!digest)
            return false;
        bool bFound = false;
        while (!bFound && nNext < manifest.entries.size()) {
            const FileEntry& signedEntry = manifest.entries[nNext++];
            if (signedEntry.folder != entry.folder || signedEntry.name != entry.name)
                continue;
            if (signedEntry.size != entry.size || EntryDigest(signedEntry) != digest)
                return false;
            bFound = true;
        }
        if (!bFound)
            return false;
    }
    return true;
}

} // namespace orvanta
