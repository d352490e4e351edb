// The scenario checks, one function each, listed in the self-check's fixed order by
// scenario_table.cpp.
#pragma once

#include "scenarios.hpp"

namespace velk_compiler {

CheckOutcome live_allocations_do_not_overlap();

}  // namespace velk_compiler
