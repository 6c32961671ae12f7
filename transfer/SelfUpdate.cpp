#include "transfer/SelfUpdate.h"

#include "app/Constants.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Whether nobody else holds the file: on Windows the exclusive probe of the
// shipped updater; elsewhere nothing holds files that way, so a readable
// regular file passes.
bool ProbeFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

} // namespace

bool SwapUpdater(const QString& folder)
{
    const QDir dir(folder);
    const QString running = dir.filePath(QString::fromLatin1(orvanta::UPDATER_FILE));
    const QString incoming = dir.filePath(QString::fromLatin1(orvanta::NEW_UPDATER_FILE));
    const QString previous = dir.filePath(QString::fromLatin1(orvanta::OLD_UPDATER_FILE));

    if (ProbeFile(previous))
        QFile::remove(previous);
    if (!ProbeFile(incoming))
        return false;

    // The running program is moved aside rather than overwritten: a running
    // file can be renamed where it cannot be written, and a rename loses
    // nothing when it fails.
    const bool bHadRunning = QFileInfo::exists(running);
    QFile::Permissions perms = QFile::permissions(running);
    if (!bHadRunning)
        perms = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    if (bHadRunning) {
        QFile::remove(previous);
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
