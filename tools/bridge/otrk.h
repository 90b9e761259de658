// The OpenTrackIO packet layer: the 16-byte "OTrk" header, its Fletcher-16 checksum, and
// the splitting of a payload into segments and their reassembly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace Kor::Bridge {

inline constexpr std::size_t kOtrkHeaderSize = 16;
// Bits 0-14 of the length field: the most payload bytes one packet carries.
inline constexpr std::size_t kOtrkMaxSegment = 0x7FFF;

enum class OtrkEncoding : std::uint8_t { Json = 0x01, Cbor = 0x02 };

struct OtrkHeader {
    std::uint8_t encoding = 0;
    std::uint16_t sequence = 0;
    std::uint32_t offset = 0;
    bool last = true;
    std::uint16_t length = 0;  // payload bytes in this packet
    std::uint16_t checksum = 0;
};

// Fletcher-16 with modulus 256 over the bytes: sum1 += byte, sum2 += sum1, both mod 256;
// the result is (sum2 << 8) | sum1. `sums` continues a running computation.
std::uint16_t Fletcher16(std::span<const std::uint8_t> bytes, std::uint16_t sums = 0) noexcept;

// Splits a payload into packets of at most maxSegment payload bytes each (1 to
// kOtrkMaxSegment; other values are held to that range), each behind its header. `sequence`
// is the number of the first packet and is advanced by one per packet (wrapping at 2^16).
// An empty payload gives one packet with no payload bytes.
std::vector<std::vector<std::uint8_t>> BuildOtrkPackets(std::span<const std::uint8_t> payload,
                                                        OtrkEncoding encoding,
                                                        std::uint16_t& sequence,
                                                        std::size_t maxSegment = kOtrkMaxSegment);

enum class OtrkError {
    TooShort,        // fewer than 16 bytes
    BadIdentifier,   // not "OTrk"
    BadLength,       // the length field does not match the bytes after the header
    BadChecksum,     // Fletcher-16 mismatch
};

const char* OtrkErrorText(OtrkError error) noexcept;

// Parses and checks one received packet; never reads outside it. On success the payload
// is the span after the header.
struct OtrkParse {
    std::optional<OtrkHeader> header;
    std::span<const std::uint8_t> payload;
    OtrkError error = OtrkError::TooShort;  // meaningful when header is empty
};
OtrkParse ParseOtrkPacket(std::span<const std::uint8_t> packet) noexcept;

// Why the reassembler threw segments away.
enum class OtrkDrop {
    MissingSegment,  // the payload being collected lost a segment (the next did not follow on)
    MissingStart,    // a later segment arrived without its payload's first
    TooLarge,        // the payload grew past the reassembler's limit
};

// Puts the segments of one source's payloads back together. Segments must arrive in order,
// the first at offset 0 and each at the offset where the one before ended, with the same
// encoding and the same or the next sequence number (senders count per packet or per
// payload); a gap or a segment out of place drops what was collected, so an incomplete
// payload is never handed on. A packet that repeats the one before it (the same header,
// checksum included) is ignored, so a repeated datagram gives no second payload. Memory stays
// bounded by maxPayload.
class OtrkReassembler {
public:
    explicit OtrkReassembler(std::size_t maxPayload = 1 << 20) : maxPayload_(maxPayload) {}

    // Feeds one checked packet; returns the whole payload when this was its last segment.
    std::optional<std::vector<std::uint8_t>> Feed(const OtrkHeader& header,
                                                  std::span<const std::uint8_t> payload);

    // Times collected or orphaned segments were thrown away because a segment was missing or
    // out of place (once per such event, not per byte or per segment), in all and by reason.
    std::uint64_t Dropped() const noexcept { return dropped_; }
    std::uint64_t Dropped(OtrkDrop reason) const noexcept {
        return droppedBy_[static_cast<std::size_t>(reason)];
    }
    // Packets ignored as repeats of the one before.
    std::uint64_t Repeated() const noexcept { return repeated_; }

private:
    void Drop(OtrkDrop reason) noexcept;

    std::size_t maxPayload_;
    std::vector<std::uint8_t> collected_;
    bool collecting_ = false;
    std::uint8_t encoding_ = 0;
    std::uint16_t sequence_ = 0;  // of the last segment collected
    std::optional<OtrkHeader> previous_;
    std::uint64_t dropped_ = 0;
    std::uint64_t droppedBy_[3] = {};
    std::uint64_t repeated_ = 0;
};

}  // namespace Kor::Bridge
