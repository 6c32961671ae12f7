#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class QSettings;

// The settings store the updater shares with the game client: the registry
// key "SOFTWARE\Kelto Interactive, Inc.\Orvanta Online" under
// HKEY_LOCAL_MACHINE on Windows, elsewhere the file
// "$XDG_CONFIG_HOME/Kelto Interactive, Inc./Orvanta Online.conf".
namespace orvanta::settings {

inline constexpr const char ORGANIZATION[] = "Kelto Interactive, Inc.";
inline constexpr const char APPLICATION[] = "Orvanta Online";

enum class Kind { Number, Text };

// One value of the store. Every access in the program goes through this table.
struct ValueSpec {
    const char* name;
    Kind kind;
    int readLimit;          // bytes of the stored form, terminator included
    std::int32_t nDefault;  // numbers
    bool bCreatedByLoad;    // the load writes its default when it is unreadable
};

inline constexpr const char CLIENT_PATH[] = "ClientPath";
inline constexpr const char IP[] = "IP";
inline constexpr const char PORT[] = "PORT";
inline constexpr const char CLIENT_VERSION[] = "ClientVersion";
inline constexpr const char GRAPHIC[] = "Graphic";
inline constexpr const char EAX[] = "EAX";
inline constexpr const char DOWN_FOLDER[] = "DownFolder";
inline constexpr const char DOWN_FILE[] = "DownFile";
inline constexpr const char WHISPER[] = "Whisper";
inline constexpr const char COMMUNITY[] = "Community";
inline constexpr const char AUTO_HELP[] = "AutoHelp";
inline constexpr const char PASSIVE[] = "PASSIVE";
inline constexpr const char DOWN_VERSION[] = "DownVersion";
inline constexpr const char CONNECTIONS[] = "Connections";
inline constexpr const char MAX_RATE[] = "MaxRate";

// In the order the load reads and creates them; PASSIVE, DownVersion,
// Connections and MaxRate last, never created by the load.
std::span<const ValueSpec> Schema();
const ValueSpec* FindValue(const char* name);

// Where the store lives on this machine (a file path, or the registry path on Windows).
QString StoreLocation();
// On Windows the store is one key for the whole machine, so tests name a key
// of their own here (a full registry path; empty: the real key again).
// Elsewhere the store follows XDG_CONFIG_HOME and this is not needed.
void SetStoreLocationForTests(const QString& location);
// The file beside the store that holds the digests of the game folder's
// files (CDigestCache): "<store's folder>/Orvanta Online.digests", on
// Windows in the user's local application data.
QString DigestCacheLocation();

// One access to the store: it opens on construction and closes (flushing
// what it wrote) on destruction, so that the game client's changes are seen
// by the next access and ours by the client.
class CSettingsKey final {
public:
    enum class Open {
        Create,    // create the store when it is missing (the load)
        Existing,  // only an existing store; otherwise IsOpen() is false
    };

    explicit CSettingsKey(Open how);
    ~CSettingsKey();
    CSettingsKey(const CSettingsKey&) = delete;
    CSettingsKey& operator=(const CSettingsKey&) = delete;

    bool IsOpen() const { return m_pStore != nullptr; }

    // Nothing when the value is missing, does not fit its read limit, or is
    // not of its kind (a text where a number belongs).
    std::optional<std::int32_t> ReadNumber(const char* name) const;
    std::optional<QString> ReadText(const char* name) const;

    void WriteNumber(const char* name, std::int32_t value);
    void WriteText(const char* name, const QString& value);

private:
    void Write(const char* name, const QVariant& value);
    QVariant Value(const char* name) const;

    std::unique_ptr<QSettings> m_pStore;
#ifndef _WIN32
    // Outside Windows our writes are spliced into the file when the access
    // closes, so that the lines we do not own stay as they are; reads in
    // between see them.
    std::vector<std::pair<std::string, QVariant>> m_writes;
#endif
};

// The short accesses of the program, each one open-access-close. A store
// that cannot be opened makes them do nothing.
std::optional<std::int32_t> ReadNumberValue(const char* name);
void WriteNumberValue(const char* name, std::int32_t value);
void WriteTextValue(const char* name, const QString& value);

} // namespace orvanta::settings
