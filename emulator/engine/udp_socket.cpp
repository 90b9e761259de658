// UdpSocket over POSIX sockets: open, bind to a system-chosen port, send, close.
#include "udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace Kor::Engine {

UdpSocket::UdpSocket(MessageSink& messages) : messages_(messages) {
    messages_.Progress("Creating socket...");
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
        throw std::system_error(errno, std::system_category(), "Error opening socket.");
    }
}

UdpSocket::~UdpSocket() {
    messages_.Progress("Closing UDP socket!");
    ::close(fd_);
}

void UdpSocket::BindAnyPort() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(0);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        throw std::system_error(errno, std::system_category(), "Binding port failed.");
    }
}

bool UdpSocket::SendTo(const std::string& address, std::uint16_t port, const std::uint8_t* data,
                       std::size_t size) noexcept {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = ::inet_addr(address.c_str());
    const ssize_t sent = ::sendto(fd_, data, size, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent >= 0;
}

namespace {

void SetOption(int fd, int level, int name, const void* value, socklen_t size, const char* what) {
    if (::setsockopt(fd, level, name, value, size) != 0) {
        throw std::system_error(errno, std::system_category(), what);
    }
}

}  // namespace

void UdpSocket::SetMulticastTtl(int ttl) {
    if (ttl < 0 || ttl > 255) {
        throw std::system_error(EINVAL, std::system_category(),
                                "Setting the multicast TTL failed (0 to 255)");
    }
    SetOption(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl,
              "Setting the multicast TTL failed");
}

void UdpSocket::SetMulticastInterface(const std::string& address) {
    in_addr local{};
    if (::inet_pton(AF_INET, address.c_str(), &local) != 1) {
        throw std::system_error(EINVAL, std::system_category(),
                                "Setting the multicast interface failed: '" + address +
                                    "' is not an IPv4 address");
    }
    SetOption(fd_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local,
              ("Setting the multicast interface " + address + " failed").c_str());
}

void UdpSocket::SetMulticastLoop(bool on) {
    const unsigned char value = on ? 1 : 0;
    SetOption(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &value, sizeof value,
              "Setting multicast loopback failed");
}

void UdpSocket::EnableBroadcast() {
    const int on = 1;
    SetOption(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on, "Enabling broadcast failed");
}

std::uint16_t UdpSocket::LocalPort() const noexcept {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

}  // namespace Kor::Engine
