// UdpSocket over POSIX sockets: socket, bind, sendto, recvmsg with the destination address
// (IP_PKTINFO) and the kernel's receive stamp (SO_TIMESTAMPNS), close.
#include "udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "sockets.h"

namespace Kor::Platform {

namespace {

// Largest possible UDP payload; a datagram is never cut short.
constexpr std::size_t kMaxDatagram = 65536;

void SetOption(int fd, int level, int name, const void* value, socklen_t size,
               const std::string& what) {
    if (::setsockopt(fd, level, name, value, size) != 0) {
        throw std::system_error(errno, std::system_category(), what);
    }
}

std::int64_t Nanoseconds(const timespec& t) {
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

UdpSocket::UdpSocket(const std::string& what) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
        throw std::system_error(errno, std::system_category(), what);
    }
}

UdpSocket::~UdpSocket() {
    ::close(fd_);
}

int UdpSocket::Bind(const std::string& address, std::uint16_t port) noexcept {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        return EINVAL;
    }
    // No SO_REUSEADDR: on a UDP port it would let a second receiver share the port.
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return errno;
    }
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);  // the port chosen
    boundAddress_ = ntohl(local.sin_addr.s_addr);
    boundPort_ = ntohs(local.sin_port);
    return 0;
}

int UdpSocket::JoinGroup(const std::string& group, const std::string& interface) noexcept {
    ip_mreq membership{};
    if (::inet_pton(AF_INET, group.c_str(), &membership.imr_multiaddr) != 1 ||
        ::inet_pton(AF_INET, interface.c_str(), &membership.imr_interface) != 1) {
        return EINVAL;
    }
    if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        return errno;
    }
    return 0;
}

void UdpSocket::PrepareToReceive() noexcept {
    const int size = 1 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
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
              "Setting the multicast interface " + address + " failed");
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

ReadResult UdpSocket::Receive(std::vector<std::uint8_t>& buffer,
                              std::chrono::milliseconds timeout, DatagramOrigin& origin) {
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    if (ready < 0) {
        return errno == EINTR ? ReadResult::Interrupted : Fail("poll", errno);
    }
    if (ready == 0) {
        return ReadResult::Timeout;
    }
    scratch_.resize(kMaxDatagram);
    sockaddr_in from{};
    iovec data{scratch_.data(), scratch_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd_, &message, MSG_DONTWAIT);
    if (got < 0) {
        buffer.clear();
        if (errno == EINTR) {
            return ReadResult::Interrupted;
        }
        // A spurious wake-up, or an ICMP error queued on the socket: nothing to read.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED) {
            return ReadResult::Timeout;
        }
        return Fail("receive", errno);
    }
    buffer.assign(scratch_.begin(), scratch_.begin() + got);
    // The sender as received, the address the datagram was sent to (the bound address when
    // the system does not say) and the receive stamp (the clock now without one).
    origin = DatagramOrigin{};
    origin.sourceAddress = ntohl(from.sin_addr.s_addr);
    origin.sourcePort = ntohs(from.sin_port);
    origin.destinationAddress = LocalAddress();
    origin.destinationPort = LocalPort();
    bool stamped = false;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            origin.destinationAddress = ntohl(info.ipi_addr.s_addr);
        } else if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            origin.wallNs = Nanoseconds(stamp);
            stamped = true;
        }
    }
    if (!stamped) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        origin.wallNs = Nanoseconds(now);
    }
    return ReadResult::Data;
}

ReadResult UdpSocket::Fail(const char* what, int code) {
    error_ = std::string(what) + " failed: " + SocketErrorText(code);
    return ReadResult::Error;
}

}  // namespace Kor::Platform
