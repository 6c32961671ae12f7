// CUpdaterDlg::LoadSettings: the settings of one run.
#include "ui/UpdaterDlg.h"

#include "app/CommandLine.h"
#include "app/Constants.h"
#include "patch/Cp949.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>

namespace {

QByteArray ToCp949(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    const std::string bytes = orvanta::Utf8ToCp949(std::string_view(utf8.constData(), std::size_t(utf8.size())));
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

QString ProgramFolder()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
}

} // namespace

void CUpdaterDlg::LoadSettings()
{
    using namespace orvanta::settings;

    CSettingsKey key(CSettingsKey::Open::Create);
    if (!key.IsOpen()) {
        // The session still connects, to nothing: that fails visibly.
        m_szIP.clear();
        m_nPort = 0;
        SetStatusText(QStringLiteral("레지스트리를 읽을수 없습니다."));
        return;
    }

    const auto readText = [&key](const char* name, const QString& fallback) {
        if (const auto value = key.ReadText(name))
            return *value;
        key.WriteText(name, fallback);
        return fallback;
    };
    const auto readNumber = [&key](const char* name) {
        if (const auto value = key.ReadNumber(name))
            return *value;
        const std::int32_t nDefault = FindValue(name)->nDefault;
        key.WriteNumber(name, nDefault);
        return nDefault;
    };

    m_szClientPath = readText(CLIENT_PATH, ProgramFolder());
    m_szIP = readText(IP, QString::fromLatin1(orvanta::DEFAULT_PATCH_HOST));

    // The command line names the host for this run only. One longer than the
    // host field could ever hold is not cut into a wrong name: it is ignored.
    const QString commandLine = orvanta::CommandLineText();
    if (!commandLine.isEmpty() && ToCp949(commandLine).size() + 1 <= FindValue(IP)->readLimit)
        m_szIP = commandLine;

    m_nPort = readNumber(PORT);
    m_nClientVersion = readNumber(CLIENT_VERSION);
    readNumber(GRAPHIC);
    readNumber(EAX);
    m_szDownFolder = ToCp949(readText(DOWN_FOLDER, QString()));
    m_szDownFile = ToCp949(readText(DOWN_FILE, QString()));
    readNumber(WHISPER);
    readNumber(COMMUNITY);
    readNumber(AUTO_HELP);
}
