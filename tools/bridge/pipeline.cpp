// Per-datagram work of the bridge.
#include "pipeline.h"

#include "opentrackio_identity.h"

namespace Kor::Bridge {

using Protocol::FrameReport;
using Protocol::FrameStatus;
using Protocol::MessageType;

KorInput::KorInput(const Settings& settings)
    : settings_(settings), identity_(settings.seed, settings.setupName) {}

Checked KorInput::Feed(std::span<const std::uint8_t> datagram, Clock::time_point now,
                       std::vector<Outgoing>& out) {
    // A serial datagram may finish several frames (or none, or the rest of one begun in an
    // earlier datagram): each applied frame is handled with the state right after it.
    const FrameStatus status = device_.Update(datagram, [&](const FrameReport& report) {
        if (report.Applied()) {
            OnApplied(report.messages, State(), now, out);
        }
    });
    if (!FrameReport{status, {}}.Applied()) {
        Tick(now, out);
        return Checked::Refused(std::string(Protocol::Name(status)));
    }
    return {};
}

void KorInput::OnFrame(const FrameReport& report, const Protocol::TelemetryData& state,
                       Clock::time_point now, std::vector<Outgoing>& out) {
    if (report.Applied()) {
        OnApplied(report.messages, state, now, out);
    } else {
        Tick(now, out);
    }
}

void KorInput::OnApplied(Protocol::MessageTypes types, const Protocol::TelemetryData& state,
                         Clock::time_point now, std::vector<Outgoing>& out) {
    SeenTypes frame;
    frame.Add(types);
    seen_.Add(types);
    if (!holdUntil_) {
        holdUntil_ = now + settings_.serialWait;
    }
    const bool holding = settings_.openTrack && !identity_.Settled();
    if (holding) {
        newest_ = state;
    }
    const bool serial = IdentityText(state.productSerial).has_value();
    if (!CarriesTrackingData(frame)) {
        // Nothing to send; the serial it may have brought ends the hold.
        if (serial && !held_.empty()) {
            Release(state, out);
        } else {
            Tick(now, out);
        }
        return;
    }
    std::vector<std::uint8_t> freed;
    if (settings_.freed) {
        const auto packet = EncodeFreed(FreedFromKor(state, settings_.cameraId, *settings_.freed));
        freed.assign(packet.begin(), packet.end());
    }
    if (!holding) {
        if (settings_.openTrack) {
            AppendSample(state, frame, out);
        }
        if (!freed.empty()) {
            AppendFreed(std::move(freed), out);
        }
        return;
    }
    held_.push_back({state, frame, std::move(freed)});
    if (serial || held_.size() >= settings_.maxHeld) {
        Release(state, out);
    } else {
        Tick(now, out);
    }
}

void KorInput::Tick(Clock::time_point now, std::vector<Outgoing>& out) {
    if (!held_.empty() && now >= *holdUntil_) {
        Release(*newest_, out);
    }
}

void KorInput::Flush(std::vector<Outgoing>& out) {
    if (!held_.empty()) {
        Release(*newest_, out);
    }
}

void KorInput::Release(const Protocol::TelemetryData& newest, std::vector<Outgoing>& out) {
    // The newest state holds the serial if any frame so far carried it, and the static data
    // as it is now known: every held sample goes out with both.
    sourceId_ = identity_.SourceId(newest);
    for (Held& h : held_) {
        CopyStaticData(newest, h.state);
        AppendSample(h.state, h.frame, out);
        if (!h.freed.empty()) {
            AppendFreed(std::move(h.freed), out);
        }
    }
    held_.clear();
    newest_.reset();
}

void KorInput::AppendFreed(std::vector<std::uint8_t> packet, std::vector<Outgoing>& out) {
    ++freedPackets_;
    out.push_back({Output::Freed, std::move(packet)});
}

void KorInput::AppendSample(const Protocol::TelemetryData& state, const SeenTypes& frame,
                            std::vector<Outgoing>& out) {
    SampleHeader header;
    header.sourceId = identity_.SourceId(state);
    sourceId_ = header.sourceId;
    header.sampleId = identity_.NextSampleId();
    header.sourceNumber = settings_.sourceNumber;
    header.sequenceNumber = samples_++;
    header.label = settings_.label;
    if (seen_.Has(MessageType::ZeissZdData)) {
        header.distortion = DistortionOf(state.zeissZd);
    }
    const auto payload = SamplePayload(state, seen_, frame, header, *settings_.openTrack);
    for (auto& packet :
         BuildOtrkPackets(payload, *settings_.openTrack, sequence_, settings_.maxSegment)) {
        out.push_back({Output::OpenTrack, std::move(packet)});
    }
}

const LensDistortion* KorInput::DistortionOf(const Protocol::TelemetryData::ZeissZdValues& zd) {
    if (fittedDeviations_ != zd.radialDistortion) {
        fittedDeviations_ = zd.radialDistortion;
        distortion_ = DistortionFromZeissZd(zd);
    }
    return distortion_ ? &*distortion_ : nullptr;
}

Checked FreedInput::Feed(std::span<const std::uint8_t> datagram, Clock::time_point now,
                         std::vector<std::uint8_t>& frame) const {
    const FreedParse parsed = ParseFreed(datagram);
    if (!parsed.packet) {
        return Checked::Refused(std::string(FreedErrorText(parsed.error)));
    }
    // A steady clock does not go back; a time before the start (none is passed) counts as 0.
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - start_);
    const std::uint64_t ticks =
        elapsed.count() > 0 ? static_cast<std::uint64_t>(elapsed.count()) : 0;
    const KorFromFreed kor = KorFromFreedPacket(*parsed.packet, lens_, ticks, projectFps_);
    frame = kor.data.Encode(framing_, kor.types);
    return {};
}

}  // namespace Kor::Bridge
