// Frame encoding (UDP header, Serial checksum and byte stuffing, bare records),
// as tables of hand-written hex vectors.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using namespace kor_test;
using MT = MessageType;

struct FrameCase {
    const char* description;
    Edits setup;
    TransmissionType transmission;
    std::vector<MessageType> types;
    const char* expected;
};

const Edits kTimecodeAndLens = {Set(&TD::timecodeHours, 10),   Set(&TD::timecodeMinutes, 20),
                                Set(&TD::timecodeSeconds, 30), Set(&TD::timecodeFrames, 12),
                                Set(&TD::focus, 1500),         Set(&TD::zoom, 35.0F),
                                Set(&TD::iris, 2.8F)};

const auto kSerial = TransmissionType::Serial;
const auto kUdp = TransmissionType::UDP;

// clang-format off
const FrameCase kFrameCases[] = {
    // The framing's boundary cases, byte for byte.
    {"UDP, default ChannelId", {}, kUdp, {MT::ChannelId}, "00 FF 00 00 00 00 00 00 | 18 00 FF"},
    {"Serial, default ChannelId: sum 0x117, checksum E8", {}, kSerial, {MT::ChannelId},
     "00 | 02 18 03 FF E8 | 00"},
    {"UDP, Timecode + BasicLens", kTimecodeAndLens, kUdp, {MT::Timecode, MT::BasicLens},
     "00 FF 00 00 00 00 00 00 | 00 03 10 20 30 12 | 01 07 00 05 DC 00 0D AC 01 18"},
    {"Serial, Timecode + BasicLens: sum 0x30, checksum CF, leading code 01", kTimecodeAndLens,
     kSerial, {MT::Timecode, MT::BasicLens},
     "00 | 01 08 03 10 20 30 12 01 07 03 05 DC 06 0D AC 01 18 CF | 00"},
    {"type 2, default ChannelId: the record alone", {}, kRecordsOnly, {MT::ChannelId}, "18 00 FF"},
    {"type 255, default ChannelId: the record alone", {}, static_cast<TransmissionType>(255),
     {MT::ChannelId}, "18 00 FF"},
    {"UDP, empty list: the header", {}, kUdp, {}, "00 FF 00 00 00 00 00 00"},
    {"Serial, empty list: checksum FF of an empty sum", {}, kSerial, {}, "00 02 FF 00"},
    {"type 2, empty list: nothing", {}, kRecordsOnly, {}, ""},
    {"IdList and FileEnd between two others add nothing", {}, kUdp,
     {MT::ChannelId, MT::IdList, MT::FileEnd, MT::SubjectId},
     "00 FF 00 00 00 00 00 00 | 18 00 FF | 1B 01 FF FF"},
    {"every type without a builder adds nothing", {}, kRecordsOnly,
     {MT::IdList, MT::ChannelId, MT::FileEnd, MT::FileTransferName, MT::FileTransferInformation,
      MT::FileTransferData, MT::FileTransferMd5, static_cast<MT>(28), static_cast<MT>(200),
      static_cast<MT>(0x1800), MT::SubjectId},
     "18 00 FF | 1B 01 FF FF"},
    {"a type listed three times gives three identical records", {}, kUdp,
     {MT::ChannelId, MT::ChannelId, MT::ChannelId},
     "00 FF 00 00 00 00 00 00 | 18 00 FF | 18 00 FF | 18 00 FF"},
    {"Serial, checksum 0 becomes code byte 01 before the closing delimiter",
     {Set(&TD::channelId, 0xE7)}, kSerial, {MT::ChannelId}, "00 | 02 18 02 E7 01 | 00"},
    // Further Serial vectors: zeros at the start, in a row, at the end, and none at all.
    {"Serial, two zero bytes in a row", {Set(&TD::clipName, std::string(1, '\0'))}, kSerial,
     {MT::ClipName}, "00 | 02 0E 01 02 F1 | 00"},
    {"Serial, records ending in a zero byte", {Set(&TD::channelId, 0)}, kSerial, {MT::ChannelId},
     "00 | 02 18 01 02 E7 | 00"},
    {"Serial, one-byte zero payload", {}, kSerial, {MT::ProjectFps}, "00 | 02 0D 01 02 F2 | 00"},
    {"Serial, zeros everywhere but the length byte and checksum: leading code 01", {}, kSerial,
     {MT::Timecode}, "00 | 01 02 03 01 01 01 02 FC | 00"},
    {"Serial, no zero at all", {Set(&TD::clipName, "AB")}, kSerial, {MT::ClipName},
     "00 | 06 0E 01 41 42 6D | 00"},
};
// clang-format on

TEST(Framing, EncodeVectors) {
    for (const FrameCase& c : kFrameCases) {
        SCOPED_TRACE(c.description);
        EXPECT_BYTES(Make(c.setup).Encode(c.transmission, c.types), Hex(c.expected));
    }
}

TEST(Framing, SerialFramesUnstuffToRecordsPlusChecksum) {
    // Each Serial vector above, undone by the test's own unstuffer, gives the same records as
    // the bare encoding followed by the complemented sum.
    for (const FrameCase& c : kFrameCases) {
        if (c.transmission != kSerial) continue;
        SCOPED_TRACE(c.description);
        const TD d = Make(c.setup);
        const Bytes records = d.Encode(kRecordsOnly, c.types);
        const auto raw = Unstuff(d.Encode(kSerial, c.types));
        ASSERT_TRUE(raw.has_value());
        ASSERT_EQ(raw->size(), records.size() + 1);
        EXPECT_TRUE(std::equal(records.begin(), records.end(), raw->begin()));
        EXPECT_EQ(raw->back(), SpecChecksum(records, records.size()));
    }
}

TEST(Framing, SerialStuffingAtTheLongestRuns) {
    // 3 x ClipName of 65 'a' (0E 40 + 65 x 61) and a LensName of 50 'b' (0B 31 + 50 x 62):
    // 3 * 67 + 52 = 253 bytes with no zero. Sum 3 * 6383 + 4960 = 24109 = 0x5E2D, checksum D2;
    // raw is 254 non-zero bytes, so the one code byte is FF.
    TelemetryData d;
    d.clipName = std::string(65, 'a');
    d.lensName = std::string(50, 'b');
    const std::vector<MT> types{MT::ClipName, MT::ClipName, MT::ClipName, MT::LensName};
    const Bytes clip = Cat({Hex("0E 40"), Repeat(0x61, 65)});
    const Bytes lens = Cat({Hex("0B 31"), Repeat(0x62, 50)});
    EXPECT_BYTES(d.Encode(kSerial, types),
                 Cat({Hex("00 FF"), clip, clip, clip, lens, Hex("D2 00")}));
    EXPECT_BYTES(d.Encode(kUdp, types), Cat({kUdpHeader, clip, clip, clip, lens}));

    // One byte shorter: 252 record bytes + checksum (sum 24109 - 0x62 - 1 = 0x5DCA, checksum 35) ->
    // code FE.
    d.lensName.pop_back();
    const Bytes lens49 = Cat({Hex("0B 30"), Repeat(0x62, 49)});
    EXPECT_BYTES(d.Encode(kSerial, types),
                 Cat({Hex("00 FE"), clip, clip, clip, lens49, Hex("35 00")}));

    // A run of 253 non-zero bytes, then a zero checksum: one 'b' becomes '4' (0x34, 46 less),
    // so the sum is 0x5DFF and the checksum 00, which stuffs to the final code byte 01.
    d.lensName = std::string(49, 'b') + "4";
    const Bytes lens4 = Cat({Hex("0B 31"), Repeat(0x62, 49), Hex("34")});
    EXPECT_BYTES(d.Encode(kSerial, types),
                 Cat({Hex("00 FE"), clip, clip, clip, lens4, Hex("01 00")}));

    // A zero, then a run of 253: Timecode 11:11:11:11 (00 03 11 11 11 11), 3 x ClipName and a
    // LensName of 44 'b' (0B 2B ...): 6 + 201 + 46 = 253 bytes whose only zero is the first.
    // Sum 71 + 19149 + 4366 = 0x5C22, checksum DD; leading code 01, then FE.
    d.timecodeHours = d.timecodeMinutes = d.timecodeSeconds = d.timecodeFrames = 11;
    d.lensName = std::string(44, 'b');
    const Bytes lens44 = Cat({Hex("0B 2B"), Repeat(0x62, 44)});
    EXPECT_BYTES(
        d.Encode(kSerial, {MT::Timecode, MT::ClipName, MT::ClipName, MT::ClipName, MT::LensName}),
        Cat({Hex("00 01 FE 03 11 11 11 11"), clip, clip, clip, lens44, Hex("DD 00")}));
}

}  // namespace
