// Private: the compile report's static chart (report_html.hpp), and the colours its script
// draws with. A pure function of values the library has already computed; nothing here
// recomputes a figure of the schedule.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "velk_compiler/compile_summary.hpp"
#include "velk_views/timeline.hpp"

namespace velk_views {

using velk_compiler::CompileSummary;
using velk_compiler::LaunchFigures;
using velk_compiler::peak_spread;
using velk_compiler::PeakSpread;
using velk_compiler::TilePeak;

// Every part a timed word can play, in the order of the charts' legend.
inline constexpr std::array<WordRole, 7> ALL_WORD_ROLES = {
    WordRole::StartDelay,  WordRole::Send,    WordRole::SendOff, WordRole::TrailingDelay,
    WordRole::ReceiveWait, WordRole::Receive, WordRole::Padding};

// The fill of a timed word's slice.
std::string_view role_colour(WordRole role);

// A bar per tile of `summary.peaks`, its lower bound marked on it; each bar links to
// #memory-tile-N.
std::string peak_chart_svg(const CompileSummary& summary, std::uint16_t tile_count);

}  // namespace velk_views
