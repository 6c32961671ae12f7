#pragma once

#include "Release.h"

#include <QHostAddress>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// The reference patch server: one listening socket and one epoll loop per
// worker thread, all on the same port (SO_REUSEPORT), so the kernel spreads
// new connections over them. A session lives on the worker that accepted
// it; the workers share only the release set, the connection counts and
// the log. Nothing is kept between sessions, so several processes, or
// several machines behind a TCP balancer, can serve the same players.
namespace patchd {

struct CServerLimits {
    int nMaxConnections = 0;      // 0: the descriptor limit less a reserve
    int nMaxPerAddress = 256;     // players behind one NAT share an address
    int nHelloTimeoutMs = 10000;  // from accept to frame 10
    // From the answer to frame 18: the player downloads in between and says
    // nothing, so this is longer than the longest download.
    int nIdleTimeoutMs = 6 * 3600 * 1000;
    int nSendTimeoutMs = 60000;  // output, ours or the kernel's, that the client does not take
    // What the kernel may hold for one connection's output (SO_SNDBUF as
    // the kernel counts it): beyond it, a client that never reads holds
    // only its place in our queue, where an answer is shared by all.
    int nSendBufferBytes = 64 * 1024;
    int nLingerMs = 2000;        // after frame 19, for the client's close
    int nMaxFrames = 16;         // frames past the conversation's own, then dropped
};

struct CServerConfig {
    CServerLimits limits;
    std::vector<orvanta::FtpInfo> mirrors;  // one per session, in turn
    orvanta::GameServerInfo game;
    std::string httpSource;  // the releases' base URL over HTTP(S), or empty
    bool bVerbose = false;
    int nWorkers = 1;
    bool bReusePort = false;  // let other processes share the port
    // Bind at Listen, take connections only from AcceptConnections: until
    // then connections are refused, which a balancer's check sees.
    bool bDeferAccept = false;
};

class CWorker;

class CPatchServer final {
public:
    CPatchServer(CServerConfig config, CReleaseSet* pReleases);
    ~CPatchServer();
    CPatchServer(const CPatchServer&) = delete;
    CPatchServer& operator=(const CPatchServer&) = delete;

    // Binds every worker's socket; nPort 0 picks a free port for all.
    bool Listen(const QHostAddress& address, quint16 nPort, QString* pError);
    // With bDeferAccept: starts taking connections. Any thread, once.
    bool AcceptConnections(QString* pError);
    quint16 Port() const { return m_nPort; }
    int MaxConnections() const { return m_config.limits.nMaxConnections; }

    void Start();
    // Closes every connection and ends the workers. Any thread.
    void Stop();

    // Called by a worker. False when the address or the whole server is at
    // its cap; otherwise the connection is counted until Release.
    bool Admit(const std::string& addressKey);
    void Release(const std::string& addressKey);
    int NextMirror();

    const CServerConfig& Config() const { return m_config; }
    CReleaseSet& Releases() { return *m_pReleases; }
    const CBlob& FtpFrame(int nMirror) const { return m_ftpFrames[std::size_t(nMirror)]; }
    const CBlob& HttpSourceFrame() const { return m_httpSourceFrame; }  // empty: none
    const CBlob& GameFrame() const { return m_gameFrame; }

private:
    CServerConfig m_config;
    CReleaseSet* m_pReleases;
    std::vector<CBlob> m_ftpFrames;
    CBlob m_httpSourceFrame;
    CBlob m_gameFrame;
    std::vector<std::unique_ptr<CWorker>> m_workers;
    std::vector<std::thread> m_threads;
    quint16 m_nPort = 0;

    std::atomic<int> m_nTotal{0};
    std::atomic<unsigned> m_nNextMirror{0};
    std::mutex m_mutex;
    std::unordered_map<std::string, int> m_perAddress;  // guarded by m_mutex
};

// The system's maximum listen backlog (net.core.somaxconn).
int SystemBacklog();
// Raises the descriptor limit to its hard maximum; returns the new soft one.
int RaiseDescriptorLimit();

} // namespace patchd
