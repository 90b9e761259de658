// kor-monitor: receives Kor telemetry over UDP or a serial stream and shows, live or as
// JSON Lines, whether frames arrive and what they hold.
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "../cli_checks.h"
#include "console_stop.h"
#include "ipv4.h"
#include "json_frame.h"
#include "monitor.h"
#include "pcap.h"
#include "source.h"
#include "utf8.h"
#include "view.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Ctrl-C, SIGTERM and the console's closing end the run with the summary: the wait for
// input is bounded (and cut short by a signal), so the loop sees the request within one wait.
bool StopRequested() {
    return Kor::Platform::ConsoleStopRequest() != 0;
}

#ifdef _WIN32
bool StandardOutputIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}
#else
bool StandardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) != 0;
}
#endif

struct Options {
    std::uint16_t port = 33322;
    std::string bind = "0.0.0.0";
    std::string serial;
    std::string record;  // capture file for every received datagram; empty: none
    bool json = false;
    std::uint64_t count = 0;
    double duration = 0;
    std::string join;       // multicast group; empty: none
    std::string interface;  // interface address for the group; empty: the system's choice
};

void Draw(const KorMonitor::Monitor& monitor, const KorMonitor::ViewContext& context,
          bool terminal) {
    const std::string text = KorMonitor::RenderView(monitor.GetStats(), monitor.State(), context);
    // On a terminal the view replaces the previous one; elsewhere (a pipe, a log file)
    // each refresh is appended as a block of its own.
    std::cout << (terminal ? "\x1b[H\x1b[2J" : "") << text << (terminal ? "" : "\n") << std::flush;
}

// Appends the datagram just read to the capture; false (with one line on standard error)
// if the file cannot take it.
bool Record(Kor::Pcap::Writer& recorder, const Kor::Platform::Source& source,
            const std::vector<std::uint8_t>& datagram) {
    const Kor::Platform::DatagramOrigin origin = source.LastOrigin().value_or(
        Kor::Platform::DatagramOrigin{});
    std::string error;
    if (recorder.Write(origin.wallNs, {origin.sourceAddress, origin.sourcePort},
                       {origin.destinationAddress, origin.destinationPort}, datagram, error)) {
        return true;
    }
    std::cerr << "kor-monitor: " << error << '\n';
    return false;
}

int Run(const Options& options, bool serial) {
    std::string error;
    std::optional<Kor::Platform::GroupMembership> join;
    if (!options.join.empty()) {
        join = Kor::Platform::GroupMembership{
            options.join, options.interface.empty() ? "0.0.0.0" : options.interface};
    }
    std::unique_ptr<Kor::Platform::Source> source =
        serial ? Kor::Platform::OpenSerialSource(options.serial, error)
               : Kor::Platform::OpenUdpSource(options.bind, options.port, error, join);
    if (!source) {
        std::cerr << "kor-monitor: " << error << '\n';
        return 2;
    }
    Kor::Pcap::Writer recorder;
    if (!options.record.empty() &&
        !recorder.Open(options.record, Kor::Pcap::TimeResolution::Nanoseconds, error)) {
        std::cerr << "kor-monitor: " << error << '\n';
        return 2;
    }
    Kor::Platform::InstallConsoleStopHandler();
    std::cerr << "kor-monitor: receiving from " << source->Describe() << '\n';

    KorMonitor::Monitor::FrameSink sink;
    if (options.json) {
        sink = [](const KorMonitor::FinishedFrame& frame) {
            auto object =
                KorMonitor::FrameJson(frame.status, frame.time.wall, frame.types, frame.state);
            if (frame.duplicate) {
                object["duplicate"] = true;
            }
            std::cout << KorMonitor::DumpLine(object) << '\n' << std::flush;
        };
    }
    KorMonitor::Monitor monitor(std::move(sink), options.count);

    const bool terminal = StandardOutputIsTerminal();
    KorMonitor::ViewContext context{
        source->Describe(), Clock::now(), {}, source->Datagrams() ? "datagrams" : "reads"};
    auto nextDraw = context.start + 1s;
    std::vector<std::uint8_t> buffer;
    int status = 0;
    bool ended = false;
    while (!ended && !StopRequested() && !monitor.Done()) {
        const auto now = Clock::now();
        auto wait = std::chrono::milliseconds(200);
        if (options.duration > 0) {
            const double left =
                options.duration - std::chrono::duration<double>(now - context.start).count();
            if (left <= 0) {
                break;
            }
            if (left < 0.2) {
                wait = std::chrono::milliseconds(static_cast<long>(left * 1e3) + 1);
            }
        }
        if (!options.json) {
            if (now >= nextDraw) {
                context.now = KorMonitor::ReceiveTime::Now();
                Draw(monitor, context, terminal);
                nextDraw = std::max(nextDraw + 1s, now + 100ms);
            }
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(nextDraw - now));
        }

        switch (source->Read(buffer, std::max(wait, std::chrono::milliseconds(0)))) {
            case Kor::Platform::ReadResult::Data: {
                const KorMonitor::ReceiveTime time = KorMonitor::ReceiveTime::Now();
                if (source->Datagrams()) {
                    if (recorder.IsOpen() && !Record(recorder, *source, buffer)) {
                        status = 1;
                        ended = true;
                    }
                    const Kor::Platform::DatagramOrigin origin =
                        source->LastOrigin().value_or(Kor::Platform::DatagramOrigin{});
                    monitor.OnDatagram(buffer, time,
                                       KorMonitor::UdpSender(origin.sourceAddress,
                                                             origin.sourcePort));
                } else {
                    monitor.OnSerialBytes(buffer, time);
                }
                break;
            }
            case Kor::Platform::ReadResult::End: ended = true; break;
            case Kor::Platform::ReadResult::Error:
                std::cerr << "kor-monitor: " << source->ErrorText() << '\n';
                status = 1;
                ended = true;
                break;
            case Kor::Platform::ReadResult::Timeout:
            case Kor::Platform::ReadResult::Interrupted: break;
        }
    }

    if (recorder.IsOpen()) {
        std::cerr << "kor-monitor: recorded " << recorder.Written() << " datagrams to "
                  << recorder.Path() << '\n';
        if (!recorder.Close(error)) {
            std::cerr << "kor-monitor: " << error << '\n';
            status = 1;
        }
    }
    const auto elapsed = Clock::now() - context.start;
    const std::string summary =
        KorMonitor::RenderSummary(monitor.GetStats(), elapsed, context.chunks);
    if (options.json) {
        // Standard output carries only JSON lines: the last one is the summary; the text
        // goes to standard error.
        std::cout << KorMonitor::DumpLine(
                         KorMonitor::SummaryJson(monitor.GetStats(), elapsed, context.chunks))
                  << '\n'
                  << std::flush;
        std::cerr << summary << std::flush;
    } else {
        context.now = KorMonitor::ReceiveTime::Now();
        Draw(monitor, context, terminal);
        std::cout << summary << std::flush;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const Kor::Platform::Utf8Console console;
    const Kor::Platform::Utf8Arguments arguments(argc, argv);
    Options options;
    CLI::App app{
        "Receives Kor telemetry over UDP or a serial byte stream and shows whether "
        "frames arrive and what they hold.",
        "kor-monitor"};
    CLI::Option* port =
        app.add_option("--port", options.port, "UDP port to listen on (0 picks a free port)")
            ->capture_default_str()
            ->check(Kor::Tools::WholeRange(0, 65535));
    CLI::Option* bind =
        app.add_option("--bind", options.bind, "IPv4 address (or host name) to listen on")
            ->capture_default_str()
            ->transform(Kor::Tools::Ipv4Host());
    CLI::Option* serial =
        app.add_option("--serial", options.serial,
                       "read a serial byte stream from PATH (a file or a serial device), "
                       "or from standard input for -")
            ->option_text("PATH|-")
            ->excludes(port)
            ->excludes(bind);
    app.add_flag("--json", options.json,
                 "write one JSON object per finished frame (JSON Lines) instead of the live "
                 "view");
    app.add_option("--count", options.count, "stop after N finished frames")
        ->option_text("N")
        ->check(Kor::Tools::AboveZero());
    app.add_option("--duration", options.duration, "stop after SECONDS")
        ->option_text("SECONDS")
        ->check(Kor::Tools::AboveZero());
    app.add_option("--record", options.record,
                   "write every received datagram with its arrival time to FILE, a pcap "
                   "capture (UDP only)")
        ->option_text("FILE");
    CLI::Option* join =
        app.add_option("--join", options.join,
                       "join this multicast group (224.0.0.0 to 239.255.255.255) on the UDP port")
            ->option_text("GROUP")
            ->transform(Kor::Tools::Ipv4Host())
            ->excludes(serial);
    app.add_option("--interface", options.interface,
                   "join the group on the interface with this IPv4 address (or host name)")
        ->option_text("ADDR")
        ->transform(Kor::Tools::Ipv4Host())
        ->needs(join);
    // Help goes to standard output with status 0; every bad option, value or combination
    // gives one line and status 2, before anything is opened or printed.
    try {
        app.parse(arguments.Count(), arguments.Values());
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& e) {
        std::string line = e.what();
        std::replace(line.begin(), line.end(), '\n', ' ');
        std::cerr << "kor-monitor: " << line << '\n';
        return 2;
    }
    if (!options.join.empty() && !Kor::Platform::IsMulticastIpv4(options.join)) {
        std::cerr << "kor-monitor: --join needs a multicast group (224.0.0.0 to "
                     "239.255.255.255), not "
                  << options.join << '\n';
        return 2;
    }
    // A capture holds datagrams; a serial byte stream has none to record.
    if (serial->count() != 0 && !options.record.empty()) {
        std::cerr << "kor-monitor: --record needs UDP datagrams and cannot be used with "
                     "--serial\n";
        return 2;
    }

    try {
        const int status = Run(options, serial->count() != 0);
        Kor::Platform::ConsoleStopHandled();  // a closing console may end the process now
        return status;
    } catch (const std::exception& failure) {
        std::cerr << "kor-monitor: " << failure.what() << '\n';
        return 1;
    }
}
