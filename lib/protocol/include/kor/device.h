// Device: the receiving side of the protocol; turns received bytes into a telemetry state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

#if __cplusplus >= 202002L && __has_include(<span>)
#include <span>
#define KOR_DEVICE_HAS_SPAN 1
#endif

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

// The enumerator's name, e.g. "HeaderError"; "Unknown" for a value outside the enumeration.
// The text is static.
KOR_API std::string_view Name(FrameStatus status) noexcept;

// The record types of one frame in frame order: a read-only view of storage inside the
// decoder (see FrameReport for how long it stays valid). A contiguous range, so
// std::span<const MessageType>(view) and range-for both work.
class MessageTypes {
public:
    constexpr MessageTypes() noexcept = default;
    constexpr MessageTypes(const MessageType* data, std::size_t size) noexcept
        : data_(data), size_(size) {}

    constexpr const MessageType* begin() const noexcept { return data_; }
    constexpr const MessageType* end() const noexcept { return data_ + size_; }
    constexpr const MessageType* data() const noexcept { return data_; }
    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    // The i-th type; i must be below size().
    constexpr MessageType operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    const MessageType* data_ = nullptr;
    std::size_t size_ = 0;
};

// What the decoder tells about one frame it finished.
//
// A frame is finished when its end is found: a whole datagram, a serial frame closed by its
// 0x00 delimiter, or a serial frame that outgrew 256 stuffed bytes (LengthError; the rest
// of it up to the next delimiter is dropped and reported no more). `status` is never
// Incomplete in a report that Update hands out. `messages` holds the record types of the
// frame in frame order, duplicates included, when the frame was applied (NewTimecode or
// SameTimecode), and is empty otherwise. An applied frame holds at most 84 records.
//
// `messages` views memory inside the decoder: it stays valid until the next Update through
// this decoder or a copy of it, and as long as the decoder lives. The layouts of
// FrameReport, MessageTypes and FrameCallback are part of the library's binary interface.
struct FrameReport {
    FrameStatus status = FrameStatus::Incomplete;
    MessageTypes messages;

    // True when the frame was valid and became the current state.
    constexpr bool Applied() const noexcept {
        return status == FrameStatus::NewTimecode || status == FrameStatus::SameTimecode;
    }
};

// A reference to a callable that takes `const FrameReport&`, made from a lambda or any
// function object: what Update calls for each frame it finishes. It does not own the
// callable and is meant as a parameter only (a temporary lambda lives as long as the call
// it is passed to). Two pointers wide; it allocates nothing.
class FrameCallback {
public:
    template <typename F,
              typename = std::enable_if_t<
                  !std::is_same_v<std::remove_cv_t<std::remove_reference_t<F>>, FrameCallback> &&
                  !std::is_function_v<std::remove_reference_t<F>> &&
                  std::is_invocable_v<std::remove_reference_t<F>&, const FrameReport&>>>
    FrameCallback(F&& onFrame) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(onFrame)))),
          call_([](void* object, const FrameReport& report) {
              (*static_cast<std::remove_reference_t<F>*>(object))(report);
          }) {}

    void operator()(const FrameReport& report) const { call_(object_, report); }

private:
    void* object_;
    void (*call_)(void*, const FrameReport&);
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
//
// To learn every frame a serial chunk finishes, with the record types of each, pass a
// callback; it runs once per finished frame, right after the frame was applied or refused:
//
//   device.Update(chunk, [&](const Kor::Protocol::FrameReport& frame) {
//       if (frame.Applied()) {
//           for (Kor::Protocol::MessageType type : frame.messages) {
//               std::cout << Kor::Protocol::Name(type) << ' ';   // "Timecode BasicLens"
//           }
//           Show(*device.GetCurrentState());  // the state right after this frame
//       } else {
//           std::cout << Kor::Protocol::Name(frame.status) << '\n';
//       }
//   });
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

    // The same for `size` bytes at `data`, read in place (a receiver need not copy a
    // datagram into a vector first). `data` may be null when `size` is 0; null data is
    // taken as no bytes at all.
    FrameStatus Update(const std::uint8_t* data, std::size_t size);

    // Update that also reports each frame it finishes, in order, to `onFrame`: a datagram
    // gives exactly one report; a serial chunk gives one per frame or overflow it finishes
    // (none, one or many; a frame split across chunks is reported by the call that brings
    // its closing delimiter). The value returned is the status of the last report, or
    // Incomplete when there was none, so it is the same as without a callback.
    //
    // The callback runs after the frame was applied or refused and before the rest of the
    // input is read: GetCurrentState gives the state right after that frame, and
    // GetLastFrame gives this report. The callback should not call Update on this decoder
    // (or a copy); if it does, that call is decoded as usual, and the report's messages then
    // show the newer frame. If the callback throws, the exception leaves Update: the frames
    // reported so far stay applied and the input after the reported frame is not read, as
    // if it had never arrived.
    FrameStatus Update(const std::uint8_t* data, std::size_t size, FrameCallback onFrame);
    FrameStatus Update(const std::vector<std::uint8_t>& data, FrameCallback onFrame) {
        return Update(data.data(), data.size(), onFrame);
    }

#if defined(KOR_DEVICE_HAS_SPAN)
    FrameStatus Update(std::span<const std::uint8_t> data) {
        return Update(data.data(), data.size());
    }
    FrameStatus Update(std::span<const std::uint8_t> data, FrameCallback onFrame) {
        return Update(data.data(), data.size(), onFrame);
    }
#endif

    // The report of the last frame that the latest Update call finished; when that call
    // finished none (or there was no call yet), status Incomplete and no messages. Its
    // status is always what that call returned. The view stays valid as FrameReport says.
    FrameReport GetLastFrame() const;

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
