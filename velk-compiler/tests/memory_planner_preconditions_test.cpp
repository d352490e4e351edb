// plan_memory's refusals of inputs that the compile driver never hands it: layouts that do
// not fit the graph, and phases or outputs that name records the graph lacks.
#include <gtest/gtest.h>

#include <functional>

#include "velk_compiler/layout.hpp"
#include "velk_compiler/memory_planner.hpp"

namespace velk_compiler {
namespace {

struct Plan {
  Graph graph;
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
};

// input [4, 4] -> gelu -> output, on one tile, with an exchange phase that sends the input.
Plan small_plan() {
  Plan plan;
  const TensorId input = plan.graph.input("x", {4, 4});
  const TensorId result = *plan.graph.gelu("g", input);
  EXPECT_TRUE(plan.graph.mark_output(result));
  for (const Tensor& tensor : plan.graph.tensors) plan.layouts.push_back(choose_layout(tensor, 2));
  plan.phases = {ExchangePhase{{Transfer{0, 1, input, 64}}},
                 ComputePhase{OpId{0}, {KernelCommand{0, result, {input}, {}}}}};
  return plan;
}

Result<std::vector<Allocation>> plan_of(const Plan& plan) {
  return plan_memory(plan.graph, plan.layouts, plan.phases, CompilerOptions{});
}

TEST(PlanMemoryPreconditions, AcceptsTheSmallPlan) {
  const auto allocations = plan_of(small_plan());
  ASSERT_TRUE(allocations) << allocations.error();
  EXPECT_EQ(allocations->size(), 3u);  // two homes and one staging region
}

TEST(PlanMemoryPreconditions, RefusesLayoutsThatDoNotFitTheGraph) {
  const CompileError refused = CompileError::graph("memory plan needs one non-empty layout per tensor");
  const std::function<void(Plan&)> mutations[] = {
      [](Plan& p) { p.layouts.pop_back(); },
      [](Plan& p) { p.layouts.push_back(p.layouts[0]); },
      [](Plan& p) { p.layouts[1].tiles.clear(); },
      [](Plan& p) { p.layouts[0].alignment = 0; },
  };
  for (const auto& mutate : mutations) {
    Plan plan = small_plan();
    mutate(plan);
    EXPECT_EQ(plan_of(plan), std::unexpected(refused));
  }
}

TEST(PlanMemoryPreconditions, RefusesNamesOfRecordsTheGraphLacks) {
  const CompileError refused = CompileError::graph("memory plan phase names an unknown operation or tensor");
  const std::function<void(Plan&)> mutations[] = {
      [](Plan& p) { std::get<ComputePhase>(p.phases[1]).op = OpId{1}; },
      [](Plan& p) { p.graph.ops[0].output = TensorId{2}; },
      [](Plan& p) { p.graph.ops[0].inputs.push_back(TensorId{7}); },
      [](Plan& p) { std::get<ExchangePhase>(p.phases[0]).transfers[0].tensor = TensorId{2}; },
      [](Plan& p) { p.graph.outputs.push_back(TensorId{9}); },
  };
  for (const auto& mutate : mutations) {
    Plan plan = small_plan();
    mutate(plan);
    EXPECT_EQ(plan_of(plan), std::unexpected(refused));
  }
}

}  // namespace
}  // namespace velk_compiler
