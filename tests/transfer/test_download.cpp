// The download sequencer of the real window against a real FTP server.
#include "support/FtpServer.h"
#include "support/TestSupport.h"

#include "patch/Cp949.h"
#include "settings/SettingsStore.h"
#include "transfer/FtpSession.h"
#include "ui/Platform.h"
#include "ui/ProgressCtrl.h"
#include "ui/UpdaterDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

using testing_support::CFtpServer;

using testing_support::Pattern;
using testing_support::ReadAll;

namespace {

std::string Wire(const QString& text)
{
    return orvanta::Utf8ToCp949(text.toStdString());
}


void WriteFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(contents);
}

// Every file under a folder, relative, hidden ones included.
QStringList FilesUnder(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

// Answers the message boxes that open, in order: each step may act first
// (while the box is up), then presses its button.
class CBoxAnswerer final {
public:
    struct Step {
        QMessageBox::StandardButton button;
        std::function<void()> before;
    };
    struct Seen {
        QString title;
        QString text;
    };

    explicit CBoxAnswerer(std::vector<Step> steps) : m_steps(std::move(steps))
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(10);
    }

    const std::vector<Seen>& Boxes() const { return m_seen; }

private:
    void Poll()
    {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!pBox || pBox == m_pLast || m_seen.size() >= m_steps.size())
            return;
        m_pLast = pBox;
        const Step& step = m_steps[m_seen.size()];
        m_seen.push_back({pBox->windowTitle(), pBox->text()});
        if (step.before)
            step.before();
        if (QAbstractButton* pButton = pBox->button(step.button))
            pButton->click();
    }

    std::vector<Step> m_steps;
    std::vector<Seen> m_seen;
    QPointer<QMessageBox> m_pLast;
    QTimer m_timer;
};

using Steps = std::vector<CBoxAnswerer::Step>;

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A box nobody expected fails the test instead of holding it.
        QObject::connect(&m_boxGuard, &QTimer::timeout, [this] {
            QWidget* pModal = QApplication::activeModalWidget();
            if (pModal != m_pModalSeen) {
                m_pModalSeen = pModal;
                m_modalSince.start();
            } else if (pModal && m_modalSince.elapsed() > 3000) {
                const auto* pBox = qobject_cast<QMessageBox*>(pModal);
                ADD_FAILURE() << "unanswered box: " << (pBox ? pBox->text().toStdString() : std::string("?"));
                pModal->close();
            }
        });
        m_boxGuard.start(100);
        qputenv("ORVANTA_NOTICE", "off");
        g_nPassive = 0;
        m_gamePath = m_parent.filePath(QStringLiteral("game")) + QLatin1Char('/');
        QDir().mkpath(m_gamePath);
    }

    void TearDown() override
    {
        m_pDlg.reset();
        CFtpSession::Shutdown();
    }

    CFtpServer& Server(CFtpServer::Options options = {})
    {
        m_pServer = std::make_unique<CFtpServer>(std::move(options));
        EXPECT_TRUE(m_pServer->Start());
        return *m_pServer;
    }

    // One list entry; the server gets the file unless contents is empty
    // and bServe is false. The size listed defaults to the contents' size.
    void Add(const QString& folder, const QString& name, const QByteArray& contents,
             std::optional<std::uint32_t> nListed = std::nullopt, bool bServe = true)
    {
        orvanta::FileEntry entry;
        entry.folder = Wire(folder);
        entry.name = Wire(name);
        entry.size = nListed.value_or(std::uint32_t(contents.size()));
        m_entries.push_back(entry);
        if (bServe) {
            QString relative = folder;
            while (relative.startsWith(QLatin1Char('/')))
                relative.remove(0, 1);
            if (!relative.isEmpty() && !relative.endsWith(QLatin1Char('/')))
                relative += QLatin1Char('/');
            EXPECT_TRUE(m_pServer->AddFile(relative + name, contents));
        }
    }

    // The window as the FTP information leaves it: settings loaded, list and
    // credentials in place, the session open.
    CUpdaterDlg& Window(std::optional<int> nPassive = 1, const QString& markFolder = {}, const QString& markFile = {},
                        const QString& password = QStringLiteral("secret"))
    {
        {
            orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Create);
            if (nPassive)
                key.WriteNumber(orvanta::settings::PASSIVE, *nPassive);
            key.WriteText(orvanta::settings::DOWN_FOLDER, markFolder);
            key.WriteText(orvanta::settings::DOWN_FILE, markFile);
        }
        m_pDlg = std::make_unique<CUpdaterDlg>();
        m_pDlg->m_timer.stop();
        m_pDlg->LoadSettings();
        m_pDlg->m_szClientPath = m_gamePath;
        m_pDlg->m_fileList = m_entries;
        if (m_pServer) {
            m_pDlg->m_ftpInfo.host = m_pServer->HostText().toStdString();
            m_pDlg->m_ftpInfo.user = "updater";
            m_pDlg->m_ftpInfo.password = password.toStdString();
        }
        CFtpSession::CreateInstance();
        CFtpSession::GetInstance()->Open();
        return *m_pDlg;
    }

    // Logs in and runs the sequence until it ends, or the login fails.
    bool Run(int nTimeoutMs = 15000)
    {
        m_pDlg->ConnectFtp();
        return WaitForEnd(nTimeoutMs);
    }

    bool WaitForEnd(int nTimeoutMs = 15000)
    {
        CUpdaterDlg* pDlg = m_pDlg.get();
        return testing_support::WaitFor(
            [this, pDlg] {
                Observe();
                return (pDlg->m_bSequenceStarted && !pDlg->m_bDownloading) ||
                       (!pDlg->m_bSequenceStarted && pDlg->m_bLaunchReady);
            },
            nTimeoutMs);
    }

    // The texts of 1013 and 1016 in the order they were shown.
    void Observe()
    {
        const QString count = m_pDlg->m_stFileCount->text();
        if (!count.isEmpty() && (m_counts.isEmpty() || m_counts.back() != count))
            m_counts << count;
        const QString total = m_pDlg->m_stTotalBytes->text();
        if (!total.isEmpty() && (m_totals.isEmpty() || m_totals.back() != total))
            m_totals << total;
    }

    // The file counter only ever went up, never below nFirst, and ended at nLast.
    // (The test sees the texts between event batches, so it may miss some.)
    bool CountsRiseFrom(int nFirst, int nLast) const
    {
        int nPrevious = nFirst - 1;
        for (const QString& count : m_counts) {
            const int n = count.section(QLatin1Char(' '), 0, 0).toInt();
            if (n <= nPrevious || count != QStringLiteral("%1 / %2").arg(n).arg(nLast))
                return false;
            nPrevious = n;
        }
        return nPrevious == nLast;
    }

    static QString Stored(const char* name)
    {
        if (CFtpSession* pSession = CFtpSession::GetInstance())
            pSession->FlushResumeMark();
        orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Existing);
        return key.ReadText(name).value_or(QStringLiteral("<none>"));
    }

    QStringList Retrieved() const
    {
        QStringList files;
        const QStringList log = m_pServer->Log();
        for (const QString& line : log) {
            if (line.startsWith(QLatin1String("RETR ")))
                files << line.mid(5);
        }
        return files;
    }

    std::uint64_t Total() const
    {
        std::uint64_t n = 0;
        for (const auto& entry : m_entries)
            n += entry.size;
        return n;
    }

    testing_support::CTempStore m_store;
    QTemporaryDir m_parent;  // the game folder and nothing else lives here
    QString m_gamePath;
    std::unique_ptr<CFtpServer> m_pServer;
    std::vector<orvanta::FileEntry> m_entries;
    std::unique_ptr<CUpdaterDlg> m_pDlg;
    QStringList m_counts;
    QStringList m_totals;
    QTimer m_boxGuard;
    QPointer<QWidget> m_pModalSeen;
    QElapsedTimer m_modalSince;
};

TEST_F(DownloadTest, FetchesNestedFoldersAndOddEntriesIntoTheGameFolder)
{
    Server();
    Add(QStringLiteral("data/map"), QStringLiteral("a.bin"), Pattern(3000, 'a'));
    Add(QStringLiteral("data"), QStringLiteral("b.bin"), Pattern(1500, 'b'));
    Add(QString(), QStringLiteral("root.bin"), Pattern(10, 'c'));
    Add(QStringLiteral("/abs/dir"), QStringLiteral("c.bin"), Pattern(20, 'd'));
    Add(QStringLiteral("data/map/"), QStringLiteral("z.bin"), Pattern(30, 'e'));
    Add(QStringLiteral("data"), QStringLiteral("empty.bin"), QByteArray());
    Add(QStringLiteral("한글폴더"), QStringLiteral("한글.bin"), Pattern(500, 'f'));
    CUpdaterDlg& dlg = Window(1, QStringLiteral("no"), QStringLiteral("match"));
    ASSERT_TRUE(Run());

    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트를 완료했습니다."));
    EXPECT_TRUE(dlg.m_bDownloadComplete);
    EXPECT_TRUE(dlg.m_bLaunchReady);
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("data/map/a.bin")), Pattern(3000, 'a'));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("data/b.bin")), Pattern(1500, 'b'));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("root.bin")), Pattern(10, 'c'));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("abs/dir/c.bin")), Pattern(20, 'd'));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("data/map/z.bin")), Pattern(30, 'e'));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("data/empty.bin")), QByteArray());
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("한글폴더/한글.bin")), Pattern(500, 'f'));
    EXPECT_EQ(FilesUnder(m_parent.path()).size(), 7);  // nothing else, no temporary file

    // The server saw the paths the list spelt, Korean in CP949, over one
    // login, each file one PASV and one RETR.
    EXPECT_EQ(Retrieved(), (QStringList{QStringLiteral("data/map/a.bin"), QStringLiteral("data/b.bin"),
                                        QStringLiteral("/root.bin"), QStringLiteral("/abs/dir/c.bin"),
                                        QStringLiteral("data/map/z.bin"), QStringLiteral("data/empty.bin"),
                                        QStringLiteral("한글폴더/한글.bin")}));
    EXPECT_EQ(m_pServer->Count(QStringLiteral("USER ")), 1);
    EXPECT_EQ(m_pServer->Count(QStringLiteral("PASV")), 7);
    EXPECT_EQ(m_pServer->Count(QStringLiteral("PORT")), 0);

    // The mark is cleared, both bars are full, the counters show the end.
    EXPECT_EQ(Stored(orvanta::settings::DOWN_FOLDER), QString());
    EXPECT_EQ(Stored(orvanta::settings::DOWN_FILE), QString());
    EXPECT_EQ(dlg.m_progTotal->Pos(), dlg.m_progTotal->Upper());
    EXPECT_EQ(dlg.m_progFile->Pos(), dlg.m_progFile->Upper());
    EXPECT_EQ(dlg.m_stFileCount->text(), QStringLiteral("7 / 7"));
    EXPECT_EQ(dlg.m_stFileBytes->text(), QStringLiteral("500 / 500"));
    EXPECT_EQ(dlg.m_stFileName->text(), QStringLiteral("한글.bin"));
    EXPECT_EQ(dlg.m_stTotalBytes->text(), QStringLiteral("%1 / %1").arg(Total()));
    EXPECT_EQ(g_dwAllRecv, Total());
    EXPECT_TRUE(CountsRiseFrom(1, 7));
}

struct Mode {
    const char* name;
    std::optional<int> nPassive;
    int nRefuse;
    const char* dataCommand;  // what every transfer must use
    const char* otherCommand;  // what none may use
};

class DownloadModeTest : public DownloadTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(DownloadModeTest, UsesTheModeThatLoggedIn)
{
    const Mode& mode = GetParam();
    CFtpServer::Options options;
    options.nRefuse = mode.nRefuse;
    Server(options);
    Add(QStringLiteral("a"), QStringLiteral("1.bin"), Pattern(4000, 'g'));
    Add(QStringLiteral("a"), QStringLiteral("2.bin"), Pattern(400, 'h'));
    CUpdaterDlg& dlg = Window(mode.nPassive);
    ASSERT_TRUE(Run());
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트를 완료했습니다."));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("a/2.bin")), Pattern(400, 'h'));
    EXPECT_EQ(m_pServer->Count(QString::fromLatin1(mode.dataCommand)), 2);
    EXPECT_EQ(m_pServer->Count(QString::fromLatin1(mode.otherCommand)), 0);
    EXPECT_EQ(m_pServer->Count(QStringLiteral("REFUSED")), mode.nRefuse);
    EXPECT_EQ(m_pServer->Count(QStringLiteral("EP")), 0);  // neither EPSV nor EPRT
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DownloadModeTest,
    ::testing::Values(Mode{"Passive", 1, 0, "PASV", "PORT"}, Mode{"ActiveWhenUnset", std::nullopt, 0, "PORT ", "PASV"},
                      Mode{"ActiveWhenZero", 0, 0, "PORT ", "PASV"},
                      Mode{"PassiveRetryAfterActiveFailed", 0, 1, "PASV", "PORT"}),
    [](const ::testing::TestParamInfo<Mode>& param) { return std::string(param.param.name); });

TEST_F(DownloadTest, WrongPasswordEndsTheUpdateWithTheLoginFailure)
{
    Server();
    Add(QStringLiteral("a"), QStringLiteral("1.bin"), Pattern(40, 'i'));
    CUpdaterDlg& dlg = Window(1, {}, {}, QStringLiteral("wrong"));
    CBoxAnswerer answerer(Steps{{QMessageBox::Ok, {}}});
    ASSERT_TRUE(Run());
    ASSERT_EQ(answerer.Boxes().size(), 1u);
    EXPECT_EQ(answerer.Boxes()[0].title, QStringLiteral("-_-;;"));
    EXPECT_EQ(answerer.Boxes()[0].text, QStringLiteral("FTP접속 실패입니다."));
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("자동 패치 FTP서버 접속에 실패했습니다."));
    EXPECT_TRUE(dlg.m_bLaunchReady);
    EXPECT_FALSE(dlg.m_bSequenceStarted);
    EXPECT_TRUE(FilesUnder(m_parent.path()).isEmpty());
}

TEST_F(DownloadTest, EmptyListFetchesNothingAndTouchesNothing)
{
    Server();
    CUpdaterDlg& dlg = Window();
    dlg.ConnectFtp();
    ASSERT_TRUE(testing_support::WaitFor([&dlg] { return dlg.m_bDownloadComplete; }));
    QTest::qWait(100);
    EXPECT_FALSE(dlg.m_bSequenceStarted);
    EXPECT_FALSE(dlg.m_bLaunchReady);
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트 서버에 접속중"));
    EXPECT_TRUE(dlg.m_stFileCount->text().isEmpty());
    EXPECT_EQ(m_pServer->Count(QStringLiteral("RETR")), 0);
}

// Resume: where fetching starts for a given mark.
struct Resume {
    const char* name;
    const char* markName;
    int nFirst;      // index of the first entry fetched
    bool bStall;     // hold the first fetched entry to look at the start
};

class DownloadResumeTest : public DownloadTest, public ::testing::WithParamInterface<Resume> {};

TEST_P(DownloadResumeTest, StartsAtTheMarkedEntry)
{
    const Resume& resume = GetParam();
    CFtpServer::Options options;
    if (resume.bStall) {
        options.nStallAfter = 0;
        options.match = QStringLiteral("3.bin");
    }
    Server(options);
    const std::uint32_t sizes[] = {1000, 2000, 30000, 4000, 5000};
    // "3.bin" twice when the mark names a pair: the later one wins.
    const bool bPair = QByteArray(resume.markName) == "pair";
    for (int i = 0; i < 5; ++i) {
        const QString name = bPair && (i == 1 || i == 3) ? QStringLiteral("pair") : QStringLiteral("%1.bin").arg(i + 1);
        Add(QStringLiteral("d"), name, Pattern(sizes[i], char('k' + i)));
    }
    CUpdaterDlg& dlg = Window(1, QStringLiteral("d"), QString::fromLatin1(resume.markName));
    std::uint64_t nBefore = 0;
    for (int i = 0; i < resume.nFirst; ++i)
        nBefore += sizes[i];

    if (resume.bStall) {
        dlg.ConnectFtp();
        ASSERT_TRUE(testing_support::WaitFor([this] {
            Observe();
            return m_pServer->Count(QStringLiteral("RETR")) > 0 && !m_counts.isEmpty();
        }));
        QTest::qWait(200);
        Observe();
        EXPECT_EQ(m_counts, QStringList{QStringLiteral("3 / 5")});
        EXPECT_EQ(g_nCurFile, 2u);
        EXPECT_EQ(g_dwAllRecv, nBefore);
        EXPECT_EQ(dlg.m_progTotal->Upper(), std::int64_t(Total()) - 1);
        EXPECT_EQ(Retrieved(), QStringList{QStringLiteral("d/3.bin")});
        EXPECT_EQ(Stored(orvanta::settings::DOWN_FILE), QStringLiteral("3.bin"));
        return;  // the teardown closes the window on the stalled transfer
    }

    ASSERT_TRUE(Run());
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트를 완료했습니다."));
    EXPECT_EQ(Retrieved().size(), 5 - resume.nFirst);
    EXPECT_TRUE(CountsRiseFrom(resume.nFirst + 1, 5));
    // Complete only because the count started with the entries before the mark.
    EXPECT_EQ(m_totals.back(), QStringLiteral("%1 / %1").arg(Total()));
    EXPECT_EQ(g_dwAllRecv, Total());
    for (int i = 0; i < 5; ++i) {
        const QString name = QString::fromStdString(m_entries[i].name);
        const bool bFetched = i >= resume.nFirst || name == QLatin1String(resume.markName);
        EXPECT_EQ(QFileInfo::exists(m_gamePath + QStringLiteral("d/") + name), bFetched) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Marks, DownloadResumeTest,
                         ::testing::Values(Resume{"ThirdOfFive", "3.bin", 2, false},
                                           Resume{"ThirdOfFiveAtTheStart", "3.bin", 2, true},
                                           Resume{"NoMatchStartsAtTheFirst", "gone.bin", 0, false},
                                           Resume{"LastOfTwoMatchesWins", "pair", 3, false}),
                         [](const ::testing::TestParamInfo<Resume>& param) { return std::string(param.param.name); });

// Files that do not arrive whole stop the sequence; the mark stays on
// them and the old file stays as it was.
struct Short {
    const char* name;
    int nBad;                  // which of three entries
    qint64 nServerShort;       // the server sends fewer bytes than it has
    std::int64_t nListDelta;   // the list claims this many bytes more than the file has
    bool bServe;
    const char* status;
};

class DownloadShortTest : public DownloadTest, public ::testing::WithParamInterface<Short> {};

TEST_P(DownloadShortTest, StopsTheSequence)
{
    const Short& bad = GetParam();
    CFtpServer::Options options;
    options.nShort = bad.nServerShort;
    options.match = QStringLiteral("bad");
    Server(options);
    for (int i = 0; i < 3; ++i) {
        const bool bBad = i == bad.nBad;
        const QByteArray contents = Pattern(2000, char('p' + i));
        const QString name = bBad ? QStringLiteral("bad.bin") : QStringLiteral("%1.bin").arg(i);
        Add(QStringLiteral("s"), name, contents, std::uint32_t(contents.size() + (bBad ? bad.nListDelta : 0)),
            !bBad || bad.bServe);
    }
    const QString badPath = m_gamePath + QStringLiteral("s/bad.bin");
    WriteFile(badPath, "old contents");
    CUpdaterDlg& dlg = Window();
    ASSERT_TRUE(Run());
    EXPECT_EQ(dlg.StatusText(), QString::fromUtf8(bad.status));
    EXPECT_FALSE(dlg.m_bLaunchReady);
    EXPECT_FALSE(dlg.m_bDownloadComplete);
    EXPECT_EQ(Retrieved().size(), bad.nBad + 1);  // nothing after the bad one
    EXPECT_EQ(ReadAll(badPath), QByteArray("old contents"));
    EXPECT_EQ(Stored(orvanta::settings::DOWN_FILE), QStringLiteral("bad.bin"));
    EXPECT_TRUE(FilesUnder(m_gamePath).filter(QStringLiteral(".part")).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, DownloadShortTest,
    ::testing::Values(Short{"ListedLargerInTheMiddle", 1, 0, 500, true, "파일 갱신 오류 발생/다시 접속 시도하세요"},
                      Short{"MissingOnTheServer", 1, 0, 0, false, "파일 갱신 오류 발생/다시 접속 시도하세요"},
                      Short{"ServerSendsLessAtTheEnd", 2, 300, 0, true, "파일 갱신 문제 발생/재시도 하세요"},
                      Short{"ServerSendsMoreAtTheEnd", 2, 0, -300, true, "파일 갱신 문제 발생/재시도 하세요"}),
    [](const ::testing::TestParamInfo<Short>& param) { return std::string(param.param.name); });

TEST_F(DownloadTest, ServerKilledMidTransferKeepsTheOldFile)
{
    CFtpServer::Options options;
    options.nThrottle = 64 * 1024;
    Server(options);
    Add(QStringLiteral("k"), QStringLiteral("big.bin"), Pattern(512 * 1024, 'q'));
    Add(QStringLiteral("k"), QStringLiteral("after.bin"), Pattern(10, 'r'));
    const QString target = m_gamePath + QStringLiteral("k/big.bin");
    WriteFile(target, "the old game file");
    CUpdaterDlg& dlg = Window();
    dlg.ConnectFtp();
    ASSERT_TRUE(testing_support::WaitFor([] { return g_dwFileRecv > 0; }, 10000));
    m_pServer->Kill();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("FTP서버 연결 종료/재실행 하세요"));
    EXPECT_FALSE(dlg.m_bDownloading);
    EXPECT_FALSE(dlg.m_bLaunchReady);
    EXPECT_EQ(ReadAll(target), QByteArray("the old game file"));
    EXPECT_EQ(FilesUnder(m_parent.path()), QStringList{QStringLiteral("game/k/big.bin")});
    EXPECT_EQ(Stored(orvanta::settings::DOWN_FILE), QStringLiteral("big.bin"));
}

TEST_F(DownloadTest, ReadOnlyTargetIsReplaced)
{
    Server();
    Add(QStringLiteral("r"), QStringLiteral("ro.bin"), Pattern(777, 's'));
    const QString target = m_gamePath + QStringLiteral("r/ro.bin");
    WriteFile(target, "read-only old file");
    ASSERT_TRUE(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    CUpdaterDlg& dlg = Window();
    ASSERT_TRUE(Run());
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트를 완료했습니다."));
    EXPECT_EQ(ReadAll(target), Pattern(777, 's'));
    EXPECT_TRUE(QFileInfo(target).permissions() & QFileDevice::WriteOwner);
}

// Entries that would land outside the game folder, or that Windows cannot
// hold (the first entry is fine/first.bin).
struct Unsafe {
    const char* name;
    const char* folder;
    const char* file;
};

const std::string LONG_NAME(240, 'n');

class DownloadUnsafeTest : public DownloadTest, public ::testing::WithParamInterface<Unsafe> {};

TEST_P(DownloadUnsafeTest, IsRefusedBeforeAnythingIsWritten)
{
    const Unsafe& unsafe = GetParam();
    Server();
    Add(QStringLiteral("fine"), QStringLiteral("first.bin"), Pattern(10, 't'));
    Add(QString::fromUtf8(unsafe.folder), QString::fromUtf8(unsafe.file), Pattern(10, 'u'), std::nullopt, false);
    m_pServer->AddFile(QStringLiteral("x.bin"), Pattern(10, 'v'));
    CUpdaterDlg& dlg = Window(1, QStringLiteral("keep"), QStringLiteral("this.bin"));
    ASSERT_TRUE(Run());
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("파일 업데이트 오류 발생 되었습니다."));
    EXPECT_TRUE(dlg.m_bLaunchReady);
    EXPECT_FALSE(dlg.m_bDownloading);
    EXPECT_EQ(m_pServer->Count(QStringLiteral("RETR")), 0);
    EXPECT_TRUE(FilesUnder(m_parent.path()).isEmpty());
    EXPECT_EQ(QDir(m_parent.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("game")});
    EXPECT_EQ(Stored(orvanta::settings::DOWN_FOLDER), QStringLiteral("keep"));
    EXPECT_EQ(Stored(orvanta::settings::DOWN_FILE), QStringLiteral("this.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, DownloadUnsafeTest,
    ::testing::Values(Unsafe{"ParentFolder", "..", "x.bin"}, Unsafe{"ParentInsideFolder", "a/../..", "x.bin"},
                      Unsafe{"ParentAfterLeadingSlash", "/..", "x.bin"}, Unsafe{"ParentAsName", "ok", ".."},
                      Unsafe{"DotAsName", "ok", "."}, Unsafe{"EmptyName", "ok", ""},
                      Unsafe{"ParentInName", "ok", "../x.bin"}, Unsafe{"SlashInName", "ok", "a/x.bin"},
                      Unsafe{"DriveLetter", "C:/game", "x.bin"}, Unsafe{"NetworkPath", "//host/share", "x.bin"},
                      Unsafe{"BackslashFolder", "..\\..", "x.bin"}, Unsafe{"BackslashName", "ok", "..\\x.bin"},
                      Unsafe{"DeviceName", "ok", "Con.bin"}, Unsafe{"CaseOnly", "Fine", "First.bin"},
                      Unsafe{"PastWindowsLimit", "ok", LONG_NAME.c_str()}),
    [](const ::testing::TestParamInfo<Unsafe>& param) { return std::string(param.param.name); });

TEST_F(DownloadTest, FolderQuestionRetriesAfterOkAndGivesUpOnCancel)
{
    for (const bool bRetry : {true, false}) {
        SCOPED_TRACE(bRetry ? "OK" : "Cancel");
        TearDown();
        m_entries.clear();
        Server();
        Add(QStringLiteral("blocked/inner"), QStringLiteral("a.bin"), Pattern(99, 'w'));
        const QString blocker = m_gamePath + QStringLiteral("blocked");
        QDir(blocker).removeRecursively();
        WriteFile(blocker, "a file where a folder belongs");
        CUpdaterDlg& dlg = Window();
        CBoxAnswerer answerer(Steps{{QMessageBox::Ok, {}},
                               {bRetry ? QMessageBox::Ok : QMessageBox::Cancel,
                                [blocker, bRetry] {
                                    if (bRetry)
                                        QFile::remove(blocker);
                                }}});
        ASSERT_TRUE(Run());
        ASSERT_EQ(answerer.Boxes().size(), 2u);
        EXPECT_EQ(answerer.Boxes()[0].title, orvanta::ApplicationTitle());
        EXPECT_EQ(answerer.Boxes()[0].text, QStringLiteral("디렉토리를 만들 수 없습니다."));
        EXPECT_EQ(answerer.Boxes()[1].title, QStringLiteral("오류 발생"));
        EXPECT_EQ(answerer.Boxes()[1].text,
                  QStringLiteral("해당 파일일이 위치한 폴더 구성에 실해 하였습니다.\n다시 시도하시겠습니다"));
        EXPECT_EQ(Stored(orvanta::settings::DOWN_FILE), bRetry ? QString() : QStringLiteral("a.bin"));
        if (bRetry) {
            EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트를 완료했습니다."));
            EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("blocked/inner/a.bin")), Pattern(99, 'w'));
        } else {
            EXPECT_EQ(dlg.StatusText(), QStringLiteral("파일 업데이트 오류 발생 되었습니다."));
            EXPECT_TRUE(dlg.m_bLaunchReady);
            EXPECT_EQ(m_pServer->Count(QStringLiteral("RETR")), 0);
        }
    }
}

TEST_F(DownloadTest, TransferQuestionNamesTheFileAndCodeAndAsksAgain)
{
    Server();
    Add(QStringLiteral("n"), QStringLiteral("ok.bin"), Pattern(50, 'x'));
    // Fits the wire's field, but not a file name on this file system.
    const QString longName = QString(90, QChar(0xD55C)) + QStringLiteral(".bin");
    Add(QStringLiteral("n"), longName, Pattern(50, 'y'), std::nullopt, false);
    CUpdaterDlg& dlg = Window();
    CBoxAnswerer answerer(Steps{{QMessageBox::Ok, {}}, {QMessageBox::Cancel, {}}});
    ASSERT_TRUE(Run());
    const QString question = QStringLiteral("%1 - %2오류\n다시 시도하시겠습니다").arg(longName).arg(FTP_ERROR_NAME_TOO_LONG);
    ASSERT_EQ(answerer.Boxes().size(), 2u);
    for (const auto& box : answerer.Boxes()) {
        EXPECT_EQ(box.title, QStringLiteral("오류 발생"));
        EXPECT_EQ(box.text, question);
    }
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("파일 업데이트 오류 발생 되었습니다."));
    EXPECT_TRUE(dlg.m_bLaunchReady);
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("n/ok.bin")), Pattern(50, 'x'));
    EXPECT_EQ(Stored(orvanta::settings::DOWN_FILE), longName);
}

TEST_F(DownloadTest, StrayNotificationsChangeNothing)
{
    Server();
    Add(QStringLiteral("a"), QStringLiteral("1.bin"), Pattern(300, 'z'));
    CUpdaterDlg& dlg = Window();
    const FtpStatusInfo info{1000, true};
    for (const std::uint32_t dwStatus : std::initializer_list<std::uint32_t>{
             FTP_STATUS_BYTES, FTP_STATUS_REQUEST_COMPLETE, FTP_STATUS_CONNECTION_CLOSED, FTP_STATUS_TRANSFER_STARTED, 77})
        dlg.OnFtpStatus(dwStatus, &info);
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트 서버에 접속중"));
    EXPECT_EQ(g_dwAllRecv, 0u);
    EXPECT_TRUE(dlg.m_stFileCount->text().isEmpty());

    ASSERT_TRUE(Run());
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트를 완료했습니다."));
    // A second start signal and late notifications after the end.
    dlg.OnFtpStatus(FTP_STATUS_START, nullptr);
    dlg.OnFtpStatus(FTP_STATUS_BYTES, &info);
    dlg.OnFtpStatus(FTP_STATUS_CONNECTION_CLOSED, &info);
    QTest::qWait(200);
    EXPECT_EQ(dlg.StatusText(), QStringLiteral("업데이트를 완료했습니다."));
    EXPECT_EQ(dlg.m_dwTotalSize, 300u);
    EXPECT_EQ(g_dwAllRecv, 300u);
    EXPECT_EQ(m_pServer->Count(QStringLiteral("RETR")), 1);
}

TEST_F(DownloadTest, TotalsPastFourGiBStayUnsigned)
{
    orvanta::FileEntry first;
    first.folder = "big";
    first.name = "one.bin";
    first.size = 0xC0000000u;  // 3 GiB
    orvanta::FileEntry second = first;
    second.name = "two.bin";
    second.size = 0x80000000u;  // 2 GiB
    m_entries = {first, second};
    CUpdaterDlg& dlg = Window();
    dlg.PrepareTotals();
    EXPECT_EQ(dlg.m_dwTotalSize, 5368709120u);
    EXPECT_EQ(dlg.m_progTotal->Upper(), 5368709119);

    // Counts as the session would report them for the second file.
    dlg.m_bDownloading = true;
    g_nCurFile = 1;
    g_dwAllRecv = first.size;
    dlg.OnFtpStatus(FTP_STATUS_TRANSFER_STARTED, nullptr);
    EXPECT_EQ(dlg.m_stFileCount->text(), QStringLiteral("2 / 2"));
    EXPECT_EQ(dlg.m_progFile->Upper(), 2147483647);
    const FtpStatusInfo info{0x7FFFFFFFu, false};
    dlg.OnFtpStatus(FTP_STATUS_BYTES, &info);
    EXPECT_EQ(dlg.m_stFileBytes->text(), QStringLiteral("2147483647 / 2147483648"));
    EXPECT_EQ(dlg.m_stTotalBytes->text(), QStringLiteral("5368709119 / 5368709120"));
    const FtpStatusInfo more{5, false};
    dlg.OnFtpStatus(FTP_STATUS_BYTES, &more);
    EXPECT_EQ(dlg.m_stFileBytes->text(), QStringLiteral("2147483648 / 2147483648"));
    EXPECT_EQ(dlg.m_stTotalBytes->text(), QStringLiteral("5368709120 / 5368709120"));
    EXPECT_EQ(dlg.m_progTotal->Pos(), dlg.m_progTotal->Upper());
    EXPECT_EQ(dlg.m_progFile->Pos(), dlg.m_progFile->Upper());
}

} // namespace
