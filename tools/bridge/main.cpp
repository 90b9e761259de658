// kor-bridge: Kor telemetry to OpenTrackIO and FreeD receivers, FreeD trackers to Kor
// receivers.
#include <exception>

#include "command_line.h"
#include "console_stop.h"
#include "options.h"
#include "run.h"
#include "utf8.h"

int main(int argc, char** argv) {
    const Kor::Platform::Utf8Console console;
    const Kor::Platform::Utf8Arguments arguments(argc, argv);
    const auto parsed = Kor::Bridge::ParseCommandLine(arguments.Count(), arguments.Values());
    if (!parsed.settings) {
        return Kor::Tools::Report(parsed.exit);
    }
    try {
        const int status = Kor::Bridge::Run(*parsed.settings);
        Kor::Platform::ConsoleStopHandled();  // a closing console may end the process now
        return status;
    } catch (const std::exception& failure) {
        Kor::Tools::PrintError("kor-bridge", failure.what());
        return 1;
    }
}
