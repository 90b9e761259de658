// The OpenTrackIO sample of a Kor telemetry state: which Kor field goes where, in which unit,
// and when it is left out.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/telemetry.h>

#include "otrk.h"

namespace Kor::Bridge {

// A set of record types, one bit per type number (0 to 27): those applied since the bridge
// started (for the static data), or those of one frame (for the sample's own values).
class SeenTypes {
public:
    void Add(std::span<const Protocol::MessageType> types) noexcept;
    void Add(Protocol::MessageType type) noexcept;
    bool Has(Protocol::MessageType type) const noexcept;

private:
    std::uint32_t bits_ = 0;
};

// Whether a frame of these record types carries a tracking value, which is what makes an
// OpenTrackIO sample or a D1 packet: BasicLens, RawLensEncoderWithMask, PositionalData or
// AxesData. A frame of identity, static or clock records alone makes neither.
bool CarriesTrackingData(const SeenTypes& frame) noexcept;

struct Rational {
    std::uint32_t num = 0;
    std::uint32_t denom = 1;
};

// The frame rate of a Kor project frame-rate code (1 to 5) as a rational: 24000/1001, 24/1,
// 25/1, 30000/1001, 30/1; nothing for 0 (none) and unknown codes.
std::optional<Rational> FrameRateOf(std::uint8_t projectFps) noexcept;

struct LensDistortion;

// What a sample says about itself, and what the bridge derives once for many samples.
struct SampleHeader {
    std::string sourceId;   // "urn:uuid:..."
    std::string sampleId;   // "urn:uuid:...", fresh per sample
    std::uint32_t sourceNumber = 1;
    std::uint32_t sequenceNumber = 0;  // counts samples
    std::string label;  // static.camera.label; empty: the product name and serial
    // lens.distortion of the last ZeissZdData record (null: none to write).
    const LensDistortion* distortion = nullptr;
};

// The OpenTrackIO 1.0 sample of one Kor frame: `state` is the decoder's state after it,
// `seen` the record types applied so far and `frame` those of the frame itself. The per-sample
// values (timing.sampleTimestamp and mode, timing.timecode, tracker.recording, lens,
// transforms) come only from records of the frame: a value whose record the frame did not
// carry is left out, as is one that is not available (its valid flag clear or a value the
// schema cannot take). The static data and the frame rates are the state's: whatever record
// carried them last, once one has arrived.
nlohmann::ordered_json OpenTrackSample(const Protocol::TelemetryData& state,
                                       const SeenTypes& seen, const SeenTypes& frame,
                                       const SampleHeader& header);

// The payload bytes of that sample, written directly as JSON text or CBOR (the same sample as
// OpenTrackSample, without building a tree).
std::vector<std::uint8_t> SamplePayload(const Protocol::TelemetryData& state,
                                        const SeenTypes& seen, const SeenTypes& frame,
                                        const SampleHeader& header, OtrkEncoding encoding);

// Copies the fields the static block is written from (camera and lens identity, focal
// range, sensor size) from one state into another.
void CopyStaticData(const Protocol::TelemetryData& from, Protocol::TelemetryData& to);

// The payload bytes of a sample tree: JSON text or CBOR.
std::vector<std::uint8_t> EncodeSample(const nlohmann::ordered_json& sample,
                                       OtrkEncoding encoding);

// A wire string as a schema string: bytes that are not UTF-8 become U+FFFD; a string that
// is empty or only white space gives nothing.
std::optional<std::string> CleanText(const std::string& bytes);

// The bridge's identity as a source. The sourceId is settled by the first call of SourceId:
// the name-based UUID of the camera's serial when the state holds one, otherwise the
// name-based UUID of `fallbackName` (the bridge's set-up: host, input port, source number),
// so that a restarted bridge keeps its identity either way; it then stays for the life of
// the object. Sample ids are random, one per sample.
class SourceIdentity {
public:
    SourceIdentity(std::uint64_t seed, std::string fallbackName);

    const std::string& SourceId(const Protocol::TelemetryData& state);
    bool Settled() const noexcept { return sourceId_.has_value(); }
    std::string NextSampleId();

private:
    std::optional<std::string> sourceId_;
    std::mt19937_64 random_;
    std::string fallbackName_;
};

// The sourceId a bridge set-up gives (a camera's is SourceIdOfCamera).
std::string SourceIdOfSetup(const std::string& setup);

}  // namespace Kor::Bridge
