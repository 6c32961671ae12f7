#include "support/GuiSupport.h"
#include "support/TestSupport.h"

#include "app/CommandLine.h"
#include "ui/ProgressCtrl.h"
#include "ui/SkinButton.h"
#include "ui/SkinPaint.h"
#include "transfer/TransferRate.h"
#include "ui/UpdaterDlg.h"

#include <QToolTip>

#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

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

CSkinButton* Button(const CUpdaterDlg& dlg, int id)
{
    return qobject_cast<CSkinButton*>(dlg.Control(id));
}

QLabel* Text(const CUpdaterDlg& dlg, int id)
{
    return qobject_cast<QLabel*>(dlg.Control(id));
}

CProgressCtrl* Bar(const CUpdaterDlg& dlg, int id)
{
    return qobject_cast<CProgressCtrl*>(dlg.Control(id));
}

QTimer* TimerOne(const CUpdaterDlg& dlg)
{
    return dlg.findChild<QTimer*>(QStringLiteral("timer1"));
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pDlg = std::make_unique<CUpdaterDlg>();
        TimerOne(*m_pDlg)->stop();
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
    EXPECT_EQ(QApplication::focusWidget(), Button(dlg, IDC_BTN_OPTION));
    EXPECT_EQ(Button(dlg, IDC_BTN_OPTION)->nextInFocusChain(), Button(dlg, IDC_BTN_HOMEPAGE));
    EXPECT_EQ(Button(dlg, IDC_BTN_HOMEPAGE)->nextInFocusChain(), Button(dlg, IDC_BTN_GAME));
    EXPECT_EQ(Button(dlg, IDC_BTN_GAME)->nextInFocusChain(), Button(dlg, IDCANCEL));
}

TEST_F(WindowTest, OpensConnectingWithEmptyCountersAndTimerOne)
{
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트 서버에 접속중"));
    for (const int id : {IDC_FILE_NAME, IDC_FILE_BYTES, IDC_FILE_COUNT, IDC_TOTAL_BYTES})
        EXPECT_TRUE(Text(dlg, id)->text().isEmpty());
    for (const int id : {IDC_PROGRESS_FILE, IDC_PROGRESS_TOTAL})
        EXPECT_EQ(Bar(dlg, id)->value(), Bar(dlg, id)->minimum());
    EXPECT_FALSE(dlg.Engine().IsUpToDate());
    EXPECT_FALSE(dlg.Engine().IsLaunchReady());
    ASSERT_TRUE(TimerOne(dlg)->isActive());
    EXPECT_EQ(TimerOne(dlg)->interval(), 1000);
    EXPECT_EQ(dlg.Engine().GetState(), CUpdateSession::State::Idle);
    TimerOne(dlg)->stop();
}

TEST_F(WindowTest, EngineReportsReachTheControlsAsPlainText)
{
    // A server's file name is text, never markup: in a label and in a box.
    CUpdaterDlg& dlg = *m_pDlg;
    CUpdateSession& engine = dlg.Engine();
    const QString name = QStringLiteral("<font color=red size=6>VIRUS FOUND");
    Q_EMIT engine.statusChanged(name);
    Q_EMIT engine.totalsPrepared(5368709120ull);
    Q_EMIT engine.fileStarted(2, 3, name, 100);
    Q_EMIT engine.bytesCounted(150, 4000000000ull, 100, 100, 4000000000ull, 5368709120ull);
    testing_support::SettleView(dlg);
    EXPECT_EQ(dlg.StatusText(), name);
    for (const int id : {IDC_STATUS, IDC_FILE_NAME, IDC_FILE_COUNT, IDC_FILE_BYTES, IDC_TOTAL_BYTES})
        EXPECT_EQ(Text(dlg, id)->textFormat(), Qt::PlainText) << id;
    EXPECT_EQ(Text(dlg, IDC_FILE_NAME)->text(), name);
    EXPECT_EQ(Text(dlg, IDC_FILE_COUNT)->text(), QStringLiteral("2 / 3"));
    EXPECT_EQ(Text(dlg, IDC_FILE_BYTES)->text(), QStringLiteral("100 / 100"));
    EXPECT_EQ(Text(dlg, IDC_TOTAL_BYTES)->text(), QStringLiteral("4000000000 / 5368709120"));
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_FILE)->Upper(), 99);
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_FILE)->Pos(), 99) << "held to its range";
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_TOTAL)->Upper(), 5368709119);
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_TOTAL)->Pos(), 4000000000);
    Q_EMIT engine.downloadComplete(100, 5368709120ull);
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_TOTAL)->Pos(), Bar(dlg, IDC_PROGRESS_TOTAL)->Upper());

    // The box leaves the caller at once and answers when it closes.
    std::optional<bool> answer;
    dlg.Ask({IUpdatePrompts::Box::Owner::Window, true, QStringLiteral("오류 발생"), name,
             QStringLiteral("retryQuestion")},
            [&](bool bOk) { answer = bOk; });
    auto* pBox = dlg.findChild<QMessageBox*>(QStringLiteral("retryQuestion"));
    ASSERT_NE(pBox, nullptr);
    EXPECT_FALSE(answer.has_value());
    EXPECT_EQ(pBox->textFormat(), Qt::PlainText);
    EXPECT_EQ(pBox->text(), name);
    pBox->button(QMessageBox::Cancel)->click();
    EXPECT_EQ(answer, std::optional(false));
}

TEST_F(WindowTest, AFileEndingInTheFrameTheNextBeginsIsShownEnded)
{
    // With several connections a file's last bytes and the next file's
    // start often share a frame: the new counter must not sit over the
    // half bar the frame before drew.
    CUpdaterDlg& dlg = *m_pDlg;
    CUpdateSession& engine = dlg.Engine();
    Q_EMIT engine.totalsPrepared(300);
    Q_EMIT engine.fileStarted(1, 2, QStringLiteral("a"), 100);
    Q_EMIT engine.bytesCounted(50, 50, 50, 100, 50, 300);
    testing_support::SettleView(dlg);
    Q_EMIT engine.bytesCounted(100, 100, 100, 100, 100, 300);
    Q_EMIT engine.fileStarted(2, 2, QStringLiteral("b"), 200);
    testing_support::SettleView(dlg);
    EXPECT_EQ(Text(dlg, IDC_FILE_COUNT)->text(), QStringLiteral("2 / 2"));
    EXPECT_EQ(Text(dlg, IDC_FILE_BYTES)->text(), QStringLiteral("100 / 100"));
    EXPECT_EQ(Text(dlg, IDC_TOTAL_BYTES)->text(), QStringLiteral("100 / 300"));
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_FILE)->Upper(), 199);
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_FILE)->Pos(), 99);

    // A file begun and ended within one frame: its end, in its own range.
    Q_EMIT engine.fileStarted(3, 4, QStringLiteral("c"), 400);
    Q_EMIT engine.bytesCounted(400, 500, 400, 400, 500, 1000);
    Q_EMIT engine.fileStarted(4, 4, QStringLiteral("d"), 500);
    testing_support::SettleView(dlg);
    EXPECT_EQ(Text(dlg, IDC_FILE_COUNT)->text(), QStringLiteral("4 / 4"));
    EXPECT_EQ(Text(dlg, IDC_FILE_BYTES)->text(), QStringLiteral("400 / 400"));
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_FILE)->Pos(), 399);
    // Two begun without bytes: the smaller range still held the bar.
    Q_EMIT engine.fileStarted(4, 4, QStringLiteral("e"), 100);
    Q_EMIT engine.fileStarted(4, 4, QStringLiteral("f"), 600);
    testing_support::SettleView(dlg);
    EXPECT_EQ(Bar(dlg, IDC_PROGRESS_FILE)->Pos(), 99);
}

TEST_F(WindowTest, ButtonsCarryTheirTooltipsAndImagesByState)
{
    CUpdaterDlg& dlg = *m_pDlg;
    EXPECT_EQ(Button(dlg, IDC_BTN_OPTION)->ToolTipText(), QStringLiteral("옵 션"));
    EXPECT_EQ(Button(dlg, IDC_BTN_HOMEPAGE)->ToolTipText(), QStringLiteral("홈페이지"));
    EXPECT_EQ(Button(dlg, IDC_BTN_GAME)->ToolTipText(), QStringLiteral("게임 접속"));
    EXPECT_EQ(Button(dlg, IDCANCEL)->ToolTipText(), QStringLiteral("종료"));
    EXPECT_EQ(Button(dlg, IDC_BTN_GAME)->cursor().shape(), Qt::PointingHandCursor);

    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    // Focus is the hover highlight: the Options button opens highlighted.
    EXPECT_EQ(Button(dlg, IDC_BTN_OPTION)->CurrentBitmapId(), 139);
    EXPECT_EQ(Button(dlg, IDC_BTN_GAME)->CurrentBitmapId(), 152);
    // Moving over a button takes the focus, and the highlight with it.
    QTest::mouseMove(Button(dlg, IDC_BTN_GAME), QPoint(20, 20));
    QMouseEvent move(QEvent::MouseMove, QPointF(21, 21), Button(dlg, IDC_BTN_GAME)->mapToGlobal(QPointF(21, 21)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(Button(dlg, IDC_BTN_GAME), &move);
    EXPECT_TRUE(Button(dlg, IDC_BTN_GAME)->hasFocus());
    EXPECT_EQ(Button(dlg, IDC_BTN_GAME)->CurrentBitmapId(), 144);
    EXPECT_EQ(Button(dlg, IDC_BTN_OPTION)->CurrentBitmapId(), 150);
    Button(dlg, IDC_BTN_GAME)->setDown(true);
    EXPECT_EQ(Button(dlg, IDC_BTN_GAME)->CurrentBitmapId(), 145);
    Button(dlg, IDC_BTN_GAME)->setDown(false);
    Button(dlg, IDC_BTN_GAME)->setEnabled(false);  // no disabled image: normal
    EXPECT_EQ(Button(dlg, IDC_BTN_GAME)->CurrentBitmapId(), 152);
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
#ifdef _WIN32
    GTEST_SKIP() << "Windows reads the line as typed (GetCommandLineW), not argv";
#endif
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
#ifdef _WIN32
    GTEST_SKIP() << "Windows holds a named mutex, not a lock file: app/test_windows.cpp and test_wine.py";
#endif
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
    for (QWidget* pGrip : {static_cast<QWidget*>(&dlg), static_cast<QWidget*>(Text(dlg, IDC_STATUS))}) {
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
    QTest::mousePress(Button(dlg, IDC_BTN_HOMEPAGE), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_TRUE(Button(dlg, IDC_BTN_HOMEPAGE)->isDown());
    EXPECT_EQ(Button(dlg, IDC_BTN_HOMEPAGE)->CurrentBitmapId(), 142);
    Button(dlg, IDC_BTN_HOMEPAGE)->setDown(false);
    EXPECT_EQ(dlg.pos(), start);
    QTest::mouseRelease(&dlg, Qt::LeftButton, Qt::NoModifier, QPoint(300, 60));  // no button held into the next test
}

TEST_F(WindowTest, TipsComeQuickerFromButtonToButtonAndNameTheButtons)
{
    CUpdaterDlg& dlg = *m_pDlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    CSkinButton* pOption = Button(dlg, IDC_BTN_OPTION);
    CSkinButton* pHomepage = Button(dlg, IDC_BTN_HOMEPAGE);
    QTest::mouseMove(pOption, QPoint(70, 20));
    EXPECT_EQ(pOption->ToolTipDelay(), CSkinButton::TOOLTIP_DELAY_MS);
    ASSERT_TRUE(testing_support::WaitFor([] { return QToolTip::isVisible(); }, 2000));
    // Straight on to the next button: its tip follows after the short delay.
    QTest::mouseMove(pHomepage, QPoint(70, 20));
    EXPECT_EQ(pHomepage->ToolTipDelay(), CSkinButton::TOOLTIP_RESHOW_MS);
    ASSERT_TRUE(testing_support::WaitFor([] { return QToolTip::isVisible(); }, 2000));
    EXPECT_EQ(QToolTip::text(), QStringLiteral("홈페이지"));
    QToolTip::hideText();

    // Screen readers name each button by its tip.
    for (const int id : {IDC_BTN_OPTION, IDC_BTN_HOMEPAGE, IDC_BTN_GAME, IDCANCEL})
        EXPECT_EQ(Button(dlg, id)->accessibleName(), Button(dlg, id)->ToolTipText()) << id;
}

TEST(TransferRate, TellsSpeedAndTimeLeftOnceSettledOverTheLastSeconds)
{
    CTransferRate rate;
    // Resumed at 5 MB (bytes from before do not count), then 1 MB a second
    // for five seconds and 3 MB a second for five more.
    const auto done = [](int s) { return std::uint64_t(5 + (s <= 5 ? s : 5 + (s - 5) * 3)) * 1'000'000; };
    rate.Add(0, done(0), 28'000'000);
    rate.Add(1000, done(1), 28'000'000);
    EXPECT_FALSE(rate.BytesPerSecond()) << "too early to tell";
    EXPECT_TRUE(rate.Describe().isEmpty());
    for (int s = 2; s <= 10; ++s)
        rate.Add(s * 1000, done(s), 28'000'000);
    // Only the last five seconds count: 3 MB a second, 3 MB left.
    ASSERT_TRUE(rate.BytesPerSecond());
    EXPECT_DOUBLE_EQ(*rate.BytesPerSecond(), 3'000'000);
    EXPECT_EQ(rate.SecondsLeft(), std::optional<std::uint64_t>(1));
    EXPECT_EQ(rate.Describe(), QStringLiteral("속도 2.9 MB/s, 남은 시간 1초"));

    // A stalled transfer has no end in sight; a smaller count starts afresh.
    CTransferRate stalled;
    for (int s = 0; s <= 4; ++s)
        stalled.Add(s * 1000, 100, 1'000'000'000'000ull);
    EXPECT_EQ(stalled.Describe(), QStringLiteral("속도 0 B/s, 남은 시간 알 수 없음"));
    stalled.Add(5000, 50, 1'000'000'000'000ull);
    EXPECT_FALSE(stalled.BytesPerSecond());
    CTransferRate slow;
    slow.Add(0, 0, 7'300'000);
    slow.Add(4000, 4000, 7'300'000);
    EXPECT_EQ(slow.Describe(), QStringLiteral("속도 1000 B/s, 남은 시간 2시간 1분"));
}
