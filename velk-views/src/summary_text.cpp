// Compile summaries and memory failure reports as text.
#include "velk_views/summary_text.hpp"

#include <algorithm>
#include <variant>

#include "velk_io/text_format.hpp"

namespace velk_views {

using velk_io::plural;
namespace {

namespace vc = velk_compiler;
using velk_compiler::CompileSummary;
using velk_compiler::LaunchFigures;
using velk_compiler::PeakSpread;
using velk_compiler::TilePeak;
using velk_io::hex;
using velk_io::pad_left;
using velk_io::pad_right;

constexpr std::size_t FULLEST_TILES_SHOWN = 5;

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

}  // namespace

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
  const std::optional<PeakSpread> spread = velk_compiler::peak_spread(s.peaks);
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
                     std::to_string(r.tensor.index) + " \"" + std::string(graph.tensor_name(r.tensor).value_or("?")) +
                     "\" (" + kind_text(r.kind) + ", alignment " + std::to_string(r.alignment) + ", live in phases " +
                     std::to_string(r.live_from) + " to " + std::to_string(r.live_until) + ")\n";
  const std::uint32_t window_bytes = r.window_limit > r.window_base ? r.window_limit - r.window_base : 0;
  text += "  in the " + std::string(staging ? "exchange" : "data") + " window " + hex(r.window_base) + ".." +
          hex(r.window_limit) + " (" + std::to_string(window_bytes) + " bytes)\n";
  std::uint64_t live_total = 0;
  std::size_t name_width = 4;
  for (const vc::Allocation& a : failure.live_regions) {
    live_total += a.size;
    name_width = std::max(name_width, std::string(graph.tensor_name(a.tensor).value_or("?")).size());
  }
  text += "live beside it on tile " + std::to_string(r.tile) +
          " in that window: " + plural(failure.live_regions.size(), "region") + ", " + std::to_string(live_total) +
          " bytes\n";
  if (failure.live_regions.empty()) return text;
  text += "  tensor  " + pad_right("name", name_width) + "  " + pad_right("kind", 20) + "  address    " +
          pad_left("size", 10) + "  live\n";
  for (const vc::Allocation& a : failure.live_regions) {
    text += "  " + pad_left(std::to_string(a.tensor.index), 6) + "  " +
            pad_right(std::string(graph.tensor_name(a.tensor).value_or("?")), name_width) + "  " +
            pad_right(kind_text(a.kind), 20) + "  " + pad_right(hex(a.address), 9) + "  " +
            pad_left(std::to_string(a.size), 10) + "  " + std::to_string(a.live_from) + ".." +
            std::to_string(a.live_until) + "\n";
  }
  return text;
}

}  // namespace velk_views
