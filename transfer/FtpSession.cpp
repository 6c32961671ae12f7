#include "transfer/FtpSession.h"

#include "patch/HttpSource.h"
#include "transfer/FtpWorker.h"
#include "transfer/HttpRoute.h"
#include "transfer/PathRules.h"
#include "transfer/RateLimiter.h"

#include <QCoreApplication>
#include <QDir>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <deque>
#include <mutex>


namespace {

// Longest file name, in bytes of the file system's encoding.
constexpr qsizetype MAX_NAME_BYTES = 255;

// Held by a worker while it posts a note, and taken by the delivery before
// it reads the note. Qt's event queue has a lock of its own, but the Qt
// library takes it with bare futexes, which ThreadSanitizer cannot see: with
// that lock alone, every note (made on a worker, read and freed on the
// session's thread) and every two workers posting at once show as races.
std::mutex& NoteHandOffMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace

std::filesystem::path ToFsPath(const QString& path)
{
#ifdef _WIN32
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

// The session's state on the window's thread. Posted notes arrive here one
// by one, in the order the workers sent them.
class CFtpMailbox final {
public:
    enum class State { Created, Unavailable, Open, Connecting, Connected, Closed };

    // What the session knows of each connection.
    struct Slot {
        bool bLoggedIn = false;
        int nBusy = 0;  // transfers and fetches queued on it and not yet reported done
        int nHelps = 0;  // of those, help with another's file, which gives way to any job
        // Its transfers not yet reported done, in the order it runs them:
        // the first is the one a report of a transfer's end is about.
        std::deque<FtpGetJob> gets;
        int nFailures = 0;  // transfers broken in a row
    };

    void Deliver(const FtpNote& note)
    {
        if (m_eState == State::Closed)
            return;
        // The sink may delete the session while it is told: the destructor
        // then leaves the relay for the event loop to delete.
        m_bDelivering = true;
        Slot* pSlot = std::size_t(note.nWorker) < m_slots.size() ? &m_slots[std::size_t(note.nWorker)] : nullptr;
        if (note.eKind == FtpNote::Kind::Login) {
            if (note.nWorker == 0)
                OnLogin(note.bLoggedIn, note.bPassive);
            else
                OnOtherLogin(pSlot, note.bLoggedIn);
        } else if (note.dwStatus == FTP_STATUS_HELPED) {
            if (pSlot) {
                --pSlot->nBusy;
                --pSlot->nHelps;
                if (!note.bLost)
                    pSlot->nFailures = 0;
                else if (++pSlot->nFailures >= MAX_CONNECTION_FAILURES)
                    pSlot->bLoggedIn = false;
            }
        } else if (note.dwStatus == FTP_STATUS_PIECES_OPEN) {
            // Only for the offer of help below.
        } else if (note.eKind == FtpNote::Kind::Fetched) {
            if (pSlot)
                --pSlot->nBusy;
            if (auto onFetched = std::move(m_onFetched)) {
                m_onFetched = nullptr;
                onFetched(note.pFetched);
            }
        } else {
            // The connection is free before the sink hears of it, so that
            // the sink can give it the next file at once.
            const bool bEnded =
                note.dwStatus == FTP_STATUS_REQUEST_COMPLETE || note.dwStatus == FTP_STATUS_LOCAL_FAULT;
            if (pSlot && (bEnded || note.dwStatus == FTP_STATUS_CONNECTION_CLOSED || note.dwStatus == FTP_STATUS_PROBED))
                --pSlot->nBusy;
            if (pSlot && bEnded && !pSlot->gets.empty()) {
                pSlot->gets.pop_front();
                pSlot->nFailures = 0;
            }
            if (pSlot && note.dwStatus == FTP_STATUS_CONNECTION_CLOSED && !pSlot->gets.empty() &&
                Retry(note.nWorker, pSlot))
                Notify(FTP_STATUS_RETRYING, note.info);
            else
                Notify(note.dwStatus, note.info);
        }
        // Connections left idle by the sink help with files in pieces.
        if (m_eState == State::Connected && m_offerHelp) {
            const auto offerHelp = m_offerHelp;
            offerHelp();
        }
        m_bDelivering = false;
    }

    void Close()
    {
        m_eState = State::Closed;
        m_onDone = nullptr;
        m_onFetched = nullptr;
        m_onFirstLogin = nullptr;
        m_sink = nullptr;
        m_context = nullptr;
        m_redispatch = nullptr;
        m_offerHelp = nullptr;
    }

    // The logged-in connection with the least queued on it (help counting
    // as less than any job, since it gives way), the first of equals, other
    // than nAvoid unless no other is in; -1 when none is in.
    int LeastBusy(int nAvoid = -1) const
    {
        const auto load = [](const Slot& slot) { return 2 * (slot.nBusy - slot.nHelps) + (slot.nHelps > 0 ? 1 : 0); };
        int nBest = -1;
        for (std::size_t i = 0; i < m_slots.size(); ++i) {
            if (m_slots[i].bLoggedIn && int(i) != nAvoid &&
                (nBest < 0 || load(m_slots[i]) < load(m_slots[std::size_t(nBest)])))
                nBest = int(i);
        }
        if (nBest < 0 && nAvoid >= 0 && std::size_t(nAvoid) < m_slots.size() && m_slots[std::size_t(nAvoid)].bLoggedIn)
            nBest = nAvoid;
        return nBest;
    }

    int LoggedIn() const
    {
        return int(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot& slot) { return slot.bLoggedIn; }));
    }

    State m_eState = State::Created;
    QPointer<QObject> m_context;
    FtpStatusSink m_sink;
    std::function<void(bool)> m_onDone;
    CFtpSession::FetchDone m_onFetched;
    // The first connection got in, in this mode: the others follow.
    std::function<void(bool bPassive)> m_onFirstLogin;
    std::vector<Slot> m_slots;  // one per worker, same index
    bool m_bDelivering = false;  // a note is being told
    // Hands a broken transfer to a connection (the session's); false when
    // none can take it.
    std::function<bool(int nBroken, FtpGetJob job)> m_redispatch;
    std::function<void()> m_offerHelp;  // the session's

private:
    // A transfer broke with its connection: the connection is given no
    // more files once it failed too often running, and the file goes to
    // another (or the same, when it is the only one left) while it has
    // tries left. False when the break is final.
    bool Retry(int nWorker, Slot* pSlot)
    {
        FtpGetJob job = std::move(pSlot->gets.front());
        pSlot->gets.pop_front();
        if (++pSlot->nFailures >= MAX_CONNECTION_FAILURES)
            pSlot->bLoggedIn = false;
        if (job.nTry >= MAX_TRANSFER_TRIES || !m_redispatch || m_eState != State::Connected)
            return false;
        const auto redispatch = m_redispatch;
        return redispatch(nWorker, std::move(job));
    }

    void Notify(std::uint32_t dwStatus, const FtpStatusInfo& info)
    {
        if (m_context && m_sink) {
            const FtpStatusSink sink = m_sink;  // the sink may replace itself
            sink(dwStatus, info);
        }
    }

    void OnLogin(bool bOk, bool bPassive)
    {
        if (m_eState != State::Connecting)
            return;
        auto onDone = std::move(m_onDone);
        m_onDone = nullptr;
        if (bOk) {
            m_eState = State::Connected;
            m_slots.at(0).bLoggedIn = true;
            if (auto onFirstLogin = std::move(m_onFirstLogin)) {
                m_onFirstLogin = nullptr;
                onFirstLogin(bPassive);
            }
        } else {
            // The internet side is closed: later Connect calls fail quietly.
            m_eState = State::Unavailable;
        }
        if (m_eState != State::Closed && onDone)
            onDone(bOk);
    }

    // A connection the server refused is left out; the others carry on.
    void OnOtherLogin(Slot* pSlot, bool bOk)
    {
        if (!pSlot || !bOk || m_eState != State::Connected)
            return;
        pSlot->bLoggedIn = true;
        Notify(FTP_STATUS_CONNECTION_ADDED, FtpStatusInfo{});
    }
};

CFtpSession::CFtpSession()
    : m_pRelay(std::make_unique<QObject>()), m_pMailbox(std::make_shared<CFtpMailbox>()),
      m_pLimiter(std::make_shared<CRateLimiter>())
{
}

CFtpSession::~CFtpSession()
{
    m_pMailbox->Close();
    // Every transfer is told to stop before the first join waits.
    for (const auto& pWorker : m_workers)
        pWorker->Cancel();
    m_workers.clear();  // joined: nothing posts to the relay any more
    if (m_pMailbox->m_bDelivering) {
        // Deleted from inside a delivery, that is from an event of the relay.
        m_pRelay.release()->deleteLater();
    }
}

std::unique_ptr<CFtpWorker> CFtpSession::MakeWorker(int nIndex)
{
    QObject* pRelay = m_pRelay.get();
    std::weak_ptr<CFtpMailbox> wpMailbox = m_pMailbox;
    return CFtpWorker::Create(
        [pRelay, wpMailbox, nIndex](FtpNote note) {
            note.nWorker = nIndex;
            std::lock_guard handOff(NoteHandOffMutex());
            QMetaObject::invokeMethod(
                pRelay,
                [wpMailbox, note]() {
                    { std::lock_guard handedOver(NoteHandOffMutex()); }
                    if (const auto pMailbox = wpMailbox.lock())
                        pMailbox->Deliver(note);
                },
                Qt::QueuedConnection);
        },
        m_timeouts, m_pLimiter);
}

void CFtpSession::SetMaxRate(std::uint64_t nBytesPerSecond)
{
    m_pLimiter->SetRate(nBytesPerSecond);
}

// On the session's thread, from a delivery: a broken transfer starts again
// on the least busy connection, preferably another, in passive mode (a
// server or a firewall that lets active mode stall once does it again).
bool CFtpSession::Redispatch(int nBroken, FtpGetJob job)
{
    const int nWorker = m_pMailbox->LeastBusy(nBroken);
    if (nWorker < 0)
        return false;
    ++job.nTry;
    job.bPassive = true;
    CFtpMailbox::Slot& slot = m_pMailbox->m_slots[std::size_t(nWorker)];
    ++slot.nBusy;
    slot.gets.push_back(job);
    m_workers[std::size_t(nWorker)]->Get(std::move(job));
    return true;
}

// On the session's thread, after each note: every logged-in connection
// with nothing queued takes pieces of a file that has them to give.
void CFtpSession::OfferHelp()
{
    // A file nobody but this list holds any more is done with.
    std::erase_if(m_shared, [](const Shared& shared) { return shared.pFile.use_count() == 1; });
    for (std::size_t i = 0; i < m_workers.size() && i < m_pMailbox->m_slots.size(); ++i) {
        CFtpMailbox::Slot& slot = m_pMailbox->m_slots[i];
        if (!slot.bLoggedIn || slot.nBusy > 0)
            continue;
        const auto shared = std::find_if(m_shared.begin(), m_shared.end(),
                                         [](const Shared& candidate) { return candidate.pFile->HasWork(); });
        if (shared == m_shared.end())
            return;
        ++slot.nBusy;
        ++slot.nHelps;
        m_workers[i]->Help(FtpHelpJob{shared->pFile, shared->remotePath, shared->nEntry});
    }
}

bool CFtpSession::Open()
{
    if (m_pMailbox->m_eState != CFtpMailbox::State::Created)
        return !m_workers.empty();
    auto pWorker = MakeWorker(0);
    if (!pWorker) {
        m_pMailbox->m_eState = CFtpMailbox::State::Unavailable;
        return false;
    }
    m_workers.push_back(std::move(pWorker));
    m_pMailbox->m_slots.resize(1);
    m_pMailbox->m_eState = CFtpMailbox::State::Open;
    m_pMailbox->m_redispatch = [this](int nBroken, FtpGetJob job) { return Redispatch(nBroken, std::move(job)); };
    m_pMailbox->m_offerHelp = [this] { OfferHelp(); };
    return true;
}

void CFtpSession::SetMaxConnections(int nConnections)
{
    m_nMaxConnections = std::clamp(nConnections, 1, 16);
}

void CFtpSession::SetHttpSource(const std::string& base, std::int32_t nVersion)
{
    const auto checked = orvanta::HttpSourceBase(base);
    m_pHttp = checked ? std::make_shared<CHttpRoute>(*checked, nVersion) : nullptr;
}

int CFtpSession::Connections() const
{
    return m_pMailbox->m_eState == CFtpMailbox::State::Connected ? m_pMailbox->LoggedIn() : 0;
}

bool CFtpSession::Connect(const std::string& host, int port, const std::string& user, const std::string& password,
                          std::function<void(bool)> onDone)
{
    if (m_pMailbox->m_eState != CFtpMailbox::State::Open || m_workers.empty())
        return false;
    m_pMailbox->m_eState = CFtpMailbox::State::Connecting;
    m_pMailbox->m_onDone = std::move(onDone);
    FtpLoginJob job{host, port, user, password, m_bPassive};
    job.pHttp = m_pHttp;
    // Beside a web source every connection fetches from the web server and
    // logs in to the FTP server only if it fails them: a release on a
    // content network does not cost the FTP server a session per player.
    job.bDeferred = m_pHttp != nullptr;
    if (m_nMaxConnections > 1)
        m_pMailbox->m_onFirstLogin = [this, job](bool bPassive) {
            FtpLoginJob other = job;
            other.bPassiveFirst = bPassive;
            other.bRetryPassive = false;

            LogInOthers(other);
        };
    m_workers.front()->Login(std::move(job));
    return true;
}

// Runs on the session's thread once the first connection is in; the others
// log in while it already fetches.
void CFtpSession::LogInOthers(const FtpLoginJob& job)
{
    while (int(m_workers.size()) < m_nMaxConnections) {
        auto pWorker = MakeWorker(int(m_workers.size()));
        if (!pWorker)
            break;  // no thread to be had: fewer connections
        pWorker->Login(job);
        m_workers.push_back(std::move(pWorker));
        m_pMailbox->m_slots.emplace_back();
    }
}

int CFtpSession::GetFile(const std::string& remotePath, const QString& localPath, std::uint64_t expectedSize,
                         std::optional<orvanta::Sha256Digest> digest, std::size_t nEntry,
                         std::optional<FtpPatchPlan> patch)
{
    m_lastFault.reset();
    const int nWorker = m_pMailbox->LeastBusy();
    if (m_pMailbox->m_eState != CFtpMailbox::State::Connected || nWorker < 0) {
        m_lastFault = orvanta::LocalFault{std::make_error_code(std::errc::not_connected), {}};
        return FTP_ERROR_NOT_CONNECTED;
    }
    const QFileInfo target(localPath);
    // A link in the target's place is replaced by the new file, never
    // followed: its own target may lie outside the game folder.
    if (target.exists() && !target.isSymLink()) {
        const QFile::Permissions permissions = target.permissions();
        if (!(permissions & QFileDevice::WriteOwner))
            QFile::setPermissions(localPath, permissions | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    }
    if (QFile::encodeName(target.fileName()).size() > MAX_NAME_BYTES) {
        m_lastFault = orvanta::LocalFault{std::make_error_code(std::errc::filename_too_long),
                                          ToFsPath(target.absoluteFilePath())};
        return FTP_ERROR_NAME_TOO_LONG;
    }
    const QDir folder = target.absoluteDir();
    if (!folder.exists()) {
        m_lastFault = orvanta::LocalFault{std::make_error_code(std::errc::no_such_file_or_directory),
                                          ToFsPath(folder.absolutePath())};
        return FTP_ERROR_PATH_NOT_FOUND;
    }

    // Made here, so that a folder that takes no file is reported before
    // anything is queued; the worker only fills it. The name follows from
    // the target's, so the file a killed run left behind is taken over when
    // the next run fetches the same file again, instead of piling up; with
    // a digest to check the joined file, it is even continued.
    const QByteArray nameHash =
        QCryptographicHash::hash(QFile::encodeName(target.fileName()), QCryptographicHash::Sha1).toHex().left(16);
    const QString tempPath = folder.filePath(QStringLiteral(".orvanta-%1.part").arg(QString::fromLatin1(nameHash)));
    if (!digest || QFileInfo(tempPath).isSymLink())
        QFile::remove(tempPath);
    if (const std::error_code ec = orvanta::TouchFile(ToFsPath(tempPath))) {
        // The temporary file is ours and hidden: the folder is what the
        // player can mend.
        m_lastFault = orvanta::LocalFault{ec, ToFsPath(folder.absolutePath())};
        return orvanta::KindOf(*m_lastFault) == orvanta::FaultKind::ReadOnly ? FTP_ERROR_ACCESS_DENIED
                                                                            : FTP_ERROR_CANNOT_MAKE;
    }

    FtpGetJob job{remotePath, ToFsPath(tempPath), ToFsPath(target.absoluteFilePath()), expectedSize, digest, nEntry,
                  digest ? std::move(patch) : std::nullopt};
    if (digest && !job.patch && m_nMaxConnections > 1 && expectedSize >= m_segmentPolicy.nFrom) {
        job.pSegmented = std::make_shared<CSegmentedFile>(job.targetPath, job.tempPath, expectedSize, *digest,
                                                          m_segmentPolicy);
        m_shared.push_back(Shared{job.pSegmented, remotePath, nEntry});
    }
    CFtpMailbox::Slot& slot = m_pMailbox->m_slots[std::size_t(nWorker)];
    ++slot.nBusy;
    slot.gets.push_back(job);
    m_workers[std::size_t(nWorker)]->Get(std::move(job));
    return FTP_IO_PENDING;
}

bool CFtpSession::ProbePatch(const QString& localPath, const orvanta::BasePrefix& base,
                             const orvanta::Sha256Digest& digest, const std::string& patchRemotePath,
                             std::uint64_t nFileSize, std::size_t nEntry)
{
    const int nWorker = m_pMailbox->LeastBusy();
    if (m_pMailbox->m_eState != CFtpMailbox::State::Connected || nWorker < 0)
        return false;
    ++m_pMailbox->m_slots[std::size_t(nWorker)].nBusy;
    m_workers[std::size_t(nWorker)]->Probe(
        FtpProbeJob{ToFsPath(localPath), base, digest, patchRemotePath, nFileSize, nEntry});
    return true;
}

bool CFtpSession::FetchFile(const std::string& remotePath, std::size_t nMaxSize, FetchDone onDone)
{
    if (m_pMailbox->m_eState != CFtpMailbox::State::Connected || m_workers.empty() || m_pMailbox->m_onFetched)
        return false;
    m_pMailbox->m_onFetched = std::move(onDone);
    ++m_pMailbox->m_slots.front().nBusy;
    m_workers.front()->Fetch(FtpFetchJob{remotePath, nMaxSize});
    return true;
}

void CFtpSession::SetStatusSink(QObject* context, FtpStatusSink sink)
{
    if (m_pMailbox->m_eState == CFtpMailbox::State::Closed)
        return;
    m_pMailbox->m_context = context;
    m_pMailbox->m_sink = std::move(sink);
}

void CFtpSession::CloseInternet()
{
    m_pMailbox->Close();
    for (const auto& pWorker : m_workers)
        pWorker->Cancel();
}

bool CFtpSession::IsOpen() const
{
    using State = CFtpMailbox::State;
    const State eState = m_pMailbox->m_eState;
    return eState == State::Open || eState == State::Connecting || eState == State::Connected;
}

bool CFtpSession::IsConnected() const
{
    return m_pMailbox->m_eState == CFtpMailbox::State::Connected;
}

FtpEndpoint ParseFtpEndpoint(const std::string& text)
{
    orvanta::HostPort parsed = orvanta::SplitHostPort(text);
    return FtpEndpoint{std::move(parsed.host), parsed.port};
}
