#include "settings/SettingsStore.h"

#include "patch/Cp949.h"
#include "settings/IniText.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
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
    // The most the updater may take of the player's line, in KiB per
    // second over all its connections; 0 or none: no limit.
    {MAX_RATE, Kind::Number, 4, 0, false},
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

#ifndef _WIN32
// Sets our values in the store file and leaves every other line as it was
// (see IniText.h). The lock is the one QSettings takes, so another Qt
// program's write does not interleave with ours.
void SpliceIntoFile(const QString& path, const std::vector<std::pair<std::string, QVariant>>& writes)
{
    std::vector<std::pair<std::string, std::string>> lines;
    lines.reserve(writes.size());
    for (const auto& [name, value] : writes) {
        const QByteArray utf8 = value.toString().toUtf8();
        const bool bNumber = value.typeId() == QMetaType::Int;
        lines.emplace_back(name, bNumber ? utf8.toStdString()
                                         : IniTextValue(std::string_view(utf8.constData(), std::size_t(utf8.size()))));
    }
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(10000);
    if (!lock.tryLock(2000))
        return;
    QByteArray text;
    QFile current(path);
    if (current.open(QIODevice::ReadOnly))
        text = current.readAll();
    const QDateTime before = current.fileTime(QFileDevice::FileModificationTime);
    current.close();
    const std::string spliced = SpliceIniValues(std::string_view(text.constData(), std::size_t(text.size())), lines);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(spliced.data(), qint64(spliced.size()));
    if (!file.commit())
        return;
    // QSettings in this process rereads the file only when its size or its
    // time (in milliseconds) changed: two writes of one size within a
    // millisecond must still differ.
    QFile written(path);
    if (before.isValid() && written.open(QIODevice::Append) &&
        written.fileTime(QFileDevice::FileModificationTime) <= before)
        written.setFileTime(before.addMSecs(1), QFileDevice::FileModificationTime);
}
#endif

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

namespace {
QString& TestStoreLocation()
{
    static QString location;
    return location;
}
} // namespace

void SetStoreLocationForTests(const QString& location)
{
    TestStoreLocation() = location;
}

QString StoreLocation()
{
#ifdef _WIN32
    if (!TestStoreLocation().isEmpty())
        return TestStoreLocation();
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\%1\\%2")
        .arg(QLatin1String(ORGANIZATION), QLatin1String(APPLICATION));
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/%1/%2.conf").arg(QLatin1String(ORGANIZATION), QLatin1String(APPLICATION));
#endif
}

QString DigestCacheLocation()
{
#ifdef _WIN32
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/%1/%2.digests").arg(QLatin1String(ORGANIZATION), QLatin1String(APPLICATION));
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/%1/%2.digests").arg(QLatin1String(ORGANIZATION), QLatin1String(APPLICATION));
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
    if (!m_pStore)
        return;
#ifdef _WIN32
    m_pStore->sync();
#else
    if (!m_writes.empty())
        SpliceIntoFile(m_pStore->fileName(), m_writes);
#endif
}

void CSettingsKey::Write(const char* name, const QVariant& value)
{
    if (!m_pStore)
        return;
#ifdef _WIN32
    m_pStore->setValue(QLatin1String(name), value);
#else
    for (auto& [written, pending] : m_writes) {
        if (written == name) {
            pending = value;
            return;
        }
    }
    m_writes.emplace_back(name, value);
#endif
}

QVariant CSettingsKey::Value(const char* name) const
{
#ifndef _WIN32
    for (const auto& [written, value] : m_writes) {
        if (written == name)
            return value;
    }
#endif
    return m_pStore->value(QLatin1String(name));
}

std::optional<std::int32_t> CSettingsKey::ReadNumber(const char* name) const
{
    if (!m_pStore)
        return std::nullopt;
    const QVariant value = Value(name);
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
    const QVariant value = Value(name);
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
    Write(name, value);
}

void CSettingsKey::WriteText(const char* name, const QString& value)
{
    Write(name, value);
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
