// orvanta-update: one update run in a terminal, with the same engine as the
// launcher window and the same settings store, but no window and no launch.
#include "app/Constants.h"
#include "app/TerminalView.h"
#include "engine/UpdateSession.h"
#include "settings/RunSettings.h"
#include "settings/SettingsStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

using orvanta::terminal::CTerminalView;

std::atomic<int> g_nSignal{0};

void OnSignal(int nSignal)
{
    g_nSignal = nSignal;
}

// The program's own words, in the player's language; the status lines are
// the game's and stay as they are.
QString Say(const char* english, const char* korean)
{
    static const bool bKorean = orvanta::terminal::KoreanMessages();
    return QString::fromUtf8(bKorean ? korean : english);
}

// Answers the engine's questions on the terminal: notices are printed, and
// a retry question is answered yes while retries are left.
class CTerminalPrompts final : public IUpdatePrompts {
public:
    CTerminalPrompts(CTerminalView* pView, int nRetries) : m_pView(pView), m_nRetriesLeft(nRetries) {}

    void Ask(const Box& box, Answer answer) override
    {
        QString text = box.text;
        text.replace(QLatin1Char('\n'), QLatin1Char(' '));
        const bool bRetry = box.bQuestion && m_nRetriesLeft > 0;
        if (box.bQuestion) {
            if (bRetry)
                --m_nRetriesLeft;
            m_pView->Note(QStringLiteral("%1 -> %2").arg(text, bRetry ? Say("retry", "다시 시도") : Say("give up", "중단")));
        } else {
            m_pView->Note(text);
        }
        answer(!box.bQuestion || bRetry);
    }

private:
    CTerminalView* m_pView;
    int m_nRetriesLeft;
};

// Why a keyed build refused the release: its name for scripts (the end
// object's "cause"), and its words for the player and the publisher.
struct RefusalWords {
    const char* name;
    const char* english;
    const char* korean;
};

RefusalWords WordsOf(CUpdateSession::Refusal eWhy)
{
    using Refusal = CUpdateSession::Refusal;
    switch (eWhy) {
    case Refusal::NoSignature:
        return {"no-signature",
                "the FTP server has no signature file (.orvanta-release.sig at its root); sign the release with "
                "orvanta-release sign",
                "FTP 서버 맨 위에 서명 파일(.orvanta-release.sig)이 없습니다. orvanta-release sign 으로 서명하세요"};
    case Refusal::BadSignature:
        return {"bad-signature", "the signature file is not signed with the key this updater trusts",
                "서명 파일이 이 업데이터가 믿는 키로 서명되지 않았습니다"};
    case Refusal::OtherVersion:
        return {"other-version", "the signature is for another version than the patch server announced",
                "서명이 패치 서버가 알린 버전의 것이 아닙니다"};
    case Refusal::Older:
        return {"older-version", "the signed release is older than the installed version",
                "서명된 릴리스가 설치된 버전보다 오래되었습니다"};
    case Refusal::Unsigned:
        return {"unsigned-entry", "the patch server lists a file the signature does not hold",
                "패치 서버가 서명에 없는 파일을 보냈습니다"};
    case Refusal::UnsafeEntry:
        return {"unsafe-entry", "the signed release names a path the updater may not write",
                "서명된 릴리스에 쓸 수 없는 경로가 있습니다"};
    }
    return {"", "", ""};
}

int BadCommandLine(const QString& why)
{
    std::fputs(QStringLiteral("orvanta-update: %1\n%2\n").arg(why, Say("Try 'orvanta-update --help'.",
                                                                        "'orvanta-update --help'를 참고하세요."))
                   .toLocal8Bit()
                   .constData(),
               stderr);
    return 2;
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
        "window does, and exits: 0 when every file is in place and the version is\n"
        "recorded (or nothing changed), 1 when the update did not complete, 2 for a\n"
        "bad command line, 130 when interrupted (Ctrl-C), 143 when terminated; the\n"
        "next run resumes. The patch server, its port and the game folder come from\n"
        "the settings store unless given here (what is given always wins); the\n"
        "store's installed version and resume mark are used and updated as the\n"
        "launcher would. --repair reads every file of the release and fetches only\n"
        "those that differ from it."));
    parser.addHelpOption();
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Print the version and exit."));
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Patch-server host."),
                                        QStringLiteral("host"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Patch-server port."),
                                        QStringLiteral("port"));
    const QCommandLineOption folderOption(
        QStringLiteral("folder"),
        QStringLiteral("Game folder (required when the store names none). Created when missing."),
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
        QStringLiteral("Seconds an FTP server may leave a command unanswered, or a transfer stall, before the "
                       "connection counts as broken and its file goes to another connection (30)."),
        QStringLiteral("s"), QStringLiteral("30"));
    const QCommandLineOption limitRateOption(
        QStringLiteral("limit-rate"),
        QStringLiteral("The most to take of the line, over all connections: bytes per second, or with K, M or G "
                       "(500K, 2M). 0: no limit. Without it: MaxRate (KiB/s) in the store."),
        QStringLiteral("rate"));
    const QCommandLineOption quietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                                         QStringLiteral("Print nothing but errors."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Also print the settings the run uses."));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("One JSON object per line on standard output: status, file, "
                                               "progress, message and end (with outcome and exit)."));
    const QCommandLineOption repairOption(
        QStringLiteral("repair"), QStringLiteral("Check every file against the release (the signed list when the "
                                                 "build has a key) and fetch what differs."));
    parser.addOptions({versionOption, hostOption, portOption, folderOption, retriesOption, waitOption, ftpTimeoutOption,
                       limitRateOption, quietOption, verboseOption, jsonOption, repairOption});
    if (!parser.parse(QCoreApplication::arguments()))
        return BadCommandLine(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        // Not showHelp(): on Windows it opens a message box instead when the
        // program has no console of its own (output into a pipe or a file).
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("orvanta-update %s\n", ORVANTA_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return BadCommandLine(Say("unexpected argument '%1'", "알 수 없는 인자 '%1'").arg(parser.positionalArguments().first()));

    bool bOk = true;
    QString badOption;
    const auto number = [&](const QCommandLineOption& option, int nMin, int nMax) {
        bool bParsed = false;
        const int n = parser.value(option).toInt(&bParsed);
        if (!bParsed || n < nMin || n > nMax) {
            bOk = false;
            badOption = QStringLiteral("--%1 %2 (%3..%4)").arg(option.names().constLast(), parser.value(option)).arg(nMin).arg(nMax);
        }
        return n;
    };
    const int nPort = parser.isSet(portOption) ? number(portOption, 1, 65535) : 0;
    const int nRetries = number(retriesOption, 0, 1000);
    const int nGameWaitS = number(waitOption, 0, 3600);
    const int nFtpTimeoutS = number(ftpTimeoutOption, 1, 3600);
    if (!bOk)
        return BadCommandLine(Say("bad number: %1", "잘못된 숫자: %1").arg(badOption));
    const auto limitRate =
        parser.isSet(limitRateOption) ? orvanta::terminal::ParseRate(parser.value(limitRateOption)) : std::nullopt;
    if (parser.isSet(limitRateOption) && !limitRate)
        return BadCommandLine(Say("bad rate: --limit-rate %1 (bytes per second, or with K, M or G)",
                                  "잘못된 속도: --limit-rate %1 (초당 바이트, 또는 K, M, G)")
                                  .arg(parser.value(limitRateOption)));

    // The game folder is the store's or the one given; never this program's
    // own folder, which a new store would start with.
    const QString store = QDir::toNativeSeparators(orvanta::settings::StoreLocation());
    const bool bStoreHasFolder = orvanta::settings::CSettingsKey(orvanta::settings::CSettingsKey::Open::Existing)
                                     .ReadText(orvanta::settings::CLIENT_PATH)
                                     .has_value();
    if (!bStoreHasFolder && !parser.isSet(folderOption))
        return BadCommandLine(Say("no game folder: the settings store (%1) names none; give --folder DIR",
                                  "게임 폴더가 없습니다: 설정 저장소(%1)에 없으니 --folder DIR 를 지정하세요")
                                  .arg(store));
    const QString folder =
        parser.isSet(folderOption)
            ? orvanta::settings::WithTrailingSeparator(QDir(parser.value(folderOption)).absolutePath())
            : QString();
    if (!bStoreHasFolder) {
        // A new store starts with the folder given, not with this program's.
        orvanta::settings::CSettingsKey key(orvanta::settings::CSettingsKey::Open::Create);
        key.WriteText(orvanta::settings::CLIENT_PATH, folder);
    }

    orvanta::settings::RunSettings settings = orvanta::settings::LoadSettings(QString());
    if (parser.isSet(hostOption))
        settings.szIP = parser.value(hostOption);
    if (parser.isSet(portOption))
        settings.nPort = nPort;
    if (limitRate)
        settings.nMaxRate = *limitRate;
    if (!folder.isEmpty() && QDir(folder).absolutePath() != QDir(settings.szClientPath).absolutePath()) {
        // The store's installed version is its own folder's: this one is
        // updated as a new install, and leaves the store's version and mark
        // alone.
        settings.szClientPath = folder;
        settings.nClientVersion = 0;
        settings.szDownFolder.clear();
        settings.szDownFile.clear();
        settings.nDownVersion.reset();
        settings.bStoreFolder = false;
    }

    using orvanta::terminal::Mode;
    const int nColumns = orvanta::terminal::TerminalColumns();
    const Mode eMode = parser.isSet(jsonOption)    ? Mode::Json
                       : parser.isSet(quietOption) ? Mode::Quiet
                       : nColumns > 0              ? Mode::Bar
                                                   : Mode::Lines;
    CTerminalView view(eMode, nColumns, stdout, stderr);
    if (!settings.bStoreOpen)
        view.Note(Say("the settings store cannot be opened (%1); the installed version is unknown",
                      "설정 저장소를 열 수 없습니다(%1); 설치된 버전을 알 수 없습니다")
                      .arg(store));
    if (parser.isSet(verboseOption) && eMode != Mode::Json)
        view.Note(QStringLiteral("store %1, folder %2, patch server %3:%4, installed version %5, %6 FTP connections")
                      .arg(store, QDir::toNativeSeparators(settings.szClientPath), settings.szIP)
                      .arg(settings.nPort)
                      .arg(settings.nClientVersion)
                      .arg(settings.nConnections));

    CTerminalPrompts prompts(&view, nRetries);
    CUpdateSession engine(&prompts);
    engine.SetRepair(parser.isSet(repairOption));
    if (parser.isSet(ftpTimeoutOption))
        engine.SetFtpTimeouts(orvanta::FtpTimeoutsOf(nFtpTimeoutS));
    else if (const auto timeouts = orvanta::FtpTimeoutsFromEnvironment())
        engine.SetFtpTimeouts(*timeouts);
    int nExit = -1;
    QElapsedTimer clock;
    clock.start();
    engine.SetGameServerWait(nGameWaitS * 1000);

    const auto finish = [&](int nCode, const QString& outcome, const QString& why,
                            const std::optional<orvanta::terminal::EndCause>& cause = {}) {
        if (nExit >= 0)
            return;
        nExit = nCode;
        view.End(outcome, nCode, why, cause);
        // Not from inside the engine's own signal: it finishes its step first.
        QTimer::singleShot(0, &engine, [&engine, nCode] {
            engine.Shutdown();
            QCoreApplication::exit(nCode);
        });
    };

    QObject::connect(&engine, &CUpdateSession::statusChanged, [&](const QString& text) { view.Status(text); });
    QObject::connect(&engine, &CUpdateSession::fallbackAddressUsed, [&](const QString& host, const QString& address) {
        view.Note(host.isEmpty()
                      ? Say("no patch-server host is set; trying the fixed address %2",
                            "패치 서버 주소가 없어 고정 주소 %2 로 접속합니다")
                            .arg(address)
                      : Say("patch server '%1' not found; trying the fixed address %2",
                            "패치 서버 '%1' 를 찾을 수 없어 고정 주소 %2 로 접속합니다")
                            .arg(host, address));
    });
    QObject::connect(&engine, &CUpdateSession::fileStarted,
                     [&](quint64 nIndex, quint64 nCount, const QString& name, quint64 size) {
                         view.FileStarted(nIndex, nCount, name, size);
                     });
    QObject::connect(&engine, &CUpdateSession::fileDone,
                     [&](quint64 nIndex, quint64 nCount, const QString& name, quint64 size) {
                         view.FileDone(nIndex, nCount, name, size);
                     });
    QObject::connect(&engine, &CUpdateSession::bytesCounted,
                     [&](quint64, quint64, quint64, quint64, quint64 allRecv, quint64 total) {
                         view.Bytes(allRecv, total, clock.elapsed());
                     });
    QObject::connect(&engine, &CUpdateSession::finished, [&](CUpdateSession::Outcome eOutcome) {
        using Outcome = CUpdateSession::Outcome;
        const QString name = CUpdateSession::OutcomeName(eOutcome);
        switch (eOutcome) {
        case Outcome::UpToDate:
        case Outcome::Updated:
            finish(0, name, QString());
            break;
        case Outcome::Unrecorded:
            // The files are in place, but the version is not what the store
            // says: the update is not complete until it is recorded.
            finish(1, name,
                   Say("the files are in place, but the patch server sent no game server; the installed version was "
                       "not recorded",
                       "파일은 모두 받았지만 패치 서버가 게임 서버를 알려 주지 않아 설치 버전을 기록하지 않았습니다"));
            break;
        case Outcome::Refused: {
            const RefusalWords why = WordsOf(engine.RefusalCause());
            finish(1, name,
                   Say("the release was refused: %1 (patch server %2:%3)", "릴리스를 거부했습니다: %1 (패치 서버 %2:%3)")
                       .arg(Say(why.english, why.korean), engine.Settings().szIP)
                       .arg(engine.Settings().nPort),
                   orvanta::terminal::EndCause{QString::fromLatin1(why.name), QString(), 0});
            break;
        }
        default:
            if (const auto& fault = engine.Fault()) {
                // The player's disk, not the servers: no patch server to name.
                const auto eLanguage =
                    orvanta::terminal::KoreanMessages() ? orvanta::Language::Korean : orvanta::Language::English;
                const std::u8string path = fault->path.u8string();
                finish(1, name,
                       Say("the update stopped: %1", "업데이트를 멈췄습니다: %1")
                           .arg(QString::fromStdString(orvanta::FaultText(*fault, eLanguage))),
                       orvanta::terminal::EndCause{
                           QString::fromLatin1(orvanta::FaultName(orvanta::KindOf(*fault))),
                           QString::fromUtf8(reinterpret_cast<const char*>(path.data()), qsizetype(path.size())),
                           fault->nNeeded});
                break;
            }
            finish(1, name,
                   Say("the update did not complete: %1 (patch server %2:%3)", "업데이트를 마치지 못했습니다: %1 (패치 서버 %2:%3)")
                       .arg(engine.StatusText(), engine.Settings().szIP)
                       .arg(engine.Settings().nPort));
            break;
        }
    });

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    QTimer signalPoll;
    QObject::connect(&signalPoll, &QTimer::timeout, [&] {
        if (const int nSignal = g_nSignal; nSignal != 0) {
            finish(128 + nSignal, QStringLiteral("interrupted"),
                   Say("interrupted; the next run resumes", "중단했습니다. 다음 실행에서 이어 받습니다"));
        }
    });
    signalPoll.start(100);

    QTimer::singleShot(0, &engine, [&] { engine.StartWith(settings); });
    const int nResult = QCoreApplication::exec();
    return nExit >= 0 ? nExit : nResult;
}
