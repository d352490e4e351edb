// The table of scenario checks, in the self-check's fixed order.
#include "checks.hpp"

namespace velk_compiler {

std::span<const ScenarioCheck> scenario_checks() {
  static constexpr ScenarioCheck table[] = {
      {"constrained_allocator_obeys_bounds_and_reuses_dead_storage",
       constrained_allocator_obeys_bounds_and_reuses_dead_storage},
      {"constrained_allocator_reports_exhaustion", constrained_allocator_reports_exhaustion},
      // encoder_graph_compiles_deterministically goes here.
      {"encoder_reference_is_finite_and_repeatable", encoder_reference_is_finite_and_repeatable},
      // live_allocations_do_not_overlap and the scheduler_* checks follow.
  };
  return table;
}

}  // namespace velk_compiler
