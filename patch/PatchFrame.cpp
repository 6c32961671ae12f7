#include "patch/PatchFrame.h"

#include <algorithm>
#include <cstring>

namespace orvanta {

std::uint32_t LoadLe32(std::span<const std::uint8_t> bytes)
{
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

void StoreLe32(std::span<std::uint8_t> bytes, std::uint32_t value)
{
    bytes[0] = std::uint8_t(value);
    bytes[1] = std::uint8_t(value >> 8);
    bytes[2] = std::uint8_t(value >> 16);
    bytes[3] = std::uint8_t(value >> 24);
}

std::optional<std::vector<std::uint8_t>> EncodeFrame(std::int32_t type, std::span<const std::uint8_t> payload)
{
    if (payload.size() > FRAME_MAX_PAYLOAD)
        return std::nullopt;
    std::vector<std::uint8_t> frame(FRAME_HEADER_SIZE + payload.size());
    StoreLe32(std::span(frame).first(4), std::uint32_t(frame.size()));
    StoreLe32(std::span(frame).subspan(4, 4), std::uint32_t(type));
    std::copy(payload.begin(), payload.end(), frame.begin() + FRAME_HEADER_SIZE);
    return frame;
}

std::size_t CFrameReassembler::Wanted() const
{
    if (m_bBroken || HasFrame())
        return 0;
    if (m_nLength == 0)
        return 4 - m_nCount;
    return m_nLength - m_nCount;
}

std::size_t CFrameReassembler::Feed(std::span<const std::uint8_t> bytes)
{
    std::size_t nTaken = 0;
    while (nTaken < bytes.size()) {
        const std::size_t nWanted = Wanted();
        if (nWanted == 0)
            break;
        const std::size_t n = std::min(nWanted, bytes.size() - nTaken);
        // m_nCount + n never exceeds 4 before the length is known, nor
        // m_nLength (at most FRAME_MAX_SIZE) after.
        std::memcpy(m_buf.data() + m_nCount, bytes.data() + nTaken, n);
        m_nCount += n;
        nTaken += n;
        if (m_nLength == 0 && m_nCount == 4) {
            const auto nLength = std::int32_t(LoadLe32(std::span<const std::uint8_t>(m_buf).first(4)));
            if (nLength < std::int32_t(FRAME_HEADER_SIZE) || nLength > std::int32_t(FRAME_MAX_SIZE)) {
                m_bBroken = true;
                m_nBadLength = nLength;
                break;
            }
            m_nLength = std::size_t(nLength);
        }
    }
    return nTaken;
}

std::int32_t CFrameReassembler::Type() const
{
    if (!HasFrame())
        return 0;
    return std::int32_t(LoadLe32(std::span<const std::uint8_t>(m_buf).subspan(4, 4)));
}

std::span<const std::uint8_t> CFrameReassembler::Payload() const
{
    if (!HasFrame())
        return {};
    return std::span<const std::uint8_t>(m_buf).subspan(FRAME_HEADER_SIZE, m_nLength - FRAME_HEADER_SIZE);
}

void CFrameReassembler::Release()
{
    if (!HasFrame())
        return;
    m_nCount = 0;
    m_nLength = 0;
}

} // namespace orvanta
