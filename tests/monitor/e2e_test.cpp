// End-to-end tests: runs the kor-monitor program, feeds it over loopback UDP, a file or
// standard input, and checks its JSON lines, messages and exit status. Every wait is
// bounded, and a program that does not end in time is killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "pcap.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous: the tests must pass on a loaded machine and under sanitizers.
constexpr auto kPatience = 30s;

// One run of kor-monitor with its standard streams on pipes.
class MonitorProcess {
public:
    explicit MonitorProcess(const std::vector<std::string>& arguments) {
        int in[2];
        int out[2];
        int err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<std::string> all{KOR_MONITOR_PATH};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int failed =
            posix_spawn(&pid_, KOR_MONITOR_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
        if (failed != 0) {
            ADD_FAILURE() << "cannot start " << KOR_MONITOR_PATH;
            pid_ = -1;
        }
    }

    MonitorProcess(const MonitorProcess&) = delete;
    MonitorProcess& operator=(const MonitorProcess&) = delete;

    ~MonitorProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {stdin_, stdout_, stderr_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    void Write(const Bytes& bytes) {
        ASSERT_EQ(::write(stdin_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void Signal(int signal) { ::kill(pid_, signal); }

    // Reads output until standard error holds text; false if it never does in time.
    bool WaitForStderr(const std::string& text) {
        const auto deadline = Clock::now() + kPatience;
        while (err_.find(text) == std::string::npos) {
            if (!Pump(deadline)) {
                return false;
            }
        }
        return true;
    }

    // Reads output until standard output holds `count` lines; false if it never does in time.
    bool WaitForStdoutLines(std::size_t count) {
        const auto deadline = Clock::now() + kPatience;
        while (static_cast<std::size_t>(std::count(out_.begin(), out_.end(), '\n')) < count) {
            if (!Pump(deadline)) {
                return false;
            }
        }
        return true;
    }

    // Reads all output until the program ends and returns its exit status; empty if it
    // did not end in time (it is then killed) or ended by a signal.
    std::optional<int> Finish() {
        const auto deadline = Clock::now() + kPatience;
        while (Pump(deadline)) {
        }
        if (stdout_ >= 0 || stderr_ >= 0) {
            ADD_FAILURE() << "kor-monitor did not end in time";
            return std::nullopt;
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) {
            return std::nullopt;
        }
        status_ = status;
        return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }

    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }

    std::vector<json> JsonLines() const {
        std::vector<json> lines;
        std::istringstream stream(out_);
        for (std::string line; std::getline(stream, line);) {
            lines.push_back(json::parse(line));
        }
        return lines;
    }

private:
    // Reads whatever arrives on stdout and stderr; false at end of both or the deadline.
    bool Pump(Clock::time_point deadline) {
        if (stdout_ < 0 && stderr_ < 0) {
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) {
            return false;
        }
        pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        ReadFrom(fds[0], stdout_, out_);
        ReadFrom(fds[1], stderr_, err_);
        return true;
    }

    static void ReadFrom(const pollfd& entry, int& fd, std::string& text) {
        if (fd < 0 || (entry.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            return;
        }
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> status_;
};

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
    data.ptpNanoseconds = 5;
    data.productBrand = "CamCo";
    return data;
}

std::uint16_t PortFromBanner(const std::string& err) {
    const std::string marker = "127.0.0.1:";
    const std::size_t at = err.find(marker);
    return at == std::string::npos
               ? 0
               : static_cast<std::uint16_t>(std::stoi(err.substr(at + marker.size())));
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

std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Runs kor-send with `arguments` to its end; true if it exited with status 0.
bool RunSend(const std::string& arguments, std::string& output) {
    const std::string command = std::string(KOR_SEND_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The number after `label` in `text`; -1 when the label is missing.
long long NumberAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + label.size()));
}

// A file named after the running test in the test's temporary directory, removed at the end.
struct TempFile {
    std::string path = ::testing::TempDir() + "kor-monitor-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ~TempFile() { std::remove(path.c_str()); }
    void Write(const Bytes& bytes) const {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
};

TEST(MonitorEndToEnd, UdpDatagramsBecomeJsonLines) {
    MonitorProcess monitor({"--json", "--count", "4", "--bind", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(monitor.WaitForStderr("receiving from UDP 127.0.0.1:")) << monitor.Err();
    const std::uint16_t port = PortFromBanner(monitor.Err());
    ASSERT_NE(port, 0);

    Bytes badHeader = Sample(1, 1).Encode(TransmissionType::UDP, {MessageType::ChannelId});
    badHeader[7] = 0x01;
    SendTo(port, {Sample(1500, 1).Encode(TransmissionType::UDP,
                                         {MessageType::Timecode, MessageType::BasicLens}),
                  Sample(1600, 1).Encode(TransmissionType::UDP,
                                         {MessageType::Timecode, MessageType::ChannelId}),
                  badHeader,
                  Sample(1700, 2).Encode(TransmissionType::UDP,
                                         {MessageType::PtpTimestamp, MessageType::ProductBrand})});

    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    std::vector<json> lines = monitor.JsonLines();  // a missing key reads as null
    ASSERT_EQ(lines.size(), 4U) << monitor.Out();
    EXPECT_EQ(lines[0]["status"], "NewTimecode");
    EXPECT_EQ(lines[0]["focus"], 1500);
    EXPECT_EQ(lines[0]["iris"], 2.8);
    EXPECT_EQ(lines[0]["timecodeSeconds"], 30);
    EXPECT_FALSE(lines[0].contains("channelId"));
    EXPECT_EQ(lines[1]["status"], "SameTimecode");
    EXPECT_EQ(lines[1]["channelId"], 7);
    EXPECT_FALSE(lines[1].contains("focus"));
    EXPECT_EQ(lines[2]["status"], "HeaderError");
    EXPECT_EQ(lines[2].size(), 3U);
    EXPECT_EQ(lines[3]["status"], "SameTimecode");
    EXPECT_EQ(lines[3]["ptpSeconds"], 1'700'000'000);
    EXPECT_EQ(lines[3]["productBrand"], "CamCo");
    for (const json& line : lines) {
        const std::string time = line["receiveTime"];
        EXPECT_EQ(time.size(), 27U) << time;  // 2024-05-01T12:51:36.123456Z
        EXPECT_EQ(time.back(), 'Z');
        EXPECT_GT(line["receiveEpochSeconds"].get<double>(), 1.6e9);
    }
    EXPECT_NE(monitor.Err().find("frames 4: 3 applied, 1 with errors"), std::string::npos)
        << monitor.Err();
}

TEST(MonitorEndToEnd, SerialFileBecomesJsonLinesUntilItsEnd) {
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

    MonitorProcess monitor({"--serial", file.path, "--json"});
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    std::vector<json> lines = monitor.JsonLines();  // a missing key reads as null
    ASSERT_EQ(lines.size(), 3U) << monitor.Out();
    EXPECT_EQ(lines[0]["status"], "NewTimecode");
    EXPECT_EQ(lines[0]["focus"], 1500);
    EXPECT_EQ(lines[1]["status"], "ChecksumError");
    EXPECT_EQ(lines[2]["status"], "SameTimecode");
    EXPECT_EQ(lines[2]["productBrand"], "CamCo");
    EXPECT_FALSE(lines[2].contains("focus"));
}

TEST(MonitorEndToEnd, StandardInputStopsAtTheCount) {
    MonitorProcess monitor({"--serial", "-", "--json", "--count", "2"});
    for (std::uint8_t frames = 1; frames <= 3; ++frames) {
        monitor.Write(Sample(1500U + frames, frames)
                          .Encode(TransmissionType::Serial, {MessageType::BasicLens}));
    }
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    std::vector<json> lines = monitor.JsonLines();  // a missing key reads as null
    ASSERT_EQ(lines.size(), 2U) << monitor.Out();
    EXPECT_EQ(lines[1]["focus"], 1502);
}

TEST(MonitorEndToEnd, LiveViewShowsTheStateAndASummary) {
    TempFile file;
    file.Write(Sample(1500, 1).Encode(TransmissionType::Serial,
                                      {MessageType::Timecode, MessageType::BasicLens}));
    MonitorProcess monitor({"--serial", file.path});
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    EXPECT_NE(monitor.Out().find("10:20:30:01"), std::string::npos) << monitor.Out();
    EXPECT_NE(monitor.Out().find("focus 1500 mm"), std::string::npos);
    EXPECT_NE(monitor.Out().find("kor-monitor summary"), std::string::npos);
    // Not a terminal: no screen-control codes.
    EXPECT_EQ(monitor.Out().find('\x1b'), std::string::npos);
}

TEST(MonitorEndToEnd, DurationAndInterruptEndTheRunCleanly) {
    MonitorProcess timed({"--json", "--bind", "127.0.0.1", "--port", "0", "--duration", "0.2"});
    ASSERT_EQ(timed.Finish(), 0) << timed.Err();
    EXPECT_TRUE(timed.Out().empty());
    EXPECT_NE(timed.Err().find("kor-monitor summary"), std::string::npos);

    MonitorProcess interrupted({"--json", "--bind", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(interrupted.WaitForStderr("receiving from")) << interrupted.Err();
    interrupted.Signal(SIGINT);
    ASSERT_EQ(interrupted.Finish(), 0) << interrupted.Err();
    EXPECT_NE(interrupted.Err().find("frames 0"), std::string::npos) << interrupted.Err();
}

TEST(MonitorEndToEnd, PortInUseIsAOneLineErrorWithStatus2) {
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    MonitorProcess monitor({"--json", "--bind", "127.0.0.1", "--port", port});
    EXPECT_EQ(monitor.Finish(), 2);
    ::close(blocker);
    EXPECT_EQ(LineCount(monitor.Err()), 1U) << monitor.Err();
    EXPECT_NE(monitor.Err().find(port), std::string::npos) << monitor.Err();
    EXPECT_NE(monitor.Err().find("in use"), std::string::npos) << monitor.Err();
    EXPECT_TRUE(monitor.Out().empty());
}

TEST(MonitorEndToEnd, MissingFileIsAOneLineErrorWithStatus2) {
    TempFile file;  // never written
    MonitorProcess monitor({"--serial", file.path, "--json"});
    EXPECT_EQ(monitor.Finish(), 2);
    EXPECT_EQ(LineCount(monitor.Err()), 1U) << monitor.Err();
    EXPECT_NE(monitor.Err().find(file.path), std::string::npos) << monitor.Err();
    EXPECT_TRUE(monitor.Out().empty());
}

TEST(MonitorEndToEnd, UsageErrorsAreNeitherSuccessNorOpenFailures) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--serial", "-", "--port", "1234"},
          std::vector<std::string>{"--count", "0"}, std::vector<std::string>{"--port", "70000"},
          std::vector<std::string>{"--bind", "not-an-address"}}) {
        MonitorProcess monitor(arguments);
        const std::optional<int> status = monitor.Finish();
        ASSERT_TRUE(status.has_value());
        EXPECT_NE(*status, 0) << arguments[0];
        EXPECT_NE(*status, 2) << arguments[0];
    }
}

// --record: every datagram lands in a pcap capture with its addresses, ports and arrival
// time, unchanged, whatever the frame status.
TEST(MonitorRecord, EveryDatagramIsWrittenToTheCapture) {
    TempFile file;
    Bytes bad = Sample(1, 1).Encode(TransmissionType::UDP, {MessageType::ChannelId});
    bad[7] = 0x01;  // a header error: recorded all the same
    const std::vector<Bytes> sent{
        Sample(1500, 1).Encode(TransmissionType::UDP,
                               {MessageType::Timecode, MessageType::BasicLens}),
        bad, Sample(1600, 2).Encode(TransmissionType::UDP, {MessageType::ProductBrand})};
    const auto before = std::chrono::system_clock::now();
    MonitorProcess monitor(
        {"--json", "--count", "3", "--bind", "127.0.0.1", "--port", "0", "--record", file.path});
    ASSERT_TRUE(monitor.WaitForStderr("receiving from UDP 127.0.0.1:")) << monitor.Err();
    const std::uint16_t port = PortFromBanner(monitor.Err());
    ASSERT_NE(port, 0);
    SendTo(port, sent);
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    const auto after = std::chrono::system_clock::now();
    EXPECT_NE(monitor.Err().find("recorded 3 datagrams to " + file.path), std::string::npos)
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

// Bound to every address, the capture still names the address each datagram was sent to.
// The records reach the file as they arrive: a capture killed mid-run is readable.
TEST(MonitorRecord, CaptureOfAKilledRunIsReadable) {
    TempFile file;
    MonitorProcess monitor({"--json", "--bind", "0.0.0.0", "--port", "0", "--record", file.path});
    ASSERT_TRUE(monitor.WaitForStderr("receiving from UDP 0.0.0.0:")) << monitor.Err();
    const std::string marker = "0.0.0.0:";
    const auto port = static_cast<std::uint16_t>(
        std::stoi(monitor.Err().substr(monitor.Err().find(marker) + marker.size())));
    const std::vector<Bytes> sent{
        Sample(1500, 1).Encode(TransmissionType::UDP, {MessageType::BasicLens}),
        Sample(1501, 2).Encode(TransmissionType::UDP, {MessageType::BasicLens})};
    SendTo(port, sent);
    ASSERT_TRUE(monitor.WaitForStdoutLines(2)) << monitor.Out();
    monitor.Signal(SIGKILL);
    EXPECT_FALSE(monitor.Finish().has_value());

    Kor::Pcap::Capture capture;
    std::string error;
    ASSERT_TRUE(Kor::Pcap::ReadCaptureFile(file.path, capture, error)) << error;
    ASSERT_EQ(capture.datagrams.size(), 2U);
    EXPECT_EQ(capture.datagrams[1].payload, sent[1]);
    EXPECT_EQ(capture.datagrams[1].destination, (Kor::Pcap::Endpoint{INADDR_LOOPBACK, port}));
}

TEST(MonitorRecord, RefusalsAreOneLineWithStatus2) {
    TempFile file;
    MonitorProcess serial({"--serial", "-", "--record", file.path});
    EXPECT_EQ(serial.Finish(), 2);
    EXPECT_EQ(LineCount(serial.Err()), 1U) << serial.Err();
    EXPECT_NE(serial.Err().find("--serial"), std::string::npos) << serial.Err();
    EXPECT_NE(::access(file.path.c_str(), F_OK), 0) << "a refused run created the file";

    const std::string path = ::testing::TempDir() + "kor-no-such-directory/capture.pcap";
    MonitorProcess uncreatable({"--json", "--bind", "127.0.0.1", "--port", "0", "--record", path});
    EXPECT_EQ(uncreatable.Finish(), 2);
    EXPECT_EQ(LineCount(uncreatable.Err()), 1U) << uncreatable.Err();
    EXPECT_NE(uncreatable.Err().find("cannot create " + path), std::string::npos)
        << uncreatable.Err();
    EXPECT_TRUE(uncreatable.Out().empty());
}

// kor-send drops and repeats datagrams of a 24 Hz stream with millisecond tick counts;
// kor-monitor counts the repeats and the frames missing from the tick counts. The frames
// missing are worked out here from the received counts and the known rate.
TEST(MonitorFaults, CountsWhatKorSendInjects) {
    MonitorProcess monitor({"--json", "--bind", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(monitor.WaitForStderr("receiving from UDP 127.0.0.1:")) << monitor.Err();
    const std::uint16_t port = PortFromBanner(monitor.Err());
    std::string sent;
    ASSERT_TRUE(
        RunSend("--tick-unit milliseconds --only BasicLens,TickCount --loss 25 "
                "--duplicate 10 --seed 11 --duration 3 --to 127.0.0.1:" +
                    std::to_string(port),
                sent))
        << sent;
    const long long duplicated = NumberAfter(sent, " lost, ");
    ASSERT_GT(duplicated, 0) << sent;
    ASSERT_TRUE(
        monitor.WaitForStdoutLines(static_cast<std::size_t>(NumberAfter(sent, "datagrams sent: "))))
        << sent << monitor.Err();
    monitor.Signal(SIGINT);
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();

    // Frame n of the stream carries about n * 1000 / 24 ms. The monitor learns the period
    // from its first eight steps, so drops after the ninth distinct frame count.
    std::vector<long long> frames;
    for (const json& line : monitor.JsonLines()) {
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
    MonitorProcess monitor(
        {"--json", "--count", "5", "--port", "0", "--join", group, "--interface", "127.0.0.1"});
    if (!monitor.WaitForStderr("group " + group + " on 127.0.0.1")) {
        const auto status = monitor.Finish();
        if (status == 2) {
            GTEST_SKIP() << "cannot join a multicast group on loopback here: " << monitor.Err();
        }
        FAIL() << monitor.Err();
    }
    const std::string marker = "0.0.0.0:";
    const std::size_t at = monitor.Err().find(marker);
    ASSERT_NE(at, std::string::npos) << monitor.Err();
    const int port = std::stoi(monitor.Err().substr(at + marker.size()));
    std::string sent;
    const bool ran = RunSend("--duration 1 --to " + group + ":" + std::to_string(port) +
                                 " --interface 127.0.0.1 --ttl 0",
                             sent);
    if (!ran || sent.find("failed: 0") == std::string::npos) {
        GTEST_SKIP() << "cannot send multicast over loopback here: " << sent;
    }
    if (!monitor.WaitForStdoutLines(5)) {
        GTEST_SKIP() << "multicast over loopback delivered nothing here: " << sent;
    }
    EXPECT_EQ(monitor.Finish(), 0);
    for (const json& line : monitor.JsonLines()) {
        EXPECT_TRUE(line["status"] == "NewTimecode" || line["status"] == "SameTimecode") << line;
    }
}

TEST(MonitorMulticast, JoinNeedsAGroupAddress) {
    MonitorProcess monitor({"--join", "10.1.2.3", "--port", "0"});
    EXPECT_EQ(monitor.Finish(), 2);
    EXPECT_NE(monitor.Err().find("multicast"), std::string::npos) << monitor.Err();
    EXPECT_EQ(LineCount(monitor.Err()), 1U) << monitor.Err();
}

}  // namespace
