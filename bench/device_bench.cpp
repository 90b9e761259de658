// Device::Update of the emulator's default 24 Hz frame, as UDP and as Serial.
#include <benchmark/benchmark.h>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "alloc_counter.h"
#include "frames.h"

namespace {

using Kor::Protocol::Device;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::TransmissionType;

std::vector<std::uint8_t> DefaultFrame(TransmissionType type) {
    return kor_bench::DefaultFrameState().Encode(type, kor_bench::DefaultFrameTypes());
}

bool Applied(FrameStatus status) {
    return status == FrameStatus::NewTimecode || status == FrameStatus::SameTimecode;
}

#ifdef _WIN32
// Peak working set of the process so far, in KiB.
double MaxRssKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PeakWorkingSetSize) / 1024.0;
}

// Current working set in KiB; 0 if unknown.
double CurrentRssKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters) == 0) {
        return 0;
    }
    return static_cast<double>(counters.WorkingSetSize) / 1024.0;
}
#else
// Peak resident set of the process so far, in KiB.
double MaxRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss);
}

// Current resident set in KiB (second field of /proc/self/statm, in pages); 0 if unknown.
double CurrentRssKiB() {
    std::ifstream statm("/proc/self/statm");
    unsigned long size = 0;
    unsigned long resident = 0;
    if (!(statm >> size >> resident)) {
        return 0;
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}
#endif

// Each iteration hands one complete frame to Update; every frame is valid and applied.
// With `report`, Update also hands each frame's report (status and record types) to a
// callback. Counters: heap allocations per frame once the device is warm (it keeps its
// message objects and buffers across frames) and the frame's size.
void UpdateDefaultFrame(benchmark::State& state, TransmissionType type, bool report = false) {
    const std::vector<std::uint8_t> frame = DefaultFrame(type);
    Device device;
    if (!Applied(device.Update(frame))) {
        state.SkipWithError("the default frame was not applied");
        return;
    }

    FrameStatus status = FrameStatus::Incomplete;
    std::size_t types = 0;
    const auto onFrame = [&types](const Kor::Protocol::FrameReport& r) {
        types += r.messages.size();
    };
    const std::uint64_t before = kor_bench::AllocationCount();
    for (auto _ : state) {
        status = report ? device.Update(frame, onFrame) : device.Update(frame);
        benchmark::DoNotOptimize(status);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(types);
    const auto allocations = static_cast<double>(kor_bench::AllocationCount() - before);
    if (!Applied(status)) {
        state.SkipWithError("a frame was not applied");
    }
    state.counters["allocs_per_frame"] = allocations / static_cast<double>(state.iterations());
    state.counters["frame_bytes"] = static_cast<double>(frame.size());
    state.SetItemsProcessed(state.iterations());
}

void BM_DeviceUpdateUdp(benchmark::State& state) {
    UpdateDefaultFrame(state, TransmissionType::UDP);
}
void BM_DeviceUpdateSerial(benchmark::State& state) {
    UpdateDefaultFrame(state, TransmissionType::Serial);
}
void BM_DeviceUpdateUdpReported(benchmark::State& state) {
    UpdateDefaultFrame(state, TransmissionType::UDP, true);
}
void BM_DeviceUpdateSerialReported(benchmark::State& state) {
    UpdateDefaultFrame(state, TransmissionType::Serial, true);
}

// One run of a million frames, UDP and Serial alternating, on one device: the resident set
// before (after a short warm-up) and after shows that decoding does not accumulate memory.
void BM_DeviceMillionFrames(benchmark::State& state) {
    constexpr int kFrames = 1'000'000;
    constexpr int kWarmUp = 1'000;
    const std::vector<std::uint8_t> udp = DefaultFrame(TransmissionType::UDP);
    const std::vector<std::uint8_t> serial = DefaultFrame(TransmissionType::Serial);

    for (auto _ : state) {
        Device device;
        int failures = 0;
        for (int i = 0; i < kWarmUp; ++i) {
            failures += Applied(device.Update((i & 1) != 0 ? serial : udp)) ? 0 : 1;
        }
        const double rssBefore = CurrentRssKiB();
        const double maxRssBefore = MaxRssKiB();
        const std::uint64_t allocationsBefore = kor_bench::AllocationCount();
        for (int i = 0; i < kFrames; ++i) {
            failures += Applied(device.Update((i & 1) != 0 ? serial : udp)) ? 0 : 1;
        }
        const auto allocations =
            static_cast<double>(kor_bench::AllocationCount() - allocationsBefore);
        if (failures != 0) {
            state.SkipWithError("a frame was not applied");
        }
        state.counters["rss_before_KiB"] = rssBefore;
        state.counters["rss_after_KiB"] = CurrentRssKiB();
        state.counters["maxrss_before_KiB"] = maxRssBefore;
        state.counters["maxrss_after_KiB"] = MaxRssKiB();
        state.counters["allocs_per_frame"] = allocations / kFrames;
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}

BENCHMARK(BM_DeviceUpdateUdp);
BENCHMARK(BM_DeviceUpdateSerial);
BENCHMARK(BM_DeviceUpdateUdpReported);
BENCHMARK(BM_DeviceUpdateSerialReported);
BENCHMARK(BM_DeviceMillionFrames)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
