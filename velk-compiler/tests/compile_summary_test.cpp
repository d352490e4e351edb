#include "velk_compiler/compile_summary.hpp"

#include <gtest/gtest.h>

#include <random>

#include "velk_compiler/encoder.hpp"
#include "velk_compiler/lifetime.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_compiler {
namespace {

LoweredExchangeGroup group(std::uint16_t source, std::vector<std::uint16_t> destinations, std::uint32_t bytes) {
  return LoweredExchangeGroup{source, std::move(destinations), TensorId{0}, bytes, {}, {}, {}};
}

TEST(BusiestTileWords, CountsWordsSentOncePerGroupAndReceivedPerDestination) {
  LoweredExchangeEpoch epoch;
  EXPECT_EQ(busiest_tile_words(epoch), (std::pair<std::uint16_t, std::uint64_t>{0, 0}));
  epoch.groups = {group(0, {1, 2}, 64), group(1, {3}, 128), group(4, {3}, 64)};
  // Tile 1 receives 16 words and relays 32; tile 3 receives 32 + 16.
  EXPECT_EQ(busiest_tile_words(epoch), (std::pair<std::uint16_t, std::uint64_t>{1, 48}));
}

Allocation region(std::uint16_t tile, std::uint32_t size, std::size_t from, std::size_t until) {
  return Allocation{TensorId{0}, tile, 0, size, from, until, Home{}};
}

TEST(LiveBytesBound, LargestSumLiveInOnePhaseBothEndsCounting) {
  const std::vector<Allocation> allocations = {region(0, 100, 0, 2), region(0, 50, 2, 4), region(0, 30, 3, 5),
                                               region(0, 10, 5, 5),  region(1, 7, 4, 4),  region(1, 9, 5, 6)};
  // Tile 0 by phase: 100, 100, 150, 80, 80, 40. Tile 1: 7, then 9.
  EXPECT_EQ(live_bytes_bound(allocations), (std::map<std::uint16_t, std::uint64_t>{{0, 150}, {1, 9}}));
  EXPECT_TRUE(live_bytes_bound({}).empty());
  // An inverted life is live in no phase; the tile still has its (zero) bound.
  EXPECT_EQ(live_bytes_bound(std::vector<Allocation>{region(2, 64, 3, 1)}),
            (std::map<std::uint16_t, std::uint64_t>{{2, 0}}));
}

// Against the sum at every phase, counted region by region, on seeded cases.
TEST(LiveBytesBound, EqualsTheLargestSumOverEveryPhase) {
  std::mt19937 random(5);
  for (int seed = 0; seed < 200; ++seed) {
    std::vector<Allocation> allocations;
    for (int i = 0, n = static_cast<int>(random() % 30); i < n; ++i) {
      const std::size_t from = random() % 12;
      const std::size_t until = random() % 8 == 0 ? from - std::min<std::size_t>(from, 1) : from + random() % 5;
      allocations.push_back(region(static_cast<std::uint16_t>(random() % 3),
                                   static_cast<std::uint32_t>(1 + random() % 1000), from, until));
    }
    std::map<std::uint16_t, std::uint64_t> expected;
    for (const Allocation& a : allocations) expected.try_emplace(a.tile, 0);
    for (auto& [tile, largest] : expected) {
      for (std::size_t phase = 0; phase < 20; ++phase) {
        std::uint64_t live = 0;
        for (const Allocation& a : allocations) live += a.tile == tile && live_in(a, phase) ? a.size : 0;
        largest = std::max(largest, live);
      }
    }
    ASSERT_EQ(live_bytes_bound(allocations), expected) << "seed " << seed;
  }
}

// The bounds are lower bounds of what the compiler achieves, launch by launch and tile by tile.
TEST(SummarizeProgram, EncoderFiguresStayAboveTheirBounds) {
  const Graph graph = encoder_graph({}).value();
  const Program program = build_program(graph, {}, velk_exchange::Topology::r77()).value();
  const Schedule& schedule = program.schedule;
  const CompileSummary summary = summarize_program(graph, program);
  EXPECT_EQ(summary.tensors, 22u);
  EXPECT_EQ(summary.operations, 15u);
  EXPECT_EQ(summary.outputs, 1u);
  EXPECT_EQ(summary.compute_phases, 15u);
  EXPECT_EQ(summary.exchange_phases, 2u);
  EXPECT_EQ(summary.data_offset, 0x8000u);
  ASSERT_EQ(summary.launches.size(), 2u);
  EXPECT_EQ(summary.launches[0].phase, 7u);
  EXPECT_EQ(summary.launches[1].phase, 12u);
  for (const LaunchFigures& launch : summary.launches) {
    EXPECT_EQ(launch.slots, 1u);
    EXPECT_GT(launch.busiest_words, 0u);
    EXPECT_GE(launch.cycles, launch.busiest_words);
  }
  EXPECT_EQ(summary.launches[0].groups, 4u);
  ASSERT_EQ(summary.peaks.size(), 64u);
  for (const TilePeak& peak : summary.peaks) {
    EXPECT_EQ(peak.peak, schedule.peak_sram.at(peak.tile));
    EXPECT_GT(peak.live_bytes, 0u);
    EXPECT_GE(peak.peak, peak.live_bytes);
  }
}

TEST(PeakSpread, LowestTileStandsForEqualPeaksAndTheMedianIsTheLowerMiddle) {
  EXPECT_EQ(peak_spread({}), std::nullopt);
  const TilePeak single{3, 100, 50};
  EXPECT_EQ(peak_spread(std::vector<TilePeak>{single}), (PeakSpread{single, single, single}));
  const std::vector<TilePeak> three = {{0, 4096, 1}, {1, 8192, 2}, {2, 2048, 3}};
  EXPECT_EQ(peak_spread(three), (PeakSpread{three[2], three[0], three[1]}));
  const std::vector<TilePeak> equals = {{0, 5, 0}, {1, 5, 0}, {2, 3, 0}, {3, 5, 0}};
  EXPECT_EQ(peak_spread(equals), (PeakSpread{equals[2], equals[0], equals[0]}));
  const std::vector<TilePeak> low_equals = {{4, 1, 0}, {5, 1, 0}, {6, 9, 0}, {7, 9, 0}};
  EXPECT_EQ(peak_spread(low_equals), (PeakSpread{low_equals[0], low_equals[1], low_equals[2]}));
}

// A program assembled by hand without its slots reads nothing beyond them.
TEST(SummarizeProgram, ProgramWithoutSlotsCountsNone) {
  const Graph graph = encoder_graph({}).value();
  Program program = build_program(graph, {}, velk_exchange::Topology::r77()).value();
  program.group_slots.clear();
  const CompileSummary summary = summarize_program(graph, program);
  ASSERT_EQ(summary.launches.size(), 2u);
  for (const LaunchFigures& launch : summary.launches) EXPECT_EQ(launch.slots, 0u);
}

}  // namespace
}  // namespace velk_compiler
