// Fetches a file list through the update engine, as an update does, and
// reports how long it took and how long the engine's event loop was held at
// most. The list comes from a patch server inside this process.
//
//   orvanta-ftp-bench --host 127.0.0.1:2121 --user U --password P
//                     --list files.tsv --dest DIR [--passive 1] [--connections 4]
//                     [--http-url http://127.0.0.1:8080/orvanta [--version 2]]
//
// The list has one entry a line: folder, name, size and (optionally) the
// SHA-256 in hex, tab-separated, UTF-8. With --digests 1 the entries carry
// the digests, so files are checked while they arrive (and files already in
// the destination are checked and not fetched). With --http-url the patch
// server announces that web server as well (frame 21), so the files come
// from BASE/VERSION/folder/name over HTTP, the FTP login still made as the
// way back; VERSION is the release the patch server announces.
#include "engine/UpdateSession.h"
#include "patch/Cp949.h"
#include "patch/Digest.h"
#include "patch/HttpSource.h"
#include "patch/PatchFrame.h"
#include "patch/Records.h"
#include "settings/RunSettings.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

std::string Wire(const QString& text)
{
    return orvanta::Utf8ToCp949(text.toStdString());
}

bool ReadList(const QString& path, bool bDigests, std::vector<orvanta::FileEntry>* pList)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QStringList fields = in.readLine().split(QLatin1Char('\t'));
        if (fields.size() < 3)
            continue;
        orvanta::FileEntry entry;
        entry.folder = Wire(fields[0]);
        entry.name = Wire(fields[1]);
        entry.size = fields[2].toUInt();
        if (bDigests && fields.size() > 3) {
            const auto digest = orvanta::FromHex(fields[3].toStdString());
            if (digest && digest->size() == orvanta::Sha256Digest().size()) {
                orvanta::Sha256Digest value{};
                std::copy(digest->begin(), digest->end(), value.begin());
                orvanta::SetEntryDigest(&entry, value);
            }
        }
        pList->push_back(entry);
    }
    return !pList->empty();
}

QByteArray Frame(std::int32_t type, const std::vector<std::uint8_t>& payload)
{
    const auto frame = orvanta::EncodeFrame(type, payload);
    return frame ? QByteArray(reinterpret_cast<const char*>(frame->data()), qsizetype(frame->size())) : QByteArray();
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir config;  // a store of its own, never the player's
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("FTP host[:port]"), QStringLiteral("host"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("user"), QStringLiteral("user"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("password"), QStringLiteral("pw"));
    const QCommandLineOption list(QStringLiteral("list"), QStringLiteral("file list"), QStringLiteral("file"));
    const QCommandLineOption dest(QStringLiteral("dest"), QStringLiteral("game folder"), QStringLiteral("dir"));
    const QCommandLineOption passive(QStringLiteral("passive"), QStringLiteral("1 passive, 0 active"),
                                     QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption digests(QStringLiteral("digests"), QStringLiteral("1: entries carry their SHA-256"),
                                     QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption connections(QStringLiteral("connections"), QStringLiteral("FTP connections at once"),
                                         QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption httpUrl(QStringLiteral("http-url"), QStringLiteral("web server holding the release"),
                                     QStringLiteral("base"));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("release announced (installed: 1)"),
                                     QStringLiteral("n"), QStringLiteral("2"));
    parser.addOptions({host, user, password, list, dest, passive, digests, connections, httpUrl, version});
    parser.process(app);
    const std::int32_t nVersion = parser.value(version).toInt();
    if (nVersion < 2) {
        std::fprintf(stderr, "--version must be above the installed 1\n");
        return 2;
    }
    if (parser.isSet(httpUrl) && !orvanta::HttpSourceBase(parser.value(httpUrl).toStdString())) {
        std::fprintf(stderr, "not an http(s) base URL: %s\n", qPrintable(parser.value(httpUrl)));
        return 2;
    }

    std::vector<orvanta::FileEntry> entries;
    if (!ReadList(parser.value(list), parser.value(digests) == QLatin1String("1"), &entries)) {
        std::fprintf(stderr, "no entries in %s\n", qPrintable(parser.value(list)));
        return 2;
    }
    {
        orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Create);
        key.WriteNumber(orvanta::settings::PASSIVE, parser.value(passive).toInt());
    }

    // The patch server's half: the version against the installed 1, the
    // list, the web server if any, the FTP server.
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "cannot listen on loopback\n");
        return 2;
    }
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* pSocket = server.nextPendingConnection();
        QObject::connect(pSocket, &QTcpSocket::readyRead, pSocket, [&, pSocket] {
            if (pSocket->bytesAvailable() < 12 || pSocket->property("answered").toBool())
                return;
            pSocket->setProperty("answered", true);
            QByteArray out = Frame(orvanta::FRAME_SERVER_VERSION, orvanta::EncodeInt32(nVersion));
            for (const orvanta::FileEntry& entry : entries)
                out += Frame(orvanta::FRAME_FILE_ENTRY, orvanta::EncodeFileEntry(entry));
            if (parser.isSet(httpUrl))
                out += Frame(orvanta::FRAME_HTTP_SOURCE,
                             orvanta::EncodeHttpSourceInfo({parser.value(httpUrl).toStdString()}));
            orvanta::FtpInfo info;
            info.host = parser.value(host).toStdString();
            info.user = parser.value(user).toStdString();
            info.password = parser.value(password).toStdString();
            out += Frame(orvanta::FRAME_FTP_INFO, orvanta::EncodeFtpInfo(info));
            pSocket->write(out);
        });
    });

    orvanta::settings::RunSettings settings;
    settings.bStoreOpen = true;
    settings.szClientPath = parser.value(dest);
    settings.szIP = QStringLiteral("127.0.0.1");
    settings.nPort = server.serverPort();
    settings.nClientVersion = 1;
    settings.nConnections = std::clamp(parser.value(connections).toInt(), 1, orvanta::settings::MAX_CONNECTIONS);
    CUpdateSession engine(nullptr);

    // The loop ticks every 10 ms; the longest gap between two ticks is the
    // longest the loop was held. The time runs from the login to the end of
    // the sequence, as the player sees it.
    QElapsedTimer elapsed;
    QElapsedTimer sinceTick;
    qint64 nLongestGapMs = 0;
    qint64 nMs = -1;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] { nLongestGapMs = std::max(nLongestGapMs, sinceTick.restart()); });
    QObject::connect(&engine, &CUpdateSession::stateChanged, [&](CUpdateSession::State eState) {
        using State = CUpdateSession::State;
        if (eState == State::LoggingIn) {
            elapsed.start();
            sinceTick.start();
            ticker.start();
        } else if (eState != State::Downloading && eState != State::Connecting &&
                   eState != State::WaitingForVersion && eState != State::CollectingList && nMs < 0) {
            nMs = elapsed.isValid() ? elapsed.elapsed() : 0;
            ticker.stop();
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
        }
    });
    QTimer::singleShot(0, &engine, [&] { engine.StartWith(settings); });
    app.exec();

    const bool bComplete = engine.GetState() == CUpdateSession::State::Done;
    std::printf("ours_ms=%lld stall_ms=%lld files=%zu complete=%d status=%s\n", static_cast<long long>(nMs),
                static_cast<long long>(nLongestGapMs), entries.size(), bComplete ? 1 : 0,
                engine.StatusText().toUtf8().constData());
    return bComplete ? 0 : 1;
}
