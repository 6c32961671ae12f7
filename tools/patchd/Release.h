#pragma once

#include "patch/Digest.h"
#include "patch/Records.h"
#include "transfer/Crypto.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What the patch server knows of its releases, and the answers it gives.
// Answers are immutable byte blocks shared by every session that gets the
// same one, so a session costs no copy of its file list.
namespace patchd {

struct CReleaseFile {
    orvanta::FileEntry entry;  // as it goes on the wire (CP949 texts)
    QString path;              // relative to the release folder: log and digests
    QString absolute;          // on disk
    std::uint64_t nPatchSize = 0;  // a delta entry: the patch's size
};

// Where the patch from an older file (by its digest's prefix) to the file
// at absolute (whose digest is target) lies: beside it, named by both ends.
QString PatchPathFor(const QString& absolute, const orvanta::BasePrefix& base, const orvanta::Sha256Digest& target);

// The size of the patch at patchPath when it can be listed for a file of
// nFileSize bytes: smaller than the file, a patch to that size, and within
// the window an updater accepts.
std::optional<std::uint64_t> UsablePatch(const QString& patchPath, std::uint64_t nFileSize);

// Every file of the release under folder, sorted by folder then name
// (bytes of their UTF-8 form): folder relative to the release root with
// "/" separators, empty at the root; texts converted to CP949. The
// signature file and the patches beside the files are not files of the
// release. What an updater would refuse, or what must never be served, is
// refused with a message that names the folder and the file: a name that
// is not UTF-8, has no CP949 form, is longer than its field or that
// Windows cannot hold (IsSafeEntry, case collisions, path lengths); more
// than MAX_LIST_ENTRIES files; a file past 4 GiB; a link that leads out of
// the folder or to a folder; a FIFO, socket or device; a temporary file of
// an interrupted run. A link to a regular file inside the folder is
// listed as that file, as it always was (a warning names one by absolute
// path, which a jailed FTP server cannot follow). With bDigests every entry carries its file's
// SHA-256 in its reserved bytes and its size as read, and refused are
// also a file that changed while it was read and one that holds a private
// key. pWarnings gets what the publisher should still hear: files or
// folders that not every user may read (an FTP server that serves only
// world-readable files refuses them), and patches of the older unbound
// form, which are never offered.
bool LoadReleaseFolder(const QString& folder, std::vector<CReleaseFile>* pFiles, QString* pError,
                       bool bDigests = false, QStringList* pWarnings = nullptr);

// A text for a fixed-width field of the given size: CP949 of utf8, NUL
// included. False when it does not convert exactly or does not fit.
bool ToFieldText(const QString& text, std::size_t nField, std::string* pOut);

// SHA-256 of a file's bytes; nothing when it cannot be read.
std::optional<orvanta::Sha256Digest> FileDigest(const QString& path);

// A version folder's name: the number in plain digits, without sign or
// leading zeros, at most 2147483647; as --releases reads it.
bool ParseVersionName(const QString& name, std::int32_t* pOut);

// The publisher's keys as the tools read them: a public key file (what
// keygen writes, or a PEM public key), a private key file (PEM, Ed25519).
std::optional<orvanta::Ed25519PublicKey> LoadPublicKey(const QString& path, QString* pError);
std::optional<std::string> LoadPrivateKey(const QString& path, QString* pError);

// Whether folder's signature file was made with key for exactly files
// (loaded with digests): every name, size and digest in order, and for
// nVersion when one is given (else the version signed is taken). False,
// with what differs. *pVersion gets the signed version.
bool CheckReleaseSignature(const QString& folder, const std::vector<CReleaseFile>& files,
                           const orvanta::Ed25519PublicKey& key, std::optional<std::int32_t> nVersion,
                           QString* pError, std::int32_t* pVersion = nullptr);

using CBlob = std::shared_ptr<const std::string>;

// The answer to one frame 10: frame 11, and when the versions differ one
// frame 13 per file to fetch. The paths (with sizes) are for the log only.
struct CAnswer {
    CBlob frames;
    std::shared_ptr<const std::vector<QString>> paths;
    bool bDelta = false;  // only the files that changed since the client's version
};

// The releases a server offers: the current one, and the older versions it
// can compare with it. Filled once before the server starts; the lists of
// older versions are worked out on a thread of their own, newest first,
// each once.
class CReleaseSet final {
public:
    CReleaseSet() = default;
    ~CReleaseSet();
    CReleaseSet(const CReleaseSet&) = delete;
    CReleaseSet& operator=(const CReleaseSet&) = delete;

    // One release: every other version gets the whole list.
    void SetCurrent(std::int32_t nVersion, std::vector<CReleaseFile> files);
    // A folder of versions, one sub-folder each named by its number; the
    // current one is nCurrent, or the highest when none is given. A
    // sub-folder named like a number but not as one ("0043", "+43", "-5",
    // "43x", past 2147483647) is ignored with a warning, and refused when
    // it would have been the current one.
    bool LoadHistory(const QString& folder, std::optional<std::int32_t> nCurrent, QString* pError,
                     QStringList* pWarnings);

    std::int32_t Current() const { return m_nCurrent; }
    std::size_t CurrentFileCount() const { return m_current.size(); }
    const std::vector<CReleaseFile>& CurrentFiles() const { return m_current; }
    std::vector<std::int32_t> OlderVersions() const;

    // Starts the comparison thread; fReady runs on it after each list is
    // done (the server wakes the sessions that wait for it).
    void Start(std::function<void()> fReady);
    void Stop();

    // The answer for a client at nVersion, or nothing while its list is
    // still being worked out. Any thread.
    std::optional<CAnswer> AnswerFor(std::int32_t nVersion) const;

    // Blocks until every list is done (tests of the server's start, demos).
    void WaitAll();

private:
    CAnswer MakeAnswer(const std::vector<const CReleaseFile*>& files, bool bDelta) const;
    void Compare();
    // oldDigest: the SHA-256 of the client's version of the file.
    const CReleaseFile* WithPatch(const CReleaseFile& file, const orvanta::Sha256Digest& oldDigest,
                                  std::deque<CReleaseFile>* pPatched) const;

    std::int32_t m_nCurrent = 1;
    std::vector<CReleaseFile> m_current;
    std::map<std::int32_t, std::vector<CReleaseFile>> m_older;
    CAnswer m_same;   // frame 11 alone
    CAnswer m_whole;  // frame 11 and every file

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<std::int32_t, CAnswer> m_deltas;  // guarded by m_mutex
    bool m_bStop = false;                      // guarded by m_mutex
    std::function<void()> m_fReady;
    std::thread m_thread;
};

} // namespace patchd
