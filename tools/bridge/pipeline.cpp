// Per-datagram work of the bridge.
#include "pipeline.h"

#include "frames.h"
#include "names.h"

namespace Kor::Bridge {

using Protocol::FrameStatus;
using Protocol::MessageType;

namespace {

// The record types of what the decoder just applied: the records of a UDP frame, or those
// of the serial frames a datagram carried.
std::vector<MessageType> RecordTypes(const std::vector<std::uint8_t>& datagram) {
    if (KorMonitor::IsDatagram(datagram)) {
        return KorMonitor::DatagramRecordTypes(datagram);
    }
    std::vector<MessageType> types;
    KorMonitor::SerialSplitter splitter;
    splitter.Feed(datagram, [&](std::span<const std::uint8_t> frame) {
        const auto records = KorMonitor::UnstuffSerialRecords(frame);
        const auto more = KorMonitor::ListRecordTypes(records);
        types.insert(types.end(), more.begin(), more.end());
    });
    return types;
}

}  // namespace

KorInput::KorInput(const Settings& settings) : settings_(settings), identity_(settings.seed, settings.setupName) {}

std::optional<std::string> KorInput::Feed(const std::vector<std::uint8_t>& datagram,
                                          std::vector<Outgoing>& out) {
    const FrameStatus status = device_.Update(datagram);
    if (!KorMonitor::IsApplied(status)) {
        return std::string(KorMonitor::FrameStatusName(status));
    }
    const std::vector<MessageType> types = RecordTypes(datagram);
    seen_.Add(types);
    const Protocol::TelemetryData& state = State();
    if (settings_.openTrack) {
        SampleHeader header;
        header.sourceId = identity_.SourceId(state);
        header.sampleId = identity_.NextSampleId();
        header.sourceNumber = settings_.sourceNumber;
        header.sequenceNumber = samples_++;
        const auto payload = SamplePayload(state, seen_, header, *settings_.openTrack);
        for (auto& packet :
             BuildOtrkPackets(payload, *settings_.openTrack, sequence_, settings_.maxSegment)) {
            out.push_back({Output::OpenTrack, std::move(packet)});
        }
    }
    if (settings_.freed && CarriesFreedData(types)) {
        const auto packet = EncodeFreed(FreedFromKor(state, settings_.cameraId, *settings_.freed));
        out.push_back({Output::Freed, {packet.begin(), packet.end()}});
    }
    return std::nullopt;
}

std::optional<std::string> FreedInput::Feed(std::span<const std::uint8_t> datagram,
                                            std::uint64_t tickCountMicroseconds,
                                            std::vector<std::uint8_t>& frame) const {
    const FreedParse parsed = ParseFreed(datagram);
    if (!parsed.packet) {
        return std::string(FreedErrorText(parsed.error));
    }
    const KorFromFreed kor =
        KorFromFreedPacket(*parsed.packet, lens_, tickCountMicroseconds, projectFps_);
    frame = kor.data.Encode(framing_, kor.types);
    return std::nullopt;
}

}  // namespace Kor::Bridge
