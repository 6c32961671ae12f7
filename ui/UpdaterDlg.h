#pragma once

#include "patch/Records.h"
#include "transfer/FtpSession.h"

#include <QByteArray>
#include <QDialog>
#include <QPoint>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class CSkinButton;
class CProgressCtrl;
class CPatchLink;
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

// The launcher window and the hub of the program: it holds the settings, the
// update session, the download sequencer and the commands. Everything here
// runs on the thread that created the window; the FTP worker reaches
// OnFtpStatus only through posted notifications.
//
// Members are defined in the folder of their concern: layout and painting in
// ui/, LoadSettings in settings/, the session in patch/, the sequencer in
// transfer/, the commands and the teardown in ui/Commands.cpp.
// The download's counters, process-wide as a run has one sequence; a new
// window starts them from 0. Counted in 64 bits, so lists past 4 GiB do not wrap.
extern std::size_t g_nCurFile;          // index of the entry being fetched
extern std::uint64_t g_dwFileRecv;      // bytes counted for the current file
extern std::uint64_t g_dwAllRecv;       // bytes counted for the whole list
extern std::uint64_t g_dwLastFileRecv;  // g_dwFileRecv after the latest byte notification

class CUpdaterDlg final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUpdaterDlg)

public:
    explicit CUpdaterDlg(QWidget* parent = nullptr);
    ~CUpdaterDlg() override;

    // --- window (layout, skin, status line) ---
    void SetStatusText(const QString& text);
    QString StatusText() const;
    QWidget* Control(int id) const;  // by control identifier, or null

    // --- settings ---
    void LoadSettings();

    // --- update session ---
    void OnTimer();
    void OnLinkConnect(int error);
    void DispatchFrame(std::int32_t type, std::span<const std::uint8_t> payload);
    void OnLinkBroken();  // the server sent a frame no protocol can carry
    void SendClientVersion();
    void SendUpdateDone();
    void SendUpToDate();

    // --- FTP session and download sequencer ---
    void ConnectFtp();
    void OnFtpConnected(bool bOk);
    void OnFtpStatus(std::uint32_t dwStatus, const FtpStatusInfo* pInfo);
    void PrepareTotals();
    bool DownloadEntry(std::size_t nIndex);
    int StartEntryTransfer(std::size_t nIndex);
    bool EnsureDirectory(const QByteArray& sub);
    void SaveDownEntry(const QByteArray& folder, const QByteArray& file);

    // --- commands ---
    void OnLaunch();
    void OnHomepage();
    void OnOptions();
    void DestroyWindow();  // the teardown, run once on every way out

    // The settings of this run (loaded once by LoadSettings).
    std::int32_t m_nClientVersion = 0;
    std::int32_t m_nServerVersion = 0;
    QString m_szClientPath;     // game folder, ends with a separator
    QString m_szIP;             // patch-server host for this run
    std::int32_t m_nPort = 0;
    QByteArray m_szDownFolder;  // resume mark as the server spelt it (CP949)
    QByteArray m_szDownFile;

    // The update session.
    bool m_bUpToDate = false;
    bool m_bLaunchReady = false;
    std::unique_ptr<CPatchLink> m_pLink;
    orvanta::FtpInfo m_ftpInfo;
    std::vector<orvanta::FileEntry> m_fileList;
    QString m_strGameIp;
    std::int32_t m_nGamePort = 0;
    bool m_bDownloading = false;       // a sequence has started and not ended
    bool m_bDownloadComplete = false;  // every file arrived whole
    bool m_bSequenceStarted = false;   // a run has one sequence: a later start is ignored

    // Sum of the sizes of all entries, counted in 64 bits.
    std::uint64_t m_dwTotalSize = 0;

    // Controls.
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
    QTimer m_timer;  // timer 1: its first tick starts the session

    bool m_bClosing = false;  // the teardown has begun

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

    QPoint m_dragOrigin;
    bool m_bDragging = false;
};
