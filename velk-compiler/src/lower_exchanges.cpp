// Schedule::lower_exchanges: every exchange phase becomes one launch. The scheduler orders
// each phase's groups into colour slots; epoch assembly turns the slots into rows and costs.
#include <algorithm>

#include "exchange_lowering_steps.hpp"
#include "velk_compiler/epoch_assembly.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/exchange_scheduler.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {

Result<std::vector<LoweredExchangePhase>> Schedule::lower_exchanges(const velk_exchange::Topology& topology) const {
  Result<SlottedExchanges> lowered = lower_exchanges_with_slots(*this, AllocationIndex(allocations), topology);
  if (!lowered) return std::unexpected(lowered.error());
  return std::move(lowered->phases);
}

Result<SlottedExchanges> lower_exchanges_with_slots(const Schedule& schedule, const AllocationIndex& index,
                                                    const velk_exchange::Topology& topology) {
  if (topology.tile_count() < schedule.tile_count) {
    return std::unexpected(CompileError::graph("exchange topology has too few tiles"));
  }
  SlottedExchanges lowered;
  std::uint64_t launches = 0;
  const auto exchange_phases =
      static_cast<std::uint64_t>(std::count_if(schedule.phases.begin(), schedule.phases.end(), [](const Phase& p) {
        return std::holds_alternative<ExchangePhase>(p);
      }));
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const auto* exchange = std::get_if<ExchangePhase>(&schedule.phases[p]);
    if (exchange == nullptr) continue;
    Result<std::vector<std::vector<PendingGroup>>> slots = exchange_slots(index, p, exchange->transfers);
    if (!slots) return std::unexpected(slots.error());
    Result<LoweredExchangePhase> phase = assemble_exchange_phase(index, topology, p, *slots);
    if (!phase) return std::unexpected(phase.error());
    launches += phase->cost.launches;
    lowered.phases.push_back(std::move(*phase));
    // Assembly keeps the groups slot by slot, so group g of the launch runs in the slot
    // whose run of groups holds position g.
    std::vector<std::size_t>& group_slots = lowered.group_slots.emplace_back();
    for (std::size_t s = 0; s < slots->size(); ++s) group_slots.insert(group_slots.end(), (*slots)[s].size(), s);
    velk_log::report_progress("velk_compiler", "exchange launches", lowered.phases.size(), exchange_phases, "phases");
  }
  velk_log::emit(velk_log::Level::Info, "velk_compiler", "lowered exchange schedule",
                 {{"phases", std::uint64_t{lowered.phases.size()}}, {"launches", launches}});
  return lowered;
}

}  // namespace velk_compiler
