#pragma once

#include <sys/socket.h>

#include <string>

namespace patchd {

// The peer's address as the caps count it (raw bytes, IPv4-mapped IPv6
// folded into IPv4) and as the log shows it, with the port.
void DescribePeer(const sockaddr_storage& sa, std::string* pKey, std::string* pName);

} // namespace patchd
