// Tests of the receive pipeline against the real decoder, and of the text view.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include <kor/kor.h>

#include "monitor.h"
#include "test_bytes.h"
#include "view.h"

namespace {

using namespace std::chrono_literals;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using MonitorTest::Bytes;
using MonitorTest::Hex;

struct Seen {
    FrameStatus status;
    std::vector<MessageType> types;
    std::uint32_t focus;
};

class Pipeline : public ::testing::Test {
protected:
    Pipeline()
        : monitor([this](const KorMonitor::FinishedFrame& frame) {
              seen.push_back(
                  {frame.status, {frame.types.begin(), frame.types.end()}, frame.state.focus});
          }) {}

    static Bytes Frame(TransmissionType framing, std::uint32_t focus, std::uint8_t frames) {
        TelemetryData data;
        data.focus = focus;
        data.zoom = 35;
        data.iris = 2.8F;
        data.timecodeFrames = frames;
        return data.Encode(framing, {MessageType::Timecode, MessageType::BasicLens});
    }

    KorMonitor::ReceiveTime time{};
    std::vector<Seen> seen;
    KorMonitor::Monitor monitor;
};

TEST_F(Pipeline, OneFinishedFramePerDatagram) {
    monitor.OnDatagram(Frame(TransmissionType::UDP, 1500, 1), time);
    monitor.OnDatagram(Frame(TransmissionType::UDP, 1600, 1), time);
    Bytes badHeader = Frame(TransmissionType::UDP, 1700, 2);
    badHeader[5] = 1;
    monitor.OnDatagram(badHeader, time);
    monitor.OnDatagram(Hex("00 FF 00 00 00 00 00 00 18"), time);  // too short
    // A datagram holding serial frames is decoded as serial.
    monitor.OnDatagram(Frame(TransmissionType::Serial, 1800, 3), time);

    ASSERT_EQ(seen.size(), 5U);
    EXPECT_EQ(seen[0].status, FrameStatus::NewTimecode);
    EXPECT_EQ(seen[0].types,
              (std::vector<MessageType>{MessageType::Timecode, MessageType::BasicLens}));
    EXPECT_EQ(seen[1].status, FrameStatus::SameTimecode);
    EXPECT_EQ(seen[1].focus, 1600U);
    // Error frames list no types and leave the state as it was.
    EXPECT_EQ(seen[2].status, FrameStatus::HeaderError);
    EXPECT_TRUE(seen[2].types.empty());
    EXPECT_EQ(seen[2].focus, 1600U);
    EXPECT_EQ(seen[3].status, FrameStatus::LengthError);
    EXPECT_EQ(seen[4].status, FrameStatus::NewTimecode);
    EXPECT_EQ(seen[4].focus, 1800U);
    EXPECT_EQ(monitor.GetStats().Chunks(), 5U);
    EXPECT_EQ(monitor.GetStats().TypeArrivals(MessageType::BasicLens).Count(), 3U);
}

TEST_F(Pipeline, EverySerialFrameReportsItsOwnStatus) {
    // Frames in one chunk, one damaged and one overlong: a single Update over the chunk
    // would report only the last frame's status.
    Bytes damaged = Frame(TransmissionType::Serial, 1600, 2);
    damaged[damaged.size() - 2] ^= 0x10;  // the checksum byte
    Bytes overlong{0x00};
    overlong.insert(overlong.end(), 300, 0x41);
    const Bytes stream =
        MonitorTest::Concat({Hex("41 42"), Frame(TransmissionType::Serial, 1500, 1), damaged,
                             Frame(TransmissionType::Serial, 1700, 3), overlong,
                             Frame(TransmissionType::Serial, 1800, 4)});
    monitor.OnSerialBytes(stream, time);

    ASSERT_EQ(seen.size(), 5U);
    EXPECT_EQ(seen[0].status, FrameStatus::NewTimecode);
    EXPECT_EQ(seen[0].types,
              (std::vector<MessageType>{MessageType::Timecode, MessageType::BasicLens}));
    EXPECT_EQ(seen[1].status, FrameStatus::ChecksumError);
    EXPECT_TRUE(seen[1].types.empty());
    EXPECT_EQ(seen[2].status, FrameStatus::NewTimecode);
    EXPECT_EQ(seen[2].focus, 1700U);
    EXPECT_EQ(seen[3].status, FrameStatus::LengthError);
    EXPECT_EQ(seen[4].status, FrameStatus::NewTimecode);
    EXPECT_EQ(seen[4].focus, 1800U);
}

TEST_F(Pipeline, SerialFramesSplitAnywhereGiveTheSameResult) {
    const Bytes stream = MonitorTest::Concat({Frame(TransmissionType::Serial, 1500, 1),
                                              Frame(TransmissionType::Serial, 1500, 1),
                                              Frame(TransmissionType::Serial, 1800, 4)});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        seen.clear();
        KorMonitor::Monitor fresh([this](const KorMonitor::FinishedFrame& frame) {
            seen.push_back({frame.status, {}, frame.state.focus});
        });
        const std::span<const std::uint8_t> all(stream);
        fresh.OnSerialBytes(all.first(cut), time);
        fresh.OnSerialBytes(all.subspan(cut), time);
        ASSERT_EQ(seen.size(), 3U) << "cut at " << cut;
        EXPECT_EQ(seen[0].status, FrameStatus::NewTimecode);
        EXPECT_EQ(seen[1].status, FrameStatus::SameTimecode);
        EXPECT_EQ(seen[2].status, FrameStatus::NewTimecode);
        EXPECT_EQ(fresh.State().focus, 1800U);
    }
}

TEST(View, ShowsFieldsCountsAndRates) {
    KorMonitor::Monitor monitor(nullptr);
    TelemetryData data;
    data.focus = 1500;
    data.iris = 2.8F;
    data.clipName = "A\x1b[2J";  // must not reach the terminal as an escape sequence
    KorMonitor::ReceiveTime time{};
    for (int i = 0; i < 11; ++i) {
        time.steady = std::chrono::steady_clock::time_point(10s + i * 100ms);
        monitor.OnDatagram(
            data.Encode(TransmissionType::UDP, {MessageType::BasicLens, MessageType::ClipName}),
            time);
    }
    monitor.OnDatagram(Hex("00 FF 00 01 00 00 00 00 18 00 07"), time);

    const KorMonitor::ViewContext context{"UDP 127.0.0.1:1",
                                          std::chrono::steady_clock::time_point(10s), time};
    const std::string view = KorMonitor::RenderView(monitor.GetStats(), monitor.State(), context);
    EXPECT_NE(view.find("focus 1500 mm"), std::string::npos) << view;
    EXPECT_NE(view.find(R"("A\x1B[2J")"), std::string::npos);
    EXPECT_EQ(view.find('\x1b'), std::string::npos);
    const std::size_t rateLine = view.find("\n  BasicLens ");
    ASSERT_NE(rateLine, std::string::npos) << view;
    EXPECT_NE(view.substr(rateLine, view.find('\n', rateLine + 1) - rateLine).find(" 10.00 Hz "),
              std::string::npos)
        << view;
    std::size_t start = 0;
    for (std::size_t end = view.find('\n'); end != std::string::npos;
         start = end + 1, end = view.find('\n', start)) {
        EXPECT_LE(end - start, 100U) << view.substr(start, end - start);
    }

    const std::string summary = KorMonitor::RenderSummary(monitor.GetStats(), 1s, "datagrams");
    EXPECT_NE(summary.find("frames 12: 11 applied, 1 with errors"), std::string::npos) << summary;
    // Statuses that never occurred are left out of the summary.
    EXPECT_NE(summary.find("HeaderError"), std::string::npos);
    EXPECT_EQ(summary.find("ChecksumError"), std::string::npos);
}

// A datagram whose PTP stamp is `seconds` and whose timecode frame is `frames`.
Bytes PtpFrame(std::uint64_t seconds, std::uint8_t frames) {
    TelemetryData data;
    data.timecodeFrames = frames;
    data.ptpSeconds = seconds;
    return data.Encode(TransmissionType::UDP, {MessageType::Timecode, MessageType::PtpTimestamp});
}

TEST(Faults, DuplicatesAndOutOfOrderStampsAreCounted) {
    std::vector<bool> flags;
    KorMonitor::Monitor monitor(
        [&](const KorMonitor::FinishedFrame& frame) { flags.push_back(frame.duplicate); });
    const KorMonitor::ReceiveTime time{};
    monitor.OnDatagram(PtpFrame(100, 1), time);
    monitor.OnDatagram(PtpFrame(101, 2), time);
    monitor.OnDatagram(PtpFrame(101, 2), time);  // repeated
    monitor.OnDatagram(PtpFrame(99, 3), time);   // earlier than 101
    monitor.OnDatagram(PtpFrame(102, 4), time);
    monitor.OnDatagram(PtpFrame(100, 1), time);  // a repeat that is also earlier
    EXPECT_EQ(flags, (std::vector<bool>{false, false, true, false, false, true}));
    EXPECT_EQ(monitor.GetStats().Duplicates(), 2U);
    EXPECT_EQ(monitor.GetStats().OutOfOrder(), 2U);

    // A repeat of a datagram older than the window is not recognised.
    for (std::uint64_t n = 0; n < KorMonitor::kDuplicateWindow; ++n) {
        monitor.OnDatagram(PtpFrame(200 + n, 5), time);
    }
    monitor.OnDatagram(PtpFrame(102, 4), time);
    EXPECT_FALSE(flags.back());
    EXPECT_EQ(monitor.GetStats().Duplicates(), 2U);

    const std::string summary = KorMonitor::RenderSummary(monitor.GetStats(), 1s, "datagrams");
    EXPECT_NE(summary.find("duplicate datagrams 2, frames out of PTP order 3"), std::string::npos)
        << summary;
}

}  // namespace
