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

// A file named after the running test in the test's temporary directory, removed at the end.
struct TempFile {
    std::string path = ::testing::TempDir() + "kor-pcap-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    ~TempFile() { std::remove(path.c_str()); }
};

std::uint16_t Be16(const Bytes& bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

// Appends the low `size` bytes of `value`, most significant first when `big`.
void Put(Bytes& out, std::uint64_t value, int size, bool big = true) {
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * (big ? size - 1 - i : i))));
    }
}

// Builds a capture as other programs write it: either byte order, either resolution, any
// link type, frames given whole.
struct ForeignCapture {
    ForeignCapture(bool bigEndian, bool nano, std::uint32_t linkType, std::uint16_t major = 2)
        : big(bigEndian) {
        Put(bytes, nano ? 0xa1b23c4d : 0xa1b2c3d4, 4, big);
        Put(bytes, major, 2, big);
        Put(bytes, 4, 2, big);
        Put(bytes, 0, 8, big);  // time zone and accuracy
        Put(bytes, 65535, 4, big);
        Put(bytes, linkType, 4, big);
    }
    ForeignCapture& Add(std::uint32_t seconds, std::uint32_t fraction, const Bytes& frame,
                        std::uint32_t originalLength = 0) {
        const std::uint64_t size = frame.size();
        for (const std::uint64_t value : {std::uint64_t{seconds}, std::uint64_t{fraction}, size,
                                          originalLength != 0 ? originalLength : size}) {
            Put(bytes, value, 4, big);
        }
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        return *this;
    }
    bool big;
    Bytes bytes;
};

// An IPv4 packet (header checksum left 0; the reader does not need it) around a UDP
// datagram from 10.0.0.1:source to 10.0.0.2:destination.
Bytes Ipv4Udp(const Bytes& payload, std::uint16_t source = 4000, std::uint16_t destination = 5000,
              std::uint8_t protocol = 17, std::uint16_t fragment = 0) {
    Bytes packet{0x45, 0};
    Put(packet, 28 + payload.size(), 2);
    Put(packet, 1, 2);
    Put(packet, fragment, 2);
    packet.insert(packet.end(), {64, protocol, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2});
    Put(packet, source, 2);
    Put(packet, destination, 2);
    Put(packet, 8 + payload.size(), 2);
    Put(packet, 0, 2);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

Bytes Prefixed(Bytes header, const Bytes& packet) {
    header.insert(header.end(), packet.begin(), packet.end());
    return header;
}

Bytes Ethernet(const Bytes& packet, std::uint16_t etherType = 0x0800) {
    Bytes header(12, 0xaa);
    Put(header, etherType, 2);
    return Prefixed(header, packet);
}

// A capture of three datagrams written by the Writer, as bytes.
Bytes WrittenCapture(TimeResolution resolution) {
    Bytes all = Kor::Pcap::FileHeader(resolution);
    for (std::uint8_t n = 0; n < 3; ++n) {
        const Bytes payload(10U + n, static_cast<std::uint8_t>(0xa0 + n));
        const Bytes record = Kor::Pcap::PacketRecord(resolution, kTime + n * 1'000'000, kSender,
                                                     kReceiver, payload, n);
        all.insert(all.end(), record.begin(), record.end());
    }
    return all;
}

TEST(PcapChecksum, MatchesTheStandardExampleAndVerifiesToZero) {
    // The textbook IPv4 header 192.168.0.1 -> 192.168.0.199, checksum 0xb861.
    Bytes header{0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                 0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(Kor::Pcap::Ipv4Checksum(header), 0xb861);
    header[10] = 0xb8;
    header[11] = 0x61;
    EXPECT_EQ(Kor::Pcap::Ipv4Checksum(header), 0);
    EXPECT_EQ(Kor::Pcap::Ipv4Checksum(Bytes{0x01}), 0xfeff);  // odd length: padded with zero
}

// What the reader does not look at but other programs do; the rest of each record is
// checked by reading it back, with a reader checked against captures made here.
TEST(PcapWriter, HeadersHoldWhatOtherProgramsCheck) {
    const Bytes header = Kor::Pcap::FileHeader(TimeResolution::Nanoseconds);
    EXPECT_EQ(header, (Bytes{0x4d, 0x3c, 0xb2, 0xa1, 2,    0,    4,    0,    0, 0, 0, 0,
                             0,    0,    0,    0,    0x00, 0x00, 0x04, 0x00, 1, 0, 0, 0}));
    EXPECT_EQ(Kor::Pcap::FileHeader(TimeResolution::Microseconds)[0], 0xd4);

    const Bytes payload{1, 2, 3, 4, 5};
    const Bytes record = Kor::Pcap::PacketRecord(TimeResolution::Microseconds, kTime, kSender,
                                                 kReceiver, payload, 0x1234);
    ASSERT_EQ(record.size(), 16U + 14 + 20 + 8 + 5);
    EXPECT_EQ(record[12], 47);  // original length
    const std::size_t ip = 16 + 14;
    EXPECT_EQ(Be16(record, ip + 4), 0x1234);  // identification
    EXPECT_EQ(Kor::Pcap::Ipv4Checksum({record.data() + ip, 20}), 0) << "bad header checksum";
    EXPECT_EQ(Be16(record, ip + 20 + 6), 0);  // no UDP checksum
}

TEST(PcapWriter, FileRoundTripsInBothResolutionsAndCreationFailsCleanly) {
    for (const TimeResolution resolution :
         {TimeResolution::Nanoseconds, TimeResolution::Microseconds}) {
        TempFile file;
        Kor::Pcap::Writer writer;
        std::string error;
        ASSERT_TRUE(writer.Open(file.path, resolution, error)) << error;
        std::vector<Bytes> payloads{
            {}, {0x00}, Bytes(1400, 0x5a), Bytes(Kor::Pcap::kMaxUdpPayload, 7)};
        for (std::size_t n = 0; n < payloads.size(); ++n) {
            ASSERT_TRUE(writer.Write(kTime + static_cast<std::int64_t>(n) * 40'000'000, kSender,
                                     kReceiver, payloads[n], error))
                << error;
        }
        EXPECT_FALSE(writer.Write(kTime, kSender, kReceiver,
                                  Bytes(Kor::Pcap::kMaxUdpPayload + 1, 0), error));
        EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
        EXPECT_EQ(writer.Written(), payloads.size());
        ASSERT_TRUE(writer.Close(error)) << error;

        Capture capture;
        ASSERT_TRUE(Kor::Pcap::ReadCaptureFile(file.path, capture, error)) << error;
        EXPECT_EQ(capture.linkType, Kor::Pcap::kLinkEthernet);
        EXPECT_EQ(capture.resolution, resolution);
        EXPECT_FALSE(capture.bigEndian);
        EXPECT_EQ(capture.packets, payloads.size());
        EXPECT_EQ(capture.skipped, 0U);
        ASSERT_EQ(capture.datagrams.size(), payloads.size());
        const std::int64_t precision = resolution == TimeResolution::Nanoseconds ? 1 : 1000;
        for (std::size_t n = 0; n < payloads.size(); ++n) {
            const Datagram& d = capture.datagrams[n];
            EXPECT_EQ(d.payload, payloads[n]) << n;
            EXPECT_EQ(d.source, kSender);
            EXPECT_EQ(d.destination, kReceiver);
            const std::int64_t expected = kTime + static_cast<std::int64_t>(n) * 40'000'000;
            EXPECT_EQ(d.timeNs, expected / precision * precision) << n;
        }
    }

    // A file that cannot be created: a one-line error naming it, and no writes after it.
    Kor::Pcap::Writer writer;
    std::string error;
    const std::string path = ::testing::TempDir() + "no-such-directory-kor/x.pcap";
    EXPECT_FALSE(writer.Open(path, TimeResolution::Nanoseconds, error));
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_FALSE(writer.Write(kTime, kSender, kReceiver, Bytes{1}, error));
}

TEST(PcapReader, ReadsOtherLinkTypesByteOrdersAndResolutions) {
    const Bytes payload{'k', 'o', 'r', 0, 0xff};
    const Bytes packet = Ipv4Udp(payload);
    Bytes vlan(12, 0);
    vlan.insert(vlan.end(), {0x81, 0x00, 0x00, 0x05, 0x08, 0x00});
    const std::vector<std::pair<std::uint32_t, Bytes>> frames{
        {Kor::Pcap::kLinkEthernet, Ethernet(packet)},
        {Kor::Pcap::kLinkEthernet, Prefixed(vlan, packet)},
        {Kor::Pcap::kLinkRaw, packet},
        {Kor::Pcap::kLinkIpv4, packet},
        // Linux cooked headers: to us, Ethernet, 6 address bytes, then the protocol.
        {Kor::Pcap::kLinkLinuxSll,
         Prefixed({0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 8, 0}, packet)},
        {Kor::Pcap::kLinkLinuxSll2,
         Prefixed({8, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0}, packet)},
    };
    for (const auto& [linkType, frame] : frames) {
        for (const bool big : {false, true}) {
            for (const bool nano : {false, true}) {
                const std::uint32_t fraction = nano ? 123'456'789 : 123'456;
                const ForeignCapture file =
                    ForeignCapture(big, nano, linkType).Add(10, fraction, frame);
                Capture capture;
                std::string error;
                ASSERT_TRUE(Kor::Pcap::ParseCapture(file.bytes, capture, error))
                    << linkType << ": " << error;
                EXPECT_EQ(capture.bigEndian, big);
                EXPECT_EQ(capture.linkType, linkType);
                ASSERT_EQ(capture.datagrams.size(), 1U) << linkType << " big " << big;
                const Datagram& d = capture.datagrams[0];
                EXPECT_EQ(d.payload, payload);
                EXPECT_EQ(d.source, (Endpoint{0x0a000001, 4000}));
                EXPECT_EQ(d.destination, (Endpoint{0x0a000002, 5000}));
                EXPECT_EQ(d.timeNs, nano ? 10'123'456'789 : 10'123'456'000);
            }
        }
    }
}

TEST(PcapReader, SkipsWhatIsNotAWholeUdpDatagram) {
    const Bytes payload{1, 2, 3};
    Bytes ipv6(40, 0);
    ipv6[0] = 0x60;
    Bytes padded = Ethernet(Ipv4Udp(payload));
    padded.insert(padded.end(), 20, 0);  // short Ethernet frames are padded to 60 bytes
    Bytes longUdp = Ipv4Udp(payload);
    longUdp[25] = 200;  // UDP length beyond the packet
    Bytes longIp = Ipv4Udp(payload);
    longIp[3] = 200;  // IPv4 total length beyond the frame
    Bytes longHeader = Ipv4Udp(payload);
    longHeader[0] = 0x4f;  // 60-byte header in a 31-byte packet

    ForeignCapture file(false, false, Kor::Pcap::kLinkEthernet);
    file.Add(1, 0, Ethernet(Ipv4Udp(payload, 1, 2, 6)))           // TCP
        .Add(1, 1, Ethernet(ipv6, 0x86dd))                        // IPv6
        .Add(1, 2, Ethernet(Bytes(28, 0), 0x0806))                // ARP
        .Add(1, 3, Ethernet(Ipv4Udp(payload, 1, 2, 17, 0x2000)))  // first of fragments
        .Add(1, 4, Ethernet(Ipv4Udp(payload, 1, 2, 17, 0x0010)))  // a later fragment
        .Add(1, 5, Ethernet(Ipv4Udp(payload)), 1000)              // cut by the snap length
        .Add(1, 6, Ethernet(longUdp))
        .Add(1, 7, Ethernet(longIp))
        .Add(1, 8, Ethernet(longHeader))
        .Add(1, 9, Bytes(5, 0))  // shorter than Ethernet
        .Add(1, 10, padded);     // the one datagram
    Capture capture;
    std::string error;
    ASSERT_TRUE(Kor::Pcap::ParseCapture(file.bytes, capture, error)) << error;
    EXPECT_EQ(capture.packets, 11U);
    EXPECT_EQ(capture.skipped, 10U);
    ASSERT_EQ(capture.datagrams.size(), 1U);
    EXPECT_EQ(capture.datagrams[0].payload, payload);
    EXPECT_EQ(capture.datagrams[0].timeNs, 1'000'010'000);

    ForeignCapture raw(true, true, Kor::Pcap::kLinkRaw);
    raw.Add(1, 0, ipv6).Add(1, 0, Ipv4Udp(payload));
    ASSERT_TRUE(Kor::Pcap::ParseCapture(raw.bytes, capture, error)) << error;
    EXPECT_EQ(capture.skipped, 1U);
    EXPECT_EQ(capture.datagrams.size(), 1U);
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
        std::string error;
        EXPECT_FALSE(Kor::Pcap::ParseCapture(bytes, capture, error)) << expected;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    Capture capture;
    std::string error;
    const std::string missing = ::testing::TempDir() + "kor-pcap-missing.pcap";
    EXPECT_FALSE(Kor::Pcap::ReadCaptureFile(missing, capture, error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_FALSE(Kor::Pcap::ReadCaptureFile(::testing::TempDir(), capture, error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

// Every prefix of a valid capture: whole records read, anything else is a one-line error.
// Each prefix is copied to a buffer of exactly its size, so that a sanitizer build sees
// any read past its end.
TEST(PcapReader, EveryCutLengthIsReadOrRefusedWithoutOverrun) {
    for (const TimeResolution resolution :
         {TimeResolution::Nanoseconds, TimeResolution::Microseconds}) {
        const Bytes whole = WrittenCapture(resolution);
        std::vector<std::size_t> boundaries{24};
        for (std::size_t n = 0; n < 3; ++n) {
            boundaries.push_back(boundaries.back() + 16 + 14 + 28 + 10 + n);
        }
        ASSERT_EQ(boundaries.back(), whole.size());
        for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
            const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            Capture capture;
            std::string error;
            const bool read = Kor::Pcap::ParseCapture(prefix, capture, error);
            const auto boundary = std::find(boundaries.begin(), boundaries.end(), cut);
            if (boundary != boundaries.end()) {
                EXPECT_TRUE(read) << cut << ": " << error;
                EXPECT_EQ(capture.datagrams.size(),
                          static_cast<std::size_t>(boundary - boundaries.begin()));
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
    std::uniform_int_distribution<int> value(0, 255);
    for (int round = 0; round < 5000; ++round) {
        Bytes damaged = whole;
        for (int n = 0; n < 1 + round % 4; ++n) {
            damaged[position(random)] = static_cast<std::uint8_t>(value(random));
        }
        Capture capture;
        std::string error;
        if (Kor::Pcap::ParseCapture(damaged, capture, error)) {
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
