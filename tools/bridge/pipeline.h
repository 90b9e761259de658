// What the bridge does with one received datagram, without the network: Kor frames in,
// OpenTrackIO and FreeD packets out; FreeD packets in, Kor frames out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "freed_convert.h"
#include "opentrackio.h"
#include "otrk.h"

namespace Kor::Bridge {

enum class Output { OpenTrack, Freed };

struct Outgoing {
    Output output;
    std::vector<std::uint8_t> bytes;
};

// Kor frames in: every frame the decoder applies yields one OpenTrackIO sample (one or more
// packets) of the state after it, and, when it carries position, orientation or lens data,
// one D1 packet.
class KorInput {
public:
    struct Settings {
        std::optional<OtrkEncoding> openTrack;  // OpenTrackIO output and its encoding
        std::uint32_t sourceNumber = 1;
        std::optional<FreedLens> freed;  // FreeD output and its lens convention
        std::uint8_t cameraId = 1;
        std::uint64_t seed = 0;  // for the random UUIDs
        std::string setupName;   // names the bridge's sourceId when the camera serial is unknown
        std::size_t maxSegment = kOtrkMaxSegment;
    };

    explicit KorInput(const Settings& settings);

    // Decodes one datagram and appends what is to be sent to `out`. Returns why the datagram
    // was refused (the decoder's status name), or nothing when it was applied.
    std::optional<std::string> Feed(const std::vector<std::uint8_t>& datagram,
                                     std::vector<Outgoing>& out);

    const Protocol::TelemetryData& State() const { return *device_.GetCurrentState(); }

private:
    Settings settings_;
    Protocol::Device device_;
    SeenTypes seen_;
    SourceIdentity identity_;
    std::uint32_t samples_ = 0;
    std::uint16_t sequence_ = 0;
};

// FreeD packets in: every valid D1 packet yields one Kor frame.
class FreedInput {
public:
    FreedInput(FreedLens lens, Protocol::TransmissionType framing, std::uint8_t projectFps)
        : lens_(lens), framing_(framing), projectFps_(projectFps) {}

    // Checks one datagram; a valid D1 packet becomes one Kor frame in `frame`. Returns why
    // the datagram was refused, or nothing when `frame` holds a frame to send.
    std::optional<std::string> Feed(std::span<const std::uint8_t> datagram,
                                    std::uint64_t tickCountMicroseconds,
                                    std::vector<std::uint8_t>& frame) const;

private:
    FreedLens lens_;
    Protocol::TransmissionType framing_;
    std::uint8_t projectFps_;
};

}  // namespace Kor::Bridge
