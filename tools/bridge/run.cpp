// kor-bridge's run: one thread receives a datagram, converts it, sends the result (or hands
// it to an output's delay line), until --count, --duration or Ctrl-C; then a summary of
// packets in, out and refused.
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
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "cli_checks.h"
#include "console_stop.h"
#include "delay_line.h"
#include "ipv4.h"
#include "opentrackio_identity.h"
#include "opentrackio_input.h"
#include "pipeline.h"
#include "run_timer.h"
#include "source.h"
#include "source_numbers.h"
#include "source_router.h"
#include "udp_socket.h"

namespace Kor::Bridge {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kName = "kor-bridge";

// Ctrl-C, SIGTERM and the console's closing end the run with the summary: the wait for
// input is bounded (and cut short by a signal), so the loop sees the request within one wait.
bool StopRequested() {
    return Platform::ConsoleStopRequest() != 0;
}

// One destination and what went to it. With a delay, its line's thread sends and counts;
// without, the run's thread does.
struct Destination {
    std::string label;  // e.g. "OpenTrackIO (json)"
    Endpoint endpoint;
    double delayMs = 0;
    std::uint64_t datagrams = 0;
    std::uint64_t failures = 0;
    std::uint64_t notDue = 0;  // held back, still not due when the run was stopped
    std::unique_ptr<DelayLine> line;
};

// The run's destinations and the one socket they are sent from.
class Outputs {
public:
    explicit Outputs(Engine::UdpSocket& socket) : socket_(socket) {}

    // A destination, with its delay line when it has a delay: the line's thread keeps a
    // reference to it, which a deque keeps valid as destinations are added.
    std::size_t Add(std::string label, const Endpoint& endpoint, double delayMs) {
        Destination& d = destinations_.emplace_back();
        d.label = std::move(label);
        d.endpoint = endpoint;
        d.delayMs = delayMs;
        if (delayMs > 0) {
            d.line =
                std::make_unique<DelayLine>([this, &d](const Bytes& bytes) { SendNow(d, bytes); });
        }
        return destinations_.size() - 1;
    }

    // Sends the datagram of something received at `received` now, or when its output's delay
    // has passed since then.
    void Send(std::size_t output, Bytes bytes, Clock::time_point received) {
        Destination& d = destinations_[output];
        if (d.line) {
            d.line->Push(received + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double, std::milli>(d.delayMs)),
                         std::move(bytes));
        } else {
            SendNow(d, bytes);
        }
    }

    // Ends the delay lines. After a stop request only what is due goes; otherwise everything
    // held still goes at its time, unless a stop request comes while waiting for it.
    void Finish() {
        for (Destination& d : destinations_) {
            if (!d.line) {
                continue;
            }
            while (!StopRequested() && !d.line->WaitUntilSent(std::chrono::milliseconds(50))) {
            }
            d.notDue += d.line->Stop();
            d.line.reset();
        }
    }

    const std::deque<Destination>& All() const { return destinations_; }
    bool AnyMulticast() const {
        return std::any_of(destinations_.begin(), destinations_.end(), [](const Destination& d) {
            return Platform::IsMulticastIpv4(d.endpoint.address);
        });
    }

private:
    void SendNow(Destination& to, const Bytes& bytes) {
        if (socket_.SendTo(to.endpoint.address, to.endpoint.port, bytes.data(), bytes.size())) {
            ++to.datagrams;
        } else {
            ++to.failures;
        }
    }

    Engine::UdpSocket& socket_;
    std::deque<Destination> destinations_;  // stays in place: the lines keep references
};

struct Totals {
    std::uint64_t in = 0;
    std::uint64_t applied = 0;
    std::map<std::string, std::uint64_t> refused;    // by reason
    std::map<std::string, std::uint64_t> discarded;  // payloads missing a segment, by reason
};

std::uint64_t MicrosecondsNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
            .count());
}

const char* InputName(BridgeInput input) {
    switch (input) {
        case BridgeInput::Freed: return "FreeD";
        case BridgeInput::OpenTrack: return "OpenTrackIO";
        case BridgeInput::Kor: break;
    }
    return "Kor";
}

const char* PacketsName(BridgeInput input) {
    switch (input) {
        case BridgeInput::Freed: return "FreeD packets";
        case BridgeInput::OpenTrack: return "OpenTrackIO packets";
        case BridgeInput::Kor: break;
    }
    return "Kor frames";
}

// Why the reassembler threw a payload's segments away.
const char* DropText(OtrkDrop reason) {
    switch (reason) {
        case OtrkDrop::MissingSegment: return "OTrk: a payload missing a segment";
        case OtrkDrop::MissingStart: return "OTrk: segments without their payload's first";
        case OtrkDrop::TooLarge: return "OTrk: a payload too large";
    }
    return "OTrk";
}

void PrintSummary(const Totals& totals, const Outputs& outputs, double elapsed, BridgeInput input) {
    std::uint64_t refused = 0;
    for (const auto& [reason, count] : totals.refused) {
        refused += count;
    }
    std::uint64_t out = 0;
    for (const Destination& d : outputs.All()) {
        out += d.datagrams;
    }
    std::printf("packets in: %llu, out: %llu, refused: %llu (%s), elapsed: %.3f s\n",
                static_cast<unsigned long long>(totals.in), static_cast<unsigned long long>(out),
                static_cast<unsigned long long>(refused), PacketsName(input), elapsed);
    for (const Destination& d : outputs.All()) {
        std::printf("  out %s to %s: %llu datagrams, %llu failed sends", d.label.c_str(),
                    Tools::Text(d.endpoint).c_str(), static_cast<unsigned long long>(d.datagrams),
                    static_cast<unsigned long long>(d.failures));
        if (d.delayMs > 0) {
            std::printf(", delayed %s ms, %llu not yet due at the stop",
                        Tools::NumberText(d.delayMs).c_str(),
                        static_cast<unsigned long long>(d.notDue));
        }
        std::printf("\n");
    }
    for (const auto& [reason, count] : totals.refused) {
        std::printf("  refused %llu: %s\n", static_cast<unsigned long long>(count), reason.c_str());
    }
    for (const auto& [reason, count] : totals.discarded) {
        std::printf("  discarded %llu: %s\n", static_cast<unsigned long long>(count),
                    reason.c_str());
    }
    std::fflush(stdout);
}

// The key OpenTrackInput tells senders apart by: the datagram's source address and port.
std::uint64_t SenderKey(const Platform::Source& source) {
    const auto origin = source.LastOrigin();
    return origin ? (std::uint64_t{origin->sourceAddress} << 16) | origin->sourcePort : 0;
}

// Kor frames in: the frames of each source (a sender and the SubjectId it sends) go to a
// KorInput of its own, with its own OpenTrackIO source number, sourceId, sequence numbers and
// serial wait, and its own FreeD camera ID.
class KorSources {
public:
    // openTrackLabel names the OpenTrackIO output of each source when each has its own
    // (options.openTrackPerSource); otherwise they all go to output openTrackAt.
    KorSources(const BridgeOptions& options, std::string host, Outputs& outputs,
               std::string openTrackLabel, std::size_t openTrackAt, std::size_t freedAt)
        : options_(options),
          host_(std::move(host)),
          outputs_(outputs),
          openTrackLabel_(std::move(openTrackLabel)),
          openTrackAt_(openTrackAt),
          freedAt_(freedAt),
          sourceNumbers_(options.sourceNumber, 200, options.sourceMap),
          cameraIds_(options.cameraId, 255, options.cameraMap) {}

    // One datagram from a sender, received at `now`. Refused with the decoder's name of its
    // last frame's status ("Incomplete" when it finished none) unless that frame was applied.
    Checked Feed(std::uint32_t address, std::uint16_t port, std::span<const std::uint8_t> datagram,
                 Clock::time_point now) {
        std::optional<Protocol::FrameStatus> last;
        const std::uint64_t beyond = router_.Refused();
        router_.OnDatagram(address, port, datagram, [&](const Tools::RoutedFrame& frame) {
            last = frame.report.status;
            // A frame refused before its sender's first applied one has no source: the router
            // counts it on the sender, and it takes no source number.
            if (!frame.index) {
                return;
            }
            Source& s = SourceAt(*frame.index, frame.key);
            ++s.frames;
            if (!frame.report.Applied()) {
                ++s.refused;
            }
            if (s.input) {
                s.input->OnFrame(frame.report, frame.state, now, outgoing_);
                Send(s, now);
            }
        });
        // Another source's wait for its serial may have ended meanwhile.
        Tick(now);
        if (!last && router_.Refused() != beyond) {
            return Checked::Refused("a source beyond the " +
                                    std::to_string(Tools::SourceRouter::kDefaultMaxSources) +
                                    " followed");
        }
        const Protocol::FrameStatus status = last.value_or(Protocol::FrameStatus::Incomplete);
        if (!Protocol::FrameReport{status, {}}.Applied()) {
            return Checked::Refused(std::string(Protocol::Name(status)));
        }
        return {};
    }

    // Releases what each source holds once its wait for the serial is over at `now`.
    void Tick(Clock::time_point now) {
        for (Source& s : sources_) {
            if (const auto until = s.input ? s.input->HoldDeadline() : std::nullopt;
                until && *until <= now) {
                s.input->Tick(now, outgoing_);
                Send(s, now);
            }
        }
    }

    // Everything still held, at the end.
    void Flush(Clock::time_point now) {
        for (Source& s : sources_) {
            if (s.input) {
                s.input->Flush(outgoing_);
                Send(s, now);
            }
        }
    }

    // The earliest end of a wait for a serial.
    std::optional<Clock::time_point> HoldDeadline() const {
        std::optional<Clock::time_point> earliest;
        for (const Source& s : sources_) {
            if (const auto until = s.input ? s.input->HoldDeadline() : std::nullopt;
                until && (!earliest || *until < *earliest)) {
                earliest = until;
            }
        }
        return earliest;
    }

    // One line per source: who it is, what came in and what went out.
    void PrintSummary() const {
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            const Source& s = sources_[i];
            const Platform::SourceKey& key = router_.Key(i);
            std::string subject = key.subject == Platform::SourceKey::kNoSubject
                                      ? std::string("no subject")
                                      : "subject " + std::to_string(key.subject);
            const auto serial = IdentityText(router_.State(i).productSerial);
            std::printf("  source %zu: %s %s, serial %s: %llu frames in, %llu refused", i + 1,
                        key.Sender().c_str(), subject.c_str(), serial ? serial->c_str() : "none",
                        static_cast<unsigned long long>(s.frames),
                        static_cast<unsigned long long>(s.refused));
            if (options_.openTrack) {
                if (s.sourceNumber) {
                    const auto& id = s.input->SettledSourceId();
                    std::printf("; OpenTrackIO source number %u, sourceId %s, %llu samples to %s",
                                static_cast<unsigned>(*s.sourceNumber),
                                id ? id->c_str() : "(none yet)",
                                static_cast<unsigned long long>(s.input->Samples()),
                                Tools::Text(outputs_.All()[s.openTrackAt].endpoint).c_str());
                } else {
                    std::printf("; no OpenTrackIO source number left");
                }
            }
            if (options_.freed) {
                if (s.cameraId) {
                    std::printf("; FreeD camera ID %u, %llu packets",
                                static_cast<unsigned>(*s.cameraId),
                                static_cast<unsigned long long>(s.input->FreedPackets()));
                } else {
                    std::printf("; no FreeD camera ID left");
                }
            }
            std::printf("\n");
        }
        for (const auto& [sender, frames] : router_.RefusedBeforeFirstFrame()) {
            std::printf(
                "  sender %s: %llu frames refused before its first applied one (no "
                "source)\n",
                sender.Sender().c_str(), static_cast<unsigned long long>(frames));
        }
        if (router_.Refused() != 0) {
            std::printf("  frames of sources beyond the %zu followed: %llu\n",
                        Tools::SourceRouter::kDefaultMaxSources,
                        static_cast<unsigned long long>(router_.Refused()));
        }
        std::fflush(stdout);
    }

private:
    struct Source {
        std::unique_ptr<KorInput> input;  // none when no output has a number left for it
        std::optional<std::uint32_t> sourceNumber;
        std::optional<std::uint32_t> cameraId;
        std::size_t openTrackAt = 0;
        std::uint64_t frames = 0;
        std::uint64_t refused = 0;
    };

    // The source of a routed frame; a new one (made by an applied frame) takes the next
    // numbers.
    Source& SourceAt(std::size_t index, const Platform::SourceKey& key) {
        while (sources_.size() <= index) {
            sources_.push_back(NewSource(key));
        }
        return sources_[index];
    }

    Source NewSource(const Platform::SourceKey& key) {
        Source s;
        if (options_.openTrack) {
            s.sourceNumber = sourceNumbers_.Next(key.subject);
        }
        if (options_.freed) {
            s.cameraId = cameraIds_.Next(key.subject);
        }
        KorInput::Settings settings;
        if (s.sourceNumber) {
            settings.openTrack = options_.encoding;
            settings.sourceNumber = *s.sourceNumber;
            s.openTrackAt =
                options_.openTrackPerSource
                    ? outputs_.Add(openTrackLabel_,
                                   {"239.135.1." + std::to_string(*s.sourceNumber), 55555},
                                   options_.delay.openTrack)
                    : openTrackAt_;
        }
        if (s.cameraId) {
            settings.freed = options_.freedLens;
            settings.cameraId = static_cast<std::uint8_t>(*s.cameraId);
        }
        if (!settings.openTrack && !settings.freed) {
            return s;
        }
        settings.label = options_.label;
        settings.serialWait = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options_.serialWait));
        settings.setupName = host_ + "/" + options_.bind + ":" + std::to_string(options_.port) +
                             "/" + std::to_string(settings.sourceNumber);
        settings.seed = std::random_device{}();
        settings.seed = (settings.seed << 32) ^ std::random_device{}() ^ MicrosecondsNow();
        s.input = std::make_unique<KorInput>(settings);
        return s;
    }

    void Send(const Source& s, Clock::time_point received) {
        for (Outgoing& packet : outgoing_) {
            outputs_.Send(packet.output == Output::OpenTrack ? s.openTrackAt : freedAt_,
                          std::move(packet.bytes), received);
        }
        outgoing_.clear();
    }

    const BridgeOptions& options_;
    std::string host_;
    Outputs& outputs_;
    std::string openTrackLabel_;
    std::size_t openTrackAt_;
    std::size_t freedAt_;
    SourceNumbers sourceNumbers_;
    SourceNumbers cameraIds_;
    Tools::SourceRouter router_;
    std::vector<Source> sources_;
    std::vector<Outgoing> outgoing_;
};

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

    // The engine's socket reports its opening and closing only when asked: standard output
    // is this program's report.
    Engine::UdpSocket socket(options.verbose ? Engine::ConsoleMessages() : Engine::NoMessages());
    socket.BindAnyPort();
    Outputs outputs(socket);
    std::size_t openTrackAt = 0;
    std::size_t freedAt = 0;
    std::size_t korAt = 0;
    const std::string openTrackLabel = std::string("OpenTrackIO (") +
                                       (options.encoding == OtrkEncoding::Cbor ? "cbor" : "json") +
                                       ")";
    // Each source's own group is added when the source comes, so that only groups that
    // carry a source are listed.
    if (options.openTrack && !options.openTrackPerSource) {
        openTrackAt = outputs.Add(openTrackLabel, *options.openTrack, options.delay.openTrack);
    }
    if (options.freed) {
        freedAt =
            outputs.Add(std::string("FreeD (") +
                            (options.freedLens == FreedLens::Raw ? "raw" : "physical") + " lens)",
                        *options.freed, options.delay.freed);
    }
    if (options.to) {
        korAt = outputs.Add(
            options.framing == Protocol::TransmissionType::Serial ? "Kor (Serial)" : "Kor (UDP)",
            *options.to, options.delay.kor);
    }
    if (options.openTrackPerSource || outputs.AnyMulticast()) {
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
    std::printf("%s: receiving %s on %s", kName, InputName(options.input),
                source->Describe().c_str());
    for (const Destination& d : outputs.All()) {
        std::printf("; %s to %s", d.label.c_str(), Tools::Text(d.endpoint).c_str());
        if (d.delayMs > 0) {
            std::printf(" %s ms later", Tools::NumberText(d.delayMs).c_str());
        }
    }
    if (options.openTrackPerSource) {
        std::printf("; %s to 239.135.1.N:55555 for source number N", openTrackLabel.c_str());
        if (options.delay.openTrack > 0) {
            std::printf(" %s ms later", Tools::NumberText(options.delay.openTrack).c_str());
        }
    }
    std::printf("%s\n", options.duration > 0 || options.count > 0 ? "" : "; Ctrl-C stops");
    std::fflush(stdout);

    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const Tools::RunTimer timer(options.duration);
    KorSources korSources(options, host, outputs, openTrackLabel, openTrackAt, freedAt);
    const FreedInput freedInput(options.freedLens, options.framing, options.projectFps,
                                timer.Start());
    OpenTrackInput::Settings openTrackSettings;
    if (options.sourceNumberGiven) {
        openTrackSettings.sourceNumber = options.sourceNumber;
    }
    openTrackSettings.framing = options.framing;
    OpenTrackInput openTrackInput(openTrackSettings);

    Totals totals;
    Bytes buffer;
    Bytes frame;
    std::vector<Bytes> frames;
    int status = 0;
    while (!StopRequested() && (options.count == 0 || totals.in < options.count)) {
        const auto left = timer.NextWait();
        if (!left) {
            break;
        }
        auto wait = *left;
        // Samples held for a camera serial leave when their wait ends, input or not.
        if (const auto until = korSources.HoldDeadline()) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                      std::max(*until - Clock::now(), Clock::duration::zero())));
        }
        const Platform::ReadResult read = source->Read(buffer, wait);
        if (read == Platform::ReadResult::Error) {
            Tools::PrintError(kName, source->ErrorText());
            status = 1;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (read != Platform::ReadResult::Data) {
            korSources.Tick(now);
            continue;
        }
        ++totals.in;
        Checked fed;
        switch (options.input) {
            case BridgeInput::Freed:
                fed = freedInput.Feed(buffer, now, frame);
                if (fed) {
                    outputs.Send(korAt, std::move(frame), now);
                }
                break;
            case BridgeInput::OpenTrack:
                frames.clear();
                fed = openTrackInput.Feed(buffer, SenderKey(*source), now, frames);
                for (Bytes& f : frames) {
                    outputs.Send(korAt, std::move(f), now);
                }
                break;
            case BridgeInput::Kor: {
                const auto origin = source->LastOrigin();
                fed = korSources.Feed(origin ? origin->sourceAddress : 0,
                                      origin ? origin->sourcePort : 0, buffer, now);
                break;
            }
        }
        if (fed) {
            ++totals.applied;
        } else {
            ++totals.refused[fed.Message()];
        }
    }
    // Samples still held for a camera serial go out with the sourceId they would have had.
    korSources.Flush(Clock::now());
    outputs.Finish();
    for (const OtrkDrop reason :
         {OtrkDrop::MissingSegment, OtrkDrop::MissingStart, OtrkDrop::TooLarge}) {
        if (const std::uint64_t count = openTrackInput.Dropped(reason); count != 0) {
            totals.discarded[DropText(reason)] = count;
        }
    }
    if (StopRequested()) {
        std::printf("Stopped by signal\n");
    }
    PrintSummary(totals, outputs, timer.Seconds(), options.input);
    if (options.input == BridgeInput::Kor) {
        korSources.PrintSummary();
    }
    return status;
}

}  // namespace Kor::Bridge
