// The scenario checks, one function each. The table in scenario_table.cpp lists them under
// their names in the self-check's fixed order.
#pragma once

#include "scenarios.hpp"

namespace velk_compiler {

// The region finder under a High window: first fit at the top, a concurrent region just
// below it, and dead or other-tile storage reused.
[[nodiscard]] CheckOutcome constrained_allocator_obeys_bounds_and_reuses_dead_storage();
// The region finder reports a fully occupied window with its exhaustion message.
[[nodiscard]] CheckOutcome constrained_allocator_reports_exhaustion();
// The encoder block compiles twice to equal schedules and lowers all the way to commands.
[[nodiscard]] CheckOutcome encoder_graph_compiles_deterministically();
// The host reference of a small encoder block is finite, repeatable and has the known
// checksum.
[[nodiscard]] CheckOutcome encoder_reference_is_finite_and_repeatable();
// No two regions of one tile share a byte while both are live.
[[nodiscard]] CheckOutcome live_allocations_do_not_overlap();
[[nodiscard]] CheckOutcome scheduler_coalesces_fanout_and_packs_disjoint_groups();
[[nodiscard]] CheckOutcome scheduler_colors_ring_and_all_to_all_fanout();
[[nodiscard]] CheckOutcome scheduler_is_deterministic_for_varied_transfer_graphs();
[[nodiscard]] CheckOutcome scheduler_packs_an_all_tile_matching_into_one_epoch();
[[nodiscard]] CheckOutcome scheduler_relays_a_tensor_without_an_intermediate_launch();
[[nodiscard]] CheckOutcome scheduler_times_tile_role_conflicts_within_one_launch();
[[nodiscard]] CheckOutcome scheduler_uses_live_staging_as_a_later_phase_source();

}  // namespace velk_compiler
