// Fuzz target: the parsers kor-bridge runs on received datagrams, FreeD D1 and the OTrk
// packet header, the OTrk segment reassembly, the reading of OpenTrackIO samples and the
// lens distortion fit.
//
// Input: the whole input is one datagram for both parsers and one sample payload, read as
// JSON and as CBOR; its first 20 bytes are also five distortion percentages (raw float bits).
// Then it is read again as a sequence of packets, each a length byte and that many bytes, fed
// through the OTrk parser into one reassembler, and into the OpenTrackIO input (the lowest
// bit of each header's reserved byte choosing one of two senders).
//
// Checks: a parsed D1 packet encodes back to the same 29 bytes and becomes a Kor frame (both
// lens conventions) that the Kor decoder applies with the packet's values; a parsed OTrk
// packet's payload is the input after the header, and a single segment built again from its
// fields is the same packet; the reassembler only hands on payloads made of whole segments
// and never more than its limit; a payload gives a sample or a reason, and a sample's records
// go out in frames a decoder applies with the sample's values (within Kor's step, never
// wrapped); the OpenTrackIO input only puts out such frames; a distortion result has finite
// coefficients, a D-U entry only within its tolerance, and none for percentages that are not
// numbers or beyond +-100.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include <kor/device.h>

#include "freed.h"
#include "freed_convert.h"
#include "fuzz_support.h"
#include "lens_distortion.h"
#include "opentrackio_input.h"
#include "opentrackio_reader.h"
#include "otrk.h"

namespace {

using namespace Kor::Bridge;
using kor_fuzz::Require;

constexpr std::size_t kMaxPayload = 512;

void CheckFreed(std::span<const std::uint8_t> input) {
    const FreedParse parsed = ParseFreed(input);
    Require(parsed.packet.has_value() ==
                (input.size() == kFreedPacketSize && input[0] == kFreedD1 &&
                 FreedChecksum(input.first(28)) == input[28]),
            "D1 acceptance");
    if (!parsed.packet) {
        return;
    }
    const auto again = EncodeFreed(*parsed.packet);
    Require(std::equal(again.begin(), again.end(), input.begin()), "D1 re-encoding");
    for (const FreedLens lens : {FreedLens::Physical, FreedLens::Raw}) {
        const KorFromFreed kor = KorFromFreedPacket(*parsed.packet, lens, 12345, 2);
        Kor::Protocol::Device device;
        const auto status =
            device.Update(kor.data.Encode(Kor::Protocol::TransmissionType::UDP, kor.types));
        Require(kor_fuzz::IsApplied(status), "Kor frame of a D1 packet applied");
        const auto& s = *device.GetCurrentState();
        const FreedPacket& p = *parsed.packet;
        // The nearest Kor step of 0.01: the frame carries the value rounded to hundredths,
        // and the float it decodes to is within half a step of that hundredth.
        const auto near = [](float got, double expected) {
            return std::llround(got * 100.0) == std::llround(expected * 100.0);
        };
        Require(near(s.positionX, p.x / 64.0) && near(s.positionZ, p.z / 64.0), "position");
        Require(near(s.yaw, p.pan / 32768.0) && near(s.roll, p.roll / 32768.0), "angles");
        if (lens == FreedLens::Raw) {
            Require(s.rawZoomEncoder == (p.zoom >> 8) && s.rawFocusEncoder == (p.focus >> 8),
                    "raw lens counts");
        } else {
            Require(s.focusValid == (p.focus != 0) && (p.focus == 0 || s.focus == p.focus),
                    "focus");
        }
    }
}

void CheckOtrk(std::span<const std::uint8_t> input) {
    const OtrkParse parsed = ParseOtrkPacket(input);
    if (!parsed.header) {
        return;
    }
    Require(input.size() == kOtrkHeaderSize + parsed.header->length, "OTrk length");
    Require(parsed.payload.data() == input.data() + kOtrkHeaderSize, "OTrk payload position");
    if (parsed.header->offset == 0 && parsed.header->last && input[4] == 0) {
        std::uint16_t sequence = parsed.header->sequence;
        const auto built = BuildOtrkPackets(
            parsed.payload, static_cast<OtrkEncoding>(parsed.header->encoding), sequence);
        Require(built.size() == 1 && std::equal(built[0].begin(), built[0].end(), input.begin(),
                                                input.end()),
                "OTrk rebuilt");
    }
}

void CheckReassembly(std::span<const std::uint8_t> input) {
    OtrkReassembler reassembler(kMaxPayload);
    std::size_t at = 0;
    std::size_t segmentBytes = 0;  // payload bytes fed since the last payload came out
    while (at < input.size()) {
        const std::size_t length = std::min<std::size_t>(input[at], input.size() - at - 1);
        const auto packet = input.subspan(at + 1, length);
        at += 1 + length;
        const OtrkParse parsed = ParseOtrkPacket(packet);
        if (!parsed.header) {
            continue;
        }
        segmentBytes += parsed.payload.size();
        const auto whole = reassembler.Feed(*parsed.header, parsed.payload);
        if (whole) {
            Require(parsed.header->last, "payload handed on at its last segment");
            Require(whole->size() <= kMaxPayload, "payload within the limit");
            Require(whole->size() <= segmentBytes, "payload made of segments fed");
            Require(whole->size() == parsed.header->offset + parsed.payload.size(),
                    "payload ends with the last segment");
            Require(std::equal(parsed.payload.begin(), parsed.payload.end(),
                               whole->end() - static_cast<std::ptrdiff_t>(parsed.payload.size())),
                    "last segment's bytes at the end");
            segmentBytes = 0;
        }
    }
}

// Frames of a sample's records, applied by a fresh decoder: the values it ends with.
void CheckFramesApplied(const std::vector<std::vector<std::uint8_t>>& frames,
                        Kor::Protocol::Device& device) {
    for (const auto& frame : frames) {
        Require(frame.size() <= 261, "a Kor frame within a datagram");
        Require(kor_fuzz::IsApplied(device.Update(frame)), "a sample's Kor frame applied");
    }
}

void CheckSample(std::span<const std::uint8_t> input) {
    for (const std::uint8_t encoding : {std::uint8_t{0x01}, std::uint8_t{0x02}}) {
        const OpenTrackRead read = ReadOpenTrackPayload(input, encoding);
        Require(read.sample.has_value() == read.error.empty(), "a sample or a reason");
        if (!read.sample) {
            continue;
        }
        const KorFromOpenTrack& k = *read.sample;
        const auto frames = KorFrames(k.data, k.types, Kor::Protocol::TransmissionType::UDP);
        Require(frames.empty() == k.types.empty(), "frames exactly for records");
        Kor::Protocol::Device device;
        CheckFramesApplied(frames, device);
        const auto& s = *device.GetCurrentState();
        const auto& d = k.data;
        const auto has = [&](Kor::Protocol::MessageType type) {
            return std::find(k.types.begin(), k.types.end(), type) != k.types.end();
        };
        // Within Kor's step of 0.01, or a float's own step where that is larger.
        const auto near = [](float got, float sent) {
            return std::fabs(got - sent) <= 0.011 + 1e-6 * std::fabs(sent);
        };
        using Kor::Protocol::MessageType;
        if (has(MessageType::BasicLens)) {
            Require(s.focusValid == d.focusValid && s.zoomValid == d.zoomValid &&
                        s.irisValid == d.irisValid,
                    "lens values available as read");
            Require((!d.focusValid || s.focus == d.focus) && (!d.zoomValid || near(s.zoom, d.zoom)) &&
                        (!d.irisValid || near(s.iris, d.iris)),
                    "lens values");
        }
        if (has(MessageType::PositionalData)) {
            Require(near(s.positionX, d.positionX) && near(s.positionY, d.positionY) &&
                        near(s.positionZ, d.positionZ),
                    "position");
        }
        if (has(MessageType::AxesData)) {
            Require(near(s.yaw, d.yaw) && near(s.pitch, d.pitch) && near(s.roll, d.roll) &&
                        std::fabs(d.yaw) <= 327.67F,
                    "angles");
        }
        if (has(MessageType::Timecode)) {
            Require(s.timecodeHours == d.timecodeHours && s.timecodeMinutes == d.timecodeMinutes &&
                        s.timecodeSeconds == d.timecodeSeconds &&
                        s.timecodeFrames == d.timecodeFrames && s.recordFlag == d.recordFlag,
                    "timecode");
        }
        if (has(MessageType::RawLensEncoderWithMask)) {
            Require(s.rawFocusEncoderValid == d.rawFocusEncoderValid &&
                        s.rawZoomEncoderValid == d.rawZoomEncoderValid &&
                        s.rawIrisEncoderValid == d.rawIrisEncoderValid &&
                        (!d.rawFocusEncoderValid || s.rawFocusEncoder == d.rawFocusEncoder),
                    "raw lens encoders");
        }
        if (has(MessageType::ProjectFps)) {
            Require(s.projectFps == d.projectFps && d.projectFps >= 1 && d.projectFps <= 5,
                    "project frame rate");
        }
    }
}

void CheckOpenTrackInput(std::span<const std::uint8_t> input) {
    OpenTrackInput::Settings settings;
    settings.maxPayload = std::size_t{1} << 16;
    OpenTrackInput openTrack(settings);
    Kor::Protocol::Device device;
    std::size_t at = 0;
    std::uint64_t dropped = 0;
    while (at < input.size()) {
        const std::size_t length = std::min<std::size_t>(input[at], input.size() - at - 1);
        const auto packet = input.subspan(at + 1, length);
        // The header's reserved byte, which the parser does not read, names the sender.
        const std::uint64_t sender = packet.size() > 4 ? packet[4] & 1U : 0U;
        std::vector<std::vector<std::uint8_t>> frames;
        const Kor::Checked fed =
            openTrack.Feed(packet, sender, OpenTrackInput::Clock::time_point{}, frames);
        at += 1 + length;
        Require(fed || frames.empty(), "a refused datagram gives no frame");
        Require(fed || !fed.Message().empty(), "a refusal says why");
        CheckFramesApplied(frames, device);
        Require(openTrack.Dropped() >= dropped, "drops only add up");
        dropped = openTrack.Dropped();
    }
}

void CheckDistortion(std::span<const std::uint8_t> input) {
    Kor::Protocol::TelemetryData::ZeissZdValues zd;
    std::array<std::uint8_t, 20> bits{};
    std::copy_n(input.begin(), std::min(input.size(), bits.size()), bits.begin());
    std::memcpy(&zd.radialDistortion[1], bits.data(), bits.size());
    const bool meaningful = std::all_of(zd.radialDistortion.begin() + 1, zd.radialDistortion.end(),
                                        [](float v) { return std::fabs(v) < 100.0F; });
    const auto distortion = DistortionFromZeissZd(zd);
    if (!meaningful) {
        Require(!distortion, "no distortion for percentages beyond 100 or not numbers");
    }
    if (!distortion) {
        return;
    }
    Require(std::all_of(distortion->undistortedToDistorted.begin(),
                        distortion->undistortedToDistorted.end(),
                        [](double k) { return std::isfinite(k); }),
            "finite U-D coefficients");
    if (distortion->distortedToUndistorted) {
        Require(distortion->inverseError <= kInverseTolerance, "D-U only within its tolerance");
        Require(std::all_of(distortion->distortedToUndistorted->begin(),
                            distortion->distortedToUndistorted->end(),
                            [](double k) { return std::isfinite(k); }),
                "finite D-U coefficients");
    }
    Require(DistortionEntries(*distortion).size() == (distortion->distortedToUndistorted ? 2U : 1U),
            "distortion entries");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    CheckFreed(input);
    CheckOtrk(input);
    CheckReassembly(input);
    CheckSample(input);
    CheckOpenTrackInput(input);
    CheckDistortion(input);
    return 0;
}
