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
#include <tuple>

#include "placement_classes.hpp"
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
[[nodiscard]] Result<Lifetimes> tensor_lifetimes(const Graph& graph, std::span<const Phase> phases) {
  Lifetimes lifetimes{std::vector<std::size_t>(graph.tensors.size(), 0),
                      std::vector<std::size_t>(graph.tensors.size(), 0)};
  auto read = [&](TensorId tensor, std::size_t phase) {
    lifetimes.consumed[tensor.index] = std::max(lifetimes.consumed[tensor.index], phase);
  };
  const auto unknown = [] { return CompileError::graph("memory plan phase names an unknown operation or tensor"); };
  for (std::size_t p = 0; p < phases.size(); ++p) {
    if (const auto* compute = std::get_if<ComputePhase>(&phases[p])) {
      if (compute->op.index >= graph.ops.size()) return std::unexpected(unknown());
      const Op& op = graph.ops[compute->op.index];
      if (op.output.index >= graph.tensors.size()) return std::unexpected(unknown());
      lifetimes.produced[op.output.index] = p;
      for (const TensorId input : op.inputs) {
        if (input.index >= graph.tensors.size()) return std::unexpected(unknown());
        read(input, p);
      }
    } else {
      for (const Transfer& transfer : std::get<ExchangePhase>(phases[p]).transfers) {
        if (transfer.tensor.index >= graph.tensors.size()) return std::unexpected(unknown());
        read(transfer.tensor, p);
      }
    }
  }
  for (const TensorId output : graph.outputs) {
    if (output.index >= graph.tensors.size()) return std::unexpected(unknown());
    lifetimes.consumed[output.index] = phases.size();
  }
  return lifetimes;
}

bool well_formed_layouts(const Graph& graph, std::span<const Layout> layouts) {
  if (layouts.size() != graph.tensors.size()) return false;
  return std::all_of(layouts.begin(), layouts.end(),
                     [](const Layout& layout) { return !layout.tiles.empty() && layout.alignment != 0; });
}

// Calls visit(region) for every home, by tensor and then layout tile, until visit returns
// false; returns whether every call returned true.
template <class Visit>
bool visit_homes(const Graph& graph, std::span<const Layout> layouts, const Lifetimes& lifetimes,
                 const CompilerOptions& options, Visit& visit) {
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    const Tensor& tensor = graph.tensors[i];
    const Layout& layout = layouts[i];
    const std::size_t share = local_bytes(tensor, layout);
    const std::optional<std::uint32_t> size = share <= std::numeric_limits<std::uint32_t>::max()
                                                  ? align_u32(static_cast<std::uint32_t>(share), layout.alignment)
                                                  : std::nullopt;
    const std::size_t produced = lifetimes.produced[i];
    const std::size_t consumed = std::max(lifetimes.consumed[i], produced);
    PlannedRegion region{RegionRequest{TensorId{i},
                                       0,
                                       size.value_or(0),
                                       produced,
                                       consumed,
                                       layout.alignment,
                                       Home{},
                                       options.data_base,
                                       options.data_limit,
                                       {tensor.name, {}}},
                         share, size ? std::nullopt : std::optional<CompileError>(oversized_share(tensor, share))};
    for (const std::uint16_t tile : layout.tiles) {
      region.request.tile = tile;
      if (!visit(region)) return false;
    }
  }
  return true;
}

// For each transfer of an exchange phase, whether it is the first of the phase to bring its
// tensor into its destination tile: one staging region serves all such transfers.
std::vector<bool> first_into_tile(std::span<const Transfer> transfers) {
  std::vector<std::size_t> order(transfers.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto key = [&](std::size_t i) { return std::tuple(transfers[i].tensor, transfers[i].destination_tile, i); };
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
  std::vector<bool> first(transfers.size(), false);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const Transfer& transfer = transfers[order[k]];
    const Transfer* before = k == 0 ? nullptr : &transfers[order[k - 1]];
    first[order[k]] =
        before == nullptr || before->tensor != transfer.tensor || before->destination_tile != transfer.destination_tile;
  }
  return first;
}

// Calls visit(region) for every staging region, by phase and then transfer, until visit
// returns false.
template <class Visit>
void visit_staging(std::span<const Phase> phases, const CompilerOptions& options, Visit& visit) {
  for (std::size_t p = 0; p < phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&phases[p]);
    if (exchange == nullptr) continue;
    const std::vector<bool> first = first_into_tile(exchange->transfers);
    for (std::size_t t = 0; t < exchange->transfers.size(); ++t) {
      if (!first[t]) continue;
      const Transfer& transfer = exchange->transfers[t];
      const std::optional<std::uint32_t> size = align_u32(transfer.bytes, STAGING_ALIGNMENT);
      const RegionRequest request{transfer.tensor,
                                  transfer.destination_tile,
                                  size.value_or(0),
                                  p,
                                  p + 1,
                                  STAGING_ALIGNMENT,
                                  ExchangeStaging{p},
                                  options.exchange_base,
                                  options.exchange_limit,
                                  {{}, transfer.tensor.index}};
      const std::optional<CompileError> refusal =
          size ? std::nullopt : std::optional<CompileError>(CompileError::memory("address overflow"));
      if (!visit(PlannedRegion{request, transfer.bytes, refusal})) return;
    }
  }
}

// Every region of the plan, in placement order, through visit(region) until it returns
// false. Refuses what planned_regions refuses.
template <class Visit>
[[nodiscard]] Result<void> visit_planned_regions(const Graph& graph, std::span<const Layout> layouts,
                                                 std::span<const Phase> phases, const CompilerOptions& options,
                                                 Visit visit) {
  if (!well_formed_layouts(graph, layouts)) {
    return std::unexpected(CompileError::graph("memory plan needs one non-empty layout per tensor"));
  }
  const Result<Lifetimes> lifetimes = tensor_lifetimes(graph, phases);
  if (!lifetimes) return std::unexpected(lifetimes.error());
  if (visit_homes(graph, layouts, *lifetimes, options, visit)) visit_staging(phases, options, visit);
  return {};
}

// An upper bound of the plan's region count: every home, and a staging region per transfer.
std::size_t most_regions(std::span<const Layout> layouts, std::span<const Phase> phases) {
  std::size_t count = 0;
  for (const Layout& layout : layouts) count += layout.tiles.size();
  for (const Phase& phase : phases) {
    if (const auto* exchange = std::get_if<ExchangePhase>(&phase)) count += exchange->transfers.size();
  }
  return count;
}

}  // namespace

Result<std::vector<PlannedRegion>> planned_regions(const Graph& graph, std::span<const Layout> layouts,
                                                   std::span<const Phase> phases, const CompilerOptions& options) {
  std::vector<PlannedRegion> regions;
  auto visited = visit_planned_regions(graph, layouts, phases, options, [&](const PlannedRegion& region) {
    regions.push_back(region);
    return true;
  });
  if (!visited) return std::unexpected(visited.error());
  return regions;
}

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases, const CompilerOptions& options) {
  std::vector<Allocation> allocations;
  std::optional<CompileError> failure;
  PlacementClasses classes;
  auto visited = visit_planned_regions(graph, layouts, phases, options, [&](const PlannedRegion& region) {
    if (allocations.capacity() == 0) allocations.reserve(most_regions(layouts, phases));
    if (region.refusal) {
      failure = region.refusal;
      return false;
    }
    const RegionRequest& r = region.request;
    const Result<std::uint32_t> address = classes.place(r);
    if (!address) {
      failure = address.error();
      return false;
    }
    // Written in place: a record built aside and then copied in stalls on its own stores.
    Allocation& placed = allocations.emplace_back();
    placed.tensor = r.tensor;
    placed.tile = r.tile;
    placed.address = *address;
    placed.size = r.size;
    placed.live_from = r.live_from;
    placed.live_until = r.live_until;
    placed.kind = r.kind;
    return true;
  });
  if (!visited) return std::unexpected(visited.error());
  if (failure) return std::unexpected(*failure);
  return allocations;
}

// The lowest position that is the window's base or a multiple of the alignment above it
// and collides with no region of the tile that is live with the request. The live regions
// are gathered through the tile's list ordered by end of life, then swept in address order:
// a live region that overlaps the candidate pushes it to the region's end rounded up to the
// alignment, and once a region starts at or past the candidate's end so do all later ones.
// This is exactly the position a first-fit walk from the base reaches when it restarts from
// the front after every collision, with the same "address overflow" cases.
Result<std::uint32_t> first_fit(std::span<const TileRegion> tile_regions, const RegionRequest& request,
                                std::vector<TileRegion>& live) {
  constexpr std::uint64_t top = std::numeric_limits<std::uint32_t>::max();
  const auto overflow = [] { return CompileError::memory("address overflow"); };
  live.clear();
  const auto first_live =
      std::lower_bound(tile_regions.begin(), tile_regions.end(), TileRegion{request.live_from, 0, 0, 0, 0});
  for (auto region = first_live; region != tile_regions.end(); ++region) {
    if (lifetimes_overlap(request.live_from, request.live_until, region->live_from, region->live_until)) {
      live.push_back(*region);
    }
  }
  std::sort(live.begin(), live.end(), [](const TileRegion& a, const TileRegion& b) { return a.address < b.address; });

  std::uint64_t address = request.allocation_base;
  if (address + request.size > top) return std::unexpected(overflow());
  for (const TileRegion& other : live) {
    if (other.address >= address + request.size) break;
    const std::uint64_t other_end = std::uint64_t{other.address} + other.size;
    if (other_end <= address) continue;
    // Regions placed here end within 32 bits, so their end is a valid 32-bit value.
    const std::optional<std::uint32_t> next = align_u32(static_cast<std::uint32_t>(other_end), request.alignment);
    if (!next || std::uint64_t{*next} + request.size > top) return std::unexpected(overflow());
    address = *next;
  }
  if (address + request.size > request.allocation_limit) {
    return std::unexpected(CompileError::memory(
        fill("tile {} exceeds data limit allocating {}", {std::to_string(request.tile), request.label.text()})));
  }
  return static_cast<std::uint32_t>(address);
}

Result<void> allocate_region(PlacedRegions& placed, const RegionRequest& request) {
  if (request.tile >= placed.by_tile.size()) placed.by_tile.resize(std::size_t{request.tile} + 1);
  std::vector<TileRegion>& tile_regions = placed.by_tile[request.tile];
  const Result<std::uint32_t> address = first_fit(tile_regions, request, placed.live_scratch);
  if (!address) return std::unexpected(address.error());
  const TileRegion entry{request.live_until, request.live_from, *address, request.size, placed.allocations.size()};
  tile_regions.insert(std::upper_bound(tile_regions.begin(), tile_regions.end(), entry), entry);
  placed.allocations.push_back(Allocation{request.tensor, request.tile, *address, request.size, request.live_from,
                                          request.live_until, request.kind});
  return {};
}

std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0) return std::nullopt;
  const std::uint64_t rounded = (std::uint64_t{value} + alignment - 1) / alignment * alignment;
  if (rounded > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(rounded);
}

std::map<std::uint16_t, std::uint32_t> peak_sram(std::span<const Allocation> allocations, std::uint32_t memory_base) {
  std::vector<std::optional<std::uint32_t>> by_tile;
  for (const Allocation& a : allocations) {
    const std::uint64_t end = std::uint64_t{a.address} + a.size;
    // An end beyond 32 bits cannot come from the planner; it saturates rather than wraps.
    const std::uint64_t above_base = end > memory_base ? end - memory_base : 0;
    const auto value = static_cast<std::uint32_t>(std::min<std::uint64_t>(above_base, 0xFFFFFFFF));
    if (a.tile >= by_tile.size()) by_tile.resize(std::size_t{a.tile} + 1);
    by_tile[a.tile] = std::max(by_tile[a.tile].value_or(0), value);
  }
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (std::size_t tile = 0; tile < by_tile.size(); ++tile) {
    if (by_tile[tile]) peaks.emplace_hint(peaks.end(), static_cast<std::uint16_t>(tile), *by_tile[tile]);
  }
  return peaks;
}

std::string RegionLabel::text() const {
  if (staging_tensor) return fill("tensor {} exchange staging", {std::to_string(*staging_tensor)});
  return std::string(name);
}

CompileError oversized_share(const Tensor& tensor, std::size_t bytes) {
  return CompileError::memory(
      fill("tensor {} share of {} bytes does not fit in tile memory", {tensor.name, std::to_string(bytes)}));
}

}  // namespace velk_compiler
