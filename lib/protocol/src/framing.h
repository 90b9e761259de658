// Frame-level byte operations: UDP header, checksum and byte stuffing. They treat the
// records as opaque bytes and know nothing of their contents.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Kor::Protocol::detail {

inline constexpr std::array<std::uint8_t, 8> kUdpHeader{0x00, 0xFF, 0x00, 0x00,
                                                        0x00, 0x00, 0x00, 0x00};
// Longest run of records in a frame: 253 bytes (UDP frames are then at most 261 bytes;
// a Serial frame's raw data, records plus checksum, at most 254, which byte stuffing
// with 8-bit code bytes can express and the receiver collects in full).
inline constexpr std::size_t kMaxRecordBytes = 253;
inline constexpr std::size_t kMaxUdpFrame = kUdpHeader.size() + kMaxRecordBytes;
inline constexpr std::size_t kMinUdpFrame = kUdpHeader.size() + 3;
// Delimiter, code byte, records, checksum, delimiter.
inline constexpr std::size_t kMaxSerialFrame = 1 + 1 + kMaxRecordBytes + 1 + 1;

// Complement of the 8-bit sum of bytes [first, last).
std::uint8_t Checksum(const std::uint8_t* first, const std::uint8_t* last) noexcept;

// Stuffs data[1, size) in place with Consistent Overhead Byte Stuffing and writes the
// leading code byte to data[0], whose old value is ignored. Each zero becomes the
// distance to the next code byte; the last code byte gives the distance to the end.
// `size` must not exceed 255 (254 bytes after the code byte), so every distance fits.
void StuffInPlace(std::uint8_t* data, std::size_t size) noexcept;

}  // namespace Kor::Protocol::detail
