// The scenario checks, one function each, listed in the self-check's fixed order by
// scenario_table.cpp.
#pragma once

#include "scenarios.hpp"

namespace velk_compiler {

CheckOutcome encoder_graph_compiles_deterministically();
CheckOutcome live_allocations_do_not_overlap();
CheckOutcome scheduler_coalesces_fanout_and_packs_disjoint_groups();
CheckOutcome scheduler_colors_ring_and_all_to_all_fanout();
CheckOutcome scheduler_is_deterministic_for_varied_transfer_graphs();
CheckOutcome scheduler_packs_an_all_tile_matching_into_one_epoch();
CheckOutcome scheduler_relays_a_tensor_without_an_intermediate_launch();
CheckOutcome scheduler_times_tile_role_conflicts_within_one_launch();
CheckOutcome scheduler_uses_live_staging_as_a_later_phase_source();

}  // namespace velk_compiler
