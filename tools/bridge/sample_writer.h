// Writers of one OpenTrackIO sample: JSON text, CBOR and a JSON tree, behind one interface,
// so that the mapping is written once and the bridge's hot path builds no tree.
//
// Members are written in order. An object or array is opened with Begin and closed with End;
// End(drop = true) takes an object out again (key included) when nothing was written into it,
// which is how a group whose fields are all unavailable is left out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace Kor::Bridge {

class SampleWriter {
public:
    virtual ~SampleWriter() = default;
    // key is null for the root and for array elements.
    virtual void Begin(const char* key, bool array = false) = 0;
    virtual void End(bool drop = false) = 0;
    virtual void Number(const char* key, double value) = 0;  // finite values only
    virtual void Unsigned(const char* key, std::uint64_t value) = 0;
    virtual void Bool(const char* key, bool value) = 0;
    virtual void Text(const char* key, std::string_view value) = 0;  // valid UTF-8
};

// JSON text on one line, numbers as their shortest round-trip decimal.
class JsonTextWriter final : public SampleWriter {
public:
    void Begin(const char* key, bool array) override;
    void End(bool drop) override;
    void Number(const char* key, double value) override;
    void Unsigned(const char* key, std::uint64_t value) override;
    void Bool(const char* key, bool value) override;
    void Text(const char* key, std::string_view value) override;
    const std::string& Result() const { return out_; }

private:
    void Member(const char* key);
    struct Open {
        std::size_t start;  // where the member began (before its comma)
        std::size_t count;
        bool array;
    };
    std::string out_;
    std::vector<Open> open_;
};

// CBOR with definite lengths; numbers as 64-bit floats, integers in their shortest form.
class CborWriter final : public SampleWriter {
public:
    void Begin(const char* key, bool array) override;
    void End(bool drop) override;
    void Number(const char* key, double value) override;
    void Unsigned(const char* key, std::uint64_t value) override;
    void Bool(const char* key, bool value) override;
    void Text(const char* key, std::string_view value) override;
    const std::vector<std::uint8_t>& Result() const { return out_; }

private:
    void Head(std::uint8_t major, std::uint64_t value);
    void Member(const char* key);
    struct Open {
        std::size_t start;   // where the member began (its key)
        std::size_t header;  // offset of the container's one-byte head
        std::size_t count;
        bool array;
    };
    std::vector<std::uint8_t> out_;
    std::vector<Open> open_;
};

// A JSON tree, for the tests and for callers that want to look at a sample.
class TreeWriter final : public SampleWriter {
public:
    void Begin(const char* key, bool array) override;
    void End(bool drop) override;
    void Number(const char* key, double value) override;
    void Unsigned(const char* key, std::uint64_t value) override;
    void Bool(const char* key, bool value) override;
    void Text(const char* key, std::string_view value) override;
    nlohmann::ordered_json& Result() { return root_; }

private:
    void Put(const char* key, nlohmann::ordered_json value);
    struct Open {
        std::string key;
        nlohmann::ordered_json value;
    };
    nlohmann::ordered_json root_;
    std::vector<Open> open_;
};

}  // namespace Kor::Bridge
