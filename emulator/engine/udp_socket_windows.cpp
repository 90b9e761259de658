// UdpSocket over Windows Sockets: WSAStartup, socket, bind, sendto, closesocket, WSACleanup.
#include "udp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <system_error>

#include "sockets.h"

namespace Kor::Engine {

namespace {

[[noreturn]] void ThrowLastError(const char* what) {
    throw std::system_error(::WSAGetLastError(), Platform::SocketErrorCategory(), what);
}

}  // namespace

UdpSocket::UdpSocket(MessageSink& messages) : messages_(messages), fd_(INVALID_SOCKET) {
    messages_.Progress("Creating socket...");
    WSADATA data{};
    const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        // WSAStartup returns its error instead of setting WSAGetLastError.
        throw std::system_error(started, Platform::SocketErrorCategory(), "Error opening socket.");
    }
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                  WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        const int error = ::WSAGetLastError();
        ::WSACleanup();
        throw std::system_error(error, Platform::SocketErrorCategory(), "Error opening socket.");
    }
    fd_ = s;
}

UdpSocket::~UdpSocket() {
    messages_.Progress("Closing UDP socket!");
    ::closesocket(static_cast<SOCKET>(fd_));
    ::WSACleanup();
}

void UdpSocket::BindAnyPort() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(0);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(static_cast<SOCKET>(fd_), reinterpret_cast<const sockaddr*>(&local),
               sizeof local) == SOCKET_ERROR) {
        ThrowLastError("Binding port failed.");
    }
}

bool UdpSocket::SendTo(const std::string& address, std::uint16_t port, const std::uint8_t* data,
                       std::size_t size) noexcept {
    if (size > 65'535) {
        return false;  // more than a datagram holds (and than sendto's int length takes)
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    // As on POSIX: text that is not an address gives INADDR_NONE, 255.255.255.255.
    to.sin_addr.s_addr = ::inet_addr(address.c_str());
    const int sent = ::sendto(static_cast<SOCKET>(fd_), reinterpret_cast<const char*>(data),
                              static_cast<int>(size), 0, reinterpret_cast<const sockaddr*>(&to),
                              sizeof to);
    return sent != SOCKET_ERROR;
}

namespace {

void SetOption(std::uintptr_t fd, int level, int name, const void* value, int size,
               const char* what) {
    if (::setsockopt(static_cast<SOCKET>(fd), level, name, static_cast<const char*>(value),
                     size) == SOCKET_ERROR) {
        ThrowLastError(what);
    }
}

}  // namespace

void UdpSocket::SetMulticastTtl(int ttl) {
    if (ttl < 0 || ttl > 255) {
        throw std::system_error(WSAEINVAL, Platform::SocketErrorCategory(),
                                "Setting the multicast TTL failed (0 to 255)");
    }
    const DWORD value = static_cast<DWORD>(ttl);
    SetOption(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value,
              "Setting the multicast TTL failed");
}

void UdpSocket::SetMulticastInterface(const std::string& address) {
    in_addr local{};
    if (::inet_pton(AF_INET, address.c_str(), &local) != 1) {
        throw std::system_error(WSAEINVAL, Platform::SocketErrorCategory(),
                                "Setting the multicast interface failed: '" + address +
                                    "' is not an IPv4 address");
    }
    SetOption(fd_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local,
              ("Setting the multicast interface " + address + " failed").c_str());
}

void UdpSocket::SetMulticastLoop(bool on) {
    // Windows takes a DWORD here where POSIX systems take one byte.
    const DWORD value = on ? 1 : 0;
    SetOption(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &value, sizeof value,
              "Setting multicast loopback failed");
}

void UdpSocket::EnableBroadcast() {
    const BOOL on = TRUE;
    SetOption(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on, "Enabling broadcast failed");
}

std::uint16_t UdpSocket::LocalPort() const noexcept {
    sockaddr_in local{};
    int length = sizeof local;
    if (::getsockname(static_cast<SOCKET>(fd_), reinterpret_cast<sockaddr*>(&local), &length) ==
        SOCKET_ERROR) {
        return 0;
    }
    return ntohs(local.sin_port);
}

}  // namespace Kor::Engine
