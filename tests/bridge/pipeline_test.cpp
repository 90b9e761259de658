// KorInput's hold for the camera serial: the first frames' output waits, in order, until the
// serial names the sourceId, the wait is over, or too much is held; then everything goes out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "opentrackio.h"
#include "otrk.h"
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
std::vector<std::uint8_t> Frame(int n, const std::string& serial = {}) {
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
    return d.Encode(TransmissionType::UDP, types);
}

KorInput::Settings BothOutputs() {
    KorInput::Settings s;
    s.openTrack = OtrkEncoding::Json;
    s.freed = FreedLens::Physical;
    s.setupName = kSetup;
    s.serialWait = 1s;
    return s;
}

// What came out, in order: "S<sequenceNumber>" for a sample, "D" for a D1 packet; and the
// sourceIds of the samples.
struct Seen {
    std::string order;
    std::vector<std::string> sourceIds;
};

Seen Describe(const std::vector<Outgoing>& out) {
    Seen seen;
    for (const Outgoing& o : out) {
        if (o.output == Output::Freed) {
            seen.order += "D";
            continue;
        }
        const OtrkParse parsed = ParseOtrkPacket(o.bytes);
        EXPECT_TRUE(parsed.header.has_value());
        const auto sample = nlohmann::json::parse(parsed.payload.begin(), parsed.payload.end());
        seen.order += "S" + std::to_string(sample["timing"]["sequenceNumber"].get<int>());
        seen.sourceIds.push_back(sample["sourceId"].get<std::string>());
    }
    return seen;
}

TEST(KorInputHold, TheSerialReleasesWhatWasHeldInOrderUnderItsSourceId) {
    KorInput input(BothOutputs());
    const Clock::time_point t0{};
    std::vector<Outgoing> out;
    EXPECT_EQ(input.HoldDeadline(), std::nullopt);
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(input.Feed(Frame(n), t0 + n * 100ms, out), std::nullopt);
    }
    EXPECT_EQ(input.HoldDeadline(), t0 + 1s) << "the wait counts from the first held frame";
    input.Tick(t0 + 900ms, out);
    EXPECT_TRUE(out.empty()) << "released before the serial or the end of the wait";

    ASSERT_EQ(input.Feed(Frame(3, "SN-42"), t0 + 950ms, out), std::nullopt);
    const Seen held = Describe(out);
    EXPECT_EQ(held.order, "S0DS1DS2DS3D");
    EXPECT_EQ(input.HoldDeadline(), std::nullopt);
    for (const std::string& id : held.sourceIds) {
        EXPECT_EQ(id, SourceIdOfSerial("SN-42"));
    }
    // From now on each frame goes out as it comes.
    out.clear();
    input.Feed(Frame(4), t0 + 1s, out);
    EXPECT_EQ(Describe(out).order, "S4D");
}

TEST(KorInputHold, WithoutASerialTheWaitTheCapOrTheEndReleases) {
    const Clock::time_point t0{};
    {
        // The wait ends on a tick of a silent input: the bridge's own set-up names the source.
        KorInput input(BothOutputs());
        std::vector<Outgoing> out;
        input.Feed(Frame(0), t0, out);
        input.Feed(Frame(1), t0 + 500ms, out);
        input.Tick(t0 + 999ms, out);
        EXPECT_TRUE(out.empty());
        input.Tick(t0 + 1s, out);
        const Seen seen = Describe(out);
        EXPECT_EQ(seen.order, "S0DS1D");
        EXPECT_EQ(seen.sourceIds, std::vector<std::string>(2, SourceIdOfSetup(kSetup)));
        // A serial that comes later no longer changes the identity.
        out.clear();
        input.Feed(Frame(2, "SN-42"), t0 + 2s, out);
        EXPECT_EQ(Describe(out).sourceIds, std::vector<std::string>{SourceIdOfSetup(kSetup)});
    }
    {
        // A refused datagram also ends an expired wait.
        KorInput input(BothOutputs());
        std::vector<Outgoing> out;
        input.Feed(Frame(0), t0, out);
        EXPECT_NE(input.Feed({1, 2, 3}, t0 + 2s, out), std::nullopt);
        EXPECT_EQ(Describe(out).order, "S0D");
    }
    {
        KorInput::Settings settings = BothOutputs();
        settings.maxHeld = 3;
        KorInput input(settings);
        std::vector<Outgoing> out;
        input.Feed(Frame(0), t0, out);
        input.Feed(Frame(1), t0, out);
        EXPECT_TRUE(out.empty());
        input.Feed(Frame(2), t0, out);
        EXPECT_EQ(Describe(out).order, "S0DS1DS2D") << "the cap releases";
    }
    {
        KorInput input(BothOutputs());
        std::vector<Outgoing> out;
        input.Feed(Frame(0), t0, out);
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
    immediate.Feed(Frame(0), t0, out);
    Seen seen = Describe(out);
    EXPECT_EQ(seen.order, "S0D");
    EXPECT_EQ(seen.sourceIds, std::vector<std::string>{SourceIdOfSetup(kSetup)});

    KorInput::Settings freedOnly = BothOutputs();
    freedOnly.openTrack.reset();
    KorInput freed(freedOnly);
    out.clear();
    freed.Feed(Frame(0), t0, out);
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
        ASSERT_EQ(input.Feed(wire, start + after, frame), std::nullopt);
        ASSERT_LE(device.Update(frame), Kor::Protocol::FrameStatus::SameTimecode);
        const TelemetryData state = *device.GetCurrentState();
        EXPECT_EQ(state.tickCount, ticks) << after.count();
        EXPECT_EQ(state.tickCountType, 2);
    }
}
