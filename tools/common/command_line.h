// What every tool does with its command line and its messages: CLI11's parse with help on
// standard output and every error as one line "PROGRAM: TEXT" on standard error.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "checked.h"

namespace Kor::Tools {

// How a command line ended before the run: help (status 0, on standard output) or an error
// line (status 2, on standard error).
struct EarlyExit {
    int status = 0;
    std::string output;
};

// A tool's settings, parsed and checked, or the early exit instead.
template <typename Settings>
struct Parsed {
    std::optional<Settings> settings;
    EarlyExit exit;
};

// "PROGRAM: MESSAGE" on one line: the message's line breaks become spaces, so that every
// error (CLI11's several-line ones too) is one line a script can read.
std::string ErrorLine(std::string_view program, std::string_view message);

// Parses argv with `app` (whose name is the program's). Nothing when the parse succeeded;
// otherwise help (--help, -h: status 0 and the help text) or the error line (status 2).
std::optional<EarlyExit> ParseArguments(CLI::App& app, int argc, const char* const* argv);

// The early exit of a refused check: status 2 and its error line.
EarlyExit Refusal(std::string_view program, const Checked& check);

// Prints an early exit where it belongs and returns its status.
int Report(const EarlyExit& exit);

// Prints "PROGRAM: MESSAGE" as one line on standard error.
void PrintError(std::string_view program, std::string_view message);

}  // namespace Kor::Tools
