// The hot stages against their straightforward forms (straightforward.hpp): the same values
// and errors on many seeded cases, each mismatch printed with its seed.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <set>

#include "exchange_schedule.hpp"
#include "straightforward.hpp"
#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

using straightforward::all_pairs_conflicts;
using straightforward::rescanning_dsatur;
using straightforward::walk_allocate;
using straightforward::WalkRegions;

// --- comparisons ----------------------------------------------------------------------------

TEST(Oracle, AllocateRegionMatchesTheRestartingWalk) {
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    std::mt19937 random(seed);
    auto pick = [&](std::uint32_t low, std::uint32_t high) {
      return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
    };
    const bool near_top = seed % 10 == 0;
    const std::uint32_t base = near_top ? 0xFFFFF000u + pick(0, 0x100) : 0x58000 + pick(0, 64);
    const std::uint32_t limit = near_top ? 0xFFFFFFFFu : base + pick(64, 4096);
    PlacedRegions fast;
    WalkRegions walk;
    for (int request = 0; request < 40; ++request) {
      const std::size_t from = pick(0, 12);
      const RegionRequest r{TensorId{static_cast<std::size_t>(request)},
                            static_cast<std::uint16_t>(pick(0, 2)),
                            pick(1, 600),
                            from,
                            from + pick(0, 4),
                            std::uint32_t{1} << pick(0, 6),
                            Home{},
                            base,
                            limit,
                            RegionLabel{"r", {}}};
      const Result<void> a = allocate_region(fast, r);
      const Result<void> b = walk_allocate(walk, r);
      ASSERT_EQ(a, b) << "seed " << seed << " request " << request;
      ASSERT_EQ(fast.allocations, walk.allocations) << "seed " << seed << " request " << request;
    }
  }
}

std::vector<PendingGroup> random_groups(std::mt19937& random, std::size_t count, std::uint16_t tiles) {
  std::vector<Transfer> transfers;
  auto tile = [&] { return static_cast<std::uint16_t>(std::uniform_int_distribution<int>(0, tiles - 1)(random)); };
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t source = tile();
    std::uint16_t destination = tile();
    if (destination == source) destination = static_cast<std::uint16_t>((destination + 1) % tiles);
    transfers.push_back({source, destination, TensorId{std::uniform_int_distribution<std::size_t>(0, 5)(random)},
                         4u * std::uniform_int_distribution<std::uint32_t>(1, 3)(random)});
  }
  return group_transfers(transfers);
}

TEST(Oracle, ConflictGraphAndColouringMatchTheStraightforwardForms) {
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    std::mt19937 random(seed);
    const std::vector<PendingGroup> groups =
        random_groups(random, 1 + seed % 40, static_cast<std::uint16_t>(4 + seed % 29));
    const auto adjacency = exchange_conflict_graph(groups);
    ASSERT_EQ(adjacency, all_pairs_conflicts(groups)) << "seed " << seed;
    ASSERT_EQ(color_exchange_groups(groups, adjacency), rescanning_dsatur(groups, adjacency)) << "seed " << seed;
  }
}

TEST(Oracle, LoweredAddressesFollowTheScanningLookups) {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  for (std::uint32_t seed = 1; seed <= 200; ++seed) {
    std::mt19937 random(seed);
    std::vector<Transfer> transfers;
    for (std::size_t t = 0; t < 10; ++t) {
      const auto source = static_cast<std::uint16_t>(random() % 16);
      const auto destination = static_cast<std::uint16_t>((source + 1 + random() % 15) % 16);
      transfers.push_back({source, destination, TensorId{t % 6}, 4u * (1 + static_cast<std::uint32_t>(random() % 8))});
    }
    Schedule schedule = exchange_schedule(transfers);
    if (!validate_transfers(transfers)) continue;
    // Extra copies: an earlier phase's live staging and a second home, which the source rule
    // must rank correctly.
    schedule.allocations.push_back(
        Allocation{TensorId{0}, transfers[0].source_tile, 0x51000, 64, 0, 2, ExchangeStaging{0}});
    schedule.allocations.insert(schedule.allocations.begin(), Allocation{TensorId{1}, 3, 0x61000, 64, 0, 1, Home{}});
    const auto lowered = schedule.lower_exchanges(topology);
    if (!lowered) continue;  // a relay cycle among random transfers
    for (const LoweredExchangeGroup& g : lowered->at(0).epochs.at(0).groups) {
      const Allocation* source = exchange_source_allocation(schedule, g.tensor, g.source_tile, 0);
      ASSERT_NE(source, nullptr) << "seed " << seed;
      velk_exchange::Row expected = g.sender;
      ASSERT_TRUE(velk_exchange::patch_sender_address(expected, source->address));
      ASSERT_EQ(g.sender, expected) << "seed " << seed;
    }
  }
}

TEST(Oracle, TileProgramsMatchTheScanningLowering) {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  std::mt19937 random(7);
  std::size_t compared = 0;
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    const std::size_t heads = 1 + random() % 4;
    const EncoderConfig config{1 + random() % 24, heads * (1 + random() % 12), heads, 1 + random() % 64};
    const auto tiles = static_cast<std::uint16_t>(1 + random() % 96);
    const Result<Schedule> schedule = compile(*encoder_graph(config), CompilerOptions{tiles});
    ASSERT_TRUE(schedule) << "seed " << seed;
    const auto exchanges = schedule->lower_exchanges(topology);
    if (!exchanges) {
      // Shares of a tensor split over tiles need not be whole words; such a schedule
      // cannot be lowered, and per-tile lowering reports the same error.
      ASSERT_NE(exchanges.error().message().find("exchange size is not whole words"), std::string::npos)
          << "seed " << seed << ": " << exchanges.error();
      ASSERT_EQ(schedule->lower_tile_programs(topology), std::unexpected(exchanges.error())) << "seed " << seed;
      continue;
    }
    ASSERT_EQ(schedule->lower_tile_programs(topology), straightforward::tile_programs(*schedule, *exchanges))
        << "seed " << seed;
    ++compared;
  }
  EXPECT_GE(compared, 30u);
}

TEST(Oracle, PlanMemoryMatchesTheWalkOnCompiledGraphs) {
  std::mt19937 random(11);
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    const std::size_t heads = 1 + random() % 4;
    const EncoderConfig config{1 + random() % 40, heads * (1 + random() % 16), heads, 1 + random() % 128};
    const CompilerOptions options{static_cast<std::uint16_t>(1 + random() % 128)};
    const Graph graph = *encoder_graph(config);
    const Result<Schedule> schedule = compile(graph, options);
    ASSERT_TRUE(schedule) << "seed " << seed;
    // Replaying the planner's requests through the walk gives the same addresses.
    WalkRegions walk;
    for (const Allocation& a : schedule->allocations) {
      const bool staging = std::holds_alternative<ExchangeStaging>(a.kind);
      const RegionRequest r{a.tensor,
                            a.tile,
                            a.size,
                            a.live_from,
                            a.live_until,
                            16,
                            a.kind,
                            staging ? options.exchange_base : options.data_base,
                            staging ? options.exchange_limit : options.data_limit,
                            RegionLabel{"r", {}}};
      ASSERT_TRUE(walk_allocate(walk, r)) << "seed " << seed;
    }
    ASSERT_EQ(walk.allocations, schedule->allocations) << "seed " << seed;
  }
}

// The whole road against its straightforward form, on encoder blocks and stacks of every
// size and tile count, including those that run out of memory or cannot be lowered.
TEST(Oracle, WholeRoadMatchesTheStraightforwardRoad) {
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  std::mt19937 random(23);
  std::size_t built = 0;
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    const std::size_t heads = 1 + random() % 4;
    const EncoderConfig config{1 + random() % 32, heads * (1 + random() % 12), heads, 1 + random() % 96};
    const Graph graph = *encoder_stack(config, 1 + random() % 3);
    CompilerOptions options{static_cast<std::uint16_t>(1 + random() % 200)};
    if (seed % 5 == 0) options.data_limit = options.data_base + 0x2000;
    ASSERT_EQ(compile(graph, options), straightforward::compile(graph, options)) << "seed " << seed;
    Result<Program> fast = build_program(graph, options, topology);
    const Result<Program> slow = straightforward::build_program(graph, options, topology);
    if (fast) fast->group_slots.clear();
    ASSERT_EQ(fast, slow) << "seed " << seed;
    built += fast.has_value();
  }
  EXPECT_GE(built, 15u);
}

// Tiles share placement work while their requests agree; here they agree and part often:
// tile lists in any order and of any length, shares that differ per tensor, staging that
// reaches some tiles and not others, alignments from 1 to 64, windows that fill up.
TEST(Oracle, PlanMemoryMatchesTheWalkOnIrregularPlans) {
  std::size_t refused = 0;
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 random(seed);
    auto pick = [&](std::size_t low, std::size_t high) {
      return std::uniform_int_distribution<std::size_t>(low, high)(random);
    };
    Graph graph;
    std::vector<Layout> layouts;
    const std::size_t tensors = pick(1, 24);
    for (std::size_t t = 0; t < tensors; ++t) {
      const TensorId id = graph.input("t" + std::to_string(t), {pick(1, 64), pick(1, 16)});
      std::vector<std::uint16_t> tiles(pick(1, 8));
      const std::size_t start = pick(0, 3);
      for (std::size_t i = 0; i < tiles.size(); ++i) tiles[i] = static_cast<std::uint16_t>((start + i) % 10);
      if (pick(0, 4) == 0) std::reverse(tiles.begin(), tiles.end());
      layouts.push_back(Layout{id, tiles, Sharding::Replicated, std::uint32_t{1} << pick(0, 6)});
    }
    std::vector<Phase> phases;
    for (std::size_t p = 0, count = pick(0, 12); p < count; ++p) {
      std::vector<Transfer> transfers;
      for (std::size_t k = 0, n = pick(0, 6); k < n; ++k) {
        const auto destination = static_cast<std::uint16_t>(pick(0, 9));
        transfers.push_back(Transfer{static_cast<std::uint16_t>((destination + 1) % 10), destination,
                                     TensorId{pick(0, tensors - 1)}, static_cast<std::uint32_t>(4 * pick(1, 64))});
      }
      phases.emplace_back(ExchangePhase{std::move(transfers)});
    }
    const bool tight = seed % 3 == 0;
    const CompilerOptions options{10, 0x50000, tight ? 0x50400u : 0x58000u, 0x58000,
                                  tight ? static_cast<std::uint32_t>(0x58000 + pick(256, 4096)) : 0xE0000u};

    const Result<std::vector<Allocation>> planned = plan_memory(graph, layouts, phases, options);
    WalkRegions walk;
    Result<void> walked;
    const std::vector<PlannedRegion> regions = planned_regions(graph, layouts, phases, options).value();
    for (const PlannedRegion& region : regions) {
      walked = region.refusal ? Result<void>(std::unexpected(*region.refusal)) : walk_allocate(walk, region.request);
      if (!walked) break;
    }
    if (!walked) {
      ASSERT_EQ(planned, std::unexpected(walked.error())) << "seed " << seed;
      ++refused;
    } else {
      ASSERT_TRUE(planned) << "seed " << seed << ": " << planned.error();
      ASSERT_EQ(*planned, walk.allocations) << "seed " << seed;
    }
  }
  EXPECT_GT(refused, 30u);
  EXPECT_LT(refused, 270u);
}

}  // namespace
}  // namespace velk_compiler

namespace velk_compiler {
namespace {

// Hand-made schedules may name any tensor index; lookups must stay in range.
TEST(Oracle, LookupsSurviveExtremeTensorIndices) {
  const TensorId far{std::numeric_limits<std::size_t>::max()};
  Schedule schedule = exchange_schedule(std::vector<Transfer>{{0, 1, far, 64}});
  schedule.allocations.push_back(Allocation{TensorId{3}, 0, 0x60000, 64, 0, 1, Home{}});
  const auto lowered = schedule.lower_exchanges(velk_exchange::Topology::r77());
  ASSERT_TRUE(lowered) << lowered.error();
  EXPECT_EQ(lowered->at(0).epochs.at(0).groups.at(0).tensor, far);
  schedule.phases.push_back(ComputePhase{OpId{0}, {KernelCommand{1, far, {far}, {}}}});
  EXPECT_EQ(schedule.lower_tile_programs(velk_exchange::Topology::r77()),
            std::unexpected(CompileError::memory("missing home allocation for tensor 18446744073709551615 on tile 1")));
}

}  // namespace
}  // namespace velk_compiler
