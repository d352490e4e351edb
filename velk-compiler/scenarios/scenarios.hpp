// The scenario checks of the self-check: named end-to-end checks of the compiler and the
// exchange library, run by the self-check executable in the fixed order of the table.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace velk_compiler {

// Success, or the reason the check failed.
using CheckOutcome = std::expected<void, std::string>;

struct ScenarioCheck {
  std::string_view name;
  CheckOutcome (*run)();
};

// Every scenario check, in the self-check's fixed order.
std::span<const ScenarioCheck> scenario_checks();

}  // namespace velk_compiler
