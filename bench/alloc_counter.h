// Counts heap allocations of the benchmark process (global operator new is replaced).
#pragma once

#include <cstdint>

namespace kor_bench {

// Number of calls to any global operator new since the program started.
std::uint64_t AllocationCount() noexcept;

}  // namespace kor_bench
