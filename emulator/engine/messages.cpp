// The engine's two message sinks: the console, and none.
#include "messages.h"

#include <cstdio>
#include <string>

namespace Kor::Engine {
namespace {

// One write per line: the C library locks the stream for each call, so lines from
// different threads never mix.
void WriteLine(std::FILE* stream, std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

class Console final : public MessageSink {
public:
    void Progress(std::string_view line) override { WriteLine(stdout, line); }
    void Failure(std::string_view line) override { WriteLine(stderr, line); }
};

class Nothing final : public MessageSink {
public:
    void Progress(std::string_view /*line*/) override {}
    void Failure(std::string_view /*line*/) override {}
};

}  // namespace

MessageSink& ConsoleMessages() noexcept {
    static Console console;
    return console;
}

MessageSink& NoMessages() noexcept {
    static Nothing nothing;
    return nothing;
}

}  // namespace Kor::Engine
