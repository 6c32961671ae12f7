// CFtpSession against a real FTP server on loopback.
#include "support/FtpServer.h"
#include "support/TestSupport.h"

#include "settings/SettingsStore.h"
#include "patch/Cp949.h"
#include "transfer/Crypto.h"
#include "transfer/FtpSession.h"
#include "transfer/MarkWriter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

using testing_support::CFtpServer;
using testing_support::CScriptServer;
using testing_support::Pattern;
using testing_support::ReadAll;

namespace {

constexpr std::int32_t HTTP_VERSION = 7;

// Files the session left beside its targets.
QStringList TempFiles(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden);
}

class FtpSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Create);
        key.WriteText(orvanta::settings::CLIENT_PATH, m_game.path() + QLatin1Char('/'));
    }

    void TearDown() override { m_pSession.reset(); }

    CFtpServer& Server(CFtpServer::Options options = {})
    {
        m_pServer = std::make_unique<CFtpServer>(std::move(options));
        EXPECT_TRUE(m_pServer->Start());
        return *m_pServer;
    }

    void SetPassive(int nPassive) { m_nPassive = nPassive; }

    // Opens a session, logs in and waits for the outcome.
    std::optional<bool> Login(const std::string& password = "secret")
    {
        m_pSession = std::make_unique<CFtpSession>();
        CFtpSession* pSession = m_pSession.get();
        pSession->Open();
        pSession->SetPassive(m_nPassive != 0);
        pSession->SetHttpSource(m_httpBase, HTTP_VERSION);
        pSession->SetMaxConnections(m_nConnections);
        pSession->SetSegmentPolicy(m_segments);
        std::optional<bool> result;
        const bool bStarted = pSession->Connect("127.0.0.1", m_pServer->Port(), "updater", password,
                                                [&result](bool bOk) { result = bOk; });
        EXPECT_TRUE(bStarted);
        testing_support::WaitFor([&result] { return result.has_value(); }, 10000);
        if (result == true) {
            pSession->SetStatusSink(&m_context, [this](std::uint32_t dwStatus, const FtpStatusInfo& info) {
                m_notes.emplace_back(dwStatus, info);
            });
        }
        return result;
    }

    // Fetches one file and waits for its final notification (100 or 51).
    std::optional<std::pair<std::uint32_t, FtpStatusInfo>> Fetch(const std::string& remote, const QString& local,
                                                                  std::uint64_t nSize)
    {
        m_notes.clear();
        const int nResult = m_pSession->GetFile(remote, local, nSize);
        EXPECT_EQ(nResult, FTP_IO_PENDING);
        const auto final = [this] {
            return !m_notes.empty() && (m_notes.back().first == FTP_STATUS_REQUEST_COMPLETE ||
                                        m_notes.back().first == FTP_STATUS_CONNECTION_CLOSED);
        };
        if (!testing_support::WaitFor(final, 15000))
            return std::nullopt;
        return m_notes.back();
    }

    std::uint64_t CountedBytes() const
    {
        std::uint64_t n = 0;
        for (const auto& [dwStatus, info] : m_notes) {
            if (dwStatus == FTP_STATUS_BYTES)
                n += info.nBytes;
        }
        return n;
    }

    testing_support::CTempStore m_store;
    std::unique_ptr<CFtpSession> m_pSession;
    int m_nPassive = 0;
    int m_nConnections = 1;
    SegmentPolicy m_segments;
    std::string m_httpBase;
    QTemporaryDir m_game;
    std::unique_ptr<CFtpServer> m_pServer;
    QObject m_context;
    std::vector<std::pair<std::uint32_t, FtpStatusInfo>> m_notes;
};

TEST_F(FtpSessionTest, PassiveModeUsesPasvAndReusesTheLogin)
{
    CFtpServer& server = Server();
    server.AddFile(QStringLiteral("data/a.bin"), Pattern(70000, 'a'));
    server.AddFile(QStringLiteral("b.bin"), Pattern(10, 'b'));
    SetPassive(1);
    ASSERT_EQ(Login(), true);

    const QString first = m_game.filePath(QStringLiteral("a.bin"));
    const auto note = Fetch("data/a.bin", first, 70000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->first, FTP_STATUS_REQUEST_COMPLETE);
    EXPECT_TRUE(note->second.bCommitted);
    EXPECT_EQ(m_notes.front().first, FTP_STATUS_TRANSFER_STARTED);
    EXPECT_EQ(m_notes[m_notes.size() - 2].first, FTP_STATUS_BYTES);  // one last count before the end
    EXPECT_EQ(CountedBytes(), 70000u);
    EXPECT_EQ(ReadAll(first), Pattern(70000, 'a'));

    const auto second = Fetch("/b.bin", m_game.filePath(QStringLiteral("b.bin")), 10);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->second.bCommitted);

    // One connection and one login carried both files, each with one RETR.
    EXPECT_EQ(server.Count(QStringLiteral("CONNECT")), 1);
    EXPECT_EQ(server.Count(QStringLiteral("USER ")), 1);
    EXPECT_EQ(server.Count(QStringLiteral("PASV")), 2);
    EXPECT_EQ(server.Count(QStringLiteral("PORT")), 0);
    EXPECT_EQ(server.Count(QStringLiteral("EPSV")), 0);
    EXPECT_EQ(server.Count(QStringLiteral("CWD")), 0);
    EXPECT_EQ(server.Count(QStringLiteral("TYPE I")), 1);
    const QStringList log = server.Log();
    EXPECT_TRUE(log.contains(QStringLiteral("RETR data/a.bin")));
    EXPECT_TRUE(log.contains(QStringLiteral("RETR /b.bin")));
    EXPECT_TRUE(TempFiles(m_game.path()).isEmpty());
}

TEST_F(FtpSessionTest, ActiveModeUsesPort)
{
    CFtpServer& server = Server();
    server.AddFile(QStringLiteral("a.bin"), Pattern(5000, 'c'));
    ASSERT_EQ(Login(), true);  // PASSIVE absent: active first
    const auto note = Fetch("a.bin", m_game.filePath(QStringLiteral("a.bin")), 5000);
    ASSERT_TRUE(note);
    EXPECT_TRUE(note->second.bCommitted);
    EXPECT_EQ(server.Count(QStringLiteral("PORT ")), 1);
    EXPECT_EQ(server.Count(QStringLiteral("EPRT")), 0);
    EXPECT_EQ(server.Count(QStringLiteral("PASV")), 0);
}

TEST_F(FtpSessionTest, FailedActiveLoginIsRetriedInPassiveMode)
{
    CFtpServer::Options options;
    options.nRefuse = 1;
    CFtpServer& server = Server(options);
    server.AddFile(QStringLiteral("a.bin"), Pattern(100, 'd'));
    SetPassive(0);
    ASSERT_EQ(Login(), true);
    EXPECT_EQ(server.Count(QStringLiteral("REFUSED")), 1);
    const auto note = Fetch("a.bin", m_game.filePath(QStringLiteral("a.bin")), 100);
    ASSERT_TRUE(note);
    EXPECT_TRUE(note->second.bCommitted);
    EXPECT_EQ(server.Count(QStringLiteral("PASV")), 1);
    EXPECT_EQ(server.Count(QStringLiteral("PORT")), 0);
}

TEST_F(FtpSessionTest, WrongPasswordClosesTheSession)
{
    CFtpServer& server = Server();
    ASSERT_EQ(Login("wrong"), false);
    EXPECT_EQ(server.Count(QStringLiteral("PASS ")), 2);  // the first mode, then passive

    // Closed: a later attempt fails at once.
    CFtpSession* pSession = m_pSession.get();
    EXPECT_FALSE(pSession->IsOpen());
    bool bCalled = false;
    EXPECT_FALSE(pSession->Connect("127.0.0.1", server.Port(), "updater", "secret", [&](bool) { bCalled = true; }));
    EXPECT_EQ(pSession->GetFile("a.bin", m_game.filePath(QStringLiteral("a")), 1), FTP_ERROR_NOT_CONNECTED);
    QTest::qWait(100);
    EXPECT_FALSE(bCalled);
    EXPECT_EQ(server.Count(QStringLiteral("PASS ")), 2);
}

TEST_F(FtpSessionTest, ConnectOnlyOnceAndOnlyWhenOpen)
{
    Server();
    {
        CFtpSession notOpen;
        EXPECT_FALSE(notOpen.Connect("127.0.0.1", m_pServer->Port(), "updater", "secret", [](bool) {}));
    }

    ASSERT_EQ(Login(), true);
    EXPECT_TRUE(m_pSession->IsConnected());
    EXPECT_FALSE(m_pSession->Connect("127.0.0.1", m_pServer->Port(), "updater", "secret",
                                                     [](bool) {}));
    EXPECT_TRUE(m_pSession->IsConnected());
}

TEST_F(FtpSessionTest, ReadOnlyTargetIsReplacedWithNormalPermissions)
{
    CFtpServer& server = Server();
    server.AddFile(QStringLiteral("a.bin"), Pattern(3000, 'e'));
    const QString target = m_game.filePath(QStringLiteral("a.bin"));
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    ASSERT_TRUE(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    ASSERT_EQ(Login(), true);
    const auto note = Fetch("a.bin", target, 3000);
    ASSERT_TRUE(note);
    EXPECT_TRUE(note->second.bCommitted);
    EXPECT_EQ(ReadAll(target), Pattern(3000, 'e'));
    EXPECT_TRUE(QFileInfo(target).permissions() & QFileDevice::WriteOwner);
}

// The ways a file can fail to arrive whole: the old file stays, no
// temporary file is left, and the outcome says which way it went.
struct Failure {
    const char* name;
    qint64 nShort, nExtra, nDropAfter;
    const char* remote;
    std::uint32_t dwFinal;
};

class FtpFailureTest : public FtpSessionTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(FtpFailureTest, KeepsTheOldFile)
{
    const Failure& failure = GetParam();
    CFtpServer::Options options;
    options.nShort = failure.nShort;
    options.nExtra = failure.nExtra;
    options.nDropAfter = failure.nDropAfter;
    CFtpServer& server = Server(options);
    server.AddFile(QStringLiteral("a.bin"), Pattern(200000, 'f'));
    const QString target = m_game.filePath(QStringLiteral("a.bin"));
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("the old file");
    }
    ASSERT_EQ(Login(), true);
    const auto note = Fetch(failure.remote, target, 200000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->first, failure.dwFinal);
    EXPECT_FALSE(note->second.bCommitted);
    EXPECT_EQ(ReadAll(target), QByteArray("the old file"));
    EXPECT_TRUE(TempFiles(m_game.path()).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, FtpFailureTest,
    ::testing::Values(Failure{"ShortFile", 1000, 0, -1, "a.bin", FTP_STATUS_REQUEST_COMPLETE},
                      Failure{"LongerFile", 0, 1000, -1, "a.bin", FTP_STATUS_REQUEST_COMPLETE},
                      Failure{"MissingFile", 0, 0, -1, "nothing.bin", FTP_STATUS_REQUEST_COMPLETE},
                      Failure{"DroppedDataConnection", 0, 0, 50000, "a.bin", FTP_STATUS_CONNECTION_CLOSED}),
    [](const ::testing::TestParamInfo<Failure>& param) { return std::string(param.param.name); });

TEST_F(FtpSessionTest, ByteCountsAreCoalesced)
{
    CFtpServer::Options options;
    options.nThrottle = 256 * 1024;
    CFtpServer& server = Server(options);
    const qsizetype nSize = 512 * 1024;
    server.AddFile(QStringLiteral("a.bin"), Pattern(nSize, 'g'));
    ASSERT_EQ(Login(), true);
    QElapsedTimer timer;
    timer.start();
    const auto note = Fetch("a.bin", m_game.filePath(QStringLiteral("a.bin")), std::uint64_t(nSize));
    const double dSeconds = double(timer.elapsed()) / 1000.0;
    ASSERT_TRUE(note);
    EXPECT_TRUE(note->second.bCommitted);
    EXPECT_EQ(CountedBytes(), std::uint64_t(nSize));
    int nCounts = 0;
    for (const auto& [dwStatus, info] : m_notes)
        nCounts += dwStatus == FTP_STATUS_BYTES ? 1 : 0;
    EXPECT_GE(nCounts, 2);
    EXPECT_LE(nCounts, int(dSeconds * 30) + 3);
}

// The server stops sending but still answers, or stops altogether in the
// middle of a file or between files: the teardown never waits for it.
enum class Hang { SilentData, FrozenServer, FrozenWhileIdle };

class FtpShutdownTest : public FtpSessionTest, public ::testing::WithParamInterface<Hang> {};

TEST_P(FtpShutdownTest, IsPromptAndClean)
{
    const Hang eHang = GetParam();
    CFtpServer::Options options;
    options.nStallAfter = 64 * 1024;
    options.match = QStringLiteral("big");
    CFtpServer& server = Server(options);
    server.AddFile(QStringLiteral("big.bin"), Pattern(1024 * 1024, 'h'));
    server.AddFile(QStringLiteral("small.bin"), Pattern(100, 'h'));
    const QString target = m_game.filePath(QStringLiteral("big.bin"));
    ASSERT_EQ(Login(), true);
    if (eHang == Hang::FrozenWhileIdle) {
        const auto note = Fetch("small.bin", m_game.filePath(QStringLiteral("small.bin")), 100);
        ASSERT_TRUE(note);
        EXPECT_TRUE(note->second.bCommitted);
    } else {
        ASSERT_EQ(m_pSession->GetFile("big.bin", target, 1024 * 1024), FTP_IO_PENDING);
        ASSERT_TRUE(testing_support::WaitFor([this] { return CountedBytes() >= 64 * 1024; }, 10000));
        EXPECT_EQ(TempFiles(m_game.path()).size(), 1);
    }
    if (eHang != Hang::SilentData)
        server.Freeze();
    QTest::qWait(300);

    QElapsedTimer timer;
    timer.start();
    m_pSession.reset();
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_TRUE(TempFiles(m_game.path()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(target));

    // Nothing of a cancelled transfer reaches the sink afterwards.
    const std::size_t nNotes = m_notes.size();
    QTest::qWait(200);
    EXPECT_EQ(m_notes.size(), nNotes);
}

std::string HangName(const ::testing::TestParamInfo<Hang>& param)
{
    switch (param.param) {
    case Hang::SilentData:
        return "SilentData";
    case Hang::FrozenServer:
        return "FrozenServer";
    case Hang::FrozenWhileIdle:
        return "FrozenWhileIdle";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpShutdownTest,
                         ::testing::Values(Hang::SilentData, Hang::FrozenServer, Hang::FrozenWhileIdle), HangName);

TEST_F(FtpSessionTest, NothingReachesTheSinkAfterCloseInternet)
{
    CFtpServer::Options options;
    options.nThrottle = 256 * 1024;
    CFtpServer& server = Server(options);
    server.AddFile(QStringLiteral("a.bin"), Pattern(512 * 1024, 'i'));
    ASSERT_EQ(Login(), true);
    ASSERT_EQ(m_pSession->GetFile("a.bin", m_game.filePath(QStringLiteral("a.bin")), 512 * 1024),
              FTP_IO_PENDING);
    ASSERT_TRUE(testing_support::WaitFor([this] { return CountedBytes() > 0; }, 10000));
    m_pSession->CloseInternet();
    const std::size_t nNotes = m_notes.size();
    QTest::qWait(500);
    EXPECT_EQ(m_notes.size(), nNotes);
    EXPECT_FALSE(m_pSession->IsOpen());
}

TEST_F(FtpSessionTest, ResumeMarkIsWrittenAwayFromTheCallerLatestLast)
{
    using namespace orvanta::settings;
    auto pWriter = std::make_unique<CMarkWriter>();
    for (int i = 0; i < 200; ++i)
        pWriter->Save({QStringLiteral("folder%1").arg(i), QStringLiteral("file%1.bin").arg(i), 7});
    pWriter->Flush();
    {
        CSettingsKey key(CSettingsKey::Open::Existing);
        EXPECT_EQ(key.ReadText(DOWN_FOLDER), QStringLiteral("folder199"));
        EXPECT_EQ(key.ReadText(DOWN_FILE), QStringLiteral("file199.bin"));
        EXPECT_EQ(key.ReadNumber(DOWN_VERSION), 7);
    }
    // What waits when the writer ends is written before it is gone.
    pWriter->Save({QString(), QString(), 8});
    pWriter.reset();
    CSettingsKey key(CSettingsKey::Open::Existing);
    EXPECT_EQ(key.ReadText(DOWN_FOLDER), QString());
    EXPECT_EQ(key.ReadText(DOWN_FILE), QString());
    EXPECT_EQ(key.ReadNumber(DOWN_VERSION), 8);
}

} // namespace

namespace {

// tests/support/httpd.py on a loopback port: the release's version folders,
// byte ranges, and a way to die mid-file.
class CWebServer final {
public:
    explicit CWebServer(const QString& root, const QStringList& knobs = {})
    {
        m_server.Start(QStringLiteral("httpd.py"),
                       QStringList{QStringLiteral("--root"), CScriptServer::LinuxPath(root).value_or(root),
                                   QStringLiteral("--log"), m_server.ScriptWorkFile(QStringLiteral("requests.log"))} +
                           knobs);
    }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(m_server.Port()) + "/orvanta"; }
    QString Log() const
    {
        QFile file(m_server.WorkFile(QStringLiteral("requests.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    CScriptServer m_server;
};

orvanta::Sha256Digest DigestOf(const QByteArray& bytes)
{
    orvanta::CSha256 hash;
    hash.Update(bytes.constData(), std::size_t(bytes.size()));
    return hash.Final();
}

} // namespace

// The web server goes first for files and the signature; its first failure
// (a missing file, a server gone mid-file) sends that file and every later
// one to the FTP server, which continues from the bytes already kept.
TEST_F(FtpSessionTest, HttpSourceFirstFtpFromTheBytesKept)
{
    CFtpServer& server = Server();
    QTemporaryDir web;
    const QString version = web.filePath(QStringLiteral("orvanta/%1/").arg(HTTP_VERSION));
    const auto add = [&](const QString& path, const QByteArray& bytes, bool bOnWeb) {
        server.AddFile(path, bytes);
        if (!bOnWeb)
            return;
        QDir().mkpath(QFileInfo(version + path).absolutePath());
        QFile file(version + path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    const QByteArray korean = Pattern(5000, 'k');
    const QByteArray big = Pattern(300000, 'c');
    add(QStringLiteral(".orvanta-release.sig"), "signed", true);
    add(QStringLiteral("d/한글.bin"), korean, true);
    add(QStringLiteral("d/missing.bin"), Pattern(100, 'm'), false);
    add(QStringLiteral("d/after.bin"), Pattern(100, 'x'), true);
    add(QStringLiteral("d/big.bin"), big, true);

    {
        CWebServer webServer(web.path());
        m_httpBase = webServer.Base();
        ASSERT_EQ(Login(), true);
        std::shared_ptr<const std::string> pSignature;
        ASSERT_TRUE(m_pSession->FetchFile("/.orvanta-release.sig", 100, [&](auto p) { pSignature = p; }));
        ASSERT_TRUE(testing_support::WaitFor([&] { return pSignature != nullptr; }, 10000));
        EXPECT_EQ(*pSignature, "signed");
        const QString koreanPath = m_game.filePath(QStringLiteral("한글.bin"));
        const auto note = Fetch(orvanta::Utf8ToCp949("d/한글.bin"), koreanPath, 5000);
        ASSERT_TRUE(note);
        EXPECT_TRUE(note->second.bCommitted);
        EXPECT_EQ(ReadAll(koreanPath), korean);
        EXPECT_EQ(server.Count(QStringLiteral("RETR")), 0) << server.Log().join(u'\n').toStdString();
        EXPECT_EQ(server.Count(QStringLiteral("USER ")), 0) << "no FTP login while the web server serves";

        for (const char* name : {"missing.bin", "after.bin"}) {
            const auto fetched = Fetch(std::string("d/") + name, m_game.filePath(QString::fromLatin1(name)), 100);
            ASSERT_TRUE(fetched);
            EXPECT_TRUE(fetched->second.bCommitted) << name;
        }
        EXPECT_EQ(server.Count(QStringLiteral("RETR")), 2);
        EXPECT_FALSE(webServer.Log().contains(QStringLiteral("after.bin"))) << "off for the rest of the session";
        EXPECT_EQ(server.Count(QStringLiteral("USER ")), 1) << "the FTP login when the FTP server is needed";
    }

    m_pSession.reset();
    CWebServer dying(web.path(), {QStringLiteral("--cut-after"), QStringLiteral("100000"), QStringLiteral("--match"),
                                  QStringLiteral("big.bin")});
    m_httpBase = dying.Base();
    const QString bigPath = m_game.filePath(QStringLiteral("big.bin"));
    const auto fetchBig = [&] {
        ASSERT_EQ(Login(), true);
        m_notes.clear();
        ASSERT_EQ(m_pSession->GetFile("d/big.bin", bigPath, 300000, DigestOf(big)), FTP_IO_PENDING);
        ASSERT_TRUE(testing_support::WaitFor(
            [this] { return !m_notes.empty() && m_notes.back().first == FTP_STATUS_REQUEST_COMPLETE; }, 15000));
        EXPECT_TRUE(m_notes.back().second.bCommitted);
        EXPECT_EQ(ReadAll(bigPath), big);
    };
    ASSERT_NO_FATAL_FAILURE(fetchBig());
    EXPECT_EQ(CountedBytes(), 300000u);
    EXPECT_EQ(server.Count(QStringLiteral("REST 100000")), 1) << server.Log().join(u'\n').toStdString();

    // A web source that refuses from the start: every connection, none of
    // them logged in to the FTP server yet, takes its pieces from there.
    m_pSession.reset();
    QFile::remove(bigPath);
    quint16 nClosed = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        nClosed = probe.serverPort();
    }
    m_httpBase = "http://127.0.0.1:" + std::to_string(nClosed) + "/orvanta/";
    m_nConnections = 4;
    m_segments = SegmentPolicy{100000, 16384, 1 << 20, std::chrono::milliseconds(1000)};
    const int nRetrBefore = server.Count(QStringLiteral("RETR"));
    ASSERT_NO_FATAL_FAILURE(fetchBig());
    EXPECT_GT(server.Count(QStringLiteral("RETR")), nRetrBefore);
}

// A large file comes in pieces over every connection, each written at its
// place and hashed on the way; a small file queued meanwhile takes a
// connection from the pieces at once instead of waiting for the large one.
TEST_F(FtpSessionTest, LargeFileInPiecesOverEveryConnection)
{
    CFtpServer::Options options;
    options.nRatePerConnection = 2 * 1024 * 1024;
    CFtpServer& server = Server(options);
    QByteArray big(6 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator random(22);
    random.fillRange(reinterpret_cast<quint32*>(big.data()), big.size() / 4);
    server.AddFile(QStringLiteral("big.bin"), big);
    server.AddFile(QStringLiteral("small.bin"), Pattern(1000, 's'));
    m_nConnections = 4;
    m_segments = SegmentPolicy{1024 * 1024, 256 * 1024, 1024 * 1024, std::chrono::milliseconds(1000)};
    ASSERT_EQ(Login(), true);

    m_notes.clear();
    const QString bigPath = m_game.filePath(QStringLiteral("big.bin"));
    ASSERT_EQ(m_pSession->GetFile("big.bin", bigPath, std::uint64_t(big.size()), DigestOf(big), 0), FTP_IO_PENDING);
    const auto ended = [this](std::size_t nEntry) {
        return std::find_if(m_notes.begin(), m_notes.end(), [nEntry](const auto& note) {
                   return note.first == FTP_STATUS_REQUEST_COMPLETE && note.second.nEntry == nEntry;
               }) - m_notes.begin();
    };
    ASSERT_TRUE(testing_support::WaitFor([&] { return server.Count(QStringLiteral("REST ")) >= 3; }, 10000))
        << server.Log().join(u'\n').toStdString();
    ASSERT_EQ(m_pSession->GetFile("small.bin", m_game.filePath(QStringLiteral("small.bin")), 1000, std::nullopt, 1),
              FTP_IO_PENDING);
    ASSERT_TRUE(testing_support::WaitFor([&] { return ended(0) < std::ptrdiff_t(m_notes.size()); }, 20000));
    EXPECT_LT(ended(1), ended(0)) << "the small file waited for the large one";
    EXPECT_TRUE(m_notes[std::size_t(ended(0))].second.bCommitted);
    EXPECT_TRUE(ReadAll(bigPath) == big);
    std::uint64_t nCounted = 0;
    for (const auto& [dwStatus, info] : m_notes)
        nCounted += dwStatus == FTP_STATUS_BYTES && info.nEntry == 0 ? info.nBytes : 0;
    EXPECT_EQ(nCounted, std::uint64_t(big.size()));
    EXPECT_EQ(QDir(m_game.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList({QStringLiteral("big.bin"), QStringLiteral("small.bin")}));
}
