// The exchange fabric library: building the R77 topology, planning multicasts from one tile to
// growing receiver sets, and joining many rows into one tile's plan program.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "velk_exchange/velk_exchange.hpp"

namespace {

using velk_exchange::PlanProgramBuilder;
using velk_exchange::Row;
using velk_exchange::Topology;

void BM_TopologyR77(benchmark::State& state) {
  for (auto _ : state) {
    Topology topology = Topology::r77();
    benchmark::DoNotOptimize(topology);
  }
}
BENCHMARK(BM_TopologyR77);

// Tile 0 sends 64 words to tiles 1 … n; no log subscriber is installed.
void BM_MulticastPlan(benchmark::State& state) {
  const Topology topology = Topology::r77();
  std::vector<std::uint16_t> receivers;
  for (std::int64_t logical = 1; logical <= state.range(0); ++logical) {
    receivers.push_back(static_cast<std::uint16_t>(logical));
  }
  for (auto _ : state) {
    auto plan = topology.multicast(0, receivers, 64, 0);
    benchmark::DoNotOptimize(plan);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MulticastPlan)->Arg(1)->Arg(64)->Arg(1471);

// Rows whose delays end two cycles apart, each followed by a one-word send, so that every row
// after the first is retimed; then the program is finished with some padding.
std::vector<Row> spaced_rows(std::int64_t count) {
  std::vector<Row> rows;
  rows.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    const std::uint32_t delay_end = static_cast<std::uint32_t>(2 * i + 2);
    rows.push_back(Row{velk_exchange::ROW_ENTRY_WORD, velk_exchange::delay(delay_end - 1), 0x78000003,
                       velk_exchange::ROW_RETURN_WORD, 0, 0, 0, 0, 0});
  }
  return rows;
}

void BM_PlanProgramJoinRows(benchmark::State& state) {
  const std::vector<Row> rows = spaced_rows(state.range(0));
  for (auto _ : state) {
    PlanProgramBuilder builder;
    for (const Row& row : rows) {
      if (!builder.append_scheduled_row(row)) state.SkipWithError("row refused");
    }
    const std::uint32_t horizon = builder.event_cycles() + 1000;
    auto program = std::move(builder).finish(horizon);
    benchmark::DoNotOptimize(program);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_PlanProgramJoinRows)->RangeMultiplier(8)->Range(8, 32768)->Complexity(benchmark::oN);

}  // namespace
