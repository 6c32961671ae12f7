#pragma once

#include "settings/Publisher.h"
#include "transfer/FtpSession.h"

#include <optional>

// What the front-ends set up from their command line and environment.
namespace orvanta {

// The FTP waits when a server may stay silent, or a transfer stall, for
// nSeconds before its connection counts as broken (connecting and the
// server's connect-back stay within their own, shorter bounds).
FtpTimeouts FtpTimeoutsOf(int nSeconds);
// The waits ORVANTA_FTP_TIMEOUT in the environment asks for (seconds, 1 to
// 3600), for test rigs and staging; none when unset or not such a number.
std::optional<FtpTimeouts> FtpTimeoutsFromEnvironment();

} // namespace orvanta
