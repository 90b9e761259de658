// Device: finds frames in received bytes, checks them and applies their records to a state.
#include <kor/device.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "framing.h"
#include "message.h"

// Device is exported as a whole; its implementation class must stay out of the binary
// interface, so it is marked hidden explicitly (a nested class would otherwise inherit the
// enclosing class's default visibility).
#if defined(__GNUC__) || defined(__clang__)
#define KOR_INTERNAL __attribute__((visibility("hidden")))
#else
#define KOR_INTERNAL
#endif

namespace Kor::Protocol {
namespace {

// Reserved for the frame buffer once, at construction: more than the longest serial frame
// it collects (256 stuffed bytes), so it never grows afterwards.
constexpr std::size_t kFrameBufferCapacity = 261;
// A serial frame may hold at most this many stuffed bytes between two delimiters.
constexpr std::size_t kMaxStuffedBytes = 256;
// Datagram bytes 3 to 7 must be zero; bytes 0 to 2 (00 FF 00) select the datagram path.
constexpr std::size_t kDatagramMagicSize = 3;
constexpr std::size_t kMinDatagram = detail::kMinUdpFrame;
constexpr std::size_t kMaxDatagram = detail::kMaxUdpFrame;
// A length byte of 255 announces 256 payload bytes, more than any message may hold.
constexpr std::uint8_t kLengthTooLong = 255;
// Typical number of records in a frame; the list grows past it only once if ever.
constexpr std::size_t kTypicalRecords = 32;
// Most records a frame can hold: each takes at least its type and length bytes, and a
// frame carries at most 254 record bytes (a serial frame; a datagram 253). An applied frame
// holds at most 84, since every accepted payload has at least one byte.
constexpr std::size_t kMaxRecords = (detail::kMaxRecordBytes + 1) / 2;

bool SameTimecode(const TelemetryData& a, const TelemetryData& b) noexcept {
    return a.timecodeHours == b.timecodeHours && a.timecodeMinutes == b.timecodeMinutes &&
           a.timecodeSeconds == b.timecodeSeconds && a.timecodeFrames == b.timecodeFrames;
}

}  // namespace

class KOR_INTERNAL Device::internal_Device {
public:
    internal_Device() { Reserve(); }
    explicit internal_Device(TelemetryData initialState) : state(std::move(initialState)) {
        Reserve();
    }

    // `onFrame` may be null: no reports are handed out then.
    FrameStatus Update(const std::uint8_t* data, std::size_t size, const FrameCallback* onFrame) {
        lastStatus = FrameStatus::Incomplete;
        lastTypeCount = 0;
        if (data == nullptr) {
            return FrameStatus::Incomplete;
        }
        if (size >= kDatagramMagicSize && data[0] == detail::kUdpHeader[0] &&
            data[1] == detail::kUdpHeader[1] && data[2] == detail::kUdpHeader[2]) {
            return Report(UpdateDatagram(data, size), onFrame);
        }
        return UpdateSerial(data, size, onFrame);
    }

    // The last report of the latest Update call.
    FrameReport LastFrame() const noexcept {
        return FrameReport{lastStatus, MessageTypes(frameTypes.data(), lastTypeCount)};
    }

    // The current state; its address never changes (a new state is moved in).
    TelemetryData state;
    // Stuffed bytes of the serial frame being collected (never holds a 0x00).
    std::vector<std::uint8_t> frameBuffer;
    // True once a delimiter has been seen; bytes are collected only while it is set.
    bool collecting = false;

private:
    // One record of the frame being decoded: its type byte and its message object.
    struct Record {
        std::uint8_t type;
        std::shared_ptr<Message> message;
    };

    // Resets the parser for a new frame and, when the frame is done whichever way it ends,
    // empties the frame buffer and puts the message objects back for reuse.
    class FrameScope {
    public:
        explicit FrameScope(internal_Device& owner) noexcept : device(owner) {
            device.ResetParser();
        }
        FrameScope(const FrameScope&) = delete;
        FrameScope(FrameScope&&) = delete;
        FrameScope& operator=(const FrameScope&) = delete;
        FrameScope& operator=(FrameScope&&) = delete;
        ~FrameScope() {
            device.frameBuffer.clear();
            device.RecycleMessages();
        }

    private:
        internal_Device& device;
    };

    void Reserve() {
        frameBuffer.reserve(kFrameBufferCapacity);
        records.reserve(kTypicalRecords);
    }

    // A datagram is one whole frame: header, then records, no checksum or stuffing.
    FrameStatus UpdateDatagram(const std::uint8_t* data, std::size_t n) {
        if (n < kMinDatagram || n > kMaxDatagram) {
            return FrameStatus::LengthError;
        }
        // The datagram replaces whatever serial frame was being collected; its bytes are
        // parsed where they are, so they can never be mistaken for a stuffed frame later.
        frameBuffer.clear();
        for (std::size_t i = kDatagramMagicSize; i < detail::kUdpHeader.size(); ++i) {
            if (data[i] != 0) {
                return FrameStatus::HeaderError;
            }
        }
        FrameScope frame(*this);
        FrameStatus error = FrameStatus::Incomplete;
        const std::size_t recordsAt = detail::kUdpHeader.size();
        if (!Parse(data + recordsAt, n - recordsAt, error)) {
            return error;
        }
        return Apply();
    }

    // The stream is a sequence of stuffed frames, each closed (and the next one opened) by
    // a 0x00. Runs of non-zero bytes are collected at once. Every frame finished and every
    // overflow is reported as it is found; the result is that of the last of them.
    FrameStatus UpdateSerial(const std::uint8_t* data, std::size_t size,
                             const FrameCallback* onFrame) {
        FrameStatus result = FrameStatus::Incomplete;
        const std::uint8_t* p = data;
        const std::uint8_t* const end = p + size;
        while (p != end) {
            const void* found = std::memchr(p, 0, static_cast<std::size_t>(end - p));
            const auto* const zero =
                found != nullptr ? static_cast<const std::uint8_t*>(found) : end;
            if (collecting) {
                const auto run = static_cast<std::size_t>(zero - p);
                if (run > kMaxStuffedBytes - frameBuffer.size()) {
                    // Too long: drop everything up to the next delimiter.
                    frameBuffer.clear();
                    collecting = false;
                    result = Report(FrameStatus::LengthError, onFrame);
                } else {
                    frameBuffer.insert(frameBuffer.end(), p, zero);
                }
            }
            if (zero == end) {
                break;
            }
            // The delimiter is consumed before the frame it closes is reported, so that a
            // callback that throws leaves the stream right after that frame.
            collecting = true;
            p = zero + 1;
            if (!frameBuffer.empty()) {
                result = Report(DecodeSerialFrame(), onFrame);
            }
        }
        return result;
    }

    // Unstuffs, checks and applies the frame in frameBuffer (1 to 256 non-zero bytes) and
    // empties the buffer. Each code byte gives the distance to the next one, which stands
    // for a zero; a code of 255 is no exception. Every byte but the last is unstuffed (in
    // place: a code byte becomes the zero it stands for) and parsed; the last is where the
    // checksum must be: either a data byte ending its group exactly, or a code byte of 1
    // standing for a zero checksum. Parser errors come before stuffing and checksum errors.
    FrameStatus DecodeSerialFrame() {
        FrameScope frame(*this);
        std::uint8_t* const bytes = frameBuffer.data();
        const std::size_t end = frameBuffer.size() - 1;  // position of the checksum
        std::uint8_t code = bytes[0];
        std::size_t pos = 1;
        while (pos < end) {
            // The code-1 bytes after a code byte are data. (Collected bytes are never zero;
            // a code of 0 would count as 256, as in 8-bit arithmetic.)
            const std::size_t run = static_cast<std::uint8_t>(code - 1);
            const std::size_t take = std::min(run, end - pos);
            pos += take;
            code = static_cast<std::uint8_t>(code - take);
            if (pos < end) {
                code = bytes[pos];
                bytes[pos] = 0;
                ++pos;
            }
        }

        unsigned sum = 0;
        if (end > 1) {
            FrameStatus error = FrameStatus::Incomplete;
            if (!Parse(bytes + 1, end - 1, error)) {
                return error;
            }
            for (std::size_t i = 1; i < end; ++i) {
                sum += bytes[i];
            }
        }

        const std::uint8_t last = bytes[end];
        std::uint8_t checksum = 0;
        if (code == 2) {
            checksum = last;
        } else if (code == 1 && last == 1) {
            checksum = 0;
        } else {
            return FrameStatus::FramingError;
        }
        if (checksum != static_cast<std::uint8_t>(~sum)) {
            return FrameStatus::ChecksumError;
        }
        return Apply();
    }

    // Records a finished frame as the last one and hands it to the callback, if any. The
    // record types are those Apply kept; a frame that was not applied has none.
    FrameStatus Report(FrameStatus status, const FrameCallback* onFrame) {
        lastStatus = status;
        const bool applied = status == FrameStatus::NewTimecode ||
                             status == FrameStatus::SameTimecode;
        lastTypeCount = applied ? appliedTypeCount : 0;
        if (onFrame != nullptr) {
            (*onFrame)(LastFrame());
        }
        return status;
    }

    void ResetParser() noexcept {
        RecycleMessages();
        remaining = 0;
        haveType = false;
        type = 0;
    }

    // Feeds record bytes: a type byte, a length byte (payload length minus one), then the
    // payload, which is copied in runs. Returns false and sets `error` when the frame must
    // stop. A frame that ends inside a record is no error here; the cut-short message is
    // judged by its Decode.
    bool Parse(const std::uint8_t* bytes, std::size_t count, FrameStatus& error) {
        while (count != 0) {
            if (remaining != 0) {
                // Same rule as Message::AppendByte: a payload takes at most kMaxPayload
                // bytes, and the first byte beyond that stops the frame.
                std::vector<std::uint8_t>& payload = records.back().message->payload;
                const std::size_t take = std::min<std::size_t>(remaining, count);
                if (take > kMaxPayload - payload.size()) {
                    error = FrameStatus::PayloadTooLong;
                    return false;
                }
                if (take == 1) {
                    payload.push_back(*bytes);  // one-byte payloads are common
                } else {
                    payload.insert(payload.end(), bytes, bytes + take);
                }
                remaining = static_cast<std::uint8_t>(remaining - take);
                bytes += take;
                count -= take;
                continue;
            }
            const std::uint8_t b = *bytes;
            ++bytes;
            --count;
            if (haveType) {
                if (b == kLengthTooLong) {
                    error = FrameStatus::PayloadTooLong;
                    return false;
                }
                const auto announced = static_cast<std::uint8_t>(b + 1);
                AddRecord(static_cast<std::uint8_t>(type), announced);
                remaining = announced;
                haveType = false;
            } else if (b > kLastMessageType) {
                error = FrameStatus::BadMessageType;
                return false;
            } else {
                type = b;
                haveType = true;
            }
        }
        return true;
    }

    // Decodes every message of the frame, in order, into a copy of the state and makes
    // the copy current only if all of them accepted their payloads.
    FrameStatus Apply() {
        working = state;  // reuses the strings' capacity of earlier frames
        // Channel and subject describe only the frame that carries them.
        working.channelId = 255;
        working.subjectId = 0xFFFF;
        for (const Record& record : records) {
            if (!record.message->Decode(working)) {
                return FrameStatus::MessageRejected;
            }
        }
        const bool sameTimecode = SameTimecode(working, state);
        appliedTypeCount = std::min(records.size(), frameTypes.size());
        for (std::size_t i = 0; i < appliedTypeCount; ++i) {
            frameTypes[i] = static_cast<MessageType>(records[i].type);
        }
        // Moving cannot throw, so the new state is taken over completely or not at all.
        // (The working copy is refilled from the state before the next frame.)
        static_assert(std::is_nothrow_move_assignable_v<TelemetryData>);
        state = std::move(working);
        return sameTimecode ? FrameStatus::SameTimecode : FrameStatus::NewTimecode;
    }

    // Appends a record of type `recordType` whose payload is announced as `announced`
    // bytes, with a message object of the type's class and an empty payload: a spare one
    // from an earlier frame if there is one, else a new one from CreateMessage. A message
    // holds nothing but its payload, so a cleared one is as good as a new one.
    void AddRecord(std::uint8_t recordType, std::uint8_t announced) {
        std::vector<std::shared_ptr<Message>>& spare = spareMessages[recordType];
        std::shared_ptr<Message> message;
        if (!spare.empty()) {
            message = std::move(spare.back());
            spare.pop_back();
            message->payload.clear();
        } else {
            // Room to take every message of this type back once the frame is done.
            spare.reserve(std::size_t{ownedMessages[recordType]} + 1);
            message = CreateMessage(static_cast<MessageType>(recordType));
            ++ownedMessages[recordType];
        }
        message->payload.reserve(std::min<std::size_t>(announced, kMaxPayload));
        records.push_back(Record{recordType, std::move(message)});
    }

    // Moves the frame's message objects to the spares of their types and empties the list.
    // Never allocates: each spare list has room for every message of its type.
    void RecycleMessages() noexcept {
        for (Record& record : records) {
            std::vector<std::shared_ptr<Message>>& spare = spareMessages[record.type];
            if (record.message && spare.size() < spare.capacity()) {
                spare.push_back(std::move(record.message));
            }
        }
        records.clear();
    }

    // Scratch kept across frames so that steady decoding reuses its memory.
    std::vector<Record> records;  // the current frame's records, in order
    TelemetryData working;        // the state the frame is decoded into
    // Message objects of earlier frames by type, and how many of each this device holds;
    // never more of a type than the most records of that type in one frame.
    std::array<std::vector<std::shared_ptr<Message>>, kLastMessageType + 1> spareMessages;
    std::array<std::uint16_t, kLastMessageType + 1> ownedMessages{};

    // The record types of the last applied frame, and the last report: its status and how
    // many of those types it holds (0 unless it is an applied frame).
    std::array<MessageType, kMaxRecords> frameTypes{};
    std::size_t appliedTypeCount = 0;
    FrameStatus lastStatus = FrameStatus::Incomplete;
    std::size_t lastTypeCount = 0;

    // Record parser: payload bytes still expected, and the type byte awaiting its length.
    std::uint8_t remaining = 0;
    bool haveType = false;
    std::uint16_t type = 0;
};

// The decoder state is allocated on its own and owned by the shared pointer.
Device::Device() : impl(new internal_Device()) {}

Device::Device(const TelemetryData& initialState) : impl(new internal_Device(initialState)) {}

Device::Device(const Device& other) = default;
Device::Device(Device&& other) noexcept = default;
Device& Device::operator=(const Device& other) = default;
Device& Device::operator=(Device&& other) noexcept = default;
Device::~Device() = default;

FrameStatus Device::Update(const std::vector<std::uint8_t>& data) {
    return Update(data.data(), data.size());
}

FrameStatus Device::Update(const std::uint8_t* data, std::size_t size) {
    if (!impl) {
        return FrameStatus::Incomplete;  // moved-from: nothing to decode into
    }
    return impl->Update(data, size, nullptr);
}

FrameStatus Device::Update(const std::uint8_t* data, std::size_t size, FrameCallback onFrame) {
    // The callback may assign to this Device; the decoder it runs in stays alive until the
    // call is done.
    const std::shared_ptr<internal_Device> decoder = impl;
    if (!decoder) {
        return FrameStatus::Incomplete;
    }
    return decoder->Update(data, size, &onFrame);
}

FrameReport Device::GetLastFrame() const {
    return impl ? impl->LastFrame() : FrameReport{};
}

const TelemetryData* Device::GetCurrentState() const {
    return impl ? &impl->state : nullptr;
}

std::vector<std::uint8_t> Device::EncodeState(TransmissionType transmissionType,
                                              std::vector<MessageType> messageTypes) const {
    if (!impl) {
        return {};
    }
    return impl->state.Encode(transmissionType, std::move(messageTypes));
}

}  // namespace Kor::Protocol
