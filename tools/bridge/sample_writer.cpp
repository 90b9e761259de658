// JSON text, CBOR and tree writers of a sample.
#include "sample_writer.h"

#include <charconv>
#include <cstring>

namespace Kor::Bridge {

// ---- JSON text ----

void JsonTextWriter::Member(const char* key) {
    if (!open_.empty()) {
        if (open_.back().count++ > 0) {
            out_ += ',';
        }
    }
    if (key != nullptr) {
        out_ += '"';
        out_ += key;  // keys are the schema's own ASCII names
        out_ += "\":";
    }
}

void JsonTextWriter::Begin(const char* key, bool array) {
    const std::size_t start = out_.size();
    Member(key);
    out_ += array ? '[' : '{';
    open_.push_back({start, 0, array});
}

void JsonTextWriter::End(bool drop) {
    const Open closing = open_.back();
    open_.pop_back();
    if (drop && closing.count == 0 && !open_.empty()) {
        out_.resize(closing.start);
        --open_.back().count;
        return;
    }
    out_ += closing.array ? ']' : '}';
}

void JsonTextWriter::Number(const char* key, double value) {
    Member(key);
    char text[32];
    const auto written = std::to_chars(std::begin(text), std::end(text), value);
    const std::string_view digits(text, static_cast<std::size_t>(written.ptr - text));
    out_ += digits;
    // A whole number still reads back as a floating-point number.
    if (digits.find_first_of(".e") == std::string_view::npos) {
        out_ += ".0";
    }
}

void JsonTextWriter::Unsigned(const char* key, std::uint64_t value) {
    Member(key);
    char text[24];
    const auto written = std::to_chars(std::begin(text), std::end(text), value);
    out_.append(text, written.ptr);
}

void JsonTextWriter::Bool(const char* key, bool value) {
    Member(key);
    out_ += value ? "true" : "false";
}

void JsonTextWriter::Text(const char* key, std::string_view value) {
    Member(key);
    out_ += '"';
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += c;
        } else if (byte < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            out_ += "\\u00";
            out_ += kHex[byte >> 4];
            out_ += kHex[byte & 0xF];
        } else {
            out_ += c;
        }
    }
    out_ += '"';
}

// ---- CBOR ----

void CborWriter::Head(std::uint8_t major, std::uint64_t value) {
    const auto type = static_cast<std::uint8_t>(major << 5);
    if (value < 24) {
        out_.push_back(static_cast<std::uint8_t>(type | value));
        return;
    }
    int bytes = 8;
    std::uint8_t info = 27;
    if (value <= 0xFF) {
        bytes = 1;
        info = 24;
    } else if (value <= 0xFFFF) {
        bytes = 2;
        info = 25;
    } else if (value <= 0xFFFFFFFF) {
        bytes = 4;
        info = 26;
    }
    out_.push_back(static_cast<std::uint8_t>(type | info));
    for (int i = bytes - 1; i >= 0; --i) {
        out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void CborWriter::Member(const char* key) {
    if (!open_.empty()) {
        ++open_.back().count;
    }
    if (key != nullptr) {
        const std::size_t length = std::strlen(key);
        Head(3, length);
        out_.insert(out_.end(), key, key + length);
    }
}

void CborWriter::Begin(const char* key, bool array) {
    const std::size_t start = out_.size();
    Member(key);
    open_.push_back({start, out_.size(), 0, array});
    out_.push_back(array ? 0x80 : 0xA0);  // count patched by End
}

void CborWriter::End(bool drop) {
    const Open closing = open_.back();
    open_.pop_back();
    if (drop && closing.count == 0 && !open_.empty()) {
        out_.resize(closing.start);
        --open_.back().count;
        return;
    }
    const std::uint8_t major = closing.array ? 4 : 5;
    if (closing.count < 24) {
        out_[closing.header] = static_cast<std::uint8_t>((major << 5) | closing.count);
        return;
    }
    // A longer head: written at the end, then moved in place of the one-byte placeholder.
    const std::size_t end = out_.size();
    Head(major, closing.count);
    std::vector<std::uint8_t> head(out_.begin() + static_cast<std::ptrdiff_t>(end), out_.end());
    out_.resize(end);
    out_.erase(out_.begin() + static_cast<std::ptrdiff_t>(closing.header));
    out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(closing.header), head.begin(),
                head.end());
}

void CborWriter::Number(const char* key, double value) {
    Member(key);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    out_.push_back(0xFB);
    for (int i = 7; i >= 0; --i) {
        out_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
}

void CborWriter::Unsigned(const char* key, std::uint64_t value) {
    Member(key);
    Head(0, value);
}

void CborWriter::Bool(const char* key, bool value) {
    Member(key);
    out_.push_back(value ? 0xF5 : 0xF4);
}

void CborWriter::Text(const char* key, std::string_view value) {
    Member(key);
    Head(3, value.size());
    out_.insert(out_.end(), value.begin(), value.end());
}

// ---- tree ----

void TreeWriter::Put(const char* key, nlohmann::ordered_json value) {
    if (open_.empty()) {
        root_ = std::move(value);
    } else if (key == nullptr) {
        open_.back().value.push_back(std::move(value));
    } else {
        open_.back().value[key] = std::move(value);
    }
}

void TreeWriter::Begin(const char* key, bool array) {
    open_.push_back({key != nullptr ? key : "",
                     array ? nlohmann::ordered_json::array() : nlohmann::ordered_json::object()});
}

void TreeWriter::End(bool drop) {
    Open closing = std::move(open_.back());
    open_.pop_back();
    if (drop && closing.value.empty() && !open_.empty()) {
        return;
    }
    Put(closing.key.empty() ? nullptr : closing.key.c_str(), std::move(closing.value));
}

void TreeWriter::Number(const char* key, double value) {
    Put(key, value);
}

void TreeWriter::Unsigned(const char* key, std::uint64_t value) {
    Put(key, value);
}

void TreeWriter::Bool(const char* key, bool value) {
    Put(key, value);
}

void TreeWriter::Text(const char* key, std::string_view value) {
    Put(key, std::string(value));
}

}  // namespace Kor::Bridge
