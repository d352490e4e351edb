// Epoch assembly, through the lowering of whole schedules and through its own entry point
// with colour slots handed in directly. The scheduler never hands over slots whose sources
// lack a copy or whose groups share a tile, so those refusals of the assembly itself are
// reached only through assemble_exchange_phase.
#include "velk_compiler/epoch_assembly.hpp"

#include <gtest/gtest.h>

#include "exchange_schedule.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/exchange_scheduler.hpp"
#include "velk_exchange/velk_exchange.hpp"
#include "velk_log/log.hpp"

namespace velk_compiler {
namespace {

using velk_exchange::ExchangeError;
using velk_exchange::Topology;
using Words = std::vector<std::uint32_t>;
using Slots = std::vector<std::vector<PendingGroup>>;

[[nodiscard]] Result<std::vector<LoweredExchangePhase>> lower(const Schedule& schedule) {
  return schedule.lower_exchanges(Topology::r77());
}

Schedule single_transfer() { return exchange_schedule(std::vector<Transfer>{{0, 1, TensorId{0}, 64}}); }

PendingGroup group(std::uint16_t source, std::size_t tensor, std::vector<std::uint16_t> destinations) {
  return PendingGroup{source, TensorId{tensor}, 64, std::move(destinations)};
}

TEST(LowerExchanges, SingleTransferWorkedExample) {
  const auto lowered = lower(single_transfer());
  ASSERT_TRUE(lowered) << lowered.error();
  ASSERT_EQ(lowered->size(), 1u);
  const LoweredExchangePhase& phase = (*lowered)[0];
  ASSERT_EQ(phase.epochs.size(), 1u);
  const LoweredExchangeEpoch& epoch = phase.epochs[0];
  EXPECT_EQ(phase.cost, (ExchangeCost{1, 74, 16}));
  EXPECT_EQ(epoch.cost, phase.cost);
  ASSERT_EQ(epoch.groups.size(), 1u);
  const LoweredExchangeGroup& group = epoch.groups[0];
  EXPECT_EQ(group.sender, (velk_exchange::Row{0x41800003, 0x40A0001B, 0x79EC4003, 0x43A00000, 0, 0, 0, 0, 0}));
  ASSERT_EQ(group.receivers.size(), 1u);
  EXPECT_EQ(group.receivers[0],
            (velk_exchange::Row{0x41800003, 0x64000000, 0x6403C640, 0x61194800, 0x40A00014, 0x43A00000, 0, 0, 0}));
  EXPECT_EQ(group.addressing, ExchangeAddressing::Absolute);
  const std::map<std::uint16_t, Words> rows = {
      {0, {0x41800003, 0x40A0001B, 0x79EC4003, 0x40A0001D, 0x43A00000}},
      {1, {0x41800003, 0x64000000, 0x6403C640, 0x61194800, 0x40A00014, 0x43A00000}},
  };
  EXPECT_EQ(epoch.tile_rows, rows);
}

TEST(LowerExchanges, SecondSlotStartsAfterTheFirstSlotsHorizon) {
  // 1 -> {2} conflicts with both others and runs alone in the first slot.
  const std::vector<Transfer> transfers = {{0, 1, TensorId{0}, 64}, {2, 3, TensorId{1}, 64}, {1, 2, TensorId{2}, 64}};
  const auto lowered = lower(exchange_schedule(transfers));
  ASSERT_TRUE(lowered) << lowered.error();
  const LoweredExchangeEpoch& epoch = (*lowered)[0].epochs[0];
  ASSERT_EQ(epoch.groups.size(), 3u);
  const LoweredExchangeGroup& first = epoch.groups[0];
  EXPECT_EQ(first.source_tile, 1);
  const std::uint32_t first_horizon =
      std::max(*velk_exchange::plan_event_cycles(first.sender), *velk_exchange::plan_event_cycles(first.receivers[0]));
  // The later groups are planned at offset first_horizon + 1: their multicasts equal
  // plans made at that offset.
  const Topology topology = Topology::r77();
  const std::vector<std::uint16_t> one = {1};
  auto replanned = topology.multicast(0, one, 16, first_horizon + 1);
  ASSERT_TRUE(replanned);
  ASSERT_TRUE(velk_exchange::patch_sender_address(replanned->sender, 0x62000));
  EXPECT_EQ(epoch.groups[1].sender, replanned->sender);
  EXPECT_GE(epoch.cost.estimated_cycles, first_horizon + 1);
  for (const auto& [tile, row] : epoch.tile_rows) {
    EXPECT_EQ(velk_exchange::plan_event_cycles(row), epoch.cost.estimated_cycles) << tile;
  }
}

TEST(LowerExchanges, PayloadCountsOncePerGroup) {
  const auto lowered =
      lower(exchange_schedule(std::vector<Transfer>{{0, 1, TensorId{0}, 64}, {0, 2, TensorId{0}, 64}}));
  ASSERT_TRUE(lowered);
  EXPECT_EQ((*lowered)[0].cost.payload_words, 16u);
}

TEST(LowerExchanges, Failures) {
  Schedule unaligned = exchange_schedule(std::vector<Transfer>{{0, 1, TensorId{3}, 6}});
  EXPECT_EQ(lower(unaligned), std::unexpected(CompileError::graph("tensor 3 exchange size is not whole words")));

  Schedule no_staging = single_transfer();
  no_staging.allocations[1] = Allocation{TensorId{0}, 1, 0x62000, 64, 0, 1, Home{}};
  EXPECT_EQ(lower(no_staging),
            std::unexpected(CompileError::memory("missing staging allocation for tensor 0 on tile 1")));

  Schedule low_staging = single_transfer();
  low_staging.allocations[1].address = 0x4FFF0;
  EXPECT_EQ(lower(low_staging), std::unexpected(CompileError(ExchangeError::address(0x4FFF0))));

  Schedule unaligned_source = single_transfer();
  unaligned_source.allocations[0].address = 0x62002;
  EXPECT_EQ(lower(unaligned_source), std::unexpected(CompileError(ExchangeError::address(0x62002))));

  Schedule too_many_tiles = single_transfer();
  too_many_tiles.tile_count = 1473;
  EXPECT_EQ(lower(too_many_tiles), std::unexpected(CompileError::graph("exchange topology has too few tiles")));
  too_many_tiles.tile_count = 1472;
  EXPECT_TRUE(lower(too_many_tiles));

  Schedule beyond_topology = single_transfer();
  beyond_topology.phases[0] = ExchangePhase{{Transfer{0, 1472, TensorId{0}, 64}}};
  beyond_topology.allocations[1].tile = 1472;
  beyond_topology.tile_count = 1472;
  EXPECT_EQ(lower(beyond_topology), std::unexpected(CompileError(ExchangeError::receiver_set())));
}

TEST(LowerExchanges, PhasesWithoutTransfers) {
  Schedule schedule;
  schedule.tile_count = 4;
  EXPECT_EQ(lower(schedule), (std::vector<LoweredExchangePhase>{}));
  schedule.phases = {ComputePhase{}, ExchangePhase{}};
  EXPECT_EQ(lower(schedule), (std::vector<LoweredExchangePhase>{LoweredExchangePhase{1, {}, ExchangeCost{}}}));
}

TEST(LowerExchanges, EncoderBlockHasOneLaunchPerExchangePhase) {
  const Schedule schedule = *compile(*encoder_graph(EncoderConfig{}), CompilerOptions{});
  const auto exchanges = lower(schedule);
  ASSERT_TRUE(exchanges);
  ASSERT_EQ(exchanges->size(), 2u);
  EXPECT_EQ((*exchanges)[0].phase, 7u);
  EXPECT_EQ((*exchanges)[1].phase, 12u);
  for (const LoweredExchangePhase& phase : *exchanges) {
    ASSERT_EQ(phase.epochs.size(), 1u);
    EXPECT_EQ(phase.cost.launches, 1u);
    EXPECT_EQ(phase.epochs[0].groups.size(), phase.phase == 7 ? 4u : 8u);
  }
}

TEST(LowerExchanges, ReportsOneEvent) {
  velk_log::EventRecorder recorder;
  {
    velk_log::ScopedSubscriber scope(recorder);
    ASSERT_TRUE(lower(single_transfer()));
  }
  const auto events = recorder.events();
  const auto lowered = std::find_if(events.begin(), events.end(),
                                    [](const auto& e) { return e.message == "lowered exchange schedule"; });
  ASSERT_NE(lowered, events.end());
  EXPECT_EQ(lowered->level, velk_log::Level::Info);
  EXPECT_EQ(lowered->target, "velk_compiler");
  EXPECT_EQ(lowered->fields,
            (std::vector<velk_log::OwnedField>{{"phases", std::uint64_t{1}}, {"launches", std::uint64_t{1}}}));
}

TEST(ExchangeSourceAllocation, StagingOfThisPhaseThenLiveEarlierStagingThenHome) {
  const TensorId t{0};
  Schedule schedule;
  schedule.allocations = {Allocation{t, 1, 0x60000, 64, 0, 9, Home{}},
                          Allocation{t, 1, 0x51000, 64, 0, 2, ExchangeStaging{0}},
                          Allocation{t, 1, 0x52000, 64, 3, 4, ExchangeStaging{3}}};
  EXPECT_EQ(exchange_source_allocation(schedule, t, 1, 3)->address, 0x52000u);
  EXPECT_EQ(exchange_source_allocation(schedule, t, 1, 1)->address, 0x51000u);
  EXPECT_EQ(exchange_source_allocation(schedule, t, 1, 2)->address, 0x60000u);  // live_until is exclusive
  EXPECT_EQ(exchange_source_allocation(schedule, t, 2, 1), nullptr);
}

TEST(AssembleExchangePhase, MatchesTheLoweringOnTheScheduledSlots) {
  const std::vector<Transfer> transfers = {{0, 1, TensorId{0}, 64}, {2, 3, TensorId{1}, 64}, {1, 2, TensorId{2}, 64}};
  const Schedule schedule = exchange_schedule(transfers);
  const auto slots = exchange_slots(schedule, 0, transfers);
  ASSERT_TRUE(slots);
  const auto lowered = schedule.lower_exchanges(Topology::r77());
  ASSERT_TRUE(lowered);
  EXPECT_EQ(assemble_exchange_phase(schedule, Topology::r77(), 0, *slots), (*lowered)[0]);
}

TEST(AssembleExchangePhase, RefusesASourceWithoutACopy) {
  // Tile 5 holds no region of tensor 0 at all.
  const Schedule schedule = exchange_schedule(std::vector<Transfer>{{0, 1, TensorId{0}, 64}});
  const Slots slots = {{group(5, 0, {1})}};
  EXPECT_EQ(assemble_exchange_phase(schedule, Topology::r77(), 0, slots),
            std::unexpected(CompileError::memory("missing source allocation for tensor 0 on tile 5")));
}

TEST(AssembleExchangePhase, RefusesTwoRolesOfOneTileInOneSlot) {
  // Tile 1 receives tensor 0 and, in the same slot and so at the same offset, sends tensor 1:
  // its send would start before its receive has ended.
  const Schedule relay = exchange_schedule(std::vector<Transfer>{{0, 1, TensorId{0}, 64}, {1, 2, TensorId{1}, 64}});
  EXPECT_EQ(assemble_exchange_phase(relay, Topology::r77(), 0, Slots{{group(0, 0, {1}), group(1, 1, {2})}}),
            std::unexpected(CompileError(ExchangeError::schedule("overlapping tile exchange roles"))));

  // Tile 1 receives from two sources in one slot.
  const Schedule shared = exchange_schedule(std::vector<Transfer>{{0, 1, TensorId{0}, 64}, {2, 1, TensorId{1}, 64}});
  EXPECT_EQ(assemble_exchange_phase(shared, Topology::r77(), 0, Slots{{group(0, 0, {1}), group(2, 1, {1})}}),
            std::unexpected(CompileError(ExchangeError::schedule("overlapping tile exchange roles"))));
}

TEST(AssembleExchangePhase, NoSlotsGiveNoLaunch) {
  const Schedule schedule = exchange_schedule(std::vector<Transfer>{});
  EXPECT_EQ(assemble_exchange_phase(schedule, Topology::r77(), 0, Slots{}), (LoweredExchangePhase{0, {}, {}}));
}

}  // namespace
}  // namespace velk_compiler
