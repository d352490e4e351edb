// Compile summaries and memory failure reports.
#include "velk_io/compile_report.hpp"

#include <algorithm>
#include <variant>

#include "text_format.hpp"
#include "velk_compiler/exchange_scheduler.hpp"

namespace velk_io {
namespace {

namespace vc = velk_compiler;

constexpr std::size_t FULLEST_TILES_SHOWN = 5;

std::string plural(std::size_t count, std::string_view noun) {
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

// "+N" above the bound; a figure is never below its lower bound, but say so if it were.
std::string distance(std::uint64_t figure, std::uint64_t bound) {
  if (figure >= bound) return "+" + std::to_string(figure - bound);
  return "-" + std::to_string(bound - figure);
}

std::string peak_text(const TilePeak& peak) {
  return std::to_string(peak.peak) + " on tile " + std::to_string(peak.tile) + " (bound " +
         std::to_string(peak.live_bytes) + ", " + distance(peak.peak, peak.live_bytes) + ")";
}

std::string kind_text(const vc::AllocationKind& kind) {
  if (const auto* staging = std::get_if<vc::ExchangeStaging>(&kind)) {
    return "staging of phase " + std::to_string(staging->phase);
  }
  return "home";
}

std::string tensor_name(const vc::Graph& graph, vc::TensorId tensor) {
  return tensor.index < graph.tensors.size() ? graph.tensors[tensor.index].name : "?";
}

}  // namespace

std::pair<std::uint16_t, std::uint64_t> busiest_tile_words(const vc::LoweredExchangeEpoch& epoch) {
  std::map<std::uint16_t, std::uint64_t> words;
  for (const vc::LoweredExchangeGroup& group : epoch.groups) {
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

std::map<std::uint16_t, std::uint64_t> live_bytes_bound(std::span<const vc::Allocation> allocations) {
  std::map<std::uint16_t, std::vector<const vc::Allocation*>> by_tile;
  for (const vc::Allocation& a : allocations) by_tile[a.tile].push_back(&a);
  std::map<std::uint16_t, std::uint64_t> bound;
  for (const auto& [tile, regions] : by_tile) {
    // The live sum only grows where some region starts, so those phases are the ones to try.
    std::uint64_t largest = 0;
    for (const vc::Allocation* start : regions) {
      std::uint64_t live = 0;
      for (const vc::Allocation* other : regions) {
        if (other->live_from <= start->live_from && start->live_from <= other->live_until) live += other->size;
      }
      largest = std::max(largest, live);
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

vc::Result<CompileSummary> summarize_compilation(const vc::Graph& graph, const vc::CompilerOptions& options,
                                                 const vc::Schedule& schedule,
                                                 std::span<const vc::LoweredExchangePhase> exchanges) {
  CompileSummary summary;
  summary.data_offset = options.data_base - std::min(options.exchange_base, options.data_base);
  summary.tensors = graph.tensors.size();
  summary.operations = graph.ops.size();
  summary.outputs = graph.outputs.size();
  for (const vc::Phase& phase : schedule.phases) {
    ++(std::holds_alternative<vc::ComputePhase>(phase) ? summary.compute_phases : summary.exchange_phases);
  }
  for (const vc::LoweredExchangePhase& lowered : exchanges) {
    if (lowered.phase >= schedule.phases.size()) {
      return std::unexpected(vc::CompileError::graph("missing exchange phase " + std::to_string(lowered.phase)));
    }
    const auto* exchange = std::get_if<vc::ExchangePhase>(&schedule.phases[lowered.phase]);
    if (exchange == nullptr) {
      return std::unexpected(vc::CompileError::graph("missing exchange phase " + std::to_string(lowered.phase)));
    }
    const auto slots = vc::exchange_slots(schedule, lowered.phase, exchange->transfers);
    if (!slots) return std::unexpected(slots.error());
    for (std::size_t e = 0; e < lowered.epochs.size(); ++e) {
      const vc::LoweredExchangeEpoch& epoch = lowered.epochs[e];
      const auto [tile, words] = busiest_tile_words(epoch);
      summary.launches.push_back(LaunchFigures{lowered.phase, e, slots->size(), epoch.groups.size(),
                                               epoch.cost.estimated_cycles, tile, words});
    }
  }
  const std::map<std::uint16_t, std::uint64_t> bounds = live_bytes_bound(schedule.allocations);
  for (const auto& [tile, peak] : schedule.peak_sram) {
    const auto bound = bounds.find(tile);
    summary.peaks.push_back(TilePeak{tile, peak, bound == bounds.end() ? 0 : bound->second});
  }
  return summary;
}

std::string render_summary(const CompileSummary& s) {
  std::string text = "graph: " + plural(s.tensors, "tensor") + ", " + plural(s.operations, "operation") + ", " +
                     plural(s.outputs, "output") + "\n";
  text += "phases: " + std::to_string(s.compute_phases + s.exchange_phases) + " (" + std::to_string(s.compute_phases) +
          " compute, " + std::to_string(s.exchange_phases) + " exchange)\n";
  text += "exchange launches: " + std::to_string(s.launches.size()) +
          " (cycles; bound: the words the busiest tile sends plus receives)\n";
  for (const LaunchFigures& launch : s.launches) {
    text += "  phase " + std::to_string(launch.phase) + " launch " + std::to_string(launch.epoch) + ": " +
            plural(launch.slots, "slot") + ", " + plural(launch.groups, "group") + ", " +
            std::to_string(launch.cycles) + " cycles (bound " + std::to_string(launch.busiest_words) + " on tile " +
            std::to_string(launch.busiest_tile) + ", " + distance(launch.cycles, launch.busiest_words) + ")\n";
  }
  text += "peak SRAM per tile: " + plural(s.peaks.size(), "tile") +
          " (bytes from the lower window base; bound: the bytes of the tile's regions live in one phase)\n";
  const std::optional<PeakSpread> spread = peak_spread(s.peaks);
  if (!spread) return text;
  text += "  minimum " + peak_text(spread->minimum) + "\n";
  text += "  median  " + peak_text(spread->median) + "\n";
  text += "  maximum " + peak_text(spread->maximum) + "\n";
  std::vector<TilePeak> ranked = s.peaks;
  std::stable_sort(ranked.begin(), ranked.end(), [](const TilePeak& a, const TilePeak& b) { return a.peak > b.peak; });
  text += "  fullest tiles:";
  for (std::size_t i = 0; i < std::min(ranked.size(), FULLEST_TILES_SHOWN); ++i) {
    text += (i == 0 ? " " : ", ") + peak_text(ranked[i]);
  }
  text += "\n";
  if (s.data_offset != 0) {
    text += "  (peaks count from the lower window base; the data window starts " + std::to_string(s.data_offset) +
            " bytes above it)\n";
  }
  return text;
}

std::string render_compile_failure(const vc::Graph& graph, const vc::CompilerOptions& options,
                                   const vc::CompileError& error) {
  std::string text = vc::to_string(error) + "\n";
  if (error.kind() != vc::CompileError::Kind::Memory) return text;
  const vc::Result<std::optional<vc::MemoryFailure>> diagnosis = vc::diagnose_memory_plan(graph, options);
  if (diagnosis && diagnosis->has_value()) text += render_memory_failure(graph, **diagnosis);
  return text;
}

std::string render_memory_failure(const vc::Graph& graph, const vc::MemoryFailure& failure) {
  const vc::FailedRegion& r = failure.region;
  const bool staging = std::holds_alternative<vc::ExchangeStaging>(r.kind);
  std::string text = "why: tile " + std::to_string(r.tile) + " needs " + std::to_string(r.size) + " bytes for tensor " +
                     std::to_string(r.tensor.index) + " \"" + tensor_name(graph, r.tensor) + "\" (" +
                     kind_text(r.kind) + ", alignment " + std::to_string(r.alignment) + ", live in phases " +
                     std::to_string(r.live_from) + " to " + std::to_string(r.live_until) + ")\n";
  const std::uint32_t window_bytes = r.window_limit > r.window_base ? r.window_limit - r.window_base : 0;
  text += "  in the " + std::string(staging ? "exchange" : "data") + " window " + hex(r.window_base) + ".." +
          hex(r.window_limit) + " (" + std::to_string(window_bytes) + " bytes)\n";
  std::uint64_t live_total = 0;
  std::size_t name_width = 4;
  for (const vc::Allocation& a : failure.live_regions) {
    live_total += a.size;
    name_width = std::max(name_width, tensor_name(graph, a.tensor).size());
  }
  text += "live beside it on tile " + std::to_string(r.tile) +
          " in that window: " + plural(failure.live_regions.size(), "region") + ", " + std::to_string(live_total) +
          " bytes\n";
  if (failure.live_regions.empty()) return text;
  text += "  tensor  " + pad_right("name", name_width) + "  " + pad_right("kind", 20) + "  address    " +
          pad_left("size", 10) + "  live\n";
  for (const vc::Allocation& a : failure.live_regions) {
    text += "  " + pad_left(std::to_string(a.tensor.index), 6) + "  " +
            pad_right(tensor_name(graph, a.tensor), name_width) + "  " + pad_right(kind_text(a.kind), 20) + "  " +
            pad_right(hex(a.address), 9) + "  " + pad_left(std::to_string(a.size), 10) + "  " +
            std::to_string(a.live_from) + ".." + std::to_string(a.live_until) + "\n";
  }
  return text;
}

}  // namespace velk_io
