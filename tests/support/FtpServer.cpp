#include "support/FtpServer.h"

#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace testing_support {
namespace {

constexpr int START_TIMEOUT_MS = 10000;

#ifdef _WIN32
// The server is a Linux program: a Windows test reaches it only under Wine,
// whose kernel32 names a path of its drives on the Linux side. Looked up
// at run time, so that the test still loads on Windows itself (and says the
// server did not start).
std::optional<QString> LinuxPath(const QString& path)
{
    using Convert = char*(__cdecl*)(const wchar_t*);
    static const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert)
        return std::nullopt;
    char* pName = convert(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()));
    if (!pName)
        return std::nullopt;
    const QString name = QString::fromUtf8(pName);
    HeapFree(GetProcessHeap(), 0, pName);
    return name;
}
#endif

} // namespace

CFtpServer::CFtpServer(Options options) : m_options(std::move(options))
{
    if (m_options.root.isEmpty()) {
        m_pRootDir = std::make_unique<QTemporaryDir>();
        m_options.root = m_pRootDir->path();
    }
}

CFtpServer::~CFtpServer()
{
    Kill();
}

bool CFtpServer::Start()
{
#ifdef _WIN32
    const auto root = LinuxPath(m_options.root);
    const auto work = LinuxPath(m_workDir.path());
    if (!root || !work)
        return false;
#else
    const std::optional<QString> root = m_options.root;
    const std::optional<QString> work = m_workDir.path();
#endif
    QStringList args{QStringLiteral(ORVANTA_SOURCE_DIR "/tests/support/ftpd.py"),
                     QStringLiteral("--root"), *root,
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
        args << QStringLiteral("--log") << *work + QStringLiteral("/commands.log");

#ifdef _WIN32
    // Wine gives no handle to a Linux program and passes it no pipes: the
    // server is driven through files in the work folder (ftpd.py's watch()).
    // Its standard handles are its own: those it inherits the test loses.
    args << QStringLiteral("--control") << *work;
    m_process.setProgram(QStringLiteral("Z:\\usr\\bin\\python3"));
    m_process.setArguments(args);
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(m_workDir.filePath(QStringLiteral("stderr.log")));
    if (!m_process.startDetached())
        return false;
    m_bRunning = true;
    QFile port(m_workDir.filePath(QStringLiteral("port")));
    if (WaitFor([&port] { return port.exists(); }, ScaledMs(START_TIMEOUT_MS)) && port.open(QIODevice::ReadOnly))
        m_nPort = port.readAll().trimmed().toInt();
    if (m_nPort <= 0) {
        QFile error(m_workDir.filePath(QStringLiteral("stderr.log")));
        qWarning("ftpd.py did not start: %s", error.open(QIODevice::ReadOnly) ? error.readAll().constData() : "");
    }
    return m_nPort > 0;
#else
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!m_process.waitForStarted(ScaledMs(START_TIMEOUT_MS)))
        return false;
    QByteArray output;
    const QDeadlineTimer deadline(ScaledMs(START_TIMEOUT_MS));
    while (!deadline.hasExpired()) {
        if (!m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        output += m_process.readAllStandardOutput();
        const qsizetype nEnd = output.indexOf('\n');
        if (nEnd >= 0 && output.startsWith("PORT ")) {
            m_nPort = output.mid(5, nEnd - 5).trimmed().toInt();
            return m_nPort > 0;
        }
    }
    return false;
#endif
}

#ifdef _WIN32
bool CFtpServer::Ask(const char* request, const char* answer)
{
    if (!m_bRunning)
        return false;
    QFile(m_workDir.filePath(QLatin1String(request))).open(QIODevice::WriteOnly);
    return WaitFor([this, answer] { return QFile::exists(m_workDir.filePath(QLatin1String(answer))); },
                   ScaledMs(5000));
}

void CFtpServer::Kill()
{
    if (Ask("kill", "killed"))
        m_bRunning = false;
}

void CFtpServer::Freeze()
{
    Ask("freeze", "frozen");
}
#else
void CFtpServer::Kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();  // SIGKILL ends a stopped process too
        m_process.waitForFinished(ScaledMs(5000));
    }
}

void CFtpServer::Freeze()
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(pid_t(m_process.processId()), SIGSTOP);  // its sockets stay open
}
#endif

QString CFtpServer::HostText() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_nPort);
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
    QFile file(m_workDir.filePath(QStringLiteral("commands.log")));
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
