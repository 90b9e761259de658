// Standard output's terminal on Windows: the console's mode and its visible window.
#include "terminal.h"

#include <windows.h>

namespace Kor::Platform {

bool StandardOutputIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

std::optional<TerminalSize> StandardOutputSize() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0) {
        return std::nullopt;
    }
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (columns <= 0 || rows <= 0) {
        return std::nullopt;
    }
    return TerminalSize{columns, rows};
}

}  // namespace Kor::Platform
