// This machine's IPv4 interface addresses on POSIX systems (getifaddrs).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "ipv4.h"

namespace Kor::Platform {

bool IsLocalIpv4Address(const std::string& address) {
    in_addr wanted{};
    if (::inet_pton(AF_INET, address.c_str(), &wanted) != 1) {
        return false;
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return true;
    }
    bool found = false;
    for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
            found = in->sin_addr.s_addr == wanted.s_addr;
        }
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace Kor::Platform
