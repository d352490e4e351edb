// Exchange epoch assembly.
//
// Timing: every group of a slot is planned with the slot's offset, and the next slot's
// offset is one cycle past the latest event end of every row so far, so the event windows
// of successive slots never overlap. Within a slot no tile has two roles, so each tile's
// rows reach its program builder in time order and keep their planned cycles; a tile with
// roles in several slots (a relay, or a tile that sends and later receives) plays them one
// after the other in one program. All programs are padded to the same horizon.
#include "velk_compiler/epoch_assembly.hpp"

#include <map>
#include <optional>

#include "allocation_index.hpp"
#include "exchange_lowering_steps.hpp"
#include "text.hpp"
#include "velk_compiler/lifetime.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

using velk_exchange::PlanProgramBuilder;

// The source copy rule over any lookup `first(tensor, tile, predicate)` that returns the
// first matching allocation in list order.
template <class Lookup>
const Allocation* source_allocation(const Lookup& first, TensorId tensor, std::uint16_t tile, std::size_t phase) {
  if (const Allocation* relayed =
          first(tensor, tile, [phase](const Allocation& a) { return is_staging_of(a, phase); })) {
    return relayed;
  }
  const Allocation* kept = first(tensor, tile, [phase](const Allocation& a) { return kept_staging_at(a, phase); });
  if (kept != nullptr) return kept;
  return first(tensor, tile, is_home);
}

std::string index_text(std::size_t value) { return std::to_string(value); }

// Everything one group contributes to its launch.
struct PlannedGroup {
  LoweredExchangeGroup group;
  std::uint32_t words = 0;
};

[[nodiscard]] Result<PlannedGroup> plan_group(const AllocationIndex& index, const velk_exchange::Topology& topology,
                                              std::size_t phase, const PendingGroup& pending,
                                              std::uint32_t schedule_offset) {
  const auto tensor = [&pending] { return index_text(pending.tensor.index); };  // only for a message
  if (pending.bytes == 0 || pending.bytes % 4 != 0) {
    return std::unexpected(CompileError::graph(fill("tensor {} exchange size is not whole words", {tensor()})));
  }
  const std::uint32_t words = pending.bytes / 4;
  const Allocation* source = source_allocation(IndexedLookup{index}, pending.tensor, pending.source, phase);
  if (source == nullptr) {
    return std::unexpected(CompileError::memory(
        fill("missing source allocation for tensor {} on tile {}", {tensor(), index_text(pending.source)})));
  }
  std::vector<std::uint32_t> destination_addresses;
  destination_addresses.reserve(pending.destinations.size());
  for (const std::uint16_t destination : pending.destinations) {
    const Allocation* staging =
        index.first(pending.tensor, destination, [phase](const Allocation& a) { return is_staging_of(a, phase); });
    if (staging == nullptr) {
      return std::unexpected(CompileError::memory(
          fill("missing staging allocation for tensor {} on tile {}", {tensor(), index_text(destination)})));
    }
    destination_addresses.push_back(staging->address);
  }

  Result<velk_exchange::MulticastPlan> plan =
      topology.multicast(pending.source, pending.destinations, words, schedule_offset);
  if (!plan) return std::unexpected(plan.error());
  if (auto patched = velk_exchange::patch_sender_address(plan->sender, source->address); !patched) {
    return std::unexpected(patched.error());
  }
  for (std::size_t i = 0; i < plan->receivers.size() && i < destination_addresses.size(); ++i) {
    if (auto patched = velk_exchange::patch_multicast_receiver_address(plan->receivers[i], destination_addresses[i]);
        !patched) {
      return std::unexpected(patched.error());
    }
  }

  return PlannedGroup{
      LoweredExchangeGroup{pending.source, pending.destinations, pending.tensor, pending.bytes,
                           ExchangeAddressing::Absolute, std::move(plan->sender), std::move(plan->receivers)},
      words};
}

// The cycle at which the group's last event ends: the greatest event total of its rows.
[[nodiscard]] Result<std::uint32_t> group_cycles(const LoweredExchangeGroup& group) {
  Result<std::uint32_t> cycles = velk_exchange::plan_event_cycles(group.sender);
  for (const velk_exchange::Row& row : group.receivers) {
    if (!cycles) break;
    const Result<std::uint32_t> receiver_cycles = velk_exchange::plan_event_cycles(row);
    if (!receiver_cycles) return receiver_cycles;
    *cycles = std::max(*cycles, *receiver_cycles);
  }
  return cycles;
}

// One program under construction per tile with a role in the launch, made at the tile's
// first row and finished in ascending tile order.
class TileBuilders {
 public:
  PlanProgramBuilder& of(std::uint16_t tile) {
    if (tile >= builders_.size()) builders_.resize(std::size_t{tile} + 1);
    if (!builders_[tile]) builders_[tile].emplace();
    return *builders_[tile];
  }

  // Every finished program, keyed by tile.
  [[nodiscard]] Result<std::map<std::uint16_t, std::vector<std::uint32_t>>> finish(std::uint32_t horizon) && {
    std::map<std::uint16_t, std::vector<std::uint32_t>> rows;
    for (std::size_t tile = 0; tile < builders_.size(); ++tile) {
      if (!builders_[tile]) continue;
      Result<std::vector<std::uint32_t>> program = std::move(*builders_[tile]).finish(horizon);
      if (!program) return std::unexpected(program.error());
      rows.emplace_hint(rows.end(), static_cast<std::uint16_t>(tile), std::move(*program));
    }
    return rows;
  }

 private:
  std::vector<std::optional<PlanProgramBuilder>> builders_;
};

[[nodiscard]] Result<void> append_rows(TileBuilders& builders, const LoweredExchangeGroup& group) {
  if (auto appended = builders.of(group.source_tile).append_scheduled_row(group.sender); !appended) {
    return std::unexpected(appended.error());
  }
  for (std::size_t i = 0; i < group.destination_tiles.size() && i < group.receivers.size(); ++i) {
    if (auto appended = builders.of(group.destination_tiles[i]).append_scheduled_row(group.receivers[i]); !appended) {
      return std::unexpected(appended.error());
    }
  }
  return {};
}

}  // namespace

const Allocation* exchange_source_allocation(const Schedule& schedule, TensorId tensor, std::uint16_t tile,
                                             std::size_t phase) {
  return source_allocation(ListLookup{schedule.allocations}, tensor, tile, phase);
}

Result<LoweredExchangePhase> assemble_exchange_phase(const Schedule& schedule, const velk_exchange::Topology& topology,
                                                     std::size_t phase,
                                                     const std::vector<std::vector<PendingGroup>>& slots) {
  return assemble_exchange_phase(AllocationIndex(schedule.allocations), topology, phase, slots);
}

Result<LoweredExchangePhase> assemble_exchange_phase(const AllocationIndex& index,
                                                     const velk_exchange::Topology& topology, std::size_t phase,
                                                     const std::vector<std::vector<PendingGroup>>& slots) {
  std::vector<LoweredExchangeGroup> lowered_groups;
  std::size_t group_count = 0;
  for (const std::vector<PendingGroup>& slot : slots) group_count += slot.size();
  lowered_groups.reserve(group_count);
  TileBuilders builders;
  ExchangeCost cost{slots.empty() ? 0u : 1u, 0, 0};
  std::uint32_t horizon = 0;
  for (const std::vector<PendingGroup>& slot : slots) {
    // Multicast rows spend at most a few thousand cycles, so the horizon stays far from
    // the 32-bit limit and `horizon + 1` cannot wrap.
    const std::uint32_t schedule_offset = horizon == 0 ? 0 : horizon + 1;
    std::uint32_t slot_horizon = horizon;
    for (const PendingGroup& pending : slot) {
      Result<PlannedGroup> planned = plan_group(index, topology, phase, pending, schedule_offset);
      if (!planned) return std::unexpected(planned.error());
      if (auto appended = append_rows(builders, planned->group); !appended) return std::unexpected(appended.error());
      const Result<std::uint32_t> cycles = group_cycles(planned->group);
      if (!cycles) return std::unexpected(cycles.error());
      slot_horizon = std::max(slot_horizon, *cycles);
      cost.payload_words += planned->words;
      lowered_groups.push_back(std::move(planned->group));
    }
    horizon = slot_horizon;
  }
  cost.estimated_cycles = horizon;

  LoweredExchangePhase lowered{phase, {}, {}};
  if (lowered_groups.empty()) return lowered;
  LoweredExchangeEpoch epoch{std::move(lowered_groups), {}, cost};
  Result<std::map<std::uint16_t, std::vector<std::uint32_t>>> rows = std::move(builders).finish(horizon);
  if (!rows) return std::unexpected(rows.error());
  epoch.tile_rows = std::move(*rows);
  lowered.epochs.push_back(std::move(epoch));
  lowered.cost = cost;
  return lowered;
}

}  // namespace velk_compiler
