// Record payloads beyond the published vectors (vectors/*.json, run by tests/vectors): edge
// values of the encoders, the aperture coding, and what each message's Decode writes into a
// state that already holds values, accepts and rejects.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "message.h"
#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using namespace kor_test;
using MT = MessageType;
using Z = TD::ZeissZdValues;
using R = TD::RadioControlValues;
using Floats = std::array<float, 6>;

const Bytes kZeissDefault =
    Hex("40 40 40 40 EE 86 40 40 40 40 | 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8 | "
        "00 00 00 00 00 00 00 00 00 00 00 00");
// focusDistance 0xFF123456 (groups 04 23 11 16), aperture 14 (base 110 = 6E, 6 steps),
// field of view 63.5 (h = 635 = 9 * 64 + 59), pupil -100 (magnitude 1 * 64 + 36); shading
// 150 and -5 give 1000, 12.5 gives 875, 100 gives 0; distortion x 100 as i16. Element 0 of
// both arrays is not sent.
const Z kZeissValues{0xFF123456,
                     14.0F,
                     63.5F,
                     -100,
                     Floats{99, 150, -5, 12.5F, 0, 100},
                     Floats{5, 1.5F, -1.5F, 300, -0.01F, 0}};
const Bytes kZeissExample =
    Hex("44 63 51 56 EE 86 49 7B 61 64 | 03 E8 03 E8 03 E8 03 6B 03 E8 00 00 | "
        "00 00 00 96 FF 6A 75 30 FF FF 00 00");

struct EncodeCase {
    const char* description;
    Edits setup;
    MessageType type;
    Bytes expected;  // the whole record: type byte, length byte, payload
};

// The values the published vectors (vectors/messages.json, limits.json) leave out: wrapping,
// truncation and bit limits of single fields. (Tick count types above 2, string lengths and
// raw encoder masks are covered by the property tests.)
// clang-format off
const EncodeCase kEncodeCases[] = {
    {"Timecode BCD of values >= 100 wraps modulo 256 (255 -> 0x195)",
     {Set(&TD::timecodeHours, 255), Set(&TD::timecodeMinutes, 100), Set(&TD::timecodeSeconds, 99),
      Set(&TD::timecodeFrames, 79), Set(&TD::recordFlag, true)},
     MT::Timecode, Hex("00 03 95 A0 99 F9")},
    {"BasicLens focus low 24 bits, zoom 700 in 24 bits, iris 1000 wraps to 16 bits",
     {Set(&TD::focus, 0x01ABCDEF), Set(&TD::zoom, 700.0F), Set(&TD::iris, 1000.0F)}, MT::BasicLens,
     Hex("01 07 AB CD EF 01 11 70 86 A0")},
    {"BasicLens negative zoom and iris wrap", {Set(&TD::zoom, -1.0F), Set(&TD::iris, -1.0F)},
     MT::BasicLens, Hex("01 07 00 00 00 FF FF 9C FF 9C")},
    {"BasicLens zoom 0.009 truncates to 0", {Set(&TD::zoom, 0.009F), Set(&TD::focus, 1)},
     MT::BasicLens, Hex("01 07 00 00 01 00 00 00 00 00")},
    {"PtpTimestamp seconds keep 48 bits",
     {Set(&TD::ptpSeconds, 0xFFFF000000000001), Set(&TD::ptpNanoseconds, 0xFFFFFFFF)},
     MT::PtpTimestamp, Hex("02 09 00 00 00 00 00 01 FF FF FF FF")},
    {"PositionalData (12345.67 x 100 is 1234567 in single precision)",
     {Set(&TD::positionX, 1.0F), Set(&TD::positionY, -1.0F), Set(&TD::positionZ, 12345.67F)},
     MT::PositionalData, Hex("07 0B 00 00 00 64 FF FF FF 9C 00 12 D6 87")},
    {"AxesData limits and wrap; -327.68 gives the not-available code 80 00",
     {Set(&TD::roll, 327.67F), Set(&TD::pitch, 400.0F), Set(&TD::yaw, -327.68F)}, MT::AxesData,
     Hex("08 05 7F FF 9C 40 80 00")},
    {"ZeissZdData focusDistance above 24 bits, distortion -0.01, aperture 14",
     {Set(&TD::zeissZd, kZeissValues)}, MT::ZeissZdData, Cat({Hex("10 21"), kZeissExample})},
};
// clang-format on

TEST(Payload, EncodeVectors) {
    for (const EncodeCase& c : kEncodeCases) {
        SCOPED_TRACE(c.description);
        EXPECT_BYTES(Make(c.setup).Encode(kRecordsOnly, {c.type}), c.expected);
    }
}

// Aperture coding: payload bytes 4 and 5, and the aperture that the receiver reads back.
TEST(Payload, ApertureCoding) {
    const struct {
        float aperture;
        const char* bytes45;
        float decoded;
    } cases[] = {
        // 14, 2.2 and 19.6 are in vectors/messages.json.
        {1.4F, "8E 80", 1.4F},   {16.0F, "A0 C0", 16.0F}, {22.0F, "DC C0", 22.0F},  // base 220
        {37.0F, "DC CF", 37.0F},  // the largest aperture that travels
        {38.0F, "DC C0", 22.0F},  // 16 steps: the low 4 bits are 0
        {1.0F, "8E 89", 1.94F},   // below 1.4: round(-6.67) = -7, low 4 bits 9
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.aperture);
        const Bytes record = Make({Set(&TD::zeissZd, &Z::aperture, c.aperture)})
                                 .Encode(kRecordsOnly, {MT::ZeissZdData});
        ASSERT_EQ(record.size(), 36U);
        EXPECT_BYTES(Bytes(record.begin() + 6, record.begin() + 8), Hex(c.bytes45));
        TD back;
        ASSERT_TRUE(DecodePayload(16, Bytes(record.begin() + 2, record.end()), back));
        EXPECT_FLOAT_EQ(back.zeissZd.aperture, c.decoded);
    }
}

// ---- Receiving ----------------------------------------------------------------------------

struct DecodeCase {
    const char* description;
    std::uint8_t type;
    Bytes payload;
    Edits before;
    bool accepted;
    Edits after;  // what the message changes; every other member must stay as it was
};

Bytes ZeissWith(std::size_t offset, std::uint8_t value) {
    Bytes p = kZeissExample;
    p[offset] = value;
    return p;
}
const Edits kZeissBefore = {Set(&TD::zeissZd, &Z::aperture, 2.0F),
                            Set(&TD::zeissZd, &Z::horizontalFieldOfView, 7.0F),
                            Set(&TD::zeissZd, &Z::entrancePupilPosition, 5)};
// The steps of ZeissZdData decoding, each written before the next one is checked.
const Edit kZeissFocus = Set(&TD::zeissZd, &Z::focusDistance, 0x123456);
const Edit kZeissAperture = Set(&TD::zeissZd, &Z::aperture, 14.0F);
const Edit kZeissFieldOfView = Set(&TD::zeissZd, &Z::horizontalFieldOfView, 63.5F);
const Floats kExampleShading{0, 0, 0, 12.5F, 0, 100};
const Floats kExampleDistortion{0, 1.5F, -1.5F, 300, -0.01F, 0};

// Payloads decoded into a prior state (which fields are kept, replaced or left invalid), values
// the vectors leave out, and the partial writes of rejected payloads.
// clang-format off
const DecodeCase kDecodeCases[] = {
    {"Timecode has no range checks", 0, Hex("FF 00 00 7F"), {Set(&TD::recordFlag, true)}, true,
     {Set(&TD::timecodeHours, 165), Set(&TD::timecodeFrames, 85), Set(&TD::recordFlag, false)}},
    {"BasicLens zero focus and zoom keep old values", 1, Hex("00 00 00 00 00 00 01 18"),
     {Set(&TD::focus, 777), Set(&TD::zoom, 50), Set(&TD::focusValid, true),
      Set(&TD::zoomValid, true)},
     true, {Set(&TD::focusValid, false), Set(&TD::zoomValid, false), Set(&TD::iris, 2.8F),
            Set(&TD::irisValid, true)}},
    {"ProductBrand replaces and completes product info", 3, Hex("41"),
     {Set(&TD::productBrand, "old brand"), Set(&TD::productName, "n"),
      Set(&TD::productSerial, "s")},
     true, {Set(&TD::productBrand, "A"), Set(&TD::productInfoComplete, true)}},
    {"ProductName without brand: incomplete", 4, Hex("41"),
     {Set(&TD::productSerial, "s"), Set(&TD::productInfoComplete, true)}, true,
     {Set(&TD::productName, "A"), Set(&TD::productInfoComplete, false)}},
    {"LensProperties zero fields keep old values", 6, Hex("00 00 00 00 1B 58 00 00 00 00 00"),
     {Set(&TD::minFocalLength, 10), Set(&TD::minIris, 1.5F), Set(&TD::lensPropertiesExtra, 9),
      Set(&TD::minFocalLengthValid, true), Set(&TD::minIrisValid, true)},
     true, {Set(&TD::minFocalLengthValid, false), Set(&TD::maxFocalLength, 70),
            Set(&TD::maxFocalLengthValid, true), Set(&TD::minIrisValid, false),
            Set(&TD::focalRangeFlags, 1)}},
    {"PositionalData: X 80 00 00 00 is not available", 7,
     Hex("80 00 00 00 FF FF FF 9C 00 12 D6 87"),
     {Set(&TD::positionX, 5), Set(&TD::positionXValid, true)}, true,
     {Set(&TD::positionXValid, false), Set(&TD::positionY, -1), Set(&TD::positionYValid, true),
      Set(&TD::positionZ, 12345.67F), Set(&TD::positionZValid, true)}},
    {"PositionalData extremes and 0 are values", 7, Hex("7F FF FF FF 80 00 00 01 00 00 00 00"),
     {}, true,
     {Set(&TD::positionX, 21474836.0F), Set(&TD::positionY, -21474836.0F),
      Set(&TD::positionXValid, true), Set(&TD::positionYValid, true),
      Set(&TD::positionZValid, true)}},
    {"AxesData: FB 2E is -12.34, 80 00 not available", 8, Hex("FB 2E 80 00 00 00"),
     {Set(&TD::pitch, 3), Set(&TD::pitchValid, true)}, true,
     {Set(&TD::roll, -12.34F), Set(&TD::rollValid, true), Set(&TD::pitchValid, false),
      Set(&TD::yawValid, true)}},
    {"TickCount 3 bytes: type 0", 9, Hex("12 34 56"), {Set(&TD::tickCountType, 2)}, true,
     {Set(&TD::tickCount, 0x123456), Set(&TD::tickCountType, 0)}},
    // 6 is in the vectors; FF would pass a signed comparison.
    {"ProjectFps FF is rejected", 13, Hex("FF"), {Set(&TD::projectFps, 2)}, false, {}},
    {"RawLensEncoderWithMask: higher mask bits ignored", 15, Hex("F9 12 34 AB CD 00 01"),
     {Set(&TD::rawZoomEncoder, 7), Set(&TD::rawIrisEncoder, 8),
      Set(&TD::rawZoomEncoderValid, true)},
     true, {Set(&TD::rawFocusEncoder, 0x1234), Set(&TD::rawFocusEncoderValid, true),
            Set(&TD::rawZoomEncoderValid, false)}},
    {"ZeissZdData every field: the unmodified payload of the rejections below", 16, kZeissExample,
     {}, true,
     {Set(&TD::zeissZd, Z{0x123456, 14.0F, 63.5F, -100, kExampleShading, kExampleDistortion})}},
    {"ZeissZdData unknown base code 15 has step 0; shading slot FF FF", 16,
     Cat({Hex("40 40 40 41 8F 8F 5F 7F 4F 7F FF FF"), Bytes(kZeissExample.begin() + 12,
                                                           kZeissExample.end())}),
     {}, true,
     {Set(&TD::zeissZd, Z{1, 1.5F, 204.7F, 1023, Floats{-6453.5F, 0, 0, 12.5F, 0, 100},
                          kExampleDistortion})}},
    // Rejections: the fields written by the steps before the failed check stay written. Byte 0
    // is in the vectors; bytes 4 and 7 have the same marker checks as bytes 5 and 9.
    {"ZeissZdData byte 3 = 0x00", 16, ZeissWith(3, 0x00), kZeissBefore, false, {}},
    {"ZeissZdData byte 5 without bit 7", 16, ZeissWith(5, 0x06), kZeissBefore, false,
     {kZeissFocus}},
    {"ZeissZdData byte 5 with bit 4", 16, ZeissWith(5, 0x96), kZeissBefore, false, {kZeissFocus}},
    {"ZeissZdData byte 5 with bit 5", 16, ZeissWith(5, 0xA6), kZeissBefore, false, {kZeissFocus}},
    {"ZeissZdData byte 6 = 011xxxxx", 16, ZeissWith(6, 0x69), kZeissBefore, false,
     {kZeissFocus, kZeissAperture}},
    {"ZeissZdData byte 8 with bit 4", 16, ZeissWith(8, 0x71), kZeissBefore, false,
     {kZeissFocus, kZeissAperture, kZeissFieldOfView}},
    {"ZeissZdData byte 8 without bit 6", 16, ZeissWith(8, 0x21), kZeissBefore, false,
     {kZeissFocus, kZeissAperture, kZeissFieldOfView}},
    {"ZeissZdData byte 9 = 0xC0", 16, ZeissWith(9, 0xC0), kZeissBefore, false,
     {kZeissFocus, kZeissAperture, kZeissFieldOfView}},
    {"RadioControl 5 bytes keep mode and C; B = FF + 5", 23, Hex("12 34 56 11 FF"),
     {Set(&TD::radioControl, &R::radioMode, 9), Set(&TD::radioControl, &R::radioParamC, 5)}, true,
     {Set(&TD::radioControl, &R::radioValue, 0x123456),
      Set(&TD::radioControl, &R::radioParamA, 0x11), Set(&TD::radioControl, &R::radioParamB, 4)}},
    {"SensorSize 8 bytes keep sensorName", 25, Hex("0E 10 09 60 10 00 08 70"),
     {Set(&TD::sensorName, "keep")}, true,
     {Set(&TD::sensorWidth, 36), Set(&TD::sensorHeight, 24), Set(&TD::clipWidth, 4096),
      Set(&TD::clipHeight, 2160)}},
    {"SensorSize with name replaces it", 25, Hex("0E 10 09 60 10 00 08 70 53 33 35"),
     {Set(&TD::sensorName, "a longer old name")}, true,
     {Set(&TD::sensorWidth, 36), Set(&TD::sensorHeight, 24), Set(&TD::clipWidth, 4096),
      Set(&TD::clipHeight, 2160), Set(&TD::sensorName, "S35")}},
    {"RawAxesEncoderWithMask stores masked values only", 26, Hex("05 12 34 56 AB CD EF 00 00 01"),
     {Set(&TD::rawAxesEncoders, std::array<std::uint32_t, 3>{9, 9, 9})}, true,
     {Set(&TD::rawAxesEncoders, std::array<std::uint32_t, 3>{0x123456, 9, 1})}},
};
// clang-format on

TEST(Payload, DecodeVectors) {
    for (const DecodeCase& c : kDecodeCases) {
        SCOPED_TRACE(c.description);
        TD s = Make(c.before);
        TD expected = s;
        for (const Edit& e : c.after) e(expected);
        EXPECT_EQ(DecodePayload(c.type, c.payload, s), c.accepted);
        EXPECT_TRUE(SameState(s, expected));
    }
}

// Payload length acceptance, for every length 0 to 65 and every type 0 to 28; a rejected
// payload leaves the state as it was. Reserved types and those past the last one (28) get a
// plain message from CreateMessage, which rejects everything.
TEST(Payload, AcceptedLengthsPerType) {
    auto range = [](std::size_t lo, std::size_t hi) {
        std::set<std::size_t> r;
        for (std::size_t n = lo; n <= hi; ++n) r.insert(n);
        return r;
    };
    const std::set<std::size_t> text = range(1, 65);
    const std::set<std::size_t> accepted[29] = {
        {4},    {8},  {10},         text, text,   text, {11}, {12}, {6}, {3, 4, 5},  // 0-9
        text,   text, text,         {1},  text,   {7},  {34},                        // 10-16
        {},     {},   {},           {},   {},     {},                                // 17-22
        {5, 7}, {1},  range(8, 64), {10}, {1, 2}, {},                                // 23-28
    };
    const TD before =
        Make({Set(&TD::clipName, "x"), Set(&TD::zoom, 3.0F), Set(&TD::sensorName, "n")});
    for (unsigned type = 0; type <= 28; ++type) {
        // Content that passes every other check: the Zeiss default payload, a valid ProjectFps.
        Bytes content = type == 16 ? kZeissDefault : Bytes{};
        content.resize(65, type == 13 ? 0x01 : 0x41);
        for (std::size_t n = 0; n <= 65; ++n) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", length " << n);
            TD s = before;
            const Bytes payload(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(n));
            const bool ok = DecodePayload(static_cast<std::uint8_t>(type), payload, s);
            EXPECT_EQ(ok, accepted[type].count(n) == 1);
            if (!ok) {
                EXPECT_TRUE(SameState(s, before));
            }
        }
    }
}

}  // namespace
