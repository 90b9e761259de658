// Record builders: one complete record (type byte, length byte, payload) per message type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <kor/telemetry.h>

#include "message.h"

namespace Kor::Protocol::detail {

// The longest SensorSize name that the receiver accepts (8 + 56 = 64 payload bytes).
inline constexpr std::size_t kMaxSensorName = 56;

// One record in a fixed buffer. Builders fill it without touching the heap, so that
// Encode allocates nothing but its result. An empty record (size 0) means "nothing to
// send" and is skipped by Encode.
class Record {
public:
    Record() = default;
    explicit Record(MessageType type) noexcept { Begin(type); }

    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    void U8(std::uint64_t v) noexcept { Put(v, 1); }
    void U16(std::uint64_t v) noexcept { Put(v, 2); }
    void U24(std::uint64_t v) noexcept { Put(v, 3); }
    void U32(std::uint64_t v) noexcept { Put(v, 4); }
    void U40(std::uint64_t v) noexcept { Put(v, 5); }
    void U48(std::uint64_t v) noexcept { Put(v, 6); }
    // Appends at most `limit` bytes of `s` (never more than the buffer holds).
    void Bytes(std::string_view s, std::size_t limit) noexcept;

    // Writes the length byte (payload length - 1, modulo 256); a record with no payload
    // is cleared instead, since an empty payload cannot be expressed on the wire.
    Record& Finish() noexcept;

private:
    void Begin(MessageType type) noexcept;
    // Big-endian, the low `n` bytes of v.
    void Put(std::uint64_t v, std::size_t n) noexcept;

    std::array<std::uint8_t, 2 + kMaxPayload> bytes_{};
    std::size_t size_ = 0;
};

Record BuildTimecode(std::uint8_t hours, std::uint8_t minutes, std::uint8_t seconds,
                     std::uint8_t frames, bool recordFlag) noexcept;
Record BuildBasicLens(std::uint32_t focus, float zoom, float iris) noexcept;
Record BuildPtpTimestamp(std::uint64_t seconds, std::uint32_t nanoseconds) noexcept;
// ProductBrand, ProductName, ProductSerial, LensManufacturer, LensName, LensSerial,
// ClipName: the string cut to 65 bytes; an empty string gives an empty record.
Record BuildString(MessageType type, std::string_view text) noexcept;
Record BuildLensProperties(float minFocalLength, float maxFocalLength, float minIris,
                           float maxIris, std::uint8_t extra) noexcept;
Record BuildPositionalData(float x, float y, float z) noexcept;
Record BuildAxesData(float roll, float pitch, float yaw) noexcept;
Record BuildTickCount(std::uint64_t count, std::uint8_t countType) noexcept;
// A value above 5 gives an empty record: the receiver would reject the frame.
Record BuildProjectFps(std::uint8_t projectFps) noexcept;
Record BuildRawLensEncoderWithMask(bool focusValid, bool zoomValid, bool irisValid,
                                   std::uint16_t focus, std::uint16_t zoom,
                                   std::uint16_t iris) noexcept;
Record BuildZeissZdData(const TelemetryData::ZeissZdValues& values) noexcept;
Record BuildRadioControl(const TelemetryData::RadioControlValues& values) noexcept;
Record BuildChannelId(std::uint8_t channelId) noexcept;
Record BuildSensorSize(float width, float height, std::uint16_t clipWidth,
                       std::uint16_t clipHeight, std::string_view name) noexcept;
Record BuildRawAxesEncoderWithMask(const std::array<std::uint32_t, 3>& values) noexcept;
Record BuildSubjectId(std::uint32_t subjectId) noexcept;

// The record of `type` built from `data`; empty for types without a builder.
Record BuildRecord(const TelemetryData& data, MessageType type) noexcept;

}  // namespace Kor::Protocol::detail
