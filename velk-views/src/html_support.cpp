// HTML and SVG helpers of the report pages.
#include "html_support.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "velk_io/text_format.hpp"

namespace velk_views {

using velk_io::hex;
namespace {

constexpr std::array<std::string_view, SERIES_COLOURS> COLOURS = {"#4e79a7", "#f28e2b", "#59a14f", "#e15759",
                                                                  "#76b7b2", "#edc948", "#b07aa1", "#ff9da7",
                                                                  "#9c755f", "#86bc86", "#d37295", "#8cd17d"};

constexpr std::string_view STYLE = R"(
body { font-family: "DejaVu Sans", sans-serif; font-size: 14px; color: #222; margin: 20px 28px; max-width: 1340px; }
h1 { font-size: 22px; margin: 0 0 4px 0; }
h2 { font-size: 17px; margin: 28px 0 8px 0; border-bottom: 1px solid #ccc; padding-bottom: 3px; }
h3 { font-size: 15px; margin: 18px 0 6px 0; }
p.note { color: #555; margin: 4px 0 8px 0; }
table { border-collapse: collapse; margin: 6px 0; }
th, td { border: 1px solid #d4d4d4; padding: 2px 8px; text-align: right; white-space: nowrap; }
th { background: #f1f1f1; }
td.text, th.text { text-align: left; }
tr.exchange td { background: #f3f6fb; }
pre { background: #f7f7f7; padding: 8px; font-size: 12px; overflow-x: auto; }
svg { display: block; margin: 6px 0; }
div.charts { display: flex; flex-wrap: wrap; gap: 4px 24px; }
svg text { font-family: "DejaVu Sans", sans-serif; font-size: 11px; fill: #222; }
svg text.label { font-size: 10px; fill: #111; pointer-events: none; }
svg .axis { stroke: #888; stroke-width: 1; }
svg .grid { stroke: #e4e4e4; stroke-width: 1; }
svg rect.slice:hover, svg .region rect:hover, svg a rect:hover { stroke: #000; stroke-width: 1.5; }
nav.tiles a { display: inline-block; min-width: 34px; margin: 1px; padding: 1px 3px; border: 1px solid #ccc;
              text-align: center; text-decoration: none; color: #224; font-size: 12px; }
nav.tiles a:hover { background: #e8eef8; }
.memory-map { display: none; }
.memory-map:target { display: block; }
#memory-maps:not(:has(.memory-map:target)) .memory-map.default { display: block; }
)";

}  // namespace

std::string escape_html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string script_json_string(std::string_view text) {
  constexpr std::string_view DIGITS = "0123456789abcdef";
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
          out += "\\u00";
          out += DIGITS[byte >> 4u];
          out += DIGITS[byte & 0xFu];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string coordinate(double value) {
  std::array<char, 32> buffer{};
  const int length = std::snprintf(buffer.data(), buffer.size(), "%.1f", value);
  return std::string(buffer.data(), static_cast<std::size_t>(std::max(length, 0)));
}

std::string byte_size(std::uint64_t bytes) {
  constexpr std::array<std::string_view, 4> UNITS = {"B", "KiB", "MiB", "GiB"};
  std::size_t unit = 0;
  std::uint64_t scale = 1;
  while (unit + 1 < UNITS.size() && bytes >= scale * 1024) {
    scale *= 1024;
    ++unit;
  }
  if (unit == 0) return std::to_string(bytes) + " B";
  // Hundredths of the unit, rounded, then trailing zeros dropped.
  const std::uint64_t hundredths = bytes / scale * 100 + ((bytes % scale) * 100 + scale / 2) / scale;
  std::string text = std::to_string(hundredths / 100);
  const std::uint64_t fraction = hundredths % 100;
  if (fraction != 0) {
    text += "." + std::string(fraction < 10 ? "0" : "") + std::to_string(fraction);
    if (text.back() == '0') text.pop_back();
  }
  return text + " " + std::string(UNITS[unit]);
}

std::string_view series_colour(std::size_t index) { return COLOURS[index % COLOURS.size()]; }

std::string html_page(std::string_view title, const std::string& body, std::string_view extra_style) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + escape_html(title) +
         "</title>\n<style>" + std::string(STYLE) + std::string(extra_style) + "</style>\n</head>\n<body>\n" + body +
         "</body>\n</html>\n";
}

std::uint64_t tick_step(std::uint64_t maximum, std::uint64_t count) {
  if (maximum == 0 || count == 0) return 1;
  for (std::uint64_t power = 1;; power *= 10) {
    for (const std::uint64_t factor : {1u, 2u, 5u}) {
      const std::uint64_t step = power * factor;
      if (maximum / step <= count) return step;
    }
    // The next power would leave the 64-bit range; one step then covers every value.
    if (power > std::numeric_limits<std::uint64_t>::max() / 50) return maximum;
  }
}

std::uint64_t byte_tick_step(std::uint64_t maximum, std::uint64_t count) {
  std::uint64_t step = 1;
  while (count != 0 && maximum / step > count && step <= std::numeric_limits<std::uint64_t>::max() / 2) step *= 2;
  return step;
}

std::string line_chart(std::string_view title, std::string_view y_unit, AxisKind axis,
                       const std::vector<std::string>& x_labels, const std::vector<ChartSeries>& series) {
  constexpr double WIDTH = 620;
  constexpr double HEIGHT = 300;
  constexpr double LEFT = 78;
  constexpr double RIGHT = 150;
  constexpr double TOP = 28;
  constexpr double BOTTOM = 40;
  const double plot_width = WIDTH - LEFT - RIGHT;
  const double plot_height = HEIGHT - TOP - BOTTOM;

  double maximum = 0;
  for (const ChartSeries& s : series) {
    for (std::size_t i = 0; i < s.values.size(); ++i) {
      if (i < s.present.size() && s.present[i]) maximum = std::max(maximum, s.values[i]);
    }
  }
  const auto top_value = static_cast<std::uint64_t>(std::ceil(maximum));
  const std::uint64_t step = axis == AxisKind::Bytes ? byte_tick_step(top_value, 5) : tick_step(top_value, 5);
  const std::uint64_t axis_top = std::max<std::uint64_t>(step, (top_value + step - 1) / step * step);
  const auto x_of = [&](std::size_t i) {
    return x_labels.size() <= 1 ? LEFT + plot_width / 2
                                : LEFT + plot_width * static_cast<double>(i) / static_cast<double>(x_labels.size() - 1);
  };
  const auto y_of = [&](double v) { return TOP + plot_height * (1.0 - v / static_cast<double>(axis_top)); };

  std::string svg = "<svg class=\"chart\" width=\"" + coordinate(WIDTH) + "\" height=\"" + coordinate(HEIGHT) +
                    "\" viewBox=\"0 0 " + coordinate(WIDTH) + " " + coordinate(HEIGHT) + "\" role=\"img\">\n";
  svg += "<text x=\"" + coordinate(LEFT) + "\" y=\"16\" font-weight=\"bold\">" + escape_html(title) + "</text>\n";
  for (std::uint64_t v = 0; v <= axis_top; v += step) {
    const double y = y_of(static_cast<double>(v));
    svg += "<line class=\"grid\" x1=\"" + coordinate(LEFT) + "\" y1=\"" + coordinate(y) + "\" x2=\"" +
           coordinate(LEFT + plot_width) + "\" y2=\"" + coordinate(y) + "\"/>\n";
    svg += "<text x=\"" + coordinate(LEFT - 6) + "\" y=\"" + coordinate(y + 4) + "\" text-anchor=\"end\">" +
           (axis == AxisKind::Bytes ? byte_size(v) : std::to_string(v)) + "</text>\n";
  }
  svg += "<text x=\"12\" y=\"" + coordinate(TOP + plot_height / 2) + "\" transform=\"rotate(-90 12 " +
         coordinate(TOP + plot_height / 2) + ")\" text-anchor=\"middle\">" + escape_html(y_unit) + "</text>\n";
  for (std::size_t i = 0; i < x_labels.size(); ++i) {
    svg += "<text x=\"" + coordinate(x_of(i)) + "\" y=\"" + coordinate(TOP + plot_height + 16) +
           "\" text-anchor=\"middle\">" + escape_html(x_labels[i]) + "</text>\n";
  }
  svg += "<text x=\"" + coordinate(LEFT + plot_width / 2) + "\" y=\"" + coordinate(HEIGHT - 4) +
         "\" text-anchor=\"middle\">tiles</text>\n";
  svg += "<line class=\"axis\" x1=\"" + coordinate(LEFT) + "\" y1=\"" + coordinate(TOP + plot_height) + "\" x2=\"" +
         coordinate(LEFT + plot_width) + "\" y2=\"" + coordinate(TOP + plot_height) + "\"/>\n";
  for (std::size_t s = 0; s < series.size(); ++s) {
    const ChartSeries& line = series[s];
    const std::string colour(series_colour(s));
    std::string points;
    for (std::size_t i = 0; i < line.values.size() && i < x_labels.size(); ++i) {
      if (i >= line.present.size() || !line.present[i]) continue;
      points += (points.empty() ? "" : " ") + coordinate(x_of(i)) + "," + coordinate(y_of(line.values[i]));
    }
    svg += "<polyline fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
    for (std::size_t i = 0; i < line.values.size() && i < x_labels.size(); ++i) {
      if (i >= line.present.size() || !line.present[i]) continue;
      svg += "<circle cx=\"" + coordinate(x_of(i)) + "\" cy=\"" + coordinate(y_of(line.values[i])) +
             "\" r=\"3.5\" fill=\"" + colour + "\"><title>" + escape_html(line.name) + ", " + escape_html(x_labels[i]) +
             " tiles: " + coordinate(line.values[i]) + " " + escape_html(y_unit) + "</title></circle>\n";
    }
    const double legend_y = TOP + 14.0 * static_cast<double>(s);
    svg += "<rect x=\"" + coordinate(WIDTH - RIGHT + 12) + "\" y=\"" + coordinate(legend_y - 8) +
           "\" width=\"10\" height=\"10\" fill=\"" + colour + "\"/>\n";
    svg += "<text x=\"" + coordinate(WIDTH - RIGHT + 26) + "\" y=\"" + coordinate(legend_y + 1) + "\">" +
           escape_html(line.name) + "</text>\n";
  }
  return svg + "</svg>\n";
}

}  // namespace velk_views
