// The constrained region finder over a few thousand existing allocations: packed windows
// that force a search past every region from either end, regions spread over many tiles,
// and a list whose regions are all dead by the time of the request.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "velk_compiler/region_finder.hpp"

namespace {

using velk_compiler::Allocation;
using velk_compiler::MemoryConstraint;
using velk_compiler::MemoryPlacement;

constexpr std::uint32_t data_base = velk_compiler::DEFAULT_DATA_BASE;
constexpr std::uint32_t data_limit = velk_compiler::DEFAULT_DATA_LIMIT;
constexpr std::uint32_t region_size = 128;

// `count` regions of 128 bytes packed from the base, live in phases 0 to 9, the i-th on
// tile i % tiles (so with one tile they fill the window's low end back to back).
std::vector<Allocation> packed_regions(std::size_t count, std::uint16_t tiles) {
  std::vector<Allocation> allocations;
  allocations.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto tile = static_cast<std::uint16_t>(i % tiles);
    const auto slot = static_cast<std::uint32_t>(i / tiles);
    allocations.push_back(Allocation{velk_compiler::TensorId{i}, tile, data_base + slot * region_size, region_size, 0,
                                     10, velk_compiler::Home{}});
  }
  return allocations;
}

// Packed regions mirrored to the top of the window, so that High has to pass them all.
std::vector<Allocation> packed_from_the_top(std::size_t count) {
  std::vector<Allocation> allocations = packed_regions(count, 1);
  for (Allocation& allocation : allocations)
    allocation.address = data_limit - (allocation.address - data_base) - region_size;
  return allocations;
}

void run(benchmark::State& state, const std::vector<Allocation>& allocations, std::size_t live_from,
         std::size_t live_until, MemoryPlacement placement) {
  const MemoryConstraint window{.base = data_base, .limit = data_limit, .alignment = 32, .placement = placement};
  for (auto _ : state) {
    auto address = velk_compiler::find_free_region(allocations, 0, region_size, live_from, live_until, window);
    if (!address) state.SkipWithError("find_free_region failed");
    benchmark::DoNotOptimize(address);
  }
  state.SetComplexityN(state.range(0));
}

void BM_FindFreeRegion_PackedLow(benchmark::State& state) {
  run(state, packed_regions(static_cast<std::size_t>(state.range(0)), 1), 0, 10, MemoryPlacement::Low);
}
BENCHMARK(BM_FindFreeRegion_PackedLow)->Arg(1024)->Arg(2048)->Arg(4096)->Complexity(benchmark::oNSquared);

void BM_FindFreeRegion_PackedHigh(benchmark::State& state) {
  run(state, packed_from_the_top(static_cast<std::size_t>(state.range(0))), 0, 10, MemoryPlacement::High);
}
BENCHMARK(BM_FindFreeRegion_PackedHigh)->Arg(1024)->Arg(2048)->Arg(4096)->Complexity(benchmark::oNSquared);

// 64 tiles share the list; the request's tile holds one region in 64.
void BM_FindFreeRegion_SpreadOverTiles(benchmark::State& state) {
  run(state, packed_regions(static_cast<std::size_t>(state.range(0)), 64), 0, 10, MemoryPlacement::Low);
}
BENCHMARK(BM_FindFreeRegion_SpreadOverTiles)->Arg(1024)->Arg(2048)->Arg(4096)->Complexity(benchmark::oNSquared);

// Every region died at phase 10: the first candidate fits after one pass over the list.
void BM_FindFreeRegion_DeadStorage(benchmark::State& state) {
  run(state, packed_regions(static_cast<std::size_t>(state.range(0)), 1), 10, 11, MemoryPlacement::Low);
}
BENCHMARK(BM_FindFreeRegion_DeadStorage)->Arg(1024)->Arg(2048)->Arg(4096)->Complexity(benchmark::oN);

}  // namespace
