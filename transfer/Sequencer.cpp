// The download sequencer of CUpdaterDlg. Everything here runs on the
// window's thread: the session posts its notifications there, one at a time.
#include "ui/UpdaterDlg.h"

#include "patch/Cp949.h"
#include "settings/SettingsStore.h"
#include "transfer/FtpSession.h"
#include "transfer/PathRules.h"
#include "ui/Platform.h"
#include "ui/ProgressCtrl.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>

#include <algorithm>
#include <limits>
#include <string_view>

std::size_t g_nCurFile = 0;
std::uint64_t g_dwFileRecv = 0;
std::uint64_t g_dwAllRecv = 0;
std::uint64_t g_dwLastFileRecv = 0;

namespace {

const QString ERROR_CAPTION = QStringLiteral("오류 발생");

// Wire texts are CP949; the file system and the window take UTF-8.
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

bool SameBytes(const std::string& text, const QByteArray& bytes)
{
    return std::string_view(text) == std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

QString Counter(std::uint64_t nDone, std::uint64_t nOf)
{
    return QStringLiteral("%1 / %2").arg(qulonglong(nDone)).arg(qulonglong(nOf));
}

std::int64_t BarValue(std::uint64_t n)
{
    return std::int64_t(std::min<std::uint64_t>(n, std::numeric_limits<std::int64_t>::max()));
}

void EndSequence(CUpdaterDlg& dlg, const QString& status, bool bArmLaunch)
{
    dlg.SetStatusText(status);
    if (bArmLaunch)
        dlg.m_bLaunchReady = true;
    dlg.m_bDownloading = false;
}

void GiveUp(CUpdaterDlg& dlg)
{
    EndSequence(dlg, QStringLiteral("파일 업데이트 오류 발생 되었습니다."), true);
}

void StartSequence(CUpdaterDlg& dlg)
{
    // A run has one sequence; a late or second start signal changes nothing.
    if (dlg.m_fileList.empty() || dlg.m_bSequenceStarted)
        return;
    dlg.m_bSequenceStarted = true;
    dlg.m_bDownloading = true;
    dlg.SetStatusText(QStringLiteral("파일을 업데이트 중입니다"));
    dlg.PrepareTotals();
    // A list that would write outside the game folder, or that Windows
    // could not hold, is refused whole, before any of it is fetched.
    const bool bSafe = orvanta::FindUnsafeEntry(dlg.m_fileList) == std::string::npos;
    if (!bSafe || !dlg.DownloadEntry(g_nCurFile)) {
        if (!dlg.m_bClosing)
            GiveUp(dlg);
    }
}

void ShowEntry(CUpdaterDlg& dlg)
{
    const orvanta::FileEntry& entry = dlg.m_fileList[g_nCurFile];
    dlg.m_progFile->SetRange64(0, std::int64_t(entry.size) - 1);
    dlg.m_stFileName->setText(FromWire(entry.name));
    dlg.m_stFileCount->setText(Counter(g_nCurFile + 1, dlg.m_fileList.size()));
}

void CountBytes(CUpdaterDlg& dlg, std::uint64_t nBytes)
{
    const std::uint64_t nSize = dlg.m_fileList[g_nCurFile].size;
    g_dwFileRecv += nBytes;
    g_dwAllRecv += nBytes;
    dlg.m_progFile->SetPos64(BarValue(g_dwFileRecv));
    dlg.m_progTotal->SetPos64(BarValue(g_dwAllRecv));
    g_dwFileRecv = std::min(g_dwFileRecv, nSize);
    g_dwAllRecv = std::min(g_dwAllRecv, dlg.m_dwTotalSize);
    dlg.m_stFileBytes->setText(Counter(g_dwFileRecv, nSize));
    dlg.m_stTotalBytes->setText(Counter(g_dwAllRecv, dlg.m_dwTotalSize));
    g_dwLastFileRecv = g_dwFileRecv;
}

// A file counts only when the session put it in place: a transfer that
// completed without its whole file is a short file, the last one too.
void FinishEntry(CUpdaterDlg& dlg, bool bCommitted)
{
    const std::size_t i = g_nCurFile;
    const std::uint64_t nSize = dlg.m_fileList[i].size;
    if (i + 1 < dlg.m_fileList.size()) {
        if (bCommitted && nSize == g_dwLastFileRecv) {
            g_nCurFile = i + 1;
            g_dwLastFileRecv = 0;
            if (dlg.DownloadEntry(i + 1))
                g_dwFileRecv = 0;
            else if (!dlg.m_bClosing)
                GiveUp(dlg);
        } else {
            g_dwFileRecv = 0;
            EndSequence(dlg, QStringLiteral("파일 갱신 오류 발생/다시 접속 시도하세요"), false);
        }
        return;
    }
    if (bCommitted && dlg.m_dwTotalSize == g_dwAllRecv) {
        dlg.SaveDownEntry(QByteArray(), QByteArray());
        dlg.m_progFile->SetPos64(BarValue(nSize));
        dlg.m_progTotal->SetPos64(BarValue(dlg.m_dwTotalSize));
        dlg.m_bDownloadComplete = true;
        EndSequence(dlg, QStringLiteral("업데이트를 완료했습니다."), false);
        dlg.SendUpdateDone();
        dlg.SendUpToDate();
        dlg.m_bLaunchReady = true;
    } else {
        EndSequence(dlg, QStringLiteral("파일 갱신 문제 발생/재시도 하세요"), false);
    }
    g_dwFileRecv = 0;
}

} // namespace

void CUpdaterDlg::ConnectFtp()
{
    CFtpSession* pSession = CFtpSession::GetInstance();
    const FtpEndpoint endpoint = ParseFtpEndpoint(m_ftpInfo.host);
    const QPointer<CUpdaterDlg> pThis(this);
    const auto onDone = [pThis](bool bOk) {
        if (pThis && !pThis->m_bClosing)
            pThis->OnFtpConnected(bOk);
    };
    if (!pSession || !pSession->Connect(endpoint.host, endpoint.port, m_ftpInfo.user, m_ftpInfo.password, onDone))
        OnFtpConnected(false);
}

void CUpdaterDlg::OnFtpConnected(bool bOk)
{
    if (m_bClosing)
        return;
    if (!bOk) {
        SetStatusText(QStringLiteral("자동 패치 FTP서버 접속에 실패했습니다."));
        m_bLaunchReady = true;
        return;
    }
    if (CFtpSession* pSession = CFtpSession::GetInstance()) {
        pSession->SetStatusSink(this, [this](std::uint32_t dwStatus, const FtpStatusInfo& info) {
            OnFtpStatus(dwStatus, &info);
        });
    }
    if (m_fileList.empty())
        m_bDownloadComplete = true;  // nothing to fetch
    OnFtpStatus(FTP_STATUS_START, nullptr);
}

void CUpdaterDlg::OnFtpStatus(std::uint32_t dwStatus, const FtpStatusInfo* pInfo)
{
    if (m_bClosing)
        return;
    if (dwStatus == FTP_STATUS_START) {
        StartSequence(*this);
        return;
    }
    // Transfer notifications count only while a sequence runs.
    if (!m_bDownloading || g_nCurFile >= m_fileList.size())
        return;
    switch (dwStatus) {
    case FTP_STATUS_BYTES:
        if (pInfo)
            CountBytes(*this, pInfo->nBytes);
        break;
    case FTP_STATUS_CONNECTION_CLOSED:
        EndSequence(*this, QStringLiteral("FTP서버 연결 종료/재실행 하세요"), false);
        break;
    case FTP_STATUS_TRANSFER_STARTED:
        ShowEntry(*this);
        break;
    case FTP_STATUS_REQUEST_COMPLETE:
        FinishEntry(*this, pInfo && pInfo->bCommitted);
        break;
    default:
        break;
    }
}

void CUpdaterDlg::PrepareTotals()
{
    m_dwTotalSize = 0;
    for (std::size_t i = 0; i < m_fileList.size(); ++i) {
        const orvanta::FileEntry& entry = m_fileList[i];
        m_dwTotalSize += entry.size;
        // The last entry that matches the mark wins.
        if (SameBytes(entry.folder, m_szDownFolder) && SameBytes(entry.name, m_szDownFile)) {
            g_nCurFile = i;
            g_dwAllRecv = m_dwTotalSize - entry.size;
        }
    }
    m_progTotal->SetRange64(0, BarValue(m_dwTotalSize) - 1);
}

bool CUpdaterDlg::DownloadEntry(std::size_t nIndex)
{
    if (nIndex >= m_fileList.size())
        return false;
    const orvanta::FileEntry& entry = m_fileList[nIndex];
    if (!orvanta::IsSafeEntry(entry.folder, entry.name))
        return false;
    SaveDownEntry(ToBytes(entry.folder), ToBytes(entry.name));
    for (;;) {
        const int nResult = StartEntryTransfer(nIndex);
        if (nResult == FTP_OK || nResult == FTP_IO_PENDING)
            return true;
        const QString text =
            nResult == -1
                ? QStringLiteral("해당 파일일이 위치한 폴더 구성에 실해 하였습니다.\n다시 시도하시겠습니다")
                : QStringLiteral("%1 - %2오류\n다시 시도하시겠습니다").arg(FromWire(entry.name)).arg(nResult);
        QMessageBox box(QMessageBox::NoIcon, ERROR_CAPTION, text, QMessageBox::Ok | QMessageBox::Cancel, this);
        box.setObjectName(QStringLiteral("retryQuestion"));
        const int nAnswer = box.exec();
        if (m_bClosing || nAnswer == QMessageBox::Cancel)
            return false;
    }
}

int CUpdaterDlg::StartEntryTransfer(std::size_t nIndex)
{
    const orvanta::FileEntry& entry = m_fileList[nIndex];
    for (const std::string& step : orvanta::FolderSteps(entry.folder)) {
        if (!EnsureDirectory(ToBytes(step)))
            return -1;
    }
    const std::string remotePath = orvanta::RemotePath(entry.folder, entry.name);
    CFtpSession* pSession = CFtpSession::GetInstance();
    if (!pSession)
        return FTP_ERROR_NOT_CONNECTED;
    return pSession->GetFile(remotePath, m_szClientPath + FromWire(remotePath), entry.size);
}

bool CUpdaterDlg::EnsureDirectory(const QByteArray& sub)
{
    QString path = m_szClientPath + FromWire(sub);
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (QFileInfo(path).isDir())
        return true;
    if (!QDir().mkdir(path)) {
        QMessageBox box(QMessageBox::NoIcon, orvanta::ApplicationTitle(),
                        QStringLiteral("디렉토리를 만들 수 없습니다."), QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("directoryBox"));
        box.exec();
        return false;
    }
    return true;
}

void CUpdaterDlg::SaveDownEntry(const QByteArray& folder, const QByteArray& file)
{
    if (CFtpSession* pSession = CFtpSession::GetInstance()) {
        pSession->SaveResumeMark(FromWire(folder), FromWire(file));
        return;
    }
    orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Existing);
    key.WriteText(orvanta::settings::DOWN_FOLDER, FromWire(folder));
    key.WriteText(orvanta::settings::DOWN_FILE, FromWire(file));
}
