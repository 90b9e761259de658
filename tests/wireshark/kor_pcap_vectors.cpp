// Writes a capture of Kor datagrams and checks tshark's dissection of it (JSON output) against
// the library's Device. The capture holds every UDP vector, each accepted vector again with one
// payload byte more and one fewer in its last record, and a few datagrams that test which
// packets the dissector claims.
//
//   kor_pcap_vectors write OUT.pcap VECTORS.json...   writes the capture, lists the frames
//   kor_pcap_vectors check IN.json VECTORS.json...    checks the dissection, frame by frame
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "pcap.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::ordered_json;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::TelemetryData;
using MT = Kor::Protocol::MessageType;

constexpr std::uint16_t kKorPort = 33322;
constexpr std::uint16_t kOtherPort = 40000;
constexpr std::uint16_t kSourcePort = 50000;
constexpr std::uint32_t kLoopback = 0x7f000001;  // 127.0.0.1

// One datagram of the capture and what the dissection must show for it.
struct Case {
    std::string name;
    Bytes datagram;
    std::uint16_t port = kKorPort;
    bool kor = true;  // dissected as Kor at all
    // The Kor expert infos, without "kor.expert."; unset: some iff the Device rejects.
    std::optional<std::set<std::string>> experts = std::set<std::string>{};
};

// The expert infos of the malformed UDP vectors (and of the accepted vectors with a damaged
// record); every other vector must show none.
const std::map<std::string, std::set<std::string>> kVectorExperts = {
    {"udp-empty-list", {"length"}},
    {"payload-too-long-udp", {"payload_length"}},
    {"bad-message-type-udp", {"unknown_type"}},
    {"bad-message-type-255", {"unknown_type"}},
    {"rejected-reserved-type", {"reserved_type"}},
    {"rejected-project-fps-6", {"value"}},
    {"rejected-wrong-length", {"payload_length"}},
    {"rejected-truncated-record", {"truncated", "payload_length"}},
    {"rejected-empty-payload", {"truncated", "payload_length"}},
    {"rejected-zeiss-zd-marker", {"marker"}},
    {"length-error-udp-10", {"length", "truncated", "payload_length"}},
    {"length-error-udp-3", {"length", "truncated"}},
    {"length-error-udp-262", {"length"}},
    {"length-error-udp-beats-header", {"length", "header", "truncated", "payload_length"}},
    {"header-error-byte-3", {"header"}},
    {"header-error-byte-7", {"header"}},
    {"header-error-beats-type", {"header", "unknown_type"}},
    {"accepted-trailing-type-byte", {"truncated"}},
    {"accepted-shortened-string", {"truncated"}},
};

// Datagrams no vector holds: the heuristic takes any port when a datagram starts 00 FF 00 and
// nothing else, and a wrong signature on the Kor port is a header error.
std::vector<Case> PortCases() {
    const Bytes channel7 = {0x00, 0xFF, 0x00, 0, 0, 0, 0, 0, 0x18, 0x00, 0x07};
    Bytes byte7 = channel7;
    byte7[7] = 0x40;
    Bytes signature = channel7;
    signature[1] = 0xFE;
    Bytes next = channel7;
    next[2] = 0x01;
    const std::string text = "hello, world";
    const std::set<std::string> header = {"header"};
    return {{"heuristic: ChannelId 7 on another port", channel7, kOtherPort},
            {"heuristic: header byte 7 set on another port", byte7, kOtherPort, true, header},
            {"wrong signature on the Kor port", signature, kKorPort, true, header},
            {"00 FF 01 on another port", next, kOtherPort, false},
            {"text on another port", Bytes(text.begin(), text.end()), kOtherPort, false}};
}

struct Record {
    std::uint8_t type;
    std::size_t at;         // offset of the type byte
    std::size_t announced;  // payload length from the length byte; 0 for a lone type byte
    std::size_t present;    // payload bytes in the datagram
};

// The records after the 8-byte header, as the length bytes lay them out.
std::vector<Record> Records(const Bytes& d) {
    std::vector<Record> records;
    for (std::size_t at = 8; at < d.size();) {
        const std::size_t announced = at + 1 < d.size() ? d[at + 1] + 1U : 0;
        const std::size_t present = std::min(announced, d.size() - std::min(d.size(), at + 2));
        records.push_back({d[at], at, announced, present});
        at += 2 + present;
    }
    return records;
}

bool Accepted(FrameStatus status) {
    return status == FrameStatus::NewTimecode || status == FrameStatus::SameTimecode;
}

// Every UDP vector; every accepted one also with one byte more and one fewer in the payload of
// its last record, which the dissector must accept or reject as the Device does.
std::vector<Case> VectorCases(const std::vector<std::string>& files) {
    std::vector<Case> cases;
    for (const auto& file : files) {
        std::ifstream in(file);
        for (const auto& v : Json::parse(in)) {
            if (v.at("transmissionType") != "UDP") {
                continue;
            }
            Case c{v.at("name").get<std::string>(), {}};
            std::istringstream hex(v.at("frame").get<std::string>());
            for (unsigned byte = 0; hex >> std::hex >> byte;) {
                c.datagram.push_back(static_cast<std::uint8_t>(byte));
            }
            const auto experts = kVectorExperts.find(c.name);
            c.experts = experts == kVectorExperts.end() ? std::set<std::string>{} : experts->second;
            cases.push_back(c);

            const auto records = Records(c.datagram);
            Kor::Protocol::Device device;
            if (!Accepted(device.Update(c.datagram)) || records.back().present == 0 ||
                records.back().present != records.back().announced) {
                continue;
            }
            Case longer{c.name + ", last payload one byte longer", c.datagram};
            longer.datagram[records.back().at + 1] += 1;
            longer.datagram.push_back(0x41);
            longer.experts.reset();
            Case shorter{c.name + ", last payload one byte shorter", c.datagram};
            shorter.datagram[records.back().at + 1] -= 1;
            shorter.datagram.pop_back();
            shorter.experts.reset();
            cases.push_back(longer);
            if (records.back().present > 1) {
                cases.push_back(shorter);
            }
        }
    }
    return cases;
}

// ---- What the dissector must show -----------------------------------------------------------

// Values of a field: a null is not checked, kAbsent must not be shown, an array is compared
// with the field's last occurrences and anything else with its last one.
const Json kAbsent(Json::value_t::discarded);

Json Valid(bool valid, const Json& value) {
    return valid ? value : Json();
}

// How the dissector writes a telemetry string: printable ASCII as it is, other bytes as \xNN.
// (It keeps valid UTF-8 too, which no vector holds.)
std::string Printable(const std::string& raw) {
    std::string out;
    for (const char c : raw) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
        out += c >= 0x20 && c < 0x7F ? std::string(1, c) : escaped;
    }
    return out;
}

// The Device state of one message type, by dissector field name without "kor.".
std::vector<std::pair<std::string, Json>> StateFields(const TelemetryData& s, MT type,
                                                      const Record& last) {
    const auto& z = s.zeissZd;
    const auto& r = s.radioControl;
    const auto& e = s.rawAxesEncoders;
    const bool longRadio = last.present == 7;
    switch (type) {
        case MT::Timecode:
            return {{"timecode.hours", s.timecodeHours},
                    {"timecode.minutes", s.timecodeMinutes},
                    {"timecode.seconds", s.timecodeSeconds},
                    {"timecode.frames", s.timecodeFrames},
                    {"timecode.record_flag", s.recordFlag}};
        case MT::BasicLens:
            return {{"basiclens.focus_valid", s.focusValid},
                    {"basiclens.focus", Valid(s.focusValid, s.focus)},
                    {"basiclens.zoom_valid", s.zoomValid},
                    {"basiclens.zoom", Valid(s.zoomValid, s.zoom)},
                    {"basiclens.iris_valid", s.irisValid},
                    {"basiclens.iris", Valid(s.irisValid, s.iris)}};
        case MT::PtpTimestamp:
            return {{"ptp.seconds", s.ptpSeconds}, {"ptp.nanoseconds", s.ptpNanoseconds}};
        case MT::ProductBrand: return {{"product_brand", Printable(s.productBrand)}};
        case MT::ProductName: return {{"product_name", Printable(s.productName)}};
        case MT::ProductSerial: return {{"product_serial", Printable(s.productSerial)}};
        case MT::LensManufacturer: return {{"lens_manufacturer", Printable(s.lensManufacturer)}};
        case MT::LensName: return {{"lens_name", Printable(s.lensName)}};
        case MT::LensSerial: return {{"lens_serial", Printable(s.lensSerial)}};
        case MT::ClipName: return {{"clip_name", Printable(s.clipName)}};
        case MT::LensProperties:
            return {
                {"lensproperties.min_focal_length_valid", s.minFocalLengthValid},
                {"lensproperties.min_focal_length", Valid(s.minFocalLengthValid, s.minFocalLength)},
                {"lensproperties.max_focal_length_valid", s.maxFocalLengthValid},
                {"lensproperties.max_focal_length", Valid(s.maxFocalLengthValid, s.maxFocalLength)},
                {"lensproperties.min_iris_valid", s.minIrisValid},
                {"lensproperties.min_iris", Valid(s.minIrisValid, s.minIris)},
                {"lensproperties.max_iris_valid", s.maxIrisValid},
                {"lensproperties.max_iris", Valid(s.maxIrisValid, s.maxIris)},
                {"lensproperties.extra_valid", s.lensPropertiesExtraValid},
                {"lensproperties.extra", Valid(s.lensPropertiesExtraValid, s.lensPropertiesExtra)},
                {"lensproperties.focal_range_flags", s.focalRangeFlags}};
        case MT::PositionalData:
            return {{"position.x_valid", s.positionXValid},
                    {"position.x", Valid(s.positionXValid, s.positionX)},
                    {"position.y_valid", s.positionYValid},
                    {"position.y", Valid(s.positionYValid, s.positionY)},
                    {"position.z_valid", s.positionZValid},
                    {"position.z", Valid(s.positionZValid, s.positionZ)}};
        case MT::AxesData:
            return {
                {"axes.roll_valid", s.rollValid},   {"axes.roll", Valid(s.rollValid, s.roll)},
                {"axes.pitch_valid", s.pitchValid}, {"axes.pitch", Valid(s.pitchValid, s.pitch)},
                {"axes.yaw_valid", s.yawValid},     {"axes.yaw", Valid(s.yawValid, s.yaw)}};
        case MT::TickCount:
            return {{"tickcount", s.tickCount}, {"tickcount.unit", s.tickCountType}};
        case MT::ProjectFps: return {{"project_fps", s.projectFps}};
        case MT::RawLensEncoderWithMask:
            return {{"raw_lens.focus_valid", s.rawFocusEncoderValid},
                    {"raw_lens.focus", Valid(s.rawFocusEncoderValid, s.rawFocusEncoder)},
                    {"raw_lens.zoom_valid", s.rawZoomEncoderValid},
                    {"raw_lens.zoom", Valid(s.rawZoomEncoderValid, s.rawZoomEncoder)},
                    {"raw_lens.iris_valid", s.rawIrisEncoderValid},
                    {"raw_lens.iris", Valid(s.rawIrisEncoderValid, s.rawIrisEncoder)}};
        case MT::ZeissZdData:
            return {{"zeiss.focus_distance", z.focusDistance},
                    {"zeiss.aperture", z.aperture},
                    {"zeiss.horizontal_field_of_view", z.horizontalFieldOfView},
                    {"zeiss.entrance_pupil_position", z.entrancePupilPosition},
                    {"zeiss.shading", z.shading},
                    {"zeiss.radial_distortion", z.radialDistortion}};
        case MT::RadioControl:
            return {{"radio.value", r.radioValue},
                    {"radio.param_a", r.radioParamA},
                    {"radio.param_b", r.radioParamB},
                    {"radio.mode", longRadio ? Json(r.radioMode) : kAbsent},
                    {"radio.param_c", longRadio ? Json(r.radioParamC) : kAbsent}};
        case MT::ChannelId: return {{"channel_id", s.channelId}};
        case MT::SensorSize:
            return {
                {"sensor.width", s.sensorWidth},
                {"sensor.height", s.sensorHeight},
                {"sensor.clip_width", s.clipWidth},
                {"sensor.clip_height", s.clipHeight},
                {"sensor.name", s.sensorName.empty() ? kAbsent : Json(Printable(s.sensorName))}};
        case MT::RawAxesEncoderWithMask:
            // A fresh Device holds 0 for a value whose mask bit was never set.
            return {{"raw_axes.present_0", Valid(e[0] != 0, true)},
                    {"raw_axes.encoder_0", Valid(e[0] != 0, e[0])},
                    {"raw_axes.present_1", Valid(e[1] != 0, true)},
                    {"raw_axes.encoder_1", Valid(e[1] != 0, e[1])},
                    {"raw_axes.present_2", Valid(e[2] != 0, true)},
                    {"raw_axes.encoder_2", Valid(e[2] != 0, e[2])}};
        case MT::SubjectId: return {{"subject_id", s.subjectId}};
        default: return {};
    }
}

// Everything the dissector must show for a datagram, by field name without "kor.".
std::vector<std::pair<std::string, Json>> Expected(const Bytes& datagram, FrameStatus& status) {
    Kor::Protocol::Device device;
    status = device.Update(datagram);
    std::vector<std::pair<std::string, Json>> out = {{"accepted", Accepted(status)}};
    if (!Accepted(status)) {
        return out;
    }
    const auto records = Records(datagram);
    Json types = Json::array();
    Json lengths = Json::array();
    std::map<std::uint8_t, Record> last;
    for (const auto& r : records) {
        types.push_back(r.type);
        if (r.announced > 0) {  // a lone type byte at the end creates no message
            lengths.push_back(r.announced);
            last.insert_or_assign(r.type, r);
        }
    }
    out.insert(out.end(),
               {{"record_count", records.size()}, {"type", types}, {"payload_length", lengths}});
    for (const auto& [type, record] : last) {
        for (auto& field : StateFields(*device.GetCurrentState(), MT(type), record)) {
            out.push_back(std::move(field));
        }
    }
    return out;
}

// ---- Reading and checking the dissection --------------------------------------------------

using Shown = std::map<std::string, std::vector<std::string>>;  // field -> values, in order

// Collects every field of tshark's JSON tree (written with --no-duplicate-keys, so a repeated
// field is an array of its values in order).
void Collect(const Json& node, const std::string& key, Shown& shown) {
    if (node.is_object()) {
        for (const auto& [k, v] : node.items()) {
            Collect(v, k, shown);
        }
    } else if (node.is_array()) {
        for (const auto& v : node) {
            Collect(v, key, shown);
        }
    } else if (node.is_string()) {
        shown[key].push_back(node.get<std::string>());
    }
}

std::string Text(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Empty when the dissector shows `want` for `field`; otherwise what is wrong. Floats agree
// within 1e-4 (relative above 1): the Device holds single precision, the dissector double.
std::string Compare(const Shown& shown, const std::string& field, const Json& want) {
    const auto it = shown.find(field);
    const auto values = it == shown.end() ? std::vector<std::string>{} : it->second;
    if (want.is_discarded()) {
        return values.empty() ? "" : field + " = " + values.back() + ", expected absent";
    }
    const Json wants = want.is_array() ? want : Json::array({want});
    if (values.size() < wants.size()) {
        return field + " missing, expected " + Text(want);
    }
    for (std::size_t i = 0; i < wants.size(); ++i) {
        const std::string& got = values[values.size() - wants.size() + i];
        const Json& w = wants[i];
        bool same = got == (w.is_string() ? w.get<std::string>() : Text(w));
        if (w.is_boolean()) {
            same = got == (w.get<bool>() ? "1" : "0");
        } else if (w.is_number_float()) {
            char* end = nullptr;
            const double value = std::strtod(got.c_str(), &end);
            const double e = w.get<double>();
            same = end != got.c_str() && std::fabs(value - e) <= 1e-4 * std::max(1.0, std::fabs(e));
        }
        if (!same) {
            return field + " = " + got + ", expected " + Text(w);
        }
    }
    return "";
}

// All problems with one packet's dissection; empty when it is right.
std::vector<std::string> CheckCase(const Case& c, const Json& layers) {
    Shown shown;
    Collect(layers, "", shown);
    std::vector<std::string> problems;
    std::set<std::string> experts;
    for (const auto& [name, values] : shown) {
        // Every Lua dissector adds the hidden _ws.lua.fake; anything else from Lua is an error.
        if (name.rfind("_ws.lua", 0) == 0 && name != "_ws.lua.fake") {
            problems.push_back("script error: " + values.back());
        }
        if (name.rfind("kor.expert.", 0) == 0) {
            experts.insert(name.substr(11));
        }
    }
    if (layers.contains("kor") != c.kor) {
        problems.push_back(c.kor ? "not shown as Kor" : "shown as Kor, but is not");
        return problems;
    }
    if (!c.kor) {
        return problems;
    }
    FrameStatus status{};
    for (const auto& [field, want] : Expected(c.datagram, status)) {
        const std::string problem = want.is_null() ? "" : Compare(shown, "kor." + field, want);
        if (!problem.empty()) {
            problems.push_back(problem);
        }
    }
    if (c.experts ? experts != *c.experts : experts.empty() == !Accepted(status)) {
        std::string names;
        for (const auto& e : experts) {
            names += " " + e;
        }
        problems.push_back("expert infos:" + (names.empty() ? " none" : names));
    }
    // Every expert info is the dissector's, so each must be a Malformed error.
    for (const auto& severity : shown["_ws.expert.severity"]) {
        if (severity != "8388608") {
            problems.push_back("expert severity " + severity + " is not Error");
        }
    }
    for (const auto& group : shown["_ws.expert.group"]) {
        if (group != "117440512") {
            problems.push_back("expert group " + group + " is not Malformed");
        }
    }
    if (!problems.empty()) {
        problems.push_back("Device status " + std::to_string(static_cast<int>(status)));
    }
    return problems;
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    for (const auto b : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", b);
        out += digits;
    }
    return out;
}

int Write(const std::string& path, const std::vector<Case>& cases) {
    Kor::Pcap::Writer pcap;
    Kor::Checked ok = pcap.Open(path, Kor::Pcap::TimeResolution::Microseconds);
    for (std::size_t i = 0; ok && i < cases.size(); ++i) {
        // 127.0.0.1 to 127.0.0.1, frame n stamped n seconds after the epoch.
        ok = pcap.Write(static_cast<std::int64_t>(i + 1) * 1'000'000'000, {kLoopback, kSourcePort},
                        {kLoopback, cases[i].port}, cases[i].datagram);
        std::cout << "frame " << i + 1 << ": " << cases[i].name << " (port " << cases[i].port
                  << ") " << Hex(cases[i].datagram) << "\n";
    }
    if (ok) {
        ok = pcap.Close();
    }
    if (!ok) {
        std::cerr << ok.Message() << "\n";
        return 1;
    }
    return 0;
}

int Check(const std::string& path, const std::vector<Case>& cases) {
    std::ifstream in(path);
    const Json packets = Json::parse(in);
    int failed = 0;
    if (packets.size() != cases.size()) {
        std::cout << "FAIL: " << packets.size() << " packets dissected, " << cases.size()
                  << " written\n";
        ++failed;
    }
    for (std::size_t i = 0; i < cases.size() && i < packets.size(); ++i) {
        const auto problems = CheckCase(cases[i], packets[i].at("_source").at("layers"));
        std::cout << (problems.empty() ? "PASS" : "FAIL") << " frame " << i + 1 << ": "
                  << cases[i].name << "\n";
        for (const auto& p : problems) {
            std::cout << "    " << p << "\n";
        }
        failed += problems.empty() ? 0 : 1;
    }
    std::cout << cases.size() - static_cast<std::size_t>(failed) << " passed, " << failed
              << " failed\n";
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc < 4 || (mode != "write" && mode != "check")) {
        std::cerr << "usage: kor_pcap_vectors write OUT.pcap VECTORS.json...\n"
                     "       kor_pcap_vectors check IN.json VECTORS.json...\n";
        return 2;
    }
    try {
        std::vector<Case> cases = VectorCases({argv + 3, argv + argc});
        for (auto& c : PortCases()) {
            cases.push_back(std::move(c));
        }
        return mode == "write" ? Write(argv[2], cases) : Check(argv[2], cases);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
