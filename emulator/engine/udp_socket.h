// UdpSocket: the engine's sending socket, the platform's UDP socket with the engine's own
// console lines about it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "messages.h"
#include "udp.h"

namespace Kor::Engine {

// Owns one IPv4 UDP socket from construction to destruction. Failures to open or bind throw
// std::system_error carrying the system's error code (errno, or on Windows the
// WSAGetLastError code).
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
                std::size_t size) noexcept {
        return socket_.SendTo(address, port, data, size);
    }

    // Socket options for multicast and broadcast destinations (see Platform::UdpSocket).
    void SetMulticastTtl(int ttl) { socket_.SetMulticastTtl(ttl); }
    void SetMulticastInterface(const std::string& address) {
        socket_.SetMulticastInterface(address);
    }
    void SetMulticastLoop(bool on) { socket_.SetMulticastLoop(on); }
    void EnableBroadcast() { socket_.EnableBroadcast(); }

    // The local port the socket is bound to (0 before BindAnyPort).
    std::uint16_t LocalPort() const noexcept { return socket_.LocalPort(); }

private:
    // Reports "Creating socket..." before the socket member is opened.
    struct Announce {
        explicit Announce(MessageSink& messages) { messages.Progress("Creating socket..."); }
    };

    MessageSink& messages_;
    Announce announce_;
    Platform::UdpSocket socket_;
};

}  // namespace Kor::Engine
