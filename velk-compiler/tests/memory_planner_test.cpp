#include "velk_compiler/memory_planner.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "velk_compiler/compile.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_compiler/verifier.hpp"

namespace velk_compiler {
namespace {

RegionRequest request(std::uint16_t tile, std::uint32_t size, std::size_t from, std::size_t until,
                      std::uint32_t base = 0x58000, std::uint32_t limit = 0xE0000) {
  return RegionRequest{TensorId{1}, tile, size, from, until, 16, Home{}, base, limit, RegionLabel{"x", {}}};
}

std::uint32_t place(PlacedRegions& placed, const RegionRequest& r) {
  const Result<void> result = allocate_region(placed, r);
  EXPECT_TRUE(result) << (result ? "" : result.error().message());
  return placed.allocations.back().address;
}

TEST(AllocateRegion, FirstFitFromUnalignedBaseThenAlignedJumps) {
  PlacedRegions placed;
  EXPECT_EQ(place(placed, request(0, 20, 0, 5, 0x58004)), 0x58004u);
  // Collides with [0x58004, 0x58018): jumps to 0x58018 rounded up to 16.
  EXPECT_EQ(place(placed, request(0, 8, 2, 3, 0x58004)), 0x58020u);
  // Live only with the first region: the second one's bytes are free in phase 4.
  EXPECT_EQ(place(placed, request(0, 4, 4, 4, 0x58004)), 0x58020u);
  // Live with both: jumps past the first, collides with the second, restarts and settles.
  EXPECT_EQ(place(placed, request(0, 4, 2, 2, 0x58004)), 0x58030u);
}

// The base is the first candidate even when it is not aligned, and a live region ending
// exactly there does not push it (here a region of the window below).
TEST(AllocateRegion, RegionEndingAtAnUnalignedBaseLeavesIt) {
  PlacedRegions placed;
  RegionRequest below = request(0, 4, 0, 5, 0x50000, 0x58004);
  below.alignment = 4;
  EXPECT_EQ(place(placed, below), 0x50000u);
  EXPECT_EQ(place(placed, RegionRequest{below.tensor, 0, 0x8000, 0, 5, 4, Home{}, 0x50000, 0x58004, {"x", {}}}),
            0x50004u);  // ends at 0x58004
  EXPECT_EQ(place(placed, request(0, 16, 0, 5, 0x58004)), 0x58004u);
}

TEST(AllocateRegion, ReusesBytesOfRegionsWhoseLifetimeEnded) {
  PlacedRegions placed;
  EXPECT_EQ(place(placed, request(0, 64, 0, 2)), 0x58000u);
  EXPECT_EQ(place(placed, request(0, 64, 3, 4)), 0x58000u);  // [0, 2] ended before 3
  EXPECT_EQ(place(placed, request(0, 64, 2, 3)), 0x58040u);  // 2 is shared: both ends count
  EXPECT_EQ(place(placed, request(1, 64, 0, 9)), 0x58000u);  // other tile
}

TEST(AllocateRegion, RegionMayEndExactlyAtTheLimit) {
  PlacedRegions placed;
  EXPECT_EQ(place(placed, request(2, 0x100, 0, 0, 0x50000, 0x50100)), 0x50000u);
  PlacedRegions other;
  const Result<void> refused = allocate_region(other, request(3, 0x101, 0, 0, 0x50000, 0x50100));
  EXPECT_EQ(refused, std::unexpected(CompileError::memory("tile 3 exceeds data limit allocating x")));
  EXPECT_TRUE(other.allocations.empty());
}

TEST(AllocateRegion, AddressOverflow) {
  PlacedRegions placed;
  const std::uint32_t top = std::numeric_limits<std::uint32_t>::max();
  EXPECT_EQ(allocate_region(placed, request(0, 16, 0, 0, top - 15, top)),
            std::unexpected(CompileError::memory("address overflow")));
  // A region ending exactly at 2^32 - 1 fits; the next one's aligned start would pass it.
  ASSERT_TRUE(allocate_region(placed, request(0, 15, 0, 0, top - 15, top)));
  EXPECT_EQ(allocate_region(placed, request(0, 1, 0, 0, top - 15, top)),
            std::unexpected(CompileError::memory("address overflow")));
  EXPECT_EQ(placed.allocations.size(), 1u);
}

TEST(LifetimesOverlap, BothEndsInclusive) {
  EXPECT_TRUE(lifetimes_overlap(0, 2, 2, 4));
  EXPECT_TRUE(lifetimes_overlap(2, 4, 0, 2));
  EXPECT_TRUE(lifetimes_overlap(3, 3, 3, 3));
  EXPECT_FALSE(lifetimes_overlap(0, 1, 2, 3));
  EXPECT_FALSE(lifetimes_overlap(2, 3, 0, 1));
}

TEST(AlignU32, RoundsUpAndRefusesOverflow) {
  EXPECT_EQ(align_u32(0, 16), 0u);
  EXPECT_EQ(align_u32(16, 16), 16u);
  EXPECT_EQ(align_u32(17, 16), 32u);
  EXPECT_EQ(align_u32(0xFFFFFFF0u, 16), 0xFFFFFFF0u);
  EXPECT_EQ(align_u32(0xFFFFFFF1u, 16), std::nullopt);
  EXPECT_EQ(align_u32(5, 0), std::nullopt);
  EXPECT_EQ(align_u32(5, 3), 6u);
}

// input x [256] (one tile) -> y = gelu(x) on one tile; with `tiles` = 2 the operand z
// [512] spans two tiles and the result w [1024] four, so w's kernel needs staged shares.
struct PlannedGraph {
  Graph graph;
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
};

PlannedGraph chain(bool read_result) {
  PlannedGraph p;
  const TensorId x = p.graph.input("x", {256});
  const TensorId y = *p.graph.gelu("y", x);
  const TensorId z = *p.graph.gelu("z", x);
  if (read_result)
    (void)p.graph.mark_output(*p.graph.add("sum", y, z));
  else
    (void)p.graph.mark_output(z);
  for (const Tensor& t : p.graph.tensors) p.layouts.push_back(choose_layout(t, 4));
  for (const Op& op : p.graph.ops) p.phases.emplace_back(ComputePhase{op.id, {}});
  return p;
}

TEST(PlanMemory, LifetimesFromPhases) {
  const PlannedGraph p = chain(true);
  const Result<std::vector<Allocation>> plan = plan_memory(p.graph, p.layouts, p.phases, CompilerOptions{});
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 4u);
  // x is read by phases 0 and 1; y written in 0 read in 2; z written in 1 read in 2;
  // the output stays reserved through the phase count (3).
  EXPECT_EQ((*plan)[0], (Allocation{TensorId{0}, 0, 0x58000, 1024, 0, 1, Home{}}));
  EXPECT_EQ((*plan)[1], (Allocation{TensorId{1}, 0, 0x58400, 1024, 0, 2, Home{}}));
  EXPECT_EQ((*plan)[2], (Allocation{TensorId{2}, 0, 0x58800, 1024, 1, 2, Home{}}));
  EXPECT_EQ((*plan)[3], (Allocation{TensorId{3}, 0, 0x58000, 1024, 2, 3, Home{}}));
}

TEST(PlanMemory, ResultNeverReadKeepsItsProducingPhase) {
  const PlannedGraph p = chain(false);
  const Result<std::vector<Allocation>> plan = plan_memory(p.graph, p.layouts, p.phases, CompilerOptions{});
  ASSERT_TRUE(plan);
  // y is written in phase 0 and never read: its home covers phase 0, so z (live from 1)
  // may reuse the bytes but nothing live in phase 0 may.
  EXPECT_EQ((*plan)[1], (Allocation{TensorId{1}, 0, 0x58400, 1024, 0, 0, Home{}}));
  EXPECT_EQ((*plan)[2], (Allocation{TensorId{2}, 0, 0x58400, 1024, 1, 2, Home{}}));
}

// x -> a, x -> b, a -> c (the output): b is written in phase 1 and never read, and its home
// still covers phase 1, where nothing else may take its bytes.
TEST(PlanMemory, ResultNeverReadAfterPhaseZeroKeepsItsProducingPhase) {
  PlannedGraph p;
  const TensorId x = p.graph.input("x", {256});
  const TensorId a = *p.graph.gelu("a", x);
  const TensorId b = *p.graph.gelu("b", x);
  (void)p.graph.mark_output(*p.graph.gelu("c", a));
  for (const Tensor& t : p.graph.tensors) p.layouts.push_back(choose_layout(t, 4));
  for (const Op& op : p.graph.ops) p.phases.emplace_back(ComputePhase{op.id, {}});
  const Result<std::vector<Allocation>> plan = plan_memory(p.graph, p.layouts, p.phases, CompilerOptions{});
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 4u);
  EXPECT_EQ((*plan)[2], (Allocation{b, 0, 0x58800, 1024, 1, 1, Home{}}));
  const Result<Schedule> schedule = compile(p.graph, CompilerOptions{});
  ASSERT_TRUE(schedule);
  EXPECT_TRUE(verify_schedule(p.graph, *schedule, CompilerOptions{}));
}

TEST(PlanMemory, OneStagingRegionPerTensorTileAndPhase) {
  PlannedGraph p = chain(true);
  const TensorId x{0};
  p.phases = {ExchangePhase{{Transfer{0, 1, x, 40}, Transfer{2, 1, x, 40}, Transfer{0, 3, x, 40}}},
              ComputePhase{OpId{0}, {}}, ComputePhase{OpId{1}, {}}, ExchangePhase{{Transfer{0, 1, x, 40}}},
              ComputePhase{OpId{2}, {}}};
  const Result<std::vector<Allocation>> plan = plan_memory(p.graph, p.layouts, p.phases, CompilerOptions{});
  ASSERT_TRUE(plan);
  const std::vector<Allocation> staging(plan->begin() + 4, plan->end());
  ASSERT_EQ(staging.size(), 3u);
  EXPECT_EQ(staging[0], (Allocation{x, 1, 0x50000, 48, 0, 1, ExchangeStaging{0}}));
  EXPECT_EQ(staging[1], (Allocation{x, 3, 0x50000, 48, 0, 1, ExchangeStaging{0}}));
  EXPECT_EQ(staging[2], (Allocation{x, 1, 0x50000, 48, 3, 4, ExchangeStaging{3}}));
  // x is read by the exchange of phase 3: its home reaches there.
  EXPECT_EQ((*plan)[0].live_until, 3u);
}

TEST(PlanMemory, StagingRegionsOfOneTileDoNotOverlapWithinTheirLifetime) {
  PlannedGraph p = chain(true);
  p.phases = {ExchangePhase{{Transfer{0, 1, TensorId{0}, 64}, Transfer{0, 1, TensorId{1}, 64}}},
              ComputePhase{OpId{0}, {}}, ExchangePhase{{Transfer{0, 1, TensorId{2}, 64}}}, ComputePhase{OpId{1}, {}},
              ComputePhase{OpId{2}, {}}};
  const Result<std::vector<Allocation>> plan = plan_memory(p.graph, p.layouts, p.phases, CompilerOptions{});
  ASSERT_TRUE(plan);
  EXPECT_EQ((*plan)[4].address, 0x50000u);
  EXPECT_EQ((*plan)[5].address, 0x50040u);
  // Phase 2's staging lives in [2, 3]; phase 0's in [0, 1]: the same bytes are reused.
  EXPECT_EQ((*plan)[6].address, 0x50000u);
}

TEST(PlanMemory, FailureReturnsOnlyTheError) {
  const PlannedGraph p = chain(true);
  CompilerOptions tight{};
  tight.data_limit = tight.data_base + 0x800;
  EXPECT_EQ(plan_memory(p.graph, p.layouts, p.phases, tight),
            std::unexpected(CompileError::memory("tile 0 exceeds data limit allocating z")));
  PlannedGraph staged = chain(true);
  staged.phases.insert(staged.phases.begin(), ExchangePhase{{Transfer{0, 2, TensorId{1}, 0x8001}}});
  EXPECT_EQ(plan_memory(staged.graph, staged.layouts, staged.phases, CompilerOptions{}),
            std::unexpected(CompileError::memory("tile 2 exceeds data limit allocating tensor 1 exchange staging")));
}

TEST(PlanMemory, RefusesSharesBeyond32Bits) {
  Graph graph;
  graph.input("huge", {std::size_t{1} << 31});  // 8 GiB on one tile
  const std::vector<Layout> layouts = {choose_layout(graph.tensors[0], 1)};
  EXPECT_EQ(plan_memory(graph, layouts, {}, CompilerOptions{}),
            std::unexpected(CompileError::memory("tensor huge share of 8589934592 bytes does not fit in tile memory")));
}

// The plan for plan_memory's refusals of inputs that the compile driver never hands it (layouts
// that do not fit the graph, phases or outputs that name records the graph lacks): input
// [4, 4] -> gelu -> output, on one tile, with an exchange phase that sends the input.
PlannedGraph small_plan() {
  PlannedGraph plan;
  const TensorId input = plan.graph.input("x", {4, 4});
  const TensorId result = *plan.graph.gelu("g", input);
  EXPECT_TRUE(plan.graph.mark_output(result));
  for (const Tensor& tensor : plan.graph.tensors) plan.layouts.push_back(choose_layout(tensor, 2));
  plan.phases = {ExchangePhase{{Transfer{0, 1, input, 64}}},
                 ComputePhase{OpId{0}, {KernelCommand{0, result, {input}, {}}}}};
  return plan;
}

[[nodiscard]] Result<std::vector<Allocation>> plan_of(const PlannedGraph& plan) {
  return plan_memory(plan.graph, plan.layouts, plan.phases, CompilerOptions{});
}

TEST(PlanMemoryPreconditions, AcceptsTheSmallPlan) {
  const auto allocations = plan_of(small_plan());
  ASSERT_TRUE(allocations) << allocations.error();
  EXPECT_EQ(allocations->size(), 3u);  // two homes and one staging region
}

TEST(PlanMemoryPreconditions, RefusesLayoutsThatDoNotFitTheGraph) {
  const CompileError refused = CompileError::graph("memory plan needs one non-empty layout per tensor");
  const std::function<void(PlannedGraph&)> mutations[] = {
      [](PlannedGraph& p) { p.layouts.pop_back(); },
      [](PlannedGraph& p) { p.layouts.push_back(p.layouts[0]); },
      [](PlannedGraph& p) { p.layouts[1].tiles.clear(); },
      [](PlannedGraph& p) { p.layouts[0].alignment = 0; },
  };
  for (const auto& mutate : mutations) {
    PlannedGraph plan = small_plan();
    mutate(plan);
    EXPECT_EQ(plan_of(plan), std::unexpected(refused));
  }
}

TEST(PlanMemoryPreconditions, RefusesNamesOfRecordsTheGraphLacks) {
  const CompileError refused = CompileError::graph("memory plan phase names an unknown operation or tensor");
  const std::function<void(PlannedGraph&)> mutations[] = {
      [](PlannedGraph& p) { std::get<ComputePhase>(p.phases[1]).op = OpId{1}; },
      [](PlannedGraph& p) { p.graph.ops[0].output = TensorId{2}; },
      [](PlannedGraph& p) { p.graph.ops[0].inputs.push_back(TensorId{7}); },
      [](PlannedGraph& p) { std::get<ExchangePhase>(p.phases[0]).transfers[0].tensor = TensorId{2}; },
      [](PlannedGraph& p) { p.graph.outputs.push_back(TensorId{9}); },
  };
  for (const auto& mutate : mutations) {
    PlannedGraph plan = small_plan();
    mutate(plan);
    EXPECT_EQ(plan_of(plan), std::unexpected(refused));
  }
}

TEST(PeakSram, HighestEndPerTileFromTheLowerBase) {
  const std::vector<Allocation> allocations = {
      Allocation{TensorId{0}, 3, 0x58000, 1024, 0, 0, Home{}},
      Allocation{TensorId{1}, 1, 0x50000, 64, 0, 0, ExchangeStaging{0}},
      Allocation{TensorId{2}, 3, 0x50000, 64, 0, 0, ExchangeStaging{0}},
  };
  const std::map<std::uint16_t, std::uint32_t> expected = {{1, 0x40}, {3, 0x8400}};
  EXPECT_EQ(peak_sram(allocations, 0x50000), expected);
}

}  // namespace
}  // namespace velk_compiler
