// Fault injection for kor-send: a seeded model that loses, duplicates, reorders, corrupts
// and delays datagrams, and the transmitter filter that applies it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "transmitter.h"

namespace Kor::Send {

// The seed when none is given, so that two runs with the same options fault alike.
inline constexpr std::uint64_t kDefaultFaultSeed = 1;

struct FaultSettings {
    double jitterMs = 0;          // extra delay per datagram, uniform in 0..jitterMs
    double lossPercent = 0;       // datagrams not sent
    double duplicatePercent = 0;  // datagrams sent twice in a row
    double reorderPercent = 0;    // datagrams held back and sent after the next one
    double corruptPercent = 0;    // datagrams with one byte changed
    std::uint64_t seed = kDefaultFaultSeed;

    bool Any() const {
        return jitterMs > 0 || lossPercent > 0 || duplicatePercent > 0 || reorderPercent > 0 ||
               corruptPercent > 0;
    }
};

// What the model made of the datagrams so far.
struct FaultTotals {
    std::uint64_t datagrams = 0;  // handed to the model
    std::uint64_t lost = 0;
    std::uint64_t duplicated = 0;
    std::uint64_t reordered = 0;
    std::uint64_t corrupted = 0;
};

// What to do with one datagram: wait `delay` past its due time, then send `send` in order
// (empty when it was lost or held back).
struct FaultStep {
    std::chrono::nanoseconds delay{0};
    std::vector<std::vector<std::uint8_t>> send;
};

// Decides every datagram's fate from one std::mt19937_64 stream. Each datagram takes the
// same number of draws whatever happens to it, so a seed gives the same decisions for the
// same sequence of datagrams. A lost datagram is not corrupted, duplicated or held; a
// datagram held back is sent (with its copy, if duplicated) right after the next datagram
// that is sent, and only one is held at a time.
class FaultModel {
public:
    explicit FaultModel(const FaultSettings& settings);

    FaultStep Next(std::vector<std::uint8_t> datagram);
    const FaultTotals& Totals() const { return totals_; }

private:
    bool Chance(double percent);

    FaultSettings settings_;
    std::mt19937_64 random_;
    std::vector<std::vector<std::uint8_t>> held_;
    FaultTotals totals_;
};

// The model as a transmitter filter; its totals may be read from any thread.
class FaultFilter final : public Engine::DatagramFilter {
public:
    explicit FaultFilter(const FaultSettings& settings) : model_(settings) {}
    bool Pass(std::vector<std::uint8_t> datagram, Engine::DatagramSink& sink) override;
    FaultTotals Totals() const;

private:
    FaultModel model_;
    std::atomic<std::uint64_t> datagrams_{0};
    std::atomic<std::uint64_t> lost_{0};
    std::atomic<std::uint64_t> duplicated_{0};
    std::atomic<std::uint64_t> reordered_{0};
    std::atomic<std::uint64_t> corrupted_{0};
};

}  // namespace Kor::Send
