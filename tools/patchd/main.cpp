// orvanta-patchd: the reference patch server. It serves one release, given
// entirely on the command line, to any number of updaters at once.
#include "PatchServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

int Fail(const QString& message)
{
    std::fprintf(stderr, "orvanta-patchd: %s\n", message.toLocal8Bit().constData());
    return 2;
}

bool ParseInt(const QString& text, std::int64_t nMin, std::int64_t nMax, std::int64_t* pOut)
{
    bool bOk = false;
    const qlonglong n = text.toLongLong(&bOk);
    if (!bOk || n < nMin || n > nMax)
        return false;
    *pOut = n;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvanta-patchd"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reference patch server of the Orvanta Online updater.\n"
        "\n"
        "An updater sends its installed version (frame 10) and gets the release's\n"
        "version back (frame 11). When the two differ it then gets one frame 13 per\n"
        "file of the release and the FTP server's credentials (frame 14). After the\n"
        "updater's frame 18 it gets the game server's address (frame 19).\n"
        "Every frame in and out is logged on stdout, one line each, and the first\n"
        "line is \"listening on ADDRESS:PORT\"."));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                    QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("TCP port (default 7776); 0 picks a free one, shown in the first line."),
                                  QStringLiteral("N"), QStringLiteral("7776"));
    const QCommandLineOption release(
        QStringLiteral("release"),
        QStringLiteral("Folder of the release: every file under it is one entry of the file list, its folder "
                       "given relative to DIR with \"/\" separators (empty at the root), sorted. Names must "
                       "have a CP949 form of at most 255 bytes. Without it the list is empty."),
        QStringLiteral("DIR"));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Version number of the release (default 1)."), QStringLiteral("N"),
                                     QStringLiteral("1"));
    const QCommandLineOption ftpHost(
        QStringLiteral("ftp-host"),
        QStringLiteral("FTP server the files are fetched from, sent as is: a host, and \":port\" when not 21 "
                       "(default 127.0.0.1; at most 99 bytes)."),
        QStringLiteral("TEXT"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption ftpUser(QStringLiteral("ftp-user"),
                                     QStringLiteral("FTP user name (default anonymous; at most 49 bytes)."),
                                     QStringLiteral("TEXT"), QStringLiteral("anonymous"));
    const QCommandLineOption ftpPassword(QStringLiteral("ftp-password"),
                                         QStringLiteral("FTP password (default empty; at most 49 bytes)."),
                                         QStringLiteral("TEXT"), QString());
    const QCommandLineOption gameHost(QStringLiteral("game-host"),
                                      QStringLiteral("Game server address (default 127.0.0.1; at most 51 bytes)."),
                                      QStringLiteral("TEXT"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption gamePort(QStringLiteral("game-port"),
                                      QStringLiteral("Game server port (default 3333)."), QStringLiteral("N"),
                                      QStringLiteral("3333"));
    parser.addOptions({listen, port, release, version, ftpHost, ftpUser, ftpPassword, gameHost, gamePort});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return Fail(QStringLiteral("unexpected argument %1 (see --help)").arg(parser.positionalArguments().front()));

    patchd::CReleaseConfig config;
    std::int64_t n = 0;
    if (!ParseInt(parser.value(version), INT32_MIN, INT32_MAX, &n))
        return Fail(QStringLiteral("--version wants a 32-bit integer"));
    config.nVersion = std::int32_t(n);
    if (!ParseInt(parser.value(gamePort), INT32_MIN, INT32_MAX, &n))
        return Fail(QStringLiteral("--game-port wants a 32-bit integer"));
    config.game.port = std::int32_t(n);
    std::int64_t nPort = 0;
    if (!ParseInt(parser.value(port), 0, 65535, &nPort))
        return Fail(QStringLiteral("--port wants 0 to 65535"));

    if (!patchd::ToFieldText(parser.value(ftpHost), orvanta::FtpInfo::HOST_FIELD, &config.ftp.host))
        return Fail(QStringLiteral("--ftp-host needs a CP949 form of at most 99 bytes"));
    if (!patchd::ToFieldText(parser.value(ftpUser), orvanta::FtpInfo::USER_FIELD, &config.ftp.user))
        return Fail(QStringLiteral("--ftp-user needs a CP949 form of at most 49 bytes"));
    if (!patchd::ToFieldText(parser.value(ftpPassword), orvanta::FtpInfo::PASSWORD_FIELD, &config.ftp.password))
        return Fail(QStringLiteral("--ftp-password needs a CP949 form of at most 49 bytes"));
    if (!patchd::ToFieldText(parser.value(gameHost), orvanta::GameServerInfo::ADDRESS_FIELD, &config.game.address))
        return Fail(QStringLiteral("--game-host needs a CP949 form of at most 51 bytes"));

    if (parser.isSet(release)) {
        QString error;
        if (!patchd::LoadReleaseFolder(parser.value(release), &config.files, &error))
            return Fail(error);
    }

    QHostAddress address;
    const QString listenText = parser.value(listen);
    if (listenText == QLatin1String("localhost"))
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(listenText))
        return Fail(QStringLiteral("--listen wants an IP address, not %1").arg(listenText));

    patchd::CPatchServer server(std::move(config));
    QString error;
    if (!server.Listen(address, quint16(nPort), &error))
        return Fail(QStringLiteral("cannot listen on %1:%2: %3").arg(listenText).arg(nPort).arg(error));
    const QString shown = server.Address().protocol() == QAbstractSocket::IPv6Protocol
                              ? QStringLiteral("[%1]").arg(server.Address().toString())
                              : server.Address().toString();
    patchd::LogLine(QStringLiteral("listening on %1:%2").arg(shown).arg(server.Port()));
    return QCoreApplication::exec();
}
