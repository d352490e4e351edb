// Private: the SVG charts of the compile report (report_html.hpp). Each is a pure function of
// values the library has already computed; nothing here recomputes a figure of the schedule.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "velk_compiler/compile_summary.hpp"
#include "velk_compiler/exchange_lowering.hpp"
#include "velk_compiler/graph.hpp"
#include "velk_compiler/schedule.hpp"
#include "velk_views/timeline.hpp"

namespace velk_views {

using velk_compiler::CompileSummary;
using velk_compiler::LaunchFigures;
using velk_compiler::peak_spread;
using velk_compiler::PeakSpread;
using velk_compiler::TilePeak;

// The fill of a timed word's slice.
std::string_view role_colour(WordRole role);

// A bar per tile of `summary.peaks`, its lower bound marked on it; each bar links to
// #memory-tile-N.
std::string peak_chart_svg(const CompileSummary& summary, std::uint16_t tile_count);

// Address against phase for one tile: one <g class="region"> per allocation of the tile, with
// a <title> and, where it fits, a label; the exchange window's panel first, then the data
// window's, each in allocation order.
std::string memory_map_svg(const velk_compiler::Graph& graph, const velk_compiler::Schedule& schedule,
                           const velk_compiler::CompilerOptions& options, std::uint16_t tile);

// One row per tile with a role in the launch, one rect per timed word.
std::string launch_gantt_svg(const velk_compiler::Graph& graph, const LaunchTimeline& launch,
                             const velk_compiler::LoweredExchangeEpoch& epoch, std::uint16_t tile_count);

}  // namespace velk_views
