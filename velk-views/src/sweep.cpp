// The sweep: configurations compiled one after another, their summaries' figures tabulated
// and drawn.
#include "velk_views/sweep.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>
#include <utility>

#include "html_support.hpp"
#include "velk_io/text_format.hpp"
#include "velk_views/summary_text.hpp"

namespace velk_views {

using velk_io::pad_left;
using velk_io::pad_right;
namespace {

namespace vc = velk_compiler;
using velk_compiler::LaunchFigures;
using velk_compiler::peak_spread;
using velk_compiler::PeakSpread;

std::string graph_name(std::span<const SweepGraph> graphs, std::size_t index) {
  return index < graphs.size() ? graphs[index].name : "?";
}

std::string milliseconds_text(const SweepPoint& point) {
  return point.compile_milliseconds ? coordinate(*point.compile_milliseconds) : "-";
}

// The figure columns of a compiled point, in table order.
std::vector<std::string> figure_cells(const SweepFigures& f) {
  return {std::to_string(f.peak_maximum), std::to_string(f.peak_median), std::to_string(f.phases),
          std::to_string(f.launches), std::to_string(f.exchange_cycles)};
}

const std::vector<std::string> FIGURE_HEADERS = {"peak max (bytes)", "peak median (bytes)", "phases", "launches",
                                                 "exchange cycles"};

// The tile counts of the points, each once, in the order they first appear.
std::vector<std::uint16_t> tile_counts_of(std::span<const SweepPoint> points) {
  std::vector<std::uint16_t> counts;
  for (const SweepPoint& point : points) {
    if (std::find(counts.begin(), counts.end(), point.tile_count) == counts.end()) counts.push_back(point.tile_count);
  }
  return counts;
}

// One series per graph of one figure; the first point of a graph and tile count gives its value.
std::vector<ChartSeries> chart_series(std::span<const SweepGraph> graphs, std::span<const SweepPoint> points,
                                      const std::vector<std::uint16_t>& counts,
                                      const std::function<std::optional<double>(const SweepPoint&)>& figure) {
  std::vector<ChartSeries> series;
  for (std::size_t g = 0; g < graphs.size(); ++g) {
    ChartSeries line{graphs[g].name, std::vector<double>(counts.size(), 0), std::vector<bool>(counts.size(), false)};
    for (const SweepPoint& point : points) {
      if (point.graph != g) continue;
      const auto at =
          static_cast<std::size_t>(std::find(counts.begin(), counts.end(), point.tile_count) - counts.begin());
      const std::optional<double> value = figure(point);
      if (at >= counts.size() || line.present[at] || !value) continue;
      line.values[at] = *value;
      line.present[at] = true;
    }
    series.push_back(std::move(line));
  }
  return series;
}

std::string html_table(std::span<const SweepGraph> graphs, std::span<const SweepPoint> points, bool with_times) {
  std::string html = "<table class=\"sweep\">\n<tr><th class=\"text\">graph</th><th>tiles</th>";
  for (const std::string& header : FIGURE_HEADERS) html += "<th>" + escape_html(header) + "</th>";
  if (with_times) html += "<th>compile ms</th>";
  html += "</tr>\n";
  for (const SweepPoint& point : points) {
    html += "<tr><td class=\"text\">" + escape_html(graph_name(graphs, point.graph)) + "</td><td>" +
            std::to_string(point.tile_count) + "</td>";
    if (point.figures) {
      for (const std::string& value : figure_cells(*point.figures)) html += "<td>" + value + "</td>";
    } else {
      html += "<td class=\"text\" colspan=\"" + std::to_string(FIGURE_HEADERS.size()) +
              "\">failed: " + escape_html(point.failure) + "</td>";
    }
    if (with_times) html += "<td>" + milliseconds_text(point) + "</td>";
    html += "</tr>\n";
  }
  return html + "</table>\n";
}

}  // namespace

std::string encoder_sweep_name(const vc::EncoderConfig& config, std::size_t layers) {
  return "s" + std::to_string(config.sequence) + " h" + std::to_string(config.hidden) + " n" +
         std::to_string(config.heads) + " f" + std::to_string(config.feed_forward) +
         (layers == 1 ? std::string() : " l" + std::to_string(layers));
}

vc::Result<std::vector<SweepGraph>> encoder_sweep_graphs(std::span<const std::size_t> sequences,
                                                         std::span<const std::size_t> hiddens,
                                                         std::span<const std::size_t> heads,
                                                         std::span<const std::size_t> feed_forwards,
                                                         std::span<const std::size_t> layers) {
  std::vector<SweepGraph> graphs;
  for (const std::size_t sequence : sequences) {
    for (const std::size_t hidden : hiddens) {
      for (const std::size_t head : heads) {
        for (const std::size_t feed_forward : feed_forwards) {
          const vc::EncoderConfig config{sequence, hidden, head, feed_forward};
          for (const std::size_t layer_count : layers) {
            vc::Result<vc::Graph> graph = vc::encoder_stack(config, layer_count);
            if (!graph) return std::unexpected(graph.error());
            graphs.push_back(SweepGraph{encoder_sweep_name(config, layer_count), std::move(*graph)});
          }
        }
      }
    }
  }
  return graphs;
}

SweepFigures sweep_figures(const vc::CompileSummary& summary) {
  SweepFigures figures;
  if (const std::optional<PeakSpread> spread = peak_spread(summary.peaks)) {
    figures.peak_maximum = spread->maximum.peak;
    figures.peak_median = spread->median.peak;
  }
  figures.phases = summary.compute_phases + summary.exchange_phases;
  figures.launches = summary.launches.size();
  for (const LaunchFigures& launch : summary.launches) figures.exchange_cycles += launch.cycles;
  return figures;
}

namespace {

SweepPoint sweep_point(const SweepGraph& graph, std::size_t position, std::uint16_t tile_count,
                       const vc::CompilerOptions& options, const velk_exchange::Topology& topology, bool measure_time) {
  vc::CompilerOptions configuration = options;
  configuration.tile_count = tile_count;
  const auto start = std::chrono::steady_clock::now();
  const vc::Result<vc::Program> program = vc::build_program(graph.graph, configuration, topology);
  const std::optional<vc::CompileSummary> summary =
      program ? std::optional(vc::summarize_program(graph.graph, *program)) : std::nullopt;
  const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  SweepPoint point{position, tile_count, std::nullopt, "", std::nullopt};
  if (summary) point.figures = sweep_figures(*summary);
  if (!program) point.failure = vc::to_string(program.error());
  if (measure_time) point.compile_milliseconds = elapsed.count();
  return point;
}

}  // namespace

std::vector<SweepPoint> run_sweep(std::span<const SweepGraph> graphs, std::span<const std::uint16_t> tile_counts,
                                  const vc::CompilerOptions& options, const velk_exchange::Topology& topology,
                                  bool measure_time, unsigned workers) {
  // Each configuration is compiled on its own and written to its own place, so the points
  // come out in the same order whichever worker took which.
  std::vector<SweepPoint> points(graphs.size() * tile_counts.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < points.size(); i = next++) {
      const std::size_t g = i / tile_counts.size();
      points[i] = sweep_point(graphs[g], g, tile_counts[i % tile_counts.size()], options, topology, measure_time);
    }
  };
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::jthread> helpers;
  for (std::size_t w = 1; w < std::min<std::size_t>(workers, points.size()); ++w) helpers.emplace_back(work);
  work();
  return points;
}

std::string render_sweep_table(std::span<const SweepGraph> graphs, std::span<const SweepPoint> points,
                               bool with_times) {
  std::vector<std::string> headers = {"graph", "tiles"};
  headers.insert(headers.end(), FIGURE_HEADERS.begin(), FIGURE_HEADERS.end());
  if (with_times) headers.push_back("compile ms");
  // Rows of cells; a failed point has its error as its third and last cell, not aligned.
  std::vector<std::vector<std::string>> rows;
  for (const SweepPoint& point : points) {
    std::vector<std::string> row = {graph_name(graphs, point.graph), std::to_string(point.tile_count)};
    if (!point.figures) {
      row.push_back("failed: " + point.failure);
      rows.push_back(std::move(row));
      continue;
    }
    for (std::string& value : figure_cells(*point.figures)) row.push_back(std::move(value));
    if (with_times) row.push_back(milliseconds_text(point));
    rows.push_back(std::move(row));
  }
  std::vector<std::size_t> widths;
  for (const std::string& header : headers) widths.push_back(header.size());
  for (const std::vector<std::string>& row : rows) {
    if (row.size() != headers.size()) {
      widths[0] = std::max(widths[0], row[0].size());
      widths[1] = std::max(widths[1], row[1].size());
      continue;
    }
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  const auto line = [&widths](const std::vector<std::string>& cells) {
    std::string text = pad_right(cells[0], widths[0]);
    for (std::size_t c = 1; c < cells.size(); ++c) {
      // A failure's message takes the rest of the line as it is.
      const bool message = cells.size() != widths.size() && c == cells.size() - 1;
      text += "  " + (message ? cells[c] : pad_left(cells[c], widths[c]));
    }
    return text + "\n";
  };
  std::string text = line(headers);
  for (const std::vector<std::string>& row : rows) text += line(row);
  return text;
}

std::string sweep_report_html(std::span<const SweepGraph> graphs, std::span<const SweepPoint> points, bool with_times) {
  const std::vector<std::uint16_t> counts = tile_counts_of(points);
  std::vector<std::string> labels;
  for (const std::uint16_t count : counts) labels.push_back(std::to_string(count));
  using Figure = std::function<std::optional<double>(const SweepPoint&)>;
  const auto from_figures = [](auto field) -> Figure {
    return [field](const SweepPoint& p) -> std::optional<double> {
      if (!p.figures) return std::nullopt;
      return static_cast<double>(field(*p.figures));
    };
  };
  std::vector<std::tuple<std::string, std::string, AxisKind, Figure>> charts = {
      {"peak SRAM, maximum over tiles", "bytes", AxisKind::Bytes,
       from_figures([](const SweepFigures& f) { return f.peak_maximum; })},
      {"peak SRAM, median over tiles", "bytes", AxisKind::Bytes,
       from_figures([](const SweepFigures& f) { return f.peak_median; })},
      {"exchange cycles, all launches", "cycles", AxisKind::Count,
       from_figures([](const SweepFigures& f) { return f.exchange_cycles; })},
      {"exchange launches", "launches", AxisKind::Count,
       from_figures([](const SweepFigures& f) { return f.launches; })},
      {"phases", "phases", AxisKind::Count, from_figures([](const SweepFigures& f) { return f.phases; })},
  };
  if (with_times) {
    charts.emplace_back("compile time", "ms", AxisKind::Count, [](const SweepPoint& p) -> std::optional<double> {
      if (!p.figures) return std::nullopt;
      return p.compile_milliseconds;
    });
  }
  std::string body =
      "<h1>Velk sweep</h1>\n<p class=\"note\">Each graph compiled for each tile count. Encoder blocks are named by "
      "their dimensions: s sequence, h hidden, n heads, f feed-forward. A configuration that did not compile is a "
      "row with its error and a gap in the charts. Peaks count bytes from the lower window base.</p>\n";
  body += html_table(graphs, points, with_times);
  body += "<div class=\"charts\">\n";
  for (const auto& [title, unit, axis, figure] : charts) {
    body += line_chart(title, unit, axis, labels, chart_series(graphs, points, counts, figure));
  }
  body += "</div>\n";
  return html_page("Velk sweep", body);
}

}  // namespace velk_views
