// kor-bridge's options (CLI11) and the checks of their combinations.
#include "options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli_checks.h"
#include "ipv4.h"
#include "source_numbers.h"

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

// A number of milliseconds from 0 to kMaxDelayMs, fractions allowed.
std::optional<double> DelayValue(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || !std::isfinite(value) || value < 0 ||
        value > kMaxDelayMs) {
        return std::nullopt;
    }
    return value;
}

// Each --delay-ms value: MS for every output, or OUTPUT=MS for one (opentrackio, freed, kor)
// that this run has. A later value for an output replaces an earlier one.
Checked ReadDelays(const std::vector<std::string>& values, const BridgeOptions& o,
                   OutputDelays& delays) {
    struct Named {
        const char* name;
        bool present;
        double OutputDelays::*field;
    };
    const std::array<Named, 3> outputs{{
        {"opentrackio", o.openTrack.has_value(), &OutputDelays::openTrack},
        {"freed", o.freed.has_value(), &OutputDelays::freed},
        {"kor", o.to.has_value(), &OutputDelays::kor},
    }};
    for (const std::string& value : values) {
        const std::size_t equals = value.find('=');
        const std::string number = equals == std::string::npos ? value : value.substr(equals + 1);
        const auto ms = DelayValue(number);
        if (!ms) {
            return Checked::Refused("--delay-ms needs [OUTPUT=]MS with MS from 0 to " +
                                    Tools::NumberText(kMaxDelayMs) + ", not '" + value + "'");
        }
        if (equals == std::string::npos) {
            for (const Named& output : outputs) {
                delays.*output.field = *ms;
            }
            continue;
        }
        const std::string name = value.substr(0, equals);
        const auto output = std::find_if(outputs.begin(), outputs.end(),
                                         [&](const Named& n) { return name == n.name; });
        if (output == outputs.end()) {
            return Checked::Refused("--delay-ms: no output '" + name +
                                    "' (opentrackio, freed or kor)");
        }
        if (!output->present) {
            return Checked::Refused("--delay-ms " + value + ": this run has no " + name +
                                    " output");
        }
        delays.*output->field = *ms;
    }
    return {};
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
    std::optional<std::uint16_t> fromOpenTrack;
    std::vector<std::string> delays;
    std::vector<std::string> sourceMap;
    std::vector<std::string> cameraMap;

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
        app.add_option("--source-number", o.sourceNumber,
                       "OpenTrackIO source number (1 to 200) of the first source, the next "
                       "sources counting up from it; with --from-opentrackio the only one taken")
            ->option_text("N")
            ->check(Kor::Tools::WholeRange(1, 200));
    CLI::Option* sourceMapOption =
        app.add_option("--source-map", sourceMap,
                       "give the source with this SubjectId OpenTrackIO source number N "
                       "(1 to 200) instead of the next one; repeatable")
            ->option_text("SUBJECT=N")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
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
    CLI::Option* camera = app.add_option("--camera-id", cameraId,
                                         "FreeD camera ID of the first source (0 to 255); the "
                                         "next sources count up from it")
                              ->option_text("N")
                              ->check(Kor::Tools::WholeRange(0, 255))
                              ->needs(freedOut);
    CLI::Option* cameraMapOption =
        app.add_option("--camera-map", cameraMap,
                       "give the source with this SubjectId FreeD camera ID (0 to 255) instead "
                       "of the next one; repeatable")
            ->option_text("SUBJECT=ID")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->needs(freedOut);
    CLI::Option* lens =
        app.add_option("--freed-lens", freedLens,
                       "FreeD zoom and focus: raw encoder counts, or focal length in "
                       "micrometres and focus distance in millimetres")
            ->check(CLI::IsMember({"raw", "physical"}));
    CLI::Option* from = app.add_option("--from-freed", fromFreed,
                                       "receive FreeD D1 packets on this UDP port (0 picks one)")
                            ->option_text("PORT");
    CLI::Option* fromOtio =
        app.add_option("--from-opentrackio", fromOpenTrack,
                       "receive OpenTrackIO packets on this UDP port (0 picks one)")
            ->option_text("PORT");
    CLI::Option* toOption =
        app.add_option("--to", to,
                       "send the Kor frames made from FreeD or OpenTrackIO to HOST:PORT")
            ->option_text("HOST:PORT");
    bool serial = false;
    CLI::Option* serialOption =
        app.add_flag("--serial", serial, "serial framing for the Kor frames");
    app.add_option("--delay-ms", delays,
                   "hold an output back by MS milliseconds (fractions allowed, up to 10000): "
                   "every output, or OUTPUT=MS for one of opentrackio, freed, kor; repeatable")
        ->option_text("[OUTPUT=]MS")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
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
    for (CLI::Option* korOnly : {port, otio, labelOption, serialWait, enc, freedOut, camera,
                                 sourceMapOption, cameraMapOption}) {
        from->excludes(korOnly);
        fromOtio->excludes(korOnly);
    }
    from->excludes(sourceNumber);
    from->excludes(fromOtio);
    fromOtio->excludes(lens);
    fromOtio->excludes(fpsOption);

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

    o.input = fromFreed       ? BridgeInput::Freed
              : fromOpenTrack ? BridgeInput::OpenTrack
                              : BridgeInput::Kor;
    o.sourceNumberGiven = sourceNumber->count() != 0;
    o.encoding = encoding == "cbor" ? OtrkEncoding::Cbor : OtrkEncoding::Json;
    o.cameraId = static_cast<std::uint8_t>(cameraId);
    o.freedLens = freedLens == "raw" ? FreedLens::Raw : FreedLens::Physical;
    if (o.input != BridgeInput::Kor) {
        o.port = fromFreed ? *fromFreed : *fromOpenTrack;
        if (to.empty()) {
            return refuseWith(std::string(fromFreed ? "--from-freed" : "--from-opentrackio") +
                              " needs --to HOST:PORT, the Kor receiver");
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
                return refuseWith(
                    "--fps needs 23.98, 24, 25, 29.97, 30 or a code from 1 to 5, not '" + fps +
                    "'");
            }
            o.projectFps = *code;
        }
    } else {
        if (toOption->count() != 0 || serialOption->count() != 0) {
            return refuseWith(std::string(toOption->count() != 0 ? "--to" : "--serial") +
                              " needs --from-freed or --from-opentrackio");
        }
        if (otio->count() == 0 && freedOut->count() == 0) {
            return refuseWith(
                "nothing to do: give --opentrackio, --freed (or both), --from-freed or "
                "--from-opentrackio");
        }
        if (o.sourceNumberGiven && otio->count() == 0) {
            return refuseWith("--source-number needs --opentrackio or --from-opentrackio");
        }
        if (lens->count() != 0 && freedOut->count() == 0) {
            return refuseWith("--freed-lens needs --freed or --from-freed");
        }
        if (otio->count() != 0) {
            Endpoint endpoint{"239.135.1." + std::to_string(o.sourceNumber), 55555};
            o.openTrackPerSource = !openTrack || openTrack->empty();
            if (!o.openTrackPerSource) {
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
    if (const Checked check = ReadSubjectMap("--source-map", sourceMap, 1, 200, o.sourceMap);
        !check) {
        return refuse(check);
    }
    if (const Checked check = ReadSubjectMap("--camera-map", cameraMap, 0, 255, o.cameraMap);
        !check) {
        return refuse(check);
    }
    if (const Checked check = ReadDelays(delays, o, o.delay); !check) {
        return refuse(check);
    }
    parsed.settings = o;
    return parsed;
}

}  // namespace Kor::Bridge
