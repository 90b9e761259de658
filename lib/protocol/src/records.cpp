// Record builders: how the sender turns TelemetryData fields into record payloads.
#include "records.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "fixed_point.h"
#include "zeiss_aperture.h"

namespace Kor::Protocol::detail {

void RecordWriter::Bytes(std::string_view s, std::size_t limit) noexcept {
    const std::size_t n = std::min({s.size(), limit, kMaxRecord - size_});
    if (n != 0) {
        std::memcpy(out_ + size_, s.data(), n);
        size_ += n;
    }
}

namespace {

// Binary-coded decimal of v, modulo 256 (values of 100 and above wrap).
std::uint8_t Bcd(std::uint8_t v) noexcept {
    return static_cast<std::uint8_t>((v / 10) * 16 + v % 10);
}

// Aperture base code: the full stop at or below the aperture, x 10. NaN compares false
// everywhere and so lands on the last code.
unsigned ApertureBase(float a) noexcept {
    if (a < 2.0F) return 14;
    if (a < 2.8F) return 20;
    if (a < 4.0F) return 28;
    if (a < 5.6F) return 40;
    if (a < 8.0F) return 56;
    if (a < 11.0F) return 80;
    if (a < 16.0F) return 110;
    if (a < 22.0F) return 160;
    return 220;
}

// An angle x 100 for a 16-bit field. Angles beyond +/-327.67 degrees are first brought
// into -180..180 by whole turns (exact in single precision), so that a finite angle never
// wraps into the wrong sign or into 0x8000, which means "not available". NaN and the
// infinities keep the plain conversion.
std::int32_t AngleHundredths(float degrees) noexcept {
    const std::int32_t hundredths = Scaled32(degrees, 100.0F);
    if (hundredths >= -32767 && hundredths <= 32767) {
        return hundredths;
    }
    if (!std::isfinite(degrees)) {
        return hundredths;
    }
    return Scaled32(std::remainder(degrees, 360.0F), 100.0F);
}

// The aperture the step table can carry: 1.4 (base 14, no steps) to 37 (base 22, 15
// steps). NaN compares false and passes unchanged.
float ClampAperture(float a) noexcept {
    if (a < 1.4F) return 1.4F;
    if (a > 37.0F) return 37.0F;
    return a;
}

}  // namespace

std::size_t BuildTimecode(std::uint8_t* out, std::uint8_t hours, std::uint8_t minutes, std::uint8_t seconds,
                     std::uint8_t frames, bool recordFlag) noexcept {
    RecordWriter r(out, MessageType::Timecode);
    r.U8(Bcd(hours));
    r.U8(Bcd(minutes));
    r.U8(Bcd(seconds));
    r.U8(Bcd(frames) | (recordFlag ? 0x80U : 0U));
    return r.Finish();
}

std::size_t BuildBasicLens(std::uint8_t* out, std::uint32_t focus, float zoom, float iris) noexcept {
    RecordWriter r(out, MessageType::BasicLens);
    r.U24(focus);
    r.U24(static_cast<std::uint64_t>(Scaled64(zoom, 100.0F)));
    r.U16(static_cast<std::uint64_t>(Scaled32(iris, 100.0F)));
    return r.Finish();
}

std::size_t BuildPtpTimestamp(std::uint8_t* out, std::uint64_t seconds, std::uint32_t nanoseconds) noexcept {
    RecordWriter r(out, MessageType::PtpTimestamp);
    r.U48(seconds);
    r.U32(nanoseconds);
    return r.Finish();
}

std::size_t BuildString(std::uint8_t* out, MessageType type, std::string_view text) noexcept {
    RecordWriter r(out, type);
    r.Bytes(text, kMaxPayload);
    return r.Finish();
}

std::size_t BuildLensProperties(std::uint8_t* out, float minFocalLength, float maxFocalLength, float minIris,
                           float maxIris, std::uint8_t extra) noexcept {
    RecordWriter r(out, MessageType::LensProperties);
    r.U24(static_cast<std::uint64_t>(Scaled64(minFocalLength, 100.0F)));
    r.U24(static_cast<std::uint64_t>(Scaled64(maxFocalLength, 100.0F)));
    r.U16(static_cast<std::uint64_t>(Scaled32(minIris, 100.0F)));
    r.U16(static_cast<std::uint64_t>(Scaled32(maxIris, 100.0F)));
    r.U8(extra);
    return r.Finish();
}

std::size_t BuildPositionalData(std::uint8_t* out, float x, float y, float z) noexcept {
    RecordWriter r(out, MessageType::PositionalData);
    // 0x80000000 means "not available" to a receiver: a position beyond the field's
    // range saturates one short of it, at -0x7FFFFFFF.
    for (float v : {x, y, z}) {
        const std::int32_t hundredths =
            std::max(Scaled32(v, 100.0F), -std::numeric_limits<std::int32_t>::max());
        r.U32(static_cast<std::uint64_t>(hundredths));
    }
    return r.Finish();
}

std::size_t BuildAxesData(std::uint8_t* out, float roll, float pitch, float yaw) noexcept {
    RecordWriter r(out, MessageType::AxesData);
    for (float v : {roll, pitch, yaw}) {
        r.U16(static_cast<std::uint64_t>(AngleHundredths(v)));
    }
    return r.Finish();
}

std::size_t BuildTickCount(std::uint8_t* out, std::uint64_t count, std::uint8_t countType) noexcept {
    RecordWriter r(out, MessageType::TickCount);
    switch (countType) {
        case 0: r.U24(count); break;
        case 1: r.U32(count); break;
        default: r.U40(count); break;
    }
    return r.Finish();
}

std::size_t BuildProjectFps(std::uint8_t* out, std::uint8_t projectFps) noexcept {
    if (projectFps > 5) {
        return 0;
    }
    RecordWriter r(out, MessageType::ProjectFps);
    r.U8(projectFps);
    return r.Finish();
}

std::size_t BuildRawLensEncoderWithMask(std::uint8_t* out, bool focusValid, bool zoomValid, bool irisValid,
                                   std::uint16_t focus, std::uint16_t zoom,
                                   std::uint16_t iris) noexcept {
    RecordWriter r(out, MessageType::RawLensEncoderWithMask);
    r.U8((focusValid ? 1U : 0U) | (zoomValid ? 2U : 0U) | (irisValid ? 4U : 0U));
    r.U16(focus);
    r.U16(zoom);
    r.U16(iris);
    return r.Finish();
}

std::size_t BuildZeissZdData(std::uint8_t* out, const TelemetryData::ZeissZdValues& values) noexcept {
    RecordWriter r(out, MessageType::ZeissZdData);

    // Focus distance: 24 bits in four 6-bit groups behind the marker 01.
    for (int shift = 18; shift >= 0; shift -= 6) {
        r.U8(0x40U | ((values.focusDistance >> shift) & 0x3FU));
    }

    // Aperture: base code and a count of steps above it, computed in single precision
    // and rounded half away from zero; the count's low 4 bits travel.
    // Apertures beyond the table's ends are sent as the nearest end.
    const float aperture = ClampAperture(values.aperture);
    const unsigned base = ApertureBase(aperture);
    const float steps =
        std::round((aperture - static_cast<float>(base) / 10.0F) / ApertureStepOf(base));
    const auto count = static_cast<std::uint32_t>(TruncSaturate<std::int32_t>(steps));
    r.U8(0x80U | (base & 0x7FU));
    r.U8(0x80U | ((base >> 7) & 1U) << 6 | (count & 0x0FU));

    // Horizontal field of view x 10 as an 11-bit number in a 5-bit and a 6-bit group.
    const auto h = static_cast<std::uint32_t>(Scaled32(values.horizontalFieldOfView, 10.0F));
    r.U8(0x40U | ((h >> 6) & 0x1FU));
    r.U8(0x40U | (h & 0x3FU));

    // Entrance pupil position: sign bit and a 10-bit magnitude.
    const std::int32_t pupil = values.entrancePupilPosition;
    const auto magnitude = static_cast<std::uint32_t>(pupil < 0 ? -pupil : pupil);
    r.U8(0x40U | (pupil < 0 ? 0x20U : 0U) | ((magnitude >> 6) & 0x0FU));
    r.U8(0x40U | (magnitude & 0x3FU));

    // Shading: slot 0 fixed at 1000; slot i holds 1000 - s for s = shading x 10 taken as
    // 16 bits, or 1000 when s (unsigned) exceeds 1000.
    r.U16(1000);
    for (std::size_t i = 1; i < 6; ++i) {
        const auto s = static_cast<std::uint16_t>(Scaled32(values.shading[i], 10.0F));
        r.U16(s <= 1000 ? 1000U - s : 1000U);
    }

    // Radial distortion: slot 0 fixed at 0; slot i holds distortion x 100, 16 bits.
    r.U16(0);
    for (std::size_t i = 1; i < 6; ++i) {
        r.U16(static_cast<std::uint64_t>(Scaled32(values.radialDistortion[i], 100.0F)));
    }
    return r.Finish();
}

std::size_t BuildRadioControl(std::uint8_t* out, const TelemetryData::RadioControlValues& values) noexcept {
    RecordWriter r(out, MessageType::RadioControl);
    r.U24(values.radioValue);
    r.U8(values.radioParamA);
    r.U8(static_cast<std::uint8_t>(values.radioParamB - 5U));
    if (values.radioMode != 4) {
        r.U8(values.radioMode);
        r.U8(values.radioParamC);
    }
    return r.Finish();
}

std::size_t BuildChannelId(std::uint8_t* out, std::uint8_t channelId) noexcept {
    RecordWriter r(out, MessageType::ChannelId);
    r.U8(channelId);
    return r.Finish();
}

std::size_t BuildSensorSize(std::uint8_t* out, float width, float height, std::uint16_t clipWidth,
                       std::uint16_t clipHeight, std::string_view name) noexcept {
    RecordWriter r(out, MessageType::SensorSize);
    r.U16(static_cast<std::uint64_t>(Scaled32(width, 100.0F)));
    r.U16(static_cast<std::uint64_t>(Scaled32(height, 100.0F)));
    r.U16(clipWidth);
    r.U16(clipHeight);
    r.Bytes(name, kMaxSensorName);
    return r.Finish();
}

std::size_t BuildRawAxesEncoderWithMask(std::uint8_t* out, const std::array<std::uint32_t, 3>& values) noexcept {
    RecordWriter r(out, MessageType::RawAxesEncoderWithMask);
    r.U8(7);
    for (std::uint32_t v : values) {
        r.U24(v);
    }
    return r.Finish();
}

std::size_t BuildSubjectId(std::uint8_t* out, std::uint32_t subjectId) noexcept {
    RecordWriter r(out, MessageType::SubjectId);
    r.U16(subjectId);
    return r.Finish();
}

std::size_t BuildRecord(std::uint8_t* out, const TelemetryData& d, MessageType type) noexcept {
    switch (type) {
        case MessageType::Timecode:
            return BuildTimecode(out, d.timecodeHours, d.timecodeMinutes, d.timecodeSeconds,
                                 d.timecodeFrames, d.recordFlag);
        case MessageType::BasicLens: return BuildBasicLens(out, d.focus, d.zoom, d.iris);
        case MessageType::PtpTimestamp: return BuildPtpTimestamp(out, d.ptpSeconds, d.ptpNanoseconds);
        case MessageType::ProductBrand: return BuildString(out, type, d.productBrand);
        case MessageType::ProductName: return BuildString(out, type, d.productName);
        case MessageType::ProductSerial: return BuildString(out, type, d.productSerial);
        case MessageType::LensProperties:
            return BuildLensProperties(out, d.minFocalLength, d.maxFocalLength, d.minIris, d.maxIris,
                                       d.lensPropertiesExtra);
        case MessageType::PositionalData:
            return BuildPositionalData(out, d.positionX, d.positionY, d.positionZ);
        case MessageType::AxesData: return BuildAxesData(out, d.roll, d.pitch, d.yaw);
        case MessageType::TickCount: return BuildTickCount(out, d.tickCount, d.tickCountType);
        case MessageType::LensManufacturer: return BuildString(out, type, d.lensManufacturer);
        case MessageType::LensName: return BuildString(out, type, d.lensName);
        case MessageType::LensSerial: return BuildString(out, type, d.lensSerial);
        case MessageType::ProjectFps: return BuildProjectFps(out, d.projectFps);
        case MessageType::ClipName: return BuildString(out, type, d.clipName);
        case MessageType::RawLensEncoderWithMask:
            return BuildRawLensEncoderWithMask(out, d.rawFocusEncoderValid, d.rawZoomEncoderValid,
                                               d.rawIrisEncoderValid, d.rawFocusEncoder,
                                               d.rawZoomEncoder, d.rawIrisEncoder);
        case MessageType::ZeissZdData: return BuildZeissZdData(out, d.zeissZd);
        case MessageType::RadioControl: return BuildRadioControl(out, d.radioControl);
        case MessageType::ChannelId: return BuildChannelId(out, d.channelId);
        case MessageType::SensorSize:
            return BuildSensorSize(out, d.sensorWidth, d.sensorHeight, d.clipWidth, d.clipHeight,
                                   d.sensorName);
        case MessageType::RawAxesEncoderWithMask:
            return BuildRawAxesEncoderWithMask(out, d.rawAxesEncoders);
        case MessageType::SubjectId: return BuildSubjectId(out, d.subjectId);
        default: return 0;  // reserved (17 to 22) and unknown types have no encoder
    }
}

}  // namespace Kor::Protocol::detail
