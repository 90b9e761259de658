// Pieces shared by the fuzz targets: invariant checks, input reading, state comparison and the
// serial framing written independently of the library.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

namespace kor_fuzz {

using Bytes = std::vector<std::uint8_t>;

// Reports a broken invariant and aborts, so that libFuzzer (or the replay program) stops on
// the input that broke it and keeps that input as a finding.
inline void Require(bool condition, const char* what, const char* detail = "") {
    if (!condition) {
        std::fprintf(stderr, "fuzz invariant violated: %s%s%s\n", what, *detail != 0 ? ": " : "",
                     detail);
        std::fflush(stderr);
        std::abort();
    }
}

// Takes typed values from the front of a fuzz input. An exhausted input reads as zero bytes,
// so every input, however short, describes one complete set of values.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    std::uint8_t U8() noexcept { return pos_ < size_ ? data_[pos_++] : std::uint8_t{0}; }

    // Big-endian unsigned integer of sizeof(T) bytes.
    template <typename T>
    T Uint() noexcept {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            v = (v << 8) | U8();
        }
        return static_cast<T>(v);
    }

    // A float in [lo, hi] from a mode byte and four bytes. With bit 0 of the mode set, the four
    // bytes are the float's own bits, used as they are when finite and in range, so that exact
    // boundary values are reachable; otherwise they place the value on a uniform scale.
    float Float(float lo, float hi) noexcept {
        const std::uint8_t mode = U8();
        const auto bits = Uint<std::uint32_t>();
        const auto raw = std::bit_cast<float>(bits);
        if ((mode & 1U) != 0 && std::isfinite(raw) && raw >= lo && raw <= hi) {
            return raw;
        }
        const double t = static_cast<double>(bits) / 4294967295.0;
        const auto v = static_cast<float>(lo + (static_cast<double>(hi) - lo) * t);
        return std::clamp(v, lo, hi);
    }

    // Any float or double, infinities and NaNs included: the raw bits.
    float RawFloat() noexcept { return std::bit_cast<float>(Uint<std::uint32_t>()); }
    double RawDouble() noexcept { return std::bit_cast<double>(Uint<std::uint64_t>()); }

    // A length byte (taken modulo maxLength + 1), then that many bytes.
    std::string String(std::size_t maxLength) {
        std::string s(U8() % (maxLength + 1), '\0');
        for (char& c : s) {
            c = static_cast<char>(U8());
        }
        return s;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Equality, floats compared bit by bit.
template <typename T>
bool SameBits(const T& a, const T& b) {
    if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
    } else if constexpr (requires { a.begin(); }) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](const auto& x, const auto& y) { return SameBits(x, y); });
    } else {
        return a == b;
    }
}

// Every field of the state, for comparing two states field by field.
// clang-format off
#define KOR_FUZZ_STATE_FIELDS(X)                                                                \
    X(focusValid) X(zoomValid) X(irisValid) X(minFocalLengthValid) X(maxFocalLengthValid)       \
    X(minIrisValid) X(maxIrisValid) X(lensPropertiesExtraValid) X(positionXValid)               \
    X(positionYValid) X(positionZValid) X(rollValid) X(pitchValid) X(yawValid)                  \
    X(rawFocusEncoderValid) X(rawZoomEncoderValid) X(rawIrisEncoderValid)                       \
    X(productInfoComplete) X(lensInfoComplete) X(clipNameReceived) X(recordFlag)                \
    X(timecodeHours) X(timecodeMinutes) X(timecodeSeconds) X(timecodeFrames) X(focus) X(zoom)   \
    X(iris) X(ptpSeconds) X(ptpNanoseconds) X(productBrand) X(productName) X(productSerial)     \
    X(focalRangeFlags) X(minFocalLength) X(maxFocalLength) X(minIris) X(maxIris)                \
    X(lensPropertiesExtra) X(positionX) X(positionY) X(positionZ) X(roll) X(pitch) X(yaw)       \
    X(tickCount) X(tickCountType) X(lensManufacturer) X(lensName) X(lensSerial) X(projectFps)   \
    X(clipName) X(rawFocusEncoder) X(rawZoomEncoder) X(rawIrisEncoder) X(zeissZd.focusDistance) \
    X(zeissZd.aperture) X(zeissZd.horizontalFieldOfView) X(zeissZd.entrancePupilPosition)       \
    X(zeissZd.shading) X(zeissZd.radialDistortion) X(radioControl.radioValue)                   \
    X(radioControl.radioParamA) X(radioControl.radioParamB) X(radioControl.radioMode)           \
    X(radioControl.radioParamC) X(channelId) X(sensorWidth) X(sensorHeight) X(clipWidth)        \
    X(clipHeight) X(sensorName) X(rawAxesEncoders) X(subjectId)
// clang-format on

// Aborts, naming the first field that differs, unless the two states are identical.
inline void RequireSameState(const Kor::Protocol::TelemetryData& a,
                             const Kor::Protocol::TelemetryData& b, const char* what) {
#define KOR_FUZZ_COMPARE(field) Require(SameBits(a.field, b.field), what, #field);
    KOR_FUZZ_STATE_FIELDS(KOR_FUZZ_COMPARE)
#undef KOR_FUZZ_COMPARE
}

inline bool SameTimecode(const Kor::Protocol::TelemetryData& a,
                         const Kor::Protocol::TelemetryData& b) noexcept {
    return a.timecodeHours == b.timecodeHours && a.timecodeMinutes == b.timecodeMinutes &&
           a.timecodeSeconds == b.timecodeSeconds && a.timecodeFrames == b.timecodeFrames;
}

inline bool IsApplied(Kor::Protocol::FrameStatus s) noexcept {
    return s == Kor::Protocol::FrameStatus::NewTimecode ||
           s == Kor::Protocol::FrameStatus::SameTimecode;
}

// Complement of the 8-bit sum of the bytes.
inline std::uint8_t Checksum(const Bytes& bytes) noexcept {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<std::uint8_t>(~sum);
}

// The serial frame of `records`: 0x00, the records and their checksum stuffed so that they
// hold no zero (each zero becomes the distance to the next one), 0x00. At most 253 records
// bytes, so that no run needs splitting and the stuffing is the only one possible.
inline Bytes SerialFrame(Bytes raw) {
    raw.push_back(Checksum(raw));
    Bytes frame{0x00, 0x00};
    std::size_t codeAt = 1;
    for (std::uint8_t b : raw) {
        if (b == 0) {
            frame[codeAt] = static_cast<std::uint8_t>(frame.size() - codeAt);
            codeAt = frame.size();
        }
        frame.push_back(b);
    }
    frame[codeAt] = static_cast<std::uint8_t>(frame.size() - codeAt);
    frame.push_back(0x00);
    return frame;
}

}  // namespace kor_fuzz
