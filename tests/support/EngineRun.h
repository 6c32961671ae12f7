#pragma once

#include "patch/PatchPeer.h"
#include "support/FtpServer.h"
#include "support/TestPrompts.h"
#include "support/TestSupport.h"

#include "engine/UpdateSession.h"

#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace testing_support {

// The update engine driven as the window drives it, against loopback peers:
// a store of its own, a scripted patch server, an FTP server when asked for,
// and a scripted player. It lives as long as a test; each Start after the
// first begins a new run with a fresh store, patch server and player, while
// the game folder and the FTP server stay.
class CEngineRun final {
public:
    using Values = std::vector<std::pair<const char*, std::variant<std::int32_t, QString>>>;
    struct Setup {
        // Written over the defaults: the game folder as CLIENT_PATH,
        // 127.0.0.1 as IP and the patch server's port as PORT.
        Values store;
        QString host;  // as the command line gives it; empty: the stored one
        std::optional<orvanta::Ed25519PublicKey> trustedKey;  // none, whatever key the build trusts
        FtpTimeouts ftpTimeouts;
        std::function<void(CUpdateSession&)> configure;  // limits, before the engine starts
    };

    struct Started {
        quint64 nIndex, nCount;
        QString name;
        quint64 nSize;
    };
    struct Count {
        quint64 fileRecv, fileSize, allRecv, total;
    };

    CEngineRun();
    CEngineRun(const CEngineRun&) = delete;
    CEngineRun& operator=(const CEngineRun&) = delete;

    // Starts an FTP server in place of the one before.
    CFtpServer& StartFtp(FtpServerOptions options = {});
    CUpdateSession& Start(Setup setup = {});
    // Until the engine's work is over (CUpdateSession::IsFinal).
    bool WaitForEnd(int nTimeoutMs = 15000) const;

    CUpdateSession& Engine() const { return *m_pEngine; }
    patch_test::CScriptedPeer& Peer() const { return *m_pPeer; }
    CTestPrompts& Prompts() const { return *m_pPrompts; }
    CFtpServer& Ftp() const { return *m_pFtp; }
    QString ParentPath() const { return m_parent.path(); }  // holds the game folder and nothing else
    const QString& GamePath() const { return m_gamePath; }  // ends with '/'
    void DropEngine() { m_pEngine.reset(); }

    // What the engine reported during the current run.
    QStringList statuses;
    std::vector<Started> started;
    std::optional<Count> lastCount;
    std::optional<quint64> nTotal;
    std::optional<std::pair<quint64, quint64>> complete;
    std::vector<CUpdateSession::Outcome> outcomes;  // finished(), once per run

private:
    QTemporaryDir m_parent;
    QString m_gamePath;
    std::unique_ptr<CFtpServer> m_pFtp;
    std::unique_ptr<CTempStore> m_pStore;
    std::unique_ptr<patch_test::CScriptedPeer> m_pPeer;
    std::unique_ptr<CTestPrompts> m_pPrompts;
    std::unique_ptr<CUpdateSession> m_pEngine;  // goes first
    bool m_bStarted = false;
};

} // namespace testing_support
