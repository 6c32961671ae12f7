#include "PatchServer.h"

#include "patch/Cp949.h"
#include "patch/PatchFrame.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace patchd {
namespace {

QString PeerName(const QTcpSocket* pSocket)
{
    const QHostAddress address = pSocket->peerAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(pSocket->peerPort());
}

// One connected client: its own reassembler, and the conversation of
// frames 10 and 18. Deletes itself when the client goes.
class CPatchClient final : public QObject {
public:
    CPatchClient(QTcpSocket* pSocket, const CReleaseConfig& config)
        : QObject(pSocket), m_pSocket(pSocket), m_config(config), m_name(PeerName(pSocket))
    {
        Log(QStringLiteral("connected"));
        connect(pSocket, &QTcpSocket::readyRead, this, &CPatchClient::OnReadyRead);
        connect(pSocket, &QTcpSocket::disconnected, pSocket, [this]() {
            Log(m_bDropped ? QStringLiteral("closed") : QStringLiteral("gone"));
            m_pSocket->deleteLater();
        });
    }

private:
    void Log(const QString& text) { LogLine(QStringLiteral("client %1 %2").arg(m_name, text)); }

    void OnReadyRead()
    {
        while (!m_bDropped && m_pSocket->bytesAvailable() > 0) {
            std::array<std::uint8_t, orvanta::FRAME_MAX_SIZE> chunk{};
            const qint64 nGot = m_pSocket->read(reinterpret_cast<char*>(chunk.data()),
                                                qint64(std::max<std::size_t>(1, m_reassembler.Wanted())));
            if (nGot <= 0)
                return;
            m_reassembler.Feed(std::span<const std::uint8_t>(chunk.data(), std::size_t(nGot)));
            if (m_reassembler.IsBroken()) {
                Log(QStringLiteral("dropped: frame length %1 out of range").arg(m_reassembler.BadLength()));
                m_bDropped = true;
                m_pSocket->abort();
                return;
            }
            if (m_reassembler.HasFrame()) {
                OnFrame(m_reassembler.Type(), m_reassembler.Payload());
                m_reassembler.Release();
            }
        }
    }

    void OnFrame(std::int32_t nType, std::span<const std::uint8_t> payload)
    {
        switch (nType) {
        case orvanta::FRAME_CLIENT_VERSION: {
            const auto version = orvanta::DecodeInt32(payload);
            if (!version) {
                Log(QStringLiteral("<- 10 ignored: payload of %1 bytes").arg(payload.size()));
                return;
            }
            Log(QStringLiteral("<- 10 version=%1").arg(*version));
            Send(orvanta::FRAME_SERVER_VERSION, orvanta::EncodeInt32(m_config.nVersion),
                 QStringLiteral("version=%1").arg(m_config.nVersion));
            if (*version == m_config.nVersion)
                return;
            for (const CReleaseFile& file : m_config.files) {
                Send(orvanta::FRAME_FILE_ENTRY, orvanta::EncodeFileEntry(file.entry),
                     QStringLiteral("file=%1 size=%2").arg(file.path).arg(file.entry.size));
            }
            Send(orvanta::FRAME_FTP_INFO, orvanta::EncodeFtpInfo(m_config.ftp),
                 QStringLiteral("host=%1 user=%2")
                     .arg(QString::fromStdString(orvanta::Cp949ToUtf8(m_config.ftp.host)),
                          QString::fromStdString(orvanta::Cp949ToUtf8(m_config.ftp.user))));
            return;
        }
        case orvanta::FRAME_UP_TO_DATE:
            Log(QStringLiteral("<- 18"));
            Send(orvanta::FRAME_GAME_SERVER, orvanta::EncodeGameServerInfo(m_config.game),
                 QStringLiteral("address=%1 port=%2")
                     .arg(QString::fromStdString(orvanta::Cp949ToUtf8(m_config.game.address)))
                     .arg(m_config.game.port));
            return;
        case orvanta::FRAME_UPDATE_DONE:
            Log(QStringLiteral("<- 16"));
            return;
        default:
            Log(QStringLiteral("<- %1 ignored: payload of %2 bytes").arg(nType).arg(payload.size()));
            return;
        }
    }

    void Send(std::int32_t nType, const std::vector<std::uint8_t>& payload, const QString& what)
    {
        const auto frame = orvanta::EncodeFrame(nType, payload);
        if (!frame)
            return;
        // The socket queues what the client does not take at once.
        m_pSocket->write(reinterpret_cast<const char*>(frame->data()), qint64(frame->size()));
        Log(QStringLiteral("-> %1 %2").arg(nType).arg(what));
    }

    QTcpSocket* m_pSocket;  // parent of this object
    const CReleaseConfig& m_config;
    QString m_name;
    orvanta::CFrameReassembler m_reassembler;
    bool m_bDropped = false;
};

} // namespace

void LogLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

bool ToFieldText(const QString& text, std::size_t nField, std::string* pOut)
{
    const QByteArray utf8 = text.toUtf8();
    bool bOk = false;
    std::string cp949 = orvanta::Utf8ToCp949(std::string_view(utf8.constData(), std::size_t(utf8.size())), &bOk);
    if (!bOk || cp949.size() + 1 > nField || cp949.find('\0') != std::string::npos)
        return false;
    *pOut = std::move(cp949);
    return true;
}

bool LoadReleaseFolder(const QString& folder, std::vector<CReleaseFile>* pFiles, QString* pError)
{
    const QDir root(folder);
    if (!root.exists()) {
        *pError = QStringLiteral("release folder %1 does not exist").arg(folder);
        return false;
    }
    std::vector<CReleaseFile> files;
    QDirIterator it(root.absolutePath(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (!info.isFile())
            continue;
        const QString relative = root.relativeFilePath(info.absoluteFilePath());
        const qsizetype nSlash = relative.lastIndexOf(QLatin1Char('/'));
        const QString folderPart = nSlash < 0 ? QString() : relative.left(nSlash);
        const QString namePart = relative.mid(nSlash + 1);

        CReleaseFile file;
        file.path = relative;
        if (!ToFieldText(folderPart, orvanta::FileEntry::FOLDER_FIELD, &file.entry.folder)) {
            *pError = QStringLiteral("%1: the folder has no CP949 form of at most 255 bytes").arg(relative);
            return false;
        }
        if (!ToFieldText(namePart, orvanta::FileEntry::NAME_FIELD, &file.entry.name)) {
            *pError = QStringLiteral("%1: the name has no CP949 form of at most 255 bytes").arg(relative);
            return false;
        }
        if (info.size() < 0 || info.size() > std::numeric_limits<std::uint32_t>::max()) {
            *pError = QStringLiteral("%1: larger than 4 GiB less one byte").arg(relative);
            return false;
        }
        file.entry.size = std::uint32_t(info.size());
        files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(), [](const CReleaseFile& a, const CReleaseFile& b) {
        const QByteArray fa = a.path.left(std::max<qsizetype>(0, a.path.lastIndexOf(QLatin1Char('/')))).toUtf8();
        const QByteArray fb = b.path.left(std::max<qsizetype>(0, b.path.lastIndexOf(QLatin1Char('/')))).toUtf8();
        if (fa != fb)
            return fa < fb;
        return a.path.toUtf8() < b.path.toUtf8();
    });
    *pFiles = std::move(files);
    return true;
}

CPatchServer::CPatchServer(CReleaseConfig config, QObject* parent) : QObject(parent), m_config(std::move(config))
{
    connect(&m_server, &QTcpServer::newConnection, this, &CPatchServer::OnNewConnection);
}

CPatchServer::~CPatchServer() = default;

bool CPatchServer::Listen(const QHostAddress& address, quint16 nPort, QString* pError)
{
    if (!m_server.listen(address, nPort)) {
        *pError = m_server.errorString();
        return false;
    }
    return true;
}

void CPatchServer::OnNewConnection()
{
    while (QTcpSocket* pSocket = m_server.nextPendingConnection()) {
        // The socket is the server's child until it goes; the client object
        // is the socket's child.
        new CPatchClient(pSocket, m_config);
    }
}

} // namespace patchd
