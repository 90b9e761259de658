// The Device's view of a datagram in dissector field names, and the per-field comparison.
#include "expectations.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace KorTest {

using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;

Expect ExpectInt(const std::string& field, std::uint64_t value, std::size_t fromEnd) {
    return Expect{field, Expect::Kind::Exact, std::to_string(value), 0, fromEnd};
}

Expect ExpectSigned(const std::string& field, std::int64_t value) {
    return Expect{field, Expect::Kind::Exact, std::to_string(value), 0, 0};
}

Expect ExpectBool(const std::string& field, bool value) {
    return Expect{field, Expect::Kind::Exact, value ? "1" : "0", 0, 0};
}

Expect ExpectReal(const std::string& field, double value, std::size_t fromEnd) {
    return Expect{field, Expect::Kind::Real, "", value, fromEnd};
}

Expect ExpectText(const std::string& field, const std::string& value) {
    return Expect{field, Expect::Kind::Exact, value, 0, 0};
}

Expect ExpectAbsent(const std::string& field) {
    return Expect{field, Expect::Kind::Absent, "", 0, 0};
}

namespace {

struct RecordInfo {
    std::uint8_t type;
    std::size_t payloadLength;  // bytes present
};

// The records of a datagram that Device accepted (so the header and types are sound).
std::vector<RecordInfo> Records(const std::vector<std::uint8_t>& d) {
    std::vector<RecordInfo> records;
    std::size_t offset = 8;
    while (offset + 1 < d.size()) {
        const std::size_t announced = static_cast<std::size_t>(d[offset + 1]) + 1;
        const std::size_t present = std::min(announced, d.size() - offset - 2);
        records.push_back({d[offset], present});
        offset += 2 + present;
    }
    return records;
}

bool Has(const std::vector<RecordInfo>& records, MessageType type) {
    for (const auto& r : records) {
        if (r.type == static_cast<std::uint8_t>(type)) {
            return true;
        }
    }
    return false;
}

// A value with a valid flag: the flag, and the value while it is valid. (A value that is not
// available is not shown by its record, but an earlier record of the type may show one.)
template <typename T>
void Optional(std::vector<Expect>& out, const std::string& field, bool valid, T value) {
    out.push_back(ExpectBool(field + "_valid", valid));
    if (!valid) {
        return;
    }
    if constexpr (std::is_floating_point_v<T>) {
        out.push_back(ExpectReal(field, value));
    } else {
        out.push_back(ExpectInt(field, value));
    }
}

// How the dissector writes a telemetry string: valid UTF-8 and printable ASCII as they are,
// every other byte as \xNN.
std::string Printable(const std::string& raw) {
    std::string out;
    std::size_t i = 0;
    while (i < raw.size()) {
        const auto c = static_cast<unsigned char>(raw[i]);
        std::size_t size = 0;
        if (c >= 0x20 && c < 0x7F) {
            size = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            size = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            size = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            size = 4;
        }
        for (std::size_t k = 1; k < size; ++k) {
            const std::size_t at = i + k;
            const auto next = at < raw.size() ? static_cast<unsigned char>(raw[at]) : 0U;
            if (next < 0x80 || next > 0xBF) {
                size = 0;
                break;
            }
        }
        if (size == 0) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            out += buffer;
            ++i;
        } else {
            out += raw.substr(i, size);
            i += size;
        }
    }
    return out;
}

void AddState(std::vector<Expect>& out, const TelemetryData& s,
              const std::vector<RecordInfo>& records) {
    if (Has(records, MessageType::Timecode)) {
        out.push_back(ExpectInt("kor.timecode.hours", s.timecodeHours));
        out.push_back(ExpectInt("kor.timecode.minutes", s.timecodeMinutes));
        out.push_back(ExpectInt("kor.timecode.seconds", s.timecodeSeconds));
        out.push_back(ExpectInt("kor.timecode.frames", s.timecodeFrames));
        out.push_back(ExpectBool("kor.timecode.record_flag", s.recordFlag));
    }
    if (Has(records, MessageType::BasicLens)) {
        Optional(out, "kor.basiclens.focus", s.focusValid, s.focus);
        Optional(out, "kor.basiclens.zoom", s.zoomValid, s.zoom);
        Optional(out, "kor.basiclens.iris", s.irisValid, s.iris);
    }
    if (Has(records, MessageType::PtpTimestamp)) {
        out.push_back(ExpectInt("kor.ptp.seconds", s.ptpSeconds));
        out.push_back(ExpectInt("kor.ptp.nanoseconds", s.ptpNanoseconds));
    }
    const std::pair<MessageType, std::pair<const char*, const std::string*>> strings[] = {
        {MessageType::ProductBrand, {"kor.product_brand", &s.productBrand}},
        {MessageType::ProductName, {"kor.product_name", &s.productName}},
        {MessageType::ProductSerial, {"kor.product_serial", &s.productSerial}},
        {MessageType::LensManufacturer, {"kor.lens_manufacturer", &s.lensManufacturer}},
        {MessageType::LensName, {"kor.lens_name", &s.lensName}},
        {MessageType::LensSerial, {"kor.lens_serial", &s.lensSerial}},
        {MessageType::ClipName, {"kor.clip_name", &s.clipName}},
    };
    for (const auto& [type, target] : strings) {
        if (Has(records, type)) {
            out.push_back(ExpectText(target.first, Printable(*target.second)));
        }
    }
    if (Has(records, MessageType::LensProperties)) {
        Optional(out, "kor.lensproperties.min_focal_length", s.minFocalLengthValid,
                 s.minFocalLength);
        Optional(out, "kor.lensproperties.max_focal_length", s.maxFocalLengthValid,
                 s.maxFocalLength);
        Optional(out, "kor.lensproperties.min_iris", s.minIrisValid, s.minIris);
        Optional(out, "kor.lensproperties.max_iris", s.maxIrisValid, s.maxIris);
        Optional(out, "kor.lensproperties.extra", s.lensPropertiesExtraValid,
                 s.lensPropertiesExtra);
        out.push_back(ExpectInt("kor.lensproperties.focal_range_flags", s.focalRangeFlags));
    }
    if (Has(records, MessageType::PositionalData)) {
        Optional(out, "kor.position.x", s.positionXValid, s.positionX);
        Optional(out, "kor.position.y", s.positionYValid, s.positionY);
        Optional(out, "kor.position.z", s.positionZValid, s.positionZ);
    }
    if (Has(records, MessageType::AxesData)) {
        Optional(out, "kor.axes.roll", s.rollValid, s.roll);
        Optional(out, "kor.axes.pitch", s.pitchValid, s.pitch);
        Optional(out, "kor.axes.yaw", s.yawValid, s.yaw);
    }
    if (Has(records, MessageType::TickCount)) {
        out.push_back(ExpectInt("kor.tickcount", s.tickCount));
        out.push_back(ExpectInt("kor.tickcount.unit", s.tickCountType));
    }
    if (Has(records, MessageType::ProjectFps)) {
        out.push_back(ExpectInt("kor.project_fps", s.projectFps));
    }
    if (Has(records, MessageType::RawLensEncoderWithMask)) {
        Optional(out, "kor.raw_lens.focus", s.rawFocusEncoderValid, s.rawFocusEncoder);
        Optional(out, "kor.raw_lens.zoom", s.rawZoomEncoderValid, s.rawZoomEncoder);
        Optional(out, "kor.raw_lens.iris", s.rawIrisEncoderValid, s.rawIrisEncoder);
    }
    if (Has(records, MessageType::ZeissZdData)) {
        const auto& z = s.zeissZd;
        out.push_back(ExpectInt("kor.zeiss.focus_distance", z.focusDistance));
        out.push_back(ExpectReal("kor.zeiss.aperture", z.aperture));
        out.push_back(ExpectReal("kor.zeiss.horizontal_field_of_view", z.horizontalFieldOfView));
        out.push_back(ExpectSigned("kor.zeiss.entrance_pupil_position", z.entrancePupilPosition));
        for (std::size_t i = 0; i < 6; ++i) {
            out.push_back(ExpectReal("kor.zeiss.shading", z.shading[i], 5 - i));
            out.push_back(ExpectReal("kor.zeiss.radial_distortion", z.radialDistortion[i], 5 - i));
        }
    }
    if (Has(records, MessageType::RadioControl)) {
        const auto& r = s.radioControl;
        out.push_back(ExpectInt("kor.radio.value", r.radioValue));
        out.push_back(ExpectInt("kor.radio.param_a", r.radioParamA));
        out.push_back(ExpectInt("kor.radio.param_b", r.radioParamB));
        bool longForm = false;
        for (const auto& rec : records) {
            longForm = longForm || (rec.type == 23 && rec.payloadLength == 7);
        }
        if (longForm) {
            out.push_back(ExpectInt("kor.radio.mode", r.radioMode));
            out.push_back(ExpectInt("kor.radio.param_c", r.radioParamC));
        } else {
            out.push_back(ExpectAbsent("kor.radio.mode"));
            out.push_back(ExpectAbsent("kor.radio.param_c"));
        }
    }
    if (Has(records, MessageType::ChannelId)) {
        out.push_back(ExpectInt("kor.channel_id", s.channelId));
    }
    if (Has(records, MessageType::SensorSize)) {
        out.push_back(ExpectReal("kor.sensor.width", s.sensorWidth));
        out.push_back(ExpectReal("kor.sensor.height", s.sensorHeight));
        out.push_back(ExpectInt("kor.sensor.clip_width", s.clipWidth));
        out.push_back(ExpectInt("kor.sensor.clip_height", s.clipHeight));
        out.push_back(s.sensorName.empty()
                          ? ExpectAbsent("kor.sensor.name")
                          : ExpectText("kor.sensor.name", Printable(s.sensorName)));
    }
    if (Has(records, MessageType::RawAxesEncoderWithMask)) {
        // A fresh Device holds 0 for a value whose mask bit was never set.
        for (std::size_t i = 0; i < 3; ++i) {
            if (s.rawAxesEncoders[i] != 0) {
                out.push_back(ExpectBool("kor.raw_axes.present_" + std::to_string(i), true));
                out.push_back(
                    ExpectInt("kor.raw_axes.encoder_" + std::to_string(i), s.rawAxesEncoders[i]));
            }
        }
    }
    if (Has(records, MessageType::SubjectId)) {
        out.push_back(ExpectInt("kor.subject_id", s.subjectId));
    }
}

}  // namespace

std::vector<Expect> DeviceView(const std::vector<std::uint8_t>& datagram, FrameStatus& status,
                               bool& accepted) {
    Kor::Protocol::Device device;
    status = device.Update(datagram);
    accepted = status == FrameStatus::NewTimecode || status == FrameStatus::SameTimecode;
    std::vector<Expect> out;
    if (accepted) {
        AddState(out, *device.GetCurrentState(), Records(datagram));
    }
    return out;
}

std::string Check(const Expect& expect, const PacketView& packet) {
    const auto& values = packet.Values(expect.field);
    if (expect.kind == Expect::Kind::Absent) {
        return values.empty() ? ""
                              : expect.field + " shown as " + values.back() + ", expected absent";
    }
    if (values.size() <= expect.fromEnd) {
        return expect.field + " missing (" + Describe(expect) + ")";
    }
    const std::string& shown = values[values.size() - 1 - expect.fromEnd];
    if (expect.kind == Expect::Kind::Exact) {
        return shown == expect.text
                   ? ""
                   : "shown " + expect.field + " = " + shown + ", expected " + expect.text;
    }
    char* end = nullptr;
    const double value = std::strtod(shown.c_str(), &end);
    // The Device stores single-precision floats; the dissector computes in double.
    const double tolerance = 1e-4 + 1e-6 * std::fabs(expect.real);
    if (end == shown.c_str() || std::fabs(value - expect.real) > tolerance) {
        return "shown " + expect.field + " = " + shown + ", expected " + Describe(expect);
    }
    return "";
}

std::string Describe(const Expect& expect) {
    std::string text = expect.field;
    if (expect.fromEnd != 0) {
        text += "[last-" + std::to_string(expect.fromEnd) + "]";
    }
    switch (expect.kind) {
        case Expect::Kind::Absent: return text + " absent";
        case Expect::Kind::Exact: return text + " = " + expect.text;
        case Expect::Kind::Real: {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%.6g", expect.real);
            return text + " ~ " + buffer;
        }
    }
    return text;
}

const char* StatusName(FrameStatus status) {
    switch (status) {
        case FrameStatus::NewTimecode: return "NewTimecode";
        case FrameStatus::SameTimecode: return "SameTimecode";
        case FrameStatus::Incomplete: return "Incomplete";
        case FrameStatus::ChecksumError: return "ChecksumError";
        case FrameStatus::FramingError: return "FramingError";
        case FrameStatus::PayloadTooLong: return "PayloadTooLong";
        case FrameStatus::BadMessageType: return "BadMessageType";
        case FrameStatus::MessageRejected: return "MessageRejected";
        case FrameStatus::LengthError: return "LengthError";
        case FrameStatus::HeaderError: return "HeaderError";
    }
    return "?";
}

std::set<std::string> KorExperts(const PacketView& packet) {
    std::set<std::string> names;
    for (const auto& [name, values] : packet.fields) {
        if (name.rfind("kor.expert.", 0) == 0) {
            names.insert(name);
        }
    }
    return names;
}

}  // namespace KorTest
