// Option checks shared by the command-line tools, with messages a user can act on.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include <CLI/CLI.hpp>

#include "destination.h"
#include "utf8.h"

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

// A number as a person writes it: the shortest text that reads back as the same number,
// without an exponent ("0", "0.001", "1000", "1000000").
inline std::string NumberText(double value) {
    char text[512];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    return error == std::errc{} ? std::string(text, end) : std::to_string(value);
}

// A finite number from `least` to `most`. CLI11's own range check writes its bounds with
// six decimals ("0.000000 to 100.000000") and lets NaN through, as every comparison with
// it is false.
inline CLI::Validator Range(double least, double most) {
    const std::string range = NumberText(least) + " to " + NumberText(most);
    return CLI::Validator(
        [least, most, range](std::string& text) -> std::string {
            double value = 0;
            if (CLI::detail::lexical_cast(text, value) && std::isfinite(value) && value >= least &&
                value <= most) {
                return {};
            }
            return "needs a number from " + range + ", not '" + text + "'";
        },
        "NUMBER from " + range);
}

// A whole number from `least` to `most`, in decimal digits (a port, a count of hops).
inline CLI::Validator WholeRange(long long least, long long most) {
    const std::string range = std::to_string(least) + " to " + std::to_string(most);
    return CLI::Validator(
        [least, most, range](std::string& text) -> std::string {
            long long value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            if (!text.empty() && error == std::errc{} && stop == end && value >= least &&
                value <= most) {
                return {};
            }
            return "needs a whole number from " + range + ", not '" + text + "'";
        },
        "N from " + range);
}

// A host where an IPv4 address is expected (--bind, --interface, --join): a dotted-decimal
// address, or a name the system's resolver turns into one. The value becomes that address.
inline CLI::Validator Ipv4Host() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return ResolveHost(text, text).Message();
        },
        "HOST");
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

// An existing file (not a folder), named in UTF-8. CLI11's own check reads the name in the
// ANSI code page on Windows, where a name it cannot spell is never found.
inline CLI::Validator ExistingFile() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::error_code error;
            const auto status = std::filesystem::status(Platform::PathFromUtf8(text), error);
            if (std::filesystem::is_regular_file(status)) {
                return {};
            }
            if (std::filesystem::is_directory(status)) {
                return text + " is a folder, not a file";
            }
            return "no file " + text;
        },
        "FILE");
}

}  // namespace Kor::Tools
