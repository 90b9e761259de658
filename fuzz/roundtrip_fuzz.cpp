// Fuzz target: a record encoded as UDP and as Serial decodes on both paths to one and the same
// state, which matches the record within each field's fixed-point step.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "fuzz_support.h"
#include "record_input.h"

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_fuzz::Bytes;
using kor_fuzz::Require;

constexpr std::size_t kMaxRecordBytes = 253;  // records in one frame, UDP and Serial alike
constexpr std::size_t kMaxStringPayload = 65;
constexpr std::size_t kMaxSensorName = 56;
constexpr std::size_t kUdpHeaderSize = 8;

std::size_t StringPayload(const std::string& s) {
    return std::min(s.size(), kMaxStringPayload);
}

// Payload length of the record written for `type`; 0 when no record is written (types
// without an encoder, empty strings, a ProjectFps value the receiver would refuse).
std::size_t PayloadLength(const TelemetryData& d, MessageType type) {
    switch (type) {
        case MessageType::Timecode: return 4;
        case MessageType::BasicLens: return 8;
        case MessageType::PtpTimestamp: return 10;
        case MessageType::ProductBrand: return StringPayload(d.productBrand);
        case MessageType::ProductName: return StringPayload(d.productName);
        case MessageType::ProductSerial: return StringPayload(d.productSerial);
        case MessageType::LensProperties: return 11;
        case MessageType::PositionalData: return 12;
        case MessageType::AxesData: return 6;
        case MessageType::TickCount: return d.tickCountType == 0 ? 3 : d.tickCountType == 1 ? 4 : 5;
        case MessageType::LensManufacturer: return StringPayload(d.lensManufacturer);
        case MessageType::LensName: return StringPayload(d.lensName);
        case MessageType::LensSerial: return StringPayload(d.lensSerial);
        case MessageType::ProjectFps: return d.projectFps <= 5 ? 1 : 0;
        case MessageType::ClipName: return StringPayload(d.clipName);
        case MessageType::RawLensEncoderWithMask: return 7;
        case MessageType::ZeissZdData: return 34;
        case MessageType::RadioControl: return d.radioControl.radioMode == 4 ? 5 : 7;
        case MessageType::ChannelId: return 1;
        case MessageType::SensorSize: return 8 + std::min(d.sensorName.size(), kMaxSensorName);
        case MessageType::RawAxesEncoderWithMask: return 10;
        case MessageType::SubjectId: return 2;
        default: return 0;
    }
}

// Which types end up in the frame: in list order, every record that still fits; a record
// that would overflow the frame is left out and later, shorter ones are still tried.
struct Fitted {
    std::array<bool, kor_fuzz::kInputTypeSpan> sent{};
    std::size_t recordBytes = 0;     // records in a UDP or Serial frame
    std::size_t unlimitedBytes = 0;  // every record, as written without framing

    bool Has(MessageType t) const { return sent[static_cast<std::size_t>(t)]; }
};

Fitted FitRecords(const TelemetryData& d, const std::vector<MessageType>& types) {
    Fitted f;
    for (MessageType t : types) {
        const std::size_t payload = PayloadLength(d, t);
        if (payload == 0) {
            continue;
        }
        f.unlimitedBytes += 2 + payload;
        if (f.recordBytes + 2 + payload > kMaxRecordBytes) {
            continue;
        }
        f.recordBytes += 2 + payload;
        f.sent[static_cast<std::size_t>(t)] = true;
    }
    return f;
}

// |decoded - sent| within `step`, plus the single-precision rounding of the scaling on the
// way out and of the division on the way in.
bool WithinStep(float decoded, float sent, double step) {
    const double expected = sent;
    const double tolerance = step * (1.0 + 1e-6) + std::fabs(expected) * 0x1p-21;
    return std::fabs(static_cast<double>(decoded) - expected) <= tolerance;
}

void RequireWithin(float decoded, float sent, double step, const char* field) {
    Require(WithinStep(decoded, sent, step), "decoded value more than one step off", field);
}

void RequireEqual(bool same, const char* field) {
    Require(same, "decoded value differs from the expected one", field);
}

bool Same(float a, float b) {
    return kor_fuzz::detail::SameValue(a, b);
}

// A field of a type that was sent carries the record's value within its step; a field of a
// type that was not sent keeps the value the device started with, exactly.
void RequireSentOrKept(bool sent, float decoded, float value, float kept, double step,
                       const char* field) {
    if (sent) {
        RequireWithin(decoded, value, step, field);
    } else {
        Require(Same(decoded, kept), "field of an unsent type changed", field);
    }
}

// A non-negative x100 field in which zero means "not available": a value that truncates to
// zero clears the flag and keeps the previous value; any other is stored and sets the flag.
void RequireOptional(bool valid, float decoded, float sent, float previous, const char* field) {
    constexpr double kStep = 0.01;
    if (valid) {
        Require(decoded >= 0.0099F, "stored value below one step", field);
        RequireWithin(decoded, sent, kStep, field);
    } else {
        Require(Same(decoded, previous), "unavailable value replaced the previous one", field);
        Require(WithinStep(0.0F, sent, kStep), "value of one step or more sent as unavailable",
                field);
    }
}

// The aperture travels as a base stop and a count of steps above it, rounded to the nearest
// step: the step size around `a`.
double ApertureStep(float a) {
    constexpr std::array<std::pair<float, double>, 8> kBelow{{{2.0F, 0.06},
                                                              {2.8F, 0.08},
                                                              {4.0F, 0.12},
                                                              {5.6F, 0.16},
                                                              {8.0F, 0.24},
                                                              {11.0F, 0.3},
                                                              {16.0F, 0.5},
                                                              {22.0F, 0.6}}};
    for (const auto& [limit, step] : kBelow) {
        if (a < limit) {
            return step;
        }
    }
    return 1.0;
}

// Checks every field of `got`, decoded by a device that started from `base`, against the
// record `rec`: fields of the types that were sent carry the record's values (within their
// step), all others keep the starting values, except channel and subject, which describe
// only the frame that carried them.
void RequireDecodedMatches(const TelemetryData& got, const TelemetryData& rec,
                           const TelemetryData& base, const Fitted& f) {
    using MT = MessageType;

    const TelemetryData& tc = f.Has(MT::Timecode) ? rec : base;
    RequireEqual(got.timecodeHours == tc.timecodeHours, "timecodeHours");
    RequireEqual(got.timecodeMinutes == tc.timecodeMinutes, "timecodeMinutes");
    RequireEqual(got.timecodeSeconds == tc.timecodeSeconds, "timecodeSeconds");
    RequireEqual(got.timecodeFrames == tc.timecodeFrames, "timecodeFrames");
    RequireEqual(got.recordFlag == tc.recordFlag, "recordFlag");

    if (f.Has(MT::BasicLens)) {
        const std::uint32_t focus = rec.focus & 0xFFFFFFU;
        RequireEqual(got.focusValid == (focus != 0), "focusValid");
        RequireEqual(got.focus == (focus != 0 ? focus : base.focus), "focus");
        RequireOptional(got.zoomValid, got.zoom, rec.zoom, base.zoom, "zoom");
        RequireOptional(got.irisValid, got.iris, rec.iris, base.iris, "iris");
    } else {
        RequireEqual(got.focusValid == base.focusValid && got.zoomValid == base.zoomValid &&
                         got.irisValid == base.irisValid,
                     "BasicLens flags");
        RequireEqual(
            got.focus == base.focus && Same(got.zoom, base.zoom) && Same(got.iris, base.iris),
            "BasicLens values");
    }

    const bool ptp = f.Has(MT::PtpTimestamp);
    RequireEqual(got.ptpSeconds == (ptp ? rec.ptpSeconds & 0xFFFFFFFFFFFFULL : base.ptpSeconds),
                 "ptpSeconds");
    RequireEqual(got.ptpNanoseconds == (ptp ? rec.ptpNanoseconds : base.ptpNanoseconds),
                 "ptpNanoseconds");

    // Strings travel cut to 65 bytes; an empty one is not sent at all.
    const auto expectString = [&](MT type, const std::string& sent, const std::string& kept) {
        return f.Has(type) ? sent.substr(0, kMaxStringPayload) : kept;
    };
    RequireEqual(
        got.productBrand == expectString(MT::ProductBrand, rec.productBrand, base.productBrand),
        "productBrand");
    RequireEqual(
        got.productName == expectString(MT::ProductName, rec.productName, base.productName),
        "productName");
    RequireEqual(
        got.productSerial == expectString(MT::ProductSerial, rec.productSerial, base.productSerial),
        "productSerial");
    const bool product =
        f.Has(MT::ProductBrand) || f.Has(MT::ProductName) || f.Has(MT::ProductSerial);
    RequireEqual(got.productInfoComplete ==
                     (product ? !got.productBrand.empty() && !got.productName.empty() &&
                                    !got.productSerial.empty()
                              : base.productInfoComplete),
                 "productInfoComplete");
    RequireEqual(got.lensManufacturer == expectString(MT::LensManufacturer, rec.lensManufacturer,
                                                      base.lensManufacturer),
                 "lensManufacturer");
    RequireEqual(got.lensName == expectString(MT::LensName, rec.lensName, base.lensName),
                 "lensName");
    RequireEqual(got.lensSerial == expectString(MT::LensSerial, rec.lensSerial, base.lensSerial),
                 "lensSerial");
    const bool lens = f.Has(MT::LensManufacturer) || f.Has(MT::LensName) || f.Has(MT::LensSerial);
    RequireEqual(
        got.lensInfoComplete == (lens ? !got.lensManufacturer.empty() && !got.lensName.empty() &&
                                            !got.lensSerial.empty()
                                      : base.lensInfoComplete),
        "lensInfoComplete");
    RequireEqual(got.clipName == expectString(MT::ClipName, rec.clipName, base.clipName),
                 "clipName");
    RequireEqual(got.clipNameReceived == (f.Has(MT::ClipName) || base.clipNameReceived),
                 "clipNameReceived");

    if (f.Has(MT::LensProperties)) {
        RequireOptional(got.minFocalLengthValid, got.minFocalLength, rec.minFocalLength,
                        base.minFocalLength, "minFocalLength");
        RequireOptional(got.maxFocalLengthValid, got.maxFocalLength, rec.maxFocalLength,
                        base.maxFocalLength, "maxFocalLength");
        RequireOptional(got.minIrisValid, got.minIris, rec.minIris, base.minIris, "minIris");
        RequireOptional(got.maxIrisValid, got.maxIris, rec.maxIris, base.maxIris, "maxIris");
        const std::uint8_t extra = rec.lensPropertiesExtra;
        RequireEqual(got.lensPropertiesExtraValid == (extra != 0), "lensPropertiesExtraValid");
        RequireEqual(got.lensPropertiesExtra == (extra != 0 ? extra : base.lensPropertiesExtra),
                     "lensPropertiesExtra");
        const int flags = (got.minFocalLengthValid ? 2 : 0) + (got.maxFocalLengthValid ? 1 : 0);
        RequireEqual(got.focalRangeFlags == flags, "focalRangeFlags");
    } else {
        RequireEqual(got.minFocalLengthValid == base.minFocalLengthValid &&
                         got.maxFocalLengthValid == base.maxFocalLengthValid &&
                         got.minIrisValid == base.minIrisValid &&
                         got.maxIrisValid == base.maxIrisValid &&
                         got.lensPropertiesExtraValid == base.lensPropertiesExtraValid,
                     "LensProperties flags");
        RequireEqual(Same(got.minFocalLength, base.minFocalLength) &&
                         Same(got.maxFocalLength, base.maxFocalLength) &&
                         Same(got.minIris, base.minIris) && Same(got.maxIris, base.maxIris) &&
                         got.lensPropertiesExtra == base.lensPropertiesExtra &&
                         got.focalRangeFlags == base.focalRangeFlags,
                     "LensProperties values");
    }

    // The sender cannot mark an axis or angle as unavailable, and the ranges stay clear of
    // the code that means so: every axis is valid once sent.
    const bool pos = f.Has(MT::PositionalData);
    RequireEqual(got.positionXValid == (pos || base.positionXValid) &&
                     got.positionYValid == (pos || base.positionYValid) &&
                     got.positionZValid == (pos || base.positionZValid),
                 "position flags");
    RequireSentOrKept(pos, got.positionX, rec.positionX, base.positionX, 0.01, "positionX");
    RequireSentOrKept(pos, got.positionY, rec.positionY, base.positionY, 0.01, "positionY");
    RequireSentOrKept(pos, got.positionZ, rec.positionZ, base.positionZ, 0.01, "positionZ");
    const bool axes = f.Has(MT::AxesData);
    RequireEqual(got.rollValid == (axes || base.rollValid) &&
                     got.pitchValid == (axes || base.pitchValid) &&
                     got.yawValid == (axes || base.yawValid),
                 "axes flags");
    RequireSentOrKept(axes, got.roll, rec.roll, base.roll, 0.01, "roll");
    RequireSentOrKept(axes, got.pitch, rec.pitch, base.pitch, 0.01, "pitch");
    RequireSentOrKept(axes, got.yaw, rec.yaw, base.yaw, 0.01, "yaw");

    if (f.Has(MT::TickCount)) {
        // The payload length carries the unit; any type above 1 travels as microseconds.
        const unsigned type = rec.tickCountType < 2 ? rec.tickCountType : 2U;
        const unsigned bits = type == 0 ? 24 : type == 1 ? 32 : 40;
        RequireEqual(got.tickCountType == type, "tickCountType");
        RequireEqual(got.tickCount == (rec.tickCount & ((1ULL << bits) - 1)), "tickCount");
    } else {
        RequireEqual(got.tickCountType == base.tickCountType && got.tickCount == base.tickCount,
                     "tickCount");
    }

    RequireEqual(got.projectFps == (f.Has(MT::ProjectFps) ? rec.projectFps : base.projectFps),
                 "projectFps");

    const TelemetryData& mask = f.Has(MT::RawLensEncoderWithMask) ? rec : base;
    RequireEqual(got.rawFocusEncoderValid == mask.rawFocusEncoderValid, "rawFocusEncoderValid");
    RequireEqual(got.rawZoomEncoderValid == mask.rawZoomEncoderValid, "rawZoomEncoderValid");
    RequireEqual(got.rawIrisEncoderValid == mask.rawIrisEncoderValid, "rawIrisEncoderValid");
    RequireEqual(got.rawFocusEncoder ==
                     (mask.rawFocusEncoderValid ? mask.rawFocusEncoder : base.rawFocusEncoder),
                 "rawFocusEncoder");
    RequireEqual(got.rawZoomEncoder ==
                     (mask.rawZoomEncoderValid ? mask.rawZoomEncoder : base.rawZoomEncoder),
                 "rawZoomEncoder");
    RequireEqual(got.rawIrisEncoder ==
                     (mask.rawIrisEncoderValid ? mask.rawIrisEncoder : base.rawIrisEncoder),
                 "rawIrisEncoder");

    const auto& gz = got.zeissZd;
    if (f.Has(MT::ZeissZdData)) {
        const auto& rz = rec.zeissZd;
        RequireEqual(gz.focusDistance == (rz.focusDistance & 0xFFFFFFU), "zeissZd.focusDistance");
        // Rounded to the nearest step: at most half a step off.
        RequireWithin(gz.aperture, rz.aperture, ApertureStep(rz.aperture) * 0.5 + 1e-4,
                      "zeissZd.aperture");
        RequireWithin(gz.horizontalFieldOfView, rz.horizontalFieldOfView, 0.1,
                      "zeissZd.horizontalFieldOfView");
        RequireEqual(gz.entrancePupilPosition == rz.entrancePupilPosition,
                     "zeissZd.entrancePupilPosition");
        // Element 0 is not sent: its slots are fixed, and decode to 0.
        RequireEqual(gz.shading[0] == 0.0F && gz.radialDistortion[0] == 0.0F, "zeissZd element 0");
        for (std::size_t i = 1; i < 6; ++i) {
            RequireWithin(gz.shading[i], rz.shading[i], 0.1, "zeissZd.shading");
            RequireWithin(gz.radialDistortion[i], rz.radialDistortion[i], 0.01,
                          "zeissZd.radialDistortion");
        }
    } else {
        const auto& bz = base.zeissZd;
        RequireEqual(gz.focusDistance == bz.focusDistance && Same(gz.aperture, bz.aperture) &&
                         Same(gz.horizontalFieldOfView, bz.horizontalFieldOfView) &&
                         gz.entrancePupilPosition == bz.entrancePupilPosition &&
                         kor_fuzz::detail::SameValue(gz.shading, bz.shading) &&
                         kor_fuzz::detail::SameValue(gz.radialDistortion, bz.radialDistortion),
                     "zeissZd");
    }

    const auto& gr = got.radioControl;
    const auto& br = base.radioControl;
    if (f.Has(MT::RadioControl)) {
        const auto& rr = rec.radioControl;
        RequireEqual(gr.radioValue == (rr.radioValue & 0xFFFFFFU), "radioValue");
        RequireEqual(gr.radioParamA == rr.radioParamA, "radioParamA");
        RequireEqual(gr.radioParamB == rr.radioParamB, "radioParamB");
        // Mode 4 selects the short form, which carries neither the mode nor parameter C.
        const auto& longForm = rr.radioMode == 4 ? br : rr;
        RequireEqual(gr.radioMode == longForm.radioMode, "radioMode");
        RequireEqual(gr.radioParamC == longForm.radioParamC, "radioParamC");
    } else {
        RequireEqual(gr.radioValue == br.radioValue && gr.radioParamA == br.radioParamA &&
                         gr.radioParamB == br.radioParamB && gr.radioMode == br.radioMode &&
                         gr.radioParamC == br.radioParamC,
                     "radioControl");
    }

    const TelemetryData def;
    RequireEqual(got.channelId == (f.Has(MT::ChannelId) ? rec.channelId : def.channelId),
                 "channelId");
    RequireEqual(got.subjectId == (f.Has(MT::SubjectId) ? rec.subjectId & 0xFFFFU : def.subjectId),
                 "subjectId");

    const bool sensor = f.Has(MT::SensorSize);
    RequireSentOrKept(sensor, got.sensorWidth, rec.sensorWidth, base.sensorWidth, 0.01,
                      "sensorWidth");
    RequireSentOrKept(sensor, got.sensorHeight, rec.sensorHeight, base.sensorHeight, 0.01,
                      "sensorHeight");
    RequireEqual(got.clipWidth == (sensor ? rec.clipWidth : base.clipWidth), "clipWidth");
    RequireEqual(got.clipHeight == (sensor ? rec.clipHeight : base.clipHeight), "clipHeight");
    // An empty name leaves the previous one.
    const bool named = sensor && !rec.sensorName.empty();
    RequireEqual(
        got.sensorName == (named ? rec.sensorName.substr(0, kMaxSensorName) : base.sensorName),
        "sensorName");

    for (std::size_t i = 0; i < 3; ++i) {
        const std::uint32_t expected = f.Has(MT::RawAxesEncoderWithMask)
                                           ? rec.rawAxesEncoders[i] & 0xFFFFFFU
                                           : base.rawAxesEncoders[i];
        RequireEqual(got.rawAxesEncoders[i] == expected, "rawAxesEncoders");
    }
}

// A state in which every field differs from the defaults (and from what a record of the
// target's input would usually carry), for a device that has decoded earlier frames.
TelemetryData EarlierState() {
    TelemetryData d;
    d.focusValid = d.zoomValid = d.irisValid = true;
    d.minFocalLengthValid = d.maxFocalLengthValid = d.minIrisValid = d.maxIrisValid = true;
    d.lensPropertiesExtraValid = true;
    d.positionXValid = d.positionYValid = d.positionZValid = true;
    d.rollValid = d.pitchValid = d.yawValid = true;
    d.rawFocusEncoderValid = d.rawZoomEncoderValid = d.rawIrisEncoderValid = true;
    d.productInfoComplete = d.lensInfoComplete = d.clipNameReceived = true;
    d.recordFlag = true;
    d.timecodeHours = 1;
    d.timecodeMinutes = 2;
    d.timecodeSeconds = 3;
    d.timecodeFrames = 4;
    d.focus = 777;
    d.zoom = 77.77F;
    d.iris = 7.7F;
    d.ptpSeconds = 0x7777777777ULL;
    d.ptpNanoseconds = 777;
    d.productBrand = "earlier brand";
    d.productName = "earlier name";
    d.productSerial = "earlier serial";
    d.focalRangeFlags = 3;
    d.minFocalLength = 7.5F;
    d.maxFocalLength = 700.25F;
    d.minIris = 1.7F;
    d.maxIris = 27.0F;
    d.lensPropertiesExtra = 7;
    d.positionX = -7.5F;
    d.positionY = 77.25F;
    d.positionZ = 7777.0F;
    d.roll = -7.0F;
    d.pitch = 7.0F;
    d.yaw = 177.0F;
    d.tickCount = 7777777;
    d.tickCountType = 1;
    d.lensManufacturer = "earlier maker";
    d.lensName = "earlier lens";
    d.lensSerial = "earlier lens serial";
    d.projectFps = 3;
    d.clipName = "earlier clip";
    d.rawFocusEncoder = 7;
    d.rawZoomEncoder = 77;
    d.rawIrisEncoder = 777;
    d.zeissZd.focusDistance = 7777;
    d.zeissZd.aperture = 7.1F;
    d.zeissZd.horizontalFieldOfView = 70.7F;
    d.zeissZd.entrancePupilPosition = 77;
    d.zeissZd.shading = {7, 7, 7, 7, 7, 7};
    d.zeissZd.radialDistortion = {-7, -7, -7, -7, -7, -7};
    d.radioControl = {7777, 7, 77, 7, 17};
    d.channelId = 7;
    d.sensorWidth = 7.77F;
    d.sensorHeight = 7.7F;
    d.clipWidth = 777;
    d.clipHeight = 77;
    d.sensorName = "earlier sensor";
    d.rawAxesEncoders = {7, 77, 777};
    d.subjectId = 7;
    return d;
}

// Undoes the stuffing of a complete serial frame (0x00, stuffed bytes, 0x00); false when the
// frame is not well formed.
bool UnstuffFrame(const Bytes& frame, Bytes& raw) {
    if (frame.size() < 3 || frame.front() != 0 || frame.back() != 0) {
        return false;
    }
    const std::size_t end = frame.size() - 1;
    std::size_t pos = 1;
    while (pos < end) {
        const std::size_t code = frame[pos];
        if (code == 0 || pos + code > end) {
            return false;
        }
        for (std::size_t i = pos + 1; i < pos + code; ++i) {
            if (frame[i] == 0) {
                return false;
            }
            raw.push_back(frame[i]);
        }
        pos += code;
        if (pos < end) {
            raw.push_back(0);
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kor_fuzz::ByteReader in(data, size);
    const kor_fuzz::RecordInput input = kor_fuzz::ReadRecordInput(in);
    const TelemetryData& rec = input.data;
    const TelemetryData recCopy = rec;

    const Bytes udp = rec.Encode(TransmissionType::UDP, input.types);
    const Bytes serial = rec.Encode(TransmissionType::Serial, input.types);
    const Bytes bare = rec.Encode(static_cast<TransmissionType>(2), input.types);
    kor_fuzz::RequireSameState(rec, recCopy, "Encode changed the record");

    // The frames hold exactly the records that fit, framed as each transmission type says.
    const Fitted fitted = FitRecords(rec, input.types);
    Require(udp.size() == kUdpHeaderSize + fitted.recordBytes, "UDP frame size");
    Require(udp[0] == 0x00 && udp[1] == 0xFF &&
                std::all_of(udp.begin() + 2, udp.begin() + kUdpHeaderSize,
                            [](std::uint8_t b) { return b == 0; }),
            "UDP header");
    const Bytes records(udp.begin() + kUdpHeaderSize, udp.end());
    Bytes raw;
    Require(UnstuffFrame(serial, raw), "Serial frame is not well formed");
    Bytes expectedRaw = records;
    expectedRaw.push_back(kor_fuzz::Checksum(records));
    Require(raw == expectedRaw, "Serial frame does not hold the UDP frame's records");
    Require(bare.size() == fitted.unlimitedBytes, "size of the records without framing");
    Require(fitted.unlimitedBytes != fitted.recordBytes || bare == records,
            "records without framing differ from the framed ones");

    // Decoded by fresh devices, and by one that has seen earlier frames.
    const TelemetryData def;
    const TelemetryData earlier = EarlierState();
    Device viaUdp;
    Device viaSerial;
    Device afterEarlier(earlier);
    const FrameStatus udpStatus = viaUdp.Update(udp);
    const FrameStatus serialStatus = viaSerial.Update(serial);
    const FrameStatus earlierStatus = afterEarlier.Update(serial);
    const TelemetryData& gotSerial = *viaSerial.GetCurrentState();
    const TelemetryData& gotEarlier = *afterEarlier.GetCurrentState();
    const auto expectedStatus = [&](const TelemetryData& base) {
        const bool moved = fitted.Has(MessageType::Timecode) && !kor_fuzz::SameTimecode(rec, base);
        return moved ? FrameStatus::NewTimecode : FrameStatus::SameTimecode;
    };
    Require(serialStatus == expectedStatus(def), "Serial frame status");
    Require(earlierStatus == expectedStatus(earlier), "Serial frame status after earlier frames");
    RequireDecodedMatches(gotSerial, rec, def, fitted);
    RequireDecodedMatches(gotEarlier, rec, earlier, fitted);

    if (fitted.recordBytes == 0) {
        // A datagram without records is too short for the receiver.
        Require(udpStatus == FrameStatus::LengthError, "datagram without records accepted");
        kor_fuzz::RequireSameState(*viaUdp.GetCurrentState(), def,
                                   "rejected datagram changed the state");
        return 0;
    }
    Require(udpStatus == serialStatus, "UDP and Serial statuses differ");
    const TelemetryData& gotUdp = *viaUdp.GetCurrentState();
    kor_fuzz::RequireSameState(gotUdp, gotSerial, "UDP and Serial decode to different states");

    // Applying the same frame again changes nothing.
    const TelemetryData once = gotUdp;
    Require(viaUdp.Update(udp) == FrameStatus::SameTimecode, "repeated frame status");
    kor_fuzz::RequireSameState(once, gotUdp, "repeated frame changed the state");
    return 0;
}
