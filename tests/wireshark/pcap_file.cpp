// Classic libpcap file writer: little-endian file and record headers, LINKTYPE_RAW packets.
#include "pcap_file.h"

namespace KorTest {
namespace {

constexpr std::uint32_t kPcapMagic = 0xA1B2C3D4U;
constexpr std::uint32_t kLinkTypeRaw = 101;  // packets begin with the IPv4 header
constexpr std::uint32_t kSnapLength = 65535;

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFFU));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFFU));
    }
}

void PutBe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFFU));
}

// Ones' complement sum of the header's 16-bit words, complemented.
std::uint16_t Ipv4Checksum(const std::vector<std::uint8_t>& header) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < header.size(); i += 2) {
        sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
    }
    while (sum > 0xFFFFU) {
        sum = (sum & 0xFFFFU) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFFU);
}

void Write(std::ofstream& out, const std::vector<std::uint8_t>& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

PcapFile::PcapFile(const std::string& path) : out(path, std::ios::binary | std::ios::trunc) {
    std::vector<std::uint8_t> header;
    PutLe32(header, kPcapMagic);
    PutLe16(header, 2);  // version 2.4
    PutLe16(header, 4);
    PutLe32(header, 0);  // time zone offset
    PutLe32(header, 0);  // time stamp accuracy
    PutLe32(header, kSnapLength);
    PutLe32(header, kLinkTypeRaw);
    Write(out, header);
}

void PcapFile::AddUdp(std::uint16_t sourcePort, std::uint16_t destPort,
                      const std::vector<std::uint8_t>& payload) {
    const auto udpLength = static_cast<std::uint16_t>(8 + payload.size());
    const auto ipLength = static_cast<std::uint16_t>(20 + udpLength);

    std::vector<std::uint8_t> packet = {0x45, 0x00};  // IPv4, 20-byte header
    PutBe16(packet, ipLength);
    PutBe16(packet, static_cast<std::uint16_t>(packets & 0xFFFFU));  // identification
    PutBe16(packet, 0x4000);                                          // don't fragment
    packet.push_back(64);                                             // time to live
    packet.push_back(17);                                             // UDP
    PutBe16(packet, 0);                                               // checksum, below
    for (int i = 0; i < 2; ++i) {
        packet.insert(packet.end(), {127, 0, 0, 1});
    }
    const std::uint16_t checksum = Ipv4Checksum(packet);
    packet[10] = static_cast<std::uint8_t>(checksum >> 8);
    packet[11] = static_cast<std::uint8_t>(checksum & 0xFFU);

    PutBe16(packet, sourcePort);
    PutBe16(packet, destPort);
    PutBe16(packet, udpLength);
    PutBe16(packet, 0);  // no checksum
    packet.insert(packet.end(), payload.begin(), payload.end());

    std::vector<std::uint8_t> record;
    PutLe32(record, packets);  // seconds
    PutLe32(record, 0);        // microseconds
    PutLe32(record, static_cast<std::uint32_t>(packet.size()));
    PutLe32(record, static_cast<std::uint32_t>(packet.size()));
    Write(out, record);
    Write(out, packet);
    ++packets;
}

}  // namespace KorTest
