#pragma once

#include "patch/Digest.h"
#include "transfer/LocalFault.h"
#include "transfer/SegmentedFile.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Status codes that a transfer reports (the values of the platform's
// internet library, which the sequencer was written against).
enum : std::uint32_t {
    FTP_STATUS_START = 21,            // never sent by the session: the session start sends it
    FTP_STATUS_BYTES = 41,            // info.nBytes: bytes received since the previous 41
    FTP_STATUS_CONNECTION_CLOSED = 51,
    FTP_STATUS_TRANSFER_STARTED = 60,
    FTP_STATUS_REQUEST_COMPLETE = 100,  // info.bCommitted: the file was put in place
    // The session's own, not the library's: one more connection has logged
    // in and can take a transfer.
    FTP_STATUS_CONNECTION_ADDED = 1000,
    // A probe (ProbePatch) is done: info.nBytes is the size of the patch to
    // fetch for the entry, 0 when the whole file is to be fetched.
    FTP_STATUS_PROBED = 1001,
    // A patch did not make the new file (missing, short, damaged, or not
    // applicable): the whole file of info.nBytes follows, and the entry
    // costs what arrived of the patch plus that.
    FTP_STATUS_FALLBACK = 1002,
    // The entry's transfer broke and goes to a connection again (in passive
    // mode): the bytes reported for it so far no longer count, its
    // transfer starts over (or continues from what a digest can check).
    FTP_STATUS_RETRYING = 1003,
    // The entry's file could not be written on the player's disk (info.fault
    // says why and where): the transfer ends without trying again, the old
    // file as it was and a part kept for resume where a digest can check it.
    FTP_STATUS_LOCAL_FAULT = 1004,
};

// How long each wait on the FTP server may last. The program keeps the
// defaults; tests make them short.
// A path of ours as the file system takes it: UTF-16 on Windows, the
// locale's bytes elsewhere.
std::filesystem::path ToFsPath(const QString& path);

struct FtpTimeouts {
    long nConnectMs = 15000;  // a connection to be accepted
    long nResponseS = 30;     // a reply to a command
    long nAcceptMs = 15000;   // the server's connect-back in active mode
    long nStallS = 30;        // a transfer that moves no byte for this long is broken
};

// How often one entry's transfer is started when its connection breaks
// under it: the first time and twice more, each on another connection
// where there is one.
constexpr int MAX_TRANSFER_TRIES = 3;
// A connection whose transfers broke this many times running is given no
// more files.
constexpr int MAX_CONNECTION_FAILURES = 2;

// A patch to fetch and apply to the target in place of the whole file.
struct FtpPatchPlan {
    std::string remotePath;  // the server's bytes
    std::uint64_t nSize = 0;
};

struct FtpStatusInfo {
    std::uint64_t nBytes = 0;
    bool bCommitted = false;
    // The caller's number for the transfer (given to GetFile): with several
    // connections, the notes of different files interleave.
    std::size_t nEntry = 0;
    std::optional<orvanta::LocalFault> fault;  // FTP_STATUS_LOCAL_FAULT
};

// Receives transfer notifications on the thread of the context object given
// to SetStatusSink, one at a time and in order.
using FtpStatusSink = std::function<void(std::uint32_t dwStatus, const FtpStatusInfo& info)>;

// Result codes of GetFile, in the platform library's numbering.
enum : int {
    FTP_OK = 0,
    FTP_ERROR_PATH_NOT_FOUND = 3,      // the target's folder is missing
    FTP_ERROR_ACCESS_DENIED = 5,       // the target's folder cannot be written
    FTP_ERROR_CANNOT_MAKE = 82,        // no temporary file could be made beside the target
    FTP_ERROR_NAME_TOO_LONG = 206,     // the target's name does not fit the file system
    FTP_IO_PENDING = 997,              // the transfer was queued; its notifications follow
    FTP_ERROR_NOT_CONNECTED = 12019,   // no logged-in connection
};

class CFtpWorker;
class CRateLimiter;
struct FtpNote;
struct FtpLoginJob;
struct FtpGetJob;
class CFtpMailbox;
class CHttpRoute;

// An FTP session over one or more logged-in connections. Each connection
// is a worker thread that owns one curl easy handle, so every file it
// fetches reuses its control connection; the files of an update are shared
// among them, one file per connection at a time. All public operations are
// called from the thread that made the session; failures come back as
// values, and the caller decides what the player sees.
class CFtpSession final {
public:
    CFtpSession();
    ~CFtpSession();  // closes the session; returns promptly even while the server stalls
    CFtpSession(const CFtpSession&) = delete;
    CFtpSession& operator=(const CFtpSession&) = delete;

    // Starts the worker. False when the library cannot start: the session
    // stays unavailable and every Connect fails.
    bool Open();
    // Before Open.
    void SetTimeouts(const FtpTimeouts& timeouts) { m_timeouts = timeouts; }

    // Logs in on the worker: passive or active as SetPassive says, and once
    // more in passive mode when that fails. Returns false at once when the session is not open or is
    // already connected or connecting; otherwise the outcome reaches onDone
    // on the session's thread. A failed login leaves the session unavailable.
    // Once the first connection is in, the others (SetMaxConnections) log
    // in behind it in the same mode, without the retry; each that gets in
    // is announced to the sink as FTP_STATUS_CONNECTION_ADDED, and one the
    // server refuses is simply not used. Beside a web source
    // (SetHttpSource) no connection logs in at once: each keeps the account
    // and logs in with its first FTP request, if the web server ever fails
    // it, and onDone hears true at once.
    bool Connect(const std::string& host, int port, const std::string& user,
                 const std::string& password, std::function<void(bool)> onDone);

    // How many connections Connect opens (1 by default, at most 16). Before Connect.
    void SetMaxConnections(int nConnections);
    // The most the session takes of the line, in bytes per second over all
    // its connections together; 0: no limit. Holds from the next block.
    void SetMaxRate(std::uint64_t nBytesPerSecond);
    // Data connections in passive mode (PASV) rather than active (PORT),
    // the player's choice. Before Connect.
    void SetPassive(bool bPassive) { m_bPassive = bPassive; }
    // A web server holding the release under base (an http(s) URL, one
    // folder per version; one orvanta::HttpSourceBase refuses is ignored), tried first for every file, signature and
    // patch, version nVersion's folder. Its first failure of its own
    // turns it off for the rest of the session, and that file and all
    // after it come over FTP; the FTP server is logged in to only then. An
    // empty base: FTP only. Before Connect.
    void SetHttpSource(const std::string& base, std::int32_t nVersion);
    // Files of at least policy.nFrom bytes with a digest (and no patch)
    // come in pieces over every connection that has nothing else to do:
    // the one the file was given to, and the others as they fall idle.
    // Before Connect; tests make the sizes small.
    void SetSegmentPolicy(const SegmentPolicy& policy) { m_segmentPolicy = policy; }
    // Connections logged in and usable now.
    int Connections() const;

    // Queues the download of remotePath (the server's own bytes) into
    // localPath, after clearing the target's read-only state (never through
    // a link). The file lands in a temporary file beside the target and
    // replaces it only when the server reported success and exactly
    // expectedSize bytes arrived; the new file has normal permissions.
    // Returns FTP_IO_PENDING when queued, or one of the error codes above.
    // With a digest, the file is put in place only when its bytes have it; a
    // target that already has it is counted as received without a
    // transfer, and a broken transfer's temporary file is kept and
    // continued from its length the next time.
    // The transfer goes to the least busy connection; nEntry comes back in
    // every note of it. When that connection breaks during the transfer,
    // the file goes to another one (FTP_STATUS_RETRYING says so), in
    // passive mode, up to MAX_TRANSFER_TRIES times in all;
    // FTP_STATUS_CONNECTION_CLOSED means no connection could fetch it.
    // With a patch (and a digest), the patch is fetched and applied to the
    // target, and the whole file fetched only when that does not give the
    // file with the digest (FTP_STATUS_FALLBACK says so first).
    int GetFile(const std::string& remotePath, const QString& localPath, std::uint64_t expectedSize,
                std::optional<orvanta::Sha256Digest> digest = std::nullopt, std::size_t nEntry = 0,
                std::optional<FtpPatchPlan> patch = std::nullopt);
    // Why the last GetFile failed, with the path it failed on; nothing
    // after one that queued its transfer.
    const std::optional<orvanta::LocalFault>& LastFault() const { return m_lastFault; }

    // Finds out, on a connection, whether the file at localPath is the one
    // base names (by its digest's prefix) and, when it is, the size of the
    // patch at patchRemotePath; the answer comes as FTP_STATUS_PROBED for
    // nEntry. A patch not smaller than nFileSize is not worth fetching.
    bool ProbePatch(const QString& localPath, const orvanta::BasePrefix& base, const orvanta::Sha256Digest& digest,
                    const std::string& patchRemotePath, std::uint64_t nFileSize, std::size_t nEntry);

    // Fetches a small file (at most nMaxSize bytes) into memory; the bytes,
    // or null when it could not be had, reach onDone on the session's
    // thread. Queued behind the transfers; one at a time.
    using FetchDone = std::function<void(std::shared_ptr<const std::string>)>;
    bool FetchFile(const std::string& remotePath, std::size_t nMaxSize, FetchDone onDone);

    // Where transfer notifications go. The sink runs on context's thread
    // and never after context is destroyed or the session is closed.
    void SetStatusSink(QObject* context, FtpStatusSink sink);

    // Closes the session for good: the transfer in flight is cancelled and
    // leaves no temporary file, nothing more reaches the sink or a pending
    // onDone, and Connect and GetFile fail from now on.
    void CloseInternet();

    bool IsOpen() const;
    bool IsConnected() const;

private:
    std::unique_ptr<CFtpWorker> MakeWorker(int nIndex);
    void LogInOthers(const FtpLoginJob& first);
    bool Redispatch(int nBroken, FtpGetJob job);
    void OfferHelp();

    // The relay receives the workers' posts; the mailbox holds the state,
    // the sink and the notifications not yet delivered.
    std::unique_ptr<QObject> m_pRelay;
    std::shared_ptr<CFtpMailbox> m_pMailbox;
    // Index 0 logs in first and fetches the small files; destroyed (joined)
    // before the relay.
    std::vector<std::unique_ptr<CFtpWorker>> m_workers;
    int m_nMaxConnections = 1;
    std::shared_ptr<CRateLimiter> m_pLimiter;  // shared with the workers
    bool m_bPassive = false;
    std::shared_ptr<CHttpRoute> m_pHttp;  // shared with the workers
    FtpTimeouts m_timeouts;
    std::optional<orvanta::LocalFault> m_lastFault;
    SegmentPolicy m_segmentPolicy;
    // Files in pieces that idle connections may help with.
    struct Shared {
        std::shared_ptr<CSegmentedFile> pFile;
        std::string remotePath;
        std::size_t nEntry = 0;
    };
    std::vector<Shared> m_shared;
};

// "host", "host:port" or "[v6]:port"; port 21 when none is given.
struct FtpEndpoint {
    std::string host;
    int port = 21;
};
FtpEndpoint ParseFtpEndpoint(const std::string& text);
