#pragma once

#include "transfer/Crypto.h"
#include "transfer/CurlConnection.h"
#include "transfer/FtpSession.h"
#include "transfer/HttpRoute.h"
#include "transfer/LocalFault.h"
#include "transfer/SegmentedFile.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class CTargetFile;

// The session's own note, never told to its sink: a connection stopped
// helping with another's file (FtpNote::bLost: its connection broke).
constexpr std::uint32_t FTP_STATUS_HELPED = 2000;
// Also the session's own: a file in pieces is open, and idle connections
// may help with it.
constexpr std::uint32_t FTP_STATUS_PIECES_OPEN = 2001;

// What the worker reports. Built on the worker thread, handed to the post
// function, and read on the window's thread.
struct FtpNote {
    enum class Kind { Status, Login, Fetched };
    Kind eKind = Kind::Status;
    std::uint32_t dwStatus = 0;
    FtpStatusInfo info;
    bool bLoggedIn = false;  // Kind::Login
    bool bPassive = false;   // Kind::Login: the mode that got in
    bool bLost = false;      // FTP_STATUS_HELPED
    int nWorker = 0;         // set by the session: which connection reports
    std::shared_ptr<const std::string> pFetched;  // Kind::Fetched: the bytes, or null
};

struct FtpLoginJob {
    std::string host;      // as the patch server named it, without brackets
    int port = 21;
    std::string user;      // the wire's bytes
    std::string password;
    bool bPassiveFirst = false;
    bool bRetryPassive = true;  // a failed first attempt is tried once more, passive
    // Only the account is kept; curl logs in with the first request that
    // needs the FTP server. For connections beside a working web source,
    // which may never need it.
    bool bDeferred = false;
    // Tried before the FTP server for every file while it works; none: FTP only.
    std::shared_ptr<CHttpRoute> pHttp;
};

struct FtpGetJob {
    std::string remotePath;            // the wire's bytes
    std::filesystem::path tempPath;    // made by the caller, beside the target
    std::filesystem::path targetPath;
    std::uint64_t nExpectedSize = 0;
    // With a digest, a target that already has it is not fetched, a
    // temporary file left by a broken transfer is continued, and the file
    // is put in place only when its bytes have this digest.
    std::optional<orvanta::Sha256Digest> digest;
    std::size_t nEntry = 0;  // the caller's number, echoed in the notes
    // Fetched and applied to the target first (needs the digest).
    std::optional<FtpPatchPlan> patch;
    // Passive whatever mode the login used: a try after active mode broke.
    bool bPassive = false;
    int nTry = 1;  // the session's count of starts
    // A large file received in pieces over every connection that has time
    // for it; this job owns it. Needs the digest and no patch.
    std::shared_ptr<CSegmentedFile> pSegmented;
};

// Pieces of a file another job owns, for as long as this connection has
// nothing else to do.
struct FtpHelpJob {
    std::shared_ptr<CSegmentedFile> pFile;
    std::string remotePath;
    std::size_t nEntry = 0;
};

struct FtpProbeJob {
    std::filesystem::path targetPath;
    orvanta::BasePrefix base{};
    orvanta::Sha256Digest digest{};
    std::string patchRemotePath;
    std::uint64_t nFileSize = 0;
    std::size_t nEntry = 0;
};

struct FtpFetchJob {
    std::string remotePath;
    std::size_t nMaxSize = 0;  // a longer file is not taken
};

// The thread that owns one connection of the session (CCurlConnection) and
// receives its files (CTargetFile). Jobs run one after the other in the
// order they were queued, all on the connection the login made. Queuing
// and Cancel are called from the window's thread; everything else runs on
// the worker.
class CFtpWorker final {
public:
    // Called on the worker thread, once per note, in order; it must only
    // hand the note over to another thread.
    using PostFn = std::function<void(FtpNote)>;

    // Null when curl or the thread cannot start.
    // pLimiter: the session's rate limit, shared by its workers; none: no limit.
    static std::unique_ptr<CFtpWorker> Create(PostFn post, const FtpTimeouts& timeouts = {},
                                              std::shared_ptr<CRateLimiter> pLimiter = {});

    // Cancels what runs, drops what waits and joins the thread. Returns
    // promptly even while the server stalls: the sockets are shut down
    // first, so no farewell to the server is waited for.
    ~CFtpWorker();
    CFtpWorker(const CFtpWorker&) = delete;
    CFtpWorker& operator=(const CFtpWorker&) = delete;

    void Login(FtpLoginJob job);
    void Get(FtpGetJob job);
    // A small file into memory; reported as a Fetched note.
    void Fetch(FtpFetchJob job);
    void Probe(FtpProbeJob job);
    // Reported as FTP_STATUS_HELPED. Any job queued after it ends the
    // help at once: its piece goes back to the others.
    void Help(FtpHelpJob job);

    // For good: the transfer in flight ends without a report (its temporary
    // file removed), queued jobs are dropped with theirs, and later jobs are
    // refused the same way.
    void Cancel();

private:
    struct Job {
        enum class Kind { Login, Get, Fetch, Probe, Help };
        Kind eKind = Kind::Get;
        FtpLoginJob login;
        FtpGetJob get;
        FtpFetchJob fetch;
        FtpProbeJob probe;
        FtpHelpJob help;
    };
    class CPieceSink;

    CFtpWorker(PostFn post, std::unique_ptr<CCurlConnection> pConnection);
    bool Start();
    void Run();
    void RunLogin(const FtpLoginJob& job);
    void RunGet(const FtpGetJob& job);
    void RunFetch(const FtpFetchJob& job);
    void RunProbe(const FtpProbeJob& job);
    void RunSegmented(const FtpGetJob& job);
    void RunHelp(const FtpHelpJob& job);
    CurlResult ReceivePieces(CSegmentedFile& file, const std::string& remotePath, bool bPassive, bool bOwner);
    CurlResult FetchPiece(CSegmentedFile& file, const CSegmentedFile::Piece& piece, const std::string& remotePath,
                          bool bPassive, bool bOwner);
    enum class PatchOutcome { Committed, Failed, ConnectionLost, LocalFault, Cancelled };
    PatchOutcome RunPatched(const FtpGetJob& job, CTargetFile& file);
    CurlResult Receive(CTargetFile& file, const std::string& remotePath, bool bPassive, std::uint64_t nFrom,
                       bool* pOverHttp = nullptr);
    CurlResult FetchFromSource(CTargetFile& file, CurlRange range, bool* pOverHttp);
    void TurnOffHttp();
    std::uint64_t PatchSize(const std::string& remotePath);
    bool IsCancelled() const;
    void BeginFile();
    void Post(std::uint32_t dwStatus, std::uint64_t nBytes = 0, bool bCommitted = false);
    void PostFault(const CTargetFile& file);
    void PostFault(const std::optional<orvanta::LocalFault>& fault);
    void OnActivity(std::size_t nBytes);
    void FlushBytes();
    void Enqueue(Job job);

    PostFn m_post;
    const std::unique_ptr<CCurlConnection> m_pConnection;  // outlives the thread
    std::thread m_thread;

    // Shared between the threads.
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Job> m_jobs;
    bool m_bStop = false;
    // A job was queued while this connection helps: the help ends.
    std::atomic<bool> m_bYield{false};

    // Worker thread only.
    std::shared_ptr<CHttpRoute> m_pHttp;  // from the login
    std::size_t m_nEntry = 0;  // of the transfer that runs
    std::uint64_t m_nPendingBytes = 0;  // received and not yet reported
    std::chrono::steady_clock::time_point m_lastBytesPost;
};
