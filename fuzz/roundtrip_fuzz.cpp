// Fuzz target: a record encoded as UDP and as Serial decodes on both paths to one and the same
// state, which matches the record within each field's fixed-point step.
//
// Input: a count byte and that many message types (0 to 31: reserved and unknown types and
// duplicates included), then the record's fields in the order ReadRecord takes them.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "fuzz_support.h"

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_fuzz::Bytes;
using kor_fuzz::Require;
using MT = MessageType;

constexpr std::size_t kMaxRecordBytes = 253;  // records in one frame, UDP and Serial alike
constexpr std::size_t kMaxStringPayload = 65;
constexpr std::size_t kMaxSensorName = 56;
constexpr std::size_t kUdpHeaderSize = 8;

// Value ranges that the wire carries without wrapping; the encoder wraps values outside them
// by design, so the record is kept inside. Upper limits stay a little clear of the field
// width, since the value is scaled in single precision before it is truncated.
constexpr float kMaxU24Hundredths = 167772.0F;  // u24 x 100
constexpr float kMaxU16Hundredths = 655.34F;    // u16 x 100
constexpr float kMaxI32Hundredths = 2.0e7F;     // i32 x 100, clear of 0x80000000
constexpr float kMaxI16Hundredths = 327.67F;    // i16 x 100, clear of 0x8000
constexpr int kMaxPupilMagnitude = 1023;        // 10-bit magnitude and a sign
constexpr std::size_t kMaxInputString = 70;     // longer than the 65 bytes that travel

struct RecordInput {
    std::vector<MessageType> types;
    TelemetryData data;
};

RecordInput ReadRecord(kor_fuzz::ByteReader& in) {
    const auto byteBelow = [&](unsigned limit) {
        return static_cast<std::uint8_t>(in.U8() % limit);
    };
    const auto text = [&] { return in.String(kMaxInputString); };
    RecordInput r;
    r.types.resize(in.U8() % 41);
    for (MessageType& type : r.types) {
        type = static_cast<MessageType>(in.U8() % 32);
    }
    auto& d = r.data;
    for (std::uint8_t* v : {&d.timecodeHours, &d.timecodeMinutes, &d.timecodeSeconds}) {
        *v = byteBelow(100);  // BCD bytes carry 0 to 99
    }
    d.timecodeFrames = byteBelow(80);  // the frames byte keeps bit 7 for the flag
    d.recordFlag = (in.U8() & 1U) != 0;
    d.focus = in.Uint<std::uint32_t>();
    d.zoom = in.Float(0.0F, kMaxU24Hundredths);
    d.iris = in.Float(0.0F, kMaxU16Hundredths);
    d.ptpSeconds = in.Uint<std::uint64_t>();
    d.ptpNanoseconds = in.Uint<std::uint32_t>();
    d.productBrand = text();
    d.productName = text();
    d.productSerial = text();
    d.minFocalLength = in.Float(0.0F, kMaxU24Hundredths);
    d.maxFocalLength = in.Float(0.0F, kMaxU24Hundredths);
    d.minIris = in.Float(0.0F, kMaxU16Hundredths);
    d.maxIris = in.Float(0.0F, kMaxU16Hundredths);
    d.lensPropertiesExtra = in.U8();
    for (float* v : {&d.positionX, &d.positionY, &d.positionZ}) {
        *v = in.Float(-kMaxI32Hundredths, kMaxI32Hundredths);
    }
    for (float* v : {&d.roll, &d.pitch, &d.yaw}) {
        *v = in.Float(-kMaxI16Hundredths, kMaxI16Hundredths);
    }
    d.tickCount = in.Uint<std::uint64_t>();
    d.tickCountType = in.U8();
    d.lensManufacturer = text();
    d.lensName = text();
    d.lensSerial = text();
    d.projectFps = byteBelow(8);  // 6 and 7 are not sent
    d.clipName = text();
    const std::uint8_t mask = in.U8();
    d.rawFocusEncoderValid = (mask & 1U) != 0;
    d.rawZoomEncoderValid = (mask & 2U) != 0;
    d.rawIrisEncoderValid = (mask & 4U) != 0;
    d.rawFocusEncoder = in.Uint<std::uint16_t>();
    d.rawZoomEncoder = in.Uint<std::uint16_t>();
    d.rawIrisEncoder = in.Uint<std::uint16_t>();
    auto& z = d.zeissZd;
    z.focusDistance = in.Uint<std::uint32_t>();
    z.aperture = in.Float(1.4F, 37.45F);  // the lowest base stop to 22 plus 15 steps of 1.0
    z.horizontalFieldOfView = in.Float(0.0F, 204.7F);  // 11 bits x 10
    z.entrancePupilPosition = static_cast<std::int16_t>(
        static_cast<int>(in.Uint<std::uint16_t>() % (2 * kMaxPupilMagnitude + 1)) -
        kMaxPupilMagnitude);
    for (float& s : z.shading) {
        s = in.Float(0.0F, 100.0F);  // x 10, carried as 1000 - value
    }
    for (float& v : z.radialDistortion) {
        v = in.Float(-327.68F, kMaxI16Hundredths);  // i16 x 100, no not-available code
    }
    auto& radio = d.radioControl;
    radio.radioValue = in.Uint<std::uint32_t>();
    for (std::uint8_t* v : {&radio.radioParamA, &radio.radioParamB, &radio.radioMode,
                            &radio.radioParamC, &d.channelId}) {
        *v = in.U8();
    }
    d.sensorWidth = in.Float(0.0F, kMaxU16Hundredths);
    d.sensorHeight = in.Float(0.0F, kMaxU16Hundredths);
    d.clipWidth = in.Uint<std::uint16_t>();
    d.clipHeight = in.Uint<std::uint16_t>();
    d.sensorName = text();
    for (auto& v : d.rawAxesEncoders) {
        v = in.Uint<std::uint32_t>();
    }
    d.subjectId = in.Uint<std::uint32_t>();
    return r;
}

// Payload length of the record written for `type`; 0 when no record is written (types
// without an encoder, empty strings, a ProjectFps value the receiver would refuse).
std::size_t PayloadLength(const TelemetryData& d, MessageType type) {
    const auto text = [](const std::string& s) { return std::min(s.size(), kMaxStringPayload); };
    switch (type) {
        case MT::Timecode: return 4;
        case MT::BasicLens: return 8;
        case MT::PtpTimestamp: return 10;
        case MT::ProductBrand: return text(d.productBrand);
        case MT::ProductName: return text(d.productName);
        case MT::ProductSerial: return text(d.productSerial);
        case MT::LensProperties: return 11;
        case MT::PositionalData: return 12;
        case MT::AxesData: return 6;
        case MT::TickCount: return 3U + std::min<unsigned>(d.tickCountType, 2);
        case MT::LensManufacturer: return text(d.lensManufacturer);
        case MT::LensName: return text(d.lensName);
        case MT::LensSerial: return text(d.lensSerial);
        case MT::ProjectFps: return d.projectFps <= 5 ? 1 : 0;
        case MT::ClipName: return text(d.clipName);
        case MT::RawLensEncoderWithMask: return 7;
        case MT::ZeissZdData: return 34;
        case MT::RadioControl: return d.radioControl.radioMode == 4 ? 5 : 7;
        case MT::ChannelId: return 1;
        case MT::SensorSize: return 8 + std::min(d.sensorName.size(), kMaxSensorName);
        case MT::RawAxesEncoderWithMask: return 10;
        case MT::SubjectId: return 2;
        default: return 0;
    }
}

// Which types end up in the frame: in list order, every record that still fits; a record
// that would overflow the frame is left out and later, shorter ones are still tried.
struct Fitted {
    std::array<bool, 32> sent{};
    std::vector<MessageType> order;  // the records in the frame, in frame order
    std::size_t recordBytes = 0;

    bool Has(MessageType t) const { return sent[static_cast<std::size_t>(t)]; }
};

Fitted FitRecords(const TelemetryData& d, const std::vector<MessageType>& types) {
    Fitted f;
    for (MessageType t : types) {
        const std::size_t payload = PayloadLength(d, t);
        if (payload != 0 && f.recordBytes + 2 + payload <= kMaxRecordBytes) {
            f.recordBytes += 2 + payload;
            f.sent[static_cast<std::size_t>(t)] = true;
            f.order.push_back(t);
        }
    }
    return f;
}

// |decoded - sent| within `step`, plus the single-precision rounding of the scaling on the
// way out and of the division on the way in.
bool WithinStep(float decoded, float sent, double step) {
    const double tolerance = step * (1.0 + 1e-6) + std::fabs(static_cast<double>(sent)) * 0x1p-21;
    return std::fabs(static_cast<double>(decoded) - sent) <= tolerance;
}

// Checks a decoded fixed-point value against the sent one and takes it as the expected value.
void Take(float& expected, float decoded, float sent, double step, const char* field) {
    Require(WithinStep(decoded, sent, step), "decoded value more than one step off", field);
    expected = decoded;
}

// The aperture travels as a base stop and a count of steps above it, rounded to the nearest
// step: the step size around `a`.
double ApertureStep(float a) {
    constexpr std::array<float, 8> kBaseStops{2.0F, 2.8F, 4.0F, 5.6F, 8.0F, 11.0F, 16.0F, 22.0F};
    constexpr std::array<double, 9> kSteps{0.06, 0.08, 0.12, 0.16, 0.24, 0.3, 0.5, 0.6, 1.0};
    return kSteps[std::upper_bound(kBaseStops.begin(), kBaseStops.end(), a) - kBaseStops.begin()];
}

// The state that a device holding `base` must reach from a frame of the record `rec` holding
// the records `f` says were sent. Fixed-point fields are checked against the record within
// their step here and taken from `got`; the caller compares every field exactly. Fields of
// types not sent keep their values, except channel and subject, which describe only the
// frame that carried them.
TelemetryData Expected(const TelemetryData& got, const TelemetryData& rec,
                       const TelemetryData& base, const Fitted& f) {
    TelemetryData e = base;
    const TelemetryData def;
    e.channelId = f.Has(MT::ChannelId) ? rec.channelId : def.channelId;
    e.subjectId = f.Has(MT::SubjectId) ? rec.subjectId & 0xFFFFU : def.subjectId;

    // A non-negative x100 field in which zero means "not available": a value that truncates
    // to zero clears the flag and keeps the previous value; any other is stored and sets it.
    const auto optional = [&](float TelemetryData::*value, bool TelemetryData::*valid,
                              const char* field) {
        e.*valid = got.*valid;
        if (got.*valid) {
            Require(got.*value >= 0.0099F, "stored value below one step", field);
            Take(e.*value, got.*value, rec.*value, 0.01, field);
        } else {
            Require(WithinStep(0.0F, rec.*value, 0.01), "value of a step or more not stored",
                    field);
        }
    };
    // Strings travel cut to 65 bytes; an empty one is not sent at all.
    const auto text = [&](MessageType type, std::string TelemetryData::*field) {
        if (f.Has(type)) {
            e.*field = (rec.*field).substr(0, kMaxStringPayload);
        }
        return f.Has(type);
    };

    if (f.Has(MT::Timecode)) {
        e.timecodeHours = rec.timecodeHours;
        e.timecodeMinutes = rec.timecodeMinutes;
        e.timecodeSeconds = rec.timecodeSeconds;
        e.timecodeFrames = rec.timecodeFrames;
        e.recordFlag = rec.recordFlag;
    }
    if (f.Has(MT::BasicLens)) {
        const std::uint32_t focus = rec.focus & 0xFFFFFFU;
        e.focusValid = focus != 0;
        e.focus = focus != 0 ? focus : base.focus;
        optional(&TelemetryData::zoom, &TelemetryData::zoomValid, "zoom");
        optional(&TelemetryData::iris, &TelemetryData::irisValid, "iris");
    }
    if (f.Has(MT::PtpTimestamp)) {
        e.ptpSeconds = rec.ptpSeconds & 0xFFFFFFFFFFFFULL;
        e.ptpNanoseconds = rec.ptpNanoseconds;
    }
    const bool brand = text(MT::ProductBrand, &TelemetryData::productBrand);
    const bool name = text(MT::ProductName, &TelemetryData::productName);
    if (text(MT::ProductSerial, &TelemetryData::productSerial) || brand || name) {
        e.productInfoComplete =
            !e.productBrand.empty() && !e.productName.empty() && !e.productSerial.empty();
    }
    const bool maker = text(MT::LensManufacturer, &TelemetryData::lensManufacturer);
    const bool lens = text(MT::LensName, &TelemetryData::lensName);
    if (text(MT::LensSerial, &TelemetryData::lensSerial) || maker || lens) {
        e.lensInfoComplete =
            !e.lensManufacturer.empty() && !e.lensName.empty() && !e.lensSerial.empty();
    }
    e.clipNameReceived = text(MT::ClipName, &TelemetryData::clipName) || base.clipNameReceived;

    if (f.Has(MT::LensProperties)) {
        optional(&TelemetryData::minFocalLength, &TelemetryData::minFocalLengthValid, "minFocal");
        optional(&TelemetryData::maxFocalLength, &TelemetryData::maxFocalLengthValid, "maxFocal");
        optional(&TelemetryData::minIris, &TelemetryData::minIrisValid, "minIris");
        optional(&TelemetryData::maxIris, &TelemetryData::maxIrisValid, "maxIris");
        e.lensPropertiesExtraValid = rec.lensPropertiesExtra != 0;
        e.lensPropertiesExtra =
            rec.lensPropertiesExtra != 0 ? rec.lensPropertiesExtra : base.lensPropertiesExtra;
        e.focalRangeFlags = static_cast<std::uint8_t>((e.minFocalLengthValid ? 2 : 0) +
                                                      (e.maxFocalLengthValid ? 1 : 0));
    }
    // The sender cannot mark an axis or angle as unavailable, and the ranges stay clear of
    // the code that means so: every axis is valid once sent.
    if (f.Has(MT::PositionalData)) {
        e.positionXValid = e.positionYValid = e.positionZValid = true;
        Take(e.positionX, got.positionX, rec.positionX, 0.01, "positionX");
        Take(e.positionY, got.positionY, rec.positionY, 0.01, "positionY");
        Take(e.positionZ, got.positionZ, rec.positionZ, 0.01, "positionZ");
    }
    if (f.Has(MT::AxesData)) {
        e.rollValid = e.pitchValid = e.yawValid = true;
        Take(e.roll, got.roll, rec.roll, 0.01, "roll");
        Take(e.pitch, got.pitch, rec.pitch, 0.01, "pitch");
        Take(e.yaw, got.yaw, rec.yaw, 0.01, "yaw");
    }
    if (f.Has(MT::TickCount)) {
        // The payload length carries the unit; any type above 1 travels as microseconds.
        e.tickCountType = std::min<std::uint8_t>(rec.tickCountType, 2);
        e.tickCount = rec.tickCount & ((1ULL << (24 + 8 * e.tickCountType)) - 1);
    }
    if (f.Has(MT::ProjectFps)) {
        e.projectFps = rec.projectFps;
    }
    if (f.Has(MT::RawLensEncoderWithMask)) {
        e.rawFocusEncoderValid = rec.rawFocusEncoderValid;
        e.rawZoomEncoderValid = rec.rawZoomEncoderValid;
        e.rawIrisEncoderValid = rec.rawIrisEncoderValid;
        e.rawFocusEncoder = rec.rawFocusEncoderValid ? rec.rawFocusEncoder : base.rawFocusEncoder;
        e.rawZoomEncoder = rec.rawZoomEncoderValid ? rec.rawZoomEncoder : base.rawZoomEncoder;
        e.rawIrisEncoder = rec.rawIrisEncoderValid ? rec.rawIrisEncoder : base.rawIrisEncoder;
    }
    if (f.Has(MT::ZeissZdData)) {
        const auto& rz = rec.zeissZd;
        const auto& gz = got.zeissZd;
        auto& ez = e.zeissZd;
        ez.focusDistance = rz.focusDistance & 0xFFFFFFU;
        // Rounded to the nearest step: at most half a step off.
        Take(ez.aperture, gz.aperture, rz.aperture, ApertureStep(rz.aperture) * 0.5 + 1e-4,
             "zeissZd.aperture");
        Take(ez.horizontalFieldOfView, gz.horizontalFieldOfView, rz.horizontalFieldOfView, 0.1,
             "zeissZd.horizontalFieldOfView");
        ez.entrancePupilPosition = rz.entrancePupilPosition;
        // Element 0 is not sent: its slots are fixed, and decode to 0.
        ez.shading[0] = ez.radialDistortion[0] = 0.0F;
        for (std::size_t i = 1; i < 6; ++i) {
            Take(ez.shading[i], gz.shading[i], rz.shading[i], 0.1, "zeissZd.shading");
            Take(ez.radialDistortion[i], gz.radialDistortion[i], rz.radialDistortion[i], 0.01,
                 "zeissZd.radialDistortion");
        }
    }
    if (f.Has(MT::RadioControl)) {
        const auto& rr = rec.radioControl;
        auto& er = e.radioControl;
        er.radioValue = rr.radioValue & 0xFFFFFFU;
        er.radioParamA = rr.radioParamA;
        er.radioParamB = rr.radioParamB;
        // Mode 4 selects the short form, which carries neither the mode nor parameter C.
        if (rr.radioMode != 4) {
            er.radioMode = rr.radioMode;
            er.radioParamC = rr.radioParamC;
        }
    }
    if (f.Has(MT::SensorSize)) {
        Take(e.sensorWidth, got.sensorWidth, rec.sensorWidth, 0.01, "sensorWidth");
        Take(e.sensorHeight, got.sensorHeight, rec.sensorHeight, 0.01, "sensorHeight");
        e.clipWidth = rec.clipWidth;
        e.clipHeight = rec.clipHeight;
        if (!rec.sensorName.empty()) {  // an empty name leaves the previous one
            e.sensorName = rec.sensorName.substr(0, kMaxSensorName);
        }
    }
    if (f.Has(MT::RawAxesEncoderWithMask)) {
        for (std::size_t i = 0; i < 3; ++i) {
            e.rawAxesEncoders[i] = rec.rawAxesEncoders[i] & 0xFFFFFFU;
        }
    }
    return e;
}

// Moves a value away from its default: flags flipped, numbers raised, strings replaced.
template <typename T>
void Perturb(T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        v = !v;
    } else if constexpr (std::is_floating_point_v<T>) {
        v += 7.25F;
    } else if constexpr (std::is_integral_v<T>) {
        v = static_cast<T>(v + 7);
    } else if constexpr (std::is_same_v<T, std::string>) {
        v = "earlier";
    } else {
        for (auto& x : v) {
            Perturb(x);
        }
    }
}

// A state in which every field differs from the defaults, for a device that has decoded
// earlier frames: a decoder that resets a field it was not sent is caught.
TelemetryData EarlierState() {
    TelemetryData d;
#define KOR_FUZZ_PERTURB(field) Perturb(d.field);
    KOR_FUZZ_STATE_FIELDS(KOR_FUZZ_PERTURB)
#undef KOR_FUZZ_PERTURB
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kor_fuzz::ByteReader in(data, size);
    const RecordInput input = ReadRecord(in);
    const TelemetryData& rec = input.data;
    const Bytes udp = rec.Encode(TransmissionType::UDP, input.types);
    const Bytes serial = rec.Encode(TransmissionType::Serial, input.types);

    // The frames hold exactly the records that fit, framed as each transmission type says.
    const Fitted fitted = FitRecords(rec, input.types);
    Require(udp.size() == kUdpHeaderSize + fitted.recordBytes, "UDP frame size");
    Require(serial == kor_fuzz::SerialFrame(Bytes(udp.begin() + kUdpHeaderSize, udp.end())),
            "Serial frame does not hold the UDP frame's records");

    // Decoded by a fresh device, and by one that has seen earlier frames.
    for (const TelemetryData& base : {TelemetryData{}, EarlierState()}) {
        Device device(base);
        const bool moved = fitted.Has(MT::Timecode) && !kor_fuzz::SameTimecode(rec, base);
        Require(
            device.Update(serial) == (moved ? FrameStatus::NewTimecode : FrameStatus::SameTimecode),
            "Serial frame status");
        const TelemetryData& got = *device.GetCurrentState();
        kor_fuzz::RequireSameState(got, Expected(got, rec, base, fitted),
                                   "decoded field differs from the record");
        const Kor::Protocol::FrameReport report = device.GetLastFrame();
        Require(std::equal(report.messages.begin(), report.messages.end(), fitted.order.begin(),
                           fitted.order.end()),
                "the report does not list the frame's records");
    }

    Device viaUdp;
    Device viaSerial;
    const FrameStatus udpStatus = viaUdp.Update(udp);
    if (fitted.recordBytes == 0) {
        // A datagram without records is too short for the receiver.
        Require(udpStatus == FrameStatus::LengthError, "datagram without records accepted");
        return 0;
    }
    Require(udpStatus == viaSerial.Update(serial), "UDP and Serial statuses differ");
    const Kor::Protocol::MessageTypes udpTypes = viaUdp.GetLastFrame().messages;
    Require(std::equal(udpTypes.begin(), udpTypes.end(), fitted.order.begin(), fitted.order.end()),
            "the datagram's report does not list its records");
    kor_fuzz::RequireSameState(*viaUdp.GetCurrentState(), *viaSerial.GetCurrentState(),
                               "UDP and Serial decode to different states");
    return 0;
}
