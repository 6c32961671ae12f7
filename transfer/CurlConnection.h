#pragma once

#include "transfer/ByteSink.h"
#include "transfer/FtpSession.h"
#include "transfer/RateLimiter.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include <curl/curl.h>

// The server to log in to. The host as the patch server named it (an IPv6
// address without brackets); user and password are the wire's bytes.
struct CurlLogin {
    std::string host;
    int port = 21;
    std::string user;
    std::string password;
    bool bPassive = false;  // FTP: the data connections' mode
};

// A byte range of a remote file: [nFrom, nTo), or to its end.
struct CurlRange {
    std::string remotePath;  // the wire's bytes
    std::uint64_t nFrom = 0;
    std::optional<std::uint64_t> nTo;
    // FTP: a passive data connection whatever mode the login used (a try
    // after active mode broke).
    bool bPassive = false;
    // An http(s) URL: the range comes from there instead, on the same
    // handle, whose cache keeps that connection alive beside the FTP one.
    std::string url;
};

// How a request ended. Failed: the server answered and refused (no such
// file, no permission, an HTTP status of 400 or more), or the sink stopped
// it; the connection is still good. Lost: the connection broke, timed out,
// or the request was cancelled.
enum class CurlResult { Done, Failed, Lost };

// One connection to a file server: one curl easy handle, and the multi
// handle whose cache keeps its connection alive between requests, so every
// request after the login reuses it. Every request starts from the same
// base options; nothing one request sets leaks into the next. Requests run
// on one thread at a time; Cancel and ShutdownSockets may come from any.
class CCurlConnection final {
public:
    // Called after each block the sink took (its size) and, with 0, while
    // a transfer waits for data: the caller's moment for its own reports.
    using ActivityFn = std::function<void(std::size_t nBytes)>;

    // Null when curl cannot start.
    static std::unique_ptr<CCurlConnection> Create(const FtpTimeouts& timeouts = {});
    // Closing the cached connection says goodbye to the server unless the
    // sockets were shut down first (ShutdownSockets).
    ~CCurlConnection();
    CCurlConnection(const CCurlConnection&) = delete;
    CCurlConnection& operator=(const CCurlConnection&) = delete;

    // Connects and logs in; the connection then stays for the requests that
    // follow. False, with nothing changed, for a host that cannot stand in
    // a URL.
    bool LogIn(const CurlLogin& login);
    // As LogIn, without connecting: the first FTP request connects and logs
    // in, and a refusal fails that request.
    bool KeepLogin(const CurlLogin& login);
    bool IsPassive() const { return m_bPassive; }  // the mode of the last login that got in
    // What every block received is paid to, with the other connections of
    // the session; none: no limit. Before the first request.
    void SetRateLimiter(std::shared_ptr<CRateLimiter> pLimiter) { m_pLimiter = std::move(pLimiter); }

    // The remote file's size, asked on the control connection; nothing
    // when the server does not tell.
    std::optional<std::uint64_t> Size(const std::string& remotePath);
    // The size an http(s) URL announces (HEAD): Failed when the server
    // answered that there is no such file (404, 410), Lost for any other
    // failure, one that says nothing about the file.
    CurlResult HttpSize(const std::string& url, std::uint64_t* pSize);
    CurlResult Fetch(const CurlRange& range, IByteSink& sink, const ActivityFn& onActivity = {});
    // A whole small file; nothing when it is missing, longer than nMaxSize
    // or the request failed.
    std::optional<std::string> FetchSmall(const std::string& remotePath, std::size_t nMaxSize)
    {
        return FetchSmall(CurlRange{remotePath}, nMaxSize);
    }
    std::optional<std::string> FetchSmall(const CurlRange& from, std::size_t nMaxSize);
    // Why the last request did not end Done, for a log line: the HTTP
    // status or curl's words.
    const std::string& LastError() const { return m_lastError; }

    // For good: the request in flight ends at once as Lost, and so does
    // every later one. Any thread.
    void Cancel();
    bool IsCancelled() const { return m_bCancelled; }
    // For what polls for a stop while it reads local files on this thread.
    const std::atomic<bool>* CancelFlag() const { return &m_bCancelled; }
    // Every socket curl opened is shut down, so that nothing waits on a
    // stalled server any more (the destructor's farewell included). Any
    // thread; after Cancel.
    void ShutdownSockets();

private:
    struct CurlEasyDeleter {
        void operator()(CURL* p) const { curl_easy_cleanup(p); }
    };
    struct CurlMultiDeleter {
        void operator()(CURLM* p) const { curl_multi_cleanup(p); }
    };

    explicit CCurlConnection(const FtpTimeouts& timeouts);
    // The server and account the FTP requests use; false for a host that
    // cannot stand in a URL.
    bool SetAccount(const CurlLogin& login);
    void ResetOptions(const std::string& remotePath, bool bPassive, const std::string& url = {});
    CURLcode Perform();
    void NoteError(CURLcode rc);

    static std::size_t OnWrite(char* pData, std::size_t nSize, std::size_t nCount, void* pUser);
    static std::size_t OnDiscard(char* pData, std::size_t nSize, std::size_t nCount, void* pUser);
    static int OnProgress(void* pUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static curl_socket_t OnOpenSocket(void* pUser, curlsocktype purpose, curl_sockaddr* pAddress);
    static int OnCloseSocket(void* pUser, curl_socket_t socket);

    const FtpTimeouts m_timeouts;
    std::unique_ptr<CURLM, CurlMultiDeleter> m_pMulti;  // owns the connection cache
    std::unique_ptr<CURL, CurlEasyDeleter> m_pEasy;

    std::atomic<bool> m_bCancelled{false};
    std::mutex m_socketMutex;
    std::set<curl_socket_t> m_sockets;  // every socket curl opened through us and has not closed

    // The requesting thread only.
    std::string m_hostPart;  // "host" or "[v6]", with ":port"
    std::string m_user;
    std::string m_password;
    bool m_bPassive = false;
    std::string m_lastError;
    std::shared_ptr<CRateLimiter> m_pLimiter;
    IByteSink* m_pSink = nullptr;  // of the request that runs; none refuses every byte
    // An HTTP request for part of a file, whose answer must be that part
    // (206) and not the whole file from its start.
    bool m_bPartialWanted = false;
    long m_nIgnoredRange = 0;  // the status of an answer that was not the part
    const ActivityFn* m_pActivity = nullptr;
};
