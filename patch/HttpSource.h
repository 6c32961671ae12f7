#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Where a release may also be fetched over HTTP(S): a web server or a
// content network holding one folder per version under a base URL,
//
//     <base>/<version>/<folder>/<name>
//     <base>/<version>/.orvanta-release.sig
//
// with the names in UTF-8, percent-encoded. A version's folder never
// changes once published, so caches may keep it for good; a rollout is
// the patch server announcing the next version. The transport carries no
// trust: a build with a release key verifies the signed list whatever
// served it, and the FTP server of frame 14 stays the way back.
namespace orvanta {

// The base URL, checked and ending with '/': http or https, a host, and
// nothing a request line or a log could be fooled by (controls, blanks,
// quotes, a fragment, a query, credentials). Nothing when it is not one.
std::optional<std::string> HttpSourceBase(std::string_view url);

// The URL of a file of the release: the base, the version's folder, and the
// folder and name (UTF-8, '/'-separated) percent-encoded per segment.
std::string HttpSourceUrl(std::string_view base, std::int32_t nVersion, std::string_view folder,
                          std::string_view name);

} // namespace orvanta
