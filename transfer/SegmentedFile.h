#pragma once

#include "transfer/Crypto.h"
#include "transfer/LocalFault.h"
#include "transfer/RandomAccessFile.h"
#include "transfer/Segments.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

// How a large file is split: from which size, and the smallest piece worth
// a connection of its own: about what a connection would have received
// while its new request starts (on FTP a new data connection, and an abort
// at the end; some 4 round trips). And how often what is on
// disk is recorded: after this many bytes, or this long, whichever comes
// first. Each record costs a sync of the data written since the last.
struct SegmentPolicy {
    std::uint64_t nFrom = 16 * 1024 * 1024;
    std::uint64_t nMinPiece = 2 * 1024 * 1024;
    std::uint64_t nRecordStep = 64 * 1024 * 1024;
    std::chrono::milliseconds recordEvery{1000};
    // Pieces from a web server are at most this long and taken in file
    // order, so that the digest keeps pace with the download instead of
    // reading most of the file back at its end; there a new request costs
    // a round trip, not a login.
    std::uint64_t nWebPiece = 64 * 1024 * 1024;
};

// One large file received as pieces over several connections at once, each
// on its own thread, written at their offsets into the one temporary file
// beside the target. The file's SHA-256 grows in order with the prefix that
// has no gap: bytes arriving at that prefix are hashed as they are written,
// bytes that arrived ahead are read back (from the page cache) once the
// prefix reaches them, so the check at the end costs no pass over the file.
//
// What is on disk is recorded beside the temporary file (".ranges", tied to
// the size and digest): the data is synced first, then the record written
// and renamed into place, so a record never names a byte the disk may not
// hold. After a kill, the next run keeps those ranges and fetches the rest.
// The target is replaced only by the whole file with its digest; whatever
// happens before leaves it as it was.
//
// The first thread to open it owns the file (Open, Finish, Commit or
// Discard); others only claim pieces and write them. Qt-free.
class CSegmentedFile final {
public:
    struct Piece {
        int nId = 0;
        std::uint64_t nFrom = 0;
        std::uint64_t nTo = 0;  // when first claimed: it may move down while it is received
    };

    CSegmentedFile(std::filesystem::path target, std::filesystem::path temp, std::uint64_t nSize,
                   orvanta::Sha256Digest digest, SegmentPolicy policy = {});
    ~CSegmentedFile();  // closes the file; removes nothing
    CSegmentedFile(const CSegmentedFile&) = delete;
    CSegmentedFile& operator=(const CSegmentedFile&) = delete;

    // Where an earlier run's record is kept for temp.
    static std::filesystem::path RecordPath(const std::filesystem::path& temp);
    // The gap-free start of a temporary file that a record describes, for a
    // transfer in one piece taking it over (the record then goes); 0 with
    // no good record.
    static std::uint64_t TakeOverPrefix(const std::filesystem::path& temp, std::uint64_t nSize,
                                        const orvanta::Sha256Digest& digest);

    // The owner, before the first piece: takes over what an earlier run kept
    // (the ranges of its record, or the start a one-piece transfer left),
    // checks the room for the rest and writes the first record. The bytes
    // kept, or nothing with Fault() set. Again after a Finish that left the
    // file incomplete: the pieces go on from what is there.
    std::optional<std::uint64_t> Open(const std::atomic<bool>* pStop = nullptr);

    // A piece to receive: the largest gap nobody receives, whole (bWeb: the
    // first gap, at most nWebPiece of it), else the end of the piece with
    // most still to come, when that is at least two smallest pieces.
    // Nothing when there is none now.
    std::optional<Piece> Claim(bool bWeb = false);
    // As Claim, but while other pieces are received and none can be had,
    // waits for one to be handed back (or all to end, or pStop).
    std::optional<Piece> ClaimOrWait(const std::atomic<bool>* pStop, bool bWeb = false);
    // Whether Claim would give something: for a connection looking for work.
    bool HasWork() const;

    // The piece's next bytes, at its position; how many were taken: fewer
    // than given when its end came (it may have moved down: the rest went
    // to another piece), 0 after a fault.
    std::size_t Write(int nId, std::span<const std::byte> bytes);
    // The piece got every byte up to its end.
    bool PieceDone(int nId) const;
    // Where the piece goes on and ends; for a try over another route.
    std::optional<Piece> Remaining(int nId) const;
    // The piece ends; what it did not receive goes back to be claimed.
    void Release(int nId);

    // The owner, after its last piece: waits until no piece is received
    // any more, then says whether the file is whole with its digest.
    bool Finish(const std::atomic<bool>* pStop);
    // Bytes on disk (kept and received).
    std::uint64_t Received() const;
    std::uint64_t Size() const { return m_nSize; }
    bool IsComplete() const;
    // Bytes were kept from an earlier run (or try) that the digest has not
    // vouched for: a mismatch may be theirs.
    bool KeptUnchecked() const { return m_bKeptUnchecked; }
    // From the start again: nothing kept, the record emptied.
    bool Restart();
    // Puts the whole file in place, synced first. False with Fault() set.
    bool Commit();
    // The pieces on disk with their record, synced now: for the try or the
    // run that continues. False with Fault() set.
    bool Keep();
    // A transfer that broke keeps its pieces with their record (Keep) for
    // the next run; anything else removes the temporary file and record.
    // Either way no piece is taken any more.
    void Discard(bool bBroken);

    std::optional<orvanta::LocalFault> Fault() const;

private:
    struct Flight {
        std::uint64_t nDone = 0;  // written up to here
        std::uint64_t nNext = 0;  // handed to a write up to here
        std::uint64_t nTo = 0;
    };

    std::optional<Piece> ClaimLocked(bool bWeb);
    std::vector<orvanta::ByteRange> UnclaimedLocked() const;
    void HashOn(std::unique_lock<std::mutex>& lock, std::uint64_t nAt, std::span<const std::byte> fresh);
    void CatchUp(std::unique_lock<std::mutex>& lock);
    // bWait: the last of a run, which must not be skipped because another
    // thread writes one.
    bool WriteRecord(bool bWait = false);
    // No piece is taken any more, and no write is under way: the file may
    // be closed.
    void Close();
    void FailLocked(std::error_code ec);

    const std::filesystem::path m_target;
    const std::filesystem::path m_temp;
    const std::uint64_t m_nSize;
    const orvanta::Sha256Digest m_digest;
    const SegmentPolicy m_policy;

    CRandomAccessFile m_file;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bOpen = false;
    bool m_bKeptUnchecked = false;
    orvanta::CRangeRecord m_written;  // written, not necessarily on disk yet
    std::map<int, Flight> m_flights;
    int m_nNextId = 1;
    std::optional<orvanta::LocalFault> m_fault;
    std::uint64_t m_nSinceRecord = 0;
    std::chrono::steady_clock::time_point m_lastRecord;
    int m_nWriting = 0;  // writes under way with the mutex let go

    // The running digest, used by one thread at a time: the one that set
    // m_bHashing. m_nHashed moves under the mutex.
    bool m_bHashing = false;
    std::uint64_t m_nHashed = 0;
    orvanta::CSha256 m_hash;
    std::vector<char> m_readBack;

    std::mutex m_recordMutex;  // one record written at a time
};
