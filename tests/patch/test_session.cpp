// The update session of the real window against a scripted patch server on
// loopback: connection, frames cut and merged, odd frames, and the end
// states of the session.
#include "PatchPeer.h"

#include "app/CommandLine.h"
#include "app/Constants.h"
#include "patch/Cp949.h"
#include "patch/PatchLink.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"
#include "support/TestSupport.h"
#include "ui/UpdaterDlg.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace orvanta;
using patch_test::FrameBytes;
using patch_test::Int32Frame;
using testing_support::WaitFor;

namespace {

const QString CONNECTED = QStringLiteral("업데이트 서버에 접속 성공");
const QString FAILED = QStringLiteral("업데이트 서버에 접속 실패");

// Long enough for loopback bytes to reach the window, short enough to keep
// the suite quick.
constexpr int SETTLE_MS = 60;

std::vector<std::uint8_t> FileEntryPayload(const std::string& folder, const std::string& name, std::uint32_t size)
{
    FileEntry entry;
    entry.folder = folder;
    entry.name = name;
    entry.size = size;
    return EncodeFileEntry(entry);
}

QByteArray FileEntryFrame(const std::string& folder, const std::string& name, std::uint32_t size)
{
    return FrameBytes(FRAME_FILE_ENTRY, FileEntryPayload(folder, name, size));
}

class SessionTest : public ::testing::Test {
protected:
    // What the store holds when the session starts; the command line names
    // the host, as the updater's own start-up would.
    void Prepare(std::int32_t nClientVersion, const QString& host, int nPort)
    {
        settings::CSettingsKey key(settings::CSettingsKey::Open::Create);
        key.WriteNumber(settings::CLIENT_VERSION, nClientVersion);
        key.WriteNumber(settings::PORT, nPort);
        SetCommandLineText(host);
    }

    void StartSession(std::int32_t nClientVersion, const QString& host, int nPort)
    {
        Prepare(nClientVersion, host, nPort);
        m_pDlg = std::make_unique<CUpdaterDlg>();
        m_pDlg->m_timer.stop();
        m_pDlg->OnTimer();
    }

    // Up to the server's first move: the updater is connected and has sent
    // its version.
    void Handshake(std::int32_t nClientVersion)
    {
        StartSession(nClientVersion, QStringLiteral("127.0.0.1"), m_peer.Port());
        ASSERT_TRUE(m_peer.WaitForFrames(1));
        ASSERT_EQ(m_peer.Received()[0].type, FRAME_CLIENT_VERSION);
        ASSERT_EQ(m_peer.Received()[0].payload, EncodeInt32(nClientVersion));
        ASSERT_EQ(m_pDlg->StatusText(), CONNECTED);
    }

    std::optional<std::int32_t> StoredClientVersion() const
    {
        return settings::ReadNumberValue(settings::CLIENT_VERSION);
    }

    void TearDown() override
    {
        m_pDlg.reset();
        SetCommandLineText(QString());
    }

    testing_support::CTempStore m_store;
    patch_test::CScriptedPeer m_peer;
    std::unique_ptr<CUpdaterDlg> m_pDlg;
};

// A port on which nothing listens.
quint16 ClosedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 nPort = probe.serverPort();
    probe.close();
    return nPort;
}

} // namespace

TEST_F(SessionTest, ConnectsAndReportsTheInstalledVersion)
{
    Handshake(7);
    EXPECT_EQ(m_peer.Received()[0].payload.size(), 4u);
    EXPECT_FALSE(m_pDlg->m_bLaunchReady);
    EXPECT_FALSE(m_pDlg->m_bUpToDate);
    EXPECT_EQ(m_pDlg->m_nClientVersion, 7);
}

TEST_F(SessionTest, EqualVersionsAnswerUpToDateBeforeTheStatusText)
{
    Handshake(4);
    // What the window showed when frame 18 left for the server.
    QString statusAtSend;
    bool bReadyAtSend = true;
    qint64 nSent = 0;
    QObject::connect(m_pDlg->m_pLink->Socket(), &QAbstractSocket::bytesWritten, [&](qint64 n) {
        if (nSent == 0) {
            statusAtSend = m_pDlg->StatusText();
            bReadyAtSend = m_pDlg->m_bLaunchReady;
        }
        nSent += n;
    });

    m_peer.Write(Int32Frame(FRAME_SERVER_VERSION, 4));
    ASSERT_TRUE(m_peer.WaitForFrames(2));
    EXPECT_EQ(m_peer.Received()[1].type, FRAME_UP_TO_DATE);
    EXPECT_EQ(m_peer.Received()[1].payload.size(), 4u);
    EXPECT_EQ(nSent, 12);
    EXPECT_EQ(statusAtSend, CONNECTED);
    EXPECT_FALSE(bReadyAtSend);

    EXPECT_EQ(m_pDlg->StatusText(), QStringLiteral("변경될 파일이 없습니다.(설치버전:4)"));
    EXPECT_EQ(m_pDlg->m_nServerVersion, 4);
    EXPECT_TRUE(m_pDlg->m_bUpToDate);
    EXPECT_TRUE(m_pDlg->m_bLaunchReady);
    EXPECT_TRUE(m_pDlg->m_strGameIp.isEmpty());
}

TEST_F(SessionTest, DifferentVersionsShowTheUpdateAndWait)
{
    Handshake(3);
    m_peer.Write(Int32Frame(FRAME_SERVER_VERSION, 5));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_nServerVersion == 5; }));
    EXPECT_EQ(m_pDlg->StatusText(), QStringLiteral("Ver.3에서 Ver.5으로 업데이트"));
    QTest::qWait(SETTLE_MS);
    EXPECT_EQ(m_peer.Received().size(), 1u) << "nothing more is sent";
    EXPECT_FALSE(m_pDlg->m_bUpToDate);
    EXPECT_FALSE(m_pDlg->m_bLaunchReady);
    EXPECT_EQ(StoredClientVersion(), 3) << "frame 11 records nothing";
}

TEST_F(SessionTest, NegativeVersionsAreShownAsNumbers)
{
    Handshake(-1);
    m_peer.Write(Int32Frame(FRAME_SERVER_VERSION, 2));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_nServerVersion == 2; }));
    EXPECT_EQ(m_pDlg->StatusText(), QStringLiteral("Ver.-1에서 Ver.2으로 업데이트"));
}

// Each frame is handled once, when its last byte is in, however the server's
// bytes are cut.
TEST_F(SessionTest, FramesCutIntoPiecesAreHandledOnceWhole)
{
    Handshake(1);
    const std::vector<std::vector<int>> cuts = {{1, 3}, {2, 2, 4}, {4, 4}, {9, 500}, {575}};
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        SCOPED_TRACE(::testing::PrintToString(cuts[i]));
        const QByteArray frame = FileEntryFrame("dir", "file" + std::to_string(i), std::uint32_t(i));
        qsizetype nAt = 0;
        for (int nPiece : cuts[i]) {
            m_peer.Write(frame.mid(nAt, nPiece));
            nAt += nPiece;
            QTest::qWait(SETTLE_MS);
            ASSERT_EQ(m_pDlg->m_fileList.size(), i) << "handled before its last byte";
        }
        m_peer.Write(frame.mid(nAt));
        ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_fileList.size() == i + 1; }));
        EXPECT_EQ(m_pDlg->m_fileList.back().name, "file" + std::to_string(i));
        EXPECT_EQ(m_pDlg->m_fileList.back().size, i);
    }
    QTest::qWait(SETTLE_MS);
    EXPECT_EQ(m_pDlg->m_fileList.size(), cuts.size());
    EXPECT_FALSE(m_pDlg->m_bLaunchReady);
}

TEST_F(SessionTest, FramesInOneSegmentAreHandledInOrder)
{
    Handshake(2);
    // Two identical entries are two entries.
    m_peer.Write(Int32Frame(FRAME_SERVER_VERSION, 6) + FileEntryFrame("a", "same", 10) +
                 FileEntryFrame("a", "same", 10) + FileEntryFrame("b", "other", 20));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_fileList.size() == 3; }));
    EXPECT_EQ(m_pDlg->StatusText(), QStringLiteral("Ver.2에서 Ver.6으로 업데이트"));
    EXPECT_EQ(m_pDlg->m_fileList[0], m_pDlg->m_fileList[1]);
    EXPECT_EQ(m_pDlg->m_fileList[0].folder, "a");
    EXPECT_EQ(m_pDlg->m_fileList[2].name, "other");
    EXPECT_EQ(m_pDlg->m_fileList[2].size, 20u);
}

// Unknown types, the updater's own types, empty and short payloads are all
// passed over, and the frames around them are handled.
TEST_F(SessionTest, OddFramesBetweenValidOnesAreIgnored)
{
    Handshake(1);
    const std::vector<std::uint8_t> junk(40, 0xEE);
    QByteArray stream;
    stream += FrameBytes(12);
    stream += FileEntryFrame("x", "first", 1);
    stream += FrameBytes(15, junk);
    stream += FrameBytes(FRAME_SERVER_VERSION);                              // no payload
    stream += FrameBytes(FRAME_FILE_ENTRY, std::vector<std::uint8_t>(567, 'n'));  // one byte short
    stream += FrameBytes(FRAME_GAME_SERVER, std::vector<std::uint8_t>(55, 'g'));
    stream += FrameBytes(FRAME_FTP_INFO, std::vector<std::uint8_t>(199, 'f'));
    stream += FrameBytes(17, junk);
    stream += Int32Frame(FRAME_CLIENT_VERSION, 99);
    stream += Int32Frame(FRAME_UPDATE_DONE, 0);
    stream += Int32Frame(FRAME_UP_TO_DATE, 0);
    stream += FrameBytes(20);
    stream += FileEntryFrame("x", "second", 2);
    stream += FrameBytes(-5, junk);
    stream += Int32Frame(FRAME_SERVER_VERSION, 9);
    m_peer.Write(stream);

    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_nServerVersion == 9; }));
    ASSERT_EQ(m_pDlg->m_fileList.size(), 2u);
    EXPECT_EQ(m_pDlg->m_fileList[0].name, "first");
    EXPECT_EQ(m_pDlg->m_fileList[1].name, "second");
    EXPECT_EQ(m_pDlg->StatusText(), QStringLiteral("Ver.1에서 Ver.9으로 업데이트"));
    EXPECT_TRUE(m_pDlg->m_ftpInfo.host.empty());
    EXPECT_TRUE(m_pDlg->m_strGameIp.isEmpty());
    EXPECT_FALSE(m_pDlg->m_bUpToDate);
    EXPECT_FALSE(m_pDlg->m_bLaunchReady);
    EXPECT_TRUE(m_pDlg->m_pLink->IsConnected());
}

TEST_F(SessionTest, CredentialsWithEqualVersionsAreKeptOnly)
{
    Handshake(4);
    m_peer.Write(Int32Frame(FRAME_SERVER_VERSION, 4) + FileEntryFrame("", "a.bin", 3) +
                 FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo({"127.0.0.1:2121", "kim", "pw"})));
    ASSERT_TRUE(WaitFor([&]() { return !m_pDlg->m_ftpInfo.host.empty(); }));
    EXPECT_EQ(m_pDlg->m_ftpInfo, (FtpInfo{"127.0.0.1:2121", "kim", "pw"}));
    EXPECT_EQ(m_pDlg->m_fileList.size(), 1u);
    EXPECT_FALSE(m_pDlg->m_bDownloading);
    EXPECT_TRUE(m_pDlg->m_bLaunchReady);
}

TEST_F(SessionTest, TheListDoesNotChangeWhileADownloadRuns)
{
    Handshake(1);
    m_peer.Write(Int32Frame(FRAME_SERVER_VERSION, 2) + FileEntryFrame("", "a", 1));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_fileList.size() == 1; }));
    m_pDlg->m_ftpInfo = {"in use", "u", "p"};
    m_pDlg->m_bDownloading = true;  // as the sequencer sets it
    m_peer.Write(FileEntryFrame("", "late", 1) + FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo({"other", "x", "y"})) +
                 Int32Frame(FRAME_SERVER_VERSION, 3));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_nServerVersion == 3; }));
    EXPECT_EQ(m_pDlg->m_fileList.size(), 1u);
    EXPECT_EQ(m_pDlg->m_ftpInfo.host, "in use");
}

TEST_F(SessionTest, GameServerIsStoredAndArmsTheButton)
{
    Handshake(4);
    // "게임서버" in CP949, the way the server stores its texts.
    const std::string address = Utf8ToCp949("게임서버.example");
    m_peer.Write(Int32Frame(FRAME_SERVER_VERSION, 4) +
                 FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({address, 7000})));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_nGamePort == 7000; }));
    EXPECT_EQ(m_pDlg->m_strGameIp, QStringLiteral("게임서버.example"));
    EXPECT_TRUE(m_pDlg->m_bUpToDate);
    EXPECT_TRUE(m_pDlg->m_bLaunchReady);
    EXPECT_EQ(StoredClientVersion(), 4);
}

TEST_F(SessionTest, GameServerAddressWithoutNulEndsAtItsField)
{
    Handshake(4);
    std::vector<std::uint8_t> payload(GameServerInfo::SIZE, 'g');
    StoreLe32(std::span(payload).subspan(52, 4), 12);
    m_peer.Write(FrameBytes(FRAME_GAME_SERVER, payload));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_nGamePort == 12; }));
    EXPECT_EQ(m_pDlg->m_strGameIp, QString(52, QLatin1Char('g')));
}

// The server's version becomes the installed one only after a download that
// completed whole; the window's own copy never changes.
TEST_F(SessionTest, GameServerRecordsTheVersionOnlyAfterACompleteDownload)
{
    struct Case {
        const char* what;
        bool bDownloading;
        bool bComplete;
        std::int32_t nExpected;
    };
    const Case cases[] = {
        {"download complete", false, true, 5},
        {"download still running", true, false, 3},
        {"download failed", false, false, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing_support::CTempStore store;
        patch_test::CScriptedPeer peer;
        Prepare(3, QStringLiteral("127.0.0.1"), peer.Port());
        auto pDlg = std::make_unique<CUpdaterDlg>();
        pDlg->m_timer.stop();
        pDlg->OnTimer();
        ASSERT_TRUE(peer.WaitForFrames(1));
        peer.Write(Int32Frame(FRAME_SERVER_VERSION, 5));
        ASSERT_TRUE(WaitFor([&]() { return pDlg->m_nServerVersion == 5; }));
        pDlg->m_bDownloading = c.bDownloading;
        pDlg->m_bDownloadComplete = c.bComplete;
        peer.Write(FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({"10.0.0.9", 5555})));
        ASSERT_TRUE(WaitFor([&]() { return pDlg->m_nGamePort == 5555; }));
        EXPECT_EQ(pDlg->m_strGameIp, QStringLiteral("10.0.0.9"));
        EXPECT_TRUE(pDlg->m_bUpToDate);
        EXPECT_TRUE(pDlg->m_bLaunchReady);
        EXPECT_EQ(StoredClientVersion(), c.nExpected);
        EXPECT_EQ(pDlg->m_nClientVersion, 3);
    }
}

// A length no frame can have: the link drops the server, the player may
// start the game, and nothing after it is read.
TEST_F(SessionTest, LengthOutOfRangeClosesTheLink)
{
    for (std::int32_t nLength : {1025, 7, -1, 0x7FFFFFFF}) {
        SCOPED_TRACE(nLength);
        testing_support::CTempStore store;
        patch_test::CScriptedPeer peer;
        Prepare(1, QStringLiteral("127.0.0.1"), peer.Port());
        auto pDlg = std::make_unique<CUpdaterDlg>();
        pDlg->m_timer.stop();
        pDlg->OnTimer();
        ASSERT_TRUE(peer.WaitForFrames(1));

        QByteArray stream(4, '\0');
        StoreLe32(std::span(reinterpret_cast<std::uint8_t*>(stream.data()), 4), std::uint32_t(nLength));
        stream += QByteArray(3000, '\x5A');
        stream += Int32Frame(FRAME_SERVER_VERSION, 8);
        peer.Write(stream);

        ASSERT_TRUE(WaitFor([&]() { return pDlg->m_bLaunchReady; }));
        EXPECT_EQ(pDlg->StatusText(), FAILED);
        EXPECT_FALSE(pDlg->m_bUpToDate);
        EXPECT_TRUE(pDlg->m_pLink->IsBroken());
        EXPECT_TRUE(WaitFor([&]() { return peer.ClientClosed(); })) << "the server is dropped";
        QTest::qWait(SETTLE_MS);
        EXPECT_EQ(pDlg->m_nServerVersion, 0);
        EXPECT_FALSE(pDlg->m_pLink->SendFrame(FRAME_UP_TO_DATE, EncodeInt32(0)));
    }
}

TEST_F(SessionTest, RefusedConnectionArmsTheButtonWithoutUpToDate)
{
    StartSession(1, QStringLiteral("127.0.0.1"), ClosedPort());
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_bLaunchReady; }));
    EXPECT_EQ(m_pDlg->StatusText(), FAILED);
    EXPECT_FALSE(m_pDlg->m_bUpToDate);
}

TEST_F(SessionTest, NameThatDoesNotResolveFallsBackToTheFixedAddress)
{
    // The reserved .invalid domain never resolves; the fallback of this
    // build is 127.0.0.1, where the peer listens.
    ASSERT_STREQ(FALLBACK_PATCH_ADDR, "127.0.0.1");
    StartSession(6, QStringLiteral("orvanta-patch.invalid"), m_peer.Port());
    ASSERT_TRUE(m_peer.WaitForFrames(1, 10000));
    EXPECT_EQ(m_peer.Received()[0].payload, EncodeInt32(6));
    EXPECT_EQ(m_pDlg->StatusText(), CONNECTED);
}

TEST_F(SessionTest, NameThatResolvesIsUsed)
{
    StartSession(2, QStringLiteral("localhost"), m_peer.Port());
    ASSERT_TRUE(m_peer.WaitForFrames(1));
    EXPECT_EQ(m_peer.Received()[0].payload, EncodeInt32(2));
}

TEST_F(SessionTest, PortAbove65535UsesItsLow16Bits)
{
    StartSession(2, QStringLiteral("127.0.0.1"), 3 * 65536 + m_peer.Port());
    ASSERT_TRUE(m_peer.WaitForFrames(1));
    EXPECT_EQ(m_pDlg->StatusText(), CONNECTED);
}

// An empty host comes from a store that could not be read: the attempt
// fails where the player sees it, instead of leaving the session waiting.
TEST_F(SessionTest, EmptyHostFailsVisibly)
{
    m_pDlg = std::make_unique<CUpdaterDlg>();
    m_pDlg->m_timer.stop();
    m_pDlg->m_pLink = std::make_unique<CPatchLink>(m_pDlg.get());
    EXPECT_FALSE(m_pDlg->m_pLink->Connect(QString(), m_peer.Port()));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_bLaunchReady; }));
    EXPECT_EQ(m_pDlg->StatusText(), FAILED);
    EXPECT_FALSE(m_peer.HasClient());
}

// A server that never answers the connection attempt: the time-out ends the
// attempt as a failure, reported once.
TEST_F(SessionTest, ConnectionThatHangsTimesOut)
{
    // A listener that accepts nothing and has room for one pending
    // connection: once that is taken, further attempts go unanswered.
    QTcpServer silent;
    silent.setListenBacklogSize(0);
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    silent.pauseAccepting();
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, silent.serverPort());
    ASSERT_TRUE(WaitFor([&]() { return filler.state() == QAbstractSocket::ConnectedState; }));

    Prepare(1, QStringLiteral("127.0.0.1"), silent.serverPort());
    m_pDlg = std::make_unique<CUpdaterDlg>();
    m_pDlg->m_timer.stop();
    m_pDlg->m_pLink = std::make_unique<CPatchLink>(m_pDlg.get());
    m_pDlg->m_pLink->SetConnectTimeout(300);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(m_pDlg->m_pLink->Connect(QStringLiteral("127.0.0.1"), silent.serverPort()));
    ASSERT_TRUE(WaitFor([&]() { return m_pDlg->m_bLaunchReady; }, 5000));
    EXPECT_EQ(m_pDlg->StatusText(), FAILED);
    EXPECT_GE(clock.elapsed(), 250);
    EXPECT_FALSE(m_pDlg->m_pLink->IsConnected());
}

// The window may go while a name lookup is under way: its answer is dropped.
TEST_F(SessionTest, WindowClosingDuringTheLookupIsSafe)
{
    StartSession(1, QStringLiteral("orvanta-patch.invalid"), m_peer.Port());
    m_pDlg.reset();
    QTest::qWait(SETTLE_MS * 5);
    EXPECT_FALSE(m_peer.HasClient());
}
