#pragma once

#include "patch/Records.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <cstdint>
#include <vector>

// The reference patch server: it serves one release to every client that
// connects. Lives on the thread of QCoreApplication's event loop.
namespace patchd {

struct CReleaseFile {
    orvanta::FileEntry entry;  // as it goes on the wire (CP949 texts)
    QString path;              // relative to the release folder, for the log
};

struct CReleaseConfig {
    std::int32_t nVersion = 1;
    std::vector<CReleaseFile> files;
    orvanta::FtpInfo ftp;
    orvanta::GameServerInfo game;
};

// Every regular file under folder, sorted by folder then name (bytes of
// their UTF-8 form): folder relative to the release root with "/"
// separators, empty at the root; texts converted to CP949. False, with the
// reason, when a path cannot be carried by the record (not CP949, longer
// than its field) or a file does not fit the 32-bit size.
bool LoadReleaseFolder(const QString& folder, std::vector<CReleaseFile>* pFiles, QString* pError);

// A text for a fixed-width field of the given size: CP949 of utf8, NUL
// included. False when it does not convert exactly or does not fit.
bool ToFieldText(const QString& text, std::size_t nField, std::string* pOut);

class CPatchServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CPatchServer)

public:
    explicit CPatchServer(CReleaseConfig config, QObject* parent = nullptr);
    ~CPatchServer() override;

    bool Listen(const QHostAddress& address, quint16 nPort, QString* pError);
    QHostAddress Address() const { return m_server.serverAddress(); }
    quint16 Port() const { return m_server.serverPort(); }

private:
    void OnNewConnection();

    CReleaseConfig m_config;  // read by the clients, which the server owns
    QTcpServer m_server;
};

// One line on stdout, flushed at once so that a reader sees it as it happens.
void LogLine(const QString& line);

} // namespace patchd
