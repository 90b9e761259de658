// OpenTrackIO samples in: a JSON or CBOR payload as the Kor record of the values Kor can
// carry and the list of record types to send for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/telemetry.h>

namespace Kor::Bridge {

// The Kor side of one sample. `types` lists the records that carry the sample's values, in
// the order a frame holds them: Timecode, ProjectFps, PtpTimestamp, PositionalData,
// AxesData, BasicLens, RawLensEncoderWithMask, then the static ones (LensProperties,
// SensorSize, ProductBrand, ProductName, ProductSerial, LensManufacturer, LensName,
// LensSerial). A value the sample does not have, or has outside what the schema allows,
// leaves its record out; `data` holds the values (with their valid flags) of the records
// listed and defaults elsewhere.
//
// | OpenTrackIO                                   | Kor                                     |
// |-----------------------------------------------|-----------------------------------------|
// | transforms (the whole chain, see opentrackio_pose.h) | PositionalData (mm), AxesData (pan -> yaw, tilt -> pitch, roll) |
// | lens.focusDistance (m)                        | BasicLens focus (mm)                    |
// | lens.pinholeFocalLength (mm)                  | BasicLens zoom                          |
// | lens.tStop, else lens.fStop                   | BasicLens iris                          |
// | lens.encoders (0..1), else lens.rawEncoders   | RawLensEncoderWithMask: focus (1 - v) x 65535, iris and zoom v x 65535, rounded; a raw count as it is up to 65535 |
// | timing.timecode, tracker.recording            | Timecode (and its record flag)          |
// | timing.timecode.frameRate (+ dropFrame), else static.camera.captureFrameRate | ProjectFps (1 to 5) |
// | timing.sampleTimestamp                        | PtpTimestamp                            |
// | static.camera.make, .model, .serialNumber     | ProductBrand, ProductName, ProductSerial |
// | static.lens.make, .model, .serialNumber       | LensManufacturer, LensName, LensSerial  |
// | static.lens.nominalFocalLength (mm)           | LensProperties, shortest = longest      |
// | static.camera.activeSensorPhysicalDimensions, .activeSensorResolution | SensorSize (mm; pixels) |
//
// Kor's fixed-point steps and limits apply: millimetres, degrees and stops are rounded to
// hundredths, and values beyond a field saturate at its end (focus 16777.215 m, focal length
// 167772.15 mm, stop 655.35, position +-21474836 mm, sensor 655.35 mm or 65535 pixels);
// angles beyond +-327.67 degrees are brought back by whole turns, as the Kor encoder does. A
// value that rounds to 0 where Kor's 0 means "not available" (focus, focal length, stop) is
// left out. Strings are cut to Kor's 65 bytes, between UTF-8 characters. A timecode whose
// frame number does not exist at its rate, or above 79 (Kor's largest), is left out; a frame
// rate Kor has no code for leaves ProjectFps out; nanoseconds of 10^9 or more leave the time
// stamp out. Raw counts above 65535 and normalised encoder values outside 0..1 are left out.
// The record flag travels in Timecode: a sample without a timecode Kor can carry loses it.
// A chain with an entry that is not an object, or a component that is not a number, gives
// neither position nor orientation; missing components count as 0 (scale 1), and a chain
// without any translation (rotation) component gives no PositionalData (AxesData).
struct KorFromOpenTrack {
    Protocol::TelemetryData data;
    std::vector<Protocol::MessageType> types;
    std::optional<std::uint32_t> sourceNumber;  // the sample's sourceNumber, when it has one
};

// A sample, or why a payload gave none.
struct OpenTrackRead {
    std::optional<KorFromOpenTrack> sample;
    std::string error;
};

// The deepest nesting of arrays, maps and tags a CBOR payload may have: the CBOR reader
// recurses per level, so deeper input is refused before it is read. (A sample nests about
// five levels.)
inline constexpr std::size_t kMaxCborDepth = 64;

// Reads one whole payload of the OTrk encoding byte `encoding` (0x01 JSON text, 0x02 CBOR).
// Never throws anything but std::bad_alloc and reads nothing outside the payload: text that
// is not JSON, bytes that are not CBOR, nesting deeper than kMaxCborDepth, another encoding,
// or a payload that is not an object give an error naming the reason.
OpenTrackRead ReadOpenTrackPayload(std::span<const std::uint8_t> payload, std::uint8_t encoding);

// The Kor record of a parsed sample; the error when it is not an object. Never throws
// anything but std::bad_alloc.
OpenTrackRead KorFromOpenTrackSample(const nlohmann::json& sample);

// Whether the bytes hold no CBOR item nested deeper than `maxDepth` arrays, maps and tags.
// Malformed or cut-short bytes answer by what was read before the fault (the CBOR reader
// then reports the fault itself).
bool CborNestingWithin(std::span<const std::uint8_t> bytes, std::size_t maxDepth) noexcept;

// Whether a record type carries static data (identity strings, lens properties, sensor size)
// rather than the values of the moment.
bool IsStaticRecord(Protocol::MessageType type) noexcept;

}  // namespace Kor::Bridge
