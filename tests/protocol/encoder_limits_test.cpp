// The encoder's limits, each proved by hand-written vectors:
//  1. Encode never produces a frame that the library's receiver rejects;
//  2. LensProperties reads all 24 bits of each focal length;
//  3. every float-to-integer conversion of the sender is defined (NaN, infinities, overflow).
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "fixed_point.h"
#include "message.h"
#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using namespace kor_test;
using MT = MessageType;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- 1. Encode stays within what the receiver accepts ----------------------------------

std::string Pattern(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('!' + i % 90);
    return s;
}

// For every string type: longer strings are cut to 65 bytes, and an empty string's record is
// left out of every framing. (The property tests cover random lengths; these pin the bytes.)
TEST(EncodeLimits, StringsAreCutTo65BytesAndEmptyOnesLeftOut) {
    for (const StringField& f : kStringFields) {
        SCOPED_TRACE(testing::Message() << "type " << static_cast<int>(f.type));
        const Bytes cut = Cat(
            {kUdpHeader, Bytes{static_cast<std::uint8_t>(f.type), 64}, FromString(Pattern(65))});
        for (std::size_t n : {65U, 66U, 300U}) {
            SCOPED_TRACE(testing::Message() << n << " bytes");
            TD d;
            d.*f.field = Pattern(n);
            const Bytes frame = d.Encode(TransmissionType::UDP, {f.type});
            EXPECT_BYTES(frame, cut);
            TD back;
            ASSERT_EQ(DecodeUdpFrame(frame, back), 1);
            EXPECT_EQ(back.*f.field, Pattern(65));
        }

        TD d;
        d.channelId = 7;
        EXPECT_BYTES(d.Encode(TransmissionType::UDP, {MT::ChannelId, f.type, MT::ChannelId}),
                     Hex("00 FF 00 00 00 00 00 00 | 18 00 07 | 18 00 07"));
        // Records 18 00 07 18 00 07: sum 0x3E, checksum C1.
        EXPECT_BYTES(d.Encode(TransmissionType::Serial,
                              {f.type, MT::ChannelId, f.type, MT::ChannelId, f.type}),
                     Hex("00 | 02 18 03 07 18 03 07 C1 | 00"));
        EXPECT_BYTES(d.Encode(kRecordsOnly, {f.type}), Hex(""));
    }
}

TEST(EncodeLimits, SensorNameIsCutTo56Bytes) {
    const Bytes fixed = Hex("0E 10 09 60 10 00 08 70");
    for (std::size_t n : {56U, 57U, 200U}) {
        SCOPED_TRACE(n);
        TD d;
        d.sensorWidth = 36.0F;
        d.sensorHeight = 24.0F;
        d.clipWidth = 4096;
        d.clipHeight = 2160;
        d.sensorName = Pattern(n);
        const std::size_t sent = n < 56 ? n : 56;
        EXPECT_BYTES(d.Encode(kRecordsOnly, {MT::SensorSize}),
                     Cat({Bytes{0x19, static_cast<std::uint8_t>(7 + sent)}, fixed,
                          FromString(Pattern(sent))}));
        TD back;
        ASSERT_EQ(DecodeUdpFrame(d.Encode(TransmissionType::UDP, {MT::SensorSize}), back), 1);
        EXPECT_EQ(back.sensorName, Pattern(sent));
    }
}

// 0, 5 and 6 are in the vectors; 7 and values above 127 (which a signed comparison would
// let through) are left out as well.
TEST(EncodeLimits, ProjectFpsAbove5IsLeftOut) {
    for (const int fps : {7, 200, 255}) {
        SCOPED_TRACE(fps);
        TD d;
        d.projectFps = static_cast<std::uint8_t>(fps);
        EXPECT_BYTES(d.Encode(kRecordsOnly, {MT::ProjectFps, MT::ChannelId}), Hex("18 00 FF"));
        EXPECT_BYTES(d.Encode(TransmissionType::UDP, {MT::ProjectFps, MT::ChannelId}),
                     Cat({kUdpHeader, Hex("18 00 FF")}));
    }
}

// Frames near the 253-byte limit of records. limits.json holds the longest frames and a record
// past the limit left out with a later one still fitting; these add the exact boundary and a run
// of later records tried one by one. Pieces: a
// ClipName of 65 'a' (67 bytes), a ProductBrand of 65 'p' (67), a ProductName of 51 'n' (53), a
// LensName of 50 'b' (52) and a ChannelId 07 (3).
const Bytes kClip = Cat({Hex("0E 40"), Bytes(65, 'a')});
const Bytes kBrand = Cat({Hex("03 40"), Bytes(65, 'p')});
const Bytes kLens = Cat({Hex("0B 31"), Bytes(50, 'b')});
const Bytes kChannel = Hex("18 00 07");

Bytes Times(const Bytes& b, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::vector<MT> Join(std::vector<MT> a, const std::vector<MT>& b, const std::vector<MT>& c) {
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    return a;
}

struct LimitCase {
    const char* description;
    std::vector<MessageType> types;
    Bytes records;  // expected records of the UDP and the Serial frame
};

const LimitCase kLimitCases[] = {
    {"a record that would make 254 bytes is left out",
     {MT::ClipName, MT::ClipName, MT::ClipName, MT::ProductName, MT::LensName},
     Cat({Times(kClip, 3), kLens})},
    {"later records are tried one by one, up to 252 bytes",
     Join({MT::ClipName, MT::ClipName, MT::ProductBrand, MT::ClipName, MT::ProductBrand},
          std::vector<MT>(20, MT::ChannelId), {MT::LensName}),
     Cat({Times(kClip, 2), kBrand, Times(kChannel, 17)})},  // 201 + 17 * 3 = 252
};

TEST(EncodeLimits, RecordsPastTheFrameLimitAreLeftOutInOrder) {
    TD d;
    d.clipName = std::string(65, 'a');
    d.productBrand = std::string(65, 'p');
    d.productName = std::string(51, 'n');
    d.lensName = std::string(50, 'b');
    d.channelId = 7;
    for (const LimitCase& c : kLimitCases) {
        SCOPED_TRACE(c.description);
        ASSERT_LE(c.records.size(), 253U);
        const Bytes udp = d.Encode(TransmissionType::UDP, c.types);
        EXPECT_BYTES(udp, Cat({kUdpHeader, c.records}));
        EXPECT_LE(udp.size(), 261U);

        const Bytes serial = d.Encode(TransmissionType::Serial, c.types);
        const auto raw = Unstuff(serial);
        ASSERT_TRUE(raw.has_value());
        EXPECT_BYTES(*raw, Cat({c.records, Bytes{SerialChecksum(c.records, c.records.size())}}));
        EXPECT_LE(serial.size(), 2U + 256U);
    }
    // Without framing there is no limit: four 67-byte records, 268 bytes.
    EXPECT_BYTES(d.Encode(kRecordsOnly, {MT::ClipName, MT::ClipName, MT::ClipName, MT::ClipName}),
                 Times(kClip, 4));
}

// ---- 2. LensProperties focal lengths: all 24 bits ---------------------------------------

TEST(LensPropertiesRange, FocalLengthsUseAll24Bits) {
    const struct {
        const char* payload;
        float min, max;
        bool minValid, maxValid;
        int flags;
    } cases[] = {
        // 700 mm: the low 16 bits alone would give 44.64.
        {"01 11 70 | 01 11 70 | 00 00 00 00 00", 700.0F, 700.0F, true, true, 3},
        {"00 FF FF | 01 00 00 | 00 00 00 00 00", 655.35F, 655.36F, true, true, 3},
        // Low 16 bits zero: still a focal length.
        {"01 00 00 | 00 00 00 | 00 00 00 00 00", 655.36F, -1.0F, true, false, 2},
        {"FF FF FF | 00 00 01 | 00 00 00 00 00", 167772.15F, 0.01F, true, true, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        TD s;
        s.minFocalLength = -1.0F;
        s.maxFocalLength = -1.0F;
        ASSERT_TRUE(DecodePayload(6, Hex(c.payload), s));
        EXPECT_FLOAT_EQ(s.minFocalLength, c.min);
        EXPECT_FLOAT_EQ(s.maxFocalLength, c.max);
        EXPECT_EQ(s.minFocalLengthValid, c.minValid);
        EXPECT_EQ(s.maxFocalLengthValid, c.maxValid);
        EXPECT_EQ(s.focalRangeFlags, c.flags);
    }
}

// ---- 3. Defined float-to-integer conversions ----------------------------------------------
// NaN -> 0; +/-inf and out-of-range values saturate at the intermediate integer's limits
// (int64 for zoom and the focal lengths, int32 otherwise); the field keeps the low bits.
// 3e7 x 100 = 3e9 = 0xB2D05E00 fits int64 but not int32.

struct SaturationCase {
    const char* description;
    Edits setup;
    MessageType type;
    const char* expected;  // whole record
};

using Z = TD::ZeissZdValues;
using Floats = std::array<float, 6>;

// clang-format off
const SaturationCase kSaturationCases[] = {
    // Zoom NaN and +inf, iris +inf and -inf, and PositionalData NaN, -inf and 1e30 are in
    // vectors/limits.json.
    {"BasicLens zoom -inf: INT64_MIN; iris NaN", {Set(&TD::zoom, -kInf), Set(&TD::iris, kNaN)},
     MT::BasicLens, "01 07 00 00 00 | 00 00 00 | 00 00"},
    {"BasicLens 3e7: zoom formed in 64 bits, iris saturates in 32",
     {Set(&TD::zoom, 3e7F), Set(&TD::iris, 3e7F)},
     MT::BasicLens, "01 07 00 00 00 | D0 5E 00 | FF FF"},
    {"BasicLens zoom 2^57: x 100 beyond 2^63 saturates", {Set(&TD::zoom, 144115188075855872.0F)},
     MT::BasicLens, "01 07 00 00 00 | FF FF FF | 00 00"},
    {"LensProperties NaN, +inf, -inf, 1e10",
     {Set(&TD::minFocalLength, kNaN), Set(&TD::maxFocalLength, kInf), Set(&TD::minIris, -kInf),
      Set(&TD::maxIris, 1e10F)},
     MT::LensProperties, "06 0A 00 00 00 | FF FF FF | 00 00 | FF FF | 00"},
    {"LensProperties -inf, 3e7, NaN, -1e10",
     {Set(&TD::minFocalLength, -kInf), Set(&TD::maxFocalLength, 3e7F), Set(&TD::minIris, kNaN),
      Set(&TD::maxIris, -1e10F)},
     MT::LensProperties, "06 0A 00 00 00 | D0 5E 00 | 00 00 | 00 00 | 00"},
    {"PositionalData 3e7, -3e7 saturate; 21474836 x 100 rounds to 2^31 and saturates",
     {Set(&TD::positionX, 3e7F), Set(&TD::positionY, -3e7F), Set(&TD::positionZ, 21474836.0F)},
     MT::PositionalData, "07 0B 7F FF FF FF | 80 00 00 00 | 7F FF FF FF"},
    {"AxesData NaN, +inf, -inf",
     {Set(&TD::roll, kNaN), Set(&TD::pitch, kInf), Set(&TD::yaw, -kInf)},
     MT::AxesData, "08 05 00 00 FF FF 00 00"},
    {"AxesData 1e8 and -1e8 fit int32 and wrap to 16 bits; 1e10 saturates",
     {Set(&TD::roll, 1e6F), Set(&TD::pitch, -1e6F), Set(&TD::yaw, 1e8F)},
     MT::AxesData, "08 05 E1 00 1F 00 FF FF"},
    {"SensorSize NaN, +inf", {Set(&TD::sensorWidth, kNaN), Set(&TD::sensorHeight, kInf)},
     MT::SensorSize, "19 07 00 00 FF FF 00 00 00 00"},
    {"ZeissZdData NaN aperture and field of view; shading and distortion specials",
     {Set(&TD::zeissZd, &Z::aperture, kNaN), Set(&TD::zeissZd, &Z::horizontalFieldOfView, kNaN),
      Set(&TD::zeissZd, &Z::shading, Floats{kNaN, kNaN, kInf, -kInf, 6553.75F, 1e30F}),
      Set(&TD::zeissZd, &Z::radialDistortion, Floats{kInf, kNaN, kInf, -kInf, 400.0F, -1e30F})},
     MT::ZeissZdData,
     "10 21 40 40 40 40 DC C0 40 40 40 40 | 03 E8 03 E8 03 E8 03 E8 03 E7 03 E8 | "
     "00 00 00 00 FF FF 00 00 9C 40 00 00"},
};
// clang-format on

TEST(SenderConversions, SpecialValuesPerField) {
    for (const SaturationCase& c : kSaturationCases) {
        SCOPED_TRACE(c.description);
        EXPECT_BYTES(Make(c.setup).Encode(kRecordsOnly, {c.type}), Hex(c.expected));
    }
}

TEST(SenderConversions, ZeissApertureAndFieldOfView) {
    // Payload bytes 4 to 7: aperture code and steps, field of view x 10 in 5 + 6 bits.
    const struct {
        float aperture, fieldOfView;
        const char* bytes4to7;
    } cases[] = {
        // NaN is in SpecialValuesPerField; 1e30 and -1e30 saturate as the infinities do.
        {kInf, kInf, "DC CF 5F 7F"},     // steps and h INT32_MAX: low 4 bits F; h groups 1F, 3F
        {-kInf, -kInf, "8E 80 40 40"},   // base 14, steps INT32_MIN: low 4 bits 0; h = 0x80000000
        {14.0F, 204.7F, "EE 86 5F 7F"},  // 204.7 x 10 = 2047
        {14.0F, 204.8F, "EE 86 40 40"},  // 2048: 11 bits wrap to 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.aperture << " " << c.fieldOfView);
        TD d;
        d.zeissZd.aperture = c.aperture;
        d.zeissZd.horizontalFieldOfView = c.fieldOfView;
        const Bytes r = d.Encode(kRecordsOnly, {MT::ZeissZdData});
        ASSERT_EQ(r.size(), 36U);
        EXPECT_BYTES(Bytes(r.begin() + 6, r.begin() + 10), Hex(c.bytes4to7));
    }
}

TEST(SenderConversions, TruncSaturate) {
    using detail::TruncSaturate;
    constexpr auto i32max = std::numeric_limits<std::int32_t>::max();
    constexpr auto i32min = std::numeric_limits<std::int32_t>::min();
    constexpr auto i64max = std::numeric_limits<std::int64_t>::max();
    constexpr auto i64min = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(TruncSaturate<std::int32_t>(kNaN), 0);
    EXPECT_EQ(TruncSaturate<std::int32_t>(kInf), i32max);
    EXPECT_EQ(TruncSaturate<std::int32_t>(-kInf), i32min);
    EXPECT_EQ(TruncSaturate<std::int32_t>(2147483648.0F), i32max);
    EXPECT_EQ(TruncSaturate<std::int32_t>(2147483520.0F), 2147483520);  // largest float below 2^31
    EXPECT_EQ(TruncSaturate<std::int32_t>(-2147483648.0F), i32min);
    EXPECT_EQ(TruncSaturate<std::int32_t>(-2147483904.0F), i32min);
    EXPECT_EQ(TruncSaturate<std::int32_t>(1.9F), 1);
    EXPECT_EQ(TruncSaturate<std::int32_t>(-1.9F), -1);
    EXPECT_EQ(TruncSaturate<std::int32_t>(-0.0F), 0);
    EXPECT_EQ(TruncSaturate<std::int32_t>(2147483647.9), i32max);
    EXPECT_EQ(TruncSaturate<std::int32_t>(-2147483647.9), -2147483647);
    EXPECT_EQ(TruncSaturate<std::int32_t>(-2147483648.9), i32min);
    EXPECT_EQ(TruncSaturate<std::int64_t>(kNaN), 0);
    EXPECT_EQ(TruncSaturate<std::int64_t>(kInf), i64max);
    EXPECT_EQ(TruncSaturate<std::int64_t>(-kInf), i64min);
    EXPECT_EQ(TruncSaturate<std::int64_t>(9223372036854775808.0F), i64max);
    EXPECT_EQ(TruncSaturate<std::int64_t>(9223371487098961920.0F), 9223371487098961920);
    EXPECT_EQ(TruncSaturate<std::int64_t>(-9223372036854775808.0F), i64min);
    EXPECT_EQ(TruncSaturate<std::int64_t>(-1e30F), i64min);
    EXPECT_EQ(TruncSaturate<std::uint8_t>(-1.0F), 0);
    EXPECT_EQ(TruncSaturate<std::uint8_t>(255.9F), 255);
    EXPECT_EQ(TruncSaturate<std::uint8_t>(256.0F), 255);
    EXPECT_EQ(detail::Scaled32(3e7F, 100.0F), i32max);
    EXPECT_EQ(detail::Scaled64(3e7F, 100.0F), 3000000000);
    EXPECT_EQ(detail::Scaled32(-12.345F, 100.0F), -1234);
    EXPECT_EQ(detail::Scaled64(kNaN, 100.0F), 0);
    static_assert(detail::TruncSaturate<std::int16_t>(1e9) == 32767);
}

}  // namespace
