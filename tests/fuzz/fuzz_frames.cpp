// libFuzzer target: the frame reassembler fed arbitrary bytes in arbitrary
// pieces. The first input byte of every step picks the piece size, so the
// fuzzer explores how a stream is cut as well as what it holds.
#include "patch/PatchFrame.h"

#include <algorithm>
#include <cstdlib>

using namespace orvanta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CFrameReassembler whole;
    CFrameReassembler cut;
    std::span<const std::uint8_t> stream(data, size);

    // The same stream fed at once and fed in pieces gives the same frames.
    std::size_t nWholeFrames = 0;
    std::span<const std::uint8_t> rest = stream;
    std::uint64_t nWholeSum = 0;
    while (!rest.empty()) {
        const std::size_t nTaken = whole.Feed(rest);
        if (nTaken > rest.size())
            std::abort();
        rest = rest.subspan(nTaken);
        if (whole.HasFrame()) {
            const auto payload = whole.Payload();
            if (payload.size() > FRAME_MAX_PAYLOAD)
                std::abort();
            for (std::uint8_t b : payload)
                nWholeSum += b;
            nWholeSum += std::uint32_t(whole.Type());
            ++nWholeFrames;
            whole.Release();
        } else if (whole.IsBroken() || nTaken == 0) {
            break;
        }
    }

    std::size_t nCutFrames = 0;
    std::uint64_t nCutSum = 0;
    rest = stream;
    std::size_t nStep = 0;
    while (!rest.empty() && !cut.IsBroken()) {
        const std::size_t nWanted = cut.Wanted();
        if (nWanted == 0 || nWanted > FRAME_MAX_SIZE)
            std::abort();
        // Piece sizes from 1 to 17, chosen by the data itself.
        const std::size_t nPiece = std::min<std::size_t>(rest.size(), 1 + (data[nStep++ % size] % 17));
        const std::size_t nTaken = cut.Feed(rest.first(nPiece));
        // A piece is taken whole unless a frame ended or the stream broke in it.
        if (nTaken > nPiece || (nTaken < nPiece && !cut.HasFrame() && !cut.IsBroken()))
            std::abort();
        rest = rest.subspan(nTaken);
        if (cut.HasFrame()) {
            for (std::uint8_t b : cut.Payload())
                nCutSum += b;
            nCutSum += std::uint32_t(cut.Type());
            ++nCutFrames;
            cut.Release();
        } else if (nTaken == 0) {
            break;
        }
    }

    if (nWholeFrames != nCutFrames || nWholeSum != nCutSum || whole.IsBroken() != cut.IsBroken())
        std::abort();

    return 0;
}
