#include "support/GuiSupport.h"
#include "support/TestSupport.h"

#include "app/Constants.h"
#include "patch/PatchPeer.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"
#include "transfer/SelfUpdate.h"
#include "ui/SkinButton.h"
#include "ui/UpdaterDlg.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using testing_support::AnswerNextDialog;
using testing_support::DialogAnswer;
using testing_support::WaitFor;

namespace {

QString Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

quint16 ClosedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_game.isValid());
        m_folder = m_game.path() + "/";
        ASSERT_TRUE(QFile::copy(testing_support::BinaryPath("tests/fake_client"),
                                m_folder + orvanta::CLIENT_FILE));
        m_pDlg = std::make_unique<CUpdaterDlg>();
        m_pDlg->show();
    }
    void TearDown() override { QDir::setCurrent(m_startDir); }

    // Runs the window's session to its end against a scripted patch server:
    // up to date with the given game server, or (bUpToDate false) a patch
    // server that is not there.
    void Reach(CUpdaterDlg& dlg, bool bUpToDate, const std::string& gameIp = "gamehost", int nGamePort = 7)
    {
        using namespace orvanta;
        patch_test::CScriptedPeer peer;
        {
            settings::CSettingsKey key(settings::CSettingsKey::Open::Create);
            key.WriteText(settings::CLIENT_PATH, m_folder);
            key.WriteText(settings::IP, QStringLiteral("127.0.0.1"));
            key.WriteNumber(settings::PORT, bUpToDate ? peer.Port() : ClosedPort());
            key.WriteNumber(settings::CLIENT_VERSION, 4);
        }
        dlg.OnTimer();
        if (bUpToDate) {
            ASSERT_TRUE(peer.WaitForFrames(1));
            peer.Write(patch_test::Int32Frame(FRAME_SERVER_VERSION, 4) +
                       patch_test::FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({gameIp, nGamePort})));
            ASSERT_TRUE(WaitFor([&] { return dlg.Engine().GetState() == CUpdateSession::State::Ready; }));
        } else {
            ASSERT_TRUE(WaitFor([&] { return dlg.Engine().IsLaunchReady(); }));
        }
    }
    QAbstractButton* GameButton() const { return qobject_cast<QAbstractButton*>(m_pDlg->Control(IDC_BTN_GAME)); }

    QString Started() const { return Read(m_folder + "client-started.txt"); }
    bool WaitStarted() const { return WaitFor([this] { return !Started().isEmpty(); }); }

    QString m_startDir = QDir::currentPath();
    testing_support::CTempStore m_store;
    QTemporaryDir m_game;
    QString m_folder;
    std::unique_ptr<CUpdaterDlg> m_pDlg;
};

} // namespace

TEST_F(LaunchTest, DoesNothingBeforeTheSessionEnds)
{
    m_pDlg->OnLaunch();
    GameButton()->click();
    EXPECT_TRUE(m_pDlg->isVisible());
    QTest::qWait(200);
    EXPECT_TRUE(Started().isEmpty());
}

TEST_F(LaunchTest, UpToDateStartsTheClientWithTheServersAddressInTheGameFolder)
{
    // A "%1" in the address stays itself: the command is built in one step.
    Reach(*m_pDlg, true, "game%1host", 7);
    GameButton()->click();
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(m_pDlg->result(), IDOK);
    ASSERT_TRUE(WaitStarted());
    EXPECT_EQ(Started(), "cwd=" + QDir::toNativeSeparators(QDir(m_folder).canonicalPath()) +
                             "\narg=-start\narg=-ip:game%1host\narg=-port:7\n");
    EXPECT_EQ(m_pDlg->StatusText(), QStringLiteral("파일을 모두 받았습니다."));
}

TEST_F(LaunchTest, FailedUpdateAsksAndNoKeepsTheWindow)
{
    Reach(*m_pDlg, false);
    DialogAnswer answer;
    AnswerNextDialog(&answer, QStringLiteral("&No").remove('&'));
    m_pDlg->OnLaunch();
    ASSERT_TRUE(answer.bSeen);
    EXPECT_EQ(answer.title, QStringLiteral("Orvanta"));
    EXPECT_EQ(answer.text, QStringLiteral("최신 버전 업데이트에 실패하여 게임 진행에 문제가 발생될수 있습니다.\n"
                                          " 게임을에 접속 시도 하시겠습니까 ? \n\n"
                                          "(게임 접속에 문제 발생시 홈페이지에서 파일을 받아 다시 설치 하세요)"));
    EXPECT_TRUE(m_pDlg->isVisible());
    QTest::qWait(200);
    EXPECT_TRUE(Started().isEmpty());

    // Each press asks again; Yes starts the fallback address on port 3333.
    DialogAnswer yes;
    AnswerNextDialog(&yes, QStringLiteral("Yes"));
    m_pDlg->OnLaunch();
    ASSERT_TRUE(yes.bSeen);
    EXPECT_FALSE(m_pDlg->isVisible());
    ASSERT_TRUE(WaitStarted());
    EXPECT_TRUE(Started().endsWith(
        QStringLiteral("arg=-start\narg=-ip:%1\narg=-port:3333\n").arg(orvanta::FALLBACK_GAME_ADDR)));
}

TEST_F(LaunchTest, DownloadedUpdaterIsSwappedInAndNoGameStarts)
{
    Write(m_folder + orvanta::UPDATER_FILE, "old updater");
    Write(m_folder + orvanta::NEW_UPDATER_FILE, "new updater");
    Reach(*m_pDlg, true);
    DialogAnswer answer;
    AnswerNextDialog(&answer, QString());
    m_pDlg->OnLaunch();
    ASSERT_TRUE(answer.bSeen);
    EXPECT_EQ(answer.text, QStringLiteral("Orvanta 업데이터를 다시 실행 하세요"));
    EXPECT_EQ(answer.title, QStringLiteral("test_commands"));
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(Read(m_folder + orvanta::UPDATER_FILE), "new updater");
    EXPECT_EQ(Read(m_folder + orvanta::OLD_UPDATER_FILE), "old updater");
    EXPECT_FALSE(QFile::exists(m_folder + orvanta::NEW_UPDATER_FILE));
    EXPECT_TRUE(QFileInfo(m_folder + orvanta::UPDATER_FILE).isExecutable());
    QTest::qWait(200);
    EXPECT_TRUE(Started().isEmpty());

    // The next launch finds nothing to swap, drops the old copy and plays.
    CUpdaterDlg next;
    Reach(next, true);
    next.OnLaunch();
    EXPECT_FALSE(QFile::exists(m_folder + orvanta::OLD_UPDATER_FILE));
    EXPECT_TRUE(WaitStarted());
}

TEST(SelfUpdate, AFailedSwapLosesNothing)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/";
    // No new updater: nothing happens, an old _tmp goes all the same.
    Write(folder + orvanta::OLD_UPDATER_FILE, "stale");
    EXPECT_FALSE(SwapUpdater(folder));
    EXPECT_FALSE(QFile::exists(folder + orvanta::OLD_UPDATER_FILE));

    // A read-only program file is still replaced, and stays runnable.
    Write(folder + orvanta::UPDATER_FILE, "old");
    QFile::setPermissions(folder + orvanta::UPDATER_FILE, QFile::ReadOwner | QFile::ExeOwner);
    Write(folder + orvanta::NEW_UPDATER_FILE, "new");
    EXPECT_TRUE(SwapUpdater(folder));
    EXPECT_EQ(Read(folder + orvanta::UPDATER_FILE), "new");
    EXPECT_EQ(Read(folder + orvanta::OLD_UPDATER_FILE), "old");
    EXPECT_TRUE(QFileInfo(folder + orvanta::UPDATER_FILE).isExecutable());

    // A program file that is running right now: it is moved aside, not
    // overwritten, so the running copy goes on and the new one takes its place.
    QFile::remove(folder + orvanta::OLD_UPDATER_FILE);
    QFile::remove(folder + orvanta::UPDATER_FILE);
    ASSERT_TRUE(QFile::copy("/bin/sleep", folder + orvanta::UPDATER_FILE));
    QProcess running;
    running.start(folder + orvanta::UPDATER_FILE, {"5"});
    ASSERT_TRUE(running.waitForStarted());
    Write(folder + orvanta::NEW_UPDATER_FILE, "newest");
    EXPECT_TRUE(SwapUpdater(folder));
    EXPECT_EQ(Read(folder + orvanta::UPDATER_FILE), "newest");
    EXPECT_EQ(running.state(), QProcess::Running);
#ifndef _WIN32  // Windows runs a file by its name, not by a mode bit
    EXPECT_TRUE(QFileInfo(folder + orvanta::OLD_UPDATER_FILE).isExecutable());
#endif
    running.kill();
    running.waitForFinished();
}

TEST(Teardown, ExitInTheFirstSecondEndsWithoutASession)
{
    testing_support::CTempStore store;
    CUpdaterDlg dlg;
    dlg.show();
    qobject_cast<QAbstractButton*>(dlg.Control(IDCANCEL))->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), IDCANCEL);
    EXPECT_EQ(dlg.Engine().GetState(), CUpdateSession::State::Closed);
    EXPECT_EQ(dlg.Engine().Link(), nullptr);
    QTest::qWait(1200);  // timer 1 would have fired by now
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("파일을 모두 받았습니다."));
    // No store was made: the session never started.
    EXPECT_FALSE(QFile::exists(store.FilePath()));
}

TEST(Teardown, EscapeAndEnterEndTheRun)
{
    testing_support::CTempStore store;
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        CUpdaterDlg dlg;
        dlg.show();
        QTest::keyClick(&dlg, key);
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), key == Qt::Key_Escape ? IDCANCEL : IDOK);
    }
}
