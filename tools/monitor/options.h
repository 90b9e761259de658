// kor-monitor's command line: parsed and checked once into the settings of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "command_line.h"
#include "source.h"

namespace KorMonitor {

struct Settings {
    // Input: UDP on bind:port (joining `join`), or the serial byte stream at `serial`.
    std::uint16_t port = 33322;
    std::string bind = "0.0.0.0";  // dotted-decimal IPv4
    std::optional<Kor::Platform::GroupMembership> join;
    std::optional<std::string> serial;  // a path, or "-" for standard input
    std::string record;                 // capture file for every received datagram; empty: none
    bool json = false;
    std::uint64_t count = 0;  // finished frames; 0: no limit
    double duration = 0;      // seconds; 0: no limit
    std::size_t source = 1;   // the source the live view shows in full, from 1
};

// Parses and checks argv: help, or any bad option, value or combination as one line with
// status 2, before anything is opened or printed.
Kor::Tools::Parsed<Settings> ParseCommandLine(int argc, const char* const* argv);

}  // namespace KorMonitor
