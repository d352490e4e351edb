// The compile report: one self-contained HTML page about a compilation, for a person to read
// in a browser. Nothing is fetched: the style sheet, the charts' data and the small script that
// draws them are all inline. The tables and the peak chart are static HTML and SVG; each tile's
// regions and each launch's rows (timed words, decoded words) are a compact data block, from
// which the script draws, as inline SVG with hover text in <title> elements, the memory map of
// the chosen tile and, per launch, a bounded window of rows around it. The tile is chosen by
// the fragment #memory-tile-N (tile 0 without one), set by the peak chart's bars, the tile links
// and the tile field.
//
// Sections, in order:
//   summary     the figures of render_summary as a table, and its text
//   phases      one row per phase: kind, operation or transfers, tiles, cycles on the
//               schedule's clock (timeline.hpp), and for exchanges groups, slots, payload;
//               in folded groups of 32 phases, the first open
//   peak SRAM   a bar per tile, beside its lower bound; each bar chooses the tile
//   memory map  for the chosen tile, address against phase: one region per allocation of the
//               tile, coloured by tensor and labelled with name, size and lifetime; the
//               exchange window and the data window each on their own scale
//   launches    per exchange launch a Gantt chart of its tiles' timed words, at most 32 rows at
//               a time (those around the chosen tile, moved with the chart's buttons), with each
//               word's decoding on hover over it and the tile's whole decoded program on hover
//               over the tile's name
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
