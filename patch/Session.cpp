// The update session's handlers of CUpdaterDlg (stub: being built).
#include "ui/UpdaterDlg.h"

void CUpdaterDlg::OnTimer() { m_timer.stop(); LoadSettings(); }
void CUpdaterDlg::OnLinkConnect(int) {}
void CUpdaterDlg::DispatchFrame(std::int32_t, std::span<const std::uint8_t>) {}
void CUpdaterDlg::OnLinkBroken() {}
void CUpdaterDlg::SendClientVersion() {}
void CUpdaterDlg::SendUpdateDone() {}
void CUpdaterDlg::SendUpToDate() {}
