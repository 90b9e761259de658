// Kor state <-> FreeD D1 packet.
#include "freed_convert.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Kor::Bridge {

using Protocol::MessageType;
using Protocol::TelemetryData;

// The float for a Kor field that travels as value x 100, multiplied in single precision and
// truncated toward zero, held to +-limit first: of the floats next to the nearest hundredth,
// one whose product truncates to that hundredth. Where a float cannot hold hundredths (from
// 131072 up) the result is moved towards zero until its product stays within the limit, so
// that a field that keeps only its low bits (24 for a focal length) never wraps.
float KorHundredths(double value, double limit) noexcept {
    const double steps = std::round(std::clamp(value, -limit, limit) * 100.0);
    const double maxSteps = std::round(limit * 100.0);
    const auto sent = [](float f) { return std::trunc(f * 100.0F); };
    float chosen = static_cast<float>(steps / 100.0);
    float below = chosen;
    float above = chosen;
    for (int i = 0; i < 2 && sent(chosen) != steps; ++i) {
        below = std::nextafter(below, -std::numeric_limits<float>::infinity());
        above = std::nextafter(above, std::numeric_limits<float>::infinity());
        if (sent(below) == steps) {
            chosen = below;
        } else if (sent(above) == steps) {
            chosen = above;
        }
    }
    while (std::fabs(sent(chosen)) > maxSteps) {
        chosen = std::nextafter(chosen, 0.0F);
    }
    return chosen;
}


std::uint32_t WidenEncoder(std::uint16_t count) noexcept {
    return (std::uint32_t{count} << 8) | (count >> 8);
}

std::uint16_t NarrowEncoder(std::uint32_t value) noexcept {
    return static_cast<std::uint16_t>((value & kUint24Max) >> 8);
}

FreedPacket FreedFromKor(const TelemetryData& s, std::uint8_t cameraId, FreedLens lens) noexcept {
    FreedPacket p;
    p.cameraId = cameraId;
    const auto angle = [](bool valid, float degrees) {
        return valid ? ToSigned24(degrees, kFreedAngleScale) : 0;
    };
    const auto position = [](bool valid, float mm) {
        return valid ? ToSigned24(mm, kFreedPositionScale) : 0;
    };
    p.pan = angle(s.yawValid, s.yaw);
    p.tilt = angle(s.pitchValid, s.pitch);
    p.roll = angle(s.rollValid, s.roll);
    p.x = position(s.positionXValid, s.positionX);
    p.y = position(s.positionYValid, s.positionY);
    p.z = position(s.positionZValid, s.positionZ);
    if (lens == FreedLens::Raw) {
        p.zoom = s.rawZoomEncoderValid ? WidenEncoder(s.rawZoomEncoder) : 0;
        p.focus = s.rawFocusEncoderValid ? WidenEncoder(s.rawFocusEncoder) : 0;
    } else {
        p.zoom = s.zoomValid ? ToUnsigned24(s.zoom, kFreedZoomScale) : 0;
        p.focus = s.focusValid ? std::min<std::uint32_t>(s.focus, kUint24Max) : 0;
    }
    return p;
}

KorFromFreed KorFromFreedPacket(const FreedPacket& p, FreedLens lens,
                                std::uint64_t tickCountMicroseconds, std::uint8_t projectFps) {
    KorFromFreed out;
    TelemetryData& d = out.data;
    d.positionX = KorHundredths(p.x / kFreedPositionScale);
    d.positionY = KorHundredths(p.y / kFreedPositionScale);
    d.positionZ = KorHundredths(p.z / kFreedPositionScale);
    d.yaw = KorHundredths(p.pan / kFreedAngleScale);
    d.pitch = KorHundredths(p.tilt / kFreedAngleScale);
    d.roll = KorHundredths(p.roll / kFreedAngleScale);
    out.types = {MessageType::PositionalData, MessageType::AxesData};
    if (lens == FreedLens::Raw) {
        d.rawZoomEncoder = NarrowEncoder(p.zoom);
        d.rawFocusEncoder = NarrowEncoder(p.focus);
        d.rawZoomEncoderValid = d.rawFocusEncoderValid = true;
        out.types.push_back(MessageType::RawLensEncoderWithMask);
    } else {
        // Zero travels as "not available" in BasicLens, as in the D1 packet.
        d.zoom = KorHundredths((p.zoom & kUint24Max) / kFreedZoomScale);
        d.focus = p.focus & kUint24Max;
        out.types.push_back(MessageType::BasicLens);
    }
    d.tickCount = tickCountMicroseconds;
    d.tickCountType = 2;
    out.types.push_back(MessageType::TickCount);
    if (projectFps != 0) {
        d.projectFps = projectFps;
        out.types.push_back(MessageType::ProjectFps);
    }
    return out;
}

}  // namespace Kor::Bridge
