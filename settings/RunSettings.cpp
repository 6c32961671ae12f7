#include "settings/RunSettings.h"

#include "settings/Publisher.h"
#include "patch/Cp949.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>

namespace orvanta::settings {
namespace {

QByteArray ToCp949(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    const std::string bytes = Utf8ToCp949(std::string_view(utf8.constData(), std::size_t(utf8.size())));
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

} // namespace

QString ProgramFolder()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
}

QString WithTrailingSeparator(const QString& folder)
{
    if (folder.isEmpty() || folder.endsWith(QLatin1Char('/')) || folder.endsWith(QDir::separator()))
        return folder;
    return folder + QDir::separator();
}

RunSettings LoadSettings(const QString& commandLineHost)
{
    RunSettings run;
    CSettingsKey key(CSettingsKey::Open::Create);
    if (!key.IsOpen())
        return run;
    run.bStoreOpen = true;

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

    // The stored folder is kept as the game client wrote it.
    run.szClientPath = WithTrailingSeparator(readText(CLIENT_PATH, ProgramFolder()));
    run.szIP = readText(IP, QString::fromLatin1(DEFAULT_PATCH_HOST));

    // One longer than the host field could ever hold is not cut into a
    // wrong name: it is ignored.
    if (!commandLineHost.isEmpty() && ToCp949(commandLineHost).size() + 1 <= FindValue(IP)->readLimit)
        run.szIP = commandLineHost;

    run.nPort = readNumber(PORT);
    run.nClientVersion = readNumber(CLIENT_VERSION);
    readNumber(GRAPHIC);
    readNumber(EAX);
    run.szDownFolder = ToCp949(readText(DOWN_FOLDER, QString()));
    run.szDownFile = ToCp949(readText(DOWN_FILE, QString()));
    readNumber(WHISPER);
    readNumber(COMMUNITY);
    readNumber(AUTO_HELP);
    run.nDownVersion = key.ReadNumber(DOWN_VERSION);
    const std::int32_t nConnections = key.ReadNumber(CONNECTIONS).value_or(FindValue(CONNECTIONS)->nDefault);
    run.nConnections = std::clamp<std::int32_t>(nConnections, 1, MAX_CONNECTIONS);
    run.bPassive = key.ReadNumber(PASSIVE).value_or(0) != 0;
    run.nMaxRate = std::uint64_t(std::max<std::int32_t>(0, key.ReadNumber(MAX_RATE).value_or(0))) * 1024;
    return run;
}

} // namespace orvanta::settings
