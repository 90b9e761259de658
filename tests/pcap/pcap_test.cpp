// kor_pcap: what the writer produces, what the reader accepts from it and from other
// capture programs, and how it refuses damaged files.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pcap.h"

namespace {

using Kor::Pcap::Capture;
using Kor::Pcap::Datagram;
using Kor::Pcap::Endpoint;
using Kor::Pcap::TimeResolution;
using Bytes = std::vector<std::uint8_t>;

constexpr Endpoint kSender{0x7f000001, 50123};             // 127.0.0.1:50123
constexpr Endpoint kReceiver{0xc0a80107, 33322};           // 192.168.1.7:33322
constexpr std::int64_t kTime = 1'700'000'123'456'789'321;  // ns since 1970

// Appends the low `size` bytes of each value, most significant first when `big`.
void Put(Bytes& out, bool big, int size, std::initializer_list<std::uint64_t> values) {
    for (const std::uint64_t value : values) {
        for (int i = 0; i < size; ++i) {
            out.push_back(static_cast<std::uint8_t>(value >> (8 * (big ? size - 1 - i : i))));
        }
    }
}

// A capture as other programs write it: either byte order, either resolution, any link
// type, frames given whole.
struct ForeignCapture {
    ForeignCapture(bool bigEndian, bool nano, std::uint32_t linkType, std::uint16_t major = 2)
        : big(bigEndian) {
        // Magic, version, time zone and accuracy, snap length, link type.
        Put(bytes, big, 4, {nano ? 0xa1b23c4d : 0xa1b2c3d4});
        Put(bytes, big, 2, {major, 4});
        Put(bytes, big, 4, {0, 0, 65535, linkType});
    }
    ForeignCapture& Add(std::uint32_t seconds, std::uint32_t fraction, const Bytes& frame,
                        std::uint64_t originalLength = 0) {
        Put(bytes, big, 4,
            {seconds, fraction, frame.size(), std::max(originalLength, frame.size())});
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        return *this;
    }
    bool big;
    Bytes bytes;
};

Bytes Prefixed(Bytes header, const Bytes& packet) {
    header.insert(header.end(), packet.begin(), packet.end());
    return header;
}

// An IPv4 packet (header checksum left 0; the reader does not need it) around a UDP
// datagram from 10.0.0.1:4000 to 10.0.0.2:5000.
Bytes Ipv4Udp(const Bytes& payload, std::uint8_t protocol = 17, std::uint16_t fragment = 0) {
    Bytes packet{0x45, 0};
    Put(packet, true, 2, {28 + payload.size(), 1, fragment});
    packet.insert(packet.end(), {64, protocol, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2});
    Put(packet, true, 2, {4000, 5000, 8 + payload.size(), 0});  // no checksum
    return Prefixed(packet, payload);
}

Bytes Ethernet(const Bytes& packet, std::uint16_t etherType = 0x0800) {
    Bytes header(12, 0xaa);
    Put(header, true, 2, {etherType});
    return Prefixed(header, packet);
}

// `bytes` with the byte at `at` set to `value`.
Bytes With(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
}

// A capture of three datagrams written by the writer, as bytes.
Bytes WrittenCapture(TimeResolution resolution) {
    Bytes all = Kor::Pcap::FileHeader(resolution);
    for (std::uint8_t n = 0; n < 3; ++n) {
        all = Prefixed(all, Kor::Pcap::PacketRecord(resolution, kTime + n * 1'000'000, kSender,
                                                    kReceiver, Bytes(10U + n, n), n));
    }
    return all;
}

// What the reader does not look at but other programs do; the rest of each record is
// checked by reading it back, with a reader checked against captures made here.
TEST(PcapWriter, HeadersHoldWhatOtherProgramsCheck) {
    // The textbook IPv4 header 192.168.0.1 -> 192.168.0.199, checksum 0xb861.
    Bytes header{0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                 0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(Kor::Pcap::Ipv4Checksum(header), 0xb861);
    EXPECT_EQ(Kor::Pcap::Ipv4Checksum(Bytes{0x01}), 0xfeff);  // odd length: padded with zero

    // Little-endian, version 2.4, snap length 262144, Ethernet.
    EXPECT_EQ(Kor::Pcap::FileHeader(TimeResolution::Nanoseconds),
              (Bytes{0x4d, 0x3c, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0,
                     0,    0,    0,    0,    0, 0, 4, 0, 1, 0, 0, 0}));
    EXPECT_EQ(Kor::Pcap::FileHeader(TimeResolution::Microseconds)[0], 0xd4);
    const Bytes record = Kor::Pcap::PacketRecord(TimeResolution::Microseconds, kTime, kSender,
                                                 kReceiver, Bytes(5, 1), 0x1234);
    ASSERT_EQ(record.size(), 16U + 14 + 20 + 8 + 5);
    EXPECT_EQ(record[12], 47);  // original length
    const std::size_t ip = 16 + 14;
    EXPECT_EQ((record[ip + 4] << 8) | record[ip + 5], 0x1234);  // identification
    EXPECT_EQ(Kor::Pcap::Ipv4Checksum({record.data() + ip, 20}), 0) << "bad header checksum";
    EXPECT_EQ(record[ip + 26] | record[ip + 27], 0);  // no UDP checksum
}

// The failure to create a file is checked through kor-monitor --record.
TEST(PcapWriter, FileRoundTripsInBothResolutions) {
    const std::string path =
        ::testing::TempDir() + "kor-pcap-" + std::to_string(::getpid()) + ".pcap";
    const std::vector<Bytes> payloads{
        {}, {0x00}, Bytes(1400, 0x5a), Bytes(Kor::Pcap::kMaxUdpPayload, 7)};
    for (const TimeResolution resolution :
         {TimeResolution::Nanoseconds, TimeResolution::Microseconds}) {
        Kor::Pcap::Writer writer;
        const Kor::Checked opened = writer.Open(path, resolution);
        ASSERT_TRUE(opened) << opened.Message();
        for (std::size_t n = 0; n < payloads.size(); ++n) {
            const Kor::Checked written =
                writer.Write(kTime + std::int64_t(n) * 40'000'000, kSender, kReceiver, payloads[n]);
            ASSERT_TRUE(written) << written.Message();
        }
        const Kor::Checked tooLarge =
            writer.Write(kTime, kSender, kReceiver, Bytes(Kor::Pcap::kMaxUdpPayload + 1, 0));
        EXPECT_FALSE(tooLarge);
        EXPECT_NE(tooLarge.Message().find("does not fit"), std::string::npos) << tooLarge.Message();
        const Kor::Checked closed = writer.Close();
        ASSERT_TRUE(closed) << closed.Message();

        Capture capture;
        const Kor::Checked read = Kor::Pcap::ReadCaptureFile(path, capture);
        ASSERT_TRUE(read) << read.Message();
        std::remove(path.c_str());
        EXPECT_EQ(capture.resolution, resolution);
        ASSERT_EQ(capture.datagrams.size(), payloads.size());
        const std::int64_t precision = resolution == TimeResolution::Nanoseconds ? 1 : 1000;
        for (std::size_t n = 0; n < payloads.size(); ++n) {
            const Datagram& d = capture.datagrams[n];
            EXPECT_EQ(d.payload, payloads[n]) << n;
            EXPECT_TRUE(d.source == kSender && d.destination == kReceiver) << n;
            EXPECT_EQ(d.timeNs, (kTime + std::int64_t(n) * 40'000'000) / precision * precision);
        }
    }
}

// One-record captures as other programs write them, in either byte order and resolution:
// a whole IPv4 UDP datagram is read from every link type, anything else is skipped.
TEST(PcapReader, ReadsUdpFromOtherLinkTypesAndSkipsTheRest) {
    const Bytes payload{'k', 'o', 'r', 0, 0xff};
    const Bytes packet = Ipv4Udp(payload);
    const Bytes ipv6 = With(Bytes(40, 0), 0, 0x60);
    const auto ethernet = Kor::Pcap::kLinkEthernet;
    struct Record {
        std::uint32_t linkType;
        Bytes frame;
        bool read;
        std::uint32_t originalLength = 0;
    };
    // Linux cooked headers: to us, Ethernet, 6 address bytes, then the protocol.
    const std::vector<Record> records{
        {ethernet, Ethernet(packet), true},
        {ethernet, Prefixed({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0, 0, 5, 8, 0}, packet),
         true},                                                      // VLAN
        {ethernet, Prefixed(Ethernet(packet), Bytes(20, 0)), true},  // padded to 60 bytes
        {Kor::Pcap::kLinkRaw, packet, true},
        {Kor::Pcap::kLinkIpv4, packet, true},
        {Kor::Pcap::kLinkLinuxSll,
         Prefixed({0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 8, 0}, packet), true},
        {Kor::Pcap::kLinkLinuxSll2,
         Prefixed({8, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0}, packet), true},
        {ethernet, Ethernet(Ipv4Udp(payload, 6)), false},  // TCP
        {ethernet, Ethernet(ipv6, 0x86dd), false},         // IPv6
        {Kor::Pcap::kLinkRaw, ipv6, false},
        {ethernet, Ethernet(Bytes(28, 0), 0x0806), false},          // ARP
        {ethernet, Ethernet(Ipv4Udp(payload, 17, 0x2000)), false},  // first of fragments
        {ethernet, Ethernet(Ipv4Udp(payload, 17, 0x0010)), false},  // a later fragment
        {ethernet, Ethernet(packet), false, 1000},                  // cut by the snap length
        {ethernet, Ethernet(With(packet, 25, 200)), false},         // UDP length beyond the packet
        {ethernet, Ethernet(With(packet, 3, 200)), false},          // IPv4 length beyond the frame
        {ethernet, Ethernet(With(packet, 0, 0x4f)), false},  // 60-byte header, 31-byte packet
        {ethernet, Bytes(5, 0), false},                      // shorter than Ethernet
    };
    for (std::size_t n = 0; n < records.size(); ++n) {
        for (const bool big : {false, true}) {
            for (const bool nano : {false, true}) {
                const Record& r = records[n];
                const ForeignCapture file =
                    ForeignCapture(big, nano, r.linkType)
                        .Add(10, nano ? 123'456'789 : 123'456, r.frame, r.originalLength);
                Capture capture;
                const Kor::Checked parsed = Kor::Pcap::ParseCapture(file.bytes, capture);
                ASSERT_TRUE(parsed) << n << parsed.Message();
                EXPECT_TRUE(capture.bigEndian == big && capture.linkType == r.linkType);
                EXPECT_EQ(capture.packets, 1U);
                ASSERT_EQ(capture.datagrams.size(), r.read ? 1U : 0U) << "record " << n;
                EXPECT_EQ(capture.skipped, r.read ? 0U : 1U);
                if (r.read) {
                    const Datagram& d = capture.datagrams[0];
                    EXPECT_EQ(d.payload, payload);
                    EXPECT_TRUE(d.source == (Endpoint{0x0a000001, 4000}) &&
                                d.destination == (Endpoint{0x0a000002, 5000}));
                    EXPECT_EQ(d.timeNs, nano ? 10'123'456'789 : 10'123'456'000);
                }
            }
        }
    }
}

TEST(PcapReader, RefusesWhatIsNotAClassicCaptureInOneLine) {
    Bytes huge = WrittenCapture(TimeResolution::Nanoseconds);
    std::fill(huge.begin() + 24 + 8, huge.begin() + 24 + 12, 0xff);  // captured length 4 GiB
    const std::vector<std::pair<Bytes, std::string>> bad{
        {{0xd4, 0xc3}, "too short"},
        {Bytes(24, 0x41), "not a pcap capture"},
        {{0x0a, 0x0d, 0x0d, 0x0a, 0, 0, 0, 0}, "pcapng"},
        {ForeignCapture(false, false, 1, 3).bytes, "version 3"},
        {ForeignCapture(true, false, 105).bytes, "link type 105"},
        {huge, "cut short inside packet 1"},
    };
    for (const auto& [bytes, expected] : bad) {
        Capture capture;
        const Kor::Checked parsed = Kor::Pcap::ParseCapture(bytes, capture);
        EXPECT_FALSE(parsed) << expected;
        const std::string& error = parsed.Message();
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    // Files that cannot be read: the error names the path.
    for (const std::string& path :
         {::testing::TempDir() + "kor-pcap-missing.pcap", ::testing::TempDir()}) {
        Capture capture;
        const Kor::Checked read = Kor::Pcap::ReadCaptureFile(path, capture);
        EXPECT_FALSE(read);
        const std::string& error = read.Message();
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }
}

// Every prefix of a valid capture: whole records read, anything else is a one-line error.
// Each prefix is copied to a buffer of exactly its size, so that a sanitizer build sees
// any read past its end.
TEST(PcapReader, EveryCutLengthIsReadOrRefusedWithoutOverrun) {
    for (const TimeResolution resolution :
         {TimeResolution::Nanoseconds, TimeResolution::Microseconds}) {
        const Bytes whole = WrittenCapture(resolution);
        const std::vector<std::size_t> boundaries{24, 24 + 68, 24 + 68 + 69, 24 + 68 + 69 + 70};
        ASSERT_EQ(boundaries.back(), whole.size());
        for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
            const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            Capture capture;
            const Kor::Checked parsed = Kor::Pcap::ParseCapture(prefix, capture);
            const bool read = parsed.Ok();
            const std::string& error = parsed.Message();
            const auto boundary = std::find(boundaries.begin(), boundaries.end(), cut);
            if (boundary != boundaries.end()) {
                EXPECT_TRUE(read) << cut << ": " << error;
                EXPECT_EQ(std::ssize(capture.datagrams), boundary - boundaries.begin());
            } else {
                EXPECT_FALSE(read) << cut;
                EXPECT_FALSE(error.empty()) << cut;
                EXPECT_EQ(error.find('\n'), std::string::npos) << error;
            }
        }
    }
}

// Random damage to headers and lengths: every outcome is a parse or a one-line error, and
// what is read stays inside the file (checked by the sizes and, in a sanitizer build, by
// the exact-size buffers).
TEST(PcapReader, AlteredBytesNeverLeadOutOfBounds) {
    const Bytes whole = WrittenCapture(TimeResolution::Nanoseconds);
    std::mt19937 random(20240501);
    std::uniform_int_distribution<std::size_t> position(0, whole.size() - 1);
    for (int round = 0; round < 5000; ++round) {
        Bytes damaged = whole;
        for (int n = 0; n < 1 + round % 4; ++n) {
            damaged[position(random)] = static_cast<std::uint8_t>(random());
        }
        Capture capture;
        const Kor::Checked parsed = Kor::Pcap::ParseCapture(damaged, capture);
        const std::string& error = parsed.Message();
        if (parsed) {
            EXPECT_LE(capture.datagrams.size(), capture.packets);
            for (const Datagram& d : capture.datagrams) {
                EXPECT_LE(d.payload.size(), damaged.size());
            }
        } else {
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        }
    }
}

}  // namespace
