// RunTimer: how long a receiving tool may wait for its next input before its --duration
// ends, and how long it has run.
#pragma once

#include <chrono>
#include <optional>

namespace Kor::Tools {

// The clock of one run from its start: a deadline `durationSeconds` later (0: none) and the
// waits that keep it. A receiving loop reads with NextWait()'s wait, so that it notices a
// stop request within one wait and ends within a millisecond of the deadline:
//
//   const RunTimer timer(options.duration);
//   while (!Platform::ConsoleStopRequest() && !done) {
//       const auto wait = timer.NextWait();
//       if (!wait) break;                      // the duration is over
//       source.Read(buffer, std::min(*wait, other));
//   }
class RunTimer {
public:
    using Clock = std::chrono::steady_clock;

    // Waits are at most this long, so a stop request is seen this soon.
    static constexpr std::chrono::milliseconds kLongestWait{200};

    explicit RunTimer(double durationSeconds, Clock::time_point start = Clock::now())
        : durationSeconds_(durationSeconds), start_(start) {}

    // The wait for the next input at `now`: kLongestWait, or less so as to wake just after
    // the deadline; nothing once the deadline has passed.
    std::optional<std::chrono::milliseconds> NextWait(Clock::time_point now = Clock::now()) const {
        if (durationSeconds_ <= 0) {
            return kLongestWait;
        }
        const double left = durationSeconds_ - Seconds(now);
        if (left <= 0) {
            return std::nullopt;
        }
        if (left < 0.2) {
            return std::chrono::milliseconds(static_cast<long>(left * 1e3) + 1);
        }
        return kLongestWait;
    }

    Clock::time_point Start() const { return start_; }
    // Seconds from the start to `now`.
    double Seconds(Clock::time_point now = Clock::now()) const {
        return std::chrono::duration<double>(now - start_).count();
    }

private:
    double durationSeconds_;
    Clock::time_point start_;
};

}  // namespace Kor::Tools
