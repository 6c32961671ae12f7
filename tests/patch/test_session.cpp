// The update engine against a scripted patch server on loopback:
// connection, frames cut and merged, odd frames, hostile servers, and the
// end states of the conversation.
#include "app/Constants.h"
#include "engine/UpdateSession.h"
#include "patch/Cp949.h"
#include "patch/PatchLink.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"
#include "support/EngineRun.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

using namespace orvanta;
using patch_test::FrameBytes;
using patch_test::Int32Frame;
using testing_support::CEngineRun;
using testing_support::WaitFor;
using State = CUpdateSession::State;

namespace {

const QString CONNECTED = QStringLiteral("업데이트 서버에 접속 성공");
const QString FAILED = QStringLiteral("업데이트 서버에 접속 실패");

// Long enough for loopback bytes to reach the engine, short enough to keep
// the suite quick.
constexpr int SETTLE_MS = 30;

QByteArray FileEntryFrame(const std::string& folder, const std::string& name, std::uint32_t size)
{
    FileEntry entry;
    entry.folder = folder;
    entry.name = name;
    entry.size = size;
    return FrameBytes(FRAME_FILE_ENTRY, EncodeFileEntry(entry));
}

std::optional<std::int32_t> StoredClientVersion()
{
    return settings::ReadNumberValue(settings::CLIENT_VERSION);
}

// The store as the run finds it; the host comes as the command line gives
// it.
CUpdateSession& Start(CEngineRun& run, std::int32_t nClientVersion, const QString& host, int nPort,
                      const std::function<void(CUpdateSession&)>& configure = {})
{
    return run.Start({.store = {{settings::CLIENT_VERSION, nClientVersion}, {settings::PORT, nPort}},
                      .host = host,
                      .configure = configure});
}

// Up to the server's first move: connected, the version sent.
void Handshake(CEngineRun& run, std::int32_t nClientVersion, const std::function<void(CUpdateSession&)>& configure = {})
{
    Start(run, nClientVersion, QStringLiteral("127.0.0.1"), run.Peer().Port(), configure);
    ASSERT_TRUE(run.Peer().WaitForFrames(1));
    ASSERT_EQ(run.Peer().Received()[0].type, FRAME_CLIENT_VERSION);
    ASSERT_EQ(run.Peer().Received()[0].payload, EncodeInt32(nClientVersion));
    ASSERT_EQ(run.Engine().StatusText(), CONNECTED);
    ASSERT_EQ(run.Engine().GetState(), State::WaitingForVersion);
    ASSERT_FALSE(run.Engine().IsLaunchReady());
}

// Different versions: the list is being collected.
void StartList(CEngineRun& run, std::int32_t nClientVersion, std::int32_t nServerVersion)
{
    ASSERT_NO_FATAL_FAILURE(Handshake(run, nClientVersion));
    run.Peer().Write(Int32Frame(FRAME_SERVER_VERSION, nServerVersion));
    ASSERT_TRUE(WaitFor([&] { return run.Engine().GetState() == State::CollectingList; }));
}

class SessionTest : public ::testing::Test {
protected:
    CEngineRun m_run;
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

TEST_F(SessionTest, DifferentVersionsShowTheUpdateAndWaitForTheList)
{
    for (const auto& [nClient, nServer] : {std::pair{3, 5}, std::pair{-1, 2}}) {
        SCOPED_TRACE(nClient);
        CEngineRun run;
        ASSERT_NO_FATAL_FAILURE(StartList(run, nClient, nServer));
        EXPECT_EQ(run.Engine().StatusText(), QStringLiteral("Ver.%1에서 Ver.%2으로 업데이트").arg(nClient).arg(nServer));
        EXPECT_EQ(run.Engine().ServerVersion(), nServer);
        QTest::qWait(SETTLE_MS);
        EXPECT_EQ(run.Peer().Received().size(), 1u) << "nothing more is sent";
        EXPECT_FALSE(run.Engine().IsUpToDate());
        EXPECT_FALSE(run.Engine().IsLaunchReady());
        EXPECT_EQ(StoredClientVersion(), nClient) << "frame 11 records nothing";
    }
}

TEST_F(SessionTest, EqualVersionsAnswerUpToDateBeforeTheStatusText)
{
    ASSERT_NO_FATAL_FAILURE(Handshake(m_run, 4));
    CUpdateSession& engine = m_run.Engine();
    // What the engine showed when frame 18 left for the server.
    QString statusAtSend;
    bool bReadyAtSend = true;
    qint64 nSent = 0;
    QObject::connect(engine.Link()->Socket(), &QAbstractSocket::bytesWritten, [&](qint64 n) {
        if (nSent == 0) {
            statusAtSend = engine.StatusText();
            bReadyAtSend = engine.IsLaunchReady();
        }
        nSent += n;
    });

    m_run.Peer().Write(Int32Frame(FRAME_SERVER_VERSION, 4));
    ASSERT_TRUE(m_run.Peer().WaitForFrames(2));
    EXPECT_EQ(m_run.Peer().Received()[1].type, FRAME_UP_TO_DATE);
    EXPECT_EQ(m_run.Peer().Received()[1].payload.size(), 4u);
    EXPECT_EQ(nSent, 12);
    EXPECT_EQ(statusAtSend, CONNECTED);
    EXPECT_FALSE(bReadyAtSend);

    EXPECT_EQ(engine.StatusText(), QStringLiteral("변경될 파일이 없습니다.(설치버전:4)"));
    EXPECT_EQ(engine.GetState(), State::UpToDate);
    EXPECT_TRUE(engine.IsUpToDate());
    EXPECT_TRUE(engine.IsLaunchReady());
    EXPECT_TRUE(engine.GameIp().isEmpty());
}

// With nothing to fetch, a list and credentials are passed over: only the
// game server counts, and the installed version stays.
TEST_F(SessionTest, AfterEqualVersionsOnlyTheGameServerCounts)
{
    ASSERT_NO_FATAL_FAILURE(Handshake(m_run, 4));
    CUpdateSession& engine = m_run.Engine();
    // "게임서버" in CP949, the way the server stores its texts.
    const std::string address = Utf8ToCp949("게임서버.example");
    m_run.Peer().Write(Int32Frame(FRAME_SERVER_VERSION, 4) + FileEntryFrame("", "a.bin", 3) +
                       FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo({"127.0.0.1:2121", "kim", "pw"})) +
                       FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({address, 7000})));
    ASSERT_TRUE(WaitFor([&] { return engine.GamePort() == 7000; }));
    EXPECT_EQ(engine.GameIp(), QStringLiteral("게임서버.example"));
    EXPECT_TRUE(engine.FileList().empty());
    EXPECT_TRUE(engine.FtpCredentials().host.empty());
    EXPECT_EQ(engine.GetState(), State::Ready);
    EXPECT_TRUE(engine.IsUpToDate());
    EXPECT_TRUE(engine.IsLaunchReady());
    EXPECT_EQ(StoredClientVersion(), 4);
}

TEST_F(SessionTest, GameServerAddressWithoutNulEndsAtItsField)
{
    ASSERT_NO_FATAL_FAILURE(Handshake(m_run, 4));
    std::vector<std::uint8_t> payload(GameServerInfo::SIZE, 'g');
    StoreLe32(std::span(payload).subspan(52, 4), 12);
    m_run.Peer().Write(FrameBytes(FRAME_GAME_SERVER, payload));
    ASSERT_TRUE(WaitFor([&] { return m_run.Engine().GamePort() == 12; }));
    EXPECT_EQ(m_run.Engine().GameIp(), QString(52, QLatin1Char('g')));
}

// Each frame is handled once, when its last byte is in, however the server's
// bytes are cut.
TEST_F(SessionTest, FramesCutIntoPiecesAreHandledOnceWhole)
{
    ASSERT_NO_FATAL_FAILURE(StartList(m_run, 1, 2));
    const CUpdateSession& engine = m_run.Engine();
    const std::vector<std::vector<int>> cuts = {{1, 3}, {2, 2, 4}, {4, 4}, {9, 500}, {575}};
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        SCOPED_TRACE(::testing::PrintToString(cuts[i]));
        const QByteArray frame = FileEntryFrame("dir", "file" + std::to_string(i), std::uint32_t(i));
        qsizetype nAt = 0;
        for (int nPiece : cuts[i]) {
            m_run.Peer().Write(frame.mid(nAt, nPiece));
            nAt += nPiece;
            QTest::qWait(SETTLE_MS);
            ASSERT_EQ(engine.FileList().size(), i) << "handled before its last byte";
        }
        m_run.Peer().Write(frame.mid(nAt));
        ASSERT_TRUE(WaitFor([&] { return engine.FileList().size() == i + 1; }));
        EXPECT_EQ(engine.FileList().back().name, "file" + std::to_string(i));
        EXPECT_EQ(engine.FileList().back().size, i);
    }
    QTest::qWait(SETTLE_MS);
    EXPECT_EQ(engine.FileList().size(), cuts.size());
    EXPECT_FALSE(engine.IsLaunchReady());
}

TEST_F(SessionTest, FramesInOneSegmentAreHandledInOrder)
{
    ASSERT_NO_FATAL_FAILURE(Handshake(m_run, 2));
    const CUpdateSession& engine = m_run.Engine();
    // Two identical entries are two entries.
    m_run.Peer().Write(Int32Frame(FRAME_SERVER_VERSION, 6) + FileEntryFrame("a", "same", 10) +
                       FileEntryFrame("a", "same", 10) + FileEntryFrame("b", "other", 20));
    ASSERT_TRUE(WaitFor([&] { return engine.FileList().size() == 3; }));
    EXPECT_EQ(engine.StatusText(), QStringLiteral("Ver.2에서 Ver.6으로 업데이트"));
    EXPECT_EQ(engine.FileList()[0], engine.FileList()[1]);
    EXPECT_EQ(engine.FileList()[0].folder, "a");
    EXPECT_EQ(engine.FileList()[2].name, "other");
    EXPECT_EQ(engine.FileList()[2].size, 20u);
}

// Unknown types, the updater's own types, empty and short payloads, and a
// second version are all passed over; the frames around them are handled.
TEST_F(SessionTest, OddFramesBetweenValidOnesAreIgnored)
{
    ASSERT_NO_FATAL_FAILURE(Handshake(m_run, 1));
    const CUpdateSession& engine = m_run.Engine();
    const std::vector<std::uint8_t> junk(40, 0xEE);
    QByteArray stream;
    stream += FrameBytes(12);
    stream += FrameBytes(FRAME_SERVER_VERSION);  // no payload
    stream += Int32Frame(FRAME_SERVER_VERSION, 9);
    stream += FileEntryFrame("x", "first", 1);
    stream += FrameBytes(15, junk);
    stream += FrameBytes(FRAME_FILE_ENTRY, std::vector<std::uint8_t>(567, 'n'));  // one byte short
    stream += FrameBytes(FRAME_GAME_SERVER, std::vector<std::uint8_t>(55, 'g'));
    stream += FrameBytes(FRAME_FTP_INFO, std::vector<std::uint8_t>(199, 'f'));
    stream += FrameBytes(17, junk);
    stream += Int32Frame(FRAME_CLIENT_VERSION, 99);
    stream += Int32Frame(FRAME_UPDATE_DONE, 0);
    stream += Int32Frame(FRAME_UP_TO_DATE, 0);
    stream += Int32Frame(FRAME_SERVER_VERSION, 7);
    stream += FrameBytes(20);
    stream += FrameBytes(-5, junk);
    stream += FileEntryFrame("x", "second", 2);
    m_run.Peer().Write(stream);

    ASSERT_TRUE(WaitFor([&] { return engine.FileList().size() == 2; }));
    EXPECT_EQ(engine.FileList()[0].name, "first");
    EXPECT_EQ(engine.FileList()[1].name, "second");
    EXPECT_EQ(engine.ServerVersion(), 9);
    EXPECT_EQ(engine.StatusText(), QStringLiteral("Ver.1에서 Ver.9으로 업데이트"));
    EXPECT_EQ(engine.GetState(), State::CollectingList);
    EXPECT_TRUE(engine.FtpCredentials().host.empty());
    EXPECT_TRUE(engine.GameIp().isEmpty());
    EXPECT_FALSE(engine.IsLaunchReady());
    EXPECT_TRUE(engine.Link()->IsConnected());
}

// A length no frame can have: the link drops the server, the player may
// start the game, and nothing after it is read.
TEST_F(SessionTest, LengthOutOfRangeClosesTheLink)
{
    for (std::int32_t nLength : {1025, 7, -1, 0x7FFFFFFF}) {
        SCOPED_TRACE(nLength);
        CEngineRun run;
        ASSERT_NO_FATAL_FAILURE(Handshake(run, 1));
        const CUpdateSession& engine = run.Engine();

        QByteArray stream(4, '\0');
        StoreLe32(std::span(reinterpret_cast<std::uint8_t*>(stream.data()), 4), std::uint32_t(nLength));
        stream += QByteArray(3000, '\x5A');
        stream += Int32Frame(FRAME_SERVER_VERSION, 8);
        run.Peer().Write(stream);

        ASSERT_TRUE(WaitFor([&] { return engine.IsLaunchReady(); }));
        EXPECT_EQ(engine.StatusText(), FAILED);
        EXPECT_EQ(engine.GetState(), State::LinkFailed);
        EXPECT_FALSE(engine.IsUpToDate());
        EXPECT_TRUE(engine.Link()->IsBroken());
        EXPECT_TRUE(WaitFor([&] { return run.Peer().ClientClosed(); })) << "the server is dropped";
        QTest::qWait(SETTLE_MS);
        EXPECT_EQ(engine.ServerVersion(), 0);
        EXPECT_FALSE(engine.Link()->SendFrame(FRAME_UP_TO_DATE, EncodeInt32(0)));
    }
}

// A server that takes the connection and then falls silent, before its
// version or in the middle of its list, fails the link; every frame earns
// it a full wait again.
TEST_F(SessionTest, SilentServerFailsTheLink)
{
    {
        CEngineRun run;
        ASSERT_NO_FATAL_FAILURE(Handshake(run, 1, [](CUpdateSession& engine) { engine.SetSilenceTimeout(100); }));
        ASSERT_TRUE(WaitFor([&] { return run.Engine().GetState() == State::LinkFailed; }, 3000));
        EXPECT_TRUE(run.Engine().IsLaunchReady());
    }

    ASSERT_NO_FATAL_FAILURE(Handshake(m_run, 1, [](CUpdateSession& engine) { engine.SetSilenceTimeout(200); }));
    CUpdateSession& engine = m_run.Engine();
    m_run.Peer().Write(Int32Frame(FRAME_SERVER_VERSION, 2));
    for (std::uint32_t i = 0; i < 5; ++i) {
        QTest::qWait(60);
        m_run.Peer().Write(FileEntryFrame("d", "f" + std::to_string(i), i));
    }
    ASSERT_TRUE(WaitFor([&] { return engine.FileList().size() == 5; }));
    EXPECT_EQ(engine.GetState(), State::CollectingList);
    ASSERT_TRUE(WaitFor([&] { return engine.GetState() == State::LinkFailed; }, 3000));
    EXPECT_EQ(engine.StatusText(), FAILED);
    EXPECT_TRUE(engine.IsLaunchReady());
    EXPECT_FALSE(engine.IsUpToDate());
    EXPECT_TRUE(WaitFor([&] { return m_run.Peer().ClientClosed(); }));
}

// A list longer than any release is hostile: the link fails instead of the
// list growing without end.
TEST_F(SessionTest, ListPastTheLimitFailsTheLink)
{
    ASSERT_NO_FATAL_FAILURE(Handshake(m_run, 1, [](CUpdateSession& engine) { engine.SetMaxEntries(2); }));
    const CUpdateSession& engine = m_run.Engine();
    m_run.Peer().Write(Int32Frame(FRAME_SERVER_VERSION, 2) + FileEntryFrame("", "1", 1) + FileEntryFrame("", "2", 1) +
                       FileEntryFrame("", "3", 1) + FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo({"127.0.0.1", "u", "p"})));
    ASSERT_TRUE(WaitFor([&] { return engine.GetState() == State::LinkFailed; }));
    EXPECT_EQ(engine.FileList().size(), 2u);
    EXPECT_TRUE(engine.FtpCredentials().host.empty());
    EXPECT_TRUE(engine.IsLaunchReady());
    EXPECT_TRUE(WaitFor([&] { return m_run.Peer().ClientClosed(); }));
}

TEST_F(SessionTest, RefusedConnectionArmsTheButtonWithoutUpToDate)
{
    const CUpdateSession& engine = Start(m_run, 1, QStringLiteral("127.0.0.1"), ClosedPort());
    ASSERT_TRUE(WaitFor([&] { return engine.IsLaunchReady(); }));
    EXPECT_EQ(engine.StatusText(), FAILED);
    EXPECT_EQ(engine.GetState(), State::LinkFailed);
    EXPECT_FALSE(engine.IsUpToDate());
}

TEST_F(SessionTest, NameThatDoesNotResolveFallsBackToTheFixedAddress)
{
    // The reserved .invalid domain never resolves; the fallback of this
    // build is 127.0.0.1, where the peer listens.
    ASSERT_STREQ(FALLBACK_PATCH_ADDR, "127.0.0.1");
    const CUpdateSession& engine = Start(m_run, 6, QStringLiteral("orvanta-patch.invalid"), m_run.Peer().Port());
    ASSERT_TRUE(m_run.Peer().WaitForFrames(1, 10000));
    EXPECT_EQ(m_run.Peer().Received()[0].payload, EncodeInt32(6));
    EXPECT_EQ(engine.StatusText(), CONNECTED);
}

// A name that resolves is used, and a port above 65535 stands for its low
// 16 bits.
TEST_F(SessionTest, NameThatResolvesAndAnOversizedPortAreUsed)
{
    const CUpdateSession& engine = Start(m_run, 2, QStringLiteral("localhost"), 3 * 65536 + m_run.Peer().Port());
    ASSERT_TRUE(m_run.Peer().WaitForFrames(1));
    EXPECT_EQ(m_run.Peer().Received()[0].payload, EncodeInt32(2));
    EXPECT_EQ(engine.StatusText(), CONNECTED);
}

// A store that cannot be read fails where the player sees it, instead of
// leaving the run waiting; a store that names no host gets the fixed
// address, as a name that does not resolve does.
TEST_F(SessionTest, MissingHostFailsVisiblyOrFallsBack)
{
    settings::RunSettings unreadable;  // bStoreOpen false
    {
        CUpdateSession engine(&m_run.Prompts());
        QSignalSpy statuses(&engine, &CUpdateSession::statusChanged);
        engine.StartWith(unreadable);
        ASSERT_TRUE(WaitFor([&] { return engine.IsLaunchReady(); }));
        EXPECT_EQ(engine.StatusText(), FAILED);
        EXPECT_EQ(engine.GetState(), State::LinkFailed);
        EXPECT_EQ(statuses.front().front().toString(), QStringLiteral("레지스트리를 읽을수 없습니다."));
    }
    EXPECT_FALSE(m_run.Peer().HasClient());
    settings::RunSettings noHost;
    noHost.bStoreOpen = true;
    noHost.nPort = m_run.Peer().Port();
    CUpdateSession engine(&m_run.Prompts());
    QSignalSpy fallbacks(&engine, &CUpdateSession::fallbackAddressUsed);
    engine.StartWith(noHost);
    ASSERT_TRUE(WaitFor([&] { return engine.GetState() == State::WaitingForVersion; }));
    ASSERT_EQ(fallbacks.size(), 1);
    EXPECT_EQ(fallbacks.front().at(1).toString(), QStringLiteral("127.0.0.1"));
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
    ASSERT_TRUE(WaitFor([&] { return filler.state() == QAbstractSocket::ConnectedState; }));

    QElapsedTimer clock;
    clock.start();
    const CUpdateSession& engine = Start(m_run, 1, QStringLiteral("127.0.0.1"), silent.serverPort(),
                                         [](CUpdateSession& e) { e.SetConnectTimeout(200); });
    QSignalSpy states(&engine, &CUpdateSession::stateChanged);
    ASSERT_TRUE(WaitFor([&] { return engine.IsLaunchReady(); }, 5000));
    EXPECT_EQ(engine.StatusText(), FAILED);
    EXPECT_GE(clock.elapsed(), 150);
    EXPECT_FALSE(engine.Link()->IsConnected());
    QTest::qWait(SETTLE_MS);
    EXPECT_EQ(states.size(), 1) << "reported once";
}

// The engine may go while a name lookup is under way: its answer is dropped.
TEST_F(SessionTest, EngineGoingDuringTheLookupIsSafe)
{
    Start(m_run, 1, QStringLiteral("orvanta-patch.invalid"), m_run.Peer().Port());
    m_run.DropEngine();
    QTest::qWait(SETTLE_MS * 5);
    EXPECT_FALSE(m_run.Peer().HasClient());
}
