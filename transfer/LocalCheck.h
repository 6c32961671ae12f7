#pragma once

#include "transfer/DigestCache.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Whether files of the game folder hold the bytes a list names, read on
// threads of its own so that the window stays responsive and a large folder
// is read at the disk's pace. Its owner polls it from one thread.
namespace orvanta {

struct CheckItem {
    std::filesystem::path path;
    std::string key;  // the digest cache's name for the file
    std::uint64_t nSize = 0;
    // None: the file cannot be checked and counts as differing.
    std::optional<Sha256Digest> digest;
};

struct CheckOutcome {
    bool bInPlace = false;
    // What was learnt by hashing, for the cache: the file's stamp before
    // and after agreed, and when.
    std::optional<FileStamp> stamp;
    std::optional<Sha256Digest> hashed;
    std::int64_t nVerifiedNs = 0;
};

class CLocalCheck final {
public:
    // Starts at once on up to nThreads threads. pCache, when given, answers
    // for files whose stamp it knows; without it every file is read (a
    // repair).
    CLocalCheck(std::vector<CheckItem> items, std::shared_ptr<const CDigestCache> pCache, int nThreads = 2);
    ~CLocalCheck();  // stops the reading and joins
    CLocalCheck(const CLocalCheck&) = delete;
    CLocalCheck& operator=(const CLocalCheck&) = delete;

    bool IsDone() const { return m_nItemsDone.load(std::memory_order_acquire) == m_items.size(); }
    // Bytes checked so far (read, or answered by the cache) of the total.
    std::uint64_t BytesDone() const { return m_nBytesDone.load(std::memory_order_relaxed); }
    std::uint64_t BytesTotal() const { return m_nBytesTotal; }
    std::size_t ItemsDone() const { return m_nItemsDone.load(std::memory_order_relaxed); }
    // The item the latest thread took up.
    std::size_t CurrentItem() const { return m_nCurrent.load(std::memory_order_relaxed); }
    const std::vector<CheckItem>& Items() const { return m_items; }

    // Once IsDone: one outcome per item, in the items' order.
    const std::vector<CheckOutcome>& Outcomes();

private:
    void Run();
    CheckOutcome Check(const CheckItem& item);
    std::optional<Sha256Digest> Hash(const std::filesystem::path& path, std::uint64_t nSize);

    const std::vector<CheckItem> m_items;
    const std::shared_ptr<const CDigestCache> m_pCache;
    std::uint64_t m_nBytesTotal = 0;
    std::vector<CheckOutcome> m_outcomes;  // each written by the thread that took its item, under m_mutex
    std::mutex m_mutex;
    std::atomic<std::size_t> m_nNext{0};
    std::atomic<std::size_t> m_nItemsDone{0};
    std::atomic<std::size_t> m_nCurrent{0};
    std::atomic<std::uint64_t> m_nBytesDone{0};
    std::atomic<bool> m_bStop{false};
    std::vector<std::thread> m_threads;
    bool m_bJoined = false;
};

} // namespace orvanta
