// The tile memory planner: a home region for every tensor on every tile of its layout, in
// the data window, and a staging region on the receiving tile for every tensor an exchange
// phase brings in, in the exchange window. Two regions of one tile never share a byte
// while both are live; lifetimes are closed ranges of phase indices (lifetime.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velk_compiler/graph.hpp"
#include "velk_compiler/lifetime.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

// Every allocation, in placement order: all homes (by tensor, then layout tile), then the
// staging regions (by exchange phase, then transfer). Requires one layout per tensor,
// each with at least one tile and a non-zero alignment, and phases whose operations and
// transfer tensors exist in the graph; anything else is refused with a Graph error.
[[nodiscard]] Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                                          std::span<const Phase> phases,
                                                          const CompilerOptions& options);

// Names a region in the planner's messages: a home by its tensor's name, a staging region
// as "tensor {} exchange staging".
struct RegionLabel {
  std::string_view name;                      // a home: its tensor's name
  std::optional<std::size_t> staging_tensor;  // a staging region: its tensor's index
  std::string text() const;
  bool operator==(const RegionLabel&) const = default;
};

// One region to place with `allocate_region`.
struct RegionRequest {
  TensorId tensor;
  std::uint16_t tile = 0;
  std::uint32_t size = 0;
  std::size_t live_from = 0;
  std::size_t live_until = 0;
  std::uint32_t alignment = 1;
  AllocationKind kind;
  std::uint32_t allocation_base = 0;
  std::uint32_t allocation_limit = 0;
  RegionLabel label;
};

// One region of the plan, in placement order. `bytes` is the share (a home) or the transfer
// size (a staging region) before rounding; `refusal` holds the error when that cannot become
// a 32-bit region, and the plan fails there, in its place.
struct PlannedRegion {
  RegionRequest request;
  std::uint64_t bytes = 0;
  std::optional<CompileError> refusal;
};

// The regions of the plan in placement order: a home for every tensor on every tile of its
// layout (by tensor, then layout tile), then one staging region per tensor, destination tile
// and exchange phase (by phase, then transfer). Lifetimes: a home from the phase producing
// its tensor to the last phase reading it (graph outputs through the phase count); a staging
// region of phase p for p and p + 1. Refuses inputs that break plan_memory's requirements.
[[nodiscard]] Result<std::vector<PlannedRegion>> planned_regions(const Graph& graph, std::span<const Layout> layouts,
                                                                 std::span<const Phase> phases,
                                                                 const CompilerOptions& options);

// A placed region as its tile's list holds it: lifetime and bytes, and its position in
// `PlacedRegions::allocations`.
struct TileRegion {
  std::size_t live_until = 0;
  std::size_t live_from = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::size_t position = 0;
  auto operator<=>(const TileRegion&) const = default;
};

// The regions placed so far, and for each tile its regions ordered by end of life, so that
// the regions still live at a phase are found without visiting those that ended before it
// (home and staging regions share one list per tile).
struct PlacedRegions {
  std::vector<Allocation> allocations;
  std::vector<std::vector<TileRegion>> by_tile;
  std::vector<TileRegion> live_scratch;  // working space of allocate_region
};

// First fit from the window's base (not rounded up): the lowest position that is the base
// or a multiple of the alignment above it where the region collides with no region of the
// tile that is live with it. The limit is checked once that position is found. Fails with
// "address overflow" or "tile {} exceeds data limit allocating {}"; on failure the regions
// are unchanged.
[[nodiscard]] Result<void> allocate_region(PlacedRegions& placed, const RegionRequest& request);

// `value` rounded up to a multiple of `alignment`; nothing when `alignment` is 0 or the
// result does not fit in 32 bits.
std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment);

// Peak memory per tile: the highest end (address + size) of each tile's regions, counted
// from `memory_base`. Tiles without regions have no entry.
std::map<std::uint16_t, std::uint32_t> peak_sram(std::span<const Allocation> allocations, std::uint32_t memory_base);

// The Memory error for a per-tile share that cannot be a 32-bit size.
CompileError oversized_share(const Tensor& tensor, std::size_t bytes);

}  // namespace velk_compiler
