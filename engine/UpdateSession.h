#pragma once

#include "engine/UpdatePrompts.h"
#include "patch/Records.h"
#include "settings/RunSettings.h"
#include "patch/Manifest.h"
#include "transfer/Crypto.h"
#include "transfer/DigestCache.h"
#include "transfer/FtpSession.h"
#include "transfer/PathRules.h"
#include "transfer/Progress.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

class CPatchLink;
class CMarkWriter;
namespace orvanta {
class CLocalCheck;
}

// The road of one update run, with no window in sight: the patch link and
// its conversation, the file list and the FTP credentials, the download
// sequence with its counters and resume mark, and the two flags the game
// button reads. It lives on one thread (the window's, or a terminal
// program's main thread) and reports through signals; the few decisions
// that belong to the player go through IUpdatePrompts.
class CUpdateSession final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUpdateSession)

public:
    // Where the run stands. Exactly one at a time: a run cannot be
    // downloading and done, or done and failed, together.
    enum class State {
        Idle,               // not started
        Connecting,         // the link is being opened
        WaitingForVersion,  // frame 10 sent
        UpToDate,           // equal versions: frame 18 sent, the game button armed
        CollectingList,     // different versions: frames 13 until frame 14
        LoggingIn,          // frame 14 taken, the FTP login under way
        Verifying,          // the release's signature is being fetched and checked
        Checking,           // the player's files are compared with the release before the sequence
        Downloading,        // the sequence runs
        Done,               // every file arrived whole; frames 16 and 18 sent
        Ready,              // frame 19 arrived at a good end: the game can start
        LinkFailed,         // end: no patch server (refused, silent, or broken)
        FtpFailed,          // end: the FTP login failed
        DownloadStopped,    // end: a transfer could not start and the player gave up, or the disk took no file (Fault())
        DownloadBroken,     // end: a file came up short or the FTP connection closed
        Refused,            // end: the release is not signed by the publisher; nothing written
        Closed,             // shut down
    };
    Q_ENUM(State)
    // How a run ended, told once by finished().
    enum class Outcome {
        UpToDate,    // nothing to fetch; the server's game address came
        Updated,     // every file in place and the version recorded
        Unrecorded,  // every file in place, but no game address came: the version is not recorded
        LinkFailed,
        FtpFailed,
        Stopped,     // a transfer could not start and the player gave up, or the disk took no file
        Broken,      // a file came up short or the FTP connection closed
        Refused,     // the release is not the publisher's
    };
    Q_ENUM(Outcome)
    // Why a release was refused (Outcome::Refused).
    enum class Refusal {
        NoSignature,   // the FTP server has no signature file, or it could not be fetched
        BadSignature,  // not signed with the key this build trusts, or not a signature file
        OtherVersion,  // signed for another version than the patch server announced
        Older,         // older than the installed version
        Unsigned,      // the list holds an entry the signature does not
        UnsafeEntry,   // the signed release names a path no updater may write
    };
    Q_ENUM(Refusal)
    // The name scripts read for an outcome, the same from every front-end:
    // "up-to-date", "done", "unrecorded", "link-failed", "ftp-failed",
    // "stopped", "broken", "refused".
    static QString OutcomeName(Outcome eOutcome);
    // Whether the run's own work is over: it ended, or it waits for nothing
    // but the patch server's game address (UpToDate, Done).
    static bool IsFinal(State eState);

    // Limits on what the patch server may make the run hold or wait for.
    static constexpr std::size_t DEFAULT_MAX_ENTRIES = orvanta::MAX_LIST_ENTRIES;
    static constexpr int DEFAULT_SILENCE_MS = 30000;

    explicit CUpdateSession(IUpdatePrompts* pPrompts, QObject* parent = nullptr);
    ~CUpdateSession() override;

    // Starts the run: loads the settings (the command-line host, when
    // given, replaces the stored one), opens the link and the FTP session.
    // Once per session; later calls do nothing.
    void Start(const QString& commandLineHost = QString());
    // As Start, with settings the caller has read (tests, the terminal
    // front-end's overrides).
    void StartWith(const orvanta::settings::RunSettings& settings);

    // Ends the run for good, from any state: the link goes, the transfer in
    // flight is cancelled (its old file stays whole), and every resume mark
    // given is written. Nothing is reported after it.
    void Shutdown();

    // Before Start.
    void SetMaxEntries(std::size_t nMax) { m_nMaxEntries = nMax; }
    void SetSilenceTimeout(int nMs) { m_silenceTimer.setInterval(nMs); }
    void SetConnectTimeout(int nMs) { m_nConnectTimeoutMs = nMs; }
    void SetFtpTimeouts(const FtpTimeouts& timeouts) { m_ftpTimeouts = timeouts; }
    // How long the run waits for the game server's address once its files
    // are in place, before it finishes as Unrecorded (10 s).
    void SetGameServerWait(int nMs) { m_gameServerTimer.setInterval(nMs); }
    // The player changed the FTP mode (the options dialog): it holds from
    // the next login on.
    void SetPassive(bool bPassive) { m_settings.bPassive = bPassive; }
    // The player's rate limit (bytes per second over all connections; 0:
    // none), from the options dialog: it holds at once.
    void SetMaxRate(std::uint64_t nBytesPerSecond);
    // A repair: the server is asked as a fresh install would ask, every
    // file of the release is read and compared (no digest is taken from the
    // cache), and only what differs is fetched. The installed version is
    // recorded as usual at the end.
    void SetRepair(bool bRepair) { m_bRepair = bRepair; }
    bool IsRepair() const { return m_bRepair; }
    // Where the digests of the game folder's files are kept between runs
    // (settings::DigestCacheLocation unless a test says otherwise); empty:
    // nowhere, every check reads every file.
    void SetDigestCachePath(const QString& path) { m_digestCachePath = path; }
    // The publisher's key releases must be signed with. The program uses
    // the one it was built with (BuildTrustedKey); tests set their own.
    void SetTrustedKey(std::optional<orvanta::Ed25519PublicKey> key) { m_trustedKey = key; }
    static std::optional<orvanta::Ed25519PublicKey> BuildTrustedKey();

    // What the game button does, as the run stands. The front-end carries
    // it out: a downloaded updater goes in first (and the player restarts,
    // no game); otherwise the client starts in the game folder, after the
    // player agreed when the update failed.
    struct Launch {
        enum class Step {
            NotYet,       // the run has not reached an end that allows a launch
            Game,         // up to date: the game server's address
            AskThenGame,  // the update failed: the fixed address, if the player agrees
        };
        Step eStep = Step::NotYet;
        // A downloaded updater waits in the game folder, or the copy an
        // earlier swap moved aside is still there: SwapUpdater's turn.
        bool bSwapUpdater = false;
        QString folder;             // the game folder, the client's working folder
        QString commandLine;
    };
    Launch LaunchPlan() const;

    State GetState() const { return m_eState; }
    bool IsUpToDate() const { return m_bUpToDate; }
    bool IsLaunchReady() const { return m_bLaunchReady; }
    const orvanta::settings::RunSettings& Settings() const { return m_settings; }
    std::int32_t ServerVersion() const { return m_nServerVersion; }
    const std::vector<orvanta::FileEntry>& FileList() const { return m_fileList; }
    const orvanta::FtpInfo& FtpCredentials() const { return m_ftpInfo; }
    const orvanta::DownloadCounters& Counters() const { return m_counters; }
    const QString& GameIp() const { return m_strGameIp; }
    std::int32_t GamePort() const { return m_nGamePort; }
    QString StatusText() const { return m_statusText; }
    Refusal RefusalCause() const { return m_eRefusal; }
    // The base URL the release may also come from over HTTP(S): the one the
    // patch server announced before frame 14, else the build's; empty when
    // there is none.
    std::string HttpSource() const;
    // Why the run stopped on the player's own disk, when it did: the end
    // is DownloadStopped and the status line tells the same.
    const std::optional<orvanta::LocalFault>& Fault() const { return m_localFault; }
    CPatchLink* Link() const { return m_pLink.get(); }

    // The updater's frames; each is dropped when the link cannot take it.
    void SendClientVersion();  // a repair's says 0
    void SendUpdateDone();
    void SendUpToDate();

    // The frame handler and the sequencer's entry point, public so that a
    // test can feed them what a peer would.
    void DispatchFrame(std::int32_t type, std::span<const std::uint8_t> payload);
    void OnFtpStatus(std::uint32_t dwStatus, const FtpStatusInfo* pInfo);

Q_SIGNALS:
    void statusChanged(const QString& text);
    void stateChanged(CUpdateSession::State state);
    // The whole list's size, once the sequence starts.
    void totalsPrepared(quint64 total);
    // nIndex counts from 1.
    void fileStarted(quint64 nIndex, quint64 nCount, const QString& name, quint64 size);
    // Bars take the unclamped counts; texts the counters, which stop at the
    // file's size and the total.
    void bytesCounted(quint64 fileBar, quint64 totalBar, quint64 fileRecv, quint64 fileSize, quint64 allRecv,
                      quint64 total);
    // A file is in place (nIndex counts from 1), in the order files end:
    // with several connections not the list's.
    void fileDone(quint64 nIndex, quint64 nCount, const QString& name, quint64 size);
    // Every file arrived whole: both bars full.
    void downloadComplete(quint64 lastFileSize, quint64 total);
    void launchReadyChanged(bool bReady);
    // The run has ended, whatever road it took: once per run, never after
    // Shutdown. Front-ends act on this, not on the states.
    void finished(CUpdateSession::Outcome outcome);
    // The patch-server host was empty or did not resolve; the run tries the
    // publisher's fixed address.
    void fallbackAddressUsed(const QString& host, const QString& address);

private:
    void OnLinkConnect(int nError);
    void OnLinkBroken();
    void OnFrame(int nType, const QByteArray& payload);
    void OnSilence();
    void OnGameServer();
    void FailLink();
    void ConnectFtp();
    void OnFtpConnected(bool bOk);
    void OnSignatureFile(const std::shared_ptr<const std::string>& pFile);
    std::optional<orvanta::ReleaseManifest> SignedRelease(const std::string& file, Refusal* pWhy) const;
    void StartCheck();
    void OnCheckTick();
    void FinishCheck();
    orvanta::CDigestCache& Digests();
    void SaveDigests();
    void RememberDigest(std::size_t nEntry);
    QString LocalPath(const orvanta::FileEntry& entry) const;

    // The sequencer.
    void StartSequence();
    std::size_t ResumeEntry() const;
    void ProbePatches(std::size_t nFrom);
    void OnProbed(std::size_t nEntry, std::uint64_t nPatchSize);
    void BeginTransfers();
    void OnFallback(std::size_t nEntry, std::uint64_t nWhole);
    std::uint64_t PlannedCost(std::size_t nEntry) const;
    void PrepareTotals();
    void AskRetry(std::size_t nIndex, int nResult);
    int StartEntryTransfer(std::size_t nIndex);
    bool EnsureDirectory(const QByteArray& sub);
    bool InsideGameFolder(const QString& path) const;
    void SaveDownEntry(const QByteArray& folder, const QByteArray& file);
    void StartMoreEntries();
    void SaveMark();
    void ShowEntry();
    void CountBytes(std::size_t nEntry, std::uint64_t nBytes);
    void FinishEntry(std::size_t nEntry, bool bCommitted);
    void FinishList();
    void EndSequence(State eEnd, const QString& status);

    std::int32_t AskedVersion() const;
    void SetState(State eState);
    void Finish(Outcome eOutcome);
    void SetStatusText(const QString& text);
    void ArmLaunch(bool bUpToDate);
    void Ask(const IUpdatePrompts::Box& box, IUpdatePrompts::Answer then);
    void PoseQuestion();
    void OnAnswer(std::uint64_t nId, bool bOk);

    IUpdatePrompts* m_pPrompts;
    struct Question {
        IUpdatePrompts::Box box;
        IUpdatePrompts::Answer then;
    };
    std::deque<Question> m_questions;  // the first is shown
    std::uint64_t m_nQuestionId = 0;   // of the box shown
    bool m_bRetryAsked = false;        // the next entry waits for the player
    State m_eState = State::Idle;
    orvanta::settings::RunSettings m_settings;
    std::int32_t m_nServerVersion = 0;
    bool m_bRepair = false;

    // The two flags the game button reads. Set only where the run reaches
    // an end that allows it; never cleared.
    bool m_bUpToDate = false;
    bool m_bLaunchReady = false;

    std::unique_ptr<CPatchLink> m_pLink;
    std::unique_ptr<CFtpSession> m_pFtp;
    std::unique_ptr<CMarkWriter> m_pMarkWriter;
    orvanta::FtpInfo m_ftpInfo;
    std::vector<orvanta::FileEntry> m_fileList;
    orvanta::DownloadCounters m_counters;
    std::set<std::size_t> m_announced;  // entries in flight whose transfer has begun
    // Patches by entry, once probed (none: the whole file), and the probes
    // still out before the transfers start.
    std::vector<std::optional<FtpPatchPlan>> m_patches;
    std::size_t m_nProbing = 0;
    std::size_t m_nShownFile = static_cast<std::size_t>(-1);  // the entry the view shows
    QString m_strGameIp;
    std::int32_t m_nGamePort = 0;
    std::string m_httpSource;  // announced by the patch server, checked
    bool m_bGameServerSent = false;  // a frame 19 came, whenever it came
    QString m_statusText;
    std::optional<orvanta::LocalFault> m_localFault;
    QString m_gameRoot;  // the game folder's real path, links resolved

    std::optional<orvanta::Ed25519PublicKey> m_trustedKey = BuildTrustedKey();
    // The release as its publisher signed it, once its signature verified.
    std::optional<orvanta::ReleaseManifest> m_manifest;
    Refusal m_eRefusal = Refusal::NoSignature;
    // The check before the sequence: its entries (in its items' order), the
    // reading threads, and the poll that reports their progress.
    std::vector<orvanta::FileEntry> m_checkEntries;
    std::unique_ptr<orvanta::CLocalCheck> m_pCheck;
    QTimer m_checkTimer;
    std::size_t m_nCheckShown = static_cast<std::size_t>(-1);
    QElapsedTimer m_checkNameShown;
    QString m_digestCachePath;
    std::shared_ptr<orvanta::CDigestCache> m_pDigests;  // loaded by the first check or write
    QTimer m_silenceTimer;  // the patch server owes a frame
    QTimer m_gameServerTimer;  // the files are in place; the game address is owed
    bool m_bFinished = false;
    bool m_bFetched = false;  // the run went through Done
    std::size_t m_nMaxEntries = DEFAULT_MAX_ENTRIES;
    int m_nConnectTimeoutMs = -1;  // the link's default
    FtpTimeouts m_ftpTimeouts;
};
