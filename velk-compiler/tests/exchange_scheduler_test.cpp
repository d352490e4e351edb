#include "velk_compiler/exchange_scheduler.hpp"

#include <gtest/gtest.h>

namespace velk_compiler {
namespace {

TEST(GroupTransfers, CoalescesBySourceTensorAndBytes) {
  const std::vector<Transfer> transfers = {
      {0, 5, TensorId{0}, 64}, {3, 4, TensorId{1}, 128}, {0, 2, TensorId{0}, 64},
      {0, 7, TensorId{0}, 32}, {0, 2, TensorId{0}, 64},  {0, 1, TensorId{0}, 64},
  };
  EXPECT_EQ(group_transfers(transfers), (std::vector<PendingGroup>{
                                            {0, TensorId{0}, 64, {1, 2, 5}},
                                            {3, TensorId{1}, 128, {4}},
                                            {0, TensorId{0}, 32, {7}},
                                        }));
}

std::vector<std::size_t> colors_of(const std::vector<PendingGroup>& groups) {
  return color_exchange_groups(groups, exchange_conflict_graph(groups));
}

TEST(ColorExchangeGroups, RingTakesTwoColoursByParity) {
  std::vector<PendingGroup> ring;
  for (std::uint16_t s = 0; s < 16; ++s)
    ring.push_back({s, TensorId{s}, 4, {static_cast<std::uint16_t>((s + 1) % 16)}});
  const std::vector<std::size_t> colors = colors_of(ring);
  for (std::size_t s = 0; s < 16; ++s) EXPECT_EQ(colors[s], s % 2) << s;
}

TEST(ColorExchangeGroups, TieBreaks) {
  // All degrees equal (0): the smaller source is coloured first, then it does not matter.
  // Relay 3 -> {1}, 1 -> {2}: equal keys but for the source, so 1 -> {2} takes colour 0.
  const std::vector<PendingGroup> relay = {{3, TensorId{0}, 256, {1}}, {1, TensorId{0}, 256, {2}}};
  EXPECT_EQ(colors_of(relay), (std::vector<std::size_t>{1, 0}));
  // Same source: the smaller tensor first.
  const std::vector<PendingGroup> tensors = {{2, TensorId{5}, 4, {1}}, {2, TensorId{4}, 4, {3}}};
  EXPECT_EQ(colors_of(tensors), (std::vector<std::size_t>{1, 0}));
  // Full tie (same source and tensor, different bytes): the later group first.
  const std::vector<PendingGroup> full_tie = {{2, TensorId{4}, 4, {1}}, {2, TensorId{4}, 8, {3}}};
  EXPECT_EQ(colors_of(full_tie), (std::vector<std::size_t>{1, 0}));
  // Degree beats source: 9 -> {1, 2} conflicts with both others.
  const std::vector<PendingGroup> degree = {
      {0, TensorId{0}, 4, {1}}, {5, TensorId{0}, 4, {2}}, {9, TensorId{0}, 4, {1, 2}}};
  EXPECT_EQ(colors_of(degree), (std::vector<std::size_t>{1, 1, 0}));
}

TEST(ColorExchangeGroups, HubFirstThenSaturatedGroups) {
  const std::vector<PendingGroup> groups = {
      {0, TensorId{0}, 4, {1, 2, 3}},  // hub: conflicts with groups 1, 2 and 3
      {1, TensorId{1}, 4, {10}},       // its source is a hub destination
      {2, TensorId{2}, 4, {11, 20}},   // also holds the source of group 4
      {3, TensorId{3}, 4, {12, 21}},   // shares destination 21 with group 4
      {20, TensorId{4}, 4, {21}},
  };
  const std::vector<std::vector<std::size_t>> adjacency = exchange_conflict_graph(groups);
  EXPECT_EQ(adjacency[0], (std::vector<std::size_t>{1, 2, 3}));
  EXPECT_EQ(adjacency[4], (std::vector<std::size_t>{2, 3}));
  // The hub (degree 3) takes 0. Groups 2 and 3 (saturation 1, degree 2) go next, the
  // smaller source first, and take 1; group 4 then sees colour 1 only and takes 0.
  EXPECT_EQ(color_exchange_groups(groups, adjacency), (std::vector<std::size_t>{0, 1, 1, 1, 0}));
}

Schedule one_phase(std::vector<Transfer> transfers, std::vector<Allocation> allocations) {
  Schedule schedule;
  schedule.tile_count = 16;
  schedule.phases = {ExchangePhase{std::move(transfers)}};
  schedule.allocations = std::move(allocations);
  return schedule;
}

TEST(ExchangeSlots, RelayRunsDeliveryFirst) {
  const TensorId t{0};
  const std::vector<Transfer> transfers = {{3, 1, t, 256}, {1, 2, t, 256}};
  const Schedule schedule = one_phase(transfers, {{t, 3, 0x62000, 256, 0, 1, Home{}},
                                                  {t, 1, 0x50400, 256, 0, 1, ExchangeStaging{0}},
                                                  {t, 2, 0x52000, 256, 0, 1, ExchangeStaging{0}}});
  const auto slots = exchange_slots(schedule, 0, transfers);
  ASSERT_TRUE(slots);
  EXPECT_EQ(*slots, (std::vector<std::vector<PendingGroup>>{{{3, t, 256, {1}}}, {{1, t, 256, {2}}}}));
}

TEST(ExchangeSlots, StartSetCountsHomesAndLiveEarlierStaging) {
  const TensorId t{0};
  const std::vector<Transfer> transfers = {{1, 2, t, 64}};
  // A staging region of an earlier phase counts only while live: live_until is exclusive here.
  for (const auto& [live_until, ready] : {std::pair{std::size_t{3}, true}, std::pair{std::size_t{2}, false}}) {
    Schedule schedule = one_phase(transfers, {{t, 1, 0x52000, 64, 0, live_until, ExchangeStaging{0}},
                                              {t, 2, 0x53000, 64, 2, 3, ExchangeStaging{2}}});
    const auto slots = exchange_slots(schedule, 2, transfers);
    EXPECT_EQ(slots.has_value(), ready) << live_until;
  }
}

TEST(ExchangeSlots, CyclesAndMissingCopiesAreRefused) {
  const TensorId t{0};
  const std::vector<Transfer> mutual = {{1, 2, t, 64}, {2, 1, t, 64}};
  const Schedule schedule =
      one_phase(mutual, {{t, 1, 0x52000, 64, 0, 1, ExchangeStaging{0}}, {t, 2, 0x52000, 64, 0, 1, ExchangeStaging{0}}});
  const CompileError cycle = CompileError::graph("exchange staging dependencies contain a cycle");
  EXPECT_EQ(exchange_slots(schedule, 0, mutual), std::unexpected(cycle));
  const std::vector<Transfer> orphan = {{1, 2, t, 64}};
  EXPECT_EQ(exchange_slots(one_phase(orphan, {}), 0, orphan), std::unexpected(cycle));
}

TEST(ExchangeSlots, ValidatesTransfersFirst) {
  const std::vector<Transfer> self = {{1, 1, TensorId{0}, 64}};
  EXPECT_EQ(exchange_slots(one_phase(self, {}), 0, self),
            std::unexpected(CompileError::graph("invalid exchange transfer")));
  EXPECT_EQ(exchange_slots(one_phase({}, {}), 0, {}), (std::vector<std::vector<PendingGroup>>{}));
}

}  // namespace
}  // namespace velk_compiler
