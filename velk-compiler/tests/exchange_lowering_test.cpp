// The lowered exchange records' own rules: when two multicast groups conflict, and the row a
// tile runs in a launch.
#include "velk_compiler/exchange_lowering.hpp"

#include <gtest/gtest.h>

#include "velk_exchange/plan_program.hpp"

namespace velk_compiler {
namespace {

using Tiles = std::vector<std::uint16_t>;

TEST(ExchangeGroupsConflict, GivesNoTileTwoRoles) {
  const struct {
    std::uint16_t left_source;
    Tiles left;
    std::uint16_t right_source;
    Tiles right;
    bool conflict;
  } cases[] = {
      {0, {1}, 0, {2}, true},      // same source
      {0, {1}, 1, {2}, true},      // a relay: the right source receives from the left
      {0, {1}, 2, {0}, true},      // the left source receives
      {0, {1}, 2, {1}, true},      // a shared destination
      {0, {1, 2}, 3, {4}, false},  // disjoint
      {0, {1}, 2, {3}, false},     // disjoint
      {0, {}, 1, {}, false},       // no destinations: only the source tests remain
      {0, {}, 0, {}, true},       {0, {}, 1, {0}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exchange_groups_conflict(c.left_source, c.left, c.right_source, c.right), c.conflict)
        << c.left_source << " vs " << c.right_source;
    EXPECT_EQ(exchange_groups_conflict(c.right_source, c.right, c.left_source, c.left), c.conflict) << "symmetric";
  }
}

TEST(IdleRow, TakesNoTimeAndIsReturnedForTilesWithoutRole) {
  LoweredExchangeEpoch epoch;
  epoch.tile_rows[3] = {0x41800003, 0x43A00000};
  EXPECT_EQ(epoch.row_for(3), (std::vector<std::uint32_t>{0x41800003, 0x43A00000}));
  EXPECT_EQ(epoch.row_for(4), (std::vector<std::uint32_t>{0x40C00000, 0x41800001, 0x43A00000, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(velk_exchange::plan_event_cycles(epoch.row_for(4)), 0u);
  std::vector<std::uint32_t> copy = epoch.row_for(3);
  copy[0] = 0;
  EXPECT_EQ(epoch.tile_rows.at(3)[0], 0x41800003u);
}

}  // namespace
}  // namespace velk_compiler
