#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Status codes that a transfer reports (the values of the platform's
// internet library, which the sequencer was written against).
enum : std::uint32_t {
    FTP_STATUS_START = 21,            // never sent by the session: the session start sends it
    FTP_STATUS_BYTES = 41,            // info.nBytes: bytes received since the previous 41
    FTP_STATUS_CONNECTION_CLOSED = 51,
    FTP_STATUS_TRANSFER_STARTED = 60,
    FTP_STATUS_REQUEST_COMPLETE = 100,  // info.bCommitted: the file was put in place
};

struct FtpStatusInfo {
    std::uint64_t nBytes = 0;
    bool bCommitted = false;
};

// Receives transfer notifications on the thread of the context object given
// to SetStatusSink, one at a time and in order.
using FtpStatusSink = std::function<void(std::uint32_t dwStatus, const FtpStatusInfo& info)>;

// Result codes of GetFile.
enum : int {
    FTP_OK = 0,
    FTP_IO_PENDING = 997,  // the transfer was queued; its notifications follow
};

class CFtpWorker;

// The one FTP session of the process. One worker thread owns one curl easy
// handle, so every file of an update reuses the logged-in control
// connection. All public operations are called from the window's thread.
class CFtpSession {
public:
    static void CreateInstance();
    static CFtpSession* GetInstance();

    virtual ~CFtpSession();
    CFtpSession(const CFtpSession&) = delete;
    CFtpSession& operator=(const CFtpSession&) = delete;

    // Starts the worker. Shows "인터넷을 연결하세요" when the library cannot start.
    void Open();

    // Reloads PASSIVE into g_nPassive, then logs in on the worker: passive or
    // active as g_nPassive says, and once more in passive mode when that
    // fails. Returns false at once (no message) when the session is not open
    // or already connected; otherwise the outcome reaches onDone on the
    // window's thread, after the failure box "FTP접속 실패입니다." if both
    // attempts failed.
    bool Connect(const std::string& host, int port, const std::string& user,
                 const std::string& password, std::function<void(bool)> onDone);

    // Queues the download of remotePath (the server's own bytes) into
    // localPath. The file lands in a temporary file beside the target and
    // replaces it only when the whole file of expectedSize bytes arrived.
    // Returns FTP_IO_PENDING when queued, or a nonzero error code.
    int GetFile(const std::string& remotePath, const QString& localPath, std::uint64_t expectedSize);

    void SetStatusSink(QObject* context, FtpStatusSink sink);

    void CloseInternet();
    void CloseTransfer();
    static void Shutdown();

    bool IsOpen() const;
    bool IsConnected() const;

private:
    CFtpSession();

    std::unique_ptr<CFtpWorker> m_pWorker;
    bool m_bConnected = false;
};

extern CFtpSession* g_pFtpSession;
extern int g_nPassive;

// "host", "host:port" or "[v6]:port"; port 21 when none is given.
struct FtpEndpoint {
    std::string host;
    int port = 21;
};
FtpEndpoint ParseFtpEndpoint(const std::string& text);
