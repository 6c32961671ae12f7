#include "support/EngineRun.h"

#include "settings/SettingsStore.h"

#include <QDir>

namespace testing_support {

CEngineRun::CEngineRun()
    : m_gamePath(m_parent.filePath(QStringLiteral("game")) + QLatin1Char('/')),
      m_pStore(std::make_unique<CTempStore>()),
      m_pPeer(std::make_unique<patch_test::CScriptedPeer>()),
      m_pPrompts(std::make_unique<CTestPrompts>())
{
    QDir().mkpath(m_gamePath);
}

CFtpServer& CEngineRun::StartFtp(FtpServerOptions options)
{
    m_pFtp = std::make_unique<CFtpServer>(std::move(options));
    EXPECT_TRUE(m_pFtp->Start());
    return *m_pFtp;
}

CUpdateSession& CEngineRun::Start(Setup setup)
{
    if (m_bStarted) {
        m_pEngine.reset();
        m_pStore.reset();  // the old one puts the store's location back first
        m_pStore = std::make_unique<CTempStore>();
        m_pPeer = std::make_unique<patch_test::CScriptedPeer>();
        m_pPrompts = std::make_unique<CTestPrompts>();
        statuses.clear();
        started.clear();
        lastCount.reset();
        nTotal.reset();
        complete.reset();
        outcomes.clear();
    }
    m_bStarted = true;
    {
        using namespace orvanta::settings;
        CSettingsKey key(CSettingsKey::Open::Create);
        key.WriteText(CLIENT_PATH, m_gamePath);
        key.WriteText(IP, QStringLiteral("127.0.0.1"));
        key.WriteNumber(PORT, m_pPeer->Port());
        for (const auto& [name, value] : setup.store) {
            if (const auto* pNumber = std::get_if<std::int32_t>(&value))
                key.WriteNumber(name, *pNumber);
            else
                key.WriteText(name, std::get<QString>(value));
        }
    }
    m_pEngine = std::make_unique<CUpdateSession>(m_pPrompts.get());
    CUpdateSession& engine = *m_pEngine;
    engine.SetTrustedKey(setup.trustedKey);
    engine.SetFtpTimeouts(setup.ftpTimeouts);
    if (setup.configure)
        setup.configure(engine);
    QObject::connect(&engine, &CUpdateSession::statusChanged, [this](const QString& text) { statuses << text; });
    QObject::connect(&engine, &CUpdateSession::fileStarted,
                     [this](quint64 nIndex, quint64 nCount, const QString& name, quint64 nSize) {
                         started.push_back({nIndex, nCount, name, nSize});
                     });
    QObject::connect(&engine, &CUpdateSession::bytesCounted,
                     [this](quint64, quint64, quint64 fileRecv, quint64 fileSize, quint64 allRecv, quint64 total) {
                         lastCount = Count{fileRecv, fileSize, allRecv, total};
                     });
    QObject::connect(&engine, &CUpdateSession::totalsPrepared, [this](quint64 total) { nTotal = total; });
    QObject::connect(&engine, &CUpdateSession::finished,
                     [this](CUpdateSession::Outcome eOutcome) { outcomes.push_back(eOutcome); });
    QObject::connect(&engine, &CUpdateSession::downloadComplete,
                     [this](quint64 last, quint64 total) { complete = {last, total}; });
    engine.Start(setup.host);
    return engine;
}

bool CEngineRun::WaitForEnd(int nTimeoutMs) const
{
    return WaitFor([this] { return CUpdateSession::IsFinal(m_pEngine->GetState()); }, nTimeoutMs);
}

} // namespace testing_support
