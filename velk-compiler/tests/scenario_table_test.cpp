#include <gtest/gtest.h>

#include "scenarios.hpp"

namespace velk_compiler {
namespace {

TEST(ScenarioTable, HoldsTheTwelveChecksInTheirFixedOrder) {
  const std::vector<std::string_view> expected = {
      "constrained_allocator_obeys_bounds_and_reuses_dead_storage",
      "constrained_allocator_reports_exhaustion",
      "encoder_graph_compiles_deterministically",
      "encoder_reference_is_finite_and_repeatable",
      "live_allocations_do_not_overlap",
      "scheduler_coalesces_fanout_and_packs_disjoint_groups",
      "scheduler_colors_ring_and_all_to_all_fanout",
      "scheduler_is_deterministic_for_varied_transfer_graphs",
      "scheduler_packs_an_all_tile_matching_into_one_epoch",
      "scheduler_relays_a_tensor_without_an_intermediate_launch",
      "scheduler_times_tile_role_conflicts_within_one_launch",
      "scheduler_uses_live_staging_as_a_later_phase_source",
  };
  std::vector<std::string_view> names;
  for (const ScenarioCheck& check : scenario_checks()) {
    names.push_back(check.name);
    EXPECT_NE(check.run, nullptr) << check.name;
  }
  EXPECT_EQ(names, expected);
}

}  // namespace
}  // namespace velk_compiler
