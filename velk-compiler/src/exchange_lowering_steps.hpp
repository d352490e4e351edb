// The steps of exchange lowering and per-tile lowering over one shared allocation index, so
// that a whole lowering call indexes the allocations once. The public entry points build an
// index and call these.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "allocation_index.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/exchange_scheduler.hpp"
#include "velk_compiler/tile_program.hpp"

namespace velk_exchange {
struct Topology;
}

namespace velk_compiler {

[[nodiscard]] Result<std::vector<std::vector<PendingGroup>>> exchange_slots(const AllocationIndex& index,
                                                                            std::size_t phase,
                                                                            std::span<const Transfer> transfers);

[[nodiscard]] Result<LoweredExchangePhase> assemble_exchange_phase(const AllocationIndex& index,
                                                                   const velk_exchange::Topology& topology,
                                                                   std::size_t phase,
                                                                   const std::vector<std::vector<PendingGroup>>& slots);

// Every exchange phase lowered, and per lowered phase the colour slot of each of its groups.
struct SlottedExchanges {
  std::vector<LoweredExchangePhase> phases;
  std::vector<std::vector<std::size_t>> group_slots;
};

// Emits "lowered exchange schedule".
[[nodiscard]] Result<SlottedExchanges> lower_exchanges_with_slots(const Schedule& schedule,
                                                                  const AllocationIndex& index,
                                                                  const velk_exchange::Topology& topology);

// One program per tile from exchanges already lowered. Emits "lowered per-tile programs".
[[nodiscard]] Result<std::vector<LoweredTileProgram>> lower_tile_programs(
    const Schedule& schedule, const AllocationIndex& index, std::span<const LoweredExchangePhase> exchanges);

}  // namespace velk_compiler
