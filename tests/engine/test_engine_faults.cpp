// The update engine against a scripted patch server and a real FTP server:
// frames that arrive while the files do, and a game file that is a link.
#include "support/EngineRun.h"

#include "patch/Records.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <gtest/gtest.h>

using namespace orvanta;
using patch_test::FrameBytes;
using patch_test::Int32Frame;
using testing_support::Pattern;
using testing_support::ReadAll;
using testing_support::WaitFor;
using State = CUpdateSession::State;

namespace {

const QString DONE = QStringLiteral("업데이트를 완료했습니다.");
const QString FTP_FAILED = QStringLiteral("자동 패치 FTP서버 접속에 실패했습니다.");

struct File {
    std::string folder;
    std::string name;
    QByteArray contents;
};

class EngineFaultTest : public ::testing::Test {
protected:
    // Starts the engine at installed version 1 against the peer, and plays
    // the server's side up to frame 14 (version 2, the given list).
    void Start(const std::vector<File>& files)
    {
        m_run.Start({.store = {{settings::CLIENT_VERSION, 1}}});
        ASSERT_TRUE(m_run.Peer().WaitForFrames(1));
        QByteArray out = Int32Frame(FRAME_SERVER_VERSION, 2);
        for (const File& file : files) {
            if (!file.contents.isNull())
                m_run.Ftp().AddFile(QString::fromStdString(file.folder + "/" + file.name), file.contents);
            out += FrameBytes(FRAME_FILE_ENTRY,
                              EncodeFileEntry({file.folder, file.name, std::uint32_t(file.contents.size())}));
        }
        m_run.Peer().Write(out + FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo(Login())));
    }

    FtpInfo Login() const { return {m_run.Ftp().HostText().toStdString(), "updater", "secret"}; }

    testing_support::CEngineRun m_run;
};

} // namespace

TEST_F(EngineFaultTest, FramesDuringTheDownloadArmNothingUntilTheEnd)
{
    // Frame 19 while files still arrive must not let the game start, and a
    // second frame 14 during the login must not fail the update. The early
    // frame 19 counts once the files are in: the version is recorded.
    m_run.StartFtp({.nThrottle = 400 * 1024});
    Start({{"d", "big.bin", Pattern(300 * 1024, 'b')}});
    m_run.Peer().Write(FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo(Login())) +
                       FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({"game", 9})));
    ASSERT_TRUE(WaitFor([this] { return m_run.Engine().GetState() == State::Downloading; }));
    QTest::qWait(150);
    EXPECT_EQ(m_run.Engine().GetState(), State::Downloading);
    EXPECT_FALSE(m_run.Engine().IsLaunchReady());
    EXPECT_FALSE(m_run.Engine().IsUpToDate());
    ASSERT_TRUE(WaitFor([this] { return m_run.Engine().GetState() == State::Ready; }));
    EXPECT_EQ(m_run.Engine().StatusText(), DONE);
    EXPECT_FALSE(m_run.statuses.contains(FTP_FAILED));
    // One login per connection (four by default), none for the second frame 14.
    EXPECT_EQ(m_run.Ftp().Count(QStringLiteral("USER ")), 4);
    EXPECT_TRUE(m_run.Engine().IsUpToDate());
    EXPECT_EQ(m_run.Engine().GameIp(), QStringLiteral("game"));
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 2);
}

TEST_F(EngineFaultTest, OddFrameOrdersEndTheRunSoundly)
{
    // Frame 19 before frame 11 waits for the version; an empty list is a
    // complete update that the server hears of (16, 18) and that frame 19
    // records.
    m_run.StartFtp();
    m_run.Start({.store = {{settings::CLIENT_VERSION, 1}}});
    ASSERT_TRUE(m_run.Peer().WaitForFrames(1));
    m_run.Peer().Write(FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({"early", 5})));
    QTest::qWait(100);
    EXPECT_FALSE(m_run.Engine().IsLaunchReady());
    m_run.Peer().Write(Int32Frame(FRAME_SERVER_VERSION, 2) + FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo(Login())));
    ASSERT_TRUE(m_run.Peer().WaitForFrames(3));
    std::vector<std::int32_t> types;
    for (const patch_test::Frame& frame : m_run.Peer().Received())
        types.push_back(frame.type);
    EXPECT_EQ(types, (std::vector<std::int32_t>{FRAME_CLIENT_VERSION, FRAME_UPDATE_DONE, FRAME_UP_TO_DATE}));
    ASSERT_TRUE(WaitFor([this] { return m_run.Engine().GetState() == State::Ready; }));
    EXPECT_EQ(m_run.Engine().StatusText(), DONE);
    EXPECT_EQ(m_run.Engine().GameIp(), QStringLiteral("early"));
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 2);
}

TEST_F(EngineFaultTest, ATargetThatIsALinkIsReplacedNotFollowed)
{
    QTemporaryDir outside;
    const QString secret = outside.path() + "/secret.txt";
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("outside");
    }
    QFile::setPermissions(secret, QFile::ReadOwner);
    ASSERT_TRUE(QDir().mkpath(m_run.GamePath() + "d"));
    ASSERT_TRUE(QFile::link(secret, m_run.GamePath() + "d/target.txt"));

    m_run.StartFtp();
    // A file that is a link: replaced by the new file, its target untouched
    // (not even its mode).
    Start({{"d", "target.txt", "new"}});
    ASSERT_TRUE(m_run.WaitForEnd());
    EXPECT_EQ(m_run.Engine().StatusText(), DONE);
    EXPECT_FALSE(QFileInfo(m_run.GamePath() + "d/target.txt").isSymLink());
    EXPECT_EQ(ReadAll(m_run.GamePath() + "d/target.txt"), "new");
    EXPECT_EQ(ReadAll(secret), "outside");
    EXPECT_EQ(QFileInfo(secret).permissions() & QFile::WriteOwner, 0);
}


// Every road of a run ends in exactly one finished(), with its outcome.
TEST_F(EngineFaultTest, EveryRoadEndsOnceWithItsOutcome)
{
    using Outcome = CUpdateSession::Outcome;
    m_run.StartFtp();
    const QByteArray file = Pattern(1000, 'f');
    const QByteArray list = Int32Frame(FRAME_SERVER_VERSION, 2) +
                            FrameBytes(FRAME_FILE_ENTRY, EncodeFileEntry({"d", "f.bin", std::uint32_t(file.size())}));
    m_run.Ftp().AddFile(QStringLiteral("d/f.bin"), file);
    const QByteArray gameServer = FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({"game", 9}));
    struct Road {
        const char* what;
        std::function<void()> play;  // the server's part, once frame 10 is in
        Outcome eOutcome;
    };
    const auto login = [this](const char* password) {
        return FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo({m_run.Ftp().HostText().toStdString(), "updater", password}));
    };
    const Road roads[] = {
        {"up to date", [&] { m_run.Peer().Write(Int32Frame(FRAME_SERVER_VERSION, 1) + gameServer); }, Outcome::UpToDate},
        {"updated",
         [&] {
             m_run.Peer().Write(list + login("secret"));
             ASSERT_TRUE(m_run.Peer().WaitForFrames(3));  // 10, 16, 18
             m_run.Peer().Write(gameServer);
         },
         Outcome::Updated},
        {"no game server", [&] { m_run.Peer().Write(list + login("secret")); }, Outcome::Unrecorded},
        {"wrong password",
         [&] {
             m_run.Prompts().Expect({});  // the login box
             m_run.Peer().Write(list + login("wrong"));
         },
         Outcome::FtpFailed},
        {"refused", [&] { m_run.Peer().Write(list + login("secret")); }, Outcome::Refused},
        {"silent server", [] {}, Outcome::LinkFailed},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.what);
        m_run.Start({.store = {{settings::CLIENT_VERSION, 1}},
                     .trustedKey = road.eOutcome == Outcome::Refused
                                       ? std::optional(Ed25519PublicKey{})
                                       : std::nullopt,
                     .configure = [](CUpdateSession& engine) {
                         engine.SetGameServerWait(200);
                         engine.SetSilenceTimeout(300);
                     }});
        ASSERT_TRUE(m_run.Peer().WaitForFrames(1));
        road.play();
        ASSERT_TRUE(WaitFor([this] { return !m_run.outcomes.empty(); }));
        QTest::qWait(50);  // nothing more comes
        EXPECT_EQ(m_run.outcomes, std::vector<Outcome>{road.eOutcome});
    }
}
