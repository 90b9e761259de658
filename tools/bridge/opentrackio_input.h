// OpenTrackIO packets in, Kor frames out: reassembly per sender, sample reading, the source
// filter, and the packing of a sample's records into frames.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <kor/telemetry.h>

#include "checked.h"
#include "opentrackio_reader.h"
#include "otrk.h"

namespace Kor::Bridge {

// The records of one state as Kor frames: in list order, as many per frame as fit (a UDP
// frame holds 253 bytes of records, a serial frame 252 and its checksum), so that none is
// left out for want of room (one frame with all the identity strings would not hold them).
// Records the encoder leaves out (an empty string) take no room. Nothing for an empty list.
std::vector<std::vector<std::uint8_t>> KorFrames(const Protocol::TelemetryData& data,
                                                 const std::vector<Protocol::MessageType>& types,
                                                 Protocol::TransmissionType framing);

// What becomes of OpenTrackIO datagrams. Senders are told apart by a key the caller gives
// (such as the address and port a datagram came from); each has its own reassembly, for the
// last 16 senders heard. A sample's static records (identity strings, lens properties,
// sensor size; IsStaticRecord) go out when one of their values changed since they last went
// out, or `staticInterval` after that (Kor sources send them about once a second; samples
// carry them in every sample); the other records go out with every sample.
class OpenTrackInput {
public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        std::optional<std::uint32_t> sourceNumber;  // only samples of this source
        Protocol::TransmissionType framing = Protocol::TransmissionType::UDP;
        Clock::duration staticInterval = std::chrono::seconds(1);
        std::size_t maxPayload = 1 << 20;  // per sender
    };

    explicit OpenTrackInput(const Settings& settings) : settings_(settings) {}

    // Feeds one datagram from `sender`, received at `now`, and appends the Kor frames of the
    // sample it completed to `frames`. Refused with why the datagram gave no frame: a faulty
    // packet ("OTrk: checksum mismatch", ...), a repeat of the packet before, a sample that
    // cannot be read, one of another source (or without a sourceNumber while one is asked
    // for), a reserved sourceNumber (0 or 201 to 255, which receivers discard), or a sample
    // with nothing Kor carries. Ok when frames were appended, when the packet is
    // a segment of a sample not yet complete (or one whose start is missing: counted in
    // Dropped), and when the sample holds only static records that are not due again.
    Checked Feed(std::span<const std::uint8_t> datagram, std::uint64_t sender,
                 Clock::time_point now, std::vector<std::vector<std::uint8_t>>& frames);

    // Segments thrown away (see OtrkReassembler), over all senders, in all and by reason.
    std::uint64_t Dropped() const noexcept;
    std::uint64_t Dropped(OtrkDrop reason) const noexcept;

private:
    struct Source {
        std::uint64_t key = 0;
        std::uint64_t lastUsed = 0;
        OtrkReassembler reassembler;
    };

    OtrkReassembler& ReassemblerOf(std::uint64_t sender);
    std::vector<Protocol::MessageType> WithStaticDue(const KorFromOpenTrack& sample,
                                                     Clock::time_point now);

    Settings settings_;
    std::vector<Source> sources_;
    std::uint64_t uses_ = 0;
    std::uint64_t droppedBy_[3] = {};  // of reassemblers no longer kept
    Protocol::TelemetryData staticSent_;
    std::vector<Protocol::MessageType> staticTypesSent_;
    std::optional<Clock::time_point> staticSentAt_;
};

}  // namespace Kor::Bridge
