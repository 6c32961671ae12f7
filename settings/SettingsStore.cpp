#include "settings/SettingsStore.h"

#include "patch/Cp949.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <cstring>
#include <limits>

namespace orvanta::settings {
namespace {

constexpr ValueSpec SCHEMA[] = {
    {CLIENT_PATH, Kind::Text, 256, 0, true},
    {IP, Kind::Text, 100, 0, true},
    {PORT, Kind::Number, 4, 7776, true},
    {CLIENT_VERSION, Kind::Number, 4, 0, true},
    {GRAPHIC, Kind::Number, 4, 1, true},
    {EAX, Kind::Number, 4, 1, true},
    // The download writes up to 255 bytes here, so they are read with the
    // size of their fields: a long folder keeps its resume point.
    {DOWN_FOLDER, Kind::Text, 256, 0, true},
    {DOWN_FILE, Kind::Text, 256, 0, true},
    {WHISPER, Kind::Number, 4, 1, true},
    {COMMUNITY, Kind::Number, 4, 1, true},
    {AUTO_HELP, Kind::Number, 4, 1, true},
    {PASSIVE, Kind::Number, 4, 0, false},
    // The release the resume mark belongs to. The game client does not
    // know it and leaves it alone.
    {DOWN_VERSION, Kind::Number, 4, 0, false},
    // How many FTP connections fetch files at once. Set by hand or by a
    // publisher's installer; a new store does without it and gets the default.
    {CONNECTIONS, Kind::Number, 4, 4, false},
};

// The size a text takes in the store of the shipped game: its CP949 bytes.
int StoredTextSize(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    bool bExact = false;
    const std::string cp949 = Utf8ToCp949(std::string_view(utf8.constData(), std::size_t(utf8.size())), &bExact);
    return bExact ? int(cp949.size()) : int(utf8.size());
}

bool CanOpenForReadWrite(const QString& path, bool bCreate)
{
#ifdef _WIN32
    // The registry key is judged once opened (CSettingsKey).
    Q_UNUSED(path);
    Q_UNUSED(bCreate);
    return true;
#else
    const QFileInfo info(path);
    if (!bCreate && !info.isFile())
        return false;
    if (bCreate && !QDir().mkpath(info.absolutePath()))
        return false;
    QFile file(path);
    return file.open(bCreate ? QIODevice::ReadWrite : (QIODevice::ReadWrite | QIODevice::ExistingOnly));
#endif
}

} // namespace

std::span<const ValueSpec> Schema()
{
    return SCHEMA;
}

const ValueSpec* FindValue(const char* name)
{
    for (const ValueSpec& spec : SCHEMA) {
        if (std::strcmp(spec.name, name) == 0)
            return &spec;
    }
    return nullptr;
}

QString StoreLocation()
{
#ifdef _WIN32
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\%1\\%2")
        .arg(QLatin1String(ORGANIZATION), QLatin1String(APPLICATION));
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/%1/%2.conf").arg(QLatin1String(ORGANIZATION), QLatin1String(APPLICATION));
#endif
}

CSettingsKey::CSettingsKey(Open how)
{
    const QString location = StoreLocation();
    if (!CanOpenForReadWrite(location, how == Open::Create))
        return;
#ifdef _WIN32
    // The registry's 32-bit view (WOW6432Node on 64-bit Windows): the game
    // client is a 32-bit program and reads its settings there, whatever
    // the updater's own build.
    auto pStore = std::make_unique<QSettings>(location, QSettings::Registry32Format);
    // A key that cannot be written (HKEY_LOCAL_MACHINE without the rights)
    // or, when not creating, does not exist yet, counts as not opened.
    if (!pStore->isWritable() || (how == Open::Existing && pStore->allKeys().isEmpty()))
        return;
#else
    auto pStore = std::make_unique<QSettings>(location, QSettings::NativeFormat);
#endif
    if (pStore->status() == QSettings::AccessError)
        return;
    m_pStore = std::move(pStore);
}

CSettingsKey::~CSettingsKey()
{
    if (m_pStore)
        m_pStore->sync();
}

std::optional<std::int32_t> CSettingsKey::ReadNumber(const char* name) const
{
    if (!m_pStore)
        return std::nullopt;
    const QVariant value = m_pStore->value(QLatin1String(name));
    if (!value.isValid())
        return std::nullopt;
    bool bOk = false;
    qlonglong n = 0;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        n = value.toLongLong(&bOk);
        break;
    case QMetaType::QString:
    case QMetaType::QByteArray:
        n = value.toString().trimmed().toLongLong(&bOk, 10);
        break;
    default:
        break;
    }
    if (!bOk || n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    // A 32-bit value stored unsigned (0xFFFFFFFF) reads back as its signed self.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
}

std::optional<QString> CSettingsKey::ReadText(const char* name) const
{
    if (!m_pStore)
        return std::nullopt;
    const QVariant value = m_pStore->value(QLatin1String(name));
    QString text;
    switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::Int:
    case QMetaType::LongLong:
        text = value.toString();
        break;
    case QMetaType::QStringList:
        // An unquoted text with commas in a hand-edited file.
        text = value.toStringList().join(QStringLiteral(", "));
        break;
    default:
        return std::nullopt;
    }
    const ValueSpec* pSpec = FindValue(name);
    const int nLimit = pSpec ? pSpec->readLimit : 256;
    if (StoredTextSize(text) + 1 > nLimit)
        return std::nullopt;
    return text;
}

void CSettingsKey::WriteNumber(const char* name, std::int32_t value)
{
    if (m_pStore)
        m_pStore->setValue(QLatin1String(name), value);
}

void CSettingsKey::WriteText(const char* name, const QString& value)
{
    if (m_pStore)
        m_pStore->setValue(QLatin1String(name), value);
}

std::optional<std::int32_t> ReadNumberValue(const char* name)
{
    CSettingsKey key(CSettingsKey::Open::Existing);
    return key.ReadNumber(name);
}

void WriteNumberValue(const char* name, std::int32_t value)
{
    CSettingsKey key(CSettingsKey::Open::Existing);
    key.WriteNumber(name, value);
}

void WriteTextValue(const char* name, const QString& value)
{
    CSettingsKey key(CSettingsKey::Open::Existing);
    key.WriteText(name, value);
}

} // namespace orvanta::settings
