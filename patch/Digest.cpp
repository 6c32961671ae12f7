#include "patch/Digest.h"

#include <algorithm>

namespace orvanta {

namespace {

bool HasTag(const FileEntry& entry, const std::array<std::uint8_t, 4>& tag)
{
    return std::equal(tag.begin(), tag.end(), entry.reserved.begin());
}

} // namespace

std::optional<Sha256Digest> EntryDigest(const FileEntry& entry)
{
    if (!HasTag(entry, DIGEST_TAG) && !HasTag(entry, DELTA_TAG))
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

std::optional<BasePrefix> EntryBasePrefix(const FileEntry& entry)
{
    if (!HasTag(entry, DELTA_TAG))
        return std::nullopt;
    BasePrefix base{};
    std::copy_n(entry.reserved.begin() + DELTA_TAG.size() + Sha256Digest().size(), base.size(), base.begin());
    return base;
}

void SetEntryDelta(FileEntry* pEntry, const Sha256Digest& digest, const BasePrefix& base)
{
    static_assert(DELTA_TAG.size() + sizeof(Sha256Digest) + sizeof(BasePrefix) == FileEntry::RESERVED_FIELD);
    SetEntryDigest(pEntry, digest);
    std::copy(DELTA_TAG.begin(), DELTA_TAG.end(), pEntry->reserved.begin());
    std::copy(base.begin(), base.end(), pEntry->reserved.begin() + DELTA_TAG.size() + digest.size());
}

BasePrefix PrefixOf(const Sha256Digest& digest)
{
    BasePrefix base{};
    std::copy_n(digest.begin(), base.size(), base.begin());
    return base;
}

std::string PatchSuffix(const BasePrefix& base, const Sha256Digest& target)
{
    return "." + ToHex(base) + "." + ToHex(PrefixOf(target)) + std::string(PATCH_SUFFIX);
}

std::string PatchFileName(std::string_view name, const BasePrefix& base, const Sha256Digest& target)
{
    return std::string(name) + PatchSuffix(base, target);
}

bool IsPatchFileName(std::string_view name)
{
    constexpr std::size_t HEX = BASE_PREFIX_SIZE * 2;
    if (name.size() < 1 + HEX + PATCH_SUFFIX.size() || !name.ends_with(PATCH_SUFFIX))
        return false;
    const std::string_view middle = name.substr(name.size() - PATCH_SUFFIX.size() - HEX - 1, HEX + 1);
    return middle[0] == '.' && middle.substr(1).find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool IsUnboundPatchFileName(std::string_view name)
{
    constexpr std::size_t HEX = BASE_PREFIX_SIZE * 2;
    if (!IsPatchFileName(name))
        return false;
    name.remove_suffix(PATCH_SUFFIX.size() + HEX + 1);
    return !IsPatchFileName(std::string(name) + std::string(PATCH_SUFFIX));
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
