// Checked: the outcome of a check or a step of the engine's owners and the tools: all right,
// or one message that tells a person what to change.
#pragma once

#include <string>
#include <utility>

namespace Kor {

// Either ok or a refusal with its message, e.g. "--to needs HOST:PORT with a port from 1 to
// 65535, not 'x'". The message is the line's text without the program's name.
class [[nodiscard]] Checked {
public:
    // All right.
    Checked() = default;
    // Refused, for the reason `message` gives.
    static Checked Refused(std::string message) { return Checked(std::move(message)); }

    bool Ok() const noexcept { return !refused_; }
    explicit operator bool() const noexcept { return Ok(); }
    // Why it was refused; empty when ok.
    const std::string& Message() const noexcept { return message_; }

private:
    explicit Checked(std::string message) : refused_(true), message_(std::move(message)) {}

    bool refused_ = false;
    std::string message_;
};

}  // namespace Kor
