// Classic pcap captures: the global header, packet records with synthesized Ethernet, IPv4
// and UDP headers, the file writer and a reader that checks every length before use.
#include "pcap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "utf8.h"

namespace Kor::Pcap {
namespace {

#ifdef _WIN32
// Bytes as they are (no newline translation), and not inherited by child programs.
constexpr int kOpenFlags = O_BINARY | O_NOINHERIT;
using IoSize = unsigned int;  // the C runtime's read and write count in unsigned int
#else
constexpr int kOpenFlags = O_CLOEXEC;
using IoSize = std::size_t;
#endif

constexpr std::uint32_t kMagicMicro = 0xa1b2c3d4;
constexpr std::uint32_t kMagicNano = 0xa1b23c4d;
constexpr std::uint32_t kMagicPcapng = 0x0a0d0d0a;  // section header block of pcapng
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr std::size_t kEthernetSize = 14;
constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kUdpHeaderSize = 8;
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::uint16_t kEtherTypeQinQ = 0x88a8;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void PutBe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// Network byte order fields of a packet; the caller has checked the bounds.
std::uint16_t Be16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::uint32_t Be32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
}

// The file's own byte order for the pcap headers.
std::uint32_t FileU32(std::span<const std::uint8_t> bytes, std::size_t at, bool bigEndian) {
    if (bigEndian) {
        return Be32(bytes, at);
    }
    return std::uint32_t{bytes[at]} | (std::uint32_t{bytes[at + 1]} << 8) |
           (std::uint32_t{bytes[at + 2]} << 16) | (std::uint32_t{bytes[at + 3]} << 24);
}

std::uint16_t FileU16(std::span<const std::uint8_t> bytes, std::size_t at, bool bigEndian) {
    return bigEndian ? Be16(bytes, at)
                     : static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

// The IPv4 packet inside a link-layer frame, or nothing if the frame carries something else.
std::optional<std::span<const std::uint8_t>> Ipv4Packet(std::uint32_t linkType,
                                                        std::span<const std::uint8_t> frame) {
    std::size_t offset = 0;
    std::uint16_t etherType = 0;
    switch (linkType) {
        case kLinkEthernet:
            offset = kEthernetSize;
            if (frame.size() < offset) {
                return std::nullopt;
            }
            etherType = Be16(frame, 12);
            // Up to two VLAN tags (802.1Q, 802.1ad) between the addresses and the type.
            for (int tag = 0; tag < 2 && (etherType == kEtherTypeVlan ||
                                          etherType == kEtherTypeQinQ); ++tag) {
                if (frame.size() < offset + 4) {
                    return std::nullopt;
                }
                etherType = Be16(frame, offset + 2);
                offset += 4;
            }
            break;
        case kLinkLinuxSll:
            offset = 16;
            if (frame.size() < offset) {
                return std::nullopt;
            }
            etherType = Be16(frame, 14);
            break;
        case kLinkLinuxSll2:
            offset = 20;
            if (frame.size() < offset) {
                return std::nullopt;
            }
            etherType = Be16(frame, 0);
            break;
        case kLinkRaw:
        case kLinkIpv4:
            etherType = kEtherTypeIpv4;  // the version field below tells IPv4 from IPv6
            break;
        default: return std::nullopt;
    }
    if (etherType != kEtherTypeIpv4) {
        return std::nullopt;
    }
    return frame.subspan(offset);
}

// The UDP datagram inside an IPv4 packet, or nothing if it is not a whole unfragmented
// UDP datagram.
std::optional<Datagram> UdpDatagram(std::span<const std::uint8_t> packet) {
    if (packet.size() < kIpv4HeaderSize || (packet[0] >> 4) != 4) {
        return std::nullopt;
    }
    const std::size_t headerSize = std::size_t{packet[0] & 0x0fU} * 4;
    const std::size_t totalSize = Be16(packet, 2);
    // The total length bounds the packet: an Ethernet frame may carry padding after it.
    if (headerSize < kIpv4HeaderSize || totalSize < headerSize + kUdpHeaderSize ||
        totalSize > packet.size() || packet[9] != kProtocolUdp) {
        return std::nullopt;
    }
    const std::uint16_t fragment = Be16(packet, 6);
    if ((fragment & 0x3fffU) != 0) {  // more fragments, or not the first fragment
        return std::nullopt;
    }
    const std::span<const std::uint8_t> udp = packet.subspan(headerSize, totalSize - headerSize);
    const std::size_t udpSize = Be16(udp, 4);
    if (udpSize < kUdpHeaderSize || udpSize > udp.size()) {
        return std::nullopt;
    }
    Datagram datagram;
    datagram.source = {Be32(packet, 12), Be16(udp, 0)};
    datagram.destination = {Be32(packet, 16), Be16(udp, 2)};
    const auto payload = udp.subspan(kUdpHeaderSize, udpSize - kUdpHeaderSize);
    datagram.payload.assign(payload.begin(), payload.end());
    return datagram;
}

std::string Hex32(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += kDigits[(value >> shift) & 0x0fU];
    }
    return text;
}

}  // namespace

std::uint16_t Ipv4Checksum(std::span<const std::uint8_t> header) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < header.size(); i += 2) {
        sum += Be16(header, i);
    }
    if (header.size() % 2 != 0) {
        sum += std::uint32_t{header.back()} << 8;
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffffU) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

std::vector<std::uint8_t> FileHeader(TimeResolution resolution) {
    std::vector<std::uint8_t> out;
    out.reserve(kFileHeaderSize);
    PutLe32(out, resolution == TimeResolution::Nanoseconds ? kMagicNano : kMagicMicro);
    PutLe16(out, 2);  // version 2.4
    PutLe16(out, 4);
    PutLe32(out, 0);  // time zone offset: time stamps are UTC
    PutLe32(out, 0);  // accuracy of the time stamps: not given
    PutLe32(out, kSnapLength);
    PutLe32(out, kLinkEthernet);
    return out;
}

std::vector<std::uint8_t> PacketRecord(TimeResolution resolution, std::int64_t timeNs,
                                       const Endpoint& source, const Endpoint& destination,
                                       std::span<const std::uint8_t> payload,
                                       std::uint16_t identification) {
    const std::size_t ipSize = kIpv4HeaderSize + kUdpHeaderSize + payload.size();
    const std::size_t frameSize = kEthernetSize + ipSize;
    std::vector<std::uint8_t> out;
    out.reserve(kRecordHeaderSize + frameSize);

    // Times before 1970 are not representable; they are written as 1970-01-01.
    const std::int64_t ns = timeNs < 0 ? 0 : timeNs;
    PutLe32(out, static_cast<std::uint32_t>(ns / kNsPerSecond));
    const auto fraction = static_cast<std::uint32_t>(ns % kNsPerSecond);
    PutLe32(out, resolution == TimeResolution::Nanoseconds ? fraction : fraction / 1000);
    PutLe32(out, static_cast<std::uint32_t>(frameSize));
    PutLe32(out, static_cast<std::uint32_t>(frameSize));

    // Ethernet: zero addresses, as a capture on the loopback interface shows them.
    out.insert(out.end(), 12, 0);
    PutBe16(out, kEtherTypeIpv4);

    const std::size_t ipStart = out.size();
    out.push_back(0x45);  // version 4, 5 words of header
    out.push_back(0);     // DSCP/ECN
    PutBe16(out, static_cast<std::uint16_t>(ipSize));
    PutBe16(out, identification);
    PutBe16(out, 0x4000);  // don't fragment
    out.push_back(64);     // time to live
    out.push_back(kProtocolUdp);
    PutBe16(out, 0);  // checksum, filled in below
    PutBe32(out, source.address);
    PutBe32(out, destination.address);
    const std::uint16_t checksum =
        Ipv4Checksum(std::span<const std::uint8_t>(out).subspan(ipStart, kIpv4HeaderSize));
    out[ipStart + 10] = static_cast<std::uint8_t>(checksum >> 8);
    out[ipStart + 11] = static_cast<std::uint8_t>(checksum);

    PutBe16(out, source.port);
    PutBe16(out, destination.port);
    PutBe16(out, static_cast<std::uint16_t>(kUdpHeaderSize + payload.size()));
    PutBe16(out, 0);  // no checksum, which IPv4 allows
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Writer::~Writer() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

Checked Writer::Open(const std::string& path, TimeResolution resolution) {
    (void)Close();
    const int fd = Kor::Platform::OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC | kOpenFlags, 0644);
    if (fd < 0) {
        return Checked::Refused("cannot create " + path + ": " + std::strerror(errno));
    }
    fd_ = fd;
    path_ = path;
    resolution_ = resolution;
    identification_ = 0;
    written_ = 0;
    if (Checked wrote = WriteAll(FileHeader(resolution)); !wrote) {
        (void)Close();
        return wrote;
    }
    return {};
}

Checked Writer::Write(std::int64_t timeNs, const Endpoint& source, const Endpoint& destination,
                      std::span<const std::uint8_t> payload) {
    if (fd_ < 0) {
        return Checked::Refused("no capture file is open");
    }
    if (payload.size() > kMaxUdpPayload) {
        return Checked::Refused(path_ + ": a datagram of " + std::to_string(payload.size()) +
                                " bytes does not fit in IPv4");
    }
    if (Checked wrote = WriteAll(
            PacketRecord(resolution_, timeNs, source, destination, payload, identification_));
        !wrote) {
        return wrote;
    }
    ++identification_;
    ++written_;
    return {};
}

Checked Writer::WriteAll(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd_, bytes.data() + done, static_cast<IoSize>(bytes.size() - done));
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Checked::Refused("cannot write " + path_ + ": " + std::strerror(errno));
        }
        done += static_cast<std::size_t>(wrote);
    }
    return {};
}

Checked Writer::Close() {
    if (fd_ < 0) {
        return {};
    }
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0) {
        return Checked::Refused("cannot write " + path_ + ": " + std::strerror(errno));
    }
    return {};
}

Checked ParseCapture(std::span<const std::uint8_t> bytes, Capture& capture) {
    capture = Capture{};
    if (bytes.size() < 4) {
        return Checked::Refused("not a pcap capture: " + std::to_string(bytes.size()) +
                                " bytes, too short");
    }
    const std::uint32_t magic = FileU32(bytes, 0, false);
    if (magic == kMagicMicro || magic == kMagicNano) {
        capture.bigEndian = false;
    } else if (FileU32(bytes, 0, true) == kMagicMicro || FileU32(bytes, 0, true) == kMagicNano) {
        capture.bigEndian = true;
    } else if (magic == kMagicPcapng) {
        return Checked::Refused(
            "a pcapng capture; only classic pcap captures are read (save it as pcap)");
    } else {
        return Checked::Refused("not a pcap capture (magic number " + Hex32(magic) + ")");
    }
    const bool big = capture.bigEndian;
    capture.resolution = FileU32(bytes, 0, big) == kMagicNano ? TimeResolution::Nanoseconds
                                                               : TimeResolution::Microseconds;
    if (bytes.size() < kFileHeaderSize) {
        return Checked::Refused("pcap capture cut short inside its global header");
    }
    const std::uint16_t major = FileU16(bytes, 4, big);
    if (major != 2) {
        return Checked::Refused("unsupported pcap version " + std::to_string(major) + "." +
                                std::to_string(FileU16(bytes, 6, big)));
    }
    // The upper bits may carry the frame check sequence length; the link type is below.
    capture.linkType = FileU32(bytes, 20, big) & 0xffffU;
    switch (capture.linkType) {
        case kLinkEthernet:
        case kLinkRaw:
        case kLinkLinuxSll:
        case kLinkIpv4:
        case kLinkLinuxSll2: break;
        default:
            return Checked::Refused("unsupported pcap link type " +
                                    std::to_string(capture.linkType) +
                                    " (Ethernet, raw IP and Linux cooked captures are read)");
    }

    const std::int64_t fractionNs =
        capture.resolution == TimeResolution::Nanoseconds ? 1 : 1000;
    std::size_t at = kFileHeaderSize;
    while (at < bytes.size()) {
        const std::size_t left = bytes.size() - at;
        if (left < kRecordHeaderSize) {
            return Checked::Refused("pcap capture cut short inside the header of packet " +
                                    std::to_string(capture.packets + 1) + " at offset " +
                                    std::to_string(at));
        }
        const std::uint32_t seconds = FileU32(bytes, at, big);
        const std::uint32_t fraction = FileU32(bytes, at + 4, big);
        const std::uint32_t included = FileU32(bytes, at + 8, big);
        const std::uint32_t original = FileU32(bytes, at + 12, big);
        if (included > left - kRecordHeaderSize) {
            return Checked::Refused(
                "pcap capture cut short inside packet " + std::to_string(capture.packets + 1) +
                " at offset " + std::to_string(at) + " (" + std::to_string(included) +
                " bytes announced, " + std::to_string(left - kRecordHeaderSize) + " present)");
        }
        ++capture.packets;
        const auto frame = bytes.subspan(at + kRecordHeaderSize, included);
        at += kRecordHeaderSize + included;

        // A frame cut short by the snapshot length does not hold the whole datagram.
        std::optional<Datagram> datagram;
        if (included >= original) {
            if (const auto packet = Ipv4Packet(capture.linkType, frame)) {
                datagram = UdpDatagram(*packet);
            }
        }
        if (!datagram) {
            ++capture.skipped;
            continue;
        }
        datagram->timeNs =
            std::int64_t{seconds} * kNsPerSecond + std::int64_t{fraction} * fractionNs;
        capture.datagrams.push_back(std::move(*datagram));
    }
    return {};
}

Checked ReadCaptureFile(const std::string& path, Capture& capture) {
    const int fd = Kor::Platform::OpenFile(path, O_RDONLY | kOpenFlags);
    if (fd < 0) {
        return Checked::Refused("cannot open " + path + ": " + std::strerror(errno));
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, static_cast<IoSize>(sizeof buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int failure = errno;
            ::close(fd);
            return Checked::Refused("cannot read " + path + ": " + std::strerror(failure));
        }
        if (got == 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    ::close(fd);
    if (Checked parsed = ParseCapture(bytes, capture); !parsed) {
        return Checked::Refused(path + ": " + parsed.Message());
    }
    return {};
}

}  // namespace Kor::Pcap
