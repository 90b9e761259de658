// kor-bridge's run over its settings.
#pragma once

#include "options.h"

namespace Kor::Bridge {

// Bridges until --count datagrams, --duration or a stop request, then prints the summary.
// Returns the exit status: 0, 1 after a read error, 2 when the input cannot be opened or a
// multicast option is refused (with one line on standard error).
int Run(const BridgeOptions& options);

}  // namespace Kor::Bridge
