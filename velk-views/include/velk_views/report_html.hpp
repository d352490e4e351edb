// The compile report: one self-contained HTML page about a compilation, for a person to read
// in a browser. No script and nothing fetched: the charts are inline SVG, hover text comes
// from SVG <title> elements, and the tile whose memory map is shown is chosen with links
// (the map's section is the page's target, #memory-tile-N; tile 0 without one).
//
// Sections, in order:
//   summary     the figures of render_summary as a table, and its text
//   phases      one row per phase: kind, operation or transfers, tiles, cycles on the
//               schedule's clock (timeline.hpp), and for exchanges groups, slots, payload
//   peak SRAM   a bar per tile, beside its lower bound; each bar links to the tile's map
//   memory map  per tile, address against phase: one region per allocation of the tile,
//               coloured by tensor and labelled with name, size and lifetime; the exchange
//               window and the data window each on their own scale
//   launches    per exchange launch a Gantt chart of its tiles' timed words, with each
//               word's decoding on hover over it and the tile's whole decoded program on
//               hover over the tile's name
#pragma once

#include <string>

#include "velk_compiler/compile_summary.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/program.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_views/error.hpp"

namespace velk_views {

// The page; fails as schedule_timeline does. `graph` is the one the program was built from,
// `summary` its figures (summarize_program).
[[nodiscard]] Result<std::string> report_html(const velk_compiler::Graph& graph, const velk_compiler::Program& program,
                                              const velk_compiler::CompileSummary& summary);

}  // namespace velk_views
