// What the bridge does with one received datagram, without the network: Kor frames in,
// OpenTrackIO and FreeD packets out; FreeD packets in, Kor frames out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "checked.h"
#include "freed_convert.h"
#include "lens_distortion.h"
#include "opentrackio.h"
#include "otrk.h"

namespace Kor::Bridge {

enum class Output { OpenTrack, Freed };

struct Outgoing {
    Output output;
    std::vector<std::uint8_t> bytes;
};

// Kor frames in, of one source: every frame the decoder applies that carries a tracking value
// (lens, position or orientation records, see CarriesTrackingData) yields one OpenTrackIO
// sample (one or more packets) with that frame's own time and values, and one D1 packet. A
// frame of identity, static or clock records alone yields nothing; the decoder's state keeps
// what it carried for the samples that follow.
//
// A source may send its serial, which names the sourceId, only once a second. So that the
// sourceId comes from the serial whenever the source has one, the output of the first frames
// is held (in order) until a frame brings the serial, `serialWait` has passed since the first
// applied frame, or `maxHeld` frames are held; the sourceId is then settled on the newest
// state and everything held goes out, with the static data of the newest state. Without
// OpenTrackIO output nothing is held.
//
// The frames come either as datagrams that the object decodes itself (Feed: one source), or
// decoded by the caller, as each frame's report and the source's state after it (OnFrame:
// one object per source of a router).
class KorInput {
public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        std::optional<OtrkEncoding> openTrack;  // OpenTrackIO output and its encoding
        std::uint32_t sourceNumber = 1;
        std::string label;               // static.camera.label; empty: the product name and serial
        std::optional<FreedLens> freed;  // FreeD output and its lens convention
        std::uint8_t cameraId = 1;
        std::uint64_t seed = 0;  // for the random UUIDs
        std::string setupName;   // names the bridge's sourceId when the camera serial is unknown
        std::size_t maxSegment = kOtrkMaxSegment;
        // Identity strings come once a second: a little more than a second catches the serial
        // wherever in that second the first frame fell.
        Clock::duration serialWait = std::chrono::milliseconds(1100);
        std::size_t maxHeld = 1024;
    };

    explicit KorInput(const Settings& settings);

    // Decodes one datagram received at `now` and appends what is to be sent to `out`: the
    // output of every frame it finishes (a serial datagram may finish several, or complete
    // one begun in an earlier datagram). Refused, with the decoder's name of the last
    // frame's status ("Incomplete" when it finished none), unless its last frame was applied.
    Checked Feed(std::span<const std::uint8_t> datagram, Clock::time_point now,
                 std::vector<Outgoing>& out);

    // One frame of this source decoded by the caller at `now`: its report and the source's
    // state after it. Appends the output of an applied frame to `out`; a refused one yields
    // nothing but may end the wait for the serial.
    void OnFrame(const Protocol::FrameReport& report, const Protocol::TelemetryData& state,
                 Clock::time_point now, std::vector<Outgoing>& out);

    // Appends what is held to `out` once the wait for the serial is over at `now`. Call it
    // when no datagram came, so that a source that falls silent is not held back.
    void Tick(Clock::time_point now, std::vector<Outgoing>& out);

    // Appends whatever is held to `out`, at the end of a run.
    void Flush(std::vector<Outgoing>& out);

    // When Tick releases what is held; nothing while nothing is held.
    std::optional<Clock::time_point> HoldDeadline() const {
        return held_.empty() ? std::nullopt : holdUntil_;
    }

    // The state of the frames given to Feed.
    const Protocol::TelemetryData& State() const { return *device_.GetCurrentState(); }

    // The sourceId once settled (by the first sample that went out).
    const std::optional<std::string>& SettledSourceId() const { return sourceId_; }
    // Samples and D1 packets made so far (held ones not yet).
    std::uint64_t Samples() const noexcept { return samples_; }
    std::uint64_t FreedPackets() const noexcept { return freedPackets_; }
    const Settings& Setup() const noexcept { return settings_; }

private:
    // A frame's output waiting for the sourceId: the state after it and its record types,
    // and its D1 packet if there is one.
    struct Held {
        Protocol::TelemetryData state;
        SeenTypes frame;
        std::vector<std::uint8_t> freed;
    };

    // One applied frame with these record types; `state` is the one after it.
    void OnApplied(Protocol::MessageTypes types, const Protocol::TelemetryData& state,
                   Clock::time_point now, std::vector<Outgoing>& out);
    void AppendSample(const Protocol::TelemetryData& state, const SeenTypes& frame,
                      std::vector<Outgoing>& out);
    void AppendFreed(std::vector<std::uint8_t> packet, std::vector<Outgoing>& out);
    // The distortion of `zd`, fitted again only when its deviations changed.
    const LensDistortion* DistortionOf(const Protocol::TelemetryData::ZeissZdValues& zd);
    // Settles the sourceId on `newest` and appends everything held.
    void Release(const Protocol::TelemetryData& newest, std::vector<Outgoing>& out);

    Settings settings_;
    Protocol::Device device_;  // for Feed
    SeenTypes seen_;
    SourceIdentity identity_;
    std::optional<std::string> sourceId_;
    std::uint32_t samples_ = 0;
    std::uint64_t freedPackets_ = 0;
    std::uint16_t sequence_ = 0;
    std::vector<Held> held_;
    // The newest state while output is held: what Tick and Flush settle the sourceId on.
    std::optional<Protocol::TelemetryData> newest_;
    std::optional<Clock::time_point> holdUntil_;  // set by the first applied frame
    std::optional<std::array<float, 6>> fittedDeviations_;
    std::optional<LensDistortion> distortion_;  // of fittedDeviations_
};

// FreeD packets in: every valid D1 packet yields one Kor frame. Its tick count is the
// microseconds from `start` (the bridge's start) to the packet's arrival, so that it counts
// from 0 whatever the machine's uptime and reaches the 40-bit field's end only after 12 days
// of running.
class FreedInput {
public:
    using Clock = std::chrono::steady_clock;

    FreedInput(FreedLens lens, Protocol::TransmissionType framing, std::uint8_t projectFps,
               Clock::time_point start)
        : lens_(lens), framing_(framing), projectFps_(projectFps), start_(start) {}

    // Checks one datagram, received at `now`; a valid D1 packet becomes one Kor frame in
    // `frame`. Refused with the packet's fault; ok when `frame` holds a frame to send.
    Checked Feed(std::span<const std::uint8_t> datagram, Clock::time_point now,
                 std::vector<std::uint8_t>& frame) const;

private:
    FreedLens lens_;
    Protocol::TransmissionType framing_;
    std::uint8_t projectFps_;
    Clock::time_point start_;
};

}  // namespace Kor::Bridge
