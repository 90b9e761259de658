// TelemetryData::Encode: records in list order, framed for UDP, Serial or nothing.
#include <kor/telemetry.h>

#include <array>
#include <bit>
#include <cstring>

#include "framing.h"
#include "records.h"

namespace Kor::Protocol {
namespace detail {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

std::uint64_t Load64(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;  // byte i of the word is p[i] on little-endian machines
}

// Bit 7 of each byte of the result is set exactly where that byte of `word` is zero.
std::uint64_t ZeroBytes(std::uint64_t word) noexcept {
    const std::uint64_t low7 = ~kHighBits;
    return ~(((word & low7) + low7) | word | low7);
}

}  // namespace

// Both helpers below work on eight bytes at a time: they run for every Serial frame, and
// byte loops (and branches on where the zeros fall) cost more than the records do.

std::uint8_t Checksum(const std::uint8_t* first, const std::uint8_t* last) noexcept {
    // Four 16-bit lanes, each a partial sum of byte pairs. A lane grows by at most
    // 2 x 255 per word, so the lanes are folded into `sum` every 64 words, long before
    // one could carry into the next.
    std::uint32_t sum = 0;
    while (last - first >= 8) {
        std::uint64_t lanes = 0;
        for (int words = 0; words < 64 && last - first >= 8; ++words, first += 8) {
            const std::uint64_t word = Load64(first);
            lanes += (word & 0x00FF00FF00FF00FFULL) + ((word >> 8) & 0x00FF00FF00FF00FFULL);
        }
        for (int lane = 0; lane < 4; ++lane, lanes >>= 16) {
            sum += static_cast<std::uint32_t>(lanes & 0xFFFFU);
        }
    }
    for (; first != last; ++first) {
        sum += *first;
    }
    return static_cast<std::uint8_t>(~sum);
}

void StuffInPlace(std::uint8_t* data, std::size_t size) noexcept {
    // Each zero after the leading slot, and the slot itself, becomes the distance to the
    // next zero, or to the end for the last one.
    std::size_t code = 0;
    auto visit = [&](std::size_t zero) {
        data[code] = static_cast<std::uint8_t>(zero - code);
        code = zero;
    };
    std::size_t i = 1;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 8 <= size; i += 8) {
            std::uint64_t zeros = ZeroBytes(Load64(data + i));
            while (zeros != 0) {
                visit(i + static_cast<std::size_t>(std::countr_zero(zeros)) / 8);
                zeros &= zeros - 1;
            }
        }
    }
    for (; i < size; ++i) {
        if (data[i] == 0) {
            visit(i);
        }
    }
    data[code] = static_cast<std::uint8_t>(size - code);
}

namespace {

// UDP and Serial frames are assembled in a stack buffer and copied into the result once,
// so that a frame costs a single allocation. The slack after the longest accepted run of
// records lets a record that turns out not to fit be written and then dropped.
std::vector<std::uint8_t> EncodeLimited(const TelemetryData& data, bool serial,
                                        const std::vector<MessageType>& types) {
    constexpr std::size_t kHeader = kUdpHeader.size();
    std::array<std::uint8_t, kHeader + kMaxRecordBytes + kMaxRecord + 2> buf;

    std::size_t n = 0;
    if (serial) {
        buf[n++] = 0x00;  // opening delimiter
        buf[n++] = 0x00;  // leading code byte, written by the stuffing
    } else {
        std::memcpy(buf.data(), kUdpHeader.data(), kHeader);
        n = kHeader;
    }
    const std::size_t recordsBegin = n;

    for (MessageType type : types) {
        const std::size_t size = BuildRecord(buf.data() + n, data, type);
        // A record that would overflow the frame is dropped again; later, shorter ones
        // may still fit.
        if (n - recordsBegin + size <= kMaxRecordBytes) {
            n += size;
        }
    }

    if (serial) {
        buf[n] = Checksum(buf.data() + recordsBegin, buf.data() + n);
        ++n;
        StuffInPlace(buf.data() + recordsBegin - 1, n - recordsBegin + 1);
        buf[n++] = 0x00;  // closing delimiter
    }
    return std::vector<std::uint8_t>(buf.data(), buf.data() + n);
}

// Any other transmission type: the records alone, with no size limit.
std::vector<std::uint8_t> EncodeRecordsOnly(const TelemetryData& data,
                                            const std::vector<MessageType>& types) {
    std::vector<std::uint8_t> out;
    std::array<std::uint8_t, kMaxRecord> record;
    for (MessageType type : types) {
        const std::size_t size = BuildRecord(record.data(), data, type);
        out.insert(out.end(), record.data(), record.data() + size);
    }
    return out;
}

}  // namespace
}  // namespace detail

std::vector<std::uint8_t> TelemetryData::Encode(TransmissionType transmissionType,
                                                std::vector<MessageType> messageTypes) const {
    switch (transmissionType) {
        case TransmissionType::UDP: return detail::EncodeLimited(*this, false, messageTypes);
        case TransmissionType::Serial: return detail::EncodeLimited(*this, true, messageTypes);
        default: return detail::EncodeRecordsOnly(*this, messageTypes);
    }
}

}  // namespace Kor::Protocol
