// MessageSink: where the engine's console lines go, chosen by whoever owns the engine.
#pragma once

#include <string_view>

namespace Kor::Engine {

// Receives the engine's console lines: progress ("Creating socket...", "StartZeiss()
// threads started", "Done reading ...") and failures met while running ("Failed to send UDP
// message.", a faulty lens file line, a lens file without frames). Each line comes whole,
// without its line end, from whichever thread meets it, so a sink takes lines from several
// threads at once. A sink outlives every engine object that writes to it.
class MessageSink {
public:
    virtual void Progress(std::string_view line) = 0;
    virtual void Failure(std::string_view line) = 0;

protected:
    ~MessageSink() = default;
};

// The emulator's console: progress lines to standard output, failures to standard error,
// each line written in one piece and flushed at once (so that a file or a pipe has it while
// the program runs).
MessageSink& ConsoleMessages() noexcept;

// Drops every line: for programs whose output is their own report.
MessageSink& NoMessages() noexcept;

}  // namespace Kor::Engine
