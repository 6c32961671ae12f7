// The download sequencer of CUpdaterDlg (stub: being built).
#include "ui/UpdaterDlg.h"

std::size_t g_nCurFile = 0;
std::uint64_t g_dwFileRecv = 0;
std::uint64_t g_dwAllRecv = 0;
std::uint64_t g_dwLastFileRecv = 0;

void CUpdaterDlg::ConnectFtp() {}
void CUpdaterDlg::OnFtpConnected(bool) {}
void CUpdaterDlg::OnFtpStatus(std::uint32_t, const FtpStatusInfo*) {}
void CUpdaterDlg::PrepareTotals() {}
bool CUpdaterDlg::DownloadEntry(std::size_t) { return false; }
int CUpdaterDlg::StartEntryTransfer(std::size_t) { return -1; }
bool CUpdaterDlg::EnsureDirectory(const QByteArray&) { return false; }
void CUpdaterDlg::SaveDownEntry(const QByteArray&, const QByteArray&) {}
