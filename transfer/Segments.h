#pragma once

#include "patch/Digest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One large file fetched over several connections at once: the record of
// the ranges already on disk, kept beside the temporary file so that a run
// after a kill fetches only the rest.
namespace orvanta {

struct ByteRange {
    std::uint64_t nFrom = 0;
    std::uint64_t nTo = 0;  // past the last byte

    std::uint64_t Size() const { return nTo - nFrom; }
    bool operator==(const ByteRange&) const = default;
};

// At most this many ranges in a record: a record that would need more is
// not one of ours.
inline constexpr std::size_t MAX_RECORD_RANGES = 4096;

// The bytes of a file of nSize that are on disk, as sorted ranges that
// neither overlap nor touch.
class CRangeRecord final {
public:
    explicit CRangeRecord(std::uint64_t nSize) : m_nSize(nSize) {}

    // Clipped to the file; an empty range changes nothing.
    void Add(ByteRange range);
    std::uint64_t Size() const { return m_nSize; }
    const std::vector<ByteRange>& Ranges() const { return m_ranges; }
    // How many bytes from the start are on disk without a gap: what can be
    // hashed in order.
    std::uint64_t Prefix() const;
    std::uint64_t Received() const;
    std::vector<ByteRange> Missing() const;
    bool Complete() const { return Prefix() == m_nSize; }

    // The record as a small text tied to the file it belongs to (its size
    // and the digest of its new bytes): a record of another version is
    // never taken for this one.
    std::string Serialize(const Sha256Digest& target) const;
    // Nothing for anything but a record of this size and target within the
    // limits: it comes from the disk, where anything may have happened.
    static std::optional<CRangeRecord> Parse(std::string_view text, std::uint64_t nSize, const Sha256Digest& target);

private:
    std::uint64_t m_nSize;
    std::vector<ByteRange> m_ranges;
};

} // namespace orvanta
