#include "transfer/FtpSession.h"

#include "settings/SettingsStore.h"
#include "transfer/FtpWorker.h"
#include "transfer/PathRules.h"

#include <QCoreApplication>
#include <QDir>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <deque>

int g_nPassive = 0;

namespace {

// Longest file name, in bytes of the file system's encoding.
constexpr qsizetype MAX_NAME_BYTES = 255;

std::filesystem::path ToFsPath(const QString& path)
{
#ifdef _WIN32
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

} // namespace

// The session's state on the window's thread, and the notifications that
// wait for it. Posted notes arrive here one by one; a sink that spins a
// nested event loop (a message box) does not see the next note until it
// has returned, so notes are handled one at a time and in order.
class CFtpMailbox final {
public:
    enum class State { Created, Unavailable, Open, Connecting, Connected, Closed };

    void Deliver(FtpNote note)
    {
        m_pending.push_back(std::move(note));
        if (m_nDepth > 0)
            return;  // the delivery below on the stack takes it next
        ++m_nDepth;
        while (!m_pending.empty() && m_eState != State::Closed) {
            FtpNote next = std::move(m_pending.front());
            m_pending.pop_front();
            if (next.eKind == FtpNote::Kind::Login) {
                OnLogin(next.bLoggedIn);
            } else if (next.eKind == FtpNote::Kind::Fetched) {
                if (auto onFetched = std::move(m_onFetched)) {
                    m_onFetched = nullptr;
                    onFetched(next.pFetched);
                }
            } else if (m_context && m_sink) {
                const FtpStatusSink sink = m_sink;  // the sink may replace itself
                sink(next.dwStatus, next.info);
            }
        }
        if (m_eState == State::Closed)
            m_pending.clear();
        --m_nDepth;
    }

    void Close()
    {
        m_eState = State::Closed;
        m_pending.clear();
        m_onDone = nullptr;
        m_onFetched = nullptr;
        m_sink = nullptr;
        m_context = nullptr;
    }

    State m_eState = State::Created;
    QPointer<QObject> m_context;
    FtpStatusSink m_sink;
    std::function<void(bool)> m_onDone;
    CFtpSession::FetchDone m_onFetched;
    int m_nDepth = 0;  // deliveries on the stack

private:
    void OnLogin(bool bOk)
    {
        if (m_eState != State::Connecting)
            return;
        auto onDone = std::move(m_onDone);
        m_onDone = nullptr;
        if (bOk) {
            m_eState = State::Connected;
        } else {
            // The internet side is closed: later Connect calls fail quietly.
            m_eState = State::Unavailable;
        }
        if (m_eState != State::Closed && onDone)
            onDone(bOk);
    }

    std::deque<FtpNote> m_pending;
};

CFtpSession::CFtpSession() : m_pRelay(std::make_unique<QObject>()), m_pMailbox(std::make_shared<CFtpMailbox>()) {}

CFtpSession::~CFtpSession()
{
    m_pMailbox->Close();
    m_pWorker.reset();  // joined: nothing posts to the relay any more
    if (m_pMailbox->m_nDepth > 0) {
        // Deleted from inside a delivery, that is from an event of the relay.
        m_pRelay.release()->deleteLater();
    }
}

bool CFtpSession::Open()
{
    if (m_pMailbox->m_eState != CFtpMailbox::State::Created)
        return m_pWorker != nullptr;
    QObject* pRelay = m_pRelay.get();
    std::weak_ptr<CFtpMailbox> wpMailbox = m_pMailbox;
    m_pWorker = CFtpWorker::Create([pRelay, wpMailbox](FtpNote note) {
        QMetaObject::invokeMethod(
            pRelay,
            [wpMailbox, note]() {
                if (const auto pMailbox = wpMailbox.lock())
                    pMailbox->Deliver(note);
            },
            Qt::QueuedConnection);
    });
    if (!m_pWorker) {
        m_pMailbox->m_eState = CFtpMailbox::State::Unavailable;
        return false;
    }
    m_pMailbox->m_eState = CFtpMailbox::State::Open;
    return true;
}

bool CFtpSession::Connect(const std::string& host, int port, const std::string& user, const std::string& password,
                          std::function<void(bool)> onDone)
{
    if (m_pMailbox->m_eState != CFtpMailbox::State::Open || !m_pWorker)
        return false;
    if (const auto nPassive = orvanta::settings::ReadNumberValue(orvanta::settings::PASSIVE))
        g_nPassive = *nPassive;
    m_pMailbox->m_eState = CFtpMailbox::State::Connecting;
    m_pMailbox->m_onDone = std::move(onDone);
    m_pWorker->Login(FtpLoginJob{host, port, user, password, g_nPassive != 0});
    return true;
}

int CFtpSession::GetFile(const std::string& remotePath, const QString& localPath, std::uint64_t expectedSize,
                         std::optional<orvanta::Sha256Digest> digest)
{
    if (m_pMailbox->m_eState != CFtpMailbox::State::Connected || !m_pWorker)
        return FTP_ERROR_NOT_CONNECTED;

    const QFileInfo target(localPath);
    // A link in the target's place is replaced by the new file, never
    // followed: its own target may lie outside the game folder.
    if (target.exists() && !target.isSymLink()) {
        const QFile::Permissions permissions = target.permissions();
        if (!(permissions & QFileDevice::WriteOwner))
            QFile::setPermissions(localPath, permissions | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    }
    if (QFile::encodeName(target.fileName()).size() > MAX_NAME_BYTES)
        return FTP_ERROR_NAME_TOO_LONG;
    const QDir folder = target.absoluteDir();
    if (!folder.exists())
        return FTP_ERROR_PATH_NOT_FOUND;

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
    {
        QFile file(tempPath);
        if (!file.open(QIODevice::ReadWrite))
            return file.error() == QFileDevice::PermissionsError ? FTP_ERROR_ACCESS_DENIED : FTP_ERROR_CANNOT_MAKE;
    }

    m_pWorker->Get(
        FtpGetJob{remotePath, ToFsPath(tempPath), ToFsPath(target.absoluteFilePath()), expectedSize, digest});
    return FTP_IO_PENDING;
}

bool CFtpSession::FetchFile(const std::string& remotePath, std::size_t nMaxSize, FetchDone onDone)
{
    if (m_pMailbox->m_eState != CFtpMailbox::State::Connected || !m_pWorker || m_pMailbox->m_onFetched)
        return false;
    m_pMailbox->m_onFetched = std::move(onDone);
    m_pWorker->Fetch(FtpFetchJob{remotePath, nMaxSize});
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
    if (m_pWorker)
        m_pWorker->Cancel();
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
