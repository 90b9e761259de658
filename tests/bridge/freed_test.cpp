// FreeD D1 packets: wire bytes against hand-computed tables, checksums of both signs, the
// 24-bit limits, and the conversions to and from the Kor state.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include <kor/kor.h>

#include "freed.h"
#include "freed_convert.h"

namespace {

using namespace Kor::Bridge;
using Kor::Protocol::Device;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Bytes = std::vector<std::uint8_t>;

// Half the Kor step of 0.01, plus the resolution of the float the value is held in.
double Step(double value) {
    return 0.0051 + std::fabs(value) * 1.2e-7;
}

Bytes Wire(const FreedPacket& packet) {
    const auto bytes = EncodeFreed(packet);
    return {bytes.begin(), bytes.end()};
}

// A Kor state with position, orientation and lens values all available.
TelemetryData Tracked(float yaw, float pitch, float roll, float x, float y, float z) {
    TelemetryData s;
    s.yaw = yaw;
    s.pitch = pitch;
    s.roll = roll;
    s.positionX = x;
    s.positionY = y;
    s.positionZ = z;
    s.yawValid = s.pitchValid = s.rollValid = true;
    s.positionXValid = s.positionYValid = s.positionZValid = true;
    s.zoom = 35.0F;
    s.focus = 1500;
    s.zoomValid = s.focusValid = true;
    return s;
}

// Pan 90 deg = 0x2D0000, tilt -45 deg = 0x1000000 - 0x168000 = 0xE98000, roll 0.5 deg =
// 0x004000, X 1000 mm = 64000 = 0x00FA00, Y -2.5 mm = -160 = 0xFFFF60, zoom 35 mm = 35000 um =
// 0x0088B8, focus 1500 mm = 0x0005DC. Byte sum 2081, 2081 mod 256 = 0x21, 0x40 - 0x21 = 0x1F.
TEST(Freed, KorStateBecomesHandComputedBytes) {
    const FreedPacket packet =
        FreedFromKor(Tracked(90.0F, -45.0F, 0.5F, 1000.0F, -2.5F, 0.0F), 1, FreedLens::Physical);
    const Bytes expected{0xD1, 0x01, 0x2D, 0x00, 0x00, 0xE9, 0x80, 0x00, 0x00, 0x40,
                         0x00, 0x00, 0xFA, 0x00, 0xFF, 0xFF, 0x60, 0x00, 0x00, 0x00,
                         0x00, 0x88, 0xB8, 0x00, 0x05, 0xDC, 0x00, 0x00, 0x1F};
    EXPECT_EQ(Wire(packet), expected);
    const FreedParse parsed = ParseFreed(expected);
    ASSERT_TRUE(parsed.packet);
    EXPECT_EQ(*parsed.packet, packet);
    EXPECT_EQ(parsed.packet->tilt, -1474560);
    EXPECT_EQ(parsed.packet->y, -160);
}

// (0x40 - sum) taken mod 256 whether the difference is positive, zero or negative.
TEST(Freed, ChecksumOfBothSigns) {
    struct Case {
        std::uint8_t cameraId;
        std::uint8_t checksum;
    };
    // Sum 0xD1 + id: 0xD1 -> 0x40 - 0xD1 = -0x91 = 0x6F; 0xD1 + 0x2F = 0x100 -> 0x40;
    // 0xD1 + 0x4F = 0x120 -> 0x20; 0xD1 + 0x6F = 0x140 -> 0x00.
    for (const Case& c : {Case{0x00, 0x6F}, Case{0x2F, 0x40}, Case{0x4F, 0x20}, Case{0x6F, 0x00}}) {
        FreedPacket packet;
        packet.cameraId = c.cameraId;
        EXPECT_EQ(Wire(packet)[28], c.checksum) << int{c.cameraId};
    }
}

TEST(Freed, SaturatesAtTheTwentyFourBitLimits) {
    struct Case {
        double value;
        double scale;
        std::int32_t expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case& c : {Case{255.99996948, kFreedAngleScale, 0x7FFFFF},  // the largest angle
                          Case{256.0, kFreedAngleScale, 0x7FFFFF},
                          Case{300.0, kFreedAngleScale, 0x7FFFFF},
                          Case{-256.0, kFreedAngleScale, -0x800000},
                          Case{-300.0, kFreedAngleScale, -0x800000},
                          Case{131071.984375, kFreedPositionScale, 0x7FFFFF},
                          Case{200000.0, kFreedPositionScale, 0x7FFFFF},
                          Case{-200000.0, kFreedPositionScale, -0x800000},
                          Case{inf, kFreedPositionScale, 0x7FFFFF},
                          Case{-inf, kFreedPositionScale, -0x800000},
                          Case{nan, kFreedAngleScale, 0},
                          Case{-0.00001, kFreedAngleScale, 0},
                          Case{-0.0001, kFreedAngleScale, -3}}) {
        EXPECT_EQ(ToSigned24(c.value, c.scale), c.expected) << c.value;
    }
    EXPECT_EQ(ToUnsigned24(20000.0, kFreedZoomScale), 0xFFFFFFU);  // 20 m focal length
    EXPECT_EQ(ToUnsigned24(16777.215, kFreedZoomScale), 0xFFFFFFU);
    EXPECT_EQ(ToUnsigned24(16777.214, kFreedZoomScale), 0xFFFFFEU);
    EXPECT_EQ(ToUnsigned24(-1.0, kFreedZoomScale), 0U);
    EXPECT_EQ(ToUnsigned24(nan, kFreedZoomScale), 0U);

    // Through the whole conversion: saturated fields, not wrapped ones.
    TelemetryData s = Tracked(-400.0F, 300.0F, 0.0F, 1e6F, -1e6F, 0.0F);
    s.zoom = 20000.0F;
    s.focus = 0x1000000;  // one past 24 bits
    const auto wire = Wire(FreedFromKor(s, 0, FreedLens::Physical));
    const Bytes fields(wire.begin() + 2, wire.begin() + 26);
    EXPECT_EQ(fields, (Bytes{0x80, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0xFF,
                             0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Freed, NotAvailableKorValuesTravelAsZero) {
    TelemetryData s = Tracked(10.0F, 20.0F, 30.0F, 40.0F, 50.0F, 60.0F);
    s.yawValid = s.positionYValid = s.zoomValid = false;
    const FreedPacket p = FreedFromKor(s, 3, FreedLens::Physical);
    EXPECT_EQ(p.pan, 0);
    EXPECT_EQ(p.tilt, 20 * 32768);
    EXPECT_EQ(p.y, 0);
    EXPECT_EQ(p.z, 60 * 64);
    EXPECT_EQ(p.zoom, 0U);
    EXPECT_EQ(p.focus, 1500U);

    // Raw lens: the counts with their mask bits, widened to 24 bits end to end.
    s.rawZoomEncoder = 0xFFFF;
    s.rawFocusEncoder = 0x1234;
    s.rawZoomEncoderValid = true;
    const FreedPacket raw = FreedFromKor(s, 3, FreedLens::Raw);
    EXPECT_EQ(raw.zoom, 0xFFFFFFU);
    EXPECT_EQ(raw.focus, 0U);  // its mask bit is clear
    s.rawFocusEncoderValid = true;
    EXPECT_EQ(FreedFromKor(s, 3, FreedLens::Raw).focus, 0x123412U);
    EXPECT_EQ(WidenEncoder(0), 0U);
    for (const int value : {0x0000, 0x0001, 0x1234, 0x8000, 0xFFFF}) {
        const auto count = static_cast<std::uint16_t>(value);
        EXPECT_EQ(NarrowEncoder(WidenEncoder(count)), count);
    }
}

TEST(Freed, ParseRefusesWhatIsNotAValidD1Packet) {
    const Bytes good = Wire(FreedFromKor(Tracked(1, 2, 3, 4, 5, 6), 9, FreedLens::Physical));
    ASSERT_TRUE(ParseFreed(good).packet);
    Bytes shortOne(good.begin(), good.end() - 1);
    Bytes longOne = good;
    longOne.push_back(0);
    Bytes notD1 = good;
    notD1[0] = 0xD0;
    Bytes badSum = good;
    badSum[28] = static_cast<std::uint8_t>(badSum[28] + 1);
    Bytes flipped = good;
    flipped[10] ^= 0x01;
    struct Case {
        Bytes bytes;
        FreedError error;
    };
    for (const Case& c : {Case{{}, FreedError::WrongLength}, Case{shortOne, FreedError::WrongLength},
                          Case{longOne, FreedError::WrongLength}, Case{notD1, FreedError::NotD1},
                          Case{badSum, FreedError::BadChecksum},
                          Case{flipped, FreedError::BadChecksum}}) {
        const FreedParse parsed = ParseFreed(c.bytes);
        EXPECT_FALSE(parsed.packet);
        EXPECT_EQ(parsed.error, c.error) << FreedErrorText(c.error);
    }
}

// D1 packet -> Kor frame -> the Kor decoder: every value within the Kor step (0.01 mm,
// 0.01 degree, 0.01 mm of focal length), both signs, and the records the lens mode asks for.
TEST(Freed, PacketBecomesKorFrameThatDecodesToItsValues) {
    struct Case {
        FreedPacket packet;
        FreedLens lens;
    };
    FreedPacket a{7, 90 * 32768, -45 * 32768, 12345, 64000, -160, 1, 35123, 1500, 0};
    FreedPacket b{0, -8388608, 8388607, -1, -8388608, 8388607, 0, 0xFFFFFF, 0x123456, 0};
    FreedPacket c{1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (const Case& t : {Case{a, FreedLens::Physical}, Case{b, FreedLens::Physical},
                          Case{c, FreedLens::Physical}, Case{a, FreedLens::Raw},
                          Case{b, FreedLens::Raw}}) {
        const FreedPacket& p = t.packet;
        const KorFromFreed kor = KorFromFreedPacket(p, t.lens, 123456789, 4);
        Device device;
        ASSERT_LE(device.Update(kor.data.Encode(Kor::Protocol::TransmissionType::UDP, kor.types)),
                  Kor::Protocol::FrameStatus::SameTimecode);
        const TelemetryData& s = *device.GetCurrentState();
        EXPECT_NEAR(s.positionX, p.x / 64.0, Step(p.x / 64.0));
        EXPECT_NEAR(s.positionY, p.y / 64.0, Step(p.y / 64.0));
        EXPECT_NEAR(s.positionZ, p.z / 64.0, Step(p.z / 64.0));
        EXPECT_NEAR(s.yaw, p.pan / 32768.0, Step(p.pan / 32768.0));
        EXPECT_NEAR(s.pitch, p.tilt / 32768.0, Step(p.tilt / 32768.0));
        EXPECT_NEAR(s.roll, p.roll / 32768.0, Step(p.roll / 32768.0));
        EXPECT_TRUE(s.positionXValid && s.yawValid && s.rollValid);
        EXPECT_EQ(s.tickCount, 123456789U);
        EXPECT_EQ(s.tickCountType, 2);
        EXPECT_EQ(s.projectFps, 4);
        if (t.lens == FreedLens::Raw) {
            EXPECT_EQ(s.rawZoomEncoder, p.zoom >> 8);
            EXPECT_EQ(s.rawFocusEncoder, p.focus >> 8);
            EXPECT_TRUE(s.rawZoomEncoderValid && s.rawFocusEncoderValid);
            EXPECT_FALSE(s.rawIrisEncoderValid);
            EXPECT_FALSE(s.zoomValid);
        } else {
            EXPECT_NEAR(s.zoom, p.zoom / 1000.0, Step(p.zoom / 1000.0));
            EXPECT_EQ(s.focus, p.focus);
            EXPECT_EQ(s.zoomValid, p.zoom != 0);  // zero travels as "not available"
            EXPECT_EQ(s.focusValid, p.focus != 0);
            EXPECT_FALSE(s.irisValid);
            EXPECT_FALSE(s.rawZoomEncoderValid);
        }
    }
    // Without a project frame rate there is no ProjectFps record.
    const auto types = KorFromFreedPacket(a, FreedLens::Physical, 0, 0).types;
    EXPECT_EQ(types, (std::vector<MessageType>{MessageType::PositionalData, MessageType::AxesData,
                                               MessageType::BasicLens, MessageType::TickCount}));
}

// Far from the origin a float holds few hundredths: the value handed to the Kor encoder must
// still give the nearest step on the wire (131071 mm, not 131071.01 mm), for every magnitude
// a D1 field can hold. Compared in whole steps, so that one step off fails.
TEST(Freed, FarValuesReachTheNearestKorStep) {
    const auto steps = [](double value) { return std::llround(value * 100.0); };
    const std::int32_t positions[] = {131071 * 64, -131071 * 64, 100000 * 64 + 1, -kInt24Max,
                                      kInt24Min + 1, 65536 * 64 + 3, 4242 * 64 + 8};
    for (const std::int32_t x : positions) {
        const FreedPacket p{1, x, -x / 2, x / 4, x, -x, x / 3, 35000, 1500, 0};
        const KorFromFreed kor = KorFromFreedPacket(p, FreedLens::Physical, 0, 0);
        Device device;
        ASSERT_LE(device.Update(kor.data.Encode(Kor::Protocol::TransmissionType::UDP, kor.types)),
                  Kor::Protocol::FrameStatus::SameTimecode);
        const TelemetryData& s = *device.GetCurrentState();
        EXPECT_EQ(steps(s.positionX), steps(p.x / 64.0)) << x;
        EXPECT_EQ(steps(s.positionY), steps(p.y / 64.0)) << x;
        EXPECT_EQ(steps(s.positionZ), steps(p.z / 64.0)) << x;
        EXPECT_EQ(steps(s.yaw), steps(p.pan / 32768.0)) << x;
        EXPECT_EQ(steps(s.pitch), steps(p.tilt / 32768.0)) << x;
        EXPECT_EQ(steps(s.roll), steps(p.roll / 32768.0)) << x;
    }
}


}  // namespace
