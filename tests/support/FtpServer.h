#pragma once

#include "support/ScriptServer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace testing_support {

// How the server behaves.
struct FtpServerOptions {
    QString root;  // folder served as "/"; a fresh temporary one when empty
    QString user = QStringLiteral("updater");
    QString password = QStringLiteral("secret");
    qint64 nThrottle = 0;     // bytes per second on data connections, 0 = unlimited
    qint64 nRatePerConnection = 0;  // bytes per second on each data connection on its own
    qint64 nStallAfter = -1;  // stop sending a file after this many bytes
    qint64 nDropAfter = -1;   // close the data connection after this many bytes
    int nRefuse = 0;          // refuse the first N control connections
    int nMaxConnections = 0;  // refuse control connections past N at once, 0 = no limit
    qint64 nShort = 0;        // send this many bytes fewer than the file has
    qint64 nExtra = 0;        // send this many bytes more than the file has
    QString match;            // the data knobs apply only to paths containing this
    bool bActiveOnly = false;  // ... and only to active-mode (PORT) data connections
    bool bLog = true;         // keep a command log
};

// A real FTP server on a loopback port of its own choosing: pyftpdlib run
// by tests/support/ftpd.py, serving one folder to one user, with knobs for
// the ways a server misbehaves. Stopped (killed) when destroyed.
class CFtpServer final {
public:
    using Options = FtpServerOptions;

    explicit CFtpServer(Options options = Options());
    CFtpServer(const CFtpServer&) = delete;
    CFtpServer& operator=(const CFtpServer&) = delete;

    // Starts the server and waits until it listens. False when it did not.
    bool Start();
    void Kill() { m_server.Kill(); }  // at once, as a crash or a pulled cable would end it
    void Freeze() { m_server.Freeze(); }  // the process stops answering, its sockets stay open

    int Port() const { return m_server.Port(); }
    QString Root() const { return m_options.root; }
    QString HostText() const;  // "127.0.0.1:<port>", as the patch server names an FTP host
    const Options& GetOptions() const { return m_options; }

    // Writes a file under the root; relative is a UTF-8 path with "/".
    bool AddFile(const QString& relative, const QByteArray& contents) const;

    // Every command the server received, one line each ("RETR a/b.bin"),
    // plus "CONNECT", "REFUSED" (also for one past nMaxConnections) and
    // "DROP" events.
    QStringList Log() const;
    int Count(const QString& prefix) const;

private:
    Options m_options;
    std::unique_ptr<QTemporaryDir> m_pRootDir;
    CScriptServer m_server;
};

} // namespace testing_support
