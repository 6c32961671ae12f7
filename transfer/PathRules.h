#pragma once

#include <string>
#include <string_view>
#include <vector>

// How a file entry of the patch server becomes a server path and a place in
// the game folder. Folders and names are the CP949 bytes of the wire, "/"
// separated; nothing here decodes them. CP949 never uses the bytes of "/",
// "\", ":" or "." inside a double-byte character, so the checks below can
// look at the raw bytes.
namespace orvanta {

// Whether an entry stays inside the game folder. Refused: a name that is
// empty, "." or "..", or holds "/"; a ".." segment in the folder; a
// backslash or a colon anywhere (network paths, drive letters, alternate
// streams); a folder that starts with "//". A folder with one leading "/"
// stays inside: the game folder is simply prepended to it.
bool IsSafeEntry(std::string_view folder, std::string_view name);

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
