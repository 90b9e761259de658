// Frame boundaries as the monitor sees them: datagram records, serial frame splitting and
// the list of record types a frame holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <kor/telemetry.h>

namespace KorMonitor {

// Bytes of the UDP frame header that precede the records.
inline constexpr std::size_t kDatagramHeaderSize = 8;

// Most stuffed bytes a serial frame may hold between its two delimiters; the decoder
// reports anything longer as a length error.
inline constexpr std::size_t kMaxStuffedFrame = 256;

// True when the bytes begin 00 FF 00, the start of a UDP frame. The decoder takes such
// input as one whole datagram and anything else as a piece of a serial stream.
bool IsDatagram(std::span<const std::uint8_t> bytes);

// The record types in a run of records (type byte, length byte = payload length - 1,
// payload), in order of appearance. Walks only within the given bytes: a record cut
// short by the end still counts, a lone trailing type byte does not. Meant for frames
// the decoder accepted; for any other input the list is merely harmless.
std::vector<Kor::Protocol::MessageType> ListRecordTypes(std::span<const std::uint8_t> records);

// The record types of a UDP datagram (the records after its 8-byte header).
std::vector<Kor::Protocol::MessageType> DatagramRecordTypes(std::span<const std::uint8_t> datagram);

// The record bytes of one serial frame, given the stuffed bytes between its delimiters:
// unstuffs them the way the decoder does and drops the trailing checksum byte. Never
// reads outside the input; a malformed frame gives a meaningless but bounded result.
std::vector<std::uint8_t> UnstuffSerialRecords(std::span<const std::uint8_t> stuffed);

// Cuts a serial byte stream into frames at its 0x00 delimiters.
//
// Bytes before the first delimiter are dropped (the decoder ignores them too). Each
// complete frame is handed on as its stuffed bytes, without delimiters. A frame that grows
// past kMaxStuffedFrame bytes is handed on at kMaxStuffedFrame + 1 bytes, so that the
// decoder reports it as too long, and the rest of it up to the next delimiter is dropped;
// memory use therefore stays bounded whatever arrives.
//
//   SerialSplitter splitter;
//   splitter.Feed(chunk, [&](std::span<const std::uint8_t> frame) { ... });
class SerialSplitter {
public:
    template <typename OnFrame>
    void Feed(std::span<const std::uint8_t> chunk, OnFrame&& onFrame) {
        for (const std::uint8_t byte : chunk) {
            if (byte == 0) {
                if (!pending_.empty()) {
                    onFrame(std::span<const std::uint8_t>(pending_));
                    pending_.clear();
                }
                synced_ = true;
                discarding_ = false;
            } else if (synced_ && !discarding_) {
                pending_.push_back(byte);
                if (pending_.size() > kMaxStuffedFrame) {
                    onFrame(std::span<const std::uint8_t>(pending_));
                    pending_.clear();
                    discarding_ = true;
                }
            }
        }
    }

    // Bytes of the frame being collected.
    std::size_t Pending() const { return pending_.size(); }

private:
    std::vector<std::uint8_t> pending_;
    bool synced_ = false;      // a delimiter has been seen
    bool discarding_ = false;  // dropping the rest of an over-long frame
};

}  // namespace KorMonitor
