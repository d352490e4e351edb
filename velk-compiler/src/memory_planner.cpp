// The tile memory planner.
//
// Lifetimes: a home lives from the phase that produces its tensor (0 for inputs and
// weights) to the last phase that reads it; graph outputs stay reserved through the phase
// count. A tensor that is written and never read keeps its home for the producing phase
// itself, so nothing is placed over bytes a kernel is writing. A staging region of exchange
// phase p lives for p and p + 1: the compute phase that reads the incoming share follows
// its exchange directly.
//
// Both ends of a lifetime count, so a tensor last read in phase p and one first written in
// phase p never share bytes: a kernel reads its inputs and writes its output in one phase.
#include "velk_compiler/memory_planner.hpp"

#include <algorithm>
#include <limits>

#include "text.hpp"
#include "velk_compiler/layout.hpp"

namespace velk_compiler {
namespace {

constexpr std::uint32_t STAGING_ALIGNMENT = 16;

struct Lifetimes {
  std::vector<std::size_t> produced;
  std::vector<std::size_t> consumed;
};

// Fails with a Graph error when a phase names an operation or tensor the graph lacks.
Result<Lifetimes> tensor_lifetimes(const Graph& graph, std::span<const Phase> phases) {
  Lifetimes lifetimes{std::vector<std::size_t>(graph.tensors.size(), 0),
                      std::vector<std::size_t>(graph.tensors.size(), 0)};
  auto read = [&](TensorId tensor, std::size_t phase) {
    lifetimes.consumed[tensor.index] = std::max(lifetimes.consumed[tensor.index], phase);
  };
  const CompileError unknown = CompileError::graph("memory plan phase names an unknown operation or tensor");
  for (std::size_t p = 0; p < phases.size(); ++p) {
    if (const auto* compute = std::get_if<ComputePhase>(&phases[p])) {
      if (compute->op.index >= graph.ops.size()) return std::unexpected(unknown);
      const Op& op = graph.ops[compute->op.index];
      if (op.output.index >= graph.tensors.size()) return std::unexpected(unknown);
      lifetimes.produced[op.output.index] = p;
      for (const TensorId input : op.inputs) {
        if (input.index >= graph.tensors.size()) return std::unexpected(unknown);
        read(input, p);
      }
    } else {
      for (const Transfer& transfer : std::get<ExchangePhase>(phases[p]).transfers) {
        if (transfer.tensor.index >= graph.tensors.size()) return std::unexpected(unknown);
        read(transfer.tensor, p);
      }
    }
  }
  for (const TensorId output : graph.outputs) {
    if (output.index >= graph.tensors.size()) return std::unexpected(unknown);
    lifetimes.consumed[output.index] = phases.size();
  }
  return lifetimes;
}

// The first region of the tile that is live with the request and shares a byte with
// [address, end).
const Allocation* first_conflict(const PlacedRegions& placed, const RegionRequest& request, std::uint32_t address,
                                 std::uint32_t end) {
  if (request.tile >= placed.by_tile.size()) return nullptr;
  for (const std::size_t position : placed.by_tile[request.tile]) {
    const Allocation& other = placed.allocations[position];
    const std::uint64_t other_end = std::uint64_t{other.address} + other.size;
    if (lifetimes_overlap(request.live_from, request.live_until, other.live_from, other.live_until) &&
        address < other_end && other.address < end) {
      return &other;
    }
  }
  return nullptr;
}

Result<void> place_homes(PlacedRegions& placed, const Graph& graph, std::span<const Layout> layouts,
                         const Lifetimes& lifetimes, const CompilerOptions& options) {
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    const Tensor& tensor = graph.tensors[i];
    const Layout& layout = layouts[i];
    const std::size_t share = local_bytes(tensor, layout);
    const std::optional<std::uint32_t> size =
        share <= std::numeric_limits<std::uint32_t>::max()
            ? align_u32(static_cast<std::uint32_t>(share), layout.alignment)
            : std::nullopt;
    if (!size) return std::unexpected(oversized_share(tensor, share));
    const std::size_t produced = lifetimes.produced[i];
    const std::size_t consumed = std::max(lifetimes.consumed[i], produced);
    for (const std::uint16_t tile : layout.tiles) {
      const RegionRequest request{TensorId{i}, tile,    *size, produced, consumed, layout.alignment, Home{},
                                  options.data_base, options.data_limit, tensor.name};
      if (auto placed_home = allocate_region(placed, request); !placed_home) return placed_home;
    }
  }
  return {};
}

bool has_staging(const PlacedRegions& placed, TensorId tensor, std::uint16_t tile, std::size_t phase) {
  if (tile >= placed.by_tile.size()) return false;
  return std::any_of(placed.by_tile[tile].begin(), placed.by_tile[tile].end(), [&](std::size_t position) {
    const Allocation& a = placed.allocations[position];
    const auto* staging = std::get_if<ExchangeStaging>(&a.kind);
    return a.tensor == tensor && staging != nullptr && staging->phase == phase;
  });
}

Result<void> place_staging(PlacedRegions& placed, std::span<const Phase> phases, const CompilerOptions& options) {
  for (std::size_t p = 0; p < phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&phases[p]);
    if (exchange == nullptr) continue;
    for (const Transfer& transfer : exchange->transfers) {
      // One staging region serves every transfer of a tensor into a tile within one phase.
      if (has_staging(placed, transfer.tensor, transfer.destination_tile, p)) continue;
      const std::optional<std::uint32_t> size = align_u32(transfer.bytes, STAGING_ALIGNMENT);
      if (!size) return std::unexpected(CompileError::memory("address overflow"));
      const std::string label = fill("tensor {} exchange staging", {std::to_string(transfer.tensor.index)});
      const RegionRequest request{transfer.tensor, transfer.destination_tile, *size, p, p + 1, STAGING_ALIGNMENT,
                                  ExchangeStaging{p}, options.exchange_base, options.exchange_limit, label};
      if (auto placed_staging = allocate_region(placed, request); !placed_staging) return placed_staging;
    }
  }
  return {};
}

bool well_formed_layouts(const Graph& graph, std::span<const Layout> layouts) {
  if (layouts.size() != graph.tensors.size()) return false;
  return std::all_of(layouts.begin(), layouts.end(),
                     [](const Layout& layout) { return !layout.tiles.empty() && layout.alignment != 0; });
}

}  // namespace

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases, const CompilerOptions& options) {
  if (!well_formed_layouts(graph, layouts)) {
    return std::unexpected(CompileError::graph("memory plan needs one non-empty layout per tensor"));
  }
  const Result<Lifetimes> lifetimes = tensor_lifetimes(graph, phases);
  if (!lifetimes) return std::unexpected(lifetimes.error());
  PlacedRegions placed;
  if (auto homes = place_homes(placed, graph, layouts, *lifetimes, options); !homes) {
    return std::unexpected(homes.error());
  }
  if (auto staging = place_staging(placed, phases, options); !staging) return std::unexpected(staging.error());
  return std::move(placed.allocations);
}

Result<void> allocate_region(PlacedRegions& placed, const RegionRequest& request) {
  std::uint32_t address = request.allocation_base;
  for (;;) {
    const std::uint64_t end = std::uint64_t{address} + request.size;
    if (end > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(CompileError::memory("address overflow"));
    const Allocation* conflict = first_conflict(placed, request, address, static_cast<std::uint32_t>(end));
    if (conflict == nullptr) {
      if (end > request.allocation_limit) {
        return std::unexpected(CompileError::memory(fill("tile {} exceeds data limit allocating {}",
                                                         {std::to_string(request.tile), request.label})));
      }
      break;
    }
    // The conflicting region ends within 32 bits: it was placed by this same walk.
    const std::optional<std::uint32_t> next = align_u32(conflict->address + conflict->size, request.alignment);
    if (!next) return std::unexpected(CompileError::memory("address overflow"));
    address = *next;
  }
  if (request.tile >= placed.by_tile.size()) placed.by_tile.resize(std::size_t{request.tile} + 1);
  placed.by_tile[request.tile].push_back(placed.allocations.size());
  placed.allocations.push_back(Allocation{request.tensor, request.tile, address, request.size, request.live_from,
                                          request.live_until, request.kind});
  return {};
}

bool lifetimes_overlap(std::size_t a_start, std::size_t a_end, std::size_t b_start, std::size_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0) return std::nullopt;
  const std::uint64_t rounded = (std::uint64_t{value} + alignment - 1) / alignment * alignment;
  if (rounded > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(rounded);
}

std::map<std::uint16_t, std::uint32_t> peak_sram(std::span<const Allocation> allocations, std::uint32_t memory_base) {
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (const Allocation& a : allocations) {
    const std::uint64_t end = std::uint64_t{a.address} + a.size;
    const auto value = static_cast<std::uint32_t>(end > memory_base ? end - memory_base : 0);
    auto [entry, inserted] = peaks.try_emplace(a.tile, value);
    if (!inserted) entry->second = std::max(entry->second, value);
  }
  return peaks;
}

CompileError oversized_share(const Tensor& tensor, std::size_t bytes) {
  return CompileError::memory(
      fill("tensor {} share of {} bytes does not fit in tile memory", {tensor.name, std::to_string(bytes)}));
}

}  // namespace velk_compiler
