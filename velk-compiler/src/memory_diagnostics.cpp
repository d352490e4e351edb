// Memory plan diagnostics.
//
// The planner's walk is replayed request by request: first the request list is derived in the
// planner's order (homes by tensor, then layout tile; staging regions by exchange phase, then
// transfer, one per tensor and destination tile within a phase), then each request goes
// through `allocate_region`, the planner's own placement step. A refused request leaves the
// placed regions as they were, so what the planner had placed when it failed is still there
// to report. The lifetime and phase rules repeated here are those of the planner and of the
// compile driver; the tests hold both replays to the library's results.
#include "velk_compiler/memory_diagnostics.hpp"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "text.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_compiler/memory_planner.hpp"

namespace velk_compiler {
namespace {

constexpr std::uint32_t STAGING_ALIGNMENT = 16;

// A RegionRequest with its label owned, so that the list can outlive the texts it names.
struct PlannedRequest {
  RegionRequest request;
  std::string label;
};

bool same_placement(const Layout& a, const Layout& b) { return a.tiles == b.tiles && a.sharding == b.sharding; }

Result<std::vector<Transfer>> operand_transfers(const Graph& graph, const std::vector<Layout>& layouts, const Op& op) {
  const Layout& out = layouts[op.output.index];
  std::vector<Transfer> transfers;
  for (const TensorId operand : op.inputs) {
    const Layout& in = layouts[operand.index];
    if (same_placement(in, out)) continue;
    const std::size_t share = local_bytes(graph.tensors[operand.index], in);
    if (share > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(oversized_share(graph.tensors[operand.index], share));
    }
    for (std::size_t i = 0; i < out.tiles.size(); ++i) {
      const std::uint16_t destination = out.tiles[i];
      const std::uint16_t source = in.tiles[i % in.tiles.size()];
      if (source == destination) continue;
      transfers.push_back(Transfer{source, destination, operand, static_cast<std::uint32_t>(share)});
    }
  }
  return transfers;
}

ComputePhase compute_phase(const Graph& graph, const std::vector<Layout>& layouts, const Op& op) {
  const Layout& out = layouts[op.output.index];
  const Tensor& result = graph.tensors[op.output.index];
  ComputePhase phase{op.id, {}};
  phase.commands.reserve(out.tiles.size());
  for (const std::uint16_t tile : out.tiles) {
    phase.commands.push_back(KernelCommand{tile, op.output, op.inputs, specialization_key(op.kind, result, out, tile)});
  }
  return phase;
}

struct Lifetimes {
  std::vector<std::size_t> produced;
  std::vector<std::size_t> consumed;
};

// The graph is validated and the phases are built from it, so every index below is in range.
Lifetimes tensor_lifetimes(const Graph& graph, const std::vector<Phase>& phases) {
  Lifetimes lifetimes{std::vector<std::size_t>(graph.tensors.size(), 0),
                      std::vector<std::size_t>(graph.tensors.size(), 0)};
  auto read = [&](TensorId tensor, std::size_t phase) {
    lifetimes.consumed[tensor.index] = std::max(lifetimes.consumed[tensor.index], phase);
  };
  for (std::size_t p = 0; p < phases.size(); ++p) {
    if (const auto* compute = std::get_if<ComputePhase>(&phases[p])) {
      const Op& op = graph.ops[compute->op.index];
      lifetimes.produced[op.output.index] = p;
      for (const TensorId input : op.inputs) read(input, p);
    } else {
      for (const Transfer& transfer : std::get<ExchangePhase>(phases[p]).transfers) read(transfer.tensor, p);
    }
  }
  for (const TensorId output : graph.outputs) lifetimes.consumed[output.index] = phases.size();
  return lifetimes;
}

FailedRegion failed_region(const RegionRequest& request, std::string label, std::uint64_t size) {
  return FailedRegion{request.tensor,          std::move(label),        request.tile,       size,
                      request.alignment,       request.live_from,       request.live_until, request.kind,
                      request.allocation_base, request.allocation_limit};
}

std::vector<Allocation> live_regions(const PlacedRegions& placed, const RegionRequest& request) {
  std::vector<Allocation> live;
  if (request.tile >= placed.by_tile.size()) return live;
  for (const std::size_t position : placed.by_tile[request.tile]) {
    const Allocation& other = placed.allocations[position];
    const std::uint64_t other_end = std::uint64_t{other.address} + other.size;
    const bool in_window = other.address < request.allocation_limit && other_end > request.allocation_base;
    if (in_window && lifetimes_overlap(request.live_from, request.live_until, other.live_from, other.live_until)) {
      live.push_back(other);
    }
  }
  return live;
}

// Places the homes of the graph's tensors; the first refusal ends the walk with its report.
std::optional<MemoryFailure> place_homes(PlacedRegions& placed, const Graph& graph, const std::vector<Layout>& layouts,
                                         const Lifetimes& lifetimes, const CompilerOptions& options) {
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    const Tensor& tensor = graph.tensors[i];
    const Layout& layout = layouts[i];
    const std::size_t share = local_bytes(tensor, layout);
    const std::size_t produced = lifetimes.produced[i];
    const std::size_t consumed = std::max(lifetimes.consumed[i], produced);
    const std::optional<std::uint32_t> size = share <= std::numeric_limits<std::uint32_t>::max()
                                                  ? align_u32(static_cast<std::uint32_t>(share), layout.alignment)
                                                  : std::nullopt;
    for (const std::uint16_t tile : layout.tiles) {
      const RegionRequest request{TensorId{i},      tile,   size.value_or(0),  produced,           consumed,
                                  layout.alignment, Home{}, options.data_base, options.data_limit, tensor.name};
      if (!size) {
        return MemoryFailure{oversized_share(tensor, share), failed_region(request, tensor.name, share),
                             live_regions(placed, request)};
      }
      if (auto result = allocate_region(placed, request); !result) {
        return MemoryFailure{result.error(), failed_region(request, tensor.name, *size), live_regions(placed, request)};
      }
    }
  }
  return std::nullopt;
}

bool has_staging(const PlacedRegions& placed, TensorId tensor, std::uint16_t tile, std::size_t phase) {
  if (tile >= placed.by_tile.size()) return false;
  return std::any_of(placed.by_tile[tile].begin(), placed.by_tile[tile].end(), [&](std::size_t position) {
    const Allocation& a = placed.allocations[position];
    const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
    return a.tensor == tensor && staging != nullptr && staging->phase == phase;
  });
}

std::optional<MemoryFailure> place_staging(PlacedRegions& placed, const std::vector<Phase>& phases,
                                           const CompilerOptions& options) {
  for (std::size_t p = 0; p < phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&phases[p]);
    if (exchange == nullptr) continue;
    for (const Transfer& transfer : exchange->transfers) {
      if (has_staging(placed, transfer.tensor, transfer.destination_tile, p)) continue;
      const std::optional<std::uint32_t> size = align_u32(transfer.bytes, STAGING_ALIGNMENT);
      std::string label = fill("tensor {} exchange staging", {std::to_string(transfer.tensor.index)});
      const RegionRequest request{
          transfer.tensor,    transfer.destination_tile, size.value_or(0),       p,    p + 1, STAGING_ALIGNMENT,
          ExchangeStaging{p}, options.exchange_base,     options.exchange_limit, label};
      if (!size) {
        return MemoryFailure{CompileError::memory("address overflow"),
                             failed_region(request, label, std::uint64_t{transfer.bytes}),
                             live_regions(placed, request)};
      }
      if (auto result = allocate_region(placed, request); !result) {
        return MemoryFailure{result.error(), failed_region(request, label, *size), live_regions(placed, request)};
      }
    }
  }
  return std::nullopt;
}

void write_kind(std::ostream& out, const AllocationKind& kind) {
  if (const auto* staging = std::get_if<ExchangeStaging>(&kind)) {
    out << "ExchangeStaging { phase: " << staging->phase << " }";
  } else {
    out << "Home";
  }
}

}  // namespace

Result<std::vector<Phase>> compile_phases(const Graph& graph, const std::vector<Layout>& layouts) {
  std::vector<Phase> phases;
  phases.reserve(graph.ops.size());
  for (const Op& op : graph.ops) {
    Result<std::vector<Transfer>> transfers = operand_transfers(graph, layouts, op);
    if (!transfers) return std::unexpected(transfers.error());
    if (!transfers->empty()) {
      if (auto valid = validate_transfers(*transfers); !valid) return std::unexpected(valid.error());
      phases.emplace_back(ExchangePhase{std::move(*transfers)});
    }
    phases.emplace_back(compute_phase(graph, layouts, op));
  }
  return phases;
}

Result<std::optional<MemoryFailure>> diagnose_memory_plan(const Graph& graph, const CompilerOptions& options) {
  if (auto valid = graph.validate(); !valid) return std::unexpected(valid.error());
  if (!valid_options(options)) return std::unexpected(CompileError::graph("invalid compiler options"));
  std::vector<Layout> layouts;
  layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) layouts.push_back(choose_layout(tensor, options.tile_count));
  const Result<std::vector<Phase>> phases = compile_phases(graph, layouts);
  if (!phases) return std::unexpected(phases.error());

  const Lifetimes lifetimes = tensor_lifetimes(graph, *phases);
  PlacedRegions placed;
  if (auto failure = place_homes(placed, graph, layouts, lifetimes, options)) return failure;
  return place_staging(placed, *phases, options);
}

std::ostream& operator<<(std::ostream& out, const FailedRegion& r) {
  out << "FailedRegion { tensor: " << r.tensor.index << ", label: \"" << r.label << "\", tile: " << r.tile
      << ", size: " << r.size << ", alignment: " << r.alignment << ", live_from: " << r.live_from
      << ", live_until: " << r.live_until << ", kind: ";
  write_kind(out, r.kind);
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
