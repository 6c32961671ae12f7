#include "PatchPeer.h"

#include "patch/Records.h"
#include "support/TestSupport.h"

namespace patch_test {

QByteArray FrameBytes(std::int32_t type, std::span<const std::uint8_t> payload)
{
    const auto frame = orvanta::EncodeFrame(type, payload);
    if (!frame)
        return {};
    return QByteArray(reinterpret_cast<const char*>(frame->data()), qsizetype(frame->size()));
}

QByteArray Int32Frame(std::int32_t type, std::int32_t value)
{
    return FrameBytes(type, orvanta::EncodeInt32(value));
}

void CFrameCollector::Take(QTcpSocket* pSocket)
{
    const QByteArray bytes = pSocket->readAll();
    std::span<const std::uint8_t> rest(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                       std::size_t(bytes.size()));
    while (!rest.empty() && !m_reassembler.IsBroken()) {
        rest = rest.subspan(m_reassembler.Feed(rest));
        if (m_reassembler.HasFrame()) {
            const auto payload = m_reassembler.Payload();
            m_frames.push_back({m_reassembler.Type(), {payload.begin(), payload.end()}});
            m_reassembler.Release();
        }
    }
}

CScriptedPeer::CScriptedPeer()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&m_server, &QTcpServer::newConnection, [this]() {
        QTcpSocket* pSocket = m_server.nextPendingConnection();
        if (!pSocket || m_pClient)
            return;
        m_pClient = pSocket;
        QObject::connect(pSocket, &QTcpSocket::readyRead, [this, pSocket]() { m_collector.Take(pSocket); });
    });
}

bool CScriptedPeer::WaitForClient(int nTimeoutMs)
{
    return testing_support::WaitFor([this]() { return m_pClient != nullptr; }, nTimeoutMs);
}

bool CScriptedPeer::WaitForFrames(std::size_t nCount, int nTimeoutMs)
{
    return testing_support::WaitFor([this, nCount]() { return m_collector.Frames().size() >= nCount; }, nTimeoutMs);
}

void CScriptedPeer::Write(const QByteArray& bytes)
{
    if (!m_pClient)
        return;
    m_pClient->write(bytes);
    m_pClient->flush();
}

bool CScriptedPeer::ClientClosed() const
{
    return m_pClient && m_pClient->state() != QAbstractSocket::ConnectedState;
}

bool CFrameClient::Connect(quint16 nPort, int nTimeoutMs)
{
    QObject::connect(&m_socket, &QTcpSocket::readyRead, [this]() { m_collector.Take(&m_socket); });
    QObject::connect(&m_socket, &QTcpSocket::connected, [this]() { m_bConnected = true; });
    m_socket.connectToHost(QHostAddress::LocalHost, nPort);
    return testing_support::WaitFor([this]() { return m_bConnected; }, nTimeoutMs);
}

void CFrameClient::Write(const QByteArray& bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

bool CFrameClient::WaitForFrames(std::size_t nCount, int nTimeoutMs)
{
    return testing_support::WaitFor([this, nCount]() { return m_collector.Frames().size() >= nCount; }, nTimeoutMs);
}

bool CFrameClient::WaitForClose(int nTimeoutMs)
{
    return testing_support::WaitFor([this]() { return m_socket.state() == QAbstractSocket::UnconnectedState; },
                                    nTimeoutMs);
}

} // namespace patch_test
