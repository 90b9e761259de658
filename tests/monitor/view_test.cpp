// The live view's table of sources within a terminal's size, its compact figures, and the
// closing summary of every source as text and JSON.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <kor/kor.h>

#include "monitor.h"
#include "view.h"

namespace {

using namespace std::chrono_literals;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using KorMonitor::Monitor;
using KorMonitor::ReceiveTime;
using KorMonitor::ViewContext;

constexpr std::uint32_t kLoopback = 0x7F000001;

struct Camera {
    std::uint16_t port;
    std::uint16_t subject;
    std::string serial;
};

// Two seconds of three cameras: a 24 Hz group (timecode, PTP stamp, tick count, subject) and
// a 1 Hz one (timecode, serial and subject), the first two cameras from one port. Returns the time of
// the last frame.
ReceiveTime FeedCameras(Monitor& monitor, const std::vector<Camera>& cameras) {
    ReceiveTime time = ReceiveTime::Now();
    for (int n = 0; n < 48; ++n) {
        // Stamped with this machine's local time as it arrives.
        const auto local = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               time.wall.time_since_epoch()) +
                           time.zoneOffset;
        for (const Camera& camera : cameras) {
            TelemetryData data;
            data.subjectId = camera.subject;
            data.productSerial = camera.serial;
            data.projectFps = 2;  // 24 fps
            data.timecodeFrames = static_cast<std::uint8_t>(n % 24);
            data.timecodeSeconds = static_cast<std::uint8_t>(n / 24);
            data.ptpSeconds = static_cast<std::uint64_t>(local.count() / 1'000'000'000);
            data.ptpNanoseconds = static_cast<std::uint32_t>(local.count() % 1'000'000'000);
            data.tickCount = 1000U + 41U * static_cast<unsigned>(n);
            data.tickCountType = 1;
            const auto sent = data.Encode(
                TransmissionType::UDP, {MessageType::Timecode, MessageType::PtpTimestamp,
                                        MessageType::TickCount, MessageType::ProjectFps,
                                        MessageType::SubjectId});
            monitor.OnDatagram(sent, time, kLoopback, camera.port);
            if (n % 24 == 0) {
                const auto identity = data.Encode(
                    TransmissionType::UDP,
                    {MessageType::Timecode, MessageType::ProductSerial, MessageType::SubjectId});
                monitor.OnDatagram(identity, time, kLoopback, camera.port);
            }
        }
        time.steady += 41'666us;
        time.wall += 41'666us;
    }
    return time;
}

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::size_t Widest(const std::vector<std::string>& lines) {
    std::size_t widest = 0;
    for (const std::string& line : lines) {
        widest = std::max(widest, line.size());
    }
    return widest;
}

const std::vector<Camera> kThree{{40001, 1, "CAM-1"}, {40001, 2, "CAM-2"}, {40002, 3, "CAM-3"}};

// Three sources at 80x24: the text stays within the window (and a row short of it, so that
// it never scrolls), and each source has its row with sender, subject, serial and rates.
TEST(LiveView, ThreeSourcesFitEightyByTwentyFour) {
    Monitor monitor(nullptr);
    ViewContext context{"UDP 0.0.0.0:33322", {}, FeedCameras(monitor, kThree), "datagrams", 80, 24};
    context.start = context.now.steady - 2s;
    ASSERT_EQ(monitor.SourceCount(), 3U);
    const std::vector<std::string> lines = LinesOf(KorMonitor::RenderView(monitor, context));
    EXPECT_LT(lines.size(), 24U);
    EXPECT_LE(Widest(lines), 80U);
    const std::vector<std::string> expected{
        " 1 127.0.0.1:40001           1 CAM-1    24/1.0",
        " 2 127.0.0.1:40001           2 CAM-2    24/1.0",
        " 3 127.0.0.1:40002           3 CAM-3    24/1.0"};
    for (const std::string& row : expected) {
        const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind(row, 0) == 0;
        });
        ASSERT_NE(found, lines.end()) << row << "\n" << KorMonitor::RenderView(monitor, context);
        // Steady spacing: no errors, gaps or time-base faults.
        EXPECT_EQ(found->substr(found->size() - 14), "   0    0    0") << *found;
    }
    // Smaller terminals get what fits; a source that has not come yet is said so.
    context.selected = 5;
    for (const auto& [columns, rows] : {std::pair{60, 12}, std::pair{20, 3}, std::pair{1, 1}}) {
        context.columns = columns;
        context.rows = rows;
        const std::string text = KorMonitor::RenderView(monitor, context);
        EXPECT_LT(LinesOf(text).size(), static_cast<std::size_t>(rows)) << text;
        EXPECT_LE(Widest(LinesOf(text)), static_cast<std::size_t>(columns)) << text;
        EXPECT_EQ(rows < 12, text.find("(no source 6 yet)") == std::string::npos) << text;
    }
}

// The selected source is shown in full when the rows leave room, and only then; with more
// sources than rows the table says how many it left out, and still fits.
TEST(LiveView, TheSelectedSourceInFullOnlyWhenTallEnough) {
    Monitor monitor(nullptr);
    ViewContext context{"UDP 0.0.0.0:33322", {}, FeedCameras(monitor, kThree), "datagrams", 80, 24};
    context.selected = 1;
    const std::string small = KorMonitor::RenderView(monitor, context);
    EXPECT_EQ(small.find("Source 2: 127.0.0.1:40001, subject 2"), std::string::npos);
    EXPECT_NE(small.find("(source 2 in full needs"), std::string::npos) << small;
    context.rows = 100;
    const std::string tall = KorMonitor::RenderView(monitor, context);
    EXPECT_NE(tall.find("Source 2: 127.0.0.1:40001, subject 2"), std::string::npos) << tall;
    EXPECT_NE(tall.find("serial \"CAM-2\""), std::string::npos) << tall;
    EXPECT_LT(LinesOf(tall).size(), 100U);
    EXPECT_LE(Widest(LinesOf(tall)), 80U);
    // Without a terminal nothing is cut.
    context.rows = 0;
    context.columns = 0;
    EXPECT_GT(Widest(LinesOf(KorMonitor::RenderView(monitor, context))), 80U);

    std::vector<Camera> many;
    for (std::uint16_t i = 1; i <= 30; ++i) {
        many.push_back({static_cast<std::uint16_t>(41000 + i), i, "C" + std::to_string(i)});
    }
    Monitor crowded(nullptr);
    ViewContext crowd{"UDP 0.0.0.0:33322", {}, FeedCameras(crowded, many), "datagrams", 80, 24};
    const std::vector<std::string> lines = LinesOf(KorMonitor::RenderView(crowded, crowd));
    EXPECT_LT(lines.size(), 24U);
    EXPECT_LE(Widest(lines), 80U);
    const std::string& last = lines.back();
    EXPECT_NE(last.find("more sources"), std::string::npos) << last;
}

// Compact figures keep to their widths at every size.
TEST(LiveView, CompactFiguresKeepTheirWidths) {
    EXPECT_EQ(KorMonitor::CompactSeconds(0.000412), "412us");
    EXPECT_EQ(KorMonitor::CompactSeconds(-0.00412), "-4.12ms");
    EXPECT_EQ(KorMonitor::CompactSeconds(0.0412), "41ms");
    EXPECT_EQ(KorMonitor::CompactSeconds(3.25), "3.2s");
    EXPECT_EQ(KorMonitor::CompactSeconds(NAN), "-");
    for (double seconds = 1e-7; seconds < 1e7; seconds *= 1.37) {
        EXPECT_LE(KorMonitor::CompactSeconds(seconds).size(), 6U) << seconds;
        EXPECT_LE(KorMonitor::CompactSeconds(-seconds).size(), 7U) << seconds;
    }
    EXPECT_EQ(KorMonitor::CompactCount(9'999), "9999");
    EXPECT_EQ(KorMonitor::CompactCount(10'000), "10k");
    EXPECT_EQ(KorMonitor::CompactCount(999'999), "999k");
    EXPECT_EQ(KorMonitor::CompactCount(1'234'567), "1.2M");
    EXPECT_EQ(KorMonitor::CompactCount(9'999'999), "9.9M");
    EXPECT_EQ(KorMonitor::CompactCount(12'345'678), "12M");
    EXPECT_EQ(KorMonitor::CompactCount(4'560'000'000'000ULL), "4.5T");
    EXPECT_EQ(KorMonitor::CompactCount(UINT64_MAX), "18E");
    for (std::uint64_t count = 1; count < UINT64_MAX / 3; count *= 3) {
        EXPECT_LE(KorMonitor::CompactCount(count).size(), 4U) << count;
        EXPECT_LE(KorMonitor::CompactCount(count - 1).size(), 4U) << count - 1;
    }
}

// Serials of one series differ at their end, which the cut column keeps; huge error and gap
// counts keep to their columns, so a row is never wider than 80 even without a terminal.
TEST(LiveView, RowsTellSerialsApartAndKeepToEightyColumns) {
    Monitor monitor(nullptr);
    const std::vector<Camera> series{
        {40001, 1, "v2.1.0-10"}, {40001, 2, "v2.1.0-11"}, {40002, 3, "v2.1.0-32"}};
    ViewContext context{"UDP 0.0.0.0:33322", {}, FeedCameras(monitor, series), "datagrams"};
    // Source 1: its tick count steps 10, 10, 10 and then 30 (a gap), and damaged frames.
    for (std::uint32_t n = 0; n < 48'000; ++n) {
        TelemetryData data;
        data.subjectId = 1;
        data.tickCount = 100'000U + 10U * n + 20U * (n / 4);
        data.tickCountType = 1;
        auto sent =
            data.Encode(TransmissionType::UDP, {MessageType::TickCount, MessageType::SubjectId});
        monitor.OnDatagram(sent, context.now, kLoopback, 40001);
        if (n % 4 == 0) {
            sent[7] = 0x01;  // a header the decoder refuses
            monitor.OnDatagram(sent, context.now, kLoopback, 40001);
        }
    }
    ASSERT_GE(monitor.SourceStats(0).Errors(), 10'000U);
    ASSERT_GE(monitor.SourceStats(0).TickGaps().Gaps(), 10'000U);
    for (const std::string& text : {KorMonitor::RenderView(monitor, context),
                                    KorMonitor::RenderSummary(monitor, 2s, "datagrams")}) {
        std::size_t rows = 0;
        for (const std::string& line : LinesOf(text)) {
            for (const char* row : {" 1 127.0.0.1:40001           1 ~.1.0-10 ",
                                    " 2 127.0.0.1:40001           2 ~.1.0-11 ",
                                    " 3 127.0.0.1:40002           3 ~.1.0-32 "}) {
                if (line.rfind(row, 0) == 0) {
                    ++rows;
                    EXPECT_LE(line.size(), 80U) << line;
                }
            }
        }
        EXPECT_EQ(rows, 3U) << text;
    }
}

// The summary lists every source with its own figures; the totals add them up.
TEST(Summary, ListsEverySource) {
    Monitor monitor(nullptr);
    FeedCameras(monitor, kThree);
    const std::string text = KorMonitor::RenderSummary(monitor, 2s, "datagrams");
    EXPECT_NE(text.find("3 sources"), std::string::npos) << text;
    for (const char* source : {"Source 1: 127.0.0.1:40001, subject 1, serial \"CAM-1\"",
                               "Source 2: 127.0.0.1:40001, subject 2, serial \"CAM-2\"",
                               "Source 3: 127.0.0.1:40002, subject 3, serial \"CAM-3\""}) {
        EXPECT_NE(text.find(source), std::string::npos) << source << "\n" << text;
    }
    const nlohmann::ordered_json json =
        KorMonitor::SummaryJson(monitor, 2s, "datagrams")["summary"];
    EXPECT_EQ(json["frames"], 3 * (48 + 2));
    EXPECT_EQ(json["datagrams"], 3 * (48 + 2));
    ASSERT_EQ(json["sources"].size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& source = json["sources"][i];
        EXPECT_EQ(source["source"], i + 1);
        EXPECT_EQ(source["subjectId"], kThree[i].subject);
        EXPECT_EQ(source["productSerial"], kThree[i].serial);
        EXPECT_EQ(source["sender"], "127.0.0.1:" + std::to_string(kThree[i].port));
        EXPECT_EQ(source["applied"], 48 + 2);
        ASSERT_EQ(source["messageGroups"].size(), 2U);
        EXPECT_EQ(source["messageGroups"][0]["count"], 48);
        // Each source's labels step one frame at a time, though two share a sender.
        EXPECT_EQ(source["timeBase"]["timecodeRepeats"], 0);
        EXPECT_EQ(source["timeBase"]["timecodeSkips"], 0);
        EXPECT_EQ(source["timeBase"]["checkedStreams"], 1);
    }
    EXPECT_EQ(json["timeBase"]["streams"], 6);
    EXPECT_TRUE(json["refusedBeforeFirstFrame"].empty());
}

// Frames refused before their sender's first applied one are in the totals and listed by
// sender, without a source of their own.
TEST(Summary, ListsFramesRefusedBeforeASendersFirst) {
    Monitor monitor(nullptr);
    TelemetryData data;
    data.subjectId = 3;
    auto damaged = data.Encode(TransmissionType::UDP, {MessageType::SubjectId});
    damaged[7] = 0x01;  // a header the decoder refuses
    for (int i = 0; i < 2; ++i) {
        monitor.OnDatagram(damaged, ReceiveTime::Now(), kLoopback, 40002);
    }
    FeedCameras(monitor, kThree);
    ASSERT_EQ(monitor.SourceCount(), 3U);
    EXPECT_EQ(monitor.Key(2).subject, 3U);
    const std::string text = KorMonitor::RenderSummary(monitor, 2s, "datagrams");
    EXPECT_NE(text.find("frames " + std::to_string(3 * (48 + 2) + 2) + ": " +
                        std::to_string(3 * (48 + 2)) + " applied, 2 with errors"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n  sender 127.0.0.1:40002: 2 frames refused before its first applied "
                        "one (no source)\n"),
              std::string::npos)
        << text;
    const nlohmann::ordered_json json =
        KorMonitor::SummaryJson(monitor, 2s, "datagrams")["summary"];
    EXPECT_EQ(json["errors"], 2);
    EXPECT_EQ(json["refusedBeforeFirstFrame"],
              nlohmann::ordered_json::parse(R"([{"sender": "127.0.0.1:40002", "frames": 2}])"));
    EXPECT_EQ(json["sources"].size(), 3U);
}

}  // namespace
