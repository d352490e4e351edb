// The schedule file: a compiled schedule, its lowered exchange phases and its per-tile
// programs as one JSON document, and back.
//
//   {
//     "version": 1,
//     "tile_count": 64,
//     "layouts": [{"tensor": 0, "tiles": [0, 1], "sharding": "rows", "alignment": 16}, ...],
//     "phases": [{"kind": "compute", "op": 0, "commands": [...]},
//                {"kind": "exchange", "transfers": [{"source_tile": 0, "destination_tile": 4, ...}]}, ...],
//     "allocations": [{"tensor": 0, "tile": 0, "address": 360448, "size": 1024,
//                      "live_from": 0, "live_until": 10, "kind": "home"}, ...],
//     "peak_sram": [{"tile": 0, "bytes": 36864}, ...],
//     "exchanges": [{"phase": 7, "epochs": [{"groups": [...], "tile_rows": [...], "cost": {...}}], "cost": {...}}],
//     "tile_programs": [{"tile": 0, "steps": [{"kind": "compute", ...}, {"kind": "exchange", ...}]}, ...]
//   }
//
// Every record is an object whose members are the record's fields under their own names, in
// their own order. Enumerations are written in lower case ("rows", "home", "exchange_staging",
// "absolute"); variants carry a "kind" member. Instruction words and rows are lists of
// strings "0x41800003"; every other number is a JSON integer. The reader checks every field's
// presence, type and range (16-bit tiles, 32-bit addresses, 8-bit worker counts, ...) and
// refuses unknown fields.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/program.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_compiler/tile_program.hpp"
#include "velk_io/error.hpp"

namespace velk_io {

inline constexpr std::uint64_t SCHEDULE_FORMAT_VERSION = 1;

// What one compilation gives: the schedule and the two lowerings of it that velkc writes.
struct CompiledSchedule {
  velk_compiler::Schedule schedule;
  std::vector<velk_compiler::LoweredExchangePhase> exchanges;
  std::vector<velk_compiler::LoweredTileProgram> tile_programs;
  bool operator==(const CompiledSchedule&) const = default;
};

[[nodiscard]] std::string write_schedule_json(const CompiledSchedule& compiled);
// The same document for the parts of a built program.
[[nodiscard]] std::string write_schedule_json(const velk_compiler::Program& program);
// The same document written to `out` as it is produced, never held whole; false when the
// stream fails.
[[nodiscard]] bool write_schedule_json(std::ostream& out, const velk_compiler::Program& program);

// The document's values. A document that is not JSON fails at its line and column; anything
// else at the JSON path of the first value that does not fit its field.
[[nodiscard]] Result<CompiledSchedule> read_schedule_json(std::string_view text);

// The program of `tile`, or an error at "tile_programs" when the schedule has none for it.
[[nodiscard]] Result<const velk_compiler::LoweredTileProgram*> tile_program(const CompiledSchedule& compiled,
                                                                            std::uint16_t tile);

}  // namespace velk_io
