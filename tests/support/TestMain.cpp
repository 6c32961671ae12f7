#ifdef ORVANTA_TEST_GUI
#include <QApplication>
#else
#include <QCoreApplication>
#endif
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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
    return RUN_ALL_TESTS();
}
