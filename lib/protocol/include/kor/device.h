// Device: the receiving side of the protocol; turns received bytes into a telemetry state.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <kor/export.h>
#include <kor/telemetry.h>

namespace Kor::Protocol {

// Outcome of the last frame that Device::Update finished.
enum class FrameStatus {
    NewTimecode = 0,      // frame applied; its timecode differs from the previous state's
    SameTimecode = 1,     // frame applied; timecode unchanged (or no Timecode record)
    Incomplete = 2,       // serial path: no frame completed and no overflow
    ChecksumError = 3,    // serial frame whose checksum byte does not match
    FramingError = 4,     // serial frame whose stuffing does not end at the checksum byte
    PayloadTooLong = 5,   // a record's payload would exceed 65 bytes
    BadMessageType = 6,   // a record's type byte is above 27
    MessageRejected = 7,  // a message's Decode refused its payload
    LengthError = 8,      // serial frame over 256 bytes, datagram under 11 or over 261 bytes
    HeaderError = 9,      // datagram whose bytes 3 to 7 are not all zero
};

// Decodes UDP datagrams and serial byte streams into one telemetry state.
//
// Every frame is all-or-nothing: a frame with any error leaves the state untouched, a
// valid one replaces it at once. Update never throws on received bytes (only
// std::bad_alloc) and never reads outside its input.
//
// Copies share one decoder state (an Update through either is seen by both). A moved-from
// Device holds none: until it is assigned to, GetCurrentState returns null, Update decodes
// nothing and returns Incomplete, and EncodeState returns an empty vector. A Device and its
// copies must not be used concurrently; devices that share nothing may decode on different
// threads.
//
//   Kor::Protocol::Device device;
//   if (device.Update(datagram) <= Kor::Protocol::FrameStatus::SameTimecode) {
//       const Kor::Protocol::TelemetryData* state = device.GetCurrentState();
//   }
class KOR_API Device {
public:
    Device();
    explicit Device(const TelemetryData& initialState);
    Device(const Device& other);
    Device(Device&& other) noexcept;
    Device& operator=(const Device& other);
    Device& operator=(Device&& other) noexcept;
    ~Device();

    // Feeds received bytes. Input that starts 00 FF 00 is one whole datagram (11 to 261
    // bytes); anything else is the next chunk of a serial byte stream, whose incomplete
    // frame is kept for the next call. Bytes before the first 0x00 of the stream are
    // ignored. A datagram of valid length discards a partly collected serial frame.
    // Returns the status of the last frame finished (or overflow found) in this call,
    // Incomplete if none.
    FrameStatus Update(const std::vector<std::uint8_t>& data);

    // The current state; the address is stable for the life of the decoder state.
    const TelemetryData* GetCurrentState() const;

    // The current state encoded as one frame (see TelemetryData::Encode).
    std::vector<std::uint8_t> EncodeState(TransmissionType transmissionType,
                                          std::vector<MessageType> messageTypes) const;

private:
    class internal_Device;
    std::shared_ptr<internal_Device> impl;
};

}  // namespace Kor::Protocol
