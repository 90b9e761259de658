// SpinMargin: how long before a deadline a pacing thread stops sleeping and yields, sized
// from how late its own sleeps have woken.
#pragma once

#include <algorithm>
#include <cstdint>

namespace Kor::Engine {

// A timed sleep ends some tens of microseconds late on Linux (about a millisecond on
// Windows), with a long tail. A thread that must act at an instant sleeps until `Ns()`
// before it and yields the rest of the way; the margin follows the lateness of the thread's
// recent wake-ups: it rises at once to a late wake-up (plus some headroom) and sinks back
// by a sixteenth of the way per wake-up, so a lone spike is forgotten within some tens of
// frames. Bounded between `floorNs` and `ceilingNs`, which caps the processor time spent
// yielding. One per thread; not thread-safe.
class SpinMargin {
public:
    SpinMargin(std::int64_t initialNs, std::int64_t floorNs, std::int64_t ceilingNs) noexcept
        : floor_(floorNs), ceiling_(std::max(floorNs, ceilingNs)),
          estimate_(std::clamp(initialNs - kHeadroomNs, std::int64_t{0}, ceiling_)) {}

    // A margin that stays at `ns` whatever the wake-ups (for measurements).
    static SpinMargin Fixed(std::int64_t ns) noexcept {
        SpinMargin margin(ns, ns, ns);
        margin.fixed_ = true;
        return margin;
    }

    std::int64_t Ns() const noexcept {
        return fixed_ ? floor_ : std::clamp(estimate_ + kHeadroomNs, floor_, ceiling_);
    }

    // Takes in how late a sleep woke: the time it ended minus the time it was asked to.
    void OnWake(std::int64_t latenessNs) noexcept {
        const std::int64_t lateness = std::clamp(latenessNs, std::int64_t{0}, ceiling_);
        estimate_ = std::max(lateness, estimate_ - estimate_ / 16);
    }

private:
    static constexpr std::int64_t kHeadroomNs = 25'000;

    std::int64_t floor_;
    std::int64_t ceiling_;
    std::int64_t estimate_;  // a high mark of the recent wake-up lateness
    bool fixed_ = false;
};

}  // namespace Kor::Engine
