// kor-send's run over its parsed options.
#pragma once

#include "options.h"

namespace Kor::Send {

// Sends until --duration, the end of a lens file or capture, or a stop request, then prints
// the totals. Returns the exit status: 0; 1 on a failure while running or a lens file
// without a frame; 2 for a capture that cannot be replayed or a socket option the system
// refuses (with one line on standard error).
int Run(const Options& options);

}  // namespace Kor::Send
