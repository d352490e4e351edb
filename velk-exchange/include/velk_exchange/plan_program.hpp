// Per-tile plan programs: one tile's planned rows of one exchange epoch joined into a single
// program whose events keep the cycles their rows planned, padded to the epoch's horizon so
// that every tile of the epoch finishes together.
//
// Each row counts its cycles from the start of the epoch. The first row is taken as it is; a
// later row is retimed by shortening its first timed word, which must be a delay, by the cycles
// the program already spends, so that word still ends at its planned cycle and every later
// word keeps its own. A row whose first event would end no later than the program so far is
// refused as an overlap.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "velk_exchange/error.hpp"
#include "velk_exchange/instruction.hpp"

namespace velk_exchange {

// The sum of the advances of a word sequence (0 when empty), or Schedule
// "plan event horizon overflow" as soon as the running sum leaves the 32-bit range.
[[nodiscard]] Result<std::uint32_t> plan_event_cycles(std::span<const std::uint32_t> row);

// Joins one tile's rows for one epoch: create, append_scheduled_row once per role, finish.
// Invariant: words() begins with ROW_ENTRY_WORD and event_cycles() = plan_event_cycles(words()).
// Every refused call leaves the builder exactly as it was.
class PlanProgramBuilder {
 public:
  // Room for a tile's usual program (a role or two, padding and the return word) up front.
  PlanProgramBuilder() {
    words_.reserve(16);
    words_.push_back(ROW_ENTRY_WORD);
  }

  // The program so far: ROW_ENTRY_WORD followed by the bodies of the rows appended.
  const std::vector<std::uint32_t>& words() const { return words_; }
  // The cycle, counted from the start of the epoch, at which the program's last timed word ends.
  std::uint32_t event_cycles() const { return event_cycles_; }

  // Appends the body of a planned row (the words between its ROW_ENTRY_WORD and its first
  // ROW_RETURN_WORD), retimed as described above once the program spends cycles. Refusals, all
  // ExchangeError::schedule: "exchange row entry", "exchange row return", "exchange row has no
  // timed event", "overlapping tile exchange roles", the messages of set_instruction_advance
  // (a first timed word that is a send gives "first scheduled event is not a delay"), and
  // "plan event horizon overflow".
  [[nodiscard]] Result<void> append_scheduled_row(const Row& row);

  // The finished program: the words so far, delay words padding it to `horizon` cycles, then
  // ROW_RETURN_WORD; its plan_event_cycles is `horizon`. Padding of more than 524288 cycles, the
  // most one delay word holds, takes several delay words of 524288 and one for the rest.
  // Refuses a horizon before event_cycles() with Schedule "plan horizon precedes tile events".
  [[nodiscard]] Result<std::vector<std::uint32_t>> finish(std::uint32_t horizon) &&;

  bool operator==(const PlanProgramBuilder&) const = default;

 private:
  std::vector<std::uint32_t> words_;
  std::uint32_t event_cycles_ = 0;
};

}  // namespace velk_exchange
