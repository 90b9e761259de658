// UdpSocket over Windows Sockets: WSAStartup, socket, bind, sendto, WSARecvMsg with the
// destination address (IP_PKTINFO), closesocket, WSACleanup. Windows Sockets gives no
// receive time stamp: the time of the read stands in.
#include "udp.h"

#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <system_error>

#include "sockets.h"

namespace Kor::Platform {

namespace {

// Largest possible UDP payload; a datagram is never cut short.
constexpr std::size_t kMaxDatagram = 65536;

SOCKET Socket(std::uintptr_t fd) {
    return static_cast<SOCKET>(fd);
}

void SetOption(std::uintptr_t fd, int level, int name, const void* value, int size,
               const std::string& what) {
    if (::setsockopt(Socket(fd), level, name, static_cast<const char*>(value), size) ==
        SOCKET_ERROR) {
        throw std::system_error(::WSAGetLastError(), SocketErrorCategory(), what);
    }
}

}  // namespace

UdpSocket::UdpSocket(const std::string& what) : fd_(INVALID_SOCKET) {
    WSADATA data{};
    const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        // WSAStartup returns its error instead of setting WSAGetLastError.
        throw std::system_error(started, SocketErrorCategory(), what);
    }
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                  WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        const int error = ::WSAGetLastError();
        ::WSACleanup();
        throw std::system_error(error, SocketErrorCategory(), what);
    }
    fd_ = s;
}

UdpSocket::~UdpSocket() {
    ::closesocket(Socket(fd_));
    ::WSACleanup();
}

int UdpSocket::Bind(const std::string& address, std::uint16_t port) noexcept {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        return WSAEINVAL;
    }
    // Without SO_EXCLUSIVEADDRUSE another program could bind the same port with
    // SO_REUSEADDR and silently take some of the datagrams.
    const BOOL exclusive = TRUE;
    ::setsockopt(Socket(fd_), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    if (::bind(Socket(fd_), reinterpret_cast<const sockaddr*>(&local), sizeof local) ==
        SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    int length = sizeof local;
    ::getsockname(Socket(fd_), reinterpret_cast<sockaddr*>(&local), &length);  // the port chosen
    boundAddress_ = ntohl(local.sin_addr.s_addr);
    boundPort_ = ntohs(local.sin_port);
    return 0;
}

int UdpSocket::JoinGroup(const std::string& group, const std::string& interface) noexcept {
    ip_mreq membership{};
    if (::inet_pton(AF_INET, group.c_str(), &membership.imr_multiaddr) != 1 ||
        ::inet_pton(AF_INET, interface.c_str(), &membership.imr_interface) != 1) {
        return WSAEINVAL;
    }
    if (::setsockopt(Socket(fd_), IPPROTO_IP, IP_ADD_MEMBERSHIP,
                     reinterpret_cast<const char*>(&membership),
                     sizeof membership) == SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    return 0;
}

void UdpSocket::PrepareToReceive() noexcept {
    const int size = 1 << 20;
    ::setsockopt(Socket(fd_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                 sizeof size);
    const DWORD on = 1;
    ::setsockopt(Socket(fd_), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on),
                 sizeof on);
    // WSARecvMsg, which reports each datagram's destination address; recvfrom where the
    // system does not offer it.
    GUID id = WSAID_WSARECVMSG;
    DWORD bytes = 0;
    LPFN_WSARECVMSG receive = nullptr;
    if (::WSAIoctl(Socket(fd_), SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &receive,
                   sizeof receive, &bytes, nullptr, nullptr) == SOCKET_ERROR) {
        receive = nullptr;
    }
    receiveMessage_ = reinterpret_cast<void*>(receive);
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
    const int sent = ::sendto(Socket(fd_), reinterpret_cast<const char*>(data),
                              static_cast<int>(size), 0, reinterpret_cast<const sockaddr*>(&to),
                              sizeof to);
    return sent != SOCKET_ERROR;
}

void UdpSocket::SetMulticastTtl(int ttl) {
    if (ttl < 0 || ttl > 255) {
        throw std::system_error(WSAEINVAL, SocketErrorCategory(),
                                "Setting the multicast TTL failed (0 to 255)");
    }
    const DWORD value = static_cast<DWORD>(ttl);
    SetOption(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value,
              "Setting the multicast TTL failed");
}

void UdpSocket::SetMulticastInterface(const std::string& address) {
    in_addr local{};
    if (::inet_pton(AF_INET, address.c_str(), &local) != 1) {
        throw std::system_error(WSAEINVAL, SocketErrorCategory(),
                                "Setting the multicast interface failed: '" + address +
                                    "' is not an IPv4 address");
    }
    SetOption(fd_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local,
              "Setting the multicast interface " + address + " failed");
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

ReadResult UdpSocket::Receive(std::vector<std::uint8_t>& buffer,
                              std::chrono::milliseconds timeout, DatagramOrigin& origin) {
    WSAPOLLFD entry{Socket(fd_), POLLRDNORM, 0};
    const int ready = ::WSAPoll(&entry, 1, static_cast<INT>(timeout.count()));
    if (ready == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        return error == WSAEINTR ? ReadResult::Interrupted : Fail("poll", error);
    }
    if (ready == 0) {
        return ReadResult::Timeout;
    }
    scratch_.resize(kMaxDatagram);
    sockaddr_in from{};
    std::uint32_t destination = boundAddress_;
    int got = SOCKET_ERROR;
    if (const auto receive = reinterpret_cast<LPFN_WSARECVMSG>(receiveMessage_)) {
        WSABUF data{static_cast<ULONG>(scratch_.size()), reinterpret_cast<char*>(scratch_.data())};
        alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
        WSAMSG message{};
        message.name = reinterpret_cast<sockaddr*>(&from);
        message.namelen = sizeof from;
        message.lpBuffers = &data;
        message.dwBufferCount = 1;
        message.Control = {sizeof control, control};
        DWORD bytes = 0;
        if (receive(Socket(fd_), &message, &bytes, nullptr, nullptr) != SOCKET_ERROR) {
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
        got = ::recvfrom(Socket(fd_), reinterpret_cast<char*>(scratch_.data()),
                         static_cast<int>(scratch_.size()), 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLength);
    }
    const auto now = std::chrono::system_clock::now();
    if (got == SOCKET_ERROR) {
        buffer.clear();
        const int error = ::WSAGetLastError();
        if (error == WSAEINTR) {
            return ReadResult::Interrupted;
        }
        // Nothing to read after all, or an ICMP port-unreachable report that Windows hands
        // to the next receive of a UDP socket.
        if (error == WSAEWOULDBLOCK || error == WSAECONNRESET || error == WSAENETRESET) {
            return ReadResult::Timeout;
        }
        return Fail("receive", error);
    }
    buffer.assign(scratch_.begin(), scratch_.begin() + got);
    origin = DatagramOrigin{};
    origin.sourceAddress = ntohl(from.sin_addr.s_addr);
    origin.sourcePort = ntohs(from.sin_port);
    origin.destinationAddress = destination;
    origin.destinationPort = boundPort_;
    origin.wallNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    return ReadResult::Data;
}

ReadResult UdpSocket::Fail(const char* what, int code) {
    error_ = std::string(what) + " failed: " + SocketErrorText(code);
    return ReadResult::Error;
}

}  // namespace Kor::Platform
