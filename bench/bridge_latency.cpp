// kor-bridge's added latency on loopback: kor-bridge runs as its own process; this program
// sends it one input datagram at a time and waits for what comes out, timing from just
// before the send to the kernel's receive time stamp of the output. That is the bridge's
// whole added latency (its wake-up, decoding, conversion and send) plus two loopback hops.
// For comparison it times a process that passes each datagram on unchanged (the floor of
// two hops and a wake-up), and the conversion alone (KorInput::Feed, in this process). The
// same paths with --delay-ms 5 show what the delay adds: 5 ms, by the p50s' difference.
//
//   kor_bridge_latency [SAMPLES]     (default 5000 per set-up)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "freed.h"
#include "opentrackio_input.h"
#include "otrk.h"
#include "pipeline.h"

extern char** environ;

namespace {

using Kor::Protocol::MessageType;
using Bytes = std::vector<std::uint8_t>;

std::int64_t RealtimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The frame kor-send sends at the project frame rate by default, with lens, position and
// orientation values.
Bytes KorFrame(std::uint32_t n) {
    Kor::Protocol::TelemetryData d;
    d.timecodeFrames = static_cast<std::uint8_t>(n % 24);
    d.projectFps = 2;
    d.ptpSeconds = 1'765'000'000 + n;
    d.focus = 1500 + n % 1000;
    d.zoom = 35.5F;
    d.iris = 2.8F;
    d.minFocalLength = 24.0F;
    d.maxFocalLength = 70.0F;
    d.minIris = 1.8F;
    d.maxIris = 22.0F;
    d.positionX = 1234.56F;
    d.positionY = -250.0F;
    d.positionZ = 1500.0F;
    d.yaw = 12.5F;
    d.pitch = -3.25F;
    d.roll = 0.5F;
    d.rawFocusEncoder = 1000;
    d.rawZoomEncoder = 2000;
    d.rawIrisEncoder = 3000;
    d.rawFocusEncoderValid = d.rawZoomEncoderValid = d.rawIrisEncoderValid = true;
    d.tickCountType = 2;
    d.tickCount = n;
    d.channelId = 1;
    return d.Encode(Kor::Protocol::TransmissionType::UDP,
                    {MessageType::ProjectFps, MessageType::BasicLens,
                     MessageType::RawLensEncoderWithMask, MessageType::LensProperties,
                     MessageType::PositionalData, MessageType::AxesData, MessageType::ChannelId,
                     MessageType::Timecode, MessageType::PtpTimestamp, MessageType::TickCount});
}

Bytes FreedFrame(std::uint32_t n) {
    const auto wire =
        Kor::Bridge::EncodeFreed({1, static_cast<std::int32_t>(n % 1000) * 32, -45 * 32768, 16384,
                                  64000, -160, 0, 35000, 1500, 0});
    return {wire.begin(), wire.end()};
}

// One OpenTrackIO sample of a moving camera, as one JSON packet: what a tracker sends at the
// frame rate.
Bytes OpenTrackPacket(std::uint32_t n) {
    const nlohmann::json sample = {
        {"protocol", {{"name", "OpenTrackIO"}, {"version", {1, 0, 1}}}},
        {"sampleId", "urn:uuid:5ca5f233-11b5-4f43-8815-f2e5d2d6e0e4"},
        {"sourceId", "urn:uuid:4e0c2a5c-8b4b-4f0e-9d46-9b0d6d0a2f11"},
        {"sourceNumber", 1},
        {"timing",
         {{"mode", "internal"},
          {"sampleTimestamp", {{"seconds", 1'765'000'000 + n / 24}, {"nanoseconds", 0}}},
          {"sequenceNumber", n},
          {"timecode",
           {{"hours", 1},
            {"minutes", 2},
            {"seconds", n / 24 % 60},
            {"frames", n % 24},
            {"frameRate", {{"num", 24}, {"denom", 1}}}}}}},
        {"lens",
         {{"focusDistance", 1.5 + n % 1000 / 1000.0},
          {"pinholeFocalLength", 35.5},
          {"tStop", 2.8},
          {"encoders", {{"focus", 0.25}, {"zoom", 0.5}, {"iris", 0.75}}}}},
        {"transforms",
         {{{"id", "Dolly"},
           {"translation", {{"x", 1.234}, {"y", -0.25}, {"z", 0.0}}},
           {"rotation", {{"pan", 12.5}, {"tilt", 0.0}, {"roll", 0.0}}}},
          {{"id", "Camera"},
           {"translation", {{"x", 0.0}, {"y", 0.5}, {"z", 1.5}}},
           {"rotation", {{"pan", n % 360 * 0.1}, {"tilt", -3.25}, {"roll", 0.5}}}}}},
        {"static", {{"camera", {{"make", "Kor"}, {"model", "Bench"}, {"serialNumber", "B1"}}}}}};
    const std::string text = sample.dump();
    std::uint16_t sequence = static_cast<std::uint16_t>(n);
    return Kor::Bridge::BuildOtrkPackets(Bytes(text.begin(), text.end()),
                                         Kor::Bridge::OtrkEncoding::Json, sequence)
        .front();
}

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

Percentiles Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    if (us.empty()) {
        return {};
    }
    const auto at = [&](double q) {
        return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))];
    };
    return {at(0.50), at(0.99), us.back()};
}

// A UDP socket on loopback with kernel receive time stamps.
int OpenReceiver(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("receiver");
        std::exit(1);
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    return fd;
}

// Receives one datagram within a second; returns its kernel receive time (0 on timeout).
std::int64_t ReceiveStamp(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) {
        return 0;
    }
    std::uint8_t buffer[65536];
    iovec data{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(fd, &message, 0) < 0) {
        return 0;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            return std::int64_t{stamp.tv_sec} * 1'000'000'000 + stamp.tv_nsec;
        }
    }
    return RealtimeNs();
}

// Starts kor-bridge with its standard output on a pipe and reads its input port from the
// start line.
pid_t StartBridge(const std::string& arguments, std::uint16_t& port) {
    int out[2];
    if (::pipe(out) != 0) {
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string command = std::string("exec ") + KOR_BRIDGE_PATH + " " + arguments;
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
        std::perror("kor-bridge");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char chunk[256];
    const std::string banner = "on UDP 127.0.0.1:";
    while (text.find(banner) == std::string::npos ||
           text.find('\n', text.find(banner)) == std::string::npos) {
        const ssize_t n = ::read(out[0], chunk, sizeof chunk);
        if (n <= 0) {
            std::fprintf(stderr, "kor-bridge did not start: %s\n", text.c_str());
            std::exit(1);
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(out[0]);  // the bridge's later writes then fail quietly; it only writes at the end
    port = static_cast<std::uint16_t>(std::stoi(text.substr(text.find(banner) + banner.size())));
    return pid;
}

// The floor to compare with: a child process that passes each datagram on unchanged, waiting
// with poll as the bridge does. Its input port comes back in `port`.
pid_t StartForwarder(std::uint16_t to, std::uint16_t& port) {
    const int in = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(in, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    ::getsockname(in, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in dest = addr;
        dest.sin_port = htons(to);
        std::uint8_t buffer[65536];
        for (;;) {
            pollfd p{in, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(in, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                ::sendto(out, buffer, static_cast<std::size_t>(n), 0,
                         reinterpret_cast<sockaddr*>(&dest), sizeof dest);
            }
        }
    }
    ::close(in);
    return pid;
}

void StopBridge(pid_t pid) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

enum class Input { Kor, Freed, OpenTrack };

// Kor input with no options: the plain forwarder instead of the bridge. `options` end with the
// option the destination follows.
Percentiles Measure(const char* name, Input input, const std::string& options, int samples) {
    std::uint16_t receiverPort = 0;
    const int receiver = OpenReceiver(receiverPort);
    const std::string to = "127.0.0.1:" + std::to_string(receiverPort);
    std::uint16_t bridgePort = 0;
    const std::string in = input == Input::Freed       ? "--from-freed 0 "
                           : input == Input::OpenTrack ? "--from-opentrackio 0 "
                                                       : "--port 0 ";
    const pid_t bridge = input == Input::Kor && options.empty()
                             ? StartForwarder(receiverPort, bridgePort)
                             : StartBridge("--bind 127.0.0.1 " + in + options + to, bridgePort);
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(bridgePort);
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<double> us;
    int lost = 0;
    for (int i = 0; i < samples + 200; ++i) {
        const auto n = static_cast<std::uint32_t>(i);
        const Bytes datagram = input == Input::Freed       ? FreedFrame(n)
                               : input == Input::OpenTrack ? OpenTrackPacket(n)
                                                           : KorFrame(n);
        const std::int64_t sent = RealtimeNs();
        ::sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&dest),
                 sizeof dest);
        const std::int64_t arrived = ReceiveStamp(receiver);
        if (arrived == 0) {
            ++lost;
            continue;
        }
        if (i >= 200) {  // the first ones warm up caches and the allocator
            us.push_back(static_cast<double>(arrived - sent) / 1000.0);
        }
        ::usleep(200);  // a steady stream, not a burst
    }
    StopBridge(bridge);
    ::close(sender);
    ::close(receiver);
    const Percentiles p = Summarise(us);
    std::printf("%-44s p50 %7.1f us  p99 %7.1f us  max %8.1f us  (%zu samples, %d lost)\n", name,
                p.p50, p.p99, p.max, us.size(), lost);
    return p;
}

// What --delay-ms 5 adds to a path: the difference of the p50s.
void PrintAdded(const char* name, const Percentiles& plain, const Percentiles& delayed) {
    std::printf("%-44s %+.3f ms (p50 %.1f us -> %.1f us)\n", name,
                (delayed.p50 - plain.p50) / 1000.0, plain.p50, delayed.p50);
}

void MeasureConversion(const char* name, Kor::Bridge::KorInput::Settings settings, int samples) {
    Kor::Bridge::KorInput input(settings);
    std::vector<Kor::Bridge::Outgoing> out;
    std::vector<double> us;
    for (int i = 0; i < samples + 200; ++i) {
        const Bytes frame = KorFrame(static_cast<std::uint32_t>(i));
        out.clear();
        const auto start = std::chrono::steady_clock::now();
        (void)input.Feed(frame, start, out);  // a frame of the bench, applied
        const auto end = std::chrono::steady_clock::now();
        if (i >= 200) {
            us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
    }
    const Percentiles p = Summarise(us);
    std::printf("%-44s p50 %7.1f us  p99 %7.1f us  max %8.1f us\n", name, p.p50, p.p99, p.max);
}

void MeasureOpenTrackConversion(const char* name, int samples) {
    Kor::Bridge::OpenTrackInput input({});
    std::vector<Bytes> frames;
    std::vector<double> us;
    for (int i = 0; i < samples + 200; ++i) {
        const Bytes packet = OpenTrackPacket(static_cast<std::uint32_t>(i));
        frames.clear();
        const auto start = std::chrono::steady_clock::now();
        (void)input.Feed(packet, 1, start, frames);  // a whole sample: one frame
        const auto end = std::chrono::steady_clock::now();
        if (i >= 200) {
            us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
    }
    const Percentiles p = Summarise(us);
    std::printf("%-44s p50 %7.1f us  p99 %7.1f us  max %8.1f us\n", name, p.p50, p.p99, p.max);
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    std::printf("kor-bridge on loopback: send of the input -> kernel receive of the output\n");
    Measure("floor: a process passing datagrams on", Input::Kor, "", samples);
    // The frames carry no serial: the sourceId is named at once rather than after a wait.
    const Percentiles korToJson =
        Measure("Kor -> OpenTrackIO (json)", Input::Kor, "--serial-wait 0 --opentrackio ", samples);
    Measure("Kor -> OpenTrackIO (cbor)", Input::Kor,
            "--serial-wait 0 --encoding cbor --opentrackio ", samples);
    Measure("Kor -> FreeD (physical)", Input::Kor, "--freed ", samples);
    Measure("FreeD -> Kor", Input::Freed, "--to ", samples);
    const Percentiles openTrackToKor =
        Measure("OpenTrackIO (json, 2 transforms) -> Kor", Input::OpenTrack, "--to ", samples);
    // Each round waits out the delay: fewer of them.
    const int delayed = std::max(100, samples / 5);
    const Percentiles korToJsonLate =
        Measure("Kor -> OpenTrackIO (json), --delay-ms 5", Input::Kor,
                "--serial-wait 0 --delay-ms 5 --opentrackio ", delayed);
    const Percentiles openTrackToKorLate = Measure("OpenTrackIO -> Kor, --delay-ms 5",
                                                   Input::OpenTrack, "--delay-ms 5 --to ", delayed);
    std::printf("added by --delay-ms 5 (goal 5 ms +- 0.2 ms)\n");
    PrintAdded("Kor -> OpenTrackIO (json)", korToJson, korToJsonLate);
    PrintAdded("OpenTrackIO -> Kor", openTrackToKor, openTrackToKorLate);
    std::printf("conversion alone (KorInput::Feed, OpenTrackInput::Feed, in process)\n");
    Kor::Bridge::KorInput::Settings json;
    json.openTrack = Kor::Bridge::OtrkEncoding::Json;
    json.serialWait = std::chrono::steady_clock::duration::zero();
    MeasureConversion("Kor -> OpenTrackIO (json)", json, samples);
    Kor::Bridge::KorInput::Settings both = json;
    both.freed = Kor::Bridge::FreedLens::Physical;
    MeasureConversion("Kor -> OpenTrackIO (json) and FreeD", both, samples);
    MeasureOpenTrackConversion("OpenTrackIO (json, 2 transforms) -> Kor", samples);
    return 0;
}
