// kor-send's command line (CLI11) and how each option maps onto the emulator model.
#include "send_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <system_error>
#include <vector>

#include "../cli_checks.h"
#include "ipv4.h"

namespace Kor::Send {
namespace {

using Emulator::EmulatorModel;
using Protocol::MessageType;

constexpr std::array<const char*, 11> kRateLabels{
    "1", "10", "23.98", "24", "25", "29.97", "30", "60", "100", "fps", "every-packet"};

std::size_t Index(MessageType type) {
    return static_cast<std::size_t>(type);
}

std::string Describe(MessageType type) {
    return std::string(Protocol::Name(type));
}

// Whether the message settings of the window would offer `choice` for `type`.
std::string CheckRate(MessageType type, std::int32_t choice) {
    const auto among = [type](const auto& types) {
        return std::find(types.begin(), types.end(), type) != types.end();
    };
    const bool onlyEvery = among(Emulator::kEveryPacketOnlyTypes);
    const bool canEvery = onlyEvery || among(Emulator::kEveryPacketCapableTypes);
    if (onlyEvery && choice != Engine::kRateChoiceEveryPacket) {
        return Describe(type) + " is always sent with every packet";
    }
    if (!canEvery && choice == Engine::kRateChoiceEveryPacket) {
        return Describe(type) + " cannot be sent with every packet";
    }
    return {};
}

}  // namespace

std::optional<std::int32_t> FindRateChoice(const std::string& label) {
    for (std::size_t i = 0; i < kRateLabels.size(); ++i) {
        if (label == kRateLabels[i]) {
            return static_cast<std::int32_t>(i);
        }
    }
    return std::nullopt;
}

std::optional<MessageType> FindMessageType(const std::string& name) {
    for (MessageType type : Emulator::kMessageOrder) {
        if (name == Protocol::Name(type)) {
            return type;
        }
    }
    return std::nullopt;
}

namespace {

// The first value of `o` that the emulator cannot take (an unknown message type or rate, a
// rate a type may not have, a destination that does not resolve, multicast options for
// another destination); empty if there is none. Replays take only the destination.
std::string CheckValues(const Options& o) {
    const auto address = Platform::ResolveIpv4(o.host);
    if (!address) {
        return "cannot resolve '" + o.host + "' to an IPv4 address";
    }
    if ((o.ttl || o.interface) && !Platform::IsMulticastIpv4(*address)) {
        return "--ttl and --interface need a multicast destination (224.0.0.0 to "
               "239.255.255.255), not " + *address;
    }
    if (o.interface && !Platform::IsLocalIpv4Address(*o.interface)) {
        return "--interface needs the IPv4 address of one of this machine's interfaces, not " +
               *o.interface;
    }
    const auto unknownType = [](const std::string& name) {
        return "unknown message type '" + name + "' (names as in the message table, e.g. BasicLens)";
    };
    for (const auto* names : {&o.only, &o.enabled, &o.disabled}) {
        for (const std::string& name : *names) {
            if (!FindMessageType(name)) {
                return unknownType(name);
            }
        }
    }
    for (const std::string& entry : o.rates) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos) {
            return "--rate needs TYPE=RATE, not '" + entry + "'";
        }
        const auto type = FindMessageType(entry.substr(0, equals));
        if (!type) {
            return unknownType(entry.substr(0, equals));
        }
        const auto choice = FindRateChoice(entry.substr(equals + 1));
        if (!choice) {
            return "unknown rate '" + entry.substr(equals + 1) +
                   "' (1, 10, 23.98, 24, 25, 29.97, 30, 60, 100, fps or every-packet)";
        }
        const std::string error = CheckRate(*type, *choice);
        if (!error.empty()) {
            return error;
        }
    }
    return {};
}

}  // namespace

ParseResult ParseCommandLine(int argc, const char* const* argv) {
    CLI::App app{"Sends Kor telemetry over UDP as the emulator window does, without a window."};
    app.name("kor-send");
    Options o;
    std::string to;
    app.add_option("--to", to, "Destination HOST:PORT (default 127.0.0.1:33322)");
    CLI::Option* serial =
        app.add_flag("--serial", o.serial, "Serial framing instead of UDP framing");
    CLI::Option* delay =
        app.add_option("--delay", o.delayMs, "Hold every datagram back this many milliseconds")
            ->check(Kor::Tools::WholeRange(0, 1'000'000));
    CLI::Option* fps = app.add_option("--fps", o.fps, "Project frame rate")
                           ->check(CLI::IsMember({"23.98", "24", "25", "29.97", "30"}));
    CLI::Option* tickUnit =
        app.add_option("--tick-unit", o.tickUnit, "Unit of the tick count")
            ->check(CLI::IsMember({"seconds", "milliseconds", "microseconds"}));
    CLI::Option* rate =
        app.add_option("--rate", o.rates,
                       "TYPE=RATE, RATE one of 1, 10, 23.98, 24, 25, 29.97, 30, 60, 100, fps, "
                       "every-packet (repeatable)");
    CLI::Option* disable =
        app.add_option("--disable", o.disabled, "Do not send this message type (repeatable)");
    CLI::Option* enable =
        app.add_option("--enable", o.enabled, "Send this message type (repeatable)");
    CLI::Option* only =
        app.add_option("--only", o.only, "Send only these message types")->delimiter(',');
    CLI::Option* recordFlag =
        app.add_flag("--record-flag", o.recordFlag, "Set the record flag of the timecode");
    CLI::Option* simulate = app.add_flag("--simulate", o.simulate,
                                         "Sweep lens, position and angles (value simulation)");
    app.add_option("--duration", o.durationSeconds, "Stop after this many seconds")
        ->check(Kor::Tools::AboveZero());
    CLI::Option* lensFile =
        app.add_option("--lens-file", o.lensFile,
                       "Play a lens correction file at its frame rate; ends with the clip")
            ->check(Kor::Tools::ExistingFile());
    CLI::Option* replay =
        app.add_option("--replay", o.replayFile,
                       "Send the UDP datagrams of a pcap capture again, unchanged and with "
                       "their captured spacing; ends with the capture")
            ->option_text("FILE")
            ->check(Kor::Tools::ExistingFile());
    app.add_option("--speed", o.speed,
                   "Replay speed factor: the captured spacing is divided by it (0.001 to 1000)")
        ->option_text("FACTOR")
        ->check(Kor::Tools::Range(0.001, 1000))
        ->needs(replay);
    app.add_flag("--loop", o.loop, "Replay the capture over and over (until Ctrl-C or --duration)")
        ->needs(replay);
    FaultSettings& f = o.faults;
    CLI::Option* jitter =
        app.add_option("--jitter", f.jitterMs,
                       "Delay every datagram by a random extra 0 to MS milliseconds")
            ->option_text("MS")
            ->check(Kor::Tools::Range(0, 10'000));
    CLI::Option* loss = app.add_option("--loss", f.lossPercent, "Drop this share of datagrams")
                            ->option_text("PERCENT")
                            ->check(Kor::Tools::Range(0, 100));
    CLI::Option* duplicate =
        app.add_option("--duplicate", f.duplicatePercent, "Send this share of datagrams twice")
            ->option_text("PERCENT")
            ->check(Kor::Tools::Range(0, 100));
    CLI::Option* reorder =
        app.add_option("--reorder", f.reorderPercent,
                       "Hold this share of datagrams back until after the next one")
            ->option_text("PERCENT")
            ->check(Kor::Tools::Range(0, 100));
    CLI::Option* corrupt =
        app.add_option("--corrupt", f.corruptPercent, "Change one byte in this share of datagrams")
            ->option_text("PERCENT")
            ->check(Kor::Tools::Range(0, 100));
    CLI::Option* seed =
        app.add_option("--seed", f.seed,
                       "Seed of the fault decisions; the same seed repeats them (default " +
                           std::to_string(kDefaultFaultSeed) + ")")
            ->option_text("N")
            ->check(Kor::Tools::WholeNumber());
    CLI::Option* ttl = app.add_option("--ttl", o.ttl, "Hops of multicast datagrams (0 to 255)")
                           ->option_text("N")
                           ->check(Kor::Tools::WholeRange(0, 255));
    CLI::Option* interface =
        app.add_option("--interface", o.interface,
                       "Send multicast datagrams out of the interface with this IPv4 address "
                       "(or host name)")
            ->option_text("ADDR")
            ->transform(Kor::Tools::Ipv4Host());
    app.add_flag("--verbose", o.verbose,
                 "Also show the engine's own lines (socket, lens file reading, playback)");
    CLI::Option* broadcast = app.add_flag(
        "--broadcast", o.broadcast,
        "Allow a broadcast destination (default destination then 255.255.255.255:33322)");
    // A replay sends recorded datagrams as they are: nothing of the emulator's own stream
    // applies to it.
    for (CLI::Option* model : {serial, delay, fps, tickUnit, rate, disable, enable, only,
                               recordFlag, simulate, lensFile, jitter, loss, duplicate, reorder,
                               corrupt, seed, ttl, interface, broadcast}) {
        replay->excludes(model);
    }

    ParseResult result;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        result.output = app.help();
        return result;
    } catch (const CLI::ParseError& e) {
        result.exitStatus = 2;
        result.output = std::string("kor-send: ") + e.what();
        return result;
    }
    if (to.empty() && o.broadcast) {
        o.host = "255.255.255.255";
    }
    const auto destination = Platform::SplitHostPort(to);
    if (destination) {
        o.host = destination->host;
        o.port = destination->port;
    }
    if (!to.empty() && !destination) {
        result.exitStatus = 2;
        result.output = "kor-send: --to needs HOST:PORT with a port from 1 to 65535, not '" + to +
                        "'";
        return result;
    }
    // Values only the emulator's tables or the resolver can judge are refused here too,
    // before anything is opened or printed.
    const std::string error = CheckValues(o);
    if (!error.empty()) {
        result.exitStatus = 2;
        result.output = "kor-send: " + error;
        return result;
    }
    result.options = o;
    return result;
}

std::string ApplyOptions(const Options& o, EmulatorModel& model) {
    Engine::Transmitter& t = model.transmitter;
    const auto address = Platform::ResolveIpv4(o.host);
    if (!address) {
        return "cannot resolve '" + o.host + "' to an IPv4 address";
    }
    model.ipInput = *address;
    model.portInput = o.port;
    t.SetDestination(*address, o.port);
    const bool multicast = Platform::IsMulticastIpv4(*address);
    if ((o.ttl || o.interface) && !multicast) {
        return "--ttl and --interface need a multicast destination (224.0.0.0 to "
               "239.255.255.255), not " + *address;
    }
    try {
        if (multicast) {
            t.udpSocket.SetMulticastLoop(true);
            if (o.ttl) {
                t.udpSocket.SetMulticastTtl(*o.ttl);
            }
            if (o.interface) {
                t.udpSocket.SetMulticastInterface(*o.interface);
            }
        }
        if (o.broadcast) {
            t.udpSocket.EnableBroadcast();
        }
    } catch (const std::system_error& e) {
        return e.what();
    }
    if (o.faults.Any()) {
        t.SetDatagramFilter(std::make_unique<FaultFilter>(o.faults));
    }

    model.transmissionTypeChoice = o.serial ? 1 : 0;
    t.transmissionType = o.serial ? Protocol::TransmissionType::Serial
                                  : Protocol::TransmissionType::UDP;
    t.delayMs = o.delayMs;
    if (o.fps) {
        t.liveState.projectFps = static_cast<std::uint8_t>(t.projectFpsByName.at(*o.fps));
        model.projectFpsChoice = t.liveState.projectFps - 1;
    }
    if (o.tickUnit) {
        const std::int32_t unit = *o.tickUnit == "seconds" ? 0 : *o.tickUnit == "milliseconds" ? 1 : 2;
        model.tickCountTypeChoice = unit;
        t.liveState.tickCountType = static_cast<std::uint8_t>(unit);
    }
    t.liveState.recordFlag = o.recordFlag;

    auto lookUp = [&](const std::string& name, std::string& error) -> std::optional<MessageType> {
        auto type = FindMessageType(name);
        if (!type) {
            error = "unknown message type '" + name + "' (names as in the message table, e.g. BasicLens)";
        }
        return type;
    };
    std::string error;
    if (!o.only.empty()) {
        std::fill(model.messageEnabled.begin(), model.messageEnabled.end(), 0);
        for (const std::string& name : o.only) {
            const auto type = lookUp(name, error);
            if (!type) return error;
            model.messageEnabled[Index(*type)] = 1;
        }
    }
    for (const std::string& name : o.enabled) {
        const auto type = lookUp(name, error);
        if (!type) return error;
        model.messageEnabled[Index(*type)] = 1;
    }
    for (const std::string& name : o.disabled) {
        const auto type = lookUp(name, error);
        if (!type) return error;
        model.messageEnabled[Index(*type)] = 0;
    }
    for (const std::string& entry : o.rates) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos) {
            return "--rate needs TYPE=RATE, not '" + entry + "'";
        }
        const auto type = lookUp(entry.substr(0, equals), error);
        if (!type) return error;
        const auto choice = FindRateChoice(entry.substr(equals + 1));
        if (!choice) {
            return "unknown rate '" + entry.substr(equals + 1) +
                   "' (1, 10, 23.98, 24, 25, 29.97, 30, 60, 100, fps or every-packet)";
        }
        error = CheckRate(*type, *choice);
        if (!error.empty()) return error;
        model.messageRate[Index(*type)] = *choice;
    }
    model.rebuildSchedule();
    return {};
}

}  // namespace Kor::Send
