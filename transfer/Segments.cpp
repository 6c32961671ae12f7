#include "transfer/Segments.h"

#include "transfer/TextFields.h"

#include <algorithm>

namespace orvanta {
namespace {

constexpr std::string_view HEADER = "orvanta-ranges 1";

} // namespace

void CRangeRecord::Add(ByteRange range)
{
    range.nTo = std::min(range.nTo, m_nSize);
    if (range.nFrom >= range.nTo)
        return;
    std::vector<ByteRange> merged;
    merged.reserve(m_ranges.size() + 1);
    bool bPlaced = false;
    for (const ByteRange& have : m_ranges) {
        if (have.nTo < range.nFrom) {
            merged.push_back(have);
        } else if (range.nTo < have.nFrom) {
            if (!bPlaced) {
                merged.push_back(range);
                bPlaced = true;
            }
            merged.push_back(have);
        } else {
            range = {std::min(range.nFrom, have.nFrom), std::max(range.nTo, have.nTo)};
        }
    }
    if (!bPlaced)
        merged.push_back(range);
    m_ranges = std::move(merged);
}

std::uint64_t CRangeRecord::Prefix() const
{
    return !m_ranges.empty() && m_ranges.front().nFrom == 0 ? m_ranges.front().nTo : 0;
}

std::uint64_t CRangeRecord::Received() const
{
    std::uint64_t n = 0;
    for (const ByteRange& range : m_ranges)
        n += range.Size();
    return n;
}

std::vector<ByteRange> CRangeRecord::Missing() const
{
    std::vector<ByteRange> gaps;
    std::uint64_t nAt = 0;
    for (const ByteRange& range : m_ranges) {
        if (range.nFrom > nAt)
            gaps.push_back({nAt, range.nFrom});
        nAt = range.nTo;
    }
    if (nAt < m_nSize)
        gaps.push_back({nAt, m_nSize});
    return gaps;
}

std::string CRangeRecord::Serialize(const Sha256Digest& target) const
{
    std::string text(HEADER);
    text += "\nsize " + std::to_string(m_nSize) + "\ntarget " + ToHex(target) + "\n";
    for (const ByteRange& range : m_ranges)
        text += std::to_string(range.nFrom) + " " + std::to_string(range.nTo) + "\n";
    return text;
}

std::optional<CRangeRecord> CRangeRecord::Parse(std::string_view text, std::uint64_t nSize,
                                                const Sha256Digest& target)
{
    // A last line without its line break is not a line: the record was
    // cut short.
    std::string_view line;
    if (!NextField(&text, &line, '\n') || line != HEADER)
        return std::nullopt;
    if (!NextField(&text, &line, '\n') || line != "size " + std::to_string(nSize))
        return std::nullopt;
    if (!NextField(&text, &line, '\n') || line != "target " + ToHex(target))
        return std::nullopt;
    CRangeRecord record(nSize);
    std::size_t nLines = 0;
    while (!text.empty()) {
        std::string_view from;
        std::uint64_t nFrom = 0;
        std::uint64_t nTo = 0;
        if (!NextField(&text, &line, '\n') || ++nLines > MAX_RECORD_RANGES || !NextField(&line, &from) ||
            !ParseDecimal(from, &nFrom) || !ParseDecimal(line, &nTo) || nFrom >= nTo || nTo > nSize)
            return std::nullopt;
        record.Add({nFrom, nTo});
    }
    return record;
}

} // namespace orvanta
