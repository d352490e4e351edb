#include "velk_compiler/memory_diagnostics.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_compiler/memory_planner.hpp"

namespace velk_compiler {
namespace {

Graph encoder() {
  Result<Graph> graph = encoder_graph(EncoderConfig{});
  EXPECT_TRUE(graph);
  return graph ? *graph : Graph{};
}

// Two one-tile operands whose product spreads over 16 tiles: every result tile but tile 0
// stages both operands in the same exchange phase.
Graph fan_out_product() {
  Graph graph;
  const TensorId a = graph.input("a", {64, 4});
  const TensorId b = graph.input("b", {4, 64});
  Result<TensorId> product = graph.matmul("product", a, b);
  EXPECT_TRUE(product);
  EXPECT_TRUE(graph.mark_output(*product));
  return graph;
}

// One tensor of 8 GiB on a single tile: its share cannot be a 32-bit size.
Graph oversized() {
  Graph graph;
  const TensorId x = graph.input("x", {std::size_t{1} << 20, std::size_t{1} << 11});
  Result<TensorId> y = graph.gelu("y", x);
  EXPECT_TRUE(y);
  EXPECT_TRUE(graph.mark_output(*y));
  return graph;
}

CompilerOptions with_data_limit(std::uint32_t limit) {
  CompilerOptions options;
  options.data_limit = limit;
  return options;
}

CompilerOptions with_exchange_limit(std::uint32_t limit) {
  CompilerOptions options;
  options.exchange_limit = limit;
  return options;
}

CompilerOptions one_tile() {
  CompilerOptions options;
  options.tile_count = 1;
  return options;
}

struct Case {
  const char* name;
  std::function<Graph()> graph;
  CompilerOptions options;
};

// Whatever `compile` says about memory, the diagnosis says the same: nothing when planning
// succeeds, the same error when it fails, and earlier errors unchanged.
TEST(DiagnoseMemoryPlan, AgreesWithCompile) {
  const Case cases[] = {
      {"encoder, default options", encoder, CompilerOptions{}},
      {"encoder, 8 KiB data window", encoder, with_data_limit(0x5A000)},
      {"encoder, 32 KiB data window", encoder, with_data_limit(0x60000)},
      {"encoder, staging window too small", encoder, with_exchange_limit(0x503F0)},
      {"encoder, invalid options", encoder, with_exchange_limit(0x58010)},
      {"fan-out product, 2032-byte staging window", fan_out_product, with_exchange_limit(0x507F0)},
      {"oversized share", oversized, one_tile()},
      {"graph without outputs", [] { return Graph{}; }, CompilerOptions{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Graph graph = c.graph();
    const Result<Schedule> compiled = compile(graph, c.options);
    const Result<std::optional<MemoryFailure>> diagnosis = diagnose_memory_plan(graph, c.options);
    if (compiled) {
      ASSERT_TRUE(diagnosis);
      EXPECT_EQ(*diagnosis, std::nullopt);
    } else if (compiled.error().kind() == CompileError::Kind::Memory) {
      ASSERT_TRUE(diagnosis);
      ASSERT_TRUE(diagnosis->has_value());
      EXPECT_EQ((*diagnosis)->error, compiled.error());
    } else {
      EXPECT_EQ(diagnosis, std::unexpected(compiled.error()));
    }
  }
}

// The regions reported live are those the planner had placed before the failing one: with a
// data window large enough, `compile` places the same regions first (the walk never looks at
// the limit before it has found a position), so its plan is the oracle.
TEST(DiagnoseMemoryPlan, ReportsTheRegionsLiveOnTheFailingTile) {
  const Graph graph = encoder();
  const CompilerOptions tight = with_data_limit(0x5A000);
  const Result<std::optional<MemoryFailure>> diagnosis = diagnose_memory_plan(graph, tight);
  ASSERT_TRUE(diagnosis);
  ASSERT_TRUE(diagnosis->has_value());
  const MemoryFailure& failure = **diagnosis;
  const FailedRegion& region = failure.region;
  EXPECT_EQ(failure.error,
            CompileError::memory("tile " + std::to_string(region.tile) + " exceeds data limit allocating " +
                                 graph.tensors[region.tensor.index].name));
  EXPECT_EQ(region.label, graph.tensors[region.tensor.index].name);
  EXPECT_EQ(region.kind, AllocationKind{Home{}});
  EXPECT_EQ(region.window_base, 0x58000u);
  EXPECT_EQ(region.window_limit, 0x5A000u);
  EXPECT_EQ(region.alignment, 16u);

  const Result<Schedule> roomy = compile(graph, CompilerOptions{});
  ASSERT_TRUE(roomy);
  std::vector<Allocation> expected;
  bool reached = false;
  for (const Allocation& a : roomy->allocations) {
    if (a.tensor == region.tensor && a.tile == region.tile && std::holds_alternative<Home>(a.kind)) {
      reached = true;
      EXPECT_EQ(a.size, region.size);
      EXPECT_EQ(a.live_from, region.live_from);
      EXPECT_EQ(a.live_until, region.live_until);
      EXPECT_GT(std::uint64_t{a.address} + a.size, region.window_limit);
      break;
    }
    if (a.tile == region.tile && a.address < region.window_limit &&
        lifetimes_overlap(region.live_from, region.live_until, a.live_from, a.live_until)) {
      expected.push_back(a);
    }
  }
  ASSERT_TRUE(reached);
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(failure.live_regions, expected);
}

TEST(DiagnoseMemoryPlan, StagingFailureNamesTheWindowAndTheLiveStaging) {
  const Result<std::optional<MemoryFailure>> diagnosis =
      diagnose_memory_plan(fan_out_product(), with_exchange_limit(0x507F0));
  ASSERT_TRUE(diagnosis);
  ASSERT_TRUE(diagnosis->has_value());
  const MemoryFailure expected{
      CompileError::memory("tile 1 exceeds data limit allocating tensor 1 exchange staging"),
      FailedRegion{TensorId{1}, "tensor 1 exchange staging", 1, 1024, 16, 0, 1, ExchangeStaging{0}, 0x50000, 0x507F0},
      {Allocation{TensorId{0}, 1, 0x50000, 1024, 0, 1, ExchangeStaging{0}}}};
  EXPECT_EQ(**diagnosis, expected);
}

TEST(DiagnoseMemoryPlan, OversizedShareKeepsItsFullSize) {
  const Result<std::optional<MemoryFailure>> diagnosis = diagnose_memory_plan(oversized(), one_tile());
  ASSERT_TRUE(diagnosis);
  ASSERT_TRUE(diagnosis->has_value());
  EXPECT_EQ((*diagnosis)->error,
            CompileError::memory("tensor x share of 8589934592 bytes does not fit in tile memory"));
  EXPECT_EQ((*diagnosis)->region.size, std::uint64_t{8589934592});
  EXPECT_EQ((*diagnosis)->region.tile, 0u);
  EXPECT_TRUE((*diagnosis)->live_regions.empty());
}

}  // namespace
}  // namespace velk_compiler
