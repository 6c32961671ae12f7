// The update session of CUpdaterDlg: its start, the patch server's frames
// and the frames the updater sends. Everything here runs on the window's
// thread; the link calls in from its socket notifications.
#include "ui/UpdaterDlg.h"

#include "patch/Cp949.h"
#include "patch/PatchLink.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"
#include "transfer/FtpSession.h"

#include <array>

namespace {

// Frames 16 and 18 carry four bytes that mean nothing.
constexpr std::array<std::uint8_t, 4> EMPTY_PAYLOAD{};

} // namespace

void CUpdaterDlg::OnTimer()
{
    m_timer.stop();
    // The session starts once per run.
    if (m_pLink)
        return;
    LoadSettings();
    m_pLink = std::make_unique<CPatchLink>(this);
    m_pLink->Connect(m_szIP, m_nPort);
    CFtpSession::CreateInstance();
    if (CFtpSession* pSession = CFtpSession::GetInstance())
        pSession->Open();
}

void CUpdaterDlg::OnLinkConnect(int error)
{
    if (error == 0) {
        SetStatusText(QStringLiteral("업데이트 서버에 접속 성공"));
        SendClientVersion();
        return;
    }
    SetStatusText(QStringLiteral("업데이트 서버에 접속 실패"));
    m_bLaunchReady = true;
}

void CUpdaterDlg::OnLinkBroken()
{
    // The link has closed itself; it stays in m_pLink, unused, until the
    // teardown, since this is called from inside it.
    SetStatusText(QStringLiteral("업데이트 서버에 접속 실패"));
    m_bLaunchReady = true;
}

void CUpdaterDlg::DispatchFrame(std::int32_t type, std::span<const std::uint8_t> payload)
{
    // A payload shorter than its record is ignored like an unknown frame.
    switch (type) {
    case orvanta::FRAME_SERVER_VERSION: {
        const auto version = orvanta::DecodeInt32(payload);
        if (!version)
            return;
        m_nServerVersion = *version;
        if (m_nServerVersion == m_nClientVersion) {
            // The server hears that nothing is fetched before the player
            // sees it.
            SendUpToDate();
            SetStatusText(QStringLiteral("변경될 파일이 없습니다.(설치버전:%1)").arg(m_nClientVersion));
            m_bUpToDate = true;
            m_bLaunchReady = true;
        } else {
            SetStatusText(QStringLiteral("Ver.%1에서 Ver.%2으로 업데이트").arg(m_nClientVersion).arg(m_nServerVersion));
        }
        return;
    }
    case orvanta::FRAME_FILE_ENTRY: {
        // The sequencer walks the list by index and has counted its sizes:
        // entries that come once it has started would never add up.
        if (m_bDownloading)
            return;
        if (auto entry = orvanta::DecodeFileEntry(payload))
            m_fileList.push_back(std::move(*entry));
        return;
    }
    case orvanta::FRAME_FTP_INFO: {
        // One login per run: a repeated frame 14 during the download
        // neither changes the credentials in use nor starts a second one.
        if (m_bDownloading)
            return;
        auto info = orvanta::DecodeFtpInfo(payload);
        if (!info)
            return;
        m_ftpInfo = std::move(*info);
        // Asynchronous: OnFtpConnected starts the sequence or shows the
        // failure and arms the game button.
        if (m_nServerVersion != m_nClientVersion)
            ConnectFtp();
        return;
    }
    case orvanta::FRAME_GAME_SERVER: {
        const auto info = orvanta::DecodeGameServerInfo(payload);
        if (!info)
            return;
        m_strGameIp = QString::fromStdString(orvanta::Cp949ToUtf8(info->address));
        m_nGamePort = info->port;
        m_bUpToDate = true;
        m_bLaunchReady = true;
        // The server's version becomes the installed one only once its
        // files are all in place: not while they are still arriving, not
        // after a download that broke off.
        if (m_nServerVersion != m_nClientVersion && m_bDownloadComplete && !m_bDownloading)
            orvanta::settings::WriteNumberValue(orvanta::settings::CLIENT_VERSION, m_nServerVersion);
        return;
    }
    default:
        // Types 10, 16 and 18 are the updater's own; nothing else exists.
        return;
    }
}

void CUpdaterDlg::SendClientVersion()
{
    if (m_pLink)
        m_pLink->SendFrame(orvanta::FRAME_CLIENT_VERSION, orvanta::EncodeInt32(m_nClientVersion));
}

void CUpdaterDlg::SendUpdateDone()
{
    if (m_pLink)
        m_pLink->SendFrame(orvanta::FRAME_UPDATE_DONE, EMPTY_PAYLOAD);
}

void CUpdaterDlg::SendUpToDate()
{
    if (m_pLink)
        m_pLink->SendFrame(orvanta::FRAME_UP_TO_DATE, EMPTY_PAYLOAD);
}
