// Small helpers shared by the scenario checks.
#pragma once

#include <string>
#include <utility>

#include "scenarios.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

inline std::unexpected<std::string> fail(std::string reason) { return std::unexpected(std::move(reason)); }

template <class T>
std::unexpected<std::string> fail(std::string_view stage, const Result<T>& result) {
  return fail(std::string(stage) + ": " + to_string(result.error()));
}

// Every row of the epoch's `tile_rows` holds exactly one entry and one return word and
// covers exactly the epoch's estimated cycles.
[[nodiscard]] CheckOutcome check_epoch_rows(const LoweredExchangeEpoch& epoch);

}  // namespace velk_compiler
