// kor-monitor's run over its settings.
#pragma once

#include "options.h"

namespace KorMonitor {

// Receives until --count, --duration, the end of the input, a read error or a stop request,
// then prints the summary. Returns the exit status: 0, 1 after a read or capture error, 2
// when the source or the capture cannot be opened (with one line on standard error).
int Run(const Settings& settings);

}  // namespace KorMonitor
