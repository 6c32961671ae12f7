#include "ui/UpdaterDlg.h"

#include "settings/Publisher.h"
#include "ui/Platform.h"
#include "ui/ProgressCtrl.h"
#include "ui/Resources.h"
#include "ui/SkinButton.h"
#include "ui/SkinPaint.h"

#include <QAccessible>
#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QUrl>
#include <QWindow>

#ifdef ORVANTA_NOTICE_WEBENGINE
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr int WINDOW_WIDTH = 600;
constexpr int WINDOW_HEIGHT = 385;

struct ButtonLayout {
    int nId;
    int nNormal, nSelected, nFocus;
    int x;
    const char16_t* toolTip;
};

// Options, homepage, game, exit: images, place and tooltip.
constexpr ButtonLayout BUTTONS[] = {
    {IDC_BTN_OPTION, 150, 140, 139, 14, u"옵 션"},
    {IDC_BTN_HOMEPAGE, 151, 142, 141, 157, u"홈페이지"},
    {IDC_BTN_GAME, 152, 145, 144, 302, u"게임 접속"},
    {IDCANCEL, 153, 147, 146, 446, u"종료"},
};

#ifdef ORVANTA_NOTICE_WEBENGINE
bool NoticeEngineWanted()
{
    return qEnvironmentVariable("ORVANTA_NOTICE") != QLatin1String("off");
}
#endif

// Room between a right-aligned text and the right edge of its white box.
constexpr int TEXT_MARGIN = 3;
// Below this size a counter is condensed rather than made any smaller.
constexpr int COUNTER_MIN_PIXELS = 8;

QLabel* MakeText(QWidget* pParent, int nId, const QString& text, Qt::Alignment align)
{
    auto* pLabel = new QLabel(text, pParent);
    // File names and counts come from the network: never markup.
    pLabel->setTextFormat(Qt::PlainText);
    if (align & Qt::AlignRight) {
        // The counters use a size smaller than the status line, and keep
        // clear of their box's right edge.
        QFont font = pLabel->font();
        font.setPointSizeF(font.pointSizeF() - 1.0);
        pLabel->setFont(font);
        pLabel->setContentsMargins(0, 0, TEXT_MARGIN, 0);
    }
    pLabel->setProperty("ctrlId", nId);
    pLabel->setAlignment(align | Qt::AlignVCenter);
    pLabel->setAutoFillBackground(true);  // black on white over the skin
    pLabel->setWordWrap(false);
    return pLabel;
}

// The face in which text fits nWidth pixels whole: the base face, else
// smaller one pixel at a time, else condensed. A counter that cut its
// leading digits would show the player a wrong number.
QFont FitTextFont(const QFont& base, const QString& text, int nWidth)
{
    const auto fits = [&text, nWidth](const QFont& font) {
        return QFontMetrics(font).horizontalAdvance(text) <= nWidth;
    };
    if (fits(base))
        return base;
    QFont font = base;
    for (int nPixels = QFontInfo(base).pixelSize() - 1; nPixels >= COUNTER_MIN_PIXELS; --nPixels) {
        font.setPixelSize(nPixels);
        if (fits(font))
            return font;
    }
    for (int nStretch = 95; nStretch >= 40; nStretch -= 5) {
        font.setStretch(nStretch);
        if (fits(font))
            return font;
    }
    for (int nPixels = COUNTER_MIN_PIXELS - 1; nPixels >= 3; --nPixels) {
        font.setPixelSize(nPixels);
        if (fits(font))
            return font;
    }
    return font;
}

// Support and the scripted runs follow the status line, and how the run
// ended, in the file ORVANTA_STATUS_LOG names: a time stamp and the text,
// a line each.
void AppendStatusLog(const QString& text)
{
    static const QString logPath = qEnvironmentVariable("ORVANTA_STATUS_LOG");
    if (logPath.isEmpty())
        return;
    QFile log(logPath);
    if (log.open(QIODevice::Append | QIODevice::Text))
        log.write(QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' ' + text.toUtf8() + '\n');
}

QString Counter(std::uint64_t nDone, std::uint64_t nOf)
{
    return QStringLiteral("%1 / %2").arg(qulonglong(nDone)).arg(qulonglong(nOf));
}

std::int64_t BarValue(std::uint64_t n)
{
    return std::int64_t(std::min<std::uint64_t>(n, std::numeric_limits<std::int64_t>::max()));
}

} // namespace

CUpdaterDlg::CUpdaterDlg(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("CUpdaterDlg"));
    setProperty("ctrlId", 102);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setWindowIcon(orvanta::LoadIconResource(orvanta::IDI_UPDATER));
    m_pEngine = std::make_unique<CUpdateSession>(this);
    m_timer.setParent(this);
    m_viewTimer.setParent(this);
    CreateControls();
    BindEngine();
    OnInitDialog();
}

CUpdaterDlg::~CUpdaterDlg()
{
    if (!m_bClosing) {
        m_bClosing = true;
        DestroyWindow();
    }
}

void CUpdaterDlg::CreateControls()
{
    // In the order of the dialog template, which is also the tab order.
    m_btnOption = new CSkinButton(this, IDC_BTN_OPTION, QStringLiteral("옵션"));
    m_btnHomepage = new CSkinButton(this, IDC_BTN_HOMEPAGE, QStringLiteral("홈페이지"));
    m_btnGame = new CSkinButton(this, IDC_BTN_GAME, QStringLiteral("Button1"));
    m_btnExit = new CSkinButton(this, IDCANCEL, QStringLiteral("종료"));
    m_progFile = new CProgressCtrl(this, IDC_PROGRESS_FILE);
    m_progTotal = new CProgressCtrl(this, IDC_PROGRESS_TOTAL);
    m_progTotal->setProperty("flat", true);
    m_stStatus = MakeText(this, IDC_STATUS, QStringLiteral("업데이트 서버에 접속중"), Qt::AlignLeft);
    m_stStatus->setWordWrap(true);
    m_stStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);

#ifdef ORVANTA_NOTICE_WEBENGINE
    if (NoticeEngineWanted()) {
        auto* pView = new QWebEngineView(this);
        // A page that cannot be reached shows the panel below, never the
        // engine's own English error page.
        pView->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
        connect(pView->page(), &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
            if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus) {
                OnNoticeLoaded(true);
            } else if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus) {
                // A server that answered with an error has its own page to
                // show; a navigation the page itself cancelled is no failure.
                constexpr int ERR_ABORTED = -3;
                if (info.errorDomain() != QWebEngineLoadingInfo::HttpStatusCodeDomain &&
                    info.errorCode() != ERR_ABORTED)
                    OnNoticeLoaded(false);
            }
        });
        m_browser = pView;
    }
#endif
    if (!m_browser) {
        // Without an HTML engine the panel stays white.
        m_browser = new QWidget(this);
        m_browser->setAutoFillBackground(true);
    }
    m_browser->setProperty("ctrlId", IDC_BROWSER);
    m_noticeUnavailable = new QLabel(QStringLiteral("공지사항을 불러올 수 없습니다."), this);
    m_noticeUnavailable->setObjectName(QStringLiteral("m_noticeUnavailable"));
    m_noticeUnavailable->setTextFormat(Qt::PlainText);
    m_noticeUnavailable->setAlignment(Qt::AlignCenter);
    m_noticeUnavailable->setWordWrap(true);
    // The notice panel's own parchment, gold edge and soft ink.
    m_noticeUnavailable->setStyleSheet(QStringLiteral(
        "QLabel { color: #8a7250; border: 1px solid #d6a850;"
        " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f2ebda, stop:1 #e4d7ba); }"));
    m_noticeUnavailable->hide();

    m_stFileCount = MakeText(this, IDC_FILE_COUNT, QString(), Qt::AlignRight);
    m_stFileName = MakeText(this, IDC_FILE_NAME, QString(), Qt::AlignRight);
    m_stFileBytes = MakeText(this, IDC_FILE_BYTES, QString(), Qt::AlignRight);
    m_stTotalBytes = MakeText(this, IDC_TOTAL_BYTES, QString(), Qt::AlignRight);
    m_counterFont = m_stTotalBytes->font();
    m_statusFont = m_stStatus->font();
    m_clock.start();

    m_btnOption->setObjectName(QStringLiteral("m_btnOption"));
    m_btnHomepage->setObjectName(QStringLiteral("m_btnHomepage"));
    m_btnGame->setObjectName(QStringLiteral("m_btnGame"));
    m_btnExit->setObjectName(QStringLiteral("m_btnExit"));
    m_progFile->setObjectName(QStringLiteral("m_progFile"));
    m_progTotal->setObjectName(QStringLiteral("m_progTotal"));
    m_stStatus->setObjectName(QStringLiteral("m_stStatus"));
    m_browser->setObjectName(QStringLiteral("m_browser"));
    m_stFileCount->setObjectName(QStringLiteral("m_stFileCount"));
    m_stFileName->setObjectName(QStringLiteral("m_stFileName"));
    m_stFileBytes->setObjectName(QStringLiteral("m_stFileBytes"));
    m_stTotalBytes->setObjectName(QStringLiteral("m_stTotalBytes"));

    connect(m_btnOption, &QAbstractButton::clicked, this, &CUpdaterDlg::OnOptions);
    connect(m_btnHomepage, &QAbstractButton::clicked, this, &CUpdaterDlg::OnHomepage);
    connect(m_btnGame, &QAbstractButton::clicked, this, &CUpdaterDlg::OnLaunch);
    connect(m_btnExit, &QAbstractButton::clicked, this, &CUpdaterDlg::reject);
}

void CUpdaterDlg::OnInitDialog()
{
    setWindowTitle(QStringLiteral("Orvanta 온라인"));

    m_browser->setGeometry(11, 206, 289, 149);
    m_noticeUnavailable->setGeometry(m_browser->geometry());
#ifdef ORVANTA_NOTICE_WEBENGINE
    // One navigation, before the window takes its place; the page loads
    // beside the update and never holds it up.
    if (auto* pView = qobject_cast<QWebEngineView*>(m_browser))
        pView->setUrl(QUrl(orvanta::NoticePageUrl()));
#endif

    setGeometry(0, 0, WINDOW_WIDTH, WINDOW_HEIGHT);
    setFixedSize(WINDOW_WIDTH, WINDOW_HEIGHT);
    if (const QScreen* pScreen = QGuiApplication::primaryScreen()) {
        const QRect area = pScreen->availableGeometry();
        move(area.center() - QPoint(WINDOW_WIDTH / 2, WINDOW_HEIGHT / 2));
    }

    CSkinButton* const buttons[] = {m_btnOption, m_btnHomepage, m_btnGame, m_btnExit};
    for (std::size_t i = 0; i < std::size(BUTTONS); ++i) {
        const ButtonLayout& layout = BUTTONS[i];
        buttons[i]->LoadBitmaps(layout.nNormal, layout.nSelected, layout.nFocus, 0);
        buttons[i]->setGeometry(layout.x, 158, 140, 41);
        buttons[i]->SetToolTipText(QString::fromUtf16(layout.toolTip));
    }

    m_stStatus->setGeometry(338, 229, 230, 15);
    m_stFileName->setGeometry(390, 270, 163, 15);
    m_stFileBytes->setGeometry(430, 285, 123, 15);
    m_stFileCount->setGeometry(430, 315, 123, 15);
    m_stTotalBytes->setGeometry(430, 330, 123, 15);
    m_progFile->setGeometry(339, 257, 217, 9);
    m_progTotal->setGeometry(339, 300, 217, 9);

    m_timer.setObjectName(QStringLiteral("timer1"));
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &CUpdaterDlg::OnTimer);
    m_timer.start();

    // The first tab stop takes the focus.
    m_btnOption->setFocus(Qt::OtherFocusReason);
}

void CUpdaterDlg::BindEngine()
{
    CUpdateSession* pEngine = m_pEngine.get();
    connect(pEngine, &CUpdateSession::statusChanged, this, &CUpdaterDlg::SetStatusText);
    connect(pEngine, &CUpdateSession::finished, this, [](CUpdateSession::Outcome eOutcome) {
        AppendStatusLog(QStringLiteral("finished ") + CUpdateSession::OutcomeName(eOutcome));
    });
    connect(pEngine, &CUpdateSession::totalsPrepared, this,
            [this](quint64 total) {
                m_progTotal->SetRange64(0, BarValue(total) - 1);
                m_rate.Reset();
            });
    connect(pEngine, &CUpdateSession::fileStarted, this,
            [this](quint64 nIndex, quint64 nCount, const QString& name, quint64 size) {
                // Bytes noted before belong to the file before: its part
                // ends that file's bar, the totals stand. A range of one
                // value holds no position (see CProgressCtrl).
                const std::int64_t nInForce = m_pendingFile ? BarValue(m_pendingFile->nSize) - 1 : m_progFile->Upper();
                const std::int64_t nCap = nInForce > 0 ? nInForce : std::numeric_limits<std::int64_t>::max();
                if (m_pendingBytes && m_pendingBytes->bFile) {
                    m_pendingFileEnd = FileEnd{m_pendingBytes, nCap};
                    m_pendingBytes->bFile = false;
                } else if (m_pendingFileEnd) {
                    m_pendingFileEnd->nCap = std::min(m_pendingFileEnd->nCap, nCap);
                } else {
                    m_pendingFileEnd = FileEnd{std::nullopt, nCap};
                }
                m_pendingFile = FileNote{nIndex, nCount, size, name};
                if (!m_viewTimer.isActive())
                    m_viewTimer.start();
            });
    connect(pEngine, &CUpdateSession::bytesCounted, this,
            [this](quint64 fileBar, quint64 totalBar, quint64 fileRecv, quint64 fileSize, quint64 allRecv,
                   quint64 total) {
                m_pendingBytes = BytesNote{fileBar, totalBar, fileRecv, fileSize, allRecv, total, true};
                if (!m_viewTimer.isActive())
                    m_viewTimer.start();
            });
    connect(pEngine, &CUpdateSession::downloadComplete, this, [this](quint64 lastFileSize, quint64 total) {
        ShowPending();
        m_progFile->SetPos64(BarValue(lastFileSize));
        m_progTotal->SetPos64(BarValue(total));
        m_stTotalBytes->setToolTip(QString());
        m_stTotalBytes->setAccessibleDescription(QString());
        LogView();
    });
    m_viewTimer.setObjectName(QStringLiteral("viewTimer"));
    m_viewTimer.setSingleShot(true);
    m_viewTimer.setInterval(16);
    // Once, whichever engine is bound (a repair binds a new one).
    connect(&m_viewTimer, &QTimer::timeout, this, &CUpdaterDlg::ShowPending, Qt::UniqueConnection);
}

void CUpdaterDlg::ShowPending()
{
    m_viewTimer.stop();
    if (m_pendingFile) {
        // The bar keeps its old position until the file's first bytes.
        const FileEnd end = m_pendingFileEnd.value_or(FileEnd{});
        const std::int64_t nPos = end.bytes ? BarValue(end.bytes->fileBar) : m_progFile->Pos();
        m_progFile->SetRange64(0, BarValue(m_pendingFile->nSize) - 1);
        m_progFile->SetPos64(std::min(nPos, end.nCap));
        if (end.bytes)
            SetCounterText(m_stFileBytes, Counter(end.bytes->fileRecv, end.bytes->fileSize));
        m_pendingFileEnd.reset();
        m_stFileName->setText(m_pendingFile->name);
        SetCounterText(m_stFileCount, Counter(m_pendingFile->nIndex, m_pendingFile->nCount));
        m_pendingFile.reset();
    }
    if (m_pendingBytes) {
        const BytesNote& note = *m_pendingBytes;
        if (note.bFile) {
            m_progFile->SetPos64(BarValue(note.fileBar));
            SetCounterText(m_stFileBytes, Counter(note.fileRecv, note.fileSize));
        }
        m_progTotal->SetPos64(BarValue(note.totalBar));
        SetCounterText(m_stTotalBytes, Counter(note.allRecv, note.total));
        // Speed and time left ride on the total's tooltip; the status line
        // keeps the session's own texts.
        m_rate.Add(m_clock.elapsed(), note.allRecv, note.total);
        const QString rate = m_rate.Describe();
        m_stTotalBytes->setToolTip(rate);
        m_stTotalBytes->setAccessibleDescription(rate);
        m_pendingBytes.reset();
    }
    LogView();
}

// The scripted runs check every state the progress view is given (counters
// against bars) and compare screenshots with it, so it can be followed in a
// file as the status line can.
void CUpdaterDlg::LogView() const
{
    static const QString logPath = qEnvironmentVariable("ORVANTA_VIEW_LOG");
    if (logPath.isEmpty())
        return;
    QFile log(logPath);
    if (!log.open(QIODevice::Append | QIODevice::Text))
        return;
    const auto bar = [](const CProgressCtrl* pBar) {
        return QStringLiteral("%1 in %2..%3").arg(pBar->Pos()).arg(pBar->Lower()).arg(pBar->Upper());
    };
    const QString line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs) +
                         QStringLiteral("\tcount=%1\tname=%2\tfileBytes=%3\tfileBar=%4\ttotalBytes=%5\ttotalBar=%6\n")
                             .arg(m_stFileCount->text(), m_stFileName->text(), m_stFileBytes->text(),
                                  bar(m_progFile), m_stTotalBytes->text(), bar(m_progTotal));
    log.write(line.toUtf8());
}

void CUpdaterDlg::SetCounterText(QLabel* pLabel, const QString& text)
{
    // Room on the left as well, so the first digit never meets the edge.
    pLabel->setFont(FitTextFont(m_counterFont, text, pLabel->contentsRect().width() - TEXT_MARGIN));
    pLabel->setText(text);
}

// The engine's boxes hold the player's attention as modal boxes do, but
// nothing waits in them: the answer goes back when the box closes.
void CUpdaterDlg::Ask(const Box& box, Answer answer)
{
    if (m_bClosing) {
        answer(false);
        return;
    }
    QWidget* pOwner = box.eOwner == Box::Owner::Window ? this : nullptr;
    const QString caption = box.eOwner == Box::Owner::Application ? orvanta::ApplicationTitle() : box.caption;
    auto* pBox = new QMessageBox(QMessageBox::NoIcon, caption, box.text,
                                 box.bQuestion ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok, pOwner);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->setWindowModality(Qt::ApplicationModal);
    pBox->setTextFormat(Qt::PlainText);  // the text may carry a server's file name
    pBox->setObjectName(box.name);
    connect(pBox, &QMessageBox::finished, pBox, [answer = std::move(answer)](int nResult) {
        answer(nResult == QMessageBox::Ok);
    });
    m_boxes.removeIf([](const QPointer<QWidget>& pOpen) { return pOpen.isNull(); });
    m_boxes.append(pBox);
    pBox->show();
}

void CUpdaterDlg::OnTimer()
{
    m_timer.stop();
    m_pEngine->Start(m_commandLineHost);
}

void CUpdaterDlg::SetStatusText(const QString& text)
{
    if (m_stStatus) {
        // One line, whole: a long status is drawn narrower, never cut.
        m_stStatus->setFont(FitTextFont(m_statusFont, text, m_stStatus->contentsRect().width() - TEXT_MARGIN));
        m_stStatus->setText(text);
        // Screen readers tell the player the new line.
        QAccessibleEvent event(m_stStatus, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
    AppendStatusLog(text);
}

void CUpdaterDlg::OnNoticeLoaded(bool bOk)
{
    m_noticeUnavailable->setVisible(!bOk);
    if (!bOk)
        m_noticeUnavailable->raise();
}

QString CUpdaterDlg::StatusText() const
{
    return m_stStatus ? m_stStatus->text() : QString();
}

QWidget* CUpdaterDlg::Control(int id) const
{
    const auto children = findChildren<QWidget*>();
    for (QWidget* pChild : children) {
        if (pChild->property("ctrlId").toInt() == id)
            return pChild;
    }
    return nullptr;
}

void CUpdaterDlg::paintEvent(QPaintEvent* event)
{
    // The skin drawn through its white-keyed mask onto a white surface. On a
    // scaled screen the large artwork is drawn, so the skin stays sharp:
    // pixel for pixel at 200 %, brought down smoothly between whole scales.
    // The surface is made once per screen scale: every counter drawn
    // repaints the skin behind it, dozens of times a second while files
    // arrive.
    const qreal dpr = devicePixelRatioF();
    if (m_skinSurface.isNull() || m_skinSurfaceDpr != dpr) {
        const QImage skin = orvanta::LoadSkinBitmap(orvanta::IDB_SKIN, dpr);
        const qreal ratio = skin.devicePixelRatio();
        QImage surface(QSize(WINDOW_WIDTH, WINDOW_HEIGHT) * ratio, QImage::Format_RGB32);
        surface.fill(Qt::white);
        DrawMaskedBitmap(surface, 0, 0, surface.width(), surface.height(), skin);
        surface.setDevicePixelRatio(ratio);
        m_skinSurface = surface;
        m_skinSurfaceDpr = dpr;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, dpr != std::floor(dpr));
    painter.setClipRegion(event->region());
    painter.drawImage(QRectF(0, 0, WINDOW_WIDTH, WINDOW_HEIGHT), m_skinSurface);

    // For start-up measurements: when the first frame of the window was drawn.
    static bool s_bFirstPaint = true;
    if (s_bFirstPaint) {
        s_bFirstPaint = false;
        if (qEnvironmentVariableIsSet("ORVANTA_TRACE_STARTUP"))
            std::fprintf(stderr, "first-paint monotonic-ms %lld\n",
                         static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch()).count()));
    }
}

void CUpdaterDlg::mousePressEvent(QMouseEvent* event)
{
    // A press on the skin or on a text moves the window, as a press on a
    // caption would.
    if (event->button() == Qt::LeftButton) {
        if (QWindow* pWindow = windowHandle(); pWindow && pWindow->startSystemMove()) {
            event->accept();
            return;
        }
        m_dragOrigin = event->globalPosition().toPoint() - frameGeometry().topLeft();
        m_bDragging = true;
    }
    QDialog::mousePressEvent(event);
}

void CUpdaterDlg::mouseMoveEvent(QMouseEvent* event)
{
    if (m_bDragging && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - m_dragOrigin);
    QDialog::mouseMoveEvent(event);
}

void CUpdaterDlg::mouseReleaseEvent(QMouseEvent* event)
{
    m_bDragging = false;
    QDialog::mouseReleaseEvent(event);
}

void CUpdaterDlg::keyPressEvent(QKeyEvent* event)
{
    // Enter is the dialog's OK: it ends the run like the exit button.
    if (event->modifiers() == Qt::NoModifier &&
        (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CUpdaterDlg::done(int r)
{
    if (!m_bClosing) {
        m_bClosing = true;
        DestroyWindow();
    }
    QDialog::done(r);
}
