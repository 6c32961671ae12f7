// Fetches a file list through CFtpSession and the window's sequencer, as an
// update does, and reports how long it took and how long the window's event
// loop was held at most.
//
//   orvanta-ftp-bench --host 127.0.0.1:2121 --user U --password P
//                     --list files.tsv --dest DIR [--passive 1]
//
// The list has one entry a line: folder, name and size, tab-separated, UTF-8.
#include "patch/Cp949.h"
#include "settings/SettingsStore.h"
#include "transfer/FtpSession.h"
#include "ui/UpdaterDlg.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

std::string Wire(const QString& text)
{
    return orvanta::Utf8ToCp949(text.toStdString());
}

bool ReadList(const QString& path, std::vector<orvanta::FileEntry>* pList)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QStringList fields = in.readLine().split(QLatin1Char('\t'));
        if (fields.size() != 3)
            continue;
        orvanta::FileEntry entry;
        entry.folder = Wire(fields[0]);
        entry.name = Wire(fields[1]);
        entry.size = fields[2].toUInt();
        pList->push_back(entry);
    }
    return !pList->empty();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("ORVANTA_NOTICE", "off");
    QTemporaryDir config;  // a store of its own, never the player's
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QApplication app(argc, argv);

    QCommandLineParser parser;
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("FTP host[:port]"), QStringLiteral("host"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("user"), QStringLiteral("user"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("password"), QStringLiteral("pw"));
    const QCommandLineOption list(QStringLiteral("list"), QStringLiteral("file list"), QStringLiteral("file"));
    const QCommandLineOption dest(QStringLiteral("dest"), QStringLiteral("game folder"), QStringLiteral("dir"));
    const QCommandLineOption passive(QStringLiteral("passive"), QStringLiteral("1 passive, 0 active"),
                                     QStringLiteral("n"), QStringLiteral("1"));
    parser.addOptions({host, user, password, list, dest, passive});
    parser.process(app);

    std::vector<orvanta::FileEntry> entries;
    if (!ReadList(parser.value(list), &entries)) {
        std::fprintf(stderr, "no entries in %s\n", qPrintable(parser.value(list)));
        return 2;
    }
    {
        orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Create);
        key.WriteNumber(orvanta::settings::PASSIVE, parser.value(passive).toInt());
    }

    auto pDlg = std::make_unique<CUpdaterDlg>();
    pDlg->m_timer.stop();
    pDlg->LoadSettings();
    QString gamePath = parser.value(dest);
    if (!gamePath.endsWith(QLatin1Char('/')))
        gamePath += QLatin1Char('/');
    pDlg->m_szClientPath = gamePath;
    pDlg->m_fileList = entries;
    pDlg->m_ftpInfo.host = parser.value(host).toStdString();
    pDlg->m_ftpInfo.user = parser.value(user).toStdString();
    pDlg->m_ftpInfo.password = parser.value(password).toStdString();
    pDlg->show();
    CFtpSession::CreateInstance();
    CFtpSession::GetInstance()->Open();

    // The window's loop ticks every 10 ms; the longest gap between two
    // ticks is the longest the loop was held. The time ends when the
    // sequence does, as the player sees it; closing the window is not part.
    CUpdaterDlg* pWindow = pDlg.get();
    QElapsedTimer elapsed;
    QElapsedTimer sinceTick;
    qint64 nLongestGapMs = 0;
    qint64 nMs = -1;
    QString status;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        nLongestGapMs = std::max(nLongestGapMs, sinceTick.restart());
        const bool bEnded = (pWindow->m_bSequenceStarted && !pWindow->m_bDownloading) ||
                            (!pWindow->m_bSequenceStarted && pWindow->m_bLaunchReady);
        if (bEnded && nMs < 0) {
            nMs = elapsed.elapsed();
            status = pWindow->StatusText();
            ticker.stop();
            app.quit();
        }
    });
    // The updater's window is up for a second before the session starts;
    // its first paint is not part of the transfer either.
    QTimer::singleShot(300, [&] {
        elapsed.start();
        sinceTick.start();
        ticker.start();
        pWindow->ConnectFtp();
    });
    app.exec();

    const bool bComplete = pDlg->m_bDownloadComplete;
    std::printf("ours_ms=%lld stall_ms=%lld files=%zu complete=%d status=%s\n", static_cast<long long>(nMs),
                static_cast<long long>(nLongestGapMs), entries.size(), bComplete ? 1 : 0, status.toUtf8().constData());
    pDlg.reset();
    return bComplete ? 0 : 1;
}
