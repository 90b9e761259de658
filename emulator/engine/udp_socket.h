// UdpSocket: one IPv4 UDP socket for sending, a thin layer over the system's sockets:
// POSIX sockets (udp_socket.cpp) or Windows Sockets (udp_socket_windows.cpp), chosen at
// build time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "messages.h"

namespace Kor::Engine {

// Owns one blocking IPv4 UDP socket from construction to destruction. Failures to open or
// bind throw std::system_error carrying the system's error code (errno, or on Windows the
// WSAGetLastError code). On Windows the object also owns its use of Windows Sockets:
// WSAStartup before the socket is opened, WSACleanup after it is closed.
class UdpSocket {
public:
    // Reports "Creating socket..." to `messages` and opens the socket ("Error opening
    // socket." on failure). `messages` must outlive the socket.
    explicit UdpSocket(MessageSink& messages);
    // Reports "Closing UDP socket!" and closes the socket.
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Binds to any local address and a port the system chooses ("Binding port failed.").
    void BindAnyPort();

    // Sends one datagram to a dotted-decimal IPv4 address and a port. Text that is not
    // such an address stands for 255.255.255.255, which this socket may not send to, so
    // the send fails. Returns whether the system accepted the datagram.
    bool SendTo(const std::string& address, std::uint16_t port, const std::uint8_t* data,
                std::size_t size) noexcept;

    // Socket options for multicast and broadcast destinations; each throws std::system_error
    // naming the option when the system refuses it.
    // Hops a multicast datagram may take (0 to 255).
    void SetMulticastTtl(int ttl);
    // The local interface, by its dotted-decimal IPv4 address, multicast datagrams leave on.
    void SetMulticastInterface(const std::string& address);
    // Whether multicast datagrams are delivered to receivers on this host too.
    void SetMulticastLoop(bool on);
    // Allows sending to broadcast addresses.
    void EnableBroadcast();

    // The local port the socket is bound to (0 before BindAnyPort).
    std::uint16_t LocalPort() const noexcept;

private:
    MessageSink& messages_;
#ifdef _WIN32
    std::uintptr_t fd_;  // a SOCKET
#else
    int fd_ = -1;
#endif
};

}  // namespace Kor::Engine
