// Pacing of the rate slots as a receiver sees it, against a literal sleep-then-yield.
//
// Usage: kor_pacing [SECONDS [MARGIN_US...]]   (default 10 s, the engine's own spin margins)
//
// A child process runs the sender; the parent receives on loopback and takes each
// datagram's arrival time from the kernel's receive time stamp. Per slot it reports the
// period error (arrival interval minus the nominal period: p50, p99 and max of its
// magnitude, in microseconds), the deviation of each arrival from a straight line through
// the slot's arrivals (p50, p99, max), the average rate against the nominal one, and the
// processor time the sending process used. The senders run one after the other: the
// emulator's default schedule (24 Hz and 1 Hz busy, the other seven slots idle), then all
// nine slots busy with every frame handed to the sender thread, the Transmitter as it is,
// and a literal pacing that sleeps until 2 ms before each deadline measured from the call
// and then yields until the period has passed since the frame's start. Then lens file
// playback at 23.976, 25 and 29.97 frames per second runs for the same time each, with the
// same figures for its one stream. Further arguments run the nine busy slots again with
// each spin margin fixed at that many microseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "emulator_model.h"
#include "tables.h"
#include "transmitter.h"

namespace {

using Clock = std::chrono::steady_clock;
using Kor::Engine::kGeneratorSlots;
using Kor::Protocol::MessageType;

// One message type per slot, so the receiver can tell the streams apart.
constexpr std::array<MessageType, kGeneratorSlots> kSlotType{
    MessageType::Timecode,       MessageType::BasicLens,  MessageType::PtpTimestamp,
    MessageType::LensProperties, MessageType::PositionalData, MessageType::AxesData,
    MessageType::TickCount,      MessageType::ProjectFps, MessageType::ChannelId};

int SlotOf(std::uint8_t type) {
    for (int slot = 0; slot < kGeneratorSlots; ++slot) {
        if (static_cast<std::uint8_t>(kSlotType[static_cast<std::size_t>(slot)]) == type) {
            return slot;
        }
    }
    return -1;
}

double RateHz(int slot) {
    const auto rate = Kor::Engine::kSlotRates[static_cast<std::size_t>(slot)];
    return static_cast<double>(rate.numerator) / static_cast<double>(rate.denominator);
}

double PeriodNs(int slot) {
    return 1e9 / RateHz(slot);
}

// The emulator's defaults (project rate 24 fps): the 1 Hz frames carry the identity strings,
// the 24 Hz frames the lens and position records.
void RunDefaultSchedule(std::uint16_t port, double seconds) {
    Kor::Emulator::EmulatorModel model;
    {
        std::lock_guard lock(model.transmitter.modelMutex);
        model.rebuildSchedule();
        model.transmitter.SetDestination("127.0.0.1", port);
        model.transmitter.Start();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::lock_guard lock(model.transmitter.modelMutex);
    model.transmitter.Stop();
}

// The slot of a default-schedule datagram: 0 when it carries ProductBrand, else 3.
int DefaultScheduleSlot(const std::uint8_t* data, std::size_t n) {
    for (std::size_t i = 8; i + 2 <= n; i += 3U + data[i + 1]) {
        if (data[i] == static_cast<std::uint8_t>(MessageType::ProductBrand)) {
            return 0;
        }
    }
    return 3;
}

int NineSlotsSlot(const std::uint8_t* data, std::size_t n) {
    return n > 8 ? SlotOf(data[8]) : -1;
}

// The spin margin under test (0: the engine's default).
std::int64_t gSpinMarginNs = 0;
// Whether producers send frames themselves while the sender thread waits (the default), or
// hand every frame to the sender thread through the queue.
bool gProducerSends = true;

void RunTransmitter(std::uint16_t port, double seconds) {
    Kor::Engine::Transmitter t;
    if (gSpinMarginNs > 0) {
        t.SetSpinMargin(gSpinMarginNs);
    }
    t.SetProducerSends(gProducerSends);
    {
        std::lock_guard lock(t.modelMutex);
        t.SetDestination("127.0.0.1", port);
        for (int slot = 0; slot < kGeneratorSlots; ++slot) {
            t.schedule[static_cast<std::size_t>(slot)] = {kSlotType[static_cast<std::size_t>(slot)]};
        }
        t.Start();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::lock_guard lock(t.modelMutex);
    t.Stop();
}

// The pacing taken literally: coarse sleep to 2 ms before a deadline measured from the
// call, then yield until the period has passed since the frame's start.
void LiteralWait(double periodMs, std::int64_t startNs) {
    auto now = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   Clock::now().time_since_epoch())
            .count();
    };
    if (periodMs > 2.0) {
        std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(
            now() + static_cast<std::int64_t>((periodMs - 2.0) * 1e6))));
    }
    while (static_cast<double>(now() - startNs) / 1e6 < periodMs) {
        std::this_thread::yield();
    }
}

void RunLiteral(std::uint16_t port, double seconds) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    for (int slot = 0; slot < kGeneratorSlots; ++slot) {
        threads.emplace_back([&, slot] {
            const double periodMs = PeriodNs(slot) / 1e6;
            Kor::Protocol::TelemetryData data;
            const auto frame = data.Encode(Kor::Protocol::TransmissionType::UDP,
                                           {kSlotType[static_cast<std::size_t>(slot)]});
            while (running) {
                const auto start = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       Clock::now().time_since_epoch())
                                       .count();
                ::sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
                LiteralWait(periodMs, start);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    running = false;
    for (auto& thread : threads) {
        thread.join();
    }
    ::close(fd);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// When the datagram reached the socket: the kernel's receive time stamp (system clock),
// so the receiving process's own wake-up is not counted as the sender's error; the
// receiver's clock when the kernel gave none.
std::int64_t ArrivalNs(msghdr& message) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
        }
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Runs `sender` in a child process against a loopback receiver in this one, hands every
// datagram to `onDatagram` with its arrival time (ns) until the child exits,
// and returns the child's resource usage.
rusage ReceiveFromChild(void (*sender)(std::uint16_t, double), double seconds,
                        const std::function<void(const std::uint8_t*, std::size_t, std::int64_t)>&
                            onDatagram) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    const int bufferSize = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);

    std::fflush(stdout);  // the child must not inherit unwritten report lines
    const pid_t child = ::fork();
    if (child == 0) {
        std::fclose(stdout);  // the engine's progress lines are not part of the report
        sender(ntohs(addr.sin_port), seconds);
        std::_Exit(0);
    }

    rusage usage{};
    int status = 0;
    std::array<std::uint8_t, 2048> buffer{};
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            iovec io{buffer.data(), buffer.size()};
            alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
            msghdr message{};
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control.data();
            message.msg_controllen = control.size();
            const ssize_t n = ::recvmsg(fd, &message, 0);
            if (n > 0) {
                onDatagram(buffer.data(), static_cast<std::size_t>(n), ArrivalNs(message));
            }
            continue;
        }
        if (::wait4(child, &status, WNOHANG, &usage) == child) {
            break;
        }
    }
    ::close(fd);
    return usage;
}

struct SlotReport {
    double p50 = 0, p99 = 0, max = 0, rateError = 0;
    double lineP50 = 0, lineP99 = 0, lineMax = 0;
    std::size_t frames = 0;
};

// Deviations (us) of arrivals from the least-squares line through them against their index.
std::vector<double> LineDeviations(const std::vector<std::int64_t>& a) {
    std::vector<double> deviations;
    if (a.size() < 3) {
        return deviations;
    }
    const double n = static_cast<double>(a.size());
    double sumX = 0, sumY = 0, sumXX = 0, sumXY = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double x = static_cast<double>(i);
        const double y = static_cast<double>(a[i] - a.front());
        sumX += x;
        sumY += y;
        sumXX += x * x;
        sumXY += x * y;
    }
    const double slope = (n * sumXY - sumX * sumY) / (n * sumXX - sumX * sumX);
    const double intercept = (sumY - slope * sumX) / n;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double y = static_cast<double>(a[i] - a.front());
        deviations.push_back(std::abs(y - (intercept + slope * static_cast<double>(i))) / 1e3);
    }
    return deviations;
}

using Classifier = int (*)(const std::uint8_t*, std::size_t);

// Receives until the sender child exits; returns per-slot figures and prints them with the
// child's CPU.
std::array<SlotReport, kGeneratorSlots> Measure(const char* name, void (*sender)(std::uint16_t, double),
                                                double seconds, Classifier slotOf = NineSlotsSlot,
                                                double* cpuShare = nullptr) {
    std::array<std::vector<std::int64_t>, kGeneratorSlots> arrivals;
    const rusage usage =
        ReceiveFromChild(sender, seconds, [&](const std::uint8_t* data, std::size_t n, std::int64_t now) {
            const int slot = slotOf(data, n);
            if (slot >= 0) {
                arrivals[static_cast<std::size_t>(slot)].push_back(now);
            }
        });

    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (cpuShare != nullptr) {
        *cpuShare = cpu / seconds;
    }
    std::printf("\n%s: sender CPU %.2f s in %.1f s = %.2f%% of one core\n", name, cpu, seconds,
                100.0 * cpu / seconds);
    std::printf("%-5s %9s %7s %9s %9s %9s %9s %9s %9s %11s\n", "slot", "rate Hz", "frames",
                "p50 us", "p99 us", "max us", "line p50", "line p99", "line max", "rate error");
    std::array<SlotReport, kGeneratorSlots> reports;
    for (int slot = 0; slot < kGeneratorSlots; ++slot) {
        const auto& a = arrivals[static_cast<std::size_t>(slot)];
        SlotReport& r = reports[static_cast<std::size_t>(slot)];
        r.frames = a.size();
        if (a.empty()) {
            continue;
        }
        std::vector<double> errors;
        for (std::size_t i = 1; i < a.size(); ++i) {
            errors.push_back(std::abs(static_cast<double>(a[i] - a[i - 1]) - PeriodNs(slot)) / 1e3);
        }
        r.p50 = Percentile(errors, 0.50);
        r.p99 = Percentile(errors, 0.99);
        r.max = errors.empty() ? 0.0 : *std::max_element(errors.begin(), errors.end());
        const std::vector<double> line = LineDeviations(a);
        r.lineP50 = Percentile(line, 0.50);
        r.lineP99 = Percentile(line, 0.99);
        r.lineMax = line.empty() ? 0.0 : *std::max_element(line.begin(), line.end());
        if (a.size() > 1) {
            const double measured = static_cast<double>(a.size() - 1) * 1e9 /
                                    static_cast<double>(a.back() - a.front());
            r.rateError = (measured - RateHz(slot)) / RateHz(slot);
        }
        std::printf("%-5d %9.3f %7zu %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f %10.4f%%\n", slot,
                    RateHz(slot), r.frames, r.p50, r.p99, r.max, r.lineP50, r.lineP99, r.lineMax,
                    100.0 * r.rateError);
    }
    return reports;
}

// Receives one stream (every datagram) until the sender child exits; prints its figures
// against the nominal frame rate of the lens file's frame-rate text.
void MeasureStream(const char* name, void (*sender)(std::uint16_t, double), double seconds,
                   const std::string& fps) {
    const double nominalRate = fps == "23.98"   ? 24000.0 / 1001.0
                               : fps == "29.97" ? 30000.0 / 1001.0
                                                : std::stod(fps);
    std::vector<std::int64_t> arrivals;
    ReceiveFromChild(sender, seconds, [&](const std::uint8_t*, std::size_t, std::int64_t now) {
        arrivals.push_back(now);
    });
    std::vector<double> errors;
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        errors.push_back(std::abs(static_cast<double>(arrivals[i] - arrivals[i - 1]) -
                                  1e9 / nominalRate) /
                         1e3);
    }
    const double measured = arrivals.size() > 1
                                ? static_cast<double>(arrivals.size() - 1) * 1e9 /
                                      static_cast<double>(arrivals.back() - arrivals.front())
                                : 0.0;
    std::printf("\n%s\n%-5s %9s %7s %9s %9s %9s %11s\n", name, "", "rate Hz", "frames", "p50 us",
                "p99 us", "max us", "rate error");
    std::printf("%-5s %9.3f %7zu %9.1f %9.1f %9.1f %10.4f%%\n", "", nominalRate, arrivals.size(),
                Percentile(errors, 0.5), Percentile(errors, 0.99),
                errors.empty() ? 0.0 : *std::max_element(errors.begin(), errors.end()),
                100.0 * (measured - nominalRate) / nominalRate);
}

}  // namespace

namespace {

// Lens file playback: a clip long enough for the run, played with only Timecode in the
// playback's list and nothing scheduled elsewhere, so every datagram is a playback frame.
std::string gPlaybackFps;

void RunPlayback(std::uint16_t port, double seconds) {
    const std::string path = "/tmp/kor-pacing-" + std::to_string(::getpid()) + ".zlcf";
    {
        std::ofstream file(path);
        const int frames = static_cast<int>(seconds * 31.0) + 10;
        file << "HEADER_START\ntcFps:=" << gPlaybackFps << "\nclipDurationFrames:=" << frames
             << "\nHEADER_END\nframe;tc;focusDistance\n";
        for (int n = 0; n <= frames; ++n) {
            file << n << ";10:00:" << (n / 30) % 60 << "." << n % 30 << ";" << 100 + n << "\n";
        }
    }
    Kor::Engine::Transmitter t;
    {
        std::lock_guard lock(t.modelMutex);
        t.SetDestination("127.0.0.1", port);
        t.LoadLensFile(path);
        t.schedule[9] = {MessageType::Timecode};
        t.StartZeiss();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::lock_guard lock(t.modelMutex);
    t.Stop();
    std::remove(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!(seconds > 0.0)) {
        std::fprintf(stderr, "usage: kor_pacing [SECONDS [MARGIN_US...]]\n");
        return 2;
    }
    // Further arguments: spin margins (microseconds) to compare with the default.
    for (int i = 2; i < argc; ++i) {
        gSpinMarginNs = static_cast<std::int64_t>(std::atof(argv[i]) * 1000.0);
        const std::string name = std::string("Transmitter, spin margin ") + argv[i] + " us";
        Measure(name.c_str(), RunTransmitter, seconds);
    }
    gSpinMarginNs = 0;
    double defaultCpu = 0;
    const auto defaults = Measure("Default schedule (24 Hz and 1 Hz busy)", RunDefaultSchedule,
                                  seconds, DefaultScheduleSlot, &defaultCpu);
    gProducerSends = false;
    const auto handOff =
        Measure("Transmitter, every frame handed to the sender thread", RunTransmitter, seconds);
    gProducerSends = true;
    const auto engine = Measure("Transmitter", RunTransmitter, seconds);
    const auto literal = Measure("Literal sleep to 2 ms, then yield", RunLiteral, seconds);

    for (const char* fps : {"23.98", "25", "29.97"}) {
        gPlaybackFps = fps;
        const std::string name = std::string("Lens file playback at ") + fps + " fps (one stream)";
        MeasureStream(name.c_str(), RunPlayback, seconds, fps);
    }

    double worstDefaultP50 = 0;
    double worstDefaultP99 = 0;
    for (int slot : {0, 3}) {
        worstDefaultP50 = std::max(worstDefaultP50, defaults[static_cast<std::size_t>(slot)].p50);
        worstDefaultP99 = std::max(worstDefaultP99, defaults[static_cast<std::size_t>(slot)].p99);
    }
    std::printf("\ndefault schedule: worst slot p50 %.1f us, p99 %.1f us at %.2f%% of a core "
                "(goal: 20 us, 100 us, 5%%)\n",
                worstDefaultP50, worstDefaultP99, 100.0 * defaultCpu);

    double worstEngineP50 = 0;
    double worstHandOffP50 = 0;
    for (int slot = 0; slot < kGeneratorSlots; ++slot) {
        worstEngineP50 = std::max(worstEngineP50, engine[static_cast<std::size_t>(slot)].p50);
        worstHandOffP50 = std::max(worstHandOffP50, handOff[static_cast<std::size_t>(slot)].p50);
    }
    std::printf("nine busy slots: worst slot p50: Transmitter %.1f us (every frame handed to "
                "the sender: %.1f us); literal p99 by slot:",
                worstEngineP50, worstHandOffP50);
    for (const auto& r : literal) {
        std::printf(" %.0f", r.p99);
    }
    std::printf(" us\n");
    return 0;
}
