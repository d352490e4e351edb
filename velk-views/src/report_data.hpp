// Private: the data block of the compile report (report_html.hpp), from which the page's script
// draws the memory map of the chosen tile and the rows of the launch charts. Everything in it
// is a value the library already holds (the allocations, the timeline, the decoder's reading);
// the script only places and labels them.
//
// One JSON object, written in a fixed order (same program, same text), every string through
// script_json_string so that it can stand inside a <script> element:
//   tileCount, tileDigits   the tile count, and the digits of a tile's name ("tile 0007": 4)
//   phaseKinds              one letter per phase: "c" compute, "x" exchange
//   columns                 the memory map's columns: the phases, and one more ("after") when
//                           a region outlives the last phase
//   colours                 the tensor colours, tensor n taking colour n modulo their count
//   roles                   per WordRole, [name, fill]
//   tensors                 the tensor names, by tensor index
//   peaks                   per tile its peak SRAM in bytes (Schedule::peak_sram), -1 for none
//   tileMaps                per tile the index of its map in `maps`
//   maps                    the distinct memory maps, in order of first use (tiles that hold
//                           the same regions share one): a list of panels [window, base, end,
//                           step, regions], window 0 the exchange window and 1 the data window,
//                           base .. end the drawn address range, step the address tick; regions
//                           flat, six numbers each: tensor, address, size, live from, live
//                           until, the phase of the exchange it stages or -1 for a home
//   words                   every distinct word of the launches, in order of first use:
//                           [word_text, the line of render_words between position and "ends"]
//   rows                    the distinct launch rows, in order of first use: [program, slices],
//                           the program flat as (word, end cycle) pairs, the slices flat, five
//                           numbers each: position in the program, role, group or -1, start
//                           cycle, end cycle
//   launches                per launch of the timeline: phase, epoch, start, cycles, tick (the
//                           cycle axis step), groups ([tensor, bytes, source tile, slot,
//                           [destination tiles]]) and rows, flat as (tile, row) pairs, one per
//                           tile with a role
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "velk_compiler/graph.hpp"
#include "velk_compiler/program.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_views/timeline.hpp"

namespace velk_views {

// A window's part of a tile's memory map: its regions, in allocation order, and the address
// range drawn, from the window's base (or a lower region start) down to a round address past
// the last region's end.
struct MapPanel {
  int window = 0;  // 0: exchange window, 1: data window
  std::uint64_t base = 0;
  std::uint64_t end = 0;
  std::uint64_t step = 0;  // between address ticks
  std::vector<const velk_compiler::Allocation*> regions;
};

// Per tile 0 .. tile_count - 1 its panels, the exchange window's first; a window without a
// region of the tile has none.
std::vector<std::vector<MapPanel>> memory_panels(const velk_compiler::Schedule& schedule,
                                                 const velk_compiler::CompilerOptions& options);

// The lowered launch a launch of the timeline was read from; null when there is none.
const velk_compiler::LoweredExchangeEpoch* launch_epoch(const LaunchTimeline& launch,
                                                        std::span<const velk_compiler::LoweredExchangePhase> exchanges);

// The data block's JSON text.
std::string report_data_json(const velk_compiler::Graph& graph, const velk_compiler::Program& program,
                             const ScheduleTimeline& timeline);

}  // namespace velk_views
