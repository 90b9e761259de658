// kor-monitor's options (CLI11) and the checks of their combinations.
#include "options.h"

#include "cli_checks.h"
#include "ipv4.h"

namespace KorMonitor {

namespace {

constexpr const char* kName = "kor-monitor";

}  // namespace

Kor::Tools::Parsed<Settings> ParseCommandLine(int argc, const char* const* argv) {
    Settings s;
    std::string serialPath;
    std::string group;
    std::string interface;
    CLI::App app{
        "Receives Kor telemetry over UDP or a serial byte stream and shows whether "
        "frames arrive and what they hold.",
        kName};
    CLI::Option* port =
        app.add_option("--port", s.port, "UDP port to listen on (0 picks a free port)")
            ->capture_default_str()
            ->check(Kor::Tools::WholeRange(0, 65535));
    CLI::Option* bind = app.add_option("--bind", s.bind, "IPv4 address (or host name) to listen on")
                            ->capture_default_str()
                            ->transform(Kor::Tools::Ipv4Host());
    CLI::Option* serial =
        app.add_option("--serial", serialPath,
                       "read a serial byte stream from PATH (a file or a serial device), "
                       "or from standard input for -")
            ->option_text("PATH|-")
            ->excludes(port)
            ->excludes(bind);
    app.add_flag("--json", s.json,
                 "write one JSON object per finished frame (JSON Lines) instead of the live "
                 "view");
    app.add_option("--count", s.count, "stop after N finished frames")
        ->option_text("N")
        ->check(Kor::Tools::AboveZero());
    app.add_option("--duration", s.duration, "stop after SECONDS")
        ->option_text("SECONDS")
        ->check(Kor::Tools::AboveZero());
    app.add_option("--source", s.source,
                   "show source N (numbered from 1 in the order of first arrival) in full "
                   "below the live view's table, when the terminal has the rows")
        ->option_text("N")
        ->capture_default_str()
        ->check(Kor::Tools::WholeRange(1, 256));
    app.add_option("--record", s.record,
                   "write every received datagram with its arrival time to FILE, a pcap "
                   "capture (UDP only)")
        ->option_text("FILE");
    CLI::Option* join =
        app.add_option("--join", group,
                       "join this multicast group (224.0.0.0 to 239.255.255.255) on the UDP port")
            ->option_text("GROUP")
            ->transform(Kor::Tools::Ipv4Host())
            ->excludes(serial);
    app.add_option("--interface", interface,
                   "join the group on the interface with this IPv4 address (or host name)")
        ->option_text("ADDR")
        ->transform(Kor::Tools::Ipv4Host())
        ->needs(join);
    Kor::Tools::Parsed<Settings> parsed;
    if (auto exit = Kor::Tools::ParseArguments(app, argc, argv)) {
        parsed.exit = *exit;
        return parsed;
    }
    const auto refuse = [&](const std::string& message) {
        parsed.exit = Kor::Tools::Refusal(kName, Kor::Checked::Refused(message));
        return parsed;
    };
    if (!group.empty() && !Kor::Platform::IsMulticastIpv4(group)) {
        return refuse("--join needs a multicast group (224.0.0.0 to 239.255.255.255), not " +
                      group);
    }
    // A capture holds datagrams; a serial byte stream has none to record.
    if (serial->count() != 0 && !s.record.empty()) {
        return refuse("--record needs UDP datagrams and cannot be used with --serial");
    }
    if (serial->count() != 0) {
        s.serial = serialPath;
    }
    if (!group.empty()) {
        s.join = Kor::Platform::GroupMembership{group, interface.empty() ? "0.0.0.0" : interface};
    }
    parsed.settings = s;
    return parsed;
}

}  // namespace KorMonitor
