// Test helpers shared by the protocol tests: hex vectors, a state comparison and records set up
// as lists of field assignments.
// Everything here is written from the wire format alone and uses no library internals, so that
// expectations built with it stay independent of the code under test.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "message.h"

namespace kor_test {

using Bytes = std::vector<std::uint8_t>;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;

// "00 ff|0A" -> {0x00, 0xFF, 0x0A}: two hex digits per byte, separated by spaces or '|'.
inline Bytes Hex(std::string text) {
    std::replace(text.begin(), text.end(), '|', ' ');
    std::istringstream in(text);
    Bytes out;
    for (std::string byte; in >> byte;) {
        if (byte.size() != 2) throw std::invalid_argument("not a hex byte: " + byte);
        out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return out;
}

inline std::string ToHex(const Bytes& bytes) {
    std::string s;
    for (std::uint8_t b : bytes) s += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15], ' '};
    return s;
}

// Concatenation of byte pieces.
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Compares every member of two states (floats with ==, so neither may hold NaN) and names
// the ones that differ.
inline ::testing::AssertionResult SameState(const TelemetryData& a, const TelemetryData& b) {
    std::string diff;
    // clang-format off
#define KOR_COMPARE(f)                                                          \
    if (!(a.f == b.f))                                                          \
        diff += "\n  " #f ": " + ::testing::PrintToString(a.f) + " vs " +     \
                ::testing::PrintToString(b.f)
    KOR_COMPARE(focusValid); KOR_COMPARE(zoomValid); KOR_COMPARE(irisValid);
    KOR_COMPARE(minFocalLengthValid); KOR_COMPARE(maxFocalLengthValid); KOR_COMPARE(minIrisValid);
    KOR_COMPARE(maxIrisValid); KOR_COMPARE(lensPropertiesExtraValid); KOR_COMPARE(positionXValid);
    KOR_COMPARE(positionYValid); KOR_COMPARE(positionZValid); KOR_COMPARE(rollValid);
    KOR_COMPARE(pitchValid); KOR_COMPARE(yawValid); KOR_COMPARE(rawFocusEncoderValid);
    KOR_COMPARE(rawZoomEncoderValid); KOR_COMPARE(rawIrisEncoderValid);
    KOR_COMPARE(productInfoComplete); KOR_COMPARE(lensInfoComplete); KOR_COMPARE(clipNameReceived);
    KOR_COMPARE(recordFlag); KOR_COMPARE(timecodeHours); KOR_COMPARE(timecodeMinutes);
    KOR_COMPARE(timecodeSeconds); KOR_COMPARE(timecodeFrames); KOR_COMPARE(focus);
    KOR_COMPARE(zoom); KOR_COMPARE(iris); KOR_COMPARE(ptpSeconds); KOR_COMPARE(ptpNanoseconds);
    KOR_COMPARE(productBrand); KOR_COMPARE(productName); KOR_COMPARE(productSerial);
    KOR_COMPARE(focalRangeFlags); KOR_COMPARE(minFocalLength); KOR_COMPARE(maxFocalLength);
    KOR_COMPARE(minIris); KOR_COMPARE(maxIris); KOR_COMPARE(lensPropertiesExtra);
    KOR_COMPARE(positionX); KOR_COMPARE(positionY); KOR_COMPARE(positionZ); KOR_COMPARE(roll);
    KOR_COMPARE(pitch); KOR_COMPARE(yaw); KOR_COMPARE(tickCount); KOR_COMPARE(tickCountType);
    KOR_COMPARE(lensManufacturer); KOR_COMPARE(lensName); KOR_COMPARE(lensSerial);
    KOR_COMPARE(projectFps); KOR_COMPARE(clipName); KOR_COMPARE(rawFocusEncoder);
    KOR_COMPARE(rawZoomEncoder); KOR_COMPARE(rawIrisEncoder); KOR_COMPARE(zeissZd.focusDistance);
    KOR_COMPARE(zeissZd.aperture); KOR_COMPARE(zeissZd.horizontalFieldOfView);
    KOR_COMPARE(zeissZd.entrancePupilPosition); KOR_COMPARE(zeissZd.shading);
    KOR_COMPARE(zeissZd.radialDistortion); KOR_COMPARE(radioControl.radioValue);
    KOR_COMPARE(radioControl.radioParamA); KOR_COMPARE(radioControl.radioParamB);
    KOR_COMPARE(radioControl.radioMode); KOR_COMPARE(radioControl.radioParamC);
    KOR_COMPARE(channelId); KOR_COMPARE(sensorWidth); KOR_COMPARE(sensorHeight);
    KOR_COMPARE(clipWidth); KOR_COMPARE(clipHeight); KOR_COMPARE(sensorName);
    KOR_COMPARE(rawAxesEncoders); KOR_COMPARE(subjectId);
#undef KOR_COMPARE
    // clang-format on
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the states differ in" << diff;
}

// A record setup as a list of field assignments, e.g. {Set(&TD::zoom, 35.0F)}.
using TD = TelemetryData;
using Edit = std::function<void(TD&)>;
using Edits = std::vector<Edit>;

template <typename T, typename V>
Edit Set(T TD::*field, V value) {
    return [field, value](TD& d) { d.*field = static_cast<T>(value); };
}
template <typename B, typename T, typename V>
Edit Set(B TD::*block, T B::*field, V value) {
    return [block, field, value](TD& d) { d.*block.*field = static_cast<T>(value); };
}
inline TD Make(const Edits& edits) {
    TD d;
    for (const Edit& e : edits) e(d);
    return d;
}

inline const Bytes kUdpHeader = Hex("00 FF 00 00 00 00 00 00");

// Transmission type value 2: Encode returns the records alone.
inline constexpr auto kRecordsOnly = static_cast<TransmissionType>(2);

// Shown by gtest when a byte comparison fails.
#define EXPECT_BYTES(actual, expected) \
    EXPECT_EQ(::kor_test::ToHex(actual), ::kor_test::ToHex(expected))

// Decodes one payload (at most 65 bytes) with a fresh message of `type`.
inline bool DecodePayload(std::uint8_t type, const Bytes& payload, TelemetryData& state) {
    const auto m = Kor::Protocol::CreateMessage(static_cast<MessageType>(type));
    m->payload = payload;
    return m->Decode(state);
}

}  // namespace kor_test
