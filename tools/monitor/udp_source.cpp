// UDP source: one IPv4 socket bound to the monitored port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstring>

#include "source.h"

namespace KorMonitor {

namespace {

// Largest possible UDP payload; a datagram is never cut short.
constexpr std::size_t kMaxDatagram = 65536;

class UdpSource final : public Source {
public:
    UdpSource(UniqueFd socket, std::string description, const sockaddr_in& bound)
        : socket_(std::move(socket)), description_(std::move(description)), bound_(bound) {}

    ReadResult Read(std::vector<std::uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        pollfd entry{socket_.Get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
        if (ready < 0) {
            return errno == EINTR ? ReadResult::Interrupted : Fail("poll");
        }
        if (ready == 0) {
            return ReadResult::Timeout;
        }
        sockaddr_in from{};
        iovec data{scratch_.data(), scratch_.size()};
        alignas(
            cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(socket_.Get(), &message, MSG_DONTWAIT);
        if (got < 0) {
            buffer.clear();
            if (errno == EINTR) {
                return ReadResult::Interrupted;
            }
            // A spurious wake-up, or an ICMP error queued on the socket: nothing to read.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED) {
                return ReadResult::Timeout;
            }
            return Fail("receive");
        }
        buffer.assign(scratch_.begin(), scratch_.begin() + got);
        origin_ = Origin(message, from);
        return ReadResult::Data;
    }

    bool Datagrams() const override { return true; }
    std::string Describe() const override { return description_; }
    std::string ErrorText() const override { return error_; }
    std::optional<DatagramOrigin> LastOrigin() const override { return origin_; }

private:
    // The sender as received, the address the datagram was sent to (the bound address
    // when the system does not say) and the receive time stamp (the clock now without one).
    DatagramOrigin Origin(msghdr& message, const sockaddr_in& from) const {
        DatagramOrigin origin;
        origin.sourceAddress = ntohl(from.sin_addr.s_addr);
        origin.sourcePort = ntohs(from.sin_port);
        origin.destinationAddress = ntohl(bound_.sin_addr.s_addr);
        origin.destinationPort = ntohs(bound_.sin_port);
        bool stamped = false;
        for (cmsghdr* entry = CMSG_FIRSTHDR(&message); entry != nullptr;
             entry = CMSG_NXTHDR(&message, entry)) {
            if (entry->cmsg_level == IPPROTO_IP && entry->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(entry), sizeof info);
                origin.destinationAddress = ntohl(info.ipi_addr.s_addr);
            } else if (entry->cmsg_level == SOL_SOCKET && entry->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(entry), sizeof stamp);
                origin.wallNs = std::int64_t{stamp.tv_sec} * 1'000'000'000 + stamp.tv_nsec;
                stamped = true;
            }
        }
        if (!stamped) {
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            origin.wallNs = std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
        }
        return origin;
    }

    ReadResult Fail(const char* what) {
        error_ = description_ + ": " + what + " failed: " + std::strerror(errno);
        return ReadResult::Error;
    }

    UniqueFd socket_;
    // Receives every datagram; the caller's buffer then takes only its bytes, rather than
    // being grown (and zeroed) to the largest size for each read.
    std::vector<std::uint8_t> scratch_ = std::vector<std::uint8_t>(kMaxDatagram);
    std::string description_;
    std::string error_;
    sockaddr_in bound_;
    std::optional<DatagramOrigin> origin_;
};

}  // namespace

std::unique_ptr<Source> OpenUdpSource(const std::string& address, std::uint16_t port,
                                      std::string& error,
                                      const std::optional<GroupMembership>& join) {
    const std::string where = address + ":" + std::to_string(port);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        error = "cannot bind UDP " + where + ": not an IPv4 address";
        return nullptr;
    }
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0) {
        error = "cannot open a UDP socket for port " + std::to_string(port) + ": " +
                std::strerror(errno);
        return nullptr;
    }
    // No SO_REUSEADDR: on a UDP port it would let a second receiver share the port and
    // silently take some of the datagrams; a port in use is reported instead.
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = "cannot bind UDP port " + std::to_string(port) + " on " + address + ": " +
                std::strerror(errno);
        return nullptr;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        port = ntohs(bound.sin_port);
    }
    // A larger receive buffer rides out bursts while the view is being drawn.
    const int size = 1 << 20;
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    // Each datagram's destination address (the bound one may be 0.0.0.0) and the time the
    // system received it, for --record.
    const int on = 1;
    ::setsockopt(socket.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    std::string description = "UDP " + address + ":" + std::to_string(port);
    if (join) {
        ip_mreq membership{};
        if (::inet_pton(AF_INET, join->group.c_str(), &membership.imr_multiaddr) != 1 ||
            ::inet_pton(AF_INET, join->interface.c_str(), &membership.imr_interface) != 1) {
            error = "cannot join group " + join->group + " on " + join->interface +
                    ": not an IPv4 address";
            return nullptr;
        }
        if (::setsockopt(socket.Get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership,
                         sizeof membership) != 0) {
            error = "cannot join multicast group " + join->group + " on interface " +
                    join->interface + ": " + std::strerror(errno);
            return nullptr;
        }
        description += ", group " + join->group + " on " + join->interface;
    }
    local.sin_port = htons(port);
    return std::make_unique<UdpSource>(std::move(socket), std::move(description), local);
}

}  // namespace KorMonitor
