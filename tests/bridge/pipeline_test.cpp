// KorInput: one sample and one D1 packet per frame with a tracking value, each sample with
// its own frame's time and values; and the hold for the camera serial: the first frames'
// output waits, in order, until the serial names the sourceId, the wait is over, or too much
// is held; then everything goes out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "freed.h"
#include "opentrackio.h"
#include "otrk.h"
#include "opentrackio_identity.h"
#include "pipeline.h"

namespace {

using namespace Kor::Bridge;
using namespace std::chrono_literals;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using Clock = KorInput::Clock;

constexpr const char* kSetup = "host/0.0.0.0:33322/1";

// Frame n: a timecode of its own and a position (so it also makes a D1 packet); with a serial
// when one is given.
std::vector<std::uint8_t> Frame(int n, const std::string& serial = {},
                                TransmissionType framing = TransmissionType::UDP) {
    TelemetryData d;
    d.timecodeSeconds = static_cast<std::uint8_t>(n / 24);
    d.timecodeFrames = static_cast<std::uint8_t>(n % 24);
    d.projectFps = 2;
    d.positionX = static_cast<float>(n);
    std::vector<MessageType> types{MessageType::Timecode, MessageType::ProjectFps,
                                   MessageType::PositionalData};
    if (!serial.empty()) {
        d.productSerial = serial;
        types.push_back(MessageType::ProductSerial);
    }
    return d.Encode(framing, types);
}

KorInput::Settings BothOutputs() {
    KorInput::Settings s;
    s.openTrack = OtrkEncoding::Json;
    s.freed = FreedLens::Physical;
    s.setupName = kSetup;
    s.serialWait = 1s;
    return s;
}

// What came out, in order: "S<sequenceNumber>" for a sample, "D" for a D1 packet; the
// sourceIds of the samples, the samples and the D1 packets.
struct Seen {
    std::string order;
    std::vector<std::string> sourceIds;
    std::vector<nlohmann::json> samples;
    std::vector<FreedPacket> freed;
};

Seen Describe(const std::vector<Outgoing>& out) {
    Seen seen;
    for (const Outgoing& o : out) {
        if (o.output == Output::Freed) {
            seen.order += "D";
            seen.freed.push_back(*ParseFreed(o.bytes).packet);
            continue;
        }
        const OtrkParse parsed = ParseOtrkPacket(o.bytes);
        EXPECT_TRUE(parsed.header.has_value());
        const auto sample = nlohmann::json::parse(parsed.payload.begin(), parsed.payload.end());
        seen.order += "S" + std::to_string(sample["timing"]["sequenceNumber"].get<int>());
        seen.sourceIds.push_back(sample["sourceId"].get<std::string>());
        seen.samples.push_back(sample);
    }
    return seen;
}

// A frame of identity and clock records only: timecode, PTP stamp and the camera serial.
std::vector<std::uint8_t> IdentityFrame(const std::string& serial, std::uint64_t ptpSeconds) {
    TelemetryData d;
    d.productSerial = serial;
    d.ptpSeconds = ptpSeconds;
    d.timecodeSeconds = 59;
    return d.Encode(TransmissionType::UDP,
                    {MessageType::ProductSerial, MessageType::Timecode, MessageType::PtpTimestamp});
}

// A frame of orientation alone.
std::vector<std::uint8_t> AxesFrame(float yaw, TransmissionType framing = TransmissionType::UDP) {
    TelemetryData d;
    d.yaw = yaw;
    d.yawValid = true;
    return d.Encode(framing, {MessageType::AxesData});
}

// A frame with a tracking value makes one sample and one D1 packet, with the time and the
// values of its own records only; a frame of identity and clock records makes nothing, and
// its time stamp and timecode reach no sample, while its serial does.
TEST(KorInputSamples, EachSampleCarriesItsOwnFrame) {
    KorInput::Settings settings = BothOutputs();
    settings.serialWait = Clock::duration::zero();
    KorInput input(settings);
    const Clock::time_point t0{};
    std::vector<Outgoing> out;
    EXPECT_TRUE(input.Feed(Frame(5), t0, out));
    EXPECT_TRUE(input.Feed(IdentityFrame("SN-7", 1'700'000'000), t0, out));
    EXPECT_TRUE(input.Feed(AxesFrame(12.5F), t0, out));
    const Seen seen = Describe(out);
    ASSERT_EQ(seen.order, "S0DS1D");
    const nlohmann::json& first = seen.samples[0];
    EXPECT_EQ(first["timing"]["timecode"]["frames"], 5);
    EXPECT_EQ(first["transforms"][0]["translation"]["x"], 0.005);
    EXPECT_FALSE(first["timing"].contains("sampleTimestamp"));
    const nlohmann::json& axes = seen.samples[1];
    EXPECT_EQ(axes["transforms"][0]["rotation"]["pan"], 12.5);
    EXPECT_EQ(axes["transforms"][0]["translation"], nlohmann::json::object());
    for (const char* gone : {"sampleTimestamp", "mode", "timecode"}) {
        EXPECT_FALSE(axes["timing"].contains(gone)) << gone;
    }
    EXPECT_FALSE(axes.contains("tracker"));
    EXPECT_EQ(axes["static"]["camera"]["serialNumber"], "SN-7");
    // A D1 packet has no way to leave a field out: the position is the last one received.
    EXPECT_EQ(seen.freed[1].x, 5 * 64);
    EXPECT_EQ(seen.freed[1].pan, 12.5 * 32768);
}

// Serial framing: a datagram carrying several frames gives each frame's sample with that
// frame's own values and records, a damaged frame among them none (nor its records to the
// next sample); a frame split across two datagrams comes out when its second part arrives.
TEST(KorInputSamples, SerialDatagramsGiveOneSamplePerAppliedFrame) {
    KorInput::Settings settings = BothOutputs();
    settings.serialWait = Clock::duration::zero();
    KorInput input(settings);
    const Clock::time_point t0{};
    std::vector<std::uint8_t> damaged = AxesFrame(20.0F, TransmissionType::Serial);
    damaged[damaged.size() - 2] ^= 0x10;  // the checksum byte
    std::vector<std::uint8_t> several = Frame(5, {}, TransmissionType::Serial);
    several.insert(several.end(), damaged.begin(), damaged.end());
    const std::vector<std::uint8_t> seventh = Frame(7, {}, TransmissionType::Serial);
    several.insert(several.end(), seventh.begin(), seventh.end());
    std::vector<Outgoing> out;
    // The pan of an earlier frame stays in the state, but only a frame with AxesData
    // shows it.
    EXPECT_TRUE(input.Feed(AxesFrame(10.0F, TransmissionType::Serial), t0, out));
    out.clear();
    EXPECT_TRUE(input.Feed(several, t0, out));
    Seen seen = Describe(out);
    ASSERT_EQ(seen.order, "S1DS2D");
    EXPECT_EQ(seen.samples[0]["timing"]["timecode"]["frames"], 5);
    EXPECT_EQ(seen.samples[1]["timing"]["timecode"]["frames"], 7);
    for (const nlohmann::json& sample : seen.samples) {
        EXPECT_EQ(sample["transforms"][0]["rotation"], nlohmann::json::object()) << sample.dump();
    }
    EXPECT_EQ(seen.freed[0].x, 5 * 64);
    EXPECT_EQ(seen.freed[1].x, 7 * 64);

    const std::vector<std::uint8_t> split = Frame(8, {}, TransmissionType::Serial);
    for (std::size_t cut = 1; cut < split.size(); ++cut) {
        out.clear();
        const std::vector<std::uint8_t> head(split.begin(), split.begin() + static_cast<long>(cut));
        const std::vector<std::uint8_t> tail(split.begin() + static_cast<long>(cut), split.end());
        EXPECT_EQ(input.Feed(head, t0, out).Message(), "Incomplete") << "cut " << cut;
        EXPECT_TRUE(out.empty()) << "cut " << cut;
        EXPECT_TRUE(input.Feed(tail, t0, out)) << "cut " << cut;
        seen = Describe(out);
        ASSERT_EQ(seen.samples.size(), 1U) << "cut " << cut;
        EXPECT_EQ(seen.freed.size(), 1U) << "cut " << cut;
        EXPECT_EQ(seen.samples[0]["timing"]["timecode"]["frames"], 8) << "cut " << cut;
    }

    // A refused last frame names the datagram's refusal; the applied one before it still
    // gives its sample.
    out.clear();
    std::vector<std::uint8_t> appliedThenDamaged = Frame(9, {}, TransmissionType::Serial);
    appliedThenDamaged.insert(appliedThenDamaged.end(), damaged.begin(), damaged.end());
    EXPECT_EQ(input.Feed(appliedThenDamaged, t0, out).Message(), "ChecksumError");
    seen = Describe(out);
    ASSERT_EQ(seen.samples.size(), 1U);
    EXPECT_EQ(seen.samples[0]["timing"]["timecode"]["frames"], 9);
}

// The hold waits from the first applied frame, whatever it carried, and a serial that comes in
// a frame without tracking values still releases the held samples under its sourceId, with
// the static data known then.
TEST(KorInputHold, AnIdentityFrameReleasesWithoutASampleOfItsOwn) {
    KorInput input(BothOutputs());
    const Clock::time_point t0{};
    std::vector<Outgoing> out;
    EXPECT_TRUE(input.Feed(IdentityFrame("", 1), t0, out));
    EXPECT_TRUE(input.Feed(Frame(0), t0 + 200ms, out));
    EXPECT_TRUE(input.Feed(Frame(1), t0 + 300ms, out));
    EXPECT_EQ(input.HoldDeadline(), t0 + 1s);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(input.Feed(IdentityFrame("SN-9", 2), t0 + 400ms, out));
    const Seen held = Describe(out);
    EXPECT_EQ(held.order, "S0DS1D");
    EXPECT_EQ(held.sourceIds, std::vector<std::string>(2, *SourceIdOfCamera("", "", "SN-9")));
    for (const nlohmann::json& sample : held.samples) {
        EXPECT_EQ(sample["static"]["camera"]["serialNumber"], "SN-9");
        EXPECT_FALSE(sample["timing"].contains("sampleTimestamp"));
    }
    out.clear();
    EXPECT_TRUE(input.Feed(IdentityFrame("SN-9", 3), t0 + 500ms, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(input.Feed(Frame(2), t0 + 600ms, out));
    EXPECT_EQ(Describe(out).order, "S2D");

    // The serial before any tracking value: the first sample goes out at once.
    KorInput named(BothOutputs());
    out.clear();
    EXPECT_TRUE(named.Feed(IdentityFrame("SN-1", 1), t0, out));
    EXPECT_TRUE(named.Feed(Frame(0), t0 + 10ms, out));
    const Seen at = Describe(out);
    EXPECT_EQ(at.order, "S0D");
    EXPECT_EQ(at.sourceIds, std::vector<std::string>{*SourceIdOfCamera("", "", "SN-1")});
}

TEST(KorInputHold, TheSerialReleasesWhatWasHeldInOrderUnderItsSourceId) {
    KorInput input(BothOutputs());
    const Clock::time_point t0{};
    std::vector<Outgoing> out;
    EXPECT_EQ(input.HoldDeadline(), std::nullopt);
    for (int n = 0; n < 3; ++n) {
        EXPECT_TRUE(input.Feed(Frame(n), t0 + n * 100ms, out));
    }
    EXPECT_EQ(input.HoldDeadline(), t0 + 1s) << "the wait counts from the first held frame";
    input.Tick(t0 + 900ms, out);
    EXPECT_TRUE(out.empty()) << "released before the serial or the end of the wait";

    ASSERT_TRUE(input.Feed(Frame(3, "SN-42"), t0 + 950ms, out));
    const Seen held = Describe(out);
    EXPECT_EQ(held.order, "S0DS1DS2DS3D");
    EXPECT_EQ(input.HoldDeadline(), std::nullopt);
    for (const std::string& id : held.sourceIds) {
        EXPECT_EQ(id, *SourceIdOfCamera("", "", "SN-42"));
    }
    // From now on each frame goes out as it comes.
    out.clear();
    EXPECT_TRUE(input.Feed(Frame(4), t0 + 1s, out));
    EXPECT_EQ(Describe(out).order, "S4D");
}

TEST(KorInputHold, WithoutASerialTheWaitTheCapOrTheEndReleases) {
    const Clock::time_point t0{};
    {
        // The wait ends on a tick of a silent input: the bridge's own set-up names the source.
        KorInput input(BothOutputs());
        std::vector<Outgoing> out;
        EXPECT_TRUE(input.Feed(Frame(0), t0, out));
        EXPECT_TRUE(input.Feed(Frame(1), t0 + 500ms, out));
        input.Tick(t0 + 999ms, out);
        EXPECT_TRUE(out.empty());
        input.Tick(t0 + 1s, out);
        const Seen seen = Describe(out);
        EXPECT_EQ(seen.order, "S0DS1D");
        EXPECT_EQ(seen.sourceIds, std::vector<std::string>(2, SourceIdOfSetup(kSetup)));
        // A serial that comes later no longer changes the identity.
        out.clear();
        EXPECT_TRUE(input.Feed(Frame(2, "SN-42"), t0 + 2s, out));
        EXPECT_EQ(Describe(out).sourceIds, std::vector<std::string>{SourceIdOfSetup(kSetup)});
    }
    {
        // A refused datagram also ends an expired wait.
        KorInput input(BothOutputs());
        std::vector<Outgoing> out;
        EXPECT_TRUE(input.Feed(Frame(0), t0, out));
        EXPECT_FALSE(input.Feed(std::vector<std::uint8_t>{1, 2, 3}, t0 + 2s, out));
        EXPECT_EQ(Describe(out).order, "S0D");
    }
    {
        KorInput::Settings settings = BothOutputs();
        settings.maxHeld = 3;
        KorInput input(settings);
        std::vector<Outgoing> out;
        EXPECT_TRUE(input.Feed(Frame(0), t0, out));
        EXPECT_TRUE(input.Feed(Frame(1), t0, out));
        EXPECT_TRUE(out.empty());
        EXPECT_TRUE(input.Feed(Frame(2), t0, out));
        EXPECT_EQ(Describe(out).order, "S0DS1DS2D") << "the cap releases";
    }
    {
        KorInput input(BothOutputs());
        std::vector<Outgoing> out;
        EXPECT_TRUE(input.Feed(Frame(0), t0, out));
        input.Flush(out);
        EXPECT_EQ(Describe(out).order, "S0D") << "the end of a run releases";
        out.clear();
        input.Flush(out);
        EXPECT_TRUE(out.empty());
    }
}

TEST(KorInputHold, NothingIsHeldWithoutAWaitOrWithoutOpenTrackIO) {
    const Clock::time_point t0{};
    KorInput::Settings noWait = BothOutputs();
    noWait.serialWait = Clock::duration::zero();
    KorInput immediate(noWait);
    std::vector<Outgoing> out;
    EXPECT_TRUE(immediate.Feed(Frame(0), t0, out));
    Seen seen = Describe(out);
    EXPECT_EQ(seen.order, "S0D");
    EXPECT_EQ(seen.sourceIds, std::vector<std::string>{SourceIdOfSetup(kSetup)});

    KorInput::Settings freedOnly = BothOutputs();
    freedOnly.openTrack.reset();
    KorInput freed(freedOnly);
    out.clear();
    EXPECT_TRUE(freed.Feed(Frame(0), t0, out));
    EXPECT_EQ(Describe(out).order, "D");
}

}  // namespace

// FreeD packets in: a frame's tick count is the microseconds from the bridge's start to the
// packet's arrival, not the steady clock's own count (the machine's uptime here, 40 days).
TEST(FreedInputTicks, CountMicrosecondsFromTheStart) {
    const Clock::time_point start = Clock::time_point{} + std::chrono::hours(24 * 40);
    const FreedInput input(FreedLens::Physical, TransmissionType::UDP, 0, start);
    FreedPacket packet;
    packet.cameraId = 1;
    packet.zoom = 35000;
    const auto wire = EncodeFreed(packet);
    Kor::Protocol::Device device;
    for (const auto& [after, ticks] :
         {std::pair{0us, std::uint64_t{0}},
          std::pair{std::chrono::microseconds(1500), std::uint64_t{1500}},
          std::pair{std::chrono::microseconds(3'600'000'000), std::uint64_t{3'600'000'000}}}) {
        std::vector<std::uint8_t> frame;
        ASSERT_TRUE(input.Feed(wire, start + after, frame));
        ASSERT_LE(device.Update(frame), Kor::Protocol::FrameStatus::SameTimecode);
        const TelemetryData state = *device.GetCurrentState();
        EXPECT_EQ(state.tickCount, ticks) << after.count();
        EXPECT_EQ(state.tickCountType, 2);
    }
}
