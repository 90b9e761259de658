// kor-send --replay: the send schedule, the replaying thread, and the two programs end to
// end: a stream recorded by kor-monitor and sent again by kor-send.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "../engine/loopback.h"
#include "pcap.h"
#include "programs.h"
#include "replay.h"

namespace {

using namespace std::chrono_literals;
using Kor::Pcap::Datagram;
using kor_test::kPatience;
using kor_test::NumberAfter;
using kor_test::TempFile;

// `count` datagrams `spacingNs` apart, each with contents and a size of its own.
std::vector<Datagram> Numbered(std::size_t count, std::int64_t spacingNs) {
    std::vector<Datagram> datagrams(count);
    for (std::size_t n = 0; n < count; ++n) {
        datagrams[n].timeNs = 1'700'000'000'000'000'000 + static_cast<std::int64_t>(n) * spacingNs;
        datagrams[n].payload.assign(20 + n % 7, static_cast<std::uint8_t>(n));
    }
    return datagrams;
}

void WriteCapture(const std::string& path, const std::vector<Datagram>& datagrams) {
    Kor::Pcap::Writer writer;
    const Kor::Checked opened = writer.Open(path, Kor::Pcap::TimeResolution::Microseconds);
    ASSERT_TRUE(opened) << opened.Message();
    for (const Datagram& d : datagrams) {
        const Kor::Checked written =
            writer.Write(d.timeNs, {0x7f000001, 40000}, {0x7f000001, 33322}, d.payload);
        ASSERT_TRUE(written) << written.Message();
    }
}

double Seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// A run of kor-send --replay: what reached a loopback receiver, and the program's end.
struct Replayed {
    std::vector<kor_test::Datagram> received;
    std::optional<int> status;
    std::string out;
    std::string err;
};

Replayed Replay(const std::string& arguments, std::chrono::milliseconds quiet = 1500ms) {
    kor_test::LoopbackReceiver receiver;
    kor_test::ChildProgram run(KOR_SEND_PATH,
                               "--replay " + arguments + kor_test::To(receiver.port()));
    Replayed replayed{receiver.ReceiveUntilQuiet(quiet, kPatience), run.Finish(), run.Out(),
                      run.Err()};
    for (auto& late : receiver.ReceiveUntilQuiet(100ms, kPatience)) {
        replayed.received.push_back(std::move(late));
    }
    return replayed;
}

// Offsets follow the captured times, even back in time, divided by the speed; the loop's
// seam is the mean interval, or a second (scaled) when there is none. Replays of whole
// captures check the spacing end to end.
TEST(ReplaySchedule, OffsetsAndTheLoopSeam) {
    std::vector<Datagram> datagrams = Numbered(3, 40'000'000);
    datagrams[2].timeNs = datagrams[0].timeNs + 30'000'002;
    EXPECT_EQ(Kor::Send::ReplayOffsets(datagrams, 2.0),
              (std::vector<std::int64_t>{0, 20'000'000, 15'000'001}));
    EXPECT_EQ(Kor::Send::LoopGapNs({0, 10, 40, 90}, 1.0), 30);
    EXPECT_EQ(Kor::Send::LoopGapNs({0}, 4.0), 250'000'000);
    EXPECT_EQ(Kor::Send::LoopGapNs({0, 0, 0}, 2.0), 500'000'000);
}

// A long gap before the next datagram: Stop does not wait for its deadline.
TEST(Replayer, StopCutsALongWaitShort) {
    kor_test::LoopbackReceiver receiver;
    Kor::Send::Replayer replayer(Numbered(2, 60'000'000'000), {"127.0.0.1", receiver.port()});
    replayer.Start();
    ASSERT_TRUE(receiver.Receive(5000ms));
    const auto before = std::chrono::steady_clock::now();
    replayer.Stop();
    EXPECT_LT(Seconds(std::chrono::steady_clock::now() - before), 10.0);
    EXPECT_EQ(replayer.Totals().datagrams, 1U);
}

// The whole chain: kor-send's default stream recorded by kor-monitor --record as it arrives,
// then sent again by kor-send --replay: every datagram arrives unchanged, in order, spaced
// as recorded.
TEST(ReplayProgram, RecordedStreamReplaysByteForByte) {
    TempFile file;
    kor_test::ChildProgram monitor(KOR_MONITOR_PATH,
                                   "--bind 127.0.0.1 --port 0 --duration 60 --record " + file.path);
    const std::uint16_t monitorPort = kor_test::MonitorPort(monitor);
    ASSERT_NE(monitorPort, 0) << monitor.Err();
    kor_test::ChildProgram original(KOR_SEND_PATH, "--duration 1.5" + kor_test::To(monitorPort));
    ASSERT_EQ(original.Finish(), 0) << original.Err();
    const long long sent = NumberAfter(original.Out(), "datagrams sent: ");
    ASSERT_GT(sent, 30) << original.Out();
    // Records reach the file as datagrams arrive: wait until the last one is there.
    Kor::Pcap::Capture capture;
    const auto recorded = [&] {
        return Kor::Pcap::ReadCaptureFile(file.path, capture).Ok() &&
               std::ssize(capture.datagrams) >= sent;
    };
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
         !recorded() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(std::ssize(capture.datagrams), sent) << "records are held back while it runs";
    monitor.Signal(SIGINT);
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    EXPECT_NE(monitor.Err().find("recorded " + std::to_string(sent) + " datagrams"),
              std::string::npos)
        << monitor.Err();
    const Kor::Checked read = Kor::Pcap::ReadCaptureFile(file.path, capture);
    ASSERT_TRUE(read) << read.Message();
    ASSERT_EQ(std::ssize(capture.datagrams), sent);
    // kor-send's default stream: valid frames, in a 1 Hz slot of identity strings and one at
    // the frame rate, for the duration only.
    Kor::Protocol::Device device;
    long long slow = 0;
    for (const Datagram& d : capture.datagrams) {
        EXPECT_LE(device.Update(d.payload), Kor::Protocol::FrameStatus::SameTimecode);
        const auto types = kor_test::RecordTypes(d.payload);
        ASSERT_FALSE(types.empty());
        slow += types.front() == Kor::Protocol::MessageType::ClipName;
    }
    EXPECT_GE(slow, 1);
    EXPECT_LE(slow, 3);
    EXPECT_GE(sent - slow, 20);
    EXPECT_LE(sent - slow, 40);

    const Replayed replay = Replay(file.path);
    EXPECT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(NumberAfter(replay.out, "datagrams sent: "), sent) << replay.out;
    EXPECT_EQ(NumberAfter(replay.out, "passes: "), 1) << replay.out;
    const auto& received = replay.received;
    ASSERT_EQ(received.size(), capture.datagrams.size());
    std::vector<double> errors;
    const auto at = [&](std::size_t n) {
        return static_cast<double>(capture.datagrams[n].timeNs - capture.datagrams[0].timeNs) / 1e9;
    };
    for (std::size_t n = 0; n < received.size(); ++n) {
        ASSERT_EQ(received[n].bytes, capture.datagrams[n].payload) << "datagram " << n;
        errors.push_back(std::abs(Seconds(received[n].arrival - received[0].arrival) - at(n)));
    }
    // Loose bounds that hold on a loaded machine and still catch a replay that ignores the
    // recorded spacing (its median error would be about half the capture's 1.5 s); the spacing
    // figures themselves are measured by hand, not asserted.
    std::sort(errors.begin(), errors.end());
    EXPECT_LT(errors[errors.size() / 2], 0.1) << "median offset error";
    EXPECT_NEAR(Seconds(received.back().arrival - received[0].arrival), at(received.size() - 1),
                0.25 * at(received.size() - 1));
}

// --speed divides the captured spacing; --loop sends the capture again until --duration.
TEST(ReplayProgram, SpeedAndLoopUntilTheDuration) {
    TempFile file;
    const std::vector<Datagram> datagrams = Numbered(21, 50'000'000);  // 1 s
    WriteCapture(file.path, datagrams);
    const Replayed replay = Replay(file.path + " --speed 2 --loop --duration 2.5");
    EXPECT_EQ(replay.status, 0) << replay.err;
    const auto& received = replay.received;
    ASSERT_GE(received.size(), 2 * datagrams.size());
    EXPECT_LE(received.size(), 8 * datagrams.size()) << "ran past its duration";
    for (std::size_t n = 0; n < received.size(); ++n) {
        EXPECT_EQ(received[n].bytes, datagrams[n % datagrams.size()].payload) << n;
    }
    const double pass = Seconds(received[datagrams.size() - 1].arrival - received[0].arrival);
    EXPECT_GT(pass, 0.4);
    EXPECT_LT(pass, 0.9);  // 1 s at the captured speed
    EXPECT_GE(NumberAfter(replay.out, "passes: "), 2) << replay.out;
    EXPECT_EQ(NumberAfter(replay.out, "datagrams sent: "), std::ssize(received)) << replay.out;
}

TEST(ReplayProgram, CapturesWithoutDatagramsAreOneLineWithStatus2) {
    TempFile text(".txt");
    std::ofstream(text.path) << "not a capture\n";
    TempFile empty;
    WriteCapture(empty.path, {});
    for (const auto& [path, expected] : {std::pair{text.path, "not a pcap capture"},
                                         std::pair{empty.path, "no IPv4 UDP datagrams"}}) {
        const Replayed replay = Replay(path, 100ms);
        EXPECT_EQ(replay.status, 2) << replay.err;
        EXPECT_EQ(kor_test::LineCount(replay.err), 1U) << replay.err;
        EXPECT_NE(replay.err.find(expected), std::string::npos) << replay.err;
        EXPECT_TRUE(replay.out.empty() && replay.received.empty()) << replay.out;
    }
}

}  // namespace
