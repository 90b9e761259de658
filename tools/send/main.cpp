// kor-send: the emulator without a window; sends the telemetry stream until told to stop.
#include "command_line.h"
#include "options.h"
#include "run.h"
#include "utf8.h"

int main(int argc, char** argv) {
    const Kor::Platform::Utf8Console console;
    const Kor::Platform::Utf8Arguments arguments(argc, argv);
    const auto parsed = Kor::Send::ParseCommandLine(arguments.Count(), arguments.Values());
    if (!parsed.settings) {
        return Kor::Tools::Report(parsed.exit);
    }
    return Kor::Send::Run(*parsed.settings);
}
