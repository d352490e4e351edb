// The schedule's timeline (timeline.hpp) as a trace in the Chrome trace event format: one
// JSON object that Perfetto (ui.perfetto.dev, "Open trace file") and chrome://tracing open.
//
// Clock: the format counts time in microseconds, and a trace microsecond is one cycle (a
// notional 1 MHz clock). Every start and duration is therefore the exact integer cycle
// count; read "µs" in the viewers as "cycles". Only the flow arrows sit half a cycle into
// the slices they join, so that each lies strictly inside its slice.
//
// Shape (one event per line, in this order):
//   {"traceEvents": [
//     metadata ("ph": "M"): the names and sort order of the three processes and their tracks:
//       pid 1 "schedule", one track "phases";
//       pid 2 "tiles", one track per tile (tid = tile + 1) named "tile 0007" and ordered by tile;
//       pid 3 "live SRAM", one counter per tile named "tile 0007";
//     pid 1: one slice ("ph": "X") per phase, "phase 7: exchange, 4 groups in 1 slot";
//     pid 2, per tile in order, its slices in time order:
//       kernel launches, "cat": "compute", named by their specialisation key, NOTIONAL_KERNEL_CYCLES
//         long, with "notional": true in their arguments;
//       timed words, "cat": "exchange", named by their role ("send", "receive wait", ...),
//         arguments "phase", "launch", "tile", "word_index" (in the tile's program), "word"
//         (decoded), "start_cycle" and "end_cycle" (from the launch's start), and for a group's
//         words "group", "slot", "tensor", "tensor_name", "bytes", "source_tile" and
//         "destination_tiles"; a send or send-off also "words" (the words it sends);
//     flows ("ph": "s" then "ph": "f", "cat": "multicast", one id per receiver): from each
//       group's send slice to the first receive slice of each of its destinations;
//     pid 3: counters ("ph": "C", "args": {"bytes": N}) at the start of every phase that takes
//       time, N being the bytes of the tile's regions live in that phase.
//    ],
//    "otherData": {"format": "velk trace", "version": 1, "clock": "...", "kernel": "...",
//                  "notional_kernel_cycles": 1000, "tile_count": 64, "end_cycle": 15664}}
//
// A part (TraceSelection) holds the tracks and counters of the chosen tiles, the slices of the
// chosen phases on them and on the phases track, and the flows of chosen phases whose both
// ends are chosen tiles; every timestamp and flow id is the one of the whole trace, so a part
// lines up with it. Its otherData also has "tiles" and "phases": the chosen ranges as
// [first, last] pairs, each member only when that choice is not everything.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "velk_compiler/graph.hpp"
#include "velk_compiler/program.hpp"
#include "velk_io/option_values.hpp"
#include "velk_views/error.hpp"

namespace velk_views {

inline constexpr std::uint64_t TRACE_FORMAT_VERSION = 1;

// Which part of the trace to write: tile numbers and phase indices; an empty list chooses all.
struct TraceSelection {
  std::vector<velk_io::IndexRange> tiles;
  std::vector<velk_io::IndexRange> phases;
  bool operator==(const TraceSelection&) const = default;
};

// The trace of a built program (or its chosen part), written to `out` event by event as it is
// made, never held whole. Fails as schedule_timeline does, before it writes anything; the
// stream's state is the caller's to check. `graph` gives the names of operations and tensors.
[[nodiscard]] Result<void> write_trace(std::ostream& out, const velk_compiler::Graph& graph,
                                       const velk_compiler::Program& program, const TraceSelection& selection = {});

// The same trace as one text.
[[nodiscard]] Result<std::string> trace_json(const velk_compiler::Graph& graph, const velk_compiler::Program& program,
                                             const TraceSelection& selection = {});

}  // namespace velk_views
