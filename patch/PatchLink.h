#pragma once

#include "patch/PatchFrame.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <span>

class QHostInfo;
class QTcpSocket;

// The one TCP link to the patch server. It lives on the thread that made it
// and reports there: connectFinished(error) once with the outcome of
// Connect, frameReceived for every whole frame, and broken when the server
// sends a length no frame can have. A receiver may destroy the link from
// inside any of these signals.
class CPatchLink final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CPatchLink)

public:
    // Outcomes of Connect besides 0 (connected). Errors of the socket layer
    // arrive as LINK_ERROR_SOCKET + QAbstractSocket::SocketError.
    enum : int {
        LINK_CONNECTED = 0,
        LINK_ERROR_UNKNOWN = 1,
        LINK_ERROR_SOCKET = 100,
        LINK_ERROR_REFUSED = LINK_ERROR_SOCKET + QAbstractSocket::ConnectionRefusedError,
        LINK_ERROR_NO_HOST = LINK_ERROR_SOCKET + QAbstractSocket::HostNotFoundError,
        LINK_ERROR_TIMEOUT = LINK_ERROR_SOCKET + QAbstractSocket::SocketTimeoutError,
    };
    // Name lookup and connection together; a server that neither accepts
    // nor refuses would otherwise hold the session in "connecting" forever.
    static constexpr int DEFAULT_CONNECT_TIMEOUT_MS = 10000;

    explicit CPatchLink(QObject* parent = nullptr);
    ~CPatchLink() override;

    // Starts connecting to host (a literal address used as is, or a name
    // resolved off the window's thread; a name that does not resolve means
    // the build's fallback address) on the low 16 bits of port. Returns
    // whether an attempt started. An empty host starts none, but its
    // failure is still reported through connectFinished, so the session
    // always reaches an end.
    bool Connect(const QString& host, int port);

    // Sends one whole frame. What the system cannot take at once stays
    // queued in the socket and goes out in order. False when not connected,
    // when the link is broken, or when the payload exceeds 1016 bytes.
    bool SendFrame(std::int32_t type, std::span<const std::uint8_t> payload);

    // Closes the connection without a report; the link stays broken.
    void Close();

    // Before Connect.
    void SetConnectTimeout(int nMs) { m_nConnectTimeoutMs = nMs; }

    bool IsConnected() const;
    bool IsBroken() const { return m_bBroken; }
    QAbstractSocket* Socket() const;

Q_SIGNALS:
    void connectFinished(int nError);  // 0 or one of the errors above
    void frameReceived(int nType, const QByteArray& payload);
    void broken();
    // The host was empty or did not resolve: the link tries the publisher's
    // fixed address instead.
    void fallbackUsed(const QString& host, const QString& address);

private Q_SLOTS:
    void OnHostFound(const QHostInfo& info);

private:
    void OnConnected();
    void OnSocketError(QAbstractSocket::SocketError error);
    void OnConnectTimeout();
    void OnReadyRead();
    void ReportConnect(int nError);
    void Break();

    QTcpSocket* m_pSocket;  // child of the link
    QTimer m_connectTimer;
    orvanta::CFrameReassembler m_reassembler;
    int m_nConnectTimeoutMs = DEFAULT_CONNECT_TIMEOUT_MS;
    quint16 m_nPort = 0;
    bool m_bStarted = false;
    bool m_bReported = false;
    bool m_bBroken = false;
    bool m_bInRead = false;  // inside the socket's readyRead: it must not be deleted there
};
