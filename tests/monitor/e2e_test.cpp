// End-to-end tests: runs the kor-monitor program, feeds it over loopback UDP, a file or
// standard input, or with kor-send, and checks its JSON lines, captures, summary and exit
// status. Every wait is bounded, and a program that does not end in time is killed.
#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "../engine/loopback.h"
#include "../send/programs.h"
#include "pcap.h"
#include "udp.h"

namespace {

using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_test::ChildProgram;
using kor_test::MonitorPort;
using kor_test::NumberAfter;
using kor_test::TempFile;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

ChildProgram Monitor(const std::string& arguments) {
    return ChildProgram(KOR_MONITOR_PATH, arguments);
}

// The frames' JSON objects of standard output, one a line, without the closing summary.
std::vector<json> JsonLines(const std::string& out) {
    std::vector<json> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(json::parse(line));
    }
    if (!lines.empty() && lines.back().contains("summary")) {
        lines.pop_back();
    }
    return lines;
}

// The summary object that closes standard output (null if there is none).
json Summary(const std::string& out) {
    const std::size_t end = out.find_last_not_of('\n');
    if (end == std::string::npos) {
        return nullptr;
    }
    const std::size_t start = out.rfind('\n', end);
    const json last = json::parse(out.substr(start == std::string::npos ? 0 : start + 1));
    return last.contains("summary") ? last["summary"] : json(nullptr);
}

Strings Statuses(const std::string& out) {
    Strings statuses;
    for (const json& line : JsonLines(out)) {
        statuses.push_back(line["status"].get<std::string>());
    }
    return statuses;
}

// A frame of the given records: timecode frame `frames`, focus `focus`, channel 7 and a
// product brand.
Bytes Sample(TransmissionType framing, std::uint32_t focus, std::uint8_t frames,
             std::vector<MessageType> types) {
    TelemetryData data;
    data.timecodeFrames = frames;
    data.focus = focus;
    data.channelId = 7;
    data.productBrand = "Cam\xff\x1b[2J";  // not UTF-8, and a command to a terminal
    return data.Encode(framing, types);
}

void SendTo(std::uint16_t port, const std::vector<Bytes>& datagrams) {
    const Kor::Platform::SocketSession session;
    const auto sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(sock, kor_test::kNoSocket);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const Bytes& datagram : datagrams) {
        EXPECT_EQ(static_cast<std::size_t>(::sendto(
                      sock, reinterpret_cast<const char*>(datagram.data()),
                      static_cast<int>(datagram.size()), 0,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to)),
                  datagram.size());
    }
    kor_test::CloseSocket(sock);
}

// Every datagram becomes a JSON line, and --record writes each one to a pcap capture with
// its addresses, ports and arrival time, unchanged, whatever the frame status.
TEST(MonitorEndToEnd, UdpDatagramsBecomeJsonLinesAndCaptureRecords) {
    TempFile file;
    const auto udp = TransmissionType::UDP;
    Bytes badHeader = Sample(udp, 1, 1, {MessageType::ChannelId});
    badHeader[7] = 0x01;
    // The last two: too short to be a frame, and a serial frame, which is decoded as serial.
    const std::vector<Bytes> sent{
        Sample(udp, 1500, 1, {MessageType::Timecode, MessageType::BasicLens}),
        Sample(udp, 1600, 1, {MessageType::Timecode, MessageType::ChannelId}),
        badHeader,
        Sample(udp, 1700, 2, {MessageType::ProductBrand}),
        Bytes{0, 0xff, 0, 0, 0, 0, 0, 0, 0x18},
        Sample(TransmissionType::Serial, 1800, 3, {MessageType::Timecode, MessageType::BasicLens})};
    const auto before = std::chrono::system_clock::now();
    // Bound to every address, the capture still names the address each datagram was sent to.
    ChildProgram monitor =
        Monitor("--json --count 6 --bind 0.0.0.0 --port 0 --record " + file.path);
    const std::uint16_t port = MonitorPort(monitor, "0.0.0.0");
    ASSERT_NE(port, 0) << monitor.Err();
    SendTo(port, sent);
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    const auto after = std::chrono::system_clock::now();

    // Each line holds the fields of the records its frame carried, not the whole state.
    const std::vector<json> lines = JsonLines(monitor.Out());
    EXPECT_EQ(Statuses(monitor.Out()), (Strings{"NewTimecode", "SameTimecode", "HeaderError",
                                                "SameTimecode", "LengthError", "NewTimecode"}));
    ASSERT_EQ(lines.size(), 6U);
    EXPECT_EQ(lines[0]["focus"], 1500);
    EXPECT_EQ(lines[1]["channelId"], 7);
    EXPECT_FALSE(lines[1].contains("focus"));
    EXPECT_EQ(lines[2].size(), 5U) << lines[2];  // status, receive time, sender and source
    EXPECT_EQ(lines[5]["focus"], 1800);
    EXPECT_GT(lines[5]["receiveEpochSeconds"].get<double>(), 1.6e9);  // the wall clock
    // The closing line sums the run up.
    const json summary = Summary(monitor.Out());
    EXPECT_EQ(summary["datagrams"], 6) << summary;
    EXPECT_EQ(summary["applied"], 4) << summary;
    EXPECT_EQ(summary["statuses"]["HeaderError"], 1) << summary;
    EXPECT_EQ(summary["messages"]["BasicLens"]["count"], 2) << summary;

    Kor::Pcap::Capture capture;
    const Kor::Checked read = Kor::Pcap::ReadCaptureFile(file.path, capture);
    ASSERT_TRUE(read) << read.Message();
    ASSERT_EQ(capture.datagrams.size(), sent.size());
    const auto ns = [](std::chrono::system_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    };
    std::int64_t previous = ns(before);
    for (std::size_t n = 0; n < sent.size(); ++n) {
        const Kor::Pcap::Datagram& d = capture.datagrams[n];
        EXPECT_EQ(d.payload, sent[n]) << n;
        EXPECT_EQ(d.source.address, INADDR_LOOPBACK);
        EXPECT_EQ(d.source.port, capture.datagrams[0].source.port);  // one sending socket
        EXPECT_EQ(d.destination, (Kor::Pcap::Endpoint{INADDR_LOOPBACK, port}));
        EXPECT_GE(d.timeNs, previous) << n;
        previous = d.timeNs;
    }
    EXPECT_LE(previous, ns(after));
}

// Three cameras from two senders, the first sending subjects 1 and 2 from one port: three
// sources, each line naming its sender and source, each source's timecodes compared with its
// own (subjects 1 and 2 carry the same labels, and each of their frames is new), a refused
// frame counted against its sender's last source, and the summary listing the three.
TEST(MonitorEndToEnd, SeveralSendersAndSubjectsAreSourcesOfTheirOwn) {
    ChildProgram monitor = Monitor("--json --count 31 --bind 127.0.0.1 --port 0");
    const std::uint16_t port = MonitorPort(monitor);
    ASSERT_NE(port, 0) << monitor.Err();
    Kor::Platform::UdpSocket first;
    Kor::Platform::UdpSocket second;
    ASSERT_EQ(first.Bind("127.0.0.1", 0), 0);
    ASSERT_EQ(second.Bind("127.0.0.1", 0), 0);
    const auto camera = [](std::uint16_t subject, std::uint8_t frames) {
        TelemetryData data;
        data.subjectId = subject;
        data.timecodeFrames = frames;
        data.focus = subject * 1000U + frames;
        data.productSerial = "CAM-" + std::to_string(subject);
        return data.Encode(TransmissionType::UDP,
                           {MessageType::Timecode, MessageType::BasicLens,
                            MessageType::ProductSerial, MessageType::SubjectId});
    };
    const auto send = [&](Kor::Platform::UdpSocket& socket, const Bytes& datagram) {
        EXPECT_TRUE(socket.SendTo("127.0.0.1", port, datagram.data(), datagram.size()));
    };
    for (std::uint8_t n = 1; n <= 10; ++n) {
        send(first, camera(1, n));
        send(first, camera(2, n));
        send(second, camera(3, n));
    }
    Bytes badHeader = camera(3, 11);
    badHeader[7] = 0x01;
    send(second, badHeader);
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();

    const std::string senders[] = {"127.0.0.1:" + std::to_string(first.LocalPort()),
                                   "127.0.0.1:" + std::to_string(second.LocalPort())};
    const std::vector<json> lines = JsonLines(monitor.Out());
    ASSERT_EQ(lines.size(), 31U) << monitor.Out();
    for (std::size_t n = 0; n < 30; ++n) {
        const json& line = lines[n];
        const int subject = line["subjectId"].get<int>();
        EXPECT_EQ(line["status"], "NewTimecode") << line;
        EXPECT_EQ(line["source"], subject) << line;
        EXPECT_EQ(line["sender"], senders[subject == 3 ? 1 : 0]) << line;
        EXPECT_EQ(line["focus"].get<int>() / 1000, subject) << line;
    }
    EXPECT_EQ(lines[30]["status"], "HeaderError");
    EXPECT_EQ(lines[30]["sender"], senders[1]);
    EXPECT_EQ(lines[30]["source"], 3);

    const json summary = Summary(monitor.Out());
    ASSERT_EQ(summary["sources"].size(), 3U) << summary;
    for (int subject = 1; subject <= 3; ++subject) {
        const json& source = summary["sources"][subject - 1];
        EXPECT_EQ(source["subjectId"], subject) << source;
        EXPECT_EQ(source["sender"], senders[subject == 3 ? 1 : 0]) << source;
        EXPECT_EQ(source["productSerial"], "CAM-" + std::to_string(subject)) << source;
        EXPECT_EQ(source["applied"], 10) << source;
        EXPECT_EQ(source["errors"], subject == 3 ? 1 : 0) << source;
    }
    EXPECT_EQ(summary["applied"], 30);
    EXPECT_NE(monitor.Err().find("Source 2: " + senders[0] + ", subject 2, serial \"CAM-2\""),
              std::string::npos)
        << monitor.Err();
}

// --record creates its capture by its full name, whatever its script: in a folder named in
// Cyrillic and Japanese (on Windows the name comes through the wide command line), and the
// closing line names it as given.
TEST(MonitorEndToEnd, RecordsIntoAFolderWhoseNameIsNotAscii) {
    const kor_test::UnicodeFolder folder;
    const std::string path = folder.path + "/запись 1.pcap";
    ChildProgram monitor =
        Monitor("--json --count 2 --bind 127.0.0.1 --port 0 --record " + kor_test::Quoted(path));
    const std::uint16_t port = MonitorPort(monitor);
    ASSERT_NE(port, 0) << monitor.Err();
    const std::vector<Bytes> sent{
        Sample(TransmissionType::UDP, 1500, 1, {MessageType::Timecode}),
        Sample(TransmissionType::UDP, 1600, 2, {MessageType::Timecode})};
    SendTo(port, sent);
    ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
    EXPECT_NE(monitor.Err().find("recorded 2 datagrams to " + path + "\n"), std::string::npos)
        << monitor.Err();
    EXPECT_TRUE(std::filesystem::exists(kor_test::UnicodeFolder::Native(path)));
    Kor::Pcap::Capture capture;
    const Kor::Checked read = Kor::Pcap::ReadCaptureFile(path, capture);
    ASSERT_TRUE(read) << read.Message();
    ASSERT_EQ(capture.datagrams.size(), 2U);
    EXPECT_EQ(capture.datagrams[1].payload, sent[1]);
}

// A serial stream with noise before the first frame and a damaged frame, read from a file
// and from standard input as JSON lines, and from the file as the live view.
TEST(MonitorEndToEnd, SerialFromAFileAndFromStandardInput) {
    const auto serial = TransmissionType::Serial;
    Bytes damaged = Sample(serial, 1600, 2, {MessageType::BasicLens});
    damaged[damaged.size() - 2] ^= 0x01;
    Bytes stream{'n', 'o', 'i', 's', 'e'};
    for (const Bytes& frame :
         {Sample(serial, 1500, 1, {MessageType::Timecode, MessageType::BasicLens}), damaged,
          Sample(serial, 1700, 2, {MessageType::ProductBrand})}) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    TempFile file;
    std::ofstream(file.path, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::ssize(stream));
    ChildProgram fromFile = Monitor("--serial " + file.path + " --json");
    ChildProgram view = Monitor("--serial " + file.path);
    ChildProgram fromInput(KOR_MONITOR_PATH, "--serial - --json --count 2", file.path);
    for (ChildProgram* run : {&fromFile, &view, &fromInput}) {
        EXPECT_EQ(run->Finish(), 0) << run->Err();
    }
    EXPECT_EQ(Statuses(fromFile.Out()), (Strings{"NewTimecode", "ChecksumError", "SameTimecode"}));
    EXPECT_EQ(Statuses(fromInput.Out()), (Strings{"NewTimecode", "ChecksumError"}));
    EXPECT_EQ(Summary(fromFile.Out())["frames"], 3) << fromFile.Out();
    EXPECT_GE(Summary(fromFile.Out())["reads"], 1) << fromFile.Out();
    EXPECT_NE(view.Out().find(R"("Cam\xFF\x1B[2J")"), std::string::npos) << view.Out();
    EXPECT_EQ(view.Out().find('\x1b'), std::string::npos) << "screen codes when not a terminal";
}

// A run ends with status 0 and the summary at the end of its duration (an interrupt is sent
// in the tests with kor-send); what cannot be opened or is refused, bad options included,
// ends it with one line and status 2, before any capture is created.
TEST(MonitorEndToEnd, RunsEndWithTheStatusOfTheirCause) {
    const kor_test::LoopbackReceiver blocker;  // holds a port
    const std::string port = std::to_string(blocker.port());
    TempFile file;  // never written
    const std::string uncreatable = ::testing::TempDir() + "kor-no-such-directory/x.pcap";
    const std::vector<std::tuple<std::string, int, Strings>> runs{
        {"--json --bind 127.0.0.1 --port 0 --duration 0.2", 0, {"frames 0:"}},
        // A host name where an address is expected: the address it stands for.
        {"--json --bind localhost --port 0 --duration 0.2", 0, {"from UDP 127.0.0.1:"}},
        {"--json --bind 127.0.0.1 --port " + port, 2, {port, "in use"}},
        {"--serial " + file.path + " --json", 2, {file.path}},
        {"--serial - --record " + file.path, 2, {"--serial"}},
        {"--json --port 0 --record " + uncreatable, 2, {"cannot create " + uncreatable}},
        {"--join 10.1.2.3 --port 0", 2, {"multicast"}},
        {"--serial - --port 1234", 2, {"kor-monitor: ", "--port"}},
        {"--count 0", 2, {"kor-monitor: ", "--count", "above 0"}},
        {"--duration -2", 2, {"kor-monitor: ", "--duration", "above 0"}},
        {"--port 70000", 2, {"kor-monitor: --port: needs a whole number from 0 to 65535, not '70000'"}},
        {"--bind no-such-host.invalid", 2, {"kor-monitor: --bind: cannot resolve 'no-such-host.invalid'"}},
        {"--join 239.1.2.3 --interface no-such-host.invalid", 2, {"--interface: cannot resolve"}},
        {"--bogus --record " + file.path, 2, {"kor-monitor: ", "--bogus"}},
    };
    for (const auto& [arguments, status, expected] : runs) {
        ChildProgram monitor = Monitor(arguments);
        const std::optional<int> ended = monitor.Finish();
        ASSERT_TRUE(ended.has_value()) << arguments;
        EXPECT_EQ(*ended, status) << arguments;
        EXPECT_TRUE(status == 0 || kor_test::LineCount(monitor.Err()) == 1) << monitor.Err();
        for (const std::string& text : expected) {
            EXPECT_NE(monitor.Err().find(text), std::string::npos) << monitor.Err();
        }
        if (status == 0) {
            // Standard output holds the summary line alone.
            EXPECT_EQ(kor_test::LineCount(monitor.Out()), 1U) << monitor.Out();
            EXPECT_EQ(Summary(monitor.Out())["frames"], 0) << monitor.Out();
        } else {
            EXPECT_TRUE(monitor.Out().empty()) << arguments;
        }
    }
    EXPECT_NE(::access(file.path.c_str(), F_OK), 0) << "a refused run created the file";
}

// kor-send drops and repeats datagrams of a 24 Hz stream with millisecond tick counts;
// kor-monitor counts the repeats and the frames missing from the tick counts. The frames
// missing are worked out here from the received counts and the known rate.
TEST(MonitorFaults, CountsWhatKorSendInjects) {
    ChildProgram monitor = Monitor("--json --bind 127.0.0.1 --port 0");
    const std::uint16_t port = MonitorPort(monitor);
    ASSERT_NE(port, 0) << monitor.Err();
    ChildProgram send(KOR_SEND_PATH,
                      "--tick-unit milliseconds --only BasicLens,TickCount --loss 25 "
                      "--duplicate 10 --seed 11 --duration 3" +
                          kor_test::To(port));
    ASSERT_EQ(send.Finish(), 0) << send.Err();
    const std::string& sent = send.Out();
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

// kor-send's faults in its 25 fps stream (microsecond tick counts), with a clean stream from
// another kor-send beside it: reordered frames show as tick counts and PTP stamps that go back,
// duplicates as duplicates alone, lost frames as timecode skips. The clean stream's labels,
// ticks and stamps never repeat, skip or go back. Both pairs run at once.
TEST(MonitorFaults, TimeBaseShowsWhatKorSendInjects) {
    ChildProgram faulty = Monitor("--json --bind 127.0.0.1 --port 0");
    ChildProgram clean = Monitor("--json --bind 127.0.0.1 --port 0");
    const std::uint16_t faultyPort = MonitorPort(faulty);
    const std::uint16_t cleanPort = MonitorPort(clean);
    ASSERT_NE(faultyPort, 0) << faulty.Err();
    ASSERT_NE(cleanPort, 0) << clean.Err();
    const std::string stream = "--fps 25 --tick-unit microseconds --duration 3";
    ChildProgram faultySend(KOR_SEND_PATH, stream + " --loss 8 --reorder 8 --duplicate 8 --seed 5" +
                                               kor_test::To(faultyPort));
    ChildProgram cleanSend(KOR_SEND_PATH, stream + kor_test::To(cleanPort));
    ASSERT_EQ(faultySend.Finish(), 0) << faultySend.Err();
    ASSERT_EQ(cleanSend.Finish(), 0) << cleanSend.Err();
    for (auto [monitor, send] : {std::pair{&faulty, &faultySend}, std::pair{&clean, &cleanSend}}) {
        const auto sent = NumberAfter(send->Out(), "datagrams sent: ");
        ASSERT_TRUE(monitor->WaitForLines(static_cast<std::size_t>(sent))) << send->Out();
        monitor->Signal(SIGINT);
        ASSERT_EQ(monitor->Finish(), 0) << monitor->Err();
    }

    const std::string& faults = faultySend.Out();
    const long long lost = NumberAfter(faults, "datagrams, ");
    const long long duplicated = NumberAfter(faults, " lost, ");
    const long long reordered = NumberAfter(faults, "duplicated, ");
    ASSERT_GE(lost, 3) << faults;
    ASSERT_GE(reordered, 3) << faults;
    const json summary = Summary(faulty.Out());
    const json& base = summary["timeBase"];
    EXPECT_EQ(summary["duplicateDatagrams"], duplicated) << summary;
    // Frames are stamped from their instants, so the labels of the stream are checked and
    // the lost frames show.
    EXPECT_GE(base["checkedStreams"], 1) << summary;
    EXPECT_GE(base["timecodeSkips"], 1) << summary << faults;
    // Each frame held back behind one of its own stream goes back once on both clocks.
    EXPECT_GE(base["tickCountsBack"], 1) << summary << faults;
    EXPECT_LE(base["tickCountsBack"], reordered) << summary << faults;
    EXPECT_EQ(base["ptpStampsBack"], base["tickCountsBack"]) << summary;

    const json cleanSummary = Summary(clean.Out());
    const json& cleanBase = cleanSummary["timeBase"];
    EXPECT_EQ(cleanBase["tickCountsBack"], 0) << cleanBase;
    EXPECT_EQ(cleanBase["ptpStampsBack"], 0) << cleanBase;
    EXPECT_GE(cleanBase["checkedStreams"], 1) << cleanBase;
    EXPECT_EQ(cleanBase["timecodeRepeats"], 0) << cleanBase;
    // A machine too busy to build a frame for more than a period skips it, and its label
    // with it; the tick counts then show the frame missing too.
    EXPECT_LE(cleanBase["timecodeSkips"], cleanSummary["tickGaps"]["gaps"]) << cleanSummary;
    // The text summary says the same.
    EXPECT_NE(clean.Err().find("0 tick counts back, 0 PTP stamps back"), std::string::npos)
        << clean.Err();
}

// kor-send to a multicast group over the loopback interface, kor-monitor joined to it.
TEST(MonitorMulticast, JoinedGroupReceivesWhatIsSentToIt) {
    const std::string group = "239.255.41.7";
    ChildProgram monitor =
        Monitor("--json --count 5 --port 0 --join " + group + " --interface 127.0.0.1");
    const std::uint16_t port = MonitorPort(monitor, "0.0.0.0");
    if (port == 0 && monitor.Finish() == 2) {
        GTEST_SKIP() << "cannot join a multicast group on loopback here: " << monitor.Err();
    }
    ASSERT_NE(port, 0) << monitor.Err();
    EXPECT_NE(monitor.Err().find("group " + group + " on 127.0.0.1"), std::string::npos);
    ChildProgram send(KOR_SEND_PATH, "--duration 1 --to " + group + ":" + std::to_string(port) +
                                         " --interface 127.0.0.1 --ttl 0");
    if (send.Finish() != 0 || send.Out().find("failed: 0") == std::string::npos) {
        GTEST_SKIP() << "cannot send multicast over loopback here: " << send.Out() << send.Err();
    }
    if (!monitor.WaitForLines(5)) {
        GTEST_SKIP() << "multicast over loopback delivered nothing here: " << send.Out();
    }
    EXPECT_EQ(monitor.Finish(), 0);
    for (const std::string& status : Statuses(monitor.Out())) {
        EXPECT_TRUE(status == "NewTimecode" || status == "SameTimecode") << status;
    }
}

}  // namespace
