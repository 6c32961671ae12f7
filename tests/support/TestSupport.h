#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <functional>

// Helpers shared by the tests, with no widget in sight (GuiSupport.h has
// those for tests that build a window).
namespace testing_support {

// Points XDG_CONFIG_HOME at a fresh folder for its lifetime, so a test never
// touches the real settings store. Restores the previous value afterwards.
class CTempStore final {
public:
    CTempStore();
    ~CTempStore();
    CTempStore(const CTempStore&) = delete;
    CTempStore& operator=(const CTempStore&) = delete;

    QString Folder() const { return m_dir.path(); }
    QString FilePath() const;  // the store file inside it
    QByteArray Contents() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_bHadPrevious;
#ifdef _WIN32
    QString m_previousKey;
    QString m_key;
#endif
};

// How many times longer than on a quick build the tests wait on the world
// outside them (a server starting, a peer answering, a dialog opening):
// ORVANTA_TIME_FACTOR from the environment (a loaded machine) when set, else
// the build's ORVANTA_TEST_TIME_FACTOR (1; sanitizer presets raise it).
// Time-outs a test gives the product to provoke stay as they are; only the
// waits for them grow.
double TimeFactor();
int ScaledMs(int nMs);

// Runs the event loop until pred() holds or timeoutMs (scaled) passes;
// returns pred().
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 5000);

// The built executables, by their name without ".exe".
QString BinaryPath(const QString& relative);

// nSize bytes of a pattern that differs with seed: file contents for transfers.
QByteArray Pattern(qsizetype nSize, char seed);
// A file's bytes, or "<missing>" when it cannot be read.
QByteArray ReadAll(const QString& path);

} // namespace testing_support
