// The steps of exchange lowering over one shared allocation index, so that a whole
// lowering call (and the per-tile lowering around it) indexes the allocations once. The
// public entry points build an index and call these.
#pragma once

#include <span>
#include <vector>

#include "allocation_index.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/exchange_scheduler.hpp"

namespace velk_exchange {
struct Topology;
}

namespace velk_compiler {

Result<std::vector<std::vector<PendingGroup>>> exchange_slots(const AllocationIndex& index, std::size_t phase,
                                                              std::span<const Transfer> transfers);

Result<LoweredExchangePhase> assemble_exchange_phase(const AllocationIndex& index,
                                                     const velk_exchange::Topology& topology, std::size_t phase,
                                                     const std::vector<std::vector<PendingGroup>>& slots);

Result<std::vector<LoweredExchangePhase>> lower_exchanges(const Schedule& schedule, const AllocationIndex& index,
                                                          const velk_exchange::Topology& topology);

}  // namespace velk_compiler
