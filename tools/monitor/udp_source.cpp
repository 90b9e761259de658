// UDP source: one IPv4 socket bound to the monitored port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "source.h"

namespace KorMonitor {

namespace {

// Largest possible UDP payload; a datagram is never cut short.
constexpr std::size_t kMaxDatagram = 65536;

class UdpSource final : public Source {
public:
    UdpSource(UniqueFd socket, std::string description)
        : socket_(std::move(socket)), description_(std::move(description)) {}

    ReadResult Read(std::vector<std::uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        pollfd entry{socket_.Get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
        if (ready < 0) {
            return errno == EINTR ? ReadResult::Interrupted : Fail("poll");
        }
        if (ready == 0) {
            return ReadResult::Timeout;
        }
        buffer.resize(kMaxDatagram);
        const ssize_t got = ::recv(socket_.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
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
        buffer.resize(static_cast<std::size_t>(got));
        return ReadResult::Data;
    }

    bool Datagrams() const override { return true; }
    std::string Describe() const override { return description_; }
    std::string ErrorText() const override { return error_; }

private:
    ReadResult Fail(const char* what) {
        error_ = description_ + ": " + what + " failed: " + std::strerror(errno);
        return ReadResult::Error;
    }

    UniqueFd socket_;
    std::string description_;
    std::string error_;
};

}  // namespace

std::unique_ptr<Source> OpenUdpSource(const std::string& address, std::uint16_t port,
                                      std::string& error) {
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
    return std::make_unique<UdpSource>(std::move(socket),
                                       "UDP " + address + ":" + std::to_string(port));
}

}  // namespace KorMonitor
