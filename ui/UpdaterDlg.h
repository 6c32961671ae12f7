#pragma once

#include "engine/UpdatePrompts.h"
#include "engine/UpdateSession.h"
#include "transfer/TransferRate.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <limits>
#include <optional>

#include <memory>

class CSkinButton;
class CProgressCtrl;
class QLabel;
class QWidget;

// Identifiers of the window's controls, as the launcher's dialog template
// numbers them. Every control carries its number in the "ctrlId" property.
enum : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDC_BTN_OPTION = 4,
    IDC_BTN_HOMEPAGE = 5,
    IDC_PROGRESS_FILE = 1001,
    IDC_PROGRESS_TOTAL = 1002,
    IDC_STATUS = 1008,
    IDC_BROWSER = 1011,
    IDC_FILE_COUNT = 1013,
    IDC_FILE_BYTES = 1014,
    IDC_FILE_NAME = 1015,
    IDC_TOTAL_BYTES = 1016,
    IDC_BTN_GAME = 1025,
};

// The launcher window: the skin, the controls, the commands, and a view of
// the update engine it owns. The engine reports through signals bound to
// the controls here; the window answers its questions with message boxes.
// Everything runs on the thread that made the window.
class CUpdaterDlg final : public QDialog, public IUpdatePrompts {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUpdaterDlg)

public:
    explicit CUpdaterDlg(QWidget* parent = nullptr);
    ~CUpdaterDlg() override;

    // The patch-server host the program was started with (its command
    // line), for every run this window starts; empty: the store's.
    void SetCommandLineHost(const QString& host) { m_commandLineHost = host; }

    QString StatusText() const;
    QWidget* Control(int id) const;  // by control identifier, or null
    CUpdateSession& Engine() { return *m_pEngine; }

    // The first tick of timer 1: starts the update run.
    void OnTimer();

    // The engine's questions, as message boxes; true for OK.
    void Ask(const Box& box, Answer answer) override;

    // The commands.
    void OnLaunch();
    void OnHomepage();
    void OnOptions();
    // A new run that checks every file and fetches what differs.
    void StartRepair();

public Q_SLOTS:
    // Every way out ends here: the exit button and Esc give IDCANCEL, Enter
    // and the launch give IDOK.
    void done(int r) override;
    void accept() override { done(IDOK); }
    void reject() override { done(IDCANCEL); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnInitDialog();
    void CreateControls();
    void BindEngine();
    void SetStatusText(const QString& text);
    void SetCounterText(QLabel* pLabel, const QString& text);
    void ShowPending();  // the newest file and byte notes, once a frame
    void LogView() const;
    void OnNoticeLoaded(bool bOk);
    void DestroyWindow();  // the teardown, run once on every way out

    std::unique_ptr<CUpdateSession> m_pEngine;

    CSkinButton* m_btnOption = nullptr;
    CSkinButton* m_btnHomepage = nullptr;
    CSkinButton* m_btnGame = nullptr;
    CSkinButton* m_btnExit = nullptr;
    QLabel* m_stFileName = nullptr;
    QLabel* m_stFileBytes = nullptr;
    QLabel* m_stFileCount = nullptr;
    QLabel* m_stTotalBytes = nullptr;
    QLabel* m_stStatus = nullptr;
    CProgressCtrl* m_progTotal = nullptr;
    CProgressCtrl* m_progFile = nullptr;
    QWidget* m_browser = nullptr;
    QLabel* m_noticeUnavailable = nullptr;  // covers the notice page it cannot show
    QFont m_counterFont;                    // the counters' face before any fitting
    QFont m_statusFont;                     // the status line's, likewise
    QImage m_skinSurface;                   // the skin as drawn, made at the first paint
    qreal m_skinSurfaceDpr = 0;             // the screen scale it was made for
    CTransferRate m_rate;
    QElapsedTimer m_clock;
    QTimer m_timer;  // timer 1: its first tick starts the run

    // The engine notes every file and every block of bytes; the screen
    // shows a frame every 16 ms or so. Only the newest of each kind is
    // kept until the next frame, so a run of small files costs the engine's
    // thread no drawing per note.
    struct FileNote {
        quint64 nIndex = 0, nCount = 0, nSize = 0;
        QString name;
    };
    struct BytesNote {
        quint64 fileBar = 0, totalBar = 0, fileRecv = 0, fileSize = 0, allRecv = 0, total = 0;
        bool bFile = false;  // the file's part belongs to the file shown (not one the view skipped)
    };
    std::optional<FileNote> m_pendingFile;
    std::optional<BytesNote> m_pendingBytes;
    // Where the file bar stands once the files begun this frame have set
    // their ranges, as note by note it would: the last file part noted
    // before them (none: where the bar stood), held under every range in
    // force since.
    struct FileEnd {
        std::optional<BytesNote> bytes;
        std::int64_t nCap = std::numeric_limits<std::int64_t>::max();
    };
    std::optional<FileEnd> m_pendingFileEnd;
    QTimer m_viewTimer;

    QString m_commandLineHost;
    QList<QPointer<QWidget>> m_boxes;  // the engine's boxes, closed with the window
    bool m_bClosing = false;  // the teardown has begun
    QPoint m_dragOrigin;
    bool m_bDragging = false;
};
