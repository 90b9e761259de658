// TelemetryData::Encode: records in list order, framed for UDP, Serial or nothing.
#include <kor/telemetry.h>

#include "framing.h"
#include "records.h"

namespace Kor::Protocol {
namespace detail {

std::uint8_t Checksum(const std::uint8_t* first, const std::uint8_t* last) noexcept {
    std::uint8_t sum = 0;
    for (; first != last; ++first) {
        sum = static_cast<std::uint8_t>(sum + *first);
    }
    return static_cast<std::uint8_t>(~sum);
}

void StuffInPlace(std::vector<std::uint8_t>& frame, std::size_t begin) noexcept {
    std::size_t next = frame.size();  // position of the next code byte (or the end)
    for (std::size_t i = next; i-- > begin + 1;) {
        if (frame[i] == 0) {
            frame[i] = static_cast<std::uint8_t>(next - i);
            next = i;
        }
    }
    frame[begin] = static_cast<std::uint8_t>(next - begin);
}

}  // namespace detail

std::vector<std::uint8_t> TelemetryData::Encode(TransmissionType transmissionType,
                                                std::vector<MessageType> messageTypes) const {
    const bool udp = transmissionType == TransmissionType::UDP;
    const bool serial = transmissionType == TransmissionType::Serial;

    std::vector<std::uint8_t> out;
    std::size_t recordsBegin = 0;
    if (udp) {
        out.reserve(detail::kMaxUdpFrame);
        out.assign(detail::kUdpHeader.begin(), detail::kUdpHeader.end());
        recordsBegin = out.size();
    } else if (serial) {
        out.reserve(detail::kMaxSerialFrame);
        out.assign({0x00, 0x00});  // opening delimiter, then the leading code byte
        recordsBegin = out.size();
    } else {
        out.reserve(detail::kMaxUdpFrame);
    }
    const bool limited = udp || serial;

    for (MessageType type : messageTypes) {
        const detail::Record record = detail::BuildRecord(*this, type);
        if (record.empty()) {
            continue;
        }
        // A record that would overflow the frame is left out; later, shorter ones may fit.
        if (limited && out.size() - recordsBegin + record.size() > detail::kMaxRecordBytes) {
            continue;
        }
        out.insert(out.end(), record.data(), record.data() + record.size());
    }

    if (serial) {
        out.push_back(detail::Checksum(out.data() + recordsBegin, out.data() + out.size()));
        detail::StuffInPlace(out, recordsBegin - 1);
        out.push_back(0x00);
    }
    return out;
}

}  // namespace Kor::Protocol
