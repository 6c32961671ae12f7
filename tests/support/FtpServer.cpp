#include "support/FtpServer.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testing_support {

CFtpServer::CFtpServer(Options options) : m_options(std::move(options))
{
    if (m_options.root.isEmpty()) {
        m_pRootDir = std::make_unique<QTemporaryDir>();
        m_options.root = m_pRootDir->path();
    }
}

bool CFtpServer::Start()
{
    const auto root = CScriptServer::LinuxPath(m_options.root);
    if (!root)
        return false;
    QStringList args{QStringLiteral("--root"), *root,
                     QStringLiteral("--user"), m_options.user,
                     QStringLiteral("--password"), m_options.password};
    const auto add = [&args](const char* name, qint64 value) {
        args << QString::fromLatin1(name) << QString::number(value);
    };
    if (m_options.nThrottle > 0)
        add("--throttle", m_options.nThrottle);
    if (m_options.nRatePerConnection > 0)
        add("--rate-per-connection", m_options.nRatePerConnection);
    if (m_options.nStallAfter >= 0)
        add("--stall-after", m_options.nStallAfter);
    if (m_options.nDropAfter >= 0)
        add("--drop-after", m_options.nDropAfter);
    if (m_options.nRefuse > 0)
        add("--refuse", m_options.nRefuse);
    if (m_options.nMaxConnections > 0)
        add("--max-cons", m_options.nMaxConnections);
    if (m_options.nShort > 0)
        add("--short", m_options.nShort);
    if (m_options.nExtra > 0)
        add("--extra", m_options.nExtra);
    if (!m_options.match.isEmpty())
        args << QStringLiteral("--match") << m_options.match;
    if (m_options.bActiveOnly)
        args << QStringLiteral("--active-only");
    if (m_options.bLog)
        args << QStringLiteral("--log") << m_server.ScriptWorkFile(QStringLiteral("commands.log"));
    return m_server.Start(QStringLiteral("ftpd.py"), args);
}

QString CFtpServer::HostText() const
{
    return QStringLiteral("127.0.0.1:%1").arg(Port());
}

bool CFtpServer::AddFile(const QString& relative, const QByteArray& contents) const
{
    const QString path = m_options.root + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

QStringList CFtpServer::Log() const
{
    QFile file(m_server.WorkFile(QStringLiteral("commands.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int CFtpServer::Count(const QString& prefix) const
{
    int n = 0;
    const QStringList lines = Log();
    for (const QString& line : lines) {
        if (line.startsWith(prefix))
            ++n;
    }
    return n;
}

} // namespace testing_support
