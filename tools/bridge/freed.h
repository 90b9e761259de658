// FreeD "D1" packets: the 29-byte camera position and lens message, built and parsed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace Kor::Bridge {

inline constexpr std::size_t kFreedPacketSize = 29;
inline constexpr std::uint8_t kFreedD1 = 0xD1;

// The largest magnitudes a signed 24-bit field holds.
inline constexpr std::int32_t kInt24Max = 0x7FFFFF;
inline constexpr std::int32_t kInt24Min = -0x800000;
inline constexpr std::uint32_t kUint24Max = 0xFFFFFF;

// One D1 packet in its wire units: angles in 1/32768 degree, positions in 1/64 mm, zoom and
// focus as unsigned 24-bit lens values whose meaning depends on the set-up.
struct FreedPacket {
    std::uint8_t cameraId = 0;
    std::int32_t pan = 0;   // yaw
    std::int32_t tilt = 0;  // pitch
    std::int32_t roll = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    std::uint32_t zoom = 0;
    std::uint32_t focus = 0;
    std::uint16_t spare = 0;

    bool operator==(const FreedPacket&) const = default;
};

// Why a received datagram is not a D1 packet.
enum class FreedError {
    WrongLength,    // not 29 bytes
    NotD1,          // byte 0 is not 0xD1
    BadChecksum,    // byte 28 does not match the other 28
};

const char* FreedErrorText(FreedError error) noexcept;

// The checksum byte of the 28 bytes before it: (0x40 - their sum) mod 256.
std::uint8_t FreedChecksum(std::span<const std::uint8_t> first28) noexcept;

// The 29 wire bytes; the checksum is computed here. Fields beyond 24 bits must already be
// saturated (the converters do that); only their low 24 bits travel.
std::array<std::uint8_t, kFreedPacketSize> EncodeFreed(const FreedPacket& packet) noexcept;

// Parses one received datagram; never reads outside it.
struct FreedParse {
    std::optional<FreedPacket> packet;
    FreedError error = FreedError::WrongLength;  // meaningful when packet is empty
};
FreedParse ParseFreed(std::span<const std::uint8_t> datagram) noexcept;

// A physical value times its scale, rounded to the nearest step and held within the signed
// 24-bit range; NaN gives 0.
std::int32_t ToSigned24(double value, double scale) noexcept;
// The same for the unsigned 24-bit range (negative values give 0).
std::uint32_t ToUnsigned24(double value, double scale) noexcept;

}  // namespace Kor::Bridge
