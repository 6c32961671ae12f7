#include "transfer/FtpWorker.h"

#include "transfer/Delta.h"

#include "transfer/DiskSync.h"
#include "transfer/PathRules.h"

#include <algorithm>
#include <cerrno>
#include <vector>
#include <mutex>
#include <system_error>

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

std::FILE* OpenForRead(const std::filesystem::path& path)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

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

// How much a file holds; 0 when it is missing or not a regular file.
std::uint64_t RegularFileSize(const std::filesystem::path& path)
{
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status))
        return 0;
    const auto nSize = std::filesystem::file_size(path, ec);
    return ec ? 0 : std::uint64_t(nSize);
}

// Hashes the first nBytes of a file into hash. False when they cannot all
// be read.
bool HashPrefix(const std::filesystem::path& path, std::uint64_t nBytes, orvanta::CSha256* pHash)
{
    std::FILE* pFile = OpenForRead(path);
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

// Files this large are synced before they replace their target, so that
// after a power cut the target is its old or its new self. Smaller ones are
// left to the file system's sync that comes before the resume mark moves
// past them: one sync for many files instead of one each.
constexpr std::uint64_t SYNC_EACH_FROM = orvanta::SYNC_FOLDER_TREE_SUPPORTED ? 1024 * 1024 : 0;
constexpr std::uint64_t WRITEBACK_STEP = 8 * 1024 * 1024;

// A job's temporary file that is not kept for resume: every one without a
// digest to check a continuation, and an empty one, which holds nothing to
// continue (the session makes it before the job runs).
void RemoveUnkept(const FtpGetJob& job)
{
    if (!job.digest || RegularFileSize(job.tempPath) == 0)
        RemoveQuietly(job.tempPath);
}

// The patch lands beside the temporary file, under the same hashed name.
std::filesystem::path PatchTempPath(const FtpGetJob& job)
{
    std::filesystem::path path = job.tempPath;
    return path.replace_extension(".zpatch");
}

} // namespace

std::unique_ptr<CFtpWorker> CFtpWorker::Create(PostFn post, const FtpTimeouts& timeouts)
{
    std::call_once(g_curlInitOnce, [] { g_bCurlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    if (!g_bCurlReady)
        return nullptr;
    std::unique_ptr<CFtpWorker> pWorker(new CFtpWorker(std::move(post), timeouts));
    if (!pWorker->Start())
        return nullptr;
    return pWorker;
}

CFtpWorker::CFtpWorker(PostFn post, const FtpTimeouts& timeouts) : m_post(std::move(post)), m_timeouts(timeouts) {}

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
    entry.eKind = Job::Kind::Login;
    entry.login = std::move(job);
    Enqueue(std::move(entry));
}

void CFtpWorker::Get(FtpGetJob job)
{
    Job entry;
    entry.get = std::move(job);
    Enqueue(std::move(entry));
}

void CFtpWorker::Fetch(FtpFetchJob job)
{
    Job entry;
    entry.eKind = Job::Kind::Fetch;
    entry.fetch = std::move(job);
    Enqueue(std::move(entry));
}

void CFtpWorker::Probe(FtpProbeJob job)
{
    Job entry;
    entry.eKind = Job::Kind::Probe;
    entry.probe = std::move(job);
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
    if (job.eKind == Job::Kind::Get && !job.get.tempPath.empty())
        RemoveUnkept(job.get);  // refused: its temporary file goes
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
        if (job.eKind == Job::Kind::Get)
            RemoveUnkept(job.get);
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
        switch (job.eKind) {
        case Job::Kind::Login:
            RunLogin(job.login);
            break;
        case Job::Kind::Get:
            RunGet(job.get);
            break;
        case Job::Kind::Fetch:
            RunFetch(job.fetch);
            break;
        case Job::Kind::Probe:
            RunProbe(job.probe);
            break;
        }
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
        if (!bOk && !m_bCancelled && job.bRetryPassive)
            bOk = TryLogin(job, true);
    }
    if (m_bCancelled)
        return;
    FtpNote note;
    note.eKind = FtpNote::Kind::Login;
    note.bLoggedIn = bOk;
    note.bPassive = m_bPassive;
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

void CFtpWorker::BeginFile(std::uint64_t nExpected)
{
    m_nFileBytes = 0;
    m_nPendingBytes = 0;
    m_nExpected = nExpected;
    m_lastBytesPost = std::chrono::steady_clock::now();
}

void CFtpWorker::RunGet(const FtpGetJob& job)
{
    m_nEntry = job.nEntry;
    m_fault.reset();
    Post(FTP_STATUS_TRANSFER_STARTED);
    if (job.patch && job.digest) {
        switch (RunPatched(job)) {
        case PatchOutcome::Committed:
            FlushBytes();
            Post(FTP_STATUS_REQUEST_COMPLETE, 0, true);
            return;
        case PatchOutcome::ConnectionLost:
            FlushBytes();
            Post(FTP_STATUS_CONNECTION_CLOSED);
            return;
        case PatchOutcome::LocalFault:
            PostFault(job);
            return;
        case PatchOutcome::Cancelled:
            return;
        case PatchOutcome::Failed:
            // The patch's bytes were fetched for nothing: the whole file
            // comes after them, and the bars make room for it.
            FlushBytes();
            Post(FTP_STATUS_FALLBACK, job.nExpectedSize);
            break;
        }
    }
    BeginFile(job.nExpectedSize);
    // A patch a killed run left behind is of no use to a whole download.
    if (!job.patch || !job.digest)
        RemoveQuietly(PatchTempPath(job));

    // Already in place (a resume past the mark, or a folder repaired by
    // hand): counted as received, nothing fetched.
    if (!job.patch && IsInPlace(job)) {
        RemoveQuietly(job.tempPath);
        m_nPendingBytes = m_nExpected;
        FlushBytes();
        Post(FTP_STATUS_REQUEST_COMPLETE, 0, true);
        return;
    }
    if (m_bCancelled) {
        RemoveUnkept(job);
        return;
    }
    // Nothing is fetched that cannot fit beside the old file. The temporary
    // file is continued or emptied, so what it holds already counts.
    m_fault = orvanta::RoomFor(job.targetPath,
                               m_nExpected - std::min(RegularFileSize(job.tempPath), m_nExpected));
    if (m_fault) {
        PostFault(job);
        return;
    }

    const std::uint64_t nHave = ContinuablePart(job);
    CURLcode rc = Transfer(job, nHave);
    bool bWhole = rc == CURLE_OK && m_nFileBytes == m_nExpected;
    if (bWhole && job.digest && m_hash.Final() != *job.digest) {
        bWhole = false;
        if (nHave > 0 && !m_bCancelled) {
            // The part kept from before belonged to other bytes (the file
            // changed on the server since): once more, from the start.
            m_nPendingBytes = 0;
            m_nFileBytes = 0;
            rc = Transfer(job, 0);
            bWhole = rc == CURLE_OK && m_nFileBytes == m_nExpected && m_hash.Final() == *job.digest;
        }
    }

    // A transfer broken off (the connection, or the player leaving) keeps
    // what it has when a digest can check the joined file later.
    const bool bBroken = m_bCancelled || IsConnectionLost(rc) || m_fault;
    const bool bKeepPart = !bWhole && bBroken && job.digest && m_nFileBytes > 0 && m_nFileBytes < m_nExpected;
    if (m_bCancelled) {
        if (!bKeepPart)
            RemoveQuietly(job.tempPath);
        return;
    }
    // The old file is replaced only by a whole new one, on disk first when
    // it is large.
    bool bCommitted = false;
    if (bWhole) {
        errno = 0;
        std::error_code ec;
        if (m_nExpected >= SYNC_EACH_FROM && !orvanta::SyncFileData(job.tempPath))
            ec = orvanta::LastErrno();
        else
            std::filesystem::rename(job.tempPath, job.targetPath, ec);
        bCommitted = !ec;
        if (ec)
            m_fault = orvanta::WriteFault(ec, job.targetPath, 0);
    }
    if (!bCommitted && !bKeepPart)
        RemoveQuietly(job.tempPath);
    if (m_fault) {
        PostFault(job);
        return;
    }
    FlushBytes();
    if (IsConnectionLost(rc))
        Post(FTP_STATUS_CONNECTION_CLOSED);
    else
        Post(FTP_STATUS_REQUEST_COMPLETE, 0, bCommitted);
}

CFtpWorker::PatchOutcome CFtpWorker::RunPatched(const FtpGetJob& job)
{
    const std::filesystem::path patchPath = PatchTempPath(job);
    FtpGetJob fetch;
    fetch.remotePath = job.patch->remotePath;
    fetch.tempPath = patchPath;
    fetch.targetPath = job.targetPath;  // what a write fault names
    fetch.nExpectedSize = job.patch->nSize;
    fetch.nEntry = job.nEntry;
    fetch.bPassive = job.bPassive;
    BeginFile(fetch.nExpectedSize);
    // Part of the patch kept from a broken or killed try continues where it
    // stopped, as a whole file does; a wrong part shows when the patch is
    // applied, and the whole file follows then. Anything else under the name
    // (a link, say) is removed, never followed.
    std::uint64_t nHave = RegularFileSize(patchPath);
    if (nHave >= fetch.nExpectedSize)
        nHave = 0;
    // The patch and the new file beside the old one must both fit.
    const std::uint64_t nNewFile = job.nExpectedSize - std::min(RegularFileSize(job.tempPath), job.nExpectedSize);
    m_fault = orvanta::RoomFor(job.targetPath, fetch.nExpectedSize - nHave + nNewFile);
    if (m_fault)
        return PatchOutcome::LocalFault;
    if (nHave == 0) {
        RemoveQuietly(patchPath);
        if (const std::error_code ec = orvanta::TouchFile(patchPath)) {
            m_fault = orvanta::WriteFault(ec, job.targetPath.parent_path(), 0);
            return PatchOutcome::LocalFault;
        }
    }
    const CURLcode rc = Transfer(fetch, nHave);
    const bool bWhole = rc == CURLE_OK && m_nFileBytes == fetch.nExpectedSize;
    if (m_bCancelled || !bWhole) {
        const bool bBroken = m_bCancelled || IsConnectionLost(rc) || m_fault;
        if (!bBroken || m_nFileBytes == 0 || m_nFileBytes >= fetch.nExpectedSize)
            RemoveQuietly(patchPath);
        if (m_fault && !m_bCancelled) {
            m_fault = orvanta::WriteFault(m_fault->error, job.targetPath,
                                          fetch.nExpectedSize - m_nFileBytes + nNewFile);
            return PatchOutcome::LocalFault;
        }
        return m_bCancelled ? PatchOutcome::Cancelled
                            : IsConnectionLost(rc) ? PatchOutcome::ConnectionLost : PatchOutcome::Failed;
    }
    // The older file stays in place, untouched, until the new one is whole
    // and on disk beside it.
    m_fault = orvanta::RoomFor(job.targetPath, nNewFile);
    orvanta::ApplyResult eApplied = orvanta::ApplyResult::IoError;
    if (!m_fault)
        eApplied = orvanta::ApplyPatch(job.targetPath, patchPath, job.tempPath, job.nExpectedSize, *job.digest,
                                       &m_bCancelled);
    RemoveQuietly(patchPath);
    std::error_code ec;
    if (eApplied == orvanta::ApplyResult::Applied) {
        std::filesystem::rename(job.tempPath, job.targetPath, ec);
        if (!ec)
            return PatchOutcome::Committed;
        m_fault = orvanta::WriteFault(ec, job.targetPath, 0);
    }
    if (eApplied == orvanta::ApplyResult::Cancelled) {
        RemoveQuietly(job.tempPath);
        return PatchOutcome::Cancelled;
    }
    // Emptied, not removed: the whole file is fetched into it next.
    std::filesystem::resize_file(job.tempPath, 0, ec);
    // A new file that could not be made for want of room is not fetched
    // whole either.
    if (!m_fault && eApplied == orvanta::ApplyResult::IoError)
        m_fault = orvanta::RoomFor(job.targetPath, job.nExpectedSize);
    return m_fault ? PatchOutcome::LocalFault : PatchOutcome::Failed;
}

void CFtpWorker::RunProbe(const FtpProbeJob& job)
{
    m_nEntry = job.nEntry;
    std::uint64_t nPatch = 0;
    std::error_code ec;
    if (!std::filesystem::is_symlink(job.targetPath, ec) && std::filesystem::is_regular_file(job.targetPath, ec)) {
        const auto digest = orvanta::Sha256OfFile(job.targetPath, &m_bCancelled);
        // The older file the patch was made from, and not already the new one.
        if (digest && orvanta::PrefixOf(*digest) == job.base && *digest != job.digest) {
            nPatch = RemoteSize(job.patchRemotePath);
            if (nPatch >= job.nFileSize)
                nPatch = 0;
        }
    }
    if (m_bCancelled)
        return;
    Post(FTP_STATUS_PROBED, nPatch);
}

std::uint64_t CFtpWorker::RemoteSize(const std::string& remotePath)
{
    // SIZE on the control connection; no data connection.
    const std::string url = "ftp://" + m_hostPart + "/" + orvanta::EncodeFtpUrlPath(remotePath);
    CURL* pEasy = m_pEasy.get();
    curl_easy_setopt(pEasy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(pEasy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(pEasy, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
    // curl hands the answer over as header lines, which say nothing more.
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &CFtpWorker::OnDiscard);
    const CURLcode rc = Perform();
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &CFtpWorker::OnWrite);
    curl_off_t nSize = -1;
    if (rc == CURLE_OK)
        curl_easy_getinfo(pEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nSize);
    curl_easy_setopt(pEasy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(pEasy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    return nSize > 0 ? std::uint64_t(nSize) : 0;
}

bool CFtpWorker::IsInPlace(const FtpGetJob& job)
{
    if (!job.digest || RegularFileSize(job.targetPath) != job.nExpectedSize)
        return false;
    std::error_code ec;
    if (!std::filesystem::exists(job.targetPath, ec) || std::filesystem::is_symlink(job.targetPath, ec))
        return false;
    const auto digest = orvanta::Sha256OfFile(job.targetPath, &m_bCancelled);
    return digest && *digest == *job.digest;
}

std::uint64_t CFtpWorker::ContinuablePart(const FtpGetJob& job)
{
    m_hash.Reset();
    const std::uint64_t nHave = RegularFileSize(job.tempPath);
    if (!job.digest || nHave == 0 || nHave > job.nExpectedSize || !HashPrefix(job.tempPath, nHave, &m_hash)) {
        m_hash.Reset();
        return 0;
    }
    return nHave;
}

CURLcode CFtpWorker::Transfer(const FtpGetJob& job, std::uint64_t nFrom)
{
    m_writeError.clear();
    const auto fail = [&](std::error_code ec) {
        m_fault = orvanta::WriteFault(ec, job.targetPath, m_nExpected - std::min(m_nFileBytes, m_nExpected));
        return CURLE_WRITE_ERROR;
    };
    if (nFrom == 0) {
        m_hash.Reset();
        std::error_code ec;
        // A try after a broken one finds the temporary file gone (or, were
        // anything to put one there, a link, which is never followed).
        const auto status = std::filesystem::symlink_status(job.tempPath, ec);
        if (std::filesystem::is_symlink(status))
            RemoveQuietly(job.tempPath);
        if (!std::filesystem::is_regular_file(status))
            ec = orvanta::TouchFile(job.tempPath);
        else
            ec.clear();
        if (!ec)
            std::filesystem::resize_file(job.tempPath, 0, ec);
        if (ec)
            return fail(ec);
    }
    // The file exists. Opening it without truncation matters: ext4 takes a
    // truncated-then-written file for a replaced one and flushes all of it
    // when it is closed, which holds a large file's end for a good part of
    // a second.
    errno = 0;
    m_pFile = OpenExistingForWrite(job.tempPath);
    if (!m_pFile)
        return fail(orvanta::LastErrno());
    CURLcode rc = CURLE_OK;
    m_nWrittenBack = nFrom;
    if (!SeekTo(m_pFile, nFrom)) {
        rc = fail(orvanta::LastErrno());
    } else {
        m_nFileBytes = nFrom;
        m_nPendingBytes += nFrom;
        if (nFrom == 0 || nFrom < m_nExpected) {
            // curl hands over whole receive buffers: each goes out in one write.
            std::setvbuf(m_pFile, nullptr, _IONBF, 0);
            const std::string url = "ftp://" + m_hostPart + "/" + orvanta::EncodeFtpUrlPath(job.remotePath);
            curl_easy_setopt(m_pEasy.get(), CURLOPT_URL, url.c_str());
            curl_easy_setopt(m_pEasy.get(), CURLOPT_NOBODY, 0L);
            curl_easy_setopt(m_pEasy.get(), CURLOPT_FTPPORT, m_bPassive || job.bPassive ? nullptr : "-");
            // curl sends REST only after SIZE, which the rest of the time is
            // a round trip for nothing.
            curl_easy_setopt(m_pEasy.get(), CURLOPT_RESUME_FROM_LARGE, curl_off_t(nFrom));
            curl_easy_setopt(m_pEasy.get(), CURLOPT_IGNORE_CONTENT_LENGTH, nFrom > 0 ? 0L : 1L);
            rc = Perform();
            curl_easy_setopt(m_pEasy.get(), CURLOPT_RESUME_FROM_LARGE, curl_off_t(0));
            curl_easy_setopt(m_pEasy.get(), CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
            if (m_writeError)
                rc = fail(m_writeError);
        }
    }
    errno = 0;
    if (std::fclose(m_pFile) != 0 && rc == CURLE_OK)
        rc = fail(orvanta::LastErrno());
    m_pFile = nullptr;
    return rc;
}

void CFtpWorker::RunFetch(const FtpFetchJob& job)
{
    std::string bytes;
    m_pMemory = &bytes;
    m_nFileBytes = 0;
    m_nExpected = job.nMaxSize;
    const std::string url = "ftp://" + m_hostPart + "/" + orvanta::EncodeFtpUrlPath(job.remotePath);
    curl_easy_setopt(m_pEasy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(m_pEasy.get(), CURLOPT_NOBODY, 0L);
    curl_easy_setopt(m_pEasy.get(), CURLOPT_FTPPORT, m_bPassive ? nullptr : "-");
    const CURLcode rc = Perform();
    m_pMemory = nullptr;
    if (m_bCancelled)
        return;
    FtpNote note;
    note.eKind = FtpNote::Kind::Fetched;
    if (rc == CURLE_OK)
        note.pFetched = std::make_shared<const std::string>(std::move(bytes));
    m_post(std::move(note));
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
    note.info.nEntry = m_nEntry;
    m_post(std::move(note));
}

// The transfer ends on the player's side: a temporary file with nothing of
// the new one in it goes, a part kept for resume stays.
void CFtpWorker::PostFault(const FtpGetJob& job)
{
    RemoveUnkept(job);
    FlushBytes();
    FtpNote note;
    note.dwStatus = FTP_STATUS_LOCAL_FAULT;
    note.info.nEntry = m_nEntry;
    note.info.fault = m_fault;
    m_post(std::move(note));
}

void CFtpWorker::FlushBytes()
{
    Post(FTP_STATUS_BYTES, m_nPendingBytes);
    m_nPendingBytes = 0;
    m_lastBytesPost = std::chrono::steady_clock::now();
}

std::size_t CFtpWorker::OnDiscard(char*, std::size_t nSize, std::size_t nCount, void*)
{
    return nSize * nCount;
}

std::size_t CFtpWorker::OnWrite(char* pData, std::size_t nSize, std::size_t nCount, void* pUser)
{
    auto* pThis = static_cast<CFtpWorker*>(pUser);
    const std::size_t nBytes = nSize * nCount;
    if (pThis->m_bCancelled || (!pThis->m_pFile && !pThis->m_pMemory))
        return 0;
    // More than the entry's size is never the file the list promised.
    if (nBytes > pThis->m_nExpected - pThis->m_nFileBytes)
        return 0;
    if (pThis->m_pMemory) {
        pThis->m_pMemory->append(pData, nBytes);
        pThis->m_nFileBytes += nBytes;
        return nBytes;
    }
    errno = 0;
    if (std::fwrite(pData, 1, nBytes, pThis->m_pFile) != nBytes) {
        pThis->m_writeError = orvanta::LastErrno();
        return 0;
    }
    pThis->m_hash.Update(pData, nBytes);
    pThis->m_nFileBytes += nBytes;
    // A file that is synced before its rename goes to disk as it arrives,
    // not all at the end.
    if (pThis->m_nExpected >= SYNC_EACH_FROM &&
        pThis->m_nFileBytes - pThis->m_nWrittenBack >= WRITEBACK_STEP) {
        orvanta::StartWriteback(pThis->m_pFile, pThis->m_nWrittenBack, pThis->m_nFileBytes - pThis->m_nWrittenBack);
        pThis->m_nWrittenBack = pThis->m_nFileBytes;
    }
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
