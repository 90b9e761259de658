// Standard output's terminal: whether there is one, and its size in character cells.
#pragma once

#include <optional>

namespace Kor::Platform {

struct TerminalSize {
    int columns = 0;
    int rows = 0;
};

// True when standard output is a terminal (a console on Windows).
bool StandardOutputIsTerminal();

// The size of standard output's terminal window; nothing when standard output is no
// terminal or the system does not tell.
std::optional<TerminalSize> StandardOutputSize();

}  // namespace Kor::Platform
