// UDP source on Windows: one IPv4 socket of Windows Sockets bound to the monitored port.
#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstring>

#include "sockets.h"
#include "source.h"

namespace KorMonitor {

namespace {

// Largest possible UDP payload; a datagram is never cut short.
constexpr std::size_t kMaxDatagram = 65536;

std::string ErrorText(int code) {
    return Kor::Platform::SocketErrorText(code);
}

// Windows Sockets in use for the life of the source, and its socket.
class WinsockSocket {
public:
    WinsockSocket() = default;
    WinsockSocket(const WinsockSocket&) = delete;
    WinsockSocket& operator=(const WinsockSocket&) = delete;
    ~WinsockSocket() {
        if (socket_ != INVALID_SOCKET) {
            ::closesocket(socket_);
        }
        if (started_) {
            ::WSACleanup();
        }
    }

    // Starts Windows Sockets and opens the socket; false with `error` set on failure.
    bool Open(int& error) {
        WSADATA data{};
        error = ::WSAStartup(MAKEWORD(2, 2), &data);
        if (error != 0) {
            return false;
        }
        started_ = true;
        socket_ =
            ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
        if (socket_ == INVALID_SOCKET) {
            error = ::WSAGetLastError();
            return false;
        }
        return true;
    }

    SOCKET Get() const { return socket_; }

    // WSARecvMsg, which reports each datagram's destination address (IP_PKTINFO); null
    // where the system does not offer it.
    LPFN_WSARECVMSG ReceiveMessage() {
        if (receiveMessage_ == nullptr) {
            GUID id = WSAID_WSARECVMSG;
            DWORD bytes = 0;
            if (::WSAIoctl(socket_, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,
                           &receiveMessage_, sizeof receiveMessage_, &bytes, nullptr,
                           nullptr) == SOCKET_ERROR) {
                receiveMessage_ = nullptr;
            }
        }
        return receiveMessage_;
    }

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    LPFN_WSARECVMSG receiveMessage_ = nullptr;
};

class UdpSource final : public Source {
public:
    UdpSource(std::unique_ptr<WinsockSocket> socket, std::string description,
              const sockaddr_in& bound)
        : socket_(std::move(socket)), description_(std::move(description)), bound_(bound) {}

    ReadResult Read(std::vector<std::uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        WSAPOLLFD entry{socket_->Get(), POLLRDNORM, 0};
        const int ready = ::WSAPoll(&entry, 1, static_cast<INT>(timeout.count()));
        if (ready == SOCKET_ERROR) {
            return ::WSAGetLastError() == WSAEINTR ? ReadResult::Interrupted : Fail("poll");
        }
        if (ready == 0) {
            return ReadResult::Timeout;
        }
        sockaddr_in from{};
        std::uint32_t destination = ntohl(bound_.sin_addr.s_addr);
        int got = SOCKET_ERROR;
        if (const LPFN_WSARECVMSG receive = socket_->ReceiveMessage()) {
            WSABUF data{static_cast<ULONG>(scratch_.size()),
                        reinterpret_cast<char*>(scratch_.data())};
            alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
            WSAMSG message{};
            message.name = reinterpret_cast<sockaddr*>(&from);
            message.namelen = sizeof from;
            message.lpBuffers = &data;
            message.dwBufferCount = 1;
            message.Control = {sizeof control, control};
            DWORD bytes = 0;
            if (receive(socket_->Get(), &message, &bytes, nullptr, nullptr) != SOCKET_ERROR) {
                got = static_cast<int>(bytes);
                for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header != nullptr;
                     header = WSA_CMSG_NXTHDR(&message, header)) {
                    if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                        IN_PKTINFO info{};
                        std::memcpy(&info, WSA_CMSG_DATA(header), sizeof info);
                        destination = ntohl(info.ipi_addr.s_addr);
                    }
                }
            }
        } else {
            int fromLength = sizeof from;
            got = ::recvfrom(socket_->Get(), reinterpret_cast<char*>(scratch_.data()),
                             static_cast<int>(scratch_.size()), 0,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
        }
        const auto now = std::chrono::system_clock::now();
        if (got == SOCKET_ERROR) {
            buffer.clear();
            const int error = ::WSAGetLastError();
            if (error == WSAEINTR) {
                return ReadResult::Interrupted;
            }
            // Nothing to read after all, or an ICMP port-unreachable report that Windows
            // hands to the next receive of a UDP socket.
            if (error == WSAEWOULDBLOCK || error == WSAECONNRESET || error == WSAENETRESET) {
                return ReadResult::Timeout;
            }
            return Fail("receive", error);
        }
        buffer.assign(scratch_.begin(), scratch_.begin() + got);
        // Windows Sockets gives no receive time stamp; the time of the read stands in.
        DatagramOrigin origin;
        origin.sourceAddress = ntohl(from.sin_addr.s_addr);
        origin.sourcePort = ntohs(from.sin_port);
        origin.destinationAddress = destination;
        origin.destinationPort = ntohs(bound_.sin_port);
        origin.wallNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
        origin_ = origin;
        return ReadResult::Data;
    }

    bool Datagrams() const override { return true; }
    std::string Describe() const override { return description_; }
    std::string ErrorText() const override { return error_; }
    std::optional<DatagramOrigin> LastOrigin() const override { return origin_; }

private:
    ReadResult Fail(const char* what, int code = ::WSAGetLastError()) {
        error_ = description_ + ": " + what + " failed: " + KorMonitor::ErrorText(code);
        return ReadResult::Error;
    }

    std::unique_ptr<WinsockSocket> socket_;
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
    auto socket = std::make_unique<WinsockSocket>();
    int code = 0;
    if (!socket->Open(code)) {
        error =
            "cannot open a UDP socket for port " + std::to_string(port) + ": " + ErrorText(code);
        return nullptr;
    }
    // Without SO_EXCLUSIVEADDRUSE another program could bind the same port with
    // SO_REUSEADDR and silently take some of the datagrams; a port in use is reported
    // instead.
    const BOOL exclusive = TRUE;
    ::setsockopt(socket->Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    if (::bind(socket->Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) ==
        SOCKET_ERROR) {
        error = "cannot bind UDP port " + std::to_string(port) + " on " + address + ": " +
                ErrorText(::WSAGetLastError());
        return nullptr;
    }
    sockaddr_in bound{};
    int length = sizeof bound;
    if (::getsockname(socket->Get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        port = ntohs(bound.sin_port);
    }
    // A larger receive buffer rides out bursts while the view is being drawn.
    const int size = 1 << 20;
    ::setsockopt(socket->Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                 sizeof size);
    // Each datagram's destination address (the bound one may be 0.0.0.0), for --record.
    const DWORD on = 1;
    ::setsockopt(socket->Get(), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on),
                 sizeof on);
    std::string description = "UDP " + address + ":" + std::to_string(port);
    if (join) {
        ip_mreq membership{};
        if (::inet_pton(AF_INET, join->group.c_str(), &membership.imr_multiaddr) != 1 ||
            ::inet_pton(AF_INET, join->interface.c_str(), &membership.imr_interface) != 1) {
            error = "cannot join group " + join->group + " on " + join->interface +
                    ": not an IPv4 address";
            return nullptr;
        }
        if (::setsockopt(socket->Get(), IPPROTO_IP, IP_ADD_MEMBERSHIP,
                         reinterpret_cast<const char*>(&membership),
                         sizeof membership) == SOCKET_ERROR) {
            error = "cannot join multicast group " + join->group + " on interface " +
                    join->interface + ": " + ErrorText(::WSAGetLastError());
            return nullptr;
        }
        description += ", group " + join->group + " on " + join->interface;
    }
    local.sin_port = htons(port);
    return std::make_unique<UdpSource>(std::move(socket), std::move(description), local);
}

}  // namespace KorMonitor
