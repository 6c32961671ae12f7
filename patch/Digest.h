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

// Layout "OSD1": tag, the file's SHA-256, then the first 16 bytes of the
// SHA-256 of the older file a patch to it exists for. The entry stays a
// whole one (its size is the new file's): an updater that has that older
// file may fetch the patch instead, anyone else fetches the file.
inline constexpr std::array<std::uint8_t, 4> DELTA_TAG = {'O', 'S', 'D', '1'};
inline constexpr std::size_t BASE_PREFIX_SIZE = 16;
using BasePrefix = std::array<std::uint8_t, BASE_PREFIX_SIZE>;

// The file's digest, in either layout.
std::optional<Sha256Digest> EntryDigest(const FileEntry& entry);
void SetEntryDigest(FileEntry* pEntry, const Sha256Digest& digest);

// The older file's digest prefix of an "OSD1" entry.
std::optional<BasePrefix> EntryBasePrefix(const FileEntry& entry);
void SetEntryDelta(FileEntry* pEntry, const Sha256Digest& digest, const BasePrefix& base);
BasePrefix PrefixOf(const Sha256Digest& digest);

// Where a patch lives: beside the file, named by the file and both ends,
// the older file's digest prefix and the newer one's:
// "<name>.<32 hex digits>.<32 hex digits>.zpatch" (the wire's bytes of the
// name). A patch carried into a later version's folder (cp -al) keeps the
// target it was made for, so nobody lists or fetches it for another file.
// A release lists no file whose name ends in ".<32 hex digits>.zpatch",
// the form of older, unbound patches included.
inline constexpr std::string_view PATCH_SUFFIX = ".zpatch";
std::string PatchSuffix(const BasePrefix& base, const Sha256Digest& target);
std::string PatchFileName(std::string_view name, const BasePrefix& base, const Sha256Digest& target);
bool IsPatchFileName(std::string_view name);
// A patch of the older form, bound to its base only ("<name>.<32 hex
// digits>.zpatch"): it may make another file than the one beside it, so it
// is never offered.
bool IsUnboundPatchFileName(std::string_view name);

// Lower-case hexadecimal, and back (nothing for odd lengths or other bytes).
std::string ToHex(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text);

} // namespace orvanta
