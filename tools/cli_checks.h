// Option checks shared by the command-line tools, with messages a user can act on.
#pragma once

#include <cmath>
#include <string>

#include <CLI/CLI.hpp>

namespace Kor::Tools {

// A finite number above zero (a count, a number of seconds). CLI11's own positive-number
// check names its range as "0.000000 to" a 309-digit number, which reads as if 0 were
// allowed and fills the terminal.
inline CLI::Validator AboveZero() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            double value = 0;
            if (CLI::detail::lexical_cast(text, value) && std::isfinite(value) && value > 0) {
                return {};
            }
            return "needs a number above 0, not '" + text + "'";
        },
        "NUMBER > 0");
}

}  // namespace Kor::Tools
