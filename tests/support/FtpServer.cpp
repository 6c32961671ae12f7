#include "support/FtpServer.h"

#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <signal.h>
#endif

namespace testing_support {
namespace {

constexpr int START_TIMEOUT_MS = 10000;

// Stops every thread of the process and leaves its sockets open. Windows
// has no SIGSTOP: its threads are suspended one by one.
void SuspendProcess(qint64 nPid)
{
#ifdef _WIN32
    const HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = Thread32First(hSnapshot, &entry); bMore; bMore = Thread32Next(hSnapshot, &entry)) {
        if (qint64(entry.th32OwnerProcessID) != nPid)
            continue;
        if (const HANDLE hThread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
            SuspendThread(hThread);
            CloseHandle(hThread);
        }
    }
    CloseHandle(hSnapshot);
#else
    ::kill(pid_t(nPid), SIGSTOP);
#endif
}

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
    QStringList args{QStringLiteral(ORVANTA_SOURCE_DIR "/tests/support/ftpd.py"),
                     QStringLiteral("--root"), m_options.root,
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
        args << QStringLiteral("--log") << m_workDir.filePath(QStringLiteral("commands.log"));

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
}

void CFtpServer::Kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();  // SIGKILL (TerminateProcess) ends a stopped process too
        m_process.waitForFinished(ScaledMs(5000));
    }
}

void CFtpServer::Freeze()
{
    if (m_process.state() != QProcess::NotRunning)
        SuspendProcess(m_process.processId());
}

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
