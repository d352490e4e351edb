// A schedule with one exchange phase holding the given transfers, for the tests that read
// launches: 16 tiles, and for every transfer a home of its tensor on its source tile
// (0x62000) and a staging region of phase 0 on its destination (0x52000), each made once and
// as large as the first transfer that needs it, live in phases 0 to 1.
#pragma once

#include <algorithm>
#include <span>
#include <vector>

#include "velk_compiler/schedule.hpp"

namespace velk_views {

inline velk_compiler::Schedule exchange_schedule(std::span<const velk_compiler::Transfer> transfers) {
  namespace vc = velk_compiler;
  const auto has = [](const vc::Schedule& schedule, vc::TensorId tensor, std::uint16_t tile,
                      const vc::AllocationKind& kind) {
    return std::any_of(schedule.allocations.begin(), schedule.allocations.end(),
                       [&](const vc::Allocation& a) { return a.tensor == tensor && a.tile == tile && a.kind == kind; });
  };
  vc::Schedule schedule;
  schedule.tile_count = 16;
  schedule.phases = {vc::ExchangePhase{std::vector<vc::Transfer>(transfers.begin(), transfers.end())}};
  for (const vc::Transfer& t : transfers) {
    if (!has(schedule, t.tensor, t.source_tile, vc::Home{})) {
      schedule.allocations.push_back(vc::Allocation{t.tensor, t.source_tile, 0x62000, t.bytes, 0, 1, vc::Home{}});
    }
    if (!has(schedule, t.tensor, t.destination_tile, vc::ExchangeStaging{0})) {
      schedule.allocations.push_back(
          vc::Allocation{t.tensor, t.destination_tile, 0x52000, t.bytes, 0, 1, vc::ExchangeStaging{0}});
    }
  }
  return schedule;
}

}  // namespace velk_views
