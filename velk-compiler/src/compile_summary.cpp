// The figures of a built program and their lower bounds.
#include "velk_compiler/compile_summary.hpp"

#include <algorithm>
#include <tuple>
#include <variant>

namespace velk_compiler {

std::pair<std::uint16_t, std::uint64_t> busiest_tile_words(const LoweredExchangeEpoch& epoch) {
  std::map<std::uint16_t, std::uint64_t> words;
  for (const LoweredExchangeGroup& group : epoch.groups) {
    const std::uint64_t group_words = group.bytes / 4u;
    words[group.source_tile] += group_words;
    for (const std::uint16_t destination : group.destination_tiles) words[destination] += group_words;
  }
  std::pair<std::uint16_t, std::uint64_t> busiest{0, 0};
  for (const auto& [tile, count] : words) {
    if (count > busiest.second) busiest = {tile, count};
  }
  return busiest;
}

std::map<std::uint16_t, std::uint64_t> live_bytes_bound(std::span<const Allocation> allocations) {
  // Per tile, a sweep over the phases where regions start and end: at each phase the regions
  // starting there join before the sum is taken and those ending there leave after it, so
  // the sum is that of the regions live in the phase (both ends count). A region whose life
  // is inverted is live in no phase and takes no part.
  struct Change {
    std::size_t phase;
    bool leaves;  // after the phase
    std::uint32_t size;
    bool operator<(const Change& other) const {
      return std::tie(phase, leaves, size) < std::tie(other.phase, other.leaves, other.size);
    }
  };
  std::map<std::uint16_t, std::vector<Change>> by_tile;
  for (const Allocation& a : allocations) {
    std::vector<Change>& changes = by_tile[a.tile];
    if (a.live_from > a.live_until) continue;
    changes.push_back(Change{a.live_from, false, a.size});
    changes.push_back(Change{a.live_until, true, a.size});
  }
  std::map<std::uint16_t, std::uint64_t> bound;
  for (auto& [tile, changes] : by_tile) {
    std::sort(changes.begin(), changes.end());
    std::uint64_t live = 0;
    std::uint64_t largest = 0;
    for (const Change& change : changes) {
      if (change.leaves) {
        live -= change.size;
      } else {
        live += change.size;
        largest = std::max(largest, live);
      }
    }
    bound[tile] = largest;
  }
  return bound;
}

std::optional<PeakSpread> peak_spread(std::span<const TilePeak> peaks) {
  if (peaks.empty()) return std::nullopt;
  std::vector<TilePeak> ranked(peaks.begin(), peaks.end());
  std::sort(ranked.begin(), ranked.end(),
            [](const TilePeak& a, const TilePeak& b) { return a.peak != b.peak ? a.peak < b.peak : a.tile < b.tile; });
  const TilePeak median = ranked[(ranked.size() - 1) / 2];
  // Among equal peaks the lowest tile stands for them, at both ends.
  const TilePeak minimum = ranked.front();
  std::stable_sort(ranked.begin(), ranked.end(), [](const TilePeak& a, const TilePeak& b) { return a.peak > b.peak; });
  return PeakSpread{minimum, median, ranked.front()};
}

CompileSummary summarize_program(const Graph& graph, const Program& program) {
  const Schedule& schedule = program.schedule;
  const CompilerOptions& options = program.options;
  CompileSummary summary;
  summary.data_offset = options.data_base - std::min(options.exchange_base, options.data_base);
  summary.tensors = graph.tensors.size();
  summary.operations = graph.ops.size();
  summary.outputs = graph.outputs.size();
  for (const Phase& phase : schedule.phases) {
    ++(std::holds_alternative<ComputePhase>(phase) ? summary.compute_phases : summary.exchange_phases);
  }
  for (std::size_t i = 0; i < program.exchanges.size(); ++i) {
    const LoweredExchangePhase& lowered = program.exchanges[i];
    // Every slot holds at least one group, so the last group's slot counts them all. A program
    // put together by hand may lack the slots of a phase; its launches then count none.
    const bool has_slots = i < program.group_slots.size() && !program.group_slots[i].empty();
    const std::size_t slots = has_slots ? program.group_slots[i].back() + 1 : 0;
    for (std::size_t e = 0; e < lowered.epochs.size(); ++e) {
      const LoweredExchangeEpoch& epoch = lowered.epochs[e];
      const auto [tile, words] = busiest_tile_words(epoch);
      summary.launches.push_back(
          LaunchFigures{lowered.phase, e, slots, epoch.groups.size(), epoch.cost.estimated_cycles, tile, words});
    }
  }
  const std::map<std::uint16_t, std::uint64_t> bounds = live_bytes_bound(schedule.allocations);
  for (const auto& [tile, peak] : schedule.peak_sram) {
    const auto bound = bounds.find(tile);
    summary.peaks.push_back(TilePeak{tile, peak, bound == bounds.end() ? 0 : bound->second});
  }
  return summary;
}

}  // namespace velk_compiler
