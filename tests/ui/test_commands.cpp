#include "support/TestSupport.h"

#include "app/Constants.h"
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

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_game.isValid());
        m_folder = m_game.path() + "/";
        ASSERT_TRUE(QFile::copy(testing_support::BinaryPath("tests/fake_client"),
                                m_folder + orvanta::CLIENT_FILE));
        m_pDlg = std::make_unique<CUpdaterDlg>();
        m_pDlg->m_timer.stop();
        m_pDlg->m_szClientPath = m_folder;
        m_pDlg->show();
    }
    void TearDown() override { QDir::setCurrent(m_startDir); }

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
    m_pDlg->m_bUpToDate = true;
    m_pDlg->OnLaunch();
    m_pDlg->m_btnGame->click();
    EXPECT_TRUE(m_pDlg->isVisible());
    QTest::qWait(200);
    EXPECT_TRUE(Started().isEmpty());
}

TEST_F(LaunchTest, UpToDateStartsTheClientWithTheServersAddressInTheGameFolder)
{
    m_pDlg->m_bLaunchReady = true;
    m_pDlg->m_bUpToDate = true;
    m_pDlg->m_strGameIp = "gamehost";
    m_pDlg->m_nGamePort = 7;
    m_pDlg->m_btnGame->click();
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(m_pDlg->result(), IDOK);
    ASSERT_TRUE(WaitStarted());
    EXPECT_EQ(Started(), QStringLiteral("cwd=%1\narg=-start\narg=-ip:gamehost\narg=-port:7\n")
                             .arg(QDir(m_folder).canonicalPath()));
    EXPECT_EQ(m_pDlg->StatusText(), QStringLiteral("파일을 모두 받았습니다."));
}

TEST_F(LaunchTest, FailedUpdateAsksAndNoKeepsTheWindow)
{
    m_pDlg->m_bLaunchReady = true;
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
    m_pDlg->m_bLaunchReady = true;
    m_pDlg->m_bUpToDate = true;
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
    next.m_timer.stop();
    next.m_szClientPath = m_folder;
    next.m_bLaunchReady = next.m_bUpToDate = true;
    next.m_strGameIp = "h";
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
    EXPECT_TRUE(QFileInfo(folder + orvanta::OLD_UPDATER_FILE).isExecutable());
    running.kill();
    running.waitForFinished();
}

TEST(Teardown, ExitInTheFirstSecondEndsWithoutASession)
{
    testing_support::CTempStore store;
    CUpdaterDlg dlg;
    dlg.show();
    dlg.m_btnExit->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), IDCANCEL);
    EXPECT_FALSE(dlg.m_timer.isActive());
    EXPECT_EQ(dlg.m_pLink, nullptr);
    EXPECT_EQ(CFtpSession::GetInstance(), nullptr);
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("파일을 모두 받았습니다."));
    // No store was made: the session never started.
    EXPECT_FALSE(QFile::exists(store.FilePath()));
}

TEST(Teardown, EscapeAndEnterEndTheRun)
{
    testing_support::CTempStore store;
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        CUpdaterDlg dlg;
        dlg.m_timer.stop();
        dlg.show();
        QTest::keyClick(&dlg, key);
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), key == Qt::Key_Escape ? IDCANCEL : IDOK);
    }
}
