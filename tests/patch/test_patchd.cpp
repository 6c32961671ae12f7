// The reference patch server, orvanta-patchd, as a process on loopback: its
// conversation, its file list, its log, its robustness, and the updater's
// window talking to it.
#include "PatchPeer.h"

#include "app/CommandLine.h"
#include "patch/Cp949.h"
#include "patch/PatchLink.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"
#include "support/TestSupport.h"
#include "ui/UpdaterDlg.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace orvanta;
using patch_test::CFrameClient;
using patch_test::FrameBytes;
using patch_test::Int32Frame;
using testing_support::WaitFor;

namespace {

constexpr int SETTLE_MS = 80;

// One orvanta-patchd process, killed when the object goes.
class CPatchd final {
public:
    ~CPatchd()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Starts on a free port; true once the server said where it listens.
    bool Start(QStringList args)
    {
        args << QStringLiteral("--port") << QStringLiteral("0");
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this]() {
            m_partial += m_process.readAllStandardOutput();
            qsizetype nEnd = 0;
            while ((nEnd = m_partial.indexOf('\n')) >= 0) {
                m_lines << QString::fromUtf8(m_partial.left(nEnd));
                m_partial.remove(0, nEnd + 1);
            }
        });
        m_process.start(testing_support::BinaryPath(QStringLiteral("tools/orvanta-patchd")), args);
        if (!WaitFor([this]() { return !m_lines.isEmpty() || m_process.state() == QProcess::NotRunning; }, 10000))
            return false;
        const auto match = QRegularExpression(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)$")).match(m_lines.value(0));
        if (!match.hasMatch())
            return false;
        m_nPort = quint16(match.captured(1).toUInt());
        return m_nPort != 0;
    }

    // Runs to its end; for the command lines it refuses.
    int RunToExit(const QStringList& args, QString* pStderr)
    {
        m_process.start(testing_support::BinaryPath(QStringLiteral("tools/orvanta-patchd")), args);
        m_process.waitForFinished(10000);
        *pStderr = QString::fromUtf8(m_process.readAllStandardError());
        m_lines << QString::fromUtf8(m_process.readAllStandardOutput()).split(QLatin1Char('\n'));
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    void SetEnv(const QString& name, const QString& value)
    {
        QProcessEnvironment env = m_process.processEnvironment().isEmpty() ? QProcessEnvironment::systemEnvironment()
                                                                             : m_process.processEnvironment();
        env.insert(name, value);
        m_process.setProcessEnvironment(env);
    }

    quint16 Port() const { return m_nPort; }
    qint64 Pid() const { return m_process.processId(); }
    const QStringList& Lines() const { return m_lines; }
    bool Running() const { return m_process.state() == QProcess::Running; }

    bool WaitForLine(const QString& pattern, int nTimeoutMs = 5000) const
    {
        const QRegularExpression re(pattern);
        return WaitFor([&]() {
            return std::any_of(m_lines.begin(), m_lines.end(),
                               [&re](const QString& line) { return re.match(line).hasMatch(); });
        }, nTimeoutMs);
    }

private:
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
    quint16 m_nPort = 0;
};

void WriteFile(const QString& path, qsizetype nSize)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(QByteArray(nSize, 'r'));
}

class PatchdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_release.isValid());
        WriteFile(m_release.filePath(QStringLiteral("root.bin")), 3);
        WriteFile(m_release.filePath(QStringLiteral("data/map/b.bin")), 10);
        WriteFile(m_release.filePath(QStringLiteral("data/a.txt")), 0);
        WriteFile(m_release.filePath(QStringLiteral("한글/파일.txt")), 7);
        m_server.SetEnv(QStringLiteral("ORVANTA_FTP_PASSWORD"), QStringLiteral("s3cret"));
        ASSERT_TRUE(m_server.Start({QStringLiteral("--verbose"), QStringLiteral("--release"), m_release.path(),
                                    QStringLiteral("--version"), QStringLiteral("5"), QStringLiteral("--ftp-host"),
                                    QString::fromStdString(FtpHost()), QStringLiteral("--ftp-user"),
                                    QStringLiteral("updater"), QStringLiteral("--game-host"),
                                    QStringLiteral("게임.localhost"), QStringLiteral("--game-port"),
                                    QStringLiteral("7001")}));
    }

    virtual std::string FtpHost() { return "127.0.0.1:2121"; }

    QTemporaryDir m_release;
    CPatchd m_server;
};

FileEntry Entry(const std::string& folderUtf8, const std::string& nameUtf8, std::uint32_t size)
{
    FileEntry entry;
    entry.folder = Utf8ToCp949(folderUtf8);
    entry.name = Utf8ToCp949(nameUtf8);
    entry.size = size;
    return entry;
}

// The release as the server must list it: by folder, then name.
std::vector<FileEntry> ExpectedList()
{
    return {Entry("", "root.bin", 3), Entry("data", "a.txt", 0), Entry("data/map", "b.bin", 10),
            Entry("한글", "파일.txt", 7)};
}

} // namespace

TEST_F(PatchdTest, DifferentVersionGetsTheListThenTheCredentials)
{
    CFrameClient client;
    ASSERT_TRUE(client.Connect(m_server.Port()));
    // The server closes once it has sent frame 19; the name outlives the socket.
    const QString client_ = QStringLiteral("^client 127\\.0\\.0\\.1:%1 ").arg(client.Socket().localPort());
    client.Write(Int32Frame(FRAME_CLIENT_VERSION, 3));
    ASSERT_TRUE(client.WaitForFrames(6));
    const auto& frames = client.Received();
    EXPECT_EQ(frames[0].type, FRAME_SERVER_VERSION);
    EXPECT_EQ(DecodeInt32(frames[0].payload), 5);
    const std::vector<FileEntry> expected = ExpectedList();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(frames[1 + i].type, FRAME_FILE_ENTRY);
        EXPECT_EQ(frames[1 + i].payload.size(), FileEntry::SIZE);
        EXPECT_EQ(DecodeFileEntry(frames[1 + i].payload), expected[i]) << i;
    }
    ASSERT_EQ(frames[5].type, FRAME_FTP_INFO);
    EXPECT_EQ(DecodeFtpInfo(frames[5].payload), (FtpInfo{FtpHost(), "updater", "s3cret"}));

    client.Write(Int32Frame(FRAME_UPDATE_DONE, 0) + Int32Frame(FRAME_UP_TO_DATE, 0));
    ASSERT_TRUE(client.WaitForFrames(7));
    ASSERT_EQ(frames[6].type, FRAME_GAME_SERVER);
    EXPECT_EQ(DecodeGameServerInfo(frames[6].payload), (GameServerInfo{Utf8ToCp949("게임.localhost"), 7001}));

    // One line per frame, in and out.
    EXPECT_TRUE(m_server.WaitForLine(client_ + QStringLiteral("<- 10 version=3$")));
    EXPECT_TRUE(m_server.WaitForLine(client_ + QStringLiteral("-> 11 version=5$")));
    EXPECT_TRUE(m_server.WaitForLine(client_ + QStringLiteral("-> 13 file=한글/파일.txt size=7$")));
    EXPECT_TRUE(m_server.WaitForLine(client_ + QStringLiteral("-> 14 host=127.0.0.1:2121 user=updater$")));
    EXPECT_TRUE(m_server.WaitForLine(client_ + QStringLiteral("<- 16$")));
    EXPECT_TRUE(m_server.WaitForLine(client_ + QStringLiteral("<- 18$")));
    EXPECT_TRUE(m_server.WaitForLine(client_ + QStringLiteral("-> 19 address=게임.localhost port=7001$")));
    EXPECT_EQ(m_server.Lines().filter(QStringLiteral("-> 13 ")).size(), 4);
    EXPECT_EQ(m_server.Lines().filter(QStringLiteral("s3cret")).size(), 0) << "passwords stay out of the log";
}

TEST_F(PatchdTest, EqualVersionGetsTheVersionAlone)
{
    CFrameClient client;
    ASSERT_TRUE(client.Connect(m_server.Port()));
    client.Write(Int32Frame(FRAME_CLIENT_VERSION, 5));
    ASSERT_TRUE(client.WaitForFrames(1));
    QTest::qWait(SETTLE_MS);
    ASSERT_EQ(client.Received().size(), 1u);
    EXPECT_EQ(DecodeInt32(client.Received()[0].payload), 5);
    client.Write(Int32Frame(FRAME_UP_TO_DATE, 0));
    ASSERT_TRUE(client.WaitForFrames(2));
    EXPECT_EQ(client.Received()[1].type, FRAME_GAME_SERVER);
}

// Clients that send garbage or vanish are dropped or forgotten; everyone
// else is served as before.
TEST_F(PatchdTest, SurvivesGarbageAndVanishingClients)
{
    CFrameClient bystander;
    ASSERT_TRUE(bystander.Connect(m_server.Port()));

    CFrameClient oversized;
    ASSERT_TRUE(oversized.Connect(m_server.Port()));
    QByteArray bad(4, '\0');
    StoreLe32(std::span(reinterpret_cast<std::uint8_t*>(bad.data()), 4), 5000);
    oversized.Write(bad + QByteArray(100, 'x'));
    EXPECT_TRUE(oversized.WaitForClose());

    CFrameClient negative;
    ASSERT_TRUE(negative.Connect(m_server.Port()));
    negative.Write(QByteArray("\xFF\xFF\xFF\xFF", 4));
    EXPECT_TRUE(negative.WaitForClose());

    {
        CFrameClient vanishing;
        ASSERT_TRUE(vanishing.Connect(m_server.Port()));
        vanishing.Write(Int32Frame(FRAME_CLIENT_VERSION, 1).left(6));
        QTest::qWait(SETTLE_MS);
        vanishing.Socket().abort();
    }

    CFrameClient odd;
    ASSERT_TRUE(odd.Connect(m_server.Port()));
    odd.Write(FrameBytes(12) + FrameBytes(FRAME_CLIENT_VERSION, std::vector<std::uint8_t>(2, 1)) +
              FrameBytes(77, std::vector<std::uint8_t>(1016, 0xAB)) + Int32Frame(FRAME_CLIENT_VERSION, 5));
    ASSERT_TRUE(odd.WaitForFrames(1));
    EXPECT_EQ(DecodeInt32(odd.Received()[0].payload), 5);

    bystander.Write(Int32Frame(FRAME_CLIENT_VERSION, 5));
    ASSERT_TRUE(bystander.WaitForFrames(1));
    EXPECT_EQ(DecodeInt32(bystander.Received()[0].payload), 5);
    EXPECT_TRUE(m_server.Running());
    EXPECT_TRUE(m_server.WaitForLine(QStringLiteral("dropped: frame length 5000 out of range$")));
    EXPECT_TRUE(m_server.WaitForLine(QStringLiteral("dropped: frame length -1 out of range$")));
    EXPECT_TRUE(m_server.WaitForLine(QStringLiteral("<- 77 ignored: payload of 1016 bytes$")));
    EXPECT_TRUE(m_server.WaitForLine(QStringLiteral(" gone$")));
}

TEST_F(PatchdTest, ServesManyClientsAtOnce)
{
    constexpr int CLIENTS = 24;
    std::vector<std::unique_ptr<CFrameClient>> clients;
    for (int i = 0; i < CLIENTS; ++i) {
        clients.push_back(std::make_unique<CFrameClient>());
        ASSERT_TRUE(clients.back()->Connect(m_server.Port()));
    }
    // Half are current, half get the whole list.
    for (int i = 0; i < CLIENTS; ++i)
        clients[std::size_t(i)]->Write(Int32Frame(FRAME_CLIENT_VERSION, i % 2 ? 5 : i));
    for (int i = 0; i < CLIENTS; ++i) {
        CFrameClient& client = *clients[std::size_t(i)];
        const std::size_t nExpected = i % 2 ? 1 : 6;
        ASSERT_TRUE(client.WaitForFrames(nExpected)) << i;
        QTest::qWait(i == CLIENTS - 1 ? SETTLE_MS : 0);
        EXPECT_EQ(client.Received().size(), nExpected) << i;
        EXPECT_EQ(client.Received().back().type, i % 2 ? FRAME_SERVER_VERSION : FRAME_FTP_INFO) << i;
    }
}

// The folder field holds 255 bytes of CP949 and a NUL; a file system name
// cannot outgrow its field alone, but a path of several can.
TEST(PatchdCommandLine, RefusesPathsTheRecordCannotCarry)
{
    struct Case {
        const char* what;
        QString path;
    };
    const Case cases[] = {
        {"folder of 256 bytes", QString(128, QLatin1Char('a')) + QLatin1Char('/') + QString(127, QLatin1Char('b')) +
                                    QStringLiteral("/f.bin")},
        // Hangul takes 2 bytes in CP949 (3 in UTF-8): 160 + 1 + 96 bytes.
        {"Hangul folder of 257 bytes", QString(80, QChar(0xD55C)) + QLatin1Char('/') + QString(48, QChar(0xAE00)) +
                                           QStringLiteral("/f.bin")},
        {"no CP949 form", QStringLiteral("smile-\U0001F600.bin")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir release;
        WriteFile(release.filePath(c.path), 1);
        CPatchd server;
        QString error;
        EXPECT_EQ(server.RunToExit({QStringLiteral("--release"), release.path(), QStringLiteral("--port"),
                                    QStringLiteral("0")}, &error), 2);
        EXPECT_TRUE(error.contains(QStringLiteral("CP949"))) << error.toStdString();
        EXPECT_FALSE(server.Lines().join(QString()).contains(QStringLiteral("listening")));
    }

    // 255 bytes fit, and the client gets them whole.
    QTemporaryDir release;
    const QString folder = QString(127, QLatin1Char('a')) + QLatin1Char('/') + QString(127, QLatin1Char('b'));
    WriteFile(release.filePath(folder + QStringLiteral("/f.bin")), 1);
    CPatchd server;
    ASSERT_TRUE(server.Start({QStringLiteral("--release"), release.path()}));
    CFrameClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    client.Write(Int32Frame(FRAME_CLIENT_VERSION, 0));
    ASSERT_TRUE(client.WaitForFrames(2));
    EXPECT_EQ(DecodeFileEntry(client.Received()[1].payload)->folder, folder.toStdString());
}

TEST(PatchdCommandLine, RefusesBadValuesAndDocumentsEveryOption)
{
    const QStringList bad[] = {
        {QStringLiteral("--version"), QStringLiteral("five")},
        {QStringLiteral("--port"), QStringLiteral("70000")},
        {QStringLiteral("--ftp-user"), QString(50, QLatin1Char('u'))},
        {QStringLiteral("--game-host"), QString(52, QLatin1Char('g'))},
        {QStringLiteral("--listen"), QStringLiteral("not-an-address")},
        {QStringLiteral("--release"), QStringLiteral("/nonexistent/release")},
    };
    for (const QStringList& args : bad) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        CPatchd server;
        QString error;
        EXPECT_EQ(server.RunToExit(args, &error), 2);
        EXPECT_TRUE(error.startsWith(QStringLiteral("orvanta-patchd: "))) << error.toStdString();
    }

    CPatchd help;
    QString error;
    EXPECT_EQ(help.RunToExit({QStringLiteral("--help")}, &error), 0);
    const QString text = help.Lines().join(QLatin1Char('\n'));
    for (const char* option : {"--listen", "--port", "--release", "--version", "--ftp-host", "--ftp-user",
                               "--ftp-password", "--game-host", "--game-port"})
        EXPECT_TRUE(text.contains(QLatin1String(option))) << option;
}

// The updater's window against the reference server, started as a player
// would start it: with the server's address on its command line.
class UpdaterAgainstPatchdTest : public PatchdTest {
protected:
    void StartUpdater(std::int32_t nClientVersion)
    {
        {
            settings::CSettingsKey key(settings::CSettingsKey::Open::Create);
            key.WriteNumber(settings::CLIENT_VERSION, nClientVersion);
            key.WriteNumber(settings::PORT, m_server.Port());
        }
        SetCommandLineText(QStringLiteral("127.0.0.1"));
        m_pDlg = std::make_unique<CUpdaterDlg>();
        m_pDlg->m_timer.stop();
        m_pDlg->OnTimer();
    }

    void TearDown() override
    {
        m_pDlg.reset();
        SetCommandLineText(QString());
    }

    // The FTP server of the release accepts and never says a word: a login
    // the window may start stays pending until the window goes.
    std::string FtpHost() override
    {
        if (!m_silentFtp.isListening())
            m_silentFtp.listen(QHostAddress::LocalHost, 0);
        return "127.0.0.1:" + std::to_string(m_silentFtp.serverPort());
    }

    QTcpServer m_silentFtp;
    testing_support::CTempStore m_store;
    std::unique_ptr<CUpdaterDlg> m_pDlg;
};

TEST_F(UpdaterAgainstPatchdTest, EqualVersionsAnswerAtOnceAndGetTheGameServer)
{
    StartUpdater(5);
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_pLink->Socket()->localPort() != 0; }));
    const QString client = QStringLiteral("^client 127\\.0\\.0\\.1:%1 ").arg(m_pDlg->m_pLink->Socket()->localPort());
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_nGamePort == 7001; }));
    EXPECT_EQ(m_pDlg->m_strGameIp, QStringLiteral("게임.localhost"));
    EXPECT_TRUE(m_pDlg->m_bUpToDate);
    EXPECT_TRUE(m_pDlg->m_bLaunchReady);
    EXPECT_EQ(m_pDlg->StatusText(), QStringLiteral("변경될 파일이 없습니다.(설치버전:5)"));
    EXPECT_TRUE(m_pDlg->m_fileList.empty());
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 5);
    EXPECT_TRUE(m_server.WaitForLine(client + QStringLiteral("<- 10 version=5$")));
    EXPECT_TRUE(m_server.WaitForLine(client + QStringLiteral("-> 11 version=5$")));
    EXPECT_TRUE(m_server.WaitForLine(client + QStringLiteral("<- 18$")));
    EXPECT_TRUE(m_server.WaitForLine(client + QStringLiteral("-> 19 address=게임.localhost port=7001$")));
}

TEST_F(UpdaterAgainstPatchdTest, DifferentVersionsReceiveTheRelease)
{
    StartUpdater(3);
    ASSERT_TRUE(WaitFor([&]() { return !m_pDlg->m_ftpInfo.host.empty(); }));
    EXPECT_EQ(m_pDlg->m_fileList, ExpectedList());
    EXPECT_EQ(m_pDlg->m_ftpInfo, (FtpInfo{FtpHost(), "updater", "s3cret"}));
    EXPECT_EQ(m_pDlg->m_nServerVersion, 5);
    EXPECT_EQ(m_pDlg->m_nClientVersion, 3);
    EXPECT_FALSE(m_pDlg->m_bUpToDate);
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 3);
    EXPECT_TRUE(m_server.WaitForLine(QStringLiteral("<- 10 version=3$")));
}
