// Byte-vector helpers for the kor-monitor tests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace MonitorTest {

using Bytes = std::vector<std::uint8_t>;

// "00 FF 0a" -> {0x00, 0xFF, 0x0A}; spaces are ignored.
inline Bytes Hex(std::string_view text) {
    std::string digits;
    for (const char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != digits.npos) {
        throw std::invalid_argument("bad hex text");
    }
    Bytes out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

}  // namespace MonitorTest
