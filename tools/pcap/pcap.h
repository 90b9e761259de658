// Classic pcap captures of IPv4 UDP datagrams: a writer that wraps each datagram in
// synthesized Ethernet, IPv4 and UDP headers, and a bounds-checked reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "checked.h"

namespace Kor::Pcap {

using Kor::Checked;

// Link types of the capture's global header that the reader understands.
inline constexpr std::uint32_t kLinkEthernet = 1;
inline constexpr std::uint32_t kLinkRaw = 101;        // IPv4 or IPv6 packets, no link header
inline constexpr std::uint32_t kLinkLinuxSll = 113;   // Linux "cooked" header, version 1
inline constexpr std::uint32_t kLinkIpv4 = 228;       // IPv4 packets, no link header
inline constexpr std::uint32_t kLinkLinuxSll2 = 276;  // Linux "cooked" header, version 2

// What the writer puts in the global header: the largest UDP datagram with its
// synthesized headers (65549 bytes) fits, which 65535 would not allow.
inline constexpr std::uint32_t kSnapLength = 262144;

// The largest UDP payload an IPv4 datagram can carry.
inline constexpr std::size_t kMaxUdpPayload = 65535 - 20 - 8;

enum class TimeResolution { Microseconds, Nanoseconds };

// An IPv4 address and port, both in host byte order (127.0.0.1 is 0x7f000001).
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// One UDP datagram of a capture.
struct Datagram {
    std::int64_t timeNs = 0;  // capture time stamp, nanoseconds since 1970-01-01 UTC
    Endpoint source;
    Endpoint destination;
    std::vector<std::uint8_t> payload;
};

// The global header of a capture written with `resolution` (little-endian, version 2.4,
// LINKTYPE_ETHERNET).
std::vector<std::uint8_t> FileHeader(TimeResolution resolution);

// One packet record: the record header, then Ethernet, IPv4 (with its header checksum;
// `identification` goes into its ID field) and UDP (checksum 0, "none") around `payload`.
// The payload must be at most kMaxUdpPayload bytes.
std::vector<std::uint8_t> PacketRecord(TimeResolution resolution, std::int64_t timeNs,
                                       const Endpoint& source, const Endpoint& destination,
                                       std::span<const std::uint8_t> payload,
                                       std::uint16_t identification);

// The IPv4 header checksum (RFC 791): the ones' complement of the ones' complement sum
// of the 16-bit words of `header`, taken with the checksum field as stored.
std::uint16_t Ipv4Checksum(std::span<const std::uint8_t> header);

// Writes a capture file one datagram at a time. Every record is handed to the system as
// one write, so a capture cut short by a signal or a crash stays readable up to the last
// datagram written.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Creates (or truncates) the file and writes the global header. Refused with one line
    // naming the path and the system's reason.
    Checked Open(const std::string& path, TimeResolution resolution);

    // Appends one datagram. Refused with one line if the payload is too large for IPv4 or
    // the write fails.
    Checked Write(std::int64_t timeNs, const Endpoint& source, const Endpoint& destination,
                  std::span<const std::uint8_t> payload);

    bool IsOpen() const { return fd_ >= 0; }
    std::uint64_t Written() const { return written_; }
    const std::string& Path() const { return path_; }

    // Closes the file; refused if the system reports a failure.
    Checked Close();

private:
    Checked WriteAll(const std::vector<std::uint8_t>& bytes);

    int fd_ = -1;
    std::string path_;
    TimeResolution resolution_ = TimeResolution::Nanoseconds;
    std::uint16_t identification_ = 0;
    std::uint64_t written_ = 0;
};

// The UDP datagrams of a capture, in file order.
struct Capture {
    std::uint32_t linkType = 0;
    TimeResolution resolution = TimeResolution::Microseconds;
    bool bigEndian = false;
    std::vector<Datagram> datagrams;
    std::uint64_t packets = 0;  // packet records in the file
    std::uint64_t skipped = 0;  // records that are not a whole IPv4 UDP datagram
};

// Parses a whole capture held in memory. Records that are not IPv4 UDP (other protocols,
// IPv6, fragments, datagrams cut short by the snapshot length) are counted as skipped.
// A file that is not a classic pcap capture, has an unsupported link type or ends inside
// a header or a record is refused with one line; nothing is read out of bounds.
Checked ParseCapture(std::span<const std::uint8_t> bytes, Capture& capture);

// Reads and parses the capture file at `path`; refusals name the path.
Checked ReadCaptureFile(const std::string& path, Capture& capture);

}  // namespace Kor::Pcap
