#ifdef ORVANTA_TEST_GUI
#include <QApplication>
#else
#include <QCoreApplication>
#endif
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#ifdef _WIN32
#include "settings/SettingsStore.h"
#endif

// The tests' main(): a QApplication for those that build a window
// (orvanta_test_gui), a bare QCoreApplication for the rest.
int main(int argc, char** argv)
{
#ifdef ORVANTA_TEST_GUI
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The notice page's engine stays out unless a test asks for it.
    if (!qEnvironmentVariableIsSet("ORVANTA_NOTICE"))
        qputenv("ORVANTA_NOTICE", "off");
    using CApplication = QApplication;
#else
    using CApplication = QCoreApplication;
#endif
    // Nothing a test does may reach the player's own store or lock.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path()));
    ::testing::InitGoogleTest(&argc, argv);
    CApplication app(argc, argv);
#ifdef _WIN32
    // The registry has no temporary folder: the run's store is a key of its
    // own under the user's, removed at the end.
    const QString tests = QStringLiteral("HKEY_CURRENT_USER\\Software\\Orvanta Tests");
    const QString run = QString::number(QCoreApplication::applicationPid());
    orvanta::settings::SetStoreLocationForTests(tests + QLatin1Char('\\') + run);
    const int nResult = RUN_ALL_TESTS();
    QSettings(tests, QSettings::Registry32Format).remove(run);
    return nResult;
#else
    return RUN_ALL_TESTS();
#endif
}
