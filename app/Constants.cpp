#include "app/Constants.h"

#include <QtGlobal>

#include <algorithm>

namespace orvanta {

QString WebSiteHost()
{
    const QString fromEnv = qEnvironmentVariable("ORVANTA_WEB_HOST");
    return fromEnv.isEmpty() ? QString::fromLatin1(ORVANTA_WEB_HOST) : fromEnv;
}

QString NoticePageUrl()
{
    return QStringLiteral("http://%1/updater_notice/list.asp").arg(WebSiteHost());
}

QString LaunchCommandLine(const QString& client, const QString& address, int port)
{
    return client + QStringLiteral(" -start -ip:") + address + QStringLiteral(" -port:") + QString::number(port);
}

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
