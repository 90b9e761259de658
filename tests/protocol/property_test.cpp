// Property test: random records, encoded as UDP and as Serial frames, are accepted by a device
// on both paths, give one and the same state, and give back every field within one
// fixed-point step (plus the float representation of the value itself).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using namespace kor_test;
using MT = MessageType;

struct Random {
    std::mt19937 gen;
    std::uint64_t Int(std::uint64_t lo, std::uint64_t hi) {
        return std::uniform_int_distribution<std::uint64_t>(lo, hi)(gen);
    }
    template <typename T>
    T Bits() {
        return static_cast<T>(Int(0, UINT64_MAX));
    }
    float Real(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(gen); }
    std::string Text(std::size_t maxLength) {
        std::string s(Int(0, maxLength), '\0');
        for (char& c : s) c = static_cast<char>(Int(0, 255));
        return s;
    }
};

// The fields carried x 100, with ranges within what the wire carries, chosen so that a scaled
// value of 0 (which the receiver reads as "not available") cannot occur where it would hide a
// field.
const struct {
    float TD::*field;
    float lo, hi;
} kHundredths[] = {
    {&TD::zoom, 0.02F, 167771.0F},           {&TD::iris, 0.02F, 655.0F},
    {&TD::minFocalLength, 0.02F, 167771.0F}, {&TD::maxFocalLength, 0.02F, 167771.0F},
    {&TD::minIris, 0.02F, 655.0F},           {&TD::maxIris, 0.02F, 655.0F},
    {&TD::positionX, -2e4F, 2e4F},           {&TD::positionY, -2e4F, 2e4F},
    {&TD::positionZ, -2e4F, 2e4F},           {&TD::roll, -327.0F, 327.0F},
    {&TD::pitch, -327.0F, 327.0F},           {&TD::yaw, -327.0F, 327.0F},
    {&TD::sensorWidth, 0.0F, 655.0F},        {&TD::sensorHeight, 0.0F, 655.0F},
};

// A record of values the wire carries. Strings other than the sensor name stay empty; the
// string test fills them.
TD RandomState(Random& r) {
    TD d;
    for (const auto& f : kHundredths) d.*f.field = r.Real(f.lo, f.hi);
    d.recordFlag = r.Int(0, 1) == 1;
    d.timecodeHours = static_cast<std::uint8_t>(r.Int(0, 99));
    d.timecodeMinutes = static_cast<std::uint8_t>(r.Int(0, 99));
    d.timecodeSeconds = static_cast<std::uint8_t>(r.Int(0, 99));
    d.timecodeFrames = static_cast<std::uint8_t>(r.Int(0, 79));
    d.focus = static_cast<std::uint32_t>(r.Int(1, 0xFFFFFF));
    d.ptpSeconds = r.Int(0, 0xFFFFFFFFFFFF);
    d.ptpNanoseconds = r.Bits<std::uint32_t>();
    d.lensPropertiesExtra = r.Bits<std::uint8_t>();
    d.tickCount = r.Bits<std::uint64_t>();
    d.tickCountType = static_cast<std::uint8_t>(r.Int(0, 3) == 3 ? r.Int(3, 255) : r.Int(0, 2));
    d.projectFps = static_cast<std::uint8_t>(r.Int(0, 5));
    d.rawFocusEncoderValid = r.Int(0, 1) == 1;
    d.rawZoomEncoderValid = r.Int(0, 1) == 1;
    d.rawIrisEncoderValid = r.Int(0, 1) == 1;
    d.rawFocusEncoder = r.Bits<std::uint16_t>();
    d.rawZoomEncoder = r.Bits<std::uint16_t>();
    d.rawIrisEncoder = r.Bits<std::uint16_t>();
    auto& z = d.zeissZd;
    z.focusDistance = r.Bits<std::uint32_t>();
    z.aperture = r.Real(1.4F, 37.0F);
    z.horizontalFieldOfView = r.Real(0.0F, 204.0F);
    z.entrancePupilPosition = static_cast<std::int16_t>(static_cast<int>(r.Int(0, 2046)) - 1023);
    for (int i = 0; i < 6; ++i) {
        z.shading[i] = r.Real(0.0F, 100.0F);
        z.radialDistortion[i] = r.Real(-327.0F, 327.0F);
    }
    d.radioControl = {r.Bits<std::uint32_t>(), r.Bits<std::uint8_t>(), r.Bits<std::uint8_t>(),
                      static_cast<std::uint8_t>(r.Int(0, 3) == 0 ? 4 : r.Int(0, 255)),
                      r.Bits<std::uint8_t>()};
    d.channelId = r.Bits<std::uint8_t>();
    d.clipWidth = r.Bits<std::uint16_t>();
    d.clipHeight = r.Bits<std::uint16_t>();
    d.sensorName = r.Text(70);
    d.rawAxesEncoders = {r.Bits<std::uint32_t>(), r.Bits<std::uint32_t>(), r.Bits<std::uint32_t>()};
    d.subjectId = r.Bits<std::uint32_t>();
    return d;
}

// Checks that `got` is within one fixed-point step of `want` (plus two float epsilons of the
// value, for its single-precision scaling and for the decoded float), then takes it over so
// that the states can be compared exactly afterwards.
void TakeNear(const char* name, float got, float& want, float step) {
    const float tolerance = step + 2.0F * std::fabs(want) * FLT_EPSILON;
    EXPECT_LE(std::fabs(got - want), tolerance) << name << ": sent " << want << ", got " << got;
    want = got;
}
#define TAKE_NEAR(field, step) TakeNear(#field, back.field, want.field, step)

// The aperture step above the full stop at or below `a`.
float ApertureStep(float a) {
    const float stops[] = {2.0F, 2.8F, 4.0F, 5.6F, 8.0F, 11.0F, 16.0F, 22.0F};
    const float steps[] = {0.06F, 0.08F, 0.12F, 0.16F, 0.24F, 0.3F, 0.5F, 0.6F, 1.0F};
    return steps[std::upper_bound(std::begin(stops), std::end(stops), a) - std::begin(stops)];
}

// Feeds the UDP and the Serial frame of `types` to two fresh devices; both must accept the
// frame and reach the same state, which is returned.
TD RoundTrip(const TD& d, const std::vector<MT>& types) {
    Device udp;
    Device serial;
    EXPECT_LE(udp.Update(d.Encode(TransmissionType::UDP, types)), FrameStatus::SameTimecode);
    EXPECT_LE(serial.Update(d.Encode(TransmissionType::Serial, types)), FrameStatus::SameTimecode);
    EXPECT_TRUE(SameState(*udp.GetCurrentState(), *serial.GetCurrentState()));
    return *udp.GetCurrentState();
}

TEST(Property, ValueRecordsRoundTripWithinOneStep) {
    Random r{std::mt19937(0x4B6F72)};
    // Every type: the string types add nothing (their strings are empty), nor do the reserved
    // ones, and the value records take at most 212 bytes, so all of them fit.
    std::vector<MT> types;
    for (int t = 0; t <= 27; ++t) types.push_back(static_cast<MT>(t));
    for (int iteration = 0; iteration < 2000; ++iteration) {
        SCOPED_TRACE(testing::Message() << "iteration " << iteration);
        const TD d = RandomState(r);
        std::shuffle(types.begin(), types.end(), r.gen);
        const TD back = RoundTrip(d, types);

        // The state the receiver must reach: the sent one, within what each field carries.
        TD want = d;
        for (const auto& f : kHundredths)
            TakeNear("x100 field", back.*f.field, want.*f.field, 0.01F);
        TAKE_NEAR(zeissZd.aperture, ApertureStep(d.zeissZd.aperture));
        TAKE_NEAR(zeissZd.horizontalFieldOfView, 0.1F);
        for (int i = 1; i < 6; ++i) {
            TAKE_NEAR(zeissZd.shading[i], 0.1F);
            TAKE_NEAR(zeissZd.radialDistortion[i], 0.01F);
        }
        want.zeissZd.shading[0] = 0.0F;  // slot 0 is not sent and reads back as 0
        want.zeissZd.radialDistortion[0] = 0.0F;
        want.focusValid = want.zoomValid = want.irisValid = true;
        want.minFocalLengthValid = want.maxFocalLengthValid = true;
        want.minIrisValid = want.maxIrisValid = true;
        want.focalRangeFlags = 3;
        want.lensPropertiesExtraValid = d.lensPropertiesExtra != 0;
        want.positionXValid = want.positionYValid = want.positionZValid = true;
        want.rollValid = want.pitchValid = want.yawValid = true;
        want.tickCountType = std::min<std::uint8_t>(d.tickCountType, 2);
        want.tickCount &= (std::uint64_t{1} << (24 + 8 * want.tickCountType)) - 1;
        if (!d.rawFocusEncoderValid) want.rawFocusEncoder = 0;
        if (!d.rawZoomEncoderValid) want.rawZoomEncoder = 0;
        if (!d.rawIrisEncoderValid) want.rawIrisEncoder = 0;
        want.zeissZd.focusDistance &= 0xFFFFFFU;
        want.radioControl.radioValue &= 0xFFFFFFU;
        if (d.radioControl.radioMode == 4) want.radioControl.radioParamC = 0;  // short form
        want.sensorName = d.sensorName.substr(0, 56);
        for (auto& v : want.rawAxesEncoders) v &= 0xFFFFFFU;
        want.subjectId &= 0xFFFFU;
        EXPECT_TRUE(SameState(back, want));
        if (HasFailure()) break;
    }
}

// The string record types and the field each one carries.
// clang-format off
const std::pair<MT, std::string TD::*> kStrings[] = {
    {MT::ProductBrand, &TD::productBrand},   {MT::ProductName, &TD::productName},
    {MT::ProductSerial, &TD::productSerial}, {MT::LensManufacturer, &TD::lensManufacturer},
    {MT::LensName, &TD::lensName},           {MT::LensSerial, &TD::lensSerial},
    {MT::ClipName, &TD::clipName}};
// clang-format on

TEST(Property, StringRecordsRoundTripAndFillTheFrameInOrder) {
    Random r{std::mt19937(0x537472)};
    std::vector<std::pair<MT, std::string TD::*>> fields(std::begin(kStrings), std::end(kStrings));
    for (int iteration = 0; iteration < 2000; ++iteration) {
        SCOPED_TRACE(testing::Message() << "iteration " << iteration);
        TD d;
        for (const auto& [type, field] : fields) d.*field = r.Text(70);
        std::shuffle(fields.begin(), fields.end(), r.gen);
        std::vector<MT> types;
        for (const auto& [type, field] : fields) types.push_back(type);

        // Model: a string is cut to 65 bytes, an empty one left out, and a record that would
        // take the records past 253 bytes left out while the later ones are still tried.
        std::size_t used = 0;
        TD want;
        for (const auto& [type, field] : fields) {
            const std::string sent = (d.*field).substr(0, 65);
            if (!sent.empty() && used + 2 + sent.size() <= 253) {
                used += 2 + sent.size();
                want.*field = sent;
            }
        }
        want.productInfoComplete =
            !want.productBrand.empty() && !want.productName.empty() && !want.productSerial.empty();
        want.lensInfoComplete =
            !want.lensManufacturer.empty() && !want.lensName.empty() && !want.lensSerial.empty();
        want.clipNameReceived = !want.clipName.empty();
        EXPECT_TRUE(SameState(RoundTrip(d, types), want));
        if (HasFailure()) break;
    }
}

}  // namespace
