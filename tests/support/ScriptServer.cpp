#include "support/ScriptServer.h"

#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace testing_support {
namespace {

constexpr int START_TIMEOUT_MS = 10000;

} // namespace

CScriptServer::~CScriptServer()
{
    Kill();
}

#ifdef _WIN32
std::optional<QString> CScriptServer::LinuxPath(const QString& path)
{
    // Wine's own export, looked up at run time so that the tests still load
    // on Windows itself (where no server starts).
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

QString CScriptServer::ScriptWorkFile(const QString& name) const
{
    return LinuxPath(m_workDir.path()).value_or(QString()) + QLatin1Char('/') + name;
}

bool CScriptServer::Start(const QString& script, QStringList args)
{
    const auto work = LinuxPath(m_workDir.path());
    if (!work)
        return false;
    // Wine passes a Linux program no pipes and gives no handle to it; the
    // standard handles it would inherit, the test loses.
    args.prepend(QStringLiteral(ORVANTA_SOURCE_DIR "/tests/support/") + script);
    args << QStringLiteral("--control") << *work;
    m_process.setProgram(QStringLiteral("Z:\\usr\\bin\\python3"));
    m_process.setArguments(args);
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(WorkFile(QStringLiteral("stderr.log")));
    if (!m_process.startDetached())
        return false;
    m_bRunning = true;
    QFile port(WorkFile(QStringLiteral("port")));
    if (WaitFor([&port] { return port.exists(); }, ScaledMs(START_TIMEOUT_MS)) && port.open(QIODevice::ReadOnly))
        m_nPort = port.readAll().trimmed().toInt();
    if (m_nPort <= 0) {
        QFile error(WorkFile(QStringLiteral("stderr.log")));
        ADD_FAILURE() << script.toStdString() << " did not start: "
                      << (error.open(QIODevice::ReadOnly) ? error.readAll().toStdString() : std::string());
    }
    return m_nPort > 0;
}

bool CScriptServer::Ask(const char* request, const char* answer) const
{
    if (!m_bRunning)
        return false;
    QFile(WorkFile(QLatin1String(request))).open(QIODevice::WriteOnly);
    return WaitFor([this, answer] { return QFile::exists(WorkFile(QLatin1String(answer))); }, ScaledMs(5000));
}

void CScriptServer::Kill()
{
    if (Ask("kill", "ended"))
        m_bRunning = false;
}

void CScriptServer::Freeze()
{
    Ask("freeze", "frozen");
}
#else
std::optional<QString> CScriptServer::LinuxPath(const QString& path)
{
    return path;
}

QString CScriptServer::ScriptWorkFile(const QString& name) const
{
    return WorkFile(name);
}

bool CScriptServer::Start(const QString& script, QStringList args)
{
    args.prepend(QStringLiteral(ORVANTA_SOURCE_DIR "/tests/support/") + script);
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

void CScriptServer::Kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();  // SIGKILL ends a stopped process too
        m_process.waitForFinished(ScaledMs(5000));
    }
}

void CScriptServer::Freeze()
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(pid_t(m_process.processId()), SIGSTOP);
}
#endif

} // namespace testing_support
