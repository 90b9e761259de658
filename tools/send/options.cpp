// kor-send's command line (CLI11), checked once, and how the options map onto the model.
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <system_error>
#include <vector>

#include "cli_checks.h"
#include "destination.h"
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
Checked CheckRate(MessageType type, std::int32_t choice) {
    const auto among = [type](const auto& types) {
        return std::find(types.begin(), types.end(), type) != types.end();
    };
    const bool onlyEvery = among(Emulator::kEveryPacketOnlyTypes);
    const bool canEvery = onlyEvery || among(Emulator::kEveryPacketCapableTypes);
    if (onlyEvery && choice != Engine::kRateChoiceEveryPacket) {
        return Checked::Refused(Describe(type) + " is always sent with every packet");
    }
    if (!canEvery && choice == Engine::kRateChoiceEveryPacket) {
        return Checked::Refused(Describe(type) + " cannot be sent with every packet");
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

constexpr const char* kName = "kor-send";

constexpr std::array<std::string_view, 5> kProjectFpsLabels{"23.98", "24", "25", "29.97", "30"};
constexpr std::array<std::string_view, 3> kTickUnits{"seconds", "milliseconds", "microseconds"};

Checked UnknownType(const std::string& name) {
    return Checked::Refused("unknown message type '" + name +
                            "' (names as in the message table, e.g. BasicLens)");
}

// The message types the names stand for, in `types`.
Checked TypesOf(const std::vector<std::string>& names, std::vector<MessageType>& types) {
    for (const std::string& name : names) {
        const auto type = FindMessageType(name);
        if (!type) {
            return UnknownType(name);
        }
        types.push_back(*type);
    }
    return {};
}

// "TYPE=RATE" as a type and a rate choice the message settings offer for it.
Checked RateOf(const std::string& entry, std::vector<std::pair<MessageType, std::int32_t>>& rates) {
    const auto equals = entry.find('=');
    if (equals == std::string::npos) {
        return Checked::Refused("--rate needs TYPE=RATE, not '" + entry + "'");
    }
    const auto type = FindMessageType(entry.substr(0, equals));
    if (!type) {
        return UnknownType(entry.substr(0, equals));
    }
    const auto choice = FindRateChoice(entry.substr(equals + 1));
    if (!choice) {
        return Checked::Refused(
            "unknown rate '" + entry.substr(equals + 1) +
            "' (1, 10, 23.98, 24, 25, 29.97, 30, 60, 100, fps or every-packet)");
    }
    if (Checked check = CheckRate(*type, *choice); !check) {
        return check;
    }
    rates.emplace_back(*type, *choice);
    return {};
}

// With several cameras each appends "-k" to the product serial; the record carries 65
// bytes, so a longer result would be cut and every camera would send the same serial.
Checked CheckSerialRoom(const Options& o) {
    if (o.cameras < 2) {
        return {};
    }
    const auto last = std::find_if(o.fields.rbegin(), o.fields.rend(), [](const FieldSetting& f) {
        return f.field->member == Tools::FieldMember{&Protocol::TelemetryData::productSerial};
    });
    if (last == o.fields.rend()) {
        return {};  // the emulator's own serial is short
    }
    const std::size_t most = kLongestSerial - 1 - std::to_string(o.cameras).size();
    if (last->text.size() <= most) {
        return {};
    }
    return Checked::Refused("productSerial: at most " + std::to_string(most) +
                            " bytes with --cameras " + std::to_string(o.cameras) +
                            ", which appends -1 to -" + std::to_string(o.cameras) + ", not " +
                            std::to_string(last->text.size()));
}

}  // namespace

Tools::Parsed<Options> ParseCommandLine(int argc, const char* const* argv) {
    CLI::App app{"Sends Kor telemetry over UDP as the emulator window does, without a window."};
    app.name(kName);
    Options o;
    std::vector<std::string> to;
    std::vector<std::string> setEntries;
    std::optional<std::string> stateFile;
    std::optional<std::string> fpsLabel;
    std::optional<std::string> tickUnitLabel;
    std::vector<std::string> rateNames;
    std::vector<std::string> disabledNames;
    std::vector<std::string> enabledNames;
    std::vector<std::string> onlyNames;
    app.add_option("--to", to,
                   "Destination HOST:PORT (default 127.0.0.1:33322); repeatable: every frame "
                   "goes to each");
    CLI::Option* cameras =
        app.add_option("--cameras", o.cameras,
                       "Stand in for N cameras (1 to " + std::to_string(kMostCameras) +
                           "), each from its own source port; with more than one, camera k "
                           "sends subject k and the product serial with -k appended")
            ->option_text("N")
            ->check(Kor::Tools::WholeRange(1, kMostCameras));
    CLI::Option* set =
        app.add_option("--set", setEntries,
                       "FIELD=VALUE: a value of the record, named as in kor-monitor's JSON "
                       "(productSerial, lensName, focus, zoom, subjectId, ...; repeatable)")
            ->option_text("FIELD=VALUE");
    CLI::Option* state =
        app.add_option("--state", stateFile,
                       "Load the fields --set takes from a JSON object (a kor-monitor JSON line "
                       "or its --json output); --set values come after it")
            ->option_text("FILE.json")
            ->check(Kor::Tools::ExistingFile());
    CLI::Option* serial =
        app.add_flag("--serial", o.serial, "Serial framing instead of UDP framing");
    CLI::Option* delay =
        app.add_option("--delay", o.delayMs, "Hold every datagram back this many milliseconds")
            ->check(Kor::Tools::WholeRange(0, 1'000'000));
    CLI::Option* fps = app.add_option("--fps", fpsLabel, "Project frame rate")
                           ->check(CLI::IsMember({"23.98", "24", "25", "29.97", "30"}));
    CLI::Option* tickUnit =
        app.add_option("--tick-unit", tickUnitLabel, "Unit of the tick count")
            ->check(CLI::IsMember({"seconds", "milliseconds", "microseconds"}));
    CLI::Option* rate =
        app.add_option("--rate", rateNames,
                       "TYPE=RATE, RATE one of 1, 10, 23.98, 24, 25, 29.97, 30, 60, 100, fps, "
                       "every-packet (repeatable)");
    CLI::Option* disable =
        app.add_option("--disable", disabledNames, "Do not send this message type (repeatable)");
    CLI::Option* enable =
        app.add_option("--enable", enabledNames, "Send this message type (repeatable)");
    CLI::Option* only =
        app.add_option("--only", onlyNames, "Send only these message types")->delimiter(',');
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
    for (CLI::Option* model :
         {serial,     delay,    fps,       tickUnit,  rate,    disable,   enable,  only,
          recordFlag, simulate, lensFile,  jitter,    loss,    duplicate, reorder, corrupt,
          seed,       ttl,      interface, broadcast, cameras, set,       state}) {
        replay->excludes(model);
    }

    Tools::Parsed<Options> parsed;
    if (auto exit = Tools::ParseArguments(app, argc, argv)) {
        parsed.exit = *exit;
        return parsed;
    }
    // Every value only the emulator's tables or the resolver can judge is refused here too,
    // before anything is opened or printed; replays take only the destination.
    const Checked check = [&]() -> Checked {
        if (to.empty() && o.broadcast) {
            o.host = "255.255.255.255";
        }
        if (o.replayFile && to.size() > 1) {
            return Checked::Refused("--replay sends to one destination: give --to once");
        }
        for (std::size_t i = 0; i < to.size(); ++i) {
            Engine::Destination d{o.host, o.port};
            if (Checked split = Tools::SplitDestination("--to", to[i], d.address, d.port); !split) {
                return split;
            }
            if (Checked resolved = Tools::ResolveHost(d.address, d.address); !resolved) {
                return resolved;
            }
            if (i == 0) {
                o.host = d.address;
                o.port = d.port;
            } else {
                o.furtherDestinations.push_back(d);
            }
        }
        if (to.empty()) {
            if (Checked resolved = Tools::ResolveHost(o.host, o.host); !resolved) {
                return resolved;
            }
        }
        const auto destinations = DestinationsOf(o);
        const bool anyMulticast = std::any_of(
            destinations.begin(), destinations.end(),
            [](const Engine::Destination& d) { return Platform::IsMulticastIpv4(d.address); });
        if ((o.ttl || o.interface) && !anyMulticast) {
            return Checked::Refused(
                "--ttl and --interface need a multicast destination (224.0.0.0 to "
                "239.255.255.255), not " +
                o.host);
        }
        if (o.interface && !Platform::IsLocalIpv4Address(*o.interface)) {
            return Checked::Refused(
                "--interface needs the IPv4 address of one of this machine's interfaces, not " +
                *o.interface);
        }
        for (const auto& [names, types] :
             {std::pair{&onlyNames, &o.only}, std::pair{&enabledNames, &o.enabled},
              std::pair{&disabledNames, &o.disabled}}) {
            if (Checked known = TypesOf(*names, *types); !known) {
                return known;
            }
        }
        for (const std::string& entry : rateNames) {
            if (Checked known = RateOf(entry, o.rates); !known) {
                return known;
            }
        }
        if (stateFile) {
            if (Checked read = ReadStateFile(*stateFile, o.fields); !read) {
                return read;
            }
        }
        for (const std::string& entry : setEntries) {
            if (Checked known = ParseFieldSetting(entry, o.fields); !known) {
                return known;
            }
            if (o.cameras > 1 && o.fields.back().field->member ==
                                     Tools::FieldMember{&Protocol::TelemetryData::subjectId}) {
                return Checked::Refused(
                    "--set subjectId cannot go with --cameras " + std::to_string(o.cameras) +
                    ", whose cameras send subjects 1 to " + std::to_string(o.cameras));
            }
        }
        return CheckSerialRoom(o);
    }();
    if (!check) {
        parsed.exit = Tools::Refusal(kName, check);
        return parsed;
    }
    if (fpsLabel) {
        const auto code = std::find(kProjectFpsLabels.begin(), kProjectFpsLabels.end(), *fpsLabel);
        o.projectFps = static_cast<std::uint8_t>(code - kProjectFpsLabels.begin() + 1);
    }
    if (tickUnitLabel) {
        const auto unit = std::find(kTickUnits.begin(), kTickUnits.end(), *tickUnitLabel);
        o.tickCountType = static_cast<std::uint8_t>(unit - kTickUnits.begin());
    }
    parsed.settings = o;
    return parsed;
}

std::vector<Engine::Destination> DestinationsOf(const Options& o) {
    std::vector<Engine::Destination> all{{o.host, o.port}};
    all.insert(all.end(), o.furtherDestinations.begin(), o.furtherDestinations.end());
    return all;
}

Engine::SenderSettings SenderSettingsOf(const Options& o, Engine::SenderSettings s) {
    s.address = o.host;
    s.port = o.port;
    s.furtherDestinations = o.furtherDestinations;
    s.transmissionType = o.serial ? Protocol::TransmissionType::Serial
                                  : Protocol::TransmissionType::UDP;
    s.delayMs = o.delayMs;
    s.projectFps = o.projectFps.value_or(s.projectFps);
    s.tickCountType = o.tickCountType.value_or(s.tickCountType);
    s.recordFlag = o.recordFlag;
    if (!o.only.empty()) {
        s.enabled.fill(false);
    }
    for (const MessageType type : o.only) {
        s.enabled[Index(type)] = true;
    }
    for (const MessageType type : o.enabled) {
        s.enabled[Index(type)] = true;
    }
    for (const MessageType type : o.disabled) {
        s.enabled[Index(type)] = false;
    }
    for (const auto& [type, choice] : o.rates) {
        s.rate[Index(type)] = choice;
    }
    return s;
}

Checked ApplyOptions(const Options& o, EmulatorModel& model, int camera) {
    Engine::Transmitter& t = model.transmitter;
    if (Checked fields = ApplyFieldSettings(o.fields, model); !fields) {
        return fields;
    }
    if (o.cameras > 1) {
        // subjectIdChoice follows, as the window's combo would.
        t.liveState.subjectId = static_cast<std::uint32_t>(camera);
        model.subjectIdChoice = camera;
        t.liveState.productSerial += "-" + std::to_string(camera);
    }
    try {
        const auto destinations = DestinationsOf(o);
        if (std::any_of(destinations.begin(), destinations.end(),
                        [](const auto& d) { return Platform::IsMulticastIpv4(d.address); })) {
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
        return Checked::Refused(e.what());
    }
    if (o.faults.Any()) {
        FaultSettings faults = o.faults;
        faults.seed += static_cast<decltype(faults.seed)>(camera - 1);
        t.SetDatagramFilter(std::make_unique<FaultFilter>(faults));
    }
    model.applySenderSettings(SenderSettingsOf(o, model.senderSettings()));
    if (o.simulate) {
        // Each camera's values run their own course: camera k starts where camera 1 will be
        // k - 1 phases later.
        for (int step = 0; step < (camera - 1) * kSimulationPhaseSteps; ++step) {
            model.simulationTick();
        }
    }
    return {};
}

}  // namespace Kor::Send
