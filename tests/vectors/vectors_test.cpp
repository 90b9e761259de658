// Runs the published protocol vectors (vectors/*.json) through Encode and Device::Update.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
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
using Kor::Protocol::FrameStatus;
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
    if (name.is_string()) {
        const auto it = std::find(names.begin(), names.end(), name.get<std::string>());
        if (it != names.end()) return static_cast<std::size_t>(it - names.begin());
    }
    Fail("unknown name " + name.dump());
}

// "00 FF 0a" -> {0x00, 0xFF, 0x0A}: two hex digits per byte, one space between bytes.
Bytes ParseHex(const Json& text) {
    if (!text.is_string()) Fail("hex bytes must be a string: " + text.dump());
    const std::string s = text.get<std::string>();
    auto digit = [&](char c) -> unsigned {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
        if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
        Fail("bad hex text \"" + s + "\"");
    };
    Bytes out;
    for (std::size_t i = 0; i < s.size(); i += 3) {
        if (i + 2 > s.size() || (i + 2 < s.size() && s[i + 2] != ' ')) {
            Fail("bad hex text \"" + s + "\"");
        }
        out.push_back(static_cast<std::uint8_t>(digit(s[i]) * 16 + digit(s[i + 1])));
    }
    return out;
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

// ---- TelemetryData fields by name ----------------------------------------------------------

using FieldRef = std::variant<bool*, std::uint8_t*, std::uint16_t*, std::uint32_t*, std::uint64_t*,
                              std::int16_t*, float*, std::string*, std::array<float, 6>*,
                              std::array<std::uint32_t, 3>*>;

// Every member of TelemetryData; the nested blocks as "zeissZd.x" and "radioControl.x".
std::map<std::string, FieldRef> FieldsOf(TelemetryData& d) {
    auto& z = d.zeissZd;
    auto& r = d.radioControl;
    return {
        {"focusValid", &d.focusValid},
        {"zoomValid", &d.zoomValid},
        {"irisValid", &d.irisValid},
        {"minFocalLengthValid", &d.minFocalLengthValid},
        {"maxFocalLengthValid", &d.maxFocalLengthValid},
        {"minIrisValid", &d.minIrisValid},
        {"maxIrisValid", &d.maxIrisValid},
        {"lensPropertiesExtraValid", &d.lensPropertiesExtraValid},
        {"positionXValid", &d.positionXValid},
        {"positionYValid", &d.positionYValid},
        {"positionZValid", &d.positionZValid},
        {"rollValid", &d.rollValid},
        {"pitchValid", &d.pitchValid},
        {"yawValid", &d.yawValid},
        {"rawFocusEncoderValid", &d.rawFocusEncoderValid},
        {"rawZoomEncoderValid", &d.rawZoomEncoderValid},
        {"rawIrisEncoderValid", &d.rawIrisEncoderValid},
        {"productInfoComplete", &d.productInfoComplete},
        {"lensInfoComplete", &d.lensInfoComplete},
        {"clipNameReceived", &d.clipNameReceived},
        {"recordFlag", &d.recordFlag},
        {"timecodeHours", &d.timecodeHours},
        {"timecodeMinutes", &d.timecodeMinutes},
        {"timecodeSeconds", &d.timecodeSeconds},
        {"timecodeFrames", &d.timecodeFrames},
        {"focus", &d.focus},
        {"zoom", &d.zoom},
        {"iris", &d.iris},
        {"ptpSeconds", &d.ptpSeconds},
        {"ptpNanoseconds", &d.ptpNanoseconds},
        {"productBrand", &d.productBrand},
        {"productName", &d.productName},
        {"productSerial", &d.productSerial},
        {"focalRangeFlags", &d.focalRangeFlags},
        {"minFocalLength", &d.minFocalLength},
        {"maxFocalLength", &d.maxFocalLength},
        {"minIris", &d.minIris},
        {"maxIris", &d.maxIris},
        {"lensPropertiesExtra", &d.lensPropertiesExtra},
        {"positionX", &d.positionX},
        {"positionY", &d.positionY},
        {"positionZ", &d.positionZ},
        {"roll", &d.roll},
        {"pitch", &d.pitch},
        {"yaw", &d.yaw},
        {"tickCount", &d.tickCount},
        {"tickCountType", &d.tickCountType},
        {"lensManufacturer", &d.lensManufacturer},
        {"lensName", &d.lensName},
        {"lensSerial", &d.lensSerial},
        {"projectFps", &d.projectFps},
        {"clipName", &d.clipName},
        {"rawFocusEncoder", &d.rawFocusEncoder},
        {"rawZoomEncoder", &d.rawZoomEncoder},
        {"rawIrisEncoder", &d.rawIrisEncoder},
        {"zeissZd.focusDistance", &z.focusDistance},
        {"zeissZd.aperture", &z.aperture},
        {"zeissZd.horizontalFieldOfView", &z.horizontalFieldOfView},
        {"zeissZd.entrancePupilPosition", &z.entrancePupilPosition},
        {"zeissZd.shading", &z.shading},
        {"zeissZd.radialDistortion", &z.radialDistortion},
        {"radioControl.radioValue", &r.radioValue},
        {"radioControl.radioParamA", &r.radioParamA},
        {"radioControl.radioParamB", &r.radioParamB},
        {"radioControl.radioMode", &r.radioMode},
        {"radioControl.radioParamC", &r.radioParamC},
        {"channelId", &d.channelId},
        {"sensorWidth", &d.sensorWidth},
        {"sensorHeight", &d.sensorHeight},
        {"clipWidth", &d.clipWidth},
        {"clipHeight", &d.clipHeight},
        {"sensorName", &d.sensorName},
        {"rawAxesEncoders", &d.rawAxesEncoders},
        {"subjectId", &d.subjectId},
    };
}

// {"zeissZd": {"aperture": 2.8}} -> ("zeissZd.aperture", 2.8). A string given as
// {"hex": "..."} is a value, not a block.
using FlatFields = std::vector<std::pair<std::string, Json>>;
void Flatten(const Json& object, const std::string& prefix, FlatFields& out) {
    if (!object.is_object()) Fail("fields must be an object: " + object.dump());
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it->is_object() && !it->contains("hex")) {
            Flatten(*it, prefix + it.key() + ".", out);
        } else {
            out.emplace_back(prefix + it.key(), *it);
        }
    }
}
FlatFields Flatten(const Json& object) {
    FlatFields out;
    Flatten(object, "", out);
    return out;
}

FieldRef Lookup(std::map<std::string, FieldRef>& fields, const std::string& name) {
    const auto it = fields.find(name);
    if (it == fields.end()) Fail("no field " + name);
    return it->second;
}

template <typename Int>
Int ToInt(const Json& v) {
    if (!v.is_number_integer()) Fail("not an integer: " + v.dump());
    if constexpr (std::is_signed_v<Int>) {
        const bool fits = v.is_number_unsigned()
                              ? v.get<std::uint64_t>() <=
                                    static_cast<std::uint64_t>(std::numeric_limits<Int>::max())
                              : v.get<std::int64_t>() >= std::numeric_limits<Int>::min() &&
                                    v.get<std::int64_t>() <= std::numeric_limits<Int>::max();
        if (!fits) {
            Fail("out of range: " + v.dump());
        }
        return static_cast<Int>(v.get<std::int64_t>());
    } else {
        if (!v.is_number_unsigned() || v.get<std::uint64_t>() > std::numeric_limits<Int>::max()) {
            Fail("out of range: " + v.dump());
        }
        return static_cast<Int>(v.get<std::uint64_t>());
    }
}

// A number, or "NaN", "Infinity", "-Infinity".
double ToDouble(const Json& v) {
    if (v.is_number()) return v.get<double>();
    if (v == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (v == "Infinity") return std::numeric_limits<double>::infinity();
    if (v == "-Infinity") return -std::numeric_limits<double>::infinity();
    Fail("not a number: " + v.dump());
}

std::string ToByteString(const Json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_object() && v.size() == 1 && v.contains("hex")) {
        const Bytes b = ParseHex(v["hex"]);
        return std::string(b.begin(), b.end());
    }
    Fail("not a string: " + v.dump());
}

template <typename T, std::size_t N, typename Convert>
std::array<T, N> ToArray(const Json& v, Convert convert) {
    if (!v.is_array() || v.size() != N) {
        Fail("not an array of " + std::to_string(N) + ": " + v.dump());
    }
    std::array<T, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = convert(v[i]);
    return out;
}

float ToFloat(const Json& v) {
    return static_cast<float>(ToDouble(v));
}

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void Assign(FieldRef field, const Json& v) {
    std::visit(Overloaded{
                   [&](bool* p) {
                       if (!v.is_boolean()) Fail("not a boolean: " + v.dump());
                       *p = v.get<bool>();
                   },
                   [&](float* p) { *p = ToFloat(v); },
                   [&](std::string* p) { *p = ToByteString(v); },
                   [&](std::array<float, 6>* p) { *p = ToArray<float, 6>(v, ToFloat); },
                   [&](std::array<std::uint32_t, 3>* p) {
                       *p = ToArray<std::uint32_t, 3>(v, ToInt<std::uint32_t>);
                   },
                   [&](auto* p) { *p = ToInt<std::remove_pointer_t<decltype(p)>>(v); },
               },
               field);
}

// Floats match within 1e-4 of the expected value, relative above 1 and absolute below.
bool Close(float actual, const Json& expected) {
    const double e = ToDouble(expected);
    const double a = static_cast<double>(actual);
    if (std::isnan(e)) return std::isnan(a);
    return std::fabs(a - e) <= 1e-4 * std::max(1.0, std::fabs(e));
}

// Empty when the field holds the expected value; otherwise what it holds.
std::string Mismatch(FieldRef field, const Json& expected) {
    return std::visit(
        Overloaded{
            [&](float* p) { return Close(*p, expected) ? "" : std::to_string(*p); },
            [&](std::string* p) -> std::string {
                if (*p == ToByteString(expected)) return "";
                const bool printable = std::all_of(p->begin(), p->end(),
                                                   [](char ch) { return ch >= 0x20 && ch < 0x7F; });
                return printable ? "\"" + *p + "\""
                                 : "{\"hex\": \"" + ToHex(Bytes(p->begin(), p->end())) + "\"}";
            },
            [&](std::array<float, 6>* p) {
                std::string held;
                bool same = expected.is_array() && expected.size() == 6;
                for (std::size_t i = 0; i < 6; ++i) {
                    same = same && Close((*p)[i], expected[i]);
                    held += (i ? ", " : "[") + std::to_string((*p)[i]);
                }
                return same ? "" : held + "]";
            },
            [&](auto* p) {
                using T = std::remove_pointer_t<decltype(p)>;
                T want{};
                Assign(&want, expected);
                return *p == want ? "" : Json(*p).dump();
            },
        },
        field);
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
    std::map<std::string, std::size_t> counts;  // cases per file
};

const Loaded& Vectors() {
    static const Loaded loaded = [] {
        Loaded l;
        for (const char* file : kFiles) {
            const std::string path = std::string(KOR_VECTORS_DIR) + "/" + file + ".json";
            try {
                std::ifstream in(path);
                if (!in) Fail("cannot open " + path);
                const Json all = Json::parse(in);
                if (!all.is_array()) Fail(path + " is not an array");
                for (const Json& c : all) {
                    const bool named = c.is_object() && c.contains("name") && c["name"].is_string();
                    l.cases.push_back({file, named ? c["name"].get<std::string>() : "", c});
                    ++l.counts[file];
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
        if (c.data.is_object() && c.data.contains("record")) out.push_back(c);
    }
    return out;
}

// The case's test name: file and case name with every other character than A-Z, a-z, 0-9
// replaced by '_'.
std::string ParamName(const std::string& file, const std::string& name) {
    std::string s = file + "_" + name;
    for (char& ch : s) {
        const bool alnum =
            (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        if (!alnum) ch = '_';
    }
    return s;
}

std::string TestName(const testing::TestParamInfo<VectorCase>& info) {
    return ParamName(info.param.file, info.param.name);
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
    for (const char* file : kFiles) {
        EXPECT_GT(Vectors().counts.count(file) ? Vectors().counts.at(file) : 0U, 0U) << file;
    }
}

TEST(VectorFiles, CasesAreWellFormed) {
    const std::set<std::string> keys = {
        "name", "description", "transmissionType", "messageTypes", "record", "frame", "decode"};
    std::set<std::string> names;
    std::set<std::string> testNames;
    for (const VectorCase& c : Vectors().cases) {
        try {
            const Json& d = c.data;
            if (!d.is_object()) Fail("not an object");
            for (auto it = d.begin(); it != d.end(); ++it) {
                if (keys.count(it.key()) == 0) Fail("unknown key " + it.key());
            }
            if (c.name.empty()) Fail("no name");
            if (!names.insert(c.name).second ||
                !testNames.insert(ParamName(c.file, c.name)).second) {
                Fail("duplicate name");
            }
            if (!d.at("description").is_string() || d["description"].get<std::string>().empty()) {
                Fail("no description");
            }
            Transmission(d);
            ParseHex(d.at("frame"));
            IndexOf(kStatusNames, d.at("decode").at("status"));
            TelemetryData scratch;
            auto fields = FieldsOf(scratch);
            for (const auto& [name, value] : Flatten(d["decode"].at("fields"))) {
                Assign(Lookup(fields, name), value);
            }
            if (d.contains("record") != d.contains("messageTypes")) {
                Fail("record and messageTypes go together");
            }
            if (d.contains("record")) {
                for (const Json& t : d["messageTypes"]) IndexOf(kTypeNames, t);
                for (const auto& [name, value] : Flatten(d["record"])) {
                    Assign(Lookup(fields, name), value);
                }
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << c.file << ".json: case \"" << c.name << "\": " << e.what();
        }
    }
}

TEST(VectorFiles, CoverEveryStatusAndEveryEncodedType) {
    std::set<std::string> statuses;
    std::set<std::string> types;
    for (const VectorCase& c : Vectors().cases) {
        if (!c.data.is_object()) continue;
        const Json decode = c.data.value("decode", Json::object());
        if (decode.is_object()) statuses.insert(decode.value("status", ""));
        for (const Json& t : c.data.value("messageTypes", Json::array())) {
            if (t.is_string()) types.insert(t.get<std::string>());
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

class Encode : public testing::TestWithParam<VectorCase> {};
class Decode : public testing::TestWithParam<VectorCase> {};

TEST_P(Encode, RecordGivesFrame) {
    const VectorCase& c = GetParam();
    try {
        TelemetryData record;
        auto fields = FieldsOf(record);
        for (const auto& [name, value] : Flatten(c.data.at("record"))) {
            Assign(Lookup(fields, name), value);
        }
        std::vector<MessageType> types;
        for (const Json& t : c.data.at("messageTypes")) {
            types.push_back(static_cast<MessageType>(IndexOf(kTypeNames, t)));
        }
        const Bytes frame = record.Encode(Transmission(c.data), types);
        EXPECT_EQ(ToHex(frame), ToHex(ParseHex(c.data.at("frame"))))
            << c.file << ".json: case \"" << c.name << "\": Encode gives another frame";
    } catch (const std::exception& e) {
        ADD_FAILURE() << c.file << ".json: case \"" << c.name << "\": " << e.what();
    }
}

TEST_P(Decode, FrameGivesStatusAndFields) {
    const VectorCase& c = GetParam();
    try {
        const Json& decode = c.data.at("decode");
        Device device;
        const FrameStatus status = device.Update(ParseHex(c.data.at("frame")));
        const auto value = static_cast<std::size_t>(status);
        EXPECT_EQ(value < kStatusNames.size() ? kStatusNames[value] : std::to_string(value),
                  decode.at("status").get<std::string>())
            << c.file << ".json: case \"" << c.name << "\": status";
        ASSERT_NE(device.GetCurrentState(), nullptr);
        TelemetryData state = *device.GetCurrentState();
        auto fields = FieldsOf(state);
        for (const auto& [name, expected] : Flatten(decode.at("fields"))) {
            const std::string held = Mismatch(Lookup(fields, name), expected);
            EXPECT_EQ(held, "") << c.file << ".json: case \"" << c.name << "\": " << name << " is "
                                << held << ", expected " << expected.dump();
        }
    } catch (const std::exception& e) {
        ADD_FAILURE() << c.file << ".json: case \"" << c.name << "\": " << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, Encode, testing::ValuesIn(EncodeCases()), TestName);
INSTANTIATE_TEST_SUITE_P(Vectors, Decode, testing::ValuesIn(Vectors().cases), TestName);

}  // namespace
