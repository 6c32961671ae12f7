#include "PeerAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace patchd {

void DescribePeer(const sockaddr_storage& sa, std::string* pKey, std::string* pName)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (sa.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            const auto* pV4 = in6.sin6_addr.s6_addr + 12;
            pKey->assign(reinterpret_cast<const char*>(pV4), 4);
            inet_ntop(AF_INET, pV4, text, sizeof text);
            *pName = std::string(text) + ":" + std::to_string(ntohs(in6.sin6_port));
            return;
        }
        pKey->assign(reinterpret_cast<const char*>(in6.sin6_addr.s6_addr), 8);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        *pName = "[" + std::string(text) + "]:" + std::to_string(ntohs(in6.sin6_port));
        return;
    }
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(sa);
    pKey->assign(reinterpret_cast<const char*>(&in4.sin_addr), 4);
    inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
    *pName = std::string(text) + ":" + std::to_string(ntohs(in4.sin_port));
}

} // namespace patchd
