// Helpers shared by the scenario checks.
#include "scenario_support.hpp"

#include <algorithm>

#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {

CheckOutcome check_epoch_rows(const LoweredExchangeEpoch& epoch) {
  for (const auto& [tile, row] : epoch.tile_rows) {
    const std::string where = "row of tile " + std::to_string(tile);
    if (std::count(row.begin(), row.end(), velk_exchange::ROW_ENTRY_WORD) != 1 ||
        std::count(row.begin(), row.end(), velk_exchange::ROW_RETURN_WORD) != 1) {
      return fail(where + " does not hold exactly one entry and one return word");
    }
    const velk_exchange::Result<std::uint32_t> cycles = velk_exchange::plan_event_cycles(row);
    if (!cycles || *cycles != epoch.cost.estimated_cycles) {
      return fail(where + " does not cover the launch's " + std::to_string(epoch.cost.estimated_cycles) + " cycles");
    }
  }
  return {};
}

}  // namespace velk_compiler
