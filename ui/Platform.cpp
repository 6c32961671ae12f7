#include "ui/Platform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

namespace orvanta {

bool StartDetachedCommandLine(const QString& commandLine, const QString& workingDir)
{
#ifdef _WIN32
    // Windows hands the whole line to the program, as it always did.
    QProcess process;
    const int nSpace = commandLine.indexOf(QLatin1Char(' '));
    const QString program = nSpace < 0 ? commandLine : commandLine.left(nSpace);
    QString path = QDir(workingDir).filePath(program);
    if (!QFileInfo::exists(path))
        path = program;
    process.setProgram(path);
    process.setNativeArguments(nSpace < 0 ? QString() : commandLine.mid(nSpace + 1));
    process.setWorkingDirectory(workingDir);
    return process.startDetached();
#else
    // A plain command line: words separated by blanks, no quoting.
    QStringList words = commandLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return false;
    const QString program = words.takeFirst();
    QString path = QDir(workingDir).filePath(program);
    const QFileInfo info(path);
    if (!info.isFile() || !info.isExecutable()) {
        path = QStandardPaths::findExecutable(program);
        if (path.isEmpty())
            return false;
    }
    QProcess process;
    process.setProgram(path);
    process.setArguments(words);
    process.setWorkingDirectory(workingDir);
    process.setStandardInputFile(QProcess::nullDevice());
    return process.startDetached();
#endif
}

bool OpenWebSite(const QString& host)
{
    QUrl url = QUrl::fromUserInput(host);
    if (!url.isValid())
        return false;
    return QDesktopServices::openUrl(url);
}

QString ApplicationTitle()
{
    const QString path = QCoreApplication::applicationFilePath();
    if (path.isEmpty())
        return QStringLiteral("Updater");
    return QFileInfo(path).completeBaseName();
}

} // namespace orvanta
