#include "app/UpdaterApp.h"

#include "app/CommandLine.h"
#include "app/Constants.h"
#include "app/SingleInstance.h"
#include "ui/DialogLook.h"
#include "ui/UpdaterDlg.h"

#include <QApplication>

#include <curl/curl.h>

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
    orvanta::SetDialogLook(app);

    int nResult = 0;
    {
        CUpdaterDlg dlg;
        dlg.SetCommandLineHost(orvanta::CommandLineText());
        if (const auto timeouts = orvanta::FtpTimeoutsFromEnvironment())
            dlg.Engine().SetFtpTimeouts(*timeouts);
        dlg.show();
        nResult = dlg.exec();
    }
    Q_UNUSED(nResult);
    curl_global_cleanup();
    return 0;
}
