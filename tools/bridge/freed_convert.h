// Conversions between the Kor telemetry state and FreeD D1 packets.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include <kor/telemetry.h>

#include "freed.h"

namespace Kor::Bridge {

// What the D1 zoom and focus fields hold.
enum class FreedLens {
    Raw,       // the raw lens encoder counts, widened from 16 to 24 bits (WidenEncoder)
    Physical,  // zoom: focal length in micrometres; focus: focus distance in millimetres
};

// Scale factors of the D1 fields.
inline constexpr double kFreedAngleScale = 32768.0;   // per degree
inline constexpr double kFreedPositionScale = 64.0;   // per millimetre
inline constexpr double kFreedZoomScale = 1000.0;     // micrometres per millimetre

// A raw 16-bit encoder count on the 24-bit scale: the count's bytes repeated in the low byte
// (0 -> 0, 0xFFFF -> 0xFFFFFF), so both ends of the range map to both ends.
std::uint32_t WidenEncoder(std::uint16_t count) noexcept;
// The inverse: the top 16 of the 24 bits.
std::uint16_t NarrowEncoder(std::uint32_t value) noexcept;

// The D1 packet of a Kor state. Angles and positions whose valid flag is clear, and lens
// values that are not available, are sent as 0: the packet has no way to leave them out. The
// values are the state's, so a field whose record the frame did not carry holds the last one
// received.
// Values beyond the 24-bit fields saturate.
FreedPacket FreedFromKor(const Protocol::TelemetryData& state, std::uint8_t cameraId,
                         FreedLens lens) noexcept;

// The Kor record and the list of record types for one D1 packet: PositionalData, AxesData,
// BasicLens (physical) or RawLensEncoderWithMask (raw, focus and zoom bits set) and
// TickCount, plus ProjectFps when projectFps is not 0. The caller sets the tick count.
struct KorFromFreed {
    Protocol::TelemetryData data;
    std::vector<Protocol::MessageType> types;
};
KorFromFreed KorFromFreedPacket(const FreedPacket& packet, FreedLens lens,
                                std::uint64_t tickCountMicroseconds, std::uint8_t projectFps);

// The float for a Kor field that travels as value x 100, multiplied in single precision and
// truncated toward zero, held to +-limit first: of the floats next to the nearest hundredth,
// one whose product truncates to that hundredth.
float KorHundredths(double value,
                    double limit = std::numeric_limits<double>::infinity()) noexcept;

}  // namespace Kor::Bridge
