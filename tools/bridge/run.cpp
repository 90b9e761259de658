// kor-bridge's run: one thread receives a datagram, converts it, sends the result, until
// --count, --duration or Ctrl-C; then a summary of packets in, out and refused.
#include "run.h"

#ifdef _WIN32
#include <winsock2.h>  // gethostname
#else
#include <unistd.h>  // gethostname
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "console_stop.h"
#include "ipv4.h"
#include "pipeline.h"
#include "run_timer.h"
#include "source.h"
#include "udp_socket.h"

namespace Kor::Bridge {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kName = "kor-bridge";

// Ctrl-C, SIGTERM and the console's closing end the run with the summary: the wait for
// input is bounded (and cut short by a signal), so the loop sees the request within one wait.
bool StopRequested() {
    return Platform::ConsoleStopRequest() != 0;
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

void Send(Engine::UdpSocket& socket, Destination& to, const std::vector<std::uint8_t>& bytes) {
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
                    Tools::Text(d.endpoint).c_str(), static_cast<unsigned long long>(d.datagrams),
                    static_cast<unsigned long long>(d.failures));
    }
    for (const auto& [reason, count] : totals.refused) {
        std::printf("  refused %llu: %s\n", static_cast<unsigned long long>(count), reason.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int Run(const BridgeOptions& options) {
    std::optional<Platform::GroupMembership> join;
    if (options.join) {
        join = Platform::GroupMembership{*options.join, options.interface.value_or("0.0.0.0")};
    }
    std::unique_ptr<Platform::Source> source;
    if (const Checked opened = Platform::OpenUdpSource(options.bind, options.port, source, join);
        !opened) {
        Tools::PrintError(kName, opened.Message());
        return 2;
    }

    std::vector<Destination> outputs;
    if (options.openTrack) {
        outputs.push_back(
            {std::string("OpenTrackIO (") +
                 (options.encoding == OtrkEncoding::Cbor ? "cbor" : "json") + ")",
             *options.openTrack});
    }
    if (options.freed) {
        outputs.push_back(
            {std::string("FreeD (") +
                 (options.freedLens == FreedLens::Raw ? "raw" : "physical") + " lens)",
             *options.freed});
    }
    if (options.to) {
        outputs.push_back({options.framing == Protocol::TransmissionType::Serial
                               ? "Kor (Serial)"
                               : "Kor (UDP)",
                           *options.to});
    }

    // The engine's socket reports its opening and closing only when asked: standard output
    // is this program's report.
    Engine::UdpSocket socket(options.verbose ? Engine::ConsoleMessages()
                                                  : Engine::NoMessages());
    socket.BindAnyPort();
    bool multicast = false;
    for (const Destination& d : outputs) {
        multicast = multicast || Platform::IsMulticastIpv4(d.endpoint.address);
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
            Tools::PrintError(kName, e.what());
            return 2;
        }
    }

    Platform::InstallConsoleStopHandler();
    std::printf("%s: receiving %s on %s", kName, options.fromFreed ? "FreeD" : "Kor",
                source->Describe().c_str());
    for (const Destination& d : outputs) {
        std::printf("; %s to %s", d.label.c_str(), Tools::Text(d.endpoint).c_str());
    }
    std::printf("%s\n", options.duration > 0 || options.count > 0 ? "" : "; Ctrl-C stops");
    std::fflush(stdout);

    KorInput::Settings settings;
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
    KorInput korInput(settings);
    const Tools::RunTimer timer(options.duration);
    const FreedInput freedInput(options.freedLens, options.framing, options.projectFps,
                                timer.Start());
    // Destination index of each output kind.
    const std::size_t openTrackAt = 0;
    const std::size_t freedAt = options.openTrack ? 1 : 0;
    const auto sendAll = [&](const std::vector<Outgoing>& packets) {
        for (const Outgoing& packet : packets) {
            Send(socket,
                 outputs[packet.output == Output::OpenTrack ? openTrackAt : freedAt],
                 packet.bytes);
        }
    };

    Totals totals;
    std::vector<std::uint8_t> buffer;
    std::vector<Outgoing> outgoing;
    std::vector<std::uint8_t> frame;
    int status = 0;
    while (!StopRequested() && (options.count == 0 || totals.in < options.count)) {
        const auto left = timer.NextWait();
        if (!left) {
            break;
        }
        auto wait = *left;
        // Samples held for the camera serial leave when their wait ends, input or not.
        if (const auto until = korInput.HoldDeadline()) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                      std::max(*until - Clock::now(), Clock::duration::zero())));
        }
        const Platform::ReadResult read = source->Read(buffer, wait);
        if (read == Platform::ReadResult::Error) {
            Tools::PrintError(kName, source->ErrorText());
            status = 1;
            break;
        }
        if (read != Platform::ReadResult::Data) {
            if (!options.fromFreed) {
                outgoing.clear();
                korInput.Tick(Clock::now(), outgoing);
                sendAll(outgoing);
            }
            continue;
        }
        ++totals.in;
        Checked fed;
        if (options.fromFreed) {
            fed = freedInput.Feed(buffer, Clock::now(), frame);
            if (fed) {
                Send(socket, outputs.front(), frame);
            }
        } else {
            outgoing.clear();
            fed = korInput.Feed(buffer, Clock::now(), outgoing);
            sendAll(outgoing);
        }
        if (fed) {
            ++totals.applied;
        } else {
            ++totals.refused[fed.Message()];
        }
    }
    // Samples still held for the camera serial go out with the sourceId they would have had.
    outgoing.clear();
    korInput.Flush(outgoing);
    sendAll(outgoing);
    if (StopRequested()) {
        std::printf("Stopped by signal\n");
    }
    PrintSummary(totals, outputs, timer.Seconds(), options.fromFreed);
    return status;
}


}  // namespace Kor::Bridge
