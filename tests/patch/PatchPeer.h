#pragma once

#include "patch/PatchFrame.h"

#include <QByteArray>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <span>
#include <vector>

// Real peers on loopback for the patch-link tests: a scripted patch server
// and a bare protocol client. Both run on the test's thread and collect the
// frames they receive as the event loop delivers them.
namespace patch_test {

struct Frame {
    std::int32_t type = 0;
    std::vector<std::uint8_t> payload;
};

QByteArray FrameBytes(std::int32_t type, std::span<const std::uint8_t> payload = {});
QByteArray Int32Frame(std::int32_t type, std::int32_t value);

// Collects whole frames from whatever a socket delivers.
class CFrameCollector final {
public:
    void Take(QTcpSocket* pSocket);
    const std::vector<Frame>& Frames() const { return m_frames; }
    bool IsBroken() const { return m_reassembler.IsBroken(); }

private:
    orvanta::CFrameReassembler m_reassembler;
    std::vector<Frame> m_frames;
};

// A patch server the test scripts byte by byte: listens on 127.0.0.1 on a
// free port and takes one client.
class CScriptedPeer final {
public:
    CScriptedPeer();
    quint16 Port() const { return m_server.serverPort(); }

    bool WaitForClient(int nTimeoutMs = 5000);
    bool WaitForFrames(std::size_t nCount, int nTimeoutMs = 5000);
    const std::vector<Frame>& Received() const { return m_collector.Frames(); }

    // Writes and hands the bytes to the system at once.
    void Write(const QByteArray& bytes);
    bool HasClient() const { return m_pClient != nullptr; }
    bool ClientClosed() const;

private:
    QTcpServer m_server;
    QPointer<QTcpSocket> m_pClient;
    CFrameCollector m_collector;
};

// A bare client of the protocol, for talking to the reference server.
class CFrameClient final {
public:
    bool Connect(quint16 nPort, int nTimeoutMs = 5000);
    void Write(const QByteArray& bytes);
    bool WaitForFrames(std::size_t nCount, int nTimeoutMs = 5000);
    const std::vector<Frame>& Received() const { return m_collector.Frames(); }
    bool WaitForClose(int nTimeoutMs = 5000);
    QTcpSocket& Socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    CFrameCollector m_collector;
    bool m_bConnected = false;
};

} // namespace patch_test
