// FreeD D1 packets: big-endian 24-bit fields and the 0x40-based checksum.
#include "freed.h"

#include <cmath>

namespace Kor::Bridge {

namespace {

void PutUint24(std::uint8_t* out, std::uint32_t value) noexcept {
    out[0] = static_cast<std::uint8_t>(value >> 16);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value);
}

std::uint32_t GetUint24(const std::uint8_t* in) noexcept {
    return (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
}

// Sign-extends a 24-bit two's-complement value.
std::int32_t GetInt24(const std::uint8_t* in) noexcept {
    const std::uint32_t raw = GetUint24(in);
    return (raw & 0x800000U) != 0 ? static_cast<std::int32_t>(raw) - 0x1000000
                                  : static_cast<std::int32_t>(raw);
}

}  // namespace

const char* FreedErrorText(FreedError error) noexcept {
    switch (error) {
        case FreedError::WrongLength: return "wrong length (not 29 bytes)";
        case FreedError::NotD1: return "not a D1 packet";
        case FreedError::BadChecksum: return "checksum mismatch";
    }
    return "unknown";
}

std::uint8_t FreedChecksum(std::span<const std::uint8_t> first28) noexcept {
    unsigned sum = 0;
    for (const std::uint8_t byte : first28) {
        sum += byte;
    }
    return static_cast<std::uint8_t>(0x40U - sum);
}

std::array<std::uint8_t, kFreedPacketSize> EncodeFreed(const FreedPacket& p) noexcept {
    std::array<std::uint8_t, kFreedPacketSize> out{};
    out[0] = kFreedD1;
    out[1] = p.cameraId;
    const std::int32_t signedFields[] = {p.pan, p.tilt, p.roll, p.x, p.y, p.z};
    std::size_t at = 2;
    for (const std::int32_t value : signedFields) {
        PutUint24(&out[at], static_cast<std::uint32_t>(value) & kUint24Max);
        at += 3;
    }
    PutUint24(&out[at], p.zoom & kUint24Max);
    PutUint24(&out[at + 3], p.focus & kUint24Max);
    out[26] = static_cast<std::uint8_t>(p.spare >> 8);
    out[27] = static_cast<std::uint8_t>(p.spare);
    out[28] = FreedChecksum(std::span<const std::uint8_t>(out.data(), 28));
    return out;
}

FreedParse ParseFreed(std::span<const std::uint8_t> d) noexcept {
    FreedParse result;
    if (d.size() != kFreedPacketSize) {
        result.error = FreedError::WrongLength;
        return result;
    }
    if (d[0] != kFreedD1) {
        result.error = FreedError::NotD1;
        return result;
    }
    if (FreedChecksum(d.first(28)) != d[28]) {
        result.error = FreedError::BadChecksum;
        return result;
    }
    FreedPacket p;
    p.cameraId = d[1];
    p.pan = GetInt24(&d[2]);
    p.tilt = GetInt24(&d[5]);
    p.roll = GetInt24(&d[8]);
    p.x = GetInt24(&d[11]);
    p.y = GetInt24(&d[14]);
    p.z = GetInt24(&d[17]);
    p.zoom = GetUint24(&d[20]);
    p.focus = GetUint24(&d[23]);
    p.spare = static_cast<std::uint16_t>((d[26] << 8) | d[27]);
    result.packet = p;
    return result;
}

std::int32_t ToSigned24(double value, double scale) noexcept {
    const double scaled = std::round(value * scale);
    if (std::isnan(scaled)) {
        return 0;
    }
    if (scaled >= kInt24Max) {
        return kInt24Max;
    }
    if (scaled <= kInt24Min) {
        return kInt24Min;
    }
    return static_cast<std::int32_t>(scaled);
}

std::uint32_t ToUnsigned24(double value, double scale) noexcept {
    const double scaled = std::round(value * scale);
    if (std::isnan(scaled) || scaled <= 0) {
        return 0;
    }
    if (scaled >= kUint24Max) {
        return kUint24Max;
    }
    return static_cast<std::uint32_t>(scaled);
}

}  // namespace Kor::Bridge
