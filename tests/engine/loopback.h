// Test helpers: a loopback UDP receiver and a record lister for received datagrams.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include <kor/telemetry.h>

#include "sockets.h"

namespace kor_test {

struct Datagram {
    std::vector<std::uint8_t> bytes;
    std::uint16_t sourcePort = 0;
    std::chrono::steady_clock::time_point arrival;
};

#ifdef _WIN32
using SocketHandle = SOCKET;
inline constexpr SocketHandle kNoSocket = INVALID_SOCKET;
inline int CloseSocket(SocketHandle s) { return ::closesocket(s); }
inline int PollSocket(SocketHandle s, int timeoutMs) {
    WSAPOLLFD p{s, POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, timeoutMs);
}
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
inline int CloseSocket(SocketHandle s) { return ::close(s); }
inline int PollSocket(SocketHandle s, int timeoutMs) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs);
}
#endif

// A UDP socket on 127.0.0.1 and a port the system chooses.
class LoopbackReceiver {
public:
    LoopbackReceiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ == kNoSocket ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw std::runtime_error("cannot bind a loopback receiver");
        }
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
    }
    ~LoopbackReceiver() { CloseSocket(fd_); }
    LoopbackReceiver(const LoopbackReceiver&) = delete;
    LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

    std::uint16_t port() const { return port_; }

    // The next datagram, or nothing if none arrives within `timeout`.
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout) {
        if (PollSocket(fd_, static_cast<int>(timeout.count())) <= 0) {
            return std::nullopt;
        }
        Datagram d;
        d.bytes.resize(2048);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const auto n = ::recvfrom(fd_, reinterpret_cast<char*>(d.bytes.data()),
                                  static_cast<int>(d.bytes.size()), 0,
                                  reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            return std::nullopt;
        }
        d.arrival = std::chrono::steady_clock::now();
        d.bytes.resize(static_cast<std::size_t>(n));
        d.sourcePort = ntohs(from.sin_port);
        return d;
    }

    // Datagrams until none has arrived for `quiet` (or `limit` has passed).
    std::vector<Datagram> ReceiveUntilQuiet(std::chrono::milliseconds quiet,
                                            std::chrono::milliseconds limit) {
        std::vector<Datagram> all;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            auto d = Receive(quiet);
            if (!d) {
                break;
            }
            all.push_back(std::move(*d));
        }
        return all;
    }

private:
    Kor::Platform::SocketSession session_;  // Windows Sockets, before the socket and after it
    SocketHandle fd_ = kNoSocket;
    std::uint16_t port_ = 0;
};

// The record types of a UDP frame, in order (empty if the frame is malformed).
inline std::vector<Kor::Protocol::MessageType> RecordTypes(const std::vector<std::uint8_t>& frame) {
    std::vector<Kor::Protocol::MessageType> types;
    std::size_t i = 8;
    while (i + 2 <= frame.size()) {
        types.push_back(static_cast<Kor::Protocol::MessageType>(frame[i]));
        i += 2 + frame[i + 1] + 1U;
    }
    if (i != frame.size()) {
        return {};
    }
    return types;
}

}  // namespace kor_test
