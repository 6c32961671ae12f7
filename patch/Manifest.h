#pragma once

#include "patch/Digest.h"
#include "patch/Records.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A release as its publisher signed it: the version and every file's
// folder, name, size and SHA-256, in list order. The text form is what the
// signature covers; it is kept plain so that any publisher's tool can make
// it (see docs/protocol.md):
//
//   orvanta-release 1
//   version <decimal>
//   entry <size> <sha-256, 64 hex> <folder, hex of its bytes, or "-"> <name, hex>
//   ...
//   signature <Ed25519 signature of every byte above, 128 hex>
namespace orvanta {

// Where the signature file lies on the FTP server, beside the release.
inline constexpr const char RELEASE_SIGNATURE_PATH[] = "/.orvanta-release.sig";
// Far more than a release of 200,000 files needs; a larger file is refused
// unread.
inline constexpr std::size_t MAX_SIGNATURE_FILE = 64u * 1024 * 1024;

using Ed25519Signature = std::array<std::uint8_t, 64>;

struct ReleaseManifest {
    std::int32_t nVersion = 0;
    std::vector<FileEntry> entries;  // every one carries its digest
};

struct SignedManifest {
    ReleaseManifest manifest;
    std::string message;  // the bytes the signature covers
    Ed25519Signature signature{};
};

// The text a publisher signs.
std::string ManifestText(const ReleaseManifest& manifest);
// The whole signature file: the text, then its signature line.
std::string SignatureFileText(std::string_view message, const Ed25519Signature& signature);
// Nothing unless the file is exactly of the form above.
std::optional<SignedManifest> ParseSignatureFile(std::string_view file);

// Whether every entry of list stands in the manifest, with the same folder,
// name, size and digest, in the manifest's order: the whole release, or the
// part of it a server sends a client one version behind.
bool IsPartOfManifest(std::span<const FileEntry> list, const ReleaseManifest& manifest);

} // namespace orvanta
