// The reference patch server, orvanta-patchd, as a process on loopback: its
// conversation, its file list, its log, its robustness, and the updater's
// window talking to it.
#include "PatchPeer.h"
#include "patchd/PeerAddress.h"

#include "patch/Cp949.h"
#include "patch/Digest.h"
#include "patch/Manifest.h"
#include "transfer/Crypto.h"
#include "transfer/Delta.h"
#include "patch/PatchLink.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"
#include "support/TestSupport.h"
#include "engine/UpdateSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

using namespace orvanta;
using patch_test::CFrameClient;
using patch_test::Frame;
using patch_test::FrameBytes;
using patch_test::Int32Frame;
using testing_support::ScaledMs;
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
            m_process.waitForFinished(ScaledMs(5000));
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
        m_process.waitForFinished(ScaledMs(10000));
        *pStderr = QString::fromUtf8(m_process.readAllStandardError());
        m_lines << QString::fromUtf8(m_process.readAllStandardOutput()).split(QLatin1Char('\n'));
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    // Runs in the child between fork and exec (limits, descriptors).
    void SetChildSetup(std::function<void()> fSetup) { m_process.setChildProcessModifier(std::move(fSetup)); }

    void SetEnv(const QString& name, const QString& value)
    {
        QProcessEnvironment env = m_process.processEnvironment().isEmpty() ? QProcessEnvironment::systemEnvironment()
                                                                             : m_process.processEnvironment();
        env.insert(name, value);
        m_process.setProcessEnvironment(env);
    }

    quint16 Port() const { return m_nPort; }
    QString Stderr()
    {
        m_stderr += QString::fromUtf8(m_process.readAllStandardError());
        return m_stderr;
    }
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
    QString m_stderr;
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
        WriteFile(m_release.filePath(QString::fromLatin1(RELEASE_SIGNATURE_PATH).mid(1)), 5);
        m_server.SetEnv(QStringLiteral("ORVANTA_FTP_PASSWORD"), QStringLiteral("s3cret"));
        ASSERT_TRUE(m_server.Start({QStringLiteral("--verbose"), QStringLiteral("--release"), m_release.path(),
                                    QStringLiteral("--version"), QStringLiteral("5"), QStringLiteral("--ftp-host"),
                                    QString::fromStdString(FtpHost()), QStringLiteral("--ftp-user"),
                                    QStringLiteral("updater"), QStringLiteral("--game-host"),
                                    QStringLiteral("게임.localhost"), QStringLiteral("--game-port"),
                                    QStringLiteral("7001"), QStringLiteral("--http-url"),
                                    QStringLiteral("https://cdn.example.invalid/orvanta")}));
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

// The release as the server must list it: by folder, then name, each entry
// with its file's digest; never the signature file.
std::vector<FileEntry> ExpectedList(const QTemporaryDir& release)
{
    std::vector<FileEntry> list = {Entry("", "root.bin", 3), Entry("data", "a.txt", 0),
                                   Entry("data/map", "b.bin", 10), Entry("한글", "파일.txt", 7)};
    for (FileEntry& entry : list) {
        const QString path = release.filePath(QString::fromStdString(
            Cp949ToUtf8(entry.folder.empty() ? entry.name : entry.folder + "/" + entry.name)));
        const auto digest = Sha256OfFile(QFile::encodeName(path).toStdString());
        if (digest)
            SetEntryDigest(&entry, *digest);
    }
    return list;
}

// A bare POSIX client, for what QTcpSocket does not offer: a chosen source
// address, a tiny receive buffer, never reading.
class CRawClient final {
public:
    explicit CRawClient(quint16 nPort, const char* source = "127.0.0.1", int nRecvBuf = 0)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (nRecvBuf > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nRecvBuf, sizeof nRecvBuf);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &local.sin_addr);
        ::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(nPort);
        ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
        m_bConnected = ::connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
    }
    ~CRawClient() { ::close(m_fd); }
    CRawClient(const CRawClient&) = delete;
    CRawClient& operator=(const CRawClient&) = delete;

    bool Connected() const { return m_bConnected; }
    quint16 LocalPort() const
    {
        sockaddr_in local{};
        socklen_t nLen = sizeof local;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &nLen);
        return ntohs(local.sin_port);
    }
    void Write(const QByteArray& bytes) { ::send(m_fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL); }

    // True once the server has closed: everything it sent is read and
    // dropped on the way.
    bool ClosedWithin(int nTimeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(std::max<qint64>(0, nTimeoutMs - timer.elapsed()))) <= 0)
                return false;
            char buf[4096];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                return true;
        }
    }

    // True when the server sent anything within the time.
    bool ReceivedWithin(int nTimeoutMs)
    {
        pollfd p{m_fd, POLLIN, 0};
        char c = 0;
        return ::poll(&p, 1, nTimeoutMs) > 0 && ::recv(m_fd, &c, 1, MSG_PEEK) > 0;
    }

private:
    int m_fd = -1;
    bool m_bConnected = false;
};

// Seconds of CPU the process has used.
double CpuSeconds(qint64 nPid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(nPid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

// A whole conversation of an updater at nVersion against the server; true
// when it ends with frame 19.
bool RunSession(quint16 nPort, std::int32_t nVersion, std::vector<Frame>* pFrames = nullptr)
{
    CFrameClient client;
    if (!client.Connect(nPort))
        return false;
    client.Write(Int32Frame(FRAME_CLIENT_VERSION, nVersion));
    if (!WaitFor([&]() {
            return !client.Received().empty() &&
                   (client.Received().back().type == FRAME_FTP_INFO ||
                    (client.Received().size() == 1 && DecodeInt32(client.Received()[0].payload) == nVersion));
        }))
        return false;
    client.Write(Int32Frame(FRAME_UPDATE_DONE, 0) + Int32Frame(FRAME_UP_TO_DATE, 0));
    const bool bDone =
        WaitFor([&]() { return client.Received().back().type == FRAME_GAME_SERVER; });
    if (pFrames)
        *pFrames = client.Received();
    return bDone;
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
    const std::vector<FileEntry> expected = ExpectedList(m_release);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(frames[1 + i].type, FRAME_FILE_ENTRY);
        EXPECT_EQ(frames[1 + i].payload.size(), FileEntry::SIZE);
        EXPECT_EQ(DecodeFileEntry(frames[1 + i].payload), expected[i]) << i;
    }
    // The HTTP(S) source comes before the FTP server, in a frame older
    // updaters ignore.
    ASSERT_EQ(frames[5].type, FRAME_HTTP_SOURCE);
    EXPECT_EQ(DecodeHttpSourceInfo(frames[5].payload), (HttpSourceInfo{"https://cdn.example.invalid/orvanta/"}));
    ASSERT_TRUE(client.WaitForFrames(7));
    ASSERT_EQ(frames[6].type, FRAME_FTP_INFO);
    EXPECT_EQ(DecodeFtpInfo(frames[6].payload), (FtpInfo{FtpHost(), "updater", "s3cret"}));

    client.Write(Int32Frame(FRAME_UPDATE_DONE, 0) + Int32Frame(FRAME_UP_TO_DATE, 0));
    ASSERT_TRUE(client.WaitForFrames(8));
    ASSERT_EQ(frames[7].type, FRAME_GAME_SERVER);
    EXPECT_EQ(DecodeGameServerInfo(frames[7].payload), (GameServerInfo{Utf8ToCp949("게임.localhost"), 7001}));

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
        const std::size_t nExpected = i % 2 ? 1 : 7;
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

    // 255 bytes fit, and the client gets them whole (in Hangul, which
    // stays within Windows' path length).
    QTemporaryDir release;
    const QString folder = QString(63, QChar(0xD55C)) + QLatin1Char('/') + QString(64, QChar(0xAE00));
    WriteFile(release.filePath(folder + QStringLiteral("/f.bin")), 1);
    CPatchd server;
    ASSERT_TRUE(server.Start({QStringLiteral("--release"), release.path()}));
    CFrameClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    client.Write(Int32Frame(FRAME_CLIENT_VERSION, 0));
    ASSERT_TRUE(client.WaitForFrames(2));
    EXPECT_EQ(DecodeFileEntry(client.Received()[1].payload)->folder, Utf8ToCp949(folder.toStdString()));
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
        {QStringLiteral("--releases"), QStringLiteral("/nonexistent/releases")},
        {QStringLiteral("--workers"), QStringLiteral("0")},
        {QStringLiteral("--http-url"), QStringLiteral("https://user:pw@cdn.example.invalid/")},
        {QStringLiteral("--hello-timeout"), QStringLiteral("-1")},
        {QStringLiteral("--ftp-password-file"), QStringLiteral("/nonexistent/password")},
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
    for (const char* option : {"--listen", "--port", "--release", "--releases", "--version", "--ftp-host",
                               "--ftp-user", "--ftp-password-file", "ORVANTA_FTP_PASSWORD", "--game-host",
                               "--game-port", "--workers", "--reuse-port", "--max-connections", "--max-per-address",
                               "--hello-timeout", "--idle-timeout", "--send-timeout", "--log", "--verbose",
                               "--public-key", "--http-url"})
        EXPECT_TRUE(text.contains(QLatin1String(option))) << option;
}

// The password reaches frame 14 from a file, and one still given on the
// command line is gone from the process's visible arguments.
TEST(PatchdCommandLine, PasswordStaysOffTheCommandLine)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("password")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("from-a-file\n");
    file.close();
    for (const QStringList& args : {QStringList{QStringLiteral("--ftp-password-file"), file.fileName()},
                                    QStringList{QStringLiteral("--ftp-password"), QStringLiteral("from-a-file")}}) {
        CPatchd server;
        ASSERT_TRUE(server.Start(args));
        CFrameClient client;
        ASSERT_TRUE(client.Connect(server.Port()));
        client.Write(Int32Frame(FRAME_CLIENT_VERSION, 0));
        ASSERT_TRUE(client.WaitForFrames(2));
        EXPECT_EQ(DecodeFtpInfo(client.Received()[1].payload)->password, "from-a-file");
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(server.Pid()));
        ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
        EXPECT_FALSE(cmdline.readAll().contains("from-a-file"));
    }
}

// The per-address cap counts an IPv6 /64 as one address: a subscriber
// holds the whole network. IPv4 counts by address, mapped or not; the log
// shows the whole address.
TEST(PatchdPeers, CapCountsIpv4AddressesAndIpv6Networks)
{
    const auto describe = [](const char* text, std::string* pName = nullptr) {
        sockaddr_storage sa{};
        auto& in6 = reinterpret_cast<sockaddr_in6&>(sa);
        auto& in4 = reinterpret_cast<sockaddr_in&>(sa);
        if (::inet_pton(AF_INET6, text, &in6.sin6_addr) == 1) {
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(7776);
        } else {
            EXPECT_EQ(::inet_pton(AF_INET, text, &in4.sin_addr), 1) << text;
            in4.sin_family = AF_INET;
        }
        std::string key;
        std::string name;
        patchd::DescribePeer(sa, &key, pName ? pName : &name);
        return key;
    };
    std::string name;
    EXPECT_EQ(describe("2001:db8:1:2::1", &name), describe("2001:db8:1:2:ffff:ab:cd:ef"));
    EXPECT_EQ(name, "[2001:db8:1:2::1]:7776");
    EXPECT_NE(describe("2001:db8:1:2::1"), describe("2001:db8:1:3::1"));
    EXPECT_EQ(describe("::ffff:192.0.2.7"), describe("192.0.2.7"));
    EXPECT_NE(describe("192.0.2.7"), describe("192.0.2.8"));
    EXPECT_NE(describe("::ffff:192.0.2.7"), describe("::ffff:192.0.2.8"));
}

// The update engine against the reference server, started as the window
// starts it: with the server's address from the command line.
class UpdaterAgainstPatchdTest : public PatchdTest {
protected:
    void StartUpdater(std::int32_t nClientVersion)
    {
        {
            settings::CSettingsKey key(settings::CSettingsKey::Open::Create);
            key.WriteNumber(settings::CLIENT_VERSION, nClientVersion);
            key.WriteNumber(settings::PORT, m_server.Port());
        }
        m_pEngine = std::make_unique<CUpdateSession>(nullptr);
        m_pEngine->Start(QStringLiteral("127.0.0.1"));
    }

    void TearDown() override { m_pEngine.reset(); }

    // The FTP server of the release accepts and never says a word: a login
    // the engine may start stays pending until the engine goes.
    std::string FtpHost() override
    {
        if (!m_silentFtp.isListening())
            m_silentFtp.listen(QHostAddress::LocalHost, 0);
        return "127.0.0.1:" + std::to_string(m_silentFtp.serverPort());
    }

    QTcpServer m_silentFtp;
    testing_support::CTempStore m_store;
    std::unique_ptr<CUpdateSession> m_pEngine;
};

TEST_F(UpdaterAgainstPatchdTest, EqualVersionsAnswerAtOnceAndGetTheGameServer)
{
    StartUpdater(5);
    // The port is taken as the link connects: the server closes the
    // connection once it has sent frame 19, and the port goes with it.
    quint16 nLocalPort = 0;
    QAbstractSocket* pSocket = m_pEngine->Link()->Socket();
    QObject::connect(pSocket, &QAbstractSocket::connected, pSocket, [&] { nLocalPort = pSocket->localPort(); });
    ASSERT_TRUE(WaitFor([&]() { return nLocalPort != 0; }));
    const QString client = QStringLiteral("^client 127\\.0\\.0\\.1:%1 ").arg(nLocalPort);
    ASSERT_TRUE(WaitFor([&]() { return m_pEngine->GamePort() == 7001; }));
    EXPECT_EQ(m_pEngine->GameIp(), QStringLiteral("게임.localhost"));
    EXPECT_TRUE(m_pEngine->IsUpToDate());
    EXPECT_TRUE(m_pEngine->IsLaunchReady());
    EXPECT_EQ(m_pEngine->StatusText(), QStringLiteral("변경될 파일이 없습니다.(설치버전:5)"));
    EXPECT_TRUE(m_pEngine->FileList().empty());
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 5);
    EXPECT_TRUE(m_server.WaitForLine(client + QStringLiteral("<- 10 version=5$")));
    EXPECT_TRUE(m_server.WaitForLine(client + QStringLiteral("-> 11 version=5$")));
    EXPECT_TRUE(m_server.WaitForLine(client + QStringLiteral("<- 18$")));
    EXPECT_TRUE(m_server.WaitForLine(client + QStringLiteral("-> 19 address=게임.localhost port=7001$")));
}

TEST_F(UpdaterAgainstPatchdTest, DifferentVersionsReceiveTheRelease)
{
    StartUpdater(3);
    ASSERT_TRUE(WaitFor([&]() { return !m_pEngine->FtpCredentials().host.empty(); }));
    EXPECT_EQ(m_pEngine->FileList(), ExpectedList(m_release));
    EXPECT_EQ(m_pEngine->FtpCredentials(), (FtpInfo{FtpHost(), "updater", "s3cret"}));
    EXPECT_EQ(m_pEngine->HttpSource(), "https://cdn.example.invalid/orvanta/");
    EXPECT_EQ(m_pEngine->ServerVersion(), 5);
    EXPECT_EQ(m_pEngine->Settings().nClientVersion, 3);
    EXPECT_FALSE(m_pEngine->IsUpToDate());
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 3);
    EXPECT_TRUE(m_server.WaitForLine(QStringLiteral("<- 10 version=3$")));
}

// Idle connections from one address are capped and, without frame 10,
// timed out; a player from elsewhere is served all the while.
TEST_F(PatchdTest, IdleConnectionsAreCappedAndTimedOut)
{
    QTemporaryDir release;
    CPatchd server;
    ASSERT_TRUE(server.Start({QStringLiteral("--release"), release.path(), QStringLiteral("--max-per-address"),
                              QStringLiteral("3"), QStringLiteral("--hello-timeout"), QStringLiteral("2000")}));
    std::vector<std::unique_ptr<CRawClient>> idle;
    for (int i = 0; i < 5; ++i) {
        idle.push_back(std::make_unique<CRawClient>(server.Port(), "127.0.0.2"));
        ASSERT_TRUE(idle.back()->Connected());
    }
    int nRefused = 0;
    // The deadline is far enough off that a busy machine cannot mistake a
    // timed-out client for a refused one.
    for (const auto& pClient : idle)
        nRefused += pClient->ClosedWithin(300) ? 1 : 0;
    EXPECT_EQ(nRefused, 2);

    // Not scaled for slow builds: a server that served the player only
    // once the idle clients timed out (2 s) would pass a longer bound.
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(RunSession(server.Port(), 0));
    EXPECT_LT(timer.elapsed(), 1000);

    for (const auto& pClient : idle)
        EXPECT_TRUE(pClient->ClosedWithin(ScaledMs(4000)));
    // The count is logged at most once a second: on a busy machine the two
    // refusals may fall in two lines.
    const QRegularExpression refusedLine(QStringLiteral("^refused (\\d+) connections: over the cap"));
    const auto refused = [&] {
        int n = 0;
        for (const QString& line : server.Lines()) {
            if (const auto match = refusedLine.match(line); match.hasMatch())
                n += match.captured(1).toInt();
        }
        return n;
    };
    EXPECT_TRUE(WaitFor([&] { return refused() >= 2; }));
    EXPECT_EQ(refused(), 2);
    EXPECT_TRUE(server.WaitForLine(QStringLiteral("^client 127\\.0\\.0\\.2:\\d+ version=- .* end=timed out waiting for frame 10$")));
    EXPECT_TRUE(server.WaitForLine(QStringLiteral("^client 127\\.0\\.0\\.1:\\d+ version=0 files=0 mirror=127\\.0\\.0\\.1 got=10,16,18 sent=19 time=[0-9.]+s end=done$")));
}

// Out of descriptors, the server stops accepting for a moment instead of
// spinning on the waiting connection, and serves again once some go.
TEST_F(PatchdTest, OutOfDescriptorsPausesAcceptingWithoutSpinning)
{
    QTemporaryDir release;
    CPatchd server;
    server.SetChildSetup([]() {
        const rlimit limit{48, 48};
        ::setrlimit(RLIMIT_NOFILE, &limit);
    });
    ASSERT_TRUE(server.Start({QStringLiteral("--release"), release.path(), QStringLiteral("--max-connections"),
                              QStringLiteral("1000")}));
    std::vector<std::unique_ptr<CRawClient>> flood;
    for (int i = 0; i < 60; ++i)
        flood.push_back(std::make_unique<CRawClient>(server.Port(), "127.0.0.2"));
    ASSERT_TRUE(server.WaitForLine(QStringLiteral("^accept: Too many open files; pausing")));
    const double nCpu = CpuSeconds(server.Pid());
    QTest::qWait(1000);
    EXPECT_LT(CpuSeconds(server.Pid()) - nCpu, 0.2);

    flood.clear();
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(RunSession(server.Port(), 0));
    EXPECT_LT(timer.elapsed(), ScaledMs(1000));
}

// However a client repeats itself or stops reading, what the server holds
// for it stays bounded: one answer per frame 10 and 18, a few stray frames,
// and output left unread only for a while.
TEST_F(PatchdTest, RepeatingOrNonReadingClientsStayBounded)
{
    // A list larger than what loopback's socket buffers take in (1.7 MB).
    constexpr int FILES = 3000;
    QTemporaryDir release;
    for (int i = 0; i < FILES; ++i)
        WriteFile(release.filePath(QStringLiteral("d/f%1.bin").arg(i)), 1);
    CPatchd server;
    ASSERT_TRUE(server.Start({QStringLiteral("--release"), release.path(), QStringLiteral("--version"),
                              QStringLiteral("2"), QStringLiteral("--send-timeout"), QStringLiteral("300")}));

    CFrameClient repeater;
    ASSERT_TRUE(repeater.Connect(server.Port()));
    const QByteArray ten = Int32Frame(FRAME_CLIENT_VERSION, 1);
    const QByteArray eighteen = Int32Frame(FRAME_UP_TO_DATE, 0);
    repeater.Write(ten + ten + ten + eighteen + eighteen);
    ASSERT_TRUE(repeater.WaitForClose());
    const auto& frames = repeater.Received();
    ASSERT_EQ(frames.size(), 1u + FILES + 1u + 1u);
    EXPECT_EQ(frames.front().type, FRAME_SERVER_VERSION);
    EXPECT_EQ(frames[1 + FILES].type, FRAME_FTP_INFO);
    EXPECT_EQ(frames.back().type, FRAME_GAME_SERVER);

    CFrameClient chatter;
    ASSERT_TRUE(chatter.Connect(server.Port()));
    QByteArray junk;
    for (int i = 0; i < 20; ++i)
        junk += FrameBytes(77);
    chatter.Write(junk);
    EXPECT_TRUE(chatter.WaitForClose());

    CRawClient sleeper(server.Port(), "127.0.0.1", 1024);
    ASSERT_TRUE(sleeper.Connected());
    sleeper.Write(ten);
    EXPECT_TRUE(server.WaitForLine(QStringLiteral(" files=3000 .* end=stalled: the client does not read$"), 3000));
    EXPECT_TRUE(server.WaitForLine(QStringLiteral(" end=dropped: more than 16 frames")));

    // An answer the kernel takes whole is left unread there all the same.
    CPatchd small;
    ASSERT_TRUE(small.Start({QStringLiteral("--release"), m_release.path(), QStringLiteral("--version"),
                             QStringLiteral("2"), QStringLiteral("--send-timeout"), QStringLiteral("300")}));
    CRawClient dozer(small.Port(), "127.0.0.1", 1024);
    ASSERT_TRUE(dozer.Connected());
    dozer.Write(ten);
    EXPECT_TRUE(small.WaitForLine(QStringLiteral(" files=4 .* end=stalled: the client does not read$"), 3000));
}

// A log that nobody reads, or whose reader has gone, costs lines, never
// service.
TEST(PatchdLog, BlockedOrClosedLogDoesNotStopService)
{
    // Each session logs a line per file: 4 KiB and more.
    QTemporaryDir release;
    for (int i = 0; i < 60; ++i)
        WriteFile(release.filePath(QStringLiteral("a/long-enough-name-%1.bin").arg(i)), 1);
    for (const bool bCloseReader : {false, true}) {
        SCOPED_TRACE(bCloseReader ? "closed" : "blocked");
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 nPort = probe.serverPort();
        probe.close();

        QProcess server;
        server.setChildProcessModifier([pipeFds]() { ::dup2(pipeFds[1], 1); });
        server.start(testing_support::BinaryPath(QStringLiteral("tools/orvanta-patchd")),
                     {QStringLiteral("--verbose"), QStringLiteral("--release"), release.path(), QStringLiteral("--port"),
                      QString::number(nPort), QStringLiteral("--version"), QStringLiteral("2")});
        ::close(pipeFds[1]);
        if (bCloseReader)
            ::close(pipeFds[0]);
        ASSERT_TRUE(WaitFor([&]() { return CRawClient(nPort).Connected(); }));
        // Far more log than a pipe holds (64 KiB).
        for (int i = 0; i < 30; ++i)
            ASSERT_TRUE(RunSession(nPort, 1)) << i;
        QElapsedTimer timer;
        timer.start();
        EXPECT_TRUE(RunSession(nPort, 1));
        EXPECT_LT(timer.elapsed(), ScaledMs(1000));
        EXPECT_EQ(server.state(), QProcess::Running);
        server.kill();
        server.waitForFinished(ScaledMs(5000));
        if (!bCloseReader)
            ::close(pipeFds[0]);
    }
}

// A history of versions: a client at a known older version gets only what
// changed since, one at an unknown version everything; sessions take the
// FTP mirrors in turn.
TEST(PatchdReleases, OlderVersionsGetWhatChangedAndMirrorsTakeTurns)
{
    QTemporaryDir releases;
    const auto write = [&](const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(releases.filePath(path)).absolutePath());
        QFile file(releases.filePath(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    for (const char* version : {"1", "2", "3"}) {
        write(QStringLiteral("%1/same.bin").arg(QLatin1String(version)), "unchanged");
        write(QStringLiteral("%1/data/grown.bin").arg(QLatin1String(version)),
              QByteArray(std::atoi(version) == 1 ? 4 : 8, 'g'));
    }
    write(QStringLiteral("1/data/edited.bin"), "version A");
    write(QStringLiteral("2/data/edited.bin"), "version A");
    write(QStringLiteral("3/data/edited.bin"), "version B");  // same size, other bytes
    write(QStringLiteral("2/gone.bin"), "removed in 3");
    write(QStringLiteral("3/new.bin"), "new in 3");
    // A pack with a patch from its version 1 and 2 bytes (the same) to 3's,
    // and a stray patch that matches nothing: neither patch is a file of
    // the release, and only clients at the patch's base get a delta entry.
    QByteArray pack(64 * 1024, 'p');
    write(QStringLiteral("1/data/pack.bin"), pack);
    write(QStringLiteral("2/data/pack.bin"), pack);
    pack.replace(1000, 5, "three");
    write(QStringLiteral("3/data/pack.bin"), pack);
    const auto path = [&](const char* name) { return QFile::encodeName(releases.filePath(QLatin1String(name))).toStdString(); };
    const auto packBase = PrefixOf(*Sha256OfFile(path("2/data/pack.bin")));
    ASSERT_TRUE(MakePatch(path("2/data/pack.bin"), path("3/data/pack.bin"),
                          path("3/data/pack.bin") + PatchSuffix(packBase, *Sha256OfFile(path("3/data/pack.bin"))),
                          {.nLevel = 1}, nullptr));
    write(QStringLiteral("3/same.bin.00000000000000000000000000000000.zpatch"), "stray");
    // A log that changes in every version, with a patch from 1 to 2 that
    // a hard-linked copy of 2 carried into 3 (bound to 2's bytes), and a
    // copy of it under the older, unbound name: neither is listed, and
    // nobody is offered them.
    QByteArray log(64 * 1024, 'l');
    for (const char* version : {"1", "2", "3"}) {
        log.replace(2000, 1, version);
        write(QStringLiteral("%1/data/log.bin").arg(QLatin1String(version)), log);
    }
    const auto logBase = PrefixOf(*Sha256OfFile(path("1/data/log.bin")));
    const std::string carried = "data/log.bin" + PatchSuffix(logBase, *Sha256OfFile(path("2/data/log.bin")));
    ASSERT_TRUE(MakePatch(path("1/data/log.bin"), path("2/data/log.bin"), path("2/") + carried, {.nLevel = 1}, nullptr));
    ASSERT_TRUE(QFile::link(QString::fromStdString(path("2/") + carried), QString::fromStdString(path("3/") + carried)));
    const QString unbound = QStringLiteral("data/log.bin.%1.zpatch").arg(QString::fromStdString(ToHex(logBase)));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(path("2/") + carried), releases.filePath(QStringLiteral("3/") + unbound)));
    QFile::link(releases.filePath(QStringLiteral("3")), releases.filePath(QStringLiteral("current")));

    CPatchd server;
    ASSERT_TRUE(server.Start({QStringLiteral("--releases"), releases.path(), QStringLiteral("--ftp-host"),
                              QStringLiteral("ftp1.localhost"), QStringLiteral("--ftp-host"),
                              QStringLiteral("ftp2.localhost")}));
    const auto fetched = [&](std::int32_t nVersion, std::vector<std::string>* pHosts) {
        std::vector<Frame> frames;
        EXPECT_TRUE(RunSession(server.Port(), nVersion, &frames)) << nVersion;
        std::vector<std::string> names;
        for (const Frame& frame : frames) {
            if (frame.type == FRAME_SERVER_VERSION) {
                EXPECT_EQ(DecodeInt32(frame.payload), 3);
            }
            if (frame.type == FRAME_FILE_ENTRY) {
                const auto entry = DecodeFileEntry(frame.payload);
                names.push_back(entry->folder.empty() ? entry->name : entry->folder + "/" + entry->name);
                if (const auto base = EntryBasePrefix(*entry)) {
                    EXPECT_EQ(*base, packBase);
                    EXPECT_EQ(EntryDigest(*entry), Sha256OfFile(path("3/data/pack.bin")));
                    names.back() += " patched";
                }
            }
            if (frame.type == FRAME_FTP_INFO)
                pHosts->push_back(DecodeFtpInfo(frame.payload)->host);
        }
        return names;
    };
    using Names = std::vector<std::string>;
    std::vector<std::string> hosts;
    EXPECT_EQ(fetched(2, &hosts), (Names{"new.bin", "data/edited.bin", "data/log.bin", "data/pack.bin patched"}));
    EXPECT_EQ(fetched(1, &hosts),
              (Names{"new.bin", "data/edited.bin", "data/grown.bin", "data/log.bin", "data/pack.bin patched"}));
    const Names everything{"new.bin", "same.bin", "data/edited.bin", "data/grown.bin", "data/log.bin", "data/pack.bin"};
    EXPECT_EQ(fetched(9, &hosts), everything);
    EXPECT_EQ(fetched(0, &hosts), everything);
    EXPECT_EQ(fetched(3, &hosts), Names{});
    EXPECT_EQ(hosts, (std::vector<std::string>{"ftp1.localhost", "ftp2.localhost", "ftp1.localhost", "ftp2.localhost"}));
    EXPECT_TRUE(server.WaitForLine(QStringLiteral(" version=1 files=5 \\(changed since\\) mirror=ftp2\\.localhost ")));
    // The publisher hears of the unbound patches, to delete them.
    for (const QString& name : {unbound, QStringLiteral("same.bin.00000000000000000000000000000000.zpatch")})
        EXPECT_TRUE(server.Stderr().contains(QStringLiteral("warning: %1: %2: a patch of the older form")
                                                 .arg(releases.filePath(QStringLiteral("3")), name)))
            << server.Stderr().toStdString();
}

// A client that asks while its version's list is still being worked out
// and leaves before it is ready is forgotten: the list goes to nobody else,
// and the server serves on.
TEST(PatchdReleases, ClientLeavingBeforeItsListIsReadyIsForgotten)
{
    // Each older version holds a pack of the current one's size on its own
    // inode, so each comparison hashes it; version 1's list comes last.
    // Sparse files: the hashing is the only cost.
    QTemporaryDir releases;
    for (int nVersion = 1; nVersion <= 6; ++nVersion) {
        QDir().mkpath(releases.filePath(QString::number(nVersion)));
        QFile pack(releases.filePath(QStringLiteral("%1/pack.bin").arg(nVersion)));
        ASSERT_TRUE(pack.open(QIODevice::WriteOnly) && pack.resize(96 << 20));
    }
    CPatchd server;
    ASSERT_TRUE(server.Start({QStringLiteral("--verbose"), QStringLiteral("--releases"), releases.path()}));

    quint16 nLeaver = 0;
    {
        CRawClient leaver(server.Port());
        ASSERT_TRUE(leaver.Connected());
        leaver.Write(Int32Frame(FRAME_CLIENT_VERSION, 1));
        nLeaver = leaver.LocalPort();
    }
    const QString leaver = QStringLiteral("^client 127\\.0\\.0\\.1:%1 ").arg(nLeaver);
    ASSERT_TRUE(server.WaitForLine(leaver + QStringLiteral("gone$")));
    CRawClient silent(server.Port());
    ASSERT_TRUE(silent.Connected());

    EXPECT_TRUE(RunSession(server.Port(), 1));
    EXPECT_TRUE(server.Running());
    EXPECT_FALSE(silent.ReceivedWithin(SETTLE_MS)) << "another client's list reached a silent one";
    EXPECT_FALSE(server.WaitForLine(leaver + QStringLiteral("-> 11 "), 0)) << "the list was ready too soon to test";
}

// Version folders are named in plain digits. One named like a number but
// not so is ignored with a warning, and refused where it would have been
// the current version; an error in a version's files names its folder.
TEST(PatchdReleases, MisnamedVersionFoldersAreNamedOrRefused)
{
    QTemporaryDir releases;
    const QStringList ignored = {QStringLiteral("0042"), QStringLiteral("-5"), QStringLiteral("+5"),
                                 QStringLiteral("4x")};
    for (const QString& name : ignored + QStringList{QStringLiteral("41"), QStringLiteral("43"), QStringLiteral("old")})
        WriteFile(releases.filePath(name + QStringLiteral("/a.bin")), 1);
    QFile::link(releases.filePath(QStringLiteral("43")), releases.filePath(QStringLiteral("current")));
    {
        CPatchd server;
        ASSERT_TRUE(server.Start({QStringLiteral("--releases"), releases.path()}));
        EXPECT_TRUE(RunSession(server.Port(), 43)) << "43 is current";
        for (const QString& name : ignored)
            EXPECT_TRUE(WaitFor([&]() { return server.Stderr().contains(QStringLiteral("sub-folder %1 ignored").arg(name)); }))
                << name.toStdString();
        EXPECT_FALSE(server.Stderr().contains(QStringLiteral("sub-folder current")));
        EXPECT_FALSE(server.Stderr().contains(QStringLiteral("sub-folder old")));
    }

    struct Case {
        QString folder;
        QString file;
        QString expected;
    };
    const Case refused[] = {
        {QStringLiteral("0044"), QStringLiteral("a.bin"), QStringLiteral("sub-folder 0044 would be the current version")},
        {QStringLiteral("99999999999"), QStringLiteral("a.bin"),
         QStringLiteral("sub-folder 99999999999 would be the current version")},
        {QStringLiteral("42"), QStringLiteral("smile-\U0001F600.bin"), releases.filePath(QStringLiteral("42: "))},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.folder.toStdString());
        WriteFile(releases.filePath(c.folder + QLatin1Char('/') + c.file), 1);
        CPatchd server;
        QString error;
        EXPECT_EQ(server.RunToExit({QStringLiteral("--releases"), releases.path()}, &error), 2);
        EXPECT_TRUE(error.contains(c.expected)) << error.toStdString();
        QDir(releases.filePath(c.folder)).removeRecursively();
    }
}

namespace {

// orvanta-release run to its end: its exit code, its standard error.
int RunReleaseTool(const QStringList& args, QString* pStderr)
{
    QProcess tool;
    tool.start(testing_support::BinaryPath(QStringLiteral("tools/orvanta-release")), args);
    tool.waitForFinished(ScaledMs(30000));
    *pStderr = QString::fromUtf8(tool.readAllStandardError());
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

const QString TEST_PRIVATE_KEY = QStringLiteral(ORVANTA_SOURCE_DIR "/tests/keys/test-only-release-key.pem");
const QString TEST_PUBLIC_KEY = QStringLiteral(ORVANTA_SOURCE_DIR "/tests/keys/test-only-release-key.pub");

} // namespace

// A release holding what an updater would refuse, or what must never be
// served, is refused by sign and by the patch server alike, naming the
// file; a file others cannot read is only named in a warning.
TEST(PublisherTools, SignAndServeRefuseWhatAnUpdaterWouldRefuse)
{
    struct Case {
        const char* what;
        QByteArray named;  // the file the message must name (UTF-8, or the escaped bytes)
        std::function<void(const QDir&)> fMake;
    };
    // By bytes: a name that is not UTF-8 does not survive a QString.
    const auto touch = [](const QDir& dir, const QByteArray& name) {
        const int fd = ::open(QFile::encodeName(dir.path()) + '/' + name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0) << name.toStdString();
        ASSERT_EQ(::write(fd, "x", 1), 1);
        ::close(fd);
    };
    const Case cases[] = {
        {"device name", "aux.txt", [&](const QDir& d) { touch(d, "aux.txt"); }},
        {"colon", "a:b.txt", [&](const QDir& d) { touch(d, "a:b.txt"); }},
        {"trailing dot", "name.", [&](const QDir& d) { touch(d, "name."); }},
        {"trailing blank", "data/trail ", [&](const QDir& d) { touch(d, "data/trail "); }},
        {"case collision", "data/a.txt",
         [&](const QDir& d) {
             ASSERT_TRUE(d.mkpath(QStringLiteral("Data")));
             touch(d, "Data/A.txt");
         }},
        {"not UTF-8", "bad\\xff.txt", [&](const QDir& d) { touch(d, "bad\xff.txt"); }},
        {"link out of the folder", "host",
         [](const QDir& d) { ASSERT_TRUE(QFile::link(QStringLiteral("/etc/hostname"), d.filePath(QStringLiteral("host")))); }},
        {"linked folder", "linked",
         [](const QDir& d) { ASSERT_TRUE(QFile::link(d.filePath(QStringLiteral("data")), d.filePath(QStringLiteral("linked")))); }},
        {"FIFO", "data/pipe",
         [](const QDir& d) { ASSERT_EQ(::mkfifo(QFile::encodeName(d.filePath(QStringLiteral("data/pipe"))).constData(), 0644), 0); }},
        {"interrupted delta", "data/a.txt.0123456789abcdef0123456789abcdef.0123456789abcdef0123456789abcdef.zpatch.tmp",
         [&](const QDir& d) { touch(d, "data/a.txt.0123456789abcdef0123456789abcdef.0123456789abcdef0123456789abcdef.zpatch.tmp"); }},
        {"private key", "data/release.pem",
         [](const QDir& d) { ASSERT_TRUE(QFile::copy(TEST_PRIVATE_KEY, d.filePath(QStringLiteral("data/release.pem")))); }},
        {"growing file", "data/growing.bin",
         [](const QDir& d) {
             QFile file(d.filePath(QStringLiteral("data/growing.bin")));
             ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(32 << 20));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir release;
        const QDir dir(release.path());
        WriteFile(dir.filePath(QStringLiteral("data/a.txt")), 5);
        WriteFile(dir.filePath(QStringLiteral("공지/새 소식.txt")), 5);
        c.fMake(dir);
        // The growing file grows by a block a millisecond while the tools
        // run, as a copy still under way would.
        std::atomic<bool> bStop = false;
        std::thread writer;
        if (QByteArray(c.what) == "growing file") {
            writer = std::thread([&]() {
                QFile file(dir.filePath(QStringLiteral("data/growing.bin")));
                if (!file.open(QIODevice::Append))
                    return;
                while (!bStop) {
                    file.write(QByteArray(4096, 'g'));
                    file.flush();
                    QThread::msleep(1);
                }
            });
        }
        const QString named = QString::fromUtf8(c.named);
        QString error;
        EXPECT_EQ(RunReleaseTool({QStringLiteral("sign"), TEST_PRIVATE_KEY, release.path(), QStringLiteral("1")}, &error), 1);
        EXPECT_TRUE(error.contains(release.path() + QStringLiteral(": ") + named + QStringLiteral(": ")))
            << error.toStdString();
        CPatchd server;
        EXPECT_EQ(server.RunToExit({QStringLiteral("--release"), release.path(), QStringLiteral("--port"),
                                    QStringLiteral("0")}, &error), 2);
        EXPECT_TRUE(error.contains(release.path() + QStringLiteral(": ") + named + QStringLiteral(": ")))
            << error.toStdString();
        EXPECT_FALSE(QFile::exists(dir.filePath(QString::fromLatin1(RELEASE_SIGNATURE_PATH).mid(1))));
        bStop = true;
        if (writer.joinable())
            writer.join();
    }

    // Others cannot read it, or a jailed FTP server cannot follow the link
    // to it: signed and served, with a warning naming it.
    QTemporaryDir release;
    WriteFile(release.filePath(QStringLiteral("data/private.bin")), 5);
    ASSERT_TRUE(QFile::setPermissions(release.filePath(QStringLiteral("data/private.bin")),
                                      QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_TRUE(QFile::link(release.filePath(QStringLiteral("data/private.bin")), release.filePath(QStringLiteral("absolute"))));
    QString error;
    EXPECT_EQ(RunReleaseTool({QStringLiteral("sign"), TEST_PRIVATE_KEY, release.path(), QStringLiteral("1")}, &error), 0);
    EXPECT_TRUE(error.contains(QStringLiteral("warning: %1: data/private.bin: not readable by every user").arg(release.path())))
        << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("warning: %1: absolute: a link by absolute path").arg(release.path())))
        << error.toStdString();
    CPatchd server;
    ASSERT_TRUE(server.Start({QStringLiteral("--release"), release.path()}));
    EXPECT_TRUE(WaitFor([&]() { return server.Stderr().contains(QStringLiteral("data/private.bin: not readable")); }));
}

// A signature is checked where it is made and where it is served: sign
// takes a history's folder only as the version it is named by, and a
// patch server given the publisher's key starts only with a signature
// made by that key, for the version it announces, over the files it lists.
TEST(PublisherTools, SignaturesAreCheckedWhereMadeAndServed)
{
    QTemporaryDir releases;
    const QDir history(releases.path());
    const QString folder = history.filePath(QStringLiteral("3"));
    WriteFile(history.filePath(QStringLiteral("2/a.bin")), 4);
    WriteFile(folder + QStringLiteral("/a.bin"), 4);
    WriteFile(folder + QStringLiteral("/data/b.bin"), 6);
    QString error;
    EXPECT_EQ(RunReleaseTool({QStringLiteral("sign"), TEST_PRIVATE_KEY, folder, QStringLiteral("4")}, &error), 1);
    EXPECT_TRUE(error.contains(QStringLiteral("%1 is the folder of version 3").arg(folder))) << error.toStdString();
    ASSERT_EQ(RunReleaseTool({QStringLiteral("sign"), TEST_PRIVATE_KEY, folder, QStringLiteral("3")}, &error), 0)
        << error.toStdString();

    const QStringList keyed = {QStringLiteral("--releases"), releases.path(), QStringLiteral("--public-key"), TEST_PUBLIC_KEY};
    {
        CPatchd server;
        ASSERT_TRUE(server.Start(keyed)) << server.Stderr().toStdString();
    }

    QTemporaryDir other;
    const auto pair = GenerateEd25519();
    ASSERT_TRUE(pair);
    const QString otherPub = other.filePath(QStringLiteral("other.pub"));
    QFile otherFile(otherPub);
    ASSERT_TRUE(otherFile.open(QIODevice::WriteOnly));
    otherFile.write(QByteArray::fromStdString(ToHex(pair->publicKey) + "\n"));
    otherFile.close();
    const QString signature = folder + QLatin1Char('/') + QString::fromLatin1(RELEASE_SIGNATURE_PATH).mid(1);
    struct Case {
        const char* what;
        std::function<void()> fChange;
        QStringList args;
        int nAnnounced;
        QString expected;
    };
    const Case cases[] = {
        {"another key", [] {}, {QStringLiteral("--releases"), releases.path(), QStringLiteral("--public-key"), otherPub}, 3,
         QStringLiteral("does not verify with the publisher's key")},
        {"another version", [] {},
         {QStringLiteral("--release"), folder, QStringLiteral("--version"), QStringLiteral("5"), QStringLiteral("--public-key"),
          TEST_PUBLIC_KEY},
         5, QStringLiteral("signed for version 3, not 5")},
        {"a file grown", [&] { WriteFile(folder + QStringLiteral("/data/b.bin"), 7); }, keyed, 3,
         QStringLiteral("data/b.bin is signed with 6 bytes and holds 7")},
        {"a file added",
         [&] {
             WriteFile(folder + QStringLiteral("/data/b.bin"), 6);
             WriteFile(folder + QStringLiteral("/data/c.bin"), 1);
         },
         keyed, 3, QStringLiteral("data/c.bin is not signed")},
        {"no signature", [&] { QFile::remove(signature); }, keyed, 3, QStringLiteral("no signature")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.fChange();
        CPatchd server;
        EXPECT_EQ(server.RunToExit(c.args + QStringList{QStringLiteral("--port"), QStringLiteral("0")}, &error), 2);
        EXPECT_TRUE(error.contains(QStringLiteral("version %1 not announced").arg(c.nAnnounced)))
            << error.toStdString();
        EXPECT_TRUE(error.contains(c.expected)) << error.toStdString();
    }
}
