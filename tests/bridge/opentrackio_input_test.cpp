// OpenTrackIO datagrams to Kor frames: packets of the published reference sender (whole,
// in segments, JSON and CBOR), lost, damaged and repeated segments, senders counting per
// packet or per payload, the source filter, static records and the packing of frames.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <kor/device.h>

#include "opentrackio_input.h"
#include "reference_packets.h"

namespace {

using namespace Kor::Bridge;
using namespace std::chrono_literals;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<Bytes>;
using Clock = OpenTrackInput::Clock;

using kor_test::FromReferenceSender;
using kor_test::ReferencePackets;

Bytes Payload(const json& sample, OtrkEncoding encoding) {
    if (encoding == OtrkEncoding::Cbor) {
        return json::to_cbor(sample);
    }
    const std::string text = sample.dump();
    return {text.begin(), text.end()};
}

std::vector<Bytes> Packets(const json& sample, OtrkEncoding encoding, std::size_t segments,
                           std::uint16_t sequence = 0) {
    const Bytes payload = Payload(sample, encoding);
    return BuildOtrkPackets(payload, encoding, sequence,
                            (payload.size() + segments - 1) / segments);
}

// The record types of a UDP frame, in order. A record is its type, a byte holding its
// payload's size less one, and the payload.
std::vector<MessageType> RecordTypes(const Bytes& frame) {
    std::vector<MessageType> types;
    for (std::size_t at = 8; at + 1 < frame.size(); at += 3 + frame[at + 1]) {
        types.push_back(static_cast<MessageType>(frame[at]));
    }
    return types;
}

// Feeds datagrams in order; returns the frames and the refusals.
struct Outcome {
    Frames frames;
    std::vector<std::string> refused;
};
Outcome Feed(OpenTrackInput& input, const std::vector<Bytes>& datagrams, std::uint64_t sender = 1,
             Clock::time_point now = Clock::time_point{}) {
    Outcome outcome;
    for (const Bytes& d : datagrams) {
        if (const Kor::Checked fed = input.Feed(d, sender, now, outcome.frames); !fed) {
            outcome.refused.push_back(fed.Message());
        }
    }
    return outcome;
}

TelemetryData Decoded(const Frames& frames) {
    Kor::Protocol::Device device;
    for (const Bytes& frame : frames) {
        EXPECT_LE(device.Update(frame), Kor::Protocol::FrameStatus::SameTimecode);
    }
    return *device.GetCurrentState();
}

json Example() {
    return {{"timing",
             {{"timecode",
               {{"hours", 1},
                {"minutes", 2},
                {"seconds", 3},
                {"frames", 4},
                {"frameRate", {{"num", 25}, {"denom", 1}}}}}}},
            {"lens", {{"focusDistance", 2.5}, {"pinholeFocalLength", 35.0}}},
            {"transforms",
             {{{"translation", {{"x", 1.5}, {"y", -2.0}, {"z", 1.25}}},
               {"rotation", {{"pan", 12.5}, {"tilt", -3.0}, {"roll", 0.5}}}}}},
            {"sourceNumber", 1},
            {"custom", std::string(900, 'x')}};  // so that three segments have something to split
}

// The published example through the reference sender, JSON and CBOR, as one packet and in
// three segments numbered one after another.
TEST(OpenTrackInput, ReferenceSenderPackets) {
    for (const std::string format : {"JSON", "CBOR"}) {
        for (const int segments : {1, 3}) {
            const ReferencePackets reference =
                FromReferenceSender(format, segments, "recommended_dynamic_example.json");
            if (!reference.skip.empty()) {
                GTEST_SKIP() << reference.skip;
            }
            ASSERT_EQ(reference.packets.size(), static_cast<std::size_t>(segments));
            OpenTrackInput input({});
            const Outcome outcome = Feed(input, reference.packets);
            EXPECT_TRUE(outcome.refused.empty()) << outcome.refused.front();
            ASSERT_EQ(outcome.frames.size(), 1U) << format << segments;
            const TelemetryData s = Decoded(outcome.frames);
            EXPECT_EQ(s.focus, 10000U);
            EXPECT_EQ(s.positionZ, 3000.0F);
            EXPECT_EQ(s.yaw, 180.0F);
            EXPECT_EQ(s.timecodeFrames, 4);
            EXPECT_EQ(s.projectFps, 1);
        }
    }
}

// The reference sender's own moving camera, compared with its payload read here.
TEST(OpenTrackInput, ReferenceSenderOwnSample) {
    for (const std::string format : {"JSON", "CBOR"}) {
        const ReferencePackets reference = FromReferenceSender(format, 3);
        if (!reference.skip.empty()) {
            GTEST_SKIP() << reference.skip;
        }
        OtrkReassembler reassembler;
        std::optional<Bytes> payload;
        for (const Bytes& packet : reference.packets) {
            const OtrkParse parsed = ParseOtrkPacket(packet);
            ASSERT_TRUE(parsed.header);
            payload = reassembler.Feed(*parsed.header, parsed.payload);
        }
        ASSERT_TRUE(payload);
        const json sample = format == "CBOR" ? json::from_cbor(*payload) : json::parse(*payload);

        OpenTrackInput input({});
        const Outcome outcome = Feed(input, reference.packets);
        ASSERT_EQ(outcome.frames.size(), 1U) << (outcome.refused.empty() ? "" : outcome.refused[0]);
        const TelemetryData s = Decoded(outcome.frames);
        const json& camera = sample["transforms"][0];
        EXPECT_NEAR(s.positionX, camera["translation"]["x"].get<double>() * 1000, 0.0051);
        EXPECT_NEAR(s.yaw, camera["rotation"]["pan"].get<double>(), 0.0051);
        EXPECT_NEAR(s.pitch, camera["rotation"]["tilt"].get<double>(), 0.0051);
        EXPECT_EQ(s.focus, 10000U);
        EXPECT_FLOAT_EQ(s.iris, 4.0F);
        EXPECT_NEAR(s.rawZoomEncoder, sample["lens"]["encoders"]["zoom"].get<double>() * 65535,
                    0.5);
        EXPECT_EQ(s.timecodeFrames, sample["timing"]["timecode"]["frames"].get<int>());
    }
}

TEST(OpenTrackInput, LostAndDamagedSegments) {
    const auto packets = Packets(Example(), OtrkEncoding::Json, 3);
    ASSERT_EQ(packets.size(), 3U);

    OpenTrackInput input({});
    // The middle segment lost: nothing; the next whole sample comes through.
    Outcome outcome = Feed(input, {packets[0], packets[2]});
    EXPECT_TRUE(outcome.frames.empty());
    EXPECT_GE(input.Dropped(OtrkDrop::MissingSegment), 1U);
    outcome = Feed(input, Packets(Example(), OtrkEncoding::Json, 3, 10));
    EXPECT_EQ(outcome.frames.size(), 1U);

    // The middle segment damaged: refused as such, and again no sample.
    Bytes damaged = packets[1];
    damaged[kOtrkHeaderSize + 5] ^= 0x01;
    outcome = Feed(input, {packets[0], damaged, packets[2]});
    EXPECT_TRUE(outcome.frames.empty());
    EXPECT_EQ(outcome.refused, std::vector<std::string>{"OTrk: checksum mismatch"});
    // The last segment damaged: the sample never completes; the next one does.
    Bytes damagedLast = packets[2];
    damagedLast.back() ^= 0x20;
    outcome = Feed(input, {packets[0], packets[1], damagedLast});
    EXPECT_TRUE(outcome.frames.empty());
    outcome = Feed(input, Packets(Example(), OtrkEncoding::Cbor, 3, 20));
    EXPECT_EQ(outcome.frames.size(), 1U);
    EXPECT_EQ(Decoded(outcome.frames).focus, 2500U);
}

// One sequence number for all the segments of a sample (a sender counting per payload).
TEST(OpenTrackInput, SegmentsSharingASequenceNumber) {
    auto packets = Packets(Example(), OtrkEncoding::Cbor, 3, 500);
    for (Bytes& packet : packets) {
        packet[6] = 0x01;
        packet[7] = 0xF4;  // 500
        std::uint16_t check = Fletcher16(std::span<const std::uint8_t>(packet.data(), 14));
        check = Fletcher16(std::span<const std::uint8_t>(packet).subspan(kOtrkHeaderSize), check);
        packet[14] = static_cast<std::uint8_t>(check >> 8);
        packet[15] = static_cast<std::uint8_t>(check);
    }
    OpenTrackInput input({});
    const Outcome outcome = Feed(input, packets);
    EXPECT_TRUE(outcome.refused.empty());
    ASSERT_EQ(outcome.frames.size(), 1U);
    EXPECT_EQ(Decoded(outcome.frames).positionX, 1500.0F);
}

TEST(OpenTrackInput, RepeatedDatagramGivesOneSample) {
    const auto packets = Packets(Example(), OtrkEncoding::Json, 1);
    OpenTrackInput input({});
    const Outcome outcome = Feed(input, {packets[0], packets[0]});
    EXPECT_EQ(outcome.frames.size(), 1U);
    EXPECT_EQ(outcome.refused, std::vector<std::string>{"OTrk: a repeat of the packet before"});
    // A repeated middle segment does not break its sample either.
    const auto three = Packets(Example(), OtrkEncoding::Json, 3, 40);
    EXPECT_EQ(Feed(input, {three[0], three[1], three[1], three[2]}).frames.size(), 1U);
}

TEST(OpenTrackInput, SourceFilter) {
    OpenTrackInput::Settings settings;
    settings.sourceNumber = 2;
    OpenTrackInput input(settings);
    std::uint16_t sequence = 0;
    const auto numbered = [&](std::optional<int> number) {
        json sample = Example();
        sample.erase("sourceNumber");
        if (number) {
            sample["sourceNumber"] = *number;
        }
        const Bytes payload = Payload(sample, OtrkEncoding::Json);
        return BuildOtrkPackets(payload, OtrkEncoding::Json, sequence)[0];
    };
    const Outcome outcome =
        Feed(input, {numbered(1), numbered(2), numbered({}), numbered(0), numbered(201)});
    EXPECT_EQ(outcome.frames.size(), 1U);
    EXPECT_EQ(outcome.refused,
              (std::vector<std::string>{"sample: sourceNumber 1, not 2", "sample: no sourceNumber",
                                        "sample: sourceNumber 0 is reserved",
                                        "sample: sourceNumber 201 is reserved"}));
    // Without a filter every source but the reserved numbers passes.
    OpenTrackInput all({});
    EXPECT_EQ(Feed(all, {numbered(1), numbered(256), numbered({}), numbered(255)}).frames.size(),
              3U);
}

TEST(OpenTrackInput, StaticRecordsOncePerInterval) {
    json sample = Example();
    sample["static"] = {
        {"camera", {{"make", "Kor"}, {"model", "Cam One"}, {"serialNumber", "A123"}}}};
    const auto at = [](double seconds) {
        return Clock::time_point{} +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    OpenTrackInput input({});
    std::uint16_t sequence = 0;
    const auto typesAt = [&](const json& s, double seconds) {
        const Bytes payload = Payload(s, OtrkEncoding::Json);
        std::vector<MessageType> types;
        for (const Bytes& frame :
             Feed(input, BuildOtrkPackets(payload, OtrkEncoding::Json, sequence), 1, at(seconds))
                 .frames) {
            for (const MessageType type : RecordTypes(frame)) {
                types.push_back(type);
            }
        }
        return types;
    };
    const auto has = [](const std::vector<MessageType>& types, MessageType type) {
        return std::find(types.begin(), types.end(), type) != types.end();
    };
    EXPECT_TRUE(has(typesAt(sample, 0.0), MessageType::ProductSerial));
    const auto half = typesAt(sample, 0.5);
    EXPECT_FALSE(has(half, MessageType::ProductBrand));
    EXPECT_TRUE(has(half, MessageType::BasicLens));
    // A changed serial goes at once, and all the static records with it.
    sample["static"]["camera"]["serialNumber"] = "B456";
    const auto changed = typesAt(sample, 0.6);
    EXPECT_TRUE(has(changed, MessageType::ProductSerial) &&
                has(changed, MessageType::ProductBrand));
    EXPECT_FALSE(has(typesAt(sample, 1.5), MessageType::ProductSerial));
    EXPECT_TRUE(has(typesAt(sample, 1.6), MessageType::ProductSerial));
}

TEST(OpenTrackInput, FramesHoldEveryRecord) {
    TelemetryData data;
    data.productBrand = std::string(65, 'b');
    data.productName = std::string(65, 'n');
    data.productSerial = std::string(65, 's');
    data.lensManufacturer = std::string(65, 'm');
    data.lensName = std::string(65, 'l');
    data.lensSerial = std::string(65, 'z');
    data.focus = 1200;
    data.zoom = 50.0F;
    data.iris = 2.8F;
    const std::vector<MessageType> types = {
        MessageType::BasicLens,     MessageType::ProductBrand,     MessageType::ProductName,
        MessageType::ProductSerial, MessageType::LensManufacturer, MessageType::LensName,
        MessageType::LensSerial,    MessageType::ClipName};  // an empty ClipName takes no room
    const Frames frames = KorFrames(data, types, Kor::Protocol::TransmissionType::UDP);
    // Records of 10 and 6 x 67 bytes, 253 a frame: 10 + 3 x 67 in the first, 3 x 67 after.
    ASSERT_EQ(frames.size(), 2U);
    std::vector<MessageType> sent;
    for (const Bytes& frame : frames) {
        EXPECT_LE(frame.size(), 261U);
        for (const MessageType type : RecordTypes(frame)) {
            sent.push_back(type);
        }
    }
    EXPECT_EQ(sent, std::vector<MessageType>(types.begin(), types.end() - 1));
    const TelemetryData s = Decoded(frames);
    EXPECT_EQ(s.lensSerial, data.lensSerial);
    EXPECT_EQ(s.productBrand, data.productBrand);
    EXPECT_EQ(s.focus, 1200U);
    // Serial frames too, decoded as one byte stream.
    const Frames serial = KorFrames(data, types, Kor::Protocol::TransmissionType::Serial);
    Kor::Protocol::Device device;
    for (const Bytes& frame : serial) {
        EXPECT_EQ(device.Update(frame), Kor::Protocol::FrameStatus::SameTimecode);
    }
    EXPECT_EQ(device.GetCurrentState()->lensName, data.lensName);
    EXPECT_TRUE(KorFrames(data, {}, Kor::Protocol::TransmissionType::UDP).empty());
}

// Two senders' segments interleaved: each sender is put together on its own.
TEST(OpenTrackInput, SendersReassembledApart) {
    json other = Example();
    other["lens"]["focusDistance"] = 7.0;
    const auto a = Packets(Example(), OtrkEncoding::Json, 3, 100);
    const auto b = Packets(other, OtrkEncoding::Json, 3, 100);
    OpenTrackInput input({});
    Frames frames;
    std::vector<std::uint32_t> focus;
    for (std::size_t i = 0; i < 3; ++i) {
        for (const auto& [sender, packets] : {std::pair{1ULL, &a}, std::pair{2ULL, &b}}) {
            Frames out;
            EXPECT_TRUE(input.Feed((*packets)[i], sender, Clock::time_point{}, out));
            if (!out.empty()) {
                focus.push_back(Decoded(out).focus);
            }
        }
    }
    EXPECT_EQ(focus, (std::vector<std::uint32_t>{2500, 7000}));
    EXPECT_EQ(input.Dropped(), 0U);
}

}  // namespace
