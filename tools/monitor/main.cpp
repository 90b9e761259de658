// kor-monitor: receives Kor telemetry over UDP or a serial stream and shows, live or as
// JSON Lines, whether frames arrive and what they hold.
#include <exception>

#include "command_line.h"
#include "console_stop.h"
#include "options.h"
#include "run.h"
#include "utf8.h"

int main(int argc, char** argv) {
    const Kor::Platform::Utf8Console console;
    const Kor::Platform::Utf8Arguments arguments(argc, argv);
    const auto parsed = KorMonitor::ParseCommandLine(arguments.Count(), arguments.Values());
    if (!parsed.settings) {
        return Kor::Tools::Report(parsed.exit);
    }
    try {
        const int status = KorMonitor::Run(*parsed.settings);
        Kor::Platform::ConsoleStopHandled();  // a closing console may end the process now
        return status;
    } catch (const std::exception& failure) {
        Kor::Tools::PrintError("kor-monitor", failure.what());
        return 1;
    }
}
