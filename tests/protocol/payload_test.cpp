// Record payloads beyond the published vectors (vectors/*.json, run by tests/vectors): edge
// values of the encoders, the aperture coding, and what each message's Decode writes into a
// state that already holds values, accepts and rejects.
#include <charconv>
#include <cstdint>
#include <set>
#include <sstream>
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
// truncation and bit limits of single fields.
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
    {"ProductSerial of one byte: length byte 00", {Set(&TD::productSerial, "X")},
     MT::ProductSerial, Hex("05 00 58")},
    {"PositionalData (12345.67 x 100 is 1234567 in single precision)",
     {Set(&TD::positionX, 1.0F), Set(&TD::positionY, -1.0F), Set(&TD::positionZ, 12345.67F)},
     MT::PositionalData, Hex("07 0B 00 00 00 64 FF FF FF 9C 00 12 D6 87")},
    {"AxesData limits and wrap; -327.68 gives the not-available code 80 00",
     {Set(&TD::roll, 327.67F), Set(&TD::pitch, 400.0F), Set(&TD::yaw, -327.68F)}, MT::AxesData,
     Hex("08 05 7F FF 9C 40 80 00")},
    {"TickCount type 9 counts as 2",
     {Set(&TD::tickCount, 0xFFFFFF0000000001), Set(&TD::tickCountType, 9)}, MT::TickCount,
     Hex("09 04 00 00 00 00 01")},
    {"RawLensEncoderWithMask zoom and iris without focus",
     {Set(&TD::rawZoomEncoderValid, true), Set(&TD::rawIrisEncoderValid, true)},
     MT::RawLensEncoderWithMask, Hex("0F 06 06 00 00 00 00 00 00")},
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
        {1.4F, "8E 80", 1.4F},   {2.0F, "94 80", 2.0F},   {5.6F, "B8 80", 5.6F},
        {16.0F, "A0 C0", 16.0F}, {22.0F, "DC C0", 22.0F},  // base 220 = 0xDC
        {37.0F, "DC CF", 37.0F},                           // the largest aperture that travels
        {38.0F, "DC C0", 22.0F},                           // 16 steps: the low 4 bits are 0
        {1.0F, "8E 89", 1.94F},  // below 1.4: round(-6.67) = -7, low 4 bits 9
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
// What a message writes, as text: the fields of its type, floats in their shortest form,
// integers of the bit-field kinds in hex; a trailing '?' marks a field whose flag is false.

std::string F(float v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}
std::string S(const std::string& s) {
    std::ostringstream o;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F)
            o << c;
        else
            o << "\\x" << std::hex << std::uppercase << (c >> 4) << (c & 15);
    }
    return o.str();
}
const char* Q(bool valid) {
    return valid ? "" : "?";
}

std::string Dump(const TD& s, unsigned type) {
    std::ostringstream o;
    const auto& z = s.zeissZd;
    const auto& r = s.radioControl;
    switch (type) {
        case 0:
            o << +s.timecodeHours << ':' << +s.timecodeMinutes << ':' << +s.timecodeSeconds << ':'
              << +s.timecodeFrames << (s.recordFlag ? " rec" : "");
            break;
        case 1:
            o << "focus " << s.focus << Q(s.focusValid) << " zoom " << F(s.zoom) << Q(s.zoomValid)
              << " iris " << F(s.iris) << Q(s.irisValid);
            break;
        case 2: o << std::hex << "s " << s.ptpSeconds << " ns " << s.ptpNanoseconds; break;
        case 3:
        case 4:
            o << S(s.productBrand) << '|' << S(s.productName) << '|' << S(s.productSerial)
              << (s.productInfoComplete ? " complete" : "");
            break;
        case 12:
            o << S(s.lensManufacturer) << '|' << S(s.lensName) << '|' << S(s.lensSerial)
              << (s.lensInfoComplete ? " complete" : "");
            break;
        case 6:
            o << "focal " << F(s.minFocalLength) << Q(s.minFocalLengthValid) << '-'
              << F(s.maxFocalLength) << Q(s.maxFocalLengthValid) << " iris " << F(s.minIris)
              << Q(s.minIrisValid) << '-' << F(s.maxIris) << Q(s.maxIrisValid) << " extra "
              << +s.lensPropertiesExtra << Q(s.lensPropertiesExtraValid) << " flags "
              << +s.focalRangeFlags;
            break;
        case 7:
            o << F(s.positionX) << Q(s.positionXValid) << ' ' << F(s.positionY)
              << Q(s.positionYValid) << ' ' << F(s.positionZ) << Q(s.positionZValid);
            break;
        case 8:
            o << F(s.roll) << Q(s.rollValid) << ' ' << F(s.pitch) << Q(s.pitchValid) << ' '
              << F(s.yaw) << Q(s.yawValid);
            break;
        case 9: o << std::hex << s.tickCount << " type " << +s.tickCountType; break;
        case 13: o << +s.projectFps; break;
        case 15:
            o << std::hex << s.rawFocusEncoder << Q(s.rawFocusEncoderValid) << ' '
              << s.rawZoomEncoder << Q(s.rawZoomEncoderValid) << ' ' << s.rawIrisEncoder
              << Q(s.rawIrisEncoderValid);
            break;
        case 16:
            o << std::hex << z.focusDistance << std::dec << " f/" << F(z.aperture) << " hfov "
              << F(z.horizontalFieldOfView) << " pupil " << z.entrancePupilPosition << " shading";
            for (float v : z.shading) o << ' ' << F(v);
            o << " distortion";
            for (float v : z.radialDistortion) o << ' ' << F(v);
            break;
        case 23:
            o << std::hex << r.radioValue << ' ' << +r.radioParamA << ' ' << +r.radioParamB << ' '
              << +r.radioMode << ' ' << +r.radioParamC;
            break;
        case 25:
            o << F(s.sensorWidth) << 'x' << F(s.sensorHeight) << ' ' << s.clipWidth << 'x'
              << s.clipHeight << ' ' << S(s.sensorName);
            break;
        case 26:
            o << std::hex << s.rawAxesEncoders[0] << ' ' << s.rawAxesEncoders[1] << ' '
              << s.rawAxesEncoders[2];
            break;
    }
    return o.str();
}

struct DecodeCase {
    const char* description;
    std::uint8_t type;
    Bytes payload;
    Edits before;
    bool accepted;
    std::string after;  // Dump of the state afterwards
};

Bytes ZeissWith(std::size_t offset, std::uint8_t value) {
    Bytes p = kZeissExample;
    p[offset] = value;
    return p;
}
const Edits kZeissBefore = {Set(&TD::zeissZd, &Z::aperture, 2.0F),
                            Set(&TD::zeissZd, &Z::horizontalFieldOfView, 7.0F),
                            Set(&TD::zeissZd, &Z::entrancePupilPosition, 5)};
const std::string kZeroArrays = " shading 0 0 0 0 0 0 distortion 0 0 0 0 0 0";
const std::string kExampleArrays = " shading 0 0 0 12.5 0 100 distortion 0 1.5 -1.5 300 -0.01 0";

// Payloads decoded into a prior state (which fields are kept, replaced or left invalid), values
// the vectors leave out, and the partial writes of rejected payloads.
// clang-format off
const DecodeCase kDecodeCases[] = {
    {"Timecode has no range checks", 0, Hex("FF 00 00 7F"), {Set(&TD::recordFlag, true)}, true,
     "165:0:0:85"},
    {"BasicLens zero focus and zoom keep old values", 1, Hex("00 00 00 00 00 00 01 18"),
     {Set(&TD::focus, 777), Set(&TD::zoom, 50), Set(&TD::focusValid, true),
      Set(&TD::zoomValid, true)},
     true, "focus 777? zoom 50? iris 2.8"},
    {"BasicLens large values", 1, Hex("FF FF FF 01 11 70 FF FF"), {}, true,
     "focus 16777215 zoom 700 iris 655.35"},
    {"PtpTimestamp, nanoseconds unchecked", 2, Hex("01 23 45 67 89 AB FF FF FF FF"), {}, true,
     "s 123456789ab ns ffffffff"},
    {"ProductBrand replaces and completes product info", 3, Hex("41"),
     {Set(&TD::productBrand, "old brand"), Set(&TD::productName, "n"),
      Set(&TD::productSerial, "s")},
     true, "A|n|s complete"},
    {"ProductName without brand: incomplete", 4, Hex("41"),
     {Set(&TD::productSerial, "s"), Set(&TD::productInfoComplete, true)}, true, "|A|s"},
    {"LensSerial completes lens info, bytes unchanged", 12, Hex("00 FF"),
     {Set(&TD::lensManufacturer, "m"), Set(&TD::lensName, "n")}, true, "m|n|\\x00\\xFF complete"},
    {"LensProperties zero fields keep old values", 6, Hex("00 00 00 00 1B 58 00 00 00 00 00"),
     {Set(&TD::minFocalLength, 10), Set(&TD::minIris, 1.5F), Set(&TD::lensPropertiesExtra, 9),
      Set(&TD::minFocalLengthValid, true), Set(&TD::minIrisValid, true)},
     true, "focal 10?-70 iris 1.5?-0? extra 9? flags 1"},
    {"PositionalData: X 80 00 00 00 is not available", 7,
     Hex("80 00 00 00 FF FF FF 9C 00 12 D6 87"),
     {Set(&TD::positionX, 5), Set(&TD::positionXValid, true)}, true, "5? -1 12345.67"},
    {"PositionalData extremes are values", 7, Hex("7F FF FF FF 80 00 00 01 00 00 00 00"), {}, true,
     "21474836 -21474836 0"},
    {"AxesData: FB 2E is -12.34, 80 00 not available", 8, Hex("FB 2E 80 00 00 00"),
     {Set(&TD::pitch, 3), Set(&TD::pitchValid, true)}, true, "-12.34 3? 0"},
    {"TickCount 3 bytes: type 0", 9, Hex("12 34 56"), {Set(&TD::tickCountType, 2)}, true,
     "123456 type 0"},
    {"TickCount 5 bytes: type 2", 9, Hex("FF FF FF FF FF"), {}, true, "ffffffffff type 2"},
    {"ProjectFps 6 is rejected", 13, Hex("06"), {Set(&TD::projectFps, 2)}, false, "2"},
    {"ProjectFps FF is rejected", 13, Hex("FF"), {}, false, "0"},
    {"RawLensEncoderWithMask: higher mask bits ignored", 15, Hex("F9 12 34 AB CD 00 01"),
     {Set(&TD::rawZoomEncoder, 7), Set(&TD::rawIrisEncoder, 8),
      Set(&TD::rawZoomEncoderValid, true)},
     true, "1234 7? 8?"},
    {"ZeissZdData every field: the unmodified payload of the rejections below", 16, kZeissExample,
     {}, true,
     "123456 f/14 hfov 63.5 pupil -100" + kExampleArrays},
    {"ZeissZdData unknown base code 15 has step 0; shading slot FF FF", 16,
     Cat({Hex("40 40 40 41 8F 8F 5F 7F 4F 7F FF FF"), Bytes(kZeissExample.begin() + 12,
                                                           kZeissExample.end())}),
     {}, true, "1 f/1.5 hfov 204.7 pupil 1023 shading -6453.5 0 0 12.5 0 100"
               " distortion 0 1.5 -1.5 300 -0.01 0"},
    // Rejections: the fields written by the steps before the failed check stay written.
    {"ZeissZdData byte 0 = 0x80", 16, ZeissWith(0, 0x80), kZeissBefore, false,
     "0 f/2 hfov 7 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 3 = 0x00", 16, ZeissWith(3, 0x00), kZeissBefore, false,
     "0 f/2 hfov 7 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 4 without bit 7", 16, ZeissWith(4, 0x6E), kZeissBefore, false,
     "123456 f/2 hfov 7 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 5 without bit 7", 16, ZeissWith(5, 0x06), kZeissBefore, false,
     "123456 f/2 hfov 7 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 5 with bit 4", 16, ZeissWith(5, 0x96), kZeissBefore, false,
     "123456 f/2 hfov 7 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 5 with bit 5", 16, ZeissWith(5, 0xA6), kZeissBefore, false,
     "123456 f/2 hfov 7 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 6 = 011xxxxx", 16, ZeissWith(6, 0x69), kZeissBefore, false,
     "123456 f/14 hfov 7 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 7 = 0x80", 16, ZeissWith(7, 0x80), kZeissBefore, false,
     "123456 f/14 hfov 7 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 8 with bit 4", 16, ZeissWith(8, 0x71), kZeissBefore, false,
     "123456 f/14 hfov 63.5 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 8 without bit 6", 16, ZeissWith(8, 0x21), kZeissBefore, false,
     "123456 f/14 hfov 63.5 pupil 5" + kZeroArrays},
    {"ZeissZdData byte 9 = 0xC0", 16, ZeissWith(9, 0xC0), kZeissBefore, false,
     "123456 f/14 hfov 63.5 pupil 5" + kZeroArrays},
    {"RadioControl 5 bytes keep mode and C; B = FF + 5", 23, Hex("12 34 56 11 FF"),
     {Set(&TD::radioControl, &R::radioMode, 9), Set(&TD::radioControl, &R::radioParamC, 5)}, true,
     "123456 11 4 9 5"},
    {"SensorSize 8 bytes keep sensorName", 25, Hex("0E 10 09 60 10 00 08 70"),
     {Set(&TD::sensorName, "keep")}, true, "36x24 4096x2160 keep"},
    {"SensorSize with name replaces it", 25, Hex("0E 10 09 60 10 00 08 70 53 33 35"),
     {Set(&TD::sensorName, "a longer old name")}, true, "36x24 4096x2160 S35"},
    {"RawAxesEncoderWithMask stores masked values only", 26, Hex("05 12 34 56 AB CD EF 00 00 01"),
     {Set(&TD::rawAxesEncoders, std::array<std::uint32_t, 3>{9, 9, 9})}, true, "123456 9 1"},
};
// clang-format on

TEST(Payload, DecodeVectors) {
    for (const DecodeCase& c : kDecodeCases) {
        SCOPED_TRACE(c.description);
        TD s = Make(c.before);
        EXPECT_EQ(DecodePayload(c.type, c.payload, s), c.accepted);
        EXPECT_EQ(Dump(s, c.type), c.after);
    }
}

// Everything Encode can see of a state plus the flags it cannot: equal snapshots mean that a
// rejected payload wrote nothing.
Bytes Snapshot(const TD& s) {
    std::vector<MT> all;
    for (unsigned t = 0; t <= 27; ++t) all.push_back(static_cast<MT>(t));
    Bytes out = s.Encode(kRecordsOnly, all);
    for (bool b :
         {s.focusValid, s.zoomValid, s.irisValid, s.minFocalLengthValid, s.maxFocalLengthValid,
          s.minIrisValid, s.maxIrisValid, s.lensPropertiesExtraValid, s.positionXValid,
          s.positionYValid, s.positionZValid, s.rollValid, s.pitchValid, s.yawValid,
          s.productInfoComplete, s.lensInfoComplete, s.clipNameReceived}) {
        out.push_back(b ? 1 : 0);
    }
    out.push_back(s.focalRangeFlags);
    return out;
}

// Payload length acceptance, for every length 0 to 65 and every type 0 to 27; a rejected
// payload leaves the state as it was.
TEST(Payload, AcceptedLengthsPerType) {
    auto range = [](std::size_t lo, std::size_t hi) {
        std::set<std::size_t> r;
        for (std::size_t n = lo; n <= hi; ++n) r.insert(n);
        return r;
    };
    const std::set<std::size_t> text = range(1, 65);
    const std::set<std::size_t> accepted[28] = {
        {4},    {8},  {10},         text, text,   text, {11}, {12}, {6}, {3, 4, 5},  // 0-9
        text,   text, text,         {1},  text,   {7},  {34},                        // 10-16
        {},     {},   {},           {},   {},     {},                                // 17-22
        {5, 7}, {1},  range(8, 64), {10}, {1, 2},                                    // 23-27
    };
    const TD before =
        Make({Set(&TD::clipName, "x"), Set(&TD::zoom, 3.0F), Set(&TD::sensorName, "n")});
    const Bytes snapshot = Snapshot(before);
    for (unsigned type = 0; type <= 27; ++type) {
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
                EXPECT_EQ(Snapshot(s), snapshot);
            }
        }
    }
}

}  // namespace
