// The OpenTrackIO sample of a Kor state: each mapped field with its unit against hand-computed
// values, frame rates as rationals, fields left out when not available, identities, CBOR, and
// every sample of these tests validated against the published schema.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "opentrackio.h"
#include "sample_writer.h"
#include "lens_distortion.h"
#include "opentrackio_identity.h"
#include "schema_check.h"
#include "uuid.h"

namespace {

using namespace Kor::Bridge;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using nlohmann::ordered_json;
using Pointer = ordered_json::json_pointer;

const SampleHeader kHeader{"urn:uuid:00000000-0000-5000-8000-000000000001",
                           "urn:uuid:00000000-0000-4000-8000-000000000002", 7, 41, "", nullptr};

// Every record type that carries a mapped field has arrived.
SeenTypes AllSeen() {
    SeenTypes seen;
    for (int type = 0; type <= 27; ++type) {
        seen.Add(static_cast<MessageType>(type));
    }
    return seen;
}

// A state with every mapped field available.
TelemetryData Full() {
    TelemetryData s;
    s.timecodeHours = 1;
    s.timecodeMinutes = 2;
    s.timecodeSeconds = 3;
    s.timecodeFrames = 4;
    s.recordFlag = true;
    s.projectFps = 4;
    s.ptpSeconds = 1'700'000'000;
    s.ptpNanoseconds = 123'456'789;
    s.focus = 1500;
    s.zoom = 35.5F;
    s.iris = 2.8F;
    s.focusValid = s.zoomValid = s.irisValid = true;
    s.rawFocusEncoder = 0;
    s.rawZoomEncoder = 16384;
    s.rawIrisEncoder = 65535;
    s.rawFocusEncoderValid = s.rawZoomEncoderValid = s.rawIrisEncoderValid = true;
    s.positionX = 1234.56F;
    s.positionY = -250.0F;
    s.positionZ = 0.01F;
    s.positionXValid = s.positionYValid = s.positionZValid = true;
    s.yaw = 90.5F;
    s.pitch = -12.34F;
    s.roll = 0.0F;
    s.yawValid = s.pitchValid = s.rollValid = true;
    s.productBrand = "Kor";
    s.productName = "Cam One";
    s.productSerial = "SN-42";
    s.lensManufacturer = "LensCo";
    s.lensName = "Prime 50";
    s.lensSerial = "L-7";
    s.sensorWidth = 36.0F;
    s.sensorHeight = 24.0F;
    s.clipWidth = 4096;
    s.clipHeight = 2160;
    s.minFocalLength = s.maxFocalLength = 50.0F;
    s.minFocalLengthValid = s.maxFocalLengthValid = true;
    return s;
}

// Every type but the given ones.
SeenTypes AllBut(std::initializer_list<MessageType> left) {
    SeenTypes seen;
    for (int type = 0; type <= 27; ++type) {
        if (std::find(left.begin(), left.end(), static_cast<MessageType>(type)) == left.end()) {
            seen.Add(static_cast<MessageType>(type));
        }
    }
    return seen;
}

// The sample of a frame of the record types `frame`, every type having arrived before.
ordered_json Sample(const TelemetryData& s, const SeenTypes& frame = AllSeen(),
                    const SeenTypes& seen = AllSeen()) {
    return OpenTrackSample(s, seen, frame, kHeader);
}

TEST(OpenTrackSample, EveryMappedFieldInItsUnit) {
    const ordered_json j = Sample(Full());
    struct Number {
        const char* pointer;
        double value;
    };
    for (const Number& n : {
             Number{"/timing/sampleTimestamp/seconds", 1'700'000'000},
             Number{"/timing/sampleTimestamp/nanoseconds", 123'456'789},
             Number{"/timing/sequenceNumber", 41},
             Number{"/timing/timecode/hours", 1},
             Number{"/timing/timecode/minutes", 2},
             Number{"/timing/timecode/seconds", 3},
             Number{"/timing/timecode/frames", 4},
             Number{"/timing/timecode/frameRate/num", 30000},
             Number{"/timing/timecode/frameRate/denom", 1001},
             Number{"/timing/sampleRate/num", 30000},
             Number{"/lens/focusDistance", 1.5},         // 1500 mm
             Number{"/lens/pinholeFocalLength", 35.5},   // mm
             Number{"/lens/tStop", 2.8},
             Number{"/lens/encoders/focus", 1.0},        // count 0 = closest
             Number{"/lens/encoders/zoom", 16384 / 65535.0},
             Number{"/lens/encoders/iris", 1.0},
             Number{"/lens/rawEncoders/zoom", 16384},
             Number{"/transforms/0/translation/x", 1.23456},  // 1234.56 mm
             Number{"/transforms/0/translation/y", -0.25},
             Number{"/transforms/0/translation/z", 0.00001},
             Number{"/transforms/0/rotation/pan", 90.5},  // yaw
             Number{"/transforms/0/rotation/tilt", -12.34},  // pitch
             Number{"/transforms/0/rotation/roll", 0.0},
             Number{"/static/camera/activeSensorPhysicalDimensions/width", 36.0},
             Number{"/static/camera/activeSensorResolution/height", 2160},
             Number{"/static/camera/captureFrameRate/denom", 1001},
             Number{"/static/lens/nominalFocalLength", 50.0},
             Number{"/sourceNumber", 7},
         }) {
        ASSERT_TRUE(j.contains(Pointer(n.pointer))) << n.pointer;
        // Written as the short decimal: exactly the double nearest to it.
        EXPECT_EQ(j.at(Pointer(n.pointer)).get<double>(), n.value) << n.pointer;
    }
    EXPECT_EQ(j["timing"]["mode"], "internal");
    EXPECT_EQ(j["timing"]["timecode"]["dropFrame"], true) << "29.97 is counted drop-frame";
    EXPECT_EQ(j["static"]["camera"]["label"], "Cam One SN-42");
    EXPECT_EQ(j["tracker"]["recording"], true);
    EXPECT_EQ(j["transforms"][0]["id"], "Camera");
    EXPECT_EQ(j["static"]["camera"]["make"], "Kor");
    EXPECT_EQ(j["static"]["camera"]["model"], "Cam One");
    EXPECT_EQ(j["static"]["camera"]["serialNumber"], "SN-42");
    EXPECT_EQ(j["static"]["lens"]["make"], "LensCo");
    EXPECT_EQ(j["static"]["lens"]["model"], "Prime 50");
    EXPECT_EQ(j["static"]["lens"]["serialNumber"], "L-7");
    EXPECT_EQ(j["protocol"], (ordered_json{{"name", "OpenTrackIO"}, {"version", {1, 0, 1}}}));
    EXPECT_EQ(j["sampleId"], kHeader.sampleId);
    EXPECT_EQ(j["sourceId"], kHeader.sourceId);

    // Encoder directions: focus counts from closest (OpenTrackIO: 1) to infinity (0); zoom
    // and iris count from wide and open, as OpenTrackIO does.
    TelemetryData ends = Full();
    ends.rawFocusEncoder = 65535;
    ends.rawZoomEncoder = 0;
    ends.rawIrisEncoder = 0;
    const ordered_json e = Sample(ends)["lens"]["encoders"];
    EXPECT_EQ(e, (ordered_json{{"focus", 0.0}, {"iris", 0.0}, {"zoom", 0.0}}));
}

TEST(OpenTrackSample, FrameRatesAsRationals) {
    struct Case {
        std::uint8_t code;
        std::uint32_t num;
        std::uint32_t denom;
    };
    for (const Case& c : {Case{1, 24000, 1001}, Case{2, 24, 1}, Case{3, 25, 1},
                          Case{4, 30000, 1001}, Case{5, 30, 1}}) {
        TelemetryData s = Full();
        s.projectFps = c.code;
        const ordered_json j = Sample(s);
        const ordered_json rate{{"num", c.num}, {"denom", c.denom}};
        EXPECT_EQ(j["timing"]["timecode"]["frameRate"], rate) << int{c.code};
        EXPECT_EQ(j["timing"]["sampleRate"], rate) << int{c.code};
    }
    // No project frame rate: no rate, and no timecode, whose frame rate is required.
    for (const int value : {0, 6, 255}) {
        const auto code = static_cast<std::uint8_t>(value);
        TelemetryData s = Full();
        s.projectFps = code;
        const ordered_json j = Sample(s);
        EXPECT_FALSE(j["timing"].contains("timecode")) << int{code};
        EXPECT_FALSE(j["timing"].contains("sampleRate")) << int{code};
        EXPECT_FALSE(FrameRateOf(code));
    }
}

// One change to the full state each, and the fields it must take out of the sample (and only
// those of the listed ones).
struct Absence {
    const char* name;
    std::function<void(TelemetryData&, SeenTypes&)> change;
    std::vector<const char*> gone;
};

std::vector<Absence> Absences() {
    return {
        {"focus", [](TelemetryData& s, SeenTypes&) { s.focusValid = false; },
         {"/lens/focusDistance"}},
        {"zoom", [](TelemetryData& s, SeenTypes&) { s.zoomValid = false; },
         {"/lens/pinholeFocalLength"}},
        {"iris", [](TelemetryData& s, SeenTypes&) { s.irisValid = false; }, {"/lens/tStop"}},
        {"raw focus", [](TelemetryData& s, SeenTypes&) { s.rawFocusEncoderValid = false; },
         {"/lens/encoders/focus", "/lens/rawEncoders/focus"}},
        {"raw encoders",
         [](TelemetryData& s, SeenTypes&) {
             s.rawFocusEncoderValid = s.rawZoomEncoderValid = s.rawIrisEncoderValid = false;
         },
         {"/lens/encoders", "/lens/rawEncoders"}},
        {"lens",
         [](TelemetryData& s, SeenTypes&) {
             s = Full();
             s.focusValid = s.zoomValid = s.irisValid = false;
             s.rawFocusEncoderValid = s.rawZoomEncoderValid = s.rawIrisEncoderValid = false;
         },
         {"/lens/encoders", "/lens/rawEncoders", "/lens/focusDistance", "/lens/pinholeFocalLength",
          "/lens/tStop"}},
        {"position y", [](TelemetryData& s, SeenTypes&) { s.positionYValid = false; },
         {"/transforms/0/translation/y"}},
        {"pitch", [](TelemetryData& s, SeenTypes&) { s.pitchValid = false; },
         {"/transforms/0/rotation/tilt"}},
        {"pose",
         [](TelemetryData& s, SeenTypes&) {
             s.positionXValid = s.positionYValid = s.positionZValid = false;
             s.yawValid = s.pitchValid = s.rollValid = false;
         },
         {"/transforms"}},
        {"a frame of no records", [](TelemetryData&, SeenTypes& frame) { frame = SeenTypes(); },
         {"/timing/timecode", "/tracker", "/timing/sampleTimestamp", "/timing/mode",
          "/lens/encoders", "/lens/focusDistance", "/transforms"}},
        {"a frame without PtpTimestamp",
         [](TelemetryData&, SeenTypes& frame) { frame = AllBut({MessageType::PtpTimestamp}); },
         {"/timing/sampleTimestamp", "/timing/mode"}},
        {"a frame without Timecode",
         [](TelemetryData&, SeenTypes& frame) { frame = AllBut({MessageType::Timecode}); },
         {"/timing/timecode", "/tracker"}},
        {"a frame without BasicLens",
         [](TelemetryData&, SeenTypes& frame) { frame = AllBut({MessageType::BasicLens}); },
         {"/lens/focusDistance", "/lens/pinholeFocalLength", "/lens/tStop"}},
        {"a frame without RawLensEncoderWithMask",
         [](TelemetryData&, SeenTypes& frame) {
             frame = AllBut({MessageType::RawLensEncoderWithMask});
         },
         {"/lens/encoders", "/lens/rawEncoders"}},
        {"a frame without PositionalData",
         [](TelemetryData&, SeenTypes& frame) { frame = AllBut({MessageType::PositionalData}); },
         {"/transforms/0/translation/x", "/transforms/0/translation/y",
          "/transforms/0/translation/z"}},
        {"a frame without AxesData",
         [](TelemetryData&, SeenTypes& frame) { frame = AllBut({MessageType::AxesData}); },
         {"/transforms/0/rotation/pan", "/transforms/0/rotation/tilt",
          "/transforms/0/rotation/roll"}},
        {"bad timecode", [](TelemetryData& s, SeenTypes&) { s.timecodeMinutes = 60; },
         {"/timing/timecode"}},
        {"frames over 119", [](TelemetryData& s, SeenTypes&) { s.timecodeFrames = 120; },
         {"/timing/timecode"}},
        {"a frame number past the rate's count",
         [](TelemetryData& s, SeenTypes&) {
             s.projectFps = 2;  // 24 fps: frames 0 to 23
             s.timecodeFrames = 29;
         },
         {"/timing/timecode"}},
        {"a label drop-frame skips",
         [](TelemetryData& s, SeenTypes&) {
             s.timecodeMinutes = 1;
             s.timecodeSeconds = 0;
             s.timecodeFrames = 1;
         },
         {"/timing/timecode"}},
        {"nanoseconds out of range",
         [](TelemetryData& s, SeenTypes&) { s.ptpNanoseconds = 1'000'000'000; },
         {"/timing/sampleTimestamp", "/timing/mode"}},
        {"strings",
         [](TelemetryData& s, SeenTypes&) {
             s.productBrand.clear();
             s.productName = "   ";
             s.lensSerial = "\t";
         },
         {"/static/camera/make", "/static/camera/model", "/static/lens/serialNumber"}},
        {"zoom lens", [](TelemetryData& s, SeenTypes&) { s.maxFocalLength = 120.0F; },
         {"/static/lens/nominalFocalLength"}},
        {"zero values",
         [](TelemetryData& s, SeenTypes&) {
             s.zoom = 0.001F;  // rounds to 0 mm, which the schema does not take
             s.iris = 0.0F;
             s.focus = 0;
         },
         {"/lens/pinholeFocalLength", "/lens/tStop", "/lens/focusDistance"}},
        {"not a number",
         [](TelemetryData& s, SeenTypes&) {
             s.positionX = std::numeric_limits<float>::quiet_NaN();
             s.yaw = std::numeric_limits<float>::infinity();
             s.zoom = std::numeric_limits<float>::quiet_NaN();
         },
         {"/transforms/0/translation/x", "/transforms/0/rotation/pan",
          "/lens/pinholeFocalLength"}},
    };
}

TEST(OpenTrackSample, NotAvailableFieldsAreLeftOut) {
    const ordered_json full = Sample(Full());
    for (const Absence& a : Absences()) {
        TelemetryData s = Full();
        SeenTypes frame = AllSeen();
        a.change(s, frame);
        const ordered_json j = Sample(s, frame);
        for (const char* pointer : a.gone) {
            ASSERT_TRUE(full.contains(Pointer(pointer))) << a.name << ": " << pointer;
            EXPECT_FALSE(j.contains(Pointer(pointer))) << a.name << ": " << pointer;
        }
        // Never a zero standing in for a missing value.
        EXPECT_EQ(j.dump().find("null"), std::string::npos) << a.name;
    }
    // A state that has nothing: only what the sample says about itself.
    const ordered_json empty = Sample(TelemetryData{}, SeenTypes(), SeenTypes());
    EXPECT_EQ(empty, (ordered_json{{"timing", {{"sequenceNumber", 41}}},
                                   {"protocol", {{"name", "OpenTrackIO"}, {"version", {1, 0, 1}}}},
                                   {"sampleId", kHeader.sampleId},
                                   {"sourceId", kHeader.sourceId},
                                   {"sourceNumber", 7}}));
}

// A frame of orientation alone: its sample has the rotation and nothing else of the last
// frames' values (no lens, no position, no time stamp or timecode), while the static data and
// the rates stay the state's. Only frames with a tracking value make a sample.
TEST(OpenTrackSample, PerSampleValuesComeFromTheFrameAlone) {
    SeenTypes axes;
    axes.Add(MessageType::AxesData);
    const ordered_json j = Sample(Full(), axes);
    EXPECT_EQ(j["transforms"][0]["rotation"],
              (ordered_json{{"pan", 90.5}, {"tilt", -12.34}, {"roll", 0.0}}));
    EXPECT_EQ(j["transforms"][0]["translation"], ordered_json::object());
    EXPECT_EQ(j["timing"], (ordered_json{{"sampleRate", {{"num", 30000}, {"denom", 1001}}},
                                         {"sequenceNumber", 41}}));
    EXPECT_FALSE(j.contains(Pointer("/tracker")));
    // Of the lens, only what the last ZeissZdData record brought: it stays until the next.
    EXPECT_EQ(j["lens"], (ordered_json{{"entrancePupilOffset", 0.0}}));
    EXPECT_EQ(j["static"]["camera"]["serialNumber"], "SN-42");
    EXPECT_EQ(j["static"]["camera"]["captureFrameRate"]["num"], 30000);

    for (const MessageType type : {MessageType::BasicLens, MessageType::RawLensEncoderWithMask,
                                   MessageType::PositionalData, MessageType::AxesData}) {
        SeenTypes frame;
        frame.Add(std::vector{MessageType::Timecode, type});
        EXPECT_TRUE(CarriesTrackingData(frame)) << static_cast<int>(type);
    }
    EXPECT_FALSE(CarriesTrackingData(AllBut({MessageType::BasicLens,
                                             MessageType::RawLensEncoderWithMask,
                                             MessageType::PositionalData, MessageType::AxesData})));
}

TEST(OpenTrackSample, TextIsCleanedToUtf8) {
    EXPECT_EQ(CleanText("Cam\xff"), "Cam\xEF\xBF\xBD");
    EXPECT_EQ(CleanText("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");  // valid UTF-8 stays
    EXPECT_EQ(CleanText("\xE0\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
    EXPECT_EQ(CleanText("\xED\xA0\x80x"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx");  // surrogate
    EXPECT_EQ(CleanText("\xC3"), "\xEF\xBF\xBD");  // cut short
    EXPECT_EQ(CleanText(std::string("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_FALSE(CleanText(""));
    EXPECT_FALSE(CleanText(" \t\r\n"));
}

TEST(OpenTrackSample, CborCarriesTheSameSample) {
    const ordered_json j = Sample(Full());
    const auto cbor = EncodeSample(j, OtrkEncoding::Cbor);
    EXPECT_EQ(ordered_json::from_cbor(cbor), j);
    const auto text = EncodeSample(j, OtrkEncoding::Json);
    EXPECT_EQ(ordered_json::parse(text.begin(), text.end()), j);
    EXPECT_LT(cbor.size(), text.size());
}

TEST(SourceIdentity, NameBasedFromTheSerialAndStable) {
    // Known values: SHA-1 of "abc", and the name-based UUID of "python.org" in the DNS
    // namespace 6ba7b810-9dad-11d1-80b4-00c04fd430c8.
    const auto digest = Sha1("abc");
    EXPECT_EQ(UuidUrn(Uuid{digest[0], digest[1], digest[2], digest[3], digest[4], digest[5],
                           digest[6], digest[7], digest[8], digest[9], digest[10], digest[11],
                           digest[12], digest[13], digest[14], digest[15]}),
              "urn:uuid:a9993e36-4706-816a-ba3e-25717850c26c");
    const Uuid dns{0x6b, 0xa7, 0xb8, 0x10, 0x9d, 0xad, 0x11, 0xd1,
                   0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8};
    EXPECT_EQ(UuidUrn(NameUuid(dns, "python.org")),
              "urn:uuid:886313e1-3b8a-5372-9b90-0c9aee199e5d");
    // Two messages of 55 and 64 bytes: the padding spills into a second block.
    EXPECT_NE(Sha1(std::string(55, 'a')), Sha1(std::string(56, 'a')));

    const std::regex urn("urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    TelemetryData withSerial;
    withSerial.productSerial = "SN-42";
    // Two bridges (or one restarted) for the same camera: the same sourceId, kept even when
    // the state changes later.
    SourceIdentity first(1, "host/0.0.0.0:33322/1");
    SourceIdentity second(2, "other/0.0.0.0:1/2");
    const std::string id = first.SourceId(withSerial);
    EXPECT_EQ(second.SourceId(withSerial), id);
    EXPECT_EQ(id, SourceIdOfCamera("", "", "SN-42"));
    EXPECT_TRUE(std::regex_match(id, urn)) << id;
    EXPECT_EQ(id[23], '5');  // version 5
    withSerial.productSerial = "SN-43";
    EXPECT_EQ(first.SourceId(withSerial), id);
    EXPECT_NE(SourceIdOfCamera("", "", "SN-43"), id);
    // Brand, model and serial name the camera together; a serial padded with NULs and blanks
    // names the same camera as the bare serial.
    EXPECT_NE(SourceIdOfCamera("Kor", "", "SN-42"), id);
    EXPECT_NE(SourceIdOfCamera("Kor", "Cam One", "SN-42"), SourceIdOfCamera("Kor", "Cam Two", "SN-42"));
    TelemetryData padded;
    padded.productBrand = "Kor";
    padded.productSerial = std::string("SN123\0\0\0", 8);
    SourceIdentity third(4, "host/0.0.0.0:33322/1");
    EXPECT_EQ(third.SourceId(padded), SourceIdOfCamera("Kor", "", "SN123"));

    // No serial by the first sample: the set-up names it, and it stays when the serial comes.
    SourceIdentity unnamed(3, "host/0.0.0.0:33322/1");
    const std::string setupId = unnamed.SourceId(TelemetryData{});
    EXPECT_EQ(setupId, SourceIdOfSetup("host/0.0.0.0:33322/1"));
    EXPECT_NE(setupId, SourceIdOfSetup("host/0.0.0.0:33323/1"));
    EXPECT_EQ(unnamed.SourceId(withSerial), setupId);

    // Sample ids: version 4, all different.
    std::set<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        const std::string sample = first.NextSampleId();
        ASSERT_TRUE(std::regex_match(sample, urn)) << sample;
        ASSERT_EQ(sample[23], '4');
        ids.insert(sample);
    }
    EXPECT_EQ(ids.size(), 1000U);
}

// The states and frames the tests above use, and a few with extreme values and awkward
// strings.
std::vector<std::pair<TelemetryData, SeenTypes>> Variants() {
    std::vector<std::pair<TelemetryData, SeenTypes>> variants{{Full(), AllSeen()},
                                                              {TelemetryData{}, SeenTypes()}};
    for (const Absence& a : Absences()) {
        TelemetryData s = Full();
        SeenTypes frame = AllSeen();
        a.change(s, frame);
        variants.emplace_back(s, frame);
    }
    for (const int value : {0, 1, 2, 3, 4, 5, 6}) {
        TelemetryData s = Full();
        s.projectFps = static_cast<std::uint8_t>(value);
        variants.emplace_back(s, AllSeen());
    }
    TelemetryData extreme = Full();
    extreme.productBrand = "Cam\xff\x1b[2J";
    extreme.productName = "A \"quoted\" \\ name\x01\x7f \xC3\xA9";
    extreme.ptpSeconds = ~0ULL;  // only 48 bits travel
    extreme.ptpNanoseconds = 999'999'999;
    extreme.timecodeHours = 23;
    extreme.timecodeMinutes = 59;
    extreme.timecodeSeconds = 59;
    extreme.timecodeFrames = 119;
    extreme.rawZoomEncoder = 65535;
    extreme.positionX = -2e7F;
    extreme.positionY = 3e38F;
    extreme.yaw = -327.68F;
    extreme.focus = 0xFFFFFF;
    extreme.clipWidth = 65535;
    variants.emplace_back(extreme, AllSeen());
    return variants;
}

// A serial padded with NULs travels without them; the label names the camera, or is given.
TEST(OpenTrackSample, IdentityStringsAreCutAtTheirFirstNulAndTrimmed) {
    TelemetryData s = Full();
    s.productSerial = std::string("SN123\0\0\0", 8);
    s.productName = "  Cam One \t";
    const ordered_json j = Sample(s);
    EXPECT_EQ(j["static"]["camera"]["serialNumber"], "SN123");
    EXPECT_EQ(j["static"]["camera"]["model"], "Cam One");
    EXPECT_EQ(j["static"]["camera"]["label"], "Cam One SN123");
    SampleHeader labelled = kHeader;
    labelled.label = "A camera";
    EXPECT_EQ(OpenTrackSample(s, AllSeen(), AllSeen(), labelled)["static"]["camera"]["label"],
              "A camera");
}

// After a ZeissZdData record, every sample carries the lens's distortion (the consumers'
// default model, distorted to undistorted, first) and its entrance pupil in metres; before
// one, neither. 29.97 timecode is marked drop-frame, other rates not.
TEST(OpenTrackSample, LensDataOfZeissZdAndDropFrame) {
    TelemetryData s = Full();
    s.zeissZd.radialDistortion = {0.0F, -0.4F, -1.1F, -1.9F, -2.3F, -2.6F};
    s.zeissZd.entrancePupilPosition = 125;
    const auto distortion = DistortionFromZeissZd(s.zeissZd);
    ASSERT_TRUE(distortion && distortion->distortedToUndistorted);
    SampleHeader header = kHeader;
    header.distortion = &*distortion;
    const ordered_json j = OpenTrackSample(s, AllSeen(), AllSeen(), header);
    ASSERT_EQ(j["lens"]["distortion"].size(), 2U) << j["lens"];
    EXPECT_EQ(j["lens"]["distortion"][0]["model"], "Brown-Conrady D-U");
    EXPECT_EQ(j["lens"]["distortion"][0]["radial"].size(), 6U);
    EXPECT_EQ(j["lens"]["distortion"][1]["model"], "Brown-Conrady U-D");
    const auto& ud = distortion->undistortedToDistorted;
    EXPECT_EQ(j["lens"]["distortion"][1]["radial"],
              (ordered_json{ud[0], ud[1], ud[2], ud[3], ud[4]}));
    EXPECT_DOUBLE_EQ(j["lens"]["entrancePupilOffset"].get<double>(), 0.125);

    const ordered_json before = OpenTrackSample(s, AllBut({MessageType::ZeissZdData}), AllSeen(), header);
    EXPECT_FALSE(before["lens"].contains("distortion"));
    EXPECT_FALSE(before["lens"].contains("entrancePupilOffset"));

    TelemetryData at25 = s;
    at25.projectFps = 3;
    const ordered_json nonDrop = OpenTrackSample(at25, AllSeen(), AllSeen(), header);
    EXPECT_EQ(nonDrop["timing"]["timecode"]["dropFrame"], false);
    const auto cbor = SamplePayload(s, AllSeen(), AllSeen(), header, OtrkEncoding::Cbor);
    EXPECT_EQ(ordered_json::from_cbor(cbor), j);
    KOR_EXPECT_VALID_OPENTRACKIO((std::vector<ordered_json>{j, before, nonDrop}));
}

// The bridge writes JSON text and CBOR directly; both read back as the sample tree.
TEST(OpenTrackSample, DirectPayloadsReadBackAsTheTree) {
    for (const auto& [state, frame] : Variants()) {
        const ordered_json tree = Sample(state, frame);
        const auto json = SamplePayload(state, AllSeen(), frame, kHeader, OtrkEncoding::Json);
        EXPECT_EQ(ordered_json::parse(json.begin(), json.end()), tree)
            << std::string(json.begin(), json.end());
        const auto cbor = SamplePayload(state, AllSeen(), frame, kHeader, OtrkEncoding::Cbor);
        EXPECT_EQ(ordered_json::from_cbor(cbor), tree) << tree.dump();
    }
}

// Containers of 24 members or more need a longer CBOR head than the one byte reserved for it;
// an emptied group is taken out again, key and all, in every writer.
TEST(OpenTrackSample, WritersAgreeOnLongAndDroppedContainers) {
    JsonTextWriter json;
    CborWriter cbor;
    TreeWriter tree;
    const std::string keys[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m",
                                "n", "o", "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z"};
    for (SampleWriter* w : std::initializer_list<SampleWriter*>{&json, &cbor, &tree}) {
        w->Begin(nullptr);
        w->Begin("empty");
        w->End(true);
        for (const std::string& key : keys) {
            w->Unsigned(key.c_str(), key[0]);
        }
        w->Begin("list", true);
        for (int i = 0; i < 300; ++i) {
            w->Number(nullptr, i * 0.5);
        }
        w->End();
        w->Begin("also empty");
        w->End(true);
        w->End();
    }
    EXPECT_EQ(tree.Result().size(), 27U);
    EXPECT_FALSE(tree.Result().contains("empty"));
    EXPECT_EQ(tree.Result()["list"].size(), 300U);
    EXPECT_EQ(ordered_json::parse(json.Result()), tree.Result());
    EXPECT_EQ(ordered_json::from_cbor(cbor.Result()), tree.Result());
}

// Every sample the tests above build, as tree, JSON text and CBOR, against the published
// schema.
TEST(OpenTrackSample, EverySampleValidatesAgainstTheSchema) {
    std::vector<ordered_json> samples;
    for (const auto& [state, frame] : Variants()) {
        samples.push_back(Sample(state, frame));
        const auto json = SamplePayload(state, AllSeen(), frame, kHeader, OtrkEncoding::Json);
        samples.push_back(ordered_json::parse(json.begin(), json.end()));
        samples.push_back(ordered_json::from_cbor(
            SamplePayload(state, AllSeen(), frame, kHeader, OtrkEncoding::Cbor)));
    }
    KOR_EXPECT_VALID_OPENTRACKIO(samples);
}

}  // namespace
