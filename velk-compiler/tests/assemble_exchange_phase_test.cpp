// Epoch assembly from colour slots handed in directly. The scheduler never hands over slots
// whose sources lack a copy or whose groups share a tile, so these refusals of the assembly
// itself are reached only through its own entry point.
#include <gtest/gtest.h>

#include "exchange_schedule.hpp"
#include "velk_compiler/epoch_assembly.hpp"
#include "velk_compiler/exchange_scheduler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

using velk_exchange::ExchangeError;
using velk_exchange::Topology;
using Slots = std::vector<std::vector<PendingGroup>>;

PendingGroup group(std::uint16_t source, std::size_t tensor, std::vector<std::uint16_t> destinations) {
  return PendingGroup{source, TensorId{tensor}, 64, std::move(destinations)};
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
