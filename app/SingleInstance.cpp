#include "app/SingleInstance.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace orvanta {

bool AnotherInstanceRuns(const char* name)
{
#ifdef _WIN32
    // The named mutex "Orvanta Updater" in the session's namespace, created
    // owned. The handle is kept until the process ends; Windows then closes
    // it and the mutex goes with it, however the process ended, so a later
    // start is free again.
    CreateMutexA(nullptr, TRUE, name);
    return GetLastError() == ERROR_ALREADY_EXISTS;
#else
    // A lock on a file in the user's runtime folder; the kernel drops it
    // when the process dies, however it dies.
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::tempPath();
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(QString::fromUtf8(name) + QStringLiteral(".lock")));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return false;  // ours now; fd stays open on purpose
    const bool bHeld = errno == EWOULDBLOCK;
    ::close(fd);
    return bHeld;
#endif
}

} // namespace orvanta
