#include "transfer/DigestCache.h"

#include "transfer/Crypto.h"
#include "transfer/TextFields.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <chrono>
#else
#include <sys/stat.h>
#include <time.h>
#endif

// The file, one record a line, every text field in hex so that no name can
// break a line:
//
//   orvanta-digests 1
//   folder <game folder, UTF-8, hex>
//   <size> <modified ns> <verified ns> <sha-256, 64 hex> <path, UTF-8, hex>
//   ...
//   sum <sha-256 of every byte above, 64 hex>
namespace orvanta {
namespace {

constexpr std::string_view HEADER = "orvanta-digests 1\n";
constexpr std::string_view FOLDER = "folder ";
constexpr std::string_view SUM = "sum ";
constexpr std::size_t SUM_LINE = SUM.size() + 64 + 1;

std::optional<std::string> HexText(std::string_view hex)
{
    const auto bytes = FromHex(hex);
    if (!bytes)
        return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

Sha256Digest DigestOf(std::string_view text)
{
    CSha256 hash;
    hash.Update(text.data(), text.size());
    return hash.Final();
}

std::string HexOf(std::string_view text)
{
    return ToHex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

} // namespace

std::optional<FileStamp> StampOf(const std::filesystem::path& path)
{
#ifdef _WIN32
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status))
        return std::nullopt;
    const auto nSize = std::filesystem::file_size(path, ec);
    const auto modified = std::filesystem::last_write_time(path, ec);
    if (ec)
        return std::nullopt;
    return FileStamp{std::uint64_t(nSize),
                     std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count()};
#else
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return FileStamp{std::uint64_t(info.st_size),
                     std::int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + std::int64_t(info.st_mtim.tv_nsec)};
#endif
}

std::int64_t NowNs()
{
#ifdef _WIN32
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::filesystem::file_time_type::clock::now().time_since_epoch())
        .count();
#else
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + std::int64_t(now.tv_nsec);
#endif
}

CDigestCache CDigestCache::Load(const std::filesystem::path& file, std::string_view folder)
{
    CDigestCache empty{std::string(folder)};
    std::error_code ec;
    const auto nSize = std::filesystem::file_size(file, ec);
    if (ec || nSize > MAX_FILE_SIZE || nSize < HEADER.size() + SUM_LINE)
        return empty;
    std::ifstream in(file, std::ios::binary);
    std::string text(std::size_t(nSize), '\0');
    if (!in.read(text.data(), std::streamsize(text.size())) || in.gcount() != std::streamsize(text.size()))
        return empty;

    // The sum first: a file cut short or changed in any byte is refused
    // before a line of it is believed.
    const std::string_view all(text);
    const std::string_view body = all.substr(0, all.size() - SUM_LINE);
    const std::string_view sumLine = all.substr(body.size());
    if (!sumLine.starts_with(SUM) || sumLine.back() != '\n' ||
        sumLine.substr(SUM.size(), 64) != ToHex(DigestOf(body)))
        return empty;
    if (!body.starts_with(HEADER))
        return empty;

    std::string_view rest = body.substr(HEADER.size());
    const auto takeLine = [&rest](std::string_view* pLine) {
        const std::size_t nEnd = rest.find('\n');
        if (nEnd == std::string_view::npos)
            return false;
        *pLine = rest.substr(0, nEnd);
        rest.remove_prefix(nEnd + 1);
        return true;
    };
    std::string_view line;
    if (!takeLine(&line) || !line.starts_with(FOLDER))
        return empty;
    const auto storedFolder = HexText(line.substr(FOLDER.size()));
    if (!storedFolder || *storedFolder != folder)
        return empty;

    CDigestCache cache{std::string(folder)};
    while (!rest.empty()) {
        std::string_view sizeText, modifiedText, verifiedText, digestText;
        Entry entry;
        if (!takeLine(&line) || !NextField(&line, &sizeText) || !NextField(&line, &modifiedText) ||
            !NextField(&line, &verifiedText) || !NextField(&line, &digestText) ||
            !ParseDecimal(sizeText, &entry.stamp.nSize) || !ParseDecimal(modifiedText, &entry.stamp.nModifiedNs) ||
            !ParseDecimal(verifiedText, &entry.nVerifiedNs) || line.empty() || line.size() > 2 * MAX_KEY_SIZE)
            return empty;
        const auto digest = FromHex(digestText);
        auto key = HexText(line);
        if (!digest || digest->size() != entry.digest.size() || !key || cache.m_entries.size() >= MAX_ENTRIES)
            return empty;
        std::copy(digest->begin(), digest->end(), entry.digest.begin());
        if (!cache.m_entries.emplace(std::move(*key), entry).second)
            return empty;  // a key twice is not a file we wrote
    }
    return cache;
}

bool CDigestCache::Save(const std::filesystem::path& file) const
{
    std::string text(HEADER);
    text += FOLDER;
    text += HexOf(m_folder);
    text += '\n';
    for (const auto& [key, entry] : m_entries) {
        text += std::to_string(entry.stamp.nSize);
        text += ' ';
        text += std::to_string(entry.stamp.nModifiedNs);
        text += ' ';
        text += std::to_string(entry.nVerifiedNs);
        text += ' ';
        text += ToHex(entry.digest);
        text += ' ';
        text += HexOf(key);
        text += '\n';
    }
    const std::string sum = ToHex(DigestOf(text));
    text += SUM;
    text += sum;
    text += '\n';

    std::filesystem::path temp = file;
    temp += ".tmp";
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.write(text.data(), std::streamsize(text.size())) || !out.flush()) {
            out.close();
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

std::optional<Sha256Digest> CDigestCache::Find(const std::string& key, const FileStamp& stamp) const
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second.stamp != stamp || stamp.nModifiedNs > it->second.nVerifiedNs - RACY_NS)
        return std::nullopt;
    return it->second.digest;
}

void CDigestCache::Put(const std::string& key, const FileStamp& stamp, const Sha256Digest& digest,
                       std::int64_t nVerifiedNs)
{
    if (key.empty() || key.size() > MAX_KEY_SIZE)
        return;
    const auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        it->second = Entry{stamp, digest, nVerifiedNs};
        return;
    }
    if (m_entries.size() < MAX_ENTRIES)
        m_entries.emplace(key, Entry{stamp, digest, nVerifiedNs});
}

} // namespace orvanta
