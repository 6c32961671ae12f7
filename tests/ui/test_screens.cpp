// The window as a player sees it, grabbed at the screen scale the run sets
// (QT_SCALE_FACTOR, one ctest entry per scale): the counters, the hover
// highlight of an inactive window, the skin's edges, the options dialog and
// a message box. Every picture is kept in ORVANTA_ARTEFACTS for review.
#include "support/GuiSupport.h"
#include "support/TestSupport.h"

#include "ui/DialogLook.h"
#include "ui/OptionDlg.h"
#include "ui/Resources.h"
#include "ui/SkinButton.h"
#include "ui/UpdaterDlg.h"

#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleOptionGroupBox>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

struct ButtonImages {
    int nId;
    int nNormal, nFocus;
    const char* name;
};

const ButtonImages BUTTONS[] = {
    {IDC_BTN_OPTION, 150, 139, "options"},
    {IDC_BTN_HOMEPAGE, 151, 141, "homepage"},
    {IDC_BTN_GAME, 152, 144, "game"},
    {IDCANCEL, 153, 146, "exit"},
};

QImage Grab(QWidget& widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

double ScaleOf(const QImage& image, const QWidget& widget)
{
    return double(image.width()) / double(widget.width());
}

int Percent(double scale)
{
    return int(std::lround(scale * 100));
}

// The device pixels that lie wholly inside a rectangle of logical pixels.
QRect Inner(const QRect& r, double scale)
{
    const int left = int(std::ceil(r.x() * scale)), top = int(std::ceil(r.y() * scale));
    const int right = int(std::floor((r.x() + r.width()) * scale)) - 1;
    const int bottom = int(std::floor((r.y() + r.height()) * scale)) - 1;
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

void Save(const QImage& image, const QString& name)
{
    const QString folder = qEnvironmentVariableIsSet("ORVANTA_ARTEFACTS")
                               ? qEnvironmentVariable("ORVANTA_ARTEFACTS")
                               : QStringLiteral(ORVANTA_BINARY_DIR "/tests/artefacts");
    QDir().mkpath(folder);
    image.save(QDir(folder).filePath(name + QStringLiteral(".png")));
}

// Columns of dark text in an area: first and last, or (-1, -1) if none.
std::pair<int, int> InkColumns(const QImage& image, const QRect& area)
{
    int nFirst = -1, nLast = -1;
    for (int x = area.left(); x <= area.right(); ++x)
        for (int y = area.top(); y <= area.bottom(); ++y)
            if (qGray(image.pixel(x, y)) < 140) {
                if (nFirst < 0)
                    nFirst = x;
                nLast = x;
                break;
            }
    return {nFirst, nLast};
}

// Mean channel difference between a grabbed area and a 1× picture.
double DifferenceTo(const QImage& grabbed, const QImage& picture)
{
    const QImage a = grabbed.scaled(picture.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage b = picture.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * b.width() * b.height());
}

class Screens : public ::testing::Test {
protected:
    static void SetUpTestSuite() { orvanta::SetDialogLook(*qApp); }

    void SetUp() override
    {
        m_pDlg = std::make_unique<CUpdaterDlg>();
        m_pDlg->findChild<QTimer*>(QStringLiteral("timer1"))->stop();
    }

    QLabel* Text(int nId) const { return qobject_cast<QLabel*>(m_pDlg->Control(nId)); }

    testing_support::CTempStore m_store;
    std::unique_ptr<CUpdaterDlg> m_pDlg;
};

TEST_F(Screens, DownloadingWindowShowsWholeCountersInUnbrokenBoxes)
{
    CUpdaterDlg& dlg = *m_pDlg;
    CUpdateSession& engine = dlg.Engine();
    Q_EMIT engine.statusChanged(QStringLiteral("파일을 업데이트 중입니다"));
    Q_EMIT engine.totalsPrepared(1234567890ull);
    Q_EMIT engine.fileStarted(3, 12, QStringLiteral("data/field01.pak"), 48234496ull);
    Q_EMIT engine.bytesCounted(31457280ull, 10289152ull, 31457280ull, 48234496ull, 10289152ull, 1234567890ull);
    testing_support::SettleView(dlg);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    const QImage shot = Grab(dlg);
    const double scale = ScaleOf(shot, dlg);
    Save(shot, QStringLiteral("window-%1").arg(Percent(scale)));

    // Every counter in its box, clear of both edges: a cut number would
    // leave ink in the box's first column.
    for (const int nId : {IDC_FILE_BYTES, IDC_FILE_COUNT, IDC_TOTAL_BYTES}) {
        const QRect box = Inner(Text(nId)->geometry(), scale);
        const auto [nFirst, nLast] = InkColumns(shot, box);
        EXPECT_GT(nFirst, box.left() + scale) << nId;
        EXPECT_LT(nLast, box.right() - scale) << nId << " touches the right edge";
    }
    EXPECT_EQ(Text(IDC_TOTAL_BYTES)->text(), QStringLiteral("10289152 / 1234567890"));

    // Every status line of the run fits its one line whole.
    for (const char* status : {"패치 서명을 확인할 수 없어 업데이트를 중단했습니다.", "자동 패치 FTP서버 접속에 실패했습니다.",
                               "변경될 파일이 없습니다.(설치버전:2147483647)", "파일 갱신 오류 발생/다시 접속 시도하세요"}) {
        Q_EMIT engine.statusChanged(QString::fromUtf8(status));
        QLabel* pStatus = Text(IDC_STATUS);
        EXPECT_LE(QFontMetrics(pStatus->font()).horizontalAdvance(pStatus->text()), pStatus->contentsRect().width())
            << status;
        if (QString::fromUtf8(status).startsWith(QStringLiteral("패치")))
            Save(Grab(*pStatus), QStringLiteral("status-longest-%1").arg(Percent(scale)));
    }
    Q_EMIT engine.statusChanged(QStringLiteral("파일을 업데이트 중입니다"));

    // The white box of the file's texts runs straight along its bottom edge.
    const QRect edge = Inner(QRect(390, 299, 166, 1), scale);
    for (int x = edge.left(); x <= edge.right(); ++x)
        ASSERT_GT(qGray(shot.pixel(x, edge.top())), 245) << "notch at device x " << x;

    // Whole-number scales draw the skin's own pixels, with no blur.
    if (scale == std::floor(scale)) {
        const QImage art = orvanta::LoadSkinBitmap(orvanta::IDB_SKIN, scale).convertToFormat(QImage::Format_RGB32);
        const QRect banner = Inner(QRect(0, 0, 600, 150), scale);
        ASSERT_EQ(art.width(), shot.width());
        EXPECT_EQ(shot.copy(banner), art.copy(banner));
    }

    // From one digit to the largest 64-bit count, the whole text shows.
    QLabel* pTotal = Text(IDC_TOTAL_BYTES);
    for (std::uint64_t n = 9;; n = n * 10 + 9) {
        Q_EMIT engine.bytesCounted(0, 0, 0, 0, n, n);
        testing_support::SettleView(dlg);
        const QImage label = Grab(*pTotal);
        const auto [nFirst, nLast] = InkColumns(label, label.rect());
        EXPECT_GT(nFirst, 0) << n;
        EXPECT_LE(QFontMetrics(pTotal->font()).horizontalAdvance(pTotal->text()), pTotal->contentsRect().width())
            << n;
        if (n > std::numeric_limits<std::uint64_t>::max() / 10)
            break;
    }
    Q_EMIT engine.bytesCounted(0, 0, 0, 0, std::numeric_limits<std::uint64_t>::max(),
                               std::numeric_limits<std::uint64_t>::max());
    testing_support::SettleView(dlg);
    Save(Grab(*pTotal), QStringLiteral("counter-max-%1").arg(Percent(scale)));
    EXPECT_GT(InkColumns(Grab(*pTotal), Grab(*pTotal).rect()).first, 0);
}

TEST_F(Screens, HoverHighlightsEachButtonWhileTheWindowIsInactive)
{
    CUpdaterDlg& dlg = *m_pDlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    // Another window takes the activation, as when the window manager
    // leaves the launcher inactive at its opening.
    QWidget other;
    other.setGeometry(0, 0, 40, 40);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    ASSERT_FALSE(dlg.isActiveWindow());

    const auto highlighted = [&dlg](const QImage& shot, const ButtonImages& b) {
        const QRect area = Inner(dlg.Control(b.nId)->geometry(), ScaleOf(shot, dlg));
        const QImage region = shot.copy(area);
        const double toFocus = DifferenceTo(region, orvanta::LoadBitmapResource(b.nFocus));
        const double toNormal = DifferenceTo(region, orvanta::LoadBitmapResource(b.nNormal));
        // Resampled at fractional scales: closer to the focus image by far.
        return toFocus < toNormal / 3;
    };
    QImage shot = Grab(dlg);
    EXPECT_TRUE(highlighted(shot, BUTTONS[0])) << "the first tab stop lights up at opening";
    for (const ButtonImages& b : BUTTONS) {
        // Through the window, not the offscreen cursor, which mixes device
        // and logical pixels at fractional scales.
        QTest::mouseMove(dlg.windowHandle(), dlg.Control(b.nId)->geometry().topLeft() + QPoint(70, 20));
        shot = Grab(dlg);
        const double scale = ScaleOf(shot, dlg);
        Save(shot.copy(Inner(QRect(0, 150, 600, 56), scale)),
             QStringLiteral("hover-%1-%2").arg(QLatin1String(b.name)).arg(Percent(scale)));
        EXPECT_TRUE(highlighted(shot, b)) << b.name;
        for (const ButtonImages& rest : BUTTONS) {
            if (&rest != &b) {
                EXPECT_FALSE(highlighted(shot, rest)) << rest.name << " while hovering " << b.name;
            }
        }
    }
    EXPECT_FALSE(dlg.isActiveWindow());
}

TEST_F(Screens, DialogsReadInKoreanAndKeepTheirFramesClear)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Updater"),
                    QStringLiteral("업데이트 서버에 접속할 수 없습니다.\n게임을 시작하시겠습니까?"),
                    QMessageBox::Ok | QMessageBox::Cancel, m_pDlg.get());
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("확인"));
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("취소"));
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    const QImage boxShot = Grab(box);
    Save(boxShot, QStringLiteral("messagebox-%1").arg(Percent(ScaleOf(boxShot, box))));
    box.hide();

    COptionDlg options;
    options.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&options));
    const QImage optionsShot = Grab(options);
    Save(optionsShot, QStringLiteral("options-%1").arg(Percent(ScaleOf(optionsShot, options))));
    // Each check box sits below its frame's title, with room between.
    for (const char* name : {"groupSound", "groupNetwork"}) {
        const auto* pGroup = options.findChild<QGroupBox*>(QLatin1String(name));
        QStyleOptionGroupBox option;
        option.initFrom(pGroup);
        option.text = pGroup->title();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        const QRect title = pGroup->style()
                                ->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, pGroup)
                                .translated(pGroup->pos());
        const auto* pCheck = options.findChild<QCheckBox*>(
            QLatin1String(qstrcmp(name, "groupSound") == 0 ? "checkEax" : "checkPassive"));
        EXPECT_GE(pCheck->geometry().top(), title.bottom() + 3) << name;
        EXPECT_LE(pCheck->geometry().bottom(), pGroup->geometry().bottom()) << name;
    }
}

} // namespace
