#include "transfer/FtpWorker.h"

#include "transfer/PathRules.h"

#include <algorithm>
#include <mutex>
#include <system_error>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Every wait is bounded, so that a silent server never holds the updater:
// the login and each command reply, the server's connect-back in active
// mode, and a transfer that stops moving.
constexpr long CONNECT_TIMEOUT_MS = 15000;
constexpr long RESPONSE_TIMEOUT_S = 30;
constexpr long ACCEPT_TIMEOUT_MS = 15000;
constexpr long LOW_SPEED_BYTES = 1;
constexpr long LOW_SPEED_SECONDS = 30;
constexpr long RECEIVE_BUFFER = 256 * 1024;
// Byte counts reach the window at most this often; one last count always
// goes out before the transfer's end.
constexpr auto BYTES_POST_INTERVAL = std::chrono::milliseconds(40);
// How long the worker waits in curl when nothing happens: not at all right
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
// local file could not take the data: the request completed, without a
// file. Everything else means the connection to the server broke.
bool IsConnectionLost(CURLcode rc)
{
    switch (rc) {
    case CURLE_OK:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_WRITE_ERROR:
    case CURLE_FILESIZE_EXCEEDED:
        return false;
    default:
        return true;
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

// Opens an existing file for writing in place, without truncating it. On
// Windows through _wfopen: the path goes as UTF-16, so Korean names do not
// depend on the system's code page.
std::FILE* OpenExistingForWrite(const std::filesystem::path& path)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), L"r+b");
#else
    return std::fopen(path.c_str(), "r+b");
#endif
}

void RemoveQuietly(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

} // namespace

std::unique_ptr<CFtpWorker> CFtpWorker::Create(PostFn post)
{
    std::call_once(g_curlInitOnce, [] { g_bCurlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    if (!g_bCurlReady)
        return nullptr;
    std::unique_ptr<CFtpWorker> pWorker(new CFtpWorker(std::move(post)));
    if (!pWorker->Start())
        return nullptr;
    return pWorker;
}

CFtpWorker::CFtpWorker(PostFn post) : m_post(std::move(post)) {}

bool CFtpWorker::Start()
{
    m_pMulti.reset(curl_multi_init());
    m_pEasy.reset(curl_easy_init());
    if (!m_pMulti || !m_pEasy)
        return false;
    SetCommonOptions();
    try {
        m_thread = std::thread(&CFtpWorker::Run, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

CFtpWorker::~CFtpWorker()
{
    Cancel();
    ShutdownSockets();
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_pMulti)
        curl_multi_wakeup(m_pMulti.get());
    if (m_thread.joinable())
        m_thread.join();
    // The sockets were shut down: closing the cached connection sends its
    // QUIT into nothing and does not wait for the reply.
    m_pEasy.reset();
    m_pMulti.reset();
}

void CFtpWorker::SetCommonOptions()
{
    CURL* pEasy = m_pEasy.get();
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(pEasy, CURLOPT_PROXY, "");  // never a proxy from the environment
    curl_easy_setopt(pEasy, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    curl_easy_setopt(pEasy, CURLOPT_SERVER_RESPONSE_TIMEOUT, RESPONSE_TIMEOUT_S);
    curl_easy_setopt(pEasy, CURLOPT_ACCEPTTIMEOUT_MS, ACCEPT_TIMEOUT_MS);
    curl_easy_setopt(pEasy, CURLOPT_LOW_SPEED_LIMIT, LOW_SPEED_BYTES);
    curl_easy_setopt(pEasy, CURLOPT_LOW_SPEED_TIME, LOW_SPEED_SECONDS);
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
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &CFtpWorker::OnWrite);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(pEasy, CURLOPT_XFERINFOFUNCTION, &CFtpWorker::OnProgress);
    curl_easy_setopt(pEasy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(pEasy, CURLOPT_OPENSOCKETFUNCTION, &CFtpWorker::OnOpenSocket);
    curl_easy_setopt(pEasy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_CLOSESOCKETFUNCTION, &CFtpWorker::OnCloseSocket);
    curl_easy_setopt(pEasy, CURLOPT_CLOSESOCKETDATA, this);
}

void CFtpWorker::Login(FtpLoginJob job)
{
    Job entry;
    entry.bLogin = true;
    entry.login = std::move(job);
    Enqueue(std::move(entry));
}

void CFtpWorker::Get(FtpGetJob job)
{
    Job entry;
    entry.get = std::move(job);
    Enqueue(std::move(entry));
}

void CFtpWorker::Enqueue(Job job)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_bCancelled) {
            m_jobs.push_back(std::move(job));
            job = Job{};
        }
    }
    if (!job.bLogin && !job.get.tempPath.empty())
        RemoveQuietly(job.get.tempPath);  // refused: its temporary file goes
    m_cv.notify_one();
}

void CFtpWorker::Cancel()
{
    std::deque<Job> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_bCancelled = true;
        dropped.swap(m_jobs);
    }
    for (const Job& job : dropped) {
        if (!job.bLogin)
            RemoveQuietly(job.get.tempPath);
    }
    if (m_pMulti)
        curl_multi_wakeup(m_pMulti.get());
}

void CFtpWorker::ShutdownSockets()
{
    std::lock_guard lock(m_socketMutex);
    for (const curl_socket_t socket : m_sockets)
        ShutdownSocket(socket);
}

void CFtpWorker::Run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_bStop || !m_jobs.empty(); });
            if (m_bStop)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        if (job.bLogin)
            RunLogin(job.login);
        else
            RunGet(job.get);
    }
}

void CFtpWorker::RunLogin(const FtpLoginJob& job)
{
    bool bOk = false;
    if (orvanta::IsUrlHost(job.host)) {
        const bool bV6 = job.host.find(':') != std::string::npos;
        m_hostPart = (bV6 ? "[" + job.host + "]" : job.host) + ":" + std::to_string(job.port);
        curl_easy_setopt(m_pEasy.get(), CURLOPT_USERNAME, job.user.c_str());
        curl_easy_setopt(m_pEasy.get(), CURLOPT_PASSWORD, job.password.c_str());
        bOk = TryLogin(job, job.bPassiveFirst);
        if (!bOk && !m_bCancelled)
            bOk = TryLogin(job, true);
    }
    if (m_bCancelled)
        return;
    FtpNote note;
    note.eKind = FtpNote::Kind::Login;
    note.bLoggedIn = bOk;
    m_post(std::move(note));
}

bool CFtpWorker::TryLogin(const FtpLoginJob&, bool bPassive)
{
    // No file: curl connects, logs in and keeps the connection for the
    // transfers that follow.
    const std::string url = "ftp://" + m_hostPart + "/";
    curl_easy_setopt(m_pEasy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(m_pEasy.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(m_pEasy.get(), CURLOPT_FTPPORT, bPassive ? nullptr : "-");
    const bool bOk = Perform() == CURLE_OK;
    if (bOk)
        m_bPassive = bPassive;
    return bOk;
}

void CFtpWorker::RunGet(const FtpGetJob& job)
{
    Post(FTP_STATUS_TRANSFER_STARTED);
    m_nFileBytes = 0;
    m_nPendingBytes = 0;
    m_nExpected = job.nExpectedSize;
    m_lastBytesPost = std::chrono::steady_clock::now();

    CURLcode rc = CURLE_WRITE_ERROR;
    // The file exists and is empty. Opening it without truncation matters:
    // ext4 takes a truncated-then-written file for a replaced one and
    // flushes all of it when it is closed, which holds a large file's end
    // for a good part of a second.
    m_pFile = OpenExistingForWrite(job.tempPath);
    if (m_pFile) {
        // curl hands over whole receive buffers: each goes out in one write.
        std::setvbuf(m_pFile, nullptr, _IONBF, 0);
        const std::string url = "ftp://" + m_hostPart + "/" + orvanta::EncodeFtpUrlPath(job.remotePath);
        curl_easy_setopt(m_pEasy.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(m_pEasy.get(), CURLOPT_NOBODY, 0L);
        curl_easy_setopt(m_pEasy.get(), CURLOPT_FTPPORT, m_bPassive ? nullptr : "-");
        rc = Perform();
        if (std::fclose(m_pFile) != 0 && rc == CURLE_OK)
            rc = CURLE_WRITE_ERROR;
        m_pFile = nullptr;
    }

    if (m_bCancelled) {
        RemoveQuietly(job.tempPath);
        return;
    }
    // The old file is replaced only by a whole new one.
    bool bCommitted = false;
    if (rc == CURLE_OK && m_nFileBytes == m_nExpected) {
        std::error_code ec;
        std::filesystem::rename(job.tempPath, job.targetPath, ec);
        bCommitted = !ec;
    }
    if (!bCommitted)
        RemoveQuietly(job.tempPath);
    FlushBytes();
    if (IsConnectionLost(rc))
        Post(FTP_STATUS_CONNECTION_CLOSED);
    else
        Post(FTP_STATUS_REQUEST_COMPLETE, 0, bCommitted);
}

CURLcode CFtpWorker::Perform()
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

void CFtpWorker::Post(std::uint32_t dwStatus, std::uint64_t nBytes, bool bCommitted)
{
    FtpNote note;
    note.dwStatus = dwStatus;
    note.info.nBytes = nBytes;
    note.info.bCommitted = bCommitted;
    m_post(std::move(note));
}

void CFtpWorker::FlushBytes()
{
    Post(FTP_STATUS_BYTES, m_nPendingBytes);
    m_nPendingBytes = 0;
    m_lastBytesPost = std::chrono::steady_clock::now();
}

std::size_t CFtpWorker::OnWrite(char* pData, std::size_t nSize, std::size_t nCount, void* pUser)
{
    auto* pThis = static_cast<CFtpWorker*>(pUser);
    const std::size_t nBytes = nSize * nCount;
    if (pThis->m_bCancelled || !pThis->m_pFile)
        return 0;
    // More than the entry's size is never the file the list promised.
    if (nBytes > pThis->m_nExpected - pThis->m_nFileBytes)
        return 0;
    if (std::fwrite(pData, 1, nBytes, pThis->m_pFile) != nBytes)
        return 0;
    pThis->m_nFileBytes += nBytes;
    pThis->m_nPendingBytes += nBytes;
    if (std::chrono::steady_clock::now() - pThis->m_lastBytesPost >= BYTES_POST_INTERVAL)
        pThis->FlushBytes();
    return nBytes;
}

int CFtpWorker::OnProgress(void* pUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* pThis = static_cast<CFtpWorker*>(pUser);
    if (pThis->m_bCancelled)
        return 1;
    // Bytes that came just before the data stopped still reach the window.
    if (pThis->m_nPendingBytes > 0 &&
        std::chrono::steady_clock::now() - pThis->m_lastBytesPost >= BYTES_POST_INTERVAL)
        pThis->FlushBytes();
    return 0;
}

curl_socket_t CFtpWorker::OnOpenSocket(void* pUser, curlsocktype, curl_sockaddr* pAddress)
{
    auto* pThis = static_cast<CFtpWorker*>(pUser);
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

int CFtpWorker::OnCloseSocket(void* pUser, curl_socket_t socket)
{
    auto* pThis = static_cast<CFtpWorker*>(pUser);
    std::lock_guard lock(pThis->m_socketMutex);
    pThis->m_sockets.erase(socket);
    CloseSocket(socket);
    return 0;
}
