#include "patch/PatchLink.h"

#include "settings/Publisher.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QTcpSocket>

#include <algorithm>
#include <array>

CPatchLink::CPatchLink(QObject* parent) : QObject(parent), m_pSocket(new QTcpSocket(this))
{
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &CPatchLink::OnConnectTimeout);
    connect(m_pSocket, &QTcpSocket::connected, this, &CPatchLink::OnConnected);
    connect(m_pSocket, &QTcpSocket::errorOccurred, this, &CPatchLink::OnSocketError);
    connect(m_pSocket, &QTcpSocket::readyRead, this, &CPatchLink::OnReadyRead);
}

CPatchLink::~CPatchLink()
{
    // A lookup still under way finds its receiver gone and is dropped.
    m_pSocket->disconnect(this);
    // Frames already sent should still reach the server.
    m_pSocket->flush();
    m_pSocket->abort();
    if (m_bInRead) {
        // Deleted from inside the socket's own readyRead: the socket goes
        // once that emission has returned.
        m_pSocket->setParent(nullptr);
        m_pSocket->deleteLater();
    }
}

bool CPatchLink::Connect(const QString& host, int port)
{
    if (m_bStarted)
        return false;
    m_bStarted = true;
    m_nPort = quint16(port & 0xFFFF);

    m_connectTimer.start(std::max(0, m_nConnectTimeoutMs));
    QHostAddress address;
    if (address.setAddress(host)) {
        m_pSocket->connectToHost(address, m_nPort);
        return true;
    }
    if (host.isEmpty()) {
        // No name is a name that does not resolve.
        QMetaObject::invokeMethod(
            this,
            [this]() {
                QHostInfo none;
                none.setError(QHostInfo::HostNotFound);
                OnHostFound(none);
            },
            Qt::QueuedConnection);
        return true;
    }
    // Through a slot, not a functor: a connection to a slot goes with its
    // receiver, while a functor's holder leaks when the link dies first.
    QHostInfo::lookupHost(host, this, SLOT(OnHostFound(QHostInfo)));
    return true;
}

void CPatchLink::OnHostFound(const QHostInfo& info)
{
    // Too late: the attempt has already been given up.
    if (m_bReported)
        return;
    // The server speaks IPv4 first; any address beats the fallback.
    QHostAddress address;
    if (info.error() == QHostInfo::NoError) {
        const auto addresses = info.addresses();
        const auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& a) {
            return a.protocol() == QAbstractSocket::IPv4Protocol;
        });
        if (v4 != addresses.end())
            address = *v4;
        else if (!addresses.isEmpty())
            address = addresses.front();
    }
    if (address.isNull()) {
        address = QHostAddress(QString::fromLatin1(orvanta::FALLBACK_PATCH_ADDR));
        Q_EMIT fallbackUsed(info.hostName(), address.toString());
    }
    m_pSocket->connectToHost(address, m_nPort);
}

void CPatchLink::OnConnected()
{
    ReportConnect(LINK_CONNECTED);
}

void CPatchLink::OnSocketError(QAbstractSocket::SocketError error)
{
    // Once connected, errors (the server going away included) go unnoticed:
    // the session stays where it is and a download under way goes on.
    if (m_bReported)
        return;
    ReportConnect(error == QAbstractSocket::UnknownSocketError ? int(LINK_ERROR_UNKNOWN)
                                                               : LINK_ERROR_SOCKET + int(error));
}

void CPatchLink::OnConnectTimeout()
{
    ReportConnect(LINK_ERROR_TIMEOUT);
}

void CPatchLink::ReportConnect(int nError)
{
    if (m_bReported)
        return;
    m_bReported = true;
    m_connectTimer.stop();
    if (nError != LINK_CONNECTED)
        m_pSocket->abort();
    Q_EMIT connectFinished(nError);
}

void CPatchLink::OnReadyRead()
{
    const QPointer<CPatchLink> self(this);
    m_bInRead = true;
    std::array<std::uint8_t, orvanta::FRAME_MAX_SIZE> chunk{};
    while (!m_bBroken && m_pSocket->bytesAvailable() > 0) {
        // Never more than the rest of the current length field or frame.
        const qint64 nWanted = qint64(std::min(m_reassembler.Wanted(), chunk.size()));
        const qint64 nGot = m_pSocket->read(reinterpret_cast<char*>(chunk.data()), nWanted);
        if (nGot <= 0)
            break;
        m_reassembler.Feed(std::span<const std::uint8_t>(chunk.data(), std::size_t(nGot)));
        if (m_reassembler.IsBroken()) {
            Break();
            if (!self)
                return;
            break;
        }
        if (!m_reassembler.HasFrame())
            continue;
        // The frame is handed over as a copy, so that nothing a receiver
        // does meanwhile can change it under its feet.
        const std::int32_t nType = m_reassembler.Type();
        const std::span<const std::uint8_t> payload = m_reassembler.Payload();
        const QByteArray frame(reinterpret_cast<const char*>(payload.data()), qsizetype(payload.size()));
        m_reassembler.Release();
        Q_EMIT frameReceived(nType, frame);
        if (!self)
            return;
    }
    m_bInRead = false;
}

void CPatchLink::Close()
{
    m_bBroken = true;
    m_bReported = true;
    m_connectTimer.stop();
    m_pSocket->abort();
}

void CPatchLink::Break()
{
    m_bBroken = true;
    m_pSocket->abort();
    Q_EMIT broken();
}

bool CPatchLink::SendFrame(std::int32_t type, std::span<const std::uint8_t> payload)
{
    if (m_bBroken || m_pSocket->state() != QAbstractSocket::ConnectedState)
        return false;
    const auto frame = orvanta::EncodeFrame(type, payload);
    if (!frame)
        return false;
    const qint64 nWritten = m_pSocket->write(reinterpret_cast<const char*>(frame->data()), qint64(frame->size()));
    if (nWritten != qint64(frame->size()))
        return false;
    // Hands what the system takes now to it; the rest stays in the socket's
    // queue and follows as the system makes room.
    m_pSocket->flush();
    return true;
}

bool CPatchLink::IsConnected() const
{
    return !m_bBroken && m_pSocket->state() == QAbstractSocket::ConnectedState;
}

QAbstractSocket* CPatchLink::Socket() const
{
    return m_pSocket;
}
