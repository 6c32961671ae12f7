#include "transfer/FtpSession.h"
// stub: being built
class CFtpWorker {};
CFtpSession* g_pFtpSession = nullptr;
int g_nPassive = 0;
void CFtpSession::CreateInstance() {}
CFtpSession* CFtpSession::GetInstance() { return g_pFtpSession; }
CFtpSession::CFtpSession() = default;
CFtpSession::~CFtpSession() = default;
void CFtpSession::Open() {}
bool CFtpSession::Connect(const std::string&, int, const std::string&, const std::string&, std::function<void(bool)>) { return false; }
int CFtpSession::GetFile(const std::string&, const QString&, std::uint64_t) { return 1; }
void CFtpSession::SetStatusSink(QObject*, FtpStatusSink) {}
void CFtpSession::CloseInternet() {}
void CFtpSession::CloseTransfer() {}
void CFtpSession::Shutdown() {}
bool CFtpSession::IsOpen() const { return false; }
bool CFtpSession::IsConnected() const { return false; }
