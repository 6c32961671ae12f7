#include "transfer/CurlConnection.h"

#include "transfer/PathRules.h"

#include <algorithm>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Every wait is bounded (FtpTimeouts), so that a silent server never holds
// the updater: the login and each command reply, the server's connect-back
// in active mode, and a transfer that stops moving.
constexpr long LOW_SPEED_BYTES = 1;
constexpr long RECEIVE_BUFFER = 256 * 1024;
// How long a request waits in curl when nothing happens: not at all right
// after activity, then 1 ms, doubling up to the longest. libcurl 7.88 can
// leave the PASV data connection unstarted until its caller's wait ends by
// itself (the curl tool then waits a whole second per file); one more turn
// at once starts it, and the doubling keeps an idle transfer from spinning.
constexpr int POLL_LONGEST_MS = 100;

int NextWait(int nWaitMs, bool bActivity)
{
    if (bActivity)
        return 0;
    return nWaitMs == 0 ? 1 : std::min(nWaitMs * 2, POLL_LONGEST_MS);
}

std::once_flag g_curlInitOnce;
bool g_bCurlReady = false;

// The server answered and refused (no such file, no permission), or the
// sink could not take the data: the request completed, without a file.
// Everything else means the connection to the server broke.
CurlResult ResultOf(CURLcode rc)
{
    switch (rc) {
    case CURLE_OK:
        return CurlResult::Done;
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_WRITE_ERROR:
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_HTTP_RETURNED_ERROR:
        return CurlResult::Failed;
    default:
        return CurlResult::Lost;
    }
}

void CloseSocket(curl_socket_t socket)
{
#ifdef _WIN32
    closesocket(socket);
#else
    ::close(socket);
#endif
}

void ShutdownSocket(curl_socket_t socket)
{
#ifdef _WIN32
    ::shutdown(socket, SD_BOTH);
#else
    ::shutdown(socket, SHUT_RDWR);
#endif
}

// Takes a small file whole, or nothing past its limit.
class CMemorySink final : public IByteSink {
public:
    explicit CMemorySink(std::size_t nMaxSize) : m_nMaxSize(nMaxSize) {}
    bool Write(std::span<const std::byte> bytes) override
    {
        if (bytes.size() > m_nMaxSize - m_bytes.size())
            return false;
        m_bytes.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    }
    std::string Take() { return std::move(m_bytes); }

private:
    std::size_t m_nMaxSize;
    std::string m_bytes;
};

} // namespace

std::unique_ptr<CCurlConnection> CCurlConnection::Create(const FtpTimeouts& timeouts)
{
    std::call_once(g_curlInitOnce, [] { g_bCurlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    if (!g_bCurlReady)
        return nullptr;
    std::unique_ptr<CCurlConnection> pConnection(new CCurlConnection(timeouts));
    pConnection->m_pMulti.reset(curl_multi_init());
    pConnection->m_pEasy.reset(curl_easy_init());
    if (!pConnection->m_pMulti || !pConnection->m_pEasy)
        return nullptr;
    return pConnection;
}

CCurlConnection::CCurlConnection(const FtpTimeouts& timeouts) : m_timeouts(timeouts) {}

CCurlConnection::~CCurlConnection()
{
    // The easy handle first: the cached connection lives in the multi
    // handle and is closed with it.
    m_pEasy.reset();
    m_pMulti.reset();
}

void CCurlConnection::Cancel()
{
    m_bCancelled = true;
    if (m_pMulti)
        curl_multi_wakeup(m_pMulti.get());
}

void CCurlConnection::ShutdownSockets()
{
    std::lock_guard lock(m_socketMutex);
    for (const curl_socket_t socket : m_sockets)
        ShutdownSocket(socket);
}

// curl_easy_reset keeps the live connection and the caches, and drops
// every option: each request starts from here.
void CCurlConnection::ResetOptions(const std::string& remotePath, bool bPassive, const std::string& url)
{
    CURL* pEasy = m_pEasy.get();
    curl_easy_reset(pEasy);
    m_lastError.clear();
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_PROTOCOLS_STR, url.empty() ? "ftp" : "http,https");
    curl_easy_setopt(pEasy, CURLOPT_PROXY, "");  // never a proxy from the environment
    curl_easy_setopt(pEasy, CURLOPT_CONNECTTIMEOUT_MS, m_timeouts.nConnectMs);
    curl_easy_setopt(pEasy, CURLOPT_SERVER_RESPONSE_TIMEOUT, m_timeouts.nResponseS);
    curl_easy_setopt(pEasy, CURLOPT_ACCEPTTIMEOUT_MS, m_timeouts.nAcceptMs);
    curl_easy_setopt(pEasy, CURLOPT_LOW_SPEED_LIMIT, LOW_SPEED_BYTES);
    curl_easy_setopt(pEasy, CURLOPT_LOW_SPEED_TIME, m_timeouts.nStallS);
    curl_easy_setopt(pEasy, CURLOPT_TCP_KEEPALIVE, 1L);  // the control line idles through long files
    // PASV and PORT, as the platform library spoke them: EPSV costs a
    // long wait per file on some servers.
    curl_easy_setopt(pEasy, CURLOPT_FTP_USE_EPSV, 0L);
    curl_easy_setopt(pEasy, CURLOPT_FTP_USE_EPRT, 0L);
    curl_easy_setopt(pEasy, CURLOPT_FTP_SKIP_PASV_IP, 1L);
    // One RETR per file with the whole path, no CWD walk.
    curl_easy_setopt(pEasy, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(pEasy, CURLOPT_TRANSFERTEXT, 0L);  // image mode
    // The list gives each file's size; a SIZE round trip per file buys nothing.
    curl_easy_setopt(pEasy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    curl_easy_setopt(pEasy, CURLOPT_BUFFERSIZE, RECEIVE_BUFFER);
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &CCurlConnection::OnWrite);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(pEasy, CURLOPT_XFERINFOFUNCTION, &CCurlConnection::OnProgress);
    curl_easy_setopt(pEasy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(pEasy, CURLOPT_OPENSOCKETFUNCTION, &CCurlConnection::OnOpenSocket);
    curl_easy_setopt(pEasy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_CLOSESOCKETFUNCTION, &CCurlConnection::OnCloseSocket);
    curl_easy_setopt(pEasy, CURLOPT_CLOSESOCKETDATA, this);
    if (!url.empty()) {
        // The FTP account never goes to the web server. A status of 400 or
        // more is a failure, not a file; a version's URLs never move, so a
        // redirect is not followed. The system's certificate store, or the
        // tests' own authority in the builds made for them.
        curl_easy_setopt(pEasy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(pEasy, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(pEasy, CURLOPT_FOLLOWLOCATION, 0L);
        // The connection stays for the next file only when the body's end
        // is known by its length.
        curl_easy_setopt(pEasy, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
#ifdef ORVANTA_TEST_CA_FILE
        curl_easy_setopt(pEasy, CURLOPT_CAINFO, ORVANTA_TEST_CA_FILE);
#endif
        return;
    }
    if (!m_hostPart.empty()) {
        curl_easy_setopt(pEasy, CURLOPT_USERNAME, m_user.c_str());
        curl_easy_setopt(pEasy, CURLOPT_PASSWORD, m_password.c_str());
    }
    const std::string ftpUrl = "ftp://" + m_hostPart + "/" + orvanta::EncodeFtpUrlPath(remotePath);
    curl_easy_setopt(pEasy, CURLOPT_URL, ftpUrl.c_str());  // curl keeps its own copy
    curl_easy_setopt(pEasy, CURLOPT_FTPPORT, bPassive ? nullptr : "-");
}

void CCurlConnection::NoteError(CURLcode rc)
{
    long nStatus = 0;
    if (rc == CURLE_HTTP_RETURNED_ERROR &&
        curl_easy_getinfo(m_pEasy.get(), CURLINFO_RESPONSE_CODE, &nStatus) == CURLE_OK)
        m_lastError = "HTTP " + std::to_string(nStatus);
    else if (rc != CURLE_OK)
        m_lastError = curl_easy_strerror(rc);
}

bool CCurlConnection::SetAccount(const CurlLogin& login)
{
    if (!orvanta::IsUrlHost(login.host))
        return false;
    const bool bV6 = login.host.find(':') != std::string::npos;
    m_hostPart = (bV6 ? "[" + login.host + "]" : login.host) + ":" + std::to_string(login.port);
    m_user = login.user;
    m_password = login.password;
    return true;
}

bool CCurlConnection::KeepLogin(const CurlLogin& login)
{
    if (!SetAccount(login))
        return false;
    m_bPassive = login.bPassive;
    return true;
}

bool CCurlConnection::LogIn(const CurlLogin& login)
{
    if (!SetAccount(login))
        return false;
    // No file: curl connects, logs in and keeps the connection for the
    // requests that follow.
    ResetOptions({}, login.bPassive);
    curl_easy_setopt(m_pEasy.get(), CURLOPT_NOBODY, 1L);
    const bool bOk = Perform() == CURLE_OK;
    if (bOk)
        m_bPassive = login.bPassive;
    return bOk;
}

std::optional<std::uint64_t> CCurlConnection::Size(const std::string& remotePath)
{
    // SIZE on the control connection; no data connection.
    ResetOptions(remotePath, m_bPassive);
    CURL* pEasy = m_pEasy.get();
    curl_easy_setopt(pEasy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(pEasy, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
    // curl hands the answer over as header lines, which say nothing more.
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &CCurlConnection::OnDiscard);
    if (Perform() != CURLE_OK)
        return std::nullopt;
    curl_off_t nSize = -1;
    curl_easy_getinfo(pEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nSize);
    if (nSize < 0)
        return std::nullopt;
    return std::uint64_t(nSize);
}

CurlResult CCurlConnection::HttpSize(const std::string& url, std::uint64_t* pSize)
{
    ResetOptions({}, false, url);
    CURL* pEasy = m_pEasy.get();
    curl_easy_setopt(pEasy, CURLOPT_NOBODY, 1L);
    const CURLcode rc = Perform();
    NoteError(rc);
    curl_off_t nSize = -1;
    if (rc == CURLE_OK && curl_easy_getinfo(pEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nSize) == CURLE_OK &&
        nSize >= 0) {
        *pSize = std::uint64_t(nSize);
        return CurlResult::Done;
    }
    long nStatus = 0;
    curl_easy_getinfo(pEasy, CURLINFO_RESPONSE_CODE, &nStatus);
    return nStatus == 404 || nStatus == 410 ? CurlResult::Failed : CurlResult::Lost;
}

CurlResult CCurlConnection::Fetch(const CurlRange& range, IByteSink& sink, const ActivityFn& onActivity)
{
    ResetOptions(range.remotePath, m_bPassive || range.bPassive, range.url);
    CURL* pEasy = m_pEasy.get();
    std::string bounds;
    if (range.nTo) {
        if (*range.nTo <= range.nFrom)
            return CurlResult::Done;
        bounds = std::to_string(range.nFrom) + "-" + std::to_string(*range.nTo - 1);
        curl_easy_setopt(pEasy, CURLOPT_RANGE, bounds.c_str());
    } else {
        curl_easy_setopt(pEasy, CURLOPT_RESUME_FROM_LARGE, curl_off_t(range.nFrom));
    }
    // curl sends REST only after SIZE, which the rest of the time is a
    // round trip for nothing.
    if (range.nFrom > 0 || range.nTo)
        curl_easy_setopt(pEasy, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
    m_pSink = &sink;
    m_pActivity = onActivity ? &onActivity : nullptr;
    m_bPartialWanted = !range.url.empty() && (range.nFrom > 0 || range.nTo);
    m_nIgnoredRange = 0;
    const CURLcode rc = Perform();
    m_pSink = nullptr;
    m_pActivity = nullptr;
    NoteError(rc);
    if (m_nIgnoredRange != 0) {
        // A web server that ignores ranges fails as a source, not the sink.
        m_lastError = "HTTP " + std::to_string(m_nIgnoredRange) + " to a range request";
        return CurlResult::Lost;
    }
    return ResultOf(rc);
}

std::optional<std::string> CCurlConnection::FetchSmall(const CurlRange& from, std::size_t nMaxSize)
{
    CMemorySink sink(nMaxSize);
    if (Fetch(from, sink) != CurlResult::Done)
        return std::nullopt;
    return sink.Take();
}

CURLcode CCurlConnection::Perform()
{
    CURLM* pMulti = m_pMulti.get();
    if (curl_multi_add_handle(pMulti, m_pEasy.get()) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    int nWaitMs = 0;
    for (;;) {
        if (m_bCancelled)
            break;
        int nRunning = 0;
        if (curl_multi_perform(pMulti, &nRunning) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        bool bDone = false;
        int nLeft = 0;
        while (CURLMsg* pMsg = curl_multi_info_read(pMulti, &nLeft)) {
            if (pMsg->msg == CURLMSG_DONE) {
                result = pMsg->data.result;
                bDone = true;
            }
        }
        if (bDone || nRunning == 0)
            break;
        int nReady = 0;
        if (curl_multi_poll(pMulti, nullptr, 0, nWaitMs, &nReady) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        nWaitMs = NextWait(nWaitMs, nReady > 0);
    }
    curl_multi_remove_handle(pMulti, m_pEasy.get());
    return result;
}

std::size_t CCurlConnection::OnDiscard(char*, std::size_t nSize, std::size_t nCount, void*)
{
    return nSize * nCount;
}

std::size_t CCurlConnection::OnWrite(char* pData, std::size_t nSize, std::size_t nCount, void* pUser)
{
    auto* pThis = static_cast<CCurlConnection*>(pUser);
    const std::size_t nBytes = nSize * nCount;
    if (pThis->m_bCancelled || !pThis->m_pSink)
        return 0;
    if (pThis->m_bPartialWanted) {
        long nStatus = 0;
        curl_easy_getinfo(pThis->m_pEasy.get(), CURLINFO_RESPONSE_CODE, &nStatus);
        if (nStatus != 206) {
            pThis->m_nIgnoredRange = nStatus;
            return 0;
        }
        pThis->m_bPartialWanted = false;  // checked once per request
    }
    if (!pThis->m_pSink->Write(std::as_bytes(std::span(pData, nBytes))))
        return 0;
    if (pThis->m_pActivity)
        (*pThis->m_pActivity)(nBytes);
    if (pThis->m_pLimiter) {
        // Waiting here stops reading the socket, and the server's sending
        // follows. In short steps, so that a cancel ends it.
        auto wait = pThis->m_pLimiter->Take(nBytes);
        constexpr std::chrono::nanoseconds STEP = std::chrono::milliseconds(20);
        while (wait.count() > 0 && !pThis->m_bCancelled) {
            std::this_thread::sleep_for(std::min(wait, STEP));
            wait -= STEP;
        }
    }
    return nBytes;
}

int CCurlConnection::OnProgress(void* pUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* pThis = static_cast<CCurlConnection*>(pUser);
    if (pThis->m_bCancelled)
        return 1;
    if (pThis->m_pActivity)
        (*pThis->m_pActivity)(0);
    return 0;
}

curl_socket_t CCurlConnection::OnOpenSocket(void* pUser, curlsocktype, curl_sockaddr* pAddress)
{
    auto* pThis = static_cast<CCurlConnection*>(pUser);
    int nType = pAddress->socktype;
#ifdef SOCK_CLOEXEC
    nType |= SOCK_CLOEXEC;  // the game client started later must not inherit it
#endif
    const curl_socket_t socket = ::socket(pAddress->family, nType, pAddress->protocol);
    if (socket == CURL_SOCKET_BAD)
        return socket;
    std::lock_guard lock(pThis->m_socketMutex);
    pThis->m_sockets.insert(socket);
    return socket;
}

int CCurlConnection::OnCloseSocket(void* pUser, curl_socket_t socket)
{
    auto* pThis = static_cast<CCurlConnection*>(pUser);
    std::lock_guard lock(pThis->m_socketMutex);
    pThis->m_sockets.erase(socket);
    CloseSocket(socket);
    return 0;
}
