// kor-monitor with many cameras on loopback: this program stands in for CAMERAS cameras, each
// from its own UDP port with its own SubjectId, sending RATE frames a second (and a 1 Hz
// identity frame) to one kor-monitor process for SECONDS, then reads the monitor's summary
// for what arrived and the kernel's account of the CPU time it used. It runs the monitor
// twice: with the live view (standard output a file, as when logged) and with JSON lines.
//
//   kor_monitor_sources [SECONDS] [CAMERAS] [RATE]     (default 5 s, 32 cameras, 100 Hz)
//
// The goal: no frame lost and under a quarter of a core; the exit status is 1 otherwise.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <kor/kor.h>

#include "udp.h"

extern char** environ;

namespace {

using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using Kor::Protocol::TransmissionType;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// A camera's state at frame n: timecode, lens, PTP stamp, position, orientation and tick
// count change every frame.
TelemetryData CameraState(std::uint16_t subject, std::uint32_t n, std::uint32_t rate) {
    TelemetryData d;
    d.subjectId = subject;
    d.productBrand = "Bench";
    d.productName = "Camera";
    d.productSerial = "SN-" + std::to_string(subject);
    d.lensName = "Prime 35";
    d.projectFps = 3;
    d.timecodeFrames = static_cast<std::uint8_t>(n % 25);
    d.timecodeSeconds = static_cast<std::uint8_t>(n / rate % 60);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    d.ptpSeconds = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(now).count());
    d.ptpNanoseconds = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() % 1'000'000'000);
    d.focus = 1500 + n % 1000;
    d.focusValid = d.zoomValid = d.irisValid = true;
    d.zoom = 35.5F;
    d.iris = 2.8F;
    d.positionX = 1234.5F + static_cast<float>(n % 100);
    d.positionY = -50.25F;
    d.positionZ = 1800.0F;
    d.positionXValid = d.positionYValid = d.positionZValid = true;
    d.roll = 0.5F;
    d.pitch = -3.25F;
    d.yaw = static_cast<float>(n % 360);
    d.rollValid = d.pitchValid = d.yawValid = true;
    d.tickCount = std::uint64_t{n} * 1'000'000 / rate;
    d.tickCountType = 2;
    return d;
}

const std::vector<MessageType> kFast{MessageType::Timecode,       MessageType::BasicLens,
                                     MessageType::PtpTimestamp,   MessageType::PositionalData,
                                     MessageType::AxesData,       MessageType::TickCount,
                                     MessageType::ProjectFps,     MessageType::SubjectId};
const std::vector<MessageType> kIdentity{MessageType::Timecode, MessageType::ProductBrand,
                                         MessageType::ProductName, MessageType::ProductSerial,
                                         MessageType::LensName, MessageType::SubjectId};

struct Run {
    pid_t pid = -1;
    std::string out;
    std::string err;
    std::uint16_t port = 0;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts kor-monitor on a free loopback port with its output in files; waits for its
// banner to learn the port.
Run StartMonitor(const std::string& options, double seconds, const std::string& tag) {
    Run run;
    run.out = "/tmp/kor_monitor_sources_" + std::to_string(::getpid()) + tag + ".out";
    run.err = run.out + ".err";
    const std::string command = std::string("exec ") + KOR_MONITOR_PATH +
                                " --bind 127.0.0.1 --port 0 --duration " +
                                std::to_string(seconds) + " " + options + " >" + run.out +
                                " 2>" + run.err;
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&run.pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) !=
        0) {
        std::perror("kor-monitor");
        std::exit(2);
    }
    const std::string banner = "from UDP 127.0.0.1:";
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < give_up) {
        const std::string err = ReadAll(run.err);
        const auto at = err.find(banner);
        if (at != std::string::npos && err.find('\n', at) != std::string::npos) {
            run.port = static_cast<std::uint16_t>(std::stoi(err.substr(at + banner.size())));
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "kor-monitor did not start: %s\n", ReadAll(run.err).c_str());
    std::exit(2);
}

// Waits for the monitor to end; its CPU time (user and system) in seconds.
double Finish(const Run& run) {
    int status = 0;
    rusage usage{};
    if (::wait4(run.pid, &status, 0, &usage) != run.pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "kor-monitor failed: %s\n", ReadAll(run.err).c_str());
        std::exit(2);
    }
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Sends `rate` frames a second from each camera for `seconds`; returns the datagrams sent.
std::uint64_t SendCameras(std::uint16_t port, int cameras, std::uint32_t rate, double seconds) {
    std::vector<std::unique_ptr<Kor::Platform::UdpSocket>> sockets;
    for (int i = 0; i < cameras; ++i) {
        sockets.push_back(std::make_unique<Kor::Platform::UdpSocket>());
        if (sockets.back()->Bind("127.0.0.1", 0) != 0) {
            std::fprintf(stderr, "cannot bind a sending socket\n");
            std::exit(2);
        }
    }
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    const auto period = std::chrono::nanoseconds(1'000'000'000 / rate);
    const auto start = Clock::now();
    std::uint64_t sent = 0;
    for (std::uint32_t n = 0; n < frames; ++n) {
        std::this_thread::sleep_until(start + period * n);
        for (int i = 0; i < cameras; ++i) {
            const TelemetryData state = CameraState(static_cast<std::uint16_t>(i + 1), n, rate);
            const Bytes frame = state.Encode(TransmissionType::UDP, kFast);
            sent += sockets[i]->SendTo("127.0.0.1", port, frame.data(), frame.size()) ? 1 : 0;
            if (n % rate == 0) {
                const Bytes identity = state.Encode(TransmissionType::UDP, kIdentity);
                sent += sockets[i]->SendTo("127.0.0.1", port, identity.data(), identity.size())
                            ? 1
                            : 0;
            }
        }
    }
    return sent;
}

// The number after `label` in text; -1 when it is not there.
long long NumberAfter(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + label.size());
}

// One run; whether it met the goal.
bool Measure(const char* mode, const std::string& options, double seconds, int cameras,
             std::uint32_t rate) {
    Run run = StartMonitor(options, seconds + 1.5, options.empty() ? "view" : "json");
    const auto start = Clock::now();
    const std::uint64_t sent = SendCameras(run.port, cameras, rate, seconds);
    const double sending = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = Finish(run);
    const std::string out = ReadAll(run.out);
    const std::string err = ReadAll(run.err);
    long long applied = -1;
    long long sources = -1;
    if (options.find("--json") != std::string::npos) {
        const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
        const nlohmann::json summary = nlohmann::json::parse(last)["summary"];
        applied = summary["applied"].get<long long>();
        sources = static_cast<long long>(summary["sources"].size());
    } else {
        const std::string summary = out.substr(out.find("kor-monitor summary:"));
        applied = NumberAfter(summary, "frames ");
        applied = NumberAfter(summary, "frames " + std::to_string(applied) + ": ");
        sources = NumberAfter(summary, "bytes received, ");
    }
    std::remove(run.out.c_str());
    std::remove(run.err.c_str());
    const long long lost = static_cast<long long>(sent) - applied;
    // The share of a core while the cameras sent; the monitor's start and its idle second at
    // the end count against it.
    const double share = cpu / sending;
    const bool met = lost == 0 && sources == cameras && share < 0.25;
    std::printf("%-10s %d cameras x %u Hz, %.1f s: sent %llu, applied %lld, lost %lld, "
                "sources %lld; CPU %.3f s = %.1f%% of a core, %.1f us a datagram  %s\n",
                mode, cameras, rate, sending, static_cast<unsigned long long>(sent), applied,
                lost, sources, cpu, share * 100, cpu * 1e6 / static_cast<double>(sent),
                met ? "ok" : "NOT MET");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int cameras = argc > 2 ? std::atoi(argv[2]) : 32;
    const auto rate = static_cast<std::uint32_t>(argc > 3 ? std::atoi(argv[3]) : 100);
    if (seconds <= 0 || cameras < 1 || cameras > 256 || rate < 1 || rate > 1000) {
        std::fprintf(stderr, "usage: kor_monitor_sources [SECONDS] [CAMERAS 1-256] [RATE 1-1000]\n");
        return 2;
    }
    const bool view = Measure("live view", "", seconds, cameras, rate);
    const bool json = Measure("json", "--json", seconds, cameras, rate);
    return view && json ? 0 : 1;
}
