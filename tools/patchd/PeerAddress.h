#pragma once

#include <sys/socket.h>

#include <string>

namespace patchd {

// The peer as the caps count it and as the log shows it. The key is raw
// bytes: the IPv4 address (IPv4-mapped IPv6 folded into it), or the first
// 8 bytes of an IPv6 address, since one subscriber's /64 hands out as many
// addresses as it likes. The name is the whole address with the port.
void DescribePeer(const sockaddr_storage& sa, std::string* pKey, std::string* pName);

} // namespace patchd
