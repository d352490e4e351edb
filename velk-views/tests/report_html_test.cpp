#include "velk_views/report_html.hpp"

#include <gtest/gtest.h>

#include <map>

#include "html_support.hpp"
#include "velk_compiler/compile.hpp"
#include "velk_compiler/encoder.hpp"
#include "velk_exchange/topology.hpp"
#include "velk_views/summary_text.hpp"
#include "velk_views/timeline.hpp"

namespace velk_views {
namespace {

namespace vc = velk_compiler;

struct EncoderReport {
  vc::Graph graph;
  vc::Program program;
  vc::CompileSummary summary;
  std::string html;
};

const EncoderReport& encoder_report() {
  static const EncoderReport report = [] {
    EncoderReport r;
    r.graph = vc::encoder_graph({}).value();
    r.program = vc::build_program(r.graph, {}, velk_exchange::Topology::r77()).value();
    r.summary = vc::summarize_program(r.graph, r.program);
    r.html = report_html(r.graph, r.program, r.summary).value();
    return r;
  }();
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

TEST(ReportHtml, IsOneSelfContainedPageWithoutScript) {
  const std::string& html = encoder_report().html;
  EXPECT_TRUE(html.starts_with("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">"));
  EXPECT_TRUE(html.ends_with("</body>\n</html>\n"));
  for (const std::string_view outside : {"http:", "https:", "<script", "<link", "src=", "url(", "@import", "<img"}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  EXPECT_EQ(report_html(encoder_report().graph, encoder_report().program, encoder_report().summary).value(), html);
}

TEST(ReportHtml, SummaryAndOnePhaseRowPerPhase) {
  const EncoderReport& report = encoder_report();
  const std::string_view summary = element(report.html, "<table class=\"summary\">", "</table>");
  EXPECT_NE(summary.find("<tr><th class=\"text\">phases</th><td class=\"text\">17 (15 compute, 2 exchange)</td></tr>"),
            std::string_view::npos);
  EXPECT_NE(summary.find("<th class=\"text\">exchange cycles, all launches</th><td class=\"text\">664</td>"),
            std::string_view::npos);
  EXPECT_NE(summary.find("41984 bytes (41 KiB) on tile 0"), std::string_view::npos);
  EXPECT_NE(report.html.find("<pre>" + escape_html(render_summary(report.summary)) + "</pre>"), std::string::npos);

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

// Every tile has a bar that links to its map, and a map with one region per allocation of
// the tile: its staging regions (the exchange window) and then its homes (the data window),
// each in allocation order.
TEST(ReportHtml, EveryTileHasABarAndAMapWithOneRegionPerAllocation) {
  const EncoderReport& report = encoder_report();
  const vc::Schedule& schedule = report.program.schedule;
  const std::string_view bars = element(report.html, "<svg class=\"peaks\"", "</svg>");
  EXPECT_EQ(count(bars, "<a href=\"#memory-tile-"), 64u);
  EXPECT_EQ(count(report.html, "<section class=\"memory-map"), 64u);
  EXPECT_EQ(count(report.html, "<section class=\"memory-map default\" id=\"memory-tile-0\">"), 1u);
  for (std::uint16_t tile = 0; tile < 64; ++tile) {
    SCOPED_TRACE("tile " + std::to_string(tile));
    const std::string id = "id=\"memory-tile-" + std::to_string(tile) + "\"";
    EXPECT_NE(bars.find("<a href=\"#memory-tile-" + std::to_string(tile) + "\">"), std::string_view::npos);
    const std::string_view map = element(report.html, id, "</section>");
    ASSERT_FALSE(map.empty());
    std::string expected;
    for (const bool staging : {true, false}) {
      for (const vc::Allocation& a : schedule.allocations) {
        if (a.tile != tile || std::holds_alternative<vc::ExchangeStaging>(a.kind) != staging) continue;
        expected += "<g class=\"region\" data-tensor=\"" + std::to_string(a.tensor.index) + "\"><title>";
      }
    }
    std::string found;
    for (std::size_t at = map.find("<g class=\"region\""); at != std::string_view::npos;
         at = map.find("<g class=\"region\"", at + 1)) {
      found += map.substr(at, map.find("<title>", at) + 7 - at);
    }
    EXPECT_EQ(found, expected);
  }
  const std::string_view map8 = element(report.html, "id=\"memory-tile-8\"", "</section>");
  EXPECT_NE(map8.find("<title>tensor 17 &quot;norm2&quot; (staging of exchange phase 12)\naddress 0x50000 to 0x50400, "
                      "1024 bytes (1 KiB)\nlive in phases 12 to 13</title>"),
            std::string_view::npos);
  EXPECT_NE(map8.find("exchange window, 0x50000 to 0x50400, 1 region"), std::string_view::npos);
  EXPECT_NE(map8.find(">norm2 · 1 KiB</text>"), std::string_view::npos);
}

// One slice per timed word of every tile of a launch, and the tile's whole decoded program
// on hover over its name.
TEST(ReportHtml, LaunchChartsHoldEveryTimedWordAndEachTilesDecodedProgram) {
  const EncoderReport& report = encoder_report();
  const ScheduleTimeline timeline = schedule_timeline(report.program).value();
  std::size_t from = 0;
  for (const LaunchTimeline& launch : timeline.launches) {
    SCOPED_TRACE("phase " + std::to_string(launch.phase));
    const std::size_t heading =
        report.html.find("<h3 id=\"launch-" + std::to_string(launch.phase) + "-" + std::to_string(launch.epoch), from);
    ASSERT_NE(heading, std::string::npos);
    const std::string_view chart =
        element(std::string_view(report.html).substr(heading), "<svg class=\"gantt\"", "</svg>");
    std::size_t slices = 0;
    for (const TileLaunch& tile : launch.tiles) {
      slices += tile.slices.size();
      const std::string hover = tile_name(tile.tile, 64) + ": its program in this launch, " +
                                std::to_string(tile.program.size()) + " words\n" +
                                render_words(decode_words(tile.program));
      EXPECT_NE(chart.find("<title>" + escape_html(hover) + "</title>"), std::string_view::npos) << tile.tile;
    }
    EXPECT_EQ(count(chart, "<rect class=\"slice\""), slices);
    from = heading + 1;
  }
  EXPECT_NE(report.html.find("<h3 id=\"launch-7-0\">phase 7, launch 0: 320 cycles, 4 groups in 1 slot, 8 tiles with a "
                             "role, from cycle 7000</h3>"),
            std::string::npos);
}

TEST(ReportHtml, ScheduleWithoutLaunchesSaysSo) {
  vc::Graph graph;
  const vc::TensorId x = graph.input("x", {4});
  ASSERT_TRUE(graph.mark_output(graph.gelu("y", x).value()));
  const vc::Program program = vc::build_program(graph, {.tile_count = 2}, velk_exchange::Topology::r77()).value();
  const std::string html = report_html(graph, program, vc::summarize_program(graph, program)).value();
  EXPECT_NE(html.find("<p>The schedule has no exchange launch.</p>"), std::string::npos);
  EXPECT_EQ(count(html, "<section class=\"memory-map"), 2u);
}

}  // namespace
}  // namespace velk_views
