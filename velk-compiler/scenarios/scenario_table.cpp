// The table of scenario checks, in the self-check's fixed order.
#include "checks.hpp"

namespace velk_compiler {

std::span<const ScenarioCheck> scenario_checks() {
  static constexpr ScenarioCheck table[] = {
      {"constrained_allocator_obeys_bounds_and_reuses_dead_storage",
       constrained_allocator_obeys_bounds_and_reuses_dead_storage},
      {"constrained_allocator_reports_exhaustion", constrained_allocator_reports_exhaustion},
      {"encoder_graph_compiles_deterministically", encoder_graph_compiles_deterministically},
      {"encoder_reference_is_finite_and_repeatable", encoder_reference_is_finite_and_repeatable},
      {"live_allocations_do_not_overlap", live_allocations_do_not_overlap},
      {"scheduler_coalesces_fanout_and_packs_disjoint_groups", scheduler_coalesces_fanout_and_packs_disjoint_groups},
      {"scheduler_colors_ring_and_all_to_all_fanout", scheduler_colors_ring_and_all_to_all_fanout},
      {"scheduler_is_deterministic_for_varied_transfer_graphs", scheduler_is_deterministic_for_varied_transfer_graphs},
      {"scheduler_packs_an_all_tile_matching_into_one_epoch", scheduler_packs_an_all_tile_matching_into_one_epoch},
      {"scheduler_relays_a_tensor_without_an_intermediate_launch",
       scheduler_relays_a_tensor_without_an_intermediate_launch},
      {"scheduler_times_tile_role_conflicts_within_one_launch", scheduler_times_tile_role_conflicts_within_one_launch},
      {"scheduler_uses_live_staging_as_a_later_phase_source", scheduler_uses_live_staging_as_a_later_phase_source},
  };
  return table;
}

}  // namespace velk_compiler
