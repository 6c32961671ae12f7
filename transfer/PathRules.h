#pragma once

#include "patch/Records.h"

#include <cstddef>
#include <optional>
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

// Why IsSafeEntry refuses an entry, so that the publisher's tools can say
// it: the first fault found, NONE when the entry is safe.
enum class EntryFault {
    NONE,
    CLIMBS,           // empty name, "." or "..", "/" in the name, ".." or a leading "//" in the folder
    FORBIDDEN_CHAR,   // \ : < > " | ? * or a control character
    TRAILING_DOT,     // a name or folder part ending in a dot or a blank
    DEVICE_NAME,      // CON, AUX, COM1, ... before the first dot
    FOLDER_TOO_LONG,  // the folder passes MAX_FOLDER_PATH in a typical game folder
    PATH_TOO_LONG,    // the file passes MAX_FILE_PATH in a typical game folder
    CASE_COLLISION,   // the same path as an earlier entry but for letter case
};
EntryFault EntryNameFault(std::string_view folder, std::string_view name);
// English, for the publisher: "a Windows device name (CON, AUX, ...)".
const char* DescribeEntryFault(EntryFault eFault);

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

// The same check, saying why: the entry, its fault, and for a case
// collision the earlier entry it meets.
struct EntryProblem {
    std::size_t nIndex = 0;
    EntryFault eFault = EntryFault::NONE;
    std::size_t nEarlier = 0;
};
std::optional<EntryProblem> FindEntryProblem(std::span<const FileEntry> entries,
                                             std::size_t gameFolderLength = TYPICAL_GAME_FOLDER.size());

// The most entries a list may hold. An updater drops a server that sends
// more, a signature file holds no more, and the publisher's tools refuse a
// release folder with more files.
inline constexpr std::size_t MAX_LIST_ENTRIES = 200000;

// What a release folder on the publisher's disk may hold, for the tools
// that sign and serve it. Names there are UTF-8; the wire's are CP949.

// The wire's form of one folder or file name: valid UTF-8 with an exact
// CP949 form that leaves room for the NUL in a field of nField bytes.
enum class WireTextFault { NONE, NOT_UTF8, NO_CP949, TOO_LONG };
WireTextFault ToWireText(std::string_view utf8, std::size_t nField, std::string* pCp949);
bool IsValidUtf8(std::string_view text);

// Files our tools and updaters leave while they work: a patch being
// written ("*.zpatch.tmp"), the signature file being replaced
// (".orvanta-release.sig.XXXXXX"), a download and its patch
// (".orvanta-<16 hex>.part", ".orvanta-<16 hex>.zpatch") and the record of a download in
// ranges (".ranges", and ".ranges-new" while it is rewritten). One left in a
// release folder is the trace of an interrupted run, never a file to ship.
bool IsTemporaryFileName(std::string_view name);

// Whether the first bytes of a file hold a PEM private key's header
// ("-----BEGIN ... PRIVATE KEY-----", any algorithm, encrypted or not).
bool LooksLikePrivateKey(std::string_view head);

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
