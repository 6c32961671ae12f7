#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <span>

class CUpdaterDlg;

// The TCP link to the patch server (stub: being built).
class CPatchLink final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CPatchLink)

public:
    explicit CPatchLink(CUpdaterDlg* pOwner);
    ~CPatchLink() override;

    bool Connect(const QString& host, int port);
    bool SendFrame(std::int32_t type, std::span<const std::uint8_t> payload);

private:
    CUpdaterDlg* m_pOwner;
};
