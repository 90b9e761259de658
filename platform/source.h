// Where received bytes come from: a UDP socket or a serial byte stream (a file, a serial
// device or standard input), read with a bounded wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "checked.h"

#include "udp.h"

namespace Kor::Platform {

// Who a frame came from: its sender (for UDP the datagram's source address and port, in host
// order; a serial input is one sender, address and port 0) and the SubjectId its frames carry
// (16 bits; kNoSubject for frames without a SubjectId record). Several cameras often share
// one port, each with its own sender or subject: receivers keep one decoder and one set of
// figures per source.
struct SourceKey {
    // The SubjectId of frames that carry none.
    static constexpr std::uint16_t kNoSubject = 0xFFFF;

    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::uint16_t subject = kNoSubject;

    auto operator<=>(const SourceKey&) const = default;

    // The sender as "IP:PORT" ("serial" for a serial input).
    std::string Sender() const;
};

// A source of received bytes, read with a bounded wait so that the caller can keep its
// deadlines and notice a stop request.
class Source {
public:
    virtual ~Source() = default;

    // Waits at most timeout for input and reads what has arrived into buffer (replacing
    // its contents): one whole datagram, or the next chunk of a byte stream.
    virtual ReadResult Read(std::vector<std::uint8_t>& buffer,
                            std::chrono::milliseconds timeout) = 0;

    // True when each read is one datagram; false for a byte stream.
    virtual bool Datagrams() const = 0;

    // What the source is, for the view, e.g. "UDP 0.0.0.0:33322".
    virtual std::string Describe() const = 0;

    // Why the last read failed (one line).
    virtual std::string ErrorText() const = 0;

    // For a datagram source, the origin of the datagram the last successful read returned;
    // nothing for a byte stream.
    virtual std::optional<DatagramOrigin> LastOrigin() const { return std::nullopt; }
};

// A multicast group to join, on the interface with the given IPv4 address (0.0.0.0: the
// one the system chooses).
struct GroupMembership {
    std::string group;
    std::string interface = "0.0.0.0";
};

// Opens a UDP socket bound to address:port (IPv4; port 0 picks a free port) into `source`
// and joins the group, if one is given. Refused with one line naming the port (or the group)
// and the system's reason.
Checked OpenUdpSource(const std::string& address, std::uint16_t port,
                      std::unique_ptr<Source>& source,
                      const std::optional<GroupMembership>& join = std::nullopt);

// Opens a serial byte stream into `source`: a file, a serial device (switched to raw mode
// for the run) or, for "-", standard input. Refused with one line naming the path and the
// system's reason.
Checked OpenSerialSource(const std::string& path, std::unique_ptr<Source>& source);

}  // namespace Kor::Platform
