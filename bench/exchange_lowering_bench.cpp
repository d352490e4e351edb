// Lowering exchange phases and the whole schedule into per-tile programs.
#include <benchmark/benchmark.h>

#include "exchange_schedule.hpp"
#include "straightforward.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/tile_program.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace {

using velk_compiler::Schedule;
using velk_compiler::TensorId;
using velk_compiler::Transfer;

// `pairs` disjoint transfers 2k -> 2k + 1: one colour slot.
Schedule matching(std::size_t pairs) {
  std::vector<Transfer> transfers;
  for (std::size_t k = 0; k < pairs; ++k) {
    transfers.push_back({static_cast<std::uint16_t>(2 * k), static_cast<std::uint16_t>(2 * k + 1), TensorId{k}, 4});
  }
  Schedule schedule = velk_compiler::exchange_schedule(transfers);
  schedule.tile_count = 1472;
  return schedule;
}

void BM_LowerAllTileMatching(benchmark::State& state) {
  const Schedule schedule = matching(static_cast<std::size_t>(state.range(0)));
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) benchmark::DoNotOptimize(schedule.lower_exchanges(topology));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LowerAllTileMatching)->RangeMultiplier(2)->Range(46, 736)->Complexity()->Unit(benchmark::kMicrosecond);

void BM_LowerAllTileMatchingStraightforward(benchmark::State& state) {
  const Schedule schedule = matching(static_cast<std::size_t>(state.range(0)));
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::straightforward::lower_exchanges(schedule, topology));
}
BENCHMARK(BM_LowerAllTileMatchingStraightforward)->Arg(736)->Unit(benchmark::kMicrosecond);

// A ring of `tiles` groups s -> s + 1: two colour slots.
Schedule ring(std::size_t tiles) {
  std::vector<Transfer> transfers;
  for (std::size_t s = 0; s < tiles; ++s) {
    transfers.push_back({static_cast<std::uint16_t>(s), static_cast<std::uint16_t>((s + 1) % tiles), TensorId{s}, 4});
  }
  Schedule schedule = velk_compiler::exchange_schedule(transfers);
  schedule.tile_count = 1472;
  return schedule;
}

void BM_LowerRingStraightforward(benchmark::State& state) {
  const Schedule schedule = ring(static_cast<std::size_t>(state.range(0)));
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) benchmark::DoNotOptimize(velk_compiler::straightforward::lower_exchanges(schedule, topology));
}
BENCHMARK(BM_LowerRingStraightforward)->Arg(1472)->Unit(benchmark::kMicrosecond);

void BM_LowerRing(benchmark::State& state) {
  const Schedule schedule = ring(static_cast<std::size_t>(state.range(0)));
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) benchmark::DoNotOptimize(schedule.lower_exchanges(topology));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LowerRing)->RangeMultiplier(2)->Range(92, 1472)->Complexity()->Unit(benchmark::kMicrosecond);

void BM_LowerAllToAllFanout(benchmark::State& state) {
  std::vector<Transfer> transfers;
  for (std::uint16_t s = 0; s < 8; ++s) {
    for (std::uint16_t d = 0; d < 8; ++d) {
      if (d != s) transfers.push_back({s, d, TensorId{s}, 4});
    }
  }
  const Schedule schedule = velk_compiler::exchange_schedule(transfers);
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) benchmark::DoNotOptimize(schedule.lower_exchanges(topology));
}
BENCHMARK(BM_LowerAllToAllFanout)->Unit(benchmark::kMicrosecond);

Schedule default_encoder() {
  return *velk_compiler::compile(*velk_compiler::encoder_graph(velk_compiler::EncoderConfig{}),
                                 velk_compiler::CompilerOptions{});
}

void BM_LowerEncoderExchanges(benchmark::State& state) {
  const Schedule schedule = default_encoder();
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) benchmark::DoNotOptimize(schedule.lower_exchanges(topology));
}
BENCHMARK(BM_LowerEncoderExchanges)->Unit(benchmark::kMicrosecond);

void BM_LowerEncoderTilePrograms(benchmark::State& state) {
  const Schedule schedule = default_encoder();
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (auto _ : state) benchmark::DoNotOptimize(schedule.lower_tile_programs(topology));
}
BENCHMARK(BM_LowerEncoderTilePrograms)->Unit(benchmark::kMicrosecond);

}  // namespace
