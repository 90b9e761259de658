// The message classes' Decode overrides: how the receiver checks and applies payloads.
#include <cstddef>
#include <string>

#include "message.h"
#include "zeiss_aperture.h"

namespace Kor::Protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Big-endian unsigned integer of n bytes at `offset`; callers have checked the length.
std::uint64_t Be(const Bytes& p, std::size_t offset, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v = (v << 8) | p[offset + i];
    }
    return v;
}

// Fixed-point integer back to its float: value / scale, rounded once.
float Unscale(double value, double scale) noexcept {
    return static_cast<float>(value / scale);
}

// Low nibble plus ten times the high nibble (`highMask` limits the high part's bits).
std::uint8_t FromBcd(std::uint8_t b, unsigned highMask = 0x0F) noexcept {
    return static_cast<std::uint8_t>((b & 0x0F) + 10 * ((b >> 4) & highMask));
}

bool DecodeString(const Bytes& payload, std::string& target) {
    if (payload.empty()) {
        return false;
    }
    target.assign(payload.begin(), payload.end());
    return true;
}

void UpdateProductInfo(TelemetryData& s) noexcept {
    s.productInfoComplete =
        !s.productBrand.empty() && !s.productName.empty() && !s.productSerial.empty();
}

void UpdateLensInfo(TelemetryData& s) noexcept {
    s.lensInfoComplete =
        !s.lensManufacturer.empty() && !s.lensName.empty() && !s.lensSerial.empty();
}

// Stores a fixed-point value unless it is zero (zero means "not available").
void StoreIfSet(std::uint64_t raw, double scale, bool& valid, float& target) noexcept {
    valid = raw != 0;
    if (valid) {
        target = Unscale(static_cast<double>(raw), scale);
    }
}

// Stores a signed fixed-point value unless it is the "not available" code.
template <typename Signed, typename Unsigned>
void StoreUnlessNa(Unsigned raw, Unsigned naCode, bool& valid, float& target) noexcept {
    valid = raw != naCode;
    if (valid) {
        target = Unscale(static_cast<double>(static_cast<Signed>(raw)), 100.0);
    }
}

}  // namespace

bool Message::Decode(TelemetryData& /*state*/) {
    return false;
}

bool Message::AppendByte(std::uint8_t b) {
    if (payload.size() >= kMaxPayload) {
        return false;
    }
    payload.push_back(b);
    return true;
}

bool TimecodeMessage::Decode(TelemetryData& s) {
    if (payload.size() != 4) {
        return false;
    }
    s.timecodeHours = FromBcd(payload[0]);
    s.timecodeMinutes = FromBcd(payload[1]);
    s.timecodeSeconds = FromBcd(payload[2]);
    s.timecodeFrames = FromBcd(payload[3], 0x07);
    s.recordFlag = (payload[3] & 0x80) != 0;
    return true;
}

bool BasicLensMessage::Decode(TelemetryData& s) {
    if (payload.size() != 8) {
        return false;
    }
    const auto focus = static_cast<std::uint32_t>(Be(payload, 0, 3));
    s.focusValid = focus != 0;
    if (s.focusValid) {
        s.focus = focus;
    }
    StoreIfSet(Be(payload, 3, 3), 100.0, s.zoomValid, s.zoom);
    StoreIfSet(Be(payload, 6, 2), 100.0, s.irisValid, s.iris);
    return true;
}

bool PtpTimestampMessage::Decode(TelemetryData& s) {
    if (payload.size() != 10) {
        return false;
    }
    s.ptpSeconds = Be(payload, 0, 6);
    s.ptpNanoseconds = static_cast<std::uint32_t>(Be(payload, 6, 4));
    return true;
}

bool ProductBrandMessage::Decode(TelemetryData& s) {
    if (!DecodeString(payload, s.productBrand)) return false;
    UpdateProductInfo(s);
    return true;
}

bool ProductNameMessage::Decode(TelemetryData& s) {
    if (!DecodeString(payload, s.productName)) return false;
    UpdateProductInfo(s);
    return true;
}

bool ProductSerialMessage::Decode(TelemetryData& s) {
    if (!DecodeString(payload, s.productSerial)) return false;
    UpdateProductInfo(s);
    return true;
}

bool LensManufacturerMessage::Decode(TelemetryData& s) {
    if (!DecodeString(payload, s.lensManufacturer)) return false;
    UpdateLensInfo(s);
    return true;
}

bool LensNameMessage::Decode(TelemetryData& s) {
    if (!DecodeString(payload, s.lensName)) return false;
    UpdateLensInfo(s);
    return true;
}

bool LensSerialMessage::Decode(TelemetryData& s) {
    if (!DecodeString(payload, s.lensSerial)) return false;
    UpdateLensInfo(s);
    return true;
}

bool ClipNameMessage::Decode(TelemetryData& s) {
    if (!DecodeString(payload, s.clipName)) return false;
    s.clipNameReceived = true;
    return true;
}

bool LensPropertiesMessage::Decode(TelemetryData& s) {
    if (payload.size() != 11) {
        return false;
    }
    // Both focal lengths are read with all 24 bits, as the sender writes them.
    const std::uint64_t minFocal = Be(payload, 0, 3);
    const std::uint64_t maxFocal = Be(payload, 3, 3);
    StoreIfSet(minFocal, 100.0, s.minFocalLengthValid, s.minFocalLength);
    StoreIfSet(maxFocal, 100.0, s.maxFocalLengthValid, s.maxFocalLength);
    StoreIfSet(Be(payload, 6, 2), 100.0, s.minIrisValid, s.minIris);
    StoreIfSet(Be(payload, 8, 2), 100.0, s.maxIrisValid, s.maxIris);
    const std::uint8_t extra = payload[10];
    s.lensPropertiesExtraValid = extra != 0;
    if (extra != 0) {
        s.lensPropertiesExtra = extra;
    }
    s.focalRangeFlags = static_cast<std::uint8_t>((minFocal != 0 ? 2 : 0) + (maxFocal != 0 ? 1 : 0));
    return true;
}

bool PositionalDataMessage::Decode(TelemetryData& s) {
    if (payload.size() != 12) {
        return false;
    }
    constexpr std::uint32_t kNotAvailable = 0x80000000U;
    StoreUnlessNa<std::int32_t>(static_cast<std::uint32_t>(Be(payload, 0, 4)), kNotAvailable,
                                s.positionXValid, s.positionX);
    StoreUnlessNa<std::int32_t>(static_cast<std::uint32_t>(Be(payload, 4, 4)), kNotAvailable,
                                s.positionYValid, s.positionY);
    StoreUnlessNa<std::int32_t>(static_cast<std::uint32_t>(Be(payload, 8, 4)), kNotAvailable,
                                s.positionZValid, s.positionZ);
    return true;
}

bool AxesDataMessage::Decode(TelemetryData& s) {
    if (payload.size() != 6) {
        return false;
    }
    constexpr std::uint16_t kNotAvailable = 0x8000U;
    StoreUnlessNa<std::int16_t>(static_cast<std::uint16_t>(Be(payload, 0, 2)), kNotAvailable,
                                s.rollValid, s.roll);
    StoreUnlessNa<std::int16_t>(static_cast<std::uint16_t>(Be(payload, 2, 2)), kNotAvailable,
                                s.pitchValid, s.pitch);
    StoreUnlessNa<std::int16_t>(static_cast<std::uint16_t>(Be(payload, 4, 2)), kNotAvailable,
                                s.yawValid, s.yaw);
    return true;
}

bool TickCountMessage::Decode(TelemetryData& s) {
    // The payload length carries the unit: 3 bytes seconds, 4 milliseconds, 5 microseconds.
    const std::size_t n = payload.size();
    if (n < 3 || n > 5) {
        return false;
    }
    s.tickCountType = static_cast<std::uint8_t>(n - 3);
    s.tickCount = Be(payload, 0, n);
    return true;
}

bool ProjectFpsMessage::Decode(TelemetryData& s) {
    if (payload.size() != 1 || payload[0] > 5) {
        return false;
    }
    s.projectFps = payload[0];
    return true;
}

bool ChannelIdMessage::Decode(TelemetryData& s) {
    if (payload.size() != 1) {
        return false;
    }
    s.channelId = payload[0];
    return true;
}

bool RawLensEncoderWithMaskMessage::Decode(TelemetryData& s) {
    if (payload.size() != 7) {
        return false;
    }
    const std::uint8_t mask = payload[0];
    s.rawFocusEncoderValid = (mask & 1U) != 0;
    s.rawZoomEncoderValid = (mask & 2U) != 0;
    s.rawIrisEncoderValid = (mask & 4U) != 0;
    if (s.rawFocusEncoderValid) s.rawFocusEncoder = static_cast<std::uint16_t>(Be(payload, 1, 2));
    if (s.rawZoomEncoderValid) s.rawZoomEncoder = static_cast<std::uint16_t>(Be(payload, 3, 2));
    if (s.rawIrisEncoderValid) s.rawIrisEncoder = static_cast<std::uint16_t>(Be(payload, 5, 2));
    return true;
}

// Checks and writes are interleaved: a payload rejected at a later step keeps what the
// earlier steps wrote (the receiver discards the whole working copy anyway).
bool ZeissZdDataMessage::Decode(TelemetryData& s) {
    if (payload.size() != 34) {
        return false;
    }
    const Bytes& p = payload;
    auto& z = s.zeissZd;

    std::uint32_t focusDistance = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if ((p[i] & 0xC0) != 0x40) return false;
        focusDistance = (focusDistance << 6) | (p[i] & 0x3FU);
    }
    z.focusDistance = focusDistance;

    if ((p[4] & 0x80) == 0 || (p[5] & 0x80) == 0 || (p[5] & 0x30) != 0) return false;
    const unsigned base = ((p[5] >> 6) & 1U) * 128 + (p[4] & 0x7FU);
    z.aperture = static_cast<float>(p[5] & 0x0FU) * detail::ApertureStepOf(base) +
                 static_cast<float>(base) / 10.0F;

    if ((p[6] & 0xE0) != 0x40 || (p[7] & 0xC0) != 0x40) return false;
    z.horizontalFieldOfView = static_cast<float>((p[6] & 0x1FU) * 64 + (p[7] & 0x3FU)) / 10.0F;

    if ((p[8] & 0x40) == 0 || (p[8] & 0x10) != 0 || (p[9] & 0xC0) != 0x40) return false;
    const auto magnitude = static_cast<std::int16_t>((p[8] & 0x0F) * 64 + (p[9] & 0x3F));
    z.entrancePupilPosition = (p[8] & 0x20) != 0 ? static_cast<std::int16_t>(-magnitude) : magnitude;

    for (std::size_t i = 0; i < 6; ++i) {
        const auto slot = static_cast<double>(Be(p, 10 + 2 * i, 2));
        z.shading[i] = static_cast<float>(100.0 - slot / 10.0);
    }
    for (std::size_t i = 0; i < 6; ++i) {
        const auto slot = static_cast<std::int16_t>(static_cast<std::uint16_t>(Be(p, 22 + 2 * i, 2)));
        z.radialDistortion[i] = static_cast<float>(slot / 100.0);
    }
    return true;
}

bool RadioControlMessage::Decode(TelemetryData& s) {
    const std::size_t n = payload.size();
    if (n != 5 && n != 7) {
        return false;
    }
    auto& r = s.radioControl;
    r.radioValue = static_cast<std::uint32_t>(Be(payload, 0, 3));
    r.radioParamA = payload[3];
    r.radioParamB = static_cast<std::uint8_t>(payload[4] + 5U);
    if (n == 7) {
        r.radioMode = payload[5];
        r.radioParamC = payload[6];
    }
    return true;
}

bool SensorSizeMessage::Decode(TelemetryData& s) {
    const std::size_t n = payload.size();
    if (n < 8 || n > 64) {
        return false;
    }
    s.sensorWidth = Unscale(static_cast<double>(Be(payload, 0, 2)), 100.0);
    s.sensorHeight = Unscale(static_cast<double>(Be(payload, 2, 2)), 100.0);
    s.clipWidth = static_cast<std::uint16_t>(Be(payload, 4, 2));
    s.clipHeight = static_cast<std::uint16_t>(Be(payload, 6, 2));
    if (n > 8) {
        s.sensorName.assign(payload.begin() + 8, payload.end());
    }
    return true;
}

bool RawAxesEncoderWithMaskMessage::Decode(TelemetryData& s) {
    if (payload.size() != 10) {
        return false;
    }
    const std::uint8_t mask = payload[0];
    for (std::size_t i = 0; i < 3; ++i) {
        if ((mask >> i) & 1U) {
            s.rawAxesEncoders[i] = static_cast<std::uint32_t>(Be(payload, 1 + 3 * i, 3));
        }
    }
    return true;
}

bool SubjectIdMessage::Decode(TelemetryData& s) {
    if (payload.size() == 2) {
        s.subjectId = static_cast<std::uint32_t>(Be(payload, 0, 2));
        return true;
    }
    if (payload.size() == 1) {
        s.subjectId = payload[0];
        return true;
    }
    return false;
}

std::shared_ptr<Message> CreateMessage(MessageType type) {
    switch (type) {
        case MessageType::Timecode: return std::make_shared<TimecodeMessage>();
        case MessageType::BasicLens: return std::make_shared<BasicLensMessage>();
        case MessageType::PtpTimestamp: return std::make_shared<PtpTimestampMessage>();
        case MessageType::ProductBrand: return std::make_shared<ProductBrandMessage>();
        case MessageType::ProductName: return std::make_shared<ProductNameMessage>();
        case MessageType::ProductSerial: return std::make_shared<ProductSerialMessage>();
        case MessageType::LensProperties: return std::make_shared<LensPropertiesMessage>();
        case MessageType::PositionalData: return std::make_shared<PositionalDataMessage>();
        case MessageType::AxesData: return std::make_shared<AxesDataMessage>();
        case MessageType::TickCount: return std::make_shared<TickCountMessage>();
        case MessageType::LensManufacturer: return std::make_shared<LensManufacturerMessage>();
        case MessageType::LensName: return std::make_shared<LensNameMessage>();
        case MessageType::LensSerial: return std::make_shared<LensSerialMessage>();
        case MessageType::ProjectFps: return std::make_shared<ProjectFpsMessage>();
        case MessageType::ClipName: return std::make_shared<ClipNameMessage>();
        case MessageType::RawLensEncoderWithMask:
            return std::make_shared<RawLensEncoderWithMaskMessage>();
        case MessageType::ZeissZdData: return std::make_shared<ZeissZdDataMessage>();
        case MessageType::RadioControl: return std::make_shared<RadioControlMessage>();
        case MessageType::ChannelId: return std::make_shared<ChannelIdMessage>();
        case MessageType::SensorSize: return std::make_shared<SensorSizeMessage>();
        case MessageType::RawAxesEncoderWithMask:
            return std::make_shared<RawAxesEncoderWithMaskMessage>();
        case MessageType::SubjectId: return std::make_shared<SubjectIdMessage>();
        default: return std::make_shared<Message>();
    }
}

}  // namespace Kor::Protocol
