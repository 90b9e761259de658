// End-to-end tests: runs the kor-monitor program, feeds it over loopback UDP, a file or
// standard input, and checks its JSON lines, captures, messages and exit status. Every wait
// is bounded, and a program that does not end in time is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "../send/programs.h"
#include "pcap.h"

namespace {

using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_test::BannerPort;
using kor_test::ChildProgram;
using kor_test::LineCount;
using kor_test::NumberAfter;
using kor_test::TempFile;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

ChildProgram Monitor(const std::string& arguments) {
    return ChildProgram(KOR_MONITOR_PATH, arguments);
}

// The JSON objects of standard output, one a line; a missing key reads as null.
std::vector<json> JsonLines(const std::string& out) {
    std::vector<json> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(json::parse(line));
    }
    return lines;
}

TelemetryData Sample(std::uint32_t focus, std::uint8_t frames) {
    TelemetryData data;
    data.timecodeHours = 10;
    data.timecodeMinutes = 20;
    data.timecodeSeconds = 30;
    data.timecodeFrames = frames;
    data.focus = focus;
    data.zoom = 35;
    data.iris = 2.8F;
    data.channelId = 7;
    data.ptpSeconds = 1'700'000'000;
    data.productBrand = "CamCo";
    return data;
}

void SendTo(std::uint16_t port, const std::vector<Bytes>& datagrams) {
    const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const Bytes& datagram : datagrams) {
        EXPECT_EQ(::sendto(sock, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }
    ::close(sock);
}

// Every datagram becomes a JSON line, and --record writes each one to a pcap capture with
// its addresses, ports and arrival time, unchanged, whatever the frame status.
TEST(MonitorEndToEnd, UdpDatagramsBecomeJsonLinesAndCaptureRecords) {
    TempFile file;
    Bytes badHeader = Sample(1, 1).Encode(TransmissionType::UDP, {MessageType::ChannelId});
    badHeader[7] = 0x01;
    const std::vector<Bytes> sent{
        Sample(1500, 1).Encode(TransmissionType::UDP,
                               {MessageType::Timecode, MessageType::BasicLens}),
        Sample(1600, 1).Encode(TransmissionType::UDP,
                               {MessageType::Timecode, MessageType::ChannelId}),
        badHeader,
        Sample(1700, 2).Encode(TransmissionType::UDP,
                               {MessageType::PtpTimestamp, MessageType::ProductBrand})};
    const auto before = std::chrono::system_clock::now();
    // Bound to every address, the capture still names the address each datagram was sent to.
    ChildProgram monitor =
        Monitor("--json --count 4 --bind 0.0.0.0 --port 0 --record " + file.path);
    ASSERT_TRUE(monitor.WaitForErr("receiving from UDP 0.0.0.0:")) << monitor.Err();
    const std::uint16_t port = BannerPort(monitor.Err(), "0.0.0.0");
    ASSERT_NE(port, 0);
    SendTo(port, sent);
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    const auto after = std::chrono::system_clock::now();

    std::vector<json> lines = JsonLines(monitor.Out());
    ASSERT_EQ(lines.size(), 4U) << monitor.Out();
    EXPECT_EQ(lines[0]["status"], "NewTimecode");
    EXPECT_EQ(lines[0]["focus"], 1500);
    EXPECT_FALSE(lines[0].contains("channelId"));
    EXPECT_EQ(lines[1]["status"], "SameTimecode");
    EXPECT_EQ(lines[1]["channelId"], 7);
    EXPECT_FALSE(lines[1].contains("focus"));
    EXPECT_EQ(lines[2]["status"], "HeaderError");
    EXPECT_EQ(lines[2].size(), 3U);
    EXPECT_EQ(lines[3]["ptpSeconds"], 1'700'000'000);
    EXPECT_EQ(lines[3]["productBrand"], "CamCo");
    for (const json& line : lines) {
        EXPECT_GT(line["receiveEpochSeconds"].get<double>(), 1.6e9) << line;  // the wall clock
    }
    EXPECT_NE(monitor.Err().find("recorded 4 datagrams to " + file.path), std::string::npos)
        << monitor.Err();

    Kor::Pcap::Capture capture;
    std::string error;
    ASSERT_TRUE(Kor::Pcap::ReadCaptureFile(file.path, capture, error)) << error;
    EXPECT_EQ(capture.linkType, Kor::Pcap::kLinkEthernet);
    EXPECT_EQ(capture.skipped, 0U);
    ASSERT_EQ(capture.datagrams.size(), sent.size());
    const auto ns = [](std::chrono::system_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    };
    std::int64_t previous = ns(before);
    for (std::size_t n = 0; n < sent.size(); ++n) {
        const Kor::Pcap::Datagram& d = capture.datagrams[n];
        EXPECT_EQ(d.payload, sent[n]) << n;
        EXPECT_EQ(d.source.address, INADDR_LOOPBACK);
        EXPECT_NE(d.source.port, 0);
        EXPECT_EQ(d.source.port, capture.datagrams[0].source.port);  // one sending socket
        EXPECT_EQ(d.destination, (Kor::Pcap::Endpoint{INADDR_LOOPBACK, port}));
        EXPECT_GE(d.timeNs, previous) << n;
        previous = d.timeNs;
    }
    EXPECT_LE(previous, ns(after));
}

// A serial stream from a file as JSON lines and as the live view, and from standard input.
TEST(MonitorEndToEnd, SerialFileAndStandardInput) {
    Bytes damaged = Sample(1600, 2).Encode(TransmissionType::Serial, {MessageType::BasicLens});
    damaged[damaged.size() - 2] ^= 0x01;
    Bytes stream{'n', 'o', 'i', 's', 'e'};
    for (const Bytes& frame :
         {Sample(1500, 1).Encode(TransmissionType::Serial,
                                 {MessageType::Timecode, MessageType::BasicLens}),
          damaged, Sample(1700, 2).Encode(TransmissionType::Serial, {MessageType::ProductBrand})}) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    TempFile file;
    file.Write(stream);

    ChildProgram lineRun = Monitor("--serial " + file.path + " --json");
    ASSERT_EQ(lineRun.Finish(), 0) << lineRun.Err();
    std::vector<json> lines = JsonLines(lineRun.Out());
    ASSERT_EQ(lines.size(), 3U) << lineRun.Out();
    EXPECT_EQ(lines[0]["status"], "NewTimecode");
    EXPECT_EQ(lines[0]["focus"], 1500);
    EXPECT_EQ(lines[1]["status"], "ChecksumError");
    EXPECT_EQ(lines[2]["status"], "SameTimecode");
    EXPECT_EQ(lines[2]["productBrand"], "CamCo");
    EXPECT_FALSE(lines[2].contains("focus"));

    ChildProgram view = Monitor("--serial " + file.path);
    ASSERT_EQ(view.Finish(), 0) << view.Err();
    EXPECT_NE(view.Out().find("10:20:30:01"), std::string::npos) << view.Out();
    EXPECT_NE(view.Out().find("focus 1500 mm"), std::string::npos);
    EXPECT_NE(view.Out().find("kor-monitor summary"), std::string::npos);
    EXPECT_EQ(view.Out().find('\x1b'), std::string::npos) << "screen codes when not a terminal";

    // The stream in one write, so that nothing is written after the program has ended.
    ChildProgram input = Monitor("--serial - --json --count 2");
    input.Write(stream);
    ASSERT_EQ(input.Finish(), 0) << input.Err();
    lines = JsonLines(input.Out());
    ASSERT_EQ(lines.size(), 2U) << input.Out();
    EXPECT_EQ(lines[1]["status"], "ChecksumError");
}

TEST(MonitorEndToEnd, DurationAndInterruptEndTheRunCleanly) {
    ChildProgram timed = Monitor("--json --bind 127.0.0.1 --port 0 --duration 0.2");
    ASSERT_EQ(timed.Finish(), 0) << timed.Err();
    EXPECT_TRUE(timed.Out().empty());
    EXPECT_NE(timed.Err().find("kor-monitor summary"), std::string::npos);

    ChildProgram interrupted = Monitor("--json --bind 127.0.0.1 --port 0");
    ASSERT_TRUE(interrupted.WaitForErr("receiving from")) << interrupted.Err();
    interrupted.Signal(SIGINT);
    ASSERT_EQ(interrupted.Finish(), 0) << interrupted.Err();
    EXPECT_NE(interrupted.Err().find("frames 0"), std::string::npos) << interrupted.Err();
}

// What cannot be opened or is refused ends the run with one line and status 2; usage
// errors end it with another status.
TEST(MonitorEndToEnd, FailuresAreOneLineWithStatus2) {
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    TempFile file;  // never written
    const std::string uncreatable = ::testing::TempDir() + "kor-no-such-directory/x.pcap";

    const std::vector<std::pair<std::string, std::vector<std::string>>> failures{
        {"--json --bind 127.0.0.1 --port " + port, {port, "in use"}},
        {"--serial " + file.path + " --json", {file.path}},
        {"--serial - --record " + file.path, {"--serial"}},
        {"--json --bind 127.0.0.1 --port 0 --record " + uncreatable,
         {"cannot create " + uncreatable}},
        {"--join 10.1.2.3 --port 0", {"multicast"}},
    };
    for (const auto& [arguments, expected] : failures) {
        ChildProgram monitor = Monitor(arguments);
        EXPECT_EQ(monitor.Finish(), 2) << arguments;
        EXPECT_EQ(LineCount(monitor.Err()), 1U) << monitor.Err();
        for (const std::string& text : expected) {
            EXPECT_NE(monitor.Err().find(text), std::string::npos) << monitor.Err();
        }
        EXPECT_TRUE(monitor.Out().empty()) << arguments;
    }
    ::close(blocker);
    EXPECT_NE(::access(file.path.c_str(), F_OK), 0) << "a refused run created the file";

    for (const char* arguments : {"--serial - --port 1234", "--count 0", "--port 70000"}) {
        ChildProgram monitor = Monitor(arguments);
        const std::optional<int> status = monitor.Finish();
        ASSERT_TRUE(status.has_value()) << arguments;
        EXPECT_NE(*status, 0) << arguments;
        EXPECT_NE(*status, 2) << arguments;
    }
}

// kor-send drops and repeats datagrams of a 24 Hz stream with millisecond tick counts;
// kor-monitor counts the repeats and the frames missing from the tick counts. The frames
// missing are worked out here from the received counts and the known rate.
TEST(MonitorFaults, CountsWhatKorSendInjects) {
    ChildProgram monitor = Monitor("--json --bind 127.0.0.1 --port 0");
    ASSERT_TRUE(monitor.WaitForErr("receiving from UDP 127.0.0.1:")) << monitor.Err();
    ChildProgram send(KOR_SEND_PATH,
                      "--tick-unit milliseconds --only BasicLens,TickCount --loss 25 "
                      "--duplicate 10 --seed 11 --duration 3" +
                          kor_test::To(BannerPort(monitor.Err())));
    ASSERT_EQ(send.Finish(), 0) << send.Err();
    const std::string& sent = send.Out();
    EXPECT_NE(sent.find("loss 25%, duplicate 10% (seed 11)"), std::string::npos) << sent;
    const long long duplicated = NumberAfter(sent, " lost, ");
    ASSERT_GT(duplicated, 0) << sent;
    ASSERT_TRUE(
        monitor.WaitForLines(static_cast<std::size_t>(NumberAfter(sent, "datagrams sent: "))))
        << sent << monitor.Err();
    monitor.Signal(SIGINT);
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();

    // Frame n of the stream carries about n * 1000 / 24 ms. The monitor learns the period
    // from its first eight steps, so drops after the ninth distinct frame count.
    std::vector<long long> frames;
    for (const json& line : JsonLines(monitor.Out())) {
        const long long frame = std::llround(line["tickCount"].get<double>() * 24 / 1000);
        if (frames.empty() || frame != frames.back()) {
            frames.push_back(frame);
        }
    }
    ASSERT_GT(frames.size(), 9U);
    const long long expected =
        frames.back() - frames[8] - static_cast<long long>(frames.size() - 9);
    ASSERT_GT(expected, 0) << "the seed dropped nothing after the first frames";

    const std::string& summary = monitor.Err();
    EXPECT_EQ(NumberAfter(summary, "duplicate datagrams "), duplicated) << summary << sent;
    EXPECT_NEAR(static_cast<double>(NumberAfter(summary, "tick counts (")),
                static_cast<double>(expected), 1.0)
        << summary << sent;
}

// kor-send to a multicast group over the loopback interface, kor-monitor joined to it.
TEST(MonitorMulticast, JoinedGroupReceivesWhatIsSentToIt) {
    const std::string group = "239.255.41.7";
    ChildProgram monitor =
        Monitor("--json --count 5 --port 0 --join " + group + " --interface 127.0.0.1");
    if (!monitor.WaitForErr("group " + group + " on 127.0.0.1")) {
        if (monitor.Finish() == 2) {
            GTEST_SKIP() << "cannot join a multicast group on loopback here: " << monitor.Err();
        }
        FAIL() << monitor.Err();
    }
    const std::uint16_t port = BannerPort(monitor.Err(), "0.0.0.0");
    ASSERT_NE(port, 0) << monitor.Err();
    ChildProgram send(KOR_SEND_PATH, "--duration 1 --to " + group + ":" + std::to_string(port) +
                                         " --interface 127.0.0.1 --ttl 0");
    if (send.Finish() != 0 || send.Out().find("failed: 0") == std::string::npos) {
        GTEST_SKIP() << "cannot send multicast over loopback here: " << send.Out() << send.Err();
    }
    if (!monitor.WaitForLines(5)) {
        GTEST_SKIP() << "multicast over loopback delivered nothing here: " << send.Out();
    }
    EXPECT_EQ(monitor.Finish(), 0);
    for (const json& line : JsonLines(monitor.Out())) {
        EXPECT_TRUE(line["status"] == "NewTimecode" || line["status"] == "SameTimecode") << line;
    }
}

}  // namespace
