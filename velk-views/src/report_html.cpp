// The compile report page: the summary and phase tables here, the charts in report_svg.cpp.
#include "velk_views/report_html.hpp"

#include <algorithm>
#include <map>
#include <variant>

#include "html_support.hpp"
#include "report_data.hpp"
#include "report_script.hpp"
#include "report_svg.hpp"
#include "velk_compiler/layout.hpp"
#include "velk_io/text_format.hpp"
#include "velk_views/summary_text.hpp"
#include "velk_views/timeline.hpp"

namespace velk_views {

using velk_io::hex;

using velk_io::plural;
namespace {

namespace vc = velk_compiler;

std::string cell(const std::string& content, bool text = false) {
  return std::string(text ? "<td class=\"text\">" : "<td>") + escape_html(content) + "</td>";
}

// Headers of text columns are aligned like their cells.
std::string header_cells(std::initializer_list<std::string_view> names,
                         std::initializer_list<std::string_view> text_columns = {}) {
  std::string row = "<tr>";
  for (const std::string_view name : names) {
    const bool text = std::find(text_columns.begin(), text_columns.end(), name) != text_columns.end();
    row += std::string(text ? "<th class=\"text\">" : "<th>") + escape_html(name) + "</th>";
  }
  return row + "</tr>\n";
}

std::string peak_text(const TilePeak& peak) {
  return std::to_string(peak.peak) + " bytes (" + byte_size(peak.peak) + ") on tile " + std::to_string(peak.tile);
}

std::string shape_text(const vc::Shape& shape) {
  std::string text;
  for (const std::size_t dimension : shape) text += (text.empty() ? "" : ", ") + std::to_string(dimension);
  return "[" + text + "]";
}

std::string summary_section(const vc::Schedule& schedule, const vc::CompilerOptions& options,
                            const CompileSummary& summary) {
  std::uint64_t cycles = 0;
  for (const LaunchFigures& launch : summary.launches) cycles += launch.cycles;
  std::vector<std::pair<std::string, std::string>> rows = {
      {"tiles", std::to_string(schedule.tile_count)},
      {"graph", plural(summary.tensors, "tensor") + ", " + plural(summary.operations, "operation") + ", " +
                    plural(summary.outputs, "output")},
      {"phases", std::to_string(summary.compute_phases + summary.exchange_phases) + " (" +
                     std::to_string(summary.compute_phases) + " compute, " + std::to_string(summary.exchange_phases) +
                     " exchange)"},
      {"exchange launches", std::to_string(summary.launches.size())},
      {"exchange cycles, all launches", std::to_string(cycles)},
      {"exchange window", hex(options.exchange_base) + " to " + hex(options.exchange_limit)},
      {"data window", hex(options.data_base) + " to " + hex(options.data_limit)},
  };
  if (const std::optional<PeakSpread> spread = peak_spread(summary.peaks)) {
    rows.emplace_back("peak SRAM, maximum", peak_text(spread->maximum));
    rows.emplace_back("peak SRAM, median", peak_text(spread->median));
    rows.emplace_back("peak SRAM, minimum", peak_text(spread->minimum));
  }
  std::string html = "<h2 id=\"summary\">Summary</h2>\n<table class=\"summary\">\n";
  for (const auto& [name, value] : rows)
    html += "<tr><th class=\"text\">" + escape_html(name) + "</th>" + cell(value, true) + "</tr>\n";
  html += "</table>\n<details><summary>as velkc compile prints it</summary>\n<pre>" +
          escape_html(render_summary(summary)) + "</pre>\n</details>\n";
  return html;
}

// A phase's row of the phase table.
std::string phase_row(const vc::Graph& graph, const vc::Schedule& schedule, const PhaseSpan& span,
                      const vc::LoweredPhaseMap& lowered_by_phase,
                      const std::map<std::size_t, const LaunchFigures*>& figures_by_phase) {
  const vc::Phase& phase = schedule.phases[span.phase];
  const std::string start = std::to_string(span.start_cycle);
  const std::string end = std::to_string(span.end_cycle);
  if (const auto* compute = std::get_if<vc::ComputePhase>(&phase)) {
    std::string what = "?";
    if (compute->op.index < graph.ops.size()) {
      const vc::Op& op = graph.ops[compute->op.index];
      const vc::Shape shape =
          op.output.index < graph.tensors.size() ? graph.tensors[op.output.index].shape : vc::Shape{};
      what = std::string(vc::operation_name(op.kind)) + " " + op.name + " " + shape_text(shape);
    }
    return "<tr>" + cell(std::to_string(span.phase)) + cell("compute", true) + cell(what, true) +
           cell(std::to_string(compute->commands.size())) + cell("") + cell("") + cell("") +
           cell(std::to_string(NOTIONAL_KERNEL_CYCLES) + " (notional)") + cell("") + cell(start) + cell(end) +
           "</tr>\n";
  }
  const auto& exchange = std::get<vc::ExchangePhase>(phase);
  std::size_t tiles = 0;
  std::string groups;
  std::string slots;
  std::string payload;
  std::string bound;
  if (const auto found = lowered_by_phase.find(span.phase); found != lowered_by_phase.end()) {
    for (const vc::LoweredExchangeEpoch& epoch : found->second->epochs) tiles += epoch.tile_rows.size();
    payload = std::to_string(found->second->cost.payload_words);
  }
  if (const auto found = figures_by_phase.find(span.phase); found != figures_by_phase.end()) {
    groups = std::to_string(found->second->groups);
    slots = std::to_string(found->second->slots);
    bound = std::to_string(found->second->busiest_words) + " on tile " + std::to_string(found->second->busiest_tile);
  }
  return "<tr class=\"exchange\">" + cell(std::to_string(span.phase)) + cell("exchange", true) +
         cell(std::to_string(exchange.transfers.size()) + " transfers", true) + cell(std::to_string(tiles)) +
         cell(groups) + cell(slots) + cell(payload) + cell(std::to_string(span.end_cycle - span.start_cycle)) +
         cell(bound) + cell(start) + cell(end) + "</tr>\n";
}

// The phase table in groups of PHASES_PER_GROUP, each its own table folded in a <details>
// element, only the first open: a long schedule's table stays quick to lay out and to read.
std::string phase_section(const vc::Graph& graph, const vc::Schedule& schedule, const CompileSummary& summary,
                          const ScheduleTimeline& timeline, std::span<const vc::LoweredExchangePhase> exchanges) {
  constexpr std::size_t PHASES_PER_GROUP = 32;
  const vc::LoweredPhaseMap lowered_by_phase = vc::lowered_by_phase(exchanges);
  std::map<std::size_t, const LaunchFigures*> figures_by_phase;
  for (const LaunchFigures& launch : summary.launches) figures_by_phase.emplace(launch.phase, &launch);

  std::string html =
      "<h2 id=\"phases\">Phases</h2>\n<p class=\"note\">Start and end are cycles on the schedule's clock: "
      "exchange phases last as long as their launch, compute phases a notional " +
      std::to_string(NOTIONAL_KERNEL_CYCLES) + " cycles, since kernels have no cycle model.</p>\n";
  const std::span<const PhaseSpan> spans = timeline.phases;
  for (std::size_t first = 0; first < spans.size(); first += PHASES_PER_GROUP) {
    const std::span<const PhaseSpan> group = spans.subspan(first, std::min(PHASES_PER_GROUP, spans.size() - first));
    std::size_t exchange_phases = 0;
    std::string rows;
    for (const PhaseSpan& span : group) {
      exchange_phases += std::holds_alternative<vc::ExchangePhase>(schedule.phases[span.phase]) ? 1U : 0U;
      rows += phase_row(graph, schedule, span, lowered_by_phase, figures_by_phase);
    }
    html += std::string(first == 0 ? "<details open>" : "<details>") + "<summary>phases " +
            std::to_string(group.front().phase) + " to " + std::to_string(group.back().phase) + ", cycles " +
            std::to_string(group.front().start_cycle) + " to " + std::to_string(group.back().end_cycle) + ", " +
            plural(exchange_phases, "exchange phase") + "</summary>\n<table class=\"phases\">\n" +
            header_cells({"phase", "kind", "what", "tiles", "groups", "slots", "payload words", "cycles", "bound",
                          "start", "end"},
                         {"kind", "what"}) +
            rows + "</table>\n</details>\n";
  }
  return html;
}

std::string peak_section(const vc::Schedule& schedule, const CompileSummary& summary) {
  std::string note = "Each tile's peak: the highest end of its regions, in bytes from the lower window base";
  if (summary.data_offset != 0) {
    note += " (the data window starts " + std::to_string(summary.data_offset) + " bytes above it)";
  }
  note +=
      ". The orange mark is its lower bound, the most bytes of its regions live in one phase. "
      "Click a bar for the tile's memory map.";
  return "<h2 id=\"peak-sram\">Peak SRAM per tile</h2>\n<p class=\"note\">" + escape_html(note) + "</p>\n" +
         peak_chart_svg(summary, schedule.tile_count);
}

// The tile chooser and the section the script draws the chosen tile's map into.
std::string memory_section(const vc::Schedule& schedule) {
  // A row of links to every tile, folded when it would fill more than a few lines.
  constexpr std::uint32_t OPEN_TILE_LIST = 256;
  const std::string last = std::to_string(std::max(1u, std::uint32_t{schedule.tile_count}) - 1);
  std::string html =
      "<h2 id=\"memory\">Memory map</h2>\n<p class=\"note\">Choose a tile: its regions by address (down) against "
      "phase (across), one per allocation, coloured by tensor and labelled with name, size and lifetime where "
      "they fit (hover over a region for all of it). Exchange phases are shaded; every region is drawn at least "
      "2 px tall.</p>\n<div id=\"memory-maps\">\n<nav class=\"chooser\"><label>tile <input type=\"number\" "
      "id=\"tile-input\" min=\"0\" max=\"" +
      last +
      "\" value=\"0\"></label> <button type=\"button\" id=\"tile-previous\">previous</button> <button "
      "type=\"button\" id=\"tile-next\">next</button></nav>\n" +
      std::string(schedule.tile_count <= OPEN_TILE_LIST ? "<details open>" : "<details>") + "<summary>all " +
      plural(schedule.tile_count, "tile") + "</summary>\n<nav class=\"tiles\">";
  for (std::uint32_t t = 0; t < schedule.tile_count; ++t) {
    html += "<a href=\"#memory-tile-" + std::to_string(t) + "\">" + std::to_string(t) + "</a>";
  }
  return html +
         "</nav>\n</details>\n<section class=\"tile-map\"></section>\n<noscript><p class=\"note\">The memory map "
         "and the launch charts are drawn by the page's script, which is off.</p></noscript>\n</div>\n";
}

// A heading per launch and a box the script draws its chart into, rows around the chosen tile.
std::string launch_section(const ScheduleTimeline& timeline, std::span<const vc::LoweredExchangePhase> exchanges) {
  std::string html =
      "<h2 id=\"launches\">Exchange launches</h2>\n<p class=\"note\">Every timed word of every tile with a role, "
      "at its exact cycles from the launch's start; a launch of many tiles shows the rows around the chosen "
      "tile, and its buttons move them. Hover over a word for its decoding and its group, over a tile's name "
      "for its whole decoded program.</p>\n";
  if (timeline.launches.empty()) return html + "<p>The schedule has no exchange launch.</p>\n";
  std::size_t drawn = 0;
  for (const LaunchTimeline& launch : timeline.launches) {
    const vc::LoweredExchangeEpoch* epoch = launch_epoch(launch, exchanges);
    if (epoch == nullptr) continue;
    const std::size_t slots = launch.group_slots.empty() ? 0 : launch.group_slots.back() + 1;
    html += "<h3 id=\"launch-" + std::to_string(launch.phase) + "-" + std::to_string(launch.epoch) + "\">phase " +
            std::to_string(launch.phase) + ", launch " + std::to_string(launch.epoch) + ": " +
            std::to_string(launch.cycles) + " cycles, " + plural(epoch->groups.size(), "group") + " in " +
            plural(slots, "slot") + ", " + plural(launch.tiles.size(), "tile") + " with a role, from cycle " +
            std::to_string(launch.start_cycle) + "</h3>\n<div class=\"launch\" data-launch=\"" +
            std::to_string(drawn++) + "\"></div>\n";
  }
  return html;
}

}  // namespace

Result<std::string> report_html(const vc::Graph& graph, const vc::Program& program, const vc::CompileSummary& summary) {
  const vc::Schedule& schedule = program.schedule;
  const vc::CompilerOptions& options = program.options;
  Result<ScheduleTimeline> timeline = schedule_timeline(program);
  if (!timeline) return std::unexpected(timeline.error());
  std::string body = "<h1>Velk compile report</h1>\n<p class=\"note\">" + std::to_string(schedule.tile_count) +
                     " tiles, " + std::to_string(schedule.phases.size()) + " phases, " +
                     std::to_string(summary.launches.size()) +
                     " exchange launches. Sections: <a href=\"#summary\">summary</a>, <a href=\"#phases\">phases</a>, "
                     "<a href=\"#peak-sram\">peak SRAM</a>, <a href=\"#memory\">memory map</a>, "
                     "<a href=\"#launches\">exchange launches</a>.</p>\n";
  body += summary_section(schedule, options, summary);
  body += phase_section(graph, schedule, summary, *timeline, program.exchanges);
  body += peak_section(schedule, summary);
  body += memory_section(schedule);
  body += launch_section(*timeline, program.exchanges);
  body += "<script type=\"application/json\" id=\"report-data\">" + report_data_json(graph, program, *timeline) +
          "</script>\n<script>" + std::string(report_script()) + "</script>\n";
  return html_page("Velk compile report", body, report_style());
}

}  // namespace velk_views
