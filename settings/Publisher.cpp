#include "settings/Publisher.h"

#include <QtGlobal>

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

} // namespace orvanta
