#include "transfer/SegmentedFile.h"

#include "transfer/DiskSync.h"
#include "transfer/OpenFile.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace {

using orvanta::RegularFileSize;

constexpr std::size_t READ_BACK_BLOCK = 1 << 20;
constexpr std::size_t MAX_RECORD_BYTES = 64 * 1024 + orvanta::MAX_RECORD_RANGES * 42;

void RemoveQuietly(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& path)
{
    if (RegularFileSize(path) > MAX_RECORD_BYTES)
        return std::nullopt;
    std::FILE* pFile = orvanta::OpenFile(path, "rb");
    if (!pFile)
        return std::nullopt;
    std::string text(MAX_RECORD_BYTES + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), pFile));
    std::fclose(pFile);
    return text;
}

// The record of temp, when there is one that belongs to this file and the
// temporary file holds every byte it names.
std::optional<orvanta::CRangeRecord> LoadRecord(const std::filesystem::path& temp, std::uint64_t nSize,
                                                const orvanta::Sha256Digest& digest)
{
    const auto text = ReadSmallFile(CSegmentedFile::RecordPath(temp));
    if (!text)
        return std::nullopt;
    auto record = orvanta::CRangeRecord::Parse(*text, nSize, digest);
    if (!record)
        return std::nullopt;
    const std::uint64_t nEnd = record->Ranges().empty() ? 0 : record->Ranges().back().nTo;
    if (RegularFileSize(temp) < nEnd)
        return std::nullopt;
    return record;
}

} // namespace

CSegmentedFile::CSegmentedFile(std::filesystem::path target, std::filesystem::path temp, std::uint64_t nSize,
                               orvanta::Sha256Digest digest, SegmentPolicy policy)
    : m_target(std::move(target)), m_temp(std::move(temp)), m_nSize(nSize), m_digest(digest), m_policy(policy),
      m_written(nSize)
{
}

CSegmentedFile::~CSegmentedFile() = default;

std::filesystem::path CSegmentedFile::RecordPath(const std::filesystem::path& temp)
{
    std::filesystem::path path = temp;
    return path.replace_extension(".ranges");
}

std::uint64_t CSegmentedFile::TakeOverPrefix(const std::filesystem::path& temp, std::uint64_t nSize,
                                             const orvanta::Sha256Digest& digest)
{
    const auto record = LoadRecord(temp, nSize, digest);
    RemoveQuietly(RecordPath(temp));
    return record ? record->Prefix() : 0;
}

std::optional<orvanta::LocalFault> CSegmentedFile::Fault() const
{
    std::lock_guard lock(m_mutex);
    return m_fault;
}

void CSegmentedFile::FailLocked(std::error_code ec)
{
    if (!m_fault)
        m_fault = orvanta::WriteFault(ec, m_target, m_nSize - std::min(m_written.Received(), m_nSize));
    m_cv.notify_all();
}

std::optional<std::uint64_t> CSegmentedFile::Open(const std::atomic<bool>* pStop)
{
    std::unique_lock lock(m_mutex);
    if (m_bOpen)
        return m_fault ? std::nullopt : std::optional(m_written.Received());
    // A link in the temporary file's place is never followed.
    std::error_code ec;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(m_temp, ec)))
        RemoveQuietly(m_temp);
    // What an earlier run left: the ranges its record names; or, with no
    // record, the gap-free start a transfer in one piece left, which only
    // the digest can vouch for.
    std::optional<orvanta::CRangeRecord> kept = LoadRecord(m_temp, m_nSize, m_digest);
    const bool bRecordThere = std::filesystem::exists(std::filesystem::symlink_status(RecordPath(m_temp), ec));
    m_written = orvanta::CRangeRecord(m_nSize);
    m_bKeptUnchecked = false;
    if (kept) {
        m_written = std::move(*kept);
    } else if (!bRecordThere) {
        const std::uint64_t nPart = RegularFileSize(m_temp);
        if (nPart > 0 && nPart < m_nSize) {
            m_written.Add({0, nPart});
            m_bKeptUnchecked = true;
        }
    }
    if ((ec = m_file.Open(m_temp))) {
        FailLocked(ec);
        return std::nullopt;
    }
    if (m_written.Received() == 0 && (ec = m_file.Truncate(0))) {
        FailLocked(ec);
        return std::nullopt;
    }
    if (auto fault = orvanta::RoomFor(m_target, m_nSize - m_written.Received())) {
        m_fault = std::move(fault);
        return std::nullopt;
    }
    // Counted now: once open, other threads may claim and write at once.
    const std::uint64_t nKept = m_written.Received();
    m_bOpen = true;
    m_flights.clear();
    m_nSinceRecord = 0;
    m_lastRecord = std::chrono::steady_clock::now();
    m_hash.Reset();
    m_nHashed = 0;
    // The kept start is read once, here; kept ranges further on are read
    // when the prefix reaches them.
    m_bHashing = true;
    CatchUp(lock);
    m_bHashing = false;
    if (pStop && *pStop)
        return std::nullopt;
    lock.unlock();
    if (!WriteRecord())
        return std::nullopt;
    return nKept;
}

std::vector<orvanta::ByteRange> CSegmentedFile::UnclaimedLocked() const
{
    std::vector<orvanta::ByteRange> gaps;
    for (const orvanta::ByteRange& missing : m_written.Missing()) {
        std::uint64_t nAt = missing.nFrom;
        // The flights are few; each covers [nDone, nTo), inside a gap.
        std::vector<orvanta::ByteRange> covered;
        for (const auto& [nId, flight] : m_flights) {
            if (flight.nDone < missing.nTo && flight.nTo > missing.nFrom && flight.nDone < flight.nTo)
                covered.push_back({std::max(flight.nDone, missing.nFrom), std::min(flight.nTo, missing.nTo)});
        }
        std::sort(covered.begin(), covered.end(),
                  [](const orvanta::ByteRange& a, const orvanta::ByteRange& b) { return a.nFrom < b.nFrom; });
        for (const orvanta::ByteRange& range : covered) {
            if (range.nFrom > nAt)
                gaps.push_back({nAt, range.nFrom});
            nAt = std::max(nAt, range.nTo);
        }
        if (nAt < missing.nTo)
            gaps.push_back({nAt, missing.nTo});
    }
    return gaps;
}

std::optional<CSegmentedFile::Piece> CSegmentedFile::ClaimLocked(bool bWeb)
{
    if (!m_bOpen || m_fault)
        return std::nullopt;
    const std::vector<orvanta::ByteRange> gaps = UnclaimedLocked();
    if (!gaps.empty()) {
        // Bytes nobody receives go first: the largest gap whole, which a
        // later claim splits if it is worth it; from a web server, the
        // first gap's start.
        orvanta::ByteRange take = *std::max_element(gaps.begin(), gaps.end(), [](const auto& a, const auto& b) {
            return a.Size() < b.Size();
        });
        if (bWeb) {
            take = gaps.front();
            const std::uint64_t nMax = std::max<std::uint64_t>(1, m_policy.nWebPiece);
            // A rest too short for a piece of its own goes with this one.
            if (take.Size() > nMax + m_policy.nMinPiece)
                take.nTo = take.nFrom + nMax;
        }
        const int nId = m_nNextId++;
        m_flights[nId] = Flight{take.nFrom, take.nFrom, take.nTo};
        return Piece{nId, take.nFrom, take.nTo};
    }
    Flight* pLongest = nullptr;
    for (auto& [nId, flight] : m_flights) {
        if (!pLongest || flight.nTo - flight.nNext > pLongest->nTo - pLongest->nNext)
            pLongest = &flight;
    }
    const std::uint64_t nMin = std::max<std::uint64_t>(1, m_policy.nMinPiece);
    if (!pLongest || pLongest->nTo - pLongest->nNext < 2 * nMin)
        return std::nullopt;
    // The new piece starts a request before its first byte comes, while
    // the old one keeps flowing: it takes a little less than half, so that
    // both end together.
    const std::uint64_t nMiddle = pLongest->nNext + (pLongest->nTo - pLongest->nNext + nMin) / 2;
    const std::uint64_t nTo = pLongest->nTo;
    pLongest->nTo = nMiddle;
    const int nId = m_nNextId++;
    m_flights[nId] = Flight{nMiddle, nMiddle, nTo};
    return Piece{nId, nMiddle, nTo};
}

std::optional<CSegmentedFile::Piece> CSegmentedFile::Claim(bool bWeb)
{
    std::lock_guard lock(m_mutex);
    return ClaimLocked(bWeb);
}

std::optional<CSegmentedFile::Piece> CSegmentedFile::ClaimOrWait(const std::atomic<bool>* pStop, bool bWeb)
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (auto piece = ClaimLocked(bWeb))
            return piece;
        if (m_flights.empty() || m_fault || (pStop && *pStop))
            return std::nullopt;
        // Woken when a piece ends; the time-out only polls pStop.
        m_cv.wait_for(lock, std::chrono::milliseconds(50));
    }
}

bool CSegmentedFile::HasWork() const
{
    std::lock_guard lock(m_mutex);
    if (!m_bOpen || m_fault)
        return false;
    if (!UnclaimedLocked().empty())
        return true;
    return std::any_of(m_flights.begin(), m_flights.end(), [this](const auto& entry) {
        return entry.second.nTo - entry.second.nNext >= 2 * std::max<std::uint64_t>(1, m_policy.nMinPiece);
    });
}

std::size_t CSegmentedFile::Write(int nId, std::span<const std::byte> bytes)
{
    std::unique_lock lock(m_mutex);
    const auto it = m_flights.find(nId);
    if (m_fault || !m_bOpen || it == m_flights.end())
        return 0;
    // Only this piece's thread moves nNext, and Release (also its own)
    // erases the flight: the reference holds while the lock is let go.
    Flight& flight = it->second;
    const std::uint64_t nAt = flight.nNext;
    const std::size_t nTake = std::size_t(std::min<std::uint64_t>(bytes.size(), flight.nTo - flight.nNext));
    if (nTake == 0)
        return 0;
    flight.nNext += nTake;
    ++m_nWriting;
    lock.unlock();
    const std::error_code ec = m_file.WriteAt(nAt, bytes.data(), nTake);
    lock.lock();
    if (--m_nWriting == 0)
        m_cv.notify_all();
    if (ec) {
        flight.nNext = nAt;
        FailLocked(ec);
        return 0;
    }
    flight.nDone = flight.nNext;
    m_written.Add({nAt, nAt + nTake});
    m_nSinceRecord += nTake;
    const auto now = std::chrono::steady_clock::now();
    const bool bRecord = m_nSinceRecord >= m_policy.nRecordStep || now - m_lastRecord >= m_policy.recordEvery;
    if (bRecord) {
        m_nSinceRecord = 0;
        m_lastRecord = now;
    }
    HashOn(lock, nAt, bytes.first(nTake));
    lock.unlock();
    if (bRecord)
        WriteRecord();
    return nTake;
}

// Bytes written at the hashed prefix are hashed from the buffer that
// carried them; whoever hashes then catches up with what others wrote ahead.
// Nobody hashing means everything up to the prefix is hashed.
void CSegmentedFile::HashOn(std::unique_lock<std::mutex>& lock, std::uint64_t nAt, std::span<const std::byte> fresh)
{
    if (m_bHashing || nAt != m_nHashed)
        return;
    m_bHashing = true;
    lock.unlock();
    m_hash.Update(fresh.data(), fresh.size());
    lock.lock();
    m_nHashed += fresh.size();
    CatchUp(lock);
    m_bHashing = false;
    m_cv.notify_all();
}

void CSegmentedFile::CatchUp(std::unique_lock<std::mutex>& lock)
{
    while (!m_fault && m_bOpen && m_nHashed < m_written.Prefix()) {
        const std::uint64_t nAt = m_nHashed;
        const std::size_t nChunk = std::size_t(std::min<std::uint64_t>(m_written.Prefix() - nAt, READ_BACK_BLOCK));
        lock.unlock();
        m_readBack.resize(READ_BACK_BLOCK);
        std::error_code ec = m_file.ReadAt(nAt, m_readBack.data(), nChunk);
        if (!ec)
            m_hash.Update(m_readBack.data(), nChunk);
        lock.lock();
        if (ec) {
            FailLocked(ec);
            return;
        }
        m_nHashed += nChunk;
    }
}

bool CSegmentedFile::PieceDone(int nId) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_flights.find(nId);
    return it != m_flights.end() && it->second.nDone == it->second.nTo;
}

std::optional<CSegmentedFile::Piece> CSegmentedFile::Remaining(int nId) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_flights.find(nId);
    if (it == m_flights.end())
        return std::nullopt;
    return Piece{nId, it->second.nNext, it->second.nTo};
}

void CSegmentedFile::Release(int nId)
{
    std::lock_guard lock(m_mutex);
    m_flights.erase(nId);
    m_cv.notify_all();
}

bool CSegmentedFile::Finish(const std::atomic<bool>* pStop)
{
    std::unique_lock lock(m_mutex);
    while ((!m_flights.empty() || m_bHashing) && !(pStop && *pStop))
        m_cv.wait_for(lock, std::chrono::milliseconds(50));
    if (pStop && *pStop)
        return false;
    if (m_fault || !m_written.Complete())
        return false;
    m_bHashing = true;
    CatchUp(lock);
    m_bHashing = false;
    if (m_fault || m_nHashed != m_nSize)
        return false;
    return m_hash.Final() == m_digest;
}

std::uint64_t CSegmentedFile::Received() const
{
    std::lock_guard lock(m_mutex);
    return m_written.Received();
}

bool CSegmentedFile::IsComplete() const
{
    std::lock_guard lock(m_mutex);
    return m_written.Complete();
}

bool CSegmentedFile::Restart()
{
    {
        std::lock_guard lock(m_mutex);
        m_written = orvanta::CRangeRecord(m_nSize);
        m_bKeptUnchecked = false;
        m_flights.clear();
        m_hash.Reset();
        m_nHashed = 0;
        m_nSinceRecord = 0;
        if (const std::error_code ec = m_file.Truncate(0)) {
            FailLocked(ec);
            return false;
        }
    }
    return WriteRecord();
}

// The data first, then the record that names it: a record read after a
// kill or a power cut never names a byte the disk may not hold.
bool CSegmentedFile::WriteRecord(bool bWait)
{
    std::unique_lock recordLock(m_recordMutex, std::defer_lock);
    if (bWait)
        recordLock.lock();
    else if (!recordLock.try_lock())
        return true;  // another thread writes one now; the next step writes ours
    std::string text;
    {
        std::lock_guard lock(m_mutex);
        if (m_fault)
            return false;
        if (!m_bOpen)
            return true;  // closed: its owner wrote the last
        text = m_written.Serialize(m_digest);
    }
    std::error_code ec = m_file.SyncData();
    const std::filesystem::path record = RecordPath(m_temp);
    std::filesystem::path fresh = m_temp;
    fresh.replace_extension(".ranges-new");
    if (!ec) {
        RemoveQuietly(fresh);  // never written through a link
        CRandomAccessFile file;
        ec = file.Open(fresh);
        if (!ec)
            ec = file.Truncate(0);
        if (!ec)
            ec = file.WriteAt(0, text.data(), text.size());
        if (!ec)
            ec = file.SyncData();
        const std::error_code closed = file.Close();
        if (!ec)
            ec = closed;
    }
    if (!ec)
        std::filesystem::rename(fresh, record, ec);
    if (ec) {
        RemoveQuietly(fresh);
        std::lock_guard lock(m_mutex);
        FailLocked(ec);
        return false;
    }
    return true;
}

void CSegmentedFile::Close()
{
    {
        std::unique_lock lock(m_mutex);
        m_bOpen = false;
        m_cv.wait(lock, [this] { return m_nWriting == 0 && !m_bHashing; });
    }
    std::lock_guard recordLock(m_recordMutex);  // a record under way ends first
    m_file.Close();
}

bool CSegmentedFile::Keep()
{
    return WriteRecord(true);
}

bool CSegmentedFile::Commit()
{
    std::error_code ec = m_file.SyncData();
    Close();
    if (!ec)
        std::filesystem::rename(m_temp, m_target, ec);
    if (ec) {
        std::lock_guard lock(m_mutex);
        m_fault = orvanta::WriteFault(ec, m_target, 0);
        return false;
    }
    RemoveQuietly(RecordPath(m_temp));
    return true;
}

void CSegmentedFile::Discard(bool bBroken)
{
    std::uint64_t nHave = 0;
    {
        std::lock_guard lock(m_mutex);
        nHave = m_written.Received();
    }
    const bool bKeep = bBroken && nHave > 0 && nHave < m_nSize && WriteRecord(true);
    Close();
    if (bKeep)
        return;
    RemoveQuietly(m_temp);
    RemoveQuietly(RecordPath(m_temp));
}
