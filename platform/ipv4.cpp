// IPv4 text and name look-ups: the same calls on both systems, from different headers.
#include "ipv4.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <array>
#include <charconv>

#include "sockets.h"

namespace Kor::Platform {

std::optional<std::string> ResolveIpv4(const std::string& host) {
    in_addr address{};
    if (::inet_pton(AF_INET, host.c_str(), &address) == 1) {
        return host;
    }
    if (host.empty()) {
        return std::nullopt;  // Windows' resolver would answer with this machine's address
    }
    const SocketSession session;  // name look-ups need Windows Sockets started
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    std::array<char, INET_ADDRSTRLEN> text{};
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::inet_ntop(AF_INET, &ipv4->sin_addr, text.data(), text.size());
    ::freeaddrinfo(found);
    return std::string(text.data());
}

bool IsMulticastIpv4(const std::string& address) {
    in_addr parsed{};
    return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1 &&
           (ntohl(parsed.s_addr) >> 28) == 0xE;
}

std::optional<HostPort> SplitHostPort(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return std::nullopt;
    }
    unsigned value = 0;
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || first == last || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return HostPort{text.substr(0, colon), static_cast<std::uint16_t>(value)};
}

}  // namespace Kor::Platform
