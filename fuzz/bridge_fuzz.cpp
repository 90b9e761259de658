// Fuzz target: the parsers kor-bridge runs on received datagrams, FreeD D1 and the OTrk
// packet header, and the OTrk segment reassembly.
//
// Input: the whole input is one datagram for both parsers; then it is read again as a
// sequence of packets, each a length byte and that many bytes, fed through the OTrk parser
// into one reassembler.
//
// Checks: a parsed D1 packet encodes back to the same 29 bytes and becomes a Kor frame (both
// lens conventions) that the Kor decoder applies with the packet's values; a parsed OTrk
// packet's payload is the input after the header, and a single segment built again from its
// fields is the same packet; the reassembler only hands on payloads made of whole segments
// and never more than its limit.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <kor/device.h>

#include "freed.h"
#include "freed_convert.h"
#include "fuzz_support.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    CheckFreed(input);
    CheckOtrk(input);
    CheckReassembly(input);
    return 0;
}
