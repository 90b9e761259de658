// Frames missing from a sender's tick-count streams, found from the counts themselves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include <kor/telemetry.h>

#include "time_base.h"

namespace KorMonitor {

// Counts the gaps in the tick counts of the frames that carry a TickCount record.
//
// A sender builds each frame of one rate from the same list of record types, so the sender
// and the list name the stream a frame belongs to; streams of different rates and senders
// interleave on the wire and are followed separately. Within a stream the count advances by about one period per
// frame. The lower quartile of the stream's recent steps gives that period (the median
// would drift to two periods once a quarter or more of the frames are lost); a step of more
// than one and a half periods is a gap of round(step / period) - 1 frames.
//
// The counts say nothing while the period is below one unit (seconds at 24 Hz step by 0
// most of the time), and the first kMinSteps steps of a stream only teach the period. A
// count below the highest one of its stream is a late frame (reordered or held back): it
// takes one frame off the missing ones and leaves the stream as it is. One far below it (more than
// kRestartPeriods periods, or under a quarter of it), or a change of unit, means the sender started
// again or the counter wrapped: the stream starts afresh. A repeated count is not a step.
class TickGapCounter {
public:
    // Steps a stream needs before its gaps are counted.
    static constexpr std::size_t kMinSteps = 8;
    // Recent steps kept per stream for the period.
    static constexpr std::size_t kKeptSteps = 31;
    // A count more than this many periods below the stream's highest starts it afresh.
    static constexpr std::uint64_t kRestartPeriods = 16;
    // Streams followed at once; a new one beyond this replaces the longest unheard.
    static constexpr std::size_t kMaxStreams = 32;

    // One applied frame: its sender, its record types in frame order and its tick count
    // and unit.
    void Add(SenderId sender, std::span<const Kor::Protocol::MessageType> types,
             std::uint64_t tickCount, std::uint8_t tickCountType);

    // Steps that skipped at least one frame.
    std::uint64_t Gaps() const { return gaps_; }
    // Frames those steps skipped, estimated from the period, less the late frames (which
    // most likely arrived after a later frame had overtaken them).
    std::uint64_t Missing() const { return missing_; }
    // Frames whose count lay below the highest of their stream.
    std::uint64_t Late() const { return late_; }

private:
    struct Stream {
        std::uint8_t unit = 0;
        std::uint64_t highest = 0;
        std::array<std::uint64_t, kKeptSteps> steps{};
        std::size_t stepCount = 0;  // steps kept, at most kKeptSteps
        std::size_t nextStep = 0;   // where the next step goes once the array is full
        std::uint64_t lastHeard = 0;
    };

    // The lower quartile of the stream's kept steps; 0 while it has none.
    static std::uint64_t Period(const Stream& stream);
    static void Restart(Stream& stream, std::uint64_t tickCount, std::uint8_t unit);
    Stream& StreamOf(SenderId sender, std::span<const Kor::Protocol::MessageType> types);

    std::map<std::pair<SenderId, std::vector<Kor::Protocol::MessageType>>, Stream> streams_;
    std::uint64_t frames_ = 0;
    std::uint64_t gaps_ = 0;
    std::uint64_t missing_ = 0;
    std::uint64_t late_ = 0;
};

}  // namespace KorMonitor
