// kor-send --replay: its options, the send schedule, the replaying thread, and the two
// programs end to end: a stream recorded by kor-monitor and sent again by kor-send.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../engine/loopback.h"
#include "pcap.h"
#include "programs.h"
#include "replay.h"
#include "send_options.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Kor::Pcap::Datagram;

// Generous: the tests must pass on a loaded machine and under sanitizers.
constexpr auto kPatience = 30s;

Kor::Send::ParseResult Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "kor-send");
    return Kor::Send::ParseCommandLine(static_cast<int>(args.size()), args.data());
}

// A file named after the running test in the test's temporary directory, removed at the end.
struct TempFile {
    explicit TempFile(const std::string& suffix = ".pcap")
        : path(::testing::TempDir() + "kor-send-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix) {}
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

// `count` datagrams `spacingNs` apart, each with contents and a size of its own.
std::vector<Datagram> Numbered(std::size_t count, std::int64_t spacingNs) {
    std::vector<Datagram> datagrams(count);
    for (std::size_t n = 0; n < count; ++n) {
        datagrams[n].timeNs = 1'700'000'000'000'000'000 + static_cast<std::int64_t>(n) * spacingNs;
        datagrams[n].payload.assign(20 + n % 7, static_cast<std::uint8_t>(n));
        datagrams[n].payload[0] = 0x4b;
    }
    return datagrams;
}

void WriteCapture(const std::string& path, const std::vector<Datagram>& datagrams) {
    Kor::Pcap::Writer writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, Kor::Pcap::TimeResolution::Microseconds, error)) << error;
    for (const Datagram& d : datagrams) {
        ASSERT_TRUE(writer.Write(d.timeNs, {0x7f000001, 40000}, {0x7f000001, 33322}, d.payload,
                                 error))
            << error;
    }
}

double Seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// The arrival span of received datagrams, first to last, in seconds.
double Span(const std::vector<kor_test::Datagram>& received) {
    return received.size() < 2 ? 0 : Seconds(received.back().arrival - received.front().arrival);
}

TEST(ReplayOptions, ReplayExcludesTheEmulatorStreamOptions) {
    TempFile file;
    WriteCapture(file.path, Numbered(1, 0));
    const char* path = file.path.c_str();
    const std::vector<std::vector<const char*>> refused{
        {"--replay", path, "--rate", "BasicLens=10"}, {"--replay", path, "--only", "BasicLens"},
        {"--replay", path, "--lens-file", path},       {"--replay", path, "--simulate"},
        {"--replay", path, "--fps", "25"},             {"--replay", path, "--serial"},
        {"--replay", path, "--delay", "5"},            {"--replay", path, "--tick-unit", "seconds"},
        {"--replay", path, "--enable", "ClipName"},    {"--replay", path, "--disable", "ClipName"},
        {"--replay", path, "--record-flag"},           {"--speed", "2"},
        {"--loop"},                                    {"--replay", path, "--speed", "0"},
        {"--replay", path, "--speed", "-1"},           {"--replay", path, "--speed", "fast"},
        {"--replay", "/nonexistent/capture.pcap"},
    };
    for (const auto& args : refused) {
        const auto result = Parse(args);
        EXPECT_FALSE(result.options) << args[args.size() - 1];
        EXPECT_EQ(result.exitStatus, 2) << args[args.size() - 1];
        EXPECT_EQ(result.output.find('\n'), std::string::npos) << result.output;
        EXPECT_EQ(result.output.rfind("kor-send: ", 0), 0U) << result.output;
    }

    const auto plain = Parse({"--replay", path});
    ASSERT_TRUE(plain.options) << plain.output;
    EXPECT_EQ(plain.options->replayFile, file.path);
    EXPECT_EQ(plain.options->speed, 1.0);
    EXPECT_FALSE(plain.options->loop);
    const auto full = Parse({"--replay", path, "--speed", "2.5", "--loop", "--duration", "3",
                             "--to", "127.0.0.1:4000"});
    ASSERT_TRUE(full.options) << full.output;
    EXPECT_EQ(full.options->speed, 2.5);
    EXPECT_TRUE(full.options->loop);
    EXPECT_EQ(full.options->durationSeconds, 3.0);
    EXPECT_EQ(full.options->port, 4000);
}

TEST(ReplaySchedule, OffsetsAreTheCapturedSpacingDividedByTheSpeed) {
    std::vector<Datagram> datagrams = Numbered(4, 40'000'000);
    datagrams[3].timeNs = datagrams[0].timeNs + 30'000'002;  // goes back in time
    EXPECT_EQ(Kor::Send::ReplayOffsets(datagrams, 1.0),
              (std::vector<std::int64_t>{0, 40'000'000, 80'000'000, 30'000'002}));
    EXPECT_EQ(Kor::Send::ReplayOffsets(datagrams, 2.0),
              (std::vector<std::int64_t>{0, 20'000'000, 40'000'000, 15'000'001}));
    EXPECT_EQ(Kor::Send::ReplayOffsets(datagrams, 0.5),
              (std::vector<std::int64_t>{0, 80'000'000, 160'000'000, 60'000'004}));
    EXPECT_TRUE(Kor::Send::ReplayOffsets({}, 1.0).empty());

    // The loop's seam: the mean interval, or a second (scaled) when there is none.
    EXPECT_EQ(Kor::Send::LoopGapNs({0, 10, 40, 90}, 1.0), 30);
    EXPECT_EQ(Kor::Send::LoopGapNs({0}, 1.0), 1'000'000'000);
    EXPECT_EQ(Kor::Send::LoopGapNs({0}, 4.0), 250'000'000);
    EXPECT_EQ(Kor::Send::LoopGapNs({0, 0, 0}, 2.0), 500'000'000);
}

TEST(Replayer, SendsEveryDatagramUnchangedInOrderAndEnds) {
    kor_test::LoopbackReceiver receiver;
    const std::vector<Datagram> datagrams = Numbered(30, 10'000'000);  // 0.29 s
    Kor::Send::Replayer replayer(datagrams, {"127.0.0.1", receiver.port(), 1.0, false});
    replayer.Start();
    const auto received = receiver.ReceiveUntilQuiet(1000ms, kPatience);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!replayer.Finished() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(replayer.Finished());
    replayer.Stop();

    ASSERT_EQ(received.size(), datagrams.size());
    std::uint64_t bytes = 0;
    for (std::size_t n = 0; n < datagrams.size(); ++n) {
        EXPECT_EQ(received[n].bytes, datagrams[n].payload) << n;
        bytes += datagrams[n].payload.size();
    }
    const Kor::Send::ReplayTotals totals = replayer.Totals();
    EXPECT_EQ(totals.datagrams, datagrams.size());
    EXPECT_EQ(totals.bytes, bytes);
    EXPECT_EQ(totals.failures, 0U);
    EXPECT_EQ(totals.passes, 1U);
    // Deadlines are never early, so the stream cannot be much shorter than the capture.
    EXPECT_GE(Span(received), 0.25);
}

TEST(Replayer, LoopStartsOverAndStopCutsTheWaitShort) {
    kor_test::LoopbackReceiver receiver;
    const std::vector<Datagram> datagrams = Numbered(5, 20'000'000);  // a pass every 0.1 s
    Kor::Send::Replayer replayer(datagrams, {"127.0.0.1", receiver.port(), 1.0, true});
    replayer.Start();
    std::vector<kor_test::Datagram> received;
    while (received.size() < 17) {
        auto d = receiver.Receive(5000ms);
        ASSERT_TRUE(d) << "after " << received.size();
        received.push_back(std::move(*d));
    }
    replayer.Stop();
    EXPECT_TRUE(replayer.Finished());
    for (std::size_t n = 0; n < received.size(); ++n) {
        EXPECT_EQ(received[n].bytes, datagrams[n % datagrams.size()].payload) << n;
    }
    EXPECT_GE(replayer.Totals().passes, 3U);

    // A long gap: Stop does not wait for the next deadline.
    std::vector<Datagram> slow = Numbered(2, 60'000'000'000);
    Kor::Send::Replayer waiting(slow, {"127.0.0.1", receiver.port(), 1.0, false});
    waiting.Start();
    ASSERT_TRUE(receiver.Receive(5000ms));
    const auto before = std::chrono::steady_clock::now();
    waiting.Stop();
    EXPECT_LT(Seconds(std::chrono::steady_clock::now() - before), 10.0);
    EXPECT_EQ(waiting.Totals().datagrams, 1U);
}

// The port in kor-monitor's banner "receiving from UDP 127.0.0.1:PORT".
std::uint16_t BannerPort(const std::string& output) {
    const std::string marker = "receiving from UDP 127.0.0.1:";
    const std::size_t at = output.find(marker);
    return at == std::string::npos
               ? 0
               : static_cast<std::uint16_t>(std::stoi(output.substr(at + marker.size())));
}

// The number after `label` in a program's output; -1 if absent.
long long NumberAfter(const std::string& output, const std::string& label) {
    const std::size_t at = output.find(label);
    return at == std::string::npos ? -1 : std::stoll(output.substr(at + label.size()));
}

// The whole chain: kor-send's default stream recorded by kor-monitor --record, then sent
// again by kor-send --replay: every datagram arrives unchanged, in order, spaced as recorded.
TEST(ReplayProgram, RecordedStreamReplaysByteForByte) {
    TempFile file;
    // The live view, not --json: its output is small enough to wait in the pipe unread.
    kor_test::ChildProgram monitor(KOR_MONITOR_PATH, {"--bind", "127.0.0.1", "--port", "0",
                                                      "--duration", "60", "--record", file.path});
    ASSERT_TRUE(monitor.Started());
    ASSERT_TRUE(monitor.WaitFor("receiving from UDP", kPatience)) << monitor.Output();
    const std::uint16_t monitorPort = BannerPort(monitor.Output());
    ASSERT_NE(monitorPort, 0) << monitor.Output();
    kor_test::SendRun original("--duration 2", monitorPort);
    const std::string& sent = original.Finish();
    ASSERT_TRUE(original.ExitedWithZero()) << sent;
    const long long datagramsSent = NumberAfter(sent, "datagrams sent: ");
    ASSERT_GT(datagramsSent, 30) << sent;
    // Records reach the file as datagrams arrive: wait until the last one is there.
    Kor::Pcap::Capture capture;
    std::string error;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while ((!Kor::Pcap::ReadCaptureFile(file.path, capture, error) ||
            capture.datagrams.size() < static_cast<std::size_t>(datagramsSent)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    monitor.Signal(SIGINT);
    ASSERT_EQ(monitor.Finish(kPatience), 0) << monitor.Output();
    EXPECT_NE(monitor.Output().find("recorded " + std::to_string(datagramsSent) + " datagrams"),
              std::string::npos)
        << monitor.Output();
    ASSERT_TRUE(Kor::Pcap::ReadCaptureFile(file.path, capture, error)) << error;
    ASSERT_EQ(capture.datagrams.size(), static_cast<std::size_t>(datagramsSent));

    kor_test::LoopbackReceiver receiver;
    kor_test::SendRun replay("--replay " + file.path, receiver.port());
    const auto received = receiver.ReceiveUntilQuiet(1500ms, kPatience);
    const std::string& output = replay.Finish();
    EXPECT_TRUE(replay.ExitedWithZero()) << output;
    EXPECT_EQ(NumberAfter(output, "datagrams sent: "), datagramsSent) << output;
    EXPECT_EQ(NumberAfter(output, "passes: "), 1) << output;

    ASSERT_EQ(received.size(), capture.datagrams.size());
    std::vector<double> errors;
    for (std::size_t n = 0; n < received.size(); ++n) {
        ASSERT_EQ(received[n].bytes, capture.datagrams[n].payload) << "datagram " << n;
        const double recorded =
            static_cast<double>(capture.datagrams[n].timeNs - capture.datagrams[0].timeNs) / 1e9;
        errors.push_back(std::abs(Seconds(received[n].arrival - received[0].arrival) - recorded));
    }
    // Loose bounds: the spacing figures themselves are measured by hand, not asserted.
    std::sort(errors.begin(), errors.end());
    EXPECT_LT(errors[errors.size() / 2], 0.02) << "median offset error";
    const double recordedSpan = static_cast<double>(capture.datagrams.back().timeNs -
                                                    capture.datagrams.front().timeNs) / 1e9;
    EXPECT_NEAR(Span(received), recordedSpan, 0.25 * recordedSpan);
}

TEST(ReplayProgram, SpeedTwoHalvesTheDuration) {
    TempFile file;
    const std::vector<Datagram> datagrams = Numbered(21, 50'000'000);  // 1 s
    WriteCapture(file.path, datagrams);
    kor_test::LoopbackReceiver receiver;
    kor_test::SendRun replay("--replay " + file.path + " --speed 2", receiver.port());
    const auto received = receiver.ReceiveUntilQuiet(1500ms, kPatience);
    const std::string& output = replay.Finish();
    EXPECT_TRUE(replay.ExitedWithZero()) << output;
    ASSERT_EQ(received.size(), datagrams.size());
    for (std::size_t n = 0; n < datagrams.size(); ++n) {
        EXPECT_EQ(received[n].bytes, datagrams[n].payload) << n;
    }
    EXPECT_GT(Span(received), 0.4);
    EXPECT_LT(Span(received), 0.8);
}

TEST(ReplayProgram, LoopSendsTheCaptureAgainUntilTheDuration) {
    TempFile file;
    const std::vector<Datagram> datagrams = Numbered(10, 20'000'000);  // a pass every 0.2 s
    WriteCapture(file.path, datagrams);
    kor_test::LoopbackReceiver receiver;
    kor_test::SendRun replay("--replay " + file.path + " --loop --duration 1.5",
                             receiver.port());
    const auto received = receiver.ReceiveUntilQuiet(1500ms, kPatience);
    const std::string& output = replay.Finish();
    EXPECT_TRUE(replay.ExitedWithZero()) << output;
    EXPECT_GE(received.size(), 2 * datagrams.size());
    EXPECT_LE(received.size(), 12 * datagrams.size()) << "ran past its duration";
    for (std::size_t n = 0; n < received.size(); ++n) {
        EXPECT_EQ(received[n].bytes, datagrams[n % datagrams.size()].payload) << n;
    }
    EXPECT_GE(NumberAfter(output, "passes: "), 2) << output;
    EXPECT_EQ(NumberAfter(output, "datagrams sent: "), static_cast<long long>(received.size()))
        << output;
}

TEST(ReplayProgram, CapturesWithoutDatagramsAreOneLineWithStatus2) {
    TempFile text(".txt");
    std::ofstream(text.path) << "not a capture\n";
    TempFile empty;
    WriteCapture(empty.path, {});
    kor_test::LoopbackReceiver receiver;
    for (const auto& [path, expected] :
         {std::pair{text.path, std::string("not a pcap capture")},
          std::pair{empty.path, std::string("no IPv4 UDP datagrams")}}) {
        kor_test::SendRun replay("--replay " + path, receiver.port());
        const std::string& output = replay.Finish();
        EXPECT_EQ(replay.ExitStatus(), 2) << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
        EXPECT_NE(output.find(expected), std::string::npos) << output;
    }
    EXPECT_FALSE(receiver.Receive(100ms));
}

}  // namespace
