// kor-monitor's run: opens the source, feeds the pipeline until --count, --duration, the
// end of the input or a stop request, and shows the live view or JSON lines and the summary.
#include "run.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "console_stop.h"
#include "json_frame.h"
#include "monitor.h"
#include "pcap.h"
#include "run_timer.h"
#include "source.h"
#include "terminal.h"
#include "view.h"

namespace KorMonitor {

namespace {

constexpr const char* kName = "kor-monitor";

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Ctrl-C, SIGTERM and the console's closing end the run with the summary: the wait for
// input is bounded (and cut short by a signal), so the loop sees the request within one wait.
bool StopRequested() {
    return Kor::Platform::ConsoleStopRequest() != 0;
}

// On a terminal the view fits its window (read at every refresh, so that it follows a
// resize); elsewhere it is not cut.
void Draw(const Monitor& monitor, ViewContext& context, bool terminal) {
    context.columns = 0;
    context.rows = 0;
    if (const auto size = terminal ? Kor::Platform::StandardOutputSize() : std::nullopt) {
        context.columns = size->columns;
        context.rows = size->rows;
    }
    const std::string text = RenderView(monitor, context);
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
    const Kor::Checked written =
        recorder.Write(origin.wallNs, {origin.sourceAddress, origin.sourcePort},
                       {origin.destinationAddress, origin.destinationPort}, datagram);
    if (!written) {
        Kor::Tools::PrintError(kName, written.Message());
    }
    return written.Ok();
}

}  // namespace

int Run(const Settings& options) {
    std::unique_ptr<Kor::Platform::Source> source;
    if (const Kor::Checked opened =
            options.serial
                ? Kor::Platform::OpenSerialSource(*options.serial, source)
                : Kor::Platform::OpenUdpSource(options.bind, options.port, source, options.join);
        !opened) {
        Kor::Tools::PrintError(kName, opened.Message());
        return 2;
    }
    Kor::Pcap::Writer recorder;
    if (!options.record.empty()) {
        if (const Kor::Checked created =
                recorder.Open(options.record, Kor::Pcap::TimeResolution::Nanoseconds);
            !created) {
            Kor::Tools::PrintError(kName, created.Message());
            return 2;
        }
    }
    Kor::Platform::InstallConsoleStopHandler();
    std::cerr << kName << ": receiving from " << source->Describe() << '\n';

    Monitor::FrameSink sink;
    if (options.json) {
        sink = [](const FinishedFrame& frame) {
            auto object =
                FrameJson(frame.status, frame.time.wall,
                          Origin{frame.key->Sender(),
                                 frame.source ? std::optional(*frame.source + 1) : std::nullopt},
                          frame.types, frame.state);
            if (frame.duplicate) {
                object["duplicate"] = true;
            }
            std::cout << DumpLine(object) << '\n' << std::flush;
        };
    }
    Monitor monitor(std::move(sink), options.count);

    const bool terminal = Kor::Platform::StandardOutputIsTerminal();
    const Kor::Tools::RunTimer timer(options.duration);
    ViewContext context{
        source->Describe(), timer.Start(), {}, source->Datagrams() ? "datagrams" : "reads"};
    context.selected = options.source - 1;
    auto nextDraw = context.start + 1s;
    std::vector<std::uint8_t> buffer;
    int status = 0;
    bool ended = false;
    while (!ended && !StopRequested() && !monitor.Done()) {
        const auto now = Clock::now();
        const auto left = timer.NextWait(now);
        if (!left) {
            break;
        }
        auto wait = *left;
        if (!options.json) {
            if (now >= nextDraw) {
                context.now = ReceiveTime::Now();
                Draw(monitor, context, terminal);
                nextDraw = std::max(nextDraw + 1s, now + 100ms);
            }
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(nextDraw - now));
        }

        switch (source->Read(buffer, std::max(wait, std::chrono::milliseconds(0)))) {
            case Kor::Platform::ReadResult::Data: {
                const ReceiveTime time = ReceiveTime::Now();
                if (source->Datagrams()) {
                    if (recorder.IsOpen() && !Record(recorder, *source, buffer)) {
                        status = 1;
                        ended = true;
                    }
                    const Kor::Platform::DatagramOrigin origin =
                        source->LastOrigin().value_or(Kor::Platform::DatagramOrigin{});
                    monitor.OnDatagram(buffer, time, origin.sourceAddress, origin.sourcePort);
                } else {
                    monitor.OnSerialBytes(buffer, time);
                }
                break;
            }
            case Kor::Platform::ReadResult::End: ended = true; break;
            case Kor::Platform::ReadResult::Error:
                Kor::Tools::PrintError(kName, source->ErrorText());
                status = 1;
                ended = true;
                break;
            case Kor::Platform::ReadResult::Timeout:
            case Kor::Platform::ReadResult::Interrupted: break;
        }
    }

    if (recorder.IsOpen()) {
        std::cerr << kName << ": recorded " << recorder.Written() << " datagrams to "
                  << recorder.Path() << '\n';
        if (const Kor::Checked closed = recorder.Close(); !closed) {
            Kor::Tools::PrintError(kName, closed.Message());
            status = 1;
        }
    }
    const auto elapsed = Clock::now() - context.start;
    const std::string summary = RenderSummary(monitor, elapsed, context.chunks);
    if (options.json) {
        // Standard output carries only JSON lines: the last one is the summary; the text
        // goes to standard error.
        std::cout << DumpLine(SummaryJson(monitor, elapsed, context.chunks))
                  << '\n'
                  << std::flush;
        std::cerr << summary << std::flush;
    } else {
        context.now = ReceiveTime::Now();
        Draw(monitor, context, terminal);
        std::cout << summary << std::flush;
    }
    return status;
}


}  // namespace KorMonitor
