// orvanta-patchd: the reference patch server. It serves a release, or a
// history of releases, to any number of updaters at once.
#include "Log.h"
#include "PatchServer.h"
#include "Release.h"

#include "patch/HttpSource.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <thread>

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>

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

// The password never comes from the command line, which every local user
// can read: a file (its first line) or the environment.
bool ReadPassword(const QString& file, QString* pOut, QString* pError)
{
    if (!file.isEmpty()) {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly)) {
            *pError = QStringLiteral("cannot read --ftp-password-file %1: %2").arg(file, in.errorString());
            return false;
        }
        QByteArray line = in.readLine(4096);
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        *pOut = QString::fromUtf8(line);
        return true;
    }
    *pOut = qEnvironmentVariable("ORVANTA_FTP_PASSWORD");
    return true;
}

// An old command line may still carry the password: overwrite it where
// /proc/PID/cmdline shows it, so it is visible only for the moment of
// the start.
void HideArgument(int argc, char** argv, const char* name)
{
    const std::size_t nName = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0 && i + 1 < argc) {
            std::memset(argv[i + 1], 'x', std::strlen(argv[i + 1]));
        } else if (std::strncmp(argv[i], name, nName) == 0 && argv[i][nName] == '=') {
            std::memset(argv[i] + nName + 1, 'x', std::strlen(argv[i] + nName + 1));
        }
    }
}

// Under systemd (Type=notify) the unit counts as started only now, so
// that "systemctl restart" returns once the server answers at once.
void NotifyReady()
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    if (path.isEmpty() || (path[0] != '/' && path[0] != '@') || std::size_t(path.size()) >= sizeof address.sun_path)
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    if (path[0] == '@')
        address.sun_path[0] = '\0';  // an abstract socket
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    static constexpr char READY[] = "READY=1";
    ::sendto(fd, READY, sizeof READY - 1, 0, reinterpret_cast<const sockaddr*>(&address),
             socklen_t(offsetof(sockaddr_un, sun_path) + std::size_t(path.size())));
    ::close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvanta-patchd"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reference patch server of the Orvanta Online updater.\n"
        "\n"
        "An updater sends its installed version (frame 10) and gets the current\n"
        "version back (frame 11). When the two differ it then gets one frame 13 per\n"
        "file to fetch and an FTP server's credentials (frame 14). After the\n"
        "updater's frame 18 it gets the game server's address (frame 19), and the\n"
        "server closes the connection. Each connection gets one answer to each.\n"
        "\n"
        "Releases. --release DIR serves one release: every version other than\n"
        "--version gets every file. --releases DIR serves a history, one\n"
        "sub-folder per version named by its number in plain digits:\n"
        "    DIR/41/...   DIR/42/...   DIR/43/...\n"
        "A sub-folder named like a number but not so (043, +43, -5, 43x, past\n"
        "2147483647) is ignored with a warning, or refused when it would be the\n"
        "current one; other names (current, old) are ignored.\n"
        "The highest (or --version) is current. A client at an older version found\n"
        "there gets only the files of the current one that are new or differ from\n"
        "its version's (by size and SHA-256); a client at any other version gets\n"
        "every file. Each list is worked out once, in the background, after the\n"
        "start. The FTP servers serve the current version's folder as their root.\n"
        "Every entry of the current release carries its file's SHA-256 (worked out\n"
        "once at the start). A signature made by orvanta-release sign lies in the\n"
        "release folder as .orvanta-release.sig; it is served by FTP, never listed.\n"
        "With --public-key the server starts only when that signature is good for the\n"
        "current release and version.\n"
        "\n"
        "What an updater would refuse is refused at the start, naming the file and its\n"
        "version folder: names Windows cannot hold or that clash but for case, names\n"
        "without a CP949 form or not UTF-8, more than 200000 files, links that leave\n"
        "the folder or lead to a folder, FIFOs, sockets, devices, temporary files of an\n"
        "interrupted run, and in the current release files that change while read and\n"
        "private keys. Files not every user may read, and patches of the older form\n"
        "(NAME.<32 hex>.zpatch, never offered), are named in warnings.\n"
        "\n"
        "The FTP password is read from --ftp-password-file or ORVANTA_FTP_PASSWORD.\n"
        "\n"
        "The first line of the log is \"listening on ADDRESS:PORT\" (with\n"
        "--accept-when-ready, \"bound to ADDRESS:PORT\"); \"ready: ...\" follows once every\n"
        "list is worked out (and READY=1 goes to systemd's NOTIFY_SOCKET, for\n"
        "Type=notify); then one line per session as it ends (one per frame with\n"
        "--verbose). SIGHUP reopens --log."));
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
    const QCommandLineOption releases(QStringLiteral("releases"),
                                      QStringLiteral("Folder of versions, one sub-folder each (see above)."),
                                      QStringLiteral("DIR"));
    const QCommandLineOption version(
        QStringLiteral("version"),
        QStringLiteral("Version number of the release (default 1; with --releases, the highest sub-folder)."),
        QStringLiteral("N"));
    const QCommandLineOption ftpHost(
        QStringLiteral("ftp-host"),
        QStringLiteral("FTP server the files are fetched from, sent as is: a host, and \":port\" when not 21 "
                       "(default 127.0.0.1; at most 99 bytes). Give it once per mirror: each session gets "
                       "the next one in turn."),
        QStringLiteral("TEXT"));
    const QCommandLineOption ftpUser(QStringLiteral("ftp-user"),
                                     QStringLiteral("FTP user name (default anonymous; at most 49 bytes). {version} "
                                                    "in it stands for the current version, so that each version "
                                                    "can have an FTP root of its own (v{version})."),
                                     QStringLiteral("TEXT"), QStringLiteral("anonymous"));
    const QCommandLineOption ftpPasswordFile(
        QStringLiteral("ftp-password-file"),
        QStringLiteral("File whose first line is the FTP password (at most 49 bytes). Without it the "
                       "password is ORVANTA_FTP_PASSWORD from the environment, or empty."),
        QStringLiteral("FILE"));
    const QCommandLineOption ftpPassword(QStringLiteral("ftp-password"),
                                         QStringLiteral("Obsolete: shows the password to every local user. Use "
                                                        "--ftp-password-file or ORVANTA_FTP_PASSWORD."),
                                         QStringLiteral("TEXT"));
    const QCommandLineOption gameHost(QStringLiteral("game-host"),
                                      QStringLiteral("Game server address (default 127.0.0.1; at most 51 bytes)."),
                                      QStringLiteral("TEXT"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption httpUrl(
        QStringLiteral("http-url"),
        QStringLiteral("Base URL of the releases over HTTP(S) (a web server or content network holding "
                       "<URL>/<version>/...), announced to our updaters before the FTP server; others ignore it."),
        QStringLiteral("URL"));
    const QCommandLineOption gamePort(QStringLiteral("game-port"),
                                      QStringLiteral("Game server port (default 3333)."), QStringLiteral("N"),
                                      QStringLiteral("3333"));
    const QCommandLineOption workers(
        QStringLiteral("workers"),
        QStringLiteral("Threads serving the port, each with its own socket (default 1; one per core)."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption reusePort(QStringLiteral("reuse-port"),
                                       QStringLiteral("Let other orvanta-patchd processes listen on the same port "
                                                      "(SO_REUSEPORT): the kernel shares the connections out."));
    const QCommandLineOption maxConnections(
        QStringLiteral("max-connections"),
        QStringLiteral("Connections at once; more are closed at once (default: the descriptor limit, raised "
                       "to its maximum, less a reserve)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption maxPerAddress(QStringLiteral("max-per-address"),
                                           QStringLiteral("Connections at once from one IPv4 address or IPv6 /64 "
                                                          "network (default 256)."),
                                           QStringLiteral("N"), QStringLiteral("256"));
    const QCommandLineOption helloTimeout(
        QStringLiteral("hello-timeout"),
        QStringLiteral("Milliseconds a new connection has to send frame 10 (default 10000)."), QStringLiteral("MS"),
        QStringLiteral("10000"));
    const QCommandLineOption idleTimeout(
        QStringLiteral("idle-timeout"),
        QStringLiteral("Milliseconds a client may stay silent after its answer (default 21600000, six hours): "
                       "it says nothing while it downloads, so this must outlast the longest download."),
        QStringLiteral("MS"), QStringLiteral("21600000"));
    const QCommandLineOption sendTimeout(
        QStringLiteral("send-timeout"),
        QStringLiteral("Milliseconds a client may leave its answer unread before it is dropped (default 60000), "
                       "whether the answer waits in the server or in the system's socket buffer (64 KiB per "
                       "connection)."),
        QStringLiteral("MS"), QStringLiteral("60000"));
    const QCommandLineOption acceptWhenReady(
        QStringLiteral("accept-when-ready"),
        QStringLiteral("Bind the port at the start but take connections only once every older version's list "
                       "is worked out (the \"ready\" line); until then connections are refused, so a balancer's "
                       "health check keeps players on servers that answer at once."));
    const QCommandLineOption logFile(QStringLiteral("log"),
                                     QStringLiteral("Append the log to FILE instead of stdout."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption publicKey(
        QStringLiteral("public-key"),
        QStringLiteral("The publisher's public key (what orvanta-release keygen wrote). The server then starts "
                       "only when the current release's signature verifies with it, is for the version it "
                       "announces and matches the folder's files; otherwise it names what differs."),
        QStringLiteral("FILE"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("One log line per frame in and out (at most 64 per client)."));
    parser.addOption(httpUrl);
    parser.addOptions({listen, port, release, releases, version, ftpHost, ftpUser, ftpPasswordFile, ftpPassword,
                       gameHost, gamePort, workers, reusePort, maxConnections, maxPerAddress, helloTimeout,
                       idleTimeout, sendTimeout, acceptWhenReady, logFile, verbose});
    parser.addOption(publicKey);
    parser.process(app);
    HideArgument(argc, argv, "--ftp-password");
    if (!parser.positionalArguments().isEmpty())
        return Fail(QStringLiteral("unexpected argument %1 (see --help)").arg(parser.positionalArguments().front()));

    patchd::CServerConfig config;
    std::int64_t n = 0;
    std::optional<std::int32_t> nVersion;
    if (parser.isSet(version)) {
        if (!ParseInt(parser.value(version), INT32_MIN, INT32_MAX, &n))
            return Fail(QStringLiteral("--version wants a 32-bit integer"));
        nVersion = std::int32_t(n);
    }
    if (!ParseInt(parser.value(gamePort), INT32_MIN, INT32_MAX, &n))
        return Fail(QStringLiteral("--game-port wants a 32-bit integer"));
    config.game.port = std::int32_t(n);
    std::int64_t nPort = 0;
    if (!ParseInt(parser.value(port), 0, 65535, &nPort))
        return Fail(QStringLiteral("--port wants 0 to 65535"));

    struct CNumber {
        const QCommandLineOption* pOption;
        std::int64_t nMin;
        std::int64_t nMax;
        int* pOut;
    };
    const CNumber numbers[] = {
        {&workers, 1, 256, &config.nWorkers},
        {&maxConnections, 0, INT32_MAX, &config.limits.nMaxConnections},
        {&maxPerAddress, 1, INT32_MAX, &config.limits.nMaxPerAddress},
        {&helloTimeout, 1, INT32_MAX, &config.limits.nHelloTimeoutMs},
        {&idleTimeout, 1, INT32_MAX, &config.limits.nIdleTimeoutMs},
        {&sendTimeout, 1, INT32_MAX, &config.limits.nSendTimeoutMs},
    };
    for (const CNumber& number : numbers) {
        if (!ParseInt(parser.value(*number.pOption), number.nMin, number.nMax, &n))
            return Fail(QStringLiteral("--%1 wants %2 to %3")
                            .arg(number.pOption->names().front())
                            .arg(number.nMin)
                            .arg(number.nMax));
        *number.pOut = int(n);
    }
    config.bVerbose = parser.isSet(verbose);
    config.bReusePort = parser.isSet(reusePort);
    config.bDeferAccept = parser.isSet(acceptWhenReady);

    QString password;
    QString error;
    if (parser.isSet(ftpPassword)) {
        std::fprintf(stderr, "orvanta-patchd: --ftp-password shows the password to every local user; use "
                             "--ftp-password-file or ORVANTA_FTP_PASSWORD\n");
        password = parser.value(ftpPassword);
    } else if (!ReadPassword(parser.value(ftpPasswordFile), &password, &error)) {
        return Fail(error);
    }
    if (!patchd::ToFieldText(parser.value(gameHost), orvanta::GameServerInfo::ADDRESS_FIELD, &config.game.address))
        return Fail(QStringLiteral("--game-host needs a CP949 form of at most 51 bytes"));

    if (parser.isSet(httpUrl)) {
        const auto base = orvanta::HttpSourceBase(parser.value(httpUrl).toStdString());
        if (!base)
            return Fail(QStringLiteral("--http-url wants an http:// or https:// URL of printable ASCII, without "
                                       "credentials, query or fragment, of at most 400 bytes"));
        config.httpSource = *base;
    }

    patchd::CReleaseSet releaseSet;
    if (parser.isSet(release) && parser.isSet(releases))
        return Fail(QStringLiteral("--release and --releases exclude each other"));
    QStringList warnings;
    QString currentFolder;
    bool bLoaded = true;
    if (parser.isSet(releases)) {
        bLoaded = releaseSet.LoadHistory(parser.value(releases), nVersion, &error, &warnings);
        currentFolder = QDir(parser.value(releases)).filePath(QString::number(releaseSet.Current()));
    } else {
        std::vector<patchd::CReleaseFile> files;
        currentFolder = parser.value(release);
        if (parser.isSet(release))
            bLoaded = patchd::LoadReleaseFolder(currentFolder, &files, &error, true, &warnings);
        releaseSet.SetCurrent(nVersion.value_or(1), std::move(files));
    }
    for (const QString& warning : warnings)
        std::fprintf(stderr, "orvanta-patchd: warning: %s\n", warning.toLocal8Bit().constData());
    if (!bLoaded)
        return Fail(error);
    // A keyed player refuses a release whose signature does not match what
    // it is told; the publisher hears it here, before any player does.
    if (parser.isSet(publicKey)) {
        const auto key = patchd::LoadPublicKey(parser.value(publicKey), &error);
        if (!key)
            return Fail(error);
        if (currentFolder.isEmpty())
            return Fail(QStringLiteral("--public-key needs --release or --releases"));
        if (!patchd::CheckReleaseSignature(currentFolder, releaseSet.CurrentFiles(), *key, releaseSet.Current(),
                                           &error))
            return Fail(QStringLiteral("version %1 not announced: %2").arg(releaseSet.Current()).arg(error));
    }

    // The version is known only once the releases are loaded.
    const QString user =
        parser.value(ftpUser).replace(QLatin1String("{version}"), QString::number(releaseSet.Current()));
    QStringList hosts = parser.values(ftpHost);
    if (hosts.isEmpty())
        hosts << QStringLiteral("127.0.0.1");
    for (const QString& host : hosts) {
        orvanta::FtpInfo ftp;
        if (!patchd::ToFieldText(host, orvanta::FtpInfo::HOST_FIELD, &ftp.host))
            return Fail(QStringLiteral("--ftp-host needs a CP949 form of at most 99 bytes"));
        if (!patchd::ToFieldText(user, orvanta::FtpInfo::USER_FIELD, &ftp.user))
            return Fail(QStringLiteral("--ftp-user needs a CP949 form of at most 49 bytes"));
        if (!patchd::ToFieldText(password, orvanta::FtpInfo::PASSWORD_FIELD, &ftp.password))
            return Fail(QStringLiteral("the FTP password needs a CP949 form of at most 49 bytes"));
        config.mirrors.push_back(std::move(ftp));
    }
    QHostAddress address;
    const QString listenText = parser.value(listen);
    if (listenText == QLatin1String("localhost"))
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(listenText))
        return Fail(QStringLiteral("--listen wants an IP address, not %1").arg(listenText));

    patchd::CLog& log = patchd::CLog::Instance();
    if (!log.Open(parser.value(logFile), &error))
        return Fail(error);

    // The workers inherit a mask that leaves these handled to this thread.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    const bool bDeferAccept = config.bDeferAccept;
    patchd::CPatchServer server(std::move(config), &releaseSet);
    if (!server.Listen(address, quint16(nPort), &error))
        return Fail(QStringLiteral("cannot listen on %1:%2: %3").arg(listenText).arg(nPort).arg(error));
    const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol
                              ? QStringLiteral("[%1]").arg(address.toString())
                              : address.toString();
    log.Start();
    const QString listening = QStringLiteral("listening on %1:%2").arg(shown).arg(server.Port());
    log.Line(bDeferAccept ? QStringLiteral("bound to %1:%2").arg(shown).arg(server.Port()) : listening);
    log.Line(QStringLiteral("version %1, %2 files; %3 older versions to compare; at most %4 connections")
                 .arg(releaseSet.Current())
                 .arg(releaseSet.CurrentFileCount())
                 .arg(releaseSet.OlderVersions().size())
                 .arg(server.MaxConnections()));
    QElapsedTimer started;
    started.start();
    server.Start();

    // Ready means every answer is at hand: a player is answered at once.
    std::atomic<bool> bStopping = false;
    std::thread ready([&]() {
        releaseSet.WaitAll();
        if (bStopping)
            return;
        if (bDeferAccept) {
            QString why;
            if (!server.AcceptConnections(&why)) {
                log.Line(QStringLiteral("cannot listen: %1").arg(why));
                ::kill(::getpid(), SIGTERM);
                return;
            }
            log.Line(listening);
        }
        log.Line(QStringLiteral("ready: version %1, %2 older versions compared in %3 s")
                     .arg(releaseSet.Current())
                     .arg(releaseSet.OlderVersions().size())
                     .arg(double(started.elapsed()) / 1000.0, 0, 'f', 1));
        NotifyReady();
    });

    for (;;) {
        int nSignal = 0;
        if (sigwait(&handled, &nSignal) != 0)
            continue;
        if (nSignal == SIGHUP) {
            log.Reopen();
            continue;
        }
        break;
    }
    bStopping = true;
    server.Stop();
    ready.join();
    log.Line(QStringLiteral("stopped"));
    log.Stop();
    return 0;
}
