// Scenario checks of the compile driver and the memory planner on the encoder block.
#include <string>

#include "checks.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/memory_planner.hpp"

namespace velk_compiler {

// Every pair of regions of one tile whose lifetimes overlap (both ends counted) has
// disjoint bytes.
CheckOutcome live_allocations_do_not_overlap() {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  if (!graph) return std::unexpected("encoder graph: " + to_string(graph.error()));
  const Result<Schedule> schedule = compile(*graph, CompilerOptions{});
  if (!schedule) return std::unexpected("compile: " + to_string(schedule.error()));
  const std::vector<Allocation>& allocations = schedule->allocations;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    for (std::size_t j = i + 1; j < allocations.size(); ++j) {
      const Allocation& a = allocations[i];
      const Allocation& b = allocations[j];
      if (a.tile != b.tile || !lifetimes_overlap(a.live_from, a.live_until, b.live_from, b.live_until)) continue;
      const bool disjoint = std::uint64_t{a.address} + a.size <= b.address || std::uint64_t{b.address} + b.size <= a.address;
      if (!disjoint) {
        return std::unexpected("allocations " + std::to_string(i) + " and " + std::to_string(j) + " on tile " +
                               std::to_string(a.tile) + " overlap while both are live");
      }
    }
  }
  return {};
}

}  // namespace velk_compiler
