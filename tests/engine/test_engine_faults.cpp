// The update engine against a scripted patch server and a real FTP server:
// the ways a run could end half-updated while it says otherwise, and the
// ways a hostile server could reach outside the game folder.
#include "patch/PatchPeer.h"
#include "support/FtpServer.h"
#include "support/TestSupport.h"

#include "engine/UpdateSession.h"
#include "patch/Records.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QElapsedTimer>
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
const QString LINK_FAILED = QStringLiteral("업데이트 서버에 접속 실패");
const QString FTP_FAILED = QStringLiteral("자동 패치 FTP서버 접속에 실패했습니다.");
const QString REFUSED = QStringLiteral("파일 업데이트 오류 발생 되었습니다.");

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
    // A scripted peer takes one client: each run of the engine gets its own.
    void NewPeer()
    {
        m_pEngine.reset();
        m_pPeer = std::make_unique<patch_test::CScriptedPeer>();
    }

    std::unique_ptr<patch_test::CScriptedPeer> m_pPeer = std::make_unique<patch_test::CScriptedPeer>();
    std::unique_ptr<CFtpServer> m_pFtp;
    CRecordingPrompts m_prompts;
    std::unique_ptr<CUpdateSession> m_pEngine;
    std::unique_ptr<QSignalSpy> m_pStatus;
};

} // namespace

TEST_F(EngineFaultTest, ClearedMarkIsStoredBeforeTheServerHearsOfTheEnd)
{
    // Were the mark cleared later than frame 16, a crash in between would
    // leave the new version recorded with an old mark, and the next update
    // would skip every file before it.
    Ftp();
    std::vector<File> files;
    for (int i = 0; i < 30; ++i)
        files.push_back({"data", "f" + std::to_string(i), Pattern(2000, char('a' + i % 20))});
    Start(files);
    ASSERT_TRUE(m_pPeer->WaitForFrames(2, 15000));
    EXPECT_EQ(m_pPeer->Received()[1].type, FRAME_UPDATE_DONE);
    settings::CSettingsKey key(settings::CSettingsKey::Open::Existing);
    EXPECT_EQ(key.ReadText(settings::DOWN_FOLDER), QString());
    EXPECT_EQ(key.ReadText(settings::DOWN_FILE), QString());
    EXPECT_EQ(m_pEngine->GetState(), State::Done);
}

TEST_F(EngineFaultTest, ResumeNeverSkipsAFile)
{
    // A file listed twice resumes at its first listing; a mark written for
    // another release is no mark at all.
    struct Case {
        const char* what;
        std::int32_t nMarkVersion;
        std::vector<std::string> names;  // "a" is the marked file
        std::size_t nFirstFetched;
    };
    const Case cases[] = {
        {"listed twice", 2, {"x", "a", "b", "c", "a", "d"}, 1},
        {"other release", 1, {"x", "y", "a", "b"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Ftp();
        {
            settings::CSettingsKey key(settings::CSettingsKey::Open::Create);
            key.WriteText(settings::DOWN_FOLDER, QStringLiteral("m"));
            key.WriteText(settings::DOWN_FILE, QStringLiteral("a"));
            key.WriteNumber(settings::DOWN_VERSION, c.nMarkVersion);
        }
        std::vector<File> files;
        for (const std::string& name : c.names)
            files.push_back({"m", name, Pattern(300, name[0])});
        Start(files);
        QSignalSpy fileStarted(m_pEngine.get(), &CUpdateSession::fileStarted);
        ASSERT_TRUE(WaitEnd());
        EXPECT_EQ(m_pEngine->GetState(), State::Done);
        ASSERT_FALSE(fileStarted.isEmpty());
        EXPECT_EQ(fileStarted.first().at(0).toULongLong(), c.nFirstFetched + 1);
        for (std::size_t i = c.nFirstFetched; i < c.names.size(); ++i)
            EXPECT_TRUE(QFile::exists(m_folder + "m/" + QString::fromStdString(c.names[i]))) << i;
        NewPeer();
        QDir(m_folder + "m").removeRecursively();
    }
}

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
    EXPECT_EQ(m_pFtp->Count(QStringLiteral("USER ")), 1);
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 1) << "recorded only by a frame 19 after the end";
    // The frame 19 that follows frame 18 makes the run ready.
    m_pPeer->Write(FrameBytes(FRAME_GAME_SERVER, EncodeGameServerInfo({"game", 9})));
    ASSERT_TRUE(WaitFor([this] { return m_pEngine->GetState() == State::Ready; }));
    EXPECT_TRUE(m_pEngine->IsUpToDate());
    EXPECT_EQ(settings::ReadNumberValue(settings::CLIENT_VERSION), 2);
}

TEST_F(EngineFaultTest, ControlCharactersNeverReachTheFtpServer)
{
    // "x\r\nDELE a.bin" as a user name once made the server delete a file.
    Ftp();
    m_pFtp->AddFile(QStringLiteral("d/a.bin"), "keep");
    const FtpInfo bad{m_pFtp->HostText().toStdString(), "x\r\nDELE d/a.bin", "secret"};
    Start({{"d", "a.bin", QByteArray()}}, &bad);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(m_pEngine->GetState(), State::FtpFailed);
    EXPECT_EQ(m_pEngine->StatusText(), FTP_FAILED);
    EXPECT_TRUE(m_pEngine->IsLaunchReady());
    EXPECT_EQ(m_pFtp->Count(QStringLiteral("USER ")), 0);
    EXPECT_EQ(m_pFtp->Count(QStringLiteral("DELE")), 0);

    // A name with a line break is refused with the whole list, before any
    // file is fetched.
    NewPeer();
    Start({{"d", "ok.bin", "fine"}, {"d", "b\r\nDELE d/a.bin", "evil"}});
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(m_pEngine->StatusText(), REFUSED);
    EXPECT_FALSE(QFile::exists(m_folder + "d/ok.bin"));
    EXPECT_EQ(m_pFtp->Count(QStringLiteral("RETR")), 0);
}

TEST_F(EngineFaultTest, LinksInTheGameFolderAreNeverFollowedOut)
{
    QTemporaryDir outside;
    const QString secret = outside.path() + "/secret.txt";
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("outside");
    }
    QFile::setPermissions(secret, QFile::ReadOwner);
    ASSERT_TRUE(QFile::link(outside.path(), m_folder + "linked"));
    ASSERT_TRUE(QDir().mkpath(m_folder + "d"));
    ASSERT_TRUE(QFile::link(secret, m_folder + "d/target.txt"));

    // A folder that leads outside: refused, nothing made or fetched there.
    Ftp();
    Start({{"linked/sub", "x.bin", "gotcha"}});
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(m_pEngine->StatusText(), REFUSED);
    EXPECT_EQ(QDir(outside.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"secret.txt"});

    // A file that is a link: replaced by the new file, its target untouched
    // (not even its mode).
    NewPeer();
    Start({{"d", "target.txt", "new"}});
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(m_pEngine->StatusText(), DONE);
    EXPECT_FALSE(QFileInfo(m_folder + "d/target.txt").isSymLink());
    EXPECT_EQ(ReadAll(m_folder + "d/target.txt"), "new");
    EXPECT_EQ(ReadAll(secret), "outside");
    EXPECT_EQ(QFileInfo(secret).permissions() & QFile::WriteOwner, 0);
}

TEST_F(EngineFaultTest, PatchServerCannotHoldTheRun)
{
    // Too long a list is a broken session, not memory to fill.
    {
        settings::CSettingsKey key(settings::CSettingsKey::Open::Create);
        key.WriteText(settings::IP, QStringLiteral("127.0.0.1"));
        key.WriteNumber(settings::PORT, m_pPeer->Port());
        key.WriteNumber(settings::CLIENT_VERSION, 1);
    }
    m_pEngine = std::make_unique<CUpdateSession>(&m_prompts);
    m_pEngine->SetMaxEntries(10);
    m_pEngine->Start();
    ASSERT_TRUE(m_pPeer->WaitForFrames(1));
    QByteArray out = Int32Frame(FRAME_SERVER_VERSION, 2);
    for (int i = 0; i < 11; ++i)
        out += FrameBytes(FRAME_FILE_ENTRY, EncodeFileEntry({"d", "f" + std::to_string(i), 1}));
    m_pPeer->Write(out);
    ASSERT_TRUE(WaitFor([this] { return m_pEngine->GetState() == State::LinkFailed; }));
    EXPECT_EQ(m_pEngine->FileList().size(), 10u);
    EXPECT_EQ(m_pEngine->StatusText(), LINK_FAILED);
    EXPECT_TRUE(m_pEngine->IsLaunchReady());

    // A server that takes the connection and says nothing: the session
    // ends as a failed connection, so the game button still works.
    NewPeer();
    settings::WriteNumberValue(settings::PORT, m_pPeer->Port());
    m_pEngine = std::make_unique<CUpdateSession>(&m_prompts);
    m_pEngine->SetSilenceTimeout(200);
    QElapsedTimer elapsed;
    elapsed.start();
    m_pEngine->Start();
    ASSERT_TRUE(m_pPeer->WaitForFrames(1));
    ASSERT_TRUE(WaitFor([this] { return m_pEngine->GetState() == State::LinkFailed; }, 3000));
    EXPECT_LT(elapsed.elapsed(), 2000);
    EXPECT_EQ(m_pEngine->StatusText(), LINK_FAILED);
    EXPECT_TRUE(m_pEngine->IsLaunchReady());
}
