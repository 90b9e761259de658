// The round-trip target's input: a list of message types and a telemetry record, read from
// bytes (and written back to bytes by the corpus generator).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <kor/telemetry.h>

#include "fuzz_support.h"

namespace kor_fuzz {

// Value ranges that the wire carries without wrapping; the encoder wraps values outside them
// by design, so the record is kept inside. Upper limits stay a little clear of the field
// width, since the value is scaled in single precision before it is truncated.
inline constexpr float kMaxU24Hundredths = 167772.0F;  // u24 x 100
inline constexpr float kMaxU16Hundredths = 655.34F;    // u16 x 100
inline constexpr float kMaxI32Hundredths = 2.0e7F;     // i32 x 100, clear of 0x80000000
inline constexpr float kMaxI16Hundredths = 327.67F;    // i16 x 100, clear of 0x8000
inline constexpr float kMinDistortion = -327.68F;      // i16 x 100, no not-available code
inline constexpr float kMaxFieldOfView = 204.7F;       // 11 bits x 10
inline constexpr float kMinAperture = 1.4F;            // the lowest base stop
inline constexpr float kMaxAperture = 37.45F;          // 22 plus 15 steps of 1.0, rounded
inline constexpr float kMaxShading = 100.0F;           // x 10, carried as 1000 - value
inline constexpr int kMaxPupilMagnitude = 1023;        // 10-bit magnitude and a sign
inline constexpr std::size_t kMaxInputString = 70;     // longer than the 65 bytes that travel
inline constexpr std::size_t kMaxInputTypes = 40;
inline constexpr unsigned kInputTypeSpan = 32;  // 0 to 31: reserved and unknown types included
inline constexpr unsigned kTimecodeSpan = 100;  // BCD bytes carry 0 to 99
inline constexpr unsigned kFramesSpan = 80;     // the frames byte keeps bit 7 for the flag
inline constexpr unsigned kProjectFpsSpan = 8;  // 6 and 7 are not sent

struct RecordInput {
    std::vector<Kor::Protocol::MessageType> types;
    Kor::Protocol::TelemetryData data;
};

inline RecordInput ReadRecordInput(ByteReader& in) {
    using Kor::Protocol::MessageType;
    RecordInput r;
    const std::size_t count = in.U8() % (kMaxInputTypes + 1);
    for (std::size_t i = 0; i < count; ++i) {
        r.types.push_back(static_cast<MessageType>(in.U8() % kInputTypeSpan));
    }

    auto& d = r.data;
    d.timecodeHours = static_cast<std::uint8_t>(in.U8() % kTimecodeSpan);
    d.timecodeMinutes = static_cast<std::uint8_t>(in.U8() % kTimecodeSpan);
    d.timecodeSeconds = static_cast<std::uint8_t>(in.U8() % kTimecodeSpan);
    d.timecodeFrames = static_cast<std::uint8_t>(in.U8() % kFramesSpan);
    d.recordFlag = (in.U8() & 1U) != 0;

    d.focus = in.Uint<std::uint32_t>();
    d.zoom = in.Float(0.0F, kMaxU24Hundredths);
    d.iris = in.Float(0.0F, kMaxU16Hundredths);

    d.ptpSeconds = in.Uint<std::uint64_t>();
    d.ptpNanoseconds = in.Uint<std::uint32_t>();

    d.productBrand = in.String(kMaxInputString);
    d.productName = in.String(kMaxInputString);
    d.productSerial = in.String(kMaxInputString);

    d.minFocalLength = in.Float(0.0F, kMaxU24Hundredths);
    d.maxFocalLength = in.Float(0.0F, kMaxU24Hundredths);
    d.minIris = in.Float(0.0F, kMaxU16Hundredths);
    d.maxIris = in.Float(0.0F, kMaxU16Hundredths);
    d.lensPropertiesExtra = in.U8();

    d.positionX = in.Float(-kMaxI32Hundredths, kMaxI32Hundredths);
    d.positionY = in.Float(-kMaxI32Hundredths, kMaxI32Hundredths);
    d.positionZ = in.Float(-kMaxI32Hundredths, kMaxI32Hundredths);
    d.roll = in.Float(-kMaxI16Hundredths, kMaxI16Hundredths);
    d.pitch = in.Float(-kMaxI16Hundredths, kMaxI16Hundredths);
    d.yaw = in.Float(-kMaxI16Hundredths, kMaxI16Hundredths);

    d.tickCount = in.Uint<std::uint64_t>();
    d.tickCountType = in.U8();

    d.lensManufacturer = in.String(kMaxInputString);
    d.lensName = in.String(kMaxInputString);
    d.lensSerial = in.String(kMaxInputString);

    d.projectFps = static_cast<std::uint8_t>(in.U8() % kProjectFpsSpan);
    d.clipName = in.String(kMaxInputString);

    const std::uint8_t mask = in.U8();
    d.rawFocusEncoderValid = (mask & 1U) != 0;
    d.rawZoomEncoderValid = (mask & 2U) != 0;
    d.rawIrisEncoderValid = (mask & 4U) != 0;
    d.rawFocusEncoder = in.Uint<std::uint16_t>();
    d.rawZoomEncoder = in.Uint<std::uint16_t>();
    d.rawIrisEncoder = in.Uint<std::uint16_t>();

    auto& z = d.zeissZd;
    z.focusDistance = in.Uint<std::uint32_t>();
    z.aperture = in.Float(kMinAperture, kMaxAperture);
    z.horizontalFieldOfView = in.Float(0.0F, kMaxFieldOfView);
    z.entrancePupilPosition = static_cast<std::int16_t>(
        static_cast<int>(in.Uint<std::uint16_t>() % (2 * kMaxPupilMagnitude + 1)) -
        kMaxPupilMagnitude);
    for (float& s : z.shading) {
        s = in.Float(0.0F, kMaxShading);
    }
    for (float& v : z.radialDistortion) {
        v = in.Float(kMinDistortion, kMaxI16Hundredths);
    }

    auto& radio = d.radioControl;
    radio.radioValue = in.Uint<std::uint32_t>();
    radio.radioParamA = in.U8();
    radio.radioParamB = in.U8();
    radio.radioMode = in.U8();
    radio.radioParamC = in.U8();

    d.channelId = in.U8();
    d.sensorWidth = in.Float(0.0F, kMaxU16Hundredths);
    d.sensorHeight = in.Float(0.0F, kMaxU16Hundredths);
    d.clipWidth = in.Uint<std::uint16_t>();
    d.clipHeight = in.Uint<std::uint16_t>();
    d.sensorName = in.String(kMaxInputString);

    for (auto& v : d.rawAxesEncoders) {
        v = in.Uint<std::uint32_t>();
    }
    d.subjectId = in.Uint<std::uint32_t>();
    return r;
}

// Writes what ReadRecordInput reads back as `r`, for records whose values lie in the ranges
// above (strings up to kMaxInputString bytes, at most kMaxInputTypes types).
inline Bytes WriteRecordInput(const RecordInput& r) {
    ByteWriter out;
    out.U8(static_cast<std::uint8_t>(r.types.size()));
    for (auto type : r.types) {
        out.U8(static_cast<std::uint8_t>(type));
    }

    const auto& d = r.data;
    out.U8(d.timecodeHours);
    out.U8(d.timecodeMinutes);
    out.U8(d.timecodeSeconds);
    out.U8(d.timecodeFrames);
    out.U8(d.recordFlag ? 1 : 0);

    out.Uint(d.focus);
    out.Float(d.zoom);
    out.Float(d.iris);

    out.Uint(d.ptpSeconds);
    out.Uint(d.ptpNanoseconds);

    out.String(d.productBrand);
    out.String(d.productName);
    out.String(d.productSerial);

    out.Float(d.minFocalLength);
    out.Float(d.maxFocalLength);
    out.Float(d.minIris);
    out.Float(d.maxIris);
    out.U8(d.lensPropertiesExtra);

    for (float v : {d.positionX, d.positionY, d.positionZ, d.roll, d.pitch, d.yaw}) {
        out.Float(v);
    }

    out.Uint(d.tickCount);
    out.U8(d.tickCountType);

    out.String(d.lensManufacturer);
    out.String(d.lensName);
    out.String(d.lensSerial);

    out.U8(d.projectFps);
    out.String(d.clipName);

    out.U8(static_cast<std::uint8_t>((d.rawFocusEncoderValid ? 1U : 0U) |
                                     (d.rawZoomEncoderValid ? 2U : 0U) |
                                     (d.rawIrisEncoderValid ? 4U : 0U)));
    out.Uint(d.rawFocusEncoder);
    out.Uint(d.rawZoomEncoder);
    out.Uint(d.rawIrisEncoder);

    const auto& z = d.zeissZd;
    out.Uint(z.focusDistance);
    out.Float(z.aperture);
    out.Float(z.horizontalFieldOfView);
    out.Uint(static_cast<std::uint16_t>(z.entrancePupilPosition + kMaxPupilMagnitude));
    for (float s : z.shading) {
        out.Float(s);
    }
    for (float v : z.radialDistortion) {
        out.Float(v);
    }

    const auto& radio = d.radioControl;
    out.Uint(radio.radioValue);
    out.U8(radio.radioParamA);
    out.U8(radio.radioParamB);
    out.U8(radio.radioMode);
    out.U8(radio.radioParamC);

    out.U8(d.channelId);
    out.Float(d.sensorWidth);
    out.Float(d.sensorHeight);
    out.Uint(d.clipWidth);
    out.Uint(d.clipHeight);
    out.String(d.sensorName);

    for (auto v : d.rawAxesEncoders) {
        out.Uint(v);
    }
    out.Uint(d.subjectId);
    return out.bytes();
}

}  // namespace kor_fuzz
