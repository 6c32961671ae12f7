// orvanta-update: one update run in a terminal, with the same engine as the
// launcher window and the same settings store, but no window and no launch.
#include "app/Constants.h"
#include "engine/UpdateSession.h"
#include "settings/RunSettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

std::atomic<int> g_nSignal{0};

void OnSignal(int nSignal)
{
    g_nSignal = nSignal;
}

void Print(std::FILE* pOut, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), pOut);
    std::fflush(pOut);
}

// Answers the engine's questions on the terminal: notices are printed, and
// a retry question is answered yes while retries are left.
class CTerminalPrompts final : public IUpdatePrompts {
public:
    explicit CTerminalPrompts(int nRetries) : m_nRetriesLeft(nRetries) {}

    bool Ask(const Box& box) override
    {
        QString text = box.text;
        text.replace(QLatin1Char('\n'), QLatin1Char(' '));
        const bool bRetry = box.bQuestion && m_nRetriesLeft > 0;
        if (box.bQuestion) {
            if (bRetry)
                --m_nRetriesLeft;
            Print(stderr, QStringLiteral("orvanta-update: %1 -> %2\n").arg(text, bRetry ? u"retry" : u"give up"));
        } else {
            Print(stderr, QStringLiteral("orvanta-update: %1\n").arg(text));
        }
        return !box.bQuestion || bRetry;
    }

private:
    int m_nRetriesLeft;
};

// "[#####-----]  42%  1234 / 5678": one line, redrawn in place.
QString ProgressLine(quint64 nDone, quint64 nTotal)
{
    constexpr int WIDTH = 30;
    const int nPercent = nTotal ? int(nDone * 100 / nTotal) : 100;
    const int nFilled = nPercent * WIDTH / 100;
    return QStringLiteral("\r[%1%2] %3%  %4 / %5")
        .arg(QString(nFilled, QLatin1Char('#')), QString(WIDTH - nFilled, QLatin1Char('-')))
        .arg(nPercent, 3)
        .arg(nDone)
        .arg(nTotal);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Kelto Interactive, Inc."));
    QCoreApplication::setApplicationName(QStringLiteral("Orvanta Online"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Updates the Orvanta Online game folder from the patch server, as the launcher\n"
        "window does, and exits: 0 when every file is in place (or nothing changed),\n"
        "1 when the update did not complete, 2 for a bad command line, 130 when\n"
        "interrupted. The patch server, its port and the game folder come from the\n"
        "settings store unless given here; the store's installed version and resume\n"
        "mark are used and updated as the launcher would."));
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Patch-server host."),
                                        QStringLiteral("host"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Patch-server port."),
                                        QStringLiteral("port"));
    const QCommandLineOption folderOption(QStringLiteral("folder"), QStringLiteral("Game folder."),
                                          QStringLiteral("dir"));
    const QCommandLineOption retriesOption(
        QStringLiteral("retries"), QStringLiteral("How often a file that cannot be started is tried again (0)."),
        QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption waitOption(
        QStringLiteral("game-wait"),
        QStringLiteral("Seconds to wait for the game server's address after the files are in place (10)."),
        QStringLiteral("s"), QStringLiteral("10"));
    const QCommandLineOption ftpTimeoutOption(
        QStringLiteral("ftp-timeout"),
        QStringLiteral("Seconds an FTP server may leave a command unanswered, or a transfer stall, before the\n"
                       "connection counts as broken and its file goes to another connection (30)."),
        QStringLiteral("s"), QStringLiteral("30"));
    parser.addOptions({hostOption, portOption, folderOption, retriesOption, waitOption, ftpTimeoutOption});
    parser.process(app);

    bool bOk = true;
    const auto number = [&](const QCommandLineOption& option, int nMin, int nMax) {
        bool bParsed = false;
        const int n = parser.value(option).toInt(&bParsed);
        if (!bParsed || n < nMin || n > nMax)
            bOk = false;
        return n;
    };
    orvanta::settings::RunSettings settings = orvanta::settings::LoadSettings(QString());
    if (parser.isSet(hostOption))
        settings.szIP = parser.value(hostOption);
    if (parser.isSet(portOption))
        settings.nPort = number(portOption, 1, 65535);
    if (parser.isSet(folderOption))
        settings.szClientPath =
            orvanta::settings::WithTrailingSeparator(QDir(parser.value(folderOption)).absolutePath());
    const int nRetries = number(retriesOption, 0, 1000);
    const int nGameWaitS = number(waitOption, 0, 3600);
    const int nFtpTimeoutS = number(ftpTimeoutOption, 1, 3600);
    if (!bOk) {
        Print(stderr, QStringLiteral("orvanta-update: bad number in the options; see --help\n"));
        return 2;
    }
    if (!settings.bStoreOpen)
        Print(stderr, QStringLiteral("orvanta-update: the settings store cannot be opened (%1)\n")
                          .arg(QDir::toNativeSeparators(orvanta::settings::ProgramFolder())));

    const bool bTerminal = isatty(fileno(stdout));
    CTerminalPrompts prompts(nRetries);
    CUpdateSession engine(&prompts);
    if (parser.isSet(ftpTimeoutOption))
        engine.SetFtpTimeouts(orvanta::FtpTimeoutsOf(nFtpTimeoutS));
    else if (const auto timeouts = orvanta::FtpTimeoutsFromEnvironment())
        engine.SetFtpTimeouts(*timeouts);
    int nExit = -1;
    bool bBarShown = false;
    QElapsedTimer sinceBar;
    QTimer gameWait;
    gameWait.setSingleShot(true);
    gameWait.setInterval(nGameWaitS * 1000);

    const auto endLine = [&] {
        if (bBarShown)
            Print(stdout, QStringLiteral("\n"));
        bBarShown = false;
    };
    const auto finish = [&](int nCode) {
        if (nExit >= 0)
            return;
        nExit = nCode;
        // Not from inside the engine's own signal: it finishes its step first.
        QTimer::singleShot(0, &engine, [&engine, nCode] {
            engine.Shutdown();
            QCoreApplication::exit(nCode);
        });
    };

    QObject::connect(&engine, &CUpdateSession::statusChanged, [&](const QString& text) {
        endLine();
        Print(stdout, text + QLatin1Char('\n'));
    });
    QObject::connect(&engine, &CUpdateSession::fileStarted,
                     [&](quint64 nIndex, quint64 nCount, const QString& name, quint64 size) {
                         endLine();
                         Print(stdout, QStringLiteral("[%1/%2] %3 (%4 bytes)\n").arg(nIndex).arg(nCount).arg(name).arg(size));
                     });
    QObject::connect(&engine, &CUpdateSession::bytesCounted,
                     [&](quint64, quint64, quint64, quint64, quint64 allRecv, quint64 total) {
                         if (!bTerminal || (bBarShown && sinceBar.elapsed() < 100 && allRecv < total))
                             return;
                         Print(stdout, ProgressLine(allRecv, total));
                         bBarShown = true;
                         sinceBar.start();
                     });
    QObject::connect(&engine, &CUpdateSession::stateChanged, [&](CUpdateSession::State eState) {
        using State = CUpdateSession::State;
        switch (eState) {
        case State::Ready:
            finish(0);
            break;
        case State::UpToDate:
        case State::Done:
            // Frame 19 records the installed version; give the server a
            // moment to send it.
            gameWait.start();
            break;
        case State::LinkFailed:
        case State::FtpFailed:
        case State::DownloadStopped:
        case State::DownloadBroken:
            endLine();
            Print(stderr, QStringLiteral("orvanta-update: the update did not complete: %1 (patch server %2:%3)\n")
                              .arg(engine.StatusText(), engine.Settings().szIP)
                              .arg(engine.Settings().nPort));
            finish(1);
            break;
        default:
            break;
        }
    });
    QObject::connect(&gameWait, &QTimer::timeout, [&] {
        endLine();
        Print(stderr, QStringLiteral("orvanta-update: the files are in place, but the patch server sent no game "
                                     "server; the installed version was not recorded\n"));
        finish(0);
    });

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    QTimer signalPoll;
    QObject::connect(&signalPoll, &QTimer::timeout, [&] {
        if (g_nSignal != 0) {
            endLine();
            Print(stderr, QStringLiteral("orvanta-update: interrupted; the next run resumes\n"));
            finish(130);
        }
    });
    signalPoll.start(100);

    QTimer::singleShot(0, &engine, [&] { engine.StartWith(settings); });
    const int nResult = QCoreApplication::exec();
    endLine();
    return nExit >= 0 ? nExit : nResult;
}
