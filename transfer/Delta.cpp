#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer: decoding straight into the mapped file
#include "transfer/Delta.h"

#include "transfer/Crypto.h"
#include "transfer/MappedFile.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <memory>
#include <vector>

namespace orvanta {
namespace {

constexpr std::size_t PATCH_READ_STEP = 1 << 20;
constexpr std::size_t COMPRESS_STEP = 8 << 20;
constexpr std::size_t WRITEBACK_STEP = 8 << 20;

struct DCtxDeleter {
    void operator()(ZSTD_DCtx* p) const { ZSTD_freeDCtx(p); }
};
struct CCtxDeleter {
    void operator()(ZSTD_CCtx* p) const { ZSTD_freeCCtx(p); }
};

bool Stopped(const std::atomic<bool>* pStop)
{
    return pStop && pStop->load(std::memory_order_relaxed);
}

} // namespace

std::optional<PatchHeader> ReadPatchHeader(std::span<const std::uint8_t> start)
{
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, start.data(), start.size()) != 0 || header.frameType != ZSTD_frame ||
        header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN || header.frameContentSize == ZSTD_CONTENTSIZE_ERROR)
        return std::nullopt;
    return PatchHeader{header.windowSize, header.frameContentSize};
}

ApplyResult ApplyPatch(const std::filesystem::path& basePath, const std::filesystem::path& patchPath,
                       const std::filesystem::path& outPath, std::uint64_t nSize, const Sha256Digest& digest,
                       const std::atomic<bool>* pStop)
{
    std::ifstream patch(patchPath, std::ios::binary);
    if (!patch)
        return ApplyResult::IoError;
    std::vector<std::uint8_t> buffer(PATCH_READ_STEP);
    patch.read(reinterpret_cast<char*>(buffer.data()), std::streamsize(buffer.size()));
    std::size_t nRead = std::size_t(patch.gcount());
    const auto header = ReadPatchHeader(std::span(buffer.data(), nRead));
    if (!header || header->nContentSize != nSize || header->nWindow > MAX_PATCH_WINDOW)
        return ApplyResult::BadPatch;

    const auto pBase = CMappedFile::OpenRead(basePath);
    if (!pBase)
        return ApplyResult::IoError;
    auto pOut = CMappedFile::CreateWrite(outPath, nSize);
    if (!pOut)
        return ApplyResult::IoError;
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> pDctx(ZSTD_createDCtx());
    if (!pDctx)
        return ApplyResult::IoError;
    ZSTD_DCtx* pD = pDctx.get();
    if (ZSTD_isError(ZSTD_DCtx_setParameter(pD, ZSTD_d_windowLogMax, MAX_PATCH_WINDOW_LOG)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(pD, ZSTD_d_stableOutBuffer, 1)) ||
        (pBase->Size() > 0 && ZSTD_isError(ZSTD_DCtx_refPrefix(pD, pBase->Data(), pBase->Size()))))
        return ApplyResult::IoError;

    // The new file's bytes are hashed as they come out, while in the cache.
    CSha256 hash;
    ZSTD_outBuffer out{pOut->MutableData(), pOut->Size(), 0};
    std::size_t nHashed = 0;
    std::size_t nWrittenBack = 0;
    bool bFrameDone = false;
    while (nRead > 0) {
        ZSTD_inBuffer in{buffer.data(), nRead, 0};
        while (in.pos < in.size) {
            if (bFrameDone)
                return ApplyResult::BadPatch;  // bytes after the one frame
            if (Stopped(pStop))
                return ApplyResult::Cancelled;
            const std::size_t rc = ZSTD_decompressStream(pD, &out, &in);
            if (ZSTD_isError(rc))
                return ApplyResult::WrongResult;
            hash.Update(static_cast<const std::uint8_t*>(out.dst) + nHashed, out.pos - nHashed);
            nHashed = out.pos;
            // On its way to the disk while the rest is decoded, so that the
            // sync at the end has little left to wait for.
            if (out.pos - nWrittenBack >= WRITEBACK_STEP) {
                pOut->StartWriteback(nWrittenBack, out.pos - nWrittenBack);
                nWrittenBack = out.pos;
            }
            bFrameDone = rc == 0;
        }
        patch.read(reinterpret_cast<char*>(buffer.data()), std::streamsize(buffer.size()));
        nRead = std::size_t(patch.gcount());
    }
    if (patch.bad())
        return ApplyResult::IoError;
    if (!bFrameDone || out.pos != nSize || !hash.IsOk() || hash.Final() != digest)
        return ApplyResult::WrongResult;
    return pOut->Flush() ? ApplyResult::Applied : ApplyResult::IoError;
}

std::optional<std::uint64_t> MakePatch(const std::filesystem::path& basePath, const std::filesystem::path& newPath,
                                       const std::filesystem::path& outPath, const PatchOptions& options,
                                       std::string* pError)
{
    const auto fail = [pError](std::string why) -> std::optional<std::uint64_t> {
        if (pError)
            *pError = std::move(why);
        return std::nullopt;
    };
    const auto pBase = CMappedFile::OpenRead(basePath);
    const auto pNew = CMappedFile::OpenRead(newPath);
    if (!pBase || !pNew)
        return fail("cannot read " + (!pBase ? basePath : newPath).string());
    // The window reaches over the whole of either file, as zstd's own
    // --patch-from sets it.
    const std::uint64_t nLargest = std::max<std::uint64_t>({pBase->Size(), pNew->Size(), 1});
    const int nWindowLog = std::max(ZSTD_WINDOWLOG_MIN, int(std::bit_width(nLargest)));
    if ((std::uint64_t(1) << nWindowLog) > std::min(options.nMaxWindow, MAX_PATCH_WINDOW))
        return fail("larger than a patch's window allows");

    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> pCctx(ZSTD_createCCtx());
    if (!pCctx)
        return fail("out of memory");
    ZSTD_CCtx* pC = pCctx.get();
    const auto set = [pC](ZSTD_cParameter param, int value) {
        return !ZSTD_isError(ZSTD_CCtx_setParameter(pC, param, value));
    };
    if (!set(ZSTD_c_compressionLevel, options.nLevel) || !set(ZSTD_c_windowLog, nWindowLog) ||
        !set(ZSTD_c_enableLongDistanceMatching, 1) || !set(ZSTD_c_checksumFlag, 1) ||
        !set(ZSTD_c_contentSizeFlag, 1) ||
        ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(pC, pNew->Size())))
        return fail("zstd refused the parameters");
    // More threads where this libzstd was built with them; one otherwise.
    if (options.nThreads > 1)
        set(ZSTD_c_nbWorkers, options.nThreads);
    if (pBase->Size() > 0 && ZSTD_isError(ZSTD_CCtx_refPrefix(pC, pBase->Data(), pBase->Size())))
        return fail("zstd refused the older file");

    std::filesystem::path tempPath = outPath;
    tempPath += ".tmp";
    std::ofstream file(tempPath, std::ios::binary | std::ios::trunc);
    if (!file)
        return fail("cannot write " + tempPath.string());
    std::vector<char> chunk(ZSTD_CStreamOutSize());
    std::uint64_t nWritten = 0;
    std::size_t nOffset = 0;
    for (;;) {
        const std::size_t nStep = std::min(COMPRESS_STEP, pNew->Size() - nOffset);
        const bool bLast = nOffset + nStep == pNew->Size();
        ZSTD_inBuffer in{pNew->Data() + nOffset, nStep, 0};
        std::size_t rc = 0;
        do {
            ZSTD_outBuffer out{chunk.data(), chunk.size(), 0};
            rc = ZSTD_compressStream2(pC, &out, &in, bLast ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(rc))
                return fail(std::string("zstd: ") + ZSTD_getErrorName(rc));
            file.write(chunk.data(), std::streamsize(out.pos));
            nWritten += out.pos;
        } while (bLast ? rc != 0 : in.pos < in.size);
        nOffset += nStep;
        if (bLast)
            break;
    }
    file.close();
    std::error_code ec;
    if (!file || (std::filesystem::rename(tempPath, outPath, ec), ec)) {
        std::filesystem::remove(tempPath, ec);
        return fail("cannot write " + outPath.string());
    }
    return nWritten;
}

} // namespace orvanta
