#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace orvanta::settings {

// The settings of one update run, read once from the store.
struct RunSettings {
    bool bStoreOpen = false;          // false: the store could not be opened; nothing below was read
    QString szClientPath;             // game folder, always ending with a separator
    QString szIP;                     // patch-server host for this run
    std::int32_t nPort = 0;
    std::int32_t nClientVersion = 0;  // installed client version
    QByteArray szDownFolder;          // resume mark as the server spelt it (CP949)
    QByteArray szDownFile;
    std::optional<std::int32_t> nDownVersion;  // the release the mark belongs to
    int nConnections = 1;             // FTP connections fetching at once, 1 to MAX_CONNECTIONS
    bool bPassive = false;            // FTP data connections in passive mode (PASSIVE)
    std::uint64_t nMaxRate = 0;       // bytes per second over all connections (MaxRate); 0: no limit
    // The installed version and the resume mark are the stored game
    // folder's. A run on another folder (orvanta-update --folder) neither
    // uses nor writes them.
    bool bStoreFolder = true;
};

inline constexpr int MAX_CONNECTIONS = 16;

// Reads the run's settings, writing the default of every value the store
// lacks (the game client expects them all). commandLineHost, when not empty
// and short enough for the host field, replaces the stored host for this
// run only.
RunSettings LoadSettings(const QString& commandLineHost);

// The folder of the running program, with a trailing separator: the game
// folder a new store starts with.
QString ProgramFolder();

// A game folder as stored, made to end with a separator: joined with an
// entry's path it must name a place inside the folder, not beside it.
QString WithTrailingSeparator(const QString& folder);

} // namespace orvanta::settings
