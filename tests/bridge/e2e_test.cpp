// kor-bridge end to end on loopback: kor-send or frames made here -> kor-bridge -> OpenTrackIO
// and FreeD receivers in the test; a FreeD generator in the test -> kor-bridge --from-freed ->
// kor-monitor --json. Values are compared field by field within each format's step. Every
// wait is bounded; a program that does not end in time is killed.
#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "../engine/loopback.h"
#include "../send/programs.h"
#include "freed.h"
#include "opentrackio.h"
#include "opentrackio_identity.h"
#include "options.h"
#include "otrk.h"
#include "reference_packets.h"
#include "schema_check.h"

namespace {

using Kor::Bridge::FreedPacket;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using kor_test::ChildProgram;
using kor_test::NumberAfter;
using nlohmann::json;
using nlohmann::ordered_json;

// The sourceId a sample's camera make, model and serial give.
std::string CameraSourceId(const ordered_json& sample) {
    const ordered_json& camera = sample["static"]["camera"];
    const auto text = [&](const char* key) {
        return camera.contains(key) ? camera[key].get<std::string>() : std::string();
    };
    return Kor::Bridge::SourceIdOfCamera(text("make"), text("model"), text("serialNumber"))
        .value_or("(none)");
}

using Bytes = std::vector<std::uint8_t>;

// A UDP socket on 127.0.0.1 and a port the system chooses; datagrams of any size.
class Receiver {
public:
    // With a group: bound to every address, to receive that multicast group on loopback.
    explicit Receiver(const char* group = nullptr) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(group != nullptr ? INADDR_ANY : INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        const int size = 1 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        if (group != nullptr) {
            ip_mreq membership{};
            ::inet_pton(AF_INET, group, &membership.imr_multiaddr);
            ::inet_pton(AF_INET, "127.0.0.1", &membership.imr_interface);
            joined_ =
                ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP,
                             reinterpret_cast<const char*>(&membership), sizeof membership) == 0;
        }
    }
    ~Receiver() { kor_test::CloseSocket(fd_); }
    bool Joined() const { return joined_; }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Everything that arrives until nothing has come for `quiet`.
    std::vector<Bytes> Drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(300)) {
        std::vector<Bytes> all;
        for (;;) {
            if (kor_test::PollSocket(fd_, static_cast<int>(quiet.count())) <= 0) {
                return all;
            }
            Bytes d(65536);
            const auto n =
                ::recv(fd_, reinterpret_cast<char*>(d.data()), static_cast<int>(d.size()), 0);
            if (n < 0) {
                return all;
            }
            d.resize(static_cast<std::size_t>(n));
            all.push_back(std::move(d));
        }
    }

private:
    Kor::Platform::SocketSession session_;  // Windows Sockets, before the socket and after it
    kor_test::SocketHandle fd_ = kor_test::kNoSocket;
    std::uint16_t port_ = 0;
    bool joined_ = false;
};

void SendTo(std::uint16_t port, const std::vector<Bytes>& datagrams) {
    const Kor::Platform::SocketSession session;
    const auto sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(sock, kor_test::kNoSocket);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const Bytes& datagram : datagrams) {
        EXPECT_EQ(
            static_cast<std::size_t>(::sendto(sock, reinterpret_cast<const char*>(datagram.data()),
                                              static_cast<int>(datagram.size()), 0,
                                              reinterpret_cast<const sockaddr*>(&to), sizeof to)),
            datagram.size());
    }
    kor_test::CloseSocket(sock);
}

ChildProgram Bridge(const std::string& arguments) {
    return ChildProgram(KOR_BRIDGE_PATH, arguments);
}

// The port in kor-bridge's start line "receiving KIND on UDP 127.0.0.1:PORT"; 0 if none.
std::uint16_t BridgePort(ChildProgram& bridge, const std::string& kind) {
    const std::string banner = "receiving " + kind + " on UDP 127.0.0.1:";
    const bool seen = bridge.WaitUntil([&] {
        const std::size_t at = bridge.Out().find(banner);
        return at != std::string::npos && bridge.Out().find('\n', at) != std::string::npos;
    });
    return seen ? static_cast<std::uint16_t>(NumberAfter(bridge.Out(), banner)) : 0;
}

// A decoded D1 packet in physical units.
struct Freed {
    FreedPacket raw;
    double pan() const { return raw.pan / 32768.0; }
    double tilt() const { return raw.tilt / 32768.0; }
    double roll() const { return raw.roll / 32768.0; }
    double x() const { return raw.x / 64.0; }
    double y() const { return raw.y / 64.0; }
    double z() const { return raw.z / 64.0; }
};

// Sorts received datagrams: checked OpenTrackIO packets (header fields and payloads) in
// arrival order, and D1 packets, each with the number of samples before it.
struct Received {
    std::vector<Kor::Bridge::OtrkHeader> headers;
    std::vector<ordered_json> samples;
    std::vector<std::pair<Freed, std::size_t>> freed;
    std::size_t other = 0;
};

Received Sort(const std::vector<Bytes>& datagrams) {
    Received r;
    Kor::Bridge::OtrkReassembler reassembler;
    for (const Bytes& d : datagrams) {
        const auto otrk = Kor::Bridge::ParseOtrkPacket(d);
        if (otrk.header) {
            r.headers.push_back(*otrk.header);
            if (auto payload = reassembler.Feed(*otrk.header, otrk.payload)) {
                r.samples.push_back(otrk.header->encoding == 0x02
                                        ? ordered_json::from_cbor(*payload)
                                        : ordered_json::parse(*payload));
            }
            continue;
        }
        const auto freed = Kor::Bridge::ParseFreed(d);
        if (freed.packet) {
            r.freed.push_back({Freed{*freed.packet}, r.samples.size()});
        } else {
            ++r.other;
        }
    }
    return r;
}

double At(const ordered_json& sample, const char* pointer) {
    return sample.at(ordered_json::json_pointer(pointer)).get<double>();
}

// kor-send with its value simulation -> kor-bridge with both outputs to one receiver, so that
// each D1 packet arrives right after the sample of the same Kor frame and the two can be
// compared field by field: FreeD's steps are 1/32768 degree, 1/64 mm and 1 micrometre of
// focal length; OpenTrackIO's numbers carry Kor's 0.01.
TEST(BridgeEndToEnd, KorSendToOpenTrackIOAndFreeD) {
    Receiver receiver;
    constexpr int kFrames = 40;
    ChildProgram bridge = Bridge("--bind 127.0.0.1 --port 0 --count " + std::to_string(kFrames) +
                                 " --opentrackio " + receiver.Address() + " --source-number 3" +
                                 " --freed " + receiver.Address() + " --camera-id 9");
    const std::uint16_t port = BridgePort(bridge, "Kor");
    ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();
    ChildProgram send(KOR_SEND_PATH, "--simulate --duration 20" + kor_test::To(port));
    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    send.Signal(SIGINT);
    EXPECT_EQ(send.Finish(), 0);

    const Received r = Sort(receiver.Drain());
    EXPECT_EQ(r.other, 0U);
    // One sample and one D1 packet per frame with tracking values: all but the identity frames,
    // which come once a second from the first frame on.
    ASSERT_GE(r.samples.size(), static_cast<std::size_t>(kFrames - 5));
    ASSERT_LT(r.samples.size(), static_cast<std::size_t>(kFrames));
    ASSERT_EQ(r.headers.size(), r.samples.size());  // one packet per sample
    ASSERT_EQ(r.freed.size(), r.samples.size());
    EXPECT_NE(bridge.Out().find("packets in: 40, out: " +
                                std::to_string(r.samples.size() + r.freed.size()) + ", refused: 0"),
              std::string::npos)
        << bridge.Out();

    std::set<std::string> sampleIds;
    for (std::size_t i = 0; i < r.samples.size(); ++i) {
        const ordered_json& s = r.samples[i];
        EXPECT_EQ(r.headers[i].sequence, r.headers[0].sequence + i);
        EXPECT_EQ(r.headers[i].encoding, 0x01);
        EXPECT_EQ(s["timing"]["sequenceNumber"], i);
        EXPECT_EQ(s["sourceNumber"], 3);
        EXPECT_EQ(s["sourceId"], r.samples[0]["sourceId"]);
        sampleIds.insert(s["sampleId"].get<std::string>());
        EXPECT_EQ(r.freed[i].second, i + 1) << "each D1 packet right after its frame's sample";
        // Each sample has its own frame's stamp: no two alike.
        if (i > 0) {
            const auto stamp = [](const ordered_json& sample) {
                const ordered_json& t = sample["timing"]["sampleTimestamp"];
                return std::pair{t["seconds"].get<std::uint64_t>(),
                                 t["nanoseconds"].get<std::uint32_t>()};
            };
            EXPECT_LT(stamp(r.samples[i - 1]), stamp(s)) << i;
        }
    }
    EXPECT_EQ(sampleIds.size(), r.samples.size());
    // kor-send sends its serial once a second, from its first frame: it names the source.
    const ordered_json serial = r.samples.back()["static"]["camera"]["serialNumber"];
    ASSERT_TRUE(serial.is_string()) << r.samples.back();
    EXPECT_EQ(r.samples[0]["sourceId"], CameraSourceId(r.samples.back()));

    for (const auto& [freed, samplesBefore] : r.freed) {
        ASSERT_GT(samplesBefore, 0U);
        const ordered_json& s = r.samples[samplesBefore - 1];
        EXPECT_EQ(freed.raw.cameraId, 9);
        EXPECT_NEAR(freed.pan(), At(s, "/transforms/0/rotation/pan"), 1 / 32768.0);
        EXPECT_NEAR(freed.tilt(), At(s, "/transforms/0/rotation/tilt"), 1 / 32768.0);
        EXPECT_NEAR(freed.roll(), At(s, "/transforms/0/rotation/roll"), 1 / 32768.0);
        EXPECT_NEAR(freed.x() / 1000, At(s, "/transforms/0/translation/x"), 1 / 64000.0);
        EXPECT_NEAR(freed.y() / 1000, At(s, "/transforms/0/translation/y"), 1 / 64000.0);
        EXPECT_NEAR(freed.z() / 1000, At(s, "/transforms/0/translation/z"), 1 / 64000.0);
        EXPECT_NEAR(freed.raw.zoom / 1000.0, At(s, "/lens/pinholeFocalLength"), 0.001);
        EXPECT_NEAR(freed.raw.focus / 1000.0, At(s, "/lens/focusDistance"), 1e-9);
    }
    // The simulation moved something.
    EXPECT_NE(r.freed.front().first.raw, r.freed.back().first.raw);
    KOR_EXPECT_VALID_OPENTRACKIO(r.samples);
}

// A BasicLens payload whose iris is 0 ("not available") and an AxesData whose pitch is the
// not-available code 0x8000.
Bytes KnownFrame() {
    TelemetryData d;
    d.timecodeHours = 10;
    d.timecodeMinutes = 20;
    d.timecodeSeconds = 30;
    d.timecodeFrames = 29;
    d.recordFlag = true;
    d.projectFps = 4;
    d.ptpSeconds = 1'765'000'000;
    d.ptpNanoseconds = 5'000;
    d.focus = 2500;
    d.zoom = 50.25F;
    d.iris = 0.0F;
    d.positionX = -1234.56F;
    d.positionY = 0.5F;
    d.positionZ = 3000.0F;
    d.roll = -170.25F;
    d.pitch = 45.5F;
    d.yaw = -0.01F;
    d.rawFocusEncoder = 1000;
    d.rawZoomEncoder = 0xABCD;
    d.rawIrisEncoder = 77;
    d.rawFocusEncoderValid = d.rawZoomEncoderValid = true;
    Bytes frame =
        d.Encode(TransmissionType::UDP,
                 {MessageType::Timecode, MessageType::ProjectFps, MessageType::PtpTimestamp,
                  MessageType::BasicLens, MessageType::PositionalData, MessageType::AxesData,
                  MessageType::RawLensEncoderWithMask});
    // Records: Timecode 2+4, ProjectFps 2+1, PtpTimestamp 2+10, BasicLens 2+8,
    // PositionalData 2+12, then AxesData: type, length, roll (2), pitch (2), yaw (2).
    const std::size_t pitchAt = 8 + 6 + 3 + 12 + 10 + 14 + 2 + 2;
    frame[pitchAt] = 0x80;
    frame[pitchAt + 1] = 0x00;
    return frame;
}

// Frames with known values -> OpenTrackIO in CBOR and FreeD with raw lens values; a broken
// frame is refused with its reason and yields nothing. The serial, in the last frame, names
// the source of the sample held for it.
TEST(BridgeEndToEnd, KnownFramesToCborSamplesAndRawFreed) {
    Receiver otio;
    Receiver freed;
    ChildProgram bridge = Bridge(
        "--bind 127.0.0.1 --port 0 --count 3 --encoding cbor"
        " --serial-wait 60 --opentrackio " +
        otio.Address() + " --freed " + freed.Address() + " --freed-lens raw");
    const std::uint16_t port = BridgePort(bridge, "Kor");
    ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();
    Bytes broken = KnownFrame();
    broken[5] = 1;  // header bytes 3 to 7 must be zero
    TelemetryData identity;
    identity.productSerial = "SN-9";
    SendTo(port, {KnownFrame(), broken,
                  identity.Encode(TransmissionType::UDP, {MessageType::ProductSerial})});
    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    EXPECT_NE(bridge.Out().find("packets in: 3, out: 2, refused: 1"), std::string::npos)
        << bridge.Out();
    EXPECT_NE(bridge.Out().find("refused 1: HeaderError"), std::string::npos) << bridge.Out();
    // Standard output is the bridge's own report, without the emulator's socket messages.
    EXPECT_EQ(bridge.Out().find("Creating socket..."), std::string::npos) << bridge.Out();
    EXPECT_EQ(bridge.Out().find("Closing UDP socket!"), std::string::npos) << bridge.Out();

    const Received samples = Sort(otio.Drain());
    ASSERT_EQ(samples.samples.size(), 1U);  // the identity frame makes none
    EXPECT_EQ(samples.headers[0].encoding, 0x02);
    const ordered_json& s = samples.samples[0];
    EXPECT_EQ(s["timing"]["timecode"],
              (ordered_json{{"hours", 10},
                            {"minutes", 20},
                            {"seconds", 30},
                            {"frames", 29},
                            {"frameRate", {{"num", 30000}, {"denom", 1001}}},
                            {"dropFrame", true}}));
    EXPECT_EQ(s["timing"]["sampleTimestamp"],
              (ordered_json{{"seconds", 1'765'000'000}, {"nanoseconds", 5'000}}));
    EXPECT_EQ(s["tracker"]["recording"], true);
    EXPECT_DOUBLE_EQ(At(s, "/lens/focusDistance"), 2.5);
    EXPECT_DOUBLE_EQ(At(s, "/lens/pinholeFocalLength"), 50.25);
    EXPECT_FALSE(s["lens"].contains("tStop"));
    EXPECT_DOUBLE_EQ(At(s, "/lens/encoders/focus"), 1.0 - 1000 / 65535.0);
    EXPECT_DOUBLE_EQ(At(s, "/lens/encoders/zoom"), 0xABCD / 65535.0);
    EXPECT_FALSE(s["lens"]["encoders"].contains("iris"));
    EXPECT_DOUBLE_EQ(At(s, "/transforms/0/translation/x"), -1.23456);
    EXPECT_DOUBLE_EQ(At(s, "/transforms/0/translation/y"), 0.0005);
    EXPECT_DOUBLE_EQ(At(s, "/transforms/0/translation/z"), 3.0);
    EXPECT_DOUBLE_EQ(At(s, "/transforms/0/rotation/pan"), -0.01);
    EXPECT_DOUBLE_EQ(At(s, "/transforms/0/rotation/roll"), -170.25);
    EXPECT_FALSE(s["transforms"][0]["rotation"].contains("tilt"));
    EXPECT_EQ(s["sourceId"], CameraSourceId(s));
    EXPECT_EQ(s["static"]["camera"]["serialNumber"], "SN-9");
    // Held for the serial, the sample went out with the static data known then.
    EXPECT_EQ(s["static"]["camera"]["serialNumber"], "SN-9");

    const Received d1 = Sort(freed.Drain());
    ASSERT_EQ(d1.freed.size(), 1U);  // the identity frame carries nothing for FreeD
    const Freed& f = d1.freed[0].first;
    EXPECT_NEAR(f.pan(), -0.01, 1 / 32768.0);
    EXPECT_EQ(f.raw.tilt, 0);  // not available travels as 0
    EXPECT_NEAR(f.roll(), -170.25, 1 / 32768.0);
    EXPECT_NEAR(f.x(), -1234.56, 1 / 64.0);
    EXPECT_NEAR(f.y(), 0.5, 1 / 64.0);
    EXPECT_NEAR(f.z(), 3000.0, 1 / 64.0);
    EXPECT_EQ(f.raw.zoom >> 8, 0xABCDU);  // raw counts, widened to 24 bits
    EXPECT_EQ(f.raw.focus >> 8, 1000U);
    std::vector<ordered_json> all = samples.samples;
    KOR_EXPECT_VALID_OPENTRACKIO(all);
}

// Each sample carries the time and values of its own frame only: after a frame of identity
// and clock records (which makes no sample and no D1 packet), a frame of orientation alone
// makes a sample without a time stamp, timecode or lens values.
TEST(BridgeEndToEnd, EachSampleCarriesItsOwnFrame) {
    Receiver receiver;
    ChildProgram bridge = Bridge("--bind 127.0.0.1 --port 0 --count 3 --opentrackio " +
                                 receiver.Address() + " --freed " + receiver.Address());
    const std::uint16_t port = BridgePort(bridge, "Kor");
    ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();
    TelemetryData identity;
    identity.productSerial = "SN-5";
    identity.ptpSeconds = 1'765'000'100;
    identity.timecodeSeconds = 31;
    TelemetryData axes;
    axes.yaw = 33.25F;
    axes.yawValid = true;
    SendTo(port, {KnownFrame(),
                  identity.Encode(TransmissionType::UDP,
                                  {MessageType::ProductSerial, MessageType::Timecode,
                                   MessageType::PtpTimestamp}),
                  axes.Encode(TransmissionType::UDP, {MessageType::AxesData})});
    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    EXPECT_NE(bridge.Out().find("packets in: 3, out: 4, refused: 0"), std::string::npos)
        << bridge.Out();

    const Received r = Sort(receiver.Drain());
    ASSERT_EQ(r.samples.size(), 2U);
    ASSERT_EQ(r.freed.size(), 2U);
    EXPECT_EQ(r.samples[0]["timing"]["sampleTimestamp"]["seconds"], 1'765'000'000);
    const ordered_json& s = r.samples[1];
    EXPECT_EQ(s["timing"]["sequenceNumber"], 1);
    for (const char* gone : {"sampleTimestamp", "mode", "timecode"}) {
        EXPECT_FALSE(s["timing"].contains(gone)) << gone << ": " << s;
    }
    EXPECT_FALSE(s.contains("lens")) << s;
    EXPECT_FALSE(s.contains("tracker")) << s;
    EXPECT_DOUBLE_EQ(At(s, "/transforms/0/rotation/pan"), 33.25);
    EXPECT_EQ(s["transforms"][0]["translation"], ordered_json::object());
    EXPECT_EQ(s["static"]["camera"]["serialNumber"], "SN-5");
    EXPECT_EQ(s["sourceId"], CameraSourceId(s));
    // FreeD cannot leave a value out: the position is the one last received.
    EXPECT_EQ(r.freed[1].first.raw.x, r.freed[0].first.raw.x);
    EXPECT_NEAR(r.freed[1].first.pan(), 33.25, 1 / 32768.0);
    KOR_EXPECT_VALID_OPENTRACKIO(r.samples);
}

// A source without a serial: its lone frame is not held past the wait for one, though no
// other datagram comes and the bridge goes on running; the bridge's own set-up names it.
TEST(BridgeEndToEnd, ALoneFrameLeavesWhenTheWaitForTheSerialEnds) {
    Receiver otio;
    ChildProgram bridge =
        Bridge("--bind 127.0.0.1 --port 0 --duration 60 --serial-wait 0.3 --opentrackio " +
               otio.Address());
    const std::uint16_t port = BridgePort(bridge, "Kor");
    ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();
    SendTo(port, {KnownFrame()});
    const Received r = Sort(otio.Drain(std::chrono::milliseconds(3000)));
    bridge.Signal(SIGINT);
    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    ASSERT_EQ(r.samples.size(), 1U) << "held until the bridge stopped";
    EXPECT_NE(bridge.Out().find("packets in: 1, out: 1, refused: 0"), std::string::npos)
        << bridge.Out();
    // Host name, input address and port as given, source number.
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(r.samples[0]["sourceId"],
              Kor::Bridge::SourceIdOfSetup(std::string(host) + "/127.0.0.1:0/1"));
}

Bytes D1(std::uint8_t camera, std::int32_t pan, std::int32_t tilt, std::int32_t roll,
         std::int32_t x, std::int32_t y, std::int32_t z, std::uint32_t zoom, std::uint32_t focus) {
    const auto wire = Kor::Bridge::EncodeFreed({camera, pan, tilt, roll, x, y, z, zoom, focus, 0});
    return {wire.begin(), wire.end()};
}

// A FreeD generator -> kor-bridge --from-freed -> kor-monitor --json: each valid packet is one
// Kor frame whose values are those sent, within Kor's step of 0.01, and whose tick count
// counts microseconds from the bridge's start; broken packets are counted with their reason
// and never forwarded.
TEST(BridgeEndToEnd, FreedGeneratorToKorMonitor) {
    const std::vector<Bytes> valid{
        D1(1, 90 * 32768, -45 * 32768, 16384, 64000, -160, 0, 35123, 1500),
        D1(2, -8388608, 8388607, -1, -8388608, 8388607, 12345, 0xFFFFFF, 0xFFFFFF),
        D1(3, 1, -1, 0, -64, 64, 1, 1, 1)};
    Bytes badSum = valid[0];
    badSum[28] ^= 0xFF;
    Bytes shortOne(valid[1].begin(), valid[1].end() - 1);
    Bytes notD1 = valid[2];
    notD1[0] = 0xD2;
    notD1[28] = static_cast<std::uint8_t>(notD1[28] - 1);  // a valid checksum otherwise
    const std::vector<Bytes> sent{valid[0], badSum, valid[1], shortOne, notD1, valid[2]};

    for (const std::string lens : {"physical", "raw"}) {
        SCOPED_TRACE(lens);
        ChildProgram monitor(KOR_MONITOR_PATH, "--json --bind 127.0.0.1 --port 0 --count 3");
        const std::uint16_t monitorPort = kor_test::MonitorPort(monitor);
        ASSERT_NE(monitorPort, 0) << monitor.Err();
        const auto launched = std::chrono::steady_clock::now();
        ChildProgram bridge = Bridge(
            "--bind 127.0.0.1 --from-freed 0 --count 6 --fps 25 --to"
            " 127.0.0.1:" +
            std::to_string(monitorPort) + " --freed-lens " + lens);
        const std::uint16_t port = BridgePort(bridge, "FreeD");
        ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();
        SendTo(port, sent);
        ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
        const auto bridgeLifetime = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - launched);
        ASSERT_EQ(monitor.Finish(), 0) << monitor.Err();
        const std::string& summary = bridge.Out();
        EXPECT_NE(summary.find("packets in: 6, out: 3, refused: 3"), std::string::npos) << summary;
        EXPECT_NE(summary.find("refused 1: checksum mismatch"), std::string::npos) << summary;
        EXPECT_NE(summary.find("refused 1: wrong length"), std::string::npos) << summary;
        EXPECT_NE(summary.find("refused 1: not a D1 packet"), std::string::npos) << summary;

        std::istringstream lines(monitor.Out());
        std::size_t index = 0;
        std::uint64_t lastTicks = 0;
        for (std::string line; std::getline(lines, line); ++index) {
            const json k = json::parse(line);
            if (k.contains("summary")) {  // the monitor's closing line
                EXPECT_EQ(k["summary"]["applied"], valid.size());
                break;
            }
            ASSERT_LT(index, valid.size());
            const FreedPacket p = *Kor::Bridge::ParseFreed(valid[index]).packet;
            // Within the bridge's lifetime as the test saw it, and never going back.
            const auto ticks = k.at("tickCount").get<std::uint64_t>();
            EXPECT_LE(ticks, static_cast<std::uint64_t>(bridgeLifetime.count())) << index;
            EXPECT_GE(ticks, lastTicks) << index;
            lastTicks = ticks;
            const auto expectNear = [&](const char* field, double expected) {
                // Kor's step, and the float the receiver holds the value in.
                EXPECT_NEAR(k.at(field).get<double>(), expected,
                            0.0051 + std::fabs(expected) * 1.2e-7)
                    << field << " of packet " << index;
            };
            expectNear("positionX", p.x / 64.0);
            expectNear("positionY", p.y / 64.0);
            expectNear("positionZ", p.z / 64.0);
            expectNear("yaw", p.pan / 32768.0);
            expectNear("pitch", p.tilt / 32768.0);
            expectNear("roll", p.roll / 32768.0);
            EXPECT_EQ(k["projectFps"], 3);
            EXPECT_EQ(k["tickCountType"], 2);
            if (lens == "raw") {
                EXPECT_EQ(k["rawZoomEncoder"], p.zoom >> 8);
                EXPECT_EQ(k["rawFocusEncoder"], p.focus >> 8);
                EXPECT_EQ(k["messages"],
                          (json{"PositionalData", "AxesData", "RawLensEncoderWithMask", "TickCount",
                                "ProjectFps"}));
            } else {
                // Below half of Kor's 0.01 mm a focal length is 0, which Kor reads as "not
                // available": the receiver keeps its last one.
                const bool zoomCarried = p.zoom >= 5;
                EXPECT_EQ(k["zoomValid"], zoomCarried);
                if (zoomCarried) {
                    expectNear("zoom", p.zoom / 1000.0);
                }
                EXPECT_EQ(k["focus"], p.focus);
                EXPECT_EQ(k["focusValid"], true);
                EXPECT_EQ(k["messages"], (json{"PositionalData", "AxesData", "BasicLens",
                                               "TickCount", "ProjectFps"}));
            }
        }
        EXPECT_EQ(index, valid.size());
    }
}

// OpenTrackIO to a multicast group, out of the loopback interface with --interface and --ttl.
TEST(BridgeEndToEnd, OpenTrackIOToAMulticastGroup) {
    const char* group = "239.255.41.9";
    Receiver receiver(group);
    if (!receiver.Joined()) {
        GTEST_SKIP() << "cannot join a multicast group on loopback here";
    }
    ChildProgram bridge = Bridge(
        "--bind 127.0.0.1 --port 0 --count 2 --interface 127.0.0.1"
        " --ttl 1 --opentrackio " +
        std::string(group) + ":" + std::to_string(receiver.Port()));
    const std::uint16_t port = BridgePort(bridge, "Kor");
    ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();
    TelemetryData d;
    d.focus = 3000;
    const Bytes frame = d.Encode(TransmissionType::UDP, {MessageType::BasicLens});
    SendTo(port, {frame, frame});
    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    const Received r = Sort(receiver.Drain());
    ASSERT_EQ(r.samples.size(), 2U) << bridge.Out();
    EXPECT_DOUBLE_EQ(At(r.samples[1], "/lens/focusDistance"), 3.0);
    KOR_EXPECT_VALID_OPENTRACKIO(r.samples);
}

// Bad options, a port in use and an unknown host: one line on standard error, status 2 and
// nothing opened or written before; Ctrl-C ends a run with status 0 and the summary.
TEST(BridgeEndToEnd, OptionsAndEndings) {
    Receiver blocker;
    const std::string inUse = std::to_string(blocker.Port());
    const std::vector<std::tuple<std::string, std::string>> refused{
        {"", "nothing to do"},
        {"--freed 127.0.0.1", "--freed needs HOST:PORT"},
        {"--freed 127.0.0.1:0", "--freed needs HOST:PORT"},
        {"--freed no-such-host.invalid:5000", "cannot resolve"},
        {"--opentrackio 127.0.0.1:99999", "--opentrackio needs HOST:PORT"},
        {"--opentrackio --source-number 0", "--source-number"},
        {"--opentrackio --source-number 201", "--source-number"},
        {"--opentrackio --encoding xml", "--encoding"},
        {"--opentrackio --serial-wait -1", "--serial-wait"},
        {"--opentrackio --serial-wait 61", "--serial-wait"},
        {"--opentrackio --serial-wait nan", "--serial-wait"},
        {"--freed 127.0.0.1:5000 --serial-wait 1", "--serial-wait"},
        {"--freed 127.0.0.1:5000 --camera-id 256", "--camera-id"},
        {"--freed 127.0.0.1:5000 --freed-lens zoom", "--freed-lens"},
        {"--opentrackio 127.0.0.1:5000 --freed-lens raw", "--freed-lens needs --freed"},
        {"--camera-id 3 --opentrackio", "--camera-id"},
        {"--from-freed 5000", "--to"},
        {"--from-freed 5000 --to 127.0.0.1:1 --fps 26", "--fps"},
        {"--from-freed 5000 --to 127.0.0.1:1 --freed 127.0.0.1:2", "--from-freed"},
        {"--to 127.0.0.1:1 --opentrackio", "--to"},
        {"--opentrackio 127.0.0.1:5000 --ttl 3", "--ttl needs a multicast destination"},
        {"--opentrackio --ttl 256", "--ttl: needs a whole number from 0 to 255, not '256'"},
        {"--opentrackio --serial-wait 99", "--serial-wait: needs a number from 0 to 60, not '99'"},
        {"--opentrackio --bind no-such-host.invalid", "--bind: cannot resolve"},
        {"--opentrackio --join 239.1.2.3 --interface no-such-host.invalid",
         "--interface: cannot resolve"},
        {"--opentrackio --join 10.0.0.1", "--join needs a multicast group"},
        {"--opentrackio --count 0", "--count: needs a number above 0"},
        {"--opentrackio --duration -1", "--duration: needs a number above 0"},
        {"--opentrackio --no-such-option", "no-such-option"},
        {"--bind 127.0.0.1 --port " + inUse + " --opentrackio", inUse},
        {"--opentrackio --delay-ms -1", "--delay-ms needs [OUTPUT=]MS"},
        {"--opentrackio --delay-ms 10000.5", "MS from 0 to 10000, not '10000.5'"},
        {"--opentrackio --delay-ms 5ms", "not '5ms'"},
        {"--opentrackio --delay-ms video=5", "no output 'video'"},
        {"--opentrackio --delay-ms freed=5", "this run has no freed output"},
        {"--freed 127.0.0.1:5000 --delay-ms kor=5", "this run has no kor output"},
        {"--from-opentrackio 5000", "--from-opentrackio needs --to"},
        {"--from-opentrackio 5000 --to 127.0.0.1:1 --freed 127.0.0.1:2", "--from-opentrackio"},
        {"--from-opentrackio 5000 --from-freed 5001 --to 127.0.0.1:1", "--from"},
        {"--from-opentrackio 5000 --to 127.0.0.1:1 --fps 25", "--fps"},
        {"--from-freed 5000 --to 127.0.0.1:1 --source-number 2", "--source-number"},
        {"--freed 127.0.0.1:5000 --source-number 2", "--source-number needs"},
        {"--opentrackio --serial", "--serial needs --from-freed or --from-opentrackio"},
        {"--bind 127.0.0.1 --from-opentrackio " + inUse + " --to 127.0.0.1:1", inUse},
        {"--opentrackio --source-map 1", "--source-map needs SUBJECT=N"},
        {"--opentrackio --source-map 1=201", "--source-map needs SUBJECT=N"},
        {"--opentrackio --source-map 1=2 --source-map 1=3", "subject 1 given twice"},
        {"--opentrackio --source-map 1=2 --source-map 3=2", "2 given to subjects 1 and 3"},
        {"--freed 127.0.0.1:5000 --camera-map 1=256", "--camera-map needs SUBJECT=N"},
        {"--freed 127.0.0.1:5000 --source-map 1=2", "--source-map"},
        {"--opentrackio --camera-map 1=2", "--camera-map"},
        {"--bind 127.0.0.1 --from-freed " + inUse + " --to 127.0.0.1:1", inUse},
    };
    for (const auto& [arguments, expected] : refused) {
        ChildProgram bridge = Bridge(arguments);
        EXPECT_EQ(bridge.Finish(), 2) << arguments;
        EXPECT_EQ(bridge.Out(), "") << arguments;
        EXPECT_EQ(kor_test::LineCount(bridge.Err()), 1U) << arguments << ": " << bridge.Err();
        EXPECT_NE(bridge.Err().find(expected), std::string::npos)
            << arguments << ": " << bridge.Err();
    }

    // The OpenTrackIO destination defaults to 239.135.1.N:55555 for source number N.
    for (const auto& [arguments, address] :
         std::vector<std::pair<std::vector<const char*>, std::string>>{
             {{"kor-bridge", "--opentrackio"}, "239.135.1.1"},
             {{"kor-bridge", "--opentrackio", "--source-number", "200"}, "239.135.1.200"}}) {
        const auto parsed =
            Kor::Bridge::ParseCommandLine(static_cast<int>(arguments.size()), arguments.data());
        ASSERT_TRUE(parsed.settings) << parsed.exit.output;
        EXPECT_EQ(parsed.settings->openTrack->address, address);
        EXPECT_EQ(parsed.settings->openTrack->port, 55555);
    }

    ChildProgram help = Bridge("--help");
    EXPECT_EQ(help.Finish(), 0);
    EXPECT_NE(help.Out().find("--from-freed"), std::string::npos);

    // A host name where an address is expected; --verbose adds the socket's own lines.
    ChildProgram run = Bridge("--bind localhost --port 0 --opentrackio 127.0.0.1:9 --verbose");
    ASSERT_NE(BridgePort(run, "Kor"), 0) << run.Err();
    EXPECT_NE(run.Out().find("on UDP 127.0.0.1:"), std::string::npos) << run.Out();
    EXPECT_NE(run.Out().find("OpenTrackIO (json) to 127.0.0.1:9"), std::string::npos);
    run.Signal(SIGINT);
    EXPECT_EQ(run.Finish(), 0) << run.Err();
    EXPECT_NE(run.Out().find("packets in: 0, out: 0, refused: 0"), std::string::npos) << run.Out();
    EXPECT_EQ(run.Out().rfind("Creating socket...\n", 0), 0U) << run.Out();
    EXPECT_NE(run.Out().find("\nClosing UDP socket!\n"), std::string::npos) << run.Out();
}

// The Kor state of frames received, decoded in order.
TelemetryData DecodedFrames(const std::vector<Bytes>& frames) {
    Kor::Protocol::Device device;
    for (const Bytes& frame : frames) {
        EXPECT_LE(device.Update(frame), Kor::Protocol::FrameStatus::SameTimecode);
    }
    return *device.GetCurrentState();
}

// Where the example's pose is checked: the camera's position (mm) and orientation (degrees).
struct ExpectedPose {
    double x, y, z, yaw, pitch, roll;
};

void ExpectPose(const TelemetryData& s, const ExpectedPose& p, const std::string& what) {
    EXPECT_NEAR(s.positionX, p.x, 0.006) << what;
    EXPECT_NEAR(s.positionY, p.y, 0.006) << what;
    EXPECT_NEAR(s.positionZ, p.z, 0.006) << what;
    EXPECT_NEAR(s.yaw, p.yaw, 0.006) << what;
    EXPECT_NEAR(s.pitch, p.pitch, 0.006) << what;
    EXPECT_NEAR(s.roll, p.roll, 0.006) << what;
}

// The published dynamic example, and the same with a two-transform chain (a dolly turned a
// quarter left carrying a tilted camera), packed by the reference sender in JSON and CBOR,
// whole and in three segments, through --from-opentrackio: each sample is one Kor frame with
// the example's values as Kor carries them.
TEST(BridgeEndToEnd, OpenTrackIOExamplesToKor) {
    json chain;
    {
        std::ifstream file(std::string(KOR_OPENTRACKIO_DIR) + "/recommended_dynamic_example.json");
        if (!file) {
            GTEST_SKIP() << "no OpenTrackIO examples in " << KOR_OPENTRACKIO_DIR;
        }
        chain = json::parse(file);
    }
    chain["transforms"] =
        json::array({{{"id", "Dolly"},
                      {"translation", {{"x", 1.0}, {"y", 2.0}, {"z", 0.0}}},
                      {"rotation", {{"pan", 90.0}, {"tilt", 0.0}, {"roll", 0.0}}}},
                     {{"id", "Camera"},
                      {"translation", {{"x", 0.5}, {"y", 0.25}, {"z", 1.5}}},
                      {"rotation", {{"pan", 0.0}, {"tilt", 10.0}, {"roll", 0.0}}}}});
    const kor_test::TempFile chainFile("-chain.json");
    std::ofstream(chainFile.path) << chain.dump();

    Receiver receiver;
    ChildProgram bridge =
        Bridge("--bind 127.0.0.1 --from-opentrackio 0 --to " + receiver.Address());
    const std::uint16_t port = BridgePort(bridge, "OpenTrackIO");
    ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();

    std::size_t sent = 0;
    for (const std::string format : {"JSON", "CBOR"}) {
        for (const int segments : {1, 3}) {
            for (const bool twoTransforms : {false, true}) {
                const std::string what = format + " in " + std::to_string(segments) +
                                         (twoTransforms ? ", two transforms" : "");
                const auto reference = kor_test::FromReferenceSender(
                    format, segments,
                    twoTransforms ? chainFile.path : "recommended_dynamic_example.json");
                if (!reference.skip.empty()) {
                    bridge.Signal(SIGINT);
                    (void)bridge.Finish();
                    GTEST_SKIP() << reference.skip;
                }
                ASSERT_EQ(reference.packets.size(), static_cast<std::size_t>(segments)) << what;
                SendTo(port, reference.packets);
                sent += reference.packets.size();
                const std::vector<Bytes> frames = receiver.Drain();
                ASSERT_EQ(frames.size(), 1U) << what << "\n" << bridge.Out();
                const TelemetryData s = DecodedFrames(frames);
                EXPECT_EQ(s.focus, 10000U) << what;
                EXPECT_NEAR(s.zoom, 24.305, 0.0051) << what;
                EXPECT_FLOAT_EQ(s.iris, 4.0F) << what;  // the f-stop: the example has no T-stop
                EXPECT_NEAR(s.rawFocusEncoder, 0.9 * 65535, 0.51) << what;
                EXPECT_NEAR(s.rawIrisEncoder, 0.2 * 65535, 0.51) << what;
                EXPECT_NEAR(s.rawZoomEncoder, 0.3 * 65535, 0.51) << what;
                EXPECT_EQ(std::tuple(s.timecodeHours, s.timecodeMinutes, s.timecodeSeconds,
                                     s.timecodeFrames),
                          std::tuple(1, 2, 3, 4))
                    << what;
                EXPECT_EQ(s.projectFps, 1) << what;  // 24000/1001
                if (twoTransforms) {
                    // Pan 90 turns the camera's (0.5, 0.25) on the dolly to (-0.25, 0.5).
                    ExpectPose(s, {750, 2500, 1500, 90, 10, 0}, what);
                } else {
                    ExpectPose(s, {1000, 2000, 3000, 180, 90, 45}, what);
                }
            }
        }
    }
    bridge.Signal(SIGINT);
    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    EXPECT_NE(bridge.Out().find("packets in: " + std::to_string(sent) +
                                ", out: 8, refused: 0 (OpenTrackIO packets)"),
              std::string::npos)
        << bridge.Out();
    EXPECT_NE(bridge.Out().find("out Kor (UDP) to " + receiver.Address() + ": 8 datagrams"),
              std::string::npos)
        << bridge.Out();
}

// A sample that lost a segment or has one with a bad checksum gives no frame; both are counted
// with their reason. A sample of another source than --source-number gives none either, and
// the bridge goes on with the next whole sample.
TEST(BridgeEndToEnd, OpenTrackIOFaultsGiveNoFrame) {
    const auto reference =
        kor_test::FromReferenceSender("JSON", 3, "recommended_dynamic_example.json");
    if (!reference.skip.empty()) {
        GTEST_SKIP() << reference.skip;
    }
    ASSERT_EQ(reference.packets.size(), 3U);
    Receiver receiver;
    ChildProgram bridge = Bridge("--bind 127.0.0.1 --from-opentrackio 0 --source-number 1 --to " +
                                 receiver.Address() + " --count 9");
    const std::uint16_t port = BridgePort(bridge, "OpenTrackIO");
    ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();

    const std::vector<Bytes>& p = reference.packets;
    SendTo(port, {p[0], p[2]});  // the middle segment lost
    EXPECT_TRUE(receiver.Drain().empty());
    Bytes damaged = p[1];
    damaged.back() ^= 0x01;
    SendTo(port, {p[0], damaged, p[2]});
    EXPECT_TRUE(receiver.Drain().empty());
    // The same sample as source 2: not the one asked for.
    json other = json::parse(
        std::ifstream(std::string(KOR_OPENTRACKIO_DIR) + "/recommended_dynamic_example.json"));
    other["sourceNumber"] = 2;
    const std::string text = other.dump();
    std::uint16_t sequence = 0;
    SendTo(port, Kor::Bridge::BuildOtrkPackets(Bytes(text.begin(), text.end()),
                                               Kor::Bridge::OtrkEncoding::Json, sequence));
    EXPECT_TRUE(receiver.Drain().empty());
    SendTo(port, p);
    const std::vector<Bytes> frames = receiver.Drain();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(DecodedFrames(frames).focus, 10000U);

    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    const std::string& out = bridge.Out();
    EXPECT_NE(out.find("packets in: 9, out: 1, refused: 2 (OpenTrackIO packets)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("refused 1: OTrk: checksum mismatch"), std::string::npos) << out;
    EXPECT_NE(out.find("refused 1: sample: sourceNumber 2, not 1"), std::string::npos) << out;
    EXPECT_NE(out.find("discarded 2: OTrk: a payload missing a segment"), std::string::npos) << out;
}

// OpenTrackIO from a multicast group joined on the loopback interface, into serial-framed Kor
// frames.
TEST(BridgeEndToEnd, OpenTrackIOFromAGroupToSerialFrames) {
    const char* group = "239.255.41.10";
    Receiver receiver;
    ChildProgram bridge = Bridge(std::string("--from-opentrackio 0 --join ") + group +
                                 " --interface 127.0.0.1 --serial --count 1 --duration 10 --to " +
                                 receiver.Address());
    const std::string banner = "receiving OpenTrackIO on UDP 0.0.0.0:";
    ASSERT_TRUE(bridge.WaitUntil([&] {
        const std::size_t at = bridge.Out().find(banner);
        return at != std::string::npos && bridge.Out().find('\n', at) != std::string::npos;
    })) << bridge.Out()
        << bridge.Err();
    if (bridge.Out().find(group) == std::string::npos) {
        bridge.Signal(SIGINT);
        (void)bridge.Finish();
        GTEST_SKIP() << "the bridge did not join the group: " << bridge.Out();
    }
    const auto port = static_cast<std::uint16_t>(NumberAfter(bridge.Out(), banner));

    const json sample = {{"lens", {{"focusDistance", 4.25}}}, {"sourceNumber", 7}};
    const std::string text = sample.dump();
    std::uint16_t sequence = 0;
    const Bytes packet = Kor::Bridge::BuildOtrkPackets(Bytes(text.begin(), text.end()),
                                                       Kor::Bridge::OtrkEncoding::Json, sequence)
                             .front();
    {
        const Kor::Platform::SocketSession session;
        const auto sock = ::socket(AF_INET, SOCK_DGRAM, 0);
        in_addr loopback{};
        ::inet_pton(AF_INET, "127.0.0.1", &loopback);
        ::setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&loopback),
                     sizeof loopback);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, group, &to.sin_addr);
        ::sendto(sock, reinterpret_cast<const char*>(packet.data()),
                 static_cast<int>(packet.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
        kor_test::CloseSocket(sock);
    }
    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    if (bridge.Out().find("packets in: 0,") != std::string::npos) {
        GTEST_SKIP() << "no multicast on loopback here";
    }
    const std::vector<Bytes> frames = receiver.Drain();
    ASSERT_EQ(frames.size(), 1U) << bridge.Out();
    EXPECT_EQ(frames[0].front(), 0x00) << "a serial frame starts with its delimiter";
    EXPECT_NE(frames[0][1], 0xFF) << "not the UDP header";
    EXPECT_EQ(DecodedFrames(frames).focus, 4250U);
    EXPECT_NE(bridge.Out().find("out Kor (Serial)"), std::string::npos) << bridge.Out();
}

// --delay-ms holds each output back: nothing arrives in the first part of the delay, then
// everything in order. A run ended by --count still sends what it holds; Ctrl-C cuts the wait
// short and drops what is not yet due, and says so.
TEST(BridgeEndToEnd, DelayHoldsOutputsBackInOrder) {
    using namespace std::chrono_literals;
    const auto frameOf = [](std::uint32_t focus) {
        TelemetryData d;
        d.focus = focus;
        d.yaw = static_cast<float>(focus) / 100.0F;
        return d.Encode(TransmissionType::UDP, {MessageType::BasicLens, MessageType::AxesData});
    };
    std::vector<Bytes> input;
    for (std::uint32_t i = 1; i <= 5; ++i) {
        input.push_back(frameOf(1000 * i));
    }

    // Kor in: both outputs 1 s late (FreeD given a value of its own after the one for all).
    Receiver receiver;
    ChildProgram bridge = Bridge(
        "--bind 127.0.0.1 --port 0 --count 5 --serial-wait 0"
        " --delay-ms 1000.5 --delay-ms freed=1000 --opentrackio " +
        receiver.Address() + " --freed " + receiver.Address());
    const std::uint16_t port = BridgePort(bridge, "Kor");
    ASSERT_NE(port, 0) << bridge.Out() << bridge.Err();
    EXPECT_NE(bridge.Out().find(" 1000.5 ms later; FreeD"), std::string::npos) << bridge.Out();
    SendTo(port, input);
    EXPECT_TRUE(receiver.Drain(300ms).empty()) << "held back";
    ASSERT_EQ(bridge.Finish(), 0) << bridge.Err();
    const Received r = Sort(receiver.Drain());
    ASSERT_EQ(r.samples.size(), 5U) << bridge.Out();
    ASSERT_EQ(r.freed.size(), 5U) << bridge.Out();
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_DOUBLE_EQ(At(r.samples[i], "/lens/focusDistance"), static_cast<double>(i + 1));
        EXPECT_NEAR(r.freed[i].first.pan(), 10.0 * static_cast<double>(i + 1), 1e-4);
    }
    EXPECT_NE(bridge.Out().find("5 datagrams, 0 failed sends, delayed 1000 ms, 0 not yet due"),
              std::string::npos)
        << bridge.Out();

    // OpenTrackIO in, Kor out; Ctrl-C long before the delay ends.
    ChildProgram late = Bridge("--bind 127.0.0.1 --from-opentrackio 0 --delay-ms kor=9000 --to " +
                               receiver.Address());
    const std::uint16_t otioPort = BridgePort(late, "OpenTrackIO");
    ASSERT_NE(otioPort, 0) << late.Out() << late.Err();
    json sample = {{"lens", {{"focusDistance", 2.5}}}, {"sourceNumber", 1}};
    const std::string text = sample.dump();
    std::uint16_t sequence = 0;
    SendTo(otioPort, Kor::Bridge::BuildOtrkPackets(Bytes(text.begin(), text.end()),
                                                   Kor::Bridge::OtrkEncoding::Json, sequence));
    EXPECT_TRUE(receiver.Drain(300ms).empty());
    late.Signal(SIGINT);
    ASSERT_EQ(late.Finish(), 0) << late.Err();
    EXPECT_TRUE(receiver.Drain(100ms).empty());
    EXPECT_NE(late.Out().find("packets in: 1, out: 0,"), std::string::npos) << late.Out();
    EXPECT_NE(late.Out().find("0 datagrams, 0 failed sends, delayed 9000 ms, 1 not yet due"),
              std::string::npos)
        << late.Out();
}

// A camera on loopback: frames from a UDP port of its own, with its SubjectId in every frame.
class Camera {
public:
    explicit Camera(std::uint32_t subject) : subject_(subject) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
    }
    ~Camera() { kor_test::CloseSocket(fd_); }
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    std::string Serial() const { return "CAM-" + std::to_string(subject_); }
    std::string Sender() const { return "127.0.0.1:" + std::to_string(port_); }
    // Its focus distance in frame k: the camera's thousands and the frame's units.
    std::uint32_t Focus(std::uint32_t k) const { return 1000 * subject_ + k; }

    // Frame 0 carries the identity; the others lens and orientation values. A damaged frame
    // has a header the decoder refuses.
    void SendFrame(std::uint16_t to, std::uint32_t k, bool damaged = false) {
        TelemetryData d;
        d.subjectId = subject_;
        std::vector<MessageType> types{MessageType::SubjectId};
        if (k == 0) {
            d.productBrand = "Kor";
            d.productName = "Test camera";
            d.productSerial = Serial();
            types.insert(types.end(), {MessageType::ProductBrand, MessageType::ProductName,
                                       MessageType::ProductSerial});
        } else {
            d.focus = Focus(k);
            d.yaw = static_cast<float>(subject_);
            types.insert(types.end(), {MessageType::BasicLens, MessageType::AxesData});
        }
        Bytes frame = d.Encode(TransmissionType::UDP, types);
        if (damaged) {
            frame[7] = 0x01;
        }
        sockaddr_in dest{};
        dest.sin_family = AF_INET;
        dest.sin_port = htons(to);
        dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::sendto(fd_, reinterpret_cast<const char*>(frame.data()),
                           static_cast<int>(frame.size()), 0,
                           reinterpret_cast<const sockaddr*>(&dest), sizeof dest),
                  static_cast<int>(frame.size()));
    }

private:
    Kor::Platform::SocketSession session_;
    kor_test::SocketHandle fd_ = kor_test::kNoSocket;
    std::uint32_t subject_;
    std::uint16_t port_ = 0;
};

// What one camera's frames became on the bridge's outputs.
struct CameraOut {
    std::set<std::string> sourceIds;
    std::set<std::uint32_t> sourceNumbers;
    std::vector<std::uint16_t> sequences;      // OTrk header sequence numbers, in order
    std::vector<std::uint32_t> sampleNumbers;  // timing.sequenceNumber, in order
    std::set<std::uint8_t> cameraIds;
    std::size_t freedPackets = 0;
};

// Three cameras, subjects 1 to 3, through one bridge `rounds` frames each (the first with its
// identity), after a damaged frame of the first camera when `damagedFirst`; returns each
// camera's outputs, keyed by subject, and the bridge's report.
std::map<std::uint32_t, CameraOut> ThreeCameras(std::vector<std::unique_ptr<Camera>>& cameras,
                                                const std::string& options, std::uint32_t rounds,
                                                std::string& report, bool damagedFirst = false) {
    Receiver receiver;
    const std::uint32_t count = 3 * rounds + (damagedFirst ? 1 : 0);
    ChildProgram bridge = Bridge("--bind 127.0.0.1 --port 0 --count " + std::to_string(count) +
                                 " " + options + " --freed " + receiver.Address() +
                                 (options.find("--opentrackio ") == std::string::npos
                                      ? " --opentrackio " + receiver.Address()
                                      : std::string()));
    const std::uint16_t port = BridgePort(bridge, "Kor");
    EXPECT_NE(port, 0) << bridge.Out() << bridge.Err();
    if (damagedFirst && port != 0) {
        cameras[0]->SendFrame(port, 1, true);
    }
    for (std::uint32_t k = 0; k < rounds && port != 0; ++k) {
        for (auto& camera : cameras) {
            camera->SendFrame(port, k);
        }
    }
    EXPECT_EQ(bridge.Finish(), 0) << bridge.Err();
    report = bridge.Out();
    const Received r = Sort(receiver.Drain());
    EXPECT_EQ(r.other, 0U);
    std::map<std::uint32_t, CameraOut> out;
    // Each camera's focus distances are its subject's thousands.
    for (std::size_t i = 0; i < r.samples.size(); ++i) {
        const ordered_json& s = r.samples[i];
        const auto subject = static_cast<std::uint32_t>(std::lround(At(s, "/lens/focusDistance")));
        CameraOut& c = out[subject];
        c.sourceIds.insert(s["sourceId"].get<std::string>());
        c.sourceNumbers.insert(s["sourceNumber"].get<std::uint32_t>());
        c.sequences.push_back(r.headers[i].sequence);
        c.sampleNumbers.push_back(s["timing"]["sequenceNumber"].get<std::uint32_t>());
    }
    for (const auto& [freed, before] : r.freed) {
        CameraOut& c = out[freed.raw.focus / 1000];
        c.cameraIds.insert(freed.raw.cameraId);
        ++c.freedPackets;
    }
    return out;
}

// Three cameras on one port, told apart by sender and subject: three OpenTrackIO sources, each
// with its own sourceId (of its serial), source number and consecutive sequence numbers, and
// three FreeD camera IDs; a restarted bridge names each camera by the same sourceId, and the
// maps pin numbers to subjects. A damaged first frame takes no number: it is counted on its
// sender.
TEST(BridgeEndToEnd, ThreeCamerasThreeSources) {
    constexpr std::uint32_t kRounds = 6;  // an identity frame and five samples per camera
    std::vector<std::unique_ptr<Camera>> cameras;
    for (std::uint32_t subject = 1; subject <= 3; ++subject) {
        cameras.push_back(std::make_unique<Camera>(subject));
    }
    std::string report;
    const auto first =
        ThreeCameras(cameras, "--source-number 5 --camera-id 10", kRounds, report, true);
    ASSERT_EQ(first.size(), 3U) << report;
    EXPECT_NE(report.find("refused: 1 (Kor frames)"), std::string::npos) << report;
    EXPECT_NE(report.find("\n  sender " + cameras[0]->Sender() +
                          ": 1 frames refused before its first applied one (no source)\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find("source 4:"), std::string::npos) << report;
    std::set<std::string> ids;
    for (std::uint32_t subject = 1; subject <= 3; ++subject) {
        const CameraOut& c = first.at(subject);
        const Camera& camera = *cameras[subject - 1];
        ASSERT_EQ(c.sourceIds.size(), 1U) << subject;
        const std::string id = *c.sourceIds.begin();
        ids.insert(id);
        EXPECT_EQ(id, Kor::Bridge::SourceIdOfCamera("Kor", "Test camera", camera.Serial()));
        EXPECT_EQ(c.sourceNumbers, std::set<std::uint32_t>{4 + subject}) << "in order of arrival";
        ASSERT_EQ(c.sequences.size(), kRounds - 1) << subject;
        for (std::size_t i = 0; i < c.sequences.size(); ++i) {
            EXPECT_EQ(c.sequences[i], static_cast<std::uint16_t>(c.sequences[0] + i)) << subject;
            EXPECT_EQ(c.sampleNumbers[i], i) << subject;
        }
        EXPECT_EQ(c.cameraIds, std::set<std::uint8_t>{static_cast<std::uint8_t>(9 + subject)});
        EXPECT_EQ(c.freedPackets, kRounds - 1);
        EXPECT_NE(
            report.find("source " + std::to_string(subject) + ": " + camera.Sender() + " subject " +
                        std::to_string(subject) + ", serial " + camera.Serial() +
                        ": 6 frames in, 0 refused; OpenTrackIO source "
                        "number " +
                        std::to_string(4 + subject) + ", sourceId " + id +
                        ", 5 samples to 127.0.0.1:"),
            std::string::npos)
            << report;
        EXPECT_NE(report.find("FreeD camera ID " + std::to_string(9 + subject) + ", 5 packets"),
                  std::string::npos)
            << report;
    }
    EXPECT_EQ(ids.size(), 3U);

    // A restart with subject 3 pinned to source number 20 and subject 2 to camera ID 99.
    const auto second = ThreeCameras(
        cameras, "--source-number 5 --camera-id 10 --source-map 3=20 --camera-map 2=99", kRounds,
        report);
    ASSERT_EQ(second.size(), 3U) << report;
    const std::map<std::uint32_t, std::uint32_t> numbers{{1, 5}, {2, 6}, {3, 20}};
    const std::map<std::uint32_t, std::uint8_t> cameraIds{{1, 10}, {2, 99}, {3, 11}};
    for (std::uint32_t subject = 1; subject <= 3; ++subject) {
        EXPECT_EQ(second.at(subject).sourceIds, first.at(subject).sourceIds) << subject;
        EXPECT_EQ(second.at(subject).sourceNumbers, std::set<std::uint32_t>{numbers.at(subject)});
        EXPECT_EQ(second.at(subject).cameraIds, std::set<std::uint8_t>{cameraIds.at(subject)});
    }

    // The default destination: each source to the group of its number, and no group for a
    // number that no source took (5, with every subject pinned elsewhere).
    ThreeCameras(cameras,
                 "--opentrackio --interface 127.0.0.1 --source-number 5 --source-map 1=9 "
                 "--source-map 2=8 --source-map 3=7",
                 kRounds, report, true);
    for (const char* group : {"239.135.1.9", "239.135.1.8", "239.135.1.7"}) {
        EXPECT_NE(report.find("out OpenTrackIO (json) to " + std::string(group) +
                              ":55555: 5 datagrams, 0 failed sends"),
                  std::string::npos)
            << report;
    }
    EXPECT_NE(report.find("OpenTrackIO (json) to 239.135.1.N:55555 for source number N"),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find("239.135.1.5"), std::string::npos) << report;
}

}  // namespace
