#include "velk_io/compile_report.hpp"

#include <gtest/gtest.h>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_exchange/topology.hpp"

namespace velk_io {
namespace {

namespace vc = velk_compiler;

vc::LoweredExchangeGroup group(std::uint16_t source, std::vector<std::uint16_t> destinations, std::uint32_t bytes) {
  return vc::LoweredExchangeGroup{source, std::move(destinations), vc::TensorId{0}, bytes, {}, {}, {}};
}

TEST(BusiestTileWords, CountsWordsSentOncePerGroupAndReceivedPerDestination) {
  vc::LoweredExchangeEpoch epoch;
  EXPECT_EQ(busiest_tile_words(epoch), (std::pair<std::uint16_t, std::uint64_t>{0, 0}));
  epoch.groups = {group(0, {1, 2}, 64), group(1, {3}, 128), group(4, {3}, 64)};
  // Tile 1 receives 16 words and relays 32; tile 3 receives 32 + 16.
  EXPECT_EQ(busiest_tile_words(epoch), (std::pair<std::uint16_t, std::uint64_t>{1, 48}));
}

vc::Allocation region(std::uint16_t tile, std::uint32_t size, std::size_t from, std::size_t until) {
  return vc::Allocation{vc::TensorId{0}, tile, 0, size, from, until, vc::Home{}};
}

TEST(LiveBytesBound, LargestSumLiveInOnePhaseBothEndsCounting) {
  const std::vector<vc::Allocation> allocations = {region(0, 100, 0, 2), region(0, 50, 2, 4), region(0, 30, 3, 5),
                                                   region(0, 10, 5, 5),  region(1, 7, 4, 4),  region(1, 9, 5, 6)};
  // Tile 0 by phase: 100, 100, 150, 80, 80, 40. Tile 1: 7, then 9.
  EXPECT_EQ(live_bytes_bound(allocations), (std::map<std::uint16_t, std::uint64_t>{{0, 150}, {1, 9}}));
  EXPECT_TRUE(live_bytes_bound({}).empty());
}

// The bounds are lower bounds of what the compiler achieves, launch by launch and tile by tile.
TEST(SummarizeCompilation, EncoderFiguresStayAboveTheirBounds) {
  const vc::Graph graph = vc::encoder_graph({}).value();
  const vc::Schedule schedule = vc::compile(graph, {}).value();
  const auto exchanges = schedule.lower_exchanges(velk_exchange::Topology::r77()).value();
  const vc::Result<CompileSummary> summary = summarize_compilation(graph, {}, schedule, exchanges);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->tensors, 22u);
  EXPECT_EQ(summary->operations, 15u);
  EXPECT_EQ(summary->outputs, 1u);
  EXPECT_EQ(summary->compute_phases, 15u);
  EXPECT_EQ(summary->exchange_phases, 2u);
  EXPECT_EQ(summary->data_offset, 0x8000u);
  ASSERT_EQ(summary->launches.size(), 2u);
  EXPECT_EQ(summary->launches[0].phase, 7u);
  EXPECT_EQ(summary->launches[1].phase, 12u);
  for (const LaunchFigures& launch : summary->launches) {
    EXPECT_EQ(launch.slots, 1u);
    EXPECT_GT(launch.busiest_words, 0u);
    EXPECT_GE(launch.cycles, launch.busiest_words);
  }
  EXPECT_EQ(summary->launches[0].groups, 4u);
  ASSERT_EQ(summary->peaks.size(), 64u);
  for (const TilePeak& peak : summary->peaks) {
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

TEST(RenderSummary, NamesEveryFigureBesideItsBound) {
  CompileSummary summary{3,
                         1,
                         1,
                         1,
                         1,
                         {LaunchFigures{0, 0, 2, 3, 300, 5, 256}},
                         {TilePeak{0, 4096, 1024}, TilePeak{1, 8192, 8192}, TilePeak{2, 2048, 1024}},
                         0};
  EXPECT_EQ(render_summary(summary),
            "graph: 3 tensors, 1 operation, 1 output\n"
            "phases: 2 (1 compute, 1 exchange)\n"
            "exchange launches: 1 (cycles; bound: the words the busiest tile sends plus receives)\n"
            "  phase 0 launch 0: 2 slots, 3 groups, 300 cycles (bound 256 on tile 5, +44)\n"
            "peak SRAM per tile: 3 tiles (bytes from the lower window base; bound: the bytes of the tile's regions "
            "live in one phase)\n"
            "  minimum 2048 on tile 2 (bound 1024, +1024)\n"
            "  median  4096 on tile 0 (bound 1024, +3072)\n"
            "  maximum 8192 on tile 1 (bound 8192, +0)\n"
            "  fullest tiles: 8192 on tile 1 (bound 8192, +0), 4096 on tile 0 (bound 1024, +3072), 2048 on tile 2 "
            "(bound 1024, +1024)\n");
  summary.data_offset = 0x8000;
  EXPECT_TRUE(render_summary(summary).ends_with(
      "  (peaks count from the lower window base; the data window starts 32768 bytes above it)\n"));
}

// Two one-tile operands of a product over 16 tiles: tile 1 stages both in one phase.
vc::Graph fan_out_product() {
  vc::Graph graph;
  const vc::TensorId a = graph.input("a", {64, 4});
  const vc::TensorId b = graph.input("b", {4, 64});
  EXPECT_TRUE(graph.mark_output(graph.matmul("product", a, b).value()));
  return graph;
}

TEST(RenderCompileFailure, MemoryFailuresSayWhy) {
  vc::CompilerOptions options;
  options.exchange_limit = 0x507F0;
  const vc::Graph graph = fan_out_product();
  const vc::Result<vc::Schedule> compiled = vc::compile(graph, options);
  ASSERT_FALSE(compiled);
  EXPECT_EQ(
      render_compile_failure(graph, options, compiled.error()),
      "memory: tile 1 exceeds data limit allocating tensor 1 exchange staging\n"
      "why: tile 1 needs 1024 bytes for tensor 1 \"b\" (staging of phase 0, alignment 16, live in phases 0 to 1)\n"
      "  in the exchange window 0x50000..0x507F0 (2032 bytes)\n"
      "live beside it on tile 1 in that window: 1 region, 1024 bytes\n"
      "  tensor  name  kind                  address          size  live\n"
      "       0  a     staging of phase 0    0x50000          1024  0..1\n");
}

TEST(RenderCompileFailure, OtherFailuresAreTheCompilersRendering) {
  vc::CompilerOptions options;
  options.tile_count = 0;
  const vc::CompileError error = vc::CompileError::graph("invalid compiler options");
  EXPECT_EQ(render_compile_failure(fan_out_product(), options, error), "graph: invalid compiler options\n");
  const vc::CompileError exchange = velk_exchange::ExchangeError::count(0);
  EXPECT_EQ(render_compile_failure(fan_out_product(), {}, exchange), vc::to_string(exchange) + "\n");
}

}  // namespace
}  // namespace velk_io
