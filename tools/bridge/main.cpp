// kor-bridge: Kor telemetry to OpenTrackIO and FreeD receivers, FreeD trackers to Kor
// receivers. One thread: receive a datagram, convert, send, until --count, --duration or
// Ctrl-C; then a summary of packets in, out and refused.
#ifdef _WIN32
#include <winsock2.h>  // gethostname
#else
#include <unistd.h>  // gethostname
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bridge_options.h"
#include "console_stop.h"
#include "ipv4.h"
#include "pipeline.h"
#include "source.h"
#include "udp_socket.h"
#include "utf8.h"

namespace {

using Kor::Bridge::BridgeOptions;
using Kor::Bridge::Endpoint;
using Clock = std::chrono::steady_clock;

// Ctrl-C, SIGTERM and the console's closing end the run with the summary: the wait for
// input is bounded (and cut short by a signal), so the loop sees the request within one wait.
bool StopRequested() {
    return Kor::Platform::ConsoleStopRequest() != 0;
}

std::string Text(const Endpoint& endpoint) {
    return endpoint.address + ":" + std::to_string(endpoint.port);
}

// One destination and what went to it.
struct Destination {
    std::string label;  // e.g. "OpenTrackIO (json)"
    Endpoint endpoint;
    std::uint64_t datagrams = 0;
    std::uint64_t failures = 0;
};

struct Totals {
    std::uint64_t in = 0;
    std::uint64_t applied = 0;
    std::map<std::string, std::uint64_t> refused;  // by reason
};

std::uint64_t MicrosecondsNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
            .count());
}

void Send(Kor::Engine::UdpSocket& socket, Destination& to, const std::vector<std::uint8_t>& bytes) {
    if (socket.SendTo(to.endpoint.address, to.endpoint.port, bytes.data(), bytes.size())) {
        ++to.datagrams;
    } else {
        ++to.failures;
    }
}

void PrintSummary(const Totals& totals, const std::vector<Destination>& outputs, double elapsed,
                  bool fromFreed) {
    std::uint64_t refused = 0;
    for (const auto& [reason, count] : totals.refused) {
        refused += count;
    }
    std::uint64_t out = 0;
    for (const Destination& d : outputs) {
        out += d.datagrams;
    }
    std::printf("packets in: %llu, out: %llu, refused: %llu (%s), elapsed: %.3f s\n",
                static_cast<unsigned long long>(totals.in), static_cast<unsigned long long>(out),
                static_cast<unsigned long long>(refused),
                fromFreed ? "FreeD packets" : "Kor frames", elapsed);
    for (const Destination& d : outputs) {
        std::printf("  out %s to %s: %llu datagrams, %llu failed sends\n", d.label.c_str(),
                    Text(d.endpoint).c_str(), static_cast<unsigned long long>(d.datagrams),
                    static_cast<unsigned long long>(d.failures));
    }
    for (const auto& [reason, count] : totals.refused) {
        std::printf("  refused %llu: %s\n", static_cast<unsigned long long>(count), reason.c_str());
    }
    std::fflush(stdout);
}

int Run(const BridgeOptions& options) {
    std::optional<Kor::Platform::GroupMembership> join;
    if (options.join) {
        join = Kor::Platform::GroupMembership{*options.join, options.interface.value_or("0.0.0.0")};
    }
    std::string error;
    std::unique_ptr<Kor::Platform::Source> source =
        Kor::Platform::OpenUdpSource(options.bind, options.port, error, join);
    if (!source) {
        std::cerr << "kor-bridge: " << error << '\n';
        return 2;
    }

    std::vector<Destination> outputs;
    if (options.openTrack) {
        outputs.push_back(
            {std::string("OpenTrackIO (") +
                 (options.encoding == Kor::Bridge::OtrkEncoding::Cbor ? "cbor" : "json") + ")",
             *options.openTrack});
    }
    if (options.freed) {
        outputs.push_back(
            {std::string("FreeD (") +
                 (options.freedLens == Kor::Bridge::FreedLens::Raw ? "raw" : "physical") + " lens)",
             *options.freed});
    }
    if (options.to) {
        outputs.push_back({options.framing == Kor::Protocol::TransmissionType::Serial
                               ? "Kor (Serial)"
                               : "Kor (UDP)",
                           *options.to});
    }

    // The engine's socket reports its opening and closing only when asked: standard output
    // is this program's report.
    Kor::Engine::UdpSocket socket(options.verbose ? Kor::Engine::ConsoleMessages()
                                                  : Kor::Engine::NoMessages());
    socket.BindAnyPort();
    bool multicast = false;
    for (const Destination& d : outputs) {
        multicast = multicast || Kor::Platform::IsMulticastIpv4(d.endpoint.address);
    }
    if (multicast) {
        try {
            socket.SetMulticastLoop(true);
            if (options.ttl) {
                socket.SetMulticastTtl(*options.ttl);
            }
            if (options.interface) {
                socket.SetMulticastInterface(*options.interface);
            }
        } catch (const std::system_error& e) {
            std::cerr << "kor-bridge: " << e.what() << '\n';
            return 2;
        }
    }

    Kor::Platform::InstallConsoleStopHandler();
    std::printf("kor-bridge: receiving %s on %s", options.fromFreed ? "FreeD" : "Kor",
                source->Describe().c_str());
    for (const Destination& d : outputs) {
        std::printf("; %s to %s", d.label.c_str(), Text(d.endpoint).c_str());
    }
    std::printf("%s\n", options.duration > 0 || options.count > 0 ? "" : "; Ctrl-C stops");
    std::fflush(stdout);

    Kor::Bridge::KorInput::Settings settings;
    if (options.openTrack) {
        settings.openTrack = options.encoding;
    }
    settings.sourceNumber = options.sourceNumber;
    settings.label = options.label;
    if (options.freed) {
        settings.freed = options.freedLens;
    }
    settings.cameraId = options.cameraId;
    settings.serialWait = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.serialWait));
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    settings.setupName = std::string(host) + "/" + options.bind + ":" +
                         std::to_string(options.port) + "/" + std::to_string(options.sourceNumber);
    settings.seed = std::random_device{}();
    settings.seed = (settings.seed << 32) ^ std::random_device{}() ^ MicrosecondsNow();
    Kor::Bridge::KorInput korInput(settings);
    const auto start = Clock::now();
    const Kor::Bridge::FreedInput freedInput(options.freedLens, options.framing, options.projectFps,
                                             start);
    // Destination index of each output kind.
    const std::size_t openTrackAt = 0;
    const std::size_t freedAt = options.openTrack ? 1 : 0;
    const auto sendAll = [&](const std::vector<Kor::Bridge::Outgoing>& packets) {
        for (const Kor::Bridge::Outgoing& packet : packets) {
            Send(socket,
                 outputs[packet.output == Kor::Bridge::Output::OpenTrack ? openTrackAt : freedAt],
                 packet.bytes);
        }
    };

    Totals totals;
    std::vector<std::uint8_t> buffer;
    std::vector<Kor::Bridge::Outgoing> outgoing;
    std::vector<std::uint8_t> frame;
    int status = 0;
    while (!StopRequested() && (options.count == 0 || totals.in < options.count)) {
        auto wait = std::chrono::milliseconds(200);
        if (options.duration > 0) {
            const double left =
                options.duration - std::chrono::duration<double>(Clock::now() - start).count();
            if (left <= 0) {
                break;
            }
            if (left < 0.2) {
                wait = std::chrono::milliseconds(static_cast<long>(left * 1e3) + 1);
            }
        }
        // Samples held for the camera serial leave when their wait ends, input or not.
        if (const auto until = korInput.HoldDeadline()) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                      std::max(*until - Clock::now(), Clock::duration::zero())));
        }
        const Kor::Platform::ReadResult read = source->Read(buffer, wait);
        if (read == Kor::Platform::ReadResult::Error) {
            std::cerr << "kor-bridge: " << source->ErrorText() << '\n';
            status = 1;
            break;
        }
        if (read != Kor::Platform::ReadResult::Data) {
            if (!options.fromFreed) {
                outgoing.clear();
                korInput.Tick(Clock::now(), outgoing);
                sendAll(outgoing);
            }
            continue;
        }
        ++totals.in;
        std::optional<std::string> refusal;
        if (options.fromFreed) {
            refusal = freedInput.Feed(buffer, Clock::now(), frame);
            if (!refusal) {
                Send(socket, outputs.front(), frame);
            }
        } else {
            outgoing.clear();
            refusal = korInput.Feed(buffer, Clock::now(), outgoing);
            sendAll(outgoing);
        }
        if (refusal) {
            ++totals.refused[*refusal];
        } else {
            ++totals.applied;
        }
    }
    // Samples still held for the camera serial go out with the sourceId they would have had.
    outgoing.clear();
    korInput.Flush(outgoing);
    sendAll(outgoing);
    if (StopRequested()) {
        std::printf("Stopped by signal\n");
    }
    PrintSummary(totals, outputs, std::chrono::duration<double>(Clock::now() - start).count(),
                 options.fromFreed);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const Kor::Platform::Utf8Console console;
    const Kor::Platform::Utf8Arguments arguments(argc, argv);
    const Kor::Bridge::BridgeParse parsed =
        Kor::Bridge::ParseBridgeCommandLine(arguments.Count(), arguments.Values());
    if (!parsed.options) {
        (parsed.exitStatus == 0 ? std::cout : std::cerr) << parsed.output << '\n';
        return parsed.exitStatus;
    }
    try {
        const int status = Run(*parsed.options);
        Kor::Platform::ConsoleStopHandled();  // a closing console may end the process now
        return status;
    } catch (const std::exception& failure) {
        std::cerr << "kor-bridge: " << failure.what() << '\n';
        return 1;
    }
}
