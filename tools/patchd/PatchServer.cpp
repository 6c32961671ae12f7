#include "PatchServer.h"

#include "Log.h"
#include "PeerAddress.h"

#include "patch/Cp949.h"
#include "patch/PatchFrame.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

namespace patchd {
namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CBlob FrameBlob(std::int32_t nType, const std::vector<std::uint8_t>& payload)
{
    const auto frame = orvanta::EncodeFrame(nType, payload);
    return std::make_shared<const std::string>(frame ? std::string(frame->begin(), frame->end()) : std::string());
}

QString Utf8Of(const std::string& cp949)
{
    return QString::fromStdString(orvanta::Cp949ToUtf8(cp949));
}

// Bytes the kernel still holds for the peer: not sent yet, or not yet
// acknowledged.
int KernelQueued(int fd)
{
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

// Which deadline a connection runs against; each has one duration, so each
// list stays in deadline order when connections join at its tail.
enum ETimer { TIMER_NONE = -1, TIMER_HELLO = 0, TIMER_IDLE, TIMER_SEND, TIMER_LINGER, TIMER_COUNT };
// The log's end= of a session whose timer ran out.
constexpr std::array<const char*, TIMER_COUNT> TIMER_REASONS = {"timed out waiting for frame 10", "idle",
                                                                "stalled: the client does not read", "done"};

constexpr int VERBOSE_LINES_PER_CLIENT = 64;
constexpr int ACCEPT_PAUSE_MS = 100;
constexpr int READ_ROUNDS = 16;  // reads per wake-up, so one client cannot hold a worker

struct CChunk {
    CBlob blob;
    std::size_t nOffset = 0;
};

struct CConn {
    int fd = -1;
    bool bDead = false;
    std::string key;
    std::string name;
    orvanta::CFrameReassembler reassembler;
    std::vector<CChunk> out;
    bool bWantWrite = false;
    int nKernelQueued = 0;  // what the kernel held when the send timer was last started

    ETimer timer = TIMER_NONE;
    std::int64_t nDeadline = 0;
    CConn* pPrev = nullptr;
    CConn* pNext = nullptr;

    // The session, for its log line.
    std::int64_t nStart = 0;
    std::int32_t nVersion = 0;
    bool bAnswered = false;
    bool bWaiting = false;  // its list is still being worked out
    bool bPending18 = false;
    bool bGot16 = false;
    bool bSent19 = false;
    bool bClosing = false;  // 19 sent and written; waiting for the client to close
    std::size_t nFiles = 0;
    bool bDelta = false;
    int nMirror = -1;
    int nExtra = 0;
    int nLines = 0;
    std::string got;  // frame types received, for the summary
};

} // namespace

class CWorker final {
public:
    CWorker(CPatchServer& server, int nIndex) : m_server(server), m_nIndex(nIndex)
    {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        m_eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &m_eventFd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_eventFd, &ev);
        for (int i = 0; i < TIMER_COUNT; ++i)
            m_timers[std::size_t(i)] = {};
        const CServerLimits& limits = m_server.Config().limits;
        m_nTimeouts = {limits.nHelloTimeoutMs, limits.nIdleTimeoutMs, limits.nSendTimeoutMs, limits.nLingerMs};
    }

    ~CWorker()
    {
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        ::close(m_eventFd);
        ::close(m_epoll);
    }

    CWorker(const CWorker&) = delete;
    CWorker& operator=(const CWorker&) = delete;

    bool Bind(const QHostAddress& address, quint16 nPort, bool bReusePort, bool bListen, QString* pError)
    {
        sockaddr_storage sa{};
        socklen_t nLen = 0;
        if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(sa);
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(nPort);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6.sin6_addr, bytes.c, 16);
            nLen = sizeof in6;
        } else {
            auto& in4 = reinterpret_cast<sockaddr_in&>(sa);
            in4.sin_family = AF_INET;
            in4.sin_port = htons(nPort);
            in4.sin_addr.s_addr = htonl(address.toIPv4Address());
            nLen = sizeof in4;
        }
        m_listenFd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int nOne = 1;
        if (m_listenFd < 0 || ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne) != 0 ||
            (bReusePort && ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEPORT, &nOne, sizeof nOne) != 0) ||
            ::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&sa), nLen) != 0) {
            *pError = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        return !bListen || Accept(pError);
    }

    // Any thread: epoll takes a descriptor added while another thread waits.
    // A socket that is bound but not listening would report a hang-up at
    // once, so it joins the poll only now.
    bool Accept(QString* pError)
    {
        if (::listen(m_listenFd, SystemBacklog()) != 0) {
            *pError = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = this;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listenFd, &ev);
        return true;
    }

    quint16 BoundPort() const
    {
        sockaddr_storage sa{};
        socklen_t nLen = sizeof sa;
        if (::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&sa), &nLen) != 0)
            return 0;
        return ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(sa).sin6_port
                                              : reinterpret_cast<const sockaddr_in&>(sa).sin_port);
    }

    // Any thread.
    void Wake()
    {
        const std::uint64_t n = 1;
        [[maybe_unused]] const auto nWritten = ::write(m_eventFd, &n, sizeof n);
    }

    void Stop()
    {
        m_bStop = true;
        Wake();
    }

    void Run();

private:
    void Accept(std::int64_t nNow);
    void OnReadable(CConn* pConn, std::int64_t nNow);
    void OnFrame(CConn* pConn, std::int32_t nType, std::span<const std::uint8_t> payload, std::int64_t nNow);
    void Deliver(CConn* pConn, const CAnswer& answer, std::int64_t nNow);
    void Queue(CConn* pConn, const CBlob& blob);
    void Flush(CConn* pConn, std::int64_t nNow);
    void Extra(CConn* pConn, const QString& what);
    void WatchKernelQueue(CConn* pConn, std::int64_t nNow, bool bProgress);
    void OnSendExpired(CConn* pConn, std::int64_t nNow);
    // bAbort: reset, so the kernel drops at once what the peer never took.
    void Close(CConn* pConn, const QString& reason, bool bAbort = false);
    void Arm(CConn* pConn, ETimer timer, std::int64_t nNow, bool bRestart);
    void Disarm(CConn* pConn);
    void Expire(std::int64_t nNow);
    int NextTimeout(std::int64_t nNow) const;
    void Log(CConn* pConn, const QString& text);

    struct CTimerList {
        CConn* pHead = nullptr;
        CConn* pTail = nullptr;
    };

    CPatchServer& m_server;
    int m_nIndex;
    int m_epoll = -1;
    int m_eventFd = -1;
    int m_listenFd = -1;
    std::atomic<bool> m_bStop{false};
    std::array<CTimerList, TIMER_COUNT> m_timers;
    std::array<int, TIMER_COUNT> m_nTimeouts{};
    std::vector<CConn*> m_waiting;
    std::vector<CConn*> m_dead;
    std::int64_t m_nAcceptResume = 0;  // 0: accepting
    std::int64_t m_nLastAcceptLog = 0;
    std::int64_t m_nRefused = 0;
    std::int64_t m_nLastRefusedLog = 0;
    int m_nConns = 0;
};

void CWorker::Log(CConn* pConn, const QString& text)
{
    if (!m_server.Config().bVerbose)
        return;
    if (++pConn->nLines > VERBOSE_LINES_PER_CLIENT) {
        if (pConn->nLines == VERBOSE_LINES_PER_CLIENT + 1)
            LogLine(QStringLiteral("client %1 further lines not logged").arg(QString::fromStdString(pConn->name)));
        return;
    }
    LogLine(QStringLiteral("client %1 %2").arg(QString::fromStdString(pConn->name), text));
}

void CWorker::Arm(CConn* pConn, ETimer timer, std::int64_t nNow, bool bRestart)
{
    if (pConn->timer == timer && !bRestart)
        return;
    Disarm(pConn);
    if (timer == TIMER_NONE)
        return;
    CTimerList& list = m_timers[std::size_t(timer)];
    pConn->timer = timer;
    pConn->nDeadline = nNow + m_nTimeouts[std::size_t(timer)];
    pConn->pPrev = list.pTail;
    pConn->pNext = nullptr;
    (list.pTail ? list.pTail->pNext : list.pHead) = pConn;
    list.pTail = pConn;
}

void CWorker::Disarm(CConn* pConn)
{
    if (pConn->timer == TIMER_NONE)
        return;
    CTimerList& list = m_timers[std::size_t(pConn->timer)];
    (pConn->pPrev ? pConn->pPrev->pNext : list.pHead) = pConn->pNext;
    (pConn->pNext ? pConn->pNext->pPrev : list.pTail) = pConn->pPrev;
    pConn->pPrev = pConn->pNext = nullptr;
    pConn->timer = TIMER_NONE;
}

int CWorker::NextTimeout(std::int64_t nNow) const
{
    std::int64_t nNext = -1;
    for (const CTimerList& list : m_timers) {
        if (list.pHead && (nNext < 0 || list.pHead->nDeadline < nNext))
            nNext = list.pHead->nDeadline;
    }
    if (m_nAcceptResume != 0 && (nNext < 0 || m_nAcceptResume < nNext))
        nNext = m_nAcceptResume;
    if (m_nRefused > 0 && (nNext < 0 || m_nLastRefusedLog + 1000 < nNext))
        nNext = m_nLastRefusedLog + 1000;
    if (nNext < 0)
        return -1;
    return int(std::clamp<std::int64_t>(nNext - nNow, 0, 60000));
}

void CWorker::Expire(std::int64_t nNow)
{
    for (int i = 0; i < TIMER_COUNT; ++i) {
        CTimerList& list = m_timers[std::size_t(i)];
        while (list.pHead && list.pHead->nDeadline <= nNow) {
            CConn* pConn = list.pHead;
            // Past the linger, what the kernel still holds has the send
            // time-out to reach the client.
            if (i == TIMER_SEND || (i == TIMER_LINGER && KernelQueued(pConn->fd) > 0))
                OnSendExpired(pConn, nNow);
            else
                Close(pConn, QString::fromLatin1(TIMER_REASONS[std::size_t(i)]));
        }
    }
}

// Either leaves the send list or starts over at its tail, so Expire moves on.
void CWorker::OnSendExpired(CConn* pConn, std::int64_t nNow)
{
    if (pConn->out.empty()) {
        const int nQueued = KernelQueued(pConn->fd);
        if (nQueued == 0) {
            if (pConn->bClosing)
                return Close(pConn, QString::fromLatin1(TIMER_REASONS[TIMER_LINGER]));
            return Arm(pConn, TIMER_IDLE, nNow, true);
        }
        if (pConn->timer == TIMER_LINGER || nQueued < pConn->nKernelQueued) {
            pConn->nKernelQueued = nQueued;
            return Arm(pConn, TIMER_SEND, nNow, true);
        }
    }
    Close(pConn, QString::fromLatin1(TIMER_REASONS[TIMER_SEND]), true);
}

void CWorker::Run()
{
    std::array<epoll_event, 256> events{};
    while (!m_bStop) {
        std::int64_t nNow = NowMs();
        const int nReady = epoll_wait(m_epoll, events.data(), int(events.size()), NextTimeout(nNow));
        nNow = NowMs();
        for (int i = 0; i < nReady; ++i) {
            const epoll_event& ev = events[std::size_t(i)];
            if (ev.data.ptr == this) {
                Accept(nNow);
            } else if (ev.data.ptr == &m_eventFd) {
                std::uint64_t n = 0;
                [[maybe_unused]] const auto nRead = ::read(m_eventFd, &n, sizeof n);
                // A list has been worked out: answer those who wait for it.
                std::vector<CConn*> waiting;
                waiting.swap(m_waiting);
                for (CConn* pConn : waiting) {
                    if (const auto answer = m_server.Releases().AnswerFor(pConn->nVersion))
                        Deliver(pConn, *answer, nNow);
                    else
                        m_waiting.push_back(pConn);
                }
            } else {
                CConn* pConn = static_cast<CConn*>(ev.data.ptr);
                if (pConn->bDead)
                    continue;
                if (ev.events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP | EPOLLERR))
                    OnReadable(pConn, nNow);
                if (!pConn->bDead && (ev.events & EPOLLOUT))
                    Flush(pConn, nNow);
            }
        }
        Expire(nNow);
        if (m_nAcceptResume != 0 && nNow >= m_nAcceptResume) {
            m_nAcceptResume = 0;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = this;
            epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listenFd, &ev);
        }
        if (m_nRefused > 0 && nNow >= m_nLastRefusedLog + 1000) {
            LogLine(QStringLiteral("refused %1 connections: over the cap of %2 in all or %3 from one address")
                        .arg(m_nRefused)
                        .arg(m_server.MaxConnections())
                        .arg(m_server.Config().limits.nMaxPerAddress));
            m_nRefused = 0;
            m_nLastRefusedLog = nNow;
        }
        for (CConn* pConn : m_dead)
            delete pConn;
        m_dead.clear();
    }
    for (CTimerList& list : m_timers) {
        while (list.pHead)
            Close(list.pHead, QStringLiteral("dropped: the server is stopping"));
    }
    while (!m_waiting.empty())
        Close(m_waiting.back(), QStringLiteral("dropped: the server is stopping"));
    for (CConn* pConn : m_dead)
        delete pConn;
    m_dead.clear();
}

void CWorker::Accept(std::int64_t nNow)
{
    for (int i = 0; i < 256; ++i) {
        sockaddr_storage sa{};
        socklen_t nLen = sizeof sa;
        const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&sa), &nLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: the connection stays in the
                // backlog and would wake us at once again. Stop listening
                // for a moment instead of spinning; sessions that end free
                // what the next accept needs.
                m_nAcceptResume = nNow + ACCEPT_PAUSE_MS;
                epoll_event ev{};
                ev.data.ptr = this;
                epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listenFd, &ev);
                if (nNow >= m_nLastAcceptLog + 1000) {
                    m_nLastAcceptLog = nNow;
                    LogLine(QStringLiteral("accept: %1; pausing %2 ms (%3 connections on this worker)")
                                .arg(QString::fromLocal8Bit(std::strerror(errno)))
                                .arg(ACCEPT_PAUSE_MS)
                                .arg(m_nConns));
                }
                return;
            }
            // A connection that failed before we took it (aborted, reset,
            // network errors): take the next one.
            continue;
        }
        // Linux doubles what it is asked for (it counts its overhead too).
        const int nSendBuffer = m_server.Config().limits.nSendBufferBytes / 2;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, sizeof nSendBuffer);
        auto* pConn = new CConn;
        pConn->fd = fd;
        DescribePeer(sa, &pConn->key, &pConn->name);
        if (!m_server.Admit(pConn->key)) {
            ++m_nRefused;
            ::close(fd);
            delete pConn;
            continue;
        }
        ++m_nConns;
        pConn->nStart = nNow;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.ptr = pConn;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
        Arm(pConn, TIMER_HELLO, nNow, true);
        Log(pConn, QStringLiteral("connected"));
    }
}

void CWorker::OnReadable(CConn* pConn, std::int64_t nNow)
{
    std::array<std::uint8_t, 4096> buf{};
    for (int nRound = 0; nRound < READ_ROUNDS; ++nRound) {
        const ssize_t nGot = ::recv(pConn->fd, buf.data(), buf.size(), 0);
        if (nGot == 0) {
            Close(pConn, pConn->bClosing ? QStringLiteral("done") : QStringLiteral("gone"));
            return;
        }
        if (nGot < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                Close(pConn, pConn->bClosing ? QStringLiteral("done") : QStringLiteral("gone"));
            return;
        }
        if (pConn->bClosing)
            continue;
        if (pConn->timer == TIMER_IDLE)
            Arm(pConn, TIMER_IDLE, nNow, true);
        std::span<const std::uint8_t> rest(buf.data(), std::size_t(nGot));
        while (!rest.empty()) {
            const std::size_t nTaken = pConn->reassembler.Feed(rest);
            rest = rest.subspan(nTaken);
            if (pConn->reassembler.IsBroken()) {
                Close(pConn,
                      QStringLiteral("dropped: frame length %1 out of range").arg(pConn->reassembler.BadLength()));
                return;
            }
            if (!pConn->reassembler.HasFrame())
                break;
            OnFrame(pConn, pConn->reassembler.Type(), pConn->reassembler.Payload(), nNow);
            pConn->reassembler.Release();
            if (pConn->bDead)
                return;
        }
    }
}

void CWorker::OnFrame(CConn* pConn, std::int32_t nType, std::span<const std::uint8_t> payload, std::int64_t nNow)
{
    if (pConn->got.size() < 64)
        pConn->got += (pConn->got.empty() ? "" : ",") + std::to_string(nType);
    switch (nType) {
    case orvanta::FRAME_CLIENT_VERSION: {
        const auto version = orvanta::DecodeInt32(payload);
        if (!version)
            return Extra(pConn, QStringLiteral("<- 10 ignored: payload of %1 bytes").arg(payload.size()));
        // One answer per connection: a client that asks again gets nothing
        // more, so it cannot make the server queue without end.
        if (pConn->bAnswered || pConn->bWaiting)
            return Extra(pConn, QStringLiteral("<- 10 ignored: already answered"));
        Log(pConn, QStringLiteral("<- 10 version=%1").arg(*version));
        pConn->nVersion = *version;
        if (const auto answer = m_server.Releases().AnswerFor(*version)) {
            Deliver(pConn, *answer, nNow);
        } else {
            pConn->bWaiting = true;
            m_waiting.push_back(pConn);
            Arm(pConn, TIMER_IDLE, nNow, true);
        }
        return;
    }
    case orvanta::FRAME_UP_TO_DATE:
        if (pConn->bSent19 || pConn->bPending18)
            return Extra(pConn, QStringLiteral("<- 18 ignored: already answered"));
        Log(pConn, QStringLiteral("<- 18"));
        if (pConn->bWaiting) {
            pConn->bPending18 = true;
            return;
        }
        pConn->bSent19 = true;
        Queue(pConn, m_server.GameFrame());
        Log(pConn, QStringLiteral("-> 19 address=%1 port=%2")
                       .arg(Utf8Of(m_server.Config().game.address))
                       .arg(m_server.Config().game.port));
        Flush(pConn, nNow);
        return;
    case orvanta::FRAME_UPDATE_DONE:
        if (pConn->bGot16)
            return Extra(pConn, QStringLiteral("<- 16 ignored: already received"));
        pConn->bGot16 = true;
        Log(pConn, QStringLiteral("<- 16"));
        return;
    default:
        return Extra(pConn, QStringLiteral("<- %1 ignored: payload of %2 bytes").arg(nType).arg(payload.size()));
    }
}

void CWorker::Extra(CConn* pConn, const QString& what)
{
    Log(pConn, what);
    if (++pConn->nExtra > m_server.Config().limits.nMaxFrames)
        Close(pConn, QStringLiteral("dropped: more than %1 frames the conversation has no use for")
                         .arg(m_server.Config().limits.nMaxFrames));
}

void CWorker::Deliver(CConn* pConn, const CAnswer& answer, std::int64_t nNow)
{
    pConn->bWaiting = false;
    pConn->bAnswered = true;
    const std::int32_t nCurrent = m_server.Releases().Current();
    Queue(pConn, answer.frames);
    Log(pConn, QStringLiteral("-> 11 version=%1").arg(nCurrent));
    if (pConn->nVersion != nCurrent) {
        pConn->nFiles = answer.paths->size();
        pConn->bDelta = answer.bDelta;
        if (m_server.Config().bVerbose) {
            for (const QString& path : *answer.paths) {
                // The entries' sizes are in the frames; the log shows the path.
                Log(pConn, QStringLiteral("-> 13 file=%1").arg(path));
                if (pConn->nLines > VERBOSE_LINES_PER_CLIENT)
                    break;
            }
        }
        if (!m_server.Config().httpSource.empty()) {
            Queue(pConn, m_server.HttpSourceFrame());
            Log(pConn, QStringLiteral("-> 21 url=%1").arg(QString::fromStdString(m_server.Config().httpSource)));
        }
        pConn->nMirror = m_server.NextMirror();
        Queue(pConn, m_server.FtpFrame(pConn->nMirror));
        const orvanta::FtpInfo& ftp = m_server.Config().mirrors[std::size_t(pConn->nMirror)];
        Log(pConn, QStringLiteral("-> 14 host=%1 user=%2").arg(Utf8Of(ftp.host), Utf8Of(ftp.user)));
    }
    if (pConn->bPending18) {
        pConn->bPending18 = false;
        pConn->bSent19 = true;
        Queue(pConn, m_server.GameFrame());
        Log(pConn, QStringLiteral("-> 19 address=%1 port=%2")
                       .arg(Utf8Of(m_server.Config().game.address))
                       .arg(m_server.Config().game.port));
    }
    Arm(pConn, TIMER_IDLE, nNow, true);
    Flush(pConn, nNow);
}

void CWorker::Queue(CConn* pConn, const CBlob& blob)
{
    if (blob && !blob->empty())
        pConn->out.push_back(CChunk{blob, 0});
}

void CWorker::Flush(CConn* pConn, std::int64_t nNow)
{
    bool bProgress = false;
    while (!pConn->out.empty()) {
        CChunk& chunk = pConn->out.front();
        const ssize_t nSent = ::send(pConn->fd, chunk.blob->data() + chunk.nOffset, chunk.blob->size() - chunk.nOffset,
                                     MSG_NOSIGNAL);
        if (nSent > 0) {
            bProgress = true;
            chunk.nOffset += std::size_t(nSent);
            if (chunk.nOffset == chunk.blob->size())
                pConn->out.erase(pConn->out.begin());
            continue;
        }
        if (nSent < 0 && errno == EINTR)
            continue;
        if (nSent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        Close(pConn, QStringLiteral("gone"));
        return;
    }
    const bool bWantWrite = !pConn->out.empty();
    if (bWantWrite != pConn->bWantWrite) {
        pConn->bWantWrite = bWantWrite;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (bWantWrite ? EPOLLOUT : 0u);
        ev.data.ptr = pConn;
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, pConn->fd, &ev);
    }
    if (bWantWrite) {
        // A client that takes nothing for a while is dropped: what waits for
        // it is shared, but its descriptor and buffers are not.
        Arm(pConn, TIMER_SEND, nNow, bProgress || pConn->timer != TIMER_SEND);
    } else if (pConn->bSent19) {
        // The conversation is over. Half-close, so the client reads every
        // byte before the end, and wait a moment for its own close.
        if (!pConn->bClosing) {
            pConn->bClosing = true;
            ::shutdown(pConn->fd, SHUT_WR);
            Arm(pConn, TIMER_LINGER, nNow, true);
        }
    } else {
        WatchKernelQueue(pConn, nNow, bProgress);
    }
}

// Our queue is empty, but the kernel's need not be: a client that leaves
// it there is dropped after the send time-out like one that leaves ours.
// No event says when the kernel's queue drains, so the timer's expiry
// looks again.
void CWorker::WatchKernelQueue(CConn* pConn, std::int64_t nNow, bool bProgress)
{
    const int nQueued = KernelQueued(pConn->fd);
    if (nQueued > 0) {
        if (pConn->timer != TIMER_SEND || bProgress) {
            pConn->nKernelQueued = nQueued;
            Arm(pConn, TIMER_SEND, nNow, true);
        }
    } else if (pConn->timer == TIMER_SEND) {
        Arm(pConn, TIMER_IDLE, nNow, true);
    }
}

void CWorker::Close(CConn* pConn, const QString& reason, bool bAbort)
{
    if (pConn->bDead)
        return;
    if (bAbort) {
        const linger reset{1, 0};
        ::setsockopt(pConn->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    pConn->bDead = true;
    Disarm(pConn);
    // The list it waited for may come after the connection is freed.
    if (pConn->bWaiting)
        std::erase(m_waiting, pConn);
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, pConn->fd, nullptr);
    ::close(pConn->fd);
    m_server.Release(pConn->key);
    --m_nConns;
    if (m_server.Config().bVerbose) {
        LogLine(QStringLiteral("client %1 %2").arg(QString::fromStdString(pConn->name), reason));
    } else {
        const QString mirror =
            pConn->nMirror < 0 ? QStringLiteral("-")
                               : Utf8Of(m_server.Config().mirrors[std::size_t(pConn->nMirror)].host);
        LogLine(QStringLiteral("client %1 version=%2 files=%3%4 mirror=%5 got=%6%7 time=%8s end=%9")
                    .arg(QString::fromStdString(pConn->name),
                         pConn->bAnswered ? QString::number(pConn->nVersion) : QStringLiteral("-"))
                    .arg(pConn->nFiles)
                    .arg(pConn->bDelta ? QStringLiteral(" (changed since)") : QString(), mirror,
                         pConn->got.empty() ? QStringLiteral("-") : QString::fromStdString(pConn->got),
                         pConn->bSent19 ? QStringLiteral(" sent=19") : QString())
                    .arg(double(NowMs() - pConn->nStart) / 1000.0, 0, 'f', 3)
                    .arg(reason));
    }
    pConn->out.clear();
    m_dead.push_back(pConn);
}

CPatchServer::CPatchServer(CServerConfig config, CReleaseSet* pReleases)
    : m_config(std::move(config)), m_pReleases(pReleases)
{
    for (const orvanta::FtpInfo& ftp : m_config.mirrors)
        m_ftpFrames.push_back(FrameBlob(orvanta::FRAME_FTP_INFO, orvanta::EncodeFtpInfo(ftp)));
    m_gameFrame = FrameBlob(orvanta::FRAME_GAME_SERVER, orvanta::EncodeGameServerInfo(m_config.game));
    if (!m_config.httpSource.empty())
        m_httpSourceFrame =
            FrameBlob(orvanta::FRAME_HTTP_SOURCE, orvanta::EncodeHttpSourceInfo({m_config.httpSource}));
    // What the descriptors allow, less a reserve for the log, the listeners
    // and the release files being compared.
    const int nDescriptors = RaiseDescriptorLimit();
    if (m_config.limits.nMaxConnections <= 0)
        m_config.limits.nMaxConnections = std::max(16, nDescriptors - 64 - 4 * m_config.nWorkers);
}

CPatchServer::~CPatchServer()
{
    Stop();
}

bool CPatchServer::Listen(const QHostAddress& address, quint16 nPort, QString* pError)
{
    const bool bShare = m_config.bReusePort || m_config.nWorkers > 1;
    for (int i = 0; i < std::max(1, m_config.nWorkers); ++i) {
        auto pWorker = std::make_unique<CWorker>(*this, i);
        if (!pWorker->Bind(address, nPort, bShare, !m_config.bDeferAccept, pError))
            return false;
        // Port 0: the first socket picks it, the others join it.
        nPort = pWorker->BoundPort();
        m_workers.push_back(std::move(pWorker));
    }
    m_nPort = nPort;
    return true;
}

bool CPatchServer::AcceptConnections(QString* pError)
{
    for (const auto& pWorker : m_workers) {
        if (!pWorker->Accept(pError))
            return false;
    }
    return true;
}

void CPatchServer::Start()
{
    m_pReleases->Start([this]() {
        for (const auto& pWorker : m_workers)
            pWorker->Wake();
    });
    for (const auto& pWorker : m_workers)
        m_threads.emplace_back([pWorker = pWorker.get()]() { pWorker->Run(); });
}

void CPatchServer::Stop()
{
    for (const auto& pWorker : m_workers)
        pWorker->Stop();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
    m_pReleases->Stop();
}

bool CPatchServer::Admit(const std::string& addressKey)
{
    if (m_nTotal.fetch_add(1) >= m_config.limits.nMaxConnections) {
        m_nTotal.fetch_sub(1);
        return false;
    }
    std::lock_guard lock(m_mutex);
    int& nCount = m_perAddress[addressKey];
    if (nCount >= m_config.limits.nMaxPerAddress) {
        if (nCount == 0)
            m_perAddress.erase(addressKey);
        m_nTotal.fetch_sub(1);
        return false;
    }
    ++nCount;
    return true;
}

void CPatchServer::Release(const std::string& addressKey)
{
    m_nTotal.fetch_sub(1);
    std::lock_guard lock(m_mutex);
    const auto found = m_perAddress.find(addressKey);
    if (found != m_perAddress.end() && --found->second <= 0)
        m_perAddress.erase(found);
}

int CPatchServer::NextMirror()
{
    return int(m_nNextMirror.fetch_add(1) % unsigned(std::max<std::size_t>(1, m_config.mirrors.size())));
}

int SystemBacklog()
{
    std::ifstream in("/proc/sys/net/core/somaxconn");
    int n = 0;
    if (in >> n && n > 0)
        return n;
    return SOMAXCONN;
}

int RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? rlim_t(1) << 20 : limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return int(std::min<rlim_t>(limit.rlim_cur, rlim_t(1) << 30));
}

} // namespace patchd
