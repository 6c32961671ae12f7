#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

namespace testing_support {

// A server script of tests/support (ftpd.py, httpd.py) run by the Linux
// python3 on a loopback port it picks itself; killed when destroyed. A
// Windows test reaches it under Wine only, through files in the work
// folder (see owner.py).
class CScriptServer final {
public:
    CScriptServer() = default;
    ~CScriptServer();
    CScriptServer(const CScriptServer&) = delete;
    CScriptServer& operator=(const CScriptServer&) = delete;

    // script is a file name in tests/support. False when it did not listen.
    bool Start(const QString& script, QStringList args);
    void Kill();    // at once, as a crash or a pulled cable would end it
    void Freeze();  // the process stops answering, its sockets stay open
    int Port() const { return m_nPort; }

    // A file of the work folder, for the test to read, and as the script
    // names it in its arguments.
    QString WorkFile(const QString& name) const { return m_workDir.filePath(name); }
    QString ScriptWorkFile(const QString& name) const;

    // A path of the test's as the Linux side names it (a drive of Wine's
    // under Windows); none where it has no such name.
    static std::optional<QString> LinuxPath(const QString& path);

private:
#ifdef _WIN32
    bool Ask(const char* request, const char* answer) const;
    bool m_bRunning = false;
#endif
    QTemporaryDir m_workDir;
    QProcess m_process;
    int m_nPort = 0;
};

} // namespace testing_support
