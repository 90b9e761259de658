// OpenTrackIO packets: header layout (big-endian), Fletcher-16, segments.
#include "otrk.h"

#include <algorithm>

namespace Kor::Bridge {

namespace {

constexpr std::uint8_t kIdentifier[4] = {'O', 'T', 'r', 'k'};
constexpr std::uint16_t kLastSegmentFlag = 0x8000;

}  // namespace

std::uint16_t Fletcher16(std::span<const std::uint8_t> bytes, std::uint16_t sums) noexcept {
    unsigned sum1 = sums & 0xFFU;
    unsigned sum2 = sums >> 8;
    for (const std::uint8_t byte : bytes) {
        sum1 = (sum1 + byte) & 0xFFU;
        sum2 = (sum2 + sum1) & 0xFFU;
    }
    return static_cast<std::uint16_t>((sum2 << 8) | sum1);
}

std::vector<std::vector<std::uint8_t>> BuildOtrkPackets(std::span<const std::uint8_t> payload,
                                                        OtrkEncoding encoding,
                                                        std::uint16_t& sequence,
                                                        std::size_t maxSegment) {
    maxSegment = std::clamp<std::size_t>(maxSegment, 1, kOtrkMaxSegment);
    std::vector<std::vector<std::uint8_t>> packets;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(maxSegment, payload.size() - offset);
        const bool last = offset + length == payload.size();
        const std::uint16_t lengthField =
            static_cast<std::uint16_t>(length | (last ? kLastSegmentFlag : 0U));
        std::vector<std::uint8_t> packet(kOtrkHeaderSize + length);
        std::copy(std::begin(kIdentifier), std::end(kIdentifier), packet.begin());
        packet[4] = 0;
        packet[5] = static_cast<std::uint8_t>(encoding);
        packet[6] = static_cast<std::uint8_t>(sequence >> 8);
        packet[7] = static_cast<std::uint8_t>(sequence);
        const auto offset32 = static_cast<std::uint32_t>(offset);
        packet[8] = static_cast<std::uint8_t>(offset32 >> 24);
        packet[9] = static_cast<std::uint8_t>(offset32 >> 16);
        packet[10] = static_cast<std::uint8_t>(offset32 >> 8);
        packet[11] = static_cast<std::uint8_t>(offset32);
        packet[12] = static_cast<std::uint8_t>(lengthField >> 8);
        packet[13] = static_cast<std::uint8_t>(lengthField);
        std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(offset), length,
                    packet.begin() + kOtrkHeaderSize);
        std::uint16_t sum = Fletcher16(std::span<const std::uint8_t>(packet.data(), 14));
        sum = Fletcher16(std::span<const std::uint8_t>(packet).subspan(kOtrkHeaderSize), sum);
        packet[14] = static_cast<std::uint8_t>(sum >> 8);
        packet[15] = static_cast<std::uint8_t>(sum);
        packets.push_back(std::move(packet));
        ++sequence;
        offset += length;
    } while (offset < payload.size());
    return packets;
}

const char* OtrkErrorText(OtrkError error) noexcept {
    switch (error) {
        case OtrkError::TooShort: return "shorter than the 16-byte header";
        case OtrkError::BadIdentifier: return "not an OTrk packet";
        case OtrkError::BadLength: return "payload length does not match the header";
        case OtrkError::BadChecksum: return "checksum mismatch";
    }
    return "unknown";
}

OtrkParse ParseOtrkPacket(std::span<const std::uint8_t> p) noexcept {
    OtrkParse result;
    if (p.size() < kOtrkHeaderSize) {
        result.error = OtrkError::TooShort;
        return result;
    }
    if (!std::equal(std::begin(kIdentifier), std::end(kIdentifier), p.begin())) {
        result.error = OtrkError::BadIdentifier;
        return result;
    }
    OtrkHeader h;
    h.encoding = p[5];
    h.sequence = static_cast<std::uint16_t>((p[6] << 8) | p[7]);
    h.offset = (std::uint32_t{p[8]} << 24) | (std::uint32_t{p[9]} << 16) |
               (std::uint32_t{p[10]} << 8) | p[11];
    const auto lengthField = static_cast<std::uint16_t>((p[12] << 8) | p[13]);
    h.last = (lengthField & kLastSegmentFlag) != 0;
    h.length = static_cast<std::uint16_t>(lengthField & 0x7FFFU);
    h.checksum = static_cast<std::uint16_t>((p[14] << 8) | p[15]);
    if (p.size() - kOtrkHeaderSize != h.length) {
        result.error = OtrkError::BadLength;
        return result;
    }
    std::uint16_t sum = Fletcher16(p.first(14));
    sum = Fletcher16(p.subspan(kOtrkHeaderSize), sum);
    if (sum != h.checksum) {
        result.error = OtrkError::BadChecksum;
        return result;
    }
    result.header = h;
    result.payload = p.subspan(kOtrkHeaderSize);
    return result;
}

void OtrkReassembler::Drop(OtrkDrop reason) noexcept {
    ++dropped_;
    ++droppedBy_[static_cast<std::size_t>(reason)];
}

std::optional<std::vector<std::uint8_t>> OtrkReassembler::Feed(
    const OtrkHeader& header, std::span<const std::uint8_t> payload) {
    const auto same = [](const OtrkHeader& a, const OtrkHeader& b) {
        return a.encoding == b.encoding && a.sequence == b.sequence && a.offset == b.offset &&
               a.last == b.last && a.length == b.length && a.checksum == b.checksum;
    };
    if (previous_ && same(*previous_, header)) {
        ++repeated_;
        return std::nullopt;
    }
    previous_ = header;
    const bool continues =
        collecting_ && header.offset != 0 && header.offset == collected_.size() &&
        (header.sequence == sequence_ || header.sequence == static_cast<std::uint16_t>(sequence_ + 1)) &&
        header.encoding == encoding_;
    if (!continues) {
        if (collecting_) {
            Drop(OtrkDrop::MissingSegment);  // the payload being collected lost a segment
        }
        collected_.clear();
        collecting_ = false;
        if (header.offset != 0) {
            Drop(OtrkDrop::MissingStart);  // a later segment of a payload whose start is missing
            return std::nullopt;
        }
    }
    if (collected_.size() + payload.size() > maxPayload_) {
        collected_.clear();
        collecting_ = false;
        Drop(OtrkDrop::TooLarge);
        return std::nullopt;
    }
    collected_.insert(collected_.end(), payload.begin(), payload.end());
    encoding_ = header.encoding;
    sequence_ = header.sequence;
    collecting_ = true;
    if (!header.last) {
        return std::nullopt;
    }
    collecting_ = false;
    std::vector<std::uint8_t> whole;
    whole.swap(collected_);
    return whole;
}

}  // namespace Kor::Bridge
