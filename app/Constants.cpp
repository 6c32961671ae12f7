#include "app/Constants.h"

#include <QtGlobal>

#include <algorithm>

namespace orvanta {

FtpTimeouts FtpTimeoutsOf(int nSeconds)
{
    FtpTimeouts timeouts;
    timeouts.nResponseS = nSeconds;
    timeouts.nStallS = nSeconds;
    timeouts.nConnectMs = std::min<long>(timeouts.nConnectMs, nSeconds * 1000L);
    timeouts.nAcceptMs = std::min<long>(timeouts.nAcceptMs, nSeconds * 1000L);
    return timeouts;
}

std::optional<FtpTimeouts> FtpTimeoutsFromEnvironment()
{
    bool bOk = false;
    const int nSeconds = qEnvironmentVariableIntValue("ORVANTA_FTP_TIMEOUT", &bOk);
    if (!bOk || nSeconds < 1 || nSeconds > 3600)
        return std::nullopt;
    return FtpTimeoutsOf(nSeconds);
}

} // namespace orvanta
