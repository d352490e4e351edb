// Memory plan diagnostics.
//
// The planner's placements are replayed from its own request list (`planned_regions`), each
// through `allocate_region`, the planner's placement step. A refused request leaves the
// placed regions as they were, so what the planner had placed when it failed is still there
// to report.
#include "velk_compiler/memory_diagnostics.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_compiler/memory_planner.hpp"

namespace velk_compiler {
namespace {

FailedRegion failed_region(const RegionRequest& request, std::uint64_t size) {
  return FailedRegion{request.tensor,          request.label.text(),    request.tile,       size,
                      request.alignment,       request.live_from,       request.live_until, request.kind,
                      request.allocation_base, request.allocation_limit};
}

// The regions already placed on the request's tile that are live with it and lie at least
// partly inside its window, in placement order.
std::vector<Allocation> live_regions(const PlacedRegions& placed, const RegionRequest& request) {
  std::vector<Allocation> live;
  for (const Allocation& other : placed.allocations) {
    const std::uint64_t other_end = std::uint64_t{other.address} + other.size;
    const bool in_window = other.address < request.allocation_limit && other_end > request.allocation_base;
    if (other.tile == request.tile && in_window &&
        lifetimes_overlap(request.live_from, request.live_until, other.live_from, other.live_until)) {
      live.push_back(other);
    }
  }
  return live;
}

}  // namespace

Result<std::optional<MemoryFailure>> diagnose_memory_plan(const Graph& graph, const CompilerOptions& options) {
  if (auto valid = graph.validate(); !valid) return std::unexpected(valid.error());
  if (!valid_options(options)) return std::unexpected(CompileError::graph("invalid compiler options"));
  std::vector<Layout> layouts;
  layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) layouts.push_back(choose_layout(tensor, options.tile_count));
  const Result<std::vector<Phase>> phases = compile_phases(graph, layouts);
  if (!phases) return std::unexpected(phases.error());

  const Result<std::vector<PlannedRegion>> regions = planned_regions(graph, layouts, *phases, options);
  if (!regions) return std::unexpected(regions.error());
  PlacedRegions placed;
  for (const PlannedRegion& region : *regions) {
    if (region.refusal) {
      return MemoryFailure{*region.refusal, failed_region(region.request, region.bytes),
                           live_regions(placed, region.request)};
    }
    if (auto result = allocate_region(placed, region.request); !result) {
      return MemoryFailure{result.error(), failed_region(region.request, region.request.size),
                           live_regions(placed, region.request)};
    }
  }
  return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, const FailedRegion& r) {
  out << "FailedRegion { tensor: " << r.tensor.index << ", label: \"" << r.label << "\", tile: " << r.tile
      << ", size: " << r.size << ", alignment: " << r.alignment << ", live_from: " << r.live_from
      << ", live_until: " << r.live_until << ", kind: ";
  out << r.kind;
  return out << ", window_base: 0x" << std::hex << r.window_base << ", window_limit: 0x" << r.window_limit << std::dec
             << " }";
}

std::ostream& operator<<(std::ostream& out, const MemoryFailure& failure) {
  out << "MemoryFailure { error: " << failure.error << ", region: " << failure.region << ", live_regions: [";
  for (std::size_t i = 0; i < failure.live_regions.size(); ++i) {
    out << (i != 0 ? ", " : "") << failure.live_regions[i];
  }
  return out << "] }";
}

}  // namespace velk_compiler
