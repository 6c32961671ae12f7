#include "transfer/LocalCheck.h"

#include "transfer/Crypto.h"

#include <algorithm>
#include <system_error>

namespace orvanta {

CLocalCheck::CLocalCheck(std::vector<CheckItem> items, std::shared_ptr<const CDigestCache> pCache, int nThreads)
    : m_items(std::move(items)), m_pCache(std::move(pCache)), m_outcomes(m_items.size())
{
    for (const CheckItem& item : m_items)
        m_nBytesTotal += item.nSize;
    const std::size_t nWanted = std::min(std::size_t(std::max(nThreads, 1)), m_items.size());
    try {
        for (std::size_t i = 0; i < nWanted; ++i)
            m_threads.emplace_back(&CLocalCheck::Run, this);
    } catch (const std::system_error&) {
        // Fewer threads; with none at all, the check runs here.
        if (m_threads.empty())
            Run();
    }
}

CLocalCheck::~CLocalCheck()
{
    m_bStop = true;
    for (std::thread& thread : m_threads) {
        if (thread.joinable())
            thread.join();
    }
}

const std::vector<CheckOutcome>& CLocalCheck::Outcomes()
{
    if (!m_bJoined) {
        for (std::thread& thread : m_threads)
            thread.join();
        m_bJoined = true;
    }
    return m_outcomes;
}

void CLocalCheck::Run()
{
    for (;;) {
        const std::size_t nItem = m_nNext.fetch_add(1);
        if (nItem >= m_items.size())
            return;
        m_nCurrent.store(nItem, std::memory_order_relaxed);
        CheckOutcome outcome = m_bStop ? CheckOutcome{} : Check(m_items[nItem]);
        {
            std::lock_guard lock(m_mutex);
            m_outcomes[nItem] = outcome;
        }
        m_nItemsDone.fetch_add(1, std::memory_order_release);
    }
}

CheckOutcome CLocalCheck::Check(const CheckItem& item)
{
    CheckOutcome outcome;
    const auto before = StampOf(item.path);
    if (!item.digest || !before || before->nSize != item.nSize) {
        m_nBytesDone += item.nSize;
        return outcome;
    }
    if (m_pCache) {
        if (const auto cached = m_pCache->Find(item.key, *before)) {
            m_nBytesDone += item.nSize;
            outcome.bInPlace = *cached == *item.digest;
            return outcome;
        }
    }
    const auto hashed = Hash(item.path, item.nSize);
    const std::int64_t nNow = NowNs();
    const auto after = StampOf(item.path);
    // A file that changed while it was read is judged by nothing: it is
    // fetched, which checks it again.
    if (!hashed || after != before)
        return outcome;
    outcome.stamp = before;
    outcome.hashed = hashed;
    outcome.nVerifiedNs = nNow;
    outcome.bInPlace = *hashed == *item.digest;
    return outcome;
}

std::optional<Sha256Digest> CLocalCheck::Hash(const std::filesystem::path& path, std::uint64_t nSize)
{
    // The progress counts the size the check was given: a file that turns
    // out longer or shorter moves it by exactly that much in all.
    std::uint64_t nCounted = 0;
    const auto count = [&](std::uint64_t n) {
        const std::uint64_t nTaken = std::min(n, nSize - nCounted);
        m_nBytesDone += nTaken;
        nCounted += nTaken;
    };
    const auto digest = Sha256OfFile(path, &m_bStop, [&](std::size_t nRead) { count(nRead); });
    count(nSize);
    return digest;
}

} // namespace orvanta
