#pragma once

#include <QString>

// The application object: makes sure one updater runs at a time, sets the
// look every dialog shares, and runs the launcher window modally for the
// whole life of the process.
class CUpdaterApp final {
public:
    CUpdaterApp(const char* programPath, const QString& commandLine);

    // Returns the process's exit status.
    int InitInstance();

private:
    const char* m_pszProgram;
    QString m_lpCmdLine;
};
