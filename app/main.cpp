#include "app/CommandLine.h"
#include "app/UpdaterApp.h"

int main(int argc, char** argv)
{
    const QString commandLine = orvanta::RawCommandLine(argc, argv);
    CUpdaterApp app(argc > 0 ? argv[0] : "Updater", commandLine);
    return app.InitInstance();
}
