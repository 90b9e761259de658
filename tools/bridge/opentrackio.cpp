// Kor state -> OpenTrackIO sample.
#include "opentrackio.h"

#include <cmath>

#include "lens_distortion.h"
#include "opentrackio_identity.h"
#include "opentrackio_timing.h"
#include "sample_writer.h"
#include "uuid.h"

namespace Kor::Bridge {

using Protocol::MessageType;
using Protocol::TelemetryData;
using nlohmann::ordered_json;

namespace {

constexpr int kHighestType = 27;

// Kor carries millimetres, degrees and T-stops in hundredths. The value rounded to that
// step and divided by `divisor` (1 keeps the unit, 1000 turns millimetres into metres), so
// that the number is written as its short decimal (1.23456, not 1.2345600128173828).
// Nothing for NaN and infinities, which JSON cannot carry.
std::optional<double> Hundredths(double value, double divisor = 1.0) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    if (std::fabs(value) > 1e12) {
        return value / divisor;
    }
    return std::round(value * 100.0) / (100.0 * divisor);
}

void PutRational(SampleWriter& w, const char* key, const Rational& r) {
    w.Begin(key);
    w.Unsigned("num", r.num);
    w.Unsigned("denom", r.denom);
    w.End();
}

// A raw 16-bit encoder count on 0..1; `reversed` counts from the other end.
double Normalised(std::uint16_t count, bool reversed) {
    const double share = count / 65535.0;
    return reversed ? 1.0 - share : share;
}

// An identity string: cut at its first NUL (fixed fields are padded with them) and trimmed.
void PutText(SampleWriter& w, const char* key, const std::string& bytes) {
    if (const auto text = IdentityText(bytes)) {
        w.Text(key, *text);
    }
}

void PutNumber(SampleWriter& w, const char* key, bool valid, std::optional<double> value) {
    if (valid && value) {
        w.Number(key, *value);
    }
}

void PutPositive(SampleWriter& w, const char* key, bool valid, std::optional<double> value) {
    PutNumber(w, key, valid && value && *value > 0, value);
}

// Written from the project frame rate and the fields CopyStaticData copies.
void Static(SampleWriter& w, const TelemetryData& s, const SeenTypes& seen,
            const SampleHeader& header) {
    w.Begin("static");
    w.Begin("camera");
    if (const auto rate = FrameRateOf(s.projectFps)) {
        PutRational(w, "captureFrameRate", *rate);
    }
    if (seen.Has(MessageType::SensorSize)) {
        const auto width = Hundredths(s.sensorWidth);
        const auto height = Hundredths(s.sensorHeight);
        if (width && height && *width > 0 && *height > 0) {
            w.Begin("activeSensorPhysicalDimensions");
            w.Number("height", *height);
            w.Number("width", *width);
            w.End();
        }
        if (s.clipWidth > 0 && s.clipHeight > 0) {
            w.Begin("activeSensorResolution");
            w.Unsigned("height", s.clipHeight);
            w.Unsigned("width", s.clipWidth);
            w.End();
        }
    }
    if (const auto label = CameraLabel(s, header.label)) {
        w.Text("label", *label);
    }
    PutText(w, "make", s.productBrand);
    PutText(w, "model", s.productName);
    PutText(w, "serialNumber", s.productSerial);
    w.End(true);

    w.Begin("lens");
    PutText(w, "make", s.lensManufacturer);
    PutText(w, "model", s.lensName);
    PutText(w, "serialNumber", s.lensSerial);
    // A prime lens reports the same shortest and longest focal length.
    PutPositive(w, "nominalFocalLength",
                s.minFocalLengthValid && s.maxFocalLengthValid &&
                    s.minFocalLength == s.maxFocalLength,
                Hundredths(s.minFocalLength));
    w.End(true);
    w.End(true);
}

void Timing(SampleWriter& w, const TelemetryData& s, const SeenTypes& frame,
            const SampleHeader& header) {
    w.Begin("timing");
    const auto rate = FrameRateOf(s.projectFps);
    const bool stamped =
        frame.Has(MessageType::PtpTimestamp) && s.ptpNanoseconds < 1'000'000'000U;
    if (stamped) {
        w.Text("mode", "internal");
    }
    if (rate) {
        PutRational(w, "sampleRate", *rate);
    }
    if (stamped) {
        w.Begin("sampleTimestamp");
        w.Unsigned("seconds", s.ptpSeconds & 0xFFFF'FFFF'FFFFULL);
        w.Unsigned("nanoseconds", s.ptpNanoseconds);
        w.End();
    }
    w.Unsigned("sequenceNumber", header.sequenceNumber);
    // A label that cannot exist at its rate (frame 29 at 24 fps) is left out.
    if (rate && frame.Has(MessageType::Timecode) &&
        TimecodeValidAt(s.timecodeHours, s.timecodeMinutes, s.timecodeSeconds, s.timecodeFrames,
                        s.projectFps)) {
        w.Begin("timecode");
        w.Unsigned("hours", s.timecodeHours);
        w.Unsigned("minutes", s.timecodeMinutes);
        w.Unsigned("seconds", s.timecodeSeconds);
        w.Unsigned("frames", s.timecodeFrames);
        PutRational(w, "frameRate", *rate);
        w.Bool("dropFrame", IsDropFrame(s.projectFps));
        w.End();
    }
    w.End();
}

// One entry of lens.distortion: its model and its radial coefficients.
void PutDistortion(SampleWriter& w, const char* model, std::span<const double> radial) {
    for (const double k : radial) {
        if (!std::isfinite(k)) {
            return;
        }
    }
    w.Begin(nullptr);
    w.Text("model", model);
    w.Begin("radial", true);
    for (const double k : radial) {
        w.Number(nullptr, k);
    }
    w.End();
    w.End();
}

void Lens(SampleWriter& w, const TelemetryData& s, const SeenTypes& seen, const SeenTypes& frame,
          const SampleHeader& header) {
    const bool basic = frame.Has(MessageType::BasicLens);
    const bool raw = frame.Has(MessageType::RawLensEncoderWithMask);
    const bool rawFocus = raw && s.rawFocusEncoderValid;
    const bool rawIris = raw && s.rawIrisEncoderValid;
    const bool rawZoom = raw && s.rawZoomEncoderValid;
    // The lens data of the last ZeissZdData record, once one has arrived: the consumers'
    // default model (distorted to undistorted) first.
    const bool zeiss = seen.Has(MessageType::ZeissZdData);
    w.Begin("lens");
    if (zeiss && header.distortion != nullptr) {
        w.Begin("distortion", true);
        if (const auto& du = header.distortion->distortedToUndistorted) {
            PutDistortion(w, "Brown-Conrady D-U", *du);
        }
        PutDistortion(w, "Brown-Conrady U-D", header.distortion->undistortedToDistorted);
        w.End(true);
    }
    // Kor counts focus from the closest distance, zoom from the wide end and iris from the
    // open end; OpenTrackIO puts 0 at infinity, wide and open.
    w.Begin("encoders");
    PutNumber(w, "focus", rawFocus, Normalised(s.rawFocusEncoder, true));
    PutNumber(w, "iris", rawIris, Normalised(s.rawIrisEncoder, false));
    PutNumber(w, "zoom", rawZoom, Normalised(s.rawZoomEncoder, false));
    w.End(true);
    if (zeiss) {
        w.Number("entrancePupilOffset", EntrancePupilOffset(s.zeissZd));
    }
    PutPositive(w, "focusDistance", basic && s.focusValid, s.focus / 1000.0);
    PutPositive(w, "pinholeFocalLength", basic && s.zoomValid, Hundredths(s.zoom));
    w.Begin("rawEncoders");
    if (rawFocus) {
        w.Unsigned("focus", s.rawFocusEncoder);
    }
    if (rawIris) {
        w.Unsigned("iris", s.rawIrisEncoder);
    }
    if (rawZoom) {
        w.Unsigned("zoom", s.rawZoomEncoder);
    }
    w.End(true);
    PutPositive(w, "tStop", basic && s.irisValid, Hundredths(s.iris));
    w.End(true);
}

// The camera's transform, with the axes that the frame carried and that are available; left
// out when there is none.
void Transforms(SampleWriter& w, const TelemetryData& s, const SeenTypes& frame) {
    const bool position = frame.Has(MessageType::PositionalData);
    const bool axes = frame.Has(MessageType::AxesData);
    const bool hasX = position && s.positionXValid;
    const bool hasY = position && s.positionYValid;
    const bool hasZ = position && s.positionZValid;
    const bool hasPan = axes && s.yawValid;
    const bool hasTilt = axes && s.pitchValid;
    const bool hasRoll = axes && s.rollValid;
    const auto x = Hundredths(s.positionX, 1000.0);
    const auto y = Hundredths(s.positionY, 1000.0);
    const auto z = Hundredths(s.positionZ, 1000.0);
    const auto pan = Hundredths(s.yaw);
    const auto tilt = Hundredths(s.pitch);
    const auto roll = Hundredths(s.roll);
    const bool any = (hasX && x) || (hasY && y) || (hasZ && z) || (hasPan && pan) ||
                     (hasTilt && tilt) || (hasRoll && roll);
    if (!any) {
        return;
    }
    w.Begin("transforms", true);
    w.Begin(nullptr);
    w.Begin("translation");
    PutNumber(w, "x", hasX, x);
    PutNumber(w, "y", hasY, y);
    PutNumber(w, "z", hasZ, z);
    w.End();
    w.Begin("rotation");
    PutNumber(w, "pan", hasPan, pan);
    PutNumber(w, "tilt", hasTilt, tilt);
    PutNumber(w, "roll", hasRoll, roll);
    w.End();
    w.Text("id", "Camera");
    w.End();
    w.End();
}

void WriteSample(SampleWriter& w, const TelemetryData& s, const SeenTypes& seen,
                 const SeenTypes& frame, const SampleHeader& header) {
    w.Begin(nullptr);
    Static(w, s, seen, header);
    if (frame.Has(MessageType::Timecode)) {
        w.Begin("tracker");
        w.Bool("recording", s.recordFlag);
        w.End();
    }
    Timing(w, s, frame, header);
    Lens(w, s, seen, frame, header);
    w.Begin("protocol");
    w.Text("name", "OpenTrackIO");
    w.Begin("version", true);
    w.Unsigned(nullptr, 1);
    w.Unsigned(nullptr, 0);
    w.Unsigned(nullptr, 1);
    w.End();
    w.End();
    w.Text("sampleId", header.sampleId);
    w.Text("sourceId", header.sourceId);
    w.Unsigned("sourceNumber", header.sourceNumber);
    Transforms(w, s, frame);
    w.End();
}

}  // namespace

void SeenTypes::Add(MessageType type) noexcept {
    const auto value = static_cast<unsigned>(type);
    if (value <= kHighestType) {
        bits_ |= std::uint32_t{1} << value;
    }
}

void SeenTypes::Add(std::span<const MessageType> types) noexcept {
    for (const MessageType type : types) {
        Add(type);
    }
}

bool SeenTypes::Has(MessageType type) const noexcept {
    const auto value = static_cast<unsigned>(type);
    return value <= kHighestType && (bits_ & (std::uint32_t{1} << value)) != 0;
}

bool CarriesTrackingData(const SeenTypes& frame) noexcept {
    return frame.Has(MessageType::BasicLens) || frame.Has(MessageType::RawLensEncoderWithMask) ||
           frame.Has(MessageType::PositionalData) || frame.Has(MessageType::AxesData);
}

std::optional<Rational> FrameRateOf(std::uint8_t projectFps) noexcept {
    switch (projectFps) {
        case 1: return Rational{24000, 1001};
        case 2: return Rational{24, 1};
        case 3: return Rational{25, 1};
        case 4: return Rational{30000, 1001};
        case 5: return Rational{30, 1};
        default: return std::nullopt;
    }
}

std::optional<std::string> CleanText(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    bool blank = true;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1FU;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0FU;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07U;
        }
        bool valid = length != 0 && i + length <= bytes.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0U) == 0x80U;
            point = (point << 6) | (next & 0x3FU);
        }
        // Overlong forms, surrogates and points beyond U+10FFFF are not UTF-8 either.
        if (valid && ((length == 3 && point < 0x800) || (length == 4 && point < 0x10000) ||
                      (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)) {
            valid = false;
        }
        if (!valid) {
            text += "\xEF\xBF\xBD";
            blank = false;
            ++i;
            continue;
        }
        if (!(point == ' ' || (point >= '\t' && point <= '\r'))) {
            blank = false;
        }
        text.append(bytes, i, length);
        i += length;
    }
    if (blank) {
        return std::nullopt;
    }
    return text;
}

ordered_json OpenTrackSample(const TelemetryData& s, const SeenTypes& seen,
                             const SeenTypes& frame, const SampleHeader& header) {
    TreeWriter writer;
    WriteSample(writer, s, seen, frame, header);
    return std::move(writer.Result());
}

std::vector<std::uint8_t> SamplePayload(const TelemetryData& s, const SeenTypes& seen,
                                        const SeenTypes& frame, const SampleHeader& header,
                                        OtrkEncoding encoding) {
    if (encoding == OtrkEncoding::Cbor) {
        CborWriter writer;
        WriteSample(writer, s, seen, frame, header);
        return writer.Result();
    }
    JsonTextWriter writer;
    WriteSample(writer, s, seen, frame, header);
    const std::string& text = writer.Result();
    return {text.begin(), text.end()};
}

void CopyStaticData(const TelemetryData& from, TelemetryData& to) {
    to.productBrand = from.productBrand;
    to.productName = from.productName;
    to.productSerial = from.productSerial;
    to.lensManufacturer = from.lensManufacturer;
    to.lensName = from.lensName;
    to.lensSerial = from.lensSerial;
    to.minFocalLength = from.minFocalLength;
    to.maxFocalLength = from.maxFocalLength;
    to.minFocalLengthValid = from.minFocalLengthValid;
    to.maxFocalLengthValid = from.maxFocalLengthValid;
    to.sensorWidth = from.sensorWidth;
    to.sensorHeight = from.sensorHeight;
    to.clipWidth = from.clipWidth;
    to.clipHeight = from.clipHeight;
}

std::vector<std::uint8_t> EncodeSample(const ordered_json& sample, OtrkEncoding encoding) {
    if (encoding == OtrkEncoding::Cbor) {
        return ordered_json::to_cbor(sample);
    }
    const std::string text = sample.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    return {text.begin(), text.end()};
}

SourceIdentity::SourceIdentity(std::uint64_t seed, std::string fallbackName)
    : random_(seed), fallbackName_(std::move(fallbackName)) {}

std::string SourceIdOfSetup(const std::string& setup) {
    return UuidUrn(NameUuid(kSourceNamespace, "bridge-setup:" + setup));
}

const std::string& SourceIdentity::SourceId(const TelemetryData& state) {
    if (!sourceId_) {
        sourceId_ = SourceIdOfCamera(state.productBrand, state.productName, state.productSerial);
        if (!sourceId_) {
            sourceId_ = SourceIdOfSetup(fallbackName_);
        }
    }
    return *sourceId_;
}

std::string SourceIdentity::NextSampleId() {
    return UuidUrn(RandomUuid(random_));
}

}  // namespace Kor::Bridge
