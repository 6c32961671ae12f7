#include "support/TestSupport.h"

#include "engine/UpdateSession.h"
#include "settings/RunSettings.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QThread>

#include <gtest/gtest.h>

using namespace orvanta::settings;
using testing_support::CTempStore;

namespace {

const QStringList ELEVEN = {
    "ClientPath", "IP", "PORT", "ClientVersion", "Graphic", "EAX",
    "DownFolder", "DownFile", "Whisper", "Community", "AutoHelp",
};

// The store as a reader other than the updater (the game client) sees it.
QVariant Stored(const QString& name)
{
    QSettings store(StoreLocation(), QSettings::NativeFormat);
    return store.value(name);
}

void Store(const QString& name, const QVariant& value)
{
#ifndef _WIN32
    QDir().mkpath(QFileInfo(StoreLocation()).absolutePath());
#endif
    QSettings store(StoreLocation(), QSettings::NativeFormat);
    store.setValue(name, value);
}

// The file, or on Windows the registry key with its values.
bool StoreExists()
{
#ifdef _WIN32
    return !QSettings(StoreLocation(), QSettings::NativeFormat).allKeys().isEmpty();
#else
    return QFileInfo::exists(StoreLocation());
#endif
}

// What only the Linux store has: a file, its folder and its lines.
#ifdef _WIN32
#define SKIP_ON_REGISTRY() GTEST_SKIP() << "the registry has no file to block, damage or keep lines of"
#else
#define SKIP_ON_REGISTRY() (void)0
#endif

void StoreComplete()
{
    LoadSettings(QString());
}

struct Loaded {
    RunSettings settings;
    const RunSettings* operator->() const { return &settings; }
};

Loaded Load(const QString& commandLine = QString())
{
    return Loaded{LoadSettings(commandLine)};
}

} // namespace

TEST(SettingsLoad, FirstRunWritesElevenDefaultsAndNoPassive)
{
    CTempStore store;
    EXPECT_FALSE(StoreExists());
    const Loaded dlg = Load();

    ASSERT_TRUE(StoreExists());
#ifndef _WIN32
    EXPECT_TRUE(store.FilePath().endsWith("/Kelto Interactive, Inc./Orvanta Online.conf"));
#endif
    QSettings written(store.FilePath(), QSettings::NativeFormat);
    QStringList keys = written.allKeys();
    keys.sort();
    QStringList expected = ELEVEN;
    expected.sort();
    EXPECT_EQ(keys, expected);
    EXPECT_FALSE(written.contains("PASSIVE"));

    const QString programFolder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/");
    EXPECT_EQ(written.value("ClientPath").toString(), programFolder);
    EXPECT_EQ(written.value("IP").toString(), QStringLiteral(ORVANTA_DEFAULT_PATCH_HOST));
    EXPECT_EQ(written.value("PORT").toInt(), 7776);
    EXPECT_EQ(written.value("ClientVersion").toInt(), 0);
    for (const char* one : {"Graphic", "EAX", "Whisper", "Community", "AutoHelp"})
        EXPECT_EQ(written.value(one).toInt(), 1) << one;
    EXPECT_EQ(written.value("DownFolder").toString(), QString());
    EXPECT_EQ(written.value("DownFile").toString(), QString());

    EXPECT_EQ(dlg->szClientPath, programFolder);
    EXPECT_EQ(dlg->szIP, QStringLiteral(ORVANTA_DEFAULT_PATCH_HOST));
    EXPECT_EQ(dlg->nPort, 7776);
    EXPECT_EQ(dlg->nClientVersion, 0);
    EXPECT_TRUE(dlg->szDownFolder.isEmpty());
}

TEST(SettingsLoad, CompleteStoreIsLeftUntouched)
{
    CTempStore store;
    StoreComplete();
    const QByteArray before = store.Contents();
    const QDateTime stamp = QFileInfo(store.FilePath()).lastModified();
    QThread::msleep(20);
    Load();
    EXPECT_EQ(store.Contents(), before);
    EXPECT_EQ(QFileInfo(store.FilePath()).lastModified(), stamp);
}

TEST(SettingsLoad, CommandLineHostHoldsForThisRunOnly)
{
    CTempStore store;
    {
        // One word; IP is missing, so the default is still created.
        const Loaded dlg = Load("10.0.0.7");
        EXPECT_EQ(dlg->szIP, "10.0.0.7");
        EXPECT_EQ(Stored("IP").toString(), QStringLiteral(ORVANTA_DEFAULT_PATCH_HOST));
    }
    {
        // Several words are taken whole, blanks included.
        const Loaded dlg = Load("patch host  two");
        EXPECT_EQ(dlg->szIP, "patch host  two");
    }
    {
        // A line longer than the host field is ignored rather than cut.
        const Loaded dlg = Load(QString(100, 'h'));
        EXPECT_EQ(dlg->szIP, QStringLiteral(ORVANTA_DEFAULT_PATCH_HOST));
        const Loaded fits = Load(QString(99, 'h'));
        EXPECT_EQ(fits->szIP, QString(99, 'h'));
    }
    EXPECT_EQ(Stored("IP").toString(), QStringLiteral(ORVANTA_DEFAULT_PATCH_HOST));
}

TEST(SettingsLoad, ReadLimitsAndKinds)
{
    CTempStore store;
    StoreComplete();
    const QString path255 = "/" + QString(253, 'p') + "/";
    Store("ClientPath", path255);
    Store("PORT", "port-as-text");
    Store("ClientVersion", "12");
    Store("Graphic", "3000000000");  // outside 32 bits either way: 0xB2D05E00 fits unsigned
    Store("EAX", "99999999999");
    {
        const Loaded dlg = Load();
        EXPECT_EQ(dlg->szClientPath, path255);
        EXPECT_EQ(dlg->nPort, 7776);
        EXPECT_EQ(Stored("PORT").toInt(), 7776);
        EXPECT_EQ(dlg->nClientVersion, 12);
        EXPECT_EQ(Stored("Graphic").toString(), "3000000000");  // a valid DWORD stays
        EXPECT_EQ(Stored("EAX").toInt(), 1);
    }
    const QString path256 = "/" + QString(254, 'p') + "/";
    Store("ClientPath", path256);
    {
        const Loaded dlg = Load();
        EXPECT_NE(dlg->szClientPath, path256);
        EXPECT_EQ(dlg->szClientPath, QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/"));
    }
}

TEST(SettingsLoad, GameFolderAlwaysEndsWithASeparator)
{
    // Without it "/games/orvanta" + "data/x" would land beside the folder.
    CTempStore store;
    StoreComplete();
    Store("ClientPath", "/games/orvanta");
    EXPECT_EQ(Load()->szClientPath, QStringLiteral("/games/orvanta") + QDir::separator());
    EXPECT_EQ(Stored("ClientPath").toString(), "/games/orvanta") << "the client's own value is kept";
    Store("ClientPath", "/games/orvanta/");
    EXPECT_EQ(Load()->szClientPath, "/games/orvanta/");
}

TEST(SettingsLoad, ResumeMarkRoundTripsAndResetsAlone)
{
    CTempStore store;
    StoreComplete();
    // A long Korean folder: 254 bytes in CP949 with the terminator fits.
    const QString folder = QString(127, QChar(0xAC00));  // "가" is two bytes in CP949
    const QString file = QStringLiteral("맵데이터_01.pak");
    WriteTextValue(DOWN_FOLDER, folder);
    WriteTextValue(DOWN_FILE, file);
    {
        const Loaded dlg = Load();
        EXPECT_EQ(dlg->szDownFolder.size(), 254);
        EXPECT_EQ(dlg->szDownFolder.left(2), QByteArray("\xb0\xa1"));
        EXPECT_EQ(dlg->szDownFile, QByteArray("\xb8\xca\xb5\xa5\xc0\xcc\xc5\xcd_01.pak"));
    }
    QSettings(StoreLocation(), QSettings::NativeFormat).remove("DownFile");
    {
        const Loaded dlg = Load();
        EXPECT_EQ(dlg->szDownFolder.size(), 254);
        EXPECT_TRUE(dlg->szDownFile.isEmpty());
        EXPECT_EQ(Stored("DownFile").toString(), QString());
        EXPECT_EQ(Stored("DownFolder").toString(), folder);
    }
}

TEST(SettingsLoad, StoreThatCannotBeOpenedShowsTheStatusText)
{
    SKIP_ON_REGISTRY();
    CTempStore store;
    // The configuration home is a file: no folder can be made under it.
    const QString blocker = store.Folder() + "/blocked";
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker));
    CUpdateSession engine(nullptr);
    engine.Start(QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(engine.Settings().bStoreOpen);
    EXPECT_EQ(engine.StatusText(), QStringLiteral("레지스트리를 읽을수 없습니다."));
    EXPECT_TRUE(engine.Settings().szIP.isEmpty());
    EXPECT_EQ(engine.Settings().nPort, 0);
    // The session still ends, visibly, so that the game button works.
    EXPECT_TRUE(testing_support::WaitFor([&] { return engine.IsLaunchReady(); }));
}

TEST(SettingsLoad, DamagedStoreKeepsWhatCanBeRead)
{
    SKIP_ON_REGISTRY();
    CTempStore store;
    QDir().mkpath(QFileInfo(store.FilePath()).absolutePath());
    QFile file(store.FilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[General\nPORT=7000\n\x01\x02\xff garbage = = =\n[General]\nClientVersion=41\nIP=@Variant(\\0\\0\\0\x7f)\n");
    file.close();
    const Loaded dlg = Load();
    EXPECT_TRUE(dlg->bStoreOpen);
    EXPECT_EQ(dlg->nClientVersion, 41);
    EXPECT_FALSE(dlg->szIP.isEmpty());
}

TEST(SettingsAccess, ShortAccessesNeverCreateTheStore)
{
    CTempStore store;
    WriteNumberValue(PASSIVE, 1);
    EXPECT_FALSE(StoreExists());
    EXPECT_FALSE(ReadNumberValue(PASSIVE).has_value());
    StoreComplete();
    WriteNumberValue(PASSIVE, 1);
    EXPECT_EQ(ReadNumberValue(PASSIVE), 1);
    // A value the game client changed in between is seen by the next access.
    Store("PASSIVE", 0);
    EXPECT_EQ(ReadNumberValue(PASSIVE), 0);
    WriteNumberValue(GRAPHIC, -1);
    EXPECT_EQ(ReadNumberValue(GRAPHIC), -1);
}

TEST(SettingsAccess, WritesKeepTheLinesTheUpdaterDoesNotOwn)
{
    SKIP_ON_REGISTRY();
    CTempStore store;
    QDir().mkpath(QFileInfo(store.FilePath()).absolutePath());
    const QByteArray mine = "; written by the game client\r\n"
                            "[General]\r\n"
                            "WinPath=C:\\Games\\Orvanta\r\n"
                            "  Graphic =  1 \r\n"
                            "DownFile=old.pak\r\n"
                            "\r\n"
                            "[Client]\r\n"
                            "Name = Kim  ; here\r\n"
                            "DownFile=not ours";
    QFile file(store.FilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(mine);
    file.close();
    // Texts Qt's reader must read back as written, whatever they hold.
    const QString folder = QStringLiteral(" 맵\\데이터, \"1\"\t@x\x01" "1 ");
    const QString path = QStringLiteral("@/home/플레이어/게임/");
    for (int i = 0; i < 3; ++i) {
        CSettingsKey key(CSettingsKey::Open::Existing);
        key.WriteText(DOWN_FOLDER, folder);
        key.WriteText(DOWN_FILE, QStringLiteral("new%1.pak").arg(i));
        key.WriteText(CLIENT_PATH, path);
        key.WriteNumber(DOWN_VERSION, 40 + i);
        EXPECT_EQ(key.ReadNumber(DOWN_VERSION), 40 + i);  // seen before the access closes
    }
    EXPECT_EQ(Stored("DownFolder").toString(), folder);
    EXPECT_EQ(Stored("DownFile").toString(), QStringLiteral("new2.pak"));
    EXPECT_EQ(ReadNumberValue(DOWN_VERSION), 42);
    const Loaded dlg = Load();
    EXPECT_EQ(dlg->szClientPath, path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    const QByteArray expected = "; written by the game client\r\n"
                                "[General]\r\n"
                                "WinPath=C:\\Games\\Orvanta\r\n"
                                "  Graphic =  1 \r\n"
                                "DownFile=new2.pak\r\n";
    EXPECT_TRUE(text.startsWith(expected)) << text.constData();
    EXPECT_TRUE(text.endsWith("\r\n[Client]\r\nName = Kim  ; here\r\nDownFile=not ours")) << text.constData();
}
