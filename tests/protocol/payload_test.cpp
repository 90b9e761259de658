// Record payloads beyond the published vectors (vectors/*.json, run by tests/vectors): fields
// that wrap or truncate, the aperture coding's edges, what each message's Decode writes into a
// state that already holds values, and which payloads it accepts.
#include <array>
#include <cstdint>
#include <set>
#include <utility>

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

// A ZeissZdData payload with every field set: focus distance 0x123456, aperture 14, field of
// view 63.5.
const Bytes kZeissPayload =
    Hex("44 63 51 56 EE 86 49 7B 61 64 | 03 E8 03 E8 03 E8 03 6B 03 E8 00 00 | "
        "00 00 00 96 FF 6A 75 30 FF FF 00 00");

// Values outside what a field carries; the property test keeps its values inside.
TEST(Payload, EncodedFieldsWrapAndTruncate) {
    const struct {
        const char* description;
        Edits setup;
        MessageType type;
        const char* expected;  // whole record
    } cases[] = {
        // clang-format off
        {"BasicLens focus low 24 bits, iris 1000 wraps to 16 bits",
         {Set(&TD::focus, 0x01ABCDEF), Set(&TD::zoom, 700.0F), Set(&TD::iris, 1000.0F)},
         MT::BasicLens, "01 07 AB CD EF 01 11 70 86 A0"},
        {"BasicLens negative zoom and iris wrap", {Set(&TD::zoom, -1.0F), Set(&TD::iris, -1.0F)},
         MT::BasicLens, "01 07 00 00 00 FF FF 9C FF 9C"},
        {"BasicLens zoom 0.009 truncates to 0", {Set(&TD::zoom, 0.009F), Set(&TD::focus, 1)},
         MT::BasicLens, "01 07 00 00 01 00 00 00 00 00"},
        {"PtpTimestamp seconds keep 48 bits",
         {Set(&TD::ptpSeconds, 0xFFFF000000000001), Set(&TD::ptpNanoseconds, 0xFFFFFFFF)},
         MT::PtpTimestamp, "02 09 00 00 00 00 00 01 FF FF FF FF"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        EXPECT_BYTES(Make(c.setup).Encode(kRecordsOnly, {c.type}), Hex(c.expected));
    }
}

// Aperture coding at its edges: payload bytes 4 (base stop) and 5 (steps in the low 4 bits).
TEST(Payload, ApertureCodingEdges) {
    const std::pair<float, const char*> cases[] = {
        {37.0F, "DC CF"},  // the largest aperture that travels: base 22, 15 steps
        {38.0F, "DC CF"},  // beyond the table: sent as its upper end, 37
        {40.0F, "DC CF"},
        {1.4F, "8E 80"},   // the smallest: base 1.4, no steps
        {1.3F, "8E 80"},   // below the table: sent as 1.4
        {-5.0F, "8E 80"},
    };
    for (const auto& [aperture, bytes45] : cases) {
        const Bytes record = Make({Set(&TD::zeissZd, &Z::aperture, aperture)})
                                 .Encode(kRecordsOnly, {MT::ZeissZdData});
        ASSERT_EQ(record.size(), 36U);
        EXPECT_BYTES(Bytes(record.begin() + 6, record.begin() + 8), Hex(bytes45)) << aperture;
    }
}

// Payloads decoded into a prior state: which fields are kept, replaced or left invalid. The
// vectors decode into a default state, where keeping and clearing a field look the same.
TEST(Payload, DecodeIntoAPriorState) {
    const struct {
        const char* description;
        std::uint8_t type;
        const char* payload;
        Edits before;
        Edits after;  // what the message changes; every other member must stay as it was
    } cases[] = {
        // clang-format off
        {"BasicLens zero focus and zoom keep old values", 1, "00 00 00 00 00 00 01 18",
         {Set(&TD::focus, 777), Set(&TD::zoom, 50), Set(&TD::focusValid, true),
          Set(&TD::zoomValid, true)},
         {Set(&TD::focusValid, false), Set(&TD::zoomValid, false), Set(&TD::iris, 2.8F),
          Set(&TD::irisValid, true)}},
        {"ProductName without brand: incomplete", 4, "41",
         {Set(&TD::productSerial, "s"), Set(&TD::productInfoComplete, true)},
         {Set(&TD::productName, "A"), Set(&TD::productInfoComplete, false)}},
        {"LensProperties zero fields keep old values", 6, "00 00 00 00 1B 58 00 00 00 00 00",
         {Set(&TD::minFocalLength, 10), Set(&TD::minIris, 1.5F), Set(&TD::lensPropertiesExtra, 9),
          Set(&TD::minFocalLengthValid, true), Set(&TD::minIrisValid, true)},
         {Set(&TD::minFocalLengthValid, false), Set(&TD::maxFocalLength, 70),
          Set(&TD::maxFocalLengthValid, true), Set(&TD::minIrisValid, false),
          Set(&TD::focalRangeFlags, 1)}},
        // The low 16 bits alone would give 655.35 and 0 (not available), then 655.35 and 0.01.
        {"LensProperties focal lengths use all 24 bits", 6, "00 FF FF 01 00 00 00 00 00 00 00", {},
         {Set(&TD::minFocalLength, 655.35F), Set(&TD::maxFocalLength, 655.36F),
          Set(&TD::minFocalLengthValid, true), Set(&TD::maxFocalLengthValid, true),
          Set(&TD::focalRangeFlags, 3)}},
        {"LensProperties focal lengths of 24 set bits", 6, "FF FF FF 00 00 01 00 00 00 00 00", {},
         {Set(&TD::minFocalLength, 167772.15F), Set(&TD::maxFocalLength, 0.01F),
          Set(&TD::minFocalLengthValid, true), Set(&TD::maxFocalLengthValid, true),
          Set(&TD::focalRangeFlags, 3)}},
        {"PositionalData: X 80 00 00 00 is not available, 0 is a value", 7,
         "80 00 00 00 FF FF FF 9C 00 00 00 00",
         {Set(&TD::positionX, 5), Set(&TD::positionXValid, true)},
         {Set(&TD::positionXValid, false), Set(&TD::positionY, -1), Set(&TD::positionYValid, true),
          Set(&TD::positionZValid, true)}},
        {"TickCount 3 bytes: type 0", 9, "12 34 56", {Set(&TD::tickCountType, 2)},
         {Set(&TD::tickCount, 0x123456), Set(&TD::tickCountType, 0)}},
        {"RawLensEncoderWithMask: higher mask bits ignored", 15, "F9 12 34 AB CD 00 01",
         {Set(&TD::rawZoomEncoder, 7), Set(&TD::rawIrisEncoder, 8),
          Set(&TD::rawZoomEncoderValid, true)},
         {Set(&TD::rawFocusEncoder, 0x1234), Set(&TD::rawFocusEncoderValid, true),
          Set(&TD::rawZoomEncoderValid, false)}},
        {"RadioControl 5 bytes keep mode and C", 23, "12 34 56 11 FF",
         {Set(&TD::radioControl, &R::radioMode, 9), Set(&TD::radioControl, &R::radioParamC, 5)},
         {Set(&TD::radioControl, &R::radioValue, 0x123456),
          Set(&TD::radioControl, &R::radioParamA, 0x11),
          Set(&TD::radioControl, &R::radioParamB, 4)}},
        {"SensorSize 8 bytes keep sensorName", 25, "0E 10 09 60 10 00 08 70",
         {Set(&TD::sensorName, "keep")},
         {Set(&TD::sensorWidth, 36), Set(&TD::sensorHeight, 24), Set(&TD::clipWidth, 4096),
          Set(&TD::clipHeight, 2160)}},
        {"SensorSize with a shorter name replaces it", 25, "0E 10 09 60 10 00 08 70 53 33 35",
         {Set(&TD::sensorName, "a longer old name")},
         {Set(&TD::sensorWidth, 36), Set(&TD::sensorHeight, 24), Set(&TD::clipWidth, 4096),
          Set(&TD::clipHeight, 2160), Set(&TD::sensorName, "S35")}},
        {"RawAxesEncoderWithMask stores masked values only", 26, "05 12 34 56 AB CD EF 00 00 01",
         {Set(&TD::rawAxesEncoders, std::array<std::uint32_t, 3>{9, 9, 9})},
         {Set(&TD::rawAxesEncoders, std::array<std::uint32_t, 3>{0x123456, 9, 1})}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        TD s = Make(c.before);
        TD expected = s;
        for (const Edit& e : c.after) e(expected);
        EXPECT_TRUE(DecodePayload(c.type, Hex(c.payload), s));
        EXPECT_TRUE(SameState(s, expected));
    }
}

// ZeissZdData checks its marker bits step by step and writes each step's fields before it
// checks the next step (Device applies no part of a rejected frame). Byte 0 is in the vectors.
TEST(Payload, ZeissZdDataMarkerChecks) {
    const Edit steps[] = {Set(&TD::zeissZd, &Z::focusDistance, 0x123456),
                          Set(&TD::zeissZd, &Z::aperture, 14.0F),
                          Set(&TD::zeissZd, &Z::horizontalFieldOfView, 63.5F)};
    const struct {
        std::size_t offset;
        std::uint8_t value;
        int stepsWritten;
    } cases[] = {{3, 0x00, 0}, {4, 0x6E, 1}, {5, 0x06, 1}, {5, 0x96, 1}, {5, 0xA6, 1},
                 {6, 0x69, 2}, {7, 0xBB, 2}, {8, 0x71, 3}, {8, 0x21, 3}, {9, 0xC0, 3}};
    const TD before = Make({Set(&TD::zeissZd, &Z::aperture, 2.0F),
                            Set(&TD::zeissZd, &Z::horizontalFieldOfView, 7.0F),
                            Set(&TD::zeissZd, &Z::entrancePupilPosition, 5)});
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "byte " << c.offset << " = " << int{c.value});
        Bytes payload = kZeissPayload;
        payload[c.offset] = c.value;
        TD s = before;
        TD expected = before;
        for (int i = 0; i < c.stepsWritten; ++i) steps[i](expected);
        EXPECT_FALSE(DecodePayload(16, payload, s));
        EXPECT_TRUE(SameState(s, expected));
    }
}

// Payload length acceptance, for every length 0 to 65 and every type 0 to 28; a rejected
// payload leaves the state as it was. Reserved types and those past the last one (28) get a
// plain message from CreateMessage, which rejects everything. The payloads are collected with
// AppendByte, which takes at most 65 bytes.
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
        // Content that passes every other check: a Zeiss payload, a valid ProjectFps.
        Bytes content = type == 16 ? kZeissPayload : Bytes{};
        content.resize(66, type == 13 ? 0x01 : 0x41);
        const auto m = CreateMessage(static_cast<MT>(type));
        for (std::size_t n = 0; n <= 65; ++n) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", length " << n);
            TD s = before;
            const bool ok = m->Decode(s);
            EXPECT_EQ(ok, accepted[type].count(n) == 1);
            EXPECT_TRUE(ok ? testing::AssertionSuccess() : SameState(s, before));
            EXPECT_EQ(m->AppendByte(content[n]), n < 65);
        }
        EXPECT_EQ(m->payload, Bytes(content.begin(), content.begin() + 65));
    }
}

}  // namespace
