// The table of scenario checks, in the self-check's fixed order.
#include "checks.hpp"

namespace velk_compiler {

std::span<const ScenarioCheck> scenario_checks() {
  static constexpr ScenarioCheck table[] = {
      {"live_allocations_do_not_overlap", live_allocations_do_not_overlap},
  };
  return table;
}

}  // namespace velk_compiler
