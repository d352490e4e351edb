#include "velk_views/report_html.hpp"

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "html_support.hpp"
#include "report_data.hpp"
#include "report_svg.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_io/text_format.hpp"
#include "velk_views/summary_text.hpp"
#include "velk_views/timeline.hpp"

namespace velk_views {
namespace {

namespace vc = velk_compiler;
using nlohmann::json;

struct Report {
  vc::Graph graph;
  vc::Program program;
  vc::CompileSummary summary;
  std::string html;
};

Report report_of(vc::Graph graph, std::uint16_t tile_count = 64) {
  Report r;
  r.graph = std::move(graph);
  r.program = vc::build_program(r.graph, {.tile_count = tile_count}, velk_exchange::Topology::r77()).value();
  r.summary = vc::summarize_program(r.graph, r.program);
  r.html = report_html(r.graph, r.program, r.summary).value();
  return r;
}

const Report& encoder_report() {
  static const Report report = report_of(vc::encoder_graph({}).value());
  return report;
}

std::size_t count(std::string_view text, std::string_view needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The text from `open` up to the end of its element `close`.
std::string_view element(std::string_view html, std::string_view open, std::string_view close) {
  const std::size_t start = html.find(open);
  if (start == std::string_view::npos) return {};
  const std::size_t end = html.find(close, start);
  return html.substr(start, end == std::string_view::npos ? std::string_view::npos : end + close.size() - start);
}

constexpr std::string_view DATA_OPEN = "<script type=\"application/json\" id=\"report-data\">";

// The page's data block, parsed; null when it is missing or not JSON.
json data_block(std::string_view html) {
  const std::size_t start = html.find(DATA_OPEN);
  if (start == std::string_view::npos) return nullptr;
  const std::size_t from = start + DATA_OPEN.size();
  const std::size_t end = html.find("</script>", from);
  if (end == std::string_view::npos) return nullptr;
  return json::parse(html.substr(from, end - from), nullptr, false);
}

// A tile's map and a launch's row, through the data block's shared lists.
const json& tile_map(const json& data, std::size_t tile) {
  return data["maps"][data["tileMaps"][tile].get<std::size_t>()];
}

std::uint16_t row_tile(const json& launch, std::size_t row) { return launch["rows"][2 * row]; }

const json& row_of(const json& data, const json& launch, std::size_t row) {
  return data["rows"][launch["rows"][2 * row + 1].get<std::size_t>()];
}

TEST(ReportHtml, IsOneSelfContainedPageWithItsDataAndScriptInline) {
  const std::string& html = encoder_report().html;
  EXPECT_TRUE(html.starts_with("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">"));
  EXPECT_TRUE(html.ends_with("</script>\n</body>\n</html>\n"));
  for (const std::string_view outside : {"http:", "https:", "<link", "src=", "url(", "@import", "<img", "fetch("}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  // The data block and the script, nothing else.
  EXPECT_EQ(count(html, "<script"), 2u);
  EXPECT_EQ(count(html, DATA_OPEN), 1u);
  EXPECT_EQ(count(html, "</script>"), 2u);
  EXPECT_FALSE(data_block(html).is_discarded());
  EXPECT_EQ(report_html(encoder_report().graph, encoder_report().program, encoder_report().summary).value(), html);
}

TEST(ReportHtml, SummaryAndOnePhaseRowPerPhase) {
  const Report& report = encoder_report();
  const std::string_view summary = element(report.html, "<table class=\"summary\">", "</table>");
  EXPECT_NE(summary.find("<tr><th class=\"text\">phases</th><td class=\"text\">17 (15 compute, 2 exchange)</td></tr>"),
            std::string_view::npos);
  EXPECT_NE(summary.find("<th class=\"text\">exchange cycles, all launches</th><td class=\"text\">664</td>"),
            std::string_view::npos);
  EXPECT_NE(summary.find("41984 bytes (41 KiB) on tile 0"), std::string_view::npos);
  EXPECT_NE(report.html.find("<pre>" + escape_html(render_summary(report.summary)) + "</pre>"), std::string::npos);

  EXPECT_EQ(count(report.html, "<table class=\"phases\">"), 1u);
  EXPECT_NE(report.html.find("<details open><summary>phases 0 to 16, cycles 0 to 15664, 2 exchange phases</summary>"),
            std::string::npos);
  const std::string_view phases = element(report.html, "<table class=\"phases\">", "</table>");
  EXPECT_EQ(count(phases, "<tr"), 1 + 17u);
  EXPECT_EQ(count(phases, "<tr class=\"exchange\">"), 2u);
  EXPECT_NE(phases.find("<tr class=\"exchange\"><td>7</td><td class=\"text\">exchange</td><td class=\"text\">4 "
                        "transfers</td><td>8</td><td>4</td><td>1</td><td>1024</td><td>320</td><td>256 on tile "
                        "0</td><td>7000</td><td>7320</td></tr>"),
            std::string_view::npos);
  EXPECT_NE(phases.find("<tr><td>1</td><td class=\"text\">compute</td><td class=\"text\">matmul q [32, "
                        "64]</td><td>8</td><td></td><td></td><td></td><td>1000 (notional)</td><td></td><td>1000</"
                        "td><td>2000</td></tr>"),
            std::string_view::npos);
}

// A long schedule's table comes in folded groups of 32 phases, only the first open, every
// phase in one of them.
TEST(ReportHtml, LongPhaseTableIsFoldedInGroups) {
  const Report report = report_of(vc::encoder_stack({}, 5).value(), 8);
  const std::size_t phases = report.program.schedule.phases.size();
  ASSERT_GT(phases, 64u);
  const std::size_t groups = (phases + 31) / 32;
  EXPECT_EQ(count(report.html, "<table class=\"phases\">"), groups);
  EXPECT_EQ(count(report.html, "<details open><summary>phases "), 1u);
  EXPECT_EQ(count(report.html, "<details><summary>phases "), groups - 1);
  EXPECT_NE(report.html.find("<summary>phases 32 to 63, cycles "), std::string::npos);
  std::size_t rows = 0;
  for (std::size_t at = report.html.find("<table class=\"phases\">"); at != std::string::npos;
       at = report.html.find("<table class=\"phases\">", at + 1)) {
    rows += count(element(std::string_view(report.html).substr(at), "<table", "</table>"), "<tr") - 1;
  }
  EXPECT_EQ(rows, phases);
}

// Every tile has a bar that links to its map, and in the data block its panels: the exchange
// window's with its staging regions, then the data window's with its homes, each in allocation
// order and each region as the allocation is, within the panel's drawn range.
TEST(ReportHtml, DataBlockHoldsEveryTilesAllocationsAsItsRegions) {
  const Report& report = encoder_report();
  const vc::Schedule& schedule = report.program.schedule;
  const std::string_view bars = element(report.html, "<svg class=\"peaks\"", "</svg>");
  EXPECT_EQ(count(bars, "<a href=\"#memory-tile-"), 64u);
  EXPECT_EQ(count(report.html, "<a href=\"#memory-tile-"), 2 * 64u);  // a bar and a link each
  const json data = data_block(report.html);
  ASSERT_TRUE(data.is_object());
  EXPECT_EQ(data["tileCount"], 64);
  EXPECT_EQ(data["tileDigits"], 4);
  EXPECT_EQ(data["phaseKinds"], "cccccccxccccxcccc");
  EXPECT_EQ(data["columns"], 18);  // the output outlives the last phase
  ASSERT_EQ(data["tensors"].size(), report.graph.tensors.size());
  for (std::size_t t = 0; t < report.graph.tensors.size(); ++t)
    EXPECT_EQ(data["tensors"][t], report.graph.tensors[t].name);
  ASSERT_EQ(data["tileMaps"].size(), 64u);
  ASSERT_EQ(data["peaks"].size(), 64u);

  for (std::uint16_t tile = 0; tile < 64; ++tile) {
    SCOPED_TRACE("tile " + std::to_string(tile));
    EXPECT_NE(bars.find("<a href=\"#memory-tile-" + std::to_string(tile) + "\">"), std::string_view::npos);
    EXPECT_EQ(data["peaks"][tile], schedule.peak_sram.at(tile));
    json expected = json::array();
    for (const int window : {0, 1}) {
      json regions = json::array();
      for (const vc::Allocation& a : schedule.allocations) {
        const auto* staging = std::get_if<vc::ExchangeStaging>(&a.kind);
        if (a.tile != tile || (staging != nullptr) != (window == 0)) continue;
        for (const std::size_t value :
             {a.tensor.index, std::size_t{a.address}, std::size_t{a.size}, a.live_from, a.live_until}) {
          regions.push_back(value);
        }
        regions.push_back(staging != nullptr ? static_cast<std::int64_t>(staging->phase) : -1);
      }
      if (!regions.empty()) expected.push_back({window, regions});
    }
    const json& panels = tile_map(data, tile);
    ASSERT_EQ(panels.size(), expected.size());
    for (std::size_t p = 0; p < panels.size(); ++p) {
      const json& panel = panels[p];
      EXPECT_EQ(panel[0], expected[p][0]);
      EXPECT_EQ(panel[4], expected[p][1]);
      const std::uint64_t base = panel[1];
      const std::uint64_t end = panel[2];
      const std::uint64_t step = panel[3];
      EXPECT_EQ(base, panel[0] == 0 ? report.program.options.exchange_base : report.program.options.data_base);
      ASSERT_GT(step, 0u);
      EXPECT_EQ((end - base) % step, 0u);
      for (std::size_t r = 0; r < panel[4].size(); r += 6) {
        EXPECT_LE(base, panel[4][r + 1].get<std::uint64_t>());
        EXPECT_LE(panel[4][r + 1].get<std::uint64_t>() + panel[4][r + 2].get<std::uint64_t>(), end);
      }
    }
  }
  // Tiles that hold the same regions share one map, each written once.
  std::set<std::string> distinct;
  for (const json& map : data["maps"]) distinct.insert(map.dump());
  EXPECT_EQ(distinct.size(), data["maps"].size());
  EXPECT_LT(data["maps"].size(), 64u);
  // Tile 8 stages norm2 for phase 12: its exchange window holds that one region.
  EXPECT_EQ(tile_map(data, 8)[0], json::parse(R"([0, 327680, 328704, 256, [17, 327680, 1024, 12, 13, 12]])"));
}

// Per launch, every tile with a role with its program (each word's decoding and end cycle,
// from which the script writes the tile's program as render_words does) and its timed words.
TEST(ReportHtml, DataBlockHoldsEveryLaunchRowWordAndSlice) {
  const Report& report = encoder_report();
  const ScheduleTimeline timeline = schedule_timeline(report.program).value();
  const json data = data_block(report.html);
  ASSERT_TRUE(data.is_object());
  ASSERT_EQ(data["launches"].size(), timeline.launches.size());
  ASSERT_EQ(data["roles"].size(), ALL_WORD_ROLES.size());
  for (std::size_t r = 0; r < ALL_WORD_ROLES.size(); ++r) {
    EXPECT_EQ(data["roles"][r], json::array({word_role_name(ALL_WORD_ROLES[r]), role_colour(ALL_WORD_ROLES[r])}));
    EXPECT_EQ(static_cast<std::size_t>(ALL_WORD_ROLES[r]), r);
  }
  const json& words = data["words"];
  for (std::size_t l = 0; l < timeline.launches.size(); ++l) {
    const LaunchTimeline& launch = timeline.launches[l];
    const json& drawn = data["launches"][l];
    SCOPED_TRACE("phase " + std::to_string(launch.phase));
    EXPECT_EQ(drawn["phase"], launch.phase);
    EXPECT_EQ(drawn["epoch"], launch.epoch);
    EXPECT_EQ(drawn["start"], launch.start_cycle);
    EXPECT_EQ(drawn["cycles"], launch.cycles);
    EXPECT_EQ(drawn["tick"], tick_step(launch.cycles, 12));
    const vc::LoweredExchangeEpoch* epoch = launch_epoch(launch, report.program.exchanges);
    ASSERT_NE(epoch, nullptr);
    json groups = json::array();
    for (std::size_t g = 0; g < epoch->groups.size(); ++g) {
      const vc::LoweredExchangeGroup& group = epoch->groups[g];
      groups.push_back(
          {group.tensor.index, group.bytes, group.source_tile, launch.group_slots.at(g), group.destination_tiles});
    }
    EXPECT_EQ(drawn["groups"], groups);
    ASSERT_EQ(drawn["rows"].size(), 2 * launch.tiles.size());
    for (std::size_t t = 0; t < launch.tiles.size(); ++t) {
      const TileLaunch& tile = launch.tiles[t];
      EXPECT_EQ(row_tile(drawn, t), tile.tile);
      const json& row = row_of(data, drawn, t);
      const json& words_and_ends = row[0];
      const std::vector<DecodedWord> decoded = decode_words(tile.program);
      ASSERT_EQ(words_and_ends.size(), 2 * decoded.size());
      std::string program;
      for (std::size_t w = 0; w < decoded.size(); ++w) {
        const json& word = words[words_and_ends[2 * w].get<std::size_t>()];
        EXPECT_EQ(word[0], word_text(decoded[w]));
        EXPECT_EQ(words_and_ends[2 * w + 1], decoded[w].end_cycle);
        program += velk_io::pad_left(std::to_string(w), 4) + "  " + word[1].get<std::string>() + " ends " +
                   std::to_string(words_and_ends[2 * w + 1].get<std::uint64_t>()) + "\n";
      }
      EXPECT_EQ(program, render_words(decoded)) << tile.tile;
      json slices = json::array();
      for (const WordSlice& slice : tile.slices) {
        for (const std::int64_t value :
             {static_cast<std::int64_t>(slice.word_index), static_cast<std::int64_t>(slice.role),
              slice.group ? static_cast<std::int64_t>(*slice.group) : -1, static_cast<std::int64_t>(slice.start_cycle),
              static_cast<std::int64_t>(slice.end_cycle)}) {
          slices.push_back(value);
        }
        EXPECT_EQ(tile.program.at(slice.word_index), slice.word.word);
      }
      EXPECT_EQ(row[1], slices) << tile.tile;
    }
  }
  std::set<std::string> distinct;
  for (const json& row : data["rows"]) distinct.insert(row.dump());
  EXPECT_EQ(distinct.size(), data["rows"].size());
  EXPECT_NE(report.html.find("<h3 id=\"launch-7-0\">phase 7, launch 0: 320 cycles, 4 groups in 1 slot, 8 tiles with a "
                             "role, from cycle 7000</h3>\n<div class=\"launch\" data-launch=\"0\"></div>"),
            std::string::npos);
}

// Names come from graph files: whatever they hold, the page keeps its structure, the table
// shows them as text, and the data block gives them back unchanged.
TEST(ReportHtml, NamesCannotBreakThePage) {
  const std::string hostile = "</script><script>alert(\"x\")</script><!-- ' & \\ \n\t\x01 ·";
  vc::Graph graph = vc::encoder_graph({}).value();
  graph.tensors[3].name = hostile;
  graph.ops[1].name = hostile;
  const Report report = report_of(std::move(graph), 8);
  EXPECT_EQ(report.html.find(hostile), std::string::npos);
  EXPECT_EQ(report.html.find("<!--"), std::string::npos);
  EXPECT_EQ(count(report.html, "<script"), 2u);
  EXPECT_EQ(count(report.html, "</script>"), 2u);
  EXPECT_NE(report.html.find(escape_html(hostile)), std::string::npos);
  const json data = data_block(report.html);
  ASSERT_TRUE(data.is_object());
  EXPECT_EQ(data["tensors"][3], hostile);
}

TEST(ReportHtml, ScheduleWithoutLaunchesSaysSo) {
  vc::Graph graph;
  const vc::TensorId x = graph.input("x", {4});
  ASSERT_TRUE(graph.mark_output(graph.gelu("y", x).value()));
  const Report report = report_of(std::move(graph), 2);
  EXPECT_NE(report.html.find("<p>The schedule has no exchange launch.</p>"), std::string::npos);
  const json data = data_block(report.html);
  ASSERT_TRUE(data.is_object());
  EXPECT_EQ(data["tileMaps"].size(), 2u);
  EXPECT_EQ(data["launches"], json::array());
  EXPECT_EQ(data["words"], json::array());
  EXPECT_EQ(data["rows"], json::array());
}

}  // namespace
}  // namespace velk_views
