// The live text view and the closing summary, as text and as JSON.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include <kor/telemetry.h>

#include "stats.h"

namespace KorMonitor {

// What the view shows besides the statistics and the state.
struct ViewContext {
    std::string source;  // e.g. "UDP 0.0.0.0:33322" or "serial /dev/ttyUSB0"
    std::chrono::steady_clock::time_point start;
    ReceiveTime now;
    std::string chunks = "datagrams";  // what one receive is: "datagrams" or "reads"
};

// One screenful: the arrival counts and rates, frame status counts, frame jitter, PTP
// latency, per-message rates and ages, and every field of the current state. Lines stay
// within 100 columns; the text ends with a newline.
std::string RenderView(const Stats& stats, const Kor::Protocol::TelemetryData& state,
                       const ViewContext& context);

// The closing summary of a run that lasted elapsed: totals (chunks names what one receive
// is), status counts, jitter, latency and each message type's count and mean rate.
std::string RenderSummary(const Stats& stats, std::chrono::steady_clock::duration elapsed,
                          std::string_view chunks);

// The closing summary as one JSON object {"summary": {...}}: the same figures as
// RenderSummary under lowerCamelCase names ("elapsedSeconds", chunks as the key of the receive
// count, "bytes", "frames", "applied", "errors", "statuses", "duplicateDatagrams", "tickGaps",
// "timeBase", "frameRateHz", "frameInterval", "ptpLatency", "implausiblePtp", "messages").
nlohmann::ordered_json SummaryJson(const Stats& stats, std::chrono::steady_clock::duration elapsed,
                                   std::string_view chunks);

// A byte string from the wire in double quotes, safe to print on a terminal: quotes,
// backslashes, control bytes and bytes above 0x7E are written as escapes.
std::string Quoted(std::string_view bytes);

// A duration in seconds with a unit that suits its size, e.g. "0.412 ms" or "3.250 s".
std::string FormatSeconds(double seconds);

}  // namespace KorMonitor
