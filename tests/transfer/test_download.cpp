// The update engine's download sequence against a real FTP server, with the
// patch server's frames handed to the engine as a connected link delivers
// them.
#include "support/EngineRun.h"

#include "engine/UpdateSession.h"
#include "patch/Cp949.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"
#include "patch/Digest.h"
#include "patch/Manifest.h"
#include "transfer/Crypto.h"
#include "transfer/Delta.h"
#include "transfer/DigestCache.h"
#include "transfer/LocalCheck.h"
#include "transfer/FtpSession.h"
#include "transfer/Progress.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#ifndef _WIN32
#include <unistd.h>
#endif

using testing_support::CEngineRun;
using testing_support::CFtpServer;
using testing_support::Pattern;
using testing_support::ReadAll;
using testing_support::WaitFor;
using State = CUpdateSession::State;
using Box = IUpdatePrompts::Box;

namespace {

// Root can mount the small file systems that stand in for another user's
// folder and a full disk; Windows has no such mounts.
bool CanMountFileSystems()
{
#ifdef _WIN32
    return false;
#else
    return ::geteuid() == 0;
#endif
}

constexpr std::int32_t INSTALLED_VERSION = 1;
constexpr std::int32_t RELEASE_VERSION = 2;

const QString COMPLETE = QStringLiteral("업데이트를 완료했습니다.");
const QString STOPPED = QStringLiteral("파일 업데이트 오류 발생 되었습니다.");
const QString RETRY_FOLDER = QStringLiteral("해당 파일일이 위치한 폴더 구성에 실해 하였습니다.\n다시 시도하시겠습니다");

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

QString StoredText(const char* name)
{
    orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Existing);
    return key.ReadText(name).value_or(QStringLiteral("<none>"));
}

// What the store holds when the run starts.
struct StoreValues {
    std::optional<int> nPassive = 1;
    QString markFolder;
    QString markFile;
    std::optional<std::int32_t> nMarkVersion = RELEASE_VERSION;
    QString password = QStringLiteral("secret");
    std::int32_t nInstalled = INSTALLED_VERSION;
    std::optional<orvanta::Ed25519PublicKey> trustedKey;  // a keyed build's
    std::optional<int> nConnections = 1;  // one file at a time unless a test says otherwise
    FtpTimeouts ftpTimeouts;
    std::optional<int> nMaxRateKiB;
};

class DownloadTest : public ::testing::Test {
protected:
    // A file the player holds at its older bytes, listed at its newer ones
    // with a patch between them, in folder "p"; the server gets the whole
    // file unless bServeFile is false, and the patch from the caller.
    struct Patched {
        QByteArray patch;
        QString name;  // on the server
    };
    Patched AddPatched(const QString& name, const QByteArray& older, const QByteArray& newer, bool bServeFile = true)
    {
        QTemporaryDir work;
        const auto path = [&](const char* file) { return QFile::encodeName(work.filePath(file)).toStdString(); };
        WriteFile(work.filePath("old"), older);
        WriteFile(work.filePath("new"), newer);
        Patched out;
        EXPECT_TRUE(orvanta::MakePatch(path("old"), path("new"), path("patch"), {.nLevel = 3}, nullptr));
        out.patch = ReadAll(work.filePath("patch"));
        Add(QStringLiteral("p"), name, newer, std::nullopt, bServeFile);
        const orvanta::BasePrefix base = orvanta::PrefixOf(Sha256Of(older));
        orvanta::SetEntryDelta(&m_entries.back(), Sha256Of(newer), base);
        WriteFile(m_gamePath + QStringLiteral("p/") + name, older);
        out.name = QStringLiteral("p/") +
                   QString::fromStdString(orvanta::PatchFileName(name.toStdString(), base, Sha256Of(newer)));
        return out;
    }

    // One list entry; the server gets the file unless bServe is false. The
    // size listed defaults to the contents' size.
    void Add(const QString& folder, const QString& name, const QByteArray& contents,
             std::optional<std::uint32_t> nListed = std::nullopt, bool bServe = true)
    {
        orvanta::FileEntry entry;
        entry.folder = Wire(folder);
        entry.name = Wire(name);
        entry.size = nListed.value_or(std::uint32_t(contents.size()));
        if (m_bDigests)
            orvanta::SetEntryDigest(&entry, Sha256Of(contents));
        m_entries.push_back(entry);
        if (bServe) {
            QString relative = folder;
            while (relative.startsWith(QLatin1Char('/')))
                relative.remove(0, 1);
            if (!relative.isEmpty() && !relative.endsWith(QLatin1Char('/')))
                relative += QLatin1Char('/');
            EXPECT_TRUE(m_run.Ftp().AddFile(relative + name, contents));
        }
    }

    // A fresh run up to the end of the list: the store written, the engine
    // connected to its patch server, told of a newer release and given the
    // entries. The FTP information is still to come.
    void Start(const StoreValues& values = {})
    {
        using namespace orvanta::settings;
        m_password = values.password;
        CEngineRun::Values store = {
            {DOWN_FOLDER, values.markFolder}, {DOWN_FILE, values.markFile}, {CLIENT_VERSION, values.nInstalled}};
        if (values.nPassive)
            store.push_back({PASSIVE, *values.nPassive});
        if (values.nMarkVersion)
            store.push_back({DOWN_VERSION, *values.nMarkVersion});
        if (values.nConnections)
            store.push_back({CONNECTIONS, *values.nConnections});
        if (values.nMaxRateKiB)
            store.push_back({MAX_RATE, *values.nMaxRateKiB});
        m_run.Start({.store = store,
                     .host = QStringLiteral("127.0.0.1"),
                     .trustedKey = values.trustedKey,
                     .ftpTimeouts = values.ftpTimeouts});
        ASSERT_TRUE(m_run.Peer().WaitForFrames(1));
        Dispatch(orvanta::FRAME_SERVER_VERSION, orvanta::EncodeInt32(RELEASE_VERSION));
        for (const orvanta::FileEntry& entry : m_entries)
            Dispatch(orvanta::FRAME_FILE_ENTRY, orvanta::EncodeFileEntry(entry));
        ASSERT_EQ(m_run.Engine().GetState(), State::CollectingList);
    }

    void Dispatch(std::int32_t type, std::span<const std::uint8_t> payload)
    {
        m_run.Engine().DispatchFrame(type, payload);
    }

    void Login()
    {
        Dispatch(orvanta::FRAME_FTP_INFO,
                 orvanta::EncodeFtpInfo({m_run.Ftp().HostText().toStdString(), "updater", m_password.toStdString()}));
    }

    // Logs in and waits until the run reaches an end.
    bool Run()
    {
        Login();
        return m_run.WaitForEnd();
    }

    // The resume mark once the run is over: shutting down writes what waits.
    QString StoredMarkFile()
    {
        m_run.Engine().Shutdown();
        return StoredText(orvanta::settings::DOWN_FILE);
    }

    // The file counter went up by one from nFirst to nLast, the count fixed.
    bool CountsRiseFrom(quint64 nFirst, quint64 nLast) const
    {
        quint64 n = nFirst;
        for (const CEngineRun::Started& started : m_run.started) {
            if (started.nIndex != n++ || started.nCount != nLast)
                return false;
        }
        return !m_run.started.empty() && n == nLast + 1;
    }

    QStringList Retrieved(qsizetype nFrom = 0) const
    {
        QStringList files;
        const QStringList log = m_run.Ftp().Log();
        for (const QString& line : log.mid(nFrom)) {
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

    static orvanta::Sha256Digest Sha256Of(const QByteArray& bytes)
    {
        orvanta::CSha256 hash;
        hash.Update(bytes.constData(), std::size_t(bytes.size()));
        return hash.Final();
    }

    CEngineRun m_run;
    const QString m_gamePath = m_run.GamePath();
    bool m_bDigests = false;  // Add gives entries the digest of their contents
    std::vector<orvanta::FileEntry> m_entries;
    QString m_password;
};

TEST_F(DownloadTest, FetchesNestedFoldersAndOddEntriesIntoTheGameFolder)
{
    m_run.StartFtp();
    Add(QStringLiteral("data/map"), QStringLiteral("a.bin"), Pattern(3000, 'a'));
    Add(QStringLiteral("data"), QStringLiteral("b.bin"), Pattern(1500, 'b'));
    Add(QString(), QStringLiteral("root.bin"), Pattern(10, 'c'));
    Add(QStringLiteral("/abs/dir"), QStringLiteral("c.bin"), Pattern(20, 'd'));
    Add(QStringLiteral("data/map/"), QStringLiteral("z.bin"), Pattern(30, 'e'));
    Add(QStringLiteral("data"), QStringLiteral("empty.bin"), QByteArray());
    Add(QStringLiteral("한글폴더"), QStringLiteral("한글.bin"), Pattern(500, 'f'));
    // An old file the player made read-only is replaced all the same.
    const QString readOnly = m_gamePath + QStringLiteral("root.bin");
    WriteFile(readOnly, "read-only old file");
    ASSERT_TRUE(QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    ASSERT_NO_FATAL_FAILURE(Start({.markFolder = QStringLiteral("no"), .markFile = QStringLiteral("match")}));
    CUpdateSession& engine = m_run.Engine();
    const QString listing = engine.StatusText();

    // Transfer notifications before the login change nothing.
    const FtpStatusInfo info{1000, true};
    for (const std::uint32_t dwStatus : std::initializer_list<std::uint32_t>{
             FTP_STATUS_START, FTP_STATUS_BYTES, FTP_STATUS_REQUEST_COMPLETE, FTP_STATUS_CONNECTION_CLOSED,
             FTP_STATUS_TRANSFER_STARTED, 77})
        engine.OnFtpStatus(dwStatus, &info);
    EXPECT_EQ(engine.StatusText(), listing);
    EXPECT_EQ(engine.GetState(), State::CollectingList);
    EXPECT_EQ(engine.Counters().dwAllRecv, 0u);
    EXPECT_TRUE(m_run.started.empty());

    ASSERT_TRUE(Run());
    EXPECT_EQ(engine.StatusText(), COMPLETE);
    EXPECT_EQ(engine.GetState(), State::Done);
    EXPECT_TRUE(engine.IsLaunchReady());
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("data/map/a.bin")), Pattern(3000, 'a'));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("data/b.bin")), Pattern(1500, 'b'));
    EXPECT_EQ(ReadAll(readOnly), Pattern(10, 'c'));
    EXPECT_TRUE(QFileInfo(readOnly).permissions() & QFileDevice::WriteOwner);
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("abs/dir/c.bin")), Pattern(20, 'd'));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("data/map/z.bin")), Pattern(30, 'e'));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("data/empty.bin")), QByteArray());
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("한글폴더/한글.bin")), Pattern(500, 'f'));
    EXPECT_EQ(FilesUnder(m_run.ParentPath()).size(), 7);  // nothing else, no temporary file

    // The server saw the paths the list spelt, Korean in CP949, over one
    // login, each file one PASV and one RETR.
    EXPECT_EQ(Retrieved(), (QStringList{QStringLiteral("data/map/a.bin"), QStringLiteral("data/b.bin"),
                                        QStringLiteral("/root.bin"), QStringLiteral("/abs/dir/c.bin"),
                                        QStringLiteral("data/map/z.bin"), QStringLiteral("data/empty.bin"),
                                        QStringLiteral("한글폴더/한글.bin")}));
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("USER ")), 1);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("PASV")), 7);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("PORT")), 0);

    // The mark is cleared before the server hears of the end (frames 16
    // and 18); the counters and both bars reach the end.
    EXPECT_EQ(StoredText(orvanta::settings::DOWN_FOLDER), QString());
    EXPECT_EQ(StoredText(orvanta::settings::DOWN_FILE), QString());
    ASSERT_TRUE(m_run.Peer().WaitForFrames(3));
    EXPECT_EQ(m_run.Peer().Received()[1].type, orvanta::FRAME_UPDATE_DONE);
    EXPECT_EQ(m_run.Peer().Received()[2].type, orvanta::FRAME_UP_TO_DATE);
    EXPECT_TRUE(CountsRiseFrom(1, 7));
    ASSERT_FALSE(m_run.started.empty());
    EXPECT_EQ(m_run.started.back().name, QStringLiteral("한글.bin"));
    EXPECT_EQ(m_run.started.back().nSize, 500u);
    EXPECT_EQ(m_run.nTotal, Total());
    ASSERT_TRUE(m_run.lastCount);
    EXPECT_EQ(m_run.lastCount->fileRecv, 500u);
    EXPECT_EQ(m_run.lastCount->fileSize, 500u);
    EXPECT_EQ(m_run.lastCount->allRecv, Total());
    EXPECT_EQ(m_run.lastCount->total, Total());
    EXPECT_EQ(m_run.complete, (std::pair<quint64, quint64>{500, Total()}));
    EXPECT_EQ(engine.Counters().dwAllRecv, Total());

    // A second start and late notifications after the end change nothing.
    engine.OnFtpStatus(FTP_STATUS_START, nullptr);
    engine.OnFtpStatus(FTP_STATUS_BYTES, &info);
    engine.OnFtpStatus(FTP_STATUS_CONNECTION_CLOSED, &info);
    QTest::qWait(50);
    EXPECT_EQ(engine.StatusText(), COMPLETE);
    EXPECT_EQ(engine.GetState(), State::Done);
    EXPECT_EQ(engine.Counters().dwAllRecv, Total());
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("RETR")), 7);

    // Only now does the server's version become the installed one.
    EXPECT_EQ(orvanta::settings::ReadNumberValue(orvanta::settings::CLIENT_VERSION), INSTALLED_VERSION);
    Dispatch(orvanta::FRAME_GAME_SERVER, orvanta::EncodeGameServerInfo({"10.0.0.9", 5555}));
    EXPECT_EQ(engine.GetState(), State::Ready);
    EXPECT_TRUE(engine.IsUpToDate());
    EXPECT_EQ(engine.GameIp(), QStringLiteral("10.0.0.9"));
    EXPECT_EQ(orvanta::settings::ReadNumberValue(orvanta::settings::CLIENT_VERSION), RELEASE_VERSION);
}

struct Mode {
    const char* name;
    std::optional<int> nPassive;
    int nRefuse;
    const char* dataCommand;   // what every transfer must use
    const char* otherCommand;  // what none may use
};

class DownloadModeTest : public DownloadTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(DownloadModeTest, UsesTheModeThatLoggedIn)
{
    const Mode& mode = GetParam();
    m_run.StartFtp({.nRefuse = mode.nRefuse});
    Add(QStringLiteral("a"), QStringLiteral("1.bin"), Pattern(4000, 'g'));
    Add(QStringLiteral("a"), QStringLiteral("2.bin"), Pattern(400, 'h'));
    ASSERT_NO_FATAL_FAILURE(Start({.nPassive = mode.nPassive}));
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("a/2.bin")), Pattern(400, 'h'));
    EXPECT_EQ(m_run.Ftp().Count(QString::fromLatin1(mode.dataCommand)), 2);
    EXPECT_EQ(m_run.Ftp().Count(QString::fromLatin1(mode.otherCommand)), 0);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("REFUSED")), mode.nRefuse);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("EP")), 0);  // neither EPSV nor EPRT
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DownloadModeTest,
    ::testing::Values(Mode{"Passive", 1, 0, "PASV", "PORT"}, Mode{"ActiveWhenUnset", std::nullopt, 0, "PORT ", "PASV"},
                      Mode{"ActiveWhenZero", 0, 0, "PORT ", "PASV"},
                      Mode{"PassiveRetryAfterActiveFailed", 0, 1, "PASV", "PORT"}),
    [](const ::testing::TestParamInfo<Mode>& param) { return std::string(param.param.name); });

// The login fails: the player is told, may start the game (after frame 19)
// without being told it is current, and the installed version stays.
TEST_F(DownloadTest, WrongPasswordEndsTheUpdateWithTheLoginFailure)
{
    m_run.StartFtp();
    Add(QStringLiteral("a"), QStringLiteral("1.bin"), Pattern(40, 'i'));
    ASSERT_NO_FATAL_FAILURE(Start({.password = QStringLiteral("wrong")}));
    CUpdateSession& engine = m_run.Engine();
    m_run.Prompts().Expect({});
    ASSERT_TRUE(Run());
    ASSERT_EQ(m_run.Prompts().Boxes().size(), 1u);
    const Box& box = m_run.Prompts().Boxes()[0];
    EXPECT_EQ(box.name, QStringLiteral("ftpLoginBox"));
    EXPECT_EQ(box.eOwner, Box::Owner::None);
    EXPECT_FALSE(box.bQuestion);
    EXPECT_EQ(box.caption, QStringLiteral("-_-;;"));
    EXPECT_EQ(box.text, QStringLiteral("FTP접속 실패입니다."));
    EXPECT_EQ(engine.StatusText(), QStringLiteral("자동 패치 FTP서버 접속에 실패했습니다."));
    EXPECT_EQ(engine.GetState(), State::FtpFailed);
    EXPECT_TRUE(engine.IsLaunchReady());
    EXPECT_TRUE(m_run.started.empty());
    EXPECT_TRUE(FilesUnder(m_run.ParentPath()).isEmpty());

    Dispatch(orvanta::FRAME_GAME_SERVER, orvanta::EncodeGameServerInfo({"10.0.0.9", 5555}));
    EXPECT_TRUE(engine.IsLaunchReady());
    EXPECT_FALSE(engine.IsUpToDate());
    EXPECT_EQ(orvanta::settings::ReadNumberValue(orvanta::settings::CLIENT_VERSION), INSTALLED_VERSION);

    // A credential with a line break would be a second FTP command: it
    // fails the login before anything reaches the server.
    const int nUsers = m_run.Ftp().Count(QStringLiteral("USER "));
    ASSERT_NO_FATAL_FAILURE(Start({.password = QStringLiteral("secret\r\nDELE a/1.bin")}));
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().GetState(), State::FtpFailed);
    EXPECT_TRUE(m_run.Engine().IsLaunchReady());
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("USER ")), nUsers);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("DELE")), 0);
}

TEST_F(DownloadTest, EmptyListFetchesNothingAndTouchesNothing)
{
    m_run.StartFtp();
    ASSERT_NO_FATAL_FAILURE(Start());
    Login();
    ASSERT_TRUE(WaitFor([this] { return m_run.Engine().GetState() == State::Done; }));
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    EXPECT_FALSE(m_run.Engine().IsUpToDate()) << "until frame 19 records the version";
    EXPECT_FALSE(m_run.nTotal);
    EXPECT_TRUE(m_run.started.empty());
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("RETR")), 0);
}

// Where fetching starts for a given mark. The entries before it count as
// received, so the run still ends complete.
TEST_F(DownloadTest, ResumeStartsAtTheFirstEntryMarkedForThisRelease)
{
    struct Case {
        const char* what;
        const char* markName;
        std::optional<std::int32_t> nMarkVersion;
        int nFirst;  // index of the first entry fetched
    };
    const Case cases[] = {
        {"third of five", "3.bin", RELEASE_VERSION, 2},
        {"no match", "gone.bin", RELEASE_VERSION, 0},
        {"first of two matches", "pair", RELEASE_VERSION, 1},
        {"mark of another release", "3.bin", RELEASE_VERSION - 1, 0},
        {"mark of no known release", "3.bin", std::nullopt, 0},
    };
    m_run.StartFtp();
    const std::uint32_t sizes[] = {1000, 2000, 30000, 4000, 5000};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(m_gamePath + QStringLiteral("d")).removeRecursively();
        m_entries.clear();
        // "pair" stands at the second and the fourth place, the same file.
        const bool bPair = QByteArray(c.markName) == "pair";
        for (int i = 0; i < 5; ++i) {
            const int n = bPair && i == 3 ? 1 : i;
            const QString name = bPair && n == 1 ? QStringLiteral("pair") : QStringLiteral("%1.bin").arg(i + 1);
            Add(QStringLiteral("d"), name, Pattern(sizes[n], char('k' + n)));
        }
        const qsizetype nLogAt = m_run.Ftp().Log().size();
        ASSERT_NO_FATAL_FAILURE(Start({.markFolder = QStringLiteral("d"),
                                       .markFile = QString::fromLatin1(c.markName),
                                       .nMarkVersion = c.nMarkVersion}));
        ASSERT_TRUE(Run());
        EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
        EXPECT_EQ(Retrieved(nLogAt).size(), 5 - c.nFirst);
        EXPECT_TRUE(CountsRiseFrom(quint64(c.nFirst) + 1, 5));
        ASSERT_TRUE(m_run.lastCount);
        EXPECT_EQ(m_run.lastCount->allRecv, Total());
        EXPECT_EQ(m_run.Engine().Counters().dwAllRecv, Total());
        for (int i = 0; i < 5; ++i) {
            const QString name = QString::fromStdString(m_entries[std::size_t(i)].name);
            EXPECT_EQ(QFileInfo::exists(m_gamePath + QStringLiteral("d/") + name), i >= c.nFirst) << i;
        }
    }
}

// A resumed run seen while its first file arrives: it starts at the mark,
// holds its list and credentials against late frames, arms nothing before
// the files are in, and shuts down promptly on the stalled transfer.
TEST_F(DownloadTest, ResumedRunHoldsItsListWhileAFileArrives)
{
    m_run.StartFtp({.nStallAfter = 0, .match = QStringLiteral("3.bin")});
    const std::uint32_t sizes[] = {1000, 2000, 30000, 4000, 5000};
    for (int i = 0; i < 5; ++i)
        Add(QStringLiteral("d"), QStringLiteral("%1.bin").arg(i + 1), Pattern(sizes[i], char('k' + i)));
    ASSERT_NO_FATAL_FAILURE(Start({.markFolder = QStringLiteral("d"), .markFile = QStringLiteral("3.bin")}));
    CUpdateSession& engine = m_run.Engine();
    Login();
    ASSERT_TRUE(WaitFor([&] { return m_run.Ftp().Count(QStringLiteral("RETR")) > 0 && !m_run.started.empty(); }));
    QTest::qWait(100);
    ASSERT_EQ(m_run.started.size(), 1u);
    EXPECT_EQ(m_run.started[0].nIndex, 3u);
    EXPECT_EQ(m_run.started[0].nCount, 5u);
    EXPECT_EQ(m_run.started[0].name, QStringLiteral("3.bin"));
    EXPECT_EQ(engine.Counters().nCurFile, 2u);
    EXPECT_EQ(engine.Counters().dwAllRecv, 3000u);
    EXPECT_EQ(m_run.nTotal, Total());
    EXPECT_EQ(Retrieved(), QStringList{QStringLiteral("d/3.bin")});
    EXPECT_TRUE(WaitFor([] { return StoredText(orvanta::settings::DOWN_FILE) == QStringLiteral("3.bin"); }));
    EXPECT_EQ(orvanta::settings::ReadNumberValue(orvanta::settings::DOWN_VERSION), RELEASE_VERSION);

    const std::string host = engine.FtpCredentials().host;
    orvanta::FileEntry late;
    late.name = "late.bin";
    Dispatch(orvanta::FRAME_FILE_ENTRY, orvanta::EncodeFileEntry(late));
    Dispatch(orvanta::FRAME_FTP_INFO, orvanta::EncodeFtpInfo({"other", "x", "y"}));
    Dispatch(orvanta::FRAME_SERVER_VERSION, orvanta::EncodeInt32(3));
    Dispatch(orvanta::FRAME_GAME_SERVER, orvanta::EncodeGameServerInfo({"10.0.0.9", 5555}));
    EXPECT_EQ(engine.FileList().size(), 5u);
    EXPECT_EQ(engine.FtpCredentials().host, host);
    EXPECT_EQ(engine.ServerVersion(), RELEASE_VERSION);
    EXPECT_EQ(engine.GetState(), State::Downloading);
    EXPECT_EQ(engine.GameIp(), QStringLiteral("10.0.0.9"));
    EXPECT_FALSE(engine.IsLaunchReady());
    EXPECT_EQ(orvanta::settings::ReadNumberValue(orvanta::settings::CLIENT_VERSION), INSTALLED_VERSION);

    QElapsedTimer clock;
    clock.start();
    engine.Shutdown();
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(engine.GetState(), State::Closed);
    EXPECT_TRUE(FilesUnder(m_run.ParentPath()).isEmpty()) << "no temporary file stays";
}

// Files that do not arrive whole stop the sequence; the mark stays on
// them and the old file stays as it was.
struct Short {
    const char* name;
    int nBad;                 // which of three entries
    qint64 nServerShort;      // the server sends fewer bytes than it has
    std::int64_t nListDelta;  // the list claims this many bytes more than the file has
    bool bServe;
    const char* status;
};

class DownloadShortTest : public DownloadTest, public ::testing::WithParamInterface<Short> {};

TEST_P(DownloadShortTest, StopsTheSequence)
{
    const Short& bad = GetParam();
    m_run.StartFtp({.nShort = bad.nServerShort, .match = QStringLiteral("bad")});
    for (int i = 0; i < 3; ++i) {
        const bool bBad = i == bad.nBad;
        const QByteArray contents = Pattern(2000, char('p' + i));
        const QString name = bBad ? QStringLiteral("bad.bin") : QStringLiteral("%1.bin").arg(i);
        Add(QStringLiteral("s"), name, contents, std::uint32_t(contents.size() + (bBad ? bad.nListDelta : 0)),
            !bBad || bad.bServe);
    }
    const QString badPath = m_gamePath + QStringLiteral("s/bad.bin");
    WriteFile(badPath, "old contents");
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), QString::fromUtf8(bad.status));
    EXPECT_EQ(m_run.Engine().GetState(), State::DownloadBroken);
    EXPECT_FALSE(m_run.Engine().IsLaunchReady());
    EXPECT_EQ(Retrieved().size(), bad.nBad + 1);  // nothing after the bad one
    EXPECT_EQ(ReadAll(badPath), QByteArray("old contents"));
    EXPECT_EQ(StoredMarkFile(), QStringLiteral("bad.bin"));
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
    m_run.StartFtp({.nThrottle = 64 * 1024});
    Add(QStringLiteral("k"), QStringLiteral("big.bin"), Pattern(512 * 1024, 'q'));
    Add(QStringLiteral("k"), QStringLiteral("after.bin"), Pattern(10, 'r'));
    const QString target = m_gamePath + QStringLiteral("k/big.bin");
    WriteFile(target, "the old game file");
    ASSERT_NO_FATAL_FAILURE(Start());
    Login();
    ASSERT_TRUE(WaitFor([this] { return m_run.Engine().Counters().dwFileRecv > 0; }, 10000));
    m_run.Ftp().Kill();
    ASSERT_TRUE(m_run.WaitForEnd());
    EXPECT_EQ(m_run.Engine().StatusText(), QStringLiteral("FTP서버 연결 종료/재실행 하세요"));
    EXPECT_EQ(m_run.Engine().GetState(), State::DownloadBroken);
    EXPECT_FALSE(m_run.Engine().IsLaunchReady());
    EXPECT_EQ(ReadAll(target), QByteArray("the old game file"));
    EXPECT_EQ(FilesUnder(m_run.ParentPath()), QStringList{QStringLiteral("game/k/big.bin")});
    EXPECT_EQ(StoredMarkFile(), QStringLiteral("big.bin"));
}

// Entries that would land outside the game folder, or that carry what no
// file name has: the whole list is refused before anything is written, and
// the mark of the last run stays.
const std::string LONG_NAME(240, 'n');  // past the classic Windows path limit in a typical game folder

TEST_F(DownloadTest, UnsafeEntriesAreRefusedBeforeAnythingIsWritten)
{
    const std::pair<const char*, const char*> entries[] = {
        {"..", "x.bin"},    {"a/../..", "x.bin"},    {"/..", "x.bin"},         {"ok", ".."},
        {"ok", "."},        {"ok", ""},              {"ok", "../x.bin"},       {"ok", "a/x.bin"},
        {"C:/game", "x.bin"}, {"//host/share", "x.bin"}, {"..\\..", "x.bin"}, {"ok", "..\\x.bin"},
        {"ok", "x.bin\r\nDELE 1.bin"},
        // Names Windows cannot hold are refused everywhere.
        {"ok", "Con.bin"}, {"Fine", "First.bin"}, {"ok", LONG_NAME.c_str()},
    };
    m_run.StartFtp();
    m_run.Ftp().AddFile(QStringLiteral("x.bin"), Pattern(10, 'v'));
    for (const auto& [folder, file] : entries) {
        SCOPED_TRACE(std::string(folder) + " | " + file);
        m_entries.clear();
        Add(QStringLiteral("fine"), QStringLiteral("first.bin"), Pattern(10, 't'));
        Add(QString::fromUtf8(folder), QString::fromUtf8(file), Pattern(10, 'u'), std::nullopt, false);
        ASSERT_NO_FATAL_FAILURE(Start({.markFolder = QStringLiteral("keep"), .markFile = QStringLiteral("this.bin")}));
        ASSERT_TRUE(Run());
        EXPECT_EQ(m_run.Engine().StatusText(), STOPPED);
        EXPECT_EQ(m_run.Engine().GetState(), State::DownloadStopped);
        EXPECT_TRUE(m_run.Engine().IsLaunchReady());
        EXPECT_EQ(StoredMarkFile(), QStringLiteral("this.bin"));
        EXPECT_EQ(StoredText(orvanta::settings::DOWN_FOLDER), QStringLiteral("keep"));
        EXPECT_EQ(QDir(m_run.ParentPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{QStringLiteral("game")});
    }
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("RETR")), 0);
    EXPECT_TRUE(FilesUnder(m_run.ParentPath()).isEmpty());

#ifndef _WIN32  // QFile::link makes a shell shortcut there, not a link the file system follows
    // A folder of the game that is a link to elsewhere is not written through.
    const QString outside = m_run.ParentPath() + QStringLiteral("/outside");
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_TRUE(QFile::link(outside, m_gamePath + QStringLiteral("linked")));
    m_entries.clear();
    Add(QStringLiteral("linked"), QStringLiteral("x.bin"), Pattern(10, 'v'), std::nullopt, false);
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().GetState(), State::DownloadStopped);
    EXPECT_TRUE(QDir(outside).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("RETR")), 0);
#endif
}

// A folder that cannot be made: the player is told, then asked whether to
// try again. OK tries again, Cancel gives up; the run may also be shut down
// while the question is up. Nothing waits for the answer: a file before it
// arrives while the question is still up.
TEST_F(DownloadTest, FolderQuestionRetriesAfterOkAndGivesUpOnCancel)
{
    enum class Answer { Retry, GiveUp, ShutDown, Later };
    m_run.StartFtp();
    for (const Answer eAnswer : {Answer::Retry, Answer::GiveUp, Answer::ShutDown, Answer::Later}) {
        SCOPED_TRACE(int(eAnswer));
        m_entries.clear();
        if (eAnswer == Answer::Later)
            Add(QStringLiteral("free"), QStringLiteral("b.bin"), Pattern(77, 'b'));
        Add(QStringLiteral("blocked/inner"), QStringLiteral("a.bin"), Pattern(99, 'w'));
        const QString blocker = m_gamePath + QStringLiteral("blocked");
        QDir(blocker).removeRecursively();
        WriteFile(blocker, "a file where a folder belongs");
        const int nRetrBefore = m_run.Ftp().Count(QStringLiteral("RETR"));
        ASSERT_NO_FATAL_FAILURE(Start());
        m_run.Prompts().Expect({});
        m_run.Prompts().Expect({eAnswer != Answer::GiveUp, [this, blocker, eAnswer] {
                                    if (eAnswer == Answer::Retry)
                                        QFile::remove(blocker);
                                    if (eAnswer == Answer::ShutDown)
                                        m_run.Engine().Shutdown();
                                },
                                eAnswer == Answer::Later});
        if (eAnswer == Answer::Later) {
            Login();
            ASSERT_TRUE(WaitFor([this] { return m_run.Prompts().IsHolding(); }));
            ASSERT_TRUE(WaitFor([this] { return QFileInfo::exists(m_gamePath + QStringLiteral("free/b.bin")); }));
            EXPECT_EQ(m_run.Engine().GetState(), State::Downloading);
            QFile::remove(blocker);
            m_run.Prompts().AnswerHeld(true);
        }
        ASSERT_TRUE(eAnswer == Answer::Later ? m_run.WaitForEnd() : Run());
        const std::vector<Box>& boxes = m_run.Prompts().Boxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].name, QStringLiteral("directoryBox"));
        EXPECT_EQ(boxes[0].eOwner, Box::Owner::Application);
        EXPECT_EQ(boxes[0].text, QStringLiteral("디렉토리를 만들 수 없습니다."));
        EXPECT_EQ(boxes[1].name, QStringLiteral("retryQuestion"));
        EXPECT_TRUE(boxes[1].bQuestion);
        EXPECT_EQ(boxes[1].caption, QStringLiteral("오류 발생"));
        EXPECT_EQ(boxes[1].text, RETRY_FOLDER);
        switch (eAnswer) {
        case Answer::Retry:
        case Answer::Later:
            EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
            EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("blocked/inner/a.bin")), Pattern(99, 'w'));
            EXPECT_EQ(StoredMarkFile(), QString());
            break;
        case Answer::GiveUp:
            EXPECT_EQ(m_run.Engine().StatusText(), STOPPED);
            EXPECT_TRUE(m_run.Engine().IsLaunchReady());
            EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("RETR")), nRetrBefore);
            EXPECT_EQ(StoredMarkFile(), QStringLiteral("a.bin"));
            break;
        case Answer::ShutDown:
            EXPECT_EQ(m_run.Engine().GetState(), State::Closed);
            EXPECT_FALSE(m_run.Engine().IsLaunchReady());
            QTest::qWait(50);
            EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("RETR")), nRetrBefore);
            EXPECT_EQ(StoredText(orvanta::settings::DOWN_FILE), QStringLiteral("a.bin"));
            break;
        }
    }
}

TEST_F(DownloadTest, TransferQuestionNamesTheFileAndCauseAndAsksAgain)
{
    m_run.StartFtp();
    Add(QStringLiteral("n"), QStringLiteral("ok.bin"), Pattern(50, 'x'));
    // Fits the wire's field, but not a file name on this file system.
    const QString longName = QString(90, QChar(0xD55C)) + QStringLiteral(".bin");
    Add(QStringLiteral("n"), longName, Pattern(50, 'y'), std::nullopt, false);
    ASSERT_NO_FATAL_FAILURE(Start());
    m_run.Prompts().Expect({true, {}});
    m_run.Prompts().Expect({false, {}});
    ASSERT_TRUE(Run());
    const QString question = QStringLiteral("%1 - 파일 이름이 너무 깁니다 (%2n/%1)\n다시 시도하시겠습니다").arg(longName, m_gamePath);
    ASSERT_EQ(m_run.Prompts().Boxes().size(), 2u);
    for (const Box& box : m_run.Prompts().Boxes()) {
        EXPECT_EQ(box.caption, QStringLiteral("오류 발생"));
        EXPECT_EQ(box.text, question);
    }
    EXPECT_EQ(m_run.Engine().StatusText(), STOPPED);
    EXPECT_TRUE(m_run.Engine().IsLaunchReady());
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("n/ok.bin")), Pattern(50, 'x'));
    EXPECT_EQ(StoredMarkFile(), longName);
}

// The player's own disk: a folder that takes no file is named in the
// question, and a file that cannot fit is not fetched, patch or whole; the
// run stops naming the cause, the old file and a part kept for resume as
// they were. As root, a read-only and a full file system stand in for a
// folder of another user and a filling disk.
TEST_F(DownloadTest, LocalFaultsNameTheirCauseAndNothingIsFetchedThatCannotFit)
{
    const bool bRoot = CanMountFileSystems();
    std::vector<QString> mounts;
    const auto mountTmpfs = [&](const QString& folder, const QString& options) {
        const bool bMounted = bRoot && QProcess::execute(QStringLiteral("mount"),
                                                         {"-t", "tmpfs", "-o", options, "tmpfs", folder}) == 0;
        if (bMounted)
            mounts.push_back(folder);
        return bMounted;
    };
    const auto cleanup = qScopeGuard([&] {
        orvanta::SetFreeSpaceQuery({});
        for (const QString& folder : mounts)
            QProcess::execute(QStringLiteral("umount"), {folder});
    });
    m_bDigests = true;
    m_run.StartFtp();

    const QString locked = m_gamePath + QStringLiteral("ro");
    ASSERT_TRUE(QDir().mkpath(locked));
#ifdef _WIN32
    const bool bLocked = false;  // a read-only folder still takes files there: only its access list refuses them
#else
    const bool bLocked = bRoot ? mountTmpfs(locked, QStringLiteral("ro,size=64k"))
                               : QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
#endif
    if (bLocked) {
        Add(QStringLiteral("ro"), QStringLiteral("a.bin"), Pattern(100, 'a'));
        ASSERT_NO_FATAL_FAILURE(Start());
        m_run.Prompts().Expect({false, {}});
        ASSERT_TRUE(Run());
        ASSERT_EQ(m_run.Prompts().Boxes().size(), 1u);
        EXPECT_EQ(m_run.Prompts().Boxes()[0].text,
                  QStringLiteral("a.bin - 쓰기 권한이 없습니다 (%1)\n다시 시도하시겠습니다").arg(locked));
        EXPECT_EQ(m_run.Engine().StatusText(), STOPPED);
        if (!bRoot)
            QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    // 512 KiB free: the small file fits, the large one not even with the
    // part a broken run kept.
    orvanta::SetFreeSpaceQuery([](const std::filesystem::path&) { return std::optional<std::uint64_t>(512 * 1024); });
    const QByteArray big = Pattern(3 * 1024 * 1024, 'b');
    const QString target = m_gamePath + QStringLiteral("d/big.bin");
    const QString part = m_gamePath + QStringLiteral("d/.orvanta-%1.part")
                                          .arg(QString::fromLatin1(QCryptographicHash::hash("big.bin", QCryptographicHash::Sha1)
                                                                       .toHex()
                                                                       .left(16)));
    WriteFile(target, "the old big file");
    WriteFile(part, big.left(1024 * 1024));
    m_entries.clear();
    Add(QStringLiteral("d"), QStringLiteral("small.bin"), Pattern(10, 's'));
    Add(QStringLiteral("d"), QStringLiteral("big.bin"), big);
    qsizetype nLog = m_run.Ftp().Log().size();
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(),
              QStringLiteral("디스크 공간이 부족합니다: %1에 2 MB가 더 필요합니다").arg(target));
    EXPECT_EQ(m_run.Engine().GetState(), State::DownloadStopped);
    EXPECT_EQ(m_run.outcomes, std::vector{CUpdateSession::Outcome::Stopped});
    ASSERT_TRUE(m_run.Engine().Fault());
    EXPECT_EQ(m_run.Engine().Fault()->nNeeded, 1536u * 1024);
    EXPECT_EQ(Retrieved(nLog), QStringList{QStringLiteral("d/small.bin")});
    EXPECT_EQ(ReadAll(target), QByteArray("the old big file"));
    EXPECT_EQ(ReadAll(part), big.left(1024 * 1024));
    EXPECT_EQ(StoredMarkFile(), QStringLiteral("big.bin"));

    // A patch is not fetched when the new file it makes cannot fit beside the old.
    m_entries.clear();
    const QByteArray older = Pattern(600000, 'o');
    QByteArray newer = older;
    newer.replace(1000, 100, Pattern(100, 'n'));
    const Patched patched = AddPatched(QStringLiteral("pack.bin"), older, newer);
    ASSERT_TRUE(m_run.Ftp().AddFile(patched.name, patched.patch));
    nLog = m_run.Ftp().Log().size();
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Run());
    EXPECT_TRUE(m_run.Engine().StatusText().startsWith(QStringLiteral("디스크 공간이 부족합니다: %1p/pack.bin에").arg(m_gamePath)));
    EXPECT_TRUE(Retrieved(nLog).isEmpty());
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("p/pack.bin")), older);

    // A disk that fills while the file arrives (the free space said it
    // would fit): the same end, never the network's.
    const QString small = m_gamePath + QStringLiteral("t");
    ASSERT_TRUE(QDir().mkpath(small));
    if (!mountTmpfs(small, QStringLiteral("size=256k")))
        return;
    orvanta::SetFreeSpaceQuery([](const std::filesystem::path&) { return std::optional<std::uint64_t>(1ull << 30); });
    WriteFile(small + QStringLiteral("/big.bin"), "old");
    m_entries.clear();
    Add(QStringLiteral("t"), QStringLiteral("big.bin"), big.left(1024 * 1024));
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Run());
    EXPECT_TRUE(m_run.Engine().StatusText().startsWith(QStringLiteral("디스크 공간이 부족합니다: %1/big.bin에").arg(small)))
        << m_run.Engine().StatusText().toStdString();
    EXPECT_EQ(m_run.Engine().GetState(), State::DownloadStopped);
    EXPECT_EQ(ReadAll(small + QStringLiteral("/big.bin")), QByteArray("old"));
}

// Lists past 4 GiB: the counters do not wrap, the bars get the unclamped
// counts and the counters stop at the file's size and the total.
TEST_F(DownloadTest, DigestsDecideWhatIsFetchedAndWhatIsKept)
{
    // in.bin is already in place, mid.bin is new, last.bin is served with
    // other bytes of the same size than its digest names.
    m_bDigests = true;
    m_run.StartFtp();
    const QByteArray good = Pattern(40000, 'v');
    Add(QStringLiteral("v"), QStringLiteral("in.bin"), Pattern(30000, 'u'));
    Add(QStringLiteral("v"), QStringLiteral("mid.bin"), Pattern(20000, 'w'));
    Add(QStringLiteral("v"), QStringLiteral("last.bin"), good);
    ASSERT_TRUE(m_run.Ftp().AddFile(QStringLiteral("v/last.bin"), Pattern(40000, 'x')));
    WriteFile(m_gamePath + QStringLiteral("v/in.bin"), Pattern(30000, 'u'));
    WriteFile(m_gamePath + QStringLiteral("v/last.bin"), "old last");
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Run());
    EXPECT_EQ(Retrieved(), (QStringList{"v/mid.bin", "v/last.bin"}));
    EXPECT_EQ(m_run.Engine().StatusText(), QStringLiteral("파일 갱신 문제 발생/재시도 하세요"));
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("v/last.bin")), "old last");
    EXPECT_TRUE(FilesUnder(m_gamePath).filter(QStringLiteral(".part")).isEmpty());

    // The server mended: a run over the whole folder fetches only that file,
    // and one more run fetches nothing at all.
    ASSERT_TRUE(m_run.Ftp().AddFile(QStringLiteral("v/last.bin"), good));
    for (const int nExpected : {1, 0}) {
        const qsizetype nLogAt = m_run.Ftp().Log().size();
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_TRUE(Run());
        EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
        EXPECT_EQ(Retrieved(nLogAt).size(), nExpected);
        EXPECT_EQ(m_run.Engine().Counters().dwAllRecv, Total());
    }
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("v/last.bin")), good);
}

// Entries that name a patch from the player's file: the patch where it
// makes the new file, the whole file where the player's file is another
// one or the patch is damaged; the bars count what was fetched.
TEST_F(DownloadTest, PatchesReplaceWholeFilesOnlyWhereTheyMakeTheNewFile)
{
    m_bDigests = true;
    m_run.StartFtp();
    std::uint64_t nExpectedTotal = 0;
    for (const QString& name : {QStringLiteral("pack.bin"), QStringLiteral("edited.bin"), QStringLiteral("broken.bin")}) {
        const QByteArray older = Pattern(600000, name[0].toLatin1());
        QByteArray newer = older;
        newer.replace(250000, 3000, Pattern(3000, 'n'));
        Patched patched = AddPatched(name, older, newer);
        const std::uint64_t nPatch = std::uint64_t(patched.patch.size());
        if (name == QLatin1String("edited.bin")) {
            WriteFile(m_gamePath + QStringLiteral("p/") + name, older + "!");  // changed by hand
            nExpectedTotal += std::uint64_t(newer.size());
        } else if (name == QLatin1String("broken.bin")) {
            patched.patch[nPatch / 2] = char(patched.patch[nPatch / 2] ^ 0x20);
            nExpectedTotal += std::uint64_t(newer.size()) + nPatch;
        } else {
            nExpectedTotal += nPatch;
        }
        ASSERT_TRUE(m_run.Ftp().AddFile(patched.name, patched.patch));
    }
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    const QStringList fetched = Retrieved();
    ASSERT_EQ(fetched.size(), 4) << m_run.Ftp().Log().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(fetched[0].startsWith(QLatin1String("p/pack.bin.")) && fetched[0].endsWith(QLatin1String(".zpatch")));
    EXPECT_EQ(fetched[1], QStringLiteral("p/edited.bin"));
    EXPECT_TRUE(fetched[2].startsWith(QLatin1String("p/broken.bin.")));
    EXPECT_EQ(fetched[3], QStringLiteral("p/broken.bin"));
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const QString file = m_gamePath + QStringLiteral("p/") + QString::fromStdString(m_entries[i].name);
        EXPECT_EQ(Sha256Of(ReadAll(file)), orvanta::EntryDigest(m_entries[i])) << i;
    }
    // The total grew by the broken patch's whole file, and both ends meet.
    EXPECT_EQ(m_run.nTotal, nExpectedTotal);
    EXPECT_EQ(m_run.Engine().Counters().dwAllRecv, nExpectedTotal);
    ASSERT_TRUE(m_run.complete);
    EXPECT_EQ(m_run.complete->second, nExpectedTotal);
    EXPECT_EQ(FilesUnder(m_gamePath), (QStringList{"p/broken.bin", "p/edited.bin", "p/pack.bin"}));
}

// A patch that fails on the player's side after the probe found it (gone
// from the server, or arriving short) costs what came of it plus the whole
// file; the run completes and the counters meet the cost.
TEST_F(DownloadTest, FailedPatchesCostThePatchAndTheFileAndTheRunCompletes)
{
    m_bDigests = true;
    constexpr qint64 SHORT_BY = 10;
    m_run.StartFtp({.nShort = SHORT_BY, .match = QStringLiteral("short.bin.")});
    QString gonePatch;
    std::uint64_t nExpectedTotal = 0;
    for (const QString& name : {QStringLiteral("gone.bin"), QStringLiteral("short.bin")}) {
        const QByteArray older = Pattern(400000, name[0].toLatin1());
        QByteArray newer = older;
        newer.replace(100000, 2000, Pattern(2000, 'n'));
        const Patched patched = AddPatched(name, older, newer);
        ASSERT_TRUE(m_run.Ftp().AddFile(patched.name, patched.patch));
        if (name == QLatin1String("gone.bin"))
            gonePatch = m_run.Ftp().Root() + QLatin1Char('/') + patched.name;
        nExpectedTotal += std::uint64_t(newer.size()) +
                          (name == QLatin1String("short.bin") ? std::uint64_t(patched.patch.size()) - SHORT_BY : 0);
    }
    ASSERT_NO_FATAL_FAILURE(Start());
    // Once the probes have sized the patches, one of them leaves the server.
    QObject::connect(&m_run.Engine(), &CUpdateSession::totalsPrepared, [&] { QFile::remove(gonePatch); });
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    for (const orvanta::FileEntry& entry : m_entries)
        EXPECT_EQ(Sha256Of(ReadAll(m_gamePath + QStringLiteral("p/") + QString::fromStdString(entry.name))),
                  orvanta::EntryDigest(entry));
    EXPECT_EQ(m_run.nTotal, nExpectedTotal);
    EXPECT_EQ(m_run.Engine().Counters().dwAllRecv, nExpectedTotal);
    ASSERT_TRUE(m_run.complete);
    EXPECT_EQ(m_run.complete->second, nExpectedTotal);
    EXPECT_EQ(FilesUnder(m_gamePath), (QStringList{"p/gone.bin", "p/short.bin"}));
}

TEST_F(DownloadTest, BrokenTransferContinuesWhereItStopped)
{
    m_bDigests = true;
    const QByteArray big = Pattern(1024 * 1024, 'y');
    m_run.StartFtp({.nDropAfter = 300 * 1024, .match = QStringLiteral("big")});
    Add(QStringLiteral("r"), QStringLiteral("big.bin"), big);
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Run());
    EXPECT_NE(m_run.Engine().StatusText(), COMPLETE);
    const QStringList parts = FilesUnder(m_gamePath).filter(QStringLiteral(".part"));
    ASSERT_EQ(parts.size(), 1);
    const qint64 nKept = QFileInfo(m_gamePath + parts[0]).size();
    EXPECT_GT(nKept, 0);

    m_run.StartFtp();
    ASSERT_TRUE(m_run.Ftp().AddFile(QStringLiteral("r/big.bin"), big));
    ASSERT_NO_FATAL_FAILURE(Start({.markFolder = QStringLiteral("r"), .markFile = QStringLiteral("big.bin")}));
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("REST %1").arg(nKept)), 1) << m_run.Ftp().Log().join(' ').toStdString();
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("r/big.bin")), big);
    EXPECT_EQ(m_run.Engine().Counters().dwAllRecv, std::uint64_t(big.size()));
    EXPECT_TRUE(FilesUnder(m_gamePath).filter(QStringLiteral(".part")).isEmpty());
}

TEST_F(DownloadTest, PatchStoppedByThePlayerContinuesWhereItStopped)
{
    m_bDigests = true;
    const QByteArray older = Pattern(1024 * 1024, 'o');
    QByteArray newer = older;
    // Bytes that do not compress, so that the patch takes a while.
    QRandomGenerator random(7);
    for (qsizetype i = 512 * 1024; i < newer.size(); ++i)
        newer[i] = char(random.generate());
    const Patched patched = AddPatched(QStringLiteral("pack.bin"), older, newer, false);  // the patch alone is served
    const QByteArray& patch = patched.patch;
    const QString& patchName = patched.name;

    m_run.StartFtp({.nThrottle = 256 * 1024});
    ASSERT_TRUE(m_run.Ftp().AddFile(patchName, patch));
    ASSERT_NO_FATAL_FAILURE(Start());
    Login();
    ASSERT_TRUE(WaitFor([&] { return m_run.Engine().Counters().dwAllRecv > 64 * 1024; }));
    m_run.Engine().Shutdown();
    const QStringList parts = FilesUnder(m_gamePath).filter(QStringLiteral(".zpatch"));
    ASSERT_EQ(parts.size(), 1);
    const qint64 nKept = QFileInfo(m_gamePath + parts[0]).size();
    EXPECT_GT(nKept, 0);
    EXPECT_LT(nKept, patch.size());
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("p/pack.bin")), older);

    m_run.StartFtp();
    ASSERT_TRUE(m_run.Ftp().AddFile(patchName, patch));
    ASSERT_NO_FATAL_FAILURE(Start({.markFolder = QStringLiteral("p"), .markFile = QStringLiteral("pack.bin")}));
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("REST %1").arg(nKept)), 1) << m_run.Ftp().Log().join(' ').toStdString();
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("p/pack.bin")), newer);
    EXPECT_TRUE(FilesUnder(m_gamePath).filter(QStringLiteral(".zpatch")).isEmpty());
}

TEST_F(DownloadTest, KeyedBuildInstallsOnlyTheSignedRelease)
{
    QFile keyFile(QStringLiteral(ORVANTA_SOURCE_DIR "/tests/keys/test-only-release-key.pem"));
    ASSERT_TRUE(keyFile.open(QIODevice::ReadOnly));
    const std::string privatePem = keyFile.readAll().toStdString();
    const auto publicKey = orvanta::PublicKeyOf(privatePem);
    ASSERT_TRUE(publicKey);

    struct Case {
        const char* what;
        bool bSign;
        std::int32_t nSignedVersion;
        std::int32_t nInstalled;
        bool bTamper;   // the signed list names other bytes for one file
        bool bReorder;  // the signed list has the files in another order
        bool bOmit;     // the server leaves two.bin out of its list
        bool bHaveTwo;  // the game folder already holds two.bin
        bool bAccepted;
    };
    const Case cases[] = {
        {"signed", true, RELEASE_VERSION, INSTALLED_VERSION, false, false, false, false, true},
        {"unsigned", false, RELEASE_VERSION, INSTALLED_VERSION, false, false, false, false, false},
        {"tampered list", true, RELEASE_VERSION, INSTALLED_VERSION, true, false, false, false, false},
        {"reordered", true, RELEASE_VERSION, INSTALLED_VERSION, false, true, false, false, false},
        {"older than installed", true, RELEASE_VERSION, RELEASE_VERSION + 1, false, false, false, false, false},
        {"another version", true, RELEASE_VERSION + 1, INSTALLED_VERSION, false, false, false, false, false},
        {"leaves out a file the player has", true, RELEASE_VERSION, INSTALLED_VERSION, false, false, true, true, true},
        {"leaves out a file the player lacks", true, RELEASE_VERSION, INSTALLED_VERSION, false, false, true, false,
         true},
    };
    m_bDigests = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(m_gamePath).removeRecursively();
        QDir().mkpath(m_gamePath);
        m_entries.clear();
        m_run.StartFtp();
        Add(QStringLiteral("s"), QStringLiteral("one.bin"), Pattern(5000, '1'));
        Add(QStringLiteral("s"), QStringLiteral("two.bin"), Pattern(6000, '2'));
        if (c.bSign) {
            orvanta::ReleaseManifest manifest{c.nSignedVersion, m_entries};
            if (c.bTamper)
                orvanta::SetEntryDigest(&manifest.entries[1], Sha256Of("other bytes"));
            if (c.bReorder)
                std::swap(manifest.entries[0], manifest.entries[1]);
            const std::string text = orvanta::ManifestText(manifest);
            const auto signature = orvanta::SignEd25519(privatePem, text);
            ASSERT_TRUE(signature);
            ASSERT_TRUE(m_run.Ftp().AddFile(QString::fromLatin1(orvanta::RELEASE_SIGNATURE_PATH).mid(1),
                                           QByteArray::fromStdString(orvanta::SignatureFileText(text, *signature))));
        }
        if (c.bHaveTwo)
            WriteFile(m_gamePath + QStringLiteral("s/two.bin"), Pattern(6000, '2'));
        if (c.bOmit)
            m_entries.pop_back();
        ASSERT_NO_FATAL_FAILURE(Start({.nMarkVersion = std::nullopt, .nInstalled = c.nInstalled,
                                       .trustedKey = publicKey}));
        ASSERT_TRUE(Run());
        if (c.bAccepted) {
            EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
            EXPECT_EQ(FilesUnder(m_gamePath), (QStringList{"s/one.bin", "s/two.bin"}));
        } else {
            EXPECT_EQ(m_run.Engine().GetState(), State::Refused);
            EXPECT_EQ(m_run.Engine().StatusText(), QStringLiteral("패치 서명을 확인할 수 없어 업데이트를 중단했습니다."));
            EXPECT_TRUE(m_run.Engine().IsLaunchReady());
            EXPECT_FALSE(m_run.Engine().IsUpToDate());
            EXPECT_TRUE(FilesUnder(m_gamePath).isEmpty()) << FilesUnder(m_gamePath).join(' ').toStdString();
            EXPECT_TRUE(Retrieved().filter(QStringLiteral(".bin")).isEmpty());
        }
    }
}

// The signed release is what a keyed player ends with. Files the server
// left out (it lists what changed since the installed version) are checked
// by their signed digests: one edited, one deleted, one holding other bytes
// of the same size, are fetched again, the untouched one is not, and the
// version is recorded. A server that cannot give the signed bytes of such a
// file does not get the version recorded.
TEST_F(DownloadTest, KeyedPlayerEndsWithTheSignedFilesWhateverTheServerLeftOut)
{
    QFile keyFile(QStringLiteral(ORVANTA_SOURCE_DIR "/tests/keys/test-only-release-key.pem"));
    ASSERT_TRUE(keyFile.open(QIODevice::ReadOnly));
    const std::string privatePem = keyFile.readAll().toStdString();
    const auto publicKey = orvanta::PublicKeyOf(privatePem);
    ASSERT_TRUE(publicKey);

    m_bDigests = true;
    m_run.StartFtp();
    const QString names[] = {QStringLiteral("new.bin"), QStringLiteral("기본 설정.ini"), QStringLiteral("deleted.bin"),
                             QStringLiteral("same.bin"), QStringLiteral("kept.bin")};
    for (int i = 0; i < 5; ++i)
        Add(QStringLiteral("설정"), names[i], Pattern(7000 + 1000 * i, char('a' + i)));
    const orvanta::ReleaseManifest manifest{RELEASE_VERSION, m_entries};
    const std::string text = orvanta::ManifestText(manifest);
    const auto signature = orvanta::SignEd25519(privatePem, text);
    ASSERT_TRUE(signature);
    ASSERT_TRUE(m_run.Ftp().AddFile(QString::fromLatin1(orvanta::RELEASE_SIGNATURE_PATH).mid(1),
                                   QByteArray::fromStdString(orvanta::SignatureFileText(text, *signature))));
    const auto local = [&](int i) { return m_gamePath + QStringLiteral("설정/") + names[i]; };
    const auto playerFolder = [&] {
        WriteFile(local(1), Pattern(8000, 'b') + "edited");
        QFile::remove(local(2));
        WriteFile(local(3), Pattern(10000, 'x'));
        WriteFile(local(4), Pattern(11000, 'e'));
    };
    playerFolder();
    m_entries.resize(1);  // the server lists only what changed

    ASSERT_NO_FATAL_FAILURE(Start({.nMarkVersion = std::nullopt, .trustedKey = publicKey}));
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    EXPECT_EQ(Retrieved().filter(QStringLiteral(".bin")).size() + Retrieved().filter(QStringLiteral(".ini")).size(), 4)
        << Retrieved().join(' ').toStdString();
    EXPECT_TRUE(Retrieved().filter(QStringLiteral("kept")).isEmpty());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Sha256Of(ReadAll(local(i))), orvanta::EntryDigest(manifest.entries[std::size_t(i)])) << i;
    Dispatch(orvanta::FRAME_GAME_SERVER, orvanta::EncodeGameServerInfo({"10.0.0.9", 5555}));
    EXPECT_EQ(m_run.Engine().GetState(), State::Ready);
    EXPECT_EQ(orvanta::settings::ReadNumberValue(orvanta::settings::CLIENT_VERSION), RELEASE_VERSION);

    // The same player against a server whose FTP side has other bytes for
    // the file it left out.
    playerFolder();
    ASSERT_TRUE(m_run.Ftp().AddFile(QStringLiteral("설정/same.bin"), Pattern(10000, 'y')));
    ASSERT_NO_FATAL_FAILURE(Start({.nMarkVersion = std::nullopt, .trustedKey = publicKey}));
    ASSERT_TRUE(Run());
    EXPECT_NE(m_run.Engine().StatusText(), COMPLETE);
    Dispatch(orvanta::FRAME_GAME_SERVER, orvanta::EncodeGameServerInfo({"10.0.0.9", 5555}));
    EXPECT_NE(m_run.Engine().GetState(), State::Ready);
    EXPECT_EQ(orvanta::settings::ReadNumberValue(orvanta::settings::CLIENT_VERSION), INSTALLED_VERSION);
    EXPECT_EQ(ReadAll(local(3)), Pattern(10000, 'x'));
}

// The digest cache: found only for the stamp it was taken at and once the
// file's change lies well before the reading; a cache file damaged in any
// way is no cache, so a file changed behind its back is read again.
TEST(DigestCacheTest, TrustsOnlyAnIntactCacheForAnUnchangedStamp)
{
    QTemporaryDir dir;
    const auto fs = [&](const QString& name) { return std::filesystem::path(QFile::encodeName(dir.filePath(name)).toStdString()); };
    const QByteArray bytes = Pattern(300000, 'c');
    WriteFile(dir.filePath(QStringLiteral("f.bin")), bytes);
    const auto hour = std::chrono::hours(1);
    std::filesystem::last_write_time(fs(QStringLiteral("f.bin")), std::filesystem::file_time_type::clock::now() - hour);
    const auto stamp = orvanta::StampOf(fs(QStringLiteral("f.bin")));
    ASSERT_TRUE(stamp);
    orvanta::CSha256 hash;
    hash.Update(bytes.constData(), std::size_t(bytes.size()));
    const orvanta::Sha256Digest digest = hash.Final();

    orvanta::CDigestCache cache("/game/");
    cache.Put("d/f.bin", *stamp, digest, orvanta::NowNs());
    cache.Put("d/racy.bin", *stamp, digest, stamp->nModifiedNs + 1000);
    const auto cacheFile = fs(QStringLiteral("digests"));
    ASSERT_TRUE(cache.Save(cacheFile));
    const auto loaded = orvanta::CDigestCache::Load(cacheFile, "/game/");
    EXPECT_EQ(loaded.Find("d/f.bin", *stamp), digest);
    EXPECT_FALSE(loaded.Find("d/racy.bin", *stamp)) << "changed too close to its reading";
    EXPECT_FALSE(loaded.Find("d/f.bin", {stamp->nSize, stamp->nModifiedNs + 1})) << "another modification time";
    EXPECT_EQ(orvanta::CDigestCache::Load(cacheFile, "/other/").Size(), 0u);

    // The file changes behind the cache's back, its stamp kept: an intact
    // cache answers for it (the contract), a damaged one does not.
    const auto modified = std::filesystem::last_write_time(fs(QStringLiteral("f.bin")));
    WriteFile(dir.filePath(QStringLiteral("f.bin")), Pattern(300000, 'z'));
    std::filesystem::last_write_time(fs(QStringLiteral("f.bin")), modified);
    ASSERT_EQ(orvanta::StampOf(fs(QStringLiteral("f.bin"))), stamp);
    const QByteArray saved = ReadAll(dir.filePath(QStringLiteral("digests")));
    const auto check = [&](const QByteArray& cacheBytes) {
        WriteFile(dir.filePath(QStringLiteral("digests")), cacheBytes);
        auto pCache = std::make_shared<orvanta::CDigestCache>(orvanta::CDigestCache::Load(cacheFile, "/game/"));
        orvanta::CLocalCheck run({{fs(QStringLiteral("f.bin")), "d/f.bin", std::uint64_t(bytes.size()), digest}}, pCache);
        return run.Outcomes().at(0).bInPlace;
    };
    EXPECT_TRUE(check(saved));
    QByteArray flipped = saved;
    flipped[40] = char(flipped[40] ^ 1);
    for (const QByteArray& damaged : {flipped, saved.left(saved.size() - 5), saved + "x", QByteArray("garbage")})
        EXPECT_FALSE(check(damaged)) << damaged.left(60).toStdString();
}

// Several connections: while the first file stalls, the later ones arrive
// and count into the total, but the view and the mark stay on the first, so
// a run killed now resumes there; the server's refusal of a third and
// fourth login leaves two connections doing all the work. The next run
// resumes at the mark and completes.
TEST_F(DownloadTest, ParallelFilesKeepTheMarkOnTheLowestIncompleteFile)
{
    m_run.StartFtp({.nStallAfter = 0, .nMaxConnections = 2, .match = QStringLiteral("first")});
    Add(QStringLiteral("p"), QStringLiteral("first.bin"), Pattern(5000, 'a'));
    for (int i = 1; i < 6; ++i)
        Add(QStringLiteral("p"), QStringLiteral("%1.bin").arg(i), Pattern(1000 * i, char('a' + i)));
    const QString first = m_gamePath + QStringLiteral("p/first.bin");
    WriteFile(first, "old first");
    ASSERT_NO_FATAL_FAILURE(Start({.nConnections = 4}));
    Login();
    ASSERT_TRUE(WaitFor([this] { return m_run.Engine().Counters().dwAllRecv == Total() - 5000; }));
    const orvanta::DownloadCounters& counters = m_run.Engine().Counters();
    EXPECT_EQ(counters.nCurFile, 0u);
    EXPECT_EQ(counters.dwFileRecv, 0u);
    ASSERT_EQ(m_run.started.size(), 1u);
    EXPECT_EQ(m_run.started[0].nIndex, 1u);
    EXPECT_EQ(m_run.started[0].name, QStringLiteral("first.bin"));
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("USER ")), 2);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("REFUSED")), 2);
    EXPECT_EQ(ReadAll(m_gamePath + QStringLiteral("p/5.bin")), Pattern(5000, 'f'));
    EXPECT_EQ(StoredMarkFile(), QStringLiteral("first.bin"));
    EXPECT_EQ(ReadAll(first), QByteArray("old first"));

    m_run.StartFtp({.nMaxConnections = 2});
    ASSERT_TRUE(m_run.Ftp().AddFile(QStringLiteral("p/first.bin"), Pattern(5000, 'a')));
    for (int i = 1; i < 6; ++i)
        ASSERT_TRUE(m_run.Ftp().AddFile(QStringLiteral("p/%1.bin").arg(i), Pattern(1000 * i, char('a' + i))));
    ASSERT_NO_FATAL_FAILURE(
        Start({.markFolder = QStringLiteral("p"), .markFile = QStringLiteral("first.bin"), .nConnections = 4}));
    // At every note the file's counter belongs to the file shown, and never
    // says more than its size; every file is reported done once.
    quint64 nShownSize = 0;
    std::set<quint64> done;
    QObject::connect(&m_run.Engine(), &CUpdateSession::fileStarted,
                     [&](quint64, quint64, const QString&, quint64 nSize) { nShownSize = nSize; });
    QObject::connect(&m_run.Engine(), &CUpdateSession::bytesCounted,
                     [&](quint64, quint64, quint64 fileRecv, quint64 fileSize, quint64, quint64) {
                         EXPECT_EQ(fileSize, nShownSize);
                         EXPECT_LE(fileRecv, fileSize);
                     });
    QObject::connect(&m_run.Engine(), &CUpdateSession::fileDone,
                     [&](quint64 nIndex, quint64, const QString&, quint64) { EXPECT_TRUE(done.insert(nIndex).second); });
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    EXPECT_EQ(ReadAll(first), Pattern(5000, 'a'));
    EXPECT_EQ(m_run.lastCount->allRecv, Total());
    EXPECT_EQ(done.size(), m_entries.size());
    // The view starts at the mark's entry and ends, as with one connection,
    // on the last one, full.
    EXPECT_EQ(m_run.started.front().nIndex, 1u);
    EXPECT_EQ(m_run.started.back().nIndex, m_entries.size());
    EXPECT_EQ(m_run.lastCount->fileRecv, m_run.lastCount->fileSize);
    EXPECT_EQ(StoredMarkFile(), QString());
}

// A connection that breaks under a transfer (here: active mode stalls, as
// a server or router that never connects back does) hands its file to
// another connection, in passive mode, and the run completes; a file that
// no connection can fetch is tried a bounded number of times, and the run
// then ends as a broken connection always ended it.
TEST_F(DownloadTest, BrokenTransfersMoveToAnotherConnectionABoundedNumberOfTimes)
{
    FtpTimeouts quick;
    quick.nResponseS = 2;
    quick.nStallS = 2;
    const QByteArray big = Pattern(200 * 1024, 'b');
    const auto serve = [&](CFtpServer::Options options) {
        m_run.StartFtp(std::move(options));
        m_entries.clear();
        Add(QStringLiteral("c"), QStringLiteral("big.bin"), big);
        for (int i = 0; i < 5; ++i)
            Add(QStringLiteral("c"), QStringLiteral("%1.bin").arg(i), Pattern(3000, char('c' + i)));
    };
    const QString target = m_gamePath + QStringLiteral("c/big.bin");
    WriteFile(target, "old big");

    serve({.nStallAfter = 0, .match = QStringLiteral("big"), .bActiveOnly = true});
    ASSERT_NO_FATAL_FAILURE(Start({.nPassive = std::nullopt, .nConnections = 4, .ftpTimeouts = quick}));
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    EXPECT_EQ(ReadAll(target), big);
    EXPECT_EQ(Retrieved().count(QStringLiteral("c/big.bin")), 2);
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("PASV")), 1);
    EXPECT_EQ(m_run.lastCount->allRecv, Total());
    EXPECT_EQ(m_run.complete->second, Total());

    WriteFile(target, "old big");
    serve({.nStallAfter = 0, .match = QStringLiteral("big")});
    ASSERT_NO_FATAL_FAILURE(Start({.nPassive = std::nullopt, .nConnections = 4, .ftpTimeouts = quick}));
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), QStringLiteral("FTP서버 연결 종료/재실행 하세요"));
    EXPECT_EQ(m_run.Engine().GetState(), State::DownloadBroken);
    EXPECT_EQ(Retrieved().count(QStringLiteral("c/big.bin")), MAX_TRANSFER_TRIES);
    EXPECT_EQ(ReadAll(target), QByteArray("old big"));
}

// The counters with entries finishing out of order: the total takes every
// byte, the file counters and the mark's entry only the lowest incomplete
// one, which moves past every entry already complete.
TEST(DownloadCountersTest, FollowTheLowestIncompleteEntry)
{
    std::vector<orvanta::FileEntry> list(5);
    for (std::size_t i = 0; i < list.size(); ++i)
        list[i].size = std::uint32_t(100 * (i + 1));
    orvanta::DownloadCounters counters;
    counters.Prepare(list, static_cast<std::size_t>(-1));
    auto bars = counters.Count(2, 300, 300);
    EXPECT_EQ(bars.total, 300u);
    EXPECT_EQ(bars.file, 0u);
    EXPECT_EQ(counters.dwFileRecv, 0u);
    counters.Count(1, 50, 200);
    counters.Count(0, 60, 100);
    EXPECT_EQ(counters.dwFileRecv, 60u);
    EXPECT_FALSE(counters.Complete(2));
    EXPECT_EQ(counters.nCurFile, 0u);
    counters.Count(0, 40, 100);
    EXPECT_TRUE(counters.Complete(0));
    EXPECT_EQ(counters.nCurFile, 1u);
    EXPECT_EQ(counters.dwFileRecv, 50u);
    counters.Count(1, 150, 200);
    EXPECT_TRUE(counters.Complete(1));
    EXPECT_EQ(counters.nCurFile, 3u);  // past 2, complete before it
    EXPECT_EQ(counters.dwAllRecv, 600u);
    EXPECT_EQ(counters.dwFileRecv, 0u);
    EXPECT_EQ(counters.nNextEntry, 3u);
}

TEST(DownloadCountersTest, TotalsPastFourGiBStayUnsigned)
{
    orvanta::FileEntry first;
    first.folder = "big";
    first.name = "one.bin";
    first.size = 0xC0000000u;  // 3 GiB
    orvanta::FileEntry second = first;
    second.name = "two.bin";
    second.size = 0x80000000u;  // 2 GiB
    const std::vector<orvanta::FileEntry> list = {first, second};

    orvanta::DownloadCounters counters;
    counters.Prepare(list, 1);
    EXPECT_EQ(counters.dwTotalSize, 5368709120u);
    EXPECT_EQ(counters.nCurFile, 1u);
    EXPECT_EQ(counters.dwAllRecv, first.size);

    auto bars = counters.Count(0x7FFFFFFFu, second.size);
    EXPECT_EQ(bars.file, 2147483647u);
    EXPECT_EQ(bars.total, 5368709119u);
    bars = counters.Count(5, second.size);
    EXPECT_EQ(bars.file, 2147483652u);
    EXPECT_EQ(bars.total, 5368709124u);
    EXPECT_EQ(counters.dwFileRecv, 2147483648u);
    EXPECT_EQ(counters.dwAllRecv, 5368709120u);
    EXPECT_EQ(counters.dwLastFileRecv, 2147483648u);
}

} // namespace

// The player's limit (MaxRate, KiB/s) holds over all connections together:
// two 256 KiB files at 512 KiB/s take about 1 s, not a few milliseconds.
TEST_F(DownloadTest, MaxRateHoldsOverAllConnections)
{
    m_run.StartFtp();
    Add(QStringLiteral("r"), QStringLiteral("a.bin"), Pattern(256 * 1024, 'a'));
    Add(QStringLiteral("r"), QStringLiteral("b.bin"), Pattern(256 * 1024, 'b'));
    ASSERT_NO_FATAL_FAILURE(Start({.nConnections = 2, .nMaxRateKiB = 512}));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(Run());
    EXPECT_EQ(m_run.Engine().StatusText(), COMPLETE);
    EXPECT_GE(clock.elapsed(), 800);
    EXPECT_LE(clock.elapsed(), 6000);
}
