// The straightforward forms of the hot stages: each rule followed literally, as the first
// complete version of the compiler did, with no index, no shared work and no early exit
// that the rule does not state. They give exactly the fast stages' values and errors, and
// are kept for two uses: the oracle tests compare the stages with them on many seeded
// cases, and the benchmarks measure the stages side by side with them.
//
//   first fit        a walk from the window's base that restarts after every collision,
//                    over the tile's whole list of regions
//   compile          every launch's kernel key made on its own, a set of transfer targets,
//                    a staging region found by scanning the tile's list, every label
//                    formatted, every region placed by the walk
//   conflicts        every pair of groups tested
//   colouring        saturation recomputed for every group at every step
//   tile programs    tile by tile, phase by phase, addresses by scanning the allocations
//   commands         one walk over all phases per tile
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "velk_compiler/velk_compiler.hpp"

namespace velk_exchange {
struct Topology;
}

namespace velk_compiler::straightforward {

struct WalkRegions {
  std::vector<Allocation> allocations;
  std::map<std::uint16_t, std::vector<Allocation>> by_tile;
};

// allocate_region by the restarting walk.
[[nodiscard]] Result<void> walk_allocate(WalkRegions& placed, const RegionRequest& request);

// compile, stage by stage as written; no log events.
[[nodiscard]] Result<Schedule> compile(const Graph& graph, const CompilerOptions& options);

// exchange_conflict_graph over every pair of groups.
std::vector<std::vector<std::size_t>> all_pairs_conflicts(std::span<const PendingGroup> groups);

// color_exchange_groups, recomputing every saturation at every step.
std::vector<std::size_t> rescanning_dsatur(std::span<const PendingGroup> groups,
                                           const std::vector<std::vector<std::size_t>>& adjacency);

// Schedule::lower_exchanges with the two forms above and slot order by scanning.
[[nodiscard]] Result<std::vector<LoweredExchangePhase>> lower_exchanges(const Schedule& schedule,
                                                                        const velk_exchange::Topology& topology);

// Schedule::lower_tile_programs from lowered exchanges, with the schedule's scanning lookups.
[[nodiscard]] Result<std::vector<LoweredTileProgram>> tile_programs(const Schedule& schedule,
                                                                    std::span<const LoweredExchangePhase> exchanges);

// build_program: the forms above, then Schedule::tile_commands tile by tile. The colour
// slots are not kept (group_slots stays empty).
[[nodiscard]] Result<Program> build_program(const Graph& graph, const CompilerOptions& options,
                                            const velk_exchange::Topology& topology);

}  // namespace velk_compiler::straightforward
