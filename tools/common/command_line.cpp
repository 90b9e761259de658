// The tools' command-line parse and their one-line messages.
#include "command_line.h"

#include <algorithm>
#include <iostream>

namespace Kor::Tools {

std::string ErrorLine(std::string_view program, std::string_view message) {
    std::string line(program);
    line += ": ";
    line += message;
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line;
}

std::optional<EarlyExit> ParseArguments(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return EarlyExit{0, app.help()};
    } catch (const CLI::ParseError& e) {
        return EarlyExit{2, ErrorLine(app.get_name(), e.what())};
    }
    return std::nullopt;
}

EarlyExit Refusal(std::string_view program, const Checked& check) {
    return EarlyExit{2, ErrorLine(program, check.Message())};
}

int Report(const EarlyExit& exit) {
    std::ostream& out = exit.status == 0 ? std::cout : std::cerr;
    out << exit.output;
    if (exit.output.empty() || exit.output.back() != '\n') {
        out << '\n';  // help text ends with its own line break; an error line does not
    }
    return exit.status;
}

void PrintError(std::string_view program, std::string_view message) {
    std::cerr << ErrorLine(program, message) << '\n';
}

}  // namespace Kor::Tools
