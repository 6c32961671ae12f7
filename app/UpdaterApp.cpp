#include "app/UpdaterApp.h"

#include "app/CommandLine.h"
#include "app/SingleInstance.h"
#include "ui/UpdaterDlg.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QPalette>

#include <curl/curl.h>

namespace {

// White dialogs with black text, message boxes included.
void SetDialogColors(QApplication& app)
{
    QPalette palette = app.palette();
    for (const QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
        palette.setColor(role, Qt::white);
    }
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(role, Qt::black);
    }
    app.setPalette(palette);
}

void SetDialogFont(QApplication& app)
{
    // The game's dialogs use a 9-point Korean face.
    for (const char* family : {"NanumGothic", "NanumBarunGothic", "Gulim"}) {
        if (QFontDatabase::hasFamily(QString::fromLatin1(family))) {
            app.setFont(QFont(QString::fromLatin1(family), 9));
            return;
        }
    }
}

} // namespace

CUpdaterApp::CUpdaterApp(const char* programPath, const QString& commandLine)
    : m_pszProgram(programPath), m_lpCmdLine(commandLine)
{
}

int CUpdaterApp::InitInstance()
{
    if (orvanta::AnotherInstanceRuns("Orvanta Updater"))
        return 0;

    orvanta::SetCommandLineText(m_lpCmdLine);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    // Qt sees the program's name only: every word after it is the host.
    int argc = 1;
    char* argv[] = {const_cast<char*>(m_pszProgram), nullptr};
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Kelto Interactive, Inc."));
    QApplication::setApplicationName(QStringLiteral("Orvanta Online"));
    SetDialogColors(app);
    SetDialogFont(app);

    int nResult = 0;
    {
        CUpdaterDlg dlg;
        dlg.show();
        nResult = dlg.exec();
    }
    Q_UNUSED(nResult);
    curl_global_cleanup();
    return 0;
}
