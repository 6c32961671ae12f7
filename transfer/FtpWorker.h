#pragma once

#include "transfer/Crypto.h"
#include "transfer/FtpSession.h"
#include "transfer/LocalFault.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <curl/curl.h>

// What the worker reports. Built on the worker thread, handed to the post
// function, and read on the window's thread.
struct FtpNote {
    enum class Kind { Status, Login, Fetched };
    Kind eKind = Kind::Status;
    std::uint32_t dwStatus = 0;
    FtpStatusInfo info;
    bool bLoggedIn = false;  // Kind::Login
    bool bPassive = false;   // Kind::Login: the mode that got in
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

// The thread that owns the session's curl handles. Jobs run one after the
// other in the order they were queued; the login's connection stays in the
// multi handle's cache, so every transfer reuses it. Queuing and Cancel are
// called from the window's thread; everything else runs on the worker.
class CFtpWorker final {
public:
    // Called on the worker thread, once per note, in order; it must only
    // hand the note over to another thread.
    using PostFn = std::function<void(FtpNote)>;

    // Null when curl or the thread cannot start.
    static std::unique_ptr<CFtpWorker> Create(PostFn post, const FtpTimeouts& timeouts = {});

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

    // For good: the transfer in flight ends without a report (its temporary
    // file removed), queued jobs are dropped with theirs, and later jobs are
    // refused the same way.
    void Cancel();

private:
    struct CurlEasyDeleter {
        void operator()(CURL* p) const { curl_easy_cleanup(p); }
    };
    struct CurlMultiDeleter {
        void operator()(CURLM* p) const { curl_multi_cleanup(p); }
    };
    struct Job {
        enum class Kind { Login, Get, Fetch, Probe };
        Kind eKind = Kind::Get;
        FtpLoginJob login;
        FtpGetJob get;
        FtpFetchJob fetch;
        FtpProbeJob probe;
    };

    CFtpWorker(PostFn post, const FtpTimeouts& timeouts);
    bool Start();
    void Run();
    void RunLogin(const FtpLoginJob& job);
    void RunGet(const FtpGetJob& job);
    void RunFetch(const FtpFetchJob& job);
    void RunProbe(const FtpProbeJob& job);
    enum class PatchOutcome { Committed, Failed, ConnectionLost, LocalFault, Cancelled };
    PatchOutcome RunPatched(const FtpGetJob& job);
    std::uint64_t RemoteSize(const std::string& remotePath);
    void BeginFile(std::uint64_t nExpected);
    bool IsInPlace(const FtpGetJob& job);
    std::uint64_t ContinuablePart(const FtpGetJob& job);
    CURLcode Transfer(const FtpGetJob& job, std::uint64_t nFrom);
    bool TryLogin(const FtpLoginJob& job, bool bPassive);
    CURLcode Perform();
    void SetCommonOptions();
    void Post(std::uint32_t dwStatus, std::uint64_t nBytes = 0, bool bCommitted = false);
    void PostFault(const FtpGetJob& job);
    void FlushBytes();
    void Enqueue(Job job);
    void ShutdownSockets();

    static std::size_t OnWrite(char* pData, std::size_t nSize, std::size_t nCount, void* pUser);
    static std::size_t OnDiscard(char* pData, std::size_t nSize, std::size_t nCount, void* pUser);
    static int OnProgress(void* pUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static curl_socket_t OnOpenSocket(void* pUser, curlsocktype purpose, curl_sockaddr* pAddress);
    static int OnCloseSocket(void* pUser, curl_socket_t socket);

    PostFn m_post;
    const FtpTimeouts m_timeouts;
    std::unique_ptr<CURLM, CurlMultiDeleter> m_pMulti;  // owns the connection cache
    std::unique_ptr<CURL, CurlEasyDeleter> m_pEasy;     // the one handle of the session
    std::thread m_thread;

    // Shared between the threads.
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Job> m_jobs;
    bool m_bStop = false;
    std::atomic<bool> m_bCancelled{false};
    std::mutex m_socketMutex;
    std::set<curl_socket_t> m_sockets;  // every socket curl opened through us and has not closed

    // Worker thread only.
    std::string m_hostPart;  // "host" or "[v6]", with ":port"
    bool m_bPassive = false;
    std::FILE* m_pFile = nullptr;
    std::string* m_pMemory = nullptr;  // a fetch into memory, instead of m_pFile
    orvanta::CSha256 m_hash;           // of the bytes of the file being received
    std::uint64_t m_nFileBytes = 0;
    std::uint64_t m_nExpected = 0;
    std::uint64_t m_nWrittenBack = 0;  // bytes of the file already handed to the disk
    std::uint64_t m_nPendingBytes = 0;
    std::size_t m_nEntry = 0;  // of the transfer that runs
    std::error_code m_writeError;  // the last write into m_pFile that failed
    std::optional<orvanta::LocalFault> m_fault;  // why the transfer that runs cannot go on
    std::chrono::steady_clock::time_point m_lastBytesPost;
};
