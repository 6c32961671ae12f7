#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The frame of the patch-server protocol, in both directions:
//   offset 0  length   int32 LE, the whole frame in bytes, header included
//   offset 4  type     int32 LE (FrameType in patch/Records.h)
//   offset 8  payload  length - 8 bytes, possibly none
// A frame is 8 to 1024 bytes long; a length outside that range is not
// something any peer of ours sends, so it marks the stream as broken.
namespace orvanta {

inline constexpr std::size_t FRAME_HEADER_SIZE = 8;
inline constexpr std::size_t FRAME_MAX_SIZE = 1024;
inline constexpr std::size_t FRAME_MAX_PAYLOAD = FRAME_MAX_SIZE - FRAME_HEADER_SIZE;

// Little-endian 32-bit fields whatever the host's byte order. The span must
// hold at least 4 bytes.
std::uint32_t LoadLe32(std::span<const std::uint8_t> bytes);
void StoreLe32(std::span<std::uint8_t> bytes, std::uint32_t value);

// The whole frame, or nothing when the payload exceeds FRAME_MAX_PAYLOAD.
std::optional<std::vector<std::uint8_t>> EncodeFrame(std::int32_t type, std::span<const std::uint8_t> payload);

// Rebuilds frames from the pieces a stream delivers, however they are cut.
// It never takes a byte past the end of the current frame, so the caller
// can read "at most Wanted() bytes" from its socket and never has to carry
// bytes of the next frame over.
//
//     while (stream has bytes && !r.IsBroken()) {
//         bytes = read(r.Wanted());
//         consume r.Feed(bytes) of them; if (r.HasFrame()) { use r.Type(), r.Payload(); r.Release(); }
//     }
class CFrameReassembler final {
public:
    // Copies bytes of the current frame from the front of `bytes`, up to its
    // end, and returns how many it took: 0 once broken or while a whole
    // frame waits for Release().
    std::size_t Feed(std::span<const std::uint8_t> bytes);

    // The bytes that complete the current length field or the current
    // frame; 0 when a frame waits or the stream is broken.
    std::size_t Wanted() const;

    bool HasFrame() const { return m_nLength != 0 && m_nCount == m_nLength; }
    // Valid while HasFrame(); the payload points into the reassembler and
    // lives until the next Release().
    std::int32_t Type() const;
    std::span<const std::uint8_t> Payload() const;
    // Drops the waiting frame; the next Feed starts a new one.
    void Release();

    // Sticky: a length field below 8 or above 1024 was read. The bytes
    // already taken are kept as they were; nothing more is taken.
    bool IsBroken() const { return m_bBroken; }
    std::int32_t BadLength() const { return m_nBadLength; }

    // Bytes of the current frame held so far (tests and diagnostics).
    std::size_t Count() const { return m_nCount; }

private:
    std::array<std::uint8_t, FRAME_MAX_SIZE> m_buf{};
    std::size_t m_nCount = 0;   // bytes of the current frame in m_buf
    std::size_t m_nLength = 0;  // the frame's length, once its field is in; 0 before
    bool m_bBroken = false;
    std::int32_t m_nBadLength = 0;
};

} // namespace orvanta
