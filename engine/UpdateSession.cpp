// The update session: its start, the patch server's frames, the frames the
// updater sends, and the flags the game button reads.
#include "engine/UpdateSession.h"

#include "patch/Cp949.h"
#include "patch/HttpSource.h"
#include "patch/PatchLink.h"
#include "settings/Publisher.h"
#include "settings/SettingsStore.h"
#include "transfer/LocalCheck.h"
#include "transfer/MarkWriter.h"
#include "patch/Manifest.h"
#include "transfer/PathRules.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <set>
#include <array>

namespace {

// The outcome of a state that ends a run short of its files.
std::optional<CUpdateSession::Outcome> FailureOf(CUpdateSession::State eState)
{
    using State = CUpdateSession::State;
    using Outcome = CUpdateSession::Outcome;
    switch (eState) {
    case State::LinkFailed: return Outcome::LinkFailed;
    case State::FtpFailed: return Outcome::FtpFailed;
    case State::DownloadStopped: return Outcome::Stopped;
    case State::DownloadBroken: return Outcome::Broken;
    case State::Refused: return Outcome::Refused;
    default: return std::nullopt;
    }
}

// Frames 16 and 18 carry four bytes that mean nothing.
constexpr std::array<std::uint8_t, 4> EMPTY_PAYLOAD{};

const QString LINK_FAILED = QStringLiteral("업데이트 서버에 접속 실패");

// How often the check's progress reaches the bars.
constexpr int CHECK_POLL_MS = 20;

// Credentials go into FTP commands as they are: a line break in them would
// be a second command.
bool HasControlChar(const std::string& text)
{
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

} // namespace

CUpdateSession::CUpdateSession(IUpdatePrompts* pPrompts, QObject* parent)
    : QObject(parent), m_pPrompts(pPrompts), m_digestCachePath(orvanta::settings::DigestCacheLocation())
{
    m_silenceTimer.setSingleShot(true);
    m_silenceTimer.setInterval(DEFAULT_SILENCE_MS);
    connect(&m_silenceTimer, &QTimer::timeout, this, &CUpdateSession::OnSilence);
    m_gameServerTimer.setSingleShot(true);
    m_gameServerTimer.setInterval(10000);
    connect(&m_gameServerTimer, &QTimer::timeout, this, [this] {
        if (m_eState == State::UpToDate || m_eState == State::Done)
            Finish(Outcome::Unrecorded);
    });
    m_checkTimer.setInterval(CHECK_POLL_MS);
    connect(&m_checkTimer, &QTimer::timeout, this, &CUpdateSession::OnCheckTick);
}

CUpdateSession::~CUpdateSession()
{
    Shutdown();
}

void CUpdateSession::Start(const QString& commandLineHost)
{
    if (m_eState != State::Idle)
        return;
    StartWith(orvanta::settings::LoadSettings(commandLineHost));
}

void CUpdateSession::StartWith(const orvanta::settings::RunSettings& settings)
{
    if (m_eState != State::Idle)
        return;
    m_settings = settings;
    m_settings.szClientPath = orvanta::settings::WithTrailingSeparator(m_settings.szClientPath);
    // Without a store the host and port are what the caller gave, and
    // nothing when it gave none: the session still connects, and fails
    // visibly.
    if (!m_settings.bStoreOpen)
        SetStatusText(QStringLiteral("레지스트리를 읽을수 없습니다."));

    m_pLink = std::make_unique<CPatchLink>();
    if (m_nConnectTimeoutMs >= 0)
        m_pLink->SetConnectTimeout(m_nConnectTimeoutMs);
    connect(m_pLink.get(), &CPatchLink::connectFinished, this, &CUpdateSession::OnLinkConnect);
    connect(m_pLink.get(), &CPatchLink::frameReceived, this, &CUpdateSession::OnFrame);
    connect(m_pLink.get(), &CPatchLink::broken, this, &CUpdateSession::OnLinkBroken);
    connect(m_pLink.get(), &CPatchLink::fallbackUsed, this, &CUpdateSession::fallbackAddressUsed);
    SetState(State::Connecting);
    m_pLink->Connect(m_settings.szIP, m_settings.nPort);

    m_pFtp = std::make_unique<CFtpSession>();
    m_pFtp->SetTimeouts(m_ftpTimeouts);
    if (!m_pFtp->Open())
        Ask({IUpdatePrompts::Box::Owner::None, false, QStringLiteral("-_-;;"), QStringLiteral("인터넷을 연결하세요"),
             QStringLiteral("internetBox")},
            {});
}

void CUpdateSession::Shutdown()
{
    if (m_eState == State::Closed)
        return;
    m_eState = State::Closed;
    m_silenceTimer.stop();
    m_questions.clear();
    if (m_pLink) {
        m_pLink->disconnect(this);
        // Closed now, so that a name lookup still under way connects to
        // nothing; deleted later, as Shutdown may be reached from inside one
        // of its signals.
        m_pLink->Close();
        m_pLink.release()->deleteLater();
    }
    // Cancels the transfer in flight; its old file stays.
    m_pFtp.reset();
    m_checkTimer.stop();
    m_pCheck.reset();
    SaveDigests();
    m_pMarkWriter.reset();  // writes what waits
    Q_EMIT stateChanged(m_eState);
}

bool CUpdateSession::IsFinal(State eState)
{
    switch (eState) {
    case State::Idle:
    case State::Connecting:
    case State::WaitingForVersion:
    case State::CollectingList:
    case State::LoggingIn:
    case State::Verifying:
    case State::Checking:
    case State::Downloading:
        return false;
    case State::UpToDate:
    case State::Done:
    case State::Ready:
    case State::LinkFailed:
    case State::FtpFailed:
    case State::DownloadStopped:
    case State::DownloadBroken:
    case State::Refused:
    case State::Closed:
        return true;
    }
    return false;
}

QString CUpdateSession::OutcomeName(Outcome eOutcome)
{
    switch (eOutcome) {
    case Outcome::UpToDate: return QStringLiteral("up-to-date");
    case Outcome::Updated: return QStringLiteral("done");
    case Outcome::Unrecorded: return QStringLiteral("unrecorded");
    case Outcome::LinkFailed: return QStringLiteral("link-failed");
    case Outcome::FtpFailed: return QStringLiteral("ftp-failed");
    case Outcome::Stopped: return QStringLiteral("stopped");
    case Outcome::Broken: return QStringLiteral("broken");
    case Outcome::Refused: return QStringLiteral("refused");
    }
    return QStringLiteral("done");
}

void CUpdateSession::SetState(State eState)
{
    if (m_eState == eState || m_eState == State::Closed)
        return;
    m_eState = eState;
    // The files are in place (or none were needed): the game address is owed.
    if (eState == State::UpToDate || eState == State::Done) {
        m_bFetched = m_bFetched || eState == State::Done;
        m_gameServerTimer.start();
    }
    // Only the patch server's part of the conversation is timed: once the
    // files arrive, or the run has ended, its silence is normal.
    if (eState == State::WaitingForVersion || eState == State::CollectingList)
        m_silenceTimer.start();
    else
        m_silenceTimer.stop();
    Q_EMIT stateChanged(eState);
    if (eState == State::Ready)
        Finish(m_bFetched ? Outcome::Updated : Outcome::UpToDate);
    else if (const auto failure = FailureOf(eState))
        Finish(*failure);
}

void CUpdateSession::Finish(Outcome eOutcome)
{
    if (m_bFinished || m_eState == State::Closed)
        return;
    m_bFinished = true;
    m_gameServerTimer.stop();
    Q_EMIT finished(eOutcome);
}

void CUpdateSession::SetMaxRate(std::uint64_t nBytesPerSecond)
{
    m_settings.nMaxRate = nBytesPerSecond;
    if (m_pFtp)
        m_pFtp->SetMaxRate(nBytesPerSecond);
}

std::string CUpdateSession::HttpSource() const
{
    if (!m_httpSource.empty())
        return m_httpSource;
    return orvanta::HttpSourceBase(orvanta::HTTP_SOURCE_URL).value_or(std::string());
}

CUpdateSession::Launch CUpdateSession::LaunchPlan() const
{
    Launch launch;
    if (!m_bLaunchReady)
        return launch;
    launch.folder = m_settings.szClientPath;
    const QDir folder(launch.folder);
    launch.bSwapUpdater = QFileInfo::exists(folder.filePath(QString::fromLatin1(orvanta::NEW_UPDATER_FILE))) ||
                          QFileInfo::exists(folder.filePath(QString::fromLatin1(orvanta::OLD_UPDATER_FILE)));
    const QString client = QString::fromLatin1(orvanta::CLIENT_FILE);
    if (m_bUpToDate) {
        launch.eStep = Launch::Step::Game;
        launch.commandLine = orvanta::LaunchCommandLine(client, m_strGameIp, m_nGamePort);
    } else {
        launch.eStep = Launch::Step::AskThenGame;
        launch.commandLine = orvanta::LaunchCommandLine(client, QString::fromLatin1(orvanta::FALLBACK_GAME_ADDR),
                                                        orvanta::FALLBACK_GAME_PORT);
    }
    return launch;
}

void CUpdateSession::SetStatusText(const QString& text)
{
    if (m_eState == State::Closed)
        return;
    m_statusText = text;
    Q_EMIT statusChanged(text);
}

void CUpdateSession::ArmLaunch(bool bUpToDate)
{
    if (bUpToDate)
        m_bUpToDate = true;
    if (!m_bLaunchReady) {
        m_bLaunchReady = true;
        Q_EMIT launchReadyChanged(true);
    }
}

// Poses a question and goes on: `then` runs with the answer once the player
// gives it, unless the run has been shut down by then. Questions are shown
// one at a time, in the order they were posed, and never from inside the
// caller: the view may answer at once.
void CUpdateSession::Ask(const IUpdatePrompts::Box& box, IUpdatePrompts::Answer then)
{
    if (m_eState == State::Closed)
        return;
    m_questions.push_back({box, std::move(then)});
    if (m_questions.size() == 1)
        QMetaObject::invokeMethod(this, &CUpdateSession::PoseQuestion, Qt::QueuedConnection);
}

void CUpdateSession::PoseQuestion()
{
    if (m_questions.empty() || m_eState == State::Closed)
        return;
    const std::uint64_t nId = ++m_nQuestionId;
    IUpdatePrompts::Answer answer = [self = QPointer<CUpdateSession>(this), nId](bool bOk) {
        if (self)
            self->OnAnswer(nId, bOk);
    };
    if (!m_pPrompts) {
        // Nobody to ask: every box is closed unanswered.
        QMetaObject::invokeMethod(this, [answer] { answer(false); }, Qt::QueuedConnection);
        return;
    }
    m_pPrompts->Ask(m_questions.front().box, std::move(answer));
}

void CUpdateSession::OnAnswer(std::uint64_t nId, bool bOk)
{
    // A second answer to the same box, or one to a box of a run that has
    // ended, changes nothing.
    if (m_eState == State::Closed || m_questions.empty() || nId != m_nQuestionId)
        return;
    IUpdatePrompts::Answer then = std::move(m_questions.front().then);
    m_questions.pop_front();
    ++m_nQuestionId;
    if (!m_questions.empty())
        QMetaObject::invokeMethod(this, &CUpdateSession::PoseQuestion, Qt::QueuedConnection);
    if (then)
        then(bOk);
}

void CUpdateSession::OnLinkConnect(int nError)
{
    if (m_eState != State::Connecting)
        return;
    if (nError != 0) {
        FailLink();
        return;
    }
    SetStatusText(QStringLiteral("업데이트 서버에 접속 성공"));
    SetState(State::WaitingForVersion);
    SendClientVersion();
}

void CUpdateSession::FailLink()
{
    if (m_pLink)
        m_pLink->Close();
    SetStatusText(LINK_FAILED);
    SetState(State::LinkFailed);
    ArmLaunch(false);
}

void CUpdateSession::OnLinkBroken()
{
    // The link has closed itself. Before the list is complete the session
    // cannot go on; once the files are arriving they need no patch server.
    if (m_eState == State::Connecting || m_eState == State::WaitingForVersion || m_eState == State::CollectingList)
        FailLink();
}

void CUpdateSession::OnSilence()
{
    // A server that took the connection and then says nothing would leave
    // the game button dead for good.
    if (m_eState == State::WaitingForVersion || m_eState == State::CollectingList)
        FailLink();
}

void CUpdateSession::OnFrame(int nType, const QByteArray& payload)
{
    DispatchFrame(nType, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(payload.constData()),
                                                       std::size_t(payload.size())));
}

void CUpdateSession::DispatchFrame(std::int32_t type, std::span<const std::uint8_t> payload)
{
    if (m_eState == State::Closed || m_eState == State::LinkFailed)
        return;
    if (m_silenceTimer.isActive())
        m_silenceTimer.start();  // the server spoke: it gets its full wait again

    // A payload shorter than its record is ignored like an unknown frame.
    switch (type) {
    case orvanta::FRAME_SERVER_VERSION: {
        const auto version = orvanta::DecodeInt32(payload);
        if (!version || m_eState != State::WaitingForVersion)
            return;
        m_nServerVersion = *version;
        const std::int32_t nClient = m_settings.nClientVersion;
        if (m_nServerVersion == AskedVersion()) {
            // The server hears that nothing is fetched before the player sees it.
            SendUpToDate();
            SetStatusText(QStringLiteral("변경될 파일이 없습니다.(설치버전:%1)").arg(nClient));
            SetState(State::UpToDate);
            ArmLaunch(true);
            OnGameServer();
        } else if (m_bRepair) {
            SetStatusText(QStringLiteral("Ver.%1 파일 검사 및 복구").arg(m_nServerVersion));
            SetState(State::CollectingList);
        } else {
            SetStatusText(QStringLiteral("Ver.%1에서 Ver.%2으로 업데이트").arg(nClient).arg(m_nServerVersion));
            SetState(State::CollectingList);
        }
        return;
    }
    case orvanta::FRAME_FILE_ENTRY: {
        // Entries count only while the list is being collected: the
        // sequencer walks the list by index and has totalled its sizes.
        if (m_eState != State::CollectingList)
            return;
        auto entry = orvanta::DecodeFileEntry(payload);
        if (!entry)
            return;
        if (m_fileList.size() >= m_nMaxEntries) {
            // No real release is this long; a server that sends more is
            // broken or hostile, and memory is not its to take.
            FailLink();
            return;
        }
        m_fileList.push_back(std::move(*entry));
        return;
    }
    case orvanta::FRAME_FTP_INFO: {
        // One login per run: a repeated frame 14 during the login or the
        // download changes nothing.
        if (m_eState != State::CollectingList)
            return;
        auto info = orvanta::DecodeFtpInfo(payload);
        if (!info)
            return;
        m_ftpInfo = std::move(*info);
        SetState(State::LoggingIn);
        ConnectFtp();
        return;
    }
    case orvanta::FRAME_HTTP_SOURCE: {
        // Counts until the login: the files' source is chosen there. One
        // that is no safe http(s) URL is ignored like an unknown frame.
        if (m_eState != State::WaitingForVersion && m_eState != State::CollectingList)
            return;
        const auto info = orvanta::DecodeHttpSourceInfo(payload);
        if (const auto base = info ? orvanta::HttpSourceBase(info->url) : std::nullopt)
            m_httpSource = *base;
        return;
    }
    case orvanta::FRAME_GAME_SERVER: {
        const auto info = orvanta::DecodeGameServerInfo(payload);
        if (!info)
            return;
        m_strGameIp = QString::fromStdString(orvanta::Cp949ToUtf8(info->address));
        m_nGamePort = info->port;
        m_bGameServerSent = true;
        OnGameServer();
        return;
    }
    default:
        // Types 10, 16 and 18 are the updater's own; nothing else exists.
        return;
    }
}

// The game server's address is the server's last word. It counts where the
// run has reached an end; one that comes early (before the version, or
// while files arrive) is kept and counts once the run gets there.
void CUpdateSession::OnGameServer()
{
    if (!m_bGameServerSent)
        return;
    switch (m_eState) {
    case State::UpToDate:
    case State::Ready:
        SetState(State::Ready);
        ArmLaunch(true);
        break;
    case State::Done:
        // The server's version becomes the installed one only once its
        // files are all in place.
        if (m_nServerVersion != m_settings.nClientVersion && m_settings.bStoreFolder)
            orvanta::settings::WriteNumberValue(orvanta::settings::CLIENT_VERSION, m_nServerVersion);
        SetState(State::Ready);
        ArmLaunch(true);
        break;
    case State::FtpFailed:
    case State::DownloadStopped:
    case State::DownloadBroken:
    case State::Refused:
        // The files are not current: the game may start, after the player
        // has been warned.
        ArmLaunch(false);
        break;
    default:
        // Files are still to arrive: nothing is armed before they have.
        break;
    }
}

std::int32_t CUpdateSession::AskedVersion() const
{
    // A repair asks for the whole release, as a fresh install does.
    return m_bRepair ? 0 : m_settings.nClientVersion;
}

void CUpdateSession::SendClientVersion()
{
    if (m_pLink)
        m_pLink->SendFrame(orvanta::FRAME_CLIENT_VERSION, orvanta::EncodeInt32(AskedVersion()));
}

void CUpdateSession::SendUpdateDone()
{
    if (m_pLink)
        m_pLink->SendFrame(orvanta::FRAME_UPDATE_DONE, EMPTY_PAYLOAD);
}

void CUpdateSession::SendUpToDate()
{
    if (m_pLink)
        m_pLink->SendFrame(orvanta::FRAME_UP_TO_DATE, EMPTY_PAYLOAD);
}

void CUpdateSession::ConnectFtp()
{
    // Refused before any byte goes out: a line break in a credential would
    // make the server run a command of the patch server's choosing.
    const orvanta::FtpInfo& info = m_ftpInfo;
    const bool bClean = !HasControlChar(info.host) && !HasControlChar(info.user) && !HasControlChar(info.password);
    const orvanta::HostPort endpoint = orvanta::SplitHostPort(info.host);
    if (m_pFtp) {
        m_pFtp->SetMaxConnections(m_settings.nConnections);
        m_pFtp->SetMaxRate(m_settings.nMaxRate);
        m_pFtp->SetPassive(m_settings.bPassive);
        m_pFtp->SetHttpSource(HttpSource(), m_nServerVersion);
    }
    if (!bClean || !m_pFtp ||
        !m_pFtp->Connect(endpoint.host, endpoint.port, info.user, info.password, [this](bool bOk) {
            // Both attempts failed: the status line follows the box.
            if (!bOk && m_eState == State::LoggingIn) {
                Ask({IUpdatePrompts::Box::Owner::None, false, QStringLiteral("-_-;;"),
                     QStringLiteral("FTP접속 실패입니다."), QStringLiteral("ftpLoginBox")},
                    [this](bool) { OnFtpConnected(false); });
                return;
            }
            OnFtpConnected(bOk);
        }))
        OnFtpConnected(false);
}

void CUpdateSession::OnFtpConnected(bool bOk)
{
    if (m_eState != State::LoggingIn)
        return;
    if (!bOk) {
        SetStatusText(QStringLiteral("자동 패치 FTP서버 접속에 실패했습니다."));
        SetState(State::FtpFailed);
        ArmLaunch(false);
        return;
    }
    m_pFtp->SetStatusSink(this, [this](std::uint32_t dwStatus, const FtpStatusInfo& info) {
        OnFtpStatus(dwStatus, &info);
    });
    if (!m_trustedKey) {
        StartCheck();
        return;
    }
    // Nothing is written before the release is known to be the publisher's.
    SetState(State::Verifying);
    if (!m_pFtp->FetchFile(orvanta::RELEASE_SIGNATURE_PATH, orvanta::MAX_SIGNATURE_FILE,
                           [this](const std::shared_ptr<const std::string>& pFile) { OnSignatureFile(pFile); }))
        OnSignatureFile(nullptr);
}

std::optional<orvanta::Ed25519PublicKey> CUpdateSession::BuildTrustedKey()
{
    const auto key = orvanta::FromHex(ORVANTA_RELEASE_PUBLIC_KEY);
    if (!key || key->size() != orvanta::Ed25519PublicKey().size())
        return std::nullopt;
    orvanta::Ed25519PublicKey value{};
    std::copy(key->begin(), key->end(), value.begin());
    return value;
}

std::optional<orvanta::ReleaseManifest> CUpdateSession::SignedRelease(const std::string& file, Refusal* pWhy) const
{
    auto signedFile = orvanta::ParseSignatureFile(file);
    if (!signedFile || !orvanta::VerifyEd25519(*m_trustedKey, signedFile->message, signedFile->signature)) {
        *pWhy = Refusal::BadSignature;
        return std::nullopt;
    }
    // The signed release must be the one the server announced, no older
    // than what is installed (an old release replayed would take the game
    // back), and hold every entry of the list as the server sent it.
    orvanta::ReleaseManifest& manifest = signedFile->manifest;
    if (manifest.nVersion != m_nServerVersion) {
        *pWhy = Refusal::OtherVersion;
        return std::nullopt;
    }
    if (manifest.nVersion < m_settings.nClientVersion) {
        *pWhy = Refusal::Older;
        return std::nullopt;
    }
    if (!orvanta::IsPartOfManifest(m_fileList, manifest)) {
        *pWhy = Refusal::Unsigned;
        return std::nullopt;
    }
    // A server may leave out what the player already has (a list of what
    // changed since the installed version). What it left out is checked
    // against the signed digests before the sequence and fetched where the
    // player's file differs; a signed entry no list could carry is the
    // publisher's mistake, and refused.
    std::set<std::pair<std::string, std::string>> listed;
    for (const orvanta::FileEntry& entry : m_fileList)
        listed.emplace(entry.folder, entry.name);
    for (const orvanta::FileEntry& entry : manifest.entries) {
        if (!listed.contains({entry.folder, entry.name}) && !orvanta::IsSafeEntry(entry.folder, entry.name)) {
            *pWhy = Refusal::UnsafeEntry;
            return std::nullopt;
        }
    }
    return std::move(manifest);
}

void CUpdateSession::OnSignatureFile(const std::shared_ptr<const std::string>& pFile)
{
    if (m_eState != State::Verifying)
        return;
    m_eRefusal = Refusal::NoSignature;
    if (pFile)
        m_manifest = SignedRelease(*pFile, &m_eRefusal);
    if (!m_manifest) {
        SetStatusText(QStringLiteral("패치 서명을 확인할 수 없어 업데이트를 중단했습니다."));
        SetState(State::Refused);
        ArmLaunch(false);
        return;
    }
    StartCheck();
}
