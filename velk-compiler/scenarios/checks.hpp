// The scenario checks of the compiler library, one function each. The table in
// scenario_table.cpp lists them under their names in the self-check's fixed order.
#pragma once

#include "scenarios.hpp"

namespace velk_compiler {

// The region finder under a High window: first fit at the top, a concurrent region just
// below it, and dead or other-tile storage reused.
CheckOutcome constrained_allocator_obeys_bounds_and_reuses_dead_storage();
// The region finder reports a fully occupied window with its exhaustion message.
CheckOutcome constrained_allocator_reports_exhaustion();
// The host reference of a small encoder block is finite, repeatable and has the known
// checksum.
CheckOutcome encoder_reference_is_finite_and_repeatable();

}  // namespace velk_compiler
