// Tile numbering: the R77 mapping's reference values, its one-to-one property, its bit fields and
// the lookup's refusal of tiles beyond the count.
#include "velk_exchange/topology.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace velk_exchange {
namespace {

constexpr std::uint32_t R77_TILES = 1472;

TEST(R77LogicalToPhysical, MatchesReferenceValues) {
  const struct {
    std::uint16_t logical;
    std::uint16_t physical;
  } cases[] = {
      {0, 0},     {1, 2},     {2, 64}, {3, 66}, {44, 1408}, {45, 1410},   {46, 1409},
      {47, 1411}, {48, 1345}, {91, 3}, {92, 4}, {93, 6},    {1440, 1021}, {1471, 63},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logical);
    EXPECT_EQ(r77_logical_to_physical(c.logical), c.physical);
  }
}

TEST(R77LogicalToPhysical, IsOneToOneOntoTheCard) {
  std::vector<bool> seen(R77_TILES, false);
  for (std::uint32_t logical = 0; logical < R77_TILES; ++logical) {
    const std::uint16_t physical = r77_logical_to_physical(static_cast<std::uint16_t>(logical));
    ASSERT_LT(physical, R77_TILES) << "logical " << logical;
    ASSERT_FALSE(seen[physical]) << "physical " << physical << " given twice, again by logical " << logical;
    seen[physical] = true;
  }
}

// The bit fields read the same layout another way: a column group holds 92 consecutive logical
// tiles, its even and odd block 46 each, and a tile's lane is its logical number's lowest bit.
TEST(R77LogicalToPhysical, FieldsFollowBlocksAndPairs) {
  for (std::uint32_t logical = 0; logical < R77_TILES; ++logical) {
    SCOPED_TRACE(logical);
    const std::uint32_t physical = r77_logical_to_physical(static_cast<std::uint16_t>(logical));
    const std::uint32_t pair_in_block = (logical / 2) % 23;
    const bool odd_block = (logical / 46) % 2 == 1;
    EXPECT_EQ(physical & 1u, odd_block ? 1u : 0u);
    EXPECT_EQ((physical >> 1) & 1u, logical % 2);
    EXPECT_EQ((physical >> 2) & 0xFu, logical / 92);
    EXPECT_EQ(physical >> 6, odd_block ? 22 - pair_in_block : pair_in_block);
  }
}

// Beyond the card the formula carries on without wrapping; its numbers then repeat other tiles'.
TEST(R77LogicalToPhysical, StaysWellDefinedBeyondTheCard) {
  EXPECT_EQ(r77_logical_to_physical(1472), 64);
  EXPECT_EQ(r77_logical_to_physical(1473), 66);
  EXPECT_EQ(r77_logical_to_physical(65535), 3810);
}

TEST(Topology, R77HasOneEntryPerTileInLogicalOrder) {
  const Topology topology = Topology::r77();
  ASSERT_EQ(topology.tile_count(), 1472u);
  for (std::uint32_t logical = 0; logical < R77_TILES; ++logical) {
    EXPECT_EQ(topology.logical_to_physical[logical], r77_logical_to_physical(static_cast<std::uint16_t>(logical)));
  }
}

TEST(Topology, PhysicalLooksUpTilesWithinTheCount) {
  const Topology topology = Topology::r77();
  EXPECT_EQ(topology.physical(0), 0);
  EXPECT_EQ(topology.physical(46), 1409);
  EXPECT_EQ(topology.physical(91), 3);
  EXPECT_EQ(topology.physical(1471), 63);
}

TEST(Topology, PhysicalRefusesTilesBeyondTheCount) {
  const Topology topology = Topology::r77();
  for (const std::uint16_t logical : {std::uint16_t{1472}, std::uint16_t{1473}, std::uint16_t{65535}}) {
    EXPECT_EQ(topology.physical(logical), std::unexpected(ExchangeError::tile(logical)));
  }
  EXPECT_EQ(Topology{}.physical(0), std::unexpected(ExchangeError::tile(0)));
}

}  // namespace
}  // namespace velk_exchange
