// The live text view and the closing summary, as text and as JSON.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include <kor/telemetry.h>

#include "monitor.h"
#include "stats.h"

namespace KorMonitor {

// What the view shows besides the statistics and the states, and where it must fit.
struct ViewContext {
    std::string source;  // e.g. "UDP 0.0.0.0:33322" or "serial /dev/ttyUSB0"
    std::chrono::steady_clock::time_point start;
    ReceiveTime now;
    std::string chunks = "datagrams";  // what one receive is: "datagrams" or "reads"
    // The terminal's size in character cells; 0: no limit (a pipe or a log file).
    int columns = 0;
    int rows = 0;
    // The source shown in full below the table (index from 0).
    std::size_t selected = 0;
};

// The live view: the run's arrival counts, then a table with one row per source (sender,
// subject, product serial, rate of each message group, jitter of its main group, PTP latency,
// errors, tick-count gaps and time-base faults), then, when the rows leave room, the selected
// source in full: its status counts, faults, jitter, latency, per-message rates and ages and
// every field of its state. Within a terminal's size the text has fewer lines than its rows
// (so that it never scrolls) and no line is wider than its columns; four sources fit 80x24.
// The text ends with a newline.
std::string RenderView(const Monitor& monitor, const ViewContext& context);

// The closing summary of a run that lasted elapsed: the totals (chunks names what one receive
// is), the senders with frames refused before their first applied one, then every source with its
// status counts, faults, jitter, latency, message groups and each message type's count and mean
// rate.
std::string RenderSummary(const Monitor& monitor, std::chrono::steady_clock::duration elapsed,
                          std::string_view chunks);

// The closing summary as one JSON object {"summary": {...}}: the totals under lowerCamelCase
// names ("elapsedSeconds", chunks as the key of the receive count, "bytes", "frames",
// "applied", "errors", "statuses", "duplicateDatagrams", "refusedFrames",
// "refusedBeforeFirstFrame" (one {"sender", "frames"} per sender whose frames were refused
// before its first applied one, which belong to no source), "tickGaps" and
// "timeBase" summed over the sources, "frameRateHz", "frameInterval", "ptpLatency",
// "implausiblePtp", "messages") and "sources": one object per source in the order of first
// arrival ("source" numbered from 1, "sender", "subjectId" (null for none), "productSerial",
// then the same figures for the source and its "messageGroups").
nlohmann::ordered_json SummaryJson(const Monitor& monitor,
                                   std::chrono::steady_clock::duration elapsed,
                                   std::string_view chunks);

// A byte string from the wire in double quotes, safe to print on a terminal: quotes,
// backslashes, control bytes and bytes above 0x7E are written as escapes.
std::string Quoted(std::string_view bytes);

// A duration in seconds with a unit that suits its size, e.g. "0.412 ms" or "3.250 s".
std::string FormatSeconds(double seconds);

// The same in at most 7 characters, e.g. "412us", "-4.12ms", "41ms", "3.2s"; "-" for none.
std::string CompactSeconds(double seconds);

// A count in at most 4 characters, rounded down: as it is below 10000, then "10k" to
// "999k", "1.0M" to "9.9M", "10M" to "999M", and so on with G, T, P and E.
std::string CompactCount(std::uint64_t count);

}  // namespace KorMonitor
