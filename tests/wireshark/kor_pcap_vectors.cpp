// Writes Kor datagrams with known contents into a pcap file, and checks tshark's PDML
// dissection of that file against the values put in and the library Device's view.
//
//   kor_pcap_vectors write OUT.pcap [VECTORS.json...]   writes the capture, prints the cases
//   kor_pcap_vectors check IN.pdml [VECTORS.json...]    checks the dissection, frame by frame
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "expectations.h"
#include "pcap.h"
#include "pdml.h"

namespace {

using namespace KorTest;
using Bytes = std::vector<std::uint8_t>;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using MT = MessageType;

constexpr std::uint16_t kKorPort = 33322;
constexpr std::uint16_t kOtherPort = 40000;
constexpr std::uint16_t kSourcePort = 50000;
constexpr std::uint32_t kLoopback = 0x7f000001;  // 127.0.0.1

// One datagram of the capture and what the dissection must show for it.
struct Case {
    std::string name;
    Bytes datagram;
    std::uint16_t port = kKorPort;
    bool kor = true;                // shown as Kor at all
    bool exactExperts = true;       // `experts` is the exact set (else: any iff rejected)
    std::set<std::string> experts;  // Kor expert infos, by abbreviation without "kor.expert."
    std::vector<Expect> stated;     // values known from the input
};

const Bytes kHeader = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes Udp(const TelemetryData& s, std::vector<MessageType> types) {
    return s.Encode(TransmissionType::UDP, std::move(types));
}

// Records alone, without header or size limit.
Bytes RecordsOf(const TelemetryData& s, std::vector<MessageType> types) {
    return s.Encode(static_cast<TransmissionType>(2), std::move(types));
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes WithHeader(const Bytes& records) {
    return Cat(kHeader, records);
}

TelemetryData Sample() {
    TelemetryData s;
    s.timecodeHours = 10;
    s.timecodeMinutes = 20;
    s.timecodeSeconds = 30;
    s.timecodeFrames = 12;
    s.focus = 1500;
    s.zoom = 35.0F;
    s.iris = 2.8F;
    s.ptpSeconds = 0x123456789ABCULL;
    s.ptpNanoseconds = 999999999;
    s.productBrand = "Kor Cameras";
    s.productName = "Model <A&B> \"S\"";
    s.productSerial = "SN-0001";
    s.lensManufacturer = "Lens Works";
    s.lensName = "Prime 50";
    s.lensSerial = "L-42";
    s.clipName = "A001C003_240101";
    s.minFocalLength = 24.5F;
    s.maxFocalLength = 700.0F;
    s.minIris = 2.0F;
    s.maxIris = 22.0F;
    s.lensPropertiesExtra = 3;
    s.positionX = 1234.5F;
    s.positionY = -0.5F;
    s.positionZ = 0.0F;
    s.roll = -12.345F;
    s.pitch = 90.0F;
    s.yaw = 179.5F;
    s.tickCount = 0xABCDEF;
    s.tickCountType = 0;
    s.projectFps = 4;
    s.channelId = 7;
    s.subjectId = 1234;
    s.rawFocusEncoderValid = true;
    s.rawIrisEncoderValid = true;
    s.rawFocusEncoder = 100;
    s.rawZoomEncoder = 200;
    s.rawIrisEncoder = 300;
    s.zeissZd.focusDistance = 123456;
    s.zeissZd.aperture = 2.2F;
    s.zeissZd.horizontalFieldOfView = 63.5F;
    s.zeissZd.entrancePupilPosition = -321;
    s.zeissZd.shading = {0.0F, 10.0F, 20.5F, 150.0F, -5.0F, 99.9F};
    s.zeissZd.radialDistortion = {0.0F, 1.5F, -2.25F, 0.0F, 3.0F, -0.5F};
    s.radioControl = {0x123456, 9, 2, 4, 0};
    s.sensorWidth = 36.0F;
    s.sensorHeight = 24.0F;
    s.clipWidth = 4096;
    s.clipHeight = 2160;
    s.sensorName = "Full Frame 6K";
    s.rawAxesEncoders = {1, 0xFFFFFF, 65536};
    return s;
}

std::vector<Case> ValidCases() {
    const TelemetryData s = Sample();
    std::vector<Case> cases;
    const auto add = [&cases](std::string name, Bytes d, std::vector<Expect> stated,
                              std::set<std::string> experts = {}, std::uint16_t port = kKorPort) {
        cases.push_back({std::move(name), std::move(d), port, true, true, std::move(experts),
                         std::move(stated)});
    };

    // Structure fields and the timecode summary, on a port the heuristic must pick up.
    add("timecode and basic lens, found by heuristic on another port",
        Udp(s, {MT::Timecode, MT::BasicLens}),
        {ExpectText("kor.timecode", "10:20:30:12"), ExpectInt("kor.timecode.hours", 10),
         ExpectInt("kor.timecode.minutes", 20), ExpectInt("kor.timecode.seconds", 30),
         ExpectInt("kor.timecode.frames", 12), ExpectBool("kor.timecode.record_flag", false),
         ExpectInt("kor.basiclens.focus", 1500), ExpectReal("kor.basiclens.zoom", 35.0),
         ExpectReal("kor.basiclens.iris", 2.8), ExpectInt("kor.type", 0, 1),
         ExpectInt("kor.type", 1), ExpectInt("kor.length", 3, 1), ExpectInt("kor.length", 7),
         ExpectInt("kor.record_count", 2), ExpectBool("kor.accepted", true)},
        {}, kOtherPort);

    add("telemetry strings",
        Udp(s, {MT::ProductBrand, MT::ProductName, MT::ProductSerial, MT::LensManufacturer,
                MT::LensName, MT::LensSerial, MT::ClipName}),
        {ExpectText("kor.product_brand", "Kor Cameras"),
         ExpectText("kor.product_name", "Model <A&B> \"S\""),
         ExpectText("kor.product_serial", "SN-0001"),
         ExpectText("kor.lens_manufacturer", "Lens Works"), ExpectText("kor.lens_name", "Prime 50"),
         ExpectText("kor.lens_serial", "L-42"), ExpectText("kor.clip_name", "A001C003_240101")});

    TelemetryData bytes = s;
    bytes.productSerial = "caf\xC3\xA9\x01\xFF";
    add("string with UTF-8 and other bytes", Udp(bytes, {MT::ProductSerial}),
        {ExpectText("kor.product_serial", "caf\xC3\xA9\\x01\\xFF")});

    add("lens properties, 24-bit focal lengths", Udp(s, {MT::LensProperties}),
        {ExpectReal("kor.lensproperties.min_focal_length", 24.5),
         ExpectReal("kor.lensproperties.max_focal_length", 700.0),
         ExpectReal("kor.lensproperties.min_iris", 2.0),
         ExpectReal("kor.lensproperties.max_iris", 22.0), ExpectInt("kor.lensproperties.extra", 3),
         ExpectInt("kor.lensproperties.focal_range_flags", 3)});

    TelemetryData zeros = s;
    zeros.minFocalLength = 0;
    zeros.lensPropertiesExtra = 0;
    zeros.focus = 0;
    zeros.zoom = 0;
    add("zero means not available", Udp(zeros, {MT::LensProperties, MT::BasicLens}),
        {ExpectBool("kor.lensproperties.min_focal_length_valid", false),
         ExpectAbsent("kor.lensproperties.min_focal_length"),
         ExpectInt("kor.lensproperties.focal_range_flags", 1),
         ExpectBool("kor.lensproperties.extra_valid", false),
         ExpectBool("kor.basiclens.focus_valid", false), ExpectAbsent("kor.basiclens.focus"),
         ExpectAbsent("kor.basiclens.zoom"), ExpectBool("kor.basiclens.iris_valid", true),
         ExpectReal("kor.basiclens.iris", 2.8)});

    add("position and axes", Udp(s, {MT::PositionalData, MT::AxesData}),
        {ExpectReal("kor.position.x", 1234.5), ExpectReal("kor.position.y", -0.5),
         ExpectReal("kor.position.z", 0.0), ExpectBool("kor.position.z_valid", true),
         ExpectReal("kor.axes.roll", -12.34), ExpectReal("kor.axes.pitch", 90.0),
         ExpectReal("kor.axes.yaw", 179.5)});

    Bytes na = Udp(s, {MT::PositionalData, MT::AxesData});
    // PositionalData payload starts at 10; AxesData's at 8 + 14 + 2 = 24, yaw at 28.
    na[10] = 0x80;
    na[11] = na[12] = na[13] = 0x00;
    na[28] = 0x80;
    na[29] = 0x00;
    add("not-available codes", na,
        {ExpectBool("kor.position.x_valid", false), ExpectAbsent("kor.position.x"),
         ExpectReal("kor.position.y", -0.5), ExpectBool("kor.axes.yaw_valid", false),
         ExpectAbsent("kor.axes.yaw"), ExpectReal("kor.axes.roll", -12.34)});

    add("ptp, tick count, fps, channel and subject in a mixed frame",
        Udp(s, {MT::Timecode, MT::PtpTimestamp, MT::TickCount, MT::ChannelId, MT::SubjectId,
                MT::AxesData, MT::ProjectFps}),
        {ExpectInt("kor.ptp.seconds", 0x123456789ABCULL),
         ExpectInt("kor.ptp.nanoseconds", 999999999), ExpectInt("kor.tickcount", 0xABCDEF),
         ExpectInt("kor.tickcount.unit", 0), ExpectInt("kor.channel_id", 7),
         ExpectInt("kor.subject_id", 1234), ExpectInt("kor.project_fps", 4),
         ExpectInt("kor.record_count", 7)});

    add("raw lens encoders", Udp(s, {MT::RawLensEncoderWithMask}),
        {ExpectText("kor.raw_lens.mask", "0x05"), ExpectBool("kor.raw_lens.focus_valid", true),
         ExpectBool("kor.raw_lens.zoom_valid", false), ExpectBool("kor.raw_lens.iris_valid", true),
         ExpectInt("kor.raw_lens.focus", 100), ExpectInt("kor.raw_lens.zoom", 200),
         ExpectInt("kor.raw_lens.iris", 300)});

    std::vector<Expect> zeiss = {ExpectInt("kor.zeiss.focus_distance", 123456),
                                 ExpectReal("kor.zeiss.aperture", 2.24),
                                 ExpectInt("kor.zeiss.aperture.base_code", 20),
                                 ExpectInt("kor.zeiss.aperture.steps", 3),
                                 ExpectReal("kor.zeiss.horizontal_field_of_view", 63.5),
                                 ExpectSigned("kor.zeiss.entrance_pupil_position", -321)};
    const double shading[] = {0.0, 10.0, 20.5, 0.0, 0.0, 99.9};
    const double distortion[] = {0.0, 1.5, -2.25, 0.0, 3.0, -0.5};
    for (std::size_t i = 0; i < 6; ++i) {
        zeiss.push_back(ExpectReal("kor.zeiss.shading", shading[i], 5 - i));
        zeiss.push_back(ExpectReal("kor.zeiss.radial_distortion", distortion[i], 5 - i));
    }
    add("zeiss lens data", Udp(s, {MT::ZeissZdData}), zeiss);

    TelemetryData z14 = s;
    z14.zeissZd.aperture = 14.0F;
    z14.zeissZd.entrancePupilPosition = 1023;
    add("zeiss aperture 14", Udp(z14, {MT::ZeissZdData}),
        {ExpectReal("kor.zeiss.aperture", 14.0), ExpectInt("kor.zeiss.aperture.base_code", 110),
         ExpectInt("kor.zeiss.aperture.steps", 6),
         ExpectSigned("kor.zeiss.entrance_pupil_position", 1023)});

    add("radio control, short form", Udp(s, {MT::RadioControl}),
        {ExpectText("kor.radio.form", "short"), ExpectInt("kor.radio.value", 0x123456),
         ExpectInt("kor.radio.param_a", 9), ExpectInt("kor.radio.param_b", 2),
         ExpectAbsent("kor.radio.mode")});
    TelemetryData radioLong = s;
    radioLong.radioControl.radioMode = 1;
    radioLong.radioControl.radioParamC = 77;
    add("radio control, long form", Udp(radioLong, {MT::RadioControl}),
        {ExpectText("kor.radio.form", "long"), ExpectInt("kor.radio.mode", 1),
         ExpectInt("kor.radio.param_c", 77), ExpectInt("kor.radio.param_b", 2)});

    add("sensor size", Udp(s, {MT::SensorSize}),
        {ExpectReal("kor.sensor.width", 36.0), ExpectReal("kor.sensor.height", 24.0),
         ExpectInt("kor.sensor.clip_width", 4096), ExpectInt("kor.sensor.clip_height", 2160),
         ExpectText("kor.sensor.name", "Full Frame 6K")});
    TelemetryData noName = s;
    noName.sensorName.clear();
    add("sensor size without name", Udp(noName, {MT::SensorSize}),
        {ExpectAbsent("kor.sensor.name"), ExpectInt("kor.payload_length", 8)});

    add("raw axes encoders", Udp(s, {MT::RawAxesEncoderWithMask}),
        {ExpectText("kor.raw_axes.mask", "0x07"), ExpectInt("kor.raw_axes.encoder_0", 1),
         ExpectInt("kor.raw_axes.encoder_1", 0xFFFFFF),
         ExpectInt("kor.raw_axes.encoder_2", 65536)});

    TelemetryData lens2 = s;
    lens2.focus = 2000;
    lens2.zoom = 0;
    lens2.iris = 4.0F;
    add("the same type twice",
        WithHeader(Cat(RecordsOf(s, {MT::BasicLens}), RecordsOf(lens2, {MT::BasicLens}))),
        {ExpectInt("kor.basiclens.focus", 1500, 1), ExpectInt("kor.basiclens.focus", 2000),
         ExpectReal("kor.basiclens.iris", 4.0), ExpectInt("kor.record_count", 2)});

    TelemetryData big = s;
    big.clipName = std::string(65, 'c');
    big.productBrand = std::string(50, 'b');
    add("largest datagram, 261 bytes",
        Udp(big, {MT::ClipName, MT::ClipName, MT::ClipName, MT::ProductBrand}),
        {ExpectText("kor.clip_name", std::string(65, 'c')), ExpectInt("kor.record_count", 4)});

    Bytes cutString = Udp(s, {MT::LensName});  // "Prime 50": 8 bytes announced as 20
    cutString[9] = 19;
    add("string record cut short", cutString,
        {ExpectText("kor.lens_name", "Prime 50"), ExpectInt("kor.payload_length", 20),
         ExpectBool("kor.accepted", true)},
        {"truncated"});
    add("type byte alone at the end", Cat(Udp(s, {MT::ChannelId}), {0x18}),
        {ExpectInt("kor.channel_id", 7), ExpectBool("kor.accepted", true)}, {"truncated"});
    return cases;
}

std::vector<Case> MalformedCases() {
    const TelemetryData s = Sample();
    std::vector<Case> cases;
    const auto add = [&cases](std::string name, Bytes d, std::set<std::string> experts,
                              std::vector<Expect> stated = {}, std::uint16_t port = kKorPort) {
        stated.push_back(ExpectBool("kor.accepted", false));
        cases.push_back({std::move(name), std::move(d), port, true, true, std::move(experts),
                         std::move(stated)});
    };

    add("10-byte datagram", WithHeader({0x18, 0x00}), {"length", "truncated", "payload_length"});
    add("5-byte datagram", {0x00, 0xFF, 0x00, 0x00, 0x00}, {"length", "truncated"});
    TelemetryData big = s;
    big.clipName = std::string(65, 'c');
    big.productBrand = std::string(51, 'b');
    add("262-byte datagram",
        WithHeader(RecordsOf(big, {MT::ClipName, MT::ClipName, MT::ClipName, MT::ProductBrand})),
        {"length"});

    Bytes header3 = Udp(s, {MT::ChannelId});
    header3[3] = 0x01;
    add("header byte 3 not zero", header3, {"header"},
        {ExpectInt("kor.header.transmission_type", 1)});
    Bytes header7 = Udp(s, {MT::ChannelId});
    header7[7] = 0x40;
    add("header byte 7 not zero, other port", header7, {"header"}, {}, kOtherPort);
    add("wrong signature on the Kor port",
        {0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00, 0x07}, {"header"});

    add("unknown type 28", Cat(Udp(s, {MT::Timecode}), {0x1C, 0x00, 0x01}), {"unknown_type"},
        {ExpectInt("kor.type", 28), ExpectInt("kor.type", 0, 1)});
    add("reserved type IdList", WithHeader({0x11, 0x00, 0x01}), {"reserved_type"},
        {ExpectInt("kor.type", 17)});
    add("reserved type FileTransferMd5", WithHeader({0x16, 0x01, 0xAA, 0xBB}), {"reserved_type"},
        {ExpectInt("kor.type", 22)});

    add("timecode of 3 bytes", WithHeader({0x00, 0x02, 0x10, 0x20, 0x30}), {"payload_length"},
        {ExpectAbsent("kor.timecode.hours")});
    add("basic lens of 9 bytes", WithHeader({0x01, 0x08, 0, 0, 1, 0, 0, 1, 0, 1, 0}),
        {"payload_length"}, {ExpectAbsent("kor.basiclens.focus")});
    add("tick count of 6 bytes", WithHeader({0x09, 0x05, 1, 2, 3, 4, 5, 6}), {"payload_length"});
    add("tick count of 2 bytes", WithHeader({0x09, 0x01, 1, 2, 0x18, 0x00, 0x07}),
        {"payload_length"}, {ExpectInt("kor.channel_id", 7)});
    add("subject id of 3 bytes", WithHeader({0x1B, 0x02, 1, 2, 3}), {"payload_length"});
    add("radio control of 6 bytes", WithHeader({0x17, 0x05, 1, 2, 3, 4, 5, 6}), {"payload_length"});
    add("sensor size of 7 bytes", WithHeader({0x19, 0x06, 1, 2, 3, 4, 5, 6, 7}),
        {"payload_length"});
    add("channel id of 2 bytes", WithHeader({0x18, 0x01, 7, 7}), {"payload_length"});
    Bytes zeiss33 = Udp(s, {MT::ZeissZdData});
    zeiss33[9] = 32;  // 33 payload bytes, announced as such
    zeiss33.pop_back();
    add("zeiss data of 33 bytes", zeiss33, {"payload_length"},
        {ExpectAbsent("kor.zeiss.aperture")});

    Bytes cutLens = Udp(s, {MT::Timecode, MT::BasicLens});
    cutLens.resize(cutLens.size() - 3);
    add("basic lens cut short", cutLens, {"truncated", "payload_length"},
        {ExpectInt("kor.payload_length", 8)});
    add("empty payload at the end", Cat(Udp(s, {MT::ChannelId}), {0x18, 0x00}),
        {"truncated", "payload_length"});

    const std::pair<std::size_t, std::uint8_t> markers[] = {
        {10, 0x80},  // focus group: bits 7-6 must be 01
        {15, 0xB3},  // aperture byte 5: bits 5-4 must be clear
        {16, 0x60},  // field of view byte 6: bits 7-5 must be 010
        {18, 0x50},  // entrance pupil byte 8: bit 4 must be clear
    };
    for (const auto& [offset, value] : markers) {
        Bytes zeiss = Udp(s, {MT::ZeissZdData});
        zeiss[offset] = value;
        add("zeiss marker bits wrong at payload byte " + std::to_string(offset - 10), zeiss,
            {"marker"});
    }

    add("project fps 6", WithHeader({0x0D, 0x00, 0x06}), {"value"},
        {ExpectInt("kor.project_fps", 6)});

    add("payload of 66 bytes", WithHeader(Cat({0x0E, 0x41}, Bytes(66, 'x'))), {"payload_length"},
        {ExpectInt("kor.payload_length", 66)});
    add("length byte 255", WithHeader(Cat({0x0E, 0xFF}, Bytes(251, 'x'))),
        {"payload_length", "truncated"}, {ExpectInt("kor.payload_length", 256)});
    add("length byte 255, few bytes follow", WithHeader({0x0E, 0xFF, 'A', 'B', 'C'}),
        {"payload_length", "truncated"}, {ExpectAbsent("kor.clip_name")});

    // Not Kor: neither the port nor the heuristic may claim these.
    const auto notKor = [&cases](std::string name, Bytes d) {
        cases.push_back({std::move(name), std::move(d), kOtherPort, false, true, {}, {}});
    };
    notKor("other protocol on another port",
           {'h', 'e', 'l', 'l', 'o', ',', ' ', 'w', 'o', 'r', 'l', 'd'});
    notKor("00 FF 01 on another port", {0x00, 0xFF, 0x01, 0, 0, 0, 0, 0, 0x18, 0x00, 0x07});
    return cases;
}

Bytes FromHex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The UDP frames of published vector files; their expectations are the Device's alone.
std::vector<Case> VectorCases(const std::vector<std::string>& files) {
    std::vector<Case> cases;
    for (const auto& file : files) {
        std::ifstream in(file);
        const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
        if (!doc.is_array()) {
            std::cerr << "skipping " << file << ": not a JSON array\n";
            continue;
        }
        for (const auto& v : doc) {
            if (!v.is_object() || !v.contains("frame") || !v["frame"].is_string()) {
                continue;
            }
            const auto& type = v.value("transmissionType", nlohmann::json());
            const bool udp = (type.is_string() && type.get<std::string>() == "UDP") ||
                             (type.is_number_integer() && type.get<int>() == 0);
            const Bytes frame = FromHex(v["frame"].get<std::string>());
            if (!udp || frame.empty() || frame.size() > 1400) {
                continue;
            }
            Case c;
            c.name = "vector " + v.value("name", std::string("?"));
            c.datagram = frame;
            c.exactExperts = false;
            cases.push_back(std::move(c));
        }
    }
    return cases;
}

std::vector<Case> AllCases(const std::vector<std::string>& vectorFiles) {
    std::vector<Case> cases = ValidCases();
    for (auto& c : MalformedCases()) {
        cases.push_back(std::move(c));
    }
    for (auto& c : VectorCases(vectorFiles)) {
        cases.push_back(std::move(c));
    }
    return cases;
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char buffer[4];
    for (const auto b : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02X", b);
        out += buffer;
    }
    return out;
}

int Write(const std::string& path, const std::vector<Case>& cases) {
    Kor::Pcap::Writer pcap;
    std::string error;
    if (!pcap.Open(path, Kor::Pcap::TimeResolution::Microseconds, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::int64_t frame = 1;
    for (const auto& c : cases) {
        // 127.0.0.1 to 127.0.0.1, frame n stamped n seconds after the epoch.
        if (!pcap.Write(frame * 1'000'000'000, {kLoopback, kSourcePort}, {kLoopback, c.port},
                        c.datagram, error)) {
            std::cerr << error << "\n";
            return 1;
        }
        FrameStatus status{};
        bool accepted = false;
        const auto view = DeviceView(c.datagram, status, accepted);
        std::cout << "frame " << frame++ << ": " << c.name << " (port " << c.port << ", "
                  << c.datagram.size() << " bytes)\n  " << Hex(c.datagram)
                  << "\n  Device: " << StatusName(status) << "\n";
        for (const auto& e : view) {
            std::cout << "    " << Describe(e) << "\n";
        }
        if (c.kor && c.exactExperts) {
            std::cout << "  expert infos:";
            for (const auto& e : c.experts) {
                std::cout << " kor.expert." << e;
            }
            std::cout << (c.experts.empty() ? " none\n" : "\n");
        }
    }
    if (!pcap.Close(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    return 0;
}

// All problems with one packet's dissection; empty when it is right.
std::vector<std::string> CheckCase(const Case& c, const PacketView& packet) {
    std::vector<std::string> problems;
    for (const auto& [name, values] : packet.fields) {
        // Every Lua dissector adds the hidden _ws.lua.fake; anything else from Lua is an error.
        if (name.rfind("_ws.lua", 0) == 0 && name != "_ws.lua.fake") {
            problems.push_back("script error: " + (values.empty() ? name : values.back()));
        }
    }
    if (!c.kor) {
        if (packet.HasProtocol("kor")) {
            problems.push_back("shown as Kor, but is not");
        }
        return problems;
    }
    if (!packet.HasProtocol("kor")) {
        problems.push_back("not shown as Kor");
        return problems;
    }

    FrameStatus status{};
    bool accepted = false;
    const auto view = DeviceView(c.datagram, status, accepted);
    std::vector<Expect> expects = view;
    expects.push_back(ExpectBool("kor.accepted", accepted));
    expects.insert(expects.end(), c.stated.begin(), c.stated.end());
    for (const auto& e : expects) {
        const std::string problem = Check(e, packet);
        if (!problem.empty()) {
            problems.push_back(problem + " [Device: " + StatusName(status) + "]");
        }
    }

    const auto experts = KorExperts(packet);
    if (c.exactExperts) {
        std::set<std::string> wanted;
        for (const auto& e : c.experts) {
            wanted.insert("kor.expert." + e);
        }
        if (experts != wanted) {
            std::string shown;
            for (const auto& e : experts) {
                shown += " " + e;
            }
            problems.push_back("expert infos shown:" + (shown.empty() ? " none" : shown));
        }
    } else if (accepted
                   ? !(experts.empty() || experts == std::set<std::string>{"kor.expert.truncated"})
                   : experts.empty()) {
        problems.push_back(std::string("expert infos do not match the Device's ") +
                           StatusName(status));
    }
    // Every expert info in these packets is the dissector's, so all are malformed errors.
    for (const auto& severity : packet.Values("_ws.expert.severity")) {
        if (severity != "8388608") {
            problems.push_back("expert severity " + severity + " is not Error");
        }
    }
    for (const auto& group : packet.Values("_ws.expert.group")) {
        if (group != "117440512") {
            problems.push_back("expert group " + group + " is not Malformed");
        }
    }
    return problems;
}

int CheckPdml(const std::string& path, const std::vector<Case>& cases) {
    std::ifstream in(path);
    if (!in) {
        std::cerr << "cannot read " << path << "\n";
        return 1;
    }
    const auto packets = ReadPdml(in);
    int passed = 0;
    int failed = 0;
    if (packets.size() != cases.size()) {
        std::cout << "FAIL: " << packets.size() << " packets dissected, " << cases.size()
                  << " written\n";
        ++failed;
    }
    for (std::size_t i = 0; i < cases.size() && i < packets.size(); ++i) {
        const auto problems = CheckCase(cases[i], packets[i]);
        std::cout << (problems.empty() ? "PASS" : "FAIL") << " frame " << i + 1 << ": "
                  << cases[i].name << "\n";
        for (const auto& p : problems) {
            std::cout << "    " << p << "\n";
        }
        (problems.empty() ? passed : failed) += 1;
    }
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: kor_pcap_vectors write OUT.pcap [VECTORS.json...]\n"
                     "       kor_pcap_vectors check IN.pdml [VECTORS.json...]\n";
        return 2;
    }
    const std::string mode = argv[1];
    const std::vector<std::string> vectorFiles(argv + 3, argv + argc);
    const auto cases = AllCases(vectorFiles);
    if (mode == "write") {
        return Write(argv[2], cases);
    }
    if (mode == "check") {
        return CheckPdml(argv[2], cases);
    }
    std::cerr << "unknown mode " << mode << "\n";
    return 2;
}
