// Option checks shared by the command-line tools, with messages a user can act on.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <sstream>
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

// A finite number from 0 to `most` (a number of seconds that may be 0). CLI11's range check
// lets NaN through, as every comparison with it is false.
inline CLI::Validator FromZeroTo(double most) {
    std::ostringstream words;
    words << "0 to " << most;
    const std::string range = words.str();
    return CLI::Validator(
        [most, range](std::string& text) -> std::string {
            double value = 0;
            if (CLI::detail::lexical_cast(text, value) && std::isfinite(value) && value >= 0 &&
                value <= most) {
                return {};
            }
            return "needs a number from " + range + ", not '" + text + "'";
        },
        "NUMBER in [" + range + "]");
}

// A whole number from 0 to 2^64 - 1 (a seed), in decimal digits.
inline CLI::Validator WholeNumber() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::uint64_t value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            if (!text.empty() && error == std::errc{} && stop == end) {
                return {};
            }
            return "needs a whole number from 0 to 18446744073709551615, not '" + text + "'";
        },
        "N >= 0");
}

}  // namespace Kor::Tools
