#pragma once

#include "patch/Digest.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

// Binary patches between two versions of a file: one zstd frame that
// decodes to the new file with the older file as its prefix (what
// "zstd --patch-from" makes). Qt-free.
namespace orvanta {

// The largest window a patch may ask for. Applying maps the older and the
// new file and decodes straight into the new one, so the decoder itself
// needs no buffer of that size; the window still bounds how much of both
// files a patch reaches, and with it the address space it takes.
inline constexpr int MAX_PATCH_WINDOW_LOG = 31;
inline constexpr std::uint64_t MAX_PATCH_WINDOW = std::uint64_t(1) << MAX_PATCH_WINDOW_LOG;

// What a patch's frame header says: the window it needs and the size of
// the file it makes. Nothing for bytes that do not start a zstd frame with
// a known content size.
struct PatchHeader {
    std::uint64_t nWindow = 0;
    std::uint64_t nContentSize = 0;
};
std::optional<PatchHeader> ReadPatchHeader(std::span<const std::uint8_t> start);

enum class ApplyResult {
    Applied,      // the new file is written, synced, and has the digest
    BadPatch,     // not a patch of ours, or one that asks for too much
    WrongResult,  // decoded, but not to the new file (another older file, a damaged patch)
    IoError,      // a file could not be read, made or synced
    Cancelled,
};

// Decodes patchPath onto basePath into outPath (made or replaced, nSize
// bytes) and checks the result against digest. Streams the patch and reads
// the older file through its mapping; stop is looked at between blocks.
// Whatever the result, outPath is left for the caller to remove or rename.
ApplyResult ApplyPatch(const std::filesystem::path& basePath, const std::filesystem::path& patchPath,
                       const std::filesystem::path& outPath, std::uint64_t nSize, const Sha256Digest& digest,
                       const std::atomic<bool>* pStop = nullptr);

struct PatchOptions {
    int nLevel = 19;     // zstd's level
    int nThreads = 0;    // compression threads, 0: one
    std::uint64_t nMaxWindow = MAX_PATCH_WINDOW;
};

// Makes the patch from basePath to newPath into outPath. Its size, or
// nothing with the reason (files past the window, a file that cannot be
// read, a patch that cannot be written).
std::optional<std::uint64_t> MakePatch(const std::filesystem::path& basePath, const std::filesystem::path& newPath,
                                       const std::filesystem::path& outPath, const PatchOptions& options,
                                       std::string* pError);

} // namespace orvanta
