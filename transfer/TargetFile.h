#pragma once

#include "transfer/ByteSink.h"
#include "transfer/Crypto.h"
#include "transfer/LocalFault.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>

// One file being received for its target: the temporary file beside it
// (named by the caller), the part of it kept for resume, the running
// SHA-256 of what was written, its way onto the disk and into place, and
// the patch that may make it from the older target instead. The target is
// replaced only by a whole new file; whatever happens before (a broken
// transfer, a fault, this object destroyed mid-file as a kill would end it)
// leaves the old target untouched and the temporary file as a later try
// finds it. Qt-free; one thread at a time.
class CTargetFile final : public IByteSink {
public:
    // With a digest, a target that already has it needs no fetch, a part
    // left by a broken transfer may be continued, and the file is put in
    // place only when its bytes have this digest. pStop, polled while local
    // files are read, may turn true from another thread.
    CTargetFile(std::filesystem::path target, std::filesystem::path temp, std::uint64_t nSize,
                std::optional<orvanta::Sha256Digest> digest, const std::atomic<bool>* pStop = nullptr);
    ~CTargetFile() override;  // closes what is open; removes nothing
    CTargetFile(const CTargetFile&) = delete;
    CTargetFile& operator=(const CTargetFile&) = delete;

    // A temporary file that is not kept for resume: every one without a
    // digest to check a continuation, and an empty one, which holds nothing
    // to continue.
    static void RemoveUnkept(const std::filesystem::path& temp, bool bDigest);
    void RemoveUnkept() const { RemoveUnkept(m_temp, m_digest.has_value()); }
    void RemoveTemp() const;

    // The target is already the new file.
    bool IsInPlace() const;
    // Nothing is fetched that cannot fit beside the old file; what the
    // temporary file holds already counts. False with Fault() set.
    bool HasRoom();
    // Where the temporary file continues (hashed up to there): what it holds
    // when a digest can check the joined file later, else 0.
    std::uint64_t ContinuablePart();

    // Receiving, into the temporary file or the patch's (BeginPatch): opens
    // it to be written from nFrom on, emptied first for 0. False with
    // Fault() set, nothing left open.
    bool Begin(std::uint64_t nFrom);
    // More than the file's size is never the file that was promised.
    bool Write(std::span<const std::byte> bytes) override;
    // Closes it; false when its bytes may not all be there, which is a
    // fault when bReport (a transfer that broke already keeps it quiet:
    // its part is checked by the digest when it is continued).
    bool End(bool bReport = true);
    std::uint64_t Received() const { return m_nBytes; }
    std::uint64_t Size() const { return m_nSize; }
    bool IsComplete() const { return m_nBytes == m_nSize; }
    // Of the complete file; true without a digest.
    bool DigestMatches();

    // Puts the complete file with its digest in place, synced first when it
    // is large. False, with Fault() set when the disk refused.
    bool Commit();
    // Removes the temporary file unless a broken transfer left a part that
    // a digest can check when it is continued.
    void Discard(bool bBroken);

    // The patch lands beside the temporary file, under the same hashed name.
    std::filesystem::path PatchPath() const;
    void RemovePatch() const;
    // Receiving the patch of nPatchSize bytes next, in place of the file:
    // where its kept part continues, or nothing with Fault() set.
    std::optional<std::uint64_t> BeginPatch(std::uint64_t nPatchSize);
    // The patch did not arrive whole: a part a broken transfer left stays
    // for the next try. Receiving goes back to the file.
    void DropPatch(bool bBroken);
    enum class Applied { Committed, Failed, Cancelled };
    // Makes the new file from the older target and the whole patch, and
    // puts it in place; Failed leaves the temporary file empty for the
    // whole file, with Fault() set when that cannot fit either.
    Applied ApplyPatch();

    const std::optional<orvanta::LocalFault>& Fault() const { return m_fault; }

private:
    bool Fail(std::error_code ec);
    void CloseFile();

    const std::filesystem::path m_target;
    const std::filesystem::path m_temp;
    const std::uint64_t m_nFileSize;
    const std::optional<orvanta::Sha256Digest> m_digest;
    const std::atomic<bool>* const m_pStop;

    // What is received now: the file, or its patch.
    std::filesystem::path m_receiving;
    std::uint64_t m_nSize = 0;
    bool m_bPatch = false;
    std::uint64_t m_nNewFile = 0;  // bytes the new file still needs beside the patch

    std::FILE* m_pFile = nullptr;
    orvanta::CSha256 m_hash;  // of the file's bytes from its start
    std::optional<bool> m_bDigestOk;  // once the hash is final
    std::uint64_t m_nBytes = 0;
    std::uint64_t m_nWrittenBack = 0;  // bytes already handed to the disk
    std::optional<orvanta::LocalFault> m_fault;
};
