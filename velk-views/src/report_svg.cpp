// The compile report's static chart, peak SRAM per tile. Coordinates are written with one
// decimal (html_support.hpp), so the same schedule always gives the same text.
#include "report_svg.hpp"

#include <algorithm>

#include "html_support.hpp"

namespace velk_views {

namespace {

constexpr double CHART_WIDTH = 1300;

std::string svg_open(double width, double height, std::string_view css_class) {
  return "<svg class=\"" + std::string(css_class) + "\" width=\"" + coordinate(width) + "\" height=\"" +
         coordinate(height) + "\" viewBox=\"0 0 " + coordinate(width) + " " + coordinate(height) + "\">\n";
}

std::string rect(double x, double y, double width, double height, std::string_view fill, std::string_view extra = "") {
  return "<rect x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) + "\" width=\"" + coordinate(width) + "\" height=\"" +
         coordinate(height) + "\" fill=\"" + std::string(fill) + "\"" +
         (extra.empty() ? "" : " " + std::string(extra)) + "/>";
}

std::string text(double x, double y, const std::string& content, std::string_view extra = "") {
  return "<text x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) + "\"" +
         (extra.empty() ? "" : " " + std::string(extra)) + ">" + escape_html(content) + "</text>";
}

std::string line(double x1, double y1, double x2, double y2, std::string_view css_class) {
  return "<line class=\"" + std::string(css_class) + "\" x1=\"" + coordinate(x1) + "\" y1=\"" + coordinate(y1) +
         "\" x2=\"" + coordinate(x2) + "\" y2=\"" + coordinate(y2) + "\"/>";
}

std::string title(const std::string& content) { return "<title>" + escape_html(content) + "</title>"; }

}  // namespace

std::string_view role_colour(WordRole role) {
  switch (role) {
    case WordRole::StartDelay: return "#c4c4c4";
    case WordRole::Send: return "#e15759";
    case WordRole::SendOff: return "#f28e2b";
    case WordRole::TrailingDelay: return "#dedede";
    case WordRole::ReceiveWait: return "#a0cbe8";
    case WordRole::Receive: return "#4e79a7";
    case WordRole::Padding: return "#f3f3f3";
  }
  return "#f3f3f3";
}

std::string peak_chart_svg(const CompileSummary& summary, std::uint16_t tile_count) {
  constexpr double HEIGHT = 250;
  constexpr double LEFT = 72;
  constexpr double TOP = 12;
  constexpr double BOTTOM = 36;
  const double plot_width = CHART_WIDTH - LEFT - 10;
  const double plot_height = HEIGHT - TOP - BOTTOM;
  std::uint64_t maximum = 0;
  for (const TilePeak& peak : summary.peaks) maximum = std::max<std::uint64_t>(maximum, peak.peak);
  const std::uint64_t step = byte_tick_step(maximum, 5);
  const std::uint64_t axis_top = std::max(step, (maximum + step - 1) / step * step);
  const double count = std::max(1.0, static_cast<double>(tile_count));
  const double bar = plot_width / count;
  const auto y_of = [&](std::uint64_t v) {
    return TOP + plot_height * (1.0 - static_cast<double>(v) / static_cast<double>(axis_top));
  };

  std::string svg = svg_open(CHART_WIDTH, HEIGHT, "peaks");
  for (std::uint64_t v = 0; v <= axis_top; v += step) {
    svg += line(LEFT, y_of(v), LEFT + plot_width, y_of(v), "grid") + "\n";
    svg += text(LEFT - 6, y_of(v) + 4, byte_size(v), "text-anchor=\"end\"") + "\n";
  }
  const std::uint64_t label_step = tick_step(tile_count, 16);
  for (std::uint64_t t = 0; t < tile_count; t += label_step) {
    svg += text(LEFT + bar * (static_cast<double>(t) + 0.5), TOP + plot_height + 14, std::to_string(t),
                "text-anchor=\"middle\"") +
           "\n";
  }
  svg += text(LEFT + plot_width / 2, HEIGHT - 4, "tile", "text-anchor=\"middle\"") + "\n";
  const double gap = bar > 4 ? 1 : 0;
  for (const TilePeak& peak : summary.peaks) {
    const double x = LEFT + bar * static_cast<double>(peak.tile);
    const double top = y_of(peak.peak);
    svg += "<a href=\"#memory-tile-" + std::to_string(peak.tile) + "\">" +
           rect(x + gap / 2, top, bar - gap, TOP + plot_height - top, "#4e79a7") +
           title("tile " + std::to_string(peak.tile) + ": peak " + std::to_string(peak.peak) + " bytes (" +
                 byte_size(peak.peak) + "), bound " + std::to_string(peak.live_bytes) +
                 " bytes live in one phase\nclick for its memory map") +
           "</a>\n";
    svg += "<line x1=\"" + coordinate(x) + "\" y1=\"" + coordinate(y_of(peak.live_bytes)) + "\" x2=\"" +
           coordinate(x + bar) + "\" y2=\"" + coordinate(y_of(peak.live_bytes)) +
           "\" stroke=\"#f28e2b\" stroke-width=\"2\" pointer-events=\"none\"/>\n";
  }
  svg += line(LEFT, TOP + plot_height, LEFT + plot_width, TOP + plot_height, "axis") + "\n";
  return svg + "</svg>\n";
}

}  // namespace velk_views
