#pragma once

#include <QString>

// The publisher's constants, fixed at build time (see the CMake cache
// variables of the same names), and the names the game folder holds. The
// web site host can be moved for staging and for the demo through
// ORVANTA_WEB_HOST in the environment.
namespace orvanta {

inline constexpr const char* DEFAULT_PATCH_HOST = ORVANTA_DEFAULT_PATCH_HOST;
inline constexpr const char* FALLBACK_PATCH_ADDR = ORVANTA_FALLBACK_PATCH_ADDR;
inline constexpr const char* FALLBACK_GAME_ADDR = ORVANTA_FALLBACK_GAME_ADDR;
// The releases over HTTP(S) when the patch server announces none; empty:
// FTP only.
inline constexpr const char* HTTP_SOURCE_URL = ORVANTA_HTTP_SOURCE_URL;
inline constexpr int DEFAULT_PATCH_PORT = 7776;
inline constexpr int FALLBACK_GAME_PORT = 3333;

// Host of the maker's web site: the notice page and the homepage button.
QString WebSiteHost();
// "http://<web site host>/updater_notice/list.asp"
QString NoticePageUrl();

// "<client> -start -ip:<address> -port:<port>", built in one step: a "%1"
// in the address is the address, not a place for the port.
QString LaunchCommandLine(const QString& client, const QString& address, int port);

// File names in the game folder. Windows keeps the ".exe" of the shipped
// names; elsewhere the same names go without it.
#ifdef _WIN32
inline constexpr const char* UPDATER_FILE = "Updater.exe";
inline constexpr const char* NEW_UPDATER_FILE = "_Updater.exe";
inline constexpr const char* CLIENT_FILE = "Client.exe";
#else
inline constexpr const char* UPDATER_FILE = "Updater";
inline constexpr const char* NEW_UPDATER_FILE = "_Updater";
inline constexpr const char* CLIENT_FILE = "Client";
#endif
inline constexpr const char* OLD_UPDATER_FILE = "_tmp";

} // namespace orvanta
