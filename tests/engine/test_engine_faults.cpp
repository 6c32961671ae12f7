// The update engine against a scripted patch server and a real FTP server:
// frames that arrive while the files do, and a game file that is a link.
#include "patch/PatchPeer.h"
#include "support/FtpServer.h"
#include "support/TestSupport.h"

#include "engine/UpdateSession.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace orvanta;
using patch_test::FrameBytes;
using patch_test::Int32Frame;
using testing_support::CFtpServer;
using testing_support::Pattern;
using testing_support::ReadAll;
using testing_support::WaitFor;
using State = CUpdateSession::State;

namespace {

const QString DONE = QStringLiteral("업데이트를 완료했습니다.");
const QString FTP_FAILED = QStringLiteral("자동 패치 FTP서버 접속에 실패했습니다.");

class CRecordingPrompts final : public IUpdatePrompts {
public:
    bool Ask(const Box& box) override
    {
        m_boxes.push_back(box.text);
        return false;
    }
    QStringList m_boxes;
};

struct File {
    std::string folder;
    std::string name;
    QByteArray contents;
};

class EngineFaultTest : public ::testing::Test {
protected:
    void SetUp() override { m_folder = m_game.path() + "/"; }

    CFtpServer& Ftp(CFtpServer::Options options = {})
    {
        m_pFtp = std::make_unique<CFtpServer>(std::move(options));
        EXPECT_TRUE(m_pFtp->Start());
        return *m_pFtp;
    }

    // Starts the engine at installed version 1 against the peer, and plays
    // the server's side up to frame 14 (version 2, the given list).
    void Start(const std::vector<File>& files, const FtpInfo* pInfo = nullptr, QByteArray before14 = {})
    {
        {
            settings::CSettingsKey key(settings::CSettingsKey::Open::Create);
            key.WriteText(settings::CLIENT_PATH, m_folder);
            key.WriteText(settings::IP, QStringLiteral("127.0.0.1"));
            key.WriteNumber(settings::PORT, m_pPeer->Port());
            key.WriteNumber(settings::CLIENT_VERSION, 1);
        }
        m_pEngine = std::make_unique<CUpdateSession>(&m_prompts);
        m_pStatus = std::make_unique<QSignalSpy>(m_pEngine.get(), &CUpdateSession::statusChanged);
        m_pEngine->Start();
        ASSERT_TRUE(m_pPeer->WaitForFrames(1));
        QByteArray out = Int32Frame(FRAME_SERVER_VERSION, 2);
        for (const File& file : files) {
            if (m_pFtp && !file.contents.isNull())
                m_pFtp->AddFile(QString::fromStdString(file.folder + "/" + file.name), file.contents);
            out += FrameBytes(FRAME_FILE_ENTRY,
                              EncodeFileEntry({file.folder, file.name, std::uint32_t(file.contents.size())}));
        }
        const FtpInfo info = pInfo ? *pInfo
                                   : FtpInfo{m_pFtp->HostText().toStdString(), "updater", "secret"};
        m_pPeer->Write(out + before14 + FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo(info)));
    }

    bool WaitEnd(int nMs = 10000)
    {
        return WaitFor([this] {
            const State e = m_pEngine->GetState();
            return e != State::Connecting && e != State::WaitingForVersion && e != State::CollectingList &&
                   e != State::LoggingIn && e != State::Downloading;
        }, nMs);
    }

    QStringList Statuses() const
    {
        QStringList texts;
        for (const QList<QVariant>& args : *m_pStatus)
            texts << args.at(0).toString();
        return texts;
    }

    testing_support::CTempStore m_store;
    QTemporaryDir m_game;
    QString m_folder;
    std::unique_ptr<patch_test::CScriptedPeer> m_pPeer = std::make_unique<patch_test::CScriptedPeer>();
    std::unique_ptr<CFtpServer> m_pFtp;
    CRecordingPrompts m_prompts;
    std::unique_ptr<CUpdateSession> m_pEngine;
    std::unique_ptr<QSignalSpy> m_pStatus;
};

} // namespace

TEST_F(EngineFaultTest, FramesDuringTheDownloadArmNothing)
{
    // Frame 19 while files still arrive must not let the game start, and a
    // second frame 14 during the login must not fail the update.
    CFtpServer::Options slow;
    slow.nThrottle = 400 * 1024;
    Ftp(slow);
    const FtpInfo info{m_pFtp->HostText().toStdString(), "updater", "secret"};
    Start({{"d", "big.bin", Pattern(300 * 1024, 'b')}}, &info);
    m_pPeer->Write(FrameBytes(FRAME_FTP_INFO, EncodeFtpInfo(info)) +
                 FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({"game", 9})));
    ASSERT_TRUE(WaitFor([this] { return m_pEngine->GetState() == State::Downloading; }));
    QTest::qWait(150);
    EXPECT_EQ(m_pEngine->GetState(), State::Downloading);
    EXPECT_FALSE(m_pEngine->IsLaunchReady());
    EXPECT_FALSE(m_pEngine->IsUpToDate());
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(m_pEngine->StatusText(), DONE);
    EXPECT_FALSE(Statuses().contains(FTP_FAILED));
    // One login per connection (four by default), none for the second frame 14.
    EXPECT_EQ(m_pFtp->Count(QStringLiteral("USER ")), 4);
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 1) << "recorded only by a frame 19 after the end";
    // The frame 19 that follows frame 18 makes the run ready.
    m_pPeer->Write(FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({"game", 9})));
    ASSERT_TRUE(WaitFor([this] { return m_pEngine->GetState() == State::Ready; }));
    EXPECT_TRUE(m_pEngine->IsUpToDate());
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
    ASSERT_TRUE(QDir().mkpath(m_folder + "d"));
    ASSERT_TRUE(QFile::link(secret, m_folder + "d/target.txt"));

    Ftp();
    // A file that is a link: replaced by the new file, its target untouched
    // (not even its mode).
    Start({{"d", "target.txt", "new"}});
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(m_pEngine->StatusText(), DONE);
    EXPECT_FALSE(QFileInfo(m_folder + "d/target.txt").isSymLink());
    EXPECT_EQ(ReadAll(m_folder + "d/target.txt"), "new");
    EXPECT_EQ(ReadAll(secret), "outside");
    EXPECT_EQ(QFileInfo(secret).permissions() & QFile::WriteOwner, 0);
}

