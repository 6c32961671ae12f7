#pragma once

#include <QString>

// The few calls that differ between Windows and the other desktops.
namespace orvanta {

// Starts a program from a command line ("Client -start -ip:... -port:..."),
// detached, so it outlives the updater. The program is looked up in the
// working directory first. Returns whether it started. On Windows the text
// after the program's name reaches it untouched, as one command line
// (CreateProcess through QProcess's native arguments).
bool StartDetachedCommandLine(const QString& commandLine, const QString& workingDir);

// Opens a bare host name ("www.example.com") in the desktop's browser; on
// Windows through the shell (ShellExecute on the http:// address).
bool OpenWebSite(const QString& host);

// The running program's own file name without folder and extension:
// the caption of the application's message boxes.
QString ApplicationTitle();

} // namespace orvanta
