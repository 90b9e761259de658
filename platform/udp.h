// UdpSocket: one IPv4 UDP socket for sending (unicast, multicast, broadcast) and receiving
// (with a bounded wait, each datagram's origin and the system's receive stamp where there
// is one): POSIX sockets (udp_posix.cpp) or Windows Sockets (udp_windows.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Kor::Platform {

// Where a received datagram came from and went to, and when it arrived: what a capture file
// records for it. Addresses and ports are in host byte order.
struct DatagramOrigin {
    std::uint32_t sourceAddress = 0;
    std::uint16_t sourcePort = 0;
    std::uint32_t destinationAddress = 0;
    std::uint16_t destinationPort = 0;
    // Arrival time in nanoseconds since 1970-01-01 UTC: the system's receive time stamp, so
    // that a late read does not shift it (the time of the read where the system gives none).
    std::int64_t wallNs = 0;
};

enum class ReadResult {
    Data,         // bytes were read into the buffer
    Timeout,      // nothing arrived in time
    Interrupted,  // a signal arrived while waiting
    End,          // the stream ended (end of file)
    Error,        // reading failed; see the error text
};

// Owns one IPv4 UDP socket from construction to destruction, with Windows Sockets started
// for its life on Windows. Failures to open and socket options the system refuses throw
// std::system_error with the system's code (errno, or the WSAGetLastError code) in
// SocketErrorCategory(); Bind and JoinGroup return the code instead, so that receivers can
// word their own messages.
class UdpSocket {
public:
    // Opens the socket; `what` starts the text of the exception on failure.
    explicit UdpSocket(const std::string& what = "cannot open a UDP socket");
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Binds to a dotted-decimal IPv4 address and a port (0: one the system chooses). The
    // port is this socket's alone: a port in use is refused rather than shared, as sharing
    // would let another receiver silently take some of the datagrams. Returns 0, or the
    // system's error code (EINVAL/WSAEINVAL for text that is not an IPv4 address).
    int Bind(const std::string& address, std::uint16_t port) noexcept;

    // Joins a multicast group on the interface with the given IPv4 address (0.0.0.0: the
    // one the system chooses). Returns 0, or the system's error code (EINVAL/WSAEINVAL for
    // text that is not an IPv4 address).
    int JoinGroup(const std::string& group, const std::string& interface) noexcept;

    // Asks the system for what Receive reports (each datagram's destination address and
    // receive stamp) and for a receive buffer that rides out bursts.
    void PrepareToReceive() noexcept;

    // Sends one datagram to a dotted-decimal IPv4 address and a port. Text that is not
    // such an address stands for 255.255.255.255, which this socket may not send to unless
    // broadcast is enabled, so the send fails. Returns whether the system accepted it.
    bool SendTo(const std::string& address, std::uint16_t port, const std::uint8_t* data,
                std::size_t size) noexcept;

    // Options for multicast and broadcast destinations; each throws std::system_error
    // naming the option when the system refuses it.
    // Hops a multicast datagram may take (0 to 255).
    void SetMulticastTtl(int ttl);
    // The local interface, by its dotted-decimal IPv4 address, multicast datagrams leave on.
    void SetMulticastInterface(const std::string& address);
    // Whether multicast datagrams are delivered to receivers on this host too.
    void SetMulticastLoop(bool on);
    // Allows sending to broadcast addresses.
    void EnableBroadcast();

    // The local address and port the socket is bound to, in host byte order (0 before Bind).
    std::uint32_t LocalAddress() const noexcept { return boundAddress_; }
    std::uint16_t LocalPort() const noexcept { return boundPort_; }

    // Waits at most `timeout` for a datagram and reads it whole into `buffer` (replacing its
    // contents) and its origin into `origin`. Error leaves the reason in ErrorText().
    ReadResult Receive(std::vector<std::uint8_t>& buffer, std::chrono::milliseconds timeout,
                       DatagramOrigin& origin);

    // Why the last Receive failed, e.g. "receive failed: Bad file descriptor".
    const std::string& ErrorText() const noexcept { return error_; }

private:
    ReadResult Fail(const char* what, int code);

#ifdef _WIN32
    std::uintptr_t fd_;             // a SOCKET
    void* receiveMessage_ = nullptr;  // WSARecvMsg, looked up by PrepareToReceive
#else
    int fd_ = -1;
#endif
    // Receives every datagram; the caller's buffer then takes only its bytes, rather than
    // being grown (and zeroed) to the largest size for each read.
    std::vector<std::uint8_t> scratch_;
    std::string error_;
    std::uint32_t boundAddress_ = 0;
    std::uint16_t boundPort_ = 0;
};

}  // namespace Kor::Platform
