#include "support/TestSupport.h"

#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace testing_support {

CTempStore::CTempStore()
    : m_previous(qgetenv("XDG_CONFIG_HOME")), m_bHadPrevious(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
#ifdef _WIN32
    // A fresh key below the run's own (TestMain.cpp), not the machine's store.
    static int nStores = 0;
    m_previousKey = orvanta::settings::StoreLocation();
    m_key = m_previousKey + QStringLiteral("\\%1").arg(++nStores);
    orvanta::settings::SetStoreLocationForTests(m_key);
#endif
}

CTempStore::~CTempStore()
{
#ifdef _WIN32
    const int nSlash = m_key.lastIndexOf(QLatin1Char('\\'));
    QSettings(m_key.left(nSlash), QSettings::Registry32Format).remove(m_key.mid(nSlash + 1));
    orvanta::settings::SetStoreLocationForTests(m_previousKey);
#endif
    if (m_bHadPrevious)
        qputenv("XDG_CONFIG_HOME", m_previous);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

QString CTempStore::FilePath() const
{
    return orvanta::settings::StoreLocation();
}

QByteArray CTempStore::Contents() const
{
    QFile file(FilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

double TimeFactor()
{
    static const double factor = []() {
        const QByteArray text = qgetenv("ORVANTA_TIME_FACTOR");
        if (text.isEmpty())
            return double(ORVANTA_TEST_TIME_FACTOR);
        bool bOk = false;
        const double value = text.toDouble(&bOk);
        if (bOk && value >= 1)
            return value;
        std::fprintf(stderr, "ORVANTA_TIME_FACTOR=%s is not a number of at least 1; using %g\n",
                     text.constData(), double(ORVANTA_TEST_TIME_FACTOR));
        return double(ORVANTA_TEST_TIME_FACTOR);
    }();
    return factor;
}

int ScaledMs(int nMs)
{
    return int(std::min(double(nMs) * TimeFactor(), double(std::numeric_limits<int>::max())));
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs)
{
    QDeadlineTimer deadline(ScaledMs(timeoutMs));
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

QString BinaryPath(const QString& relative)
{
#ifdef _WIN32
    return QStringLiteral(ORVANTA_BINARY_DIR "/") + relative + QStringLiteral(".exe");
#else
    return QStringLiteral(ORVANTA_BINARY_DIR "/") + relative;
#endif
}

QByteArray Pattern(qsizetype nSize, char seed)
{
    QByteArray data(nSize, Qt::Uninitialized);
    for (qsizetype i = 0; i < nSize; ++i)
        data[i] = char(seed + (i * 13) % 241);
    return data;
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace testing_support
