// The OTrk packet layer: Fletcher-16 and the header against hand-computed bytes, the header
// parser's refusals, segmentation and reassembly.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "otrk.h"

namespace {

using namespace Kor::Bridge;
using Bytes = std::vector<std::uint8_t>;

TEST(Otrk, Fletcher16IsModulo256) {
    struct Case {
        Bytes bytes;
        std::uint16_t sum;
    };
    // 01 02: sum1 1, 3; sum2 1, 4. FF FF: sum1 255, 254; sum2 255, 253 (modulo 255 would
    // give 0x0000). 80 80: sum1 128, 0; sum2 128, 128.
    for (const Case& c : {Case{{}, 0x0000}, Case{{0x01, 0x02}, 0x0403}, Case{{0xFF, 0xFF}, 0xFDFE},
                          Case{{0x80, 0x80}, 0x8000}}) {
        EXPECT_EQ(Fletcher16(c.bytes), c.sum);
    }
    // A running computation equals the one over the whole.
    const Bytes whole{1, 2, 3, 200, 201, 202};
    const std::span<const std::uint8_t> all(whole);
    EXPECT_EQ(Fletcher16(all.subspan(3), Fletcher16(all.first(3))), Fletcher16(whole));
}

// The header of the two-byte JSON payload "{}" with sequence number 0x1234. The checksum
// over 4F 54 72 6B 00 01 12 34 00 00 00 00 80 02 7B 7D ends with sum1 = 0x41, sum2 = 0x93.
TEST(Otrk, SinglePacketHeaderMatchesHandComputedBytes) {
    std::uint16_t sequence = 0x1234;
    const Bytes payload{'{', '}'};
    const auto packets = BuildOtrkPackets(payload, OtrkEncoding::Json, sequence);
    ASSERT_EQ(packets.size(), 1U);
    EXPECT_EQ(packets[0], (Bytes{0x4F, 0x54, 0x72, 0x6B, 0x00, 0x01, 0x12, 0x34, 0x00, 0x00, 0x00,
                                 0x00, 0x80, 0x02, 0x93, 0x41, 0x7B, 0x7D}));
    EXPECT_EQ(sequence, 0x1235);

    const OtrkParse parsed = ParseOtrkPacket(packets[0]);
    ASSERT_TRUE(parsed.header);
    EXPECT_EQ(parsed.header->encoding, 0x01);
    EXPECT_EQ(parsed.header->sequence, 0x1234);
    EXPECT_TRUE(parsed.header->last);
    EXPECT_EQ(parsed.header->length, 2);
    EXPECT_EQ(Bytes(parsed.payload.begin(), parsed.payload.end()), payload);

    // CBOR sets byte 5 to 2, and the sequence number wraps.
    sequence = 0xFFFF;
    const auto cbor = BuildOtrkPackets(payload, OtrkEncoding::Cbor, sequence);
    EXPECT_EQ(cbor[0][5], 0x02);
    EXPECT_EQ(sequence, 0);
}

TEST(Otrk, ParserRefusesBrokenPackets) {
    std::uint16_t sequence = 7;
    const Bytes good = BuildOtrkPackets(Bytes{1, 2, 3, 4}, OtrkEncoding::Json, sequence)[0];
    const auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes copy = good;
        copy[at] = value;
        return copy;
    };
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes extended = good;
    extended.push_back(0);
    struct Case {
        Bytes bytes;
        OtrkError error;
    };
    for (const Case& c : {Case{Bytes(good.begin(), good.begin() + 15), OtrkError::TooShort},
                          Case{changed(0, 'o'), OtrkError::BadIdentifier},
                          Case{truncated, OtrkError::BadLength},
                          Case{extended, OtrkError::BadLength},
                          Case{changed(13, 0x05), OtrkError::BadLength},
                          Case{changed(17, 0x09), OtrkError::BadChecksum},
                          Case{changed(7, 0x08), OtrkError::BadChecksum},
                          Case{changed(15, static_cast<std::uint8_t>(good[15] ^ 1)),
                               OtrkError::BadChecksum}}) {
        const OtrkParse parsed = ParseOtrkPacket(c.bytes);
        EXPECT_FALSE(parsed.header);
        EXPECT_EQ(parsed.error, c.error) << OtrkErrorText(c.error);
    }
}

// A 10-byte payload in segments of at most 4: offsets 0, 4, 8, lengths 4, 4, 2, the last
// flag on the third only, consecutive sequence numbers, each with a valid checksum.
TEST(Otrk, SegmentsAndReassembly) {
    Bytes payload(10);
    std::iota(payload.begin(), payload.end(), std::uint8_t{0xA0});
    std::uint16_t sequence = 0xFFFE;
    const auto packets = BuildOtrkPackets(payload, OtrkEncoding::Cbor, sequence, 4);
    ASSERT_EQ(packets.size(), 3U);
    const std::uint32_t offsets[] = {0, 4, 8};
    const std::uint16_t lengths[] = {4, 4, 2};
    const std::uint16_t sequences[] = {0xFFFE, 0xFFFF, 0x0000};
    for (std::size_t i = 0; i < 3; ++i) {
        const OtrkParse parsed = ParseOtrkPacket(packets[i]);
        ASSERT_TRUE(parsed.header) << i;
        EXPECT_EQ(parsed.header->offset, offsets[i]);
        EXPECT_EQ(parsed.header->length, lengths[i]);
        EXPECT_EQ(parsed.header->last, i == 2);
        EXPECT_EQ(parsed.header->sequence, sequences[i]);
    }
    // Offset 4 of the second packet, big-endian in bytes 8 to 11; length 4 without the flag.
    EXPECT_EQ(Bytes(packets[1].begin() + 8, packets[1].begin() + 14),
              (Bytes{0x00, 0x00, 0x00, 0x04, 0x00, 0x04}));

    const auto feed = [](OtrkReassembler& r, const Bytes& packet) {
        const OtrkParse parsed = ParseOtrkPacket(packet);
        return r.Feed(*parsed.header, parsed.payload);
    };
    OtrkReassembler whole;
    EXPECT_FALSE(feed(whole, packets[0]));
    EXPECT_FALSE(feed(whole, packets[1]));
    const auto joined = feed(whole, packets[2]);
    ASSERT_TRUE(joined);
    EXPECT_EQ(*joined, payload);
    EXPECT_EQ(whole.Dropped(), 0U);

    // A missing middle segment, a segment out of order and a repeated one: never a payload,
    // and the next complete payload comes through.
    for (const std::vector<std::size_t>& order :
         {std::vector<std::size_t>{0, 2}, {1, 0, 2}, {0, 0, 2}, {2}}) {
        OtrkReassembler r;
        for (const std::size_t i : order) {
            EXPECT_FALSE(feed(r, packets[i]));
        }
        EXPECT_GT(r.Dropped(), 0U);
        std::uint16_t next = 100;
        const auto again = BuildOtrkPackets(payload, OtrkEncoding::Cbor, next, 6);
        EXPECT_FALSE(feed(r, again[0]));
        EXPECT_EQ(feed(r, again[1]), payload);
    }

    // A payload that fits is one packet; an empty one is one packet with no payload.
    sequence = 0;
    EXPECT_EQ(BuildOtrkPackets(payload, OtrkEncoding::Json, sequence).size(), 1U);
    const auto empty = BuildOtrkPackets(Bytes{}, OtrkEncoding::Json, sequence);
    ASSERT_EQ(empty.size(), 1U);
    EXPECT_EQ(empty[0].size(), kOtrkHeaderSize);
    EXPECT_EQ(empty[0][12], 0x80);
    // The largest payload one packet holds, and one byte more.
    EXPECT_EQ(BuildOtrkPackets(Bytes(kOtrkMaxSegment), OtrkEncoding::Json, sequence).size(), 1U);
    EXPECT_EQ(BuildOtrkPackets(Bytes(kOtrkMaxSegment + 1), OtrkEncoding::Json, sequence).size(), 2U);
}

// Senders that count per payload give every segment of a sample the same sequence number; a
// repeated datagram is ignored rather than handed on twice or taken for a lost segment; every
// drop says why.
TEST(Otrk, ReassemblySequencesRepeatsAndReasons) {
    Bytes payload(10);
    std::iota(payload.begin(), payload.end(), std::uint8_t{1});
    const auto feed = [](OtrkReassembler& r, OtrkHeader header, std::span<const std::uint8_t> bytes) {
        header.length = static_cast<std::uint16_t>(bytes.size());
        return r.Feed(header, bytes);
    };
    const std::span<const std::uint8_t> all(payload);
    const auto segment = [](std::uint16_t sequence, std::uint32_t offset, bool last) {
        OtrkHeader h;
        h.encoding = 0x02;
        h.sequence = sequence;
        h.offset = offset;
        h.last = last;
        h.checksum = static_cast<std::uint16_t>(sequence * 31 + offset);
        return h;
    };

    OtrkReassembler r;
    EXPECT_FALSE(feed(r, segment(9, 0, false), all.first(4)));
    EXPECT_FALSE(feed(r, segment(9, 4, false), all.subspan(4, 4)));
    EXPECT_EQ(feed(r, segment(9, 8, true), all.subspan(8)), payload);
    // The same whole packet again: ignored.
    EXPECT_FALSE(feed(r, segment(9, 8, true), all.subspan(8)));
    EXPECT_EQ(r.Repeated(), 1U);
    // A segment repeated within a sample does not break it.
    EXPECT_FALSE(feed(r, segment(10, 0, false), all.first(4)));
    EXPECT_FALSE(feed(r, segment(10, 0, false), all.first(4)));
    EXPECT_EQ(feed(r, segment(11, 4, true), all.subspan(4)), payload);
    EXPECT_EQ(r.Dropped(), 0U);

    // A sequence number that skips one is a lost packet.
    EXPECT_FALSE(feed(r, segment(20, 0, false), all.first(4)));
    EXPECT_FALSE(feed(r, segment(22, 4, true), all.subspan(4)));
    EXPECT_EQ(r.Dropped(OtrkDrop::MissingSegment), 1U);
    EXPECT_EQ(r.Dropped(OtrkDrop::MissingStart), 1U);
    // Too large for the limit.
    OtrkReassembler small(6);
    EXPECT_FALSE(feed(small, segment(1, 0, false), all.first(4)));
    EXPECT_FALSE(feed(small, segment(2, 4, true), all.subspan(4)));
    EXPECT_EQ(small.Dropped(OtrkDrop::TooLarge), 1U);
    EXPECT_EQ(small.Dropped(), 1U);
}

}  // namespace
