#include "ui/Platform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

#ifdef _WIN32
#include <memory>
#include <string>
#endif

namespace orvanta {

bool StartDetachedCommandLine(const QString& commandLine, const QString& workingDir)
{
#ifdef _WIN32
    // The program gets the line exactly as built, its own name first, as
    // the game client always did (WinExec). QProcess would put its full
    // path and a second blank in front of the arguments.
    QProcess process;
    const int nSpace = commandLine.indexOf(QLatin1Char(' '));
    const QString program = nSpace < 0 ? commandLine : commandLine.left(nSpace);
    QString path = QDir(workingDir).filePath(program);
    const bool bInFolder = QFileInfo::exists(path);
    if (!bInFolder)
        path = program;
    process.setProgram(path);
    process.setWorkingDirectory(workingDir);
    // CreateProcessW may write into the line, so it gets a copy of its own.
    auto line = std::make_shared<std::wstring>(commandLine.toStdWString());
    auto application = std::make_shared<std::wstring>(QDir::toNativeSeparators(path).toStdWString());
    process.setCreateProcessArgumentsModifier([line, application, bInFolder](QProcess::CreateProcessArguments* args) {
        args->arguments = line->data();
        if (bInFolder)
            args->applicationName = application->c_str();
    });
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
