#include "patch/Digest.h"

#include <algorithm>

namespace orvanta {

std::optional<Sha256Digest> EntryDigest(const FileEntry& entry)
{
    if (!std::equal(DIGEST_TAG.begin(), DIGEST_TAG.end(), entry.reserved.begin()))
        return std::nullopt;
    Sha256Digest digest{};
    std::copy_n(entry.reserved.begin() + DIGEST_TAG.size(), digest.size(), digest.begin());
    return digest;
}

void SetEntryDigest(FileEntry* pEntry, const Sha256Digest& digest)
{
    pEntry->reserved.fill(0);
    std::copy(DIGEST_TAG.begin(), DIGEST_TAG.end(), pEntry->reserved.begin());
    std::copy(digest.begin(), digest.end(), pEntry->reserved.begin() + DIGEST_TAG.size());
}

std::string ToHex(std::span<const std::uint8_t> bytes)
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text += HEX[b >> 4];
        text += HEX[b & 0x0F];
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]);
        const int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes.push_back(std::uint8_t(hi << 4 | lo));
    }
    return bytes;
}

} // namespace orvanta
