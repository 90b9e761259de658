// OpenTrackIO sample -> Kor record and record types.
#include "opentrackio_reader.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>

#include "freed_convert.h"
#include "opentrackio_pose.h"
#include "opentrackio_timing.h"

namespace Kor::Bridge {

using Protocol::MessageType;
using Protocol::TelemetryData;
using json = nlohmann::json;

namespace {

// Kor's string records carry at most 65 bytes.
constexpr std::size_t kMaxKorString = 65;
// The ends of Kor's fields, in their units (hundredths travel as integers).
constexpr std::uint32_t kMaxFocus = 0xFFFFFF;           // mm, 24 bits
constexpr double kMaxFocalLength = 0xFFFFFF / 100.0;    // mm, 24 bits of hundredths
constexpr double kMaxStop = 0xFFFF / 100.0;             // 16 bits of hundredths
constexpr double kMaxSensor = 0xFFFF / 100.0;           // mm
constexpr double kMaxPosition = 21474836.0;             // mm, 32 bits of hundredths
constexpr double kMaxAngle = 327.67;                    // degrees, 16 bits of hundredths
constexpr std::uint64_t kMaxRawEncoder = 0xFFFF;

// Member `key` of an object, or nothing (also for what is not an object).
const json* Member(const json* object, const char* key) {
    if (object == nullptr || !object->is_object()) {
        return nullptr;
    }
    const auto it = object->find(key);
    return it == object->end() ? nullptr : &*it;
}

const json* At(const json& root, std::initializer_list<const char*> path) {
    const json* at = &root;
    for (const char* key : path) {
        at = Member(at, key);
    }
    return at;
}

std::optional<double> Number(const json* v) {
    if (v == nullptr || !v->is_number()) {
        return std::nullopt;
    }
    const double d = v->get<double>();
    return std::isfinite(d) ? std::optional(d) : std::nullopt;
}

std::optional<double> Positive(const json* v) {
    const auto d = Number(v);
    return d && *d > 0.0 ? d : std::nullopt;
}

// A whole number from 0 to `max` (below 2^53). A float with a whole value counts too.
std::optional<std::uint64_t> Whole(const json* v, std::uint64_t max) {
    if (v == nullptr) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> value;
    if (v->is_number_unsigned()) {
        value = v->get<std::uint64_t>();
    } else if (v->is_number_integer()) {
        const std::int64_t i = v->get<std::int64_t>();
        if (i >= 0) {
            value = static_cast<std::uint64_t>(i);
        }
    } else if (v->is_number_float()) {
        const double d = v->get<double>();
        if (d >= 0.0 && d <= static_cast<double>(max) && d == std::floor(d)) {
            value = static_cast<std::uint64_t>(d);
        }
    }
    return value && *value <= max ? value : std::nullopt;
}

std::optional<bool> Flag(const json* v) {
    return v != nullptr && v->is_boolean() ? std::optional(v->get<bool>()) : std::nullopt;
}

// A string as a Kor string: at most 65 bytes, cut between UTF-8 characters.
std::optional<std::string> KorString(const json* v) {
    if (v == nullptr || !v->is_string()) {
        return std::nullopt;
    }
    std::string text = v->get<std::string>();
    if (text.size() > kMaxKorString) {
        std::size_t end = kMaxKorString;
        // A continuation byte (10xxxxxx) at the cut belongs to the character before it.
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) {
            --end;
        }
        text.resize(end);
    }
    return text.empty() ? std::nullopt : std::optional(std::move(text));
}

// An angle for Kor's +-327.67 degrees: beyond it, brought back by whole turns.
float KorAngle(double degrees) {
    if (std::fabs(degrees) > kMaxAngle) {
        degrees = std::remainder(degrees, 360.0);
    }
    return KorHundredths(degrees, kMaxAngle);
}

// A rational frame rate {num, denom} within the schema's bounds.
std::optional<std::pair<std::uint32_t, std::uint32_t>> Rate(const json* v) {
    const auto num = Whole(Member(v, "num"), 0x7FFFFFFF);
    const auto denom = Whole(Member(v, "denom"), 0xFFFFFFFF);
    if (!num || !denom || *num == 0 || *denom == 0) {
        return std::nullopt;
    }
    return std::pair{static_cast<std::uint32_t>(*num), static_cast<std::uint32_t>(*denom)};
}

void ReadTiming(const json& sample, KorFromOpenTrack& out) {
    TelemetryData& d = out.data;
    const json* timecode = At(sample, {"timing", "timecode"});
    const auto rate = Rate(Member(timecode, "frameRate"));
    std::optional<std::uint8_t> code;
    if (rate) {
        code = ProjectFpsOf(rate->first, rate->second, Flag(Member(timecode, "dropFrame")));
    }
    const auto hours = Whole(Member(timecode, "hours"), 23);
    const auto minutes = Whole(Member(timecode, "minutes"), 59);
    const auto seconds = Whole(Member(timecode, "seconds"), 59);
    // Kor's frame number is two BCD digits beside the record flag: 79 at most.
    const auto frames = Whole(Member(timecode, "frames"), 79);
    if (rate && hours && minutes && seconds && frames) {
        const auto h = static_cast<std::uint8_t>(*hours);
        const auto m = static_cast<std::uint8_t>(*minutes);
        const auto s = static_cast<std::uint8_t>(*seconds);
        const auto f = static_cast<std::uint8_t>(*frames);
        // Labels per second at a rate Kor has no code for: the rate rounded up.
        const std::uint64_t perSecond = (std::uint64_t{rate->first} + rate->second - 1) / rate->second;
        if (code ? TimecodeValidAt(h, m, s, f, *code) : f < perSecond) {
            d.timecodeHours = h;
            d.timecodeMinutes = m;
            d.timecodeSeconds = s;
            d.timecodeFrames = f;
            d.recordFlag = Flag(At(sample, {"tracker", "recording"})).value_or(false);
            out.types.push_back(MessageType::Timecode);
        }
    }
    if (!rate) {
        if (const auto capture = Rate(At(sample, {"static", "camera", "captureFrameRate"}))) {
            code = ProjectFpsOf(capture->first, capture->second);
        }
    }
    if (code) {
        d.projectFps = *code;
        out.types.push_back(MessageType::ProjectFps);
    }

    const json* stamp = At(sample, {"timing", "sampleTimestamp"});
    const auto stampSeconds = Whole(Member(stamp, "seconds"), 0xFFFF'FFFF'FFFFULL);
    const auto nanoseconds = Whole(Member(stamp, "nanoseconds"), 999'999'999);
    if (stampSeconds && nanoseconds) {
        d.ptpSeconds = *stampSeconds;
        d.ptpNanoseconds = static_cast<std::uint32_t>(*nanoseconds);
        out.types.push_back(MessageType::PtpTimestamp);
    }
}

// Reads x, y, z or pan, tilt, roll of `object` into `values`; false for a component that is
// there but not a finite number. `given` tells whether any was there.
bool Components(const json* object, std::initializer_list<const char*> keys,
                std::array<double, 3>& values, bool& given) {
    if (object == nullptr) {
        return true;
    }
    if (!object->is_object()) {
        return false;
    }
    std::size_t i = 0;
    for (const char* key : keys) {
        if (const json* v = Member(object, key)) {
            const auto number = Number(v);
            if (!number) {
                return false;
            }
            values[i] = *number;
            given = true;
        }
        ++i;
    }
    return true;
}

void ReadTransforms(const json& sample, KorFromOpenTrack& out) {
    const json* list = Member(&sample, "transforms");
    if (list == nullptr || !list->is_array() || list->empty()) {
        return;
    }
    std::vector<Transform> chain;
    chain.reserve(list->size());
    bool translated = false;
    bool turned = false;
    for (const json& item : *list) {
        Transform t;
        bool scaled = false;
        if (!item.is_object() ||
            !Components(Member(&item, "translation"), {"x", "y", "z"}, t.translation, translated) ||
            !Components(Member(&item, "rotation"), {"pan", "tilt", "roll"}, t.rotation, turned) ||
            !Components(Member(&item, "scale"), {"x", "y", "z"}, t.scale, scaled)) {
            return;  // a broken chain says nothing about the camera
        }
        chain.push_back(t);
    }
    const Pose pose = ComposeTransforms(chain);
    TelemetryData& d = out.data;
    if (translated && std::all_of(pose.position.begin(), pose.position.end(),
                                  [](double v) { return std::isfinite(v); })) {
        d.positionX = KorHundredths(pose.position[0] * 1000.0, kMaxPosition);
        d.positionY = KorHundredths(pose.position[1] * 1000.0, kMaxPosition);
        d.positionZ = KorHundredths(pose.position[2] * 1000.0, kMaxPosition);
        d.positionXValid = d.positionYValid = d.positionZValid = true;
        out.types.push_back(MessageType::PositionalData);
    }
    if (turned && std::isfinite(pose.pan) && std::isfinite(pose.tilt) && std::isfinite(pose.roll)) {
        d.yaw = KorAngle(pose.pan);
        d.pitch = KorAngle(pose.tilt);
        d.roll = KorAngle(pose.roll);
        d.yawValid = d.pitchValid = d.rollValid = true;
        out.types.push_back(MessageType::AxesData);
    }
}

void ReadLens(const json& sample, KorFromOpenTrack& out) {
    TelemetryData& d = out.data;
    const json* lens = Member(&sample, "lens");
    if (const auto metres = Positive(Member(lens, "focusDistance"))) {
        const double mm = *metres * 1000.0;
        d.focus = mm >= kMaxFocus ? kMaxFocus : static_cast<std::uint32_t>(std::lround(mm));
        d.focusValid = d.focus != 0;
    }
    if (const auto mm = Positive(Member(lens, "pinholeFocalLength"))) {
        d.zoom = KorHundredths(*mm, kMaxFocalLength);
        d.zoomValid = d.zoom != 0.0F;
    }
    auto stop = Positive(Member(lens, "tStop"));
    if (!stop) {
        stop = Positive(Member(lens, "fStop"));
    }
    if (stop) {
        d.iris = KorHundredths(*stop, kMaxStop);
        d.irisValid = d.iris != 0.0F;
    }
    if (d.focusValid || d.zoomValid || d.irisValid) {
        // A value left out travels as 0, which Kor reads as "not available".
        d.focus = d.focusValid ? d.focus : 0;
        d.zoom = d.zoomValid ? d.zoom : 0.0F;
        d.iris = d.irisValid ? d.iris : 0.0F;
        out.types.push_back(MessageType::BasicLens);
    }

    // Kor counts focus from the closest distance, OpenTrackIO's normalised focus from
    // infinity; zoom and iris run the same way in both.
    const json* normalised = Member(lens, "encoders");
    const json* raw = Member(lens, "rawEncoders");
    const auto encoder = [&](const char* key, bool reversed, std::uint16_t& count, bool& valid) {
        const auto share = Number(Member(normalised, key));
        if (share && *share >= 0.0 && *share <= 1.0) {
            count = static_cast<std::uint16_t>(std::lround((reversed ? 1.0 - *share : *share) * 65535.0));
            valid = true;
        } else if (const auto value = Whole(Member(raw, key), kMaxRawEncoder)) {
            count = static_cast<std::uint16_t>(*value);
            valid = true;
        }
    };
    encoder("focus", true, d.rawFocusEncoder, d.rawFocusEncoderValid);
    encoder("zoom", false, d.rawZoomEncoder, d.rawZoomEncoderValid);
    encoder("iris", false, d.rawIrisEncoder, d.rawIrisEncoderValid);
    if (d.rawFocusEncoderValid || d.rawZoomEncoderValid || d.rawIrisEncoderValid) {
        out.types.push_back(MessageType::RawLensEncoderWithMask);
    }
}

void ReadStatic(const json& sample, KorFromOpenTrack& out) {
    TelemetryData& d = out.data;
    const json* camera = At(sample, {"static", "camera"});
    const json* lens = At(sample, {"static", "lens"});

    if (const auto mm = Positive(Member(lens, "nominalFocalLength"))) {
        d.minFocalLength = d.maxFocalLength = KorHundredths(*mm, kMaxFocalLength);
        if (d.minFocalLength != 0.0F) {
            d.minFocalLengthValid = d.maxFocalLengthValid = true;
            d.focalRangeFlags = 3;
            out.types.push_back(MessageType::LensProperties);
        }
    }

    const json* physical = Member(camera, "activeSensorPhysicalDimensions");
    const auto width = Positive(Member(physical, "width"));
    const auto height = Positive(Member(physical, "height"));
    const json* resolution = Member(camera, "activeSensorResolution");
    const auto pixelsWide = Whole(Member(resolution, "width"), 0x7FFFFFFF);
    const auto pixelsHigh = Whole(Member(resolution, "height"), 0x7FFFFFFF);
    const bool sized = width && height;
    const bool resolved = pixelsWide && pixelsHigh && *pixelsWide > 0 && *pixelsHigh > 0;
    if (sized || resolved) {
        // Kor's 0 is "unknown", as for the half the sample does not give.
        if (sized) {
            d.sensorWidth = KorHundredths(*width, kMaxSensor);
            d.sensorHeight = KorHundredths(*height, kMaxSensor);
        }
        if (resolved) {
            d.clipWidth = static_cast<std::uint16_t>(std::min<std::uint64_t>(*pixelsWide, 0xFFFF));
            d.clipHeight = static_cast<std::uint16_t>(std::min<std::uint64_t>(*pixelsHigh, 0xFFFF));
        }
        out.types.push_back(MessageType::SensorSize);
    }

    const struct {
        const json* object;
        const char* key;
        std::string TelemetryData::*field;
        MessageType type;
    } strings[] = {
        {camera, "make", &TelemetryData::productBrand, MessageType::ProductBrand},
        {camera, "model", &TelemetryData::productName, MessageType::ProductName},
        {camera, "serialNumber", &TelemetryData::productSerial, MessageType::ProductSerial},
        {lens, "make", &TelemetryData::lensManufacturer, MessageType::LensManufacturer},
        {lens, "model", &TelemetryData::lensName, MessageType::LensName},
        {lens, "serialNumber", &TelemetryData::lensSerial, MessageType::LensSerial},
    };
    for (const auto& s : strings) {
        if (auto text = KorString(Member(s.object, s.key))) {
            d.*s.field = std::move(*text);
            out.types.push_back(s.type);
        }
    }
    d.productInfoComplete =
        !d.productBrand.empty() && !d.productName.empty() && !d.productSerial.empty();
    d.lensInfoComplete =
        !d.lensManufacturer.empty() && !d.lensName.empty() && !d.lensSerial.empty();
}

OpenTrackRead Refused(std::string reason) {
    OpenTrackRead read;
    read.error = std::move(reason);
    return read;
}

}  // namespace

OpenTrackRead KorFromOpenTrackSample(const json& sample) {
    if (!sample.is_object()) {
        return Refused("the sample is not an object");
    }
    try {
        KorFromOpenTrack out;
        ReadTiming(sample, out);
        ReadTransforms(sample, out);
        ReadLens(sample, out);
        ReadStatic(sample, out);
        if (const auto number = Whole(Member(&sample, "sourceNumber"), 0xFFFFFFFF)) {
            out.sourceNumber = static_cast<std::uint32_t>(*number);
        }
        OpenTrackRead read;
        read.sample = std::move(out);
        return read;
    } catch (const json::exception& e) {
        // Not expected: every value is checked for its type before it is read.
        return Refused(std::string("unreadable sample: ") + e.what());
    }
}

OpenTrackRead ReadOpenTrackPayload(std::span<const std::uint8_t> payload, std::uint8_t encoding) {
    const bool cbor = encoding == 0x02;
    if (encoding != 0x01 && !cbor) {
        constexpr char kHex[] = "0123456789abcdef";
        return Refused(std::string("payload encoding 0x") + kHex[encoding >> 4] +
                       kHex[encoding & 0x0F] + " is neither JSON (0x01) nor CBOR (0x02)");
    }
    if (cbor && !CborNestingWithin(payload, kMaxCborDepth)) {
        return Refused("CBOR nested deeper than " + std::to_string(kMaxCborDepth) + " levels");
    }
    json sample;
    try {
        sample = cbor ? json::from_cbor(payload.begin(), payload.end(), true, true,
                                        json::cbor_tag_handler_t::ignore)
                      : json::parse(payload.begin(), payload.end());
    } catch (const json::exception& e) {
        return Refused(std::string(cbor ? "not CBOR: " : "not JSON: ") + e.what());
    }
    return KorFromOpenTrackSample(sample);
}

bool CborNestingWithin(std::span<const std::uint8_t> bytes, std::size_t maxDepth) noexcept {
    constexpr std::uint64_t kIndefinite = std::numeric_limits<std::uint64_t>::max();
    // Items still to come in each open array, map (two per entry), tag (one) or indefinite
    // item (until its break).
    std::array<std::uint64_t, kMaxCborDepth> open{};
    maxDepth = std::min(maxDepth, open.size());
    std::size_t depth = 0;
    // One item is complete: it counts against its container, which may complete in turn.
    const auto completed = [&] {
        while (depth > 0 && open[depth - 1] != kIndefinite && --open[depth - 1] == 0) {
            --depth;
        }
    };
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint8_t initial = bytes[at++];
        const unsigned major = initial >> 5;
        const unsigned info = initial & 0x1FU;
        if (initial == 0xFF) {  // break: ends the innermost indefinite item
            if (depth == 0 || open[depth - 1] != kIndefinite) {
                return true;  // malformed
            }
            --depth;
            completed();
            continue;
        }
        std::uint64_t argument = info;
        const bool indefinite = info == 31;
        if (info >= 24 && info <= 27) {
            const std::size_t size = std::size_t{1} << (info - 24);
            if (bytes.size() - at < size) {
                return true;  // cut short
            }
            argument = 0;
            for (std::size_t i = 0; i < size; ++i) {
                argument = (argument << 8) | bytes[at++];
            }
        } else if (info >= 28 && info <= 30) {
            return true;  // reserved: malformed
        }
        std::optional<std::uint64_t> opens;  // the items the new container holds
        switch (major) {
            case 2:
            case 3:
                if (indefinite) {
                    opens = kIndefinite;  // chunks until a break
                } else if (argument > bytes.size() - at) {
                    return true;  // cut short
                } else {
                    at += static_cast<std::size_t>(argument);
                }
                break;
            case 4:
                if (indefinite || argument > 0) {
                    opens = indefinite ? kIndefinite : std::min(argument, kIndefinite - 1);
                }
                break;
            case 5:
                if (indefinite || argument > 0) {
                    opens = indefinite ? kIndefinite
                                       : (argument >= kIndefinite / 2 ? kIndefinite - 1 : 2 * argument);
                }
                break;
            case 6:
                opens = 1;
                break;
            default:  // integers, simple values and floats (their bytes are read above)
                if (indefinite) {
                    return true;  // malformed
                }
                break;
        }
        if (opens) {
            if (depth == maxDepth) {
                return false;
            }
            open[depth++] = *opens;
        } else {
            completed();
        }
    }
    return true;
}

bool IsStaticRecord(MessageType type) noexcept {
    switch (type) {
        case MessageType::LensProperties:
        case MessageType::SensorSize:
        case MessageType::ProductBrand:
        case MessageType::ProductName:
        case MessageType::ProductSerial:
        case MessageType::LensManufacturer:
        case MessageType::LensName:
        case MessageType::LensSerial:
            return true;
        default:
            return false;
    }
}

}  // namespace Kor::Bridge
