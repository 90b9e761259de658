// The encoder's limits beyond the vectors and the property test:
//  1. records the receiver would refuse, and types without an encoder, are left out;
//  2. every float-to-integer conversion of the sender is defined (NaN, infinities, overflow).
#include <array>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "fixed_point.h"
#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using namespace kor_test;
using MT = MessageType;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ProjectFps 6 is in the vectors; values above 127 would pass a signed comparison. Type
// numbers past the last type must not index past the encoder table. Transmission types other
// than UDP and Serial give the bare records.
TEST(EncodeLimits, RefusedValuesAndUnknownTypesAddNothing) {
    for (const int fps : {7, 200, 255}) {
        TD d;
        d.projectFps = static_cast<std::uint8_t>(fps);
        EXPECT_BYTES(d.Encode(TransmissionType::UDP, {MT::ProjectFps, MT::ChannelId}),
                     Cat({kUdpHeader, Hex("18 00 FF")}))
            << fps;
    }
    for (TransmissionType type : {kRecordsOnly, static_cast<TransmissionType>(255)}) {
        EXPECT_BYTES(
            TD{}.Encode(type, {MT::IdList, MT::FileTransferMd5, static_cast<MT>(28),
                               static_cast<MT>(200), static_cast<MT>(0x1800), MT::ChannelId}),
            Hex("18 00 FF"));
    }
}

// NaN -> 0; +/-inf and out-of-range values saturate at the intermediate integer's limits
// (int64 for zoom and the focal lengths, int32 otherwise); the field keeps the low bits.
// 3e7 x 100 = 3e9 = 0xB2D05E00 fits int64 but not int32. Zoom NaN and +inf, iris +/-inf and
// PositionalData NaN, -inf and 1e30 are in vectors/limits.json.
TEST(SenderConversions, SpecialValuesPerField) {
    using Z = TD::ZeissZdValues;
    using Floats = std::array<float, 6>;
    const struct {
        const char* description;
        Edits setup;
        MessageType type;
        const char* expected;  // whole record
    } cases[] = {
        // clang-format off
        {"BasicLens zoom -inf: INT64_MIN; iris NaN", {Set(&TD::zoom, -kInf), Set(&TD::iris, kNaN)},
         MT::BasicLens, "01 07 00 00 00 | 00 00 00 | 00 00"},
        {"BasicLens 3e7: zoom formed in 64 bits, iris saturates in 32",
         {Set(&TD::zoom, 3e7F), Set(&TD::iris, 3e7F)}, MT::BasicLens,
         "01 07 00 00 00 | D0 5E 00 | FF FF"},
        {"BasicLens zoom 2^57: x 100 beyond 2^63 saturates",
         {Set(&TD::zoom, 144115188075855872.0F)}, MT::BasicLens,
         "01 07 00 00 00 | FF FF FF | 00 00"},
        {"LensProperties NaN, +inf, -inf, 1e10",
         {Set(&TD::minFocalLength, kNaN), Set(&TD::maxFocalLength, kInf), Set(&TD::minIris, -kInf),
          Set(&TD::maxIris, 1e10F)},
         MT::LensProperties, "06 0A 00 00 00 | FF FF FF | 00 00 | FF FF | 00"},
        {"LensProperties -inf, 3e7, NaN, -1e10",
         {Set(&TD::minFocalLength, -kInf), Set(&TD::maxFocalLength, 3e7F), Set(&TD::minIris, kNaN),
          Set(&TD::maxIris, -1e10F)},
         MT::LensProperties, "06 0A 00 00 00 | D0 5E 00 | 00 00 | 00 00 | 00"},
        // 80 00 00 00 would read as "not available": the negative end is one above it.
        {"PositionalData 3e7, -3e7 saturate; 21474836 x 100 rounds to 2^31 and saturates",
         {Set(&TD::positionX, 3e7F), Set(&TD::positionY, -3e7F), Set(&TD::positionZ, 21474836.0F)},
         MT::PositionalData, "07 0B 7F FF FF FF | 80 00 00 01 | 7F FF FF FF"},
        {"PositionalData -inf and -21474836.48 saturate short of 80 00 00 00",
         {Set(&TD::positionX, -kInf), Set(&TD::positionY, -21474836.48F),
          Set(&TD::positionZ, -1.0F)},
         MT::PositionalData, "07 0B 80 00 00 01 | 80 00 00 01 | FF FF FF 9C"},
        // Beyond +/-327.67 degrees an angle is brought back by whole turns.
        {"AxesData 360 -> 0, -350 -> 10, 327.68 -> -32.32",
         {Set(&TD::roll, 360.0F), Set(&TD::pitch, -350.0F), Set(&TD::yaw, 327.68F)},
         MT::AxesData, "08 05 00 00 03 E8 F3 60"},
        {"AxesData -327.68 -> 32.32, 1e9 by whole turns, 720.5 -> 0.5",
         {Set(&TD::roll, -327.68F), Set(&TD::pitch, 1e9F), Set(&TD::yaw, 720.5F)},
         MT::AxesData, "08 05 0C A0 E0 C0 00 32"},
        {"AxesData inside the range is unchanged: 327.67, -327.67, -180",
         {Set(&TD::roll, 327.67F), Set(&TD::pitch, -327.67F), Set(&TD::yaw, -180.0F)},
         MT::AxesData, "08 05 7F FF 80 01 B9 B0"},
        {"AxesData NaN, +inf, -inf",
         {Set(&TD::roll, kNaN), Set(&TD::pitch, kInf), Set(&TD::yaw, -kInf)},
         MT::AxesData, "08 05 00 00 FF FF 00 00"},
        {"SensorSize NaN, +inf", {Set(&TD::sensorWidth, kNaN), Set(&TD::sensorHeight, kInf)},
         MT::SensorSize, "19 07 00 00 FF FF 00 00 00 00"},
        {"ZeissZdData NaN aperture and field of view; shading and distortion specials",
         {Set(&TD::zeissZd, &Z::aperture, kNaN),
          Set(&TD::zeissZd, &Z::horizontalFieldOfView, kNaN),
          Set(&TD::zeissZd, &Z::shading, Floats{kNaN, kNaN, kInf, -kInf, 6553.75F, 1e30F}),
          Set(&TD::zeissZd, &Z::radialDistortion, Floats{kInf, kNaN, kInf, -kInf, 400.0F, -1e30F})},
         MT::ZeissZdData, "10 21 40 40 40 40 DC C0 40 40 40 40 03 E8 03 E8 03 E8 03 E8 03 E7 03 E8"
                          "| 00 00 00 00 FF FF 00 00 9C 40 00 00"},
        // Payload bytes 4 to 7: the aperture's base and steps, the field of view x 10.
        {"ZeissZdData +inf: steps and field of view INT32_MAX keep their low bits",
         {Set(&TD::zeissZd, &Z::aperture, kInf),
          Set(&TD::zeissZd, &Z::horizontalFieldOfView, kInf)},
         MT::ZeissZdData, "10 21 40 40 40 40 DC CF 5F 7F 40 40 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8"
                          "| 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"ZeissZdData -inf: base 14, steps and field of view INT32_MIN",
         {Set(&TD::zeissZd, &Z::aperture, -kInf),
          Set(&TD::zeissZd, &Z::horizontalFieldOfView, -kInf)},
         MT::ZeissZdData, "10 21 40 40 40 40 8E 80 40 40 40 40 03 E8 03 E8 03 E8 03 E8 03 E8 03 E8"
                          "| 00 00 00 00 00 00 00 00 00 00 00 00"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        EXPECT_BYTES(Make(c.setup).Encode(kRecordsOnly, {c.type}), Hex(c.expected));
    }
}

// The conversion itself at the limits: the largest floats below them convert exactly.
TEST(SenderConversions, TruncSaturate) {
    using detail::TruncSaturate;
    using I32 = std::numeric_limits<std::int32_t>;
    using I64 = std::numeric_limits<std::int64_t>;
    EXPECT_EQ(TruncSaturate<std::int32_t>(kNaN), 0);
    EXPECT_EQ(TruncSaturate<std::int32_t>(2147483648.0F), I32::max());
    EXPECT_EQ(TruncSaturate<std::int32_t>(2147483520.0F), 2147483520);
    EXPECT_EQ(TruncSaturate<std::int32_t>(-2147483904.0F), I32::min());
    EXPECT_EQ(TruncSaturate<std::int32_t>(-1.9F), -1);
    EXPECT_EQ(TruncSaturate<std::int32_t>(2147483647.9), I32::max());
    EXPECT_EQ(TruncSaturate<std::int32_t>(-2147483647.9), -2147483647);
    EXPECT_EQ(TruncSaturate<std::int64_t>(9223372036854775808.0F), I64::max());
    EXPECT_EQ(TruncSaturate<std::int64_t>(9223371487098961920.0F), 9223371487098961920);
    EXPECT_EQ(TruncSaturate<std::int64_t>(-1e30F), I64::min());
    EXPECT_EQ(TruncSaturate<std::uint8_t>(-1.0F), 0);
    EXPECT_EQ(TruncSaturate<std::uint8_t>(256.0F), 255);
}

}  // namespace
