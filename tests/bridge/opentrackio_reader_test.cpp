// OpenTrackIO samples read into Kor records: the published examples, transform chains
// against hand-computed poses, Kor's limits, the writer's samples read back, and payloads
// that are not samples.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include <kor/device.h>

#include "opentrackio.h"
#include "opentrackio_pose.h"
#include "opentrackio_reader.h"

namespace {

using namespace Kor::Bridge;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Types = std::vector<MessageType>;

const std::string kExamples = KOR_OPENTRACKIO_DIR;

// An example sample, or nothing (and the test is skipped) when the folder is missing.
std::optional<json> Example(const std::string& name) {
    std::ifstream file(kExamples + "/" + name);
    if (!file) {
        return std::nullopt;
    }
    return json::parse(file);
}

#define EXAMPLE_OR_SKIP(variable, name)                                          \
    const auto variable = Example(name);                                         \
    if (!variable) {                                                             \
        GTEST_SKIP() << "the OpenTrackIO examples are not in " << kExamples;     \
    }

KorFromOpenTrack Read(const json& sample) {
    const OpenTrackRead read = KorFromOpenTrackSample(sample);
    EXPECT_TRUE(read.sample) << read.error;
    return read.sample.value_or(KorFromOpenTrack{});
}

bool Has(const KorFromOpenTrack& k, MessageType type) {
    return std::find(k.types.begin(), k.types.end(), type) != k.types.end();
}

// What a Kor receiver holds after the frame of a sample.
TelemetryData Received(const KorFromOpenTrack& k) {
    Kor::Protocol::Device device;
    const auto status = device.Update(k.data.Encode(Kor::Protocol::TransmissionType::UDP, k.types));
    EXPECT_LE(status, Kor::Protocol::FrameStatus::SameTimecode);
    return *device.GetCurrentState();
}

double Hundredths(float value) {
    return std::round(value * 100.0);
}

TEST(OpenTrackReader, RecommendedDynamicExample) {
    EXAMPLE_OR_SKIP(sample, "recommended_dynamic_example.json");
    const KorFromOpenTrack k = Read(*sample);
    EXPECT_EQ(k.types, (Types{MessageType::Timecode, MessageType::ProjectFps,
                              MessageType::PositionalData, MessageType::AxesData,
                              MessageType::BasicLens, MessageType::RawLensEncoderWithMask}));
    const TelemetryData s = Received(k);
    // 01:02:03:04 at 24000/1001, not recording.
    EXPECT_EQ(s.timecodeHours, 1);
    EXPECT_EQ(s.timecodeMinutes, 2);
    EXPECT_EQ(s.timecodeSeconds, 3);
    EXPECT_EQ(s.timecodeFrames, 4);
    EXPECT_FALSE(s.recordFlag);
    EXPECT_EQ(s.projectFps, 1);
    // Translation 1, 2, 3 m; pan 180, tilt 90, roll 45 as they are (one transform).
    EXPECT_EQ(s.positionX, 1000.0F);
    EXPECT_EQ(s.positionY, 2000.0F);
    EXPECT_EQ(s.positionZ, 3000.0F);
    EXPECT_EQ(s.yaw, 180.0F);
    EXPECT_EQ(s.pitch, 90.0F);
    EXPECT_EQ(s.roll, 45.0F);
    EXPECT_TRUE(s.positionXValid && s.yawValid && s.pitchValid && s.rollValid);
    // Focus 10 m; focal length 24.305 mm to Kor's hundredths; no T-stop, f-stop 4.
    EXPECT_EQ(s.focus, 10000U);
    EXPECT_NEAR(s.zoom, 24.305, 0.0051);
    EXPECT_FLOAT_EQ(s.iris, 4.0F);
    // Encoders 0.1, 0.2, 0.3: focus counted from the other end, (1 - 0.1) x 65535 = 58981.5,
    // iris 13107, zoom 19660.5 (the halves go either way with the binary fractions).
    EXPECT_NEAR(s.rawFocusEncoder, 58981.5, 0.5);
    EXPECT_EQ(s.rawIrisEncoder, 13107);
    EXPECT_NEAR(s.rawZoomEncoder, 19660.5, 0.5);
    EXPECT_TRUE(s.rawFocusEncoderValid && s.rawIrisEncoderValid && s.rawZoomEncoderValid);
    EXPECT_EQ(k.sourceNumber, 1U);
}

// Three transforms, each at (1, 2, 3) m with pan 180, tilt 90, roll 45, the second and third
// scaled (1, 2, 3). With k = sqrt(1/2), R = Rz(180) Rx(90) Ry(45) = [[-k, 0, -k], [-k, 0, k],
// [0, 1, 0]], so R t = (-4k, 2k, 2) and R^2 = [[1/2, -k, 1/2], [1/2, k, 1/2], [-k, 0, k]].
// Position = t + R t + R^2 S t with S t = (1, 4, 9): (6 - 8k, 7 + 6k, 5 + 8k) m. Orientation
// R^3 = [[.., 1/2, ..], [.., 1/2, ..], [1/2, k, 1/2]]: tilt = asin(k) = 45, pan =
// atan2(-1/2, 1/2) = -45, roll = atan2(-1/2, 1/2) = -45.
TEST(OpenTrackReader, CompleteDynamicExample) {
    EXAMPLE_OR_SKIP(sample, "complete_dynamic_example.json");
    const KorFromOpenTrack k = Read(*sample);
    const TelemetryData s = Received(k);
    const double half = std::sqrt(0.5);
    EXPECT_EQ(Hundredths(s.positionX), std::round((6 - 8 * half) * 100000));
    EXPECT_EQ(Hundredths(s.positionY), std::round((7 + 6 * half) * 100000));
    EXPECT_EQ(Hundredths(s.positionZ), std::round((5 + 8 * half) * 100000));
    EXPECT_FLOAT_EQ(s.yaw, -45.0F);
    EXPECT_FLOAT_EQ(s.pitch, 45.0F);
    EXPECT_FLOAT_EQ(s.roll, -45.0F);
    // The time stamp; the T-stop 4.1 rather than the f-stop 4; the normalised encoders rather
    // than the raw counts (1000, 2000, 3000).
    EXPECT_TRUE(Has(k, MessageType::PtpTimestamp));
    EXPECT_EQ(s.ptpSeconds, 1718806554U);
    EXPECT_EQ(s.ptpNanoseconds, 500000000U);
    EXPECT_FLOAT_EQ(s.iris, 4.1F);
    EXPECT_EQ(s.rawIrisEncoder, 13107);
    EXPECT_EQ(s.projectFps, 1);
}

TEST(OpenTrackReader, RecommendedStaticExample) {
    EXAMPLE_OR_SKIP(sample, "recommended_static_example.json");
    const KorFromOpenTrack k = Read(*sample);
    for (const MessageType type : {MessageType::SensorSize, MessageType::LensManufacturer,
                                   MessageType::LensName}) {
        EXPECT_TRUE(Has(k, type)) << static_cast<int>(type);
    }
    // No camera make, model or serial; no lens serial.
    for (const MessageType type : {MessageType::ProductBrand, MessageType::ProductName,
                                   MessageType::ProductSerial, MessageType::LensSerial}) {
        EXPECT_FALSE(Has(k, type)) << static_cast<int>(type);
    }
    const TelemetryData s = Received(k);
    EXPECT_FLOAT_EQ(s.sensorWidth, 36.0F);
    EXPECT_FLOAT_EQ(s.sensorHeight, 24.0F);
    EXPECT_EQ(s.clipWidth, 0);
    EXPECT_EQ(s.lensManufacturer, "LensMaker");
    EXPECT_EQ(s.lensName, "Model15");
}

json Chain(std::vector<json> transforms) {
    return json{{"transforms", transforms}};
}

json Placed(std::vector<double> translation, std::vector<double> rotation,
            std::vector<double> scale = {1, 1, 1}) {
    return {{"translation", {{"x", translation[0]}, {"y", translation[1]}, {"z", translation[2]}}},
            {"rotation", {{"pan", rotation[0]}, {"tilt", rotation[1]}, {"roll", rotation[2]}}},
            {"scale", {{"x", scale[0]}, {"y", scale[1]}, {"z", scale[2]}}}};
}

// Two transforms, poses worked out by hand.
TEST(OpenTrackReader, TwoTransformChains) {
    struct Case {
        json first;
        json second;
        double x, y, z;  // mm
        double pan, tilt, roll;
    };
    const Case cases[] = {
        // Pan 90 turns the second translation (0, 1, 0.5) to (-1, 0, 0.5): from (1, 2, 0)
        // to (0, 2, 0.5); then tilt 30 in the turned frame.
        {Placed({1, 2, 0}, {90, 0, 0}), Placed({0, 1, 0.5}, {0, 30, 0}), 0, 2000, 500, 90, 30, 0},
        // Pan 30 first, tilt 20 after it: pan 30, tilt 20 (tilting first and panning in the
        // tilted frame would give a tilt of asin(sin 20 cos 30) = 17.23).
        {Placed({0, 0, 0}, {30, 0, 0}), Placed({0, 0, 0}, {0, 20, 0}), 0, 0, 0, 30, 20, 0},
        // Roll 90 about Y, then tilt 90 about the rolled X: Ry(90) Rx(90) = [[0, 1, 0],
        // [0, 0, -1], [-1, 0, 0]]: tilt asin(0) = 0, pan atan2(-1, 0) = -90, roll
        // atan2(1, 0) = 90. The camera looks along +X (the matrix's second column).
        {Placed({0, 0, 0}, {0, 0, 90}), Placed({0, 0, 0}, {0, 90, 0}), 0, 0, 0, -90, 0, 90},
        // A scale of 2 stretches the next translation (0.5, 0, 0) to (1, 0, 0), turned by pan
        // 90 to (0, 1, 0), from (1, 0, 0): (1, 1, 0). The last transform's own scale moves
        // nothing.
        {Placed({1, 0, 0}, {90, 0, 0}, {2, 2, 2}), Placed({0.5, 0, 0}, {0, 0, 0}, {5, 5, 5}),
         1000, 1000, 0, 90, 0, 0},
    };
    for (const Case& c : cases) {
        const TelemetryData s = Received(Read(Chain({c.first, c.second})));
        EXPECT_NEAR(s.positionX, c.x, 0.006) << c.first.dump() << c.second.dump();
        EXPECT_NEAR(s.positionY, c.y, 0.006) << c.first.dump() << c.second.dump();
        EXPECT_NEAR(s.positionZ, c.z, 0.006) << c.first.dump() << c.second.dump();
        EXPECT_NEAR(s.yaw, c.pan, 0.006) << c.first.dump() << c.second.dump();
        EXPECT_NEAR(s.pitch, c.tilt, 0.006) << c.first.dump() << c.second.dump();
        EXPECT_NEAR(s.roll, c.roll, 0.006) << c.first.dump() << c.second.dump();
    }
}

// Where only pan + roll is defined (tilt 90), the chain's pan carries it and roll is 0.
TEST(OpenTrackReader, ChainLookingStraightUp) {
    const Transform chain[] = {{{0, 0, 0}, {10, 0, 0}, {1, 1, 1}}, {{0, 0, 0}, {20, 90, 30}, {1, 1, 1}}};
    const Pose pose = ComposeTransforms(chain);
    EXPECT_NEAR(pose.tilt, 90.0, 1e-6);
    EXPECT_NEAR(pose.pan, 60.0, 1e-6);
    EXPECT_EQ(pose.roll, 0.0);
}

TEST(OpenTrackReader, KorLimits) {
    const json sample = {
        {"lens", {{"focusDistance", 1e9}, {"pinholeFocalLength", 1e9}, {"tStop", 1e6}}},
        {"transforms", {Placed({1e6, -1e6, 0.0123456}, {400, -725, 180})}}};
    const TelemetryData s = Received(Read(sample));
    EXPECT_EQ(s.focus, 0xFFFFFFU);
    EXPECT_FLOAT_EQ(s.zoom, 167772.15F);
    EXPECT_FLOAT_EQ(s.iris, 655.35F);
    EXPECT_GE(s.positionX, 21474800.0F);
    EXPECT_LE(s.positionY, -21474800.0F);
    EXPECT_FLOAT_EQ(s.positionZ, 12.35F);
    // Whole turns off: 400 -> 40, -725 -> -5.
    EXPECT_FLOAT_EQ(s.yaw, 40.0F);
    EXPECT_FLOAT_EQ(s.pitch, -5.0F);
    EXPECT_FLOAT_EQ(s.roll, 180.0F);

    // A focus under half a millimetre and a focal length under 0.005 mm are Kor's "not
    // available": with nothing else, no BasicLens at all.
    EXPECT_TRUE(Read({{"lens", {{"focusDistance", 0.0004}, {"pinholeFocalLength", 0.004}}}}).types.empty());
    // A zero or negative focus breaks the schema; only the focal length goes.
    const KorFromOpenTrack lens = Read({{"lens", {{"focusDistance", -1}, {"pinholeFocalLength", 35}}}});
    const TelemetryData l = Received(lens);
    EXPECT_FALSE(l.focusValid);
    EXPECT_TRUE(l.zoomValid);
    EXPECT_FLOAT_EQ(l.zoom, 35.0F);
}

TEST(OpenTrackReader, EncodersAndTime) {
    // Normalised values outside 0..1 are refused; the raw count stands in when it fits.
    const KorFromOpenTrack k = Read({{"lens", {{"encoders", {{"focus", 1.5}, {"zoom", 0.0}}},
                                               {"rawEncoders", {{"focus", 1000}, {"iris", 70000}}}}}});
    const TelemetryData s = Received(k);
    EXPECT_EQ(s.rawFocusEncoder, 1000);
    EXPECT_TRUE(s.rawZoomEncoderValid);
    EXPECT_EQ(s.rawZoomEncoder, 0);
    EXPECT_FALSE(s.rawIrisEncoderValid);

    const auto timecode = [](int frames, json rate, std::optional<bool> dropFrame = {}) {
        json tc = {{"hours", 10}, {"minutes", 1}, {"seconds", 0}, {"frames", frames}, {"frameRate", rate}};
        if (dropFrame) {
            tc["dropFrame"] = *dropFrame;
        }
        return Read({{"timing", {{"timecode", tc}}}, {"tracker", {{"recording", true}}}});
    };
    const json r24 = {{"num", 24}, {"denom", 1}};
    const json r2997 = {{"num", 30000}, {"denom", 1001}};
    EXPECT_EQ(timecode(23, r24).types, (Types{MessageType::Timecode, MessageType::ProjectFps}));
    EXPECT_TRUE(Received(timecode(23, r24)).recordFlag);
    // Frame 29 does not exist at 24 fps: the label is left out, the rate kept.
    EXPECT_EQ(timecode(29, r24).types, (Types{MessageType::ProjectFps}));
    // 10:01:00;00 is dropped at 29.97; ;02 exists.
    EXPECT_EQ(timecode(0, r2997).types, (Types{MessageType::ProjectFps}));
    EXPECT_EQ(timecode(2, r2997, true).types, (Types{MessageType::Timecode, MessageType::ProjectFps}));
    EXPECT_EQ(Received(timecode(2, r2997)).projectFps, 4);
    // 29.97 non-drop has no Kor code; 60 fps neither, but its labels travel.
    EXPECT_EQ(timecode(0, r2997, false).types, (Types{MessageType::Timecode}));
    EXPECT_EQ(timecode(59, {{"num", 60}, {"denom", 1}}).types, (Types{MessageType::Timecode}));
    // Frame 80 and up do not fit Kor's two digits.
    EXPECT_TRUE(timecode(80, {{"num", 120}, {"denom", 1}}).types.empty());

    // The capture frame rate stands in for a missing timecode.
    EXPECT_EQ(Received(Read({{"static", {{"camera", {{"captureFrameRate", {{"num", 25}, {"denom", 1}}}}}}}})).projectFps, 3);

    const auto stamp = [](json ns) {
        return Read({{"timing", {{"sampleTimestamp", {{"seconds", 281474976710655ULL}, {"nanoseconds", ns}}}}}});
    };
    EXPECT_EQ(Received(stamp(999999999)).ptpSeconds, 281474976710655ULL);
    EXPECT_TRUE(stamp(1000000000).types.empty());
}

TEST(OpenTrackReader, Strings) {
    std::string accents;
    for (int i = 0; i < 40; ++i) {
        accents += "\xC3\xA9";  // two bytes each
    }
    const KorFromOpenTrack k = Read({{"static", {{"camera", {{"make", accents}, {"model", ""}, {"serialNumber", 42}}},
                                                 {"lens", {{"serialNumber", "L-7"}}}}}});
    EXPECT_EQ(k.types, (Types{MessageType::ProductBrand, MessageType::LensSerial}));
    // 65 bytes would end inside a character: 64 bytes, 32 characters.
    EXPECT_EQ(k.data.productBrand, accents.substr(0, 64));
    EXPECT_EQ(Received(k).lensSerial, "L-7");
}

// A Kor state through the bridge's writer and back: every value the mapping carries returns.
TEST(OpenTrackReader, WriterSamplesReadBack) {
    TelemetryData state;
    state.timecodeHours = 23;
    state.timecodeMinutes = 59;
    state.timecodeSeconds = 58;
    state.timecodeFrames = 28;
    state.recordFlag = true;
    state.projectFps = 4;
    state.ptpSeconds = 1718806554;
    state.ptpNanoseconds = 123456789;
    state.focus = 2345;
    state.zoom = 35.57F;
    state.iris = 2.8F;
    state.focusValid = state.zoomValid = state.irisValid = true;
    state.rawFocusEncoder = 1234;
    state.rawIrisEncoder = 65535;
    state.rawFocusEncoderValid = state.rawIrisEncoderValid = true;
    state.positionX = 1234.56F;
    state.positionY = -0.01F;
    state.positionZ = 1700.0F;
    state.yaw = -179.99F;
    state.pitch = 12.34F;
    state.roll = -0.5F;
    state.positionXValid = state.positionYValid = state.positionZValid = true;
    state.yawValid = state.pitchValid = state.rollValid = true;
    state.productBrand = "Kor";
    state.productName = "Cam One";
    state.productSerial = "A123";
    state.lensManufacturer = "Glass";
    state.lensName = "Prime 50";
    state.lensSerial = "L-1";
    state.minFocalLength = state.maxFocalLength = 50.0F;
    state.minFocalLengthValid = state.maxFocalLengthValid = true;
    state.sensorWidth = 36.7F;
    state.sensorHeight = 25.54F;
    state.clipWidth = 4448;
    state.clipHeight = 3096;
    SeenTypes seen;
    for (int type = 0; type <= 27; ++type) {
        seen.Add(static_cast<MessageType>(type));
    }
    SampleHeader header;
    header.sourceId = "urn:uuid:00000000-0000-5000-8000-000000000000";
    header.sampleId = header.sourceId;
    header.sourceNumber = 7;

    for (const OtrkEncoding encoding : {OtrkEncoding::Json, OtrkEncoding::Cbor}) {
        const Bytes payload = SamplePayload(state, seen, seen, header, encoding);
        const OpenTrackRead read = ReadOpenTrackPayload(payload, static_cast<std::uint8_t>(encoding));
        ASSERT_TRUE(read.sample) << read.error;
        EXPECT_EQ(read.sample->sourceNumber, 7U);
        const TelemetryData s = Received(*read.sample);
        EXPECT_EQ(std::tie(s.timecodeHours, s.timecodeMinutes, s.timecodeSeconds, s.timecodeFrames,
                           s.recordFlag, s.projectFps),
                  std::tie(state.timecodeHours, state.timecodeMinutes, state.timecodeSeconds,
                           state.timecodeFrames, state.recordFlag, state.projectFps));
        EXPECT_EQ(s.ptpSeconds, state.ptpSeconds);
        EXPECT_EQ(s.ptpNanoseconds, state.ptpNanoseconds);
        EXPECT_EQ(s.focus, state.focus);
        for (const auto& [got, sent] : {std::pair{s.zoom, state.zoom}, {s.iris, state.iris},
                                        {s.positionX, state.positionX}, {s.positionY, state.positionY},
                                        {s.positionZ, state.positionZ}, {s.yaw, state.yaw},
                                        {s.pitch, state.pitch}, {s.roll, state.roll},
                                        {s.minFocalLength, state.minFocalLength},
                                        {s.maxFocalLength, state.maxFocalLength},
                                        {s.sensorWidth, state.sensorWidth},
                                        {s.sensorHeight, state.sensorHeight}}) {
            EXPECT_EQ(Hundredths(got), Hundredths(sent)) << got << " " << sent;
        }
        EXPECT_EQ(s.rawFocusEncoder, state.rawFocusEncoder);
        EXPECT_EQ(s.rawIrisEncoder, state.rawIrisEncoder);
        EXPECT_FALSE(s.rawZoomEncoderValid);
        EXPECT_EQ(std::tie(s.clipWidth, s.clipHeight), std::tie(state.clipWidth, state.clipHeight));
        EXPECT_EQ(std::tie(s.productBrand, s.productName, s.productSerial, s.lensManufacturer,
                           s.lensName, s.lensSerial),
                  std::tie(state.productBrand, state.productName, state.productSerial,
                           state.lensManufacturer, state.lensName, state.lensSerial));
    }
}

TEST(OpenTrackReader, PayloadsThatAreNotSamples) {
    const auto error = [](const std::string& bytes, std::uint8_t encoding) {
        const OpenTrackRead read = ReadOpenTrackPayload(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), encoding);
        EXPECT_FALSE(read.sample);
        return read.error;
    };
    EXPECT_EQ(error("{\"sourceNumber\": 1", 1).rfind("not JSON: ", 0), 0U);
    EXPECT_EQ(error("\xA1\x61", 2).rfind("not CBOR: ", 0), 0U);
    EXPECT_EQ(error("[1, 2]", 1), "the sample is not an object");
    EXPECT_EQ(error("{}", 3), "payload encoding 0x03 is neither JSON (0x01) nor CBOR (0x02)");
    // Deep nesting: CBOR is refused before it is read; JSON is read without recursion.
    EXPECT_EQ(error(std::string(200000, '\x81') + '\x00', 2), "CBOR nested deeper than 64 levels");
    EXPECT_EQ(error(std::string(63, '\x81') + '\x00', 2), "the sample is not an object");
    EXPECT_EQ(error(std::string(200000, '[') + std::string(200000, ']'), 1),
              "the sample is not an object");
    // Values of the wrong kind are left out, the rest is read.
    const KorFromOpenTrack k = Read({{"lens", {{"focusDistance", "10"}, {"tStop", 2.8}}},
                                     {"transforms", {{{"translation", {{"x", "1"}}}, {"rotation", json::object()}}}},
                                     {"sourceNumber", -1}});
    EXPECT_EQ(k.types, (Types{MessageType::BasicLens}));
    EXPECT_FALSE(k.sourceNumber);
}

TEST(OpenTrackReader, CborNesting) {
    // Maps, indefinite arrays and tags each count as a level; strings and numbers do not.
    const Bytes mapInArray = {0x81, 0xA1, 0x61, 'a', 0x9F, 0xC1, 0x01, 0xFF};  // [{"a": [_ 1(1)]}]
    EXPECT_TRUE(CborNestingWithin(mapInArray, 4));
    EXPECT_FALSE(CborNestingWithin(mapInArray, 3));
    // Siblings do not add up: [[1], [2], [3]] is two deep.
    const Bytes siblings = {0x83, 0x81, 0x01, 0x81, 0x02, 0x81, 0x03};
    EXPECT_TRUE(CborNestingWithin(siblings, 2));
    EXPECT_FALSE(CborNestingWithin(siblings, 1));
    // A byte string's contents are skipped, however they look.
    const Bytes bytes = {0x81, 0x45, 0x81, 0x81, 0x81, 0x81, 0x81};
    EXPECT_TRUE(CborNestingWithin(bytes, 1));
    // Cut short and malformed input is left to the reader.
    EXPECT_TRUE(CborNestingWithin(Bytes{0x9A, 0xFF}, 1));
    EXPECT_TRUE(CborNestingWithin(Bytes{0x5F, 0xFF, 0xFF}, 1));
}

}  // namespace
