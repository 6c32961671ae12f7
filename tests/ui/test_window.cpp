#include "support/TestSupport.h"

#include "app/CommandLine.h"
#include "ui/ProgressCtrl.h"
#include "ui/SkinButton.h"
#include "ui/SkinPaint.h"
#include "ui/UpdaterDlg.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

struct ControlPlace {
    int id;
    QRect rect;
};

const ControlPlace PLACES[] = {
    {IDC_BTN_OPTION, {14, 158, 140, 41}},   {IDC_BTN_HOMEPAGE, {157, 158, 140, 41}},
    {IDC_BTN_GAME, {302, 158, 140, 41}},    {IDCANCEL, {446, 158, 140, 41}},
    {IDC_PROGRESS_FILE, {339, 257, 217, 9}}, {IDC_PROGRESS_TOTAL, {339, 300, 217, 9}},
    {IDC_STATUS, {338, 229, 230, 15}},      {IDC_BROWSER, {11, 206, 289, 149}},
    {IDC_FILE_COUNT, {430, 315, 123, 15}},  {IDC_FILE_NAME, {390, 270, 163, 15}},
    {IDC_FILE_BYTES, {430, 285, 123, 15}},  {IDC_TOTAL_BYTES, {430, 330, 123, 15}},
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pDlg = std::make_unique<CUpdaterDlg>();
        m_pDlg->m_timer.stop();
    }
    testing_support::CTempStore m_store;
    std::unique_ptr<CUpdaterDlg> m_pDlg;
};

} // namespace

TEST_F(WindowTest, ControlsSitAtTheirRectanglesInTabOrder)
{
    CUpdaterDlg& dlg = *m_pDlg;
    EXPECT_EQ(dlg.size(), QSize(600, 385));
    EXPECT_EQ(dlg.minimumSize(), QSize(600, 385));
    EXPECT_EQ(dlg.maximumSize(), QSize(600, 385));
    EXPECT_TRUE(dlg.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Orvanta 온라인"));
    for (const ControlPlace& place : PLACES) {
        QWidget* pControl = dlg.Control(place.id);
        ASSERT_NE(pControl, nullptr) << place.id;
        EXPECT_EQ(pControl->geometry(), place.rect) << place.id;
    }
    // The four buttons take the focus in the template's order.
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    EXPECT_EQ(QApplication::focusWidget(), dlg.m_btnOption);
    EXPECT_EQ(dlg.m_btnOption->nextInFocusChain(), dlg.m_btnHomepage);
    EXPECT_EQ(dlg.m_btnHomepage->nextInFocusChain(), dlg.m_btnGame);
    EXPECT_EQ(dlg.m_btnGame->nextInFocusChain(), dlg.m_btnExit);
}

TEST_F(WindowTest, OpensConnectingWithEmptyCountersAndTimerOne)
{
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트 서버에 접속중"));
    for (QLabel* pText : {dlg.m_stFileName, dlg.m_stFileBytes, dlg.m_stFileCount, dlg.m_stTotalBytes})
        EXPECT_TRUE(pText->text().isEmpty());
    EXPECT_EQ(dlg.m_progFile->value(), dlg.m_progFile->minimum());
    EXPECT_EQ(dlg.m_progTotal->value(), dlg.m_progTotal->minimum());
    EXPECT_FALSE(dlg.m_bUpToDate);
    EXPECT_FALSE(dlg.m_bLaunchReady);
    EXPECT_TRUE(dlg.m_timer.isActive());
    EXPECT_EQ(dlg.m_timer.interval(), 1000);
    EXPECT_EQ(dlg.m_pLink, nullptr);
    dlg.m_timer.stop();

    dlg.SetStatusText(QStringLiteral("하나"));
    dlg.SetStatusText(QString());
    EXPECT_TRUE(dlg.StatusText().isEmpty());
}

TEST_F(WindowTest, ButtonsCarryTheirTooltipsAndImagesByState)
{
    CUpdaterDlg& dlg = *m_pDlg;
    EXPECT_EQ(dlg.m_btnOption->ToolTipText(), QStringLiteral("옵 션"));
    EXPECT_EQ(dlg.m_btnHomepage->ToolTipText(), QStringLiteral("홈페이지"));
    EXPECT_EQ(dlg.m_btnGame->ToolTipText(), QStringLiteral("게임 접속"));
    EXPECT_EQ(dlg.m_btnExit->ToolTipText(), QStringLiteral("종료"));
    EXPECT_EQ(dlg.m_btnGame->cursor().shape(), Qt::PointingHandCursor);

    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    // Focus is the hover highlight: the Options button opens highlighted.
    EXPECT_EQ(dlg.m_btnOption->CurrentBitmapId(), 139);
    EXPECT_EQ(dlg.m_btnGame->CurrentBitmapId(), 152);
    // Moving over a button takes the focus, and the highlight with it.
    QTest::mouseMove(dlg.m_btnGame, QPoint(20, 20));
    QMouseEvent move(QEvent::MouseMove, QPointF(21, 21), dlg.m_btnGame->mapToGlobal(QPointF(21, 21)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(dlg.m_btnGame, &move);
    EXPECT_TRUE(dlg.m_btnGame->hasFocus());
    EXPECT_EQ(dlg.m_btnGame->CurrentBitmapId(), 144);
    EXPECT_EQ(dlg.m_btnOption->CurrentBitmapId(), 150);
    dlg.m_btnGame->setDown(true);
    EXPECT_EQ(dlg.m_btnGame->CurrentBitmapId(), 145);
    dlg.m_btnGame->setDown(false);
    dlg.m_btnGame->setEnabled(false);  // no disabled image: normal
    EXPECT_EQ(dlg.m_btnGame->CurrentBitmapId(), 152);
}

TEST(SkinButton, FallsBackToTheNormalImageAndKeepsItsFirstText)
{
    QWidget parent;
    CSkinButton onlyNormal(&parent, 77, QStringLiteral("Button1"));
    EXPECT_EQ(onlyNormal.ToolTipText(), QStringLiteral("Button1"));
    EXPECT_TRUE(onlyNormal.LoadBitmaps(152, 0, 0, 0));
    onlyNormal.setDown(true);
    EXPECT_EQ(onlyNormal.CurrentBitmapId(), 152);
    EXPECT_EQ(CSkinButton::TOOLTIP_DELAY_MS, 100);
    EXPECT_EQ(CSkinButton::TOOLTIP_SHOWN_MS, 5000);

    // A missing normal image loads nothing and draws nothing.
    CSkinButton missing(&parent, 78, QString());
    EXPECT_FALSE(missing.LoadBitmaps(9999, 145, 144));
    EXPECT_EQ(missing.CurrentBitmapId(), 0);
    missing.resize(140, 41);
    missing.grab();  // paints without a crash
}

TEST(SkinPaint, WhitePixelsShowWhiteAndOthersTheirColour)
{
    QImage skin(4, 1, QImage::Format_RGB32);
    skin.setPixel(0, 0, qRgb(255, 255, 255));
    skin.setPixel(1, 0, qRgb(0, 0, 0));
    skin.setPixel(2, 0, qRgb(12, 200, 40));
    skin.setPixel(3, 0, qRgb(254, 255, 255));
    QImage dest(6, 3, QImage::Format_RGB32);
    dest.fill(qRgb(90, 10, 200));
    DrawMaskedBitmap(dest, 1, 1, 4, 1, skin);
    EXPECT_EQ(dest.pixel(1, 1), qRgb(255, 255, 255));
    EXPECT_EQ(dest.pixel(2, 1), qRgb(0, 0, 0));
    EXPECT_EQ(dest.pixel(3, 1), qRgb(12, 200, 40));
    EXPECT_EQ(dest.pixel(4, 1), qRgb(254, 255, 255));
    EXPECT_EQ(dest.pixel(0, 1), qRgb(90, 10, 200));  // outside: untouched
    EXPECT_EQ(dest.pixel(1, 0), qRgb(90, 10, 200));
    DrawMaskedBitmap(dest, 4, 2, 4, 1, skin);  // clipped at the edge
    EXPECT_EQ(dest.pixel(5, 2), qRgb(0, 0, 0));
}

TEST(ProgressCtrl, HoldsThePositionToItsRangeAndScalesPastTwoGigabytes)
{
    QWidget parent;
    CProgressCtrl bar(&parent, 1001);
    bar.SetRange64(0, 99);
    bar.SetPos64(150);
    EXPECT_EQ(bar.value(), bar.maximum());
    bar.SetPos64(-5);
    EXPECT_EQ(bar.value(), 0);

    const std::int64_t total = 5LL * 1024 * 1024 * 1024;
    bar.SetRange64(0, total - 1);
    bar.SetPos64(total / 2);
    EXPECT_GT(bar.maximum(), 0);
    EXPECT_NEAR(double(bar.value()) / bar.maximum(), 0.5, 0.001);

    // A file of 0 or 1 bytes never turns into a busy indicator.
    bar.SetRange64(0, -1);
    EXPECT_LT(bar.minimum(), bar.maximum());
    bar.SetRange64(0, 0);
    bar.SetPos64(1);
    EXPECT_EQ(bar.value(), bar.maximum());
}

TEST(CommandLine, KeepsEverythingAfterTheProgramName)
{
    char prog[] = "Updater";
    char one[] = "patch.example";
    char two[] = "second";
    char blank[] = "";
    char* none[] = {prog};
    EXPECT_EQ(orvanta::RawCommandLine(1, none), QString());
    char* words[] = {prog, one, two};
    EXPECT_EQ(orvanta::RawCommandLine(3, words), QStringLiteral("patch.example second"));
    char* leading[] = {prog, blank, one};
    EXPECT_EQ(orvanta::RawCommandLine(3, leading), QStringLiteral("patch.example"));
    char dash[] = "-platform";
    char opt[] = "xcb";
    char* qtOptions[] = {prog, dash, opt};
    EXPECT_EQ(orvanta::RawCommandLine(3, qtOptions), QStringLiteral("-platform xcb"));
}

TEST(SingleInstance, SecondStartEndsAtOnceAndTheFirstKeepsRunning)
{
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("XDG_CONFIG_HOME", runtime.filePath("config"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("ORVANTA_NOTICE", "off");
    const QString updater = testing_support::BinaryPath("app/Updater");

    QProcess first;
    first.setProcessEnvironment(env);
    // An address nobody listens on: the first run fails its session and waits.
    first.start(updater, {"127.0.0.1"});
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(testing_support::WaitFor([&] { return QFile::exists(runtime.filePath("Orvanta Updater.lock")); }));
    QTest::qWait(300);

    QElapsedTimer clock;
    clock.start();
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(updater, {"-platform", "xcb"});  // Qt must not read these
    ASSERT_TRUE(second.waitForFinished(5000));
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    // Once the first has died, however it died, a new start runs.
    first.kill();
    first.waitForFinished();
    QProcess third;
    third.setProcessEnvironment(env);
    third.start(updater, {"127.0.0.1"});
    ASSERT_TRUE(third.waitForStarted());
    EXPECT_FALSE(third.waitForFinished(1500));
    third.kill();
    third.waitForFinished();
}

TEST_F(WindowTest, DraggingTheSurfaceOrATextMovesTheWindow)
{
    CUpdaterDlg& dlg = *m_pDlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    // Offscreen there is no window manager to run the move, so the window
    // follows the pointer itself.
    for (QWidget* pGrip : {static_cast<QWidget*>(&dlg), static_cast<QWidget*>(dlg.m_stStatus)}) {
        const QPoint start = dlg.pos();
        const QPoint grab = pGrip == &dlg ? QPoint(300, 60) : QPoint(5, 5);
        QTest::mousePress(pGrip, Qt::LeftButton, Qt::NoModifier, grab);
        QMouseEvent move(QEvent::MouseMove, QPointF(grab + QPoint(40, 25)),
                         pGrip->mapToGlobal(QPointF(grab + QPoint(40, 25))), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(pGrip, &move);
        QTest::mouseRelease(pGrip, Qt::LeftButton, Qt::NoModifier, grab + QPoint(40, 25));
        EXPECT_EQ(dlg.pos(), start + QPoint(40, 25));
    }
    // A press on a picture button presses the button instead.
    const QPoint start = dlg.pos();
    QTest::mousePress(dlg.m_btnHomepage, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_TRUE(dlg.m_btnHomepage->isDown());
    EXPECT_EQ(dlg.m_btnHomepage->CurrentBitmapId(), 142);
    dlg.m_btnHomepage->setDown(false);
    EXPECT_EQ(dlg.pos(), start);
}
