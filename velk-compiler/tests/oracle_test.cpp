// The hot stages against straightforward forms of the same rules: the first-fit walk that
// restarts from the front after every collision, conflict tests over every pair of groups,
// saturation recomputed for every group at every colouring step, and address lookups that
// scan the allocation list. Each comparison runs on many seeded cases and prints the seed
// of any mismatch.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <set>

#include "exchange_schedule.hpp"
#include "velk_compiler/velk_compiler.hpp"
#include "velk_exchange/velk_exchange.hpp"

namespace velk_compiler {
namespace {

// --- straightforward forms ------------------------------------------------------------------

struct WalkRegions {
  std::vector<Allocation> allocations;
  std::map<std::uint16_t, std::vector<Allocation>> by_tile;
};

[[nodiscard]] Result<void> walk_allocate(WalkRegions& placed, const RegionRequest& r) {
  std::vector<Allocation>& tile = placed.by_tile[r.tile];
  std::uint32_t address = r.allocation_base;
  for (;;) {
    const std::uint64_t end = std::uint64_t{address} + r.size;
    if (end > std::numeric_limits<std::uint32_t>::max())
      return std::unexpected(CompileError::memory("address overflow"));
    const Allocation* conflict = nullptr;
    for (const Allocation& other : tile) {
      if (lifetimes_overlap(r.live_from, r.live_until, other.live_from, other.live_until) &&
          address < other.address + other.size && other.address < end) {
        conflict = &other;
        break;
      }
    }
    if (conflict == nullptr) {
      if (end > r.allocation_limit) {
        return std::unexpected(CompileError::memory("tile " + std::to_string(r.tile) +
                                                    " exceeds data limit allocating " + r.label.text()));
      }
      break;
    }
    const std::optional<std::uint32_t> next = align_u32(conflict->address + conflict->size, r.alignment);
    if (!next) return std::unexpected(CompileError::memory("address overflow"));
    address = *next;
  }
  const Allocation a{r.tensor, r.tile, address, r.size, r.live_from, r.live_until, r.kind};
  tile.push_back(a);
  placed.allocations.push_back(a);
  return {};
}

std::vector<std::vector<std::size_t>> all_pairs_conflicts(const std::vector<PendingGroup>& groups) {
  std::vector<std::vector<std::size_t>> adjacency(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) {
    for (std::size_t j = 0; j < groups.size(); ++j) {
      if (i != j && exchange_groups_conflict(groups[i].source, groups[i].destinations, groups[j].source,
                                             groups[j].destinations)) {
        adjacency[i].push_back(j);
      }
    }
  }
  return adjacency;
}

std::vector<std::size_t> rescanning_dsatur(const std::vector<PendingGroup>& groups,
                                           const std::vector<std::vector<std::size_t>>& adjacency) {
  std::vector<std::optional<std::size_t>> colors(groups.size());
  auto saturation = [&](std::size_t i) {
    std::set<std::size_t> seen;
    for (const std::size_t j : adjacency[i]) {
      if (colors[j]) seen.insert(*colors[j]);
    }
    return seen.size();
  };
  for (std::size_t step = 0; step < groups.size(); ++step) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < groups.size(); ++i) {
      if (colors[i]) continue;
      if (!best) {
        best = i;
        continue;
      }
      const auto key = [&](std::size_t g) {
        return std::tuple(saturation(g), adjacency[g].size(), -static_cast<int>(groups[g].source),
                          -static_cast<long long>(groups[g].tensor.index));
      };
      if (key(i) >= key(*best)) best = i;  // later groups win full ties
    }
    std::set<std::size_t> used;
    for (const std::size_t j : adjacency[*best]) {
      if (colors[j]) used.insert(*colors[j]);
    }
    std::size_t color = 0;
    while (used.contains(color)) ++color;
    colors[*best] = color;
  }
  std::vector<std::size_t> result;
  for (const auto& c : colors) result.push_back(*c);
  return result;
}

// Tile by tile, phase by phase, with the schedule's own scanning lookups.
[[nodiscard]] Result<std::vector<LoweredTileProgram>> scanning_tile_programs(
    const Schedule& schedule, const std::vector<LoweredExchangePhase>& exchanges) {
  std::vector<LoweredTileProgram> programs;
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    const auto tile = static_cast<std::uint16_t>(t);
    LoweredTileProgram program{tile, {}};
    std::size_t next_exchange = 0;
    for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
      if (std::holds_alternative<ExchangePhase>(schedule.phases[p])) {
        const LoweredExchangePhase& lowered = exchanges[next_exchange++];
        for (std::size_t e = 0; e < lowered.epochs.size(); ++e) {
          program.steps.emplace_back(ExchangeStep{p, e, lowered.epochs[e].row_for(tile)});
        }
        continue;
      }
      const auto& compute = std::get<ComputePhase>(schedule.phases[p]);
      for (const KernelCommand& command : compute.commands) {
        if (command.tile != tile) continue;
        const auto output = schedule.home_address(command.output, tile);
        if (!output) return std::unexpected(output.error());
        LoweredComputeCommand lowered{compute.op, *output, {}, command.specialization};
        for (const TensorId input : command.inputs) {
          const auto address = schedule.compute_input_address(input, tile, p);
          if (!address) return std::unexpected(address.error());
          lowered.input_addresses.push_back(*address);
        }
        program.steps.emplace_back(lowered);
      }
    }
    programs.push_back(std::move(program));
  }
  return programs;
}

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
    ASSERT_EQ(schedule->lower_tile_programs(topology), scanning_tile_programs(*schedule, *exchanges))
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
