// Standard output's terminal on POSIX systems: isatty and the TIOCGWINSZ request.
#include "terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace Kor::Platform {

bool StandardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) != 0;
}

std::optional<TerminalSize> StandardOutputSize() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
        return std::nullopt;
    }
    return TerminalSize{size.ws_col, size.ws_row};
}

}  // namespace Kor::Platform
