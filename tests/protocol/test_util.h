// Test helpers shared by the protocol tests: hex vectors, a state comparison, a record splitter
// and an unstuffer.
// Everything here is written from the wire format alone and uses no library internals, so that
// expectations built with it stay independent of the code under test.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <kor/telemetry.h>

#include "message.h"

namespace kor_test {

using Bytes = std::vector<std::uint8_t>;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;

// "00 ff|0A" -> {0x00, 0xFF, 0x0A}. Spaces and '|' separate nothing but readability.
inline Bytes Hex(std::string_view text) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '|') continue;
        const int v = nibble(c);
        if (v < 0) throw std::invalid_argument("bad hex character");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits");
    return out;
}

inline std::string ToHex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 0x0F];
    }
    return s;
}

// Concatenation of byte pieces.
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes FromString(std::string_view s) {
    return Bytes(s.begin(), s.end());
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

// The string record types and the field each one carries.
struct StringField {
    MessageType type;
    std::string TD::*field;
};
inline const StringField kStringFields[] = {
    {MessageType::ProductBrand, &TD::productBrand},
    {MessageType::ProductName, &TD::productName},
    {MessageType::ProductSerial, &TD::productSerial},
    {MessageType::LensManufacturer, &TD::lensManufacturer},
    {MessageType::LensName, &TD::lensName},
    {MessageType::LensSerial, &TD::lensSerial},
    {MessageType::ClipName, &TD::clipName},
};

inline const Bytes kUdpHeader = Hex("00 FF 00 00 00 00 00 00");

// Transmission type value 2: Encode returns the records alone.
inline constexpr auto kRecordsOnly = static_cast<TransmissionType>(2);

// Shown by gtest when a byte comparison fails.
#define EXPECT_BYTES(actual, expected) \
    EXPECT_EQ(::kor_test::ToHex(actual), ::kor_test::ToHex(expected))

struct RawRecord {
    std::uint8_t type;
    Bytes payload;
};

// Splits a run of records (type byte, length byte = payload length - 1, payload). Returns
// nothing when the run does not consist of whole records exactly.
inline std::optional<std::vector<RawRecord>> SplitRecords(const Bytes& body,
                                                          std::size_t begin = 0) {
    std::vector<RawRecord> records;
    std::size_t i = begin;
    while (i < body.size()) {
        if (i + 2 > body.size()) return std::nullopt;
        const std::size_t n = std::size_t{body[i + 1]} + 1;
        if (i + 2 + n > body.size()) return std::nullopt;
        records.push_back({body[i], Bytes(body.begin() + static_cast<std::ptrdiff_t>(i + 2),
                                          body.begin() + static_cast<std::ptrdiff_t>(i + 2 + n))});
        i += 2 + n;
    }
    return records;
}

// Decodes one payload (at most 65 bytes) with a fresh message of `type`.
inline bool DecodePayload(std::uint8_t type, const Bytes& payload, TelemetryData& state) {
    const auto m = Kor::Protocol::CreateMessage(static_cast<MessageType>(type));
    m->payload = payload;
    return m->Decode(state);
}

// Decodes every record into `state` in order, the way the receiver does (types above 27
// and rejected payloads make it fail). Returns the number of records, or -1 on rejection.
inline int DecodeRecords(const std::vector<RawRecord>& records, TelemetryData& state) {
    for (const RawRecord& r : records) {
        if (r.type > 27 || r.payload.size() > 65 || !DecodePayload(r.type, r.payload, state)) {
            return -1;
        }
    }
    return static_cast<int>(records.size());
}

// The records of a UDP frame, checked against the receiver's frame rules:
// 11 to 261 bytes, header 00 FF 00 00 00 00 00 00, whole records.
inline std::optional<std::vector<RawRecord>> UdpRecords(const Bytes& frame) {
    if (frame.size() < 11 || frame.size() > 261) return std::nullopt;
    if (!std::equal(kUdpHeader.begin(), kUdpHeader.end(), frame.begin())) return std::nullopt;
    return SplitRecords(frame, kUdpHeader.size());
}

// Checks and decodes a UDP frame into `state`: the number of records, -1 when a record is
// rejected, -2 when the frame itself would be.
inline int DecodeUdpFrame(const Bytes& frame, TelemetryData& state) {
    const auto records = UdpRecords(frame);
    return records ? DecodeRecords(*records, state) : -2;
}

// Undoes the Serial framing and returns raw = records + checksum, or nothing
// when the frame is not 00, stuffed bytes without zeros (at most 256), 00, or when the
// code bytes do not end exactly at the end of the stuffed data.
inline std::optional<Bytes> Unstuff(const Bytes& frame) {
    if (frame.size() < 3 || frame.front() != 0 || frame.back() != 0) return std::nullopt;
    const Bytes stuffed(frame.begin() + 1, frame.end() - 1);
    if (stuffed.size() > 256) return std::nullopt;
    for (std::uint8_t b : stuffed) {
        if (b == 0) return std::nullopt;
    }
    Bytes raw;
    std::size_t code = 0;  // index of the current code byte
    while (true) {
        const std::size_t next = code + stuffed[code];
        if (next > stuffed.size()) return std::nullopt;
        raw.insert(raw.end(), stuffed.begin() + static_cast<std::ptrdiff_t>(code + 1),
                   stuffed.begin() + static_cast<std::ptrdiff_t>(next));
        if (next == stuffed.size()) break;
        raw.push_back(0);
        code = next;
    }
    return raw;
}

// Complement of the 8-bit sum: the Serial checksum.
inline std::uint8_t SerialChecksum(const Bytes& bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(~sum & 0xFFU);
}

}  // namespace kor_test
