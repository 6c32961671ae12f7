#pragma once

#include "patch/Records.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// How a file entry of the patch server becomes a server path and a place in
// the game folder. Folders and names are the CP949 bytes of the wire, "/"
// separated; nothing here decodes them. CP949 never uses the bytes of "/",
// "\", ":" or "." inside a double-byte character, so the checks below can
// look at the raw bytes.
namespace orvanta {

// Whether an entry stays inside the game folder and can be held by Windows,
// whatever platform this runs on, so that a list behaves the same for every
// player. Refused: a name that is empty, "." or "..", or holds "/"; a ".."
// segment in the folder; a folder that starts with "//"; anywhere, a
// backslash or a colon (network paths, drive letters, alternate streams),
// one of <>"|?* or a control character; a name or folder segment that ends
// in a dot or a blank (Windows drops them, so two names would meet), or
// whose part before the first dot is a device name (CON, PRN, AUX, NUL,
// COM0-9, LPT0-9, COM and LPT with a superscript digit, CONIN$, CONOUT$, in
// any case). A folder with one leading "/" stays inside: the game folder is
// simply prepended to it. Empty and "." folder segments are harmless.
bool IsSafeEntry(std::string_view folder, std::string_view name);

// Windows' classic path limit, which the game client and most tools on a
// player's machine still live under: MAX_PATH (260) counts the terminator,
// and a folder must leave room for an 8.3 name in it (MAX_PATH - 12).
// Lengths are in UTF-16 units, which is what Windows counts: one per CP949
// character, single- or double-byte.
inline constexpr std::size_t MAX_FILE_PATH = 259;
inline constexpr std::size_t MAX_FOLDER_PATH = 247;

// The game folder that list lengths are judged against: where a 32-bit
// game installs by default on 64-bit Windows. A release is judged the same
// on every machine, the publisher's included.
inline constexpr std::string_view TYPICAL_GAME_FOLDER = "C:\\Program Files (x86)\\Orvanta Online\\";

// The index of the first entry of a list that must not be fetched, or
// std::string::npos when every entry may be. Beyond IsSafeEntry for each
// entry, refused are an entry whose path differs from an earlier one only
// in letter case (one file on Windows, two elsewhere; the very same path
// twice is one file everywhere and allowed), and an entry whose file or
// folder, joined to a game folder of gameFolderLength characters, passes
// the limits above.
std::size_t FindUnsafeEntry(std::span<const FileEntry> entries,
                            std::size_t gameFolderLength = TYPICAL_GAME_FOLDER.size());

// The folders to make for an entry, shallowest first: the prefix of the
// folder before each "/" after the first byte, then the whole folder. An
// empty folder gives one empty step (the game folder itself).
std::vector<std::string> FolderSteps(std::string_view folder);

// The server path of an entry: the folder, a "/" unless it already ends
// with one (an empty folder gives "/" + name), then the name.
std::string RemotePath(std::string_view folder, std::string_view name);

// The path part of an ftp:// URL for a server path, to be put after
// "ftp://host:port/". Every byte but the unreserved ones and "/" is
// percent-encoded; a leading "/" becomes "%2F", so the server sees the
// absolute path the patch server sent rather than one relative to the
// login folder.
std::string EncodeFtpUrlPath(std::string_view remotePath);

// Whether text can stand as the host of a URL: a name or dotted address
// (letters, digits, ".", "-", "_") or an IPv6 literal without brackets.
bool IsUrlHost(std::string_view host);

// "host", "host:port", "[v6]" or "[v6]:port". The port is 21 when none is
// given. Text that does not parse (a bad port, an unclosed bracket) comes
// back whole as the host with port 21, so that the login fails visibly.
struct HostPort {
    std::string host;
    int port = 21;
};
HostPort SplitHostPort(std::string_view text);

} // namespace orvanta
