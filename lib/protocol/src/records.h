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

// The longest record: type byte, length byte and the longest payload.
inline constexpr std::size_t kMaxRecord = 2 + kMaxPayload;

// Writes one record (type byte, length byte, big-endian payload fields) straight into
// the frame being built, so that Encode touches the heap only for its result.
class RecordWriter {
public:
    // `out` must have room for kMaxRecord bytes.
    RecordWriter(std::uint8_t* out, MessageType type) noexcept : out_(out), size_(2) {
        out_[0] = static_cast<std::uint8_t>(type);
        out_[1] = 0;
    }

    void U8(std::uint64_t v) noexcept { Put<1>(v); }
    void U16(std::uint64_t v) noexcept { Put<2>(v); }
    void U24(std::uint64_t v) noexcept { Put<3>(v); }
    void U32(std::uint64_t v) noexcept { Put<4>(v); }
    void U40(std::uint64_t v) noexcept { Put<5>(v); }
    void U48(std::uint64_t v) noexcept { Put<6>(v); }
    // Appends at most `limit` bytes of `s` (never more than the record can hold).
    void Bytes(std::string_view s, std::size_t limit) noexcept;

    // Writes the length byte (payload length - 1) and returns the record's size. A record
    // without payload gives 0 instead: an empty payload cannot be expressed on the wire.
    std::size_t Finish() noexcept {
        if (size_ <= 2) {
            return 0;
        }
        out_[1] = static_cast<std::uint8_t>(size_ - 3);
        return size_;
    }

private:
    // Big-endian, the low N bytes of v; never writes past kMaxRecord.
    template <std::size_t N>
    void Put(std::uint64_t v) noexcept {
        if (size_ + N > kMaxRecord) {
            return;
        }
        for (std::size_t i = 0; i < N; ++i) {
            out_[size_ + i] = static_cast<std::uint8_t>(v >> (8 * (N - 1 - i)));
        }
        size_ += N;
    }

    std::uint8_t* out_;
    std::size_t size_;
};

// One builder per message type. Each writes its complete record to `out` (room for
// kMaxRecord bytes) and returns the record's size; 0 means there is nothing to send.
std::size_t BuildTimecode(std::uint8_t* out, std::uint8_t hours, std::uint8_t minutes, std::uint8_t seconds,
                     std::uint8_t frames, bool recordFlag) noexcept;
std::size_t BuildBasicLens(std::uint8_t* out, std::uint32_t focus, float zoom, float iris) noexcept;
std::size_t BuildPtpTimestamp(std::uint8_t* out, std::uint64_t seconds, std::uint32_t nanoseconds) noexcept;
// ProductBrand, ProductName, ProductSerial, LensManufacturer, LensName, LensSerial,
// ClipName: the string cut to 65 bytes; an empty string gives nothing.
std::size_t BuildString(std::uint8_t* out, MessageType type, std::string_view text) noexcept;
std::size_t BuildLensProperties(std::uint8_t* out, float minFocalLength, float maxFocalLength, float minIris,
                           float maxIris, std::uint8_t extra) noexcept;
std::size_t BuildPositionalData(std::uint8_t* out, float x, float y, float z) noexcept;
std::size_t BuildAxesData(std::uint8_t* out, float roll, float pitch, float yaw) noexcept;
std::size_t BuildTickCount(std::uint8_t* out, std::uint64_t count, std::uint8_t countType) noexcept;
// A value above 5 gives nothing: the receiver would reject the whole frame.
std::size_t BuildProjectFps(std::uint8_t* out, std::uint8_t projectFps) noexcept;
std::size_t BuildRawLensEncoderWithMask(std::uint8_t* out, bool focusValid, bool zoomValid, bool irisValid,
                                   std::uint16_t focus, std::uint16_t zoom,
                                   std::uint16_t iris) noexcept;
std::size_t BuildZeissZdData(std::uint8_t* out, const TelemetryData::ZeissZdValues& values) noexcept;
std::size_t BuildRadioControl(std::uint8_t* out, const TelemetryData::RadioControlValues& values) noexcept;
std::size_t BuildChannelId(std::uint8_t* out, std::uint8_t channelId) noexcept;
std::size_t BuildSensorSize(std::uint8_t* out, float width, float height, std::uint16_t clipWidth,
                       std::uint16_t clipHeight, std::string_view name) noexcept;
std::size_t BuildRawAxesEncoderWithMask(std::uint8_t* out, const std::array<std::uint32_t, 3>& values) noexcept;
std::size_t BuildSubjectId(std::uint8_t* out, std::uint32_t subjectId) noexcept;

// Writes the record of `type` built from `data` to `out`; 0 for types without a builder.
std::size_t BuildRecord(std::uint8_t* out, const TelemetryData& data, MessageType type) noexcept;

}  // namespace Kor::Protocol::detail
