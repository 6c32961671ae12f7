#include "transfer/FtpWorker.h"

#include "transfer/TargetFile.h"

#include <QtGlobal>

#include <system_error>

namespace {

// Byte counts reach the window at most this often; one last count always
// goes out before the transfer's end.
constexpr auto BYTES_POST_INTERVAL = std::chrono::milliseconds(40);

} // namespace

std::unique_ptr<CFtpWorker> CFtpWorker::Create(PostFn post, const FtpTimeouts& timeouts,
                                               std::shared_ptr<CRateLimiter> pLimiter)
{
    auto pConnection = CCurlConnection::Create(timeouts);
    if (!pConnection)
        return nullptr;
    pConnection->SetRateLimiter(std::move(pLimiter));
    std::unique_ptr<CFtpWorker> pWorker(new CFtpWorker(std::move(post), std::move(pConnection)));
    if (!pWorker->Start())
        return nullptr;
    return pWorker;
}

CFtpWorker::CFtpWorker(PostFn post, std::unique_ptr<CCurlConnection> pConnection)
    : m_post(std::move(post)), m_pConnection(std::move(pConnection))
{
}

bool CFtpWorker::Start()
{
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
    // Closing the cached connection then sends its QUIT into nothing and
    // does not wait for the reply.
    m_pConnection->ShutdownSockets();
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
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

void CFtpWorker::Help(FtpHelpJob job)
{
    Job entry;
    entry.eKind = Job::Kind::Help;
    entry.help = std::move(job);
    Enqueue(std::move(entry));
}

void CFtpWorker::Enqueue(Job job)
{
    {
        std::lock_guard lock(m_mutex);
        if (!IsCancelled()) {
            // Help is for a connection with nothing else to do.
            if (job.eKind != Job::Kind::Help)
                m_bYield = true;
            m_jobs.push_back(std::move(job));
            job = Job{};
        }
    }
    if (job.eKind == Job::Kind::Get && !job.get.tempPath.empty())
        CTargetFile::RemoveUnkept(job.get.tempPath, job.get.digest.has_value());  // refused: its temporary file goes
    m_cv.notify_one();
}

void CFtpWorker::Cancel()
{
    std::deque<Job> dropped;
    {
        // Under the lock: a job queued after this sees the cancel.
        std::lock_guard lock(m_mutex);
        m_pConnection->Cancel();
        dropped.swap(m_jobs);
    }
    for (const Job& job : dropped) {
        if (job.eKind == Job::Kind::Get)
            CTargetFile::RemoveUnkept(job.get.tempPath, job.get.digest.has_value());
    }
}

bool CFtpWorker::IsCancelled() const
{
    return m_pConnection->IsCancelled();
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
            m_bYield = !m_jobs.empty();
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
        case Job::Kind::Help:
            RunHelp(job.help);
            break;
        }
    }
}

void CFtpWorker::RunLogin(const FtpLoginJob& job)
{
    m_pHttp = job.pHttp;
    CurlLogin login{job.host, job.port, job.user, job.password, job.bPassiveFirst};
    bool bOk = job.bDeferred ? m_pConnection->KeepLogin(login) : m_pConnection->LogIn(login);
    if (!bOk && !IsCancelled() && job.bRetryPassive) {
        login.bPassive = true;
        bOk = m_pConnection->LogIn(login);
    }
    if (IsCancelled())
        return;
    FtpNote note;
    note.eKind = FtpNote::Kind::Login;
    note.bLoggedIn = bOk;
    note.bPassive = m_pConnection->IsPassive();
    m_post(std::move(note));
}

void CFtpWorker::BeginFile()
{
    m_nPendingBytes = 0;
    m_lastBytesPost = std::chrono::steady_clock::now();
}

void CFtpWorker::RunGet(const FtpGetJob& job)
{
    m_nEntry = job.nEntry;
    Post(FTP_STATUS_TRANSFER_STARTED);
    if (job.pSegmented) {
        RunSegmented(job);
        return;
    }
    CTargetFile file(job.targetPath, job.tempPath, job.nExpectedSize, job.digest, m_pConnection->CancelFlag());
    if (job.patch && job.digest) {
        switch (RunPatched(job, file)) {
        case PatchOutcome::Committed:
            FlushBytes();
            Post(FTP_STATUS_REQUEST_COMPLETE, 0, true);
            return;
        case PatchOutcome::ConnectionLost:
            FlushBytes();
            Post(FTP_STATUS_CONNECTION_CLOSED);
            return;
        case PatchOutcome::LocalFault:
            PostFault(file);
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
    BeginFile();
    // A patch a killed run left behind is of no use to a whole download.
    if (!job.patch || !job.digest)
        file.RemovePatch();

    // Already in place (a resume past the mark, or a folder repaired by
    // hand): counted as received, nothing fetched.
    if (!job.patch && file.IsInPlace()) {
        file.RemoveTemp();
        m_nPendingBytes = job.nExpectedSize;
        FlushBytes();
        Post(FTP_STATUS_REQUEST_COMPLETE, 0, true);
        return;
    }
    if (IsCancelled()) {
        file.RemoveUnkept();
        return;
    }
    if (!file.HasRoom()) {
        PostFault(file);
        return;
    }

    const std::uint64_t nHave = file.ContinuablePart();
    bool bOverHttp = false;
    CurlResult result = Receive(file, job.remotePath, job.bPassive, nHave, &bOverHttp);
    bool bWhole = result == CurlResult::Done && file.IsComplete();
    if (bWhole && !file.DigestMatches()) {
        bWhole = false;
        if (nHave > 0 && !IsCancelled()) {
            // The part kept from before belonged to other bytes (the file
            // changed on the server since): once more, from the start.
            m_nPendingBytes = 0;
            result = Receive(file, job.remotePath, job.bPassive, 0, &bOverHttp);
            bWhole = result == CurlResult::Done && file.IsComplete() && file.DigestMatches();
        }
        if (!bWhole && bOverHttp && result == CurlResult::Done && file.IsComplete() && !IsCancelled()) {
            // The web server's whole file is not the one the list names.
            TurnOffHttp();
            m_nPendingBytes = 0;
            result = Receive(file, job.remotePath, job.bPassive, 0);
            bWhole = result == CurlResult::Done && file.IsComplete() && file.DigestMatches();
        }
    }

    // A transfer broken off (the connection, or the player leaving) keeps
    // what it has when a digest can check the joined file later.
    const bool bBroken = IsCancelled() || result == CurlResult::Lost || file.Fault();
    if (IsCancelled()) {
        file.Discard(bBroken);
        return;
    }
    // The old file is replaced only by a whole new one.
    const bool bCommitted = bWhole && file.Commit();
    if (!bCommitted)
        file.Discard(bBroken);
    if (file.Fault()) {
        PostFault(file);
        return;
    }
    FlushBytes();
    if (result == CurlResult::Lost)
        Post(FTP_STATUS_CONNECTION_CLOSED);
    else
        Post(FTP_STATUS_REQUEST_COMPLETE, 0, bCommitted);
}

CFtpWorker::PatchOutcome CFtpWorker::RunPatched(const FtpGetJob& job, CTargetFile& file)
{
    BeginFile();
    const std::optional<std::uint64_t> nHave = file.BeginPatch(job.patch->nSize);
    if (!nHave)
        return PatchOutcome::LocalFault;
    const CurlResult result = Receive(file, job.patch->remotePath, job.bPassive, *nHave);
    const bool bWhole = result == CurlResult::Done && file.IsComplete();
    if (IsCancelled() || !bWhole) {
        file.DropPatch(IsCancelled() || result == CurlResult::Lost || file.Fault());
        if (IsCancelled())
            return PatchOutcome::Cancelled;
        if (file.Fault())
            return PatchOutcome::LocalFault;
        return result == CurlResult::Lost ? PatchOutcome::ConnectionLost : PatchOutcome::Failed;
    }
    switch (file.ApplyPatch()) {
    case CTargetFile::Applied::Committed:
        return PatchOutcome::Committed;
    case CTargetFile::Applied::Cancelled:
        return PatchOutcome::Cancelled;
    case CTargetFile::Applied::Failed:
        break;
    }
    return file.Fault() ? PatchOutcome::LocalFault : PatchOutcome::Failed;
}

// Receives what the file lacks from nFrom on; the bytes already there count
// as received. *pOverHttp tells whether the web server sent the bytes.
CurlResult CFtpWorker::Receive(CTargetFile& file, const std::string& remotePath, bool bPassive, std::uint64_t nFrom,
                               bool* pOverHttp)
{
    if (pOverHttp)
        *pOverHttp = false;
    if (!file.Begin(nFrom))
        return CurlResult::Failed;
    m_nPendingBytes += nFrom;
    CurlResult result = CurlResult::Done;
    if (nFrom == 0 || nFrom < file.Size()) {
        result = FetchFromSource(file, CurlRange{remotePath, nFrom, std::nullopt, bPassive}, pOverHttp);
        if (file.Fault())
            result = CurlResult::Failed;
    }
    if (!file.End(result == CurlResult::Done) && result == CurlResult::Done)
        result = CurlResult::Failed;
    return result;
}

// From the web server while it works; when it fails (refused, a status of
// 400 or more, a broken or short transfer), the same file continues over
// FTP from the bytes it left in the file.
CurlResult CFtpWorker::FetchFromSource(CTargetFile& file, CurlRange range, bool* pOverHttp)
{
    const CCurlConnection::ActivityFn onActivity = [this](std::size_t nBytes) { OnActivity(nBytes); };
    if (auto url = m_pHttp ? m_pHttp->UrlFor(range.remotePath) : std::nullopt) {
        range.url = std::move(*url);
        const CurlResult result = m_pConnection->Fetch(range, file, onActivity);
        const bool bSourceFault = !IsCancelled() && !file.Fault() && (result != CurlResult::Done || !file.IsComplete());
        if (!bSourceFault) {
            if (pOverHttp)
                *pOverHttp = true;
            return result;
        }
        TurnOffHttp();
        range.url.clear();
        range.nFrom = file.Received();
        // A body longer than the file was refused at its end: the kept part
        // is the whole file's length, and the rest is not known good.
        if (range.nFrom >= file.Size())
            range.nFrom = 0;
        file.End(false);
        if (!file.Begin(range.nFrom))
            return CurlResult::Failed;
    }
    return m_pConnection->Fetch(range, file, onActivity);
}

void CFtpWorker::TurnOffHttp()
{
    if (m_pHttp && m_pHttp->TurnOff())
        qWarning("HTTP source %s failed (%s): the rest of this session comes from the FTP server",
                 m_pHttp->Base().c_str(), m_pConnection->LastError().empty() ? "wrong content"
                                                                              : m_pConnection->LastError().c_str());
}

void CFtpWorker::RunProbe(const FtpProbeJob& job)
{
    m_nEntry = job.nEntry;
    std::uint64_t nPatch = 0;
    std::error_code ec;
    if (!std::filesystem::is_symlink(job.targetPath, ec) && std::filesystem::is_regular_file(job.targetPath, ec)) {
        const auto digest = orvanta::Sha256OfFile(job.targetPath, m_pConnection->CancelFlag());
        // The older file the patch was made from, and not already the new one.
        if (digest && orvanta::PrefixOf(*digest) == job.base && *digest != job.digest) {
            nPatch = PatchSize(job.patchRemotePath);
            if (nPatch >= job.nFileSize)
                nPatch = 0;
        }
    }
    if (IsCancelled())
        return;
    Post(FTP_STATUS_PROBED, nPatch);
}

// A web server that answers "not there" has no patch, which is no fault of
// its: the whole file follows.
std::uint64_t CFtpWorker::PatchSize(const std::string& remotePath)
{
    if (const auto url = m_pHttp ? m_pHttp->UrlFor(remotePath) : std::nullopt) {
        std::uint64_t nSize = 0;
        switch (m_pConnection->HttpSize(*url, &nSize)) {
        case CurlResult::Done:
            return nSize;
        case CurlResult::Failed:
            return 0;
        case CurlResult::Lost:
            if (IsCancelled())
                return 0;
            TurnOffHttp();
            break;
        }
    }
    return m_pConnection->Size(remotePath).value_or(0);
}

void CFtpWorker::RunFetch(const FtpFetchJob& job)
{
    std::optional<std::string> bytes;
    if (const auto url = m_pHttp ? m_pHttp->UrlFor(job.remotePath) : std::nullopt) {
        CurlRange range{job.remotePath};
        range.url = *url;
        bytes = m_pConnection->FetchSmall(range, job.nMaxSize);
        if (!bytes && !IsCancelled())
            TurnOffHttp();
    }
    if (!bytes && !IsCancelled())
        bytes = m_pConnection->FetchSmall(CurlRange{job.remotePath}, job.nMaxSize);
    if (IsCancelled())
        return;
    FtpNote note;
    note.eKind = FtpNote::Kind::Fetched;
    if (bytes)
        note.pFetched = std::make_shared<const std::string>(std::move(*bytes));
    m_post(std::move(note));
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
void CFtpWorker::PostFault(const CTargetFile& file)
{
    file.RemoveUnkept();
    PostFault(file.Fault());
}

void CFtpWorker::PostFault(const std::optional<orvanta::LocalFault>& fault)
{
    FlushBytes();
    FtpNote note;
    note.dwStatus = FTP_STATUS_LOCAL_FAULT;
    note.info.nEntry = m_nEntry;
    note.info.fault = fault;
    m_post(std::move(note));
}

// Hands each block to its piece; stops the transfer at the piece's end,
// which may have moved down (the rest went to another connection), and for
// a helper as soon as its connection has other work queued.
class CFtpWorker::CPieceSink final : public IByteSink {
public:
    CPieceSink(CFtpWorker& worker, CSegmentedFile& file, int nId, bool bOwner)
        : m_worker(worker), m_file(file), m_nId(nId), m_bOwner(bOwner)
    {
    }
    // Where the request that runs ends by itself: past it, the transfer is
    // stopped as soon as the piece is whole, not at the next block, which
    // a paced server may send only a good while later.
    void SetRequestEnd(std::uint64_t nEnd) { m_nRequestEnd = nEnd; }
    bool Write(std::span<const std::byte> bytes) override
    {
        if (!m_bOwner && m_worker.m_bYield)
            return false;
        const std::size_t nTaken = m_file.Write(m_nId, bytes);
        m_worker.OnActivity(nTaken);
        if (nTaken != bytes.size())
            return false;
        const auto rest = m_file.Remaining(m_nId);
        return !rest || rest->nFrom < rest->nTo || rest->nTo == m_nRequestEnd;
    }

private:
    CFtpWorker& m_worker;
    CSegmentedFile& m_file;
    const int m_nId;
    const bool m_bOwner;
    std::uint64_t m_nRequestEnd = 0;
};

void CFtpWorker::RunSegmented(const FtpGetJob& job)
{
    CSegmentedFile& file = *job.pSegmented;
    BeginFile();
    if (CTargetFile(job.targetPath, job.tempPath, job.nExpectedSize, job.digest, m_pConnection->CancelFlag())
            .IsInPlace()) {
        file.Discard(false);
        m_nPendingBytes = job.nExpectedSize;
        FlushBytes();
        Post(FTP_STATUS_REQUEST_COMPLETE, 0, true);
        return;
    }
    const std::optional<std::uint64_t> nKept = file.Open(m_pConnection->CancelFlag());
    if (!nKept) {
        if (IsCancelled()) {
            file.Discard(true);
            return;
        }
        const auto fault = file.Fault();
        file.Discard(true);
        PostFault(fault);
        return;
    }
    m_nPendingBytes += *nKept;
    Post(FTP_STATUS_PIECES_OPEN);

    CurlResult result = ReceivePieces(file, job.remotePath, job.bPassive, true);
    bool bWhole = file.Finish(m_pConnection->CancelFlag());
    if (!bWhole && file.IsComplete() && !IsCancelled() && !file.Fault()) {
        // Bytes kept from before belonged to another file, or the web
        // server's are not the release's: once more, from the start.
        const bool bOverHttp = m_pHttp && m_pHttp->UrlFor(job.remotePath);
        if (file.KeptUnchecked() || bOverHttp) {
            if (bOverHttp)
                TurnOffHttp();
            if (file.Restart()) {
                FlushBytes();
                Post(FTP_STATUS_PIECES_OPEN);
                result = ReceivePieces(file, job.remotePath, job.bPassive, true);
                bWhole = file.Finish(m_pConnection->CancelFlag());
            }
        }
    }
    if (IsCancelled()) {
        file.Discard(true);
        return;
    }
    const bool bCommitted = bWhole && file.Commit();
    if (const auto fault = file.Fault()) {
        file.Discard(true);
        PostFault(fault);
        return;
    }
    FlushBytes();
    if (!bCommitted && result == CurlResult::Lost && !file.IsComplete()) {
        // Another connection takes the file over from what is on disk.
        file.Keep();
        Post(FTP_STATUS_CONNECTION_CLOSED);
        return;
    }
    if (!bCommitted)
        file.Discard(result != CurlResult::Done);
    Post(FTP_STATUS_REQUEST_COMPLETE, 0, bCommitted);
}

void CFtpWorker::RunHelp(const FtpHelpJob& job)
{
    m_nEntry = job.nEntry;
    BeginFile();
    const CurlResult result = ReceivePieces(*job.pFile, job.remotePath, false, false);
    if (IsCancelled())
        return;
    FtpNote note;
    note.dwStatus = FTP_STATUS_HELPED;
    note.info.nEntry = m_nEntry;
    note.bLost = result == CurlResult::Lost;
    m_post(std::move(note));
}

// Takes pieces of the file until there are none: the owner also waits for
// pieces other connections hand back; a helper leaves at once when none
// is to be had, or when other work is queued for its connection.
CurlResult CFtpWorker::ReceivePieces(CSegmentedFile& file, const std::string& remotePath, bool bPassive, bool bOwner)
{
    for (;;) {
        if (!bOwner && m_bYield)
            return CurlResult::Done;
        const bool bWeb = m_pHttp && m_pHttp->UrlFor(remotePath);
        const auto piece = bOwner ? file.ClaimOrWait(m_pConnection->CancelFlag(), bWeb) : file.Claim(bWeb);
        if (!piece)
            return IsCancelled() ? CurlResult::Lost : CurlResult::Done;
        const CurlResult result = FetchPiece(file, *piece, remotePath, bPassive, bOwner);
        // Counted before the piece ends, so its bytes reach the engine
        // ahead of the file's end.
        FlushBytes();
        file.Release(piece->nId);
        if (result != CurlResult::Done)
            return result;
    }
}

// One piece from the web server while it works, else (and from where the
// web server stopped) over FTP. Done when the piece reached its end, or a
// helper was called away.
CurlResult CFtpWorker::FetchPiece(CSegmentedFile& file, const CSegmentedFile::Piece& piece,
                                  const std::string& remotePath, bool bPassive, bool bOwner)
{
    CPieceSink sink(*this, file, piece.nId, bOwner);
    const CCurlConnection::ActivityFn onIdle = [this](std::size_t) { OnActivity(0); };
    CurlRange range{remotePath, piece.nFrom, std::nullopt, bPassive};
    std::uint64_t nTo = piece.nTo;
    for (;;) {
        const auto url = m_pHttp ? m_pHttp->UrlFor(remotePath) : std::nullopt;
        range.url = url.value_or(std::string());
        // Over HTTP the request names the piece's end, and a piece that
        // ends there leaves the connection for the next. Over FTP the sink
        // ends it: curl's own bounded read waits for the server's answer to
        // ABOR, which the piece's owner would wait for before the file can
        // be put in place; a transfer the sink ends costs only the
        // reconnect that ABOR costs too.
        range.nTo = url ? std::optional(nTo) : std::nullopt;
        sink.SetRequestEnd(url ? nTo : file.Size());
        const CurlResult result = m_pConnection->Fetch(range, sink, onIdle);
        if (file.PieceDone(piece.nId) || (!bOwner && m_bYield))
            return CurlResult::Done;
        if (IsCancelled())
            return CurlResult::Lost;
        if (file.Fault())
            return CurlResult::Failed;  // the player's disk: no fault of the connection's
        // The server ended the piece short: not the file the list names.
        const CurlResult eFailed = result == CurlResult::Done ? CurlResult::Failed : result;
        if (!url)
            return eFailed;
        TurnOffHttp();
        const auto rest = file.Remaining(piece.nId);
        if (!rest)
            return eFailed;
        range.nFrom = rest->nFrom;
        nTo = rest->nTo;
    }
}

void CFtpWorker::FlushBytes()
{
    Post(FTP_STATUS_BYTES, m_nPendingBytes);
    m_nPendingBytes = 0;
    m_lastBytesPost = std::chrono::steady_clock::now();
}

// Also while nothing arrives (nBytes 0): bytes that came just before the
// data stopped still reach the window.
void CFtpWorker::OnActivity(std::size_t nBytes)
{
    m_nPendingBytes += nBytes;
    if (m_nPendingBytes > 0 && std::chrono::steady_clock::now() - m_lastBytesPost >= BYTES_POST_INTERVAL)
        FlushBytes();
}
