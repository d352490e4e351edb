// Plan program builder. An append works on a copy of the row and changes the builder only once
// every check has passed, so a refused row leaves no trace.
//
// The program's total is kept by adding each body's cycles to event_cycles: since event_cycles
// always equals plan_event_cycles(words), that sum is the whole program's total, found without
// walking the whole program again. It can in fact never overflow: a row's body holds at most
// 7 words of at most 524288 cycles each, and a retimed body ends at its first timed word's
// planned end plus the rest, so event_cycles stays within 7 × 524288. The check stays all the
// same, because it is the contract and costs one comparison.
#include "velk_exchange/plan_program.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace velk_exchange {
namespace {

constexpr std::uint32_t MAX_DELAY_CYCLES = 0x7FFFF;  // the 19-bit `cycles` of a delay word

// Adds `cycles` to `total`; false, leaving `total` as it was, when the sum leaves the 32-bit range.
bool add_cycles(std::uint32_t& total, std::uint32_t cycles) {
  if (cycles > std::numeric_limits<std::uint32_t>::max() - total) return false;
  total += cycles;
  return true;
}

ExchangeError horizon_overflow() { return ExchangeError::schedule("plan event horizon overflow"); }

// Shortens the body's first timed word so that it ends at its planned cycle after a program
// that already spends `event_cycles` (not 0) cycles.
[[nodiscard]] Result<void> retime_body(std::span<std::uint32_t> body, std::uint32_t event_cycles) {
  const auto first_timed =
      std::ranges::find_if(body, [](std::uint32_t word) { return instruction_advance(word) != 0; });
  if (first_timed == body.end()) return std::unexpected(ExchangeError::schedule("exchange row has no timed event"));
  const std::uint32_t first_advance = instruction_advance(*first_timed);
  if (first_advance <= event_cycles) {
    return std::unexpected(ExchangeError::schedule("overlapping tile exchange roles"));
  }
  return set_instruction_advance(*first_timed, first_advance - event_cycles);
}

// Delay words that together take exactly `padding` cycles.
void append_padding(std::vector<std::uint32_t>& words, std::uint32_t padding) {
  constexpr std::uint32_t MAX_DELAY_ADVANCE = MAX_DELAY_CYCLES + 1u;
  for (; padding > MAX_DELAY_ADVANCE; padding -= MAX_DELAY_ADVANCE) words.push_back(delay(MAX_DELAY_CYCLES));
  if (padding != 0) words.push_back(delay(padding - 1u));
}

}  // namespace

Result<std::uint32_t> plan_event_cycles(std::span<const std::uint32_t> row) {
  std::uint32_t cycles = 0;
  for (const std::uint32_t word : row) {
    if (!add_cycles(cycles, instruction_advance(word))) return std::unexpected(horizon_overflow());
  }
  return cycles;
}

Result<void> PlanProgramBuilder::append_scheduled_row(const Row& row) {
  if (row[0] != ROW_ENTRY_WORD) return std::unexpected(ExchangeError::schedule("exchange row entry"));
  const auto end = std::ranges::find(row, ROW_RETURN_WORD);
  if (end == row.end()) return std::unexpected(ExchangeError::schedule("exchange row return"));

  Row staged = row;
  const std::span<std::uint32_t> body(staged.begin() + 1, staged.begin() + (end - row.begin()));
  if (event_cycles_ != 0) {
    if (const Result<void> retimed = retime_body(body, event_cycles_); !retimed) return retimed;
  }
  const Result<std::uint32_t> body_cycles = plan_event_cycles(body);
  if (!body_cycles) return std::unexpected(body_cycles.error());
  std::uint32_t total = event_cycles_;
  if (!add_cycles(total, *body_cycles)) return std::unexpected(horizon_overflow());

  words_.insert(words_.end(), body.begin(), body.end());
  event_cycles_ = total;
  return {};
}

Result<std::vector<std::uint32_t>> PlanProgramBuilder::finish(std::uint32_t horizon) && {
  if (horizon < event_cycles_) return std::unexpected(ExchangeError::schedule("plan horizon precedes tile events"));
  append_padding(words_, horizon - event_cycles_);
  words_.push_back(ROW_RETURN_WORD);
  return std::move(words_);
}

}  // namespace velk_exchange
