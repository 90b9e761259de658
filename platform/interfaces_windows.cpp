// This machine's IPv4 interface addresses on Windows: the adapters' unicast addresses.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <vector>

#include "ipv4.h"

namespace Kor::Platform {

bool IsLocalIpv4Address(const std::string& address) {
    in_addr wanted{};
    if (::inet_pton(AF_INET, address.c_str(), &wanted) != 1) {
        return false;
    }
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer(size);
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(
            AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) {
        return true;
    }
    for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        for (const auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
            if (in != nullptr && in->sin_family == AF_INET &&
                in->sin_addr.s_addr == wanted.s_addr) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace Kor::Platform
