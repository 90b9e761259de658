// Property test: random records, encoded as UDP and Serial frames, split by the test's own
// record splitter and decoded by the message classes, give back every field within one
// fixed-point step (plus the float representation of the value itself).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "test_util.h"

namespace {

using namespace Kor::Protocol;
using namespace kor_test;
using MT = MessageType;

class Random {
public:
    explicit Random(unsigned seed) : gen_(seed) {}
    std::uint64_t Int(std::uint64_t lo, std::uint64_t hi) {
        return std::uniform_int_distribution<std::uint64_t>(lo, hi)(gen_);
    }
    template <typename T>
    T Bits() {
        return static_cast<T>(Int(0, UINT64_MAX));
    }
    float Real(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(gen_); }
    bool Coin() { return Int(0, 1) == 1; }
    std::string Text(std::size_t maxLength) {
        std::string s(Int(0, maxLength), '\0');
        for (char& c : s) c = static_cast<char>(Int(0, 255));
        return s;
    }
    template <typename T>
    void Shuffle(std::vector<T>& v) {
        std::shuffle(v.begin(), v.end(), gen_);
    }

private:
    std::mt19937 gen_;
};

// Values within what the wire carries, chosen so that a scaled value of 0 (which
// the receiver reads as "not available") cannot occur where it would hide a field.
TD RandomState(Random& r) {
    TD d;
    d.recordFlag = r.Coin();
    d.timecodeHours = static_cast<std::uint8_t>(r.Int(0, 99));
    d.timecodeMinutes = static_cast<std::uint8_t>(r.Int(0, 99));
    d.timecodeSeconds = static_cast<std::uint8_t>(r.Int(0, 99));
    d.timecodeFrames = static_cast<std::uint8_t>(r.Int(0, 79));
    d.focus = static_cast<std::uint32_t>(r.Int(1, 0xFFFFFF));
    d.zoom = r.Real(0.02F, 167771.0F);
    d.iris = r.Real(0.02F, 655.0F);
    d.ptpSeconds = r.Int(0, 0xFFFFFFFFFFFF);
    d.ptpNanoseconds = r.Bits<std::uint32_t>();
    d.productBrand = r.Text(70);
    d.productName = r.Text(70);
    d.productSerial = r.Text(70);
    d.minFocalLength = r.Real(0.02F, 167771.0F);
    d.maxFocalLength = r.Real(0.02F, 167771.0F);
    d.minIris = r.Real(0.02F, 655.0F);
    d.maxIris = r.Real(0.02F, 655.0F);
    d.lensPropertiesExtra = r.Bits<std::uint8_t>();
    d.positionX = r.Real(-20000.0F, 20000.0F);
    d.positionY = r.Real(-20000.0F, 20000.0F);
    d.positionZ = r.Real(-20000.0F, 20000.0F);
    d.roll = r.Real(-327.0F, 327.0F);
    d.pitch = r.Real(-327.0F, 327.0F);
    d.yaw = r.Real(-327.0F, 327.0F);
    d.tickCount = r.Bits<std::uint64_t>();
    d.tickCountType = static_cast<std::uint8_t>(r.Int(0, 3) == 3 ? r.Int(3, 255) : r.Int(0, 2));
    d.lensManufacturer = r.Text(70);
    d.lensName = r.Text(70);
    d.lensSerial = r.Text(70);
    d.projectFps = static_cast<std::uint8_t>(r.Int(0, 5));
    d.clipName = r.Text(70);
    d.rawFocusEncoderValid = r.Coin();
    d.rawZoomEncoderValid = r.Coin();
    d.rawIrisEncoderValid = r.Coin();
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
    d.sensorWidth = r.Real(0.0F, 655.0F);
    d.sensorHeight = r.Real(0.0F, 655.0F);
    d.clipWidth = r.Bits<std::uint16_t>();
    d.clipHeight = r.Bits<std::uint16_t>();
    d.sensorName = r.Text(70);
    d.rawAxesEncoders = {r.Bits<std::uint32_t>(), r.Bits<std::uint32_t>(), r.Bits<std::uint32_t>()};
    d.subjectId = r.Bits<std::uint32_t>();
    return d;
}

// One fixed-point step, plus two float epsilons of the value for its single-precision
// scaling and for the decoded float.
::testing::AssertionResult Near(const char* name, float decoded, float sent, float step) {
    const float tolerance = step + 2.0F * std::fabs(sent) * FLT_EPSILON;
    if (std::fabs(decoded - sent) <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << name << ": sent " << sent << ", decoded " << decoded << ", tolerance " << tolerance;
}
#define EXPECT_NEAR_STEP(field, step) EXPECT_TRUE(Near(#field, back.field, d.field, step))

// The aperture step of the full stop at or below `a` (the aperture step table).
float ApertureStep(float a) {
    const std::pair<float, float> stops[] = {{2.0F, 0.06F}, {2.8F, 0.08F}, {4.0F, 0.12F},
                                             {5.6F, 0.16F}, {8.0F, 0.24F}, {11.0F, 0.3F},
                                             {16.0F, 0.5F}, {22.0F, 0.6F}};
    for (const auto& [next, step] : stops) {
        if (a < next) return step;
    }
    return 1.0F;
}

const std::vector<MT> kValueTypes = {MT::Timecode,
                                     MT::BasicLens,
                                     MT::PtpTimestamp,
                                     MT::LensProperties,
                                     MT::PositionalData,
                                     MT::AxesData,
                                     MT::TickCount,
                                     MT::ProjectFps,
                                     MT::RawLensEncoderWithMask,
                                     MT::ZeissZdData,
                                     MT::RadioControl,
                                     MT::ChannelId,
                                     MT::SensorSize,
                                     MT::RawAxesEncoderWithMask,
                                     MT::SubjectId};

// Encodes `types` as UDP and as Serial, checks both framings against each other, and decodes
// the records into a fresh state. Returns the record types in frame order.
std::vector<std::uint8_t> EncodeAndDecode(const TD& d, const std::vector<MT>& types, TD& back) {
    const Bytes udp = d.Encode(TransmissionType::UDP, types);
    const auto records = UdpRecords(udp);
    EXPECT_TRUE(records.has_value());
    if (!records) return {};
    EXPECT_EQ(DecodeRecords(*records, back), static_cast<int>(records->size()));

    const Bytes body(udp.begin() + 8, udp.end());
    const auto raw = Unstuff(d.Encode(TransmissionType::Serial, types));
    EXPECT_TRUE(raw.has_value());
    if (raw) {
        EXPECT_EQ(*raw, Cat({body, Bytes{SerialChecksum(body, body.size())}}));
    }
    std::vector<std::uint8_t> order;
    for (const auto& r : *records) order.push_back(r.type);
    return order;
}

TEST(Property, ValueRecordsRoundTripWithinOneStep) {
    Random r(0x4B6F72);
    for (int iteration = 0; iteration < 3000; ++iteration) {
        SCOPED_TRACE(testing::Message() << "iteration " << iteration);
        const TD d = RandomState(r);
        std::vector<MT> types = kValueTypes;
        r.Shuffle(types);
        TD back;
        const auto order = EncodeAndDecode(d, types, back);

        // Every value record fits (at most 212 bytes): all of them, in list order.
        ASSERT_EQ(order.size(), types.size());
        for (std::size_t i = 0; i < types.size(); ++i)
            EXPECT_EQ(order[i], static_cast<std::uint8_t>(types[i]));

        EXPECT_EQ(back.timecodeHours, d.timecodeHours);
        EXPECT_EQ(back.timecodeMinutes, d.timecodeMinutes);
        EXPECT_EQ(back.timecodeSeconds, d.timecodeSeconds);
        EXPECT_EQ(back.timecodeFrames, d.timecodeFrames);
        EXPECT_EQ(back.recordFlag, d.recordFlag);
        EXPECT_EQ(back.focus, d.focus);
        EXPECT_TRUE(back.focusValid && back.zoomValid && back.irisValid);
        EXPECT_NEAR_STEP(zoom, 0.01F);
        EXPECT_NEAR_STEP(iris, 0.01F);
        EXPECT_EQ(back.ptpSeconds, d.ptpSeconds);
        EXPECT_EQ(back.ptpNanoseconds, d.ptpNanoseconds);
        EXPECT_NEAR_STEP(minFocalLength, 0.01F);
        EXPECT_NEAR_STEP(maxFocalLength, 0.01F);
        EXPECT_NEAR_STEP(minIris, 0.01F);
        EXPECT_NEAR_STEP(maxIris, 0.01F);
        EXPECT_EQ(back.focalRangeFlags, 3);
        EXPECT_EQ(back.lensPropertiesExtra, d.lensPropertiesExtra);
        EXPECT_EQ(back.lensPropertiesExtraValid, d.lensPropertiesExtra != 0);
        EXPECT_TRUE(back.positionXValid && back.positionYValid && back.positionZValid);
        EXPECT_NEAR_STEP(positionX, 0.01F);
        EXPECT_NEAR_STEP(positionY, 0.01F);
        EXPECT_NEAR_STEP(positionZ, 0.01F);
        EXPECT_TRUE(back.rollValid && back.pitchValid && back.yawValid);
        EXPECT_NEAR_STEP(roll, 0.01F);
        EXPECT_NEAR_STEP(pitch, 0.01F);
        EXPECT_NEAR_STEP(yaw, 0.01F);
        const unsigned tickType = d.tickCountType < 2 ? d.tickCountType : 2;
        EXPECT_EQ(back.tickCountType, tickType);
        EXPECT_EQ(back.tickCount, d.tickCount & ((std::uint64_t{1} << (24 + 8 * tickType)) - 1));
        EXPECT_EQ(back.projectFps, d.projectFps);
        EXPECT_EQ(back.rawFocusEncoderValid, d.rawFocusEncoderValid);
        EXPECT_EQ(back.rawZoomEncoderValid, d.rawZoomEncoderValid);
        EXPECT_EQ(back.rawIrisEncoderValid, d.rawIrisEncoderValid);
        EXPECT_EQ(back.rawFocusEncoder, d.rawFocusEncoderValid ? d.rawFocusEncoder : 0);
        EXPECT_EQ(back.rawZoomEncoder, d.rawZoomEncoderValid ? d.rawZoomEncoder : 0);
        EXPECT_EQ(back.rawIrisEncoder, d.rawIrisEncoderValid ? d.rawIrisEncoder : 0);

        EXPECT_EQ(back.zeissZd.focusDistance, d.zeissZd.focusDistance & 0xFFFFFFU);
        EXPECT_NEAR_STEP(zeissZd.aperture, ApertureStep(d.zeissZd.aperture));
        EXPECT_NEAR_STEP(zeissZd.horizontalFieldOfView, 0.1F);
        EXPECT_EQ(back.zeissZd.entrancePupilPosition, d.zeissZd.entrancePupilPosition);
        EXPECT_EQ(back.zeissZd.shading[0], 0.0F);           // slot 0 is always 1000
        EXPECT_EQ(back.zeissZd.radialDistortion[0], 0.0F);  // slot 0 is always 0
        for (int i = 1; i < 6; ++i) {
            EXPECT_NEAR_STEP(zeissZd.shading[i], 0.1F);
            EXPECT_NEAR_STEP(zeissZd.radialDistortion[i], 0.01F);
        }

        const bool shortRadio = d.radioControl.radioMode == 4;
        EXPECT_EQ(back.radioControl.radioValue, d.radioControl.radioValue & 0xFFFFFFU);
        EXPECT_EQ(back.radioControl.radioParamA, d.radioControl.radioParamA);
        EXPECT_EQ(back.radioControl.radioParamB, d.radioControl.radioParamB);
        EXPECT_EQ(back.radioControl.radioMode, d.radioControl.radioMode);  // 4 is also the default
        EXPECT_EQ(back.radioControl.radioParamC, shortRadio ? 0 : d.radioControl.radioParamC);
        EXPECT_EQ(back.channelId, d.channelId);
        EXPECT_NEAR_STEP(sensorWidth, 0.01F);
        EXPECT_NEAR_STEP(sensorHeight, 0.01F);
        EXPECT_EQ(back.clipWidth, d.clipWidth);
        EXPECT_EQ(back.clipHeight, d.clipHeight);
        EXPECT_EQ(back.sensorName, d.sensorName.substr(0, 56));
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(back.rawAxesEncoders[i], d.rawAxesEncoders[i] & 0xFFFFFFU);
        EXPECT_EQ(back.subjectId, d.subjectId & 0xFFFFU);
        if (HasFailure()) break;
    }
}

TEST(Property, StringRecordsRoundTripAndFillTheFrameInOrder) {
    Random r(0x537472);
    for (int iteration = 0; iteration < 3000; ++iteration) {
        SCOPED_TRACE(testing::Message() << "iteration " << iteration);
        const TD d = RandomState(r);
        std::vector<StringField> fields(std::begin(kStringFields), std::end(kStringFields));
        r.Shuffle(fields);
        std::vector<MT> types;
        for (const auto& f : fields) types.push_back(f.type);

        // Model: a string is cut to 65 bytes, an empty one left out, and a record that would
        // take the records past 253 bytes left out while the later ones are still tried.
        std::vector<std::uint8_t> expectedOrder;
        std::size_t used = 0;
        TD expected;
        for (const auto& f : fields) {
            const std::string sent = (d.*f.field).substr(0, 65);
            if (!sent.empty() && used + 2 + sent.size() <= 253) {
                used += 2 + sent.size();
                expectedOrder.push_back(static_cast<std::uint8_t>(f.type));
                expected.*f.field = sent;
            }
        }
        TD back;
        EXPECT_EQ(EncodeAndDecode(d, types, back), expectedOrder);
        for (const auto& f : fields) EXPECT_EQ(back.*f.field, expected.*f.field);
        EXPECT_EQ(back.productInfoComplete, !expected.productBrand.empty() &&
                                                !expected.productName.empty() &&
                                                !expected.productSerial.empty());
        EXPECT_EQ(back.lensInfoComplete, !expected.lensManufacturer.empty() &&
                                             !expected.lensName.empty() &&
                                             !expected.lensSerial.empty());
        EXPECT_EQ(back.clipNameReceived, !expected.clipName.empty());
        if (HasFailure()) break;
    }
}

}  // namespace
