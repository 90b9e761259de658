// Byte-vector helpers for the kor-monitor tests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace MonitorTest {

using Bytes = std::vector<std::uint8_t>;

// "00 FF 0a" -> {0x00, 0xFF, 0x0A}; spaces are ignored.
inline Bytes Hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (const char c : text) {
        int value = -1;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        } else if (c == ' ') {
            continue;
        } else {
            throw std::invalid_argument("bad hex text");
        }
        if (high < 0) {
            high = value;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
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
