// OpenTrackIO datagrams -> Kor frames.
#include "opentrackio_input.h"

#include <algorithm>
#include <limits>

namespace Kor::Bridge {

using Protocol::MessageType;
using Protocol::TelemetryData;
using Protocol::TransmissionType;

namespace {

constexpr std::size_t kMaxSenders = 16;
// Record bytes a frame holds: UDP 253; serial 253 with the checksum byte.
constexpr std::size_t kUdpRecordBytes = 253;
constexpr std::size_t kSerialRecordBytes = 252;
// Any framing value other than UDP and Serial gives the records alone.
constexpr auto kRecordsAlone = static_cast<TransmissionType>(2);

// Whether two states hold the same values of a static record.
bool SameStatic(MessageType type, const TelemetryData& a, const TelemetryData& b) {
    switch (type) {
        case MessageType::LensProperties:
            return a.minFocalLength == b.minFocalLength && a.maxFocalLength == b.maxFocalLength;
        case MessageType::SensorSize:
            return a.sensorWidth == b.sensorWidth && a.sensorHeight == b.sensorHeight &&
                   a.clipWidth == b.clipWidth && a.clipHeight == b.clipHeight;
        case MessageType::ProductBrand: return a.productBrand == b.productBrand;
        case MessageType::ProductName: return a.productName == b.productName;
        case MessageType::ProductSerial: return a.productSerial == b.productSerial;
        case MessageType::LensManufacturer: return a.lensManufacturer == b.lensManufacturer;
        case MessageType::LensName: return a.lensName == b.lensName;
        case MessageType::LensSerial: return a.lensSerial == b.lensSerial;
        default: return true;
    }
}

// Copies the values of a static record from one state to another.
void CopyStatic(MessageType type, const TelemetryData& from, TelemetryData& to) {
    switch (type) {
        case MessageType::LensProperties:
            to.minFocalLength = from.minFocalLength;
            to.maxFocalLength = from.maxFocalLength;
            break;
        case MessageType::SensorSize:
            to.sensorWidth = from.sensorWidth;
            to.sensorHeight = from.sensorHeight;
            to.clipWidth = from.clipWidth;
            to.clipHeight = from.clipHeight;
            break;
        case MessageType::ProductBrand: to.productBrand = from.productBrand; break;
        case MessageType::ProductName: to.productName = from.productName; break;
        case MessageType::ProductSerial: to.productSerial = from.productSerial; break;
        case MessageType::LensManufacturer: to.lensManufacturer = from.lensManufacturer; break;
        case MessageType::LensName: to.lensName = from.lensName; break;
        case MessageType::LensSerial: to.lensSerial = from.lensSerial; break;
        default: break;
    }
}

bool Contains(const std::vector<MessageType>& types, MessageType type) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

}  // namespace

std::vector<std::vector<std::uint8_t>> KorFrames(const TelemetryData& data,
                                                 const std::vector<MessageType>& types,
                                                 TransmissionType framing) {
    std::vector<std::vector<std::uint8_t>> frames;
    const std::size_t budget = framing == TransmissionType::UDP      ? kUdpRecordBytes
                               : framing == TransmissionType::Serial ? kSerialRecordBytes
                                                                     : std::numeric_limits<std::size_t>::max();
    std::vector<MessageType> group;
    std::size_t used = 0;
    const auto flush = [&] {
        if (!group.empty()) {
            frames.push_back(data.Encode(framing, group));
            group.clear();
            used = 0;
        }
    };
    for (const MessageType type : types) {
        const std::size_t size = data.Encode(kRecordsAlone, {type}).size();
        if (size == 0) {
            continue;
        }
        if (used + size > budget) {
            flush();
        }
        group.push_back(type);
        used += size;
    }
    flush();
    return frames;
}

OtrkReassembler& OpenTrackInput::ReassemblerOf(std::uint64_t sender) {
    ++uses_;
    for (Source& source : sources_) {
        if (source.key == sender) {
            source.lastUsed = uses_;
            return source.reassembler;
        }
    }
    if (sources_.size() == kMaxSenders) {
        // The sender heard from longest ago makes room; its counts are kept.
        const auto oldest = std::min_element(
            sources_.begin(), sources_.end(),
            [](const Source& a, const Source& b) { return a.lastUsed < b.lastUsed; });
        for (const OtrkDrop reason : {OtrkDrop::MissingSegment, OtrkDrop::MissingStart,
                                      OtrkDrop::TooLarge}) {
            droppedBy_[static_cast<std::size_t>(reason)] += oldest->reassembler.Dropped(reason);
        }
        sources_.erase(oldest);
    }
    sources_.push_back(Source{sender, uses_, OtrkReassembler(settings_.maxPayload)});
    return sources_.back().reassembler;
}

std::uint64_t OpenTrackInput::Dropped(OtrkDrop reason) const noexcept {
    std::uint64_t total = droppedBy_[static_cast<std::size_t>(reason)];
    for (const Source& source : sources_) {
        total += source.reassembler.Dropped(reason);
    }
    return total;
}

std::uint64_t OpenTrackInput::Dropped() const noexcept {
    return Dropped(OtrkDrop::MissingSegment) + Dropped(OtrkDrop::MissingStart) +
           Dropped(OtrkDrop::TooLarge);
}

std::vector<MessageType> OpenTrackInput::WithStaticDue(const KorFromOpenTrack& sample,
                                                       Clock::time_point now) {
    bool due = !staticSentAt_ || now - *staticSentAt_ >= settings_.staticInterval;
    bool any = false;
    for (const MessageType type : sample.types) {
        if (IsStaticRecord(type)) {
            any = true;
            due = due || !Contains(staticTypesSent_, type) ||
                  !SameStatic(type, sample.data, staticSent_);
        }
    }
    std::vector<MessageType> types;
    for (const MessageType type : sample.types) {
        if (!IsStaticRecord(type) || due) {
            types.push_back(type);
        }
    }
    if (any && due) {
        staticTypesSent_.clear();
        for (const MessageType type : sample.types) {
            if (IsStaticRecord(type)) {
                CopyStatic(type, sample.data, staticSent_);
                staticTypesSent_.push_back(type);
            }
        }
        staticSentAt_ = now;
    }
    return types;
}

Checked OpenTrackInput::Feed(std::span<const std::uint8_t> datagram, std::uint64_t sender,
                             Clock::time_point now,
                             std::vector<std::vector<std::uint8_t>>& frames) {
    const OtrkParse packet = ParseOtrkPacket(datagram);
    if (!packet.header) {
        return Checked::Refused(std::string("OTrk: ") + OtrkErrorText(packet.error));
    }
    OtrkReassembler& reassembler = ReassemblerOf(sender);
    const std::uint64_t repeats = reassembler.Repeated();
    const auto payload = reassembler.Feed(*packet.header, packet.payload);
    if (!payload) {
        if (reassembler.Repeated() != repeats) {
            return Checked::Refused(std::string("OTrk: a repeat of the packet before"));
        }
        return {};  // a segment kept for later, or one without its start (counted)
    }
    const OpenTrackRead read = ReadOpenTrackPayload(*payload, packet.header->encoding);
    if (!read.sample) {
        return Checked::Refused("sample: " + read.error);
    }
    const KorFromOpenTrack& sample = *read.sample;
    if (sample.sourceNumber && (*sample.sourceNumber == 0 ||
                                (*sample.sourceNumber >= 201 && *sample.sourceNumber <= 255))) {
        return Checked::Refused("sample: sourceNumber " + std::to_string(*sample.sourceNumber) +
                                " is reserved");
    }
    if (settings_.sourceNumber && sample.sourceNumber != settings_.sourceNumber) {
        return Checked::Refused(
            sample.sourceNumber ? "sample: sourceNumber " + std::to_string(*sample.sourceNumber) +
                                      ", not " + std::to_string(*settings_.sourceNumber)
                                : std::string("sample: no sourceNumber"));
    }
    if (sample.types.empty()) {
        return Checked::Refused(std::string("sample: nothing Kor carries"));
    }
    const auto korFrames = KorFrames(sample.data, WithStaticDue(sample, now), settings_.framing);
    frames.insert(frames.end(), korFrames.begin(), korFrames.end());
    return {};
}

}  // namespace Kor::Bridge
