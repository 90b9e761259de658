// kor-send's run: the emulator's stream (or a capture's datagrams) sent until --duration,
// the end of a lens file or capture, or a stop request; then the totals.
#include "run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "command_line.h"
#include "console_stop.h"
#include "emulator_model.h"
#include "faults.h"
#include "pcap.h"
#include "replay.h"

namespace Kor::Send {

namespace {

using Emulator::EmulatorModel;

constexpr const char* kName = "kor-send";

// Ends the run's stop handling when main returns: a closing console waits until then, so
// that the summary gets out.
struct StopSignals {
    StopSignals() { Platform::InstallConsoleStopHandler(); }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    ~StopSignals() { Platform::ConsoleStopHandled(); }
};

// Waits for a stop signal, the end of `seconds` (when given) or `ended()` turning true;
// returns the signal, or 0 otherwise.
int WaitForStop(std::optional<double> seconds,
                const std::function<bool()>& ended) {
    using Clock = std::chrono::steady_clock;
    // A duration beyond some 30 years means no end: the clock's nanoseconds cannot count
    // it (the conversion would be undefined), and no run lasts that long.
    constexpr double kEndlessSeconds = 1e9;
    const auto deadline = seconds && *seconds < kEndlessSeconds
                              ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(*seconds))
                              : Clock::time_point::max();
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline || ended()) {
            return 0;
        }
        // Short slices, so that the end of a lens file playback is noticed promptly.
        const auto slice = std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(20));
        const int signal =
            Platform::WaitForConsoleStop(std::chrono::ceil<std::chrono::milliseconds>(slice));
        if (signal > 0) {
            return signal;
        }
    }
}

using Models = std::vector<std::unique_ptr<EmulatorModel>>;

template <typename Count>
unsigned long long Sum(const Models& models, Count count) {
    unsigned long long total = 0;
    for (const auto& model : models) {
        total += count(model->transmitter);
    }
    return total;
}

// The totals of every camera: frames and bytes by rate slot, and with more than one camera
// a line for each; then the datagrams and faults of all.
void PrintSummary(const Models& models) {
    using Engine::Transmitter;
    std::printf("\n%-6s %-10s %10s %12s\n", "slot", "rate", "frames", "bytes");
    for (int slot = 0; slot < Engine::kGeneratorSlots; ++slot) {
        std::printf(
            "%-6d %-10s %10llu %12llu\n", slot,
            (Emulator::formatNumber(Engine::kRateByChoice[static_cast<std::size_t>(slot)]) + " Hz")
                .c_str(),
            Sum(models, [slot](const Transmitter& t) { return t.Counters(slot).frames.load(); }),
            Sum(models, [slot](const Transmitter& t) { return t.Counters(slot).bytes.load(); }));
    }
    if (models.size() > 1) {
        for (std::size_t i = 0; i < models.size(); ++i) {
            const Transmitter& t = models[i]->transmitter;
            std::printf(
                "camera %zu: subject %u, serial %s, source port %u, datagrams sent %llu, "
                "failed %llu\n",
                i + 1, static_cast<unsigned>(t.liveState.subjectId),
                t.liveState.productSerial.c_str(), unsigned{t.SourcePort()},
                static_cast<unsigned long long>(t.DatagramsSent()),
                static_cast<unsigned long long>(t.SendFailures()));
        }
    }
    std::printf("datagrams sent: %llu, failed: %llu\n",
                Sum(models, [](const Transmitter& t) { return t.DatagramsSent(); }),
                Sum(models, [](const Transmitter& t) { return t.SendFailures(); }));
    FaultTotals f;
    bool faulty = false;
    for (const auto& model : models) {
        if (const auto* faults =
                dynamic_cast<const FaultFilter*>(model->transmitter.GetDatagramFilter())) {
            const FaultTotals one = faults->Totals();
            f.datagrams += one.datagrams;
            f.lost += one.lost;
            f.duplicated += one.duplicated;
            f.reordered += one.reordered;
            f.corrupted += one.corrupted;
            faulty = true;
        }
    }
    if (faulty) {
        std::printf(
            "faults: %llu datagrams, %llu lost, %llu duplicated, %llu reordered, "
            "%llu corrupted\n",
            static_cast<unsigned long long>(f.datagrams), static_cast<unsigned long long>(f.lost),
            static_cast<unsigned long long>(f.duplicated),
            static_cast<unsigned long long>(f.reordered),
            static_cast<unsigned long long>(f.corrupted));
    }
}

// "Sending to HOST:PORT" or, for several cameras, "Sending 3 cameras (subjects 1 to 3 from
// source ports P1, P2, P3) to HOST:PORT", with every destination.
std::string StartText(const Options& options, const Models& models) {
    std::string text = "Sending ";
    if (models.size() > 1) {
        text += std::to_string(models.size()) + " cameras (subjects 1 to " +
                std::to_string(models.size()) + " from source ports ";
        for (std::size_t i = 0; i < models.size(); ++i) {
            text += (i == 0 ? "" : ", ") + std::to_string(models[i]->transmitter.SourcePort());
        }
        text += ") ";
    }
    text += "to ";
    const auto destinations = DestinationsOf(options);
    for (std::size_t i = 0; i < destinations.size(); ++i) {
        text += (i == 0 ? "" : ", ") + destinations[i].address + ":" +
                std::to_string(destinations[i].port);
    }
    return text;
}

// The fault options of the start line, e.g. " with loss 50%, jitter 5 ms (seed 7)".
std::string FaultText(const FaultSettings& f) {
    if (!f.Any()) {
        return {};
    }
    std::string text;
    const auto add = [&](const char* name, double value, const char* unit) {
        if (value > 0) {
            char part[64];
            std::snprintf(part, sizeof part, "%s %s %g%s", text.empty() ? " with" : ",", name,
                          value, unit);
            text += part;
        }
    };
    add("jitter", f.jitterMs, " ms");
    add("loss", f.lossPercent, "%");
    add("duplicate", f.duplicatePercent, "%");
    add("reorder", f.reorderPercent, "%");
    add("corrupt", f.corruptPercent, "%");
    return text + " (seed " + std::to_string(f.seed) + ")";
}

// --replay: sends the capture's UDP datagrams again until its end, a stop signal or the
// end of --duration. Returns the exit status.
int Replay(const Options& options, Engine::MessageSink& messages) {
    Pcap::Capture capture;
    if (const Checked read = Pcap::ReadCaptureFile(*options.replayFile, capture); !read) {
        Tools::PrintError(kName, read.Message());
        return 2;
    }
    if (capture.datagrams.empty()) {
        std::cerr << "kor-send: " << *options.replayFile << ": no IPv4 UDP datagrams among its "
                  << capture.packets << " packets\n";
        return 2;
    }
    const double span =
        static_cast<double>(capture.datagrams.back().timeNs - capture.datagrams.front().timeNs) /
        1e9;
    std::printf(
        "Replaying %zu datagrams (%.3f s captured, %llu other packets skipped) from %s "
        "to %s:%u at speed %g%s%s\n",
        capture.datagrams.size(), span, static_cast<unsigned long long>(capture.skipped),
        options.replayFile->c_str(), options.host.c_str(), unsigned{options.port}, options.speed,
        options.loop ? ", looping" : "",
        options.durationSeconds || !options.loop ? "" : "; Ctrl-C stops");
    std::fflush(stdout);

    Replayer replayer(std::move(capture.datagrams),
                                 {options.host, options.port, options.speed, options.loop}, messages);
    const auto start = std::chrono::steady_clock::now();
    replayer.Start();
    const int signal =
        WaitForStop(options.durationSeconds, [&] { return replayer.Finished(); });
    replayer.Stop();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (signal != 0) {
        std::printf("Stopped by signal %d\n", signal);
    }
    const ReplayTotals totals = replayer.Totals();
    std::printf("passes: %llu, datagrams sent: %llu, failed: %llu, bytes: %llu, elapsed: %.3f s\n",
                static_cast<unsigned long long>(totals.passes),
                static_cast<unsigned long long>(totals.datagrams),
                static_cast<unsigned long long>(totals.failures),
                static_cast<unsigned long long>(totals.bytes), elapsed);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int Run(const Options& options) {
    const StopSignals signals;

    // The engine's own lines ("Creating socket...", the lens file's progress) only when asked
    // for: standard output is this program's report.
    Engine::MessageSink& messages =
        options.verbose ? Engine::ConsoleMessages() : Engine::NoMessages();
    try {
        if (options.replayFile) {
            return Replay(options, messages);
        }
        Models models;
        for (int camera = 1; camera <= options.cameras; ++camera) {
            models.push_back(std::make_unique<EmulatorModel>(Engine::DefaultClock(), messages));
            EmulatorModel& model = *models.back();
            std::lock_guard lock(model.transmitter.modelMutex);
            if (const Checked applied = ApplyOptions(options, model, camera); !applied) {
                Tools::PrintError(kName, applied.Message());
                return 2;
            }
            // A lens file without a frame to play is refused before anything is sent or
            // printed.
            if (options.lensFile && !model.transmitter.LoadLensFile(*options.lensFile)) {
                Tools::PrintError(kName, "cannot play the lens file " + *options.lensFile +
                                             ": it holds no frame record");
                return 1;
            }
        }
        std::printf("%s (%s)%s%s\n", StartText(options, models).c_str(),
                    options.serial ? "Serial" : "UDP", FaultText(options.faults).c_str(),
                    options.durationSeconds ? "" : "; Ctrl-C stops");
        std::fflush(stdout);
        for (const auto& model : models) {
            std::lock_guard lock(model->transmitter.modelMutex);
            if (options.lensFile) {
                // As the window's "Open file": force the lens-driven rates, play.
                if (!model->playLoadedLensFile()) {
                    return 1;
                }
                model->rebuildSchedule();
            } else {
                model->transmitter.Start();
            }
            if (options.simulate) {
                model->startSimulation();
            }
        }
        const int signal = WaitForStop(options.durationSeconds, [&] {
            return std::none_of(models.begin(), models.end(),
                                [](const auto& model) { return model->transmitter.IsRunning(); });
        });
        for (const auto& model : models) {
            std::lock_guard lock(model->transmitter.modelMutex);
            model->stopSimulation();
            model->transmitter.Stop();
            model->syncLensFileState();  // puts back what a lens file playback replaced
        }
        // Stop returns at once; a sender may still be handing over its last datagram.
        // Join (outside the model lock, which the generators take) before reading totals.
        for (const auto& model : models) {
            model->transmitter.JoinThreads();
        }
        if (options.lensFile) {
            std::printf("Lens file frames sent: %llu",
                        Sum(models, [](const Engine::Transmitter& t) {
                            return static_cast<unsigned long long>(t.lensFramesSent.load());
                        }));
            // Every camera reads the same file: its faulty lines are those of one reading.
            const std::size_t faults = models.front()->transmitter.lensFileFaults;
            if (faults != 0) {
                std::printf(" (%zu faulty line%s of the file skipped%s)", faults,
                            faults == 1 ? "" : "s",
                            options.verbose ? "" : "; --verbose shows them");
            }
            std::printf("\n");
        }
        if (signal != 0) {
            std::printf("Stopped by signal %d\n", signal);
        }
        PrintSummary(models);
        std::fflush(stdout);
    } catch (const std::exception& e) {
        Tools::PrintError(kName, e.what());
        return 1;
    }
    return 0;
}

}  // namespace Kor::Send
