// The stream's time base as a receiver checks it: emulators at the five project rates at once.
//
// Usage: kor_timebase [SECONDS]   (default 50)
//
// Five child processes each run the emulator's engine with its default schedule (the lens
// and position records at the project frame rate, the identity strings at 1 Hz, timecode,
// PTP time and tick count in every frame) at project rate 23.98, 24, 25, 29.97 and 30, tick
// unit microseconds, to one loopback receiver in this process, which decodes every datagram
// with the library's Device, one per sender. Per stream it counts, in the project-rate frames
// in the order they arrived, timecode labels that repeat or skip; across the whole stream
// sorted by PTP time, tick counts that step back; and the mean PTP spacing of the
// project-rate frames against the exact frame period. Exits with status 1 when any count is
// not 0 or a mean spacing is off by more than 2e-5.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include <kor/device.h>

#include "emulator_model.h"

namespace {

using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;

struct Frame {
    bool projectRate = false;  // a frame of the project-rate slot (no identity strings)
    TelemetryData state;
};

void RunEmulator(std::uint16_t port, std::uint8_t projectFps, double seconds) {
    Kor::Emulator::EmulatorModel model;
    auto& t = model.transmitter;
    {
        std::lock_guard lock(t.modelMutex);
        t.liveState.projectFps = projectFps;
        t.liveState.tickCountType = 2;
        model.tickCountTypeChoice = 2;
        model.rebuildSchedule();
        t.SetDestination("127.0.0.1", port);
        t.Start();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::lock_guard lock(t.modelMutex);
    t.Stop();
}

bool CarriesIdentity(const std::uint8_t* data, std::size_t n) {
    for (std::size_t i = 8; i + 2 <= n; i += 3U + data[i + 1]) {
        if (data[i] == static_cast<std::uint8_t>(MessageType::ProductBrand)) {
            return true;
        }
    }
    return false;
}

// The label's number counted from midnight: frames at `perSecond` labels a second, or
// drop-frame numbering turned back into the count of real frames.
std::int64_t LabelNumber(const TelemetryData& s) {
    const std::int64_t seconds =
        (std::int64_t{s.timecodeHours} * 60 + s.timecodeMinutes) * 60 + s.timecodeSeconds;
    if (s.projectFps == 4) {
        const std::int64_t minutes = std::int64_t{s.timecodeHours} * 60 + s.timecodeMinutes;
        return seconds * 30 + s.timecodeFrames - 2 * (minutes - minutes / 10);
    }
    const std::int64_t perSecond = s.projectFps == 3 ? 25 : s.projectFps == 5 ? 30 : 24;
    return seconds * perSecond + s.timecodeFrames;
}

std::int64_t LabelsPerDay(std::uint8_t projectFps) {
    switch (projectFps) {
        case 3: return 86'400 * 25;
        case 4: return 2'589'408;
        case 5: return 86'400 * 30;
        default: return 86'400 * 24;
    }
}

double ExactPeriodNs(std::uint8_t projectFps) {
    switch (projectFps) {
        case 1: return 1e9 * 1001.0 / 24000.0;
        case 2: return 1e9 / 24.0;
        case 3: return 1e9 / 25.0;
        case 4: return 1e9 * 1001.0 / 30000.0;
        default: return 1e9 / 30.0;
    }
}

std::int64_t PtpNs(const TelemetryData& s) {
    return static_cast<std::int64_t>(s.ptpSeconds) * 1'000'000'000 + s.ptpNanoseconds;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 50.0;
    if (!(seconds > 0.0) || seconds > 86'400.0) {
        std::fprintf(stderr, "usage: kor_timebase [SECONDS]\n");
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("kor_timebase: loopback socket");
        return 2;
    }
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    const int bufferSize = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);

    std::fflush(stdout);
    std::vector<pid_t> children;
    for (std::uint8_t code = 1; code <= 5; ++code) {
        const pid_t child = ::fork();
        if (child == 0) {
            std::fclose(stdout);  // the engine's progress lines are not part of the report
            RunEmulator(ntohs(addr.sin_port), code, seconds);
            std::_Exit(0);
        }
        children.push_back(child);
    }

    std::map<std::uint16_t, Kor::Protocol::Device> devices;
    std::map<std::uint16_t, std::vector<Frame>> streams;
    std::uint64_t refused = 0;
    std::array<std::uint8_t, 2048> buffer{};
    std::size_t running = children.size();
    while (running > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n > 0) {
                const std::uint16_t sender = ntohs(from.sin_port);
                auto& device = devices[sender];
                const auto status = device.Update(std::vector<std::uint8_t>(
                    buffer.begin(), buffer.begin() + n));
                if (status > Kor::Protocol::FrameStatus::SameTimecode) {
                    ++refused;
                    continue;
                }
                streams[sender].push_back(
                    {!CarriesIdentity(buffer.data(), static_cast<std::size_t>(n)),
                     *device.GetCurrentState()});
            }
            continue;
        }
        for (pid_t& child : children) {
            int status = 0;
            if (child > 0 && ::waitpid(child, &status, WNOHANG) == child) {
                child = 0;
                --running;
            }
        }
    }
    ::close(fd);

    static const char* const kRateNames[] = {"", "23.98", "24", "25", "29.97", "30"};
    bool pass = streams.size() == 5 && refused == 0;
    std::printf("Five emulators at once, %.0f s, default schedule, tick unit microseconds\n",
                seconds);
    std::printf("%-6s %7s %7s %8s %8s %10s %12s %14s\n", "rate", "frames", "project", "repeats",
                "skips", "tick backs", "lost frames", "PTP spacing");
    for (auto& [sender, frames] : streams) {
        const std::uint8_t code = frames.back().state.projectFps;  // the 1 Hz frames carry none
        std::uint64_t projectFrames = 0, repeats = 0, skips = 0, lost = 0;
        const Frame* previous = nullptr;
        std::int64_t firstPtp = 0, lastPtp = 0;
        const double period = ExactPeriodNs(code);
        for (const Frame& f : frames) {
            if (!f.projectRate) {
                continue;
            }
            if (previous == nullptr) {
                firstPtp = PtpNs(f.state);
            } else {
                const std::int64_t perDay = LabelsPerDay(code);
                const std::int64_t step =
                    ((LabelNumber(f.state) - LabelNumber(previous->state)) % perDay + perDay) % perDay;
                repeats += step == 0 ? 1 : 0;
                skips += step > 1 ? 1 : 0;
                const double spacing = static_cast<double>(PtpNs(f.state) - PtpNs(previous->state));
                lost += static_cast<std::uint64_t>(std::max(0.0, std::round(spacing / period) - 1));
            }
            lastPtp = PtpNs(f.state);
            previous = &f;
            ++projectFrames;
        }
        std::vector<const Frame*> byPtp;
        for (const Frame& f : frames) {
            byPtp.push_back(&f);
        }
        std::stable_sort(byPtp.begin(), byPtp.end(), [](const Frame* a, const Frame* b) {
            return PtpNs(a->state) < PtpNs(b->state);
        });
        std::uint64_t tickBacks = 0;
        for (std::size_t i = 1; i < byPtp.size(); ++i) {
            tickBacks += byPtp[i]->state.tickCount < byPtp[i - 1]->state.tickCount ? 1 : 0;
        }
        // The mean spacing over the frames that were sent (a frame the machine was too busy
        // to build leaves a gap of whole periods, which the labels skip with it).
        const double meanSpacing =
            projectFrames > 1
                ? static_cast<double>(lastPtp - firstPtp) / static_cast<double>(projectFrames - 1 + lost)
                : 0.0;
        const double spacingError = (meanSpacing - period) / period;
        std::printf("%-6s %7zu %7llu %8llu %8llu %10llu %12llu %+13.2e\n",
                    code <= 5 ? kRateNames[code] : "?", frames.size(),
                    static_cast<unsigned long long>(projectFrames),
                    static_cast<unsigned long long>(repeats), static_cast<unsigned long long>(skips),
                    static_cast<unsigned long long>(tickBacks), static_cast<unsigned long long>(lost),
                    spacingError);
        pass = pass && repeats == 0 && skips == 0 && tickBacks == 0 &&
               std::abs(spacingError) <= 2e-5 && projectFrames > 1;
    }
    if (refused != 0) {
        std::printf("%llu datagrams refused by the decoder\n", static_cast<unsigned long long>(refused));
    }
    std::printf("%s\n", pass ? "PASS: every label once, no tick count back, exact spacing"
                             : "FAIL");
    return pass ? 0 : 1;
}
