// Runs the published protocol vectors (vectors/*.json) through Encode and Device::Update.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <kor/device.h>
#include <kor/telemetry.h>

#ifndef KOR_VECTORS_DIR
#error "KOR_VECTORS_DIR must name the vectors directory"
#endif

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

const char* const kFiles[] = {"framing", "messages", "limits", "malformed"};

// Enumerator names, indexed by value.
// clang-format off
const std::array<std::string, 28> kTypeNames = {
    "Timecode", "BasicLens", "PtpTimestamp", "ProductBrand", "ProductName", "ProductSerial",
    "LensProperties", "PositionalData", "AxesData", "TickCount", "LensManufacturer", "LensName",
    "LensSerial", "ProjectFps", "ClipName", "RawLensEncoderWithMask", "ZeissZdData", "IdList",
    "FileEnd", "FileTransferName", "FileTransferInformation", "FileTransferData",
    "FileTransferMd5", "RadioControl", "ChannelId", "SensorSize", "RawAxesEncoderWithMask",
    "SubjectId"};
const std::array<std::string, 10> kStatusNames = {
    "NewTimecode", "SameTimecode", "Incomplete", "ChecksumError", "FramingError",
    "PayloadTooLong", "BadMessageType", "MessageRejected", "LengthError", "HeaderError"};
// clang-format on

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

template <std::size_t N>
std::size_t IndexOf(const std::array<std::string, N>& names, const Json& name) {
    const auto it = std::find(names.begin(), names.end(), name.get<std::string>());
    if (it == names.end()) Fail("unknown name " + name.dump());
    return static_cast<std::size_t>(it - names.begin());
}

std::string ToHex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t b : bytes) {
        if (!s.empty()) s += ' ';
        s += kDigits[b >> 4];
        s += kDigits[b & 0x0F];
    }
    return s;
}

// "00 FF 0a" -> {0x00, 0xFF, 0x0A}: two hex digits per byte, one space between bytes.
Bytes ParseHex(const Json& text) {
    std::string s = text.get<std::string>();
    std::istringstream in(s);
    Bytes out;
    unsigned byte = 0;
    while (in >> std::hex >> byte) out.push_back(static_cast<std::uint8_t>(byte));
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return std::toupper(c); });
    if (!in.eof() || ToHex(out) != s) Fail("bad hex text \"" + text.get<std::string>() + "\"");
    return out;
}

// A number, or "NaN", "Infinity", "-Infinity".
double ToDouble(const Json& v) {
    if (v.is_number()) return v.get<double>();
    if (v == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (v == "Infinity") return std::numeric_limits<double>::infinity();
    if (v == "-Infinity") return -std::numeric_limits<double>::infinity();
    Fail("not a number: " + v.dump());
}

// A string, or {"hex": "..."} for its bytes.
std::string ToByteString(const Json& v) {
    if (v.is_object() && v.size() == 1 && v.contains("hex")) {
        const Bytes b = ParseHex(v["hex"]);
        return std::string(b.begin(), b.end());
    }
    return v.get<std::string>();
}

// ---- TelemetryData fields by name ----------------------------------------------------------

using FieldRef = std::variant<bool*, std::uint8_t*, std::uint16_t*, std::uint32_t*, std::uint64_t*,
                              std::int16_t*, float*, std::string*, std::array<float, 6>*,
                              std::array<std::uint32_t, 3>*>;

// Every member of TelemetryData; the nested blocks as "zeissZd.x" and "radioControl.x".
std::map<std::string, FieldRef> FieldsOf(TelemetryData& d) {
    auto& z = d.zeissZd;
    auto& r = d.radioControl;
    // clang-format off
    return {
        {"focusValid", &d.focusValid}, {"zoomValid", &d.zoomValid}, {"irisValid", &d.irisValid},
        {"minFocalLengthValid", &d.minFocalLengthValid},
        {"maxFocalLengthValid", &d.maxFocalLengthValid},
        {"minIrisValid", &d.minIrisValid}, {"maxIrisValid", &d.maxIrisValid},
        {"lensPropertiesExtraValid", &d.lensPropertiesExtraValid},
        {"positionXValid", &d.positionXValid}, {"positionYValid", &d.positionYValid},
        {"positionZValid", &d.positionZValid}, {"rollValid", &d.rollValid},
        {"pitchValid", &d.pitchValid}, {"yawValid", &d.yawValid},
        {"rawFocusEncoderValid", &d.rawFocusEncoderValid},
        {"rawZoomEncoderValid", &d.rawZoomEncoderValid},
        {"rawIrisEncoderValid", &d.rawIrisEncoderValid},
        {"productInfoComplete", &d.productInfoComplete},
        {"lensInfoComplete", &d.lensInfoComplete}, {"clipNameReceived", &d.clipNameReceived},
        {"recordFlag", &d.recordFlag}, {"timecodeHours", &d.timecodeHours},
        {"timecodeMinutes", &d.timecodeMinutes}, {"timecodeSeconds", &d.timecodeSeconds},
        {"timecodeFrames", &d.timecodeFrames}, {"focus", &d.focus}, {"zoom", &d.zoom},
        {"iris", &d.iris}, {"ptpSeconds", &d.ptpSeconds}, {"ptpNanoseconds", &d.ptpNanoseconds},
        {"productBrand", &d.productBrand}, {"productName", &d.productName},
        {"productSerial", &d.productSerial}, {"focalRangeFlags", &d.focalRangeFlags},
        {"minFocalLength", &d.minFocalLength}, {"maxFocalLength", &d.maxFocalLength},
        {"minIris", &d.minIris}, {"maxIris", &d.maxIris},
        {"lensPropertiesExtra", &d.lensPropertiesExtra}, {"positionX", &d.positionX},
        {"positionY", &d.positionY}, {"positionZ", &d.positionZ}, {"roll", &d.roll},
        {"pitch", &d.pitch}, {"yaw", &d.yaw}, {"tickCount", &d.tickCount},
        {"tickCountType", &d.tickCountType}, {"lensManufacturer", &d.lensManufacturer},
        {"lensName", &d.lensName}, {"lensSerial", &d.lensSerial}, {"projectFps", &d.projectFps},
        {"clipName", &d.clipName}, {"rawFocusEncoder", &d.rawFocusEncoder},
        {"rawZoomEncoder", &d.rawZoomEncoder}, {"rawIrisEncoder", &d.rawIrisEncoder},
        {"zeissZd.focusDistance", &z.focusDistance}, {"zeissZd.aperture", &z.aperture},
        {"zeissZd.horizontalFieldOfView", &z.horizontalFieldOfView},
        {"zeissZd.entrancePupilPosition", &z.entrancePupilPosition},
        {"zeissZd.shading", &z.shading}, {"zeissZd.radialDistortion", &z.radialDistortion},
        {"radioControl.radioValue", &r.radioValue}, {"radioControl.radioParamA", &r.radioParamA},
        {"radioControl.radioParamB", &r.radioParamB}, {"radioControl.radioMode", &r.radioMode},
        {"radioControl.radioParamC", &r.radioParamC}, {"channelId", &d.channelId},
        {"sensorWidth", &d.sensorWidth}, {"sensorHeight", &d.sensorHeight},
        {"clipWidth", &d.clipWidth}, {"clipHeight", &d.clipHeight},
        {"sensorName", &d.sensorName}, {"rawAxesEncoders", &d.rawAxesEncoders},
        {"subjectId", &d.subjectId},
    };
    // clang-format on
}

Json ValueOf(FieldRef field) {
    return std::visit([](auto* p) { return Json(*p); }, field);
}

// Whether a field's value matches `want` as the vectors write it: a float within 1e-4 of it
// (relative above 1, absolute below), a string byte for byte, anything else exactly.
bool Matches(const Json& held, const Json& want) {
    if (held.is_array()) {
        bool same = want.is_array() && want.size() == held.size();
        for (std::size_t i = 0; same && i < held.size(); ++i) same = Matches(held[i], want[i]);
        return same;
    }
    if (held.is_number_float()) {
        const double a = held.get<double>();
        const double e = ToDouble(want);
        return a == e || (std::isnan(a) && std::isnan(e)) ||
               std::fabs(a - e) <= 1e-4 * std::max(1.0, std::fabs(e));
    }
    if (held.is_string()) return held.get<std::string>() == ToByteString(want);
    return held == want;
}

// Sets one field; a value of the wrong kind or out of the field's range is an error.
void Assign(FieldRef field, const Json& v) {
    std::visit(
        [&](auto* p) {
            using T = std::remove_pointer_t<decltype(p)>;
            if constexpr (std::is_same_v<T, float>) {
                *p = static_cast<float>(ToDouble(v));
            } else if constexpr (std::is_same_v<T, std::string>) {
                *p = ToByteString(v);
            } else if constexpr (std::is_same_v<T, std::array<float, 6>>) {
                for (std::size_t i = 0; i < p->size(); ++i) {
                    (*p)[i] = static_cast<float>(ToDouble(v.at(i)));
                }
            } else {
                *p = v.get<T>();
            }
        },
        field);
    if (!Matches(ValueOf(field), v)) Fail("value does not fit its field: " + v.dump());
}

// Calls `use(name, field, value)` for every field of `object`, nested blocks flattened to
// "zeissZd.aperture". A string given as {"hex": "..."} is a value, not a block.
template <typename Use>
void ForEachField(TelemetryData& d, const Json& object, Use use, const std::string& prefix = "") {
    auto fields = FieldsOf(d);
    for (const auto& [key, value] : object.items()) {
        if (value.is_object() && !value.contains("hex")) {
            ForEachField(d, value, use, prefix + key + ".");
            continue;
        }
        const auto it = fields.find(prefix + key);
        if (it == fields.end()) Fail("no field " + prefix + key);
        use(prefix + key, it->second, value);
    }
}

// ---- Loading ----------------------------------------------------------------------------

struct VectorCase {
    std::string file;
    std::string name;
    Json data;
};

void PrintTo(const VectorCase& c, std::ostream* os) {
    *os << c.file << ".json: " << c.name;
}

struct Loaded {
    std::vector<VectorCase> cases;
    std::vector<std::string> errors;
};

const Loaded& Vectors() {
    static const Loaded loaded = [] {
        Loaded l;
        for (const char* file : kFiles) {
            try {
                std::ifstream in(std::string(KOR_VECTORS_DIR) + "/" + file + ".json");
                for (const Json& c : Json::parse(in)) {
                    l.cases.push_back({file, c.at("name").get<std::string>(), c});
                }
            } catch (const std::exception& e) {
                l.errors.push_back(std::string(file) + ".json: " + e.what());
            }
        }
        return l;
    }();
    return loaded;
}

std::vector<VectorCase> EncodeCases() {
    std::vector<VectorCase> out;
    for (const VectorCase& c : Vectors().cases) {
        if (c.data.contains("record")) out.push_back(c);
    }
    return out;
}

// File and case name, with every character other than A-Z, a-z, 0-9 replaced by '_'.
std::string TestName(const testing::TestParamInfo<VectorCase>& info) {
    std::string s = info.param.file + "_" + info.param.name;
    for (char& ch : s) {
        if (std::isalnum(static_cast<unsigned char>(ch)) == 0) ch = '_';
    }
    return s;
}

TransmissionType Transmission(const Json& c) {
    const Json& t = c.at("transmissionType");
    if (t == "UDP") return TransmissionType::UDP;
    if (t == "Serial") return TransmissionType::Serial;
    Fail("unknown transmissionType " + t.dump());
}

// ---- The files themselves ---------------------------------------------------------------

TEST(VectorFiles, LoadAndHoldCases) {
    for (const std::string& e : Vectors().errors) ADD_FAILURE() << e;
    const auto& cases = Vectors().cases;
    for (const char* file : kFiles) {
        EXPECT_TRUE(std::any_of(cases.begin(), cases.end(),
                                [&](const VectorCase& c) { return c.file == file; }))
            << file << ".json holds no cases";
    }
}

TEST(VectorFiles, NamesAreUniqueAndCoverEveryStatusAndEncodedType) {
    std::set<std::string> names;
    std::set<std::string> statuses;
    std::set<std::string> types;
    for (const VectorCase& c : Vectors().cases) {
        EXPECT_TRUE(!c.name.empty() && names.insert(c.name).second) << "name \"" << c.name << "\"";
        statuses.insert(c.data.at("decode").value("status", ""));
        for (const Json& t : c.data.value("messageTypes", Json::array())) {
            types.insert(t.get<std::string>());
        }
    }
    for (const std::string& s : kStatusNames) EXPECT_EQ(statuses.count(s), 1U) << s;
    for (std::size_t t = 0; t < kTypeNames.size(); ++t) {
        if (t < 17 || t > 22) {  // 17 to 22 have no encoder
            EXPECT_EQ(types.count(kTypeNames[t]), 1U) << kTypeNames[t];
        }
    }
}

// ---- Both directions, one test per case ----------------------------------------------------
// A malformed case throws; the test then fails with the exception's message.

class Encode : public testing::TestWithParam<VectorCase> {};
class Decode : public testing::TestWithParam<VectorCase> {};

TEST_P(Encode, RecordGivesFrame) {
    const Json& c = GetParam().data;
    TelemetryData record;
    ForEachField(record, c.at("record"),
                 [](const std::string&, FieldRef field, const Json& v) { Assign(field, v); });
    std::vector<MessageType> types;
    for (const Json& t : c.at("messageTypes")) {
        types.push_back(static_cast<MessageType>(IndexOf(kTypeNames, t)));
    }
    EXPECT_EQ(ToHex(record.Encode(Transmission(c), types)), ToHex(ParseHex(c.at("frame"))));
}

TEST_P(Decode, FrameGivesStatusAndFields) {
    const Json& c = GetParam().data;
    static const std::set<std::string> kKeys = {
        "name", "description", "transmissionType", "messageTypes", "record", "frame", "decode"};
    for (const auto& [key, value] : c.items()) EXPECT_EQ(kKeys.count(key), 1U) << key;
    EXPECT_FALSE(c.at("description").get<std::string>().empty());
    EXPECT_EQ(c.contains("record"), c.contains("messageTypes"));
    Transmission(c);

    const Json& decode = c.at("decode");
    Device device;
    const auto status = static_cast<std::size_t>(device.Update(ParseHex(c.at("frame"))));
    EXPECT_EQ(kStatusNames.at(status), decode.at("status").get<std::string>()) << "status";
    ASSERT_NE(device.GetCurrentState(), nullptr);
    TelemetryData state = *device.GetCurrentState();
    ForEachField(
        state, decode.at("fields"), [](const std::string& name, FieldRef field, const Json& want) {
            const Json held = ValueOf(field);
            EXPECT_TRUE(Matches(held, want))
                << name << " is " << held.dump(-1, ' ', false, Json::error_handler_t::replace)
                << ", expected " << want.dump();
        });
}

INSTANTIATE_TEST_SUITE_P(Vectors, Encode, testing::ValuesIn(EncodeCases()), TestName);
INSTANTIATE_TEST_SUITE_P(Vectors, Decode, testing::ValuesIn(Vectors().cases), TestName);

}  // namespace
