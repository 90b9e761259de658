// kor-bridge's options (CLI11) and the checks of their combinations.
#include "options.h"

#include <array>

#include <CLI/CLI.hpp>

#include "cli_checks.h"
#include "ipv4.h"

namespace Kor::Bridge {

namespace {

constexpr const char* kName = "kor-bridge";

std::optional<std::uint8_t> ProjectFpsCode(const std::string& text) {
    static constexpr std::array<const char*, 5> kLabels{"23.98", "24", "25", "29.97", "30"};
    for (std::size_t i = 0; i < kLabels.size(); ++i) {
        if (text == kLabels[i] || text == std::to_string(i + 1)) {
            return static_cast<std::uint8_t>(i + 1);
        }
    }
    return std::nullopt;
}

}  // namespace

Tools::Parsed<BridgeOptions> ParseCommandLine(int argc, const char* const* argv) {
    CLI::App app{
        "Bridges Kor telemetry to OpenTrackIO and FreeD receivers, and FreeD trackers to Kor "
        "receivers."};
    app.name(kName);
    BridgeOptions o;
    std::optional<std::string> openTrack;
    std::string freed;
    std::string to;
    std::string encoding = "json";
    std::string freedLens = "physical";
    std::string fps;
    unsigned cameraId = 1;
    std::optional<std::uint16_t> fromFreed;

    CLI::Option* port = app.add_option("--port", o.port, "UDP port of the Kor input (0 picks one)")
                            ->capture_default_str();
    app.add_option("--bind", o.bind, "IPv4 address (or host name) to receive on")
        ->capture_default_str()
        ->transform(Kor::Tools::Ipv4Host());
    CLI::Option* join = app.add_option("--join", o.join, "receive from this multicast group")
                            ->option_text("GROUP")
                            ->transform(Kor::Tools::Ipv4Host());
    CLI::Option* interface =
        app.add_option("--interface", o.interface,
                       "interface (IPv4 address or host name) for the group and for multicast "
                       "output")
            ->option_text("ADDR")
            ->transform(Kor::Tools::Ipv4Host());
    CLI::Option* ttl = app.add_option("--ttl", o.ttl, "hops of multicast output (0 to 255)")
                           ->option_text("N")
                           ->check(Kor::Tools::WholeRange(0, 255));
    CLI::Option* otio =
        app.add_option("--opentrackio", openTrack,
                       "send OpenTrackIO samples to HOST:PORT (default 239.135.1.N:55555 for "
                       "source number N)")
            ->option_text("[HOST:PORT]")
            ->expected(0, 1);
    CLI::Option* sourceNumber =
        app.add_option("--source-number", o.sourceNumber, "OpenTrackIO source number (1 to 200)")
            ->option_text("N")
            ->check(Kor::Tools::WholeRange(1, 200))
            ->needs(otio);
    CLI::Option* labelOption =
        app.add_option("--label", o.label,
                       "the camera's name in the OpenTrackIO samples (default: its product name "
                       "and serial)")
            ->option_text("TEXT")
            ->needs(otio);
    CLI::Option* serialWait =
        app.add_option("--serial-wait", o.serialWait,
                       "hold the first samples up to SECONDS for the camera serial that names "
                       "the sourceId (default 1.1; 0: name the source at the first sample)")
            ->option_text("SECONDS")
            ->check(Kor::Tools::Range(0, 60))
            ->needs(otio);
    CLI::Option* enc = app.add_option("--encoding", encoding, "OpenTrackIO payload encoding")
                           ->check(CLI::IsMember({"json", "cbor"}))
                           ->needs(otio);
    CLI::Option* freedOut = app.add_option("--freed", freed, "send FreeD D1 packets to HOST:PORT")
                                ->option_text("HOST:PORT");
    CLI::Option* camera = app.add_option("--camera-id", cameraId, "FreeD camera ID (0 to 255)")
                              ->option_text("N")
                              ->check(Kor::Tools::WholeRange(0, 255))
                              ->needs(freedOut);
    CLI::Option* lens =
        app.add_option("--freed-lens", freedLens,
                       "FreeD zoom and focus: raw encoder counts, or focal length in "
                       "micrometres and focus distance in millimetres")
            ->check(CLI::IsMember({"raw", "physical"}));
    CLI::Option* from = app.add_option("--from-freed", fromFreed,
                                       "receive FreeD D1 packets on this UDP port (0 picks one)")
                            ->option_text("PORT");
    CLI::Option* toOption =
        app.add_option("--to", to, "send the Kor frames made from FreeD to HOST:PORT")
            ->option_text("HOST:PORT")
            ->needs(from);
    bool serial = false;
    app.add_flag("--serial", serial, "serial framing for the Kor frames")->needs(from);
    CLI::Option* fpsOption =
        app.add_option("--fps", fps,
                       "project frame rate sent with every Kor frame: 23.98, 24, 25, 29.97, 30 "
                       "or its code 1 to 5")
            ->option_text("CODE")
            ->needs(from);
    app.add_option("--count", o.count, "stop after N received datagrams")
        ->option_text("N")
        ->check(Kor::Tools::AboveZero());
    app.add_option("--duration", o.duration, "stop after SECONDS")
        ->option_text("SECONDS")
        ->check(Kor::Tools::AboveZero());
    app.add_flag("--verbose", o.verbose, "also show the sending socket's own lines");
    for (CLI::Option* korOnly :
         {port, otio, sourceNumber, labelOption, serialWait, enc, freedOut, camera}) {
        from->excludes(korOnly);
    }
    (void)toOption;

    Tools::Parsed<BridgeOptions> parsed;
    if (auto exit = Tools::ParseArguments(app, argc, argv)) {
        parsed.exit = *exit;
        return parsed;
    }
    const auto refuse = [&](const Checked& check) {
        parsed.exit = Tools::Refusal(kName, check);
        return parsed;
    };
    const auto refuseWith = [&](const std::string& message) {
        return refuse(Checked::Refused(message));
    };

    o.fromFreed = fromFreed.has_value();
    o.encoding = encoding == "cbor" ? OtrkEncoding::Cbor : OtrkEncoding::Json;
    o.cameraId = static_cast<std::uint8_t>(cameraId);
    o.freedLens = freedLens == "raw" ? FreedLens::Raw : FreedLens::Physical;
    if (o.fromFreed) {
        o.port = *fromFreed;
        if (to.empty()) {
            return refuseWith("--from-freed needs --to HOST:PORT, the Kor receiver");
        }
        Endpoint endpoint;
        if (const Checked check = Tools::ResolveDestination("--to", to, endpoint); !check) {
            return refuse(check);
        }
        o.to = endpoint;
        o.framing = serial ? Protocol::TransmissionType::Serial : Protocol::TransmissionType::UDP;
        if (fpsOption->count() != 0) {
            const auto code = ProjectFpsCode(fps);
            if (!code) {
                return refuseWith("--fps needs 23.98, 24, 25, 29.97, 30 or a code from 1 to 5, not '" +
                            fps + "'");
            }
            o.projectFps = *code;
        }
    } else {
        if (otio->count() == 0 && freedOut->count() == 0) {
            return refuseWith("nothing to do: give --opentrackio, --freed (or both), or --from-freed");
        }
        if (lens->count() != 0 && freedOut->count() == 0) {
            return refuseWith("--freed-lens needs --freed or --from-freed");
        }
        if (otio->count() != 0) {
            Endpoint endpoint{"239.135.1." + std::to_string(o.sourceNumber), 55555};
            if (openTrack && !openTrack->empty()) {
                if (const Checked check =
                        Tools::ResolveDestination("--opentrackio", *openTrack, endpoint);
                    !check) {
                    return refuse(check);
                }
            }
            o.openTrack = endpoint;
        }
        if (freedOut->count() != 0) {
            Endpoint endpoint;
            if (const Checked check = Tools::ResolveDestination("--freed", freed, endpoint);
                !check) {
                return refuse(check);
            }
            o.freed = endpoint;
        }
    }
    if (o.join && !Platform::IsMulticastIpv4(*o.join)) {
        return refuseWith("--join needs a multicast group (224.0.0.0 to 239.255.255.255), not " +
                    *o.join);
    }
    const bool multicastOut = (o.openTrack && Platform::IsMulticastIpv4(o.openTrack->address)) ||
                              (o.freed && Platform::IsMulticastIpv4(o.freed->address)) ||
                              (o.to && Platform::IsMulticastIpv4(o.to->address));
    if (ttl->count() != 0 && !multicastOut) {
        return refuseWith("--ttl needs a multicast destination (224.0.0.0 to 239.255.255.255)");
    }
    if (interface->count() != 0 && !multicastOut && join->count() == 0) {
        return refuseWith("--interface needs --join or a multicast destination");
    }
    parsed.settings = o;
    return parsed;
}

}  // namespace Kor::Bridge
