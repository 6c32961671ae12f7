#pragma once

#include "patch/Digest.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// What the updater already knows of the game folder's files: the digest of
// each, by its path, size and modification time, so that checking an
// up-to-date folder reads no file. Kept in one file of ours (see
// docs/architecture.md), which is untrusted input: anything wrong with it
// empties the cache, which costs a re-hash and never skips a file.
namespace orvanta {

// A regular file as the file system describes it. Links are not followed.
struct FileStamp {
    std::uint64_t nSize = 0;
    std::int64_t nModifiedNs = 0;  // on the clock of NowNs
    bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> StampOf(const std::filesystem::path& path);
// The file system's clock, now.
std::int64_t NowNs();

class CDigestCache final {
public:
    // Far more than a release holds; an entry past it is not kept.
    static constexpr std::size_t MAX_ENTRIES = 250000;
    // A larger file is not read.
    static constexpr std::uintmax_t MAX_FILE_SIZE = 96u * 1024 * 1024;
    static constexpr std::size_t MAX_KEY_SIZE = 4096;
    // A file modified this close to its hashing may have changed again
    // within the same tick of its modification time (2 s on FAT): its
    // digest is not trusted until a later check hashes it again.
    static constexpr std::int64_t RACY_NS = 2'000'000'000;

    explicit CDigestCache(std::string folder = {}) : m_folder(std::move(folder)) {}

    // The cache that file holds for the game folder; empty when the file is
    // missing, too large, damaged in any byte, or made for another folder.
    static CDigestCache Load(const std::filesystem::path& file, std::string_view folder);
    // Written beside file and renamed over it, so that a reader sees the
    // old cache or the new one. False when it could not be written.
    bool Save(const std::filesystem::path& file) const;

    // The digest of the file named key, when the cache knows it for exactly
    // this stamp and it was taken well after the file's last change.
    std::optional<Sha256Digest> Find(const std::string& key, const FileStamp& stamp) const;
    // nVerifiedNs: when the file had stamp and digest (NowNs after hashing).
    void Put(const std::string& key, const FileStamp& stamp, const Sha256Digest& digest, std::int64_t nVerifiedNs);
    void Erase(const std::string& key) { m_entries.erase(key); }
    // Forgets every file not named here (files a release no longer holds),
    // so that the cache follows the release and never fills up with them.
    template <typename Keys>
    void Retain(const Keys& keys)
    {
        std::erase_if(m_entries, [&keys](const auto& entry) { return !keys.contains(entry.first); });
    }
    std::size_t Size() const { return m_entries.size(); }

private:
    struct Entry {
        FileStamp stamp;
        Sha256Digest digest{};
        std::int64_t nVerifiedNs = 0;
    };
    std::string m_folder;
    std::unordered_map<std::string, Entry> m_entries;
};

} // namespace orvanta
