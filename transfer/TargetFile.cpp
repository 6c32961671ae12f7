#include "transfer/TargetFile.h"

#include "transfer/Delta.h"
#include "transfer/DiskSync.h"
#include "transfer/OpenFile.h"
#include "transfer/SegmentedFile.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

namespace {

using orvanta::RegularFileSize;

// Files this large are synced before they replace their target, so that
// after a power cut the target is its old or its new self. Smaller ones are
// left to the file system's sync that comes before the resume mark moves
// past them: one sync for many files instead of one each.
constexpr std::uint64_t SYNC_EACH_FROM = orvanta::SYNC_FOLDER_TREE_SUPPORTED ? 1024 * 1024 : 0;
constexpr std::uint64_t WRITEBACK_STEP = 8 * 1024 * 1024;

void RemoveQuietly(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

bool SeekTo(std::FILE* pFile, std::uint64_t nOffset)
{
#ifdef _WIN32
    return _fseeki64(pFile, static_cast<__int64>(nOffset), SEEK_SET) == 0;
#else
    return fseeko(pFile, static_cast<off_t>(nOffset), SEEK_SET) == 0;
#endif
}

// Hashes the first nBytes of a file into hash. False when they cannot all
// be read.
bool HashPrefix(const std::filesystem::path& path, std::uint64_t nBytes, orvanta::CSha256* pHash)
{
    std::FILE* pFile = orvanta::OpenFile(path, "rb");
    if (!pFile)
        return false;
    std::vector<char> block(1 << 20);
    while (nBytes > 0) {
        const std::size_t nWant = std::size_t(std::min<std::uint64_t>(nBytes, block.size()));
        const std::size_t nGot = std::fread(block.data(), 1, nWant, pFile);
        pHash->Update(block.data(), nGot);
        nBytes -= nGot;
        if (nGot < nWant)
            break;
    }
    std::fclose(pFile);
    return nBytes == 0;
}

} // namespace

CTargetFile::CTargetFile(std::filesystem::path target, std::filesystem::path temp, std::uint64_t nSize,
                         std::optional<orvanta::Sha256Digest> digest, const std::atomic<bool>* pStop)
    : m_target(std::move(target)), m_temp(std::move(temp)), m_nFileSize(nSize), m_digest(digest), m_pStop(pStop),
      m_receiving(m_temp), m_nSize(nSize)
{
}

CTargetFile::~CTargetFile()
{
    CloseFile();
}

void CTargetFile::CloseFile()
{
    if (m_pFile)
        std::fclose(m_pFile);
    m_pFile = nullptr;
}

void CTargetFile::RemoveUnkept(const std::filesystem::path& temp, bool bDigest)
{
    if (!bDigest || RegularFileSize(temp) == 0) {
        RemoveQuietly(temp);
        RemoveQuietly(CSegmentedFile::RecordPath(temp));
    }
}

void CTargetFile::RemoveTemp() const
{
    RemoveQuietly(m_temp);
    RemoveQuietly(CSegmentedFile::RecordPath(m_temp));
}

bool CTargetFile::IsInPlace() const
{
    if (!m_digest || RegularFileSize(m_target) != m_nFileSize)
        return false;
    std::error_code ec;
    if (!std::filesystem::exists(m_target, ec) || std::filesystem::is_symlink(m_target, ec))
        return false;
    const auto digest = orvanta::Sha256OfFile(m_target, m_pStop);
    return digest && *digest == *m_digest;
}

bool CTargetFile::HasRoom()
{
    m_fault = orvanta::RoomFor(m_target, m_nFileSize - std::min(RegularFileSize(m_temp), m_nFileSize));
    return !m_fault;
}

std::uint64_t CTargetFile::ContinuablePart()
{
    m_hash.Reset();
    m_bDigestOk.reset();
    std::uint64_t nHave = RegularFileSize(m_temp);
    // A file received in pieces holds gaps: only its gap-free start, as its
    // record names it, is continued.
    std::error_code ec;
    if (m_digest && std::filesystem::exists(std::filesystem::symlink_status(CSegmentedFile::RecordPath(m_temp), ec)))
        nHave = std::min(nHave, CSegmentedFile::TakeOverPrefix(m_temp, m_nFileSize, *m_digest));
    if (!m_digest || nHave == 0 || nHave > m_nFileSize || !HashPrefix(m_temp, nHave, &m_hash)) {
        m_hash.Reset();
        return 0;
    }
    return nHave;
}

bool CTargetFile::Fail(std::error_code ec)
{
    m_fault = orvanta::WriteFault(ec, m_target, m_nSize - std::min(m_nBytes, m_nSize));
    return false;
}

bool CTargetFile::Begin(std::uint64_t nFrom)
{
    CloseFile();
    m_nBytes = 0;
    if (nFrom == 0) {
        m_hash.Reset();
        m_bDigestOk.reset();
        std::error_code ec;
        // A try after a broken one finds the file gone (or, were anything
        // to put one there, a link, which is never followed).
        const auto status = std::filesystem::symlink_status(m_receiving, ec);
        if (std::filesystem::is_symlink(status))
            RemoveQuietly(m_receiving);
        if (!std::filesystem::is_regular_file(status))
            ec = orvanta::TouchFile(m_receiving);
        else
            ec.clear();
        if (!ec)
            std::filesystem::resize_file(m_receiving, 0, ec);
        if (ec)
            return Fail(ec);
    }
    // The file exists. Opening it without truncation matters: ext4 takes a
    // truncated-then-written file for a replaced one and flushes all of it
    // when it is closed, which holds a large file's end for a good part of
    // a second.
    errno = 0;
    m_pFile = orvanta::OpenFile(m_receiving, "r+b");  // in place, not truncated
    if (!m_pFile)
        return Fail(orvanta::LastErrno());
    m_nWrittenBack = nFrom;
    if (!SeekTo(m_pFile, nFrom)) {
        Fail(orvanta::LastErrno());
        CloseFile();
        return false;
    }
    m_nBytes = nFrom;
    // curl hands over whole receive buffers: each goes out in one write.
    std::setvbuf(m_pFile, nullptr, _IONBF, 0);
    return true;
}

bool CTargetFile::Write(std::span<const std::byte> bytes)
{
    if (!m_pFile || bytes.size() > m_nSize - m_nBytes)
        return false;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_pFile) != bytes.size())
        return Fail(orvanta::LastErrno());
    if (!m_bPatch)
        m_hash.Update(bytes.data(), bytes.size());
    m_nBytes += bytes.size();
    // A file that is synced before its rename goes to disk as it arrives,
    // not all at the end.
    if (m_nSize >= SYNC_EACH_FROM && m_nBytes - m_nWrittenBack >= WRITEBACK_STEP) {
        orvanta::StartWriteback(m_pFile, m_nWrittenBack, m_nBytes - m_nWrittenBack);
        m_nWrittenBack = m_nBytes;
    }
    return true;
}

bool CTargetFile::End(bool bReport)
{
    if (!m_pFile)
        return true;
    errno = 0;
    const bool bClosed = std::fclose(m_pFile) == 0;
    m_pFile = nullptr;
    if (!bClosed && bReport)
        Fail(orvanta::LastErrno());
    return bClosed;
}

bool CTargetFile::DigestMatches()
{
    if (!m_bDigestOk)
        m_bDigestOk = !m_digest || m_hash.Final() == *m_digest;
    return *m_bDigestOk;
}

bool CTargetFile::Commit()
{
    if (m_bPatch || !IsComplete() || !DigestMatches())
        return false;
    errno = 0;
    std::error_code ec;
    if (m_nFileSize >= SYNC_EACH_FROM && !orvanta::SyncFileData(m_temp))
        ec = orvanta::LastErrno();
    else
        std::filesystem::rename(m_temp, m_target, ec);
    if (ec)
        m_fault = orvanta::WriteFault(ec, m_target, 0);
    return !ec;
}

void CTargetFile::Discard(bool bBroken)
{
    const bool bKeepPart = bBroken && m_digest && m_nBytes > 0 && m_nBytes < m_nFileSize;
    if (!bKeepPart)
        RemoveTemp();
}

std::filesystem::path CTargetFile::PatchPath() const
{
    std::filesystem::path path = m_temp;
    return path.replace_extension(".zpatch");
}

void CTargetFile::RemovePatch() const
{
    RemoveQuietly(PatchPath());
}

std::optional<std::uint64_t> CTargetFile::BeginPatch(std::uint64_t nPatchSize)
{
    CloseFile();
    m_receiving = PatchPath();
    m_nSize = nPatchSize;
    m_bPatch = true;
    m_nBytes = 0;
    // Part of the patch kept from a broken or killed try continues where it
    // stopped, as a whole file does; a wrong part shows when the patch is
    // applied, and the whole file follows then. Anything else under the name
    // (a link, say) is removed, never followed.
    std::uint64_t nHave = RegularFileSize(m_receiving);
    if (nHave >= nPatchSize)
        nHave = 0;
    // The patch and the new file beside the old one must both fit.
    m_nNewFile = m_nFileSize - std::min(RegularFileSize(m_temp), m_nFileSize);
    m_fault = orvanta::RoomFor(m_target, nPatchSize - nHave + m_nNewFile);
    if (m_fault)
        return std::nullopt;
    if (nHave == 0) {
        RemoveQuietly(m_receiving);
        if (const std::error_code ec = orvanta::TouchFile(m_receiving)) {
            m_fault = orvanta::WriteFault(ec, m_target.parent_path(), 0);
            return std::nullopt;
        }
    }
    return nHave;
}

void CTargetFile::DropPatch(bool bBroken)
{
    CloseFile();
    if (!bBroken || m_nBytes == 0 || m_nBytes >= m_nSize)
        RemovePatch();
    if (m_fault)
        m_fault = orvanta::WriteFault(m_fault->error, m_target, m_nSize - m_nBytes + m_nNewFile);
    m_receiving = m_temp;
    m_nSize = m_nFileSize;
    m_bPatch = false;
    m_nBytes = 0;
}

CTargetFile::Applied CTargetFile::ApplyPatch()
{
    CloseFile();
    m_receiving = m_temp;
    m_nSize = m_nFileSize;
    m_bPatch = false;
    m_nBytes = 0;
    // The older file stays in place, untouched, until the new one is whole
    // and on disk beside it.
    m_fault = orvanta::RoomFor(m_target, m_nNewFile);
    orvanta::ApplyResult eApplied = orvanta::ApplyResult::IoError;
    if (!m_fault && m_digest)
        eApplied = orvanta::ApplyPatch(m_target, PatchPath(), m_temp, m_nFileSize, *m_digest, m_pStop);
    RemovePatch();
    std::error_code ec;
    if (eApplied == orvanta::ApplyResult::Applied) {
        std::filesystem::rename(m_temp, m_target, ec);
        if (!ec)
            return Applied::Committed;
        m_fault = orvanta::WriteFault(ec, m_target, 0);
    }
    if (eApplied == orvanta::ApplyResult::Cancelled) {
        RemoveTemp();
        return Applied::Cancelled;
    }
    // Emptied, not removed: the whole file is fetched into it next.
    std::filesystem::resize_file(m_temp, 0, ec);
    // A new file that could not be made for want of room is not fetched
    // whole either.
    if (!m_fault && eApplied == orvanta::ApplyResult::IoError)
        m_fault = orvanta::RoomFor(m_target, m_nFileSize);
    return Applied::Failed;
}
