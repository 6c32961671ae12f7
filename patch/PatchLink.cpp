#include "patch/PatchLink.h"

CPatchLink::CPatchLink(CUpdaterDlg* pOwner) : m_pOwner(pOwner) {}
CPatchLink::~CPatchLink() = default;
bool CPatchLink::Connect(const QString&, int) { return false; }
bool CPatchLink::SendFrame(std::int32_t, std::span<const std::uint8_t>) { return false; }
