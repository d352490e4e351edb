// The exchange scheduler's fixture.
#include "exchange_schedule.hpp"

#include <algorithm>

namespace velk_compiler {
namespace {

bool has_allocation(const Schedule& schedule, TensorId tensor, std::uint16_t tile, const AllocationKind& kind) {
  return std::any_of(schedule.allocations.begin(), schedule.allocations.end(),
                     [&](const Allocation& a) { return a.tensor == tensor && a.tile == tile && a.kind == kind; });
}

}  // namespace

Schedule exchange_schedule(std::span<const Transfer> transfers) {
  Schedule schedule;
  schedule.tile_count = 16;
  schedule.phases = {ExchangePhase{std::vector<Transfer>(transfers.begin(), transfers.end())}};
  for (const Transfer& t : transfers) {
    if (!has_allocation(schedule, t.tensor, t.source_tile, Home{})) {
      schedule.allocations.push_back(Allocation{t.tensor, t.source_tile, 0x62000, t.bytes, 0, 1, Home{}});
    }
    if (!has_allocation(schedule, t.tensor, t.destination_tile, ExchangeStaging{0})) {
      schedule.allocations.push_back(
          Allocation{t.tensor, t.destination_tile, 0x52000, t.bytes, 0, 1, ExchangeStaging{0}});
    }
  }
  return schedule;
}

}  // namespace velk_compiler
