// Pieces shared by the fuzz targets: invariant checks, input reading and state comparison.
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
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

namespace kor_fuzz {

using Bytes = std::vector<std::uint8_t>;

// Reports a broken invariant and aborts, so that libFuzzer (or the replay program) stops on
// the input that broke it and keeps that input as a finding.
[[noreturn]] inline void Fail(const char* what, const char* detail = "") {
    std::fprintf(stderr, "fuzz invariant violated: %s%s%s\n", what, *detail != 0 ? ": " : "",
                 detail);
    std::fflush(stderr);
    std::abort();
}

inline void Require(bool condition, const char* what, const char* detail = "") {
    if (!condition) {
        Fail(what, detail);
    }
}

// Takes typed values from the front of a fuzz input. An exhausted input reads as zero bytes,
// so every input, however short, describes one complete set of values.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    std::size_t Remaining() const noexcept { return size_ - pos_; }

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
        const double low = lo;
        const auto v = static_cast<float>(low + (static_cast<double>(hi) - low) * t);
        return std::clamp(v, lo, hi);
    }

    // Any float or double, infinities and NaNs included: the raw bits.
    float RawFloat() noexcept { return std::bit_cast<float>(Uint<std::uint32_t>()); }
    double RawDouble() noexcept { return std::bit_cast<double>(Uint<std::uint64_t>()); }

    // A length byte (taken modulo maxLength + 1), then that many bytes.
    std::string String(std::size_t maxLength) {
        const std::size_t n = U8() % (maxLength + 1);
        std::string s;
        for (std::size_t i = 0; i < n; ++i) {
            s.push_back(static_cast<char>(U8()));
        }
        return s;
    }

    // Every byte not read yet.
    Bytes Rest() {
        Bytes rest(data_ + pos_, data_ + size_);
        pos_ = size_;
        return rest;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The inverse of ByteReader, for writing seed inputs.
class ByteWriter {
public:
    void U8(std::uint8_t v) { bytes_.push_back(v); }

    template <typename T>
    void Uint(T v) {
        for (std::size_t i = sizeof(T); i-- > 0;) {
            bytes_.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
        }
    }

    // Written with the "own bits" mode, so the reader gets exactly `v` back when in range.
    void Float(float v) {
        U8(1);
        Uint(std::bit_cast<std::uint32_t>(v));
    }

    void RawFloat(float v) { Uint(std::bit_cast<std::uint32_t>(v)); }
    void RawDouble(double v) { Uint(std::bit_cast<std::uint64_t>(v)); }

    // `s` must not be longer than the reader's maxLength.
    void String(const std::string& s) {
        U8(static_cast<std::uint8_t>(s.size()));
        bytes_.insert(bytes_.end(), s.begin(), s.end());
    }

    const Bytes& bytes() const noexcept { return bytes_; }

private:
    Bytes bytes_;
};

namespace detail {

inline bool SameValue(float a, float b) noexcept {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

template <typename T>
bool SameValue(const T& a, const T& b) {
    return a == b;
}

template <std::size_t N>
bool SameValue(const std::array<float, N>& a, const std::array<float, N>& b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(),
                      [](float x, float y) { return SameValue(x, y); });
}

}  // namespace detail

// The name of the first field in which the two records differ (floats compared bit by bit),
// or nullptr when they are identical.
inline const char* FirstDifference(const Kor::Protocol::TelemetryData& a,
                                   const Kor::Protocol::TelemetryData& b) {
#define KOR_FUZZ_FIELD(field)                   \
    if (!detail::SameValue(a.field, b.field)) { \
        return #field;                          \
    }
    KOR_FUZZ_FIELD(focusValid)
    KOR_FUZZ_FIELD(zoomValid)
    KOR_FUZZ_FIELD(irisValid)
    KOR_FUZZ_FIELD(minFocalLengthValid)
    KOR_FUZZ_FIELD(maxFocalLengthValid)
    KOR_FUZZ_FIELD(minIrisValid)
    KOR_FUZZ_FIELD(maxIrisValid)
    KOR_FUZZ_FIELD(lensPropertiesExtraValid)
    KOR_FUZZ_FIELD(positionXValid)
    KOR_FUZZ_FIELD(positionYValid)
    KOR_FUZZ_FIELD(positionZValid)
    KOR_FUZZ_FIELD(rollValid)
    KOR_FUZZ_FIELD(pitchValid)
    KOR_FUZZ_FIELD(yawValid)
    KOR_FUZZ_FIELD(rawFocusEncoderValid)
    KOR_FUZZ_FIELD(rawZoomEncoderValid)
    KOR_FUZZ_FIELD(rawIrisEncoderValid)
    KOR_FUZZ_FIELD(productInfoComplete)
    KOR_FUZZ_FIELD(lensInfoComplete)
    KOR_FUZZ_FIELD(clipNameReceived)
    KOR_FUZZ_FIELD(recordFlag)
    KOR_FUZZ_FIELD(timecodeHours)
    KOR_FUZZ_FIELD(timecodeMinutes)
    KOR_FUZZ_FIELD(timecodeSeconds)
    KOR_FUZZ_FIELD(timecodeFrames)
    KOR_FUZZ_FIELD(focus)
    KOR_FUZZ_FIELD(zoom)
    KOR_FUZZ_FIELD(iris)
    KOR_FUZZ_FIELD(ptpSeconds)
    KOR_FUZZ_FIELD(ptpNanoseconds)
    KOR_FUZZ_FIELD(productBrand)
    KOR_FUZZ_FIELD(productName)
    KOR_FUZZ_FIELD(productSerial)
    KOR_FUZZ_FIELD(focalRangeFlags)
    KOR_FUZZ_FIELD(minFocalLength)
    KOR_FUZZ_FIELD(maxFocalLength)
    KOR_FUZZ_FIELD(minIris)
    KOR_FUZZ_FIELD(maxIris)
    KOR_FUZZ_FIELD(lensPropertiesExtra)
    KOR_FUZZ_FIELD(positionX)
    KOR_FUZZ_FIELD(positionY)
    KOR_FUZZ_FIELD(positionZ)
    KOR_FUZZ_FIELD(roll)
    KOR_FUZZ_FIELD(pitch)
    KOR_FUZZ_FIELD(yaw)
    KOR_FUZZ_FIELD(tickCount)
    KOR_FUZZ_FIELD(tickCountType)
    KOR_FUZZ_FIELD(lensManufacturer)
    KOR_FUZZ_FIELD(lensName)
    KOR_FUZZ_FIELD(lensSerial)
    KOR_FUZZ_FIELD(projectFps)
    KOR_FUZZ_FIELD(clipName)
    KOR_FUZZ_FIELD(rawFocusEncoder)
    KOR_FUZZ_FIELD(rawZoomEncoder)
    KOR_FUZZ_FIELD(rawIrisEncoder)
    KOR_FUZZ_FIELD(zeissZd.focusDistance)
    KOR_FUZZ_FIELD(zeissZd.aperture)
    KOR_FUZZ_FIELD(zeissZd.horizontalFieldOfView)
    KOR_FUZZ_FIELD(zeissZd.entrancePupilPosition)
    KOR_FUZZ_FIELD(zeissZd.shading)
    KOR_FUZZ_FIELD(zeissZd.radialDistortion)
    KOR_FUZZ_FIELD(radioControl.radioValue)
    KOR_FUZZ_FIELD(radioControl.radioParamA)
    KOR_FUZZ_FIELD(radioControl.radioParamB)
    KOR_FUZZ_FIELD(radioControl.radioMode)
    KOR_FUZZ_FIELD(radioControl.radioParamC)
    KOR_FUZZ_FIELD(channelId)
    KOR_FUZZ_FIELD(sensorWidth)
    KOR_FUZZ_FIELD(sensorHeight)
    KOR_FUZZ_FIELD(clipWidth)
    KOR_FUZZ_FIELD(clipHeight)
    KOR_FUZZ_FIELD(sensorName)
    KOR_FUZZ_FIELD(rawAxesEncoders)
    KOR_FUZZ_FIELD(subjectId)
#undef KOR_FUZZ_FIELD
    return nullptr;
}

// Aborts, naming the field, unless the two records are identical.
inline void RequireSameState(const Kor::Protocol::TelemetryData& a,
                             const Kor::Protocol::TelemetryData& b, const char* what) {
    if (const char* field = FirstDifference(a, b)) {
        Fail(what, field);
    }
}

inline bool SameTimecode(const Kor::Protocol::TelemetryData& a,
                         const Kor::Protocol::TelemetryData& b) noexcept {
    return a.timecodeHours == b.timecodeHours && a.timecodeMinutes == b.timecodeMinutes &&
           a.timecodeSeconds == b.timecodeSeconds && a.timecodeFrames == b.timecodeFrames;
}

// Status checks that hold for every call of Device::Update.
inline bool IsValidStatus(Kor::Protocol::FrameStatus s) noexcept {
    const auto v = static_cast<int>(s);
    return v >= static_cast<int>(Kor::Protocol::FrameStatus::NewTimecode) &&
           v <= static_cast<int>(Kor::Protocol::FrameStatus::HeaderError);
}

inline bool IsApplied(Kor::Protocol::FrameStatus s) noexcept {
    return s == Kor::Protocol::FrameStatus::NewTimecode ||
           s == Kor::Protocol::FrameStatus::SameTimecode;
}

// Byte stuffing of a serial frame, written independently of the library: 0x00, the raw bytes
// stuffed so that they hold no zero (each zero becomes the distance to the next one), 0x00.
// `raw` must not exceed 254 bytes.
inline Bytes StuffFrame(const Bytes& raw) {
    Bytes frame{0x00, 0x00};
    std::size_t codeAt = 1;
    for (std::uint8_t b : raw) {
        if (b == 0) {
            frame[codeAt] = static_cast<std::uint8_t>(frame.size() - codeAt);
            codeAt = frame.size();
            frame.push_back(0x00);
        } else {
            frame.push_back(b);
        }
    }
    frame[codeAt] = static_cast<std::uint8_t>(frame.size() - codeAt);
    frame.push_back(0x00);
    return frame;
}

// Complement of the 8-bit sum of the bytes.
inline std::uint8_t Checksum(const Bytes& bytes) noexcept {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<std::uint8_t>(~sum);
}

}  // namespace kor_fuzz
