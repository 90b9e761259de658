// Kor state -> OpenTrackIO sample.
#include "opentrackio.h"

#include <cmath>

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

ordered_json RationalJson(const Rational& r) {
    return ordered_json{{"num", r.num}, {"denom", r.denom}};
}

// A raw 16-bit encoder count on 0..1; `reversed` counts from the other end.
double Normalised(std::uint16_t count, bool reversed) {
    const double share = count / 65535.0;
    return reversed ? 1.0 - share : share;
}

void PutText(ordered_json& object, const char* key, const std::string& bytes) {
    if (auto text = CleanText(bytes)) {
        object[key] = std::move(*text);
    }
}

ordered_json Timing(const TelemetryData& s, const SeenTypes& seen, const SampleHeader& header) {
    ordered_json timing = ordered_json::object();
    const auto rate = FrameRateOf(s.projectFps);
    const bool stamped = seen.Has(MessageType::PtpTimestamp) && s.ptpNanoseconds < 1'000'000'000U;
    if (stamped) {
        timing["mode"] = "internal";
    }
    if (rate) {
        timing["sampleRate"] = RationalJson(*rate);
    }
    if (stamped) {
        timing["sampleTimestamp"] = {{"seconds", s.ptpSeconds & 0xFFFF'FFFF'FFFFULL},
                                     {"nanoseconds", s.ptpNanoseconds}};
    }
    timing["sequenceNumber"] = header.sequenceNumber;
    if (rate && seen.Has(MessageType::Timecode) && s.timecodeHours <= 23 &&
        s.timecodeMinutes <= 59 && s.timecodeSeconds <= 59 && s.timecodeFrames <= 119) {
        timing["timecode"] = {{"hours", s.timecodeHours},
                              {"minutes", s.timecodeMinutes},
                              {"seconds", s.timecodeSeconds},
                              {"frames", s.timecodeFrames},
                              {"frameRate", RationalJson(*rate)}};
    }
    return timing;
}

ordered_json Lens(const TelemetryData& s) {
    ordered_json lens = ordered_json::object();
    ordered_json encoders = ordered_json::object();
    ordered_json raw = ordered_json::object();
    // Kor counts focus from the closest distance, zoom from the wide end and iris from the
    // open end; OpenTrackIO puts 0 at infinity, wide and open.
    if (s.rawFocusEncoderValid) {
        encoders["focus"] = Normalised(s.rawFocusEncoder, true);
        raw["focus"] = s.rawFocusEncoder;
    }
    if (s.rawIrisEncoderValid) {
        encoders["iris"] = Normalised(s.rawIrisEncoder, false);
        raw["iris"] = s.rawIrisEncoder;
    }
    if (s.rawZoomEncoderValid) {
        encoders["zoom"] = Normalised(s.rawZoomEncoder, false);
        raw["zoom"] = s.rawZoomEncoder;
    }
    if (!encoders.empty()) {
        lens["encoders"] = std::move(encoders);
    }
    if (s.focusValid && s.focus > 0) {
        lens["focusDistance"] = s.focus / 1000.0;
    }
    if (s.zoomValid) {
        if (const auto mm = Hundredths(s.zoom); mm && *mm > 0) {
            lens["pinholeFocalLength"] = *mm;
        }
    }
    if (!raw.empty()) {
        lens["rawEncoders"] = std::move(raw);
    }
    if (s.irisValid) {
        if (const auto stop = Hundredths(s.iris); stop && *stop > 0) {
            lens["tStop"] = *stop;
        }
    }
    return lens;
}

ordered_json Static(const TelemetryData& s, const SeenTypes& seen) {
    ordered_json camera = ordered_json::object();
    if (const auto rate = FrameRateOf(s.projectFps)) {
        camera["captureFrameRate"] = RationalJson(*rate);
    }
    if (seen.Has(MessageType::SensorSize)) {
        const auto width = Hundredths(s.sensorWidth);
        const auto height = Hundredths(s.sensorHeight);
        if (width && height && *width > 0 && *height > 0) {
            camera["activeSensorPhysicalDimensions"] = {{"height", *height}, {"width", *width}};
        }
        if (s.clipWidth > 0 && s.clipHeight > 0) {
            camera["activeSensorResolution"] = {{"height", s.clipHeight}, {"width", s.clipWidth}};
        }
    }
    PutText(camera, "make", s.productBrand);
    PutText(camera, "model", s.productName);
    PutText(camera, "serialNumber", s.productSerial);

    ordered_json lens = ordered_json::object();
    PutText(lens, "make", s.lensManufacturer);
    PutText(lens, "model", s.lensName);
    PutText(lens, "serialNumber", s.lensSerial);
    // A prime lens reports the same shortest and longest focal length.
    if (s.minFocalLengthValid && s.maxFocalLengthValid && s.minFocalLength == s.maxFocalLength) {
        if (const auto mm = Hundredths(s.minFocalLength); mm && *mm > 0) {
            lens["nominalFocalLength"] = *mm;
        }
    }

    ordered_json object = ordered_json::object();
    if (!camera.empty()) {
        object["camera"] = std::move(camera);
    }
    if (!lens.empty()) {
        object["lens"] = std::move(lens);
    }
    return object;
}

// The camera's transform, with the axes that are available; nothing when none is.
std::optional<ordered_json> CameraTransform(const TelemetryData& s) {
    ordered_json translation = ordered_json::object();
    ordered_json rotation = ordered_json::object();
    const auto put = [](ordered_json& object, const char* key, bool valid,
                        std::optional<double> value) {
        if (valid && value) {
            object[key] = *value;
        }
    };
    put(translation, "x", s.positionXValid, Hundredths(s.positionX, 1000.0));
    put(translation, "y", s.positionYValid, Hundredths(s.positionY, 1000.0));
    put(translation, "z", s.positionZValid, Hundredths(s.positionZ, 1000.0));
    put(rotation, "pan", s.yawValid, Hundredths(s.yaw));
    put(rotation, "tilt", s.pitchValid, Hundredths(s.pitch));
    put(rotation, "roll", s.rollValid, Hundredths(s.roll));
    if (translation.empty() && rotation.empty()) {
        return std::nullopt;
    }
    return ordered_json{{"translation", std::move(translation)},
                        {"rotation", std::move(rotation)},
                        {"id", "Camera"}};
}

}  // namespace

void SeenTypes::Add(MessageType type) noexcept {
    const auto value = static_cast<unsigned>(type);
    if (value <= kHighestType) {
        bits_ |= std::uint32_t{1} << value;
    }
}

void SeenTypes::Add(const std::vector<MessageType>& types) noexcept {
    for (const MessageType type : types) {
        Add(type);
    }
}

bool SeenTypes::Has(MessageType type) const noexcept {
    const auto value = static_cast<unsigned>(type);
    return value <= kHighestType && (bits_ & (std::uint32_t{1} << value)) != 0;
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
                             const SampleHeader& header) {
    ordered_json sample = ordered_json::object();
    ordered_json statics = Static(s, seen);
    if (!statics.empty()) {
        sample["static"] = std::move(statics);
    }
    if (seen.Has(MessageType::Timecode)) {
        sample["tracker"] = {{"recording", s.recordFlag}};
    }
    sample["timing"] = Timing(s, seen, header);
    ordered_json lens = Lens(s);
    if (!lens.empty()) {
        sample["lens"] = std::move(lens);
    }
    sample["protocol"] = {{"name", "OpenTrackIO"}, {"version", {1, 0, 0}}};
    sample["sampleId"] = header.sampleId;
    sample["sourceId"] = header.sourceId;
    sample["sourceNumber"] = header.sourceNumber;
    if (auto transform = CameraTransform(s)) {
        sample["transforms"] = ordered_json::array({std::move(*transform)});
    }
    return sample;
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

std::string SourceIdOfSerial(const std::string& serial) {
    return UuidUrn(NameUuid(kSourceNamespace, "camera-serial:" + serial));
}

std::string SourceIdOfSetup(const std::string& setup) {
    return UuidUrn(NameUuid(kSourceNamespace, "bridge-setup:" + setup));
}

const std::string& SourceIdentity::SourceId(const TelemetryData& state) {
    if (!sourceId_) {
        sourceId_ = CleanText(state.productSerial) ? SourceIdOfSerial(state.productSerial)
                                                    : SourceIdOfSetup(fallbackName_);
    }
    return *sourceId_;
}

std::string SourceIdentity::NextSampleId() {
    return UuidUrn(RandomUuid(random_));
}

}  // namespace Kor::Bridge
