// Scenario checks of exchange lowering: coalescing, colouring, slot order, relays, tiles
// with several roles in one launch, and staging copies kept across phases.
#include <algorithm>
#include <string>

#include "checks.hpp"
#include "exchange_schedule.hpp"
#include "scenario_support.hpp"
#include "velk_compiler/exchange_scheduler.hpp"
#include "velk_compiler/verifier.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

using velk_exchange::Topology;

// Lowers a schedule that must give exactly one lowered phase with exactly one launch, and
// checks that launch's rows; the launch, or the reason it is not as expected.
[[nodiscard]] std::expected<LoweredExchangeEpoch, std::string> single_launch(const Schedule& schedule) {
  Result<std::vector<LoweredExchangePhase>> lowered = schedule.lower_exchanges(Topology::r77());
  if (!lowered) return fail("lower_exchanges", lowered);
  if (auto verified = verify_lowered_exchanges(schedule, *lowered); !verified) return fail("verifier", verified);
  if (lowered->size() != 1 || (*lowered)[0].epochs.size() != 1 || (*lowered)[0].cost.launches != 1) {
    return fail("expected one lowered phase with exactly one launch");
  }
  if (auto rows = check_epoch_rows((*lowered)[0].epochs[0]); !rows) return fail(rows.error());
  return std::move((*lowered)[0].epochs[0]);
}

std::vector<std::uint16_t> sources_of(const LoweredExchangeEpoch& epoch) {
  std::vector<std::uint16_t> sources;
  for (const LoweredExchangeGroup& g : epoch.groups) sources.push_back(g.source_tile);
  return sources;
}

[[nodiscard]] Result<std::vector<std::vector<PendingGroup>>> slots_of(const Schedule& schedule) {
  return exchange_slots(schedule, 0, std::get<ExchangePhase>(schedule.phases[0]).transfers);
}

[[nodiscard]] CheckOutcome check_ring() {
  std::vector<Transfer> ring;
  for (std::uint16_t s = 0; s < 16; ++s) {
    ring.push_back({s, static_cast<std::uint16_t>((s + 1) % 16), TensorId{s}, 4});
  }
  const Schedule schedule = exchange_schedule(ring);
  const auto launch = single_launch(schedule);
  if (!launch) return fail(launch.error());
  const LoweredExchangeEpoch& epoch = *launch;
  const auto slots = slots_of(schedule);
  if (!slots) return fail("exchange_slots", slots);
  if (slots->size() != 2 || (*slots)[0].size() != 8 || (*slots)[1].size() != 8) {
    return fail("ring: expected two colour slots of 8 groups");
  }
  for (std::size_t slot = 0; slot < 2; ++slot) {
    for (const PendingGroup& g : (*slots)[slot]) {
      if (g.source % 2 != slot) return fail("ring: group of source " + std::to_string(g.source) + " in the wrong slot");
    }
  }
  if (epoch.groups.size() != 16) return fail("ring: expected 16 groups in the launch");
  return {};
}

[[nodiscard]] CheckOutcome check_all_to_all() {
  std::vector<Transfer> transfers;
  for (std::uint16_t s = 0; s < 8; ++s) {
    for (std::uint16_t d = 0; d < 8; ++d) {
      if (d != s) transfers.push_back({s, d, TensorId{s}, 4});
    }
  }
  const Schedule schedule = exchange_schedule(transfers);
  const auto launch = single_launch(schedule);
  if (!launch) return fail(launch.error());
  const LoweredExchangeEpoch& epoch = *launch;
  const auto slots = slots_of(schedule);
  if (!slots) return fail("exchange_slots", slots);
  if (slots->size() != 8) return fail("all-to-all: expected 8 colour slots");
  for (std::size_t s = 0; s < 8; ++s) {
    if ((*slots)[s].size() != 1 || (*slots)[s][0].source != s || (*slots)[s][0].destinations.size() != 7) {
      return fail("all-to-all: slot " + std::to_string(s) + " does not hold group " + std::to_string(s));
    }
  }
  if (epoch.cost.payload_words != 8) return fail("all-to-all: expected 8 payload words");
  return {};
}

}  // namespace

CheckOutcome scheduler_coalesces_fanout_and_packs_disjoint_groups() {
  const std::vector<Transfer> transfers = {{0, 1, TensorId{0}, 64}, {0, 2, TensorId{0}, 64}, {3, 4, TensorId{1}, 128}};
  const Schedule schedule = exchange_schedule(transfers);
  const auto launch = single_launch(schedule);
  if (!launch) return fail(launch.error());
  const LoweredExchangeEpoch& epoch = *launch;
  if (epoch.groups.size() != 2) return fail("expected exactly 2 groups");
  const LoweredExchangeGroup& fanout = epoch.groups[0];
  const LoweredExchangeGroup& single = epoch.groups[1];
  if (fanout.source_tile != 0 || fanout.destination_tiles != std::vector<std::uint16_t>{1, 2} ||
      single.source_tile != 3 || single.destination_tiles != std::vector<std::uint16_t>{4}) {
    return fail("expected groups 0 -> {1, 2} and 3 -> {4}, in that order");
  }
  if (fanout.addressing != ExchangeAddressing::Absolute) return fail("fan-out group is not absolutely addressed");
  const auto slots = slots_of(schedule);
  if (!slots) return fail("exchange_slots", slots);
  if (slots->size() != 1) return fail("expected both groups in one colour slot");
  if (epoch.cost.payload_words != 48) return fail("expected 48 payload words");
  if (epoch.tile_rows.size() != 5 || epoch.tile_rows.begin()->first != 0 || epoch.tile_rows.rbegin()->first != 4) {
    return fail("expected rows for tiles 0 to 4");
  }
  const std::vector<std::uint32_t> idle = epoch.row_for(15);
  if (idle.size() < 2 || idle[0] != 0x40C00000 || idle[1] != 0x41800001)
    return fail("tile 15 does not get the idle row");
  return {};
}

CheckOutcome scheduler_colors_ring_and_all_to_all_fanout() {
  if (auto ring = check_ring(); !ring) return ring;
  return check_all_to_all();
}

CheckOutcome scheduler_is_deterministic_for_varied_transfer_graphs() {
  std::uint32_t state = 0x12345678;
  auto advance = [&state] {
    state = state * 1664525u + 1013904223u;
    return state;
  };
  for (int set = 0; set < 64; ++set) {
    std::vector<Transfer> transfers;
    for (std::size_t t = 0; t < 12; ++t) {
      const auto source = static_cast<std::uint16_t>(advance() & 0xF);
      auto destination = static_cast<std::uint16_t>(advance() & 0xF);
      if (destination == source) destination = static_cast<std::uint16_t>((destination + 1) % 16);
      transfers.push_back({source, destination, TensorId{t}, ((state % 64) + 1) * 4});
    }
    const Schedule schedule = exchange_schedule(transfers);
    const Topology first_topology = Topology::r77();
    const Topology second_topology = Topology::r77();
    const auto first = schedule.lower_exchanges(first_topology);
    const auto second = schedule.lower_exchanges(second_topology);
    const std::string where = "transfer set " + std::to_string(set);
    if (!first) return fail(where, first);
    if (first != second) return fail(where + ": two lowerings differ");
    if (auto verified = verify_lowered_exchanges(schedule, *first); !verified) return fail(where, verified);
    std::size_t destinations = 0;
    for (const LoweredExchangeEpoch& epoch : first->at(0).epochs) {
      for (const LoweredExchangeGroup& g : epoch.groups) destinations += g.destination_tiles.size();
      if (auto rows = check_epoch_rows(epoch); !rows) return fail(where + ": " + rows.error());
    }
    if (destinations != transfers.size()) return fail(where + ": groups do not cover every transfer once");
  }
  return {};
}

CheckOutcome scheduler_packs_an_all_tile_matching_into_one_epoch() {
  std::vector<Transfer> transfers;
  for (std::uint16_t k = 0; k < 736; ++k) {
    transfers.push_back({static_cast<std::uint16_t>(2 * k), static_cast<std::uint16_t>(2 * k + 1), TensorId{k}, 4});
  }
  Schedule schedule = exchange_schedule(transfers);
  schedule.tile_count = 1472;
  const auto launch = single_launch(schedule);
  if (!launch) return fail(launch.error());
  const LoweredExchangeEpoch& epoch = *launch;
  const auto slots = slots_of(schedule);
  if (!slots) return fail("exchange_slots", slots);
  if (slots->size() != 1) return fail("expected one colour slot");
  if (epoch.groups.size() != 736) return fail("expected 736 groups in the launch");
  if (epoch.cost.payload_words != 736) return fail("expected 736 payload words");
  return {};
}

CheckOutcome scheduler_relays_a_tensor_without_an_intermediate_launch() {
  const TensorId tensor{0};
  const std::vector<Transfer> transfers = {{3, 1, tensor, 256}, {1, 2, tensor, 256}};
  Schedule schedule = exchange_schedule(transfers);
  std::erase_if(schedule.allocations, [&](const Allocation& a) { return a.tensor == tensor && a.tile == 1; });
  schedule.allocations.push_back(Allocation{tensor, 1, 0x50400, 256, 0, 1, ExchangeStaging{0}});
  const auto launch = single_launch(schedule);
  if (!launch) return fail(launch.error());
  const LoweredExchangeEpoch& epoch = *launch;
  if (sources_of(epoch) != std::vector<std::uint16_t>{3, 1}) return fail("expected the delivery 3 -> {1} first");
  const velk_exchange::Row& relay = epoch.groups[1].sender;
  if (velk_exchange::sender_address(relay) != 0x50400u) {
    return fail("tile 1 does not send from its staging region at 0x50400");
  }
  if (epoch.tile_rows.count(1) == 0) return fail("tile 1 has no row");
  return {};
}

CheckOutcome scheduler_times_tile_role_conflicts_within_one_launch() {
  const std::vector<Transfer> transfers = {{0, 1, TensorId{0}, 64}, {2, 3, TensorId{1}, 64}, {1, 2, TensorId{2}, 64}};
  const Schedule schedule = exchange_schedule(transfers);
  const auto launch = single_launch(schedule);
  if (!launch) return fail(launch.error());
  const LoweredExchangeEpoch& epoch = *launch;
  const auto slots = slots_of(schedule);
  if (!slots) return fail("exchange_slots", slots);
  if (slots->size() != 2 || (*slots)[0].size() != 1 || (*slots)[0][0].source != 1) {
    return fail("expected 1 -> {2} alone in the first slot");
  }
  if (epoch.tile_rows.count(1) == 0 || epoch.tile_rows.count(2) == 0) return fail("tiles 1 and 2 need rows");
  return {};
}

CheckOutcome scheduler_uses_live_staging_as_a_later_phase_source() {
  const TensorId tensor{0};
  Schedule schedule;
  schedule.tile_count = 16;
  schedule.phases = {ExchangePhase{{Transfer{0, 1, tensor, 64}}}, ExchangePhase{{Transfer{1, 2, tensor, 64}}}};
  schedule.allocations = {Allocation{tensor, 0, 0x62000, 64, 0, 2, Home{}},
                          Allocation{tensor, 1, 0x52000, 64, 0, 2, ExchangeStaging{0}},
                          Allocation{tensor, 2, 0x53000, 64, 1, 2, ExchangeStaging{1}}};
  const auto lowered = schedule.lower_exchanges(Topology::r77());
  if (!lowered) return fail("lower_exchanges", lowered);
  if (auto verified = verify_lowered_exchanges(schedule, *lowered); !verified) return fail("verifier", verified);
  if (lowered->size() != 2) return fail("expected two lowered phases");
  for (const LoweredExchangePhase& phase : *lowered) {
    if (phase.epochs.size() != 1) return fail("phase " + std::to_string(phase.phase) + " should have one launch");
    if (auto rows = check_epoch_rows(phase.epochs[0]); !rows) return rows;
  }
  if ((*lowered)[1].epochs[0].tile_rows.count(1) == 0) return fail("tile 1 does not send in the second phase");
  return {};
}

}  // namespace velk_compiler
