// The window's commands (game, homepage, options) and its teardown.
#include "ui/UpdaterDlg.h"

#include "settings/Publisher.h"
#include "transfer/SelfUpdate.h"
#include "ui/OptionDlg.h"
#include "ui/Platform.h"

#include <QDir>
#include <QMessageBox>

void CUpdaterDlg::OnLaunch()
{
    using Step = CUpdateSession::Launch::Step;
    const CUpdateSession::Launch launch = m_pEngine->LaunchPlan();
    if (launch.eStep == Step::NotYet)
        return;
    QDir::setCurrent(launch.folder);

    if (launch.bSwapUpdater && SwapUpdater(launch.folder)) {
        QMessageBox box(QMessageBox::Warning, orvanta::ApplicationTitle(),
                        QStringLiteral("Orvanta 업데이터를 다시 실행 하세요"), QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("restartBox"));
        box.exec();
        done(IDOK);
        return;
    }
    if (launch.eStep == Step::AskThenGame) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Orvanta"),
                        QStringLiteral("최신 버전 업데이트에 실패하여 게임 진행에 문제가 발생될수 있습니다.\n"
                                       " 게임을에 접속 시도 하시겠습니까 ? \n\n"
                                       "(게임 접속에 문제 발생시 홈페이지에서 파일을 받아 다시 설치 하세요)"),
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setObjectName(QStringLiteral("launchQuestion"));
        if (box.exec() != QMessageBox::Yes)
            return;
    }
    // A client that does not start goes unnoticed, as it always did: the
    // player is back at the desktop and can start again.
    orvanta::StartDetachedCommandLine(launch.commandLine, launch.folder);
    done(IDOK);
}

void CUpdaterDlg::OnHomepage()
{
    orvanta::OpenWebSite(orvanta::WebSiteHost());
}

void CUpdaterDlg::OnOptions()
{
    COptionDlg dlg(this);
    const CUpdateSession::State eState = m_pEngine->GetState();
    dlg.SetRepairAvailable(eState == CUpdateSession::State::Idle || CUpdateSession::IsFinal(eState));
    const int nResult = dlg.exec();
    // The player's FTP mode holds from the run's next login on.
    if (nResult != QDialog::Rejected && m_pEngine) {
        m_pEngine->SetPassive(g_nPassive != 0);
        m_pEngine->SetMaxRate(std::uint64_t(dlg.m_nMaxRate) * 1024);
    }
    if (nResult == COptionDlg::REPAIR_RESULT)
        StartRepair();
}

// A repair is a run of its own: the run before it has ended (or not begun),
// and a fresh engine asks the patch server again, checks every file and
// fetches what differs. The game button waits for it.
void CUpdaterDlg::StartRepair()
{
    if (m_bClosing)
        return;
    const CUpdateSession::State eState = m_pEngine->GetState();
    if (eState == CUpdateSession::State::Idle) {
        m_pEngine->SetRepair(true);  // timer 1 starts it
        return;
    }
    if (!CUpdateSession::IsFinal(eState))
        return;
    m_pEngine->Shutdown();
    m_pEngine.reset();
    m_pendingFile.reset();
    m_pendingBytes.reset();
    m_pEngine = std::make_unique<CUpdateSession>(this);
    m_pEngine->SetRepair(true);
    BindEngine();
    m_pEngine->Start(m_commandLineHost);
}

void CUpdaterDlg::DestroyWindow()
{
    m_timer.stop();
    // The link goes, the transfer in flight is cancelled (its old file
    // stays whole) and the resume mark is written.
    m_pEngine->Shutdown();
    // A box of its own would outlive the window.
    for (const QPointer<QWidget>& pBox : std::as_const(m_boxes))
        delete pBox.data();
    m_boxes.clear();
    SetStatusText(QStringLiteral("파일을 모두 받았습니다."));
}
