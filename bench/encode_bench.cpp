// Encode of the emulator's default 24 Hz frame, as UDP and as Serial.
#include <benchmark/benchmark.h>

#include <kor/telemetry.h>

#include "alloc_counter.h"
#include "frames.h"

namespace {

using Kor::Protocol::TransmissionType;

// Each iteration copies the type list (as the emulator copies its schedule) and encodes.
// Counters: bytes per frame, and heap allocations per frame made inside Encode itself
// (the list copy is the caller's and is counted separately).
void EncodeDefaultFrame(benchmark::State& state, TransmissionType type) {
    const Kor::Protocol::TelemetryData data = kor_bench::DefaultFrameState();
    const auto types = kor_bench::DefaultFrameTypes();

    std::size_t frameSize = 0;
    const std::uint64_t before = kor_bench::AllocationCount();
    for (auto _ : state) {
        auto frame = data.Encode(type, types);
        frameSize = frame.size();
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    const auto allocations = static_cast<double>(kor_bench::AllocationCount() - before);
    const auto frames = static_cast<double>(state.iterations());

    // Allocations inside Encode, measured once outside the timed loop.
    auto copy = types;
    const std::uint64_t start = kor_bench::AllocationCount();
    auto frame = data.Encode(type, std::move(copy));
    benchmark::DoNotOptimize(frame.data());
    state.counters["encode_allocs"] = static_cast<double>(kor_bench::AllocationCount() - start);
    state.counters["allocs_per_iter"] = allocations / frames;
    state.counters["frame_bytes"] = static_cast<double>(frameSize);
}

void BM_EncodeUdp(benchmark::State& state) { EncodeDefaultFrame(state, TransmissionType::UDP); }
void BM_EncodeSerial(benchmark::State& state) { EncodeDefaultFrame(state, TransmissionType::Serial); }

BENCHMARK(BM_EncodeUdp);
BENCHMARK(BM_EncodeSerial);

}  // namespace
