// The compile report's SVG charts: peak SRAM per tile, a tile's memory map, a launch's Gantt
// chart. Coordinates are written with one decimal (html_support.hpp), so the same schedule
// always gives the same text.
#include "report_svg.hpp"

#include <algorithm>
#include <map>
#include <variant>
#include <vector>

#include "html_support.hpp"
#include "velk_io/text_format.hpp"
#include "velk_views/disassembler.hpp"

namespace velk_views {

using velk_io::hex;
namespace {

namespace vc = velk_compiler;

constexpr double CHART_WIDTH = 1300;
constexpr double CHAR_WIDTH = 6.2;  // of a 10 px label, to judge whether a label fits its region

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

std::string tiles_text(const std::vector<std::uint16_t>& tiles) {
  std::string out;
  for (const std::uint16_t tile : tiles) out += (out.empty() ? "" : ", ") + std::to_string(tile);
  return out;
}

// One panel of a memory map: the tile's regions of one window, from the window's base down
// to a round address past the last region's end.
struct Panel {
  std::string name;
  std::uint32_t base = 0;
  std::uint64_t end = 0;
  double height = 0;
  std::vector<const vc::Allocation*> regions;
};

std::string region_title(const vc::Graph& graph, const vc::Allocation& a) {
  const auto* staging = std::get_if<vc::ExchangeStaging>(&a.kind);
  const std::string kind = staging != nullptr ? "staging of exchange phase " + std::to_string(staging->phase) : "home";
  return "tensor " + std::to_string(a.tensor.index) + " \"" + std::string(graph.tensor_name(a.tensor).value_or("?")) +
         "\" (" + kind + ")\naddress " + hex(a.address) + " to " + hex(std::uint64_t{a.address} + a.size) + ", " +
         std::to_string(a.size) + " bytes (" + byte_size(a.size) + ")\nlive in phases " + std::to_string(a.live_from) +
         " to " + std::to_string(a.live_until);
}

// Characters, not bytes, of a UTF-8 text: the bytes that do not continue a character.
std::size_t characters(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u; }));
}

// The longest of "name · size · lifetime", "name · size" and "name" that fits the region.
std::string region_label(const vc::Graph& graph, const vc::Allocation& a, double width, double height) {
  if (height < 11) return "";
  const std::string name = std::string(graph.tensor_name(a.tensor).value_or("?"));
  const std::string sized = name + " · " + byte_size(a.size);
  const std::string full = sized + " · " + std::to_string(a.live_from) + "–" + std::to_string(a.live_until);
  for (const std::string* candidate : {&full, &sized, &name}) {
    if (static_cast<double>(characters(*candidate)) * CHAR_WIDTH + 6 <= width) return *candidate;
  }
  return "";
}

std::vector<Panel> memory_panels(const vc::Schedule& schedule, const vc::CompilerOptions& options, std::uint16_t tile) {
  Panel exchange{"exchange window", options.exchange_base, options.exchange_base, 150, {}};
  Panel data{"data window", options.data_base, options.data_base, 300, {}};
  for (const vc::Allocation& a : schedule.allocations) {
    if (a.tile != tile) continue;
    Panel& panel = std::holds_alternative<vc::ExchangeStaging>(a.kind) ? exchange : data;
    panel.regions.push_back(&a);
    panel.end = std::max(panel.end, std::uint64_t{a.address} + a.size);
  }
  std::vector<Panel> panels;
  for (Panel* panel : {&exchange, &data}) {
    if (panel->regions.empty()) continue;
    // Regions lie in their window, but draw from the lowest start should one not.
    for (const vc::Allocation* a : panel->regions) panel->base = std::min(panel->base, a->address);
    const std::uint64_t span = panel->end - panel->base;
    const std::uint64_t step = byte_tick_step(span, 6);
    panel->end = panel->base + (span + step - 1) / step * step;
    panels.push_back(std::move(*panel));
  }
  return panels;
}

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

std::string memory_map_svg(const vc::Graph& graph, const vc::Schedule& schedule, const vc::CompilerOptions& options,
                           std::uint16_t tile) {
  constexpr double LEFT = 96;
  constexpr double TOP = 24;
  constexpr double PANEL_GAP = 40;
  const std::size_t phase_count = schedule.phases.size();
  // Regions that outlive the last phase (the outputs) reach into one more column.
  bool outlives = false;
  for (const vc::Allocation& a : schedule.allocations) outlives = outlives || a.live_until >= phase_count;
  const std::size_t columns = std::max<std::size_t>(1, phase_count + (outlives ? 1 : 0));
  const double plot_width = CHART_WIDTH - LEFT - 10;
  const double column = plot_width / static_cast<double>(columns);
  const std::vector<Panel> panels = memory_panels(schedule, options, tile);

  double height = TOP + 8;
  for (const Panel& panel : panels) height += PANEL_GAP + panel.height;
  if (panels.empty()) height += 30;
  std::string svg = svg_open(CHART_WIDTH, height, "memory");
  for (std::size_t c = 0; c < columns; ++c) {
    const std::string label = c < phase_count ? std::to_string(c) : "after";
    svg += text(LEFT + column * (static_cast<double>(c) + 0.5), 12, label, "text-anchor=\"middle\"") + "\n";
  }
  svg += text(LEFT - 8, 12, "phase", "text-anchor=\"end\"") + "\n";
  if (panels.empty()) svg += text(LEFT, TOP + 30, "this tile holds no regions") + "\n";

  double y = TOP;
  for (const Panel& panel : panels) {
    const double top = y + PANEL_GAP - 12;
    svg += text(LEFT, top - 8,
                panel.name + ", " + hex(panel.base) + " to " + hex(panel.end) + ", " +
                    std::to_string(panel.regions.size()) + (panel.regions.size() == 1 ? " region" : " regions"),
                "font-weight=\"bold\"") +
           "\n";
    svg += rect(LEFT, top, plot_width, panel.height, "#fbfbfb", "stroke=\"#ccc\"") + "\n";
    for (std::size_t c = 0; c < phase_count && c < columns; ++c) {
      if (std::holds_alternative<vc::ExchangePhase>(schedule.phases[c])) {
        svg += rect(LEFT + column * static_cast<double>(c), top, column, panel.height, "#e8eef8") + "\n";
      }
    }
    const double scale = panel.height / static_cast<double>(panel.end - panel.base);
    const std::uint64_t step = byte_tick_step(panel.end - panel.base, 6);
    for (std::uint64_t address = panel.base; address <= panel.end; address += step) {
      const double ty = top + static_cast<double>(address - panel.base) * scale;
      svg += line(LEFT - 4, ty, LEFT, ty, "axis") + text(LEFT - 7, ty + 4, hex(address), "text-anchor=\"end\"") + "\n";
    }
    for (const vc::Allocation* a : panel.regions) {
      const std::size_t first = std::min(a->live_from, columns - 1);
      const std::size_t last = std::min(std::max(a->live_until, a->live_from), columns - 1);
      const double x = LEFT + column * static_cast<double>(first);
      const double width = column * static_cast<double>(last - first + 1);
      const double ry = top + static_cast<double>(a->address - panel.base) * scale;
      // Every region stays visible and can be hovered, however small beside its window.
      const double rh = std::max(2.0, static_cast<double>(a->size) * scale);
      const std::string label = region_label(graph, *a, width, rh);
      svg += "<g class=\"region\" data-tensor=\"" + std::to_string(a->tensor.index) + "\">" +
             title(region_title(graph, *a)) +
             rect(x, ry, width, rh, series_colour(a->tensor.index), "stroke=\"#fff\" stroke-width=\"1\"");
      if (!label.empty()) svg += text(x + 4, ry + rh / 2 + 3.5, label, "class=\"label\"");
      svg += "</g>\n";
    }
    y = top + panel.height;
  }
  return svg + "</svg>\n";
}

std::string launch_gantt_svg(const vc::Graph& graph, const LaunchTimeline& launch,
                             const vc::LoweredExchangeEpoch& epoch, std::uint16_t tile_count) {
  constexpr double LEFT = 84;
  constexpr double TOP = 22;
  constexpr double ROW = 16;
  constexpr double LEGEND = 30;
  const double plot_width = CHART_WIDTH - LEFT - 16;
  const double rows = static_cast<double>(launch.tiles.size());
  const double height = TOP + ROW * rows + LEGEND;
  const double scale = plot_width / static_cast<double>(std::max<std::uint64_t>(1, launch.cycles));

  std::string svg = svg_open(CHART_WIDTH, height, "gantt");
  const std::uint64_t step = tick_step(launch.cycles, 12);
  for (std::uint64_t c = 0; c <= launch.cycles; c += step) {
    const double x = LEFT + static_cast<double>(c) * scale;
    svg += line(x, TOP - 4, x, TOP + ROW * rows, "grid") +
           text(x, TOP - 8, std::to_string(c), "text-anchor=\"middle\"") + "\n";
  }
  for (std::size_t r = 0; r < launch.tiles.size(); ++r) {
    const TileLaunch& tile = launch.tiles[r];
    const double y = TOP + ROW * static_cast<double>(r);
    const std::string name = tile_name(tile.tile, tile_count);
    svg += "<g class=\"tile-row\">" +
           title(name + ": its program in this launch, " + std::to_string(tile.program.size()) + " words\n" +
                 render_words(decode_words(tile.program))) +
           rect(0, y, LEFT - 4, ROW, "transparent") + text(4, y + ROW - 4, name) + "</g>\n";
    for (const WordSlice& slice : tile.slices) {
      const double x = LEFT + static_cast<double>(slice.start_cycle) * scale;
      const double width = std::max(1.0, static_cast<double>(slice.end_cycle - slice.start_cycle) * scale);
      std::string hover = name + ", word " + std::to_string(slice.word_index) + ": " +
                          std::string(word_role_name(slice.role)) + ", cycles " + std::to_string(slice.start_cycle) +
                          " to " + std::to_string(slice.end_cycle) + "\n" + word_text(slice.word);
      if (slice.group && *slice.group < epoch.groups.size()) {
        const vc::LoweredExchangeGroup& group = epoch.groups[*slice.group];
        const std::size_t slot = *slice.group < launch.group_slots.size() ? launch.group_slots[*slice.group] : 0;
        hover += "\ngroup " + std::to_string(*slice.group) + " in slot " + std::to_string(slot) + ": tensor " +
                 std::to_string(group.tensor.index) + " \"" +
                 std::string(graph.tensor_name(group.tensor).value_or("?")) + "\", " + std::to_string(group.bytes) +
                 " bytes from tile " + std::to_string(group.source_tile) + " to tiles " +
                 tiles_text(group.destination_tiles);
      }
      svg += "<rect class=\"slice\" x=\"" + coordinate(x) + "\" y=\"" + coordinate(y + 2) + "\" width=\"" +
             coordinate(width) + "\" height=\"" + coordinate(ROW - 4) + "\" fill=\"" +
             std::string(role_colour(slice.role)) + "\" stroke=\"#fff\" stroke-width=\"0.5\">" + title(hover) +
             "</rect>\n";
    }
  }
  double x = LEFT;
  const double legend_y = TOP + ROW * rows + 18;
  for (const WordRole role : {WordRole::StartDelay, WordRole::Send, WordRole::SendOff, WordRole::TrailingDelay,
                              WordRole::ReceiveWait, WordRole::Receive, WordRole::Padding}) {
    const std::string name(word_role_name(role));
    svg += rect(x, legend_y - 9, 12, 10, role_colour(role), "stroke=\"#999\"") + text(x + 16, legend_y, name) + "\n";
    x += 28 + CHAR_WIDTH * static_cast<double>(name.size()) + 8;
  }
  return svg + "</svg>\n";
}

}  // namespace velk_views
