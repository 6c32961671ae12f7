#include "transfer/SelfUpdate.h"

#include "settings/Publisher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Whether the file is there and nobody else holds it. On Windows: opened
// for reading with no sharing at all, so a file that another program still
// has open (a copy in progress, a virus scanner) counts as absent, as does
// a folder. Elsewhere nothing holds files that way, so a readable regular
// file passes.
bool ProbeFile(const QString& path)
{
#ifdef _WIN32
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const HANDLE hFile =
        CreateFileW(native.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(hFile);
    return true;
#else
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
#endif
}

// Windows refuses to delete a read-only file, and a read-only Updater.exe
// (a folder copied from a disc) becomes a read-only _tmp when moved aside:
// left there, it would block every later swap.
void RemoveFile(const QString& path)
{
    QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner);
    QFile::remove(path);
}

} // namespace

bool SwapUpdater(const QString& folder)
{
    const QDir dir(folder);
    const QString running = dir.filePath(QString::fromLatin1(orvanta::UPDATER_FILE));
    const QString incoming = dir.filePath(QString::fromLatin1(orvanta::NEW_UPDATER_FILE));
    const QString previous = dir.filePath(QString::fromLatin1(orvanta::OLD_UPDATER_FILE));

    if (ProbeFile(previous))
        RemoveFile(previous);
    if (!ProbeFile(incoming))
        return false;

    // The running program is moved aside rather than overwritten: a running
    // file can be renamed where it cannot be written, and a rename loses
    // nothing when it fails. Windows renames a running .exe but refuses to
    // delete it, so the moved-aside _tmp stays until the next launch's swap
    // removes it, when this process is long gone.
    const bool bHadRunning = QFileInfo::exists(running);
    QFile::Permissions perms = QFile::permissions(running);
    if (!bHadRunning)
        perms = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    if (bHadRunning) {
        RemoveFile(previous);
        if (!QFile::rename(running, previous))
            return false;
    }
    if (!QFile::rename(incoming, running)) {
        if (bHadRunning)
            QFile::rename(previous, running);
        return false;
    }
    QFile::setPermissions(running, perms | QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return true;
}
