#include "velk_views/sweep.hpp"

#include <gtest/gtest.h>

#include "velk_compiler/compile.hpp"

namespace velk_views {
namespace {

namespace vc = velk_compiler;

std::size_t count(std::string_view text, std::string_view needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(EncoderSweepName, SequenceHiddenHeadsFeedForward) {
  EXPECT_EQ(encoder_sweep_name({}), "s32 h64 n4 f256");
  EXPECT_EQ(encoder_sweep_name({.sequence = 1, .hidden = 2, .heads = 1, .feed_forward = 3}), "s1 h2 n1 f3");
  EXPECT_EQ(encoder_sweep_name({}, 12), "s32 h64 n4 f256 l12");
}

TEST(EncoderSweepGraphs, EveryCombinationSequenceOutermost) {
  const std::vector<std::size_t> sequences = {16, 32};
  const std::vector<std::size_t> hiddens = {32};
  const std::vector<std::size_t> heads = {2, 4};
  const std::vector<std::size_t> feed_forwards = {64};
  const std::vector<std::size_t> layers = {1, 2};
  const vc::Result<std::vector<SweepGraph>> graphs =
      encoder_sweep_graphs(sequences, hiddens, heads, feed_forwards, layers);
  ASSERT_TRUE(graphs);
  std::vector<std::string> names;
  for (const SweepGraph& graph : *graphs) names.push_back(graph.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"s16 h32 n2 f64", "s16 h32 n2 f64 l2", "s16 h32 n4 f64", "s16 h32 n4 f64 l2",
                                      "s32 h32 n2 f64", "s32 h32 n2 f64 l2", "s32 h32 n4 f64", "s32 h32 n4 f64 l2"}));
  EXPECT_EQ((*graphs)[2].graph, vc::encoder_graph({16, 32, 4, 64}).value());
  EXPECT_EQ((*graphs)[3].graph, vc::encoder_stack({16, 32, 4, 64}, 2).value());

  const std::vector<std::size_t> three = {3};
  const auto refused = encoder_sweep_graphs(sequences, hiddens, three, feed_forwards, layers);
  ASSERT_FALSE(refused);
  EXPECT_EQ(vc::to_string(refused.error()), "graph: invalid encoder dimensions");
  const std::vector<std::size_t> no_layers = {0};
  EXPECT_EQ(vc::to_string(encoder_sweep_graphs(sequences, hiddens, heads, feed_forwards, no_layers).error()),
            "graph: invalid encoder layer count");
  EXPECT_TRUE(encoder_sweep_graphs({}, hiddens, heads, feed_forwards, layers).value().empty());
}

TEST(SweepFigures, EncoderOnSixtyFourTiles) {
  const vc::Graph graph = vc::encoder_graph({}).value();
  const vc::Program program = vc::build_program(graph, {}, velk_exchange::Topology::r77()).value();
  EXPECT_EQ(sweep_figures(vc::summarize_program(graph, program)), (SweepFigures{41984, 34816, 17, 2, 664}));
  EXPECT_EQ(sweep_figures(vc::CompileSummary{}), (SweepFigures{0, 0, 0, 0, 0}));
}

TEST(RunSweep, KeepsEachConfigurationsFiguresOrError) {
  const std::vector<SweepGraph> graphs = {SweepGraph{"encoder", vc::encoder_graph({}).value()}};
  const std::vector<std::uint16_t> tiles = {0, 64};
  const std::vector<SweepPoint> points = run_sweep(graphs, tiles, {}, velk_exchange::Topology::r77(), false);
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[0], (SweepPoint{0, 0, std::nullopt, "graph: invalid compiler options", std::nullopt}));
  EXPECT_EQ(points[1], (SweepPoint{0, 64, SweepFigures{41984, 34816, 17, 2, 664}, "", std::nullopt}));

  const std::vector<SweepPoint> timed = run_sweep(graphs, tiles, {}, velk_exchange::Topology::r77(), true);
  ASSERT_EQ(timed.size(), 2u);
  for (const SweepPoint& point : timed) {
    ASSERT_TRUE(point.compile_milliseconds);
    EXPECT_GE(*point.compile_milliseconds, 0.0);
  }
  EXPECT_EQ(timed[1].figures, points[1].figures);
}

// Any number of workers gives the same points in the same order as one.
TEST(RunSweep, WorkersChangeNothingButTheTime) {
  const std::vector<std::size_t> sequences = {8, 16};
  const std::vector<std::size_t> hiddens = {16, 32};
  const std::vector<std::size_t> heads = {2};
  const std::vector<std::size_t> feed_forwards = {32};
  const std::vector<std::size_t> layers = {1, 2};
  const std::vector<SweepGraph> graphs = encoder_sweep_graphs(sequences, hiddens, heads, feed_forwards, layers).value();
  const std::vector<std::uint16_t> tiles = {1, 3, 8, 0, 64};
  const velk_exchange::Topology topology = velk_exchange::Topology::r77();
  const std::vector<SweepPoint> alone = run_sweep(graphs, tiles, {}, topology, false, 1);
  ASSERT_EQ(alone.size(), graphs.size() * tiles.size());
  for (const unsigned workers : {2u, 3u, 64u, 0u}) {
    EXPECT_EQ(run_sweep(graphs, tiles, {}, topology, false, workers), alone) << workers << " workers";
  }
  EXPECT_TRUE(run_sweep({}, tiles, {}, topology, false, 4).empty());
}

const std::vector<SweepGraph> TABLE_GRAPHS = {SweepGraph{"s32 h64 n4 f256", {}}, SweepGraph{"g", {}}};
const std::vector<SweepPoint> TABLE_POINTS = {
    SweepPoint{0, 8, SweepFigures{60416, 60416, 16, 1, 320}, "", 1.25},
    SweepPoint{0, 64, SweepFigures{41984, 34816, 17, 2, 664}, "", std::nullopt},
    SweepPoint{1, 1, std::nullopt, "memory: tile 0 exceeds data limit allocating wk", 0.5},
};

TEST(RenderSweepTable, AlignsColumnsAndPutsEachFailureInPlaceOfItsFigures) {
  EXPECT_EQ(render_sweep_table(TABLE_GRAPHS, TABLE_POINTS, false),
            "graph            tiles  peak max (bytes)  peak median (bytes)  phases  launches  exchange cycles\n"
            "s32 h64 n4 f256      8             60416                60416      16         1              320\n"
            "s32 h64 n4 f256     64             41984                34816      17         2              664\n"
            "g                    1  failed: memory: tile 0 exceeds data limit allocating wk\n");
  EXPECT_EQ(render_sweep_table(TABLE_GRAPHS, TABLE_POINTS, true),
            "graph            tiles  peak max (bytes)  peak median (bytes)  phases  launches  exchange cycles  compile "
            "ms\n"
            "s32 h64 n4 f256      8             60416                60416      16         1              320         "
            "1.2\n"
            "s32 h64 n4 f256     64             41984                34816      17         2              664          "
            " -\n"
            "g                    1  failed: memory: tile 0 exceeds data limit allocating wk\n");
  EXPECT_EQ(render_sweep_table(TABLE_GRAPHS, {}, false),
            "graph  tiles  peak max (bytes)  peak median (bytes)  phases  launches  exchange cycles\n");
}

TEST(SweepReportHtml, TableAndOneChartPerFigureTimesOnlyWhenAsked) {
  const std::string page = sweep_report_html(TABLE_GRAPHS, TABLE_POINTS, false);
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>"));
  for (const std::string_view outside : {"http:", "https:", "<script", "<link", "src="}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
  EXPECT_EQ(count(page, "<svg class=\"chart\""), 5u);
  EXPECT_EQ(page.find("compile ms"), std::string::npos);
  EXPECT_EQ(page.find("compile time"), std::string::npos);
  EXPECT_EQ(count(page, "<tr>"), 1 + TABLE_POINTS.size());
  EXPECT_NE(page.find("<td class=\"text\" colspan=\"5\">failed: memory: tile 0 exceeds data limit allocating wk</td>"),
            std::string::npos);
  // One line per graph in each chart; "g" has no compiled point, so its line is empty.
  EXPECT_EQ(count(page, "<polyline"), 5 * TABLE_GRAPHS.size());
  EXPECT_NE(page.find("<title>s32 h64 n4 f256, 64 tiles: 664.0 cycles</title>"), std::string::npos);

  const std::string timed = sweep_report_html(TABLE_GRAPHS, TABLE_POINTS, true);
  EXPECT_EQ(count(timed, "<svg class=\"chart\""), 6u);
  EXPECT_NE(timed.find("<th>compile ms</th>"), std::string::npos);
  EXPECT_NE(timed.find("<td>1.2</td>"), std::string::npos);
  EXPECT_EQ(sweep_report_html(TABLE_GRAPHS, TABLE_POINTS, false), page);
}

}  // namespace
}  // namespace velk_views
