// The decoder's message classes: one per message type, each decoding one record payload.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <kor/telemetry.h>

namespace Kor::Protocol {

// Holds one record's payload (without type and length bytes). The base class stands in
// for types that have no class; its Decode rejects every payload.
class Message {
public:
    Message() = default;
    Message(const Message&) = default;
    Message& operator=(const Message&) = default;
    Message(Message&&) = default;
    Message& operator=(Message&&) = default;

    // Writes the payload's values into `state`; false when the payload is unacceptable.
    // Checks come before the first write, except for ZeissZdData (see there).
    virtual bool Decode(TelemetryData& state);
    virtual ~Message() = default;

    // Appends one payload byte unless the payload already holds more than 64 bytes, in
    // which case nothing is appended and false is returned: a payload never exceeds 65.
    bool AppendByte(std::uint8_t b);

    std::vector<std::uint8_t> payload;
};

// The largest payload a message collects.
inline constexpr std::size_t kMaxPayload = 65;

#define KOR_DECLARE_MESSAGE(Name)                     \
    class Name final : public Message {               \
    public:                                           \
        bool Decode(TelemetryData& state) override;   \
    }

KOR_DECLARE_MESSAGE(TimecodeMessage);
KOR_DECLARE_MESSAGE(BasicLensMessage);
KOR_DECLARE_MESSAGE(PtpTimestampMessage);
KOR_DECLARE_MESSAGE(ProductBrandMessage);
KOR_DECLARE_MESSAGE(ProductNameMessage);
KOR_DECLARE_MESSAGE(ProductSerialMessage);
KOR_DECLARE_MESSAGE(LensPropertiesMessage);
KOR_DECLARE_MESSAGE(PositionalDataMessage);
KOR_DECLARE_MESSAGE(AxesDataMessage);
KOR_DECLARE_MESSAGE(TickCountMessage);
KOR_DECLARE_MESSAGE(LensManufacturerMessage);
KOR_DECLARE_MESSAGE(LensNameMessage);
KOR_DECLARE_MESSAGE(LensSerialMessage);
KOR_DECLARE_MESSAGE(ProjectFpsMessage);
KOR_DECLARE_MESSAGE(ClipNameMessage);
KOR_DECLARE_MESSAGE(RawLensEncoderWithMaskMessage);
KOR_DECLARE_MESSAGE(ZeissZdDataMessage);
KOR_DECLARE_MESSAGE(RadioControlMessage);
KOR_DECLARE_MESSAGE(ChannelIdMessage);
KOR_DECLARE_MESSAGE(SensorSizeMessage);
KOR_DECLARE_MESSAGE(RawAxesEncoderWithMaskMessage);
KOR_DECLARE_MESSAGE(SubjectIdMessage);

#undef KOR_DECLARE_MESSAGE

// Creates the message class of `type` with an empty payload; reserved and unknown types
// give a plain Message. Fails only by running out of memory.
std::shared_ptr<Message> CreateMessage(MessageType type);

}  // namespace Kor::Protocol
