// Tests of the monitor's receive pipeline: the frames the real decoder finishes from
// datagrams and serial chunks, and the JSON object written for each. Error frames and text that is not UTF-8 are checked end to
// end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "json_frame.h"
#include "monitor.h"

namespace {

using namespace std::chrono_literals;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TransmissionType;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Types = std::vector<MessageType>;

// "00 FF 0a" -> {0x00, 0xFF, 0x0A}.
Bytes Hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    for (unsigned byte = 0; in >> std::hex >> byte;) {
        out.push_back(static_cast<std::uint8_t>(byte));
    }
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Timecode 10:20:30 frame 12 and BasicLens focus 1500, zoom 35, iris 2.8.
const Bytes kRecords = Hex("00 03 10 20 30 12  01 07 00 05 DC 00 0D AC 01 18");
const Types kTimecodeAndLens{MessageType::Timecode, MessageType::BasicLens};

// A frame of Timecode and BasicLens records, or of Timecode and PtpTimestamp ones when
// `ptpSeconds` is given.
Bytes Frame(TransmissionType framing, std::uint32_t focus, std::uint8_t frames,
            std::uint64_t ptpSeconds = 0) {
    Kor::Protocol::TelemetryData data;
    data.focus = focus;
    data.timecodeFrames = frames;
    data.ptpSeconds = ptpSeconds;
    return data.Encode(framing, ptpSeconds == 0
                                    ? kTimecodeAndLens
                                    : Types{MessageType::Timecode, MessageType::PtpTimestamp});
}

// A Monitor whose finished frames are collected.
struct Collector {
    const KorMonitor::ReceiveTime time{};
    std::vector<FrameStatus> statuses;
    std::vector<std::uint32_t> focus;  // the state's after each frame
    std::vector<Types> types;
    std::vector<bool> duplicates;
    std::vector<std::optional<std::size_t>> sources;
    KorMonitor::Monitor monitor{[this](const KorMonitor::FinishedFrame& frame) {
        statuses.push_back(frame.status);
        sources.push_back(frame.source);
        focus.push_back(frame.state.focus);
        types.emplace_back(frame.types.begin(), frame.types.end());
        duplicates.push_back(frame.duplicate);
    }};
};

// Several serial frames in one chunk, one damaged and one overlong, each report their own
// status (a single Update over the chunk would report only the last), wherever the stream
// is cut into two chunks.
TEST(Pipeline, EverySerialFrameReportsItsOwnStatusWhereverTheStreamIsCut) {
    Bytes damaged = Frame(TransmissionType::Serial, 1600, 2);
    damaged[damaged.size() - 2] ^= 0x10;  // the checksum byte
    const Bytes stream = Join({Hex("41 42"), Frame(TransmissionType::Serial, 1500, 1), damaged,
                               Frame(TransmissionType::Serial, 1700, 3), Hex("00"),
                               Bytes(300, 0x41), Frame(TransmissionType::Serial, 1800, 4)});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Collector p;
        const std::span<const std::uint8_t> all(stream);
        p.monitor.OnSerialBytes(all.first(cut), p.time);
        p.monitor.OnSerialBytes(all.subspan(cut), p.time);
        ASSERT_EQ(p.statuses, (std::vector{FrameStatus::NewTimecode, FrameStatus::ChecksumError,
                                           FrameStatus::NewTimecode, FrameStatus::LengthError,
                                           FrameStatus::NewTimecode}))
            << "cut at " << cut;
        EXPECT_EQ(p.focus, (std::vector<std::uint32_t>{1500, 1500, 1700, 1700, 1800}));
        EXPECT_EQ(p.types[0], kTimecodeAndLens);
        EXPECT_TRUE(p.types[1].empty());
    }
}

// Repeated datagrams are counted as duplicates and take no part in the time-base checks: the
// repeat of a frame is no repeated label, the late repeat of an old one no step back.
TEST(Pipeline, DuplicatesAreCountedApartFromTheTimeBase) {
    Collector p;
    const auto ptp = [](std::uint64_t seconds, std::uint8_t frames) {
        return Frame(TransmissionType::UDP, 0, frames, seconds);
    };
    // The third repeats the second, the fourth is earlier than 101, the last is a repeat
    // that is also earlier.
    for (const Bytes& datagram :
         {ptp(100, 1), ptp(101, 2), ptp(101, 2), ptp(99, 3), ptp(102, 4), ptp(100, 1)}) {
        p.monitor.OnDatagram(datagram, p.time, 0x7F000001, 5000);
    }
    EXPECT_EQ(p.duplicates, (std::vector<bool>{false, false, true, false, false, true}));
    const KorMonitor::Stats& totals = p.monitor.GetStats();
    EXPECT_EQ(totals.Duplicates(), 2U);
    EXPECT_EQ(p.monitor.SourceStats(0).Duplicates(), 2U);
    EXPECT_EQ(p.monitor.SourceStats(0).TimeBase().PtpStampsBack(), 1U);
    // Another sender's frames are a source of their own: 98 is not behind the other's 102,
    // and its first datagram is no duplicate of the other's.
    p.monitor.OnDatagram(ptp(98, 5), p.time, 0x7F000001, 5001);
    p.monitor.OnDatagram(ptp(97, 6), p.time, 0x7F000001, 5001);
    p.monitor.OnDatagram(ptp(102, 4), p.time, 0x7F000001, 5001);
    EXPECT_FALSE(p.duplicates.back());
    ASSERT_EQ(p.monitor.SourceCount(), 2U);
    EXPECT_EQ(p.monitor.SourceStats(1).TimeBase().PtpStampsBack(), 1U);
    EXPECT_EQ(p.monitor.SourceStats(0).TimeBase().Streams(), 1U);
    EXPECT_EQ(p.monitor.SourceStats(1).Frames(), 3U);
    EXPECT_EQ(totals.Frames(), 9U);
    // A repeat of a datagram older than the sender's window is not recognised.
    for (std::uint64_t n = 0; n < KorMonitor::kDuplicateWindow; ++n) {
        p.monitor.OnDatagram(ptp(200 + n, 5), p.time, 0x7F000001, 5000);
    }
    p.monitor.OnDatagram(ptp(102, 4), p.time, 0x7F000001, 5000);
    EXPECT_FALSE(p.duplicates.back());
    EXPECT_EQ(totals.Duplicates(), 2U);
}

// A sender's refused frames before its first applied one belong to no source: they count in
// the totals and on the sender, and the first source is still the first to be applied.
TEST(Pipeline, RefusedFramesBeforeASendersFirstMakeNoSource) {
    Collector p;
    Bytes damaged = Frame(TransmissionType::UDP, 1500, 1);
    damaged[7] = 0x01;  // a header the decoder refuses
    p.monitor.OnDatagram(damaged, p.time, 0x7F000001, 5000);
    p.monitor.OnDatagram(damaged, p.time, 0x7F000001, 5000);
    EXPECT_EQ(p.monitor.SourceCount(), 0U);
    p.monitor.OnDatagram(Frame(TransmissionType::UDP, 1600, 2), p.time, 0x7F000001, 5000);
    p.monitor.OnDatagram(damaged, p.time, 0x7F000001, 5000);
    EXPECT_EQ(p.statuses, (std::vector{FrameStatus::HeaderError, FrameStatus::HeaderError,
                                       FrameStatus::NewTimecode, FrameStatus::HeaderError}));
    EXPECT_EQ(p.sources,
              (std::vector<std::optional<std::size_t>>{std::nullopt, std::nullopt, 0, 0}));
    ASSERT_EQ(p.monitor.SourceCount(), 1U);
    EXPECT_EQ(p.monitor.SourceStats(0).Frames(), 2U);
    EXPECT_EQ(p.monitor.SourceStats(0).Errors(), 1U);
    EXPECT_EQ(p.monitor.GetStats().Errors(), 3U);
    const auto early = p.monitor.RefusedBeforeFirstFrame();
    ASSERT_EQ(early.size(), 1U);
    EXPECT_EQ(early[0].sender.Sender(), "127.0.0.1:5000");
    EXPECT_EQ(early[0].frames, 2U);
}

// 2024-05-01 12:51:36.123456 UTC.
const std::chrono::system_clock::time_point kReceived{1'714'567'896'123'456us};

TEST(IsoUtc, WritesMicrosecondsInUtc) {
    EXPECT_EQ(KorMonitor::IsoUtc(kReceived), "2024-05-01T12:51:36.123456Z");
    EXPECT_EQ(KorMonitor::IsoUtc(kReceived + 999ns), "2024-05-01T12:51:36.123456Z");
    EXPECT_EQ(KorMonitor::IsoUtc(std::chrono::system_clock::time_point(-500ms)),
              "1969-12-31T23:59:59.500000Z");
}

TEST(FrameJson, AppliedFrameHoldsTheFieldsItsRecordsCarried) {
    Kor::Protocol::TelemetryData state;
    state.timecodeFrames = 12;
    state.focusValid = true;
    state.zoom = 35.99F;
    state.iris = 2.8F;
    state.zeissZd.aperture = 2.24F;
    const std::vector<MessageType> types{MessageType::Timecode, MessageType::BasicLens,
                                         MessageType::ZeissZdData, MessageType::BasicLens};
    const std::string line = KorMonitor::DumpLine(
        KorMonitor::FrameJson(FrameStatus::NewTimecode, kReceived, {"127.0.0.1:40001", 2}, types,
                              state));
    EXPECT_EQ(line.find('\n'), std::string::npos);
    // Floats are written as the decimal the float stands for.
    EXPECT_NE(line.find(R"("zoom":35.99,)"), std::string::npos) << line;
    EXPECT_NE(line.find(R"("iris":2.8,)"), std::string::npos) << line;
    const json object = json::parse(line);
    EXPECT_EQ(object["messages"],
              json::parse(R"(["Timecode", "BasicLens", "ZeissZdData", "BasicLens"])"));
    EXPECT_EQ(object["focusValid"], true);
    EXPECT_DOUBLE_EQ(object["zeissZd"]["aperture"].get<double>(), 2.24);
    EXPECT_EQ(object["sender"], "127.0.0.1:40001");
    EXPECT_EQ(object["source"], 2);
    // Each key once, although BasicLens came twice.
    EXPECT_EQ(object.size(), 3U + 2U + 1U + 5U + 6U + 1U);
    // A frame that belongs to no source.
    const json refused = KorMonitor::FrameJson(FrameStatus::HeaderError, kReceived,
                                               {"127.0.0.1:40001", std::nullopt}, {}, state);
    EXPECT_TRUE(refused["source"].is_null()) << refused;
    EXPECT_EQ(refused["sender"], "127.0.0.1:40001");
}

}  // namespace
