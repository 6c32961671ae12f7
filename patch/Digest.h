#pragma once

#include "patch/Records.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The SHA-256 of a file, carried in its entry's reserved bytes. The field
// starts with a 4-byte tag that names its layout; a field without a known
// tag (all zero, as older servers send) carries nothing, and an updater
// that does not know a tag ignores it.
namespace orvanta {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Layout "OSH1": tag, then the file's SHA-256, then 16 zero bytes.
inline constexpr std::array<std::uint8_t, 4> DIGEST_TAG = {'O', 'S', 'H', '1'};

std::optional<Sha256Digest> EntryDigest(const FileEntry& entry);
void SetEntryDigest(FileEntry* pEntry, const Sha256Digest& digest);

// Lower-case hexadecimal, and back (nothing for odd lengths or other bytes).
std::string ToHex(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text);

} // namespace orvanta
