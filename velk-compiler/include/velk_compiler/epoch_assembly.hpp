// Exchange epoch assembly: the second half of lowering one exchange phase. Each colour
// slot starts one cycle after every event of the slots before it; every group becomes a
// multicast planned at its slot's offset with the real source and staging addresses
// written into its rows, and every tile's rows are joined into one program padded to the
// launch's horizon.
#pragma once

#include <cstddef>
#include <vector>

#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/exchange_scheduler.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_exchange {
struct Topology;
}

namespace velk_compiler {

// The allocation a group of exchange phase `phase` sends from on `tile`: the tile's staging
// region of this phase (it passes on what it received earlier in the launch), else a staging
// region of an earlier phase still live at `phase`, else its home; each time the first match
// in allocation order. Nothing when the tile holds no copy.
const Allocation* exchange_source_allocation(const Schedule& schedule, TensorId tensor, std::uint16_t tile,
                                             std::size_t phase);

// Lowers exchange phase `phase` from its ordered colour slots into at most one launch.
[[nodiscard]] Result<LoweredExchangePhase> assemble_exchange_phase(const Schedule& schedule,
                                                                   const velk_exchange::Topology& topology,
                                                                   std::size_t phase,
                                                                   const std::vector<std::vector<PendingGroup>>& slots);

}  // namespace velk_compiler
