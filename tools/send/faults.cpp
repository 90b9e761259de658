// The fault model and its transmitter filter.
#include "faults.h"

#include <cmath>
#include <utility>

namespace Kor::Send {

FaultModel::FaultModel(const FaultSettings& settings)
    : settings_(settings), random_(settings.seed) {}

bool FaultModel::Chance(double percent) {
    // Always one draw, so that the stream stays aligned whatever the percentage.
    const double draw = std::uniform_real_distribution<double>(0.0, 100.0)(random_);
    return draw < percent;
}

FaultStep FaultModel::Next(std::vector<std::uint8_t> datagram) {
    ++totals_.datagrams;
    const bool lose = Chance(settings_.lossPercent);
    const bool duplicate = Chance(settings_.duplicatePercent);
    const bool reorder = Chance(settings_.reorderPercent);
    const bool corrupt = Chance(settings_.corruptPercent);
    const std::uint64_t position = random_();
    const auto flip = static_cast<std::uint8_t>(1 + random_() % 255);  // never 0: a change
    const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(random_);

    FaultStep step;
    const double delayNs = std::floor(jitter * settings_.jitterMs * 1e6);
    step.delay = std::chrono::nanoseconds(
        delayNs >= 9.2e18 ? INT64_MAX : static_cast<std::int64_t>(delayNs));
    if (lose) {
        ++totals_.lost;
        return step;
    }
    if (corrupt && !datagram.empty()) {
        datagram[static_cast<std::size_t>(position % datagram.size())] ^= flip;
        ++totals_.corrupted;
    }
    std::vector<std::vector<std::uint8_t>> copies;
    if (duplicate) {
        copies.push_back(datagram);
        ++totals_.duplicated;
    }
    copies.push_back(std::move(datagram));
    if (reorder && held_.empty()) {
        held_ = std::move(copies);
        ++totals_.reordered;
        return step;
    }
    step.send = std::move(copies);
    for (auto& late : held_) {
        step.send.push_back(std::move(late));
    }
    held_.clear();
    return step;
}

bool FaultFilter::Pass(std::vector<std::uint8_t> datagram, Engine::DatagramSink& sink) {
    FaultStep step = model_.Next(std::move(datagram));
    const FaultTotals& totals = model_.Totals();
    datagrams_.store(totals.datagrams, std::memory_order_relaxed);
    lost_.store(totals.lost, std::memory_order_relaxed);
    duplicated_.store(totals.duplicated, std::memory_order_relaxed);
    reordered_.store(totals.reordered, std::memory_order_relaxed);
    corrupted_.store(totals.corrupted, std::memory_order_relaxed);
    if (step.delay.count() > 0 && !sink.WaitExtra(step.delay)) {
        return false;
    }
    for (const auto& bytes : step.send) {
        sink.Send(bytes);
    }
    return true;
}

FaultTotals FaultFilter::Totals() const {
    FaultTotals totals;
    totals.datagrams = datagrams_.load(std::memory_order_relaxed);
    totals.lost = lost_.load(std::memory_order_relaxed);
    totals.duplicated = duplicated_.load(std::memory_order_relaxed);
    totals.reordered = reordered_.load(std::memory_order_relaxed);
    totals.corrupted = corrupted_.load(std::memory_order_relaxed);
    return totals;
}

}  // namespace Kor::Send
