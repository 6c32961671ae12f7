// The download sequence of the update session. Everything here runs on the
// session's thread: the FTP session posts its notifications there, one at a
// time and in order.
#include "engine/UpdateSession.h"

#include "patch/Cp949.h"
#include "patch/Digest.h"
#include "transfer/DiskSync.h"
#include "transfer/MarkWriter.h"
#include "transfer/PathRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <string_view>

namespace {

const QString ERROR_CAPTION = QStringLiteral("오류 발생");
const QString STOPPED = QStringLiteral("파일 업데이트 오류 발생 되었습니다.");

// StartEntryTransfer's own results beside the FTP session's codes.
constexpr int RESULT_NO_FOLDER = -1;   // a folder could not be made
constexpr int RESULT_OUTSIDE = -2;     // the entry would land outside the game folder

enum class Folder { Ready, Failed, Outside };

// Wire texts are CP949; the file system and the view take UTF-8.
QString FromWire(std::string_view bytes)
{
    return QString::fromStdString(orvanta::Cp949ToUtf8(bytes));
}

QString FromWire(const QByteArray& bytes)
{
    return FromWire(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

QByteArray ToBytes(const std::string& text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

std::string_view View(const QByteArray& bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

} // namespace

void CUpdateSession::OnFtpStatus(std::uint32_t dwStatus, const FtpStatusInfo* pInfo)
{
    if (dwStatus == FTP_STATUS_START) {
        StartSequence();
        return;
    }
    // Transfer notifications count only while a sequence runs.
    if (m_eState != State::Downloading || m_counters.nCurFile >= m_fileList.size())
        return;
    if (dwStatus == FTP_STATUS_CONNECTION_ADDED) {
        if (m_nProbing > 0)
            return;  // the transfers have not begun
        StartMoreEntries();
        return;
    }
    const std::size_t nEntry = pInfo ? pInfo->nEntry : m_counters.nCurFile;
    if (nEntry >= m_fileList.size())
        return;
    switch (dwStatus) {
    case FTP_STATUS_BYTES:
        if (pInfo)
            CountBytes(nEntry, pInfo->nBytes);
        break;
    case FTP_STATUS_CONNECTION_CLOSED:
        EndSequence(State::DownloadBroken, QStringLiteral("FTP서버 연결 종료/재실행 하세요"));
        break;
    case FTP_STATUS_LOCAL_FAULT:
        // The player's disk, which no reconnect mends: the run stops and says why.
        if (pInfo && pInfo->fault) {
            m_localFault = pInfo->fault;
            EndSequence(State::DownloadStopped, QString::fromStdString(orvanta::FaultText(*m_localFault)));
        }
        break;
    case FTP_STATUS_TRANSFER_STARTED:
        m_announced.insert(nEntry);
        ShowEntry();
        break;
    case FTP_STATUS_REQUEST_COMPLETE:
        FinishEntry(nEntry, pInfo && pInfo->bCommitted);
        break;
    case FTP_STATUS_PROBED:
        OnProbed(nEntry, pInfo ? pInfo->nBytes : 0);
        break;
    case FTP_STATUS_FALLBACK:
        if (pInfo)
            OnFallback(nEntry, pInfo->nBytes);
        break;
    case FTP_STATUS_RETRYING:
        if (m_counters.inFlight.contains(nEntry)) {
            // It starts over as planned, patch first where there is one.
            m_counters.Uncount(nEntry);
            if (m_counters.Cost(nEntry) != PlannedCost(nEntry)) {
                m_counters.SetCost(nEntry, PlannedCost(nEntry));
                Q_EMIT totalsPrepared(m_counters.dwTotalSize);
            }
            Q_EMIT bytesCounted(m_counters.dwFileRecv, m_counters.dwAllRecv, m_counters.dwFileRecv,
                                m_counters.Cost(m_counters.nCurFile), m_counters.dwAllRecv, m_counters.dwTotalSize);
        }
        break;
    default:
        break;
    }
}

void CUpdateSession::StartSequence()
{
    // A run has one sequence, started by the login it asked for.
    if (m_eState != State::LoggingIn && m_eState != State::Verifying && m_eState != State::Checking)
        return;
    if (m_fileList.empty()) {
        // Nothing to fetch (a release that only removes files, or one
        // version's folder under another number): the update is complete,
        // and the server hears it as after a last file, or it would wait
        // for frame 18 while the run waits for its frame 19.
        SetStatusText(QStringLiteral("업데이트를 완료했습니다."));
        SetState(State::Done);
        SendUpdateDone();
        SendUpToDate();
        ArmLaunch(false);
        OnGameServer();
        return;
    }
    SetState(State::Downloading);
    SetStatusText(QStringLiteral("파일을 업데이트 중입니다"));
    m_counters = orvanta::DownloadCounters{};
    // A list that would write outside the game folder, or that Windows
    // could not hold, is refused whole, before any of it is fetched.
    if (orvanta::FindUnsafeEntry(m_fileList) != std::string::npos) {
        PrepareTotals();
        EndSequence(State::DownloadStopped, STOPPED);
        return;
    }
    const std::size_t nResume = ResumeEntry();
    ProbePatches(nResume == static_cast<std::size_t>(-1) ? 0 : nResume);
    if (m_nProbing == 0)
        BeginTransfers();
}

std::size_t CUpdateSession::ResumeEntry() const
{
    // A mark counts only for the release it was written for: in another
    // release the same name may stand at another place.
    // A repair's list is what differs, which a mark of an earlier run
    // says nothing of.
    if (m_settings.nDownVersion != m_nServerVersion || m_bRepair)
        return static_cast<std::size_t>(-1);
    return orvanta::FindResumeEntry(m_fileList, View(m_settings.szDownFolder), View(m_settings.szDownFile));
}

// Entries that name a patch from an older file are looked at before the
// totals are made: where the player has that file and the server the
// patch, the patch is what the entry costs.
void CUpdateSession::ProbePatches(std::size_t nFrom)
{
    m_patches.assign(m_fileList.size(), std::nullopt);
    m_nProbing = 0;
    if (!m_pFtp)
        return;
    // Each file of the player's is read once, however often a list names it.
    QSet<QString> probed;
    for (std::size_t i = nFrom; i < m_fileList.size(); ++i) {
        const orvanta::FileEntry& entry = m_fileList[i];
        const auto base = orvanta::EntryBasePrefix(entry);
        const auto digest = orvanta::EntryDigest(entry);
        if (!base || !digest || entry.size == 0)
            continue;
        const QString localPath = m_settings.szClientPath + FromWire(orvanta::RemotePath(entry.folder, entry.name));
        const QFileInfo local(localPath);
        // Only a file of the player's, inside the game folder, is a base.
        if (!local.isFile() || local.isSymLink() || !InsideGameFolder(local.absolutePath()) ||
            probed.contains(localPath))
            continue;
        probed.insert(localPath);
        const std::string patchPath = orvanta::RemotePath(entry.folder, orvanta::PatchFileName(entry.name, *base, *digest));
        if (m_pFtp->ProbePatch(localPath, *base, *digest, patchPath, entry.size, i)) {
            m_patches[i] = FtpPatchPlan{patchPath, 0};
            ++m_nProbing;
        }
    }
}

void CUpdateSession::OnProbed(std::size_t nEntry, std::uint64_t nPatchSize)
{
    if (m_nProbing == 0)
        return;
    std::optional<FtpPatchPlan>& patch = m_patches[nEntry];
    if (patch && nPatchSize > 0 && nPatchSize < m_fileList[nEntry].size)
        patch->nSize = nPatchSize;
    else
        patch.reset();
    if (--m_nProbing == 0)
        BeginTransfers();
}

void CUpdateSession::BeginTransfers()
{
    PrepareTotals();
    SaveMark();
    StartMoreEntries();
}

// A patch that did not give the new file: the whole file follows it. The
// entry's cost becomes what was counted of the patch (all of it, part of it
// or nothing, when it vanished from the server) plus the file, so that a
// good file still meets its cost and the run completes.
void CUpdateSession::OnFallback(std::size_t nEntry, std::uint64_t nWhole)
{
    if (!m_counters.inFlight.contains(nEntry))
        return;
    m_counters.SetCost(nEntry, m_counters.Received(nEntry) + nWhole);
    Q_EMIT totalsPrepared(m_counters.dwTotalSize);
    if (nEntry == m_nShownFile) {
        m_nShownFile = static_cast<std::size_t>(-1);
        ShowEntry();
    }
}

std::uint64_t CUpdateSession::PlannedCost(std::size_t nEntry) const
{
    return nEntry < m_patches.size() && m_patches[nEntry] ? m_patches[nEntry]->nSize : m_fileList[nEntry].size;
}

void CUpdateSession::PrepareTotals()
{
    std::vector<std::uint64_t> costs(m_fileList.size());
    for (std::size_t i = 0; i < m_fileList.size(); ++i)
        costs[i] = PlannedCost(i);
    m_counters.Prepare(m_fileList, ResumeEntry(), costs);
    m_announced.clear();
    m_nShownFile = static_cast<std::size_t>(-1);
    Q_EMIT totalsPrepared(m_counters.dwTotalSize);
}

// Starts entries in list order until every logged-in connection has one.
// An entry that cannot start waits for the player, and so do the ones after
// it; the transfers under way go on meanwhile.
void CUpdateSession::StartMoreEntries()
{
    const std::size_t nConnections = m_pFtp ? std::size_t(std::max(1, m_pFtp->Connections())) : 1;
    while (m_eState == State::Downloading && !m_bRetryAsked && m_counters.inFlight.size() < nConnections &&
           m_counters.nNextEntry < m_fileList.size()) {
        const std::size_t nIndex = m_counters.nNextEntry;
        const int nResult = StartEntryTransfer(nIndex);
        if (nResult == RESULT_OUTSIDE) {
            EndSequence(State::DownloadStopped, STOPPED);
            return;
        }
        if (nResult != FTP_OK && nResult != FTP_IO_PENDING) {
            AskRetry(nIndex, nResult);
            return;
        }
        m_counters.nNextEntry = nIndex + 1;
        m_counters.inFlight.emplace(nIndex, 0);
    }
}

void CUpdateSession::AskRetry(std::size_t nIndex, int nResult)
{
    IUpdatePrompts::Box box{IUpdatePrompts::Box::Owner::Window, true, ERROR_CAPTION, QString(),
                            QStringLiteral("retryQuestion")};
    box.text = nResult == RESULT_NO_FOLDER
                   ? QStringLiteral("해당 파일일이 위치한 폴더 구성에 실해 하였습니다.\n다시 시도하시겠습니다")
                   : QString::fromStdString(orvanta::RetryQuestion(FromWire(m_fileList[nIndex].name).toStdString(),
                                                                   nResult, m_pFtp ? m_pFtp->LastFault() : std::nullopt));
    m_bRetryAsked = true;
    Ask(box, [this](bool bRetry) {
        m_bRetryAsked = false;
        if (m_eState != State::Downloading)
            return;  // the sequence ended while the player was asked
        if (bRetry)
            StartMoreEntries();
        else
            EndSequence(State::DownloadStopped, STOPPED);
    });
}

int CUpdateSession::StartEntryTransfer(std::size_t nIndex)
{
    const orvanta::FileEntry& entry = m_fileList[nIndex];
    for (const std::string& step : orvanta::FolderSteps(entry.folder)) {
        const Folder eFolder = [&] {
            const QByteArray sub = ToBytes(step);
            QString path = m_settings.szClientPath + FromWire(sub);
            if (path.endsWith(QLatin1Char('/')))
                path.chop(1);
            const QFileInfo info(path);
            if (info.exists() || info.isSymLink()) {
                // A folder that is a link (or lies behind one) may lead
                // anywhere: only one whose real place is inside is used.
                if (!sub.isEmpty() && !InsideGameFolder(path))
                    return Folder::Outside;
                if (info.isDir())
                    return Folder::Ready;
            }
            return EnsureDirectory(sub) ? Folder::Ready : Folder::Failed;
        }();
        if (eFolder == Folder::Outside)
            return RESULT_OUTSIDE;
        if (eFolder == Folder::Failed)
            return RESULT_NO_FOLDER;
    }
    const std::string remotePath = orvanta::RemotePath(entry.folder, entry.name);
    if (!m_pFtp)
        return FTP_ERROR_NOT_CONNECTED;
    return m_pFtp->GetFile(remotePath, m_settings.szClientPath + FromWire(remotePath), entry.size,
                           orvanta::EntryDigest(entry), nIndex,
                           nIndex < m_patches.size() ? m_patches[nIndex] : std::nullopt);
}

bool CUpdateSession::EnsureDirectory(const QByteArray& sub)
{
    QString path = m_settings.szClientPath + FromWire(sub);
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (QFileInfo(path).isDir())
        return true;
    if (!QDir().mkdir(path)) {
        Ask({IUpdatePrompts::Box::Owner::Application, false, QString(), QStringLiteral("디렉토리를 만들 수 없습니다."),
             QStringLiteral("directoryBox")},
            {});
        return false;
    }
    return true;
}

bool CUpdateSession::InsideGameFolder(const QString& path) const
{
    const QString root = QFileInfo(m_settings.szClientPath).canonicalFilePath();
    const QString real = QFileInfo(path).canonicalFilePath();
    if (root.isEmpty() || real.isEmpty())
        return false;
    return real == root || real.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'));
}

void CUpdateSession::SaveDownEntry(const QByteArray& folder, const QByteArray& file)
{
    if (!m_settings.bStoreFolder)
        return;
    if (!m_pMarkWriter) {
        // A mark that moves past a file says it is in place: so it must be,
        // on disk, before the mark is.
        const std::filesystem::path gameFolder = QFile::encodeName(m_settings.szClientPath).toStdString();
        m_pMarkWriter = std::make_unique<CMarkWriter>([gameFolder] { orvanta::SyncFolderTree(gameFolder); });
    }
    m_pMarkWriter->Save({FromWire(folder), FromWire(file), m_nServerVersion});
}

// The mark names the lowest-numbered entry not yet complete, so that a
// resume never passes a file that is not in place.
void CUpdateSession::SaveMark()
{
    const orvanta::FileEntry& entry = m_fileList[m_counters.nCurFile];
    SaveDownEntry(ToBytes(entry.folder), ToBytes(entry.name));
}

// The view shows the lowest-numbered entry not yet complete, once its
// transfer has begun.
void CUpdateSession::ShowEntry()
{
    const std::size_t nCur = m_counters.nCurFile;
    if (nCur >= m_fileList.size() || nCur == m_nShownFile || !m_announced.contains(nCur))
        return;
    m_nShownFile = nCur;
    const orvanta::FileEntry& entry = m_fileList[nCur];
    const std::uint64_t nCost = m_counters.Cost(nCur);
    Q_EMIT fileStarted(nCur + 1, m_fileList.size(), FromWire(entry.name), nCost);
    if (m_counters.dwFileRecv > 0)
        Q_EMIT bytesCounted(m_counters.dwFileRecv, m_counters.dwAllRecv, m_counters.dwFileRecv, nCost,
                            m_counters.dwAllRecv, m_counters.dwTotalSize);
}

void CUpdateSession::CountBytes(std::size_t nEntry, std::uint64_t nBytes)
{
    const orvanta::DownloadCounters::Bars bars = m_counters.Count(nEntry, nBytes, m_counters.Cost(nEntry));
    if (m_nShownFile != m_counters.nCurFile && m_nShownFile < m_fileList.size()) {
        // The file shown is complete and the next one has not begun: the
        // file bar and its counter stay full, under the name they belong to.
        const std::uint64_t nShown = m_counters.Cost(m_nShownFile);
        Q_EMIT bytesCounted(nShown, bars.total, nShown, nShown, m_counters.dwAllRecv, m_counters.dwTotalSize);
        return;
    }
    Q_EMIT bytesCounted(bars.file, bars.total, m_counters.dwFileRecv, m_counters.Cost(m_counters.nCurFile),
                        m_counters.dwAllRecv, m_counters.dwTotalSize);
}

// A file counts only when the FTP session put it in place: a transfer that
// completed without its whole file is a short file, the last one too. The
// last entry is judged with the whole list's count once every file is in.
void CUpdateSession::FinishEntry(std::size_t nEntry, bool bCommitted)
{
    const std::size_t nCount = m_fileList.size();
    if (!m_counters.inFlight.contains(nEntry))
        return;  // not one this sequence started
    const bool bLast = nEntry + 1 == nCount;
    if (!bCommitted || (!bLast && m_counters.Cost(nEntry) != m_counters.Received(nEntry))) {
        m_counters.dwFileRecv = 0;
        EndSequence(State::DownloadBroken, bLast ? QStringLiteral("파일 갱신 문제 발생/재시도 하세요")
                                                 : QStringLiteral("파일 갱신 오류 발생/다시 접속 시도하세요"));
        return;
    }
    m_announced.erase(nEntry);
    RememberDigest(nEntry);
    Q_EMIT fileDone(nEntry + 1, nCount, FromWire(m_fileList[nEntry].name), m_counters.Cost(nEntry));
    if (m_counters.Complete(nEntry)) {
        if (m_counters.nCurFile >= nCount) {
            FinishList();
            return;
        }
        SaveMark();
        ShowEntry();
    }
    StartMoreEntries();
}

void CUpdateSession::FinishList()
{
    const std::uint64_t nSize = m_counters.Cost(m_fileList.size() - 1);
    m_counters.dwFileRecv = 0;
    if (m_counters.dwTotalSize != m_counters.dwAllRecv) {
        EndSequence(State::DownloadBroken, QStringLiteral("파일 갱신 문제 발생/재시도 하세요"));
        return;
    }
    // The cleared mark is on disk before the server hears of the end, and
    // so before frame 19 can record the new version: a crash in between
    // must not leave a new version with an old mark.
    SaveDownEntry(QByteArray(), QByteArray());
    if (m_pMarkWriter)
        m_pMarkWriter->Flush();
    SaveDigests();
    // The view ends on the last entry, whichever connection finished last.
    const std::size_t nLast = m_fileList.size() - 1;
    if (m_nShownFile != nLast) {
        m_nShownFile = nLast;
        Q_EMIT fileStarted(nLast + 1, m_fileList.size(), FromWire(m_fileList[nLast].name), nSize);
    }
    Q_EMIT bytesCounted(nSize, m_counters.dwTotalSize, nSize, nSize, m_counters.dwAllRecv, m_counters.dwTotalSize);
    Q_EMIT downloadComplete(nSize, m_counters.dwTotalSize);
    SetStatusText(QStringLiteral("업데이트를 완료했습니다."));
    SetState(State::Done);
    SendUpdateDone();
    SendUpToDate();
    ArmLaunch(false);
    OnGameServer();
}

void CUpdateSession::EndSequence(State eEnd, const QString& status)
{
    if (m_eState == State::Closed)
        return;
    // The transfers still running stop where they are: their targets keep
    // the old files, and nothing of theirs counts any more.
    if (m_eState == State::Downloading && m_pFtp)
        m_pFtp->CloseInternet();
    SaveDigests();
    SetStatusText(status);
    SetState(eEnd);
    // Giving up leaves the choice to the player; a broken transfer leaves
    // the flags as they are.
    if (eEnd == State::DownloadStopped)
        ArmLaunch(false);
    OnGameServer();
}
